"""tarvix info: each document's version and schema, its objects per class and its dangling references."""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import dataclass, field

from tarvix.cli._common import (
    EXIT_USAGE,
    LOAD_ERRORS,
    PROG,
    Loader,
    Progress,
    Read,
    gather,
    load_error,
    loader_from,
    run_all,
)


@dataclass
class Described:
    path: str
    error: str | None = None
    read: Read | None = None
    version: str | None = None
    counts: dict[str, int] = field(default_factory=dict)
    dangling: list[str] = field(default_factory=list)


def describe(loader: Loader, path: str) -> Described:
    try:
        loaded = loader.load(path)
    except LOAD_ERRORS as error:
        return Described(path, error=load_error(path, error))
    doc = loaded.document
    counts = {name: len(doc[name]) for name in sorted(doc.get_class_names(), key=str.lower)}
    dangling = [p.message for p in doc.validate(codes={"unknown-reference"})]
    return Described(path, read=Read.of(path, loaded), version=doc.version, counts=counts, dangling=dangling)


def print_description(d: Described, out: Progress) -> None:
    read = d.read
    assert read is not None
    objects = sum(d.counts.values())
    lines = [d.path]
    if read.encoding != "utf-8":
        lines.append(f"  encoding: {read.encoding}")
    lines += [f"  version: {d.version if d.version is not None else '(no Version object)'}",
              f"  schema: {read.schema_path}"
              + (f" (read in {read.schema_encoding})" if read.schema_encoding != "utf-8" else ""),
              f"  objects: {objects} in {len(d.counts)} classes"]
    width = max((len(name) for name in d.counts), default=0)
    lines += [f"    {name:<{width}}  {count:>7}" for name, count in d.counts.items()]
    lines.append(f"  dangling references: {len(d.dangling)}")
    lines += [f"    {message}" for message in d.dangling]
    out.print("\n".join(lines))


def cmd_info(args: argparse.Namespace) -> int:
    loader = loader_from(args)
    sources, status = gather(args)
    progress = Progress(len(sources))
    try:
        for d in run_all(lambda source: describe(loader, source.path), sources, args.jobs):
            progress.step()
            if d.error is not None:
                progress.print(f"{PROG}: error: {d.error}", file=sys.stderr)
                status = EXIT_USAGE
                continue
            assert d.read is not None
            if args.json:
                progress.print(json.dumps({"path": d.path, "version": d.version, "schema": d.read.schema_path,
                                           "encoding": d.read.encoding, "schema_encoding": d.read.schema_encoding,
                                           "objects": sum(d.counts.values()), "classes": d.counts,
                                           "dangling_references": d.dangling}))
            else:
                print_description(d, progress)
    finally:
        progress.close()
    return status
