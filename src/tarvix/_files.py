"""Whole-file writes of the library and the command: a temporary file in the target's folder, renamed
over the target once it is complete, so that a full disk, a size limit or an interrupt leaves the old file
as it was.

Through a symbolic link the file it names is replaced. A target that exists and is not a regular file
(a device such as /dev/null, a FIFO) is written in place, never replaced. A replaced file keeps its
permissions (and its owner where the process may set it); a new file gets the ones the umask allows.
`replacing` hands the writer a file object, `replacing_path` the temporary file's path (for writers that
only write to a path they are given).
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
import tempfile
from collections.abc import Iterator
from typing import IO

_TEMPORARY_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)


def _temporary_name(folder: str, name: str, suffix: str = "") -> str:
    return os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp{suffix}")


def _create_temporary(target: str, existing: os.stat_result | None, suffix: str = "") -> tuple[int, str]:
    """An open descriptor of a new file beside `target`, and its name. It starts private when it is to
    replace a file, and takes that file's permissions before anything is written into it; a file that
    is new is made with the permissions the umask allows."""
    folder, name = os.path.split(target)
    for _ in range(100):
        temporary = _temporary_name(folder, name, suffix)
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


def kind(path: str | os.PathLike[str]) -> str | None:
    """What is at `path`, through links: None (nothing), "file", "stream" (a character device such as
    /dev/null or a terminal, or a pipe: written to in place, as standard output is) or "other" (a folder,
    a block device, a socket: never written)."""
    try:
        return _kind_of(os.stat(path))
    except OSError:
        return None


def _kind_of(found: os.stat_result | None) -> str | None:
    if found is None:
        return None
    if stat.S_ISREG(found.st_mode):
        return "file"
    return "stream" if stat.S_ISCHR(found.st_mode) or stat.S_ISFIFO(found.st_mode) else "other"


def not_replaced(path: str) -> str:
    """Why a write leaves what is at `path` alone."""
    what = "a folder" if os.path.isdir(path) else "not a regular file"
    return f"{path} is {what}: it is not replaced"


class TargetExists(FileExistsError):
    """A file is at the target of a write that was not to replace one."""


class NotReplaced(OSError):
    """The target of a write is neither a regular file nor a device or pipe to write into (a folder, a
    socket), or it stopped being a device or pipe while it was written."""


# The errors of a write that found no room: a file size limit, a full disk or quota, a failing device.
_FULL = (errno.EFBIG, errno.ENOSPC, errno.EDQUOT, errno.EIO)


def _name_target(error: BaseException, temporary: str, named: str) -> None:
    """Puts the file asked for where an error names the temporary file written instead."""
    if isinstance(error, OSError):
        if temporary in (error.filename, error.filename2) or (error.filename is None and error.errno in _FULL):
            error.filename, error.filename2 = named, None
        if isinstance(error.strerror, str) and temporary in error.strerror:
            error.strerror = error.strerror.replace(temporary, named)
    elif type(error) in (ValueError, MemoryError, RuntimeError) and error.args and isinstance(error.args[0], str):
        error.args = (error.args[0].replace(temporary, named), *error.args[1:])


def _copy_into(temporary: str, target: str, named: str) -> None:
    """Writes the temporary file's bytes into the device or pipe at `target`, opened without creating or
    truncating anything; NotReplaced if it is no longer one."""
    try:
        out = os.open(target, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise type(error)(error.errno, error.strerror, named) from None
    try:
        mode = os.fstat(out).st_mode
        if not (stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)):
            raise NotReplaced(f"{named} changed while it was written: it is not replaced")
        with open(temporary, "rb") as source:
            while chunk := source.read(1 << 16):
                view = memoryview(chunk)
                while view:
                    try:
                        view = view[os.write(out, view):]
                    except OSError as error:
                        raise type(error)(error.errno, error.strerror, named) from None
    finally:
        os.close(out)


def _create(temporary: str, target: str) -> None:
    """Moves `temporary` to `target` only if no file is there, in one step where the file system can
    link; TargetExists otherwise."""
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise TargetExists(errno.EEXIST, "File exists", target) from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EXDEV, errno.EMLINK):
            raise
        if os.path.lexists(target):
            raise TargetExists(errno.EEXIST, "File exists", target) from None
        os.replace(temporary, target)
        return
    os.unlink(temporary)


@contextlib.contextmanager
def replacing_path(path: str | os.PathLike[str], replace: bool = True, suffix: str = "") -> Iterator[str]:
    """The path of a temporary file in the folder of `path` to write; once the block ends without an
    exception it becomes `path` (or the file a link at `path` names). With `replace` false an existing
    file is left alone and TargetExists raised. A device or a pipe at `path` is never replaced: the
    complete text is copied into it; a folder or another kind of file there is NotReplaced. `suffix` ends
    the temporary file's name, for writers that choose the format by it. Errors name `path`, never the
    temporary file."""
    named = os.fspath(path)
    target = os.path.realpath(named)
    try:
        existing: os.stat_result | None = os.stat(target)
    except OSError:
        existing = None
    what = _kind_of(existing)
    if what == "other":
        raise NotReplaced(not_replaced(named))
    stream = what == "stream"
    if stream:
        folder = tempfile.gettempdir()
        try:
            fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(target)}.", suffix=".tmp" + suffix)
        except OSError as error:
            raise type(error)(error.errno, error.strerror, named) from None
    else:
        try:
            fd, temporary = _create_temporary(target, existing, suffix)
        except OSError as error:
            raise type(error)(error.errno, error.strerror, named) from None
    os.close(fd)
    try:
        yield temporary
        if stream:
            _copy_into(temporary, target, named)
            os.unlink(temporary)
        elif replace:
            os.replace(temporary, target)
        else:
            _create(temporary, target)
    except BaseException as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(error, TargetExists):
            error.filename = named
        _name_target(error, temporary, named)
        raise
