"""Whole-file writes of the library: a temporary file in the target's folder, renamed over the target
once it is complete, so that a full disk, a size limit or an interrupt leaves the old file as it was.

Through a symbolic link the file it names is replaced. A target that exists and is not a regular file
(a device such as /dev/null, a FIFO) is written in place, never replaced. A replaced file keeps its
permissions (and its owner where the process may set it); a new file gets the ones the umask allows.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import stat
from collections.abc import Iterator
from typing import IO

_TEMPORARY_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)


def _temporary_name(folder: str, name: str) -> str:
    return os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")


def _create_temporary(target: str, existing: os.stat_result | None) -> tuple[int, str]:
    """An open descriptor of a new file beside `target`, and its name. It starts private when it is to
    replace a file, and takes that file's permissions before anything is written into it; a file that
    is new is made with the permissions the umask allows."""
    folder, name = os.path.split(target)
    for _ in range(100):
        temporary = _temporary_name(folder, name)
        try:
            fd = os.open(temporary, _TEMPORARY_FLAGS, 0o600 if existing else 0o666)
        except FileExistsError:
            continue
        if existing is None:
            return fd, temporary
        try:
            os.fchmod(fd, stat.S_IMODE(existing.st_mode))
            if (existing.st_uid, existing.st_gid) != os.fstat(fd)[4:6]:
                with contextlib.suppress(OSError):  # only a privileged process may give a file away
                    os.fchown(fd, existing.st_uid, existing.st_gid)
        except BaseException:
            os.close(fd)
            os.unlink(temporary)
            raise
        return fd, temporary
    raise FileExistsError(f"no temporary file could be made beside {os.fsdecode(target)}")


@contextlib.contextmanager
def replacing(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Iterator[IO[bytes]]:
    """A binary file to write the whole of `path` into: once the block ends without an exception, it
    is `path`. A failure (raised in the block or by the write) leaves `path` as it was and removes the
    temporary file; the error names `path`."""
    name = os.fsdecode(os.fspath(path))  # a bytes path as str: undecodable bytes round-trip
    target = os.path.realpath(name)
    try:
        existing: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        existing = None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        # A device, a FIFO or a folder: written in place as open() would, never replaced.
        with open(name, "wb") as file:
            yield file
        return
    temporary: str | None = None
    try:
        fd, temporary = _create_temporary(target, existing)
        with open(fd, "wb") as file:
            yield file
        os.replace(temporary, target)
        temporary = None
    except OSError as error:
        if error.filename is None or error.filename == temporary:
            error.filename = name
            error.filename2 = None
        raise
    finally:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)


def write_file(path: str | bytes | int | os.PathLike[str] | os.PathLike[bytes], data: bytes | memoryview) -> None:
    """Writes `data` as the whole of `path` (an open descriptor is written as given)."""
    if isinstance(path, int):
        with open(path, "wb") as file:
            file.write(data)
        return
    with replacing(path) as file:
        file.write(data)
