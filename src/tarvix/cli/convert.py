"""tarvix convert: IDF documents to epJSON and back."""

from __future__ import annotations

import argparse
import os
import re
from pathlib import Path

from tarvix.cli._common import (
    LOAD_ERRORS,
    Outcome,
    Source,
    Target,
    UsageError,
    Work,
    gather,
    load_error,
    plan_targets,
    run_writing,
    write_text,
    written,
)
from tarvix.idf import IDF

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
    work = Work(args)
    to_json = args.to == "epjson"
    sources, status = gather(args, (".idf",) if to_json else (".epjson",))
    targets = plan_targets(args, sources, ".epJSON" if to_json else ".idf")

    def one(source: Source, target: Target, outcome: Outcome) -> None:
        if to_json:
            loaded = work.load(source.path, outcome)
            doc = loaded.document
            json_schema = epjson_schema_path(args, loaded.schema_path)
            write_text(target, lambda path: doc.save_epjson(path, json_schema, compact=args.compact),
                       lambda: doc.to_epjson(json_schema, compact=args.compact), outcome)
        else:
            loader = work.loader
            try:
                schema_path = loader.schema_path(source.path, epjson_version)
                schema = loader.schema(schema_path)[0]
                json_schema = epjson_schema_path(args, schema_path)
                doc = IDF.from_epjson(schema, Path(source.path), json_schema)  # a path, never JSON text
            except LOAD_ERRORS as error:
                raise UsageError(load_error(source.path, error)) from None
            write_text(target, lambda path: doc.save(path, compact=args.compact),
                       lambda: doc.format(compact=args.compact), outcome)
        if target.path is not None:
            outcome.say(written(source.path, target.path), error=True)

    return run_writing(args, sources, targets, status, one)
