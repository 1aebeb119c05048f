"""Loading documents from several threads: 8 loads of a generated ~5 MB
document (repeats of 5ZoneWaterLoopHeatPump.idf, made in a temporary
directory) through a pool of 1 thread and of 2 threads, one schema shared by
all of them. Median wall time of each and the speed-up; target: 2 threads at
least 1.7 times faster than 1.

Usage: python benchmarks/bench_threads.py [ROUNDS]
"""

import gc
import statistics
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_idf import DATA, SCHEMA, generate  # noqa: E402

from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402

LOADS = 8


def timed_loads(idd: IDD, path: Path, threads: int) -> float:
    """Wall time of LOADS loads through a pool of `threads`; the documents are
    kept until the clock stops, so freeing them is not counted."""
    with ThreadPoolExecutor(max_workers=threads) as pool:
        barrier = threading.Barrier(threads)  # every thread of the pool starts before the clock does
        for started in [pool.submit(barrier.wait) for _ in range(threads)]:
            started.result()
        start = time.perf_counter()
        docs = list(pool.map(lambda _: IDF.from_file(idd, path), range(LOADS)))
        elapsed = time.perf_counter() - start
    del docs
    gc.collect()
    return elapsed


def main() -> None:
    if not SCHEMA.exists():
        sys.exit(f"sample data not found under {DATA}")
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 11
    idd = IDD.from_file(SCHEMA)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "generated.idf"
        generate(int(5e6), path)
        size = path.stat().st_size
        timed_loads(idd, path, 2)  # warm-up: page cache, allocator
        times = {1: [], 2: []}
        for _ in range(rounds):
            for threads in times:  # alternated, so drift in the machine's speed hits both alike
                times[threads].append(timed_loads(idd, path, threads))
    print(f"{LOADS} loads of a {size / 1e6:.1f} MB document, median of {rounds} rounds:")
    for threads, runs in times.items():
        median = statistics.median(runs)
        print(f"  {threads} thread{'s' if threads > 1 else ''}: {median * 1e3:.0f} ms "
              f"(min {min(runs) * 1e3:.0f}, max {max(runs) * 1e3:.0f}; "
              f"{LOADS * size / 1e6 / median:.0f} MB/s in all)")
    print(f"speed-up with 2 threads: {statistics.median(times[1]) / statistics.median(times[2]):.2f} x")


if __name__ == "__main__":
    main()
