"""Version-aware loading: each document against the schema of its own version.

A schema is loaded once per process and file (and again when the file
changes), so a batch of documents of a few versions costs a few schema
loads. In a folder of schemas, each file's version comes from its
`!IDD_Version` header line, read from the first bytes of the file; only a
file without that header is loaded to read its Version default.
"""

from __future__ import annotations

import os
import re
import threading
from collections.abc import Callable

from tarvix.idd import IDD
from tarvix.idf import IDF, scan_version

__all__ = ["open_idf"]

_HEADER = re.compile(rb"^[ \t]*!IDD_Version[ \t]+([^\s!]+)", re.MULTILINE)
_HEADER_BYTES = 64 * 1024

# (mtime_ns, size, inode): a file written again is read again.
_Stamp = tuple[int, int, int]

_lock = threading.Lock()
_schemas: dict[tuple[str, str | None], tuple[_Stamp, IDD]] = {}
_versions: dict[str, tuple[_Stamp, str | None]] = {}


def _stamp(path: str) -> _Stamp:
    st = os.stat(path)
    return (st.st_mtime_ns, st.st_size, st.st_ino)


def version_key(version: str) -> tuple[int, int] | str:
    """The major.minor of a version, as numbers when they are: "8.8.0", "8.8" and
    "08.8" agree, "8.8" and "8.80" do not, "9" is "9.0". Other text is compared
    ignoring case."""
    parts = version.strip().split(".")
    try:
        return (int(parts[0]), int(parts[1]) if len(parts) > 1 else 0)
    except ValueError:
        return ".".join(parts[:2]).casefold()


def load_schema(path: str | os.PathLike[str], encoding: str | None = None) -> IDD:
    """The schema of a file, loaded once per process (again when the file changes)."""
    key = (os.path.abspath(path), encoding)
    with _lock:
        stamp = _stamp(key[0])
        cached = _schemas.get(key)
        if cached is not None and cached[0] == stamp:
            return cached[1]
        schema = IDD.from_file(key[0], encoding)
        _schemas[key] = (stamp, schema)
        return schema


def schema_file_version(path: str, encoding: str | None = None) -> str | None:
    """A schema file's version: its !IDD_Version header, else its Version default."""
    stamp = _stamp(path)
    with _lock:
        cached = _versions.get(path)
    if cached is not None and cached[0] == stamp:
        return cached[1]
    with open(path, "rb") as file:
        head = file.read(_HEADER_BYTES)
    found = _HEADER.search(head)
    version: str | None
    if found:
        version = found.group(1).decode("ascii", "replace")
    else:
        version = load_schema(path, encoding).version or None
    with _lock:
        _versions[path] = (stamp, version)
    return version


def schema_files(folder: str) -> list[str]:
    """The *.idd files of a folder (any case of the suffix), in name order."""
    with os.scandir(folder) as entries:
        return sorted(os.path.normpath(e.path) for e in entries if e.name.lower().endswith(".idd") and e.is_file())


def find_schema_file(version: str, folder: str, encoding: str | None = None) -> str:
    """The schema file of `folder` whose version has the major.minor of `version`;
    one of the same full version is preferred. ValueError when none has."""
    wanted = version_key(version)
    matches: list[str] = []
    seen: set[str] = set()
    for path in schema_files(folder):
        file_version = schema_file_version(path, encoding)
        if file_version is None:
            continue
        seen.add(file_version.strip())
        if version_key(file_version) == wanted:
            if file_version.strip() == version.strip():
                return path
            matches.append(path)
    if matches:
        return matches[0]
    have = f"; it has {', '.join(sorted(seen))}" if seen else "; it has no *.idd file with a version"
    raise ValueError(f"no schema of version {version.strip()} in {folder}{have}")


def read_version(path: str | os.PathLike[str]) -> str | None:
    """The version of a document file (its first Version object's first field).
    Files keep it near the top, so the first bytes are tried alone: a version
    found in them is the one of the whole text, since it was closed by its
    delimiter. Otherwise the whole file is read."""
    with open(path, "rb") as file:
        head = file.read(_HEADER_BYTES)
        version = scan_version(head)
        if version is not None or len(head) < _HEADER_BYTES:
            return version
        file.seek(0)
        return scan_version(file.read())


def schema_path_for(document: str | os.PathLike[str], schemas: str | os.PathLike[str],
                    idd_encoding: str | None = None,
                    version_of: Callable[[str | os.PathLike[str]], str | None] = read_version) -> str:
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
    return find_schema_file(version, schemas, idd_encoding)


def open_idf(path: str | os.PathLike[str], schemas: str | os.PathLike[str], encoding: str | None = None,
             *, idd_encoding: str | None = None) -> IDF:
    """Load a document against the schema of its own version.

    `schemas` is a schema file, or a folder of them: then the document's
    Version object (the first one, wherever it stands; read without a full
    parse) picks the *.idd file whose !IDD_Version header, or else Version
    default, has the same major.minor. Each schema is loaded once per process
    (again when its file changes). `encoding` is the document's, as for
    IDF.from_file, and `idd_encoding` the schemas'. ValueError, naming the
    version and the folder, when no schema of the folder matches, or when the
    document has no Version object and `schemas` is a folder.
    """
    schema = load_schema(schema_path_for(path, schemas, idd_encoding), idd_encoding)
    return IDF.from_file(schema, path, encoding)
