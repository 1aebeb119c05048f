"""tarvix schedules: every schedule's value at every timestep as the engine's CSV, and heat maps."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from pathlib import Path

from tarvix.cli._common import (
    EXIT_OK,
    Failed,
    Outcome,
    UsageError,
    Work,
    check_output,
    needs_matplotlib,
    writing,
    written,
)


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
        schedules._heat_maps(found, days, args.plot, progress=drawing_progress if sys.stderr.isatty() else None)
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


def drawing_progress(drawn: int, total: int) -> None:
    print(f"\rdrawing {drawn}/{total} schedules", end="" if drawn < total else "\n", file=sys.stderr, flush=True)
