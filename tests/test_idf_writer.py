"""Tests of writing tarvix.idf documents back to text: IDF.format, IDF.save and
repr of documents and objects, byte for byte (padding, indents, comments with
field names and units, minimum field counts, group headers, the compact layout,
schema order and document order), argument rules, and round trips through the
text on the test documents and the real documents in ../shared/data."""

import pathlib
import re
import time

import pytest

from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject

SCHEMA = r"""
\group Simulation Parameters
Version,
  A1 ; \field Version Identifier
       \default 8.0
\group Thermal Zones
Zone,
  \min-fields 1
  A1 , \field Name
  N1 , \field Direction of Relative North
       \type real
       \units deg
  N2 ; \field Multiplier
       \type integer
ZoneList,
  \extensible:1
  A1 , \field Name
  A2 ; \field Zone 1 Name
       \begin-extensible
\group
Marker,
  A1 ; \field Name
\group Thermal Zones
Thermostat,
  A1 , \field Name
  A2 ; \field Zone Name
\group Matériaux
Material,
  \min-fields 2
  A1 , \field Name
  N1 , \field Thickness
       \type real
       \units m
  N2 ; \field Conductivity
       \type real
       \units W/m-K
Surface,
  \extensible:3
  A1 , \field Name
  N1 , \field Vertex 1 X-coordinate
       \begin-extensible
       \units m
  N2 , \field Vertex 1 Y-coordinate
       \units m
  N3 ; \field Vertex 1 Z-coordinate
       \units m
"""

DOC = """\
Material, Brick, 0.1, 0.9;
zone, West, 0, 1;
Version, 8.0;
Thermostat, Stat 1, West;
ZONE, East;   ! a comment
Marker;
Surface, Wall, 0, 0, 0, 1, 0, 0, 1, 0, 3;
ZoneList, All, West, East;
MATERIAL, Glass;
Zone, Zöne Nörth, , 2, extra;
"""
HEADER = "! Generated using Tarvix.py\n"


def L(text, blanks, name):
    """One field line: text, the given number of blanks, the comment."""
    return text + " " * blanks + "!- " + name + "\n"


WALL_FIELDS = [f"Vertex {g} {axis}-coordinate {{m}}" for g in (1, 2, 3) for axis in "XYZ"]
WALL_VALUES = "0 0 0 1 0 0 1 0 3".split()
# Each object's text in the default layout, keyed by its first value (or class).
BLOCKS = {
    "Brick": "Material,\n" + L("    Brick,", 19, "Name") + L("    0.1,", 21, "Thickness {m}")
    + L("    0.9;", 21, "Conductivity {W/m-K}"),
    "West": "Zone,\n" + L("    West,", 20, "Name") + L("    0,", 23, "Direction of Relative North {deg}")
    + L("    1;", 23, "Multiplier"),
    "8.0": "Version,\n" + L("    8.0;", 21, "Version Identifier"),
    "Stat 1": "Thermostat,\n" + L("    Stat 1,", 18, "Name") + L("    West;", 20, "Zone Name"),
    "East": "Zone,\n" + L("    East;", 20, "Name"),
    "Marker": "Marker;\n",
    "Wall": "Surface,\n" + L("    Wall,", 20, "Name")
    + "".join(L(f"    {v}{';' if i == 8 else ','}", 23, n) for i, (v, n) in enumerate(zip(WALL_VALUES, WALL_FIELDS))),
    "All": "ZoneList,\n" + L("    All,", 21, "Name") + L("    West,", 20, "Zone 1 Name") + L("    East;", 20, "Zone 2 Name"),
    "Glass": "Material,\n" + L("    Glass,", 19, "Name") + L("    ;", 24, "Thickness {m}"),
    "Zöne Nörth": "Zone,\n" + L("    Zöne Nörth,", 12, "Name") + L("    ,", 24, "Direction of Relative North {deg}")
    + L("    2,", 23, "Multiplier") + L("    extra;", 19, ""),
}
COMPACT = {
    "Brick": "Material,Brick,0.1,0.9;", "West": "Zone,West,0,1;", "8.0": "Version,8.0;",
    "Stat 1": "Thermostat,Stat 1,West;", "East": "Zone,East;", "Marker": "Marker;",
    "Wall": "Surface,Wall,0,0,0,1,0,0,1,0,3;", "All": "ZoneList,All,West,East;", "Glass": "Material,Glass,;",
    "Zöne Nörth": "Zone,Zöne Nörth,,2,extra;",
}
FILE_ORDER = ["Brick", "West", "8.0", "Stat 1", "East", "Marker", "Wall", "All", "Glass", "Zöne Nörth"]
SIM, ZONES, MATERIALS = "\n! ***SIMULATION PARAMETERS***\n", "\n! ***THERMAL ZONES***\n", "\n! ***MATéRIAUX***\n"
SCHEMA_ORDER = [SIM, "8.0", ZONES, "West", "East", "Zöne Nörth", "All", "Marker", ZONES, "Stat 1",
                MATERIALS, "Brick", "Glass", "Wall"]


