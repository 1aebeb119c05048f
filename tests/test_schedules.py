"""tarvix.schedules against the engine: every schedule's value at every timestep of every environment, and
the calendar of each, as the engine's ESO and SQL output give them; then the ways a caller can misuse it."""

import sqlite3

import pytest
from schedule_models import HEAD, MODEL, SCHEDULES

from engine import payload_dir
from tarvix import _schedules, schedules
from tarvix.idd import IDD
from tarvix.idf import IDF

ANNUAL_RUN = "RunPeriod,Year,1,1,2017,12,31,2017,,Yes,Yes,Yes,Yes,Yes;\n"
SHORT_RUNS = ("RunPeriod,January,1,1,,1,14,,,Yes,Yes,Yes,Yes,Yes;\n"
              "RunPeriod,Spring,3,6,,3,19,,Wednesday,Yes,Yes,No,Yes,Yes;\n")


def annual_model() -> str:
    """Every schedule of the engine's DataSets/Schedules.idf and the hard cases over a whole year."""
    dataset = (payload_dir() / "DataSets" / "Schedules.idf").read_text(encoding="latin-1")
    return HEAD.replace(SHORT_RUNS, ANNUAL_RUN) + SCHEDULES + dataset


@pytest.fixture(scope="module")
def idd():
    return IDD.from_file(payload_dir() / "Energy+.idd")


def run_engine(text: str, tmp_path, weather=None):
    from tarvix.simulation import find_engine, run

    source = tmp_path / "schedules.idf"
    source.write_text(text, encoding="utf-8")
    result = run(source, weather=weather or find_engine().weather("Chicago"), output_dir=tmp_path / "run")
    assert result.ok, [m.text for m in result.messages if m.severity in ("severe", "fatal")]
    return result


def matches_the_engine(doc: IDF, sql, weather=None) -> None:
    """Every environment of the run in the SQL output `sql`: its days, as the Time table types them, and
    every schedule's value at every timestep, as "Schedule Value" reports it."""
    db = sqlite3.connect(sql)
    try:
        environments = db.execute("select EnvironmentPeriodIndex, EnvironmentName from EnvironmentPeriods").fetchall()
        rows = db.execute(
            "select upper(d.KeyValue), t.EnvironmentPeriodIndex, rd.Value from ReportData rd"
            " join ReportDataDictionary d on rd.ReportDataDictionaryIndex = d.ReportDataDictionaryIndex"
            " join Time t on rd.TimeIndex = t.TimeIndex where d.Name = 'Schedule Value' order by rd.TimeIndex")
        theirs: dict[tuple[str, int], list[float]] = {}
        for key, index, value in rows:
            theirs.setdefault((key, index), []).append(value)
        days = {}
        for index, month, day, day_type, dst in db.execute(
                "select EnvironmentPeriodIndex, Month, Day, DayType, Dst from Time where IntervalType = -1"
                " and Hour < 24 order by TimeIndex"):
            days.setdefault(index, {})[(month, day, day_type, dst)] = None
    finally:
        db.close()
    ours_environments = [e.name.upper() for e in schedules.environments(doc) if weather is None or e.kind == "run period"]
    assert sorted(ours_environments) == sorted(name for _, name in environments)
    for index, name in environments:
        found = {k.upper(): v for k, v in schedules.values_all(doc, name, weather=weather).items()}
        assert {k for k, i in theirs if i == index} == set(found)
        for key, values in found.items():
            expected = theirs[(key, index)]
            assert len(values) == len(expected), (name, key)
            wrong = [i for i, (a, b) in enumerate(zip(values, expected)) if abs(a - b) > 1e-9 * max(1.0, abs(b))]
            assert not wrong, (name, key, wrong[:5])
        ours = schedules.calendar(doc, name, weather=weather)
        assert [(d.month, d.day, d.day_type, int(d.dst)) for d in ours] == list(days[index]), name


@pytest.mark.parametrize("model", ["short", "annual"])
def test_values_are_the_engines_at_every_timestep(idd, tmp_path, model):
    text = MODEL if model == "short" else annual_model()
    result = run_engine(text, tmp_path)
    matches_the_engine(IDF.from_string(idd, text), result.files["eplusout.sql"])


