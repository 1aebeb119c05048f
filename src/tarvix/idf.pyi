# Type stubs for the extension module tarvix.idf: IDF documents and objects.

import builtins
import os
from collections.abc import Iterable, Iterator
from typing import Any, Literal, Self, TypeAlias, TypeVar, final, overload

from tarvix.idd import IDD

_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]
# A field value as read: the stored text converted by the field's type.
_FieldValue: TypeAlias = str | int | float | None
# A field key: an index, or a field name (case-insensitive).
_Key: TypeAlias = int | str
# Values to write by position (a list) or by key (a dict; keys all indices,
# all names, or both). Any value is accepted: None and "" clear a field, True
# and False store Yes and No, anything else stores str(value). The two forms
# are overloads so that a dict display mixing indices and names checks too.
_Values: TypeAlias = list[Any] | dict[int | str, Any]
_KeyedValues: TypeAlias = dict[int, Any] | dict[str, Any]
_IDFT = TypeVar("_IDFT", bound=IDF)
_IDFObjectT = TypeVar("_IDFObjectT", bound=IDFObject)

class IDFObject:
    """One object of an IDF document: a schema class and its field values."""

    def __init__(self, idd: IDD, class_name: str) -> None:
        """Create a detached object of a class, with its minimum number of empty fields."""
    @property
    def class_name(self) -> str:
        """Class name as the schema spells it."""
    @property
    def field_names(self) -> list[str]:
        """Names of the stored fields, in order (those of repeating groups numbered)."""
    def __getitem__(self, key: _Key) -> _FieldValue:
        """Get field value by key."""
    def __setitem__(self, key: _Key, value: object) -> None:
        """Set field value by key."""
    def __iter__(self) -> Iterator[_FieldValue]:
        """Typed values of every field the class defines, unset ones included (for a class
        with a repeating group, of every stored value when there are more)."""
    def get_values(self) -> list[_FieldValue]:
        """Typed values of the stored fields, in order."""
    @overload
    def update(self, values: _Values | None, trim_empty_trails: bool = True) -> None:
        """Update multiple field values; every key is checked before any field changes."""
    @overload
    def update(self, values: _KeyedValues, trim_empty_trails: bool = True) -> None: ...
    def get_referenced_object(self, key: _Key) -> IDFObject | None:
        """Return the object whose name the field `key` holds, or None."""
    def get_referencing_objects(self, key: _Key) -> IDFObjectTuple:
        """Return the objects that refer to the name held in the field `key`."""
    def rename(self, new_name: str) -> int:
        """Rename the object and every field that refers to it by name.

        Sets the name field (the class's first field that other objects can reference)
        and, in one step through the reference graph, every field of the document that
        refers to the old name (in any case); returns the number of those other fields
        changed. An object that is not in a document changes only its own name. Raises
        ValueError when the class has no name field, when `new_name` is empty or contains
        ',', ';', '!' or a line break, or when another object of the document already holds
        it under the references that name this one ("Zone 'SPACE2-1' already exists");
        another case of the object's own name is allowed. MemoryError leaves the document
        as it was."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...
    def __repr__(self) -> str: ...

class IDFObjectTuple(tuple[IDFObject, ...]):
    """Read-only tuple of IDFObjects; list-style mutators raise AttributeError
    naming the document method to use instead."""

_Code: TypeAlias = Literal[
    "unknown-reference",
    "required-field",
    "required-object",
    "unique-object",
    "duplicate-name",
    "not-a-number",
    "not-an-integer",
    "below-minimum",
    "above-maximum",
    "not-a-choice",
    "too-many-fields",
    "schedule-incomplete",
    "schedule-bad-time",
    "schedule-out-of-limits",
    "schedule-bad-date",
    "too-few-fields",
    "version-mismatch",
    "obsolete-class",
    "deprecated-field",
    "schedule-day-uncovered",
]

PROBLEM_CODES: tuple[_Code, ...] = (
    "unknown-reference",
    "required-field",
    "required-object",
    "unique-object",
    "duplicate-name",
    "not-a-number",
    "not-an-integer",
    "below-minimum",
    "above-maximum",
    "not-a-choice",
    "too-many-fields",
    "schedule-incomplete",
    "schedule-bad-time",
    "schedule-out-of-limits",
    "schedule-bad-date",
    "too-few-fields",
    "version-mismatch",
    "obsolete-class",
    "deprecated-field",
    "schedule-day-uncovered",
)
"""Every code IDF.validate() reports and takes in `codes`, errors first."""

@final
class Problem(tuple[Any, ...]):
    """A problem IDF.validate() found in a document (read-only)."""

    @property
    def severity(self) -> Literal["error", "warning"]: ...
    @property
    def code(self) -> _Code: ...
    @property
    def class_name(self) -> str: ...
    @property
    def object_name(self) -> str | None: ...
    @property
    def obj_idx(self) -> int | None:
        """None for a problem of the whole document (a missing required object)."""
    @property
    def field_index(self) -> int | None: ...
    @property
    def field_name(self) -> str | None: ...
    @property
    def value(self) -> str | None: ...
    @property
    def message(self) -> str:
        """One sentence naming class, object, field and value."""
    @property
    def line(self) -> int | None:
        """The line of the field (when the problem is about one and the document kept its text), else of
        the object, in the text the document was loaded from; None when not known. Not part of the tuple."""

class IDF:
    """An IDF document: its objects, indexed by class and linked by references.
    Create it with IDF.from_file() or IDF.from_string()."""

    def __init__(self) -> None:
        """Always raises TypeError: use IDF.from_file() or IDF.from_string()."""
    @classmethod
    def from_file(cls, idd: IDD, filepath: _Path, encoding: str | None = None, *, keep_layout: bool = False) -> Self:
        """Parse an IDF file. Files that are not UTF-8 need `encoding`. With `keep_layout` the document keeps
        the text as written, for format(keep_layout=True) and save(..., keep_layout=True)."""
    @classmethod
    def from_string(cls, idd: IDD, content: str, *, keep_layout: bool = False) -> Self:
        """Parse IDF text; `keep_layout` as for from_file()."""
    @classmethod
    def from_epjson(cls, idd: IDD, text_or_path: str | bytes | os.PathLike[str], epjson_schema: _Path) -> Self:
        """Read a document from epJSON text (a str starting with '{', or bytes) or an
        epJSON file, with the JSON schema (Energy+.schema.epJSON) of the same version
        as `idd`. Objects come in the JSON's order; ValueError names the class,
        object and field of anything the document cannot hold."""
    def __len__(self, /) -> int:
        """The number of objects in the document."""
    def __iter__(self, /) -> Iterator[IDFObject]:
        """The document's objects in document order, as they are when iteration starts."""
    def __contains__(self, key: object, /) -> bool:
        """Whether the document holds an object of the class (ASCII letters in any case);
        False for anything but a str."""
    @property
    def idd(self) -> IDD:
        """The schema the document was loaded against."""
    def __getitem__(self, class_name: str) -> IDFObjectTuple:
        """Get tuple of IDFObjects from class name (case-insensitive)."""
    def get_objects(self, class_name: str) -> IDFObjectTuple:
        """Get tuple of IDFObjects from class name. Alias of IDF[class_name]."""
    def get_object_by_name(self, class_name: str, obj_name: str) -> IDFObject | None:
        """Get object by first field (likely name), case-insensitive."""
    def get_class_names(self) -> list[str]:
        """Get list of class names that have objects, in no particular order."""
    @overload
    def add_object(
        self, class_name: str, initial_values: _Values | None = None, default_values: bool = True
    ) -> IDFObject:
        """Add object to IDF, with the class's default values unless `default_values` is false."""
    @overload
    def add_object(self, class_name: str, initial_values: _KeyedValues, default_values: bool = True) -> IDFObject: ...
    def copy_object(self, obj: IDFObject, new_name: str | None = None) -> IDFObject:
        """Add a copy of an object at the end of the document and return it.

        `obj` may belong to this document, to another one or to none, but must use the
        same IDD. The values are copied as they are (no defaults filled in); the
        references the copy holds are registered as for any added object. `new_name`,
        when given, sets the copy's name field. Raises ValueError for another schema,
        a class without a name field for `new_name`, or a `new_name` containing ',',
        ';', '!' or a line break."""
    def remove_object(self, obj: IDFObject) -> None:
        """Remove object from IDF; it becomes detached."""
    def migrate(self, to: str = "25.2", *, idd_folder: _Path | None = None, strict: bool = False,
                idd: IDD | None = None, notes: list[Any] | None = None) -> IDF:
        """The document brought to a newer version of the engine: tarvix.migrate(self, ...)."""
    def _migrate_text(self, from_version: str, to_version: str, idd: IDD) -> tuple[IDF, list[tuple[Any, ...]], int]:
        """The document migrated from `from_version` to `to_version`, loaded against `idd`, with the notes of
        each step as (step, class, object, field, message, loss) tuples and the number of steps."""
    def validate(self, codes: Iterable[str] | None = None) -> list[Problem]:
        """Check the document against its schema: every problem found, in document
        order (missing required objects last); `codes` restricts the checks."""
    @property
    def version(self) -> str | None:
        """The first field of the document's Version object as written, or None."""
    def line_of(self, obj: IDFObject) -> int | None:
        """The 1-based line an object's class name stands on in the text the document was loaded from;
        None for an object that was added. ValueError for an object of another document."""
    def remove_all_objects(self, class_name: str) -> int:
        """Remove all objects of a class; return the number removed."""
    def format(
        self,
        class_indent_size: int = 0,
        field_indent_size: int = 4,
        field_size: int = 24,
        compact: bool = False,
        preserve_order: bool = False,
        *,
        keep_layout: bool = False,
    ) -> str:
        """Convert IDF to str with format config. With `keep_layout`: the text the document was loaded
        from, changed only where it was edited (ValueError for a document loaded without keep_layout)."""
    def save(
        self,
        output_path: _Path,
        class_indent_size: int = 0,
        field_indent_size: int = 4,
        field_size: int = 24,
        compact: bool = False,
        preserve_order: bool = False,
        include_timestamp: bool = True,
        *,
        keep_layout: bool = False,
    ) -> None:
        """Write the document, after a generated header, to `output_path`. With `keep_layout`: the text
        format(keep_layout=True) gives, without a header, in the encoding the file was read in."""
    def to_epjson(self, epjson_schema: _Path, compact: bool = False) -> str:
        """The document as epJSON text, by the JSON schema (Energy+.schema.epJSON) of
        its version, read once per file. ValueError, naming the class, object and
        field, when the schema cannot express the document."""
    def save_epjson(self, output_path: _Path, epjson_schema: _Path, compact: bool = False) -> None:
        """Write the document as an epJSON file (the text to_epjson() gives)."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...
    def __repr__(self) -> str: ...

def _unpickle_IDF(type: builtins.type[_IDFT], checksum: int, state: tuple[Any, ...] | None) -> _IDFT:
    """Rebuild an IDF from its reduce state."""

def _unpickle_IDFObject(
    type: builtins.type[_IDFObjectT], checksum: int, state: tuple[Any, ...] | None
) -> _IDFObjectT:
    """Rebuild an IDFObject from its reduce state."""

def migration_versions() -> tuple[str, ...]:
    """The versions migrate() knows, oldest first."""
def migration_rules() -> str:
    """The text of the version-migration rules, step by step, as migrate() applies them."""
def scan_version(content: bytes) -> str | None:
    """The first field of the first Version object of document text (bytes), read without loading
    the document: tokens are read only as far as that object. Only ASCII matters, so any encoding
    that keeps ASCII as it is will do; a UTF-8 byte-order mark is skipped. '' for a Version
    object without fields; None when the text has none, or a syntax error comes first."""

def debug_fail_allocation(after: int) -> bool:
    """For tests: of the allocating steps that edits of documents take from now on, `after`
    succeed and the next one fails as if memory had run out (once). A negative `after` disarms
    it. Returns whether the previous arming was still waiting to fire."""