def schema_text(parts, blocks=BLOCKS):
    """Untrimmed schema-order text: group headers as given, each object preceded by a line feed."""
    return "".join(p if p.startswith("\n!") else "\n" + blocks[p] for p in parts)


def compact_schema_text(classes, blocks=COMPACT):
    """Untrimmed compact schema-order text: a list of classes, each a list of object keys."""
    return "".join("".join("\n" + blocks[k] for k in keys) + "\n" for keys in classes)


COMPACT_CLASSES = [["8.0"], ["West", "East", "Zöne Nörth"], ["All"], ["Marker"], ["Stat 1"], ["Brick", "Glass"], ["Wall"]]


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


@pytest.fixture
def idf(idd):
    return IDF.from_string(idd, DOC)


def by_name(idf, class_name, name):
    obj = idf.get_object_by_name(class_name, name)
    assert obj is not None
    return obj


# ---------------------------------------------------------------------------
# Layout of one object


def test_worked_layout(idd, tmp_path):
    idf = IDF.from_string(idd, "Zone, West;")
    path = tmp_path / "zone.idf"
    assert idf.save(path, include_timestamp=False) is None
    lines = ["! Generated using Tarvix.py", "", "! ***THERMAL ZONES***", "", "Zone,",
             "    West;" + " " * 20 + "!- Name"]
    assert path.read_bytes() == "".join(line + "\n" for line in lines).encode()
    assert idf.format() == "\n".join(lines[2:])
    assert repr(idf) == "\n" + "\n".join(lines[2:]) + "\n"
    assert repr(idf["Zone"][0]) == "Zone,\n    West;" + " " * 20 + "!- Name\n"


