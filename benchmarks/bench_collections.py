"""Collections of many objects, on a small schema of zones and the surfaces
that name them:

- get_object_by_name in a class of 40,000 zones: time per call for a name near
  the start, in the middle, at the end and absent (target at most 1 us);
- removing N zones one at a time with remove_object, for growing N: time per
  object should not grow with N;
- remove_all_objects on 100,000 surfaces that all name one zone, and on
  100,000 surfaces that each name a zone of their own;
- a document of about 20 MB of empty zones ("Zone;" lines) loaded in a fresh
  process: memory held and peak during the load (target peak at most 10 times
  the text).

Usage: python benchmarks/bench_collections.py
"""

import gc
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_idf import LOAD_CHILD  # noqa: E402

from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402

SCHEMA = r"""
Zone,
  A1 ; \field Name
       \reference ZoneNames
Surface,
  A1 , \field Name
  A2 ; \field Zone Name
       \object-list ZoneNames
"""


def per_call(func) -> float:
    """Best time of one call, over repeats of as many calls as fill 0.2 s."""
    timer = timeit.Timer(func)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=5, number=number)) / number


def lookups(idd: IDD) -> None:
    count = 40_000
    names = [f"Zone {i:05d}" for i in range(count)]
    probes = {"near the start": 1, "in the middle": count // 2, "at the end": count - 2}
    for index in probes.values():
        names[index + 1] = names[index].upper()  # a later object of the same name, which must not be the answer
    idf = IDF.from_string(idd, "".join(f"Zone, {name};\n" for name in names))
    zones = idf["Zone"]
    assert len(zones) == count
    print(f"get_object_by_name in a class of {count} objects:")
    for label, index in probes.items():
        name = names[index]
        assert idf.get_object_by_name("Zone", name) is zones[index]
        seconds = per_call(lambda: idf.get_object_by_name("Zone", name))
        print(f"  {name!r} ({label}, object {index}): {seconds * 1e6:.3f} us")
    assert idf.get_object_by_name("Zone", "No Such Zone") is None
    seconds = per_call(lambda: idf.get_object_by_name("Zone", "No Such Zone"))
    print(f"  absent name: {seconds * 1e6:.3f} us")


def removals(idd: IDD) -> None:
    print("remove_object one at a time, in class order:")
    for count in (10_000, 20_000, 40_000):
        idf = IDF.from_string(idd, "".join(f"Zone, Zone {i};\n" for i in range(count)))
        zones = idf["Zone"]
        start = time.perf_counter()
        for zone in zones:
            idf.remove_object(zone)
        elapsed = time.perf_counter() - start
        assert not idf["Zone"]
        print(f"  {count} objects: {elapsed * 1e3:.0f} ms ({elapsed / count * 1e6:.2f} us per object)")
        del idf, zones
        gc.collect()


def remove_all(idd: IDD) -> None:
    count = 100_000
    one_zone = "Zone, Zone 0;\n" + "".join(f"Surface, Surface {i}, Zone 0;\n" for i in range(count))
    own_zones = "".join(f"Zone, Zone {i};\nSurface, Surface {i}, Zone {i};\n" for i in range(count))
    print(f"remove_all_objects('Surface') on {count} surfaces (median of 3):")
    for label, text in (("all naming one zone", one_zone), ("each naming its own zone", own_zones)):
        times = []
        for _ in range(3):
            idf = IDF.from_string(idd, text)
            start = time.perf_counter()
            removed = idf.remove_all_objects("Surface")
            times.append(time.perf_counter() - start)
            assert removed == count
            del idf
            gc.collect()
        median = statistics.median(times)
        print(f"  {label}: {median * 1e3:.1f} ms ({median / count * 1e9:.0f} ns per object)")


def tiny_objects(target_bytes: int) -> None:
    line = "Zone;\n"
    with tempfile.TemporaryDirectory() as tmp:
        schema_path, doc_path = Path(tmp) / "zones.idd", Path(tmp) / "tiny.idf"
        schema_path.write_text(SCHEMA)
        doc_path.write_text(line * (target_bytes // len(line)))
        size = doc_path.stat().st_size
        out = subprocess.run([sys.executable, "-c", LOAD_CHILD, str(schema_path), str(doc_path)],
                             capture_output=True, text=True, check=True).stdout.split()
    elapsed, held, peak = float(out[0]), int(out[1]), int(out[2])
    print(f"document of {size // len(line)} empty zones, {size / 1e6:.1f} MB: load {elapsed:.3f} s "
          f"({size / 1e6 / elapsed:.0f} MB/s)")
    print(f"  memory held by the loaded document: {held / 1e6:.1f} MB ({held / size:.2f} x text); "
          f"peak during load: {peak / 1e6:.1f} MB ({peak / size:.2f} x text)")


def main() -> None:
    idd = IDD.from_string(SCHEMA)
    lookups(idd)
    removals(idd)
    remove_all(idd)
    tiny_objects(20_000_000)


if __name__ == "__main__":
    main()
