"""Weather files: the engine's hourly EPW files read, edited and written back losslessly, and the design
days of its DDY files added to a document.

    from tarvix.weather import read_epw

    w = read_epw("USA_IL_Chicago-OHare.Intl.AP.725300_TMY3.epw")
    w.dry_bulb[12] += 1.5
    w.location.city = "Chicago"
    w.save("warmer.epw")

`read_epw` gives a `Weather`: the eight header records as small records over their fields, and the 35
columns of the data lines (numbers as `array('d')`, the data source flags and present weather codes as
lists of str). `to_epw()` writes the file back byte for byte where nothing changed; a line or record is
written anew only where one of its values did, each new number with as many decimals as the field it
replaces. Reading and writing run in the C++ core without the interpreter lock.
"""

from __future__ import annotations

import math
import os
from array import array
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any, NamedTuple

from tarvix import _files, _weather

__all__ = [
    "COLUMNS",
    "MISSING",
    "TEXT_COLUMNS",
    "DataPeriod",
    "DataPeriods",
    "DesignDay",
    "HeaderRecord",
    "HolidaysDaylightSavings",
    "Location",
    "Weather",
    "add_design_days",
    "read_ddy",
    "read_epw",
]

COLUMNS: tuple[str, ...] = (
    "year", "month", "day", "hour", "minute", "data_source", "dry_bulb", "dew_point", "relative_humidity",
    "pressure", "extraterrestrial_horizontal", "extraterrestrial_normal", "horizontal_infrared",
    "global_horizontal", "direct_normal", "diffuse_horizontal", "global_illuminance", "direct_illuminance",
    "diffuse_illuminance", "zenith_luminance", "wind_direction", "wind_speed", "total_sky_cover",
    "opaque_sky_cover", "visibility", "ceiling_height", "present_weather_observation", "present_weather_codes",
    "precipitable_water", "aerosol_optical_depth", "snow_depth", "days_since_last_snowfall", "albedo",
    "liquid_precipitation_depth", "liquid_precipitation_quantity",
)  # fmt: skip
"""The columns of a data line, in file order."""

TEXT_COLUMNS: frozenset[str] = frozenset({"data_source", "present_weather_codes"})
"""The columns held as lists of str; every other one is an array('d')."""

MISSING: dict[str, float] = {
    "dry_bulb": 99.9,
    "dew_point": 99.9,
    "relative_humidity": 999,
    "pressure": 999999,
    "extraterrestrial_horizontal": 9999,
    "extraterrestrial_normal": 9999,
    "horizontal_infrared": 9999,
    "global_horizontal": 9999,
    "direct_normal": 9999,
    "diffuse_horizontal": 9999,
    "global_illuminance": 999999,
    "direct_illuminance": 999999,
    "diffuse_illuminance": 999999,
    "zenith_luminance": 9999,
    "wind_direction": 999,
    "wind_speed": 999,
    "total_sky_cover": 99,
    "opaque_sky_cover": 99,
    "visibility": 9999,
    "ceiling_height": 99999,
    "precipitable_water": 999,
    "aerosol_optical_depth": 0.999,
    "snow_depth": 999,
    "days_since_last_snowfall": 99,
    "albedo": 999,
    "liquid_precipitation_depth": 999,
    "liquid_precipitation_quantity": 99,
}
"""The value that stands for "missing" in each column that has one; a value at or above it is missing."""

_INDEX = {name: i for i, name in enumerate(COLUMNS)}


def _format_like(value: float, original: str) -> str:
    """`value` with as many decimals as `original` has (none for an integer); repr() for an exponent."""
    if not math.isfinite(value):
        raise ValueError(f"{value!r} is not a finite number")
    original = original.strip()
    if not original or "e" in original.lower():
        return repr(float(value))
    decimals = len(original) - original.index(".") - 1 if "." in original else 0
    text = f"{value:.{decimals}f}"
    return text[1:] if text.startswith("-") and not any(c in "123456789" for c in text) else text


