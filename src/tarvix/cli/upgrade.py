"""tarvix upgrade: documents of older versions brought to a newer one, their own text kept."""

from __future__ import annotations

import argparse
import os

from tarvix.cli._common import (
    Failed,
    Outcome,
    Source,
    Target,
    UsageError,
    Work,
    gather,
    plan_targets,
    run_writing,
    write_text,
    written,
)
from tarvix.migration import LATEST, MigrationError, MigrationNote, migrate, versions


def cmd_upgrade(args: argparse.Namespace) -> int:
    if args.to not in versions():
        raise UsageError(f"--to {args.to}: the versions known are {versions()[0]} to {versions()[-1]}")
    work = Work(args)
    sources, status = gather(args)
    targets = plan_targets(args, sources)
    folder = work.loader.schemas if os.path.isdir(work.loader.schemas) else None

    def one(source: Source, target: Target, outcome: Outcome) -> None:
        doc = work.load(source.path, outcome, keep_layout=True).document
        notes: list[MigrationNote] = []
        try:
            migrated = migrate(doc, args.to, idd_folder=folder, strict=args.strict, notes=notes)
        except MigrationError as error:
            raise Failed(f"{source.path}: {error}") from None
        except ValueError as error:
            raise UsageError(f"{source.path}: {error}") from None
        write_text(target, lambda path: migrated.save(path, keep_layout=True),
                   lambda: migrated.format(keep_layout=True), outcome)
        lost = sum(note.loss for note in notes)
        outcome.say(f"{source.path}: {doc.version} -> {migrated.version}, {len(notes)} notes, {lost} not carried "
                    f"over", error=True)
        if args.report:
            for note in notes:
                outcome.say(f"{source.path}: {'LOST ' if note.loss else ''}{note}", error=True)
        if target.path is not None and not target.in_place:
            outcome.say(written(source.path, target.path), error=True)

    return run_writing(args, sources, targets, status, one)


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser], parents: list[argparse.ArgumentParser],
               paths_help: str) -> None:
    upgrade = commands.add_parser("upgrade", parents=parents, help="bring documents to a newer version",
                                  description="Bring documents written for older versions of the engine to "
                                              "a newer one, step by step, keeping their comments and layout: "
                                              "to stdout, to OUT (a folder for several), or over the "
                                              "documents themselves. --idd must be a folder holding the "
                                              "schema of each document's version (and of the target, unless "
                                              "the engine installed is of that version).")
    upgrade.add_argument("paths", nargs="+", metavar="PATH", help=paths_help)
    upgrade.add_argument("--to", default=LATEST, metavar="VERSION", help=f"the version wanted (default: {LATEST})")
    upgrade.add_argument("--report", action="store_true", help="print what each step did to each document")
    upgrade.add_argument("--strict", action="store_true",
                         help="fail a document when a step cannot carry something of it over")
    target = upgrade.add_mutually_exclusive_group()
    target.add_argument("-o", "--output", metavar="OUT",
                        help="write to OUT ('-' for stdout); with several documents or a folder, OUT is a folder")
    target.add_argument("--in-place", action="store_true",
                        help="replace each document (a temporary file is renamed over it only on success)")
    upgrade.set_defaults(run=cmd_upgrade)
