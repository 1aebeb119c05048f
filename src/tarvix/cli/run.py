"""tarvix run: the engine run on documents, a line per run."""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from tarvix.cli._common import (
    EXIT_FAILED,
    EXIT_OK,
    PROG,
    Failed,
    Progress,
    Source,
    UsageError,
    cell,
    gather,
    refused,
    summary_table,
)

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
