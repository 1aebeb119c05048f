"""The model's schedules as the simulation engine evaluates them: its run environments (design days and run
periods) with the engine's calendar of each, and every schedule's value at every timestep, in the order the
engine reports "Schedule Value" at timestep frequency. The schedules are built and evaluated in the core,
without the interpreter lock."""

from __future__ import annotations

import os
from array import array
from dataclasses import dataclass

from tarvix import idf as _idf

__all__ = ["Environment", "CalendarDay", "DAY_TYPES", "environments", "calendar", "values", "values_all"]

#: The engine's day types, numbered from 1 as it numbers them.
DAY_TYPES = ("Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Holiday",
             "SummerDesignDay", "WinterDesignDay", "CustomDay1", "CustomDay2")


@dataclass(frozen=True)
class Environment:
    """One run environment as the engine builds it: a design day or a run period, its first and last date
    (year 0 for a design day), the weekday it starts on and the timesteps per hour."""

    index: int
    name: str
    kind: str  # "design day" or "run period"
    first: tuple[int, int, int]
    last: tuple[int, int, int]
    start_weekday: str
    timesteps_per_hour: int


@dataclass(frozen=True)
class CalendarDay:
    """One day of an environment: its date, the engine's day type for it (a weekday, "Holiday", a special
    day's type, or the design day's type), whether daylight saving time is in force, and the weekday the
    date falls on (a holiday's too)."""

    year: int
    month: int
    day: int
    day_type: str
    dst: bool
    weekday: str  # the day's own weekday, "Sunday" .. "Saturday", whatever its day type


def environments(doc: _idf.IDF) -> list[Environment]:
    """The run environments of the document, as the engine would build them: each SizingPeriod:DesignDay,
    then each RunPeriod, in document order."""
    timesteps, found, _, _ = _idf._schedules_info(doc)
    return [Environment(index, name, "design day" if design else "run period", first, last, DAY_TYPES[weekday - 1],
                        timesteps)
            for index, (name, design, first, last, weekday, _, _) in enumerate(found)]


def _environment(environment: str | int | None) -> str | int | None:
    return environment  # resolved in the core: None, an index into environments(), or a name


_WeatherCalendar = tuple[bool, tuple[str, str] | None, list[str]]


def _weather(weather: str | os.PathLike[str] | None) -> _WeatherCalendar | None:
    """What the calendar takes from a weather file's header: its HOLIDAYS/DAYLIGHT SAVINGS record (whether
    leap years keep February 29, the daylight saving period, the holidays' dates)."""
    if weather is None:
        return None
    if not isinstance(weather, (str, os.PathLike)):
        raise TypeError(f"weather must be the path of a weather file or None, not {type(weather).__name__}")
    # Only a regular file is read, and only its header: a device or a pipe would be read forever.
    if not os.path.isfile(weather):
        raise ValueError(f"{os.fspath(weather)!r}: no such weather file (a regular file is needed)")
    with open(weather, encoding="latin-1", newline="") as source:
        for number in range(1, 9):
            line = source.readline(1 << 20)
            if not line:
                break
            fields = [f.strip() for f in line.rstrip("\r\n").split(",")]
            if fields[0].upper() != "HOLIDAYS/DAYLIGHT SAVINGS":
                continue
            try:
                leap = fields[1].upper().startswith("Y")
                start, end = fields[2], fields[3]
                count = int(fields[4] or 0)
                dates = [fields[6 + 2 * k] for k in range(count)]
            except (IndexError, ValueError):
                raise ValueError(f"{os.fspath(weather)}, line {number}: not a HOLIDAYS/DAYLIGHT SAVINGS record the "
                                 "engine reads") from None
            dst = None if start in ("", "0") or end in ("", "0") else (start, end)
            return leap, dst, dates
    raise ValueError(f"{os.fspath(weather)}: no HOLIDAYS/DAYLIGHT SAVINGS record in its header")


def calendar(doc: _idf.IDF, environment: str | int | None = None, *,
             weather: str | os.PathLike[str] | None = None) -> list[CalendarDay]:
    """One record per day of an environment (a name, an index into environments(), or None: the first run
    period, else the first design day): its date, the engine's day type and daylight saving time. With the
    run's `weather` file, its holidays and daylight saving period apply as the run period asks, and a leap
    year keeps February 29 only when the file says so, as in the engine."""
    found = _idf._schedules_calendar(doc, _environment(environment), _weather(weather))
    return [CalendarDay(y, m, d, DAY_TYPES[(special or weekday) - 1], bool(dst), DAY_TYPES[weekday - 1])
            for y, m, d, weekday, special, dst in found]


def _folder(folder: str | os.PathLike[str] | None) -> str | None:
    if folder is None:
        return None
    if not isinstance(folder, (str, os.PathLike)):
        raise TypeError(f"folder must be a path or None, not {type(folder).__name__}")
    return os.fspath(folder)


def values(doc: _idf.IDF, name: str, environment: str | int | None = None, *,
           folder: str | os.PathLike[str] | None = None,
           weather: str | os.PathLike[str] | None = None) -> array[float]:
    """The schedule's value at every timestep of the environment (default: the first run period), in the
    order the engine reports "Schedule Value" at timestep frequency: 24 x timesteps-per-hour values a day.
    A Schedule:File's relative file is looked for in `folder` first, then in the folder of the file the
    document was read from, then as named; only the rows it needs are read;
    `weather`, the run's weather file, as for calendar().
    KeyError when the document has no schedule of that name; ValueError naming the file (and the line) when a
    Schedule:File's file cannot be read."""
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    found: dict[str, array[float]] = _idf._schedules_values(doc, _environment(environment), name, _folder(folder),
                                                            _weather(weather))
    return next(iter(found.values()))


def values_all(doc: _idf.IDF, environment: str | int | None = None, *,
               folder: str | os.PathLike[str] | None = None,
               weather: str | os.PathLike[str] | None = None) -> dict[str, array[float]]:
    """Every schedule's values over the environment at once: {name: array('d')}, built in one pass."""
    found: dict[str, array[float]] = _idf._schedules_values(doc, _environment(environment), None, _folder(folder),
                                                            _weather(weather))
    return found
