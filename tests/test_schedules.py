"""tarvix.schedules against the engine: every schedule's value at every timestep of every environment, and
the calendar of each, as the engine's ESO and SQL output give them; then the ways a caller can misuse it."""

import sqlite3

import pytest
from schedule_models import HEAD, MODEL, SCHEDULES

from engine import payload_dir
from tarvix import schedules
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


def run_engine(text: str, tmp_path):
    from tarvix.simulation import find_engine, run

    engine = find_engine()
    source = tmp_path / "schedules.idf"
    source.write_text(text, encoding="utf-8")
    result = run(source, weather=engine.weather("Chicago"), output_dir=tmp_path / "run")
    assert result.ok, [m.text for m in result.messages if m.severity in ("severe", "fatal")]
    return result


@pytest.mark.parametrize("model", ["short", "annual"])
def test_values_are_the_engines_at_every_timestep(idd, tmp_path, model):
    text = MODEL if model == "short" else annual_model()
    result = run_engine(text, tmp_path)
    doc = IDF.from_string(idd, text)
    db = sqlite3.connect(result.files["eplusout.sql"])
    try:
        environments = db.execute("select EnvironmentPeriodIndex, EnvironmentName from EnvironmentPeriods").fetchall()
        ours = {e.name.upper(): e for e in schedules.environments(doc)}
        assert sorted(ours) == sorted(name for _, name in environments)
        rows = db.execute(
            "select d.KeyValue, t.EnvironmentPeriodIndex, rd.Value from ReportData rd"
            " join ReportDataDictionary d on rd.ReportDataDictionaryIndex = d.ReportDataDictionaryIndex"
            " join Time t on rd.TimeIndex = t.TimeIndex where d.Name = 'Schedule Value'"
            " order by d.KeyValue, t.EnvironmentPeriodIndex, rd.TimeIndex").fetchall()
        theirs: dict[tuple[str, int], list[float]] = {}
        for key, index, value in rows:
            theirs.setdefault((key.upper(), index), []).append(value)
        for index, name in environments:
            found = {k.upper(): v for k, v in schedules.values_all(doc, ours[name].index).items()}
            assert {k for k, i in theirs if i == index} == set(found)
            for key, values in found.items():
                expected = theirs[(key, index)]
                assert len(values) == len(expected), (name, key)
                wrong = [i for i, (a, b) in enumerate(zip(values, expected)) if abs(a - b) > 1e-9 * max(1.0, abs(b))]
                assert not wrong, (name, key, wrong[:5])
            days = db.execute("select Month, Day, DayType, Dst from Time where EnvironmentPeriodIndex = ?"
                              " and IntervalType = -1 and Hour < 24 order by TimeIndex", (index,)).fetchall()
            engine_days = list(dict.fromkeys(days))
            assert [(d.month, d.day, d.day_type, int(d.dst)) for d in schedules.calendar(doc, name)] == engine_days
    finally:
        db.close()


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
