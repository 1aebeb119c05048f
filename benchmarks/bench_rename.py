"""Renaming: IDFObject.rename of a zone that 1,000 surfaces name, in
5ZoneWaterLoopHeatPump.idf with the surfaces added to its text (the bundled
example document when the real files are absent); target under 100 us a
rename. Also: the first rename (every surface's values still in the loaded
text), the same renames in a listed document, the same zone with a tenth of
the surfaces (the time follows the referring fields, not the document), and,
for comparison, the renaming field by field from Python that rename replaces.
IDF.copy_object of a surface is timed last.

Usage: python benchmarks/bench_rename.py [SURFACES]
"""

import itertools
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_idf import DOCUMENT, SCHEMA  # noqa: E402
from bench_writer import median_run  # noqa: E402

from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF, IDFObject  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples" / "data"
RUNS = 201


def surfaces(zone: str, count: int) -> str:
    return "".join(
        f"BuildingSurface:Detailed, Bench Wall {i}, Wall, Exterior Wall, {zone}, , , , , , 4,"
        f" 0,{i},3, 0,{i},0, 1,{i},0, 1,{i},3;\n"
        for i in range(count)
    )


def load(idd: IDD, text: str, zone: str, count: int) -> IDF:
    return IDF.from_string(idd, text + "\nZone, Bench Zone;\n" + surfaces(zone.lower(), count))


def renames(zone: IDFObject) -> object:
    names = itertools.cycle(["Bench Zone B", "Bench Zone"])
    return lambda: zone.rename(next(names))


def field_by_field(zone: IDFObject) -> object:
    """What a caller had to write before rename: collect the referring fields, then write both sides."""
    names = itertools.cycle(["Bench Zone B", "Bench Zone"])

    def run() -> int:
        links = [(referrer, index) for referrer in zone.get_referencing_objects("Name")
                 for index in range(len(referrer.get_values())) if referrer.get_referenced_object(index) is zone]
        name = next(names)
        zone["Name"] = name
        for referrer, index in links:
            referrer[index] = name
        return len(links)

    return run


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    if SCHEMA.exists() and DOCUMENT.exists():
        schema_path, document_path, encoding = SCHEMA, DOCUMENT, "latin-1"
    else:  # the surfaces' later fields then sit one place off: no matter for the timing
        schema_path, document_path, encoding = EXAMPLES / "building.idd", EXAMPLES / "office.idf", "utf-8"
    idd = IDD.from_file(schema_path)
    text = document_path.read_text(encoding=encoding)
    print(f"{document_path.name} against {schema_path.name}; {count} surfaces name one zone")

    doc = load(idd, text, "Bench Zone", count)
    zone = doc.get_object_by_name("Zone", "Bench Zone")
    seconds, changed = median_run(renames(zone), 1)
    print(f"first rename (values in the loaded text): {seconds * 1e6:.0f} us, {changed} fields")
    seconds, changed = median_run(renames(zone), RUNS)
    print(f"rename: {seconds * 1e6:.1f} us ({changed} fields, {seconds * 1e9 / max(changed, 1):.0f} ns a field)")

    listed = load(idd, text, "Bench Zone", count)
    listed.__reduce__()
    seconds, changed = median_run(renames(listed.get_object_by_name("Zone", "Bench Zone")), RUNS)
    print(f"rename in a listed document: {seconds * 1e6:.1f} us ({changed} fields)")

    small = load(idd, text, "Bench Zone", count // 10)
    seconds, changed = median_run(renames(small.get_object_by_name("Zone", "Bench Zone")), RUNS)
    print(f"rename with a tenth of the surfaces: {seconds * 1e6:.1f} us ({changed} fields)")

    seconds, changed = median_run(field_by_field(zone), 21)
    print(f"field by field from Python: {seconds * 1e6:.0f} us ({changed} fields)")

    wall = doc.get_object_by_name("BuildingSurface:Detailed", "Bench Wall 0")
    names = (f"Bench Copy {i}" for i in itertools.count())
    seconds, _ = median_run(lambda: doc.copy_object(wall, next(names)), RUNS)
    print(f"copy_object of a surface with a new name: {seconds * 1e6:.2f} us")


if __name__ == "__main__":
    main()