@pytest.mark.parametrize(
    "text, options, expected",
    [
        ("ZONE, West;", {}, "Zone,\n" + L("    West;", 20, "Name")),
        ("Zone, " + "x" * 24 + ";", {}, "Zone,\n    " + "x" * 24 + ";!- Name\n"),
        ("Zone, " + "y" * 25 + ";", {}, "Zone,\n    " + "y" * 25 + ";  !- Name\n"),
        ("Zone, Zöne;", {}, "Zone,\n" + L("    Zöne;", 19, "Name")),
        ("Zone, a, , 3;", {}, "Zone,\n" + L("    a,", 23, "Name")
         + L("    ,", 24, "Direction of Relative North {deg}") + L("    3;", 23, "Multiplier")),
        ("Zone, a, , ;", {}, "Zone,\n" + L("    a;", 23, "Name")),
        ("Zone;", {}, "Zone,\n" + L("    ;", 24, "Name")),
        ("Material;", {}, "Material,\n" + L("    ,", 24, "Name") + L("    ;", 24, "Thickness {m}")),
        ("Material, Brick, , , ;", {}, "Material,\n" + L("    Brick,", 19, "Name") + L("    ;", 24, "Thickness {m}")),
        ("Version;", {}, "Version;\n"),
        ("Zone, Z, 0, 1, extra, 7;", {}, "Zone,\n" + L("    Z,", 23, "Name")
         + L("    0,", 23, "Direction of Relative North {deg}") + L("    1,", 23, "Multiplier")
         + L("    extra,", 19, "") + L("    7;", 23, "")),
        ("Surface, S, 1, 2, 3, 4;", {}, "Surface,\n" + L("    S,", 23, "Name")
         + L("    1,", 23, "Vertex 1 X-coordinate {m}") + L("    2,", 23, "Vertex 1 Y-coordinate {m}")
         + L("    3,", 23, "Vertex 1 Z-coordinate {m}") + L("    4;", 23, "Vertex 2 X-coordinate {m}")),
        ("ZoneList, All, A, B, C;", {"field_size": 0}, "ZoneList,\n    All,!- Name\n    A,!- Zone 1 Name\n"
         "    B,!- Zone 2 Name\n    C;!- Zone 3 Name\n"),
        ("Zone, West, 0;", {"class_indent_size": 2, "field_indent_size": 0},
         "  Zone,\n" + L("West,", 20, "Name") + L("0;", 23, "Direction of Relative North {deg}")),
        ("Zone, West;", {"field_indent_size": 8, "field_size": 10}, "Zone,\n" + L("        West;", 6, "Name")),
        ("Zone, abc, 1234;", {"field_size": 3}, "Zone,\n    abc,!- Name\n"
         "    1234;  !- Direction of Relative North {deg}\n"),
        ("Material;", {"class_indent_size": 1, "field_indent_size": 1, "field_size": 1},
         " Material,\n , !- Name\n ; !- Thickness {m}\n"),  # empty values padded to 1
        ("Zone, a, , 3;", {"compact": True}, "Zone,a,,3;"),
        ("Version, , ;", {"compact": True}, "Version;"),
    ],
)
def test_object_layout(idd, text, options, expected):
    idf = IDF.from_string(idd, text)
    written = idf.format(preserve_order=True, **options)
    assert written + ("" if options.get("compact") else "\n") == expected
    if not options:
        assert repr(idf[text.split(",")[0].rstrip(";")][0]) == expected


def test_detached_and_added_objects(idd):
    obj = IDFObject(idd, "material")
    obj.update({"Conductivity": 2})
    assert repr(obj) == "Material,\n" + L("    ,", 24, "Name") + L("    ,", 24, "Thickness {m}") + L(
        "    2;", 23, "Conductivity {W/m-K}")
    idf = IDF.from_string(idd, "")
    idf.add_object("Version")  # the default value is written
    assert idf.format() == SIM.lstrip("\n") + "\n" + BLOCKS["8.0"].rstrip("\n")


# ---------------------------------------------------------------------------
# Layout of a document


def test_schema_order_and_document_order(idf):
    raw = schema_text(SCHEMA_ORDER)
    assert repr(idf) == raw
    assert idf.format() == idf.format(0, 4, 24, False, False) == raw.strip("\n")
    assert idf.format(preserve_order=True) == "".join("\n" + BLOCKS[k] for k in FILE_ORDER).strip("\n")


@pytest.mark.parametrize("options", [{}, {"class_indent_size": 7, "field_indent_size": 1, "field_size": 0}])
def test_compact(idf, options):
    assert idf.format(compact=True, **options) == compact_schema_text(COMPACT_CLASSES).strip("\n")
    assert idf.format(compact=True, preserve_order=True, **options) == "\n".join(COMPACT[k] for k in FILE_ORDER)


