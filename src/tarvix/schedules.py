"""The model's schedules as the simulation engine evaluates them: its run environments (design days and run
periods) with the engine's calendar of each, and every schedule's value at every timestep, in the order the
engine reports "Schedule Value" at timestep frequency. The schedules are built and evaluated in the core,
without the interpreter lock."""

from __future__ import annotations

import os
from array import array
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from tarvix import _files, _schedules, idf as _idf

__all__ = ["Environment", "CalendarDay", "DAY_TYPES", "environments", "calendar", "values", "values_all", "plot"]

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
    found = _schedules.info(doc)
    return [Environment(index, e.name, "design day" if e.design_day else "run period", e.first, e.last,
                        DAY_TYPES[e.start_weekday - 1], found.timesteps)
            for index, e in enumerate(found.environments)]


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
    found = _schedules.calendar(doc, _environment(environment), _weather(weather))
    return [CalendarDay(d.year, d.month, d.day, DAY_TYPES[(d.special or d.weekday) - 1], d.dst,
                        DAY_TYPES[d.weekday - 1])
            for d in found]


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
    found: dict[str, array[float]] = _schedules.values(doc, _environment(environment), name, _folder(folder),
                                                        _weather(weather))
    return next(iter(found.values()))


def values_all(doc: _idf.IDF, environment: str | int | None = None, *,
               folder: str | os.PathLike[str] | None = None,
               weather: str | os.PathLike[str] | None = None) -> dict[str, array[float]]:
    """Every schedule's values over the environment at once: {name: array('d')}, built in one pass."""
    found: dict[str, array[float]] = _schedules.values(doc, _environment(environment), None, _folder(folder),
                                                        _weather(weather))
    return found


#: Heat maps a page of a PDF holds.
PLOTS_PER_PAGE = 8


def plot(doc: _idf.IDF, path: str | os.PathLike[str], names: Sequence[str] | None = None,
         environment: str | int | None = None, *, folder: str | os.PathLike[str] | None = None,
         weather: str | os.PathLike[str] | None = None,
         progress: Callable[[int, int], None] | None = None) -> None:
    """Draw a week-by-hour heat map of each schedule (`names`, default every one) over the environment into an
    image file: a row a week, a column an hour of the week (Sunday first), the hour's mean value in each
    cell. A PDF gets a page per eight schedules, another format (SVG, PNG, ... by the suffix) a grid of up to
    four columns. `progress(drawn, total)` is called after each map. `environment`, `folder` and `weather`
    as for values(). Needs matplotlib (ImportError without it); ValueError for a document without schedules."""
    if names is None:
        found = values_all(doc, environment, folder=folder, weather=weather)
    else:
        found = {name: values(doc, name, environment, folder=folder, weather=weather) for name in names}
    _heat_maps(found, calendar(doc, environment, weather=weather), path, progress)


def _heat_maps(found: Mapping[str, Sequence[float]], days: list[CalendarDay], path: str | os.PathLike[str],
               progress: Callable[[int, int], None] | None = None) -> None:
    """plot() of values already read ({name: values}, over `days`)."""
    if not found:
        raise ValueError("no schedules to plot")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(found)
    steps = max(1, len(next(iter(found.values()))) // max(1, len(days)) // 24) if days else 1
    offset = DAY_TYPES.index(days[0].weekday) if days and days[0].weekday in DAY_TYPES[:7] else 0
    weeks = (offset + len(days) + 6) // 7

    def draw(axis: Any, figure: Any, name: str) -> None:
        series = found[name]
        grid = [[float("nan")] * 168 for _ in range(weeks)]
        for d in range(len(days)):
            row = grid[(offset + d) // 7]
            column = ((offset + d) % 7) * 24
            base = d * 24 * steps
            for hour in range(24):
                chunk = series[base + hour * steps:base + (hour + 1) * steps]
                row[column + hour] = sum(chunk) / len(chunk) if chunk else float("nan")
        image = axis.imshow(grid, aspect="auto", interpolation="nearest", cmap="viridis")
        axis.set_title(name, fontsize=9, loc="left")
        axis.set_xticks([24 * k for k in range(7)], ["Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"], fontsize=7)
        axis.tick_params(axis="y", labelsize=7)
        axis.set_ylabel("week", fontsize=7)
        figure.colorbar(image, ax=axis, fraction=0.02, pad=0.01)

    def figure_of(count: int, columns: int) -> tuple[Any, Any]:
        rows = (count + columns - 1) // columns
        figure, axes = plt.subplots(rows, columns, figsize=(10 * columns, 0.6 + 1.8 * rows), squeeze=False)
        figure.subplots_adjust(left=0.06 / columns, right=1 - 0.02 / columns, top=1 - 0.35 / (0.6 + 1.8 * rows),
                               bottom=0.25 / (0.6 + 1.8 * rows), hspace=0.6, wspace=0.15)
        for axis in axes.flat[count:]:
            axis.set_visible(False)
        return figure, axes

    drawn = 0

    def drew() -> None:
        nonlocal drawn
        drawn += 1
        if progress is not None:
            progress(drawn, len(names))

    kind = os.path.splitext(os.fsdecode(path))[1][1:].lower() or "svg"
    with _files.replacing(path) as file:
        if kind == "pdf":
            from matplotlib.backends.backend_pdf import PdfPages

            with PdfPages(file) as pages:
                for first in range(0, len(names), PLOTS_PER_PAGE):
                    page = names[first:first + PLOTS_PER_PAGE]
                    figure, axes = figure_of(len(page), 1)
                    for axis, name in zip(axes.flat, page):
                        draw(axis, figure, name)
                        drew()
                    pages.savefig(figure)
                    plt.close(figure)
            return
        columns = min(4, (len(names) + PLOTS_PER_PAGE - 1) // PLOTS_PER_PAGE)
        figure, axes = figure_of(len(names), columns)
        try:
            for axis, name in zip(axes.flat, names):
                draw(axis, figure, name)
                drew()
            figure.savefig(file, format=kind if kind in ("png", "svg", "pdf") else "svg")
        finally:
            plt.close(figure)
