"""tarvix.weather: weather files read and written back byte for byte, edits in the file's own spelling, the
engine reporting the values read, design days added to a model, the weather command, and misuse."""

import math
from array import array
from datetime import timedelta
from pathlib import Path

import pytest
import simulation_models as models

import engine as engine_helpers
from tarvix import cli
from tarvix.weather import COLUMNS, MISSING, TEXT_COLUMNS, add_design_days, read_ddy, read_epw

NAMES = ["San.Francisco", "Golden", "Tampa", "Chicago", "Sterling"]
# The engine's report of each column, and whether it is radiation (the hour's value sits at its middle).
REPORTS = {
    "Site Outdoor Air Drybulb Temperature": ("dry_bulb", False),
    "Site Outdoor Air Dewpoint Temperature": ("dew_point", False),
    "Site Outdoor Air Relative Humidity": ("relative_humidity", False),
    "Site Outdoor Air Barometric Pressure": ("pressure", False),
    "Site Wind Speed": ("wind_speed", False),
    "Site Direct Solar Radiation Rate per Area": ("direct_normal", True),
    "Site Diffuse Solar Radiation Rate per Area": ("diffuse_horizontal", True),
}
SAMPLE = (
    "LOCATION,Somewhere,ST,CTRY,TMY3,123456,40.00,-100.00,-6.0,300.0\n"
    "DESIGN CONDITIONS,0\n"
    "TYPICAL/EXTREME PERIODS,0\n"
    "GROUND TEMPERATURES,0\n"
    "HOLIDAYS/DAYLIGHT SAVINGS,No,0,0,0\n"
    "COMMENTS 1,first\n"
    "COMMENTS 2,second, with a comma\n"
    "DATA PERIODS,1,1,Data,Sunday, 1/ 1,12/31\n"
    + "".join(
        f"1999,1,1,{h},60,?9?9?9?9E0?9?9?9?9?9?9?9?9?9?9?9?9?9?9*_*9*9*9*9*9,-{h}.5,-8.0,70,99000,0,1415,250,0,0,0,"
        f"0,0,0,0,270,4.1,10,10,16.1,77777,9,999999999,5,0.0720,0,99,0.000,0.0,0.0\n"
        for h in range(1, 4)
    )
)


def weather_file(name: str, suffix: str = ".epw") -> Path:
    files = sorted((engine_helpers.payload_dir() / "WeatherData").glob(f"*{name}*{suffix}"))
    if not files:
        pytest.skip(f"the engine release has no {suffix} file for {name}")
    return files[0]


def lines(data: bytes) -> list[bytes]:
    return data.splitlines(keepends=True)


@pytest.mark.parametrize("name", NAMES)
def test_unedited_file_written_back_byte_for_byte(name, tmp_path):
    path = weather_file(name)
    weather = read_epw(path)
    assert len(weather) == 8760 and weather.to_epw() == path.read_bytes()
    assert read_epw(path.read_bytes()).to_epw() == path.read_bytes()
    weather.save(tmp_path / "copy.epw")
    assert (tmp_path / "copy.epw").read_bytes() == path.read_bytes()
    assert [type(weather.column(c)) for c in COLUMNS] == [list if c in TEXT_COLUMNS else array for c in COLUMNS]
    loc = weather.location
    assert isinstance(loc.city, str) and -90 <= loc.latitude <= 90 and -180 <= loc.longitude <= 180
    assert weather.data_periods.records_per_hour == 1 and len(weather.data_periods.periods) == 1


