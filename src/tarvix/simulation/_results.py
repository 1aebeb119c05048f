"""Readers of what the engine wrote: its SQLite output (through sqlite3) and its ESO/MTR text (through the
core's reader, tarvix._eso). Both give the same records: Variable and Series."""

import calendar
import contextlib
import importlib
import sqlite3
from array import array
from dataclasses import dataclass
from datetime import date, datetime, timedelta
from pathlib import Path
from typing import Any

# The SQLite output's reporting frequencies, in the words the ESO's dictionary uses.
_SQL_FREQUENCY = {
    "zone timestep": "Timestep",
    "timestep": "Timestep",
    "hvac system timestep": "Detailed",
    "detailed": "Detailed",
    "hourly": "Hourly",
    "daily": "Daily",
    "monthly": "Monthly",
    "run period": "RunPeriod",
    "runperiod": "RunPeriod",
    "annual": "Annual",
    "environment": "RunPeriod",
}
# Design days carry no year; their stamps get this one (a leap year, so that 29 February is a date). So
# does an ESO read without the run's eplusout.eio beside it, which is where its run periods' years are.
DEFAULT_YEAR = 2000
# The most keys and frequencies an error lists when a name matches several reports.
_SHOWN = 5


def _frequency(word: str) -> str:
    return _SQL_FREQUENCY.get(word.strip().lower(), word.strip())


@dataclass(frozen=True)
class Variable:
    """A reported variable or meter: its key (empty for meters), name, frequency, units."""

    key: str
    name: str
    frequency: str
    units: str
    is_meter: bool


class Series:
    """The values of one variable at one frequency: `timestamps` are naive datetimes of the interval ends,
    `values` an array('d') numpy reads without a copy.

    The stamps are the same from either reader. The year is the run's own (a run period's, into the next
    one past 31 December; 2000 for design days, which have none). Time step, hourly and daily values end
    where the engine labels them, 24:00 being the next day's 00:00; monthly ones at the end of the month's
    last day as the engine counts it; run period ones at the end of the environment's last day; annual
    ones at the end of their year."""

    __slots__ = ("timestamps", "values", "units", "key", "name", "frequency")

    def __init__(self, timestamps: list[datetime], values: "array[float]", units: str, key: str, name: str, frequency: str):
        self.timestamps = timestamps
        self.values = values
        self.units = units
        self.key = key
        self.name = name
        self.frequency = frequency

    def __len__(self) -> int:
        return len(self.values)

    def __repr__(self) -> str:
        return f"<Series {self.key or '-'}:{self.name} [{self.units}] {self.frequency}, {len(self.values)} values>"

    def to_pandas(self) -> Any:
        """A pandas Series indexed by the timestamps (pandas is not a dependency: ImportError without it)."""
        pandas = importlib.import_module("pandas")
        label = f"{self.key}:{self.name}" if self.key else self.name
        return pandas.Series(self.values, index=pandas.DatetimeIndex(self.timestamps), name=label)


def _stamp(year: int | None, month: int, day: int, hour: int, minute: float) -> datetime:
    """The interval end the engine labels (month, day, hour, minute); hour 24 runs into the next day."""
    return datetime(year or DEFAULT_YEAR, month, 1) + timedelta(days=day - 1, hours=hour, minutes=minute)


