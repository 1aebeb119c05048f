"""Writing documents back to text: format() and save() of a generated ~50 MB
document (repeats of 5ZoneWaterLoopHeatPump.idf, made in a temporary
directory), in MB/s of output text.

Usage: python benchmarks/bench_writer.py [TARGET_MB]
"""

import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_idf import DATA, SCHEMA, generate  # noqa: E402

from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402


def median_run(func, runs=5):
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = func()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main() -> None:
    if not SCHEMA.exists():
        sys.exit(f"sample data not found under {DATA}")
    target_mb = float(sys.argv[1]) if len(sys.argv) > 1 else 50.0
    idd = IDD.from_file(SCHEMA)
    with tempfile.TemporaryDirectory() as tmp:
        source = Path(tmp) / "generated.idf"
        generate(int(target_mb * 1e6), source)
        doc = IDF.from_file(idd, source)
        for label, kwargs in (("format()", {}), ("format(compact=True)", {"compact": True}),
                              ("format(preserve_order=True)", {"preserve_order": True})):
            seconds, text = median_run(lambda: doc.format(**kwargs))
            size = len(text.encode())
            print(f"{label}: {size / 1e6:.1f} MB of text in {seconds * 1e3:.0f} ms ({size / 1e6 / seconds:.0f} MB/s)")
            del text
        target = Path(tmp) / "saved.idf"
        seconds, _ = median_run(lambda: doc.save(target))
        size = target.stat().st_size
        print(f"save(): {size / 1e6:.1f} MB written in {seconds * 1e3:.0f} ms ({size / 1e6 / seconds:.0f} MB/s)")


if __name__ == "__main__":
    main()
