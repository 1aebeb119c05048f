"""The language server measured through a real client over stdio, as an editor sees it.

On a real 0.7 MB model (the water-loop heat pump model doubled and migrated to the engine's version):
diagnostics after a one-character change (targets: 30 ms), hover, completion and definition (10 ms),
rename of a name with about 50 references (20 ms); on the 10 MB campus, diagnostics after a change
(300 ms). Each figure is the time from the request (or change) sent to the answer (or the diagnostics
of that version) received, median and slowest of the runs.

    .venv/bin/python benchmarks/bench_lsp.py [--runs 30]
"""

from __future__ import annotations

import argparse
import re
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

from bench_study import real_model  # noqa: E402
from campus import DATA, build_campus  # noqa: E402
from lsprotocol import types  # noqa: E402

from lsp_session import Session, doc_id  # noqa: E402
from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402
from tarvix.simulation import find_engine  # noqa: E402


def timed(runs: int, once: Callable[[int], Any]) -> tuple[float, float]:
    times = []
    for k in range(runs):
        start = time.perf_counter()
        once(k)
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times), max(times)


def at(text: str, offset: int) -> types.Position:
    line = text.count("\n", 0, offset)
    return types.Position(line=line, character=offset - (text.rfind("\n", 0, offset) + 1))


def change_timing(session: Session, uri: str, text: str, runs: int) -> tuple[float, float]:
    """One digit of a value typed over and over (and back), each time until its diagnostics arrive."""
    digit = re.search(r"\n\s+(\d)\d*[,;]\s+!- ", text[len(text) // 2:])
    assert digit is not None
    offset = len(text) // 2 + digit.start(1)
    where = types.Range(at(text, offset), at(text, offset + 1))
    original = text[offset]

    def once(k: int) -> None:
        session.change(uri, original if k % 2 else str((int(original) + 1) % 10), where)
        session.wait_diagnostics(uri, timeout=120)

    return timed(runs, once)


def rename_target(model: IDF, text: str) -> tuple[str, types.Position]:
    counts = []
    for obj in model:
        name = obj[0] if obj.field_names else None
        if isinstance(name, str) and name:
            try:
                counts.append((abs(len(obj.get_referencing_objects(0)) - 50), name, obj))
            except (IndexError, KeyError, ValueError):
                continue
    _, name, obj = min(counts, key=lambda c: c[0])
    line = model.line_of(obj)
    assert line is not None
    lines = text.splitlines(keepends=True)
    offset = sum(map(len, lines[:line - 1]))
    offset = text.index(name, offset)
    return name, at(text, offset + 1)


def report(label: str, figures: tuple[float, float], target: float) -> None:
    median, worst = figures
    print(f"{label}: median {median:.1f} ms, slowest {worst:.1f} ms (target {target:g} ms)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    engine = find_engine()
    model = real_model(IDD.from_file(engine.idd_path))
    text = model.format(keep_layout=True)
    with tempfile.TemporaryDirectory() as folder:
        session = Session({"idd": str(engine.idd_path)})
        try:
            start = time.perf_counter()
            uri = session.open(Path(folder) / "model.idf", text)
            session.wait_diagnostics(uri)
            print(f"a {len(text.encode()) / 1e6:.2f} MB model opened and checked: "
                  f"{(time.perf_counter() - start) * 1e3:.0f} ms")
            report("diagnostics after a one-character change", change_timing(session, uri, text, args.runs), 30)
            client = session.client
            value = text.index("Autosize", len(text) // 2)
            zone_name = re.search(r"\n\s+([^,\n]+),\s+!- Zone Name", text[len(text) // 2:])
            assert zone_name is not None
            reference = at(text, len(text) // 2 + zone_name.start(1) + 1)
            report("hover on a field", timed(args.runs, lambda k: session.request(
                client.text_document_hover_async, types.HoverParams(doc_id(uri), at(text, value + 1)))), 10)
            report("completion of a reference", timed(args.runs, lambda k: session.request(
                client.text_document_completion_async, types.CompletionParams(doc_id(uri), reference))), 10)
            report("go to definition", timed(args.runs, lambda k: session.request(
                client.text_document_definition_async, types.DefinitionParams(doc_id(uri), reference))), 10)
            # The object whose references are nearest 50 in number, to rename.
            name, where = rename_target(model, text)
            found = session.request(client.text_document_references_async, types.ReferenceParams(
                text_document=doc_id(uri), position=where, context=types.ReferenceContext(include_declaration=False)))
            report(f"rename of {name!r} ({len(found)} references)", timed(args.runs, lambda k: session.request(
                client.text_document_rename_async,
                types.RenameParams(text_document=doc_id(uri), position=where, new_name=f"Renamed {k}"))), 20)
        finally:
            session.close()
        campus = build_campus(10_000_000, compact=False).decode("utf-8")
        session = Session({"idd": str(DATA)})
        try:
            start = time.perf_counter()
            uri = session.open(Path(folder) / "campus.idf", campus)
            session.wait_diagnostics(uri, timeout=300)
            print(f"the {len(campus.encode()) / 1e6:.1f} MB campus opened and checked: "
                  f"{(time.perf_counter() - start) * 1e3:.0f} ms")
            report("campus diagnostics after a one-character change",
                   change_timing(session, uri, campus, max(5, args.runs // 3)), 300)
        finally:
            session.close()


if __name__ == "__main__":
    main()