# (column, row, new value, the field's new text)
EDITS = [
    ("dry_bulb", 100, 12.34, "12.3"),
    ("pressure", 4000, 101234.6, "101235"),
    ("aerosol_optical_depth", 8759, 0.12344, "0.1234"),
    ("wind_speed", 0, -0.04, "0.0"),
    ("data_source", 17, "X1X1", "X1X1"),
    ("present_weather_codes", 5000, "000000000", "000000000"),
]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(("column", "row", "value", "text"), EDITS)
def test_edit_changes_one_field_of_one_line(name, column, row, value, text):
    path = weather_file(name)
    weather = read_epw(path)
    weather.column(column)[row] = value
    before, after = lines(path.read_bytes()), lines(weather.to_epw())
    old, new = before[8 + row].split(b","), after[8 + row].split(b",")
    index = COLUMNS.index(column)
    assert new[index] == text.encode() and new[:index] + new[index + 1 :] == old[:index] + old[index + 1 :]
    changed = [i for i, (a, b) in enumerate(zip(before, after, strict=True)) if a != b]
    assert changed == ([8 + row] if old[index] != new[index] else [])  # the same text when it rounds alike
    assert read_epw(weather.to_epw()).column(column)[row] == (value if column in TEXT_COLUMNS else float(text))


def test_header_and_column_edits():
    weather = read_epw(SAMPLE.encode())
    assert (weather.location.city, weather.location.wmo, weather.location.latitude) == ("Somewhere", "123456", 40.0)
    assert weather.comments_2.text == "second, with a comma"
    assert weather.minute[0] == 60.0 and weather.aerosol_optical_depth[0] == 0.072
    assert weather.dry_bulb is weather.column("dry_bulb") and "wind_speed" not in weather._columns  # made when asked
    weather.location.city = "Elsewhere"
    weather.location.latitude = 41.234
    weather.holidays_daylight_savings.holidays = [("New Year", "1/1")]
    weather.dry_bulb = [v - 1 for v in weather.dry_bulb]
    out = weather.to_epw().decode().splitlines()
    assert out[0] == "LOCATION,Elsewhere,ST,CTRY,TMY3,123456,41.23,-100.00,-6.0,300.0"
    assert out[4] == "HOLIDAYS/DAYLIGHT SAVINGS,No,0,0,1,New Year,1/1"
    assert [line.split(",")[6] for line in out[8:]] == ["-2.5", "-3.5", "-4.5"]
    assert out[1:4] + out[5:8] == SAMPLE.splitlines()[1:4] + SAMPLE.splitlines()[5:8]


@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"], ids=["LF", "CRLF", "CR"])
def test_line_ends_blank_lines_and_odd_spellings_kept(end):
    rows = SAMPLE.splitlines()
    rows[9] = rows[9].replace(",-8.0,", ", +8.00 ,") + ",extra field,"
    text = end.join(rows[:10] + ["  ", *rows[10:], ""]) + "\t"
    weather = read_epw(text.encode())
    assert len(weather) == 3 and weather.dew_point[1] == 8.0
    assert weather.to_epw() == text.encode()
    weather.dry_bulb[1] = 7.25
    out = weather.to_epw().decode()
    assert out == text.replace("-2.5,", "7.2,", 1)  # the edited field only, in its own decimals


def test_missing_markers():
    weather = read_epw(SAMPLE.encode())
    assert weather.is_missing("ceiling_height") == [False] * 3 and weather.is_missing("days_since_last_snowfall") == [
        True
    ] * 3
    weather.relative_humidity[1] = MISSING["relative_humidity"]
    assert weather.is_missing("relative_humidity") == [False, True, False]
    assert b",999," in lines(weather.to_epw())[9]
    with pytest.raises(ValueError, match="no missing marker"):
        weather.is_missing("hour")


@pytest.fixture(scope="module")
def engine():
    engine_helpers.payload_dir()
    from tarvix.simulation import find_engine

    return find_engine()


