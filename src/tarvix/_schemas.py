"""Version-aware loading: each document against the schema of its own version.

A schema is loaded once per process and file (and again when the file
changes), so a batch of documents of a few versions costs a few schema
loads. In a folder of schemas, each file's version comes from its
`!IDD_Version` header line, read from the first bytes of the file; only a
file without that header is loaded to read its Version default. A schema
file of the folder that cannot be read is skipped, with one warning.

The encoding "auto" (the default here, unlike `IDF.from_file`) reads each
file as UTF-8, and one that is not valid UTF-8 as cp1252, the encoding
older releases wrote their comments in. A valid UTF-8 file is read once.
"""

from __future__ import annotations

import codecs
import os
import re
import threading
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import TypeVar

from tarvix.idd import IDD
from tarvix.idf import IDF, scan_version
from tarvix.utils import version_key  # the matcher IDF.validate uses too

__all__ = ["open_idf"]

AUTO = "auto"
FALLBACK = "cp1252"
_HEADER = re.compile(rb"^[ \t]*!IDD_Version[ \t]+([^\s!]+)", re.MULTILINE)
_HEADER_BYTES = 64 * 1024
_ASCII = bytes(range(128))

# (mtime_ns, size, inode): a file written again is read again.
_Stamp = tuple[int, int, int]
T = TypeVar("T")

_lock = threading.Lock()
# (path, encoding asked for) -> (stamp, schema, encoding it was read in)
_schemas: dict[tuple[str, str | None], tuple[_Stamp, IDD, str]] = {}
_versions: dict[tuple[str, str | None], tuple[_Stamp, str | None]] = {}
_warned: set[tuple[str, _Stamp | None]] = set()


def _stamp(path: str) -> _Stamp:
    st = os.stat(path)
    return (st.st_mtime_ns, st.st_size, st.st_ino)


def is_auto(encoding: str | None) -> bool:
    return encoding is not None and encoding.lower() == AUTO


def _not_utf8(error: UnicodeError) -> bool:
    """Whether `error` is the one a from_file reader raises for text that is not UTF-8."""
    return type(error) is UnicodeError and isinstance(error.__cause__, UnicodeDecodeError)


def read_file(read: Callable[[str | os.PathLike[str], str | None], T], path: str | os.PathLike[str],
              encoding: str | None, option: str) -> tuple[T, str]:
    """read(path, encoding) (IDF.from_file without its schema, or IDD.from_file), and
    the encoding the file was read in. With "auto": UTF-8, else cp1252. A file that
    is not UTF-8 where UTF-8 was asked for raises UnicodeError naming `option`, the
    caller's way of giving the encoding."""
    if is_auto(encoding):
        try:
            return read(path, None), "utf-8"
        except UnicodeError as error:
            if not _not_utf8(error):
                raise
        try:
            return read(path, FALLBACK), FALLBACK
        except UnicodeDecodeError as error:
            raise UnicodeError(f"'{os.fspath(path)}' is neither UTF-8 nor {FALLBACK}: "
                               f"give its encoding with {option}") from error
    if encoding is not None and encoding.lower() in ("utf-8", "utf8"):
        encoding = None  # checked, where the readers take the bytes of these names as they are
    try:
        return read(path, encoding), encoding or "utf-8"
    except UnicodeError as error:
        if not _not_utf8(error):
            raise
        raise UnicodeError(f"'{os.fspath(path)}' cannot be read in UTF-8: give its encoding with {option} "
                           f"(for example {FALLBACK}), or {AUTO}") from error.__cause__


def keeps_ascii(encoding: str | None) -> bool:
    """Whether text in `encoding` holds ASCII characters as their ASCII bytes, so
    that the version can be read from the raw bytes."""
    if encoding is None or is_auto(encoding):
        return True
    try:
        return _ASCII.decode(encoding) == _ASCII.decode("ascii")
    except UnicodeDecodeError:
        return False


def _as_utf8(data: bytes, encoding: str, final: bool) -> bytes:
    """`data` in `encoding` as UTF-8; with `final` false, data may end inside a character."""
    decoder = codecs.getincrementaldecoder(encoding)("replace")
    return decoder.decode(data, final).encode("utf-8", "surrogatepass")


