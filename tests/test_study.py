"""tarvix.study: variants written exactly, parameters refused before any run, designs, the results table, and
studies run by the engine (local processes, a Dask cluster, interrupted and resumed, a shared cache)."""

import math
import os
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from contextlib import closing
from pathlib import Path

import pytest
import simulation_models as models

import engine as engine_helpers
from tarvix import geometry, study
from tarvix.idd import IDD
from tarvix.idf import IDF
from tarvix.simulation import find_engine
from tarvix.study import Design, Output, Study, StudyResults

HEATING = "Zone Ideal Loads Supply Air Total Heating Energy"
OUTPUTS = [Output.series(HEATING, key="*", how="sum", name="heating"),
           Output.series("Zone Mean Air Temperature", key="*", how="max", name="warmest"),
           Output.tabular("EnvelopeSummary", "Opaque Exterior", "South Wall", "U-Factor no Film", name="u_wall")]


@pytest.fixture(scope="module")
def idd():
    engine_helpers.payload_dir()
    return IDD.from_file(find_engine().idd_path)


@pytest.fixture
def box(idd):
    return IDF.from_string(idd, models.BOX, keep_layout=True)


def sixteen():
    """A 2 x 2 x 2 x 2 grid over fields (one whose base text, 1400, is no float's repr) and a geometry edit."""
    return [study.layer_thickness("Wall", 1, [0.1, 0.25]),
            study.material_property("Wall Layer", "Density", [1400.0, 900]),
            study.schedule_value("Heating Setpoint", [18, 21.5]),
            study.window_wall_ratio([0.2, 0.5])]


def applied_by_hand(idd, parameters, row):
    doc = IDF.from_string(idd, models.BOX, keep_layout=True)
    values = dict(zip([p.name for p in parameters], row))
    doc.get_object_by_name("Material", "Wall Layer")["Thickness"] = values["Wall:1:thickness"]
    doc.get_object_by_name("Material", "Wall Layer")["Density"] = values["Wall Layer:Density"]
    doc.get_object_by_name("Schedule:Constant", "Heating Setpoint")["Hourly Value"] = values["Heating Setpoint:value"]
    if "window_wall_ratio" in values:
        geometry.set_window_wall_ratio(doc, values["window_wall_ratio"])
    return doc


def every_value(doc):
    return [(o.class_name, o.get_values()) for o in doc]


@pytest.mark.parametrize("with_edit", [False, True], ids=["fields", "fields-and-an-edit"])
def test_each_variant_is_the_base_with_exactly_its_parameters(idd, box, tmp_path, with_edit):
    parameters = sixteen() if with_edit else sixteen()[:3]
    made = Study(box, parameters, folder=tmp_path, design_day=True)
    base_lines = models.BOX.splitlines()
    (tmp_path / "variants").mkdir()
    (tmp_path / "variants" / "v0000.idf").symlink_to(tmp_path / "users.idf")  # replaced, never written through
    (tmp_path / "users.idf").write_text("mine")
    for path, row in zip(made.write(), made.design.rows, strict=True):
        text = path.read_text(encoding="utf-8")
        assert every_value(IDF.from_string(idd, text)) == every_value(applied_by_hand(idd, parameters, row))
        if not with_edit:  # the diff touches only the lines of the fields set
            changed = [a for a, b in zip(base_lines, text.splitlines(), strict=True) if a != b]
            expected = {"Material,Wall Layer": row[0] != 0.2 or row[1] != 1400,
                        "Schedule:Constant,Heating Setpoint": row[2] != 20}
            assert changed == [line for line in base_lines if any(line.startswith(k) and v
                                                                   for k, v in expected.items())]
    assert Design.load(tmp_path / "design.json") == made.design
    assert (tmp_path / "users.idf").read_text() == "mine"


def test_a_parameter_serves_several_base_models(idd, tmp_path):
    thickness = study.field("Material", "Wall Layer", "Thickness", [0.3])
    line = "Material,Wall Layer,MediumRough,0.2,0.5,1400,1000,0.9,0.7,0.7;\n"
    for number, text in enumerate((models.BOX, models.BOX.replace(line, "") + line)):  # first, then last
        made = Study(IDF.from_string(idd, text, keep_layout=True), [thickness], folder=tmp_path / str(number),
                     design_day=True)
        written = IDF.from_string(idd, made.write()[0].read_text())
        assert [o["Thickness"] for o in written["Material"] if o["Name"] == "Wall Layer"] == [0.3]


