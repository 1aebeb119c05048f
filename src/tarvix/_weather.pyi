# Type stubs for the extension module tarvix._weather: the reader and writer
# of the engine's hourly weather files that tarvix.weather wraps.

import os
from array import array
from collections.abc import Buffer, Sequence
from typing import final

@final
class EpwFile:
    """An hourly weather file (EPW), parsed at once and kept.

    `path_or_bytes` is a path (read in binary) or the file's bytes (kept, not copied). Raises
    ValueError, naming the file (when it has a path) and the line, when a header record is missing or
    out of order, a data line has fewer than 35 fields, or a number does not read."""

    def __init__(self, path_or_bytes: str | os.PathLike[str] | Buffer) -> None: ...
    @property
    def rows(self) -> int:
        """The number of data lines."""

    def line_of_row(self, row: int, /) -> int:
        """The 1-based line of the file data row `row` was read from. IndexError outside the rows."""

    def header_line(self, record: int, /) -> int:
        """The 1-based line of the file header record `record` (0 to 7) was read from. IndexError
        outside 0 to 7."""

    def header(self) -> list[list[str]]:
        """The eight header records, each as the list of its fields (its keyword first). Bytes that are
        not UTF-8 come as lone surrogates (the "surrogateescape" error handler)."""

    def column(self, index: int, /) -> array[float] | list[str]:
        """Column `index` (0 to 34, in file order) of the data lines as read, made anew at each call:
        array('d') for the numbers (NaN for an empty field), list[str] for the data source flags
        (column 5) and present weather codes (column 27), equal texts sharing one str. IndexError
        outside 0 to 34."""

    def write(self, columns: Sequence[array[float] | list[str] | None], header: Sequence[str | None]) -> bytes:
        """The file's bytes with these 35 columns (array('d') of `rows` numbers, list[str], or None for
        a column as read) and 8 header records (a record's new text without its line end, or None for
        the record as read). Lines and records as read are kept byte for byte; a changed number takes as many decimals as the
        field it replaces. ValueError for a column of another length or kind, a number that is not
        finite, or a text holding a comma or a line end; TypeError for a text that is not str."""