@pytest.mark.parametrize("name", NAMES)
def test_engine_reports_the_values_read(engine, name, tmp_path):
    from tarvix.simulation import run

    path = weather_file(name)
    text = models.box(outputs=False).replace("RunPeriod,January week,1,1,,1,7,", "RunPeriod,Three days,7,1,,7,3,")
    text += "".join(f"Output:Variable,*,{report},Timestep;\n" for report in REPORTS)
    (tmp_path / "box.idf").write_text(text, encoding="utf-8")
    result = run(tmp_path / "box.idf", path, output_dir=tmp_path / "run")
    assert result.ok and result.severe == 0, result.first_severe()
    weather = read_epw(path)
    row = {(int(weather.month[i]), int(weather.day[i]), int(weather.hour[i])): i for i in range(len(weather))}
    for report, (column, radiation) in REPORTS.items():
        series = result.sql.series(report, environment="Three days")
        values = weather.column(column)
        matched = 0
        for stamp, value in zip(series.timestamps, series.values):
            # Hour h of the file covers (h-1):00 to h:00. The engine reports it at the timestep ending at
            # h:00, and radiation at the one ending at the middle of the hour, (h-1):30 (0 while the sun
            # is down there).
            if stamp.minute != (30 if radiation else 0):
                continue
            end = stamp - timedelta(minutes=1)
            expected = values[row[(end.month, end.day, end.hour + 1)]]
            if radiation and value == 0:
                continue
            assert value == pytest.approx(expected, abs=1e-4), (report, stamp)
            matched += 1
        assert matched >= (24 if radiation else 72), report


@pytest.mark.parametrize("name", NAMES)
def test_design_days_added_run(engine, name, tmp_path):
    from tarvix.idf import IDF
    from tarvix.simulation import run

    ddy = weather_file(name, ".ddy")
    days = read_ddy(ddy)
    assert len(days) >= 2 and all(1 <= d.month <= 12 for d in days)
    doc = IDF.from_string(_schema(engine), models.box(outputs=False))
    doc.remove_all_objects("SizingPeriod:DesignDay")
    assert add_design_days(doc, ddy) == [d.name for d in days]
    (location,) = doc["Site:Location"]  # the box's own one replaced by the file's
    assert str(location[0]).endswith("Design_Conditions")
    result = run(doc, design_day=True, output_dir=tmp_path / "run")
    assert result.ok and result.severe == 0, result.first_severe()
    assert len(result.sql.environments()) == len(days)


def _schema(engine):
    from tarvix import _schemas

    return _schemas.load_schema(str(engine.idd_path))


def test_design_days_by_name_and_errors(engine, tmp_path):
    from tarvix.idf import IDF

    ddy = weather_file("Chicago", ".ddy")
    doc = IDF.from_string(_schema(engine), models.box(outputs=False))
    first, second = (d.name for d in read_ddy(ddy)[:2])
    assert add_design_days(doc, ddy, [second.upper(), first]) == [second, first]
    assert len(doc["SizingPeriod:DesignDay"]) == 4  # the box's own two, and these
    with pytest.raises(ValueError, match="no design day 'Nowhere 1%'"):
        add_design_days(doc, ddy, [first, "Nowhere 1%"])
    with pytest.raises(FileNotFoundError):
        add_design_days(doc, tmp_path / "missing.ddy")
    with pytest.raises(FileNotFoundError):
        read_ddy(tmp_path / "missing.ddy")
    with pytest.raises(TypeError):
        add_design_days("doc", ddy)
    with pytest.raises(TypeError):
        add_design_days(doc, ddy, "one name")


