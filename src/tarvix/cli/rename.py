"""tarvix rename: an object renamed with every reference to it, the documents' own text kept."""

from __future__ import annotations

import argparse

from tarvix.cli._common import (
    Failed,
    Outcome,
    Source,
    Target,
    UsageError,
    Work,
    gather,
    layout,
    plan_targets,
    run_writing,
    write_text,
)


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
