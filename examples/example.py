"""Tour of tarvix on the sample files in examples/data.

Shows what the library can do so far: loading a schema and naming its
fields (repeating groups included); loading a document, reading typed
values by index or name, following references both ways, editing, adding
and removing objects, writing it back (padded or compact) and copying it;
the token stream that both parsers read, and the byte-string helpers that
every module shares.
"""

import copy
import tempfile
from collections import Counter
from pathlib import Path

import tarvix.idd as idd
import tarvix.idf as idf
import tarvix.lexer as lexer
import tarvix.utils as utils

DATA = Path(__file__).resolve().parent / "data"
TOKEN_NAMES = {
    lexer.TOKEN_TEXT: "TEXT",
    lexer.TOKEN_COMMA: "COMMA",
    lexer.TOKEN_SEMICOLON: "SEMICOLON",
    lexer.TOKEN_EOF: "EOF",
    lexer.TOKEN_ERROR: "ERROR",
}


def show_tokens(path: Path, is_idd: bool, preview: int) -> None:
    tokens = lexer.debug_tokenize(path.read_bytes(), is_idd)
    counts = Counter(TOKEN_NAMES[kind] for kind, _, _ in tokens)
    print(f"{path.name}: {len(tokens)} tokens, last on line {tokens[-1][2]}: {dict(counts)}")
    for kind, value, line in tokens[:preview]:
        print(f"  line {line:3}  {TOKEN_NAMES[kind]:<9} {value.decode()!r}")


def show_schema(path: Path) -> None:
    schema = idd.IDD.from_file(path)
    print(f"{path.name}: version {schema.version}, {schema.num_classes} classes")
    for index in range(schema.num_classes):
        name = schema.get_class_name(index)
        print(f"  {name}: {', '.join(schema._get_field_names(name))}")
    surface = "BuildingSurface:Detailed"
    print(f"  {surface} repeats its vertex fields; any group can be named:")
    for group in (1, 4, 50):
        field = f"Vertex {group} Z-coordinate"
        position = idd.debug_find_field_index(schema, surface, field)
        print(f"    {field!r} is field {position}, "
              f"named {idd.debug_get_field_name(schema, surface, position, True)!r} with units")


def show_document(schema_path: Path, document_path: Path) -> None:
    schema = idd.IDD.from_file(schema_path)
    doc = idf.IDF.from_file(schema, document_path)
    print(f"{document_path.name}: classes {sorted(doc.get_class_names())}")

    for zone in doc["Zone"]:
        print(f"  zone {zone['Name']!r}: multiplier {zone['Multiplier']!r}, "
              f"ceiling height {zone['Ceiling Height']!r}, values {zone.get_values()}")
        for surface in zone.get_referencing_objects("Name"):
            print(f"    named by {surface.class_name} {surface[0]!r}")

    wall = doc.get_object_by_name("BuildingSurface:Detailed", "east wall")
    print(f"  'east wall' found by name: {wall['Name']!r}, its zone field reads {wall['Zone Name']!r} "
          f"and refers to zone {wall.get_referenced_object('Zone Name')['Name']!r}")
    print(f"  its fourth vertex: {[wall[f'Vertex 4 {axis}-coordinate'] for axis in 'XYZ']}")

    east = doc.get_object_by_name("Zone", "East Office")
    east["Name"] = "East Lab"
    print(f"  after renaming the zone to 'East Lab', it is named by {len(east.get_referencing_objects(0))} objects")
    wall["Zone Name"] = "East Lab"
    print(f"  after pointing the wall at it: {[o[0] for o in east.get_referencing_objects(0)]}")

    added = doc.add_object("Zone", {"Name": "Store"})
    print(f"  added zone with schema defaults: {added.get_values()}")
    doc.remove_object(added)
    print(f"  removed it again; zones now {[zone[0] for zone in doc['Zone']]}")
    try:
        wall["Name"] = "West, Wall"
    except ValueError as error:
        print(f"  refused: {error}")

    print("  the edited document, compact, in schema order:")
    for line in doc.format(compact=True).splitlines():
        print(f"    {line}")
    print("  one object in the padded layout:")
    for line in repr(wall).splitlines()[:6]:
        print(f"    {line}")
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "edited.idf"
        doc.save(path, include_timestamp=False)
        again = idf.IDF.from_file(schema, path)
        print(f"  saved and loaded again: identical text {again.format() == doc.format()}, "
              f"first line {path.read_text().splitlines()[0]!r}")
    twin = copy.copy(doc)
    print(f"  a shallow copy shares the schema and objects: {twin['Zone'][0] is doc['Zone'][0]}")


def main() -> None:
    print("== Loading the sample schema")
    show_schema(DATA / "building.idd")
    print()
    print("== Loading the sample document against it")
    show_document(DATA / "building.idd", DATA / "office.idf")
    print()
    print("== Tokenizing the sample schema (property lines are single tokens)")
    show_tokens(DATA / "building.idd", True, 6)
    print()
    print("== Tokenizing the sample document (comments and blanks are dropped)")
    show_tokens(DATA / "office.idf", False, 6)
    print()
    print("== Byte-string helpers (ASCII-only case folding)")
    print("  debug_to_upper('Zone Ä1')                   ->", repr(utils.debug_to_upper("Zone Ä1")))
    print("  debug_equal_fold('West Office', 'WEST OFFICE') ->", utils.debug_equal_fold("West Office", "WEST OFFICE"))
    print("  debug_cut_prefix('object-list', 'object-')   ->", utils.debug_cut_prefix("object-list", "object-"))
    print("  debug_trim_string('  Vertex 1  ')            ->", repr(utils.debug_trim_string("  Vertex 1  ")))
    print("  debug_get_current_time()                     ->", utils.debug_get_current_time())


if __name__ == "__main__":
    main()
