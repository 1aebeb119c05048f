"""Outputs of a study: what is kept of each run, a column each; and the results table they make."""

from __future__ import annotations

import csv
import importlib
import math
import os
import sqlite3
from collections.abc import Callable, Iterator, Sequence
from datetime import datetime
from pathlib import Path
from typing import Any, overload

from tarvix.simulation import Result, SqlResults
from tarvix.simulation._results import _frequency, _pick

_HOW: dict[str, Callable[[list[float]], float]] = {"sum": sum, "mean": lambda v: sum(v) / len(v), "max": max, "peak": max, "min": min}
# The columns every row has beside the parameters and the outputs.
STATUS_COLUMNS = ("status", "error", "warnings", "severe", "elapsed", "cached")


class OutputError(ValueError):
    """An output that cannot be read from a run that completed (a table, row or variable it lacks)."""


class Output:
    """One value kept from each run, a column of the results table with its units. Made by
    Output.tabular(), Output.series() and Output.function()."""

    def __init__(self, name: str, read: Callable[[Result], tuple[Any, str | None]], units: str | None = None):
        if not isinstance(name, str) or not name.strip():
            raise ValueError("an output needs a name (a non-empty str)")
        self.name = name
        self.units = units
        self._read = read

    def __repr__(self) -> str:
        return f"<Output {self.name!r}{f' [{self.units}]' if self.units else ''}>"

    def read(self, result: Result) -> tuple[Any, str | None]:
        """The output's value in a run, and its units when the run says them."""
        return self._read(result)

    @staticmethod
    def tabular(report: str, table: str, row: str, column: str, *, for_: str = "Entire Facility",
                name: str | None = None) -> Output:
        """A cell of the engine's tabular reports (as in its SQLite output): the report
        ("AnnualBuildingUtilityPerformanceSummary"), its table ("End Uses"), the row ("Heating") and the
        column ("District Heating Water"); numbers as floats, units as the report gives them."""

        def read(result: Result) -> tuple[Any, str | None]:
            sql = _sql(result)
            query = ("SELECT Value, Units FROM TabularDataWithStrings WHERE ReportName = ? COLLATE NOCASE "
                     "AND TableName = ? COLLATE NOCASE AND ReportForString = ? COLLATE NOCASE "
                     "AND TRIM(RowName) = ? COLLATE NOCASE AND TRIM(ColumnName) = ? COLLATE NOCASE")
            rows = sql._query(query, (report, table, for_, row.strip(), column.strip()))
            if not rows:
                raise OutputError(f"no cell {row!r}, {column!r} in table {table!r} of report {report!r} "
                                  f"for {for_!r}")
            value, units = rows[0]
            return _number(value), units or None

        return Output(name or f"{table}:{row}:{column}", read)

    @staticmethod
    def series(variable: str, *, key: str | None = None, frequency: str | None = None, how: str = "sum",
               environment: str | None = None, start: datetime | str | None = None,
               end: datetime | str | None = None, name: str | None = None) -> Output:
        """A sum, mean, maximum ("max" or "peak") or minimum of a reported variable or meter (by name, key
        and frequency, as SqlResults.series finds it; key "*" takes every key's values together), over the
        run or one environment, and over the
        intervals that end after `start` and at or before `end` (datetimes, or "MM-DD": that day's start,
        and that day's end); in the variable's units."""
        if how not in _HOW:
            raise ValueError(f"how is one of {', '.join(_HOW)}, not {how!r}")
        first, last = _bound(start, "start", end=False), _bound(end, "end", end=True)

        def read(result: Result) -> tuple[Any, str | None]:
            sql = _sql(result)
            dictionary = sql._dictionary()  # read once, however many keys are asked for
            if key == "*":
                wanted = [(i, v) for i, v in dictionary if v.name.lower() == variable.lower()
                          and (frequency is None or v.frequency.lower() == _frequency(frequency).lower())]
                if not wanted:
                    raise OutputError(f"no reported variable {variable!r}"
                                      + (f" at frequency {frequency!r}" if frequency else ""))
            else:
                try:
                    picked = _pick([v for _, v in dictionary], variable, key, frequency)
                except ValueError as error:
                    raise OutputError(str(error)) from None
                wanted = [next((i, v) for i, v in dictionary if v is picked)]
            values: list[float] = []
            units = None
            for index, each in wanted:
                found = sql._series(index, each, environment)
                units = units or found.units
                values += [v for t, v in zip(found.timestamps, found.values)
                           if (first is None or first(t) < t) and (last is None or t <= last(t))]
            if not values:
                raise OutputError(f"{variable!r} has no values in the period asked for")
            return float(_HOW[how](values)), units or None

        label = name or f"{how} {key + ':' if key else ''}{variable}"
        return Output(label, read)

    @staticmethod
    def function(name: str, function: Callable[[Result], Any], *, units: str | None = None) -> Output:
        """A value computed from each run's Result by `function(result)`."""
        if not callable(function):
            raise TypeError(f"output {name!r}: the function is called with a Result")
        return Output(name, lambda result: (function(result), units), units)