def test_values_is_one_schedule_as_an_array(idd):
    doc = IDF.from_string(idd, MODEL)
    january = schedules.values(doc, "always", environment="January")
    assert january.typecode == "d" and len(january) == 14 * 24 * 4 and set(january) == {0.75}
    assert schedules.values(doc, "Ramped", environment=0) == schedules.values_all(doc, 0)["Ramped"]
    memoryview(january).cast("B")  # a buffer numpy reads without a copy
    first = schedules.environments(doc)[3]
    assert (first.kind, first.first, first.start_weekday, first.timesteps_per_hour) == (
        "run period", (2017, 1, 1), "Sunday", 4)


@pytest.mark.parametrize(("call", "error"), [
    (lambda doc: schedules.values(doc, "No Such Schedule"), KeyError),
    (lambda doc: schedules.values(doc, 3), TypeError),
    (lambda doc: schedules.values_all(doc, environment=99), IndexError),
    (lambda doc: schedules.calendar(doc, "Autumn"), ValueError),
    (lambda doc: schedules.calendar(doc, 1.5), TypeError),
    (lambda doc: schedules.environments("not a document"), TypeError),
    (lambda doc: schedules.environments(IDF.__new__(IDF)), RuntimeError),
])
def test_misuse_raises(idd, call, error):
    with pytest.raises(error):
        call(IDF.from_string(idd, MODEL))


def test_records_of_the_schedules_module_and_what_it_takes(idd):
    doc = IDF.from_string(idd, MODEL)
    info, days = _schedules.info(doc), _schedules.calendar(doc, None, None)
    assert (type(info), type(info.environments[0]), type(days[0])) == (
        _schedules.Info, _schedules.EnvironmentInfo, _schedules.Day)
    assert info.timesteps == schedules.environments(doc)[0].timesteps_per_hour
    for call in (_schedules.info, lambda d: _schedules.calendar(d, None, None),
                 lambda d: _schedules.values(d, None, None, None, None)):
        with pytest.raises(TypeError, match=r"\(\) argument 'doc' must be tarvix.idf.IDF, not str$"):
            call("not a document")
        with pytest.raises(RuntimeError, match="^IDF is not initialized$"):
            call(IDF.__new__(IDF))


def test_hostile_schedules_end_in_values(idd):
    """Times and dates that do not read, fields missing, a Through that stops short, huge counts: each
    schedule still gets values (0.0 where the engine would stop), in time linear in its fields."""
    text = HEAD + """Schedule:Compact,Broken,Any Number,Through: 6/30,For: Weekdays,Until: 25:00,1,Until: x,2;
Schedule:Compact,Short,Any Number,Through: 2/28,For: AllDays,Until: 24:00,1;
Schedule:Compact,Nothing,Any Number;
Schedule:Day:List,Odd,Any Number,Average,7,1,2,3;
Schedule:Week:Compact,Odd Week,For: Weekdays,No Day;
Schedule:Year,Odd Year,Any Number,Odd Week,13,40,0,0;
Schedule:Compact,Many,Any Number,Through: 12/31,For: AllDays,""" + ",".join(
        f"Until: {h // 60}:{h % 60:02d},{h}" for h in range(1, 1441)) + ";\n"
    doc = IDF.from_string(idd, text)
    found = schedules.values_all(doc, "January")
    assert set(found) == {"Broken", "Short", "Nothing", "Odd Year", "Many"}
    assert all(len(v) == 14 * 96 for v in found.values())
    assert found["Short"][0] == 1.0 and found["Nothing"][0] == 0.0
    # A file that is not a regular file is not read (a device would be read forever).
    device = IDF.from_string(idd, HEAD + "Schedule:File,Z,Any Number,/dev/zero,1,0,8760,Comma,No,60;\n")
    with pytest.raises(ValueError, match="/dev/zero: no such file"):
        schedules.values(device, "Z")


