# Type stubs for the extension module tarvix.idd: IDD schemas.

import os
from typing import Any, NoReturn, Self, TypeAlias, final

_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

@final
class FieldInfo(tuple[Any, ...]):
    """What the schema says about one field of a class (read-only)."""

    @property
    def index(self) -> int:  # type: ignore[override]  # the field's position, not tuple.index
        ...
    @property
    def name(self) -> str: ...
    @property
    def kind(self) -> str:
        """'A' (alpha) or 'N' (numeric)."""
    @property
    def type(self) -> str:
        """integer, real, alpha, choice, object-list, external-list or node ('alpha' or 'real'
        by kind when the schema gives none)."""
    @property
    def units(self) -> str | None: ...
    @property
    def ip_units(self) -> str | None: ...
    @property
    def units_based_on_field(self) -> str | None: ...
    @property
    def default(self) -> str | None:
        """The default as the schema writes it."""
    @property
    def choices(self) -> tuple[str, ...]: ...
    @property
    def minimum(self) -> float | None: ...
    @property
    def maximum(self) -> float | None: ...
    @property
    def minimum_exclusive(self) -> bool: ...
    @property
    def maximum_exclusive(self) -> bool: ...
    @property
    def required(self) -> bool: ...
    @property
    def autosizable(self) -> bool: ...
    @property
    def autocalculatable(self) -> bool: ...
    @property
    def retain_case(self) -> bool: ...
    @property
    def deprecated(self) -> bool: ...
    @property
    def references(self) -> tuple[str, ...]:
        """Name lists the value is entered in."""
    @property
    def reference_class_names(self) -> tuple[str, ...]:
        """Name lists the class name is entered in."""
    @property
    def object_lists(self) -> tuple[str, ...]:
        """Name lists the value must come from."""
    @property
    def external_lists(self) -> tuple[str, ...]: ...
    @property
    def note(self) -> str: ...

@final
class ClassInfo(tuple[Any, ...]):
    """What the schema says about one class (read-only)."""

    @property
    def name(self) -> str: ...
    @property
    def group(self) -> str: ...
    @property
    def memo(self) -> str: ...
    @property
    def format(self) -> str | None: ...
    @property
    def min_fields(self) -> int: ...
    @property
    def unique_object(self) -> bool: ...
    @property
    def required_object(self) -> bool: ...
    @property
    def obsolete(self) -> str | None: ...
    @property
    def extensible_size(self) -> int:
        """Fields per repeating group; 0 when the class has none."""
    @property
    def extensible_begin(self) -> int | None:
        """Index of the first field of the repeating group."""
    @property
    def fields(self) -> tuple[FieldInfo, ...]:
        """The fields the schema lists (a repeating group once)."""

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
    def get_class_names(self) -> list[str]:
        """Names of every class of the schema, in schema order."""
    def get_class_info(self, class_name: str) -> ClassInfo:
        """What the schema says about a class; ValueError when there is no such class."""
    @property
    def idd_version(self) -> str | None:
        """Version on the schema's !IDD_Version header line, or None."""
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
