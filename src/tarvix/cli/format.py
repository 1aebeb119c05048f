"""tarvix format: documents written again in the padded or compact layout."""

from __future__ import annotations

import argparse

from tarvix.cli._common import (
    Outcome,
    Source,
    Target,
    Work,
    gather,
    layout,
    plan_targets,
    run_writing,
    write_text,
    written,
)


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