def load_schema_in(path: str | os.PathLike[str], encoding: str | None = AUTO,
                   option: str = "idd_encoding=") -> tuple[IDD, str]:
    """The schema of a file and the encoding it was read in, loaded once per process
    (again when the file changes)."""
    key = (os.path.abspath(path), AUTO if is_auto(encoding) else encoding)
    with _lock:
        stamp = _stamp(key[0])
        cached = _schemas.get(key)
        if cached is not None and cached[0] == stamp:
            return cached[1], cached[2]
        schema, used = read_file(IDD.from_file, key[0], encoding, option)
        _schemas[key] = (stamp, schema, used)
        return schema, used


def load_schema(path: str | os.PathLike[str], encoding: str | None = AUTO) -> IDD:
    """The schema of a file, loaded once per process (again when the file changes)."""
    return load_schema_in(path, encoding)[0]


def _read_head(path: str) -> bytes:
    with open(path, "rb") as file:
        return file.read(_HEADER_BYTES)


def schema_file_version(path: str, encoding: str | None = AUTO, option: str = "idd_encoding=") -> str | None:
    """A schema file's version: its !IDD_Version header, else its Version default."""
    stamp = _stamp(path)
    key = (path, encoding)
    with _lock:
        cached = _versions.get(key)
    if cached is not None and cached[0] == stamp:
        return cached[1]
    head = _read_head(path)
    if not keeps_ascii(encoding):
        head = _as_utf8(head, encoding or "utf-8", final=len(head) < _HEADER_BYTES)
    found = _HEADER.search(head)
    version: str | None
    if found:
        version = found.group(1).decode("utf-8", "replace")
    else:
        version = load_schema_in(path, encoding, option)[0].version or None
    with _lock:
        _versions[key] = (stamp, version)
    return version


def schema_files(folder: str) -> list[str]:
    """The *.idd files of a folder (any case of the suffix), in name order."""
    with os.scandir(folder) as entries:
        return sorted(os.path.normpath(e.path) for e in entries if e.name.lower().endswith(".idd") and e.is_file())


def _unreadable(error: Exception) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def _warn_skipped(path: str, reason: str) -> None:
    """One warning per file (and per version of it) that a folder's search skipped."""
    try:
        stamp: _Stamp | None = _stamp(path)
    except OSError:
        stamp = None
    with _lock:
        if (path, stamp) in _warned:
            return
        _warned.add((path, stamp))
    warnings.warn(f"{path}: skipped, it cannot be read as a schema: {reason}", stacklevel=2)


def find_schema_file(version: str, folder: str, encoding: str | None = AUTO, option: str = "idd_encoding=") -> str:
    """The schema file of `folder` whose version has the major.minor of `version`;
    one of the same full version is preferred. A file that cannot be read is
    skipped, with a warning (once per file). ValueError when no readable file
    matches."""
    wanted = version_key(version)
    chosen: str | None = None
    seen: set[str] = set()
    skipped: list[tuple[str, str]] = []
    for path in schema_files(folder):
        try:
            file_version = schema_file_version(path, encoding, option)
        except (OSError, UnicodeError, ValueError) as error:
            skipped.append((path, _unreadable(error)))
            continue
        if file_version is None:
            continue
        seen.add(file_version.strip())
        if version_key(file_version) == wanted:
            if file_version.strip() == version.strip():
                chosen = path
                break
            chosen = chosen or path
    if chosen is not None:
        for path, reason in skipped:
            _warn_skipped(path, reason)
        return chosen
    have = f"; it has {', '.join(sorted(seen, key=_version_order))}" if seen else "; it has no *.idd file with a version"
    unread = "".join(f"; cannot read {path}: {reason}" for path, reason in skipped)
    raise ValueError(f"no schema of version {version.strip()} in {folder}{have}{unread}")


def _version_order(version: str) -> tuple[tuple[int, int | str], ...]:
    """Orders versions by their numbers, part by part ("6.0.0.023" before "9.2", "9.2" before "22.1");
    a part that is not a number comes after the numbers, in text order."""
    return tuple((0, int(part)) if part.isdigit() else (1, part) for part in version.split("."))


