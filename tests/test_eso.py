"""tarvix._eso against the engine: every value of a real ESO and MTR read as the engine's ReadVarsESO prints
it in its CSV, at the same time stamps; and malformed files refused with a ValueError naming the fault."""

import csv
import os
import sqlite3
import stat
import subprocess
from contextlib import closing
from datetime import datetime

import pytest

from engine import payload_dir
from tarvix._eso import EsoFile

# A one-zone box with lights and plugs over a winter week and a summer run period that spans two months, so
# that every frequency (and a monthly value cut by the end of a run period) is written.
MODEL = """Version,25.2;
SimulationControl,No,No,No,Yes,Yes;
Building,Box,0,Suburbs,0.04,0.4,FullExterior,25,6;
Timestep,4;
GlobalGeometryRules,UpperLeftCorner,Counterclockwise,Relative;
Site:Location,Chicago,41.98,-87.92,-6,201;
RunPeriod,Week,1,14,,1,27,,Tuesday,Yes,Yes,No,Yes,Yes;
RunPeriod,Summer,7,30,,8,2,,Tuesday,Yes,Yes,No,Yes,Yes;
Material,Board,MediumSmooth,0.1,0.5,800,1000;
Construction,Wall,Board;
ScheduleTypeLimits,Fraction,0,1,Continuous;
Schedule:Compact,Busy,Fraction,Through: 12/31,For: Weekdays,Until: 08:00,0.1,Until: 18:00,1,Until: 24:00,0.2,
  For: AllOtherDays,Until: 24:00,0.1;
Zone,Room;
BuildingSurface:Detailed,Floor,Floor,Wall,Room,,Ground,,NoSun,NoWind,,4,0,0,0,0,5,0,5,5,0,5,0,0;
BuildingSurface:Detailed,Roof,Roof,Wall,Room,,Outdoors,,SunExposed,WindExposed,,4,0,5,3,0,0,3,5,0,3,5,5,3;
BuildingSurface:Detailed,South,Wall,Wall,Room,,Outdoors,,SunExposed,WindExposed,,4,0,0,3,0,0,0,5,0,0,5,0,3;
BuildingSurface:Detailed,East,Wall,Wall,Room,,Outdoors,,SunExposed,WindExposed,,4,5,0,3,5,0,0,5,5,0,5,5,3;
BuildingSurface:Detailed,North,Wall,Wall,Room,,Outdoors,,SunExposed,WindExposed,,4,5,5,3,5,5,0,0,5,0,0,5,3;
BuildingSurface:Detailed,West,Wall,Wall,Room,,Outdoors,,SunExposed,WindExposed,,4,0,5,3,0,5,0,0,0,0,0,0,3;
Lights,Lamps,Room,Busy,Watts/Area,,8,0,0.2,0.2,0;
ElectricEquipment,Plugs,Room,Busy,EquipmentLevel,300,,,0,0.3,0;
Output:Variable,*,Site Outdoor Air Drybulb Temperature,Timestep;
Output:Variable,*,Site Outdoor Air Drybulb Temperature,Hourly;
Output:Variable,*,Zone Air Heat Balance Internal Convective Heat Gain Rate,Detailed;
Output:Variable,Room,Zone Mean Air Temperature,Hourly;
Output:Variable,*,Zone Mean Air Temperature,Daily;
Output:Variable,*,Zone Lights Electricity Energy,Monthly;
Output:Variable,*,Zone Mean Air Temperature,RunPeriod;
Output:Variable,*,Surface Inside Face Temperature,Annual;
Output:Meter,Electricity:Facility,Hourly;
Output:Meter,InteriorLights:Electricity,Daily;
Output:Meter:Cumulative,Electricity:Facility,Monthly;
Output:Meter,Electricity:Facility,RunPeriod;
"""
WEATHER = "USA_IL_Chicago-OHare.Intl.AP.725300_TMY3.epw"
# The engine's spelling of each frequency in the dictionary and in ReadVarsESO's column names.
LABELS = {"Timestep": "TimeStep", "Detailed": "Each Call"}


