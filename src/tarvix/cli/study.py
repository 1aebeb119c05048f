"""tarvix study: a parametric study described by a TOML file, its variants written and run, one table."""

from __future__ import annotations

import argparse
import sys
import time
import tomllib
from pathlib import Path
from typing import Any

from tarvix.cli._common import EXIT_FAILED, EXIT_OK, PROG, UsageError, cell, summary_table

_RUNS = ("design-day", "annual", "run-periods")
_DESIGNS = ("grid", "table", "latin-hypercube", "sobol", "morris", "saltelli")


def _take(table: dict[str, Any], where: str, key: str, kind: type | tuple[type, ...], default: Any = None,
          required: bool = False) -> Any:
    if key not in table:
        if required:
            raise UsageError(f"{where}: '{key}' is missing")
        return default
    value = table[key]
    kinds = kind if isinstance(kind, tuple) else (kind,)
    if not isinstance(value, kinds) or (isinstance(value, bool) and bool not in kinds):  # true is no number
        raise UsageError(f"{where}: '{key}' is {' or '.join(k.__name__ for k in kinds)}, not {type(value).__name__}")
    return value


def _check_keys(table: dict[str, Any], where: str, allowed: set[str]) -> None:
    unknown = sorted(set(table) - allowed)
    if unknown:
        raise UsageError(f"{where}: unknown key '{unknown[0]}' (the keys: {', '.join(sorted(allowed))})")


def _values(table: dict[str, Any], where: str) -> dict[str, Any]:
    values = _take(table, where, "values", list)
    bounds = _take(table, where, "range", list)
    return {"values": values, "range": bounds}


def _parameter(table: Any, number: int, here: Path) -> Any:
    from tarvix import study

    where = f"parameters[{number}]"
    if not isinstance(table, dict):
        raise UsageError(f"{where}: a parameter is a table ([[parameters]])")
    kind = _take(table, where, "type", str, "field")
    name = _take(table, where, "name", str)
    common = {"name", "type", "values", "range"}
    if kind == "field":
        _check_keys(table, where, common | {"class", "object", "field"})
        field = _take(table, where, "field", (str, int), required=True)
        return study.field(_take(table, where, "class", str, required=True), _take(table, where, "object", str),
                           field, name=name, **_values(table, where))
    if kind == "window-wall-ratio":
        _check_keys(table, where, common | {"orientation"})
        orientation = _take(table, where, "orientation", (str, list))
        return study.window_wall_ratio(name=name or "window_wall_ratio", orientation=orientation,
                                       **_values(table, where))
    if kind == "orientation":
        _check_keys(table, where, common)
        return study.orientation(name=name or "orientation", **_values(table, where))
    if kind == "layer-thickness":
        _check_keys(table, where, common | {"construction", "layer"})
        return study.layer_thickness(_take(table, where, "construction", str, required=True),
                                     _take(table, where, "layer", (str, int), required=True), name=name,
                                     **_values(table, where))
    if kind == "material-property":
        _check_keys(table, where, common | {"material", "field"})
        return study.material_property(_take(table, where, "material", str, required=True),
                                       _take(table, where, "field", str, required=True), name=name,
                                       **_values(table, where))
    if kind == "schedule-value":
        _check_keys(table, where, common | {"schedule", "replace"})
        return study.schedule_value(_take(table, where, "schedule", str, required=True), name=name,
                                    replace=_take(table, where, "replace", (int, float)), **_values(table, where))
    if kind == "weather":
        _check_keys(table, where, {"name", "type", "files"})
        files = _take(table, where, "files", list, required=True)
        return study.weather([here / str(f) for f in files], name=name or "weather")
    raise UsageError(f"{where}: type is one of field, window-wall-ratio, orientation, layer-thickness, "
                     f"material-property, schedule-value, weather; not {kind!r}")


