"""Document loading, field reads and collection queries.

- loads 5ZoneWaterLoopHeatPump.idf (median of several runs);
- generates a document of about 50 MB by repeating that document's objects
  (written to a temporary file, never kept), once as UTF-8 and once as
  Latin-1, and loads each end to end in fresh processes (median of a few):
  throughput, memory, and the Latin-1 time as a multiple of the UTF-8 time;
- reads one field by name and by index in a loop;
- lists a class, finds an object by name, asks which objects name a zone.

Usage: python benchmarks/bench_idf.py [TARGET_MB]
"""

import gc
import re
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

from tarvix.idd import IDD
from tarvix.idf import IDF

DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
SCHEMA = DATA / "Energy+V8_0_0.idd"
DOCUMENT = DATA / "5ZoneWaterLoopHeatPump.idf"
LOAD_RUNS = 5  # fresh-process loads of each generated file


def median_seconds(func, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = func()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


def generate(target_bytes: int, path: Path, encoding: str = "utf-8") -> int:
    """Repeats the document (its Version object only once) up to the target size.
    Every repeat keeps the comments with the degree signs, so a Latin-1 file
    has non-ASCII bytes all through it."""
    text = DOCUMENT.read_bytes().decode("latin-1")
    body = re.sub(r"^[ \t]*Version[ \t]*,[^;]*;", "", text, count=1, flags=re.MULTILINE | re.IGNORECASE)
    with open(path, "w", encoding=encoding) as out:
        written = out.write(text)
        while written < target_bytes:
            written += out.write(body)
    return written


LOAD_CHILD = r"""
import gc, resource, sys, time
from tarvix.idd import IDD
from tarvix.idf import IDF

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

idd = IDD.from_file(sys.argv[1])
encoding = sys.argv[3] if len(sys.argv) > 3 else None
gc.collect()
base = rss()
start = time.perf_counter()
doc = IDF.from_file(idd, sys.argv[2], encoding=encoding)
elapsed = time.perf_counter() - start
held = rss() - base
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - base
objects = sum(1 for _ in doc.get_class_names())
print(elapsed, held, peak, objects)
"""


def main() -> None:
    if not SCHEMA.exists() or not DOCUMENT.exists():
        sys.exit(f"sample data not found under {DATA}")
    target_mb = float(sys.argv[1]) if len(sys.argv) > 1 else 50.0
    idd = IDD.from_file(SCHEMA)

    size = DOCUMENT.stat().st_size
    small = median_seconds(lambda: IDF.from_file(idd, DOCUMENT, encoding="latin-1"), 20)
    print(f"{DOCUMENT.name}: {size / 1e6:.2f} MB, load median {small * 1e3:.2f} ms ({size / 1e6 / small:.0f} MB/s)")

    with tempfile.TemporaryDirectory() as tmp:
        big_path = Path(tmp) / "generated.idf"
        generate(int(target_mb * 1e6), big_path)
        latin_path = Path(tmp) / "generated-latin-1.idf"
        generate(int(target_mb * 1e6), latin_path, encoding="latin-1")
        assert not latin_path.read_bytes().isascii(), "the Latin-1 document has no non-ASCII byte"
        loads = {("UTF-8", big_path, None): [], ("Latin-1", latin_path, "latin-1"): []}
        for _ in range(LOAD_RUNS):  # the two files in turn, so drift in the machine's speed hits both alike
            for (label, path, encoding), runs in loads.items():
                args = [sys.executable, "-c", LOAD_CHILD, str(SCHEMA), str(path)] + ([encoding] if encoding else [])
                out = subprocess.run(args, capture_output=True, text=True, check=True).stdout.split()
                runs.append((float(out[0]), int(out[1]), int(out[2])))
        load_times = {}
        for (label, path, _), runs in loads.items():
            elapsed, held, peak = (statistics.median(run[i] for run in runs) for i in range(3))
            size = path.stat().st_size
            load_times[label] = elapsed
            print(f"generated document, {label}: {size / 1e6:.1f} MB, end-to-end load {elapsed:.3f} s "
                  f"({size / 1e6 / elapsed:.0f} MB/s; median of {LOAD_RUNS} fresh processes)")
            print(f"  memory held by the loaded document: {held / 1e6:.1f} MB ({held / size:.2f} x text); "
                  f"peak during load: {peak / 1e6:.1f} MB ({peak / size:.2f} x text)")
        print(f"  Latin-1 load time / UTF-8 load time: {load_times['Latin-1'] / load_times['UTF-8']:.2f}")
        latin_path.unlink()

        big = IDF.from_file(idd, big_path)
        surfaces_class = "BuildingSurface:Detailed"
        surfaces = big[surfaces_class]
        zone = big["Zone"][0]
        runs = 20
        listing = median_seconds(lambda: big[surfaces_class], runs)
        print(f"  idf[{surfaces_class!r}]: {len(surfaces)} objects in {listing * 1e3:.2f} ms "
              f"({listing / len(surfaces) * 1e9:.0f} ns per object)")
        small_class = median_seconds(lambda: big["Version"], 1000)
        print(f"  idf['Version'] (1 object): {small_class * 1e6:.2f} us")
        name = zone[0]
        by_name = median_seconds(lambda: big.get_object_by_name("Zone", name), 200)
        print(f"  get_object_by_name('Zone', {name!r}): {by_name * 1e6:.2f} us "
              f"(over {len(big['Zone'])} zones)")
        referencing = zone.get_referencing_objects("Name")
        query = median_seconds(lambda: zone.get_referencing_objects("Name"), 50)
        print(f"  get_referencing_objects on a zone name: {len(referencing)} objects in {query * 1e3:.3f} ms "
              f"({query / max(1, len(referencing)) * 1e9:.0f} ns per object)")
        # Dropped, not deleted: the timed lambdas above still name them.
        big = surfaces = zone = referencing = None
        gc.collect()

    doc = IDF.from_file(idd, DOCUMENT, encoding="latin-1")
    surface = doc["BuildingSurface:Detailed"][0]
    loops = 1_000_000
    for label, key in (("by name 'Vertex 2 Y-coordinate'", "Vertex 2 Y-coordinate"), ("by name 'Name'", "Name"),
                       ("by index 9", 9)):
        seconds = min(timeit.repeat(lambda: surface[key], number=loops, repeat=3))
        print(f"field read {label}: {seconds / loops * 1e9:.0f} ns")


if __name__ == "__main__":
    main()
