"""tarvix draw: an SVG picture of a document's building."""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from tarvix.cli._common import (
    EXIT_OK,
    Outcome,
    UsageError,
    Work,
    check_output,
    writing,
    written,
)


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
