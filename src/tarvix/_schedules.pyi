# Type stubs for the extension module tarvix._schedules: the schedules of a
# document as the engine evaluates them, which tarvix.schedules wraps.

from array import array
from typing import TypeAlias

from tarvix.idf import IDF

# What tarvix.schedules reads from a weather file's header: (leap years, (dst start, dst end) or None,
# [holiday dates]).
_WeatherCalendar: TypeAlias = tuple[bool, tuple[str, str] | None, list[str]]

def info(
    doc: IDF, /
) -> tuple[int, list[tuple[str, bool, tuple[int, int, int], tuple[int, int, int], int, int, bool]], list[str], list[str]]:
    """(timesteps per hour, environments, schedule names, problems)."""

def calendar(
    doc: IDF, environment: str | int | None, weather: _WeatherCalendar | None, /
) -> list[tuple[int, int, int, int, int, bool]]:
    """The days of an environment."""

def values(
    doc: IDF, environment: str | int | None, name: str | None, folder: str | None, weather: _WeatherCalendar | None, /
) -> dict[str, array[float]]:
    """{name: array('d')} of one schedule, or of all (name None)."""