def _output(table: Any, number: int) -> Any:
    from tarvix.study import Output

    where = f"outputs[{number}]"
    if not isinstance(table, dict):
        raise UsageError(f"{where}: an output is a table ([[outputs]])")
    kind = _take(table, where, "type", str, "tabular")
    name = _take(table, where, "name", str)
    if kind == "tabular":
        _check_keys(table, where, {"name", "type", "report", "table", "row", "column", "for"})
        return Output.tabular(*(_take(table, where, k, str, required=True) for k in ("report", "table", "row", "column")),
                              for_=_take(table, where, "for", str, "Entire Facility"), name=name)
    if kind == "series":
        _check_keys(table, where, {"name", "type", "variable", "key", "frequency", "how", "environment", "start",
                                   "end"})
        return Output.series(_take(table, where, "variable", str, required=True), key=_take(table, where, "key", str),
                             frequency=_take(table, where, "frequency", str), how=_take(table, where, "how", str, "sum"),
                             environment=_take(table, where, "environment", str),
                             start=_take(table, where, "start", str), end=_take(table, where, "end", str), name=name)
    raise UsageError(f"{where}: type is tabular or series, not {kind!r}")


def _design(table: Any, parameters: list[Any], here: Path) -> Any:
    from tarvix.study import Design

    if table is None:
        return Design.grid(parameters)
    where = "design"
    if not isinstance(table, dict):
        raise UsageError("design: a table ([design])")
    _check_keys(table, where, {"kind", "samples", "seed", "rows", "file", "trajectories", "levels", "second-order"})
    kind = _take(table, where, "kind", str, "grid")
    seed = _take(table, where, "seed", int)
    if kind not in _DESIGNS:
        raise UsageError(f"design: kind is one of {', '.join(_DESIGNS)}, not {kind!r}")
    if kind == "grid":
        return Design.grid(parameters)
    if kind == "table":
        if "file" in table:
            design = Design.load(here / _take(table, where, "file", str))
            return Design.table(parameters, design.rows)
        return Design.table(parameters, _take(table, where, "rows", list, required=True))
    if kind == "latin-hypercube":
        return Design.latin_hypercube(parameters, _take(table, where, "samples", int, required=True), seed=seed)
    if kind == "sobol":
        return Design.sobol(parameters, _take(table, where, "samples", int, required=True), seed=seed)
    if kind == "morris":
        return Design.morris(parameters, _take(table, where, "trajectories", int, required=True),
                             levels=_take(table, where, "levels", int, 4), seed=seed)
    return Design.saltelli(parameters, _take(table, where, "samples", int, required=True), seed=seed,
                           second_order=_take(table, where, "second-order", bool, True))


def load_study(path: str, *, workers: int | None = None) -> tuple[Any, dict[str, Any]]:
    """The Study a TOML file describes, and the run's own settings (workers, cluster)."""
    from tarvix import study
    from tarvix.cli.run import weather_path
    from tarvix.simulation import find_engine

    try:
        with open(path, "rb") as file:
            config = tomllib.load(file)
    except OSError as error:
        raise UsageError(f"{path}: {error.strerror or error}") from None
    except tomllib.TOMLDecodeError as error:
        raise UsageError(f"{path}: not TOML: {error}") from None
    here = Path(path).absolute().parent
    _check_keys(config, path, {"base", "idd", "weather", "folder", "run", "workers", "cluster", "timeout", "engine",
                               "cache", "parameters", "outputs", "design"})
    base = here / _take(config, path, "base", str, required=True)
    run = _take(config, path, "run", str, "run-periods")
    if run not in _RUNS:
        raise UsageError(f"{path}: run is one of {', '.join(_RUNS)}, not {run!r}")
    engine_path = _take(config, path, "engine", str)
    found: list[Any] = []

    def engine() -> Any:
        if not found:
            try:
                found.append(find_engine(here / engine_path if engine_path else None))
            except FileNotFoundError as error:
                raise UsageError(str(error)) from None
        return found[0]

    weather_name = _take(config, path, "weather", str)
    weather = None
    if weather_name is not None:
        local = here / weather_name
        weather = weather_path(argparse.Namespace(weather=str(local) if local.is_file() else weather_name,
                                                  design_day=run == "design-day"), engine)
    parameters = [_parameter(t, k, here) for k, t in enumerate(_take(config, path, "parameters", list, required=True))]
    outputs = [_output(t, k) for k, t in enumerate(_take(config, path, "outputs", list, []))]
    design = _design(config.get("design"), parameters, here)
    folder = here / _take(config, path, "folder", str, Path(path).stem)
    idd = _take(config, path, "idd", str)
    cache = _take(config, path, "cache", str)
    made = study.Study(base, parameters, folder=folder, design=design, outputs=outputs, weather=weather,
                       idd=here / idd if idd else None, design_day=run == "design-day", annual=run == "annual",
                       timeout=_take(config, path, "timeout", (int, float)), engine=engine(),
                       cache=here / cache if cache else None)
    settings = {"workers": workers or _take(config, path, "workers", int), "cluster": _take(config, path, "cluster", str)}
    return made, settings