def test_removed_and_added_objects(idf):
    idf.remove_object(by_name(idf, "Zone", "East"))
    idf.remove_object(idf["Marker"][0])  # its class is left with an empty index: no group is looked at
    idf.add_object("Zone", ["North"])
    blocks = dict(BLOCKS, North="Zone,\n" + L("    North;", 19, "Name"))
    parts = [SIM, "8.0", ZONES, "West", "Zöne Nörth", "North", "All", "Stat 1", MATERIALS, "Brick", "Glass", "Wall"]
    assert idf.format() == schema_text(parts, blocks).strip("\n")
    order = [k for k in FILE_ORDER if k not in ("East", "Marker")] + ["North"]
    assert idf.format(preserve_order=True) == "".join("\n" + blocks[k] for k in order).strip("\n")
    idf.remove_all_objects("Surface")
    compact = dict(COMPACT, North="Zone,North;")
    assert idf.format(compact=True) == compact_schema_text(
        [["8.0"], ["West", "Zöne Nörth", "North"], ["All"], ["Stat 1"], ["Brick", "Glass"]], compact).strip("\n")


@pytest.mark.parametrize(
    "text, skeleton",
    [
        ("Zone, a;\nZoneList, l;", ["! ***THERMAL ZONES***", "Zone,", "ZoneList,"]),  # one header per run
        ("Thermostat, t;\nZone, a;", ["! ***THERMAL ZONES***", "Zone,", "Thermostat,"]),  # Marker not looked at
        ("Thermostat, t;\nMarker;\nZone, a;",  # the empty group resets the current group
         ["! ***THERMAL ZONES***", "Zone,", "Marker;", "! ***THERMAL ZONES***", "Thermostat,"]),
        ("Marker;\nMaterial, m;", ["Marker;", "! ***MATéRIAUX***", "Material,"]),
        ("Surface, s;\nVersion;\nMaterial, m;",
         ["! ***SIMULATION PARAMETERS***", "Version;", "! ***MATéRIAUX***", "Material,", "Surface,"]),
    ],
)
def test_group_headers(idd, text, skeleton):
    written = IDF.from_string(idd, text).format()
    assert written.startswith(skeleton[0])
    assert [line for line in written.split("\n") if line and not line.startswith(" ")] == skeleton
    assert "\n\n\n" not in written


def test_classes_differing_only_in_case_are_written_once(tmp_path):
    idd = IDD.from_string("\\group Lower\nZone,\n  A1 ; \\field Name\n\\group Middle\nOther,\n  A1 ; \\field Name\n"
                          "\\group Upper\nZONE,\n  A1 ; \\field Label\n")
    idf = IDF.from_string(idd, "zone, a;\nOther, o;\nZone, b;\n")
    expected = ("! ***MIDDLE***\n\nOther,\n" + L("    o;", 23, "Name") + "\n! ***UPPER***\n\nZONE,\n"
                + L("    a;", 23, "Label") + "\nZONE,\n" + L("    b;", 23, "Label"))
    assert idf.format() == expected.strip("\n")
    assert idf.format(compact=True) == "Other,o;\n\nZONE,a;\nZONE,b;"
    assert idf.format(compact=True, preserve_order=True) == "ZONE,a;\nOther,o;\nZONE,b;"
    again = IDF.from_string(idd, idf.format())
    assert [o.get_values() for o in again["Zone"]] == [["a"], ["b"]]
    assert again.format() == idf.format()
    idf.save(tmp_path / "x.idf")
    assert len(IDF.from_file(idd, tmp_path / "x.idf")["zone"]) == 2


def test_empty_document(idd, tmp_path):
    for idf in (IDF.from_string(idd, ""), IDF.from_string(idd, "Marker;")):
        if idf["Marker"]:
            idf.remove_all_objects("Marker")
        for options in ({}, {"compact": True}, {"preserve_order": True}, {"compact": True, "preserve_order": True}):
            assert idf.format(**options) == ""
            idf.save(tmp_path / "empty.idf", include_timestamp=False, **options)
            assert (tmp_path / "empty.idf").read_bytes() == HEADER.encode()
        assert repr(idf) == ""


