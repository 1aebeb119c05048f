"""tarvix validate: the problems of each document, a line each, and a summary."""

from __future__ import annotations

import argparse
import json
import sys
import time
from dataclasses import dataclass, field
from typing import Any

from tarvix.cli._common import (
    EXIT_FAILED,
    EXIT_OK,
    EXIT_USAGE,
    LOAD_ERRORS,
    PROG,
    Loader,
    Progress,
    Read,
    UsageError,
    cell,
    documents_under,
    fail,
    load_error,
    loader_from,
    run_all,
    summary_table,
)
from tarvix.idf import PROBLEM_CODES

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