def _bound(when: datetime | str | None, what: str, *, end: bool) -> Callable[[datetime], datetime] | None:
    """A bound of a period as a function of a stamp (whose year it takes, for "MM-DD")."""
    if when is None:
        return None
    if isinstance(when, datetime):
        return lambda stamp: when
    if not isinstance(when, str):
        raise TypeError(f"{what} is a datetime or 'MM-DD', not {type(when).__name__}")
    try:
        month, day = (int(part) for part in when.split("-"))
        datetime(2000, month, day)
    except ValueError:
        raise ValueError(f"{what} is a datetime or 'MM-DD' (as 07-21), not {when!r}") from None

    def bound(stamp: datetime) -> datetime:
        year = stamp.year
        if month == 2 and day == 29 and not (year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)):
            moment = datetime(year, 3, 1)
        else:
            moment = datetime(year, month, day)
        if end:
            from datetime import timedelta

            moment += timedelta(days=1)
        return moment

    return bound


def _sql(result: Result) -> SqlResults:
    sql = result.sql
    if sql is None:
        raise OutputError("the run wrote no SQLite output (eplusout.sql)")
    return sql


def _number(value: Any) -> Any:
    if isinstance(value, str):
        try:
            return float(value.strip())
        except ValueError:
            return value.strip()
    return value


