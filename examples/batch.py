"""Summarise a folder of documents in parallel.

Loads every *.idf file under a folder (examples/data/batch by default)
against one schema and prints a line per document as it finishes, then a
table: objects, classes, zones and load time per document, and totals.

    python examples/batch.py                       # threads, the sample folder
    python examples/batch.py FOLDER --idd SCHEMA   # your own documents
    python examples/batch.py --processes           # a process pool
    python examples/batch.py --scheduler tcp://HOST:8786   # a Dask cluster

Threads are the default: parsing releases the interpreter lock, so threads
load documents side by side while sharing one schema. A process pool or a
Dask cluster runs the Python side in parallel too, but neither a schema nor
a document can be sent to another process (schemas refuse pickling), so
each task there loads the schema from its path, then loads a chunk of
documents from theirs, and sends back plain dicts. With a cluster, the
paths must be readable at the same place on every worker.

Files that are not UTF-8 (with or without a byte-order mark) are read again
as cp1252 unless --encoding names the encoding of all of them; a schema that
is not UTF-8 needs --idd-encoding. Documents are named by their path under
the folder, so files of the same name in different subfolders stay apart.
"""

from __future__ import annotations

import argparse
import codecs
import math
import os
import sys
import time
from collections.abc import Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor, as_completed
from pathlib import Path
from typing import Any

from tarvix.idd import IDD
from tarvix.idf import IDF

DATA = Path(__file__).resolve().parent / "data"
FALLBACK_ENCODING = "cp1252"

Summary = dict[str, Any]


def summarise(path: str, schema: IDD, encoding: str | None, root: str) -> Summary:
    """Load one document and describe it in a plain dict, which any pool can send back;
    it is named by its path under `root`."""
    summary: Summary = {"document": os.path.relpath(path, root), "path": path, "encoding": encoding or "utf-8",
                        "bytes": 0, "objects": 0, "classes": 0, "zones": 0, "seconds": 0.0, "error": None}
    try:
        summary["bytes"] = os.path.getsize(path)
        start = time.perf_counter()
        try:
            doc = IDF.from_file(schema, path, encoding)
        except UnicodeError:
            if encoding is not None:
                raise
            doc = IDF.from_file(schema, path, FALLBACK_ENCODING)
            summary["encoding"] = FALLBACK_ENCODING
        summary["seconds"] = time.perf_counter() - start
        classes = doc.get_class_names()
        summary["classes"] = len(classes)
        summary["objects"] = sum(len(doc[name]) for name in classes)
        summary["zones"] = len(doc["Zone"])
    except (OSError, ValueError) as error:  # UnicodeError is a ValueError
        summary["error"] = f"{type(error).__name__}: {error}"
    return summary


def summarise_files(paths: Sequence[str], idd_path: str, idd_encoding: str | None, encoding: str | None,
                    root: str) -> list[Summary]:
    """One task of a process pool or a cluster: a schema cannot be sent, so load it here once per chunk."""
    schema = IDD.from_file(idd_path, idd_encoding)
    return [summarise(path, schema, encoding, root) for path in paths]


def chunks(paths: Sequence[str], size: int) -> list[list[str]]:
    return [list(paths[start:start + size]) for start in range(0, len(paths), size)]


def chunk_size(requested: int | None, documents: int, workers: int) -> int:
    # About four chunks per worker: few schema loads, yet the load stays balanced.
    return requested or max(1, math.ceil(documents / (4 * workers)))


def run_threads(paths: Sequence[str], idd_path: str, idd_encoding: str | None, encoding: str | None, root: str,
                workers: int) -> Iterator[Summary]:
    schema = IDD.from_file(idd_path, idd_encoding)  # read-only once loaded: every thread can share it
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(summarise, path, schema, encoding, root) for path in paths]
        for future in as_completed(futures):
            yield future.result()


def run_processes(paths: Sequence[str], idd_path: str, idd_encoding: str | None, encoding: str | None, root: str,
                  workers: int, size: int | None) -> Iterator[Summary]:
    with ProcessPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(summarise_files, chunk, idd_path, idd_encoding, encoding, root)
                   for chunk in chunks(paths, chunk_size(size, len(paths), workers))]
        for future in as_completed(futures):
            yield from future.result()


