"""Schema loading: median time of IDD.from_file on the 4 MB schema (file read
included) and the process's memory growth for one loaded schema; then the
first IDD.from_file in each of several fresh interpreters (the module already
imported), which is what a short script pays.

Usage: python benchmarks/bench_idd.py [PATH] [RUNS] [PROCESSES]
"""

import gc
import statistics
import subprocess
import sys
import time
from pathlib import Path

from tarvix.idd import IDD

DEFAULT = Path(__file__).resolve().parents[1] / ".." / "shared" / "data" / "Energy+V8_8_0.idd"


FIRST_LOAD_CHILD = r"""
import sys, time
from tarvix.idd import IDD

start = time.perf_counter()
IDD.from_file(sys.argv[1])
print(time.perf_counter() - start)
"""


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def main() -> None:
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    processes = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    if not path.exists():
        sys.exit(f"schema not found: {path}")
    size = path.stat().st_size

    gc.collect()
    before = rss_bytes()
    kept = IDD.from_file(path)
    growth = rss_bytes() - before

    times = []
    for _ in range(runs):
        start = time.perf_counter()
        loaded = IDD.from_file(path)
        times.append(time.perf_counter() - start)
        del loaded  # freeing the schema is not part of loading it
    median = statistics.median(times)
    print(f"{path.name}: {size / 1e6:.2f} MB, {kept.num_classes} classes, version {kept.version}")
    print(f"IDD.from_file median {median * 1e3:.2f} ms over {runs} runs (best {min(times) * 1e3:.2f} ms), "
          f"{size / 1e6 / median:.0f} MB/s")
    print(f"memory growth for one loaded schema: {growth / 1e6:.1f} MB ({growth / size:.2f} x file size)")

    firsts = []
    for _ in range(processes):
        out = subprocess.run([sys.executable, "-c", FIRST_LOAD_CHILD, str(path)],
                             capture_output=True, text=True, check=True).stdout
        firsts.append(float(out))
    print(f"first IDD.from_file in a fresh process ({processes} processes): "
          f"median {statistics.median(firsts) * 1e3:.2f} ms, min {min(firsts) * 1e3:.2f} ms, "
          f"max {max(firsts) * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