def _month_end(year: int, month: int) -> datetime:
    """The end of a calendar month: the next month's first day at 00:00."""
    return datetime(year + month // 12, month % 12 + 1, 1)


def _day_end(day: date) -> datetime:
    return datetime(day.year, day.month, day.day) + timedelta(days=1)


def _run_dates(path: Path) -> dict[str, tuple[date | None, date | None]]:
    """{environment name (upper case): (first day, last day)} from the run's eplusout.eio beside `path`,
    where the engine names each environment's dates ("02/27/2023" for a run period, "01/21" without a year
    for a design day, whose days are then in DEFAULT_YEAR). Empty when there is no such file."""
    dates: dict[str, tuple[date | None, date | None]] = {}
    eio = path.with_suffix(".eio")
    try:
        with open(eio, encoding="utf-8", errors="replace") as handle:
            for line in handle:
                if not line.startswith("Environment,"):
                    continue
                fields = [f.strip() for f in line.split(",")]
                if len(fields) >= 5 and fields[1].upper() not in dates:
                    dates[fields[1].upper()] = (_eio_date(fields[3]), _eio_date(fields[4]))
    except OSError:
        pass
    return dates


def _eio_date(text: str) -> date | None:
    parts = text.split("/")
    try:
        month, day = int(parts[0]), int(parts[1])
        year = int(parts[2]) if len(parts) > 2 else DEFAULT_YEAR
        # Years whose ends (and the next year's) are still dates.
        return date(year, month, day) if 1 <= year < 9998 else None
    except (ValueError, IndexError):
        return None


def _pick(variables: list[Variable], name: str, key: str | None, frequency: str | None) -> Variable:
    """The one variable matching name, key and frequency (case-insensitive); ValueError when none or several."""
    wanted = [
        v
        for v in variables
        if v.name.lower() == name.lower()
        and (key is None or v.key.lower() == key.lower())
        and (frequency is None or v.frequency.lower() == _frequency(frequency).lower())
    ]
    if not wanted:
        raise ValueError(f"no reported variable {name!r} (key {key!r}, frequency {frequency!r})")
    if len(wanted) > 1:
        found = ", ".join(f"{v.key or '-'} {v.frequency}" for v in wanted[:_SHOWN])
        more = f" and {len(wanted) - _SHOWN} more" if len(wanted) > _SHOWN else ""
        raise ValueError(f"{name!r} is reported more than once, {len(wanted)} times ({found}{more}): "
                         "give key= and/or frequency=")
    return wanted[0]


def _number(text: str) -> float | str:
    stripped = text.strip()
    try:
        return float(stripped)
    except ValueError:
        return stripped


class SqlResults:
    """A reader of the engine's SQLite output (eplusout.sql); opens the file for each query."""

    def __init__(self, path: str | Path):
        self.path = Path(path)

    def __repr__(self) -> str:
        return f"<SqlResults {self.path}>"

    def _connect(self) -> sqlite3.Connection:
        # A quoted file: address (a folder may hold '#', '?' or '%'), read-only: a missing file is an error,
        # never a new empty database.
        return sqlite3.connect(f"{self.path.absolute().as_uri()}?mode=ro", uri=True)

    def _query(self, sql: str, args: tuple[Any, ...] = ()) -> list[Any]:
        with contextlib.closing(self._connect()) as connection:
            return connection.execute(sql, args).fetchall()

    def _dictionary(self) -> list[tuple[int, Variable]]:
        rows = self._query(
            "SELECT ReportDataDictionaryIndex, KeyValue, Name, ReportingFrequency, Units, IsMeter "
            "FROM ReportDataDictionary ORDER BY ReportDataDictionaryIndex"
        )
        return [(i, Variable(key or "", name, _frequency(freq), units or "", bool(meter)))
                for i, key, name, freq, units, meter in rows]

    def variables(self) -> list[Variable]:
        """Every reported variable and meter."""
        return [v for _, v in self._dictionary()]

    def environments(self) -> list[str]:
        """The names of the simulated environments (design days, run periods), in order."""
        return [r[0] for r in self._query("SELECT EnvironmentName FROM EnvironmentPeriods ORDER BY EnvironmentPeriodIndex")]

    def series(self, name: str, key: str | None = None, frequency: str | None = None,
               environment: str | None = None) -> Series:
        """The values of one variable; ValueError when the name, key and frequency match none or several."""
        dictionary = self._dictionary()
        variable = _pick([v for _, v in dictionary], name, key, frequency)
        index = next(i for i, v in dictionary if v is variable)
        return self._series(index, variable, environment)

    def _series(self, index: int, variable: Variable, environment: str | None) -> Series:
        """The values of the dictionary's entry `index` (the variable it names)."""
        sql = ("SELECT t.Year, t.Month, t.Day, t.Hour, t.Minute, t.EnvironmentPeriodIndex, d.Value "
               "FROM ReportData d JOIN Time t ON t.TimeIndex = d.TimeIndex ")
        args: tuple[Any, ...] = (index,)
        if environment is not None:
            sql += "JOIN EnvironmentPeriods e ON e.EnvironmentPeriodIndex = t.EnvironmentPeriodIndex "
        sql += "WHERE d.ReportDataDictionaryIndex = ? "
        if environment is not None:
            sql += "AND e.EnvironmentName = ? COLLATE NOCASE "
            args += (environment,)
        rows = self._query(sql + "ORDER BY d.TimeIndex", args)
        ends: dict[int, datetime] = {}
        stamps = []
        for year, month, day, hour, minute, period, _ in rows:
            if month is not None:
                stamps.append(_stamp(year, month, day, hour, minute))
            elif year is not None:  # a year's value: its Time row names the year only
                stamps.append(datetime((year or DEFAULT_YEAR) + 1, 1, 1))
            else:  # a run period's value: its Time row names no date
                if period not in ends:
                    ends[period] = self._environment_end(period)
                stamps.append(ends[period])
        values = array("d", (r[6] for r in rows))
        return Series(stamps, values, variable.units, variable.key, variable.name, variable.frequency)

    def _environment_end(self, period: int) -> datetime:
        """The end of an environment's last simulated day: its last daily or shorter Time row, else the date
        the run's eplusout.eio gives, else its last dated row."""
        last = self._query(
            "SELECT Year, Month, Day, IntervalType FROM Time WHERE EnvironmentPeriodIndex = ? AND Month IS NOT NULL "
            "ORDER BY IntervalType > 2, TimeIndex DESC LIMIT 1", (period,))
        if not last or last[0][3] > 2:
            names = self._query("SELECT EnvironmentName FROM EnvironmentPeriods WHERE EnvironmentPeriodIndex = ?",
                                (period,))
            if names:
                _, end = _run_dates(self.path).get(str(names[0][0]).upper(), (None, None))
                if end is not None:
                    return _day_end(end)
        if not last:
            return datetime(DEFAULT_YEAR, 1, 1)
        year, month, day, _ = last[0]
        return _stamp(year, month, day, 24, 0)

    def tables(self) -> list[tuple[str, str, str]]:
        """(report, for, table) of every tabular report table."""
        return self._query(
            "SELECT DISTINCT ReportName, ReportForString, TableName FROM TabularDataWithStrings ORDER BY TabularDataIndex"
        )

    def table(self, report: str, table: str, for_: str = "Entire Facility") -> list[dict[str, Any]]:
        """The rows of one table, in order: {"Row": row name, "<column> [<units>]": value, ...}, numbers as
        floats. ValueError when there is no such table."""
        rows = self._query(
            "SELECT RowName, ColumnName, Units, Value FROM TabularDataWithStrings "
            "WHERE ReportName = ? COLLATE NOCASE AND TableName = ? COLLATE NOCASE "
            "AND ReportForString = ? COLLATE NOCASE ORDER BY TabularDataIndex",
            (report, table, for_),
        )
        if not rows:
            raise ValueError(f"no table {table!r} of report {report!r} for {for_!r}")
        out: dict[str, dict[str, Any]] = {}
        for row_name, column, units, value in rows:
            record = out.setdefault(row_name, {"Row": row_name})
            record[f"{column} [{units}]" if units else column] = _number(value)
        return list(out.values())

    def _rows(self, table: str) -> list[dict[str, Any]]:
        with contextlib.closing(self._connect()) as connection:
            cursor = connection.execute(f"SELECT * FROM {table}")
            names = [c[0] for c in cursor.description]
            return [dict(zip(names, row)) for row in cursor.fetchall()]

    def zones(self) -> list[dict[str, Any]]:
        """The rows of the Zones table, as dicts keyed by column."""
        return self._rows("Zones")

    def surfaces(self) -> list[dict[str, Any]]:
        """The rows of the Surfaces table, as dicts keyed by column."""
        return self._rows("Surfaces")


class EsoResults:
    """A reader of the engine's ESO or MTR text, by the core's reader (tarvix._eso), which is imported and
    reads the file on first use."""

    def __init__(self, path: str | Path):
        self.path = Path(path)
        self._forget()

    def _forget(self) -> None:
        self._file: Any = None
        self._dates: dict[str, tuple[date | None, date | None]] | None = None
        self._ids: list[int] = []
        self._variables: list[Variable] | None = None
        # What was read: {report index: (values, stamp indices, stamps)}. The first series asked for is read
        # alone; asking for another reads every report in that pass, so the file is read at most twice.
        self._read: dict[int, tuple[Any, Any, list[Any]]] = {}
        self._read_all = False
        # The timestamps of each distinct stamp sequence, made once: reports of one frequency share them.
        self._timestamps_of: dict[tuple[int, str, bytes], list[datetime]] = {}

    def __repr__(self) -> str:
        return f"<EsoResults {self.path}>"

    def __getstate__(self) -> dict[str, Any]:
        return {"path": self.path}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.path = state["path"]
        self._forget()

    def _eso(self) -> Any:
        if self._file is None:
            self._file = importlib.import_module("tarvix._eso").EsoFile(str(self.path))
        return self._file

    def _dictionary(self) -> list[Variable]:
        if self._variables is None:
            ids, variables = [], []
            for i, key, name, units, frequency, meter in self._eso().variables():
                ids.append(i)
                variables.append(Variable(key, name, frequency, units, bool(meter)))
            self._ids, self._variables = ids, variables
        return self._variables

    def variables(self) -> list[Variable]:
        """Every reported variable (and meter, in an MTR file)."""
        return list(self._dictionary())

    def environments(self) -> list[str]:
        """The titles of the simulated environments, in order."""
        return list(self._eso().environments())

    def series(self, name: str, key: str | None = None, frequency: str | None = None,
               environment: str | None = None) -> Series:
        """The values of one variable; ValueError when the name, key and frequency match none or several."""
        dictionary = self._dictionary()
        variable = _pick(dictionary, name, key, frequency)
        index = next(k for k, v in enumerate(dictionary) if v is variable)
        self._fill(index)  # the pass that reads the values also finds the environments
        return self._series(index, self._environment_index(environment))

    def series_all(self, environment: str | None = None) -> list[Series]:
        """The values of every reported variable, in the order of variables(), read in one pass over the
        file; `environment` as for series()."""
        self._fill(None)
        wanted = self._environment_index(environment)
        return [self._series(k, wanted) for k in range(len(self._dictionary()))]

    def _environment_index(self, environment: str | None) -> int | None:
        if environment is None:
            return None
        titles = [t.lower() for t in self.environments()]
        if environment.lower() not in titles:
            raise ValueError(f"no environment {environment!r} (there are {', '.join(self.environments())})")
        return titles.index(environment.lower())

    def _fill(self, index: int | None) -> None:
        """Reads report `index` (None: every report) unless it was read."""
        self._dictionary()
        if self._read_all or (index is not None and index in self._read):
            return
        if index is not None and not self._read:
            chosen = [self._ids[index]]
        else:
            chosen = list(self._ids)
            self._read_all = True
            self._timestamps_of.clear()
        stamps, read = self._eso().read_packed(chosen)
        position = {report: k for k, report in enumerate(self._ids)}
        for report, (values, indices) in read.items():
            self._read[position[report]] = (values, indices, stamps)

    def _series(self, index: int, wanted: int | None) -> Series:
        variable = self._dictionary()[index]
        self._fill(index)
        values, indices, stamps = self._read[index]
        key = (id(stamps), variable.frequency, indices.tobytes())
        timestamps = self._timestamps_of.get(key)
        if timestamps is None:
            timestamps = self._timestamps([stamps[k] for k in indices], variable.frequency)
            self._timestamps_of[key] = timestamps
        if wanted is None:
            values, timestamps = values[:], list(timestamps)
        else:
            keep = [k for k, i in enumerate(indices) if stamps[i][0] == wanted]
            values = array("d", (values[k] for k in keep))
            timestamps = [timestamps[k] for k in keep]
        return Series(timestamps, values, variable.units, variable.key, variable.name, variable.frequency)

    def _timestamps(self, stamps: list[tuple[int, int, int, int, float]], frequency: str) -> list[datetime]:
        """The stamps of one report in the readers' one calendar: each environment starts in the year the
        run's eplusout.eio gives it (DEFAULT_YEAR without one), and its days run on into the next year where
        the file's dates turn back to January."""
        titles = self.environments()
        if self._dates is None:
            self._dates = _run_dates(self.path)
        dates = self._dates
        out: list[datetime] = []
        days: dict[tuple[int, int, int], datetime] = {}
        hours = [timedelta(hours=h) for h in range(25)]
        environment, year, last, years = -1, DEFAULT_YEAR, (0, 0), 0
        for env, month, day, hour, minute in stamps:
            if env != environment:
                environment, last, years = env, (0, 0), 0
                first, end = dates.get(titles[env].upper(), (None, None)) if env < len(titles) else (None, None)
                year = first.year if first is not None else DEFAULT_YEAR
            if frequency == "Annual":  # one value a year, each the end of its calendar year
                out.append(datetime(year + years + 1, 1, 1))
                years += 1
                continue
            if month and (month, day) < last:
                year += 1
            if month:
                last = (month, day)
            if frequency == "Monthly":
                # The month's last day as the engine counts it: in a leap year, a February whose days the
                # file reports without a 29th ends on the 28th (the engine skips the day when the weather
                # file has none).
                if month == 2 and calendar.isleap(year) and day not in (0, 29):
                    out.append(datetime(year, 2, 29))
                else:
                    out.append(_month_end(year, month))
            elif frequency == "RunPeriod":
                # The environment's last day: as the run's eio names it, else the last day the file reported.
                if end is not None:
                    out.append(_day_end(end))
                elif month and day:
                    out.append(_stamp(year, month, day, hour, minute))
                else:
                    out.append(datetime(year, 1, 1))
            else:  # as _stamp, each day's midnight made once
                midnight = days.get((year, month, day))
                if midnight is None:
                    midnight = days[year, month, day] = datetime(year or DEFAULT_YEAR, month, 1) + timedelta(days=day - 1)
                out.append(midnight + (hours[hour] if minute == 0 and 0 <= hour <= 24
                                       else timedelta(hours=hour, minutes=minute)))
        return out