def schedule_files(folder) -> str:
    """Schedule:File objects over two files written into `folder`: hourly values in a second column under
    a header line, and 10-minute items read as they are and averaged, one of them not shifted by daylight
    saving time."""
    with open(folder / "hourly.csv", "w", encoding="utf-8") as out:
        out.write("label,value\n")
        out.writelines(f"{k % 24 + 0.5},{k / 100:.2f}\n" for k in range(8760))
    with open(folder / "tenmin.csv", "w", encoding="utf-8") as out:
        out.writelines(f"{(k % 144) * 1.0}\n" for k in range(8760 * 6))
    return (f"Schedule:File,Hourly File,Any Number,{folder / 'hourly.csv'},2,1,8760,Comma,No,60,Yes;\n"
            f"Schedule:File,Ten Minutes Avg,Any Number,{folder / 'tenmin.csv'},1,0,8760,Comma,Yes,10,No;\n"
            f"Schedule:File,Ten Minutes,Any Number,{folder / 'tenmin.csv'},1,0,8760,Comma,No,10;\n")


def test_schedule_files_are_read_as_the_engine_reads_them(idd, tmp_path):
    from tarvix._eso import EsoFile

    text = HEAD + schedule_files(tmp_path)
    result = run_engine(text, tmp_path)
    eso = EsoFile(result.files["eplusout.eso"])
    titles = eso.environments()
    reports = [v for v in eso.variables() if v[2] == "Schedule Value"]
    read = eso.read([v[0] for v in reports])
    doc = IDF.from_string(idd, text)
    for env in schedules.environments(doc):
        ours = {k.upper(): v for k, v in schedules.values_all(doc, env.index).items()}
        for report, key, *_ in reports:
            values, stamps = read[report]
            expected = [v for v, stamp in zip(values, stamps) if titles[stamp[0]].upper() == env.name.upper()]
            assert list(ours[key.upper()]) == pytest.approx(expected, rel=1e-9, abs=1e-12), (env.name, key)
    # Relative names are looked for in the folder given first.
    relative = IDF.from_string(idd, text.replace(str(tmp_path) + "/", ""))
    assert schedules.values(relative, "Hourly File", folder=tmp_path) == schedules.values(doc, "Hourly File")


@pytest.mark.parametrize(("rows", "message"), [
    (None, "missing.csv: no such file"),
    (["1", "2", "x3"], "bad.csv, line 3: 'x3' is not a number"),
    (["1,2", "3"], "bad.csv, line 1: no column 3"),
])
def test_unreadable_schedule_files_name_the_file_and_line(idd, tmp_path, rows, message):
    name = "missing.csv" if rows is None else "bad.csv"
    if rows is not None:
        (tmp_path / name).write_text("\n".join(rows) + "\n", encoding="utf-8")
    column = 3 if rows and "," in rows[0] else 1
    doc = IDF.from_string(idd, HEAD + f"Schedule:File,F,Any Number,{name},{column},0,8760,Comma,No,60;\n")
    with pytest.raises(ValueError, match=message):
        schedules.values(doc, "F", folder=tmp_path)


@pytest.mark.parametrize(("schedule", "code", "engine_says"), [
    ("Schedule:Compact,E,Any Number,Through: 11/30,For: AllDays,Until: 24:00,1;",
     "schedule-incomplete", "has missing days in its schedule pointers"),
    ("Schedule:Compact,E,Any Number,Through: 12/31,For: AllDays,Until: 18:00,1;",
     "schedule-incomplete", "incomplete day detected"),
    ("Schedule:Compact,E,Any Number,Through: 12/31,For: AllDays,Until: 25:00,1;",
     "schedule-bad-time", 'Invalid "Until" field encountered'),
    ("Schedule:Compact,E,Any Number,Through: 12/31,For: Weekdays,Until: 24:00,1;",
     "schedule-day-uncovered", "has missing day types"),
    ("ScheduleTypeLimits,Fraction,0,1,Continuous;\nSchedule:Compact,E,Fraction,Through: 12/31,For: AllDays,"
     "Until: 24:00,1.5;", "schedule-out-of-limits", "schedule contains values that are < 0 and/or > 1"),
    ("SizingPeriod:DesignDay,E,2,29,WinterDesignDay,-20,0.0,DefaultMultipliers,,Wetbulb,-20,,,,,98934,4.9,270,"
     "No,No,No,ASHRAEClearSky,,,,,0.0;", "schedule-bad-date", "invalid Day of Month"),
])
def test_what_the_engine_reports_is_a_problem_of_validate(idd, tmp_path, schedule, code, engine_says):
    from tarvix.simulation import find_engine, run

    text = HEAD.replace(SHORT_RUNS, "") + schedule + "\n"
    problems = [p for p in IDF.from_string(idd, text).validate() if p.code.startswith("schedule-")]
    assert [(p.code, p.object_name) for p in problems] == [(code, "E")]
    assert problems[0].severity == ("warning" if code == "schedule-day-uncovered" else "error")
    source = tmp_path / "check.idf"
    source.write_text(text, encoding="utf-8")
    result = run(source, design_day=True, output_dir=tmp_path / "run", engine=find_engine())
    said = {m.severity for m in result.messages if engine_says in m.text and m.severity != "info"}
    assert said == ({"warning"} if code == "schedule-day-uncovered" else {"severe"})