def _tool(path):
    if not os.access(path, os.X_OK):
        path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return path


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    """A folder with the engine's eplusout.eso and .mtr of MODEL and ReadVarsESO's CSV of each."""
    payload = payload_dir()
    folder = tmp_path_factory.mktemp("eso-run")
    (folder / "model.idf").write_text(MODEL)
    # The engine's tools are not ours: they run without the sanitizer runtime a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    engine = _tool(payload / "energyplus")
    weather = payload / "WeatherData" / WEATHER
    run = subprocess.run([engine, "-w", weather, "-d", folder, folder / "model.idf"], env=env,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    readvars = _tool(payload / "PostProcess" / "ReadVarsESO")
    for source, target in (("eplusout.eso", "eplusout.csv"), ("eplusout.mtr", "eplusmtr.csv")):
        rvi = folder / (source + ".rvi")
        rvi.write_text(f"{source}\n{target}\n0\n")
        done = subprocess.run([readvars, rvi.name, "unlimited"], cwd=folder, env=env, capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0 and (folder / target).is_file(), done.stdout + done.stderr
    return folder


@pytest.mark.parametrize(("source", "printed"), [("eplusout.eso", "eplusout.csv"), ("eplusout.mtr", "eplusmtr.csv")])
def test_every_value_as_readvars_prints_it(run_dir, source, printed):
    eso = EsoFile(run_dir / source)
    assert EsoFile((run_dir / source).read_bytes()).variables() == eso.variables()
    assert eso.version.startswith("EnergyPlus, Version 25.2")
    assert eso.environments() == ["WEEK", "SUMMER"]
    variables = eso.variables()
    with open(run_dir / printed, newline="") as handle:
        rows = [[cell.strip() for cell in row] for row in csv.reader(handle)]
    # The columns are the dictionary's reports in its order, named from what the reader parsed.
    names = [f"{key + ':' if key else ''}{name} [{units}]({LABELS.get(freq, freq)})"
             for _, key, name, units, freq, _ in variables]
    assert rows[0][1:] == names
    assert all(is_meter == (key == "") for _, key, _, _, _, is_meter in variables)
    assert all(is_meter for *_, is_meter in variables) == (source == "eplusout.mtr")
    assert {freq for _, _, _, _, freq, _ in variables} >= (
        {"Hourly", "Daily", "Monthly", "RunPeriod"} | ({"Timestep", "Detailed", "Annual"} if source == "eplusout.eso" else set()))

    values = eso.read([v[0] for v in variables])
    for column, (report, *_) in enumerate(variables, start=1):
        printed_values = [(row[0], row[column]) for row in rows[1:] if column < len(row) and row[column]]
        array, stamps = values[report]
        assert array.typecode == "d" and len(array) == len(stamps) == len(printed_values)
        for value, (env, month, day, hour, minute), (when, text) in zip(array, stamps, printed_values):
            # ReadVarsESO puts a daily or longer value on the row of the last hourly stamp before it.
            seconds = int(minute * 60 + 1e-6)  # as ReadVarsESO prints them: whole seconds, cut
            assert (value, f"{month:02d}/{day:02d}  {hour:02d}:{seconds // 60:02d}:{seconds % 60:02d}") == (
                float(text), when)
            assert type(minute) is (int if minute == int(minute) else float)
        assert [env for env, *_ in stamps] == sorted(env for env, *_ in stamps)
    # Only what is asked for is read; an id twice is read once.
    some = variables[1][0]
    assert list(eso.read([some, some])) == [some] and eso.read([]) == {}
    assert eso.read([some])[some][0] == values[some][0]


DICTIONARY = (
    "Program Version,EnergyPlus, Version 25.2.0-cf7368216c, YMD=2026.12.09 02:28\n"
    "1,5,Environment Title[],Latitude[deg],Longitude[deg],Time Zone[],Elevation[m]\n"
    "2,8,Day of Simulation[],Month[],Day of Month[],DST Indicator[1=yes 0=no],Hour[],StartMinute[],EndMinute[],DayType\n"
    "7,1,Environment,Site Outdoor Air Drybulb Temperature [C] !Hourly\n"
    "8,1,Electricity:Facility [J] !Hourly\n"
    "End of Data Dictionary\n"
)
STAMP = "1,WEEK,  41.98, -87.92,  -6.00, 201.00\n2,1, 1,14, 0, 1, 0.00,60.00,Tuesday\n"
GOOD = DICTIONARY + STAMP + "7,-9.9\n8,180000.0\nEnd of Data\n"


@pytest.mark.parametrize(("text", "message"), [
    ("", "does not begin with a 'Program Version,' line"),
    ("garbage\n\x00\xff", "does not begin with a 'Program Version,' line"),
    (DICTIONARY[: DICTIONARY.index("End of")], "no 'End of Data Dictionary' line"),
    (DICTIONARY.replace("7,1,", "7,x,"), "line 4: no value count in the data dictionary: '7,x,Environment"),
    (DICTIONARY.replace("!Hourly", "!Fortnightly", 1), "line 4: an unknown reporting frequency"),
    (DICTIONARY.replace("8,1,", "7,1,"), "record id 7 is defined twice"),
    (DICTIONARY.replace("8,1,", "99999999999,1,"), "line 5: no record id in the data dictionary"),
    (GOOD[: GOOD.index("8,18")], "the file ends before its 'End of Data' line"),
    (GOOD.replace("7,-9.9", "7,-9.x"), "line 9: no number in '7,-9.x'"),
    (GOOD.replace("7,-9.9", "9,-9.9"), "line 9: record id 9 is not in the data dictionary"),
    (GOOD.replace("7,-9.9", "4294967303,-9.9"), "line 9: not a data line"),
    (GOOD.replace("7,-9.9", "?"), "line 9: not a data line: '?'"),
    (DICTIONARY + "7,-9.9\nEnd of Data\n", "line 7: a Hourly value of record id 7 before its time stamp"),
    (GOOD.replace(" 0.00,60.00", " 0.00,600.0"), "line 8: a malformed time stamp"),
    (GOOD.replace("1,WEEK", "2,1,1", 1), "line 7: a time stamp before the first environment"),
    (GOOD.replace("2,1, 1,14, 0, 1,", "2,1, 1,14, 0,"), "line 8: a malformed time stamp: '2,1, 1,14, 0, 0.00,60.00"),
    (GOOD.replace("7,-9.9", "0,-9.9"), "line 9: record id 0 is not in the data dictionary"),
])
def test_malformed_files_raise_value_error(text, message):
    data = text.encode("latin-1")
    try:
        eso = EsoFile(data)
        eso.read([7, 8])
    except ValueError as error:
        assert message in str(error)
    else:
        pytest.fail(f"no ValueError for {text!r}")


def test_arguments_and_a_well_formed_text():
    eso = EsoFile(GOOD.encode())
    values, stamps = eso.read([8])[8]
    assert values.tolist() == [180000.0] and stamps == [(0, 1, 14, 1, 0)] and eso.environments() == ["WEEK"]
    with pytest.raises(ValueError, match=r"^id 3 is not in the data dictionary$"):
        eso.read([3])
    with pytest.raises(TypeError, match="ids must be int, not str"):
        eso.read(["7"])
    with pytest.raises(TypeError, match="Argument 'path_or_bytes' has incorrect type"):
        EsoFile(1.5)
    with pytest.raises(FileNotFoundError):
        EsoFile("/nonexistent/eplusout.eso")


def test_sparse_ids_and_damaged_bytes():
    # A huge id takes the sorted table instead of a dense one.
    sparse = GOOD.replace("8,1,Elec", "2000000000,1,Elec").replace("8,180000.0", "2000000000,180000.0")
    assert EsoFile(sparse.encode()).read([2000000000])[2000000000][0].tolist() == [180000.0]
    # Any byte changed, dropped or doubled gives the values or a ValueError, never a crash.
    data = GOOD.encode()
    for i in range(len(data)):
        for damaged in (data[:i] + b"\xff" + data[i + 1:], data[:i] + data[i + 1:], data[:i] + data[i:i + 1] * 2
                        + data[i + 1:], data[:i] + b"9" + data[i + 1:]):
            try:
                eso = EsoFile(damaged)
                eso.read([v[0] for v in eso.variables()])
            except ValueError:
                pass


# The box's design days and three short run periods: across the end of February in a common year and in a
# leap year (whose weather file has no 29 February, so the engine skips it), and one without a year that the
# engine starts on a Sunday, 30 December 2007, and runs into 2008.
STAMP_PERIODS = (
    "RunPeriod,Common,2,27,2023,3,2,2023,,Yes,Yes,No,Yes,Yes;\n"
    "RunPeriod,Leap,2,27,2024,3,2,2024,,Yes,Yes,No,Yes,Yes;\n"
    "RunPeriod,No Year,12,30,,1,2,,Sunday,Yes,Yes,No,Yes,Yes;\n"
)
SQL_LABELS = {"Timestep": "Zone Timestep", "RunPeriod": "Run Period"}
FREQUENCIES = ("Timestep", "Hourly", "Daily", "Monthly", "RunPeriod", "Annual")


@pytest.fixture(scope="module")
def stamp_run(tmp_path_factory):
    import simulation_models as models

    from tarvix.simulation import find_engine, run

    payload_dir()
    text = models.box(outputs=False).replace("RunPeriod,January week,1,1,,1,7,,Sunday,Yes,Yes,No,Yes,Yes;\n",
                                             STAMP_PERIODS)
    text += "".join(f"Output:Variable,*,Site Outdoor Air Drybulb Temperature,{f};\n" for f in FREQUENCIES)
    text += "".join(f"Output:Meter,DistrictHeatingWater:Facility,{f};\n" for f in FREQUENCIES[1:])
    folder = tmp_path_factory.mktemp("stamps")
    (folder / "model.idf").write_text(text)
    result = run(folder / "model.idf", find_engine().weather("Chicago"), readvars=True, output_dir=folder / "run")
    assert result.ok, result.messages
    return result


def _label(stamp):
    """A stamp as the engine labels the end of an interval: midnight is the day before's 24:00."""
    from datetime import timedelta

    if (stamp.hour, stamp.minute) == (0, 0):
        day = stamp - timedelta(days=1)
        return day.year, day.month, day.day, 24, 0
    return stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute


@pytest.mark.parametrize("frequency", FREQUENCIES)
def test_stamps_one_calendar_across_readers(stamp_run, frequency):
    name = "Site Outdoor Air Drybulb Temperature"
    sql, eso = stamp_run.sql, stamp_run.eso
    stamps = sql.series(name, frequency=frequency).timestamps
    assert eso.series(name, frequency=frequency).timestamps == stamps
    if frequency != "Timestep":
        meter = "DistrictHeatingWater:Facility"
        assert stamp_run.mtr.series(meter, frequency=frequency).timestamps == stamps
        assert eso.series(meter, frequency=frequency).timestamps == stamps
    # The SQLite output's Time rows, where they name a date (design days have year 0).
    with closing(sqlite3.connect(stamp_run.files["eplusout.sql"])) as connection:
        rows = connection.execute(
            "SELECT t.Year, t.Month, t.Day, t.Hour, t.Minute FROM ReportData d JOIN Time t USING (TimeIndex) "
            "JOIN ReportDataDictionary r USING (ReportDataDictionaryIndex) WHERE r.Name = ? AND r.ReportingFrequency"
            " = ? ORDER BY d.TimeIndex", (name, SQL_LABELS.get(frequency, frequency))).fetchall()
    assert len(rows) == len(stamps)
    for (year, month, day, hour, minute), stamp in zip(rows, stamps):
        if month is not None:
            assert _label(stamp) == (year or 2000, month, day, hour, minute)
        elif year is not None:
            assert stamp == datetime(year + 1, 1, 1)
    # ReadVarsESO's rows (month, day and time) of the values up to a day long; longer ones it names apart.
    if frequency in ("Timestep", "Hourly", "Daily"):
        with open(stamp_run.files["eplusout.csv"], newline="") as handle:
            table = [[cell.strip() for cell in row] for row in csv.reader(handle)]
        column = table[0].index(f"Environment:{name} [C]({LABELS.get(frequency, frequency)})")
        printed = [row[0] for row in table[1:] if column < len(row) and row[column]]
        assert [f"{m:02d}/{d:02d}  {h:02d}:{mi:02d}:00" for _, m, d, h, mi in map(_label, stamps)] == printed
    # The run's own years: none for a design day (2000), the year the engine started a run period without one.
    years = {"RunPeriod": {2000, 2023, 2024, 2008}, "Annual": {2007}}.get(frequency, {2000, 2023, 2024, 2007, 2008})
    assert {_label(stamp)[0] for stamp in stamps} == years
    assert not any(s.month == 2 and s.day == 29 and s.hour > 0 for s in stamps)  # no day is 29 Feb 2023
    if frequency == "Hourly":
        assert datetime(2023, 3, 1) in stamps and datetime(2023, 3, 1, 1) in stamps
    if frequency == "RunPeriod":
        assert stamps[2:] == [datetime(2023, 3, 3), datetime(2024, 3, 3), datetime(2008, 1, 3)]
    if frequency == "Monthly":
        assert stamps[2:] == [datetime(2023, 3, 1), datetime(2023, 4, 1), datetime(2024, 2, 29), datetime(2024, 4, 1),
                              datetime(2008, 1, 1), datetime(2008, 2, 1)]


def test_sql_path_quoted_read_only_and_many_matches(stamp_run, tmp_path):
    import shutil

    from tarvix.simulation import SqlResults

    odd = tmp_path / "a#b?c%41d"
    odd.mkdir()
    shutil.copyfile(stamp_run.files["eplusout.sql"], odd / "eplusout.sql")
    series = SqlResults(odd / "eplusout.sql").series("Site Outdoor Air Drybulb Temperature", frequency="Hourly")
    assert series.values == stamp_run.sql.series("Site Outdoor Air Drybulb Temperature", frequency="Hourly").values
    with pytest.raises(sqlite3.OperationalError):
        SqlResults(odd / "missing.sql").variables()
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["a#b?c%41d", "eplusout.sql"]
    with pytest.raises(ValueError, match=r"reported more than once, 6 times \(Environment Timestep, .*, "
                                         r"Environment RunPeriod and 1 more\): give key="):
        stamp_run.sql.series("Site Outdoor Air Drybulb Temperature")


@pytest.mark.parametrize("eio", [None, "Environment,WEEK,WeatherFileRunPeriod,01/14/2023,02/03/2023,Saturday,21\n"])
def test_monthly_meters_alone_end_with_their_month(tmp_path, eio):
    from tarvix.simulation import EsoResults

    text = (DICTIONARY.replace("8,1,Electricity:Facility [J] !Hourly", "8,9,Electricity:Facility [J] !Monthly [Value,"
                               "Min,Day,Hour,Minute,Max,Day,Hour,Minute]")
            + "1,WEEK,  41.98, -87.92,  -6.00, 201.00\n4,18, 1\n8,5.0,1.0,14,1,60,2.0,14,2,60\n"
            "4,21, 2\n8,6.0,1.0,1,1,60,2.0,1,2,60\nEnd of Data\n")
    (tmp_path / "eplusout.mtr").write_text(text)
    if eio:
        (tmp_path / "eplusout.eio").write_text(eio)
    year = 2023 if eio else 2000
    assert EsoResults(tmp_path / "eplusout.mtr").series("Electricity:Facility").timestamps == [
        datetime(year, 2, 1), datetime(year, 3, 1)]