def read_version(path: str | os.PathLike[str], encoding: str | None = None) -> str | None:
    """The version of a document file (its first Version object's first field).
    Files keep it near the top, so the first bytes are tried alone: a version
    found in them is the one of the whole text, since it was closed by its
    delimiter. Otherwise the whole file is read. Text in an encoding that does
    not keep ASCII as it is (UTF-16, ...) is read as UTF-8 first."""
    ascii_kept = keeps_ascii(encoding)
    with open(path, "rb") as file:
        head = file.read(_HEADER_BYTES)
        whole = len(head) < _HEADER_BYTES
        version = scan_version(head if ascii_kept else _as_utf8(head, encoding or "utf-8", whole))
        if version is not None or whole:
            return version
        file.seek(0)
        rest = file.read()
    return scan_version(rest if ascii_kept else _as_utf8(rest, encoding or "utf-8", True))


@dataclass
class Loaded:
    """A document loaded by load_document, with where its schema came from and
    the encodings the two files were read in."""

    document: IDF
    schema_path: str
    encoding: str
    schema_encoding: str


def schema_path_for(document: str | os.PathLike[str], schemas: str | os.PathLike[str],
                    idd_encoding: str | None = AUTO,
                    version_of: Callable[[str | os.PathLike[str]], str | None] = read_version,
                    idd_option: str = "idd_encoding=") -> str:
    """The schema file for a document: `schemas` itself when it is a file, else the
    file of that folder that matches the document's version (read by `version_of`)."""
    schemas = os.fspath(schemas)
    if not os.path.isdir(schemas):
        os.stat(schemas)  # a missing path raises here, naming it
        return schemas
    version = version_of(document)
    if version is None:
        raise ValueError(f"{os.fspath(document)}: no Version object, so no schema of {schemas} "
                         f"can be chosen for it; name the schema file instead")
    return find_schema_file(version, schemas, idd_encoding, idd_option)


def load_document(path: str | os.PathLike[str], schemas: str | os.PathLike[str], encoding: str | None = AUTO,
                  idd_encoding: str | None = AUTO, options: tuple[str, str] = ("encoding=", "idd_encoding="),
                  keep_layout: bool = False) -> Loaded:
    """open_idf, telling also the schema file and the encodings used. `options`
    name the caller's ways of giving the two encodings, for the messages."""
    schema_path = schema_path_for(path, schemas, idd_encoding,
                                  lambda document: read_version(document, encoding), options[1])
    schema, schema_encoding = load_schema_in(schema_path, idd_encoding, options[1])
    doc, used = read_file(lambda p, e: IDF.from_file(schema, p, e, keep_layout=keep_layout), path, encoding,
                          options[0])
    return Loaded(doc, schema_path, used, schema_encoding)


def open_idf(path: str | os.PathLike[str], schemas: str | os.PathLike[str], encoding: str | None = AUTO,
             *, idd_encoding: str | None = AUTO, keep_layout: bool = False, upgrade_to: str | None = None) -> IDF:
    """Load a document against the schema of its own version.

    `schemas` is a schema file, or a folder of them: then the document's
    Version object (the first one, wherever it stands; read without a full
    parse) picks the *.idd file whose !IDD_Version header, or else Version
    default, has the same major.minor. Each schema is loaded once per process
    (again when its file changes); a file of the folder that cannot be read is
    skipped with a warning. `encoding` is the document's and `idd_encoding`
    the schemas': "auto" (the default) reads each file as UTF-8, or as cp1252
    when it is not valid UTF-8; None is UTF-8 alone, as for IDF.from_file;
    any other codec name is used as given. ValueError, naming the version and
    the folder, when no schema of the folder matches, or when the document has
    no Version object and `schemas` is a folder. `keep_layout` is as for
    IDF.from_file: the document keeps its text, and writes it back in the
    encoding it was read in. With `upgrade_to` (a version, "25.2"), a document
    of an older version is migrated to it (tarvix.migrate), the target's schema
    taken from `schemas` when it is a folder.
    """
    doc = load_document(path, schemas, encoding, idd_encoding, keep_layout=keep_layout).document
    if upgrade_to is None:
        return doc
    from tarvix.migration import migrate

    folder = os.fspath(schemas)
    return migrate(doc, upgrade_to, idd_folder=folder if os.path.isdir(folder) else None)