@pytest.mark.parametrize(("make", "message"), [
    (lambda: study.field("Material", "Wall Layer", "Thickness", []), "has no values"),
    (lambda: study.field("Material", "Wall Layer", "Thickness"), "has no values"),
    (lambda: study.field("Material", "Wall Layer", "Thickness", [0.1, math.nan]), "nan is not a value"),
    (lambda: study.field("Material", "Wall Layer", "Thickness", range=(0.3, 0.1)), "low end must be below"),
    (lambda: study.window_wall_ratio([0.3, 1.0]), "at least 0 and below 1"),
])
def test_parameters_refused_when_made(make, message):
    with pytest.raises(ValueError, match=message):
        make()


@pytest.mark.parametrize(("parameter", "message"), [
    (study.field("Material", "Wall Layer", "Thickness", [0.1, -0.2]),
     r"-0.2 is outside the field's limits \(> 0 m\)"),
    (study.field("Material", "Wall Layer", "Thickness", range=(0.0, 0.2)), r"0.0 is outside the field's limits"),
    (study.field("Material", "Wall Layer", "Roughness", ["Rough", "Sandy"]), "is not one of the field's choices"),
    (study.field("Material", "Wall Layer", "Density", ["heavy"]), "is not a number"),
    (study.field("Material", "No Such", "Thickness", [0.1]),
     "no Material named 'No Such' .*its Material objects: Roof Layer, Slab Layer, Wall Layer"),
    (study.field("Material:NoMass", None, "Thermal Resistance", [1]), r"no Material:NoMass object \(its classes: "),
    (study.field("Matrial", None, "Thickness", [1]), "no class 'Matrial' in the schema"),
    (study.field("Material", None, "Thicknes", [1]), "Material has no field 'Thicknes'"),
    (study.layer_thickness("Wall", 2, [0.1]), "construction 'Wall' has 1 layers, not 2"),
    (study.schedule_value("Nobody", [1]), "no schedule named 'Nobody'"),
    (study.field("Material", "Wall Layer", "Roughness", ["Rough;"]), "cannot stand in a field"),
    (study.field("Material", lambda o: o.__setitem__("Density", 1) or True, "Thickness", [0.1]),
     "a parameter changed the base model while it was being checked"),
])
def test_parameters_refused_before_anything_is_written(box, tmp_path, parameter, message):
    made = Study(box, [parameter], folder=tmp_path / "study", design=Design.table([parameter], [[0.1]])
                 if parameter.continuous else None, design_day=True)
    with pytest.raises(ValueError, match=message):
        made.write()
    assert not (tmp_path / "study").exists()


def test_designs(tmp_path):
    a = study.edit("a", lambda doc, v: None, range=(0.0, 10.0))
    b = study.edit("b", lambda doc, v: None, ["x", "y", "z"])
    grid = Design.grid([study.edit("a", lambda d, v: None, [1, 2]), b])
    assert grid.rows == [(1, "x"), (1, "y"), (1, "z"), (2, "x"), (2, "y"), (2, "z")]
    with pytest.raises(ValueError, match="'a' is a range: a grid needs its values"):
        Design.grid([a, b])
    assert Design.table([a, b], [{"a": 1.5, "b": "y"}]).rows == [(1.5, "y")]
    with pytest.raises(ValueError, match="two parameters are named 'a'"):
        Design.grid([b, study.edit("A", lambda d, v: None, [1]), study.edit("a", lambda d, v: None, [1])])
    pytest.importorskip("scipy", reason="the samplers need SciPy (the study extra)")
    for sampler in (Design.latin_hypercube, Design.sobol):
        first, again, other = (sampler([a, b], 16, seed=s) for s in (7, 7, 8))
        assert first == again and first != other and len(first) == 16
        assert all(0.0 <= row[0] < 10.0 and row[1] in ("x", "y", "z") for row in first.rows)
        first.save(tmp_path / "d.json")
        assert Design.load(tmp_path / "d.json") == first
    (tmp_path / "bad.json").write_text("[1, 2]")
    with pytest.raises(ValueError, match="not a saved design"):
        Design.load(tmp_path / "bad.json")


