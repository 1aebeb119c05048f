"""What the server needs of a schema, read from it once per schema and kept: the classes by name, their
fields (repeating groups resolved), and which classes fill each name list."""

from __future__ import annotations

import functools
import os
import threading
from collections.abc import Sequence
from dataclasses import dataclass

from tarvix import _schemas
from tarvix.idd import IDD, ClassInfo, FieldInfo
from tarvix.idf import IDF

# What a value is, for the editor's colours.
PLAIN, NAME, REFERENCE, NUMBER, CHOICE = range(5)


@dataclass
class ClassData:
    info: ClassInfo
    fields: tuple[FieldInfo, ...]
    kinds: tuple[int, ...]
    name_field: int | None  # the field other objects name this one by

    def field(self, index: int) -> FieldInfo | None:
        """The field at `index` (inside the repeating group, its field of the group)."""
        if index < 0:
            return None
        if index < len(self.fields):
            return self.fields[index]
        begin, size = self.info.extensible_begin, self.info.extensible_size
        if begin is None or size <= 0:
            return None
        return self.fields[begin + (index - begin) % size]

    def kind(self, index: int) -> int:
        if index < len(self.kinds):
            return self.kinds[index]
        field = self.field(index)
        return PLAIN if field is None else _kind(field)


def _kind(field: FieldInfo) -> int:
    if field.references:
        return NAME
    if field.object_lists:
        return REFERENCE
    if field.type == "choice":
        return CHOICE
    if field.type in ("integer", "real"):
        return NUMBER
    return PLAIN


class Schema:
    """One loaded schema and what the server has read of it."""

    def __init__(self, idd: IDD, path: str) -> None:
        self.idd = idd
        self.path = path
        self.version = idd.version or ""
        self.names = idd.get_class_names()
        self.by_key = {name.upper().encode(): name for name in self.names}
        self._classes: dict[str, ClassData] = {}
        self._fillers: dict[str, list[tuple[str, int | None]]] | None = None
        self._snippets: dict[tuple[str, bool], str] = {}
        self._lock = threading.Lock()

    def class_name(self, written: bytes) -> str | None:
        """The schema's spelling of a class name as written (any case), or None."""
        return self.by_key.get(written.upper())

    def data(self, name: str) -> ClassData:
        data = self._classes.get(name)
        if data is None:
            info = self.idd.get_class_info(name)
            fields = info.fields
            name_field = next((f.index for f in fields if f.references), None)
            data = ClassData(info, fields, tuple(_kind(f) for f in fields), name_field)
            self._classes[name] = data
        return data

    def fillers(self, lists: Sequence[str]) -> list[tuple[str, int | None]]:
        """The classes whose objects a field of these name lists may name: (class, the field holding the
        name), or (class, None) where the list takes the class's name itself."""
        with self._lock:
            if self._fillers is None:
                fillers: dict[str, list[tuple[str, int | None]]] = {}
                for name in self.names:
                    info = self.idd.get_class_info(name)
                    for field in info.fields:
                        for tag in field.references:
                            fillers.setdefault(tag.upper(), []).append((name, field.index))
                        for tag in field.reference_class_names:
                            fillers.setdefault(tag.upper(), []).append((name, None))
                self._fillers = fillers
        seen: dict[tuple[str, int | None], None] = {}
        for tag in lists:
            for filler in self._fillers.get(tag.upper(), ()):
                seen.setdefault(filler, None)
        return list(seen)

    def object_text(self, name: str, compact: bool) -> str:
        """A new object of the class as the writer lays it out, its defaults filled."""
        key = (name, compact)
        text = self._snippets.get(key)
        if text is None:
            scratch = IDF.from_string(self.idd, "")
            scratch.add_object(name)
            text = scratch.format(preserve_order=True, compact=compact).strip()
            self._snippets[key] = text
        return text


_loaded: dict[str, Schema] = {}
_loaded_lock = threading.Lock()


def schema_at(path: str) -> Schema:
    """The schema of a file, loaded once (again when the file changes)."""
    idd = _schemas.load_schema(path)
    with _loaded_lock:
        schema = _loaded.get(path)
        if schema is None or schema.idd is not idd:
            schema = _loaded[path] = Schema(idd, path)
        return schema


@functools.cache
def engine_schema() -> str | None:
    """The engine's own schema, when the engine is installed."""
    try:
        from tarvix.simulation import find_engine

        return os.fspath(find_engine().idd_path)
    except Exception:  # no engine: no schema from it
        return None


_found: dict[tuple[str, str], tuple[int, str]] = {}


def _found_in(version: str, folder: str) -> str:
    """The folder's schema file for a version, looked for again only when the folder changes."""
    stamp = os.stat(folder).st_mtime_ns
    key = (version, os.path.abspath(folder))
    known = _found.get(key)
    if known is not None and known[0] == stamp:
        return known[1]
    path = _schemas.find_schema_file(version, folder)
    _found[key] = (stamp, path)
    return path


class NoSchema(Exception):
    """No schema can be had for a document; the message says how to give one."""


def choose(version: str | None, setting: str | None) -> Schema:
    """The schema for a document of `version`: from the editor's setting (a schema file, or a folder the
    version picks from), else the folder of TARVIX_IDD_FOLDER, else the engine's own schema."""
    where = setting or os.environ.get("TARVIX_IDD_FOLDER") or None
    how = ("set tarvix.idd in the editor's settings to a schema file or a folder of them, or set "
           "TARVIX_IDD_FOLDER to a folder of schemas")
    if where:
        where = os.path.expanduser(where)
        if os.path.isdir(where):
            if version is None:
                raise NoSchema(f"the document has no Version object, so no schema of {where} can be chosen "
                               f"for it; add one, or {how.replace('a folder of them, or', 'one file, or')}")
            try:
                path = _found_in(version, where)
            except (OSError, ValueError) as error:
                raise NoSchema(f"{error}; {how}") from None
            return schema_at(path)
        if not os.path.isfile(where):
            raise NoSchema(f"the schema {where} does not exist; {how}")
        return schema_at(where)
    engine = engine_schema()
    if engine is None:
        raise NoSchema(f"no schema to check the document against: {how}, or install the engine")
    return schema_at(engine)