def test_command_writes_what_the_engine_writes(idd, tmp_path):
    """`tarvix schedules` against the engine's own CSV of the same run (its ReadVarsESO): the same labels and
    the same values, row for row, for the first run period."""
    import subprocess
    import sys

    result = run_engine(MODEL, tmp_path)
    subprocess.run([str(payload_dir() / "PostProcess" / "ReadVarsESO")], cwd=result.output_dir, check=True,
                   capture_output=True, timeout=120)
    engine_rows = (result.output_dir / "eplusout.csv").read_text().splitlines()
    header, rows = engine_rows[0].split(","), [r.split(",") for r in engine_rows[1:]]
    source = tmp_path / "doc.idf"
    source.write_text(MODEL, encoding="utf-8")
    out = tmp_path / "out.csv"
    subprocess.run([sys.executable, "-m", "tarvix", "schedules", str(source), "--idd", str(payload_dir() / "Energy+.idd"),
                    "--environment", "January", "-o", str(out)], check=True, capture_output=True, timeout=120)
    ours = [r.split(",") for r in out.read_text().splitlines()]
    design_day_rows = 3 * 24 * 4
    theirs = rows[design_day_rows:design_day_rows + len(ours) - 1]
    assert [r[0] for r in ours[1:]] == [r[0] for r in theirs]
    columns = {name.split(":")[0].upper(): k for k, name in enumerate(header)}
    for k, name in enumerate(ours[0][1:], 1):
        j = columns[name.split(":")[0].upper()]
        assert [float(r[k]) for r in ours[1:]] == pytest.approx([float(r[j]) for r in theirs], rel=1e-9)
    plot = subprocess.run([sys.executable, "-m", "tarvix", "schedules", str(source), "--idd",
                           str(payload_dir() / "Energy+.idd"), "--name", "Nope"], capture_output=True, text=True)
    assert plot.returncode == 2 and "no schedule named 'Nope'" in plot.stderr


def test_command_draws_heat_maps(idd, tmp_path):
    import subprocess
    import sys
    import xml.etree.ElementTree as ET

    pytest.importorskip("matplotlib", reason="--plot needs matplotlib, which is not installed")
    source = tmp_path / "doc.idf"
    source.write_text(MODEL, encoding="utf-8")
    svg = tmp_path / "maps.svg"
    subprocess.run([sys.executable, "-m", "tarvix", "schedules", str(source), "--idd", str(payload_dir() / "Energy+.idd"),
                    "-o", str(tmp_path / "out.csv"), "--plot", str(svg)], check=True, capture_output=True, timeout=300)
    assert ET.parse(svg).getroot().tag.endswith("svg")


def weather_with_calendar(source, target):
    """The weather file with holidays, a daylight saving period and leap years allowed in its header, and a
    February 29 (a copy of February 28) in its data."""
    out = []
    with open(source, encoding="latin-1", newline="") as lines:
        for number, line in enumerate(lines):
            if line.startswith("HOLIDAYS/DAYLIGHT SAVINGS"):
                line = "HOLIDAYS/DAYLIGHT SAVINGS,Yes,4/3,10/30,2,Independence,7/4,Christmas,12/25\r\n"
            out.append(line)
            fields = line.split(",")
            if number > 7 and fields[1:4] == ["2", "28", "24"]:
                out.extend(",".join([f[0], f[1], "29", *f[3:]]) for f in (
                    r.split(",") for r in out if r.split(",")[1:3] == ["2", "28"]))
    target.write_text("".join(out), encoding="latin-1", newline="")
    return target