# ---------------------------------------------------------------------------
# save


@pytest.mark.parametrize(
    "options, text",
    [
        ({}, schema_text(SCHEMA_ORDER)),
        ({"preserve_order": True}, "".join("\n" + BLOCKS[k] for k in FILE_ORDER)),
        ({"compact": True}, compact_schema_text(COMPACT_CLASSES)),
        ({"compact": True, "preserve_order": True}, "".join("\n" + COMPACT[k] for k in FILE_ORDER)),
    ],
    ids=["schema-order", "document-order", "compact", "compact-document-order"],
)
def test_save_writes_header_and_untrimmed_text(idf, tmp_path, options, text):
    path = tmp_path / "doc.idf"
    path.write_bytes(b"previous content\n" * 1000)
    assert idf.save(str(path), include_timestamp=False, **options) is None
    assert path.read_bytes() == (HEADER + text).encode()
    idf.save(output_path=path, class_indent_size=0, field_indent_size=4, field_size=24,
             compact=options.get("compact", False), preserve_order=options.get("preserve_order", False),
             include_timestamp=0)
    assert path.read_bytes() == (HEADER + text).encode()


def test_save_sizes(idd, tmp_path):
    path = tmp_path / "doc.idf"
    IDF.from_string(idd, "Zone, East, 1;").save(path, 2, 1, 0, False, False, False)
    assert path.read_text() == HEADER + "\n! ***THERMAL ZONES***\n\n  Zone,\n East,!- Name\n" \
        " 1;!- Direction of Relative North {deg}\n"


def test_save_timestamp(idd, tmp_path):
    idf = IDF.from_string(idd, "Zone, East;")
    path = tmp_path / "stamped.idf"
    before = time.strftime("%Y-%m-%d %H:%M:%S")
    idf.save(path)
    after = time.strftime("%Y-%m-%d %H:%M:%S")
    match = re.fullmatch(r"! Generated using Tarvix\.py\n! Saved at: (.{19})\n(.*)", path.read_text(), re.S)
    assert match is not None
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", match[1]) and before <= match[1] <= after
    assert match[2] == ZONES + "\n" + BLOCKS["East"]
    empty = tmp_path / "empty.idf"
    IDF.from_string(idd, "").save(empty, include_timestamp=True)
    assert re.fullmatch(r"! Generated using Tarvix\.py\n! Saved at: [-\d]{10} [:\d]{8}\n", empty.read_text())


def test_save_errors_of_open_propagate(idf, tmp_path):
    with pytest.raises(FileNotFoundError):
        idf.save(tmp_path / "missing" / "doc.idf")
    with pytest.raises(IsADirectoryError):
        idf.save(tmp_path)


# ---------------------------------------------------------------------------
# Arguments and docstrings


class Failing:
    def __bool__(self):
        raise ZeroDivisionError("truth")


SIZES = ["class_indent_size", "field_indent_size", "field_size"]


@pytest.mark.parametrize("compact", [False, True])
@pytest.mark.parametrize("value", [-1, -2**31])
@pytest.mark.parametrize("name", SIZES)
def test_negative_sizes_are_refused(idf, tmp_path, name, value, compact):
    path = tmp_path / "never.idf"
    for call in (lambda: idf.format(compact=compact, **{name: value}),
                 lambda: idf.save(path, compact=compact, **{name: value})):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == f"{name} must be >= 0"
    assert not path.exists()


@pytest.mark.parametrize(
    "value, error",
    [("3", TypeError), (1.5, TypeError), (None, TypeError), (2**31, OverflowError), (-2**31 - 1, OverflowError),
     (2**80, OverflowError)],
)
@pytest.mark.parametrize("name", SIZES)
def test_size_conversion_errors(idf, tmp_path, name, value, error):
    path = tmp_path / "never.idf"
    with pytest.raises(error):
        idf.format(**{name: value})
    with pytest.raises(error):
        idf.save(path, **{name: value})
    assert not path.exists()