def run_dask(paths: Sequence[str], idd_path: str, idd_encoding: str | None, encoding: str | None, root: str,
             address: str, size: int | None) -> Iterator[Summary]:
    # Dask is optional: only this mode imports it.
    from dask.distributed import Client, as_completed as completed  # type: ignore[import-not-found, unused-ignore]

    with Client(address) as client:
        workers = max(1, sum(client.nthreads().values()))
        print(f"connected to {address}: {workers} worker threads")
        futures = [client.submit(summarise_files, chunk, idd_path, idd_encoding, encoding, root, pure=False)
                   for chunk in chunks(paths, chunk_size(size, len(paths), workers))]
        for future in completed(futures):
            yield from future.result()


def print_table(results: list[Summary]) -> None:
    width = max([len("document")] + [len(r["document"]) for r in results])
    print(f"{'document':<{width}}  {'encoding':<8}  {'KB':>7}  {'objects':>7}  {'classes':>7}  "
          f"{'zones':>5}  {'load ms':>8}")
    for r in sorted(results, key=lambda r: r["document"]):
        if r["error"]:
            print(f"{r['document']:<{width}}  failed: {r['error']}")
            continue
        print(f"{r['document']:<{width}}  {r['encoding']:<8}  {r['bytes'] / 1000:7.1f}  {r['objects']:7}  "
              f"{r['classes']:7}  {r['zones']:5}  {r['seconds'] * 1000:8.2f}")
    loaded = [r for r in results if not r["error"]]
    print(f"{'total':<{width}}  {'':<8}  {sum(r['bytes'] for r in loaded) / 1000:7.1f}  "
          f"{sum(r['objects'] for r in loaded):7}  {'':>7}  {sum(r['zones'] for r in loaded):5}  "
          f"{sum(r['seconds'] for r in loaded) * 1000:8.2f}")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", type=Path, default=DATA / "batch",
                        help="folder searched for documents, subfolders included (default: %(default)s)")
    parser.add_argument("--idd", type=Path, default=DATA / "building.idd",
                        help="schema that every document is loaded against (default: %(default)s)")
    parser.add_argument("--pattern", default="*.idf", help="file name pattern (default: %(default)s)")
    parser.add_argument("--encoding", help=f"encoding of all documents (default: UTF-8, else {FALLBACK_ENCODING})")
    parser.add_argument("--idd-encoding", help="encoding of the schema (default: UTF-8)")
    parser.add_argument("--workers", type=int, default=os.process_cpu_count() or 1,
                        help="threads or processes (default: one per CPU, %(default)s here)")
    parser.add_argument("--chunk-size", type=int, help="documents per task of a process pool or cluster")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--processes", action="store_true", help="use a process pool instead of threads")
    mode.add_argument("--scheduler", metavar="ADDRESS", help="submit the work to the Dask scheduler at ADDRESS")
    args = parser.parse_args(argv)

    if not args.idd.is_file():
        parser.error(f"schema not found: {args.idd}")
    for encoding in (args.encoding, args.idd_encoding):
        if encoding:
            try:
                codecs.lookup(encoding)  # an unknown name fails here, not once per document
            except LookupError as error:
                parser.error(str(error))
    # Absolute paths: pool processes and cluster workers may not share our working directory.
    paths = [str(path.resolve()) for path in sorted(args.folder.rglob(args.pattern)) if path.is_file()]
    if not paths:
        print(f"no files matching {args.pattern} under {args.folder}", file=sys.stderr)
        return 1
    idd_path = str(args.idd.resolve())
    root = str(args.folder.resolve())
    files = (idd_path, args.idd_encoding, args.encoding, root)

    if args.scheduler:
        how = f"Dask scheduler {args.scheduler}"
        results_iter = run_dask(paths, *files, args.scheduler, args.chunk_size)
    elif args.processes:
        how = f"{args.workers} processes"
        results_iter = run_processes(paths, *files, args.workers, args.chunk_size)
    else:
        how = f"{args.workers} threads"
        results_iter = run_threads(paths, *files, args.workers)
    print(f"loading {len(paths)} documents from {args.folder} against {args.idd.name} with {how}")

    start = time.perf_counter()
    results: list[Summary] = []
    try:
        for result in results_iter:
            results.append(result)
            status = (f"failed: {result['error']}" if result["error"] else
                      f"objects {result['objects']}, zones {result['zones']}, {result['seconds'] * 1000:.2f} ms")
            print(f"[{len(results)}/{len(paths)}] {result['document']}: {status}")
    except (OSError, ValueError) as error:  # the schema, loaded by every task; documents' errors are results
        print(f"schema {args.idd}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - start

    print()
    print_table(results)
    failed = sum(1 for r in results if r["error"])
    print(f"{len(results) - failed} of {len(results)} documents loaded in {elapsed:.3f} s wall time"
          + (f"; {failed} failed" if failed else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
