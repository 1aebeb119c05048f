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
from tarvix.migration import MigrationError, MigrationNote, migrate, versions


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

