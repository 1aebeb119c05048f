# Type stubs for the extension module tarvix._eso: the reader of the engine's
# ESO and MTR output that tarvix.simulation's EsoResults wraps.

import os
from array import array
from collections.abc import Buffer, Sequence
from typing import final

@final
class EsoFile:
    """The engine's ESO or MTR output: its data dictionary, read at once, and the values of any
    reports on request.

    `path_or_bytes` is a path (read in binary) or the file's bytes (kept, not copied). Raises
    ValueError, naming the line, when the text is not such a file (no "Program Version," line,
    no "End of Data Dictionary", a malformed dictionary line)."""

    def __init__(self, path_or_bytes: str | os.PathLike[str] | Buffer) -> None: ...
    @property
    def version(self) -> str:
        """The program and version that wrote the file: its first line after "Program Version,"."""

    def variables(self) -> list[tuple[int, str, str, str, str, bool]]:
        """Every report of the data dictionary, in its order, as (id, key, name, units, frequency,
        is_meter). Meters are the reports without a key (their key is ""); every report of an MTR
        file is one. frequency is "Timestep", "Hourly", "Detailed" (the engine's "Each Call"),
        "Daily", "Monthly", "RunPeriod" or "Annual"."""

    def environments(self) -> list[str]:
        """Titles of the environments (design days, run periods) in the order they were run."""

    def read(self, ids: Sequence[int]) -> dict[int, tuple[array[float], list[tuple[int, int, int, int, float]]]]:
        """The values of the reports `ids`, read in one pass: {id: (values, stamps)}.

        Each stamp is (environment, month, day, hour, minute): the index into environments()
        and the end of the value's interval as the engine labels it. Hourly and shorter values
        end at hour 0..24 and a minute (01:00 is (1, 0), the first quarter hour (0, 15)): an
        int, but a float where a detailed report's system time step ends between two (7.5);
        daily values at (24, 0) of their day; monthly, run-period and annual ones at (24, 0) of
        the last day the file reported before them (day 0 when it reported none in that
        environment). Daily and longer reports carry their minimum and maximum too: only the
        first value (the sum or mean) is read. Values at the same stamp share one tuple.
        Raises ValueError for an id not in the dictionary or a malformed data
        line (naming its line), and when the file ends before "End of Data"."""
    def read_packed(self, ids: Sequence[int]) -> tuple[list[tuple[int, int, int, int, float]], dict[int, tuple[array[float], array[int]]]]:
        """As read(), with the stamps packed: (stamps, {id: (values, indices)}), where stamps lists
        each time stamp some value of `ids` has, once, in file order, and indices (an array('I')) gives
        the index into it of each value's stamp."""
