"""Quickstart: load, query, edit and write back a building document.

Runs on the sample schema and document in examples/data (or on the files
given with --idd and --idf) and prints what each step sees:

1. load the schema and the document and summarise them;
2. find objects and read typed fields by name;
3. follow references in both directions;
4. edit fields, renaming a zone together with the surfaces that name it,
   and check the document against the schema after a misspelling;
5. add and remove objects;
6. write the result in the padded, compact and document-order layouts.

The written files go to --output, or to a new temporary folder that is kept
so that you can open them.
"""

from __future__ import annotations

import argparse
import tempfile
from pathlib import Path

from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject

DATA = Path(__file__).resolve().parent / "data"


def step(title: str) -> None:
    print(f"\n== {title}")


def names(objects: tuple[IDFObject, ...]) -> list[str]:
    return [str(obj["Name"]) for obj in objects]


def summarise(schema: IDD, doc: IDF) -> None:
    print(f"schema: version {schema.version}, {schema.num_classes} classes")
    present = set(doc.get_class_names())
    total = 0
    # get_class_names() follows no particular order; the schema's order reads better.
    for index in range(schema.num_classes):
        class_name = schema.get_class_name(index)
        if class_name in present:
            count = len(doc[class_name])
            total += count
            print(f"  {count:3} x {class_name}")
    print(f"document: {total} objects in {len(present)} classes")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--idd", type=Path, default=DATA / "building.idd", help="schema file")
    parser.add_argument("--idf", type=Path, default=DATA / "office.idf", help="document file")
    parser.add_argument("--output", type=Path, help="folder for the written files (default: a new temporary folder)")
    args = parser.parse_args()

    step("1. Load the schema and the document")
    schema = IDD.from_file(args.idd)
    doc = IDF.from_file(schema, args.idf)
    print(f"loaded {args.idf.name} against {args.idd.name}")
    summarise(schema, doc)

    step("2. Find objects and read typed fields by name")
    for office in doc["Zone"]:
        print(f"zone {office['Name']!r}: multiplier {office['Multiplier']!r}, "
              f"ceiling height {office['Ceiling Height']!r}")
    wall = doc.get_object_by_name("BuildingSurface:Detailed", "east wall")
    assert wall is not None
    print(f"found {wall['Name']!r} by a lower-case name; field names ignore case too: "
          f"surface type {wall['surface type']!r}")
    corner = [wall[f"Vertex 3 {axis}-coordinate"] for axis in "XYZ"]
    print(f"its third vertex, by repeating-group names: {corner}")
    print(f"all values, typed by the schema: {wall.get_values()}")

    step("3. Follow references both ways")
    zone = wall.get_referenced_object("Zone Name")
    construction = wall.get_referenced_object("Construction Name")
    assert zone is not None and construction is not None
    print(f"{wall['Name']!r} -> zone {zone['Name']!r} (the wall writes it {wall['Zone Name']!r})")
    print(f"{wall['Name']!r} -> construction {construction['Name']!r}")
    layer = construction.get_referenced_object("Outside Layer")
    assert layer is not None
    print(f"{construction['Name']!r} -> outside layer {layer['Name']!r}, "
          f"conductivity {layer['Conductivity']} W/m-K")
    print(f"zone {zone['Name']!r} <- surfaces {names(zone.get_referencing_objects('Name'))}")
    print(f"material {layer['Name']!r} <- constructions {names(layer.get_referencing_objects('Name'))}")

    step("4. Edit fields")
    zone["Multiplier"] = 3
    wall["Vertex 3 X-coordinate"] = 21.5
    print(f"multiplier now {zone['Multiplier']!r}, vertex 3 X now {wall['Vertex 3 X-coordinate']!r}")
    # Writing the name alone would leave the surfaces naming 'East Office' pointing at
    # nothing; rename() changes them with it, through the references.
    changed = zone.rename("East Lab")
    print(f"renamed the zone to 'East Lab' and {changed} referring field(s) with it; "
          f"it is named by {names(zone.get_referencing_objects('Name'))}")
    try:
        wall["Name"] = "East Wall, North"
    except ValueError as error:
        print(f"refused: {error}")
    # A misspelled name is accepted as text; the check before a run finds it.
    wall["Construction Name"] = "Exterior Wal"
    for problem in doc.validate():
        print(f"check: {problem.severity} {problem.code}: {problem.message}")
    wall["Construction Name"] = "Exterior Wall"
    print(f"after the fix: {len(doc.validate())} problems (document version {doc.version})")

    step("5. Add and remove objects")
    store = doc.add_object("Zone", {"Name": "Store"})
    print(f"added zone 'Store'; the schema's defaults filled in: {store.get_values()}")
    floor = doc.add_object("BuildingSurface:Detailed", {
        "Name": "Store Floor", "Surface Type": "Floor",
        "Construction Name": "Exterior Wall", "Zone Name": "Store",
        "Vertex 1 X-coordinate": 20, "Vertex 1 Y-coordinate": 0, "Vertex 1 Z-coordinate": 0,
        "Vertex 2 X-coordinate": 20, "Vertex 2 Y-coordinate": 10, "Vertex 2 Z-coordinate": 0,
        "Vertex 3 X-coordinate": 26, "Vertex 3 Y-coordinate": 10, "Vertex 3 Z-coordinate": 0,
    })
    print(f"added {floor['Name']!r} with {len(floor.get_values())} values; "
          f"'Store' is named by {names(store.get_referencing_objects('Name'))}")
    west = doc.get_object_by_name("BuildingSurface:Detailed", "West Wall")
    assert west is not None
    doc.remove_object(west)
    west_zone = doc.get_object_by_name("Zone", "West Office")
    assert west_zone is not None
    print(f"removed 'West Wall'; 'West Office' is now named by "
          f"{names(west_zone.get_referencing_objects('Name'))}")
    print(f"surfaces left: {names(doc['BuildingSurface:Detailed'])}")

    step("6. Write the document back")
    output = args.output or Path(tempfile.mkdtemp(prefix="tarvix-quickstart-"))
    output.mkdir(parents=True, exist_ok=True)
    layouts: dict[str, tuple[dict[str, bool], int]] = {
        # schema order, group headers, one field per line with its name and units
        "office-padded.idf": ({}, 17),
        # one line per object, schema order, an empty line between classes
        "office-compact.idf": ({"compact": True}, 100),
        # one line per object in the document's own order: 'Store' comes after the walls
        "office-ordered.idf": ({"compact": True, "preserve_order": True}, 100),
    }
    for file_name, (options, shown) in layouts.items():
        path = output / file_name
        doc.save(path, **options)
        lines = path.read_text(encoding="utf-8").splitlines()
        print(f"wrote {path} ({path.stat().st_size} bytes, {len(lines)} lines):")
        for line in lines[:shown]:
            print(f"    {line}")
        if len(lines) > shown:
            print("    ...")
    again = IDF.from_file(schema, output / "office-padded.idf")
    print(f"loaded office-padded.idf again: same text as the edited document: {again.format() == doc.format()}")
    print(f"done; the files are in {output}")


if __name__ == "__main__":
    main()