def ishigami(x1, x2, x3):
    return math.sin(x1) + 7 * math.sin(x2) ** 2 + 0.1 * x3 ** 4 * math.sin(x1)


def test_sobol_indices_of_the_ishigami_function(tmp_path):
    pytest.importorskip("SALib", reason="the sensitivity designs need SALib (the study extra)")
    # Published values (Saltelli et al.; SALib's own test): S1 = 0.3139, 0.4424, 0; ST = 0.5576, 0.4424, 0.2437.
    parameters = [study.edit(f"x{k}", lambda doc, v: None, range=(-math.pi, math.pi)) for k in (1, 2, 3)]
    design = Design.saltelli(parameters, 1024, seed=1)
    records = [{"variant": f"v{k}", **row, "y": ishigami(**row), "status": "ok"} for k, row in enumerate(design)]
    results = StudyResults(records, ["x1", "x2", "x3"], ["y"])
    results.to_csv(tmp_path / "results.csv")
    indices = study.sobol_indices(design, StudyResults.read_csv(tmp_path / "results.csv"), "y", seed=1)
    for name, s1, st in (("x1", 0.3139, 0.5576), ("x2", 0.4424, 0.4424), ("x3", 0.0, 0.2437)):
        assert indices[name]["S1"] == pytest.approx(s1, abs=0.05)
        assert indices[name]["ST"] == pytest.approx(st, abs=0.05)
    morris = Design.morris(parameters, 50, seed=1)
    effects = study.morris_indices(morris, [{"y": ishigami(**row)} for row in morris], "y", seed=1)
    assert effects["x3"]["mu_star"] < effects["x1"]["mu_star"] and effects["x3"]["mu_star"] < effects["x2"]["mu_star"]
    with pytest.raises(ValueError, match="need a design made by Design.saltelli"):
        study.sobol_indices(morris, records, "y")
    pytest.importorskip("matplotlib", reason="the plots need matplotlib (the plot extra)")
    study.plot_indices(indices, tmp_path / "indices.svg")
    study.plot_outputs(results, tmp_path / "outputs.png")
    assert (tmp_path / "indices.svg").stat().st_size > 0 and (tmp_path / "outputs.png").stat().st_size > 0


def test_results_table_round_trips(tmp_path):
    records = [{"variant": "v0", "p": 0.1, "q": "Rough", "e": 1.5e9, "n": 3, "status": "ok", "error": None,
                "warnings": 2, "severe": 0, "elapsed": 0.5, "cached": True},
               {"variant": "v1", "p": 3, "q": "Smooth", "e": None, "n": None, "status": "failed",
                "error": "severe, with a comma", "warnings": 0, "severe": 1, "elapsed": 0.1, "cached": False}]
    results = StudyResults(records, ["p", "q"], ["e", "n"], {"e": "J"})
    results.to_csv(tmp_path / "r.csv")
    assert (tmp_path / "r.csv").read_text().splitlines()[0] == \
        "variant,p,q,e [J],n [],status,error,warnings,severe,elapsed,cached"
    again = StudyResults.read_csv(tmp_path / "r.csv")
    assert again.records == records and again.units == {"e": "J"}
    assert (again.parameters, again.outputs) == (["p", "q"], ["e", "n"])
    assert [r["variant"] for r in results.failed] == ["v1"]
    pytest.importorskip("pandas", reason="to_pandas needs pandas (the study extra)")
    pytest.importorskip("pyarrow", reason="to_parquet needs pyarrow (the study extra)")
    frame = results.to_pandas()
    assert list(frame.columns) == results.columns and frame.attrs["units"] == {"e": "J"}
    results.to_parquet(tmp_path / "r.parquet")
    import pyarrow.parquet

    assert pyarrow.parquet.read_table(tmp_path / "r.parquet").to_pylist() == records


# ---------------------------------------------------------------------------------------------------------------
# Runs


