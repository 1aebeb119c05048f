"""What the commands share: loading documents and schemas, running over many documents with progress, the
output policy and whole-file writes through a temporary file."""

from __future__ import annotations

import argparse
import codecs
import contextlib
import os
import re
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO, TypeVar

from tarvix import _files, _schemas
from tarvix.idd import IDD

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

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


_kind = _files.kind
not_replaced = _files.not_replaced


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


@contextlib.contextmanager
def writing(path: str | os.PathLike[str], replace: bool = True, suffix: str = "") -> Iterator[str]:
    """The library's whole-file write by path (tarvix._files.replacing_path) under the command's output
    policy: a file that exists without `replace`, and a target that is not written, are Failed with the
    command's messages."""
    named = os.fspath(path)
    try:
        with _files.replacing_path(path, replace=replace, suffix=suffix) as temporary:
            yield temporary
    except _files.TargetExists:
        raise Failed(refused(named)) from None
    except _files.NotReplaced as error:
        raise Failed(str(error)) from None


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


_CELL = str.maketrans({"\t": " ", "\n": " ", "\r": " "})


_NOT_IN_A_CELL = re.compile(r"[\t\n\r]")


def cell(text: str) -> str:
    """Text for one part of a tab-separated line: tabs and line breaks as spaces."""
    return text.translate(_CELL) if _NOT_IN_A_CELL.search(text) else text


def summary_table(rows: list[tuple[str, str]]) -> str:
    width = max(len(name) for name, _ in rows)
    return "\n".join(f"{name:<{width}}  {value}" for name, value in rows)
