"""Leak check: repeats load, edit, format, remove and copy cycles many times
and reports the resident-memory growth after a warm-up; then runs several
threads that load and format at once while the cycle collector runs.
Target: no growth.

Usage: python benchmarks/leak_check.py [CYCLES] [THREADS]
Uses the example schema and document shipped in examples/data.
"""

import copy
import gc
import pickle
import sys
import threading
from pathlib import Path

from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject

DATA = Path(__file__).resolve().parents[1] / "examples" / "data"
SCHEMA_TEXT = (DATA / "building.idd").read_text()
DOCUMENT_TEXT = (DATA / "office.idf").read_text()


def rss_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def cycle(idd: IDD) -> None:
    """One round of everything a script does with a document."""
    doc = IDF.from_string(idd, DOCUMENT_TEXT)
    zone = doc.get_object_by_name("Zone", "West Office")
    zone["Name"] = "Renamed"
    zone["Multiplier"] = 3
    for surface in doc["BuildingSurface:Detailed"]:
        surface["Zone Name"] = "Renamed"
        surface.update({"Vertex 5 X-coordinate": 1.5})
        surface.get_referenced_object("Zone Name")
    zone.get_referencing_objects("Name")
    added = doc.add_object("Zone", {"Name": "Extra"})
    doc.remove_object(added)
    doc.remove_all_objects("Material")
    doc.format()
    doc.format(compact=True, preserve_order=True)
    repr(doc)
    twin = copy.copy(doc)
    twin.add_object("Zone", ["Twin"])
    loose = IDFObject(idd, "Zone")
    loose[0] = "Loose"
    pickle.loads(pickle.dumps(IDFObject.__new__(IDFObject)))
    for bad in ("Zone,;", "Zonee;", "Zone, a\nb c;"):
        try:
            IDF.from_string(idd, bad)
        except ValueError:
            pass
    try:
        zone["Name"] = "a,b"
    except ValueError:
        pass


def measure(label: str, run, warmup: int, cycles: int) -> int:
    """Runs `run` warmup times, then `cycles` times in two halves; returns the
    growth over the second half (a leak keeps growing, an allocator's
    high-water mark does not), and prints both halves and the count of
    objects the collector tracks."""
    for _ in range(warmup):
        run()
    gc.collect()
    start, tracked = rss_kb(), len(gc.get_objects())
    for _ in range(cycles // 2):
        run()
    gc.collect()
    middle = rss_kb()
    for _ in range(cycles - cycles // 2):
        run()
    gc.collect()
    end, tracked_end = rss_kb(), len(gc.get_objects())
    print(f"{label}: {cycles} rounds after {warmup} warm-up; resident memory {start} kB -> {middle} kB -> "
          f"{end} kB (second half {end - middle:+} kB); tracked objects {tracked} -> {tracked_end}")
    return max(0, end - middle) + max(0, tracked_end - tracked)


def main() -> None:
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else 4
    idd = IDD.from_string(SCHEMA_TEXT)

    growth = measure("single thread", lambda: cycle(idd), cycles // 5, cycles)
    growth += measure("schema load", lambda: IDD.from_string(SCHEMA_TEXT), 200, 1000)

    def threaded() -> None:
        errors = []

        def work() -> None:
            try:
                for _ in range(20):
                    cycle(idd)
                    gc.collect(0)
            except Exception as error:  # reported after the join
                errors.append(error)

        workers = [threading.Thread(target=work) for _ in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        if errors:
            raise errors[0]

    # Threads interleave their garbage between collections, so resident
    # memory climbs to a higher plateau first: warm up longer.
    growth += measure(f"{threads} threads x 20 cycles with the collector running", threaded, max(20, cycles // 100),
                      max(2, cycles // 50))
    print("no growth" if growth <= 512 else f"GROWTH: {growth} (kB of memory plus tracked objects) in all")


if __name__ == "__main__":
    main()