def direct_outputs(folder: Path):
    """What the outputs are, read with sqlite3 from a run's own eplusout.sql."""
    with closing(sqlite3.connect(folder / "eplusout.sql")) as db:
        def values(name):
            return [v for (v,) in db.execute(
                "SELECT d.Value FROM ReportData d JOIN ReportDataDictionary r USING (ReportDataDictionaryIndex) "
                "WHERE r.Name = ? ORDER BY d.TimeIndex", (name,))]

        (u_wall,), = db.execute("SELECT Value FROM TabularDataWithStrings WHERE ReportName = 'EnvelopeSummary' "
                                "AND TableName = 'Opaque Exterior' AND RowName = 'SOUTH WALL' "
                                "AND ColumnName = 'U-Factor no Film'")
        return {"heating": sum(values(HEATING)), "warmest": max(values("Zone Mean Air Temperature")),
                "u_wall": float(u_wall)}


def outputs_of(results):
    return [{k: r[k] for k in ("variant", *results.parameters, *results.outputs, "status")} for r in results]


@pytest.fixture(scope="module")
def local_run(idd, tmp_path_factory):
    folder = tmp_path_factory.mktemp("local")
    base = IDF.from_string(idd, models.BOX, keep_layout=True)
    return Study(base, sixteen(), folder=folder, outputs=OUTPUTS, design_day=True).run(workers=2), folder


def test_rows_equal_each_runs_own_output_locally_and_on_dask(idd, local_run, tmp_path):
    results, folder = local_run
    assert len(results) == 16 and not results.failed
    for record in results:
        assert {k: record[k] for k in ("heating", "warmest", "u_wall")} == \
            pytest.approx(direct_outputs(folder / "runs" / record["variant"]))
    assert len({r["heating"] for r in results}) == 16  # every parameter changes what the engine computes
    assert results.units == {"heating": "J", "warmest": "C", "u_wall": "W/m2-K"}
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        on_dask = Study(IDF.from_string(idd, models.BOX, keep_layout=True), sixteen(), folder=tmp_path,
                        outputs=OUTPUTS, design_day=True).run(cluster=cluster)
    assert outputs_of(on_dask) == outputs_of(results) and not any(r["cached"] for r in on_dask)


def counting_engine(folder: Path) -> Path:
    """An engine folder whose energyplus notes each run in starts.txt, then runs the real one."""
    real = find_engine()
    folder.mkdir()
    for entry in real.root.iterdir():
        if entry.name != "energyplus":
            (folder / entry.name).symlink_to(entry)
    script = folder / "energyplus"
    script.write_text(f'#!/bin/sh\necho run >> "{folder / "starts.txt"}"\nexec "{real.executable}" "$@"\n')
    script.chmod(0o755)
    return folder


def study_file(folder: Path, engine_folder: Path, cache: str = "cache") -> Path:
    (folder / "box.idf").write_text(models.BOX)
    (folder / "study.toml").write_text(f"""
base = "box.idf"
folder = "out"
run = "design-day"
engine = "{engine_folder}"
cache = "{cache}"
workers = 2
[[parameters]]
type = "layer-thickness"
construction = "Wall"
layer = 1
values = [0.1, 0.25]
[[parameters]]
type = "material-property"
material = "Wall Layer"
field = "Density"
values = [1400.0, 900]
[[parameters]]
type = "schedule-value"
schedule = "Heating Setpoint"
values = [18, 21.5]
[[parameters]]
type = "window-wall-ratio"
values = [0.2, 0.5]
[[outputs]]
type = "series"
name = "heating"
variable = "{HEATING}"
key = "*"
[[outputs]]
type = "series"
name = "warmest"
variable = "Zone Mean Air Temperature"
key = "*"
how = "max"
[[outputs]]
name = "u_wall"
report = "EnvelopeSummary"
table = "Opaque Exterior"
row = "South Wall"
column = "U-Factor no Film"
""")
    return folder / "study.toml"