def _field_text(value: Any, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be str, not {type(value).__name__}")
    if any(c in value for c in ",\r\n"):
        raise ValueError(f"{what} must not hold a comma or a line end: {value!r}")
    return value


def _number(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    return float(value)


class HeaderRecord:
    """One header record of a weather file: its keyword and its fields (a list of str, the keyword left out)
    that may be edited in place. A record whose fields are as read is written back as it was."""

    keyword: str
    fields: list[str]
    _at: int | None = None  # the line it was read from

    def __init__(self, fields: list[str]):
        self._keyword = fields[0]
        self.keyword = fields[0].strip().upper()
        self.fields = list(fields[1:])
        self._read = list(fields[1:])

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.keyword}: {','.join(self.fields)[:60]!r}>"

    def _line(self) -> str | None:
        """The record's new text, or None when its fields are as read."""
        if self.fields == self._read:
            return None
        return ",".join([self._keyword, *(_field_text(f, f"{self.keyword} field") for f in self.fields)])

    def _where(self) -> str:
        """The start of a message about this record: its line in the file, when it was read."""
        return f"line {self._at}: " if self._at else ""

    def _get(self, index: int) -> str:
        return self.fields[index] if index < len(self.fields) else ""

    def _set(self, index: int, text: str) -> None:
        while len(self.fields) <= index:
            self.fields.append("")
        self.fields[index] = text

    def _get_number(self, index: int) -> float:
        text = self._get(index).strip()
        try:
            return float(text)
        except ValueError:
            return math.nan

    def _set_number(self, index: int, value: Any, what: str) -> None:
        number = _number(value, what)
        if number != self._get_number(index):
            self._set(index, _format_like(number, self._get(index)))


def _text_property(index: int, name: str, doc: str) -> property:
    def get(self: HeaderRecord) -> str:
        return self._get(index)

    def set_(self: HeaderRecord, value: str) -> None:
        self._set(index, _field_text(value, name))

    return property(get, set_, doc=doc)


def _number_property(index: int, name: str, doc: str) -> property:
    def get(self: HeaderRecord) -> float:
        return self._get_number(index)

    def set_(self: HeaderRecord, value: float) -> None:
        self._set_number(index, value, name)

    return property(get, set_, doc=doc)


class Location(HeaderRecord):
    """The LOCATION record: where the weather was measured. Text fields are str; latitude, longitude
    (degrees, north and east positive), time_zone (hours from GMT) and elevation (m) are floats, written
    back with the decimals the file gave them."""

    city = _text_property(0, "city", "The city (str).")
    state_province = _text_property(1, "state_province", "The state or province (str).")
    country = _text_property(2, "country", "The country (str).")
    source = _text_property(3, "source", "Where the data came from, e.g. TMY3 (str).")
    wmo = _text_property(4, "wmo", "The station's WMO number, as written (str).")
    latitude = _number_property(5, "latitude", "Degrees north (float).")
    longitude = _number_property(6, "longitude", "Degrees east (float).")
    time_zone = _number_property(7, "time_zone", "Hours from GMT (float).")
    elevation = _number_property(8, "elevation", "Metres above sea level (float).")


class DataPeriod(NamedTuple):
    """One data period: its name, the weekday it starts on, its start and end days as written ("1/1")."""

    name: str
    start_weekday: str
    start: str
    end: str


class HolidaysDaylightSavings(HeaderRecord):
    """The HOLIDAYS/DAYLIGHT SAVINGS record."""

    leap_year_observed = _text_property(0, "leap_year_observed", "Yes or No (str).")
    daylight_saving_start = _text_property(1, "daylight_saving_start", "The day daylight saving starts, 0 for none.")
    daylight_saving_end = _text_property(2, "daylight_saving_end", "The day daylight saving ends, 0 for none.")

    @property
    def holidays(self) -> list[tuple[str, str]]:
        """The holidays as (name, day) pairs; assign a list of pairs to replace them."""
        rest = self.fields[4:]
        return [(rest[i], rest[i + 1] if i + 1 < len(rest) else "") for i in range(0, len(rest), 2)]

    @holidays.setter
    def holidays(self, pairs: Iterable[tuple[str, str]]) -> None:
        fields: list[str] = []
        for name, day in pairs:
            fields += [_field_text(name, "holiday name"), _field_text(day, "holiday day")]
        del self.fields[3:]
        self._set(3, str(len(fields) // 2))
        self.fields += fields


class DataPeriods(HeaderRecord):
    """The DATA PERIODS record: how many records an hour holds and the periods of the data."""

    @property
    def records_per_hour(self) -> int:
        """Data lines per hour (int). ValueError, naming the line, when the field is not a whole number
        from 1 to 60 (empty, not finite, past 60)."""
        number = self._get_number(1)
        if not 1 <= number <= 60 or number != int(number):
            raise ValueError(f"{self._where()}DATA PERIODS field 2 (records per hour) is not a whole number "
                             f"from 1 to 60: {self._get(1).strip()[:40]!r}")
        return int(number)

    @records_per_hour.setter
    def records_per_hour(self, value: int) -> None:
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"records_per_hour must be int, not {type(value).__name__}")
        if not 1 <= value <= 60:
            raise ValueError(f"records_per_hour must be from 1 to 60, not {value}")
        self._set(1, str(value))

    @property
    def periods(self) -> list[DataPeriod]:
        """The data periods; assign a list of DataPeriod (or 4-tuples) to replace them."""
        rest = self.fields[2:]
        return [DataPeriod(*(rest[i : i + 4] + [""] * 4)[:4]) for i in range(0, len(rest), 4)]

    @periods.setter
    def periods(self, periods: Iterable[Sequence[str]]) -> None:
        fields: list[str] = []
        for period in periods:
            if len(period) != 4:
                raise ValueError(f"a data period has 4 fields (name, start weekday, start, end), not {period!r}")
            fields += [_field_text(f, "data period field") for f in period]
        del self.fields[2:]
        self._set(0, str(len(fields) // 4))
        self.fields += fields


class _CommentRecord(HeaderRecord):
    @property
    def text(self) -> str:
        """The comment (commas and all)."""
        return ",".join(self.fields)

    @text.setter
    def text(self, value: str) -> None:
        if not isinstance(value, str):
            raise TypeError(f"text must be str, not {type(value).__name__}")
        if "\r" in value or "\n" in value:
            raise ValueError("a comment must not hold a line end")
        self.fields = value.split(",")


_RECORD_TYPES: tuple[type[HeaderRecord], ...] = (
    Location, HeaderRecord, HeaderRecord, HeaderRecord, HolidaysDaylightSavings, _CommentRecord, _CommentRecord,
    DataPeriods,
)  # fmt: skip


def _column_property(name: str) -> property:
    text = name in TEXT_COLUMNS

    def get(self: Weather) -> Any:
        return self.column(name)

    def set_(self: Weather, value: Any) -> None:
        rows = self._file.rows
        if text:
            if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
                raise TypeError(f"{name} must be a list of str, not {type(value).__name__}")
            column: Any = value if type(value) is list else list(value)
            for item in column:
                if not isinstance(item, str):
                    raise TypeError(f"{name} must be a list of str, not of {type(item).__name__}")
        elif isinstance(value, array) and value.typecode == "d":
            column = value
        else:
            if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
                raise TypeError(f"{name} must be an array('d') or numbers, not {type(value).__name__}")
            column = array("d", value)
        if len(column) != rows:
            raise ValueError(f"{name} must have {rows} values (one per data line), not {len(column)}")
        self._columns[name] = column

    kind = "list[str]" if text else "array('d')"
    return property(get, set_, doc=f"The {name} column ({kind}, one value per data line).")


class Weather:
    """A weather file as read by read_epw(): the header records and the columns of the data lines.

    Edit values in place (`w.dry_bulb[5] = 12.3`), replace a column with as many values
    (`w.wind_speed = array('d', ...)`; ValueError for another length), or edit a header record's
    attributes (`w.location.city = "X"`). to_epw() and save() write the edits in the file's own spelling;
    anything unedited comes back as it was read."""

    # The columns, properties made below (one per name of COLUMNS); declared here for type checkers.
    year: array[float]
    month: array[float]
    day: array[float]
    hour: array[float]
    minute: array[float]
    data_source: list[str]
    dry_bulb: array[float]
    dew_point: array[float]
    relative_humidity: array[float]
    pressure: array[float]
    extraterrestrial_horizontal: array[float]
    extraterrestrial_normal: array[float]
    horizontal_infrared: array[float]
    global_horizontal: array[float]
    direct_normal: array[float]
    diffuse_horizontal: array[float]
    global_illuminance: array[float]
    direct_illuminance: array[float]
    diffuse_illuminance: array[float]
    zenith_luminance: array[float]
    wind_direction: array[float]
    wind_speed: array[float]
    total_sky_cover: array[float]
    opaque_sky_cover: array[float]
    visibility: array[float]
    ceiling_height: array[float]
    present_weather_observation: array[float]
    present_weather_codes: list[str]
    precipitable_water: array[float]
    aerosol_optical_depth: array[float]
    snow_depth: array[float]
    days_since_last_snowfall: array[float]
    albedo: array[float]
    liquid_precipitation_depth: array[float]
    liquid_precipitation_quantity: array[float]

    def __init__(self, file: Any, source: str | None = None):
        self._file = file
        self.source = source
        records = [kind(fields) for kind, fields in zip(_RECORD_TYPES, file.header(), strict=True)]
        for i, record in enumerate(records):
            record._at = file.header_line(i)
        self._header: tuple[HeaderRecord, ...] = tuple(records)
        # The columns made so far: each is made from the core's values when first asked for, so that
        # a file read to change a few columns does not build the other thirty.
        self._columns: dict[str, Any] = {}

    def __repr__(self) -> str:
        where = f" from {self.source}" if self.source else ""
        return f"<Weather {self.location.city!r}, {len(self)} rows{where}>"

    def __len__(self) -> int:
        """The number of data lines."""
        return int(self._file.rows)

    @property
    def header(self) -> tuple[HeaderRecord, ...]:
        """The eight header records in file order."""
        return self._header

    @property
    def location(self) -> Location:
        """The LOCATION record."""
        return self._header[0]  # type: ignore[return-value]

    @property
    def design_conditions(self) -> HeaderRecord:
        """The DESIGN CONDITIONS record (its fields)."""
        return self._header[1]

    @property
    def typical_extreme_periods(self) -> HeaderRecord:
        """The TYPICAL/EXTREME PERIODS record (its fields)."""
        return self._header[2]

    @property
    def ground_temperatures(self) -> HeaderRecord:
        """The GROUND TEMPERATURES record (its fields)."""
        return self._header[3]

    @property
    def holidays_daylight_savings(self) -> HolidaysDaylightSavings:
        """The HOLIDAYS/DAYLIGHT SAVINGS record."""
        return self._header[4]  # type: ignore[return-value]

    @property
    def comments_1(self) -> HeaderRecord:
        """The COMMENTS 1 record (`.text` is the comment)."""
        return self._header[5]

    @property
    def comments_2(self) -> HeaderRecord:
        """The COMMENTS 2 record (`.text` is the comment)."""
        return self._header[6]

    @property
    def data_periods(self) -> DataPeriods:
        """The DATA PERIODS record."""
        return self._header[7]  # type: ignore[return-value]

    def column(self, name: str) -> Any:
        """The column called `name` (one of COLUMNS); KeyError for another name."""
        column = self._columns.get(name)
        if column is None:
            if name not in _INDEX:
                raise KeyError(f"no column {name!r}; the columns are {', '.join(COLUMNS)}")
            column = self._columns[name] = self._file.column(_INDEX[name])
        return column

    def is_missing(self, column: str) -> list[bool]:
        """For each data line, whether the column's value is missing: at or above its MISSING marker, or
        an empty field. ValueError for a column without a marker."""
        if column not in MISSING:
            raise ValueError(f"{column!r} has no missing marker; the columns with one are {', '.join(MISSING)}")
        marker = MISSING[column]
        return [not (v < marker) for v in self.column(column)]

    def monthly_means(self) -> list[dict[str, float]]:
        """One row per month the data covers: {"month", "dry_bulb", "dew_point", "relative_humidity",
        "wind_speed"} means (missing values left out) and "global_horizontal_daily" (the mean daily
        total of global horizontal radiation, kWh/m2)."""
        means = ("dry_bulb", "dew_point", "relative_humidity", "wind_speed")
        per_hour = self.data_periods.records_per_hour
        months: dict[int, dict[str, list[float]]] = {}
        marks = {name: MISSING[name] for name in (*means, "global_horizontal")}
        month_of = self.column("month")
        for i, month in enumerate(month_of):
            if not 1 <= month <= 12 or month != int(month):
                shown = "empty or not a number" if math.isnan(month) else f"{month:g}, not a month from 1 to 12"
                raise ValueError(f"line {self._file.line_of_row(i)}: field 2 (month) is {shown}")
            values = months.setdefault(int(month), {name: [] for name in marks})
            for name, marker in marks.items():
                v = self.column(name)[i]
                if v < marker:
                    values[name].append(v)
        rows = []
        for month in sorted(months):
            values = months[month]
            count = sum(1 for m in month_of if int(m) == month)
            row: dict[str, float] = {"month": month}
            for name in means:
                row[name] = sum(values[name]) / len(values[name]) if values[name] else math.nan
            days = count / (24 * per_hour)
            row["global_horizontal_daily"] = sum(values["global_horizontal"]) / per_hour / 1000 / days
            rows.append(row)
        return rows

    def plot(self, path: str | os.PathLike[str]) -> None:
        """Draw the year: daily minimum, mean and maximum dry bulb and dew point, and the daily total of
        global horizontal and direct normal radiation, into an image file (SVG, PNG, ... by its suffix).
        Needs matplotlib (ImportError without it)."""
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        per_day = 24 * self.data_periods.records_per_hour
        days = len(self) // per_day
        day = list(range(1, days + 1))

        def daily(name: str, how: Any) -> list[float]:
            column, marker = self.column(name), MISSING[name]
            out = []
            for d in range(days):
                values = [v for v in column[d * per_day : (d + 1) * per_day] if v < marker]
                out.append(how(values) if values else math.nan)
            return out

        def mean(values: list[float]) -> float:
            return sum(values) / len(values)

        def total(values: list[float]) -> float:
            return sum(values) / (per_day / 24) / 1000

        fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 5.5), sharex=True)
        top.fill_between(day, daily("dry_bulb", min), daily("dry_bulb", max), color="tab:red", alpha=0.25,
                         linewidth=0, label="dry bulb, daily range")
        top.plot(day, daily("dry_bulb", mean), color="tab:red", linewidth=1, label="dry bulb, daily mean")
        top.plot(day, daily("dew_point", mean), color="tab:blue", linewidth=1, label="dew point, daily mean")
        top.set_ylabel("°C")
        top.legend(loc="lower center", fontsize="small", ncol=3)
        top.grid(alpha=0.3)
        bottom.fill_between(day, daily("global_horizontal", total), step="mid", color="tab:orange", alpha=0.8,
                            linewidth=0, label="global horizontal")
        bottom.plot(day, daily("direct_normal", total), color="tab:brown", linewidth=0.8, label="direct normal")
        bottom.set_ylabel("kWh/m² per day")
        bottom.set_xlabel("day of the data")
        bottom.legend(loc="upper right", fontsize="small")
        bottom.grid(alpha=0.3)
        loc = self.location
        top.set_title(f"{loc.city}, {loc.state_province}, {loc.country} ({loc.source})")
        fig.tight_layout()
        # An SVG without its date, so the same file draws the same picture.
        kind = os.path.splitext(os.fsdecode(path))[1][1:].lower() or None
        svg = kind == "svg"
        try:
            # The picture goes through a temporary file, in the format the name asks for.
            with _files.replacing(path) as file, plt.rc_context({"svg.fonttype": "none"}):  # text as text
                fig.savefig(file, format=kind, metadata={"Date": None} if svg else None)
        finally:
            plt.close(fig)

    def to_epw(self) -> bytes:
        """The file's bytes: as read where nothing changed, edited values in the file's spelling.
        ValueError for a value that is not finite, a text with a comma or line end, or a column whose
        length changed."""
        header = [record._line() for record in self._header]
        columns = [self._columns.get(name) for name in COLUMNS]  # None: never made, so as read
        return bytes(self._file.write(columns, header))

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write to_epw() to `path`: into a temporary file beside it, renamed over it once complete, so
        that a failed write leaves the file as it was."""
        data = self.to_epw()
        _files.write_file(path, data)


for _name in COLUMNS:
    setattr(Weather, _name, _column_property(_name))
del _name


def read_epw(path_or_bytes: str | os.PathLike[str] | bytes) -> Weather:
    """Read a weather file (a path, or its bytes). FileNotFoundError for a missing file; ValueError naming
    the file and the line for a header record missing or out of order, a data line with fewer than 35
    fields or a number that does not read."""
    if isinstance(path_or_bytes, (bytes, bytearray, memoryview)):
        return Weather(_weather.EpwFile(path_or_bytes))
    if not isinstance(path_or_bytes, (str, os.PathLike)):
        raise TypeError(f"read_epw() takes a path or bytes, not {type(path_or_bytes).__name__}")
    return Weather(_weather.EpwFile(path_or_bytes), os.fspath(path_or_bytes))


# ---------------------------------------------------------------------------
# Design days


class DesignDay(NamedTuple):
    """One SizingPeriod:DesignDay of a DDY file: its name, day, kind and the object itself (an IDFObject of
    the DDY document)."""

    name: str
    month: int
    day: int
    day_type: str
    object: Any


def _ddy_document(path: str | os.PathLike[str], idd: Any) -> Any:
    from tarvix import _schemas
    from tarvix.idd import IDD
    from tarvix.idf import IDF

    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"ddy_path must be a path, not {type(path).__name__}")
    if not Path(path).is_file():
        raise FileNotFoundError(f"no DDY file {os.fspath(path)!r}")
    if idd is None:
        from tarvix.simulation import find_engine

        schema = _schemas.load_schema(str(find_engine().idd_path))
    elif isinstance(idd, IDD):
        schema = idd
    elif isinstance(idd, (str, os.PathLike)):
        schema = _schemas.load_schema(os.fspath(idd))
    else:
        raise TypeError(f"idd must be an IDD or a path, not {type(idd).__name__}")
    raw = Path(path).read_bytes()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("cp1252")
    # A DDY file has no Version object; the schema's own version is the one meant.
    return IDF.from_string(schema, text)


def read_ddy(path: str | os.PathLike[str], idd: Any = None) -> list[DesignDay]:
    """The SizingPeriod:DesignDay objects of a DDY file, in file order. The file is read with tarvix's
    loader against `idd` (an IDD or its path), by default the engine's Energy+.idd. FileNotFoundError for a
    missing file."""
    doc = _ddy_document(path, idd)
    return [
        DesignDay(str(o[0]), int(o[1]), int(o[2]), str(o[3]), o) for o in doc["SizingPeriod:DesignDay"]
    ]


def add_design_days(doc: Any, ddy_path: str | os.PathLike[str], names: Iterable[str] | None = None) -> list[str]:
    """Copy the design days of a DDY file (all, or those named, in any case) and its Site:Location into
    `doc`, which must use the engine's schema; an existing Site:Location is replaced. Returns the names
    of the design days added. FileNotFoundError for a missing file, ValueError naming a name the file does
    not hold."""
    from tarvix.idf import IDF

    if not isinstance(doc, IDF):
        raise TypeError(f"doc must be an IDF, not {type(doc).__name__}")
    source = _ddy_document(ddy_path, doc.idd)
    days = list(source["SizingPeriod:DesignDay"])
    if names is not None:
        if isinstance(names, str):
            raise TypeError("names must be a list of str, not a str")
        wanted = list(names)
        by_name = {str(o[0]).upper(): o for o in days}
        for name in wanted:
            if not isinstance(name, str):
                raise TypeError(f"names must be str, not {type(name).__name__}")
        unknown = [n for n in wanted if n.upper() not in by_name]
        if unknown:
            raise ValueError(f"{os.fspath(ddy_path)!r} has no design day {unknown[0]!r}")
        days = [by_name[n.upper()] for n in wanted]
    locations = source["Site:Location"]
    if locations:
        doc.remove_all_objects("Site:Location")
        doc.copy_object(locations[0])
    return [str(doc.copy_object(o)[0]) for o in days]