def test_the_weather_files_calendar(idd, tmp_path):
    """Its leap years keep February 29, its daylight saving period applies, and its holidays read the
    Sunday slot of the week (the engine gives them that day type, and reports "Sunday"): short runs and a
    whole leap year, every schedule of the engine's dataset too."""
    from tarvix.simulation import find_engine

    weather = weather_with_calendar(find_engine().weather("Chicago"), tmp_path / "calendar.epw")
    runs = ("RunPeriod,Leap,2,25,2016,3,10,2016,,Yes,Yes,Yes,Yes,Yes;\n"
            "RunPeriod,Summer,6,30,2016,7,8,2016,,Yes,Yes,Yes,Yes,Yes;\n"
            "RunPeriod,Christmas,12,20,2017,12,31,2017,,Yes,Yes,Yes,Yes,Yes;\n"
            "RunPeriod,Leap Year,1,1,2016,12,31,2016,,Yes,Yes,Yes,Yes,Yes;\n")
    head = HEAD.split("RunPeriod,", 1)[0] + runs + "ScheduleTypeLimits,Any Number;\n" \
        "Output:Variable,*,Schedule Value,Timestep;\nOutput:SQLite,Simple;\n"
    text = head.replace("SimulationControl,No,No,No,Yes,Yes,No,1;", "SimulationControl,No,No,No,No,Yes,No,1;")
    text += SCHEDULES + (payload_dir() / "DataSets" / "Schedules.idf").read_text(encoding="latin-1")
    result = run_engine(text, tmp_path, weather)
    doc = IDF.from_string(idd, text)
    matches_the_engine(doc, result.files["eplusout.sql"], weather)
    assert any(d.month == 2 and d.day == 29 for d in schedules.calendar(doc, "Leap", weather=weather))
    assert not any(d.month == 2 and d.day == 29 for d in schedules.calendar(
        doc, "Leap", weather=find_engine().weather("Chicago")))


DESIGN_DAY = ("SizingPeriod:DesignDay,Bad,{month},{day},WinterDesignDay,-20,0.0,DefaultMultipliers,,Wetbulb,-20,,,,,"
              "98934,4.9,270,No,No,No,ASHRAEClearSky,,,,,0.0;\n")


@pytest.mark.parametrize(("month", "day", "field"), [
    (13, 1, "Month"), (0, 1, "Month"), (-5, 1, "Month"), (1, 99, "Day of Month"), (2, 30, "Day of Month"),
    (4, 31, "Day of Month"), (2, 29, "Day of Month"),
])
def test_a_date_the_engine_refuses_is_a_value_error(idd, month, day, field):
    doc = IDF.from_string(idd, MODEL + DESIGN_DAY.format(month=month, day=day))
    message = f"SizingPeriod:DesignDay 'Bad', field '{field}'"
    for call in (lambda: schedules.values(doc, "Always", environment="Bad"),
                 lambda: schedules.values_all(doc, environment="Bad"),
                 lambda: schedules.calendar(doc, "Bad"), lambda: schedules.environments(doc)):
        with pytest.raises(ValueError, match=message):
            call()
    assert len(schedules.values(doc, "Always", environment="January")) == 14 * 96  # the others still run
    found = [p for p in doc.validate() if p.code == "schedule-bad-date"]
    assert [(p.object_name, p.field_name, p.severity) for p in found] == [("Bad", field, "error")]


@pytest.mark.parametrize("duration", [366, 1000, 100000, 10**30])
def test_a_special_day_lasts_a_year_at_most(idd, duration):
    doc = IDF.from_string(idd, MODEL + f"RunPeriodControl:SpecialDays,Long,1/1,{duration},CustomDay2;\n")
    assert {d.day_type for d in schedules.calendar(doc, "January")} == {"CustomDay2"}
    assert len(schedules.values_all(doc, "Spring")["Seasons"]) == 14 * 96
    assert [e.name for e in schedules.environments(doc)][-1] == "Spring"