def tarvix(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tarvix", *args], capture_output=True, text=True, **kwargs)


def running_in(folder: Path) -> bool:
    """Whether a process's command line names `folder` (an engine running in one of its run folders)."""
    wanted = os.fsencode(folder)
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit() and int(entry.name) != os.getpid():
            try:
                if wanted in (entry / "cmdline").read_bytes():
                    return True
            except OSError:
                continue
    return False


def starts(engine_folder: Path) -> int:
    path = engine_folder / "starts.txt"
    return len(path.read_text().splitlines()) if path.exists() else 0


@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGKILL], ids=["SIGINT", "SIGKILL"])
def test_an_interrupted_study_resumes_without_running_again(local_run, tmp_path, how):
    engines = counting_engine(tmp_path / "engine")
    toml = study_file(tmp_path, engines)
    process = subprocess.Popen([sys.executable, "-m", "tarvix", "study", str(toml)], stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, start_new_session=how == signal.SIGKILL)
    cache = tmp_path / "cache"
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and (not cache.is_dir() or
                                           sum(not e.name.startswith(".") for e in cache.iterdir()) < 5):
        time.sleep(0.05)
    process.send_signal(how)
    process.wait(timeout=60)
    assert process.returncode != 0
    while time.monotonic() < deadline and running_in(tmp_path / "out"):
        time.sleep(0.1)  # the runs the killed study had started end with it
    finished = sum(not e.name.startswith(".") for e in cache.iterdir())
    assert 5 <= finished < 16
    before = starts(engines)
    resumed = tarvix("study", str(toml), "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert starts(engines) - before == 16 - finished
    table = StudyResults.read_csv(tmp_path / "out" / "results.csv")
    assert outputs_of(table) == outputs_of(local_run[0])
    refused = tarvix("study", str(toml))
    assert refused.returncode == 2 and "holds a study already: resume=True (--resume)" in refused.stderr


def test_a_failed_variant_is_a_row_and_two_studies_share_a_cache(box, tmp_path):
    broken = study.field("BuildingSurface:Detailed", "East Wall", "Construction Name", ["Wall", "No Such Wall"])
    made = Study(box, [broken, study.layer_thickness("Wall", 1, [0.1, 0.2])], folder=tmp_path / "a",
                 outputs=OUTPUTS[:1], design_day=True, cache=tmp_path / "cache")
    twin = Study(box, made.parameters, folder=tmp_path / "b", outputs=OUTPUTS[:1], design_day=True,
                 cache=tmp_path / "cache")
    found = {}
    threads = [threading.Thread(target=lambda s=s: found.__setitem__(s, s.run(workers=1))) for s in (made, twin)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert outputs_of(found[made]) == outputs_of(found[twin])
    statuses = [(r[broken.name], r["status"]) for r in found[made]]
    assert statuses == [("Wall", "ok"), ("Wall", "ok"), ("No Such Wall", "failed"), ("No Such Wall", "failed")]
    assert all("NO SUCH WALL" in r["error"].upper() for r in found[made].failed)


def test_a_variant_an_edit_cannot_make_is_a_row(box, tmp_path):
    def edit(doc, value):
        if value == "bad":
            raise ValueError("no such thing")

    made = Study(box, [study.edit("e", edit, ["good", "bad"])], folder=tmp_path, design_day=True, outputs=OUTPUTS[:1])
    results = made.run(workers=1)
    assert made.unmade == {"v0001": "parameter 'e' = 'bad': ValueError: no such thing"}
    assert sorted(p.name for p in (tmp_path / "variants").iterdir()) == ["v0000.idf"]
    assert [(r["status"], r["error"]) for r in results] == [
        ("ok", None), ("failed", "the variant could not be made: parameter 'e' = 'bad': ValueError: no such thing")]


def test_the_command_dry_run_and_bad_files(tmp_path):
    engines = find_engine().root
    toml = study_file(tmp_path, engines)
    dry = tarvix("study", str(toml), "--dry-run")
    assert dry.returncode == 0, dry.stderr
    assert len(list((tmp_path / "out" / "variants").glob("*.idf"))) == 16 and not (tmp_path / "out" / "runs").exists()
    text = toml.read_text()
    for old, new, message in [("values = [0.1, 0.25]", "values = [0.1, -1]", "-1 is outside the field's limits"),
                              ('type = "window-wall-ratio"', 'type = "wwr"', "type is one of field, "),
                              ('base = "box.idf"', 'base = "box.idf"\nfolders = 1', "unknown key 'folders'"),
                              ("[[outputs]]", "[[outputs]\n", "not TOML")]:
        toml.write_text(text.replace(old, new, 1))
        bad = tarvix("study", str(toml), "--dry-run", "--resume")
        assert bad.returncode == 2 and message in bad.stderr, bad.stderr