class StudyResults(Sequence[dict[str, Any]]):
    """The results table of a study: a record (dict) per variant, in the design's order: its id
    ("variant"), its parameters' values, each output, and its status ("ok" or "failed"), error (the run's
    first severe message, or why an output could not be read), warnings and severe message counts, elapsed
    seconds and whether it came from the cache. `units` gives each output's units."""

    def __init__(self, records: list[dict[str, Any]], parameters: Sequence[str], outputs: Sequence[str],
                 units: dict[str, str | None] | None = None) -> None:
        self.records = records
        self.parameters = list(parameters)
        self.outputs = list(outputs)
        self.units = dict(units or {})

    @property
    def columns(self) -> list[str]:
        return ["variant", *self.parameters, *self.outputs, *STATUS_COLUMNS]

    def __len__(self) -> int:
        return len(self.records)

    @overload
    def __getitem__(self, index: int) -> dict[str, Any]: ...
    @overload
    def __getitem__(self, index: slice) -> list[dict[str, Any]]: ...
    def __getitem__(self, index: int | slice) -> dict[str, Any] | list[dict[str, Any]]:
        return self.records[index]

    def __iter__(self) -> Iterator[dict[str, Any]]:
        return iter(self.records)

    def __repr__(self) -> str:
        failed = len(self.failed)
        return f"<StudyResults {len(self.records)} variants, {failed} failed; outputs {', '.join(self.outputs)}>"

    @property
    def failed(self) -> list[dict[str, Any]]:
        """The records of the variants that did not give every output."""
        return [r for r in self.records if r.get("status") != "ok"]

    def column(self, name: str) -> list[Any]:
        """One column's values, in the variants' order."""
        if name not in self.columns:
            raise KeyError(f"no column {name!r} (the columns: {', '.join(self.columns)})")
        return [r.get(name) for r in self.records]

    def header(self, name: str) -> str:
        """A column's name as the CSV file writes it: an output's with its units in brackets (empty ones
        for an output without), which is how read_csv tells outputs from parameters."""
        if name not in self.outputs:
            return name
        return f"{name} [{self.units.get(name) or ''}]"

    def to_pandas(self) -> Any:
        """A pandas DataFrame of the table (pandas is an optional dependency: ImportError without it)."""
        try:
            pandas = importlib.import_module("pandas")
        except ImportError:
            raise ImportError('to_pandas needs pandas: pip install "tarvix[study]"') from None
        frame = pandas.DataFrame.from_records(self.records, columns=self.columns)
        frame.attrs["units"] = dict(self.units)
        return frame

    def to_csv(self, path: str | os.PathLike[str]) -> None:
        """Write the table as CSV, a header row first (outputs with their units in brackets)."""
        target = Path(path)
        temporary = target.with_name(f".{target.name}.{os.getpid()}.tmp")
        with open(temporary, "w", encoding="utf-8", newline="") as file:
            writer = csv.writer(file)
            writer.writerow([self.header(c) for c in self.columns])
            for record in self.records:
                writer.writerow(["" if record.get(c) is None else _cell(record.get(c)) for c in self.columns])
        os.replace(temporary, target)

    def to_parquet(self, path: str | os.PathLike[str]) -> None:
        """Write the table as Parquet (needs pyarrow), the units in the file's metadata."""
        try:
            pyarrow = importlib.import_module("pyarrow")
            parquet = importlib.import_module("pyarrow.parquet")
        except ImportError:
            raise ImportError('to_parquet needs pyarrow: pip install pyarrow') from None
        table = pyarrow.Table.from_pylist([{c: r.get(c) for c in self.columns} for r in self.records])
        metadata = {b"tarvix.units": repr(self.units).encode()}
        parquet.write_table(table.replace_schema_metadata({**(table.schema.metadata or {}), **metadata}),
                            str(path))

    @classmethod
    def read_csv(cls, path: str | os.PathLike[str]) -> StudyResults:
        """A table to_csv() wrote: numbers read back as numbers, empty cells as None."""
        with open(path, encoding="utf-8", newline="") as file:
            try:
                rows = list(csv.reader(file))
            except csv.Error as error:
                raise ValueError(f"{path}: not a study's results table: {error}") from None
        if not rows or not rows[0] or rows[0][0] != "variant" or not set(STATUS_COLUMNS) <= {
                c.split(" [")[0] for c in rows[0]}:
            raise ValueError(f"{path}: not a study's results table (no variant and status columns)")
        names: list[str] = []
        units: dict[str, str | None] = {}
        outputs = []
        for header in rows[0]:
            name, bracket, rest = header.rpartition(" [")
            if bracket and rest.endswith("]"):
                outputs.append(name)
                units[name] = rest[:-1] or None
            else:
                name = header
            names.append(name)
        status_at = names.index("status")
        parameters = [n for n in names[1:status_at] if n not in outputs]
        records = []
        for row in rows[1:]:
            record: dict[str, Any] = {}
            for name, text in zip(names, row):
                record[name] = text if name in ("variant", "status", "error") else _parse(text)
            record["cached"] = record.get("cached") in (True, "True", 1)
            if record.get("error") == "":
                record["error"] = None
            records.append(record)
        return cls(records, parameters, outputs, {k: v for k, v in units.items() if v})


def _cell(value: Any) -> Any:
    return repr(value) if isinstance(value, float) else value


def _parse(text: str) -> Any:
    if text == "":
        return None
    if text in ("True", "False"):
        return text == "True"
    for kind in (int, float):
        try:
            value = kind(text)
        except ValueError:
            continue
        if isinstance(value, float) and not math.isfinite(value) and text.lower() not in ("nan", "inf", "-inf"):
            return text
        return value
    return text


def read_outputs(result: Result, outputs: Sequence[Output]) -> tuple[dict[str, Any], dict[str, str | None], str | None]:
    """Each output's value in a run and its units, and the first error met reading them (their values then
    None)."""
    values: dict[str, Any] = {}
    units: dict[str, str | None] = {}
    error = None
    for output in outputs:
        try:
            value, found_units = output.read(result)
        except (OutputError, sqlite3.Error, OSError) as problem:
            values[output.name] = None
            error = error or f"{output.name}: {problem}"
            continue
        except Exception as problem:  # a user's function
            values[output.name] = None
            error = error or f"{output.name}: {type(problem).__name__}: {problem}"
            continue
        values[output.name] = value
        units[output.name] = output.units or found_units
    return values, units, error