@pytest.mark.parametrize("name", ["compact", "preserve_order", "include_timestamp"])
def test_truth_test_errors_propagate(idf, tmp_path, name):
    path = tmp_path / "never.idf"
    if name != "include_timestamp":
        with pytest.raises(ZeroDivisionError):
            idf.format(**{name: Failing()})
    with pytest.raises(ZeroDivisionError):
        idf.save(path, **{name: Failing()})
    assert not path.exists()


def doc_lines(method):
    return [line.strip() for line in (method.__doc__ or "").splitlines() if line.strip()]


PARAMETER_LINES = ["Indent for class names", "Indent for fields", "Minimum size for field values",
                   "Whether to enable compact output. Overrides other style settings", "Whether to preserve object order"]


@pytest.mark.parametrize(
    "method, present, absent",
    [(IDF.format, PARAMETER_LINES + ["str: IDF str"], ["Whether to include timestamp"]),
     (IDF.save, PARAMETER_LINES + ["Whether to include timestamp"], ["str: IDF str"])],
    ids=["format", "save"],
)
def test_docstrings(method, present, absent):
    lines = doc_lines(method)
    assert lines[0].startswith("Convert IDF to str with format config")
    text = "\n".join(lines)
    for line in present:
        assert line in text
    for line in absent:
        assert line not in text


# ---------------------------------------------------------------------------
# Round trips: load, write, load again

DATA = pathlib.Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
REAL = {
    "5ZoneSupRetPlenRAB.idf": ("Energy+V8_0_0.idd", "latin-1"),
    "5ZoneWaterLoopHeatPump.idf": ("Energy+V8_0_0.idd", "latin-1"),
    "smallfile_V8_8.idf": ("Energy+V8_8_0.idd", None),
}
_schemas = {}


@pytest.fixture(scope="module", params=sorted(REAL) + ["test document"])
def source(request, idd):
    if request.param not in REAL:
        return idd, IDF.from_string(idd, DOC)
    schema_name, encoding = REAL[request.param]
    path, schema_path = DATA / request.param, DATA / schema_name
    if not (path.is_file() and schema_path.is_file()):
        pytest.skip(f"{path} or its schema is absent")
    if schema_name not in _schemas:
        _schemas[schema_name] = IDD.from_file(schema_path)
    return _schemas[schema_name], IDF.from_file(_schemas[schema_name], path, encoding=encoding)


def written(values):
    """The values a written object keeps: trailing empty values are not written."""
    values = list(values)
    while values and values[-1] in ("", None):
        values.pop()
    return values


def by_class(idf, keep=written):
    return {name.upper(): [keep(o.get_values()) for o in idf[name]] for name in idf.get_class_names()}


def in_document_order(idf, keep=written):
    return [(o.class_name, keep(o.get_values())) for o in idf.__reduce__()[2][1] if o is not None]


OPTIONS = [{}, {"compact": True}, {"preserve_order": True}, {"compact": True, "preserve_order": True}]


@pytest.mark.parametrize("options", OPTIONS, ids=["default", "compact", "document-order", "compact-document-order"])
def test_round_trip(source, options):
    idd, original = source
    text = original.format(**options)
    again = IDF.from_string(idd, text)
    assert by_class(again) == by_class(original)
    if options.get("preserve_order"):
        assert in_document_order(again) == in_document_order(original)
    assert again.format(**options) == text


def test_save_then_load(source, tmp_path):
    idd, original = source
    path = tmp_path / "saved.idf"
    original.save(path)
    loaded = IDF.from_file(idd, path)
    assert by_class(loaded) == by_class(original)
    assert loaded.format() == original.format()
    original.save(path, preserve_order=True, include_timestamp=False)
    assert in_document_order(IDF.from_file(idd, path)) == in_document_order(original)
