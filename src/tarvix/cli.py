"""The tarvix command: check, describe, format, convert and rename documents.

    tarvix info DOC... --idd SCHEMA
    tarvix validate PATH... --idd SCHEMA [--json] [--jobs N]
    tarvix format DOC --idd SCHEMA [--compact] [--preserve-order] [-o OUT | --in-place]
    tarvix convert DOC --to epjson|idf --idd SCHEMA [--epjson-schema FILE] [-o OUT]
    tarvix rename DOC CLASS OLD NEW --idd SCHEMA (-o OUT | --in-place)

`--idd` names a schema file, or a folder of them: then each document gets the
schema of its own version. Exit status: 0 on success (for validate: no
document has an error), 1 when validate finds an error or an operation fails,
2 on a usage error or a document or schema that cannot be loaded.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import shutil
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO, TypeVar

import tarvix
from tarvix import _schemas
from tarvix.idd import IDD
from tarvix.idf import IDF, PROBLEM_CODES

PROG = "tarvix"
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

# What a document or schema that cannot be read raises.
LOAD_ERRORS = (OSError, UnicodeError, ValueError, MemoryError)

T = TypeVar("T")
R = TypeVar("R")


class UsageError(Exception):
    """A command line or input the command cannot work with: exit status 2."""


def fail(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)


# ---------------------------------------------------------------------------
# Schemas and documents


@dataclass
class Loader:
    """Loads documents against the schema given by --idd: one file for all, or
    the file of each document's version in a folder."""

    schemas: str
    encoding: str | None
    idd_encoding: str | None

    def schema_path(self, document: str) -> str:
        return _schemas.schema_path_for(document, self.schemas, self.idd_encoding)

    def schema(self, schema_path: str) -> IDD:
        return _schemas.load_schema(schema_path, self.idd_encoding)

    def load(self, document: str) -> tuple[IDF, str]:
        """The document and the path of its schema."""
        schema_path = self.schema_path(document)
        return IDF.from_file(self.schema(schema_path), document, self.encoding), schema_path


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
    return reason if reason.startswith(f"{path}: ") else f"{path}: {reason}"


def documents_under(paths: Iterable[str]) -> tuple[list[str], list[str]]:
    """The documents named, folders searched recursively for *.idf (any case),
    and the messages for paths that do not exist."""
    found: list[str] = []
    missing: list[str] = []
    for path in paths:
        if os.path.isdir(path):
            inside = [str(p) for p in Path(path).rglob("*") if p.suffix.lower() == ".idf" and p.is_file()]
            found.extend(sorted(inside))
        elif os.path.exists(path):
            found.append(path)
        else:
            missing.append(f"{path}: no such file or folder")
    return found, missing


# ---------------------------------------------------------------------------
# Running over many documents


class Progress:
    """A progress bar on stderr when it is a terminal and tqdm is installed
    (`pip install "tarvix[cli]"`); otherwise nothing. Lines printed through
    it go above the bar."""

    def __init__(self, total: int) -> None:
        self.bar: Any = None
        if total > 1 and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, unit="doc", file=sys.stderr, leave=False, dynamic_ncols=True)

    def print(self, line: str, file: TextIO | None = None) -> None:
        out = file or sys.stdout
        if self.bar is not None:
            self.bar.write(line, file=out)
        else:
            print(line, file=out)

    def step(self) -> None:
        if self.bar is not None:
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


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
    version: str | None = None
    schema: str = ""
    counts: dict[str, int] = field(default_factory=dict)
    dangling: list[str] = field(default_factory=list)


def describe(loader: Loader, path: str) -> Described:
    try:
        doc, schema_path = loader.load(path)
    except LOAD_ERRORS as error:
        return Described(path, error=load_error(path, error))
    counts = {name: len(doc[name]) for name in sorted(doc.get_class_names(), key=str.lower)}
    dangling = [p.message for p in doc.validate(codes={"unknown-reference"})]
    return Described(path, version=doc.version, schema=schema_path, counts=counts, dangling=dangling)


def print_description(d: Described, out: Progress) -> None:
    objects = sum(d.counts.values())
    lines = [d.path,
             f"  version: {d.version if d.version is not None else '(no Version object)'}",
             f"  schema: {d.schema}",
             f"  objects: {objects} in {len(d.counts)} classes"]
    width = max((len(name) for name in d.counts), default=0)
    lines += [f"    {name:<{width}}  {count:>7}" for name, count in d.counts.items()]
    lines.append(f"  dangling references: {len(d.dangling)}")
    lines += [f"    {message}" for message in d.dangling]
    out.print("\n".join(lines))