def test_holidays_at_the_ends_of_a_year_are_observed_as_the_engine_observes_them(idd, tmp_path):
    """The weekend rule moves a holiday on 12/30 past the year to 1/1, and keeps one on 12/31 where it is,
    in common and leap years (whole-year runs, as the engine resolves them from the start of the year)."""
    from tarvix.simulation import find_engine

    runs = "".join(f"RunPeriod,Y{y},1,1,{y},12,31,{y},,Yes,Yes,Yes,Yes,Yes;\n" for y in (2011, 2016, 2017, 2028))
    specials = ("RunPeriodControl:SpecialDays,Eve,12/30,1,CustomDay1;\n"
                "RunPeriodControl:SpecialDays,Last,12/31,1,Holiday;\n")
    text = (HEAD.split("SizingPeriod:DesignDay", 1)[0] + runs + specials + "ScheduleTypeLimits,Any Number;\n"
            "Output:Variable,*,Schedule Value,Timestep;\nOutput:SQLite,Simple;\n" + SCHEDULES)
    text = text.replace("SimulationControl,No,No,No,Yes,Yes,No,1;", "SimulationControl,No,No,No,No,Yes,No,1;")
    weather = weather_with_calendar(find_engine().weather("Chicago"), tmp_path / "leap.epw")
    result = run_engine(text, tmp_path, weather)
    doc = IDF.from_string(idd, text)
    matches_the_engine(doc, result.files["eplusout.sql"], weather)
    last = [d for d in schedules.calendar(doc, "Y2011", weather=weather) if d.day_type == "Holiday"]
    assert [(d.month, d.day) for d in last] == [(12, 31)]  # a Saturday, kept


def test_schedule_files_are_found_beside_the_document_and_read_only_as_far_as_needed(idd, tmp_path, monkeypatch):
    folder = tmp_path / "model"
    folder.mkdir()
    (folder / "hours.csv").write_text("".join(f"{k % 3}\n" for k in range(8760)), encoding="utf-8")
    with open(folder / "huge.csv", "wb") as out:  # 8,760 good rows, then 2 GiB of nothing (sparse)
        out.write(b"0.5\n" * 8760)
        out.truncate(2**31)
    (folder / "wide.csv").write_text("x" * 100_000 + "\n", encoding="utf-8")
    text = (MODEL + "ScheduleTypeLimits,Fraction,0,1,Continuous;\n"
            "Schedule:File,Hours,Fraction,hours.csv,1,0,8760,Comma,No,60;\n"
            "Schedule:File,Huge,Any Number,huge.csv,1,0,8760,Comma,No,60;\n"
            "Schedule:File,Wide,Any Number,wide.csv,1,0,8760,Comma,No,60;\n"
            "Schedule:File,Device,Any Number,/proc/self/mem,1,0,8760,Comma,No,60;\n"
            "Schedule:File,Missing,Any Number,nowhere.csv,1,0,8760,Comma,No,60;\n")
    (folder / "model.idf").write_text(text, encoding="utf-8")
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "hours.csv").write_text("9\n" * 8760, encoding="utf-8")  # never read: not the document's folder
    monkeypatch.chdir(elsewhere)
    doc = IDF.from_file(idd, folder / "model.idf")
    assert list(schedules.values(doc, "Hours", environment="January")[:8]) == [0.0] * 4 + [1.0] * 4
    assert set(schedules.values(doc, "Huge")) == {0.5}
    assert set(schedules.values(doc, "Always")) == {0.75}  # whatever the other files are
    with pytest.raises(ValueError, match=r"wide.csv, line 1: 'x{60}\.\.\.' is not a number") as wide:
        schedules.values(doc, "Wide")
    assert len(str(wide.value)) < 200
    with pytest.raises(ValueError, match="/proc/self/mem, line 1: cannot be read"):
        schedules.values(doc, "Device")
    # validate() reads the files from the document's folder too: 2 is outside the Fraction limits.
    assert [p.object_name for p in doc.validate() if p.code == "schedule-out-of-limits"] == ["Hours"]
    assert not [p for p in IDF.from_string(idd, text).validate() if p.code == "schedule-out-of-limits"]