def cmd_study(args: argparse.Namespace) -> int:
    try:
        made, settings = load_study(args.path, workers=args.jobs)
    except (ValueError, TypeError, FileNotFoundError, ImportError) as error:
        raise UsageError(f"{args.path}: {error}") from None
    try:
        made.check()
    except (ValueError, OSError) as error:
        raise UsageError(f"{args.path}: {error}") from None
    if args.dry_run:
        try:
            paths = made.write(resume=args.resume)
        except FileExistsError as error:
            raise UsageError(str(error)) from None
        print(f"{PROG}: wrote {len(paths)} variants and the design into {made.folder}", file=sys.stderr)
        return EXIT_OK
    start = time.perf_counter()
    try:
        results = made.run(resume=args.resume, workers=settings["workers"], cluster=settings["cluster"])
    except FileExistsError as error:
        raise UsageError(str(error)) from None
    elapsed = time.perf_counter() - start
    for record in results:
        parts = [record["variant"], record["status"], *(cell("" if record[o] is None else str(record[o]))
                                                        for o in results.outputs)]
        if record["error"]:
            parts.append(cell(record["error"]))
        print("\t".join(parts))
    failed = len(results.failed)
    print(summary_table([("variants", str(len(results))), ("ok", str(len(results) - failed)),
                         ("failed", str(failed)), ("cached", str(sum(bool(r["cached"]) for r in results))),
                         ("time", f"{elapsed:.2f} s"),
                         ("results", str(made.folder / "results.csv"))]), file=sys.stderr)
    return EXIT_FAILED if failed else EXIT_OK


def add_parser(commands: Any, jobs_argument: Any) -> None:
    command = commands.add_parser(
        "study", help="run a parametric study described by a TOML file",
        description="Run a parametric study: the base model, its weather, the parameters, the design, the "
                    "outputs and the output folder as a TOML file says (see the guide's Parametric studies). "
                    "Each variant is written into the folder's variants/, run through the folder's cache, "
                    "and its outputs put in results.csv; one line per variant on stdout (variant, status, "
                    "outputs, error), then a summary on stderr.",
        epilog="Exit status: 0 when every variant gave its outputs, 1 when one failed, 2 on a study file "
               "that cannot be used (a parameter the base model lacks, a value its field refuses).")
    command.add_argument("path", metavar="STUDY.toml", help="the study's description")
    command.add_argument("--resume", action="store_true",
                         help="go on with the study in its folder: what has run is not run again")
    command.add_argument("--dry-run", action="store_true", help="write the variants and the design, run nothing")
    command.add_argument("--jobs", "-j", type=jobs_argument, metavar="N",
                         help="run N variants at once (default: the file's workers, else the number of processors)")
    command.set_defaults(run=cmd_study)

