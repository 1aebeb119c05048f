# Type stubs for the extension module tarvix._schedules: the schedules of a
# document as the engine evaluates them, which tarvix.schedules wraps.

from array import array
from typing import Any, TypeAlias

from tarvix.idf import IDF

# What tarvix.schedules reads from a weather file's header: (leap years, (dst start, dst end) or None,
# [holiday dates]).
_WeatherCalendar: TypeAlias = tuple[bool, tuple[str, str] | None, list[str]]

class EnvironmentInfo(tuple[Any, ...]):
    """One run environment as the engine builds it (read-only)."""

    @property
    def name(self) -> str: ...
    @property
    def design_day(self) -> bool: ...
    @property
    def first(self) -> tuple[int, int, int]:
        """(year, month, day); year 0 for a design day."""
    @property
    def last(self) -> tuple[int, int, int]: ...
    @property
    def start_weekday(self) -> int:
        """1 Sunday .. 7 Saturday."""
    @property
    def day_type(self) -> int:
        """A design day's day type, numbered as tarvix.schedules.DAY_TYPES from 1."""
    @property
    def dst(self) -> bool: ...

class Info(tuple[Any, ...]):
    """What the schedules of a document run over (read-only)."""

    @property
    def timesteps(self) -> int:
        """Timesteps per hour."""
    @property
    def environments(self) -> list[EnvironmentInfo]:
        """Each design day, then each run period, in document order."""
    @property
    def names(self) -> list[str]: ...
    @property
    def problems(self) -> list[str]: ...

class Day(tuple[Any, ...]):
    """One day of an environment's calendar (read-only)."""

    @property
    def year(self) -> int: ...
    @property
    def month(self) -> int: ...
    @property
    def day(self) -> int: ...
    @property
    def weekday(self) -> int:
        """The weekday the date falls on, 1 Sunday .. 7 Saturday."""
    @property
    def special(self) -> int:
        """0, or the special day type in force, numbered as tarvix.schedules.DAY_TYPES from 1."""
    @property
    def dst(self) -> bool: ...

def info(doc: IDF, /) -> Info:
    """What the document's schedules run over."""

def calendar(doc: IDF, environment: str | int | None, weather: _WeatherCalendar | None, /) -> list[Day]:
    """The days of an environment."""

def values(
    doc: IDF, environment: str | int | None, name: str | None, folder: str | None, weather: _WeatherCalendar | None, /
) -> dict[str, array[float]]:
    """{name: array('d')} of one schedule, or of all (name None)."""