def cmd_info(args: argparse.Namespace) -> int:
    loader = loader_from(args)
    progress = Progress(len(args.documents))
    status = EXIT_OK
    try:
        for d in run_all(lambda path: describe(loader, path), args.documents, args.jobs):
            progress.step()
            if d.error is not None:
                progress.print(f"{PROG}: error: {d.error}", file=sys.stderr)
                status = EXIT_USAGE
            elif args.json:
                progress.print(json.dumps({"path": d.path, "version": d.version, "schema": d.schema,
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
                  "value", "message")


@dataclass
class Checked:
    path: str
    error: str | None = None
    problems: list[dict[str, Any]] = field(default_factory=list)


def check(loader: Loader, codes: frozenset[str] | None, path: str) -> Checked:
    try:
        doc, _ = loader.load(path)
    except LOAD_ERRORS as error:
        return Checked(path, error=load_error(path, error))
    problems = [{name: getattr(p, name) for name in PROBLEM_FIELDS} for p in doc.validate(codes)]
    return Checked(path, problems=problems)


def problem_line(path: str, p: dict[str, Any]) -> str:
    where = ":".join(str(p[k] or "") for k in ("class_name", "object_name", "field_name"))
    return f"{path}:{where}: {p['code']}: {p['message']}"


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
    paths, missing = documents_under(args.paths)
    for message in missing:
        fail(message)
    start = time.perf_counter()
    documents = with_errors = errors = warnings = load_errors = 0
    progress = Progress(len(paths))
    try:
        for result in run_all(lambda path: check(loader, codes, path), paths, args.jobs):
            progress.step()
            if result.error is not None:
                load_errors += 1
                progress.print(f"{PROG}: error: {result.error}", file=sys.stderr)
                continue
            documents += 1
            found = sum(p["severity"] == "error" for p in result.problems)
            errors += found
            warnings += len(result.problems) - found
            with_errors += found > 0
            for p in result.problems:
                progress.print(json.dumps({"path": result.path, **p}) if args.json else problem_line(result.path, p))
    finally:
        progress.close()
    elapsed = time.perf_counter() - start
    print(summary_table([("documents", str(documents)), ("with errors", str(with_errors)),
                         ("errors", str(errors)), ("warnings", str(warnings)),
                         ("not loaded", str(load_errors + len(missing))), ("time", f"{elapsed:.2f} s")]),
          file=sys.stderr)
    if load_errors or missing:
        return EXIT_USAGE
    return EXIT_FAILED if with_errors else EXIT_OK


# ---------------------------------------------------------------------------
# Writing: format, convert, rename


@contextlib.contextmanager
def replacing(path: str) -> Iterator[str]:
    """A temporary file beside `path` to write; it replaces `path` (keeping its
    permissions) only when the block ends without an exception."""
    target = Path(os.path.realpath(path))  # through a link, the file it names is replaced
    fd, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
    os.close(fd)
    try:
        yield temporary
        if target.exists():
            shutil.copymode(target, temporary)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def load_one(loader: Loader, path: str) -> tuple[IDF, str]:
    try:
        return loader.load(path)
    except LOAD_ERRORS as error:
        raise UsageError(load_error(path, error)) from None


def save_document(doc: IDF, args: argparse.Namespace, source: str) -> None:
    """Writes a document as -o OUT or --in-place say, else to stdout."""
    options = {"compact": args.compact, "preserve_order": args.preserve_order}
    if args.in_place:
        with replacing(source) as temporary:
            doc.save(temporary, **options)
    elif args.output in (None, "-"):
        sys.stdout.write(doc.format(**options))
    else:
        doc.save(args.output, **options)


def cmd_format(args: argparse.Namespace) -> int:
    doc, _ = load_one(loader_from(args), args.document)
    save_document(doc, args, args.document)
    return EXIT_OK


def cmd_rename(args: argparse.Namespace) -> int:
    doc, _ = load_one(loader_from(args), args.document)
    try:
        obj = doc.get_object_by_name(args.class_name, args.old)
    except (KeyError, ValueError) as error:
        raise UsageError(f"{args.document}: {error}") from None
    if obj is None:
        raise UsageError(f"{args.document}: no {args.class_name} named {args.old!r}")
    class_name = obj.class_name
    old_name = obj[0]
    changed = obj.rename(args.new)
    save_document(doc, args, args.document)
    references = "reference" if changed == 1 else "references"
    print(f"{args.document}: renamed {class_name} {old_name!r} to {args.new!r}; {changed} {references} changed",
          file=sys.stderr if args.output == "-" else sys.stdout)
    return EXIT_OK


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
    loader = loader_from(args)
    source = args.document
    suffix = ".epJSON" if args.to == "epjson" else ".idf"
    output = args.output or str(Path(source).with_suffix(suffix))
    if output != "-" and os.path.abspath(output) == os.path.abspath(source):
        raise UsageError(f"{source}: the output would replace the document; give -o OUT")
    if args.to == "epjson":
        doc, schema_path = load_one(loader, source)
        json_schema = epjson_schema_path(args, schema_path)
        if output == "-":
            sys.stdout.write(doc.to_epjson(json_schema, compact=args.compact))
        else:
            doc.save_epjson(output, json_schema, compact=args.compact)
    else:
        try:
            schema_path = _schemas.schema_path_for(source, loader.schemas, loader.idd_encoding, epjson_version)
            schema = loader.schema(schema_path)
            json_schema = epjson_schema_path(args, schema_path)
            doc = IDF.from_epjson(schema, source, json_schema)
        except LOAD_ERRORS as error:
            raise UsageError(load_error(source, error)) from None
        if output == "-":
            sys.stdout.write(doc.format(compact=args.compact))
        else:
            doc.save(output, compact=args.compact)
    if output != "-":
        print(f"{source} -> {output}")
    return EXIT_OK


# ---------------------------------------------------------------------------
# The parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Check, describe, format, convert and rename IDF documents.",
        epilog="Exit status: 0 on success, 1 when validate finds an error or an operation fails, "
               "2 on a usage error or a file that cannot be loaded.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {tarvix.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--idd", metavar="SCHEMA",
                        help="schema file, or a folder of them: each document then gets the schema of its "
                             "version (default: $TARVIX_IDD)")
    common.add_argument("--encoding", metavar="ENC", help="encoding of the documents (default: UTF-8)")
    common.add_argument("--idd-encoding", metavar="ENC", help="encoding of the schemas (default: UTF-8)")

    many = argparse.ArgumentParser(add_help=False)
    many.add_argument("--json", action="store_true", help="one JSON object per line")
    many.add_argument("--jobs", "-j", type=jobs_argument, default=min(8, os.cpu_count() or 1), metavar="N",
                      help="load documents on N threads (default: the number of processors, at most 8)")

    writing = argparse.ArgumentParser(add_help=False)
    writing.add_argument("--compact", action="store_true", help="one line per object, no field comments")
    writing.add_argument("--preserve-order", action="store_true", help="keep the document's object order")

    info = commands.add_parser("info", parents=[common, many], help="version, object counts, dangling references",
                               description="For each document: its version and schema, the number of objects "
                                           "per class, and the references that name no object.")
    info.add_argument("documents", nargs="+", metavar="DOC")
    info.set_defaults(run=cmd_info)

    validate = commands.add_parser("validate", parents=[common, many], help="check documents against the schema",
                                   description="Check documents, and folders searched recursively for *.idf. "
                                               "One line per problem (path:class:object:field: code: message), "
                                               "then a summary on stderr.")
    validate.add_argument("paths", nargs="+", metavar="PATH")
    validate.add_argument("--codes", metavar="CODE,...", help="only these checks (for example unknown-reference)")
    validate.set_defaults(run=cmd_validate)

    fmt = commands.add_parser("format", parents=[common, writing], help="write a document again",
                              description="Write a document in the padded (default) or compact layout: to "
                                          "stdout, to OUT, or over the document itself.")
    fmt.add_argument("document", metavar="DOC")
    target = fmt.add_mutually_exclusive_group()
    target.add_argument("-o", "--output", metavar="OUT", help="write to OUT ('-' for stdout)")
    target.add_argument("--in-place", action="store_true",
                        help="replace DOC (a temporary file is renamed over it only on success)")
    fmt.set_defaults(run=cmd_format)

    convert = commands.add_parser("convert", parents=[common], help="convert between IDF and epJSON",
                                  description="Convert an IDF document to epJSON, or an epJSON document to IDF.")
    convert.add_argument("document", metavar="DOC")
    convert.add_argument("--to", choices=("epjson", "idf"), required=True, type=str.lower)
    convert.add_argument("--epjson-schema", metavar="FILE",
                         help="the JSON schema of the document's version (default: beside the schema "
                              "file, of its name with the suffix .schema.epJSON, else Energy+.schema.epJSON)")
    convert.add_argument("--compact", action="store_true", help="compact JSON, or compact IDF")
    convert.add_argument("-o", "--output", metavar="OUT",
                         help="output file ('-' for stdout; default: DOC with the suffix .epJSON or .idf)")
    convert.set_defaults(run=cmd_convert)

    rename = commands.add_parser("rename", parents=[common, writing],
                                 help="rename an object and every reference to it",
                                 description="Rename an object and every field that refers to it, then write "
                                             "the document; prints how many references changed.")
    rename.add_argument("document", metavar="DOC")
    rename.add_argument("class_name", metavar="CLASS")
    rename.add_argument("old", metavar="OLD")
    rename.add_argument("new", metavar="NEW")
    target = rename.add_mutually_exclusive_group(required=True)
    target.add_argument("-o", "--output", metavar="OUT", help="write to OUT")
    target.add_argument("--in-place", action="store_true",
                        help="replace DOC (a temporary file is renamed over it only on success)")
    rename.set_defaults(run=cmd_rename)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
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
