"""Bringing documents written for older versions of the engine to a newer one.

`migrate(doc, to)` takes a document through each version step from its own
version to `to`, by the rules of each step (classes renamed, fields inserted
and removed, choice keys and output variable names renamed, objects the new
version has no place for reported), and returns a new document against the
schema of `to`; the source is left as it is. Each step says what it did in
`MigrationNote` records; with `strict=True` a note of something that did not
carry over is an error.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from tarvix.idd import IDD
from tarvix.idf import IDF, migration_rules, migration_versions
from tarvix.utils import version_key

__all__ = ["MigrationError", "MigrationNote", "migrate", "migration_rules", "versions"]

_VERSIONS = migration_versions()
LATEST = _VERSIONS[-1]


def versions() -> tuple[str, ...]:
    """The versions migration knows, oldest first."""
    return _VERSIONS


@dataclass(frozen=True, slots=True)
class MigrationNote:
    """What one version step did to one object, or could not carry over (`loss`)."""

    step: str
    class_name: str
    object_name: str
    field_index: int | None
    message: str
    loss: bool

    def __str__(self) -> str:
        where = self.class_name + (f" {self.object_name!r}" if self.object_name else "")
        if self.field_index is not None:
            where += f" field {self.field_index + 1}"
        return f"{self.step}: {where}: {self.message}"


class MigrationError(ValueError):
    """A strict migration that could not carry everything over; `notes` says what."""

    def __init__(self, message: str, notes: list[MigrationNote]) -> None:
        super().__init__(message)
        self.notes = notes


def _major_minor(version: str) -> str:
    """"8.0.0" as "8.0": the major.minor documents and schemas are matched by."""
    key = version_key(version)
    return f"{key[0]}.{key[1]}" if isinstance(key, tuple) else version.strip()


def _target_schema(to: str, idd_folder: str | os.PathLike[str] | None) -> IDD:
    """The schema of version `to`: from `idd_folder` (a folder of schemas or one file), else
    the engine's own when it is of that version."""
    from tarvix._schemas import find_schema_file, load_schema_in

    if idd_folder is not None:
        folder = os.fspath(idd_folder)
        path = find_schema_file(to, folder) if os.path.isdir(folder) else folder
        return load_schema_in(path)[0]
    try:
        from tarvix.simulation import find_engine

        engine = find_engine()
    except (ImportError, FileNotFoundError):
        engine = None
    if engine is not None and _major_minor(engine.version) == to:
        return load_schema_in(engine.idd_path)[0]
    have = f" (the engine found is {engine.version})" if engine is not None else " (no engine was found)"
    raise ValueError(f"no schema of version {to}{have}: give idd_folder, a folder of schemas or the "
                     f"Energy+.idd of {to}")


def _source_version(doc: IDF) -> str:
    version = doc.version or doc.idd.idd_version or doc.idd.version or ""
    return _major_minor(version)


def migrate(doc: IDF, to: str = LATEST, *, idd_folder: str | os.PathLike[str] | None = None,
            strict: bool = False, idd: IDD | None = None, notes: list[MigrationNote] | None = None) -> IDF:
    """The document brought to version `to`, against that version's schema.

    The schema of `to` is `idd`, or the one of that version in `idd_folder`
    (a folder of schemas, as `open_idf` takes), or the engine's own when the
    engine is installed and is of that version. What each step did is
    appended to `notes` when it is a list; with `strict`, a step that could
    not carry something over raises MigrationError. A document loaded with its layout
    kept keeps it: objects no rule changes keep their text, changed values are
    written in place, and objects that changed shape are written again where
    they stand.
    """
    if not isinstance(doc, IDF):
        raise TypeError(f"doc must be tarvix.idf.IDF, not {type(doc).__name__}")
    if not isinstance(to, str):
        raise TypeError(f"to must be str, not {type(to).__name__}")
    source = _source_version(doc)
    target = _major_minor(to)
    if source not in _VERSIONS:
        raise ValueError(f"cannot migrate from version {source or '(none)'}: the versions known are "
                         f"{_VERSIONS[0]} to {_VERSIONS[-1]}")
    if target not in _VERSIONS:
        raise ValueError(f"cannot migrate to version {to}: the versions known are {_VERSIONS[0]} to {_VERSIONS[-1]}")
    if _VERSIONS.index(target) < _VERSIONS.index(source):
        raise ValueError(f"cannot migrate from version {source} back to {target}")
    schema = idd if idd is not None else _target_schema(target, idd_folder)
    stated = schema.idd_version or schema.version
    if stated is not None and _major_minor(stated) != target:
        raise ValueError(f"the schema given is of version {stated}, not {target}")
    migrated, raw, _steps = doc._migrate_text(source, target, schema)
    made = [MigrationNote(*item) for item in raw]
    if strict:
        lost = [note for note in made if note.loss]
        if lost:
            listed = "\n".join(f"  {note}" for note in lost[:20])
            more = f"\n  ... and {len(lost) - 20} more" if len(lost) > 20 else ""
            raise MigrationError(f"migrating to {target} would lose {len(lost)} item(s):\n{listed}{more}", lost)
    if notes is not None:
        notes.extend(made)
    return migrated