def test_weather_command(capsys, tmp_path):
    path = weather_file("Chicago")
    assert cli.main(["weather", str(path)]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("Chicago Ohare Intl Ap, IL, USA") and len(out) == 4 + 12
    january = out[4].split()
    assert january[0] == "1" and -10 < float(january[1]) < 0
    pytest.importorskip("matplotlib")
    plot = tmp_path / "year.svg"
    assert cli.main(["weather", str(path), "--plot", str(plot)]) == 0
    assert plot.read_text().lstrip().startswith("<?xml") and capsys.readouterr().err == f"{path} -> {plot}\n"
    # An existing plot is replaced only with --force, through a temporary file that keeps the suffix's format.
    plot.write_text("by hand")
    assert cli.main(["weather", str(path), "--plot", str(plot)]) == 1
    assert plot.read_text() == "by hand" and "give --force to replace it" in capsys.readouterr().err
    assert cli.main(["weather", str(path), "--plot", str(plot), "--force"]) == 0
    assert plot.read_text().lstrip().startswith("<?xml") and sorted(tmp_path.iterdir()) == [plot]


def test_weather_command_without_matplotlib(capsys, monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert cli.main(["weather", str(weather_file("Chicago")), "--plot", "x.svg"]) == 2
    assert f'--plot needs matplotlib: install the plot extra, from the checkout: {sys.executable} -m pip install ' \
           '".[plot]"' in capsys.readouterr().err
    assert cli.main(["weather", "no/such.epw"]) == 2


def _cut(text: str, line: int, keep: int) -> bytes:
    """SAMPLE with data line `line` (1-based in the file) cut to its first `keep` fields."""
    rows = text.splitlines(keepends=True)
    rows[line - 1] = ",".join(rows[line - 1].split(",")[:keep]) + "\n"
    return "".join(rows).encode()


@pytest.mark.parametrize(
    ("data", "message"),
    [
        ("\n".join(SAMPLE.splitlines()[:5]).encode(), "line 6: the header ends before its COMMENTS 1 record"),
        (SAMPLE.replace("TYPICAL/EXTREME PERIODS", "TYPICAL PERIODS").encode(), "line 3: expected the TYPICAL"),
        (_cut(SAMPLE, 10, 20), "line 10: a data line has 35 fields, this one 20"),
        (SAMPLE.replace("-8.0", "-8.x", 1).encode(), r"line 9: field 8 \(dew_point\) is not a number: '-8.x'"),
        (b"", "line 1: the header ends before its LOCATION record"),
    ],
)
def test_bad_files(data, message, tmp_path):
    with pytest.raises(ValueError, match=message):
        read_epw(data)
    (tmp_path / "bad.epw").write_bytes(data)
    with pytest.raises(ValueError, match=f"bad.epw.*{message}"):
        read_epw(tmp_path / "bad.epw")


@pytest.mark.parametrize(
    ("edit", "error", "message"),
    [
        (lambda w: w.dry_bulb.__setitem__(0, math.nan), ValueError, "line 9: dry_bulb: value is not a finite"),
        (lambda w: w.wind_speed.__setitem__(2, math.inf), ValueError, "line 11: wind_speed"),
        (lambda w: w.dry_bulb.append(1.0), ValueError, "dry_bulb must be an array"),
        (lambda w: setattr(w, "dry_bulb", array("d", [1.0])), ValueError, "must have 3 values"),
        (lambda w: setattr(w, "dry_bulb", "hot"), TypeError, "array"),
        (lambda w: setattr(w, "dry_bulb", ["hot"] * 3), TypeError, "real number"),
        (lambda w: setattr(w, "data_source", [1, 2, 3]), TypeError, "list of str"),
        (lambda w: w.data_source.__setitem__(0, "a,b"), ValueError, "data_source holds a comma"),
        (lambda w: w.data_source.__setitem__(0, 5), TypeError, r"data_source\[0\] must be str"),
        (lambda w: setattr(w.location, "city", 5), TypeError, "city must be str"),
        (lambda w: setattr(w.location, "city", "a,b"), ValueError, "comma"),
        (lambda w: setattr(w.location, "latitude", "north"), TypeError, "latitude must be a number"),
        (lambda w: setattr(w.location, "latitude", math.nan), ValueError, "not a finite number"),
        (lambda w: w.location.fields.__setitem__(0, None), TypeError, "must be str"),
    ],
)
def test_misuse(edit, error, message):
    weather = read_epw(SAMPLE.encode())
    with pytest.raises(error, match=message):
        edit(weather)
        weather.to_epw()


def test_huge_values_and_wrong_sources():
    weather = read_epw(SAMPLE.encode())
    weather.pressure[0] = 1e300
    weather.dry_bulb[1] = -1e20
    again = read_epw(weather.to_epw())
    assert again.pressure[0] == 1e300 and again.dry_bulb[1] == -1e20
    for source in (3, None, ["a"]):
        with pytest.raises(TypeError):
            read_epw(source)
    with pytest.raises(FileNotFoundError):
        read_epw("no/such/file.epw")
    with pytest.raises(KeyError, match="no column 'drybulb'"):
        weather.column("drybulb")
    core = weather._file
    with pytest.raises(IndexError):
        core.column(35)
    with pytest.raises(TypeError):
        core.column("dry_bulb")
    with pytest.raises(ValueError, match="35 columns and 8 header records"):
        core.write([None] * 34, [None] * 8)
    assert core.write([None] * 35, [None] * 8) == SAMPLE.encode()


def _field(text: str, line: int, field: int, value: str) -> str:
    """SAMPLE with field `field` (1-based) of line `line` (1-based) set to `value`."""
    rows = text.splitlines(keepends=True)
    parts = rows[line - 1].split(",")
    parts[field - 1] = value
    rows[line - 1] = ",".join(parts)
    return "".join(rows)


@pytest.mark.parametrize(
    ("text", "message"),
    [
        (_field(SAMPLE, 9, 2, "inf"), r"line 9: field 2 \(month\) is inf, not a month from 1 to 12"),
        (_field(SAMPLE, 10, 2, "13"), r"line 10: field 2 \(month\) is 13, not a month from 1 to 12"),
        (_field(SAMPLE, 11, 2, ""), r"line 11: field 2 \(month\) is empty or not a number"),
        (SAMPLE.replace("DATA PERIODS,1,1", "DATA PERIODS,1,1e400"),
         r"line 8: DATA PERIODS field 2 \(records per hour\) is not a whole number from 1 to 60: '1e400'"),
        (SAMPLE.replace("DATA PERIODS,1,1", "DATA PERIODS,1,"), "line 8: DATA PERIODS field 2"),
    ],
)
def test_numbers_that_are_no_month_or_rate(text, message, tmp_path, capsys):
    weather = read_epw(text.encode())
    with pytest.raises(ValueError, match=message):
        weather.monthly_means()
    path = tmp_path / "odd.epw"
    path.write_text(text)
    assert cli.main(["weather", str(path)]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "Traceback" not in err[0] and "odd.epw" in err[0]


def test_a_byte_that_is_not_utf8_in_a_number():
    with pytest.raises(ValueError, match=r"line 9: field 8 \(dew_point\) is not a number"):
        read_epw(SAMPLE.encode().replace(b"-8.0", b"-8.\xff", 1))


def test_a_failed_save_leaves_the_weather_file_as_it_was(tmp_path):
    import subprocess
    import sys

    path = tmp_path / "a.epw"
    path.write_bytes(SAMPLE.encode())
    code = (
        "import resource, signal, sys\n"
        f"sys.path[:0] = {sys.path!r}\n"
        "from tarvix.weather import read_epw\n"
        f"w = read_epw({str(path)!r})\n"
        "w.dry_bulb[0] = 5.0\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))\n"
        "try:\n"
        f"    w.save({str(path)!r})\n"
        "except OSError as error:\n"
        "    print(type(error).__name__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and out.stdout.split() == ["OSError"], out.stderr
    assert path.read_bytes() == SAMPLE.encode() and [p.name for p in tmp_path.iterdir()] == ["a.epw"]
    weather = read_epw(path)
    weather.dry_bulb[0] = 5.0
    weather.save(path)
    assert read_epw(path).dry_bulb[0] == 5.0 and [p.name for p in tmp_path.iterdir()] == ["a.epw"]