def test_values_read_the_document_once_while_it_stays_the_same(idd, tmp_path):
    import time

    (tmp_path / "a.csv").write_text("1\n" * 8760, encoding="utf-8")
    doc = IDF.from_string(idd, MODEL + annual_model_files(tmp_path))
    names = schedules.environments(doc) and list(schedules.values_all(doc))
    start = time.perf_counter()
    for name in names * 20:
        schedules.values(doc, name)
    each = (time.perf_counter() - start) / (20 * len(names))
    assert each < 0.002, each
    # A change to the document or to a file it reads is seen at once.
    (tmp_path / "a.csv").write_text("2\n" * 8761, encoding="utf-8")
    assert set(schedules.values(doc, "From File")) == {2.0}
    doc.get_objects("Schedule:Constant")[0][2] = 0.5
    assert set(schedules.values(doc, "Always")) == {0.5}


def annual_model_files(folder) -> str:
    return f"Schedule:File,From File,Any Number,{folder / 'a.csv'},1,0,8760,Comma,No,60;\n"


@pytest.mark.parametrize(("extra", "status", "said"), [
    (["--environment", "99999999999999999999"], 2, "environment index 99999999999999999999 out of range"),
    (["--environment", "Autumn"], 2, "no environment named 'Autumn'"),
    (["--weather", "/dev/zero"], 1, "no such weather file"),
    (["-o", "{tmp}/same.out", "--plot", "{tmp}/same.out", "--force"], 2, "cannot be the same file"),
    (["--plot", "{tmp}/empty.svg", "--doc", "empty"], 1, "no schedules to plot"),
])
def test_command_says_what_is_wrong(idd, tmp_path, extra, status, said):
    import subprocess
    import sys

    source = tmp_path / "doc.idf"
    empty = "--doc" in extra
    if empty:
        pytest.importorskip("matplotlib", reason="--plot needs matplotlib, which is not installed")
        extra = extra[:-2]
    source.write_text(HEAD if empty else MODEL, encoding="utf-8")
    done = subprocess.run([sys.executable, "-m", "tarvix", "schedules", str(source), "--idd",
                           str(payload_dir() / "Energy+.idd"), *(a.format(tmp=tmp_path) for a in extra)],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert (done.returncode, said in done.stderr, "Traceback" in done.stderr) == (status, True, False), done.stderr
    assert not (tmp_path / "same.out").exists()


def test_command_draws_many_schedules_on_pages(idd, tmp_path):
    import subprocess
    import sys

    pytest.importorskip("matplotlib", reason="--plot needs matplotlib, which is not installed")
    many = "".join(f"Schedule:Constant,C{k},Any Number,{k};\n" for k in range(20))
    source = tmp_path / "doc.idf"
    source.write_text(HEAD + many, encoding="utf-8")
    pdf = tmp_path / "maps.pdf"
    subprocess.run([sys.executable, "-m", "tarvix", "schedules", str(source), "--idd", str(payload_dir() / "Energy+.idd"),
                    "-o", str(tmp_path / "out.csv"), "--plot", str(pdf)], check=True, capture_output=True, timeout=300)
    assert pdf.read_bytes().count(b"/Type /Page\n") + pdf.read_bytes().count(b"/Type /Page ") >= 3


def test_plot_draws_the_named_schedules_with_progress(idd, tmp_path):
    import xml.etree.ElementTree as ET

    pytest.importorskip("matplotlib", reason="plot() needs matplotlib, which is not installed")
    doc = IDF.from_string(idd, MODEL)
    calls = []
    schedules.plot(doc, tmp_path / "maps.svg", ["Office", "Seasons"], "Spring", progress=lambda *a: calls.append(a))
    assert ET.parse(tmp_path / "maps.svg").getroot().tag.endswith("svg") and calls == [(1, 2), (2, 2)]
    with pytest.raises(ValueError, match="no schedules to plot"):
        schedules.plot(IDF.from_string(idd, HEAD), tmp_path / "none.svg")
    assert not (tmp_path / "none.svg").exists()


def test_environment_is_taken_the_same_way_and_days_keep_their_weekday(idd):
    doc = IDF.from_string(idd, MODEL)
    assert schedules.values(doc, "Office", "Spring") == schedules.values(doc, "Office", environment="Spring")
    assert schedules.values_all(doc, "Spring")["Office"] == schedules.values_all(doc, environment="Spring")["Office"]
    days = schedules.calendar(doc, "January")
    assert (days[1].day_type, days[1].weekday) == ("Holiday", "Monday")  # New Year (a Sunday) observed
    assert [d.weekday for d in days[:7]] == list(schedules.DAY_TYPES[:7])
