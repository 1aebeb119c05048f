# Type stubs for the extension module tarvix.idd: IDD schemas.

import os
from typing import NoReturn, Self, TypeAlias

_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class IDD:
    """A parsed IDD schema. Create it with IDD.from_file() or IDD.from_string();
    it is read-only, may be shared between documents and threads, and cannot
    be pickled."""

    def __init__(self) -> None:
        """Always raises TypeError: use IDD.from_file() or IDD.from_string()."""
    @classmethod
    def from_file(cls, filepath: _Path, encoding: str | None = None) -> Self:
        """Parse an IDD file. Files that are not UTF-8 need `encoding`."""
    @classmethod
    def from_string(cls, content: str) -> Self:
        """Parse IDD text."""
    def get_class_name(self, index: int) -> str:
        """Name of the class at `index`, in schema order; IndexError when out of range."""
    def _get_field_names(self, class_name: str) -> list[str]:
        """Names of the stored fields of a class, in schema order."""
    @property
    def version(self) -> str | None:
        """Schema version (the default of the Version class's first field); empty when absent."""
    @property
    def num_classes(self) -> int:
        """Total number of parsed classes."""
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...

def debug_find_field_index(idd: IDD, class_name: str, field_name: str) -> int:
    """Index of a field of a class by name (group names included); ValueError when not found."""

def debug_get_field_name(idd: IDD, class_name: str, field_idx: int, add_units: bool) -> str:
    """Name of the field at an index (group names generated), with units in braces when asked."""
