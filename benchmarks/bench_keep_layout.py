"""Documents that keep their text (keep_layout=True): a campus of about 50 MB
built from 5ZoneWaterLoopHeatPump.idf (campus.py), in the source's padded
layout with its comments, the same with its degree signs spelled "deg" (so
that the text is ASCII), and compact (one object a line).

- format(keep_layout=True) unedited, and with 1% of the objects edited (one
  value each, every hundredth object), in MB/s of output text (median of
  FORMAT_RUNS); save(path, keep_layout=True) of the edited document likewise.
  Targets: unedited at least 1 GB/s, edited at least 500 MB/s. Beside them,
  the time bytes.decode takes to make a str of the same text: the floor of
  any call that returns it (the padded campus is not ASCII: its source's
  comments hold degree signs, and a str of such text costs more to make);
- IDF.from_file with and without keep_layout, in fresh processes taken in
  turn (median of LOAD_RUNS each): the time, target keep_layout at most 1.3x
  the plain load; the memory the document holds after the load and the peak
  during it, the cost of the kept text being the difference in memory held,
  target at most 1.0x the text.

Usage: python benchmarks/bench_keep_layout.py [--quick]   (--quick: 10 MB, fewer runs)
"""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from campus import DATA, SCHEMA, build_campus  # noqa: E402

from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402

LOAD_CHILD = r"""
import gc, json, resource, sys, time
from tarvix.idd import IDD
from tarvix.idf import IDF

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

def high_water():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

idd = IDD.from_file(sys.argv[1])
path, keep = sys.argv[2], sys.argv[3] == "1"
gc.collect()
base = rss()
try:  # the peak of this load alone, not the schema's load before it
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    peak_of = high_water
except OSError:
    peak_of = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
start = time.perf_counter()
doc = IDF.from_file(idd, path, keep_layout=keep)
elapsed = time.perf_counter() - start
print(json.dumps(dict(load=elapsed, held=rss() - base, peak=peak_of() - base)))
"""


def load_figures(path: Path, runs: int) -> dict[bool, dict[str, float]]:
    """Median load time, memory held and peak of each way of loading, each run
    in a fresh process, the two ways taken in turn."""
    samples: dict[bool, list[dict[str, float]]] = {False: [], True: []}
    for _ in range(runs):
        for keep in (False, True):
            args = [sys.executable, "-c", LOAD_CHILD, str(SCHEMA), str(path), "1" if keep else "0"]
            samples[keep].append(json.loads(subprocess.run(args, capture_output=True, text=True,
                                                           check=True).stdout))
    return {keep: {key: statistics.median(run[key] for run in runs_) for key in runs_[0]}
            for keep, runs_ in samples.items()}


def median_time(func, runs: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(runs):
        result = None
        start = time.perf_counter()
        result = func()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def edit_one_in_a_hundred(doc: IDF) -> int:
    """One value changed in every hundredth object (its last one): the number
    of objects edited."""
    objects = [obj for name in doc.get_class_names() for obj in doc[name]]
    edited = 0
    for obj in objects[::100]:
        values = obj.get_values()
        if not values:
            continue
        last = len(values) - 1
        value = values[last]
        if isinstance(value, bool) or value is None:
            obj[last] = "1"
        elif isinstance(value, (int, float)):
            obj[last] = value + 1
        else:
            obj[last] = value + "X"
        edited += 1
    return edited


def writing_figures(label: str, path: Path, idd: IDD, runs: int) -> None:
    size = path.stat().st_size
    mb = size / 1e6
    doc = IDF.from_file(idd, path, keep_layout=True)
    seconds, text = median_time(lambda: doc.format(keep_layout=True), runs)
    assert isinstance(text, str) and len(text.encode("utf-8")) == size, "an unedited document comes back whole"
    text = None
    data = path.read_bytes()
    decode, _ = median_time(data.decode, runs)
    ascii_text = data.isascii()
    data = b""
    print(f"{label}: {mb:.1f} MB, {len(doc)} objects, {'ASCII' if ascii_text else 'not ASCII'}")
    print(f"  format(keep_layout=True) unedited: {seconds * 1e3:.1f} ms ({mb / seconds:.0f} MB/s); "
          f"bytes.decode of the text alone {decode * 1e3:.1f} ms ({mb / decode:.0f} MB/s)")

    edited = edit_one_in_a_hundred(doc)
    seconds, text = median_time(lambda: doc.format(keep_layout=True), runs)
    assert isinstance(text, str)
    out = len(text.encode("utf-8")) / 1e6
    text = None
    print(f"  format(keep_layout=True), {edited} objects edited (1%): {seconds * 1e3:.1f} ms "
          f"({out / seconds:.0f} MB/s of output text)")
    target = path.with_name("saved.idf")
    seconds, _ = median_time(lambda: doc.save(target, keep_layout=True), runs)
    written = target.stat().st_size / 1e6
    target.unlink()
    print(f"  save(keep_layout=True) of the edited document: {seconds * 1e3:.1f} ms ({written / seconds:.0f} MB/s)")


def report(label: str, path: Path, idd: IDD, quick: bool) -> None:
    writing_figures(label, path, idd, 3 if quick else 7)  # its document is gone before the loads
    size = path.stat().st_size
    mb = size / 1e6
    fig = load_figures(path, 3 if quick else 5)
    plain, kept = fig[False], fig[True]
    print(f"  load: plain {plain['load'] * 1e3:.0f} ms ({mb / plain['load']:.0f} MB/s), keep_layout "
          f"{kept['load'] * 1e3:.0f} ms ({mb / kept['load']:.0f} MB/s): {kept['load'] / plain['load']:.2f}x")
    print(f"  memory held: plain {plain['held'] / size:.2f}x text, keep_layout {kept['held'] / size:.2f}x text: "
          f"the kept layout costs {(kept['held'] - plain['held']) / size:.2f}x the text; peak during the load "
          f"{plain['peak'] / size:.2f}x and {kept['peak'] / size:.2f}x")


def main() -> None:
    if not SCHEMA.exists():
        sys.exit(f"sample data not found under {DATA}")
    quick = "--quick" in sys.argv
    target_bytes = int((10 if quick else 50) * 1e6)
    idd = IDD.from_file(SCHEMA)
    with tempfile.TemporaryDirectory() as tmp:
        for label, compact, ascii_only in (("padded, with the source comments", False, False),
                                           ("padded, degree signs spelled deg", False, True),
                                           ("compact", True, False)):
            path = Path(tmp) / "campus.idf"
            data = build_campus(target_bytes, compact=compact)
            path.write_bytes(data.replace("\u00b0".encode(), b"deg") if ascii_only else data)
            del data
            report(f"campus {label}", path, idd, quick)
            path.unlink()


if __name__ == "__main__":
    main()
