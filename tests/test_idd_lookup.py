"""Tests of field lookup in tarvix.idd schemas, through debug_get_field_name
and debug_find_field_index: base fields, repeating (extensible) groups and
how the parser finds their start, generated group names, class-name rules,
argument rules, and the same lookups on the real schemas in ../shared/data."""

import pathlib
import sys

import pytest

from tarvix.idd import IDD, debug_find_field_index, debug_get_field_name

INT32_MAX = 2**31 - 1


def find(idd, class_name, field_name):
    """debug_find_field_index, with -1 for "not found" (a ValueError without a message)."""
    try:
        return debug_find_field_index(idd, class_name, field_name)
    except ValueError as error:
        assert error.args == (), f"not-found error carries a message: {error!r}"
        return -1


def name_of(idd, class_name, index, add_units=True):
    return debug_get_field_name(idd, class_name, index, add_units)


# A group of three whose start is marked with \begin-extensible: only the first
# group is stored and the later fields' properties are dropped.
SURFACE_MARKED = """\
Surface,
  \\extensible:3
  A1, \\field Name
  N1, \\field Vertex 1 X
      \\begin-extensible
      \\units m
  N2, \\field Vertex 1 Y
      \\units m
  N3, \\field Vertex 1 Z
  N4, \\field Vertex 2 X
      \\units ft
  N5, \\field Vertex 2 Y
  N6; \\field Vertex 2 Z
"""
# Unmarked, every field is stored and the start is found from the last group's names.
SURFACE_UNMARKED = SURFACE_MARKED.replace("      \\begin-extensible\n", "").replace("2 X\n", "2 x\n")
BOTH_SURFACES = pytest.mark.parametrize("text", [SURFACE_MARKED, SURFACE_UNMARKED], ids=["marked", "unmarked"])


@pytest.mark.parametrize(
    "text, names",
    [
        (SURFACE_MARKED, ["Name", "Vertex 1 X", "Vertex 1 Y", "Vertex 1 Z"]),
        (SURFACE_UNMARKED,
         ["Name", "Vertex 1 X", "Vertex 1 Y", "Vertex 1 Z", "Vertex 2 x", "Vertex 2 Y", "Vertex 2 Z"]),
    ],
    ids=["marked", "unmarked"],
)
def test_stored_fields_of_extensible_class(text, names):
    assert IDD.from_string(text)._get_field_names("SURFACE") == names


@BOTH_SURFACES
@pytest.mark.parametrize(
    "index, name, units",
    [
        (0, "Name", ""),
        (1, "Vertex 1 X", " {m}"),
        (3, "Vertex 1 Z", ""),
        # later groups are named from the first group's names and units
        (4, "Vertex 2 X", " {m}"),
        (5, "Vertex 2 Y", " {m}"),
        (7, "Vertex 3 X", " {m}"),
        (30, "Vertex 10 Z", ""),
        (INT32_MAX, "Vertex 715827883 X", " {m}"),
        (-1, "", ""),
        (-100, "", ""),
    ],
)
def test_get_field_name_in_extensible_class(text, index, name, units):
    idd = IDD.from_string(text)
    assert name_of(idd, "Surface", index, False) == name
    assert name_of(idd, "Surface", index, True) == name + units


SURFACE_FOUND = {
    "Name": 0, "name": 0, "NAME": 0, "Vertex 1 X": 1, "vertex 2 y": 5, "Vertex 2 Z": 6, "VERTEX 3 X": 7,
    "Vertex 10 Z": 30, "Vertex 02 X": 4, "Vertex 715827883 X": INT32_MAX,
}
SURFACE_NOT_FOUND = [
    "", " Name", "Name ", "Height", "Vertex X", "Vertex 1", "Vertex 1 X-coordinate", "Vertex 1 X {m}",
    # the text between prefix and suffix must be a positive whole number
    "vertex 0 x", "Vertex 00 X", "Vertex -1 X", "Vertex +2 X", "Vertex  2 X", "Vertex 2a X", "Vertex 2 a X",
    "Vertex 2.0 X",
    # group numbers, or indices computed from them, that do not fit a signed 32-bit index
    "Vertex 715827883 Y", "Vertex 2147483647 X", "Vertex 2147483648 X", "Vertex 4294967297 X",
    "Vertex 99999999999 X", "Vertex 99999999999999999999999 X",
]


@BOTH_SURFACES
@pytest.mark.parametrize("field_name, index", [*SURFACE_FOUND.items(), *((n, -1) for n in SURFACE_NOT_FOUND)])
def test_find_field_index_in_extensible_class(text, field_name, index):
    assert find(IDD.from_string(text), "Surface", field_name) == index


BRANCH = """\
Branch,
  \\extensible:4 Just duplicate last 4 fields
  A1, \\field Name
  A2, \\field Pressure Drop Curve Name
  A3, \\field Component 1 Object Type
      \\begin-extensible
  A4, \\field Component 1 Name
  A5, \\field Component 1 Inlet Node Name
  A6; \\field Component 1 Outlet Node Name
"""


@pytest.mark.parametrize(
    "field_name, index",
    [
        ("Pressure Drop Curve Name", 1),
        ("Component 1 Object Type", 2),
        ("Component 1 Name", 3),
        # " name" also ends the inlet and outlet node names
        ("Component 1 Inlet Node Name", 4),
        ("Component 1 Outlet Node Name", 5),
        ("component 2 inlet node name", 8),
        ("Component 3 Outlet Node Name", 13),
        ("Component 1 Inlet Node", -1),
        ("Component 1 Other Name", -1),
    ],
)
def test_group_field_needs_whole_number_between_prefix_and_suffix(field_name, index):
    idd = IDD.from_string(BRANCH)
    assert find(idd, "Branch", field_name) == index
    if index >= 0:
        assert name_of(idd, "Branch", index).lower() == field_name.lower()


@pytest.mark.parametrize(
    "extensible_line, found",
    [
        ("\\extensible:1", True),
        ("\\extensible -- repeat the last 1 field", True),
        ("\\extensible:0001", True),
        ("\\extensible", False),
        ("\\extensible:x", False),
        ("\\extensible:0", False),
        ("\\extensible:99999999999", False),
        ("\\extensible:4294967297", False),
        ("\\Extensible:1", False),
        ("\\memo \\extensible:1", False),
    ],
)
def test_group_size_is_first_number_after_extensible(extensible_line, found):
    # Without a usable group size, all listed fields are plain base fields.
    idd = IDD.from_string(f"Poly,\n  {extensible_line}\n  A1, \\field Name\n  A2, \\field Point 1\n"
                          "  A3; \\field Point 2\n")
    assert idd._get_field_names("Poly") == ["Name", "Point 1", "Point 2"]
    assert find(idd, "Poly", "Point 2") == 2
    assert find(idd, "Poly", "Point 3") == (3 if found else -1)
    assert name_of(idd, "Poly", 3) == ("Point 3" if found else "")


@pytest.mark.parametrize(
    "text, stored, names, finds",
    [
        # the run of fitting fields from the end stops at "Count"
        (
            "Pairs,\\extensible:2\nA1,\\field Name\nN1,\\field Count\nN2,\\field X1\nN3,\\field Y1\n"
            "N4,\\field X2\nN5;\\field Y2",
            ["Name", "Count", "X1", "Y1", "X2", "Y2"],
            {1: "Count", 2: "X1", 6: "X3", 7: "Y3"},
            {"Count": 1, "x1": 2, "Y3": 7, "X 3": -1},
        ),
        # every field fits: the group starts at the first field
        ("Points,\\extensible:1\nN1,\\field Point 1\nN2;\\field Point 2", None, {0: "Point 1", 3: "Point 4"},
         {"Point 1": 0, "Point 5": 4}),
        # a last field without a digit never fits its own pattern: there is no group field
        ("Notes,\\extensible:1\nA1,\\field Name\nA2,\\field Vertex 1 X\nA3;\\field Note", None, {2: "Note", 3: ""},
         {"Vertex 1 X": 1, "Note": 2, "Note 1": -1}),
        # prefix and suffix are tested separately, so they may overlap
        ("Overlap,\\extensible:1\nA1,\\field Name\nA2,\\field X\nA3;\\field X1X", None, {1: "X 1", 2: "X 2"},
         {"Name": 0, "X 2": 2, "X": -1, "X1X": -1}),
        # fewer fields than one group: the start is not searched
        ("Short,\\extensible:3\nA1,\\field Name\nA2;\\field P1", None, {1: "P1", 2: ""}, {"P1": 1, "P2": -1}),
        # \extensible after the first field identifier is a field property and ignored
        ("Late,A1,\\field Name\n\\extensible:1\nA2,\\field P1\nA3;\\field P2", None, {3: ""}, {"P3": -1}),
        # \begin-extensible in a class that is not extensible does nothing
        ("Plain,A1,\\field Name\nA2,\\field Item 1\n\\begin-extensible\nA3;\\field Item 2",
         ["Name", "Item 1", "Item 2"], {2: "Item 2", 3: ""}, {"Item 2": 2, "Item 3": -1}),
        # a template name without digits names group g with " g" appended
        ("Layers,\\extensible:1\nA1,\\field Name\nA2,\\field Layer\n\\begin-extensible\nA3;\\field Layer 2",
         ["Name", "Layer"], {1: "Layer 1", 2: "Layer 2"},
         {"Layer 1": 1, "layer 3": 3, "Layer": -1, "Layer 0": -1}),
        # base names are tried first and hide a group reading of the same name
        ("Items,\\extensible:1\nA1,\\field Item 2\nA2,\\field Item 1\n\\begin-extensible\nA3;",
         ["Item 2", "Item 1"], {0: "Item 2", 1: "Item 1", 2: "Item 2"}, {"Item 2": 0, "Item 1": 1, "Item 3": 3}),
        # of two base fields with the same name the later one is found
        ("Twice,A1,\\field Name\nA2,\\field Name\nA3;", ["Name", "Name", "A3"], {1: "Name", 3: "", INT32_MAX: ""},
         {"name": 1, "A3": 2, "a3": 2}),
        # \extensible without digits: a marked start stores no further field and builds no group
        ("Bare,\\extensible\nA1,\\field Name\nA2,\\field Point 1\n\\begin-extensible\nA3;\\field Point 2",
         ["Name", "Point 1"], {0: "Name", 1: "", 2: ""}, {"Name": 0, "Point 1": -1, "Point 2": -1}),
    ],
    ids=lambda value: value.split(",")[0] if isinstance(value, str) else None,
)
def test_lookup_cases(text, stored, names, finds):
    idd = IDD.from_string(text)
    class_name = idd.get_class_name(0)
    if stored is not None:
        assert idd._get_field_names(class_name) == stored
    assert {index: name_of(idd, class_name, index) for index in names} == names
    assert {name: find(idd, class_name, name) for name in finds} == finds


def test_group_size_zero_reports_division_error(monkeypatch):
    idd = IDD.from_string(
        "Zero,\\extensible:0\nA1,\\field Name\nA2,\\field Item 1\n\\begin-extensible\nA3;\\field Item 2"
    )
    assert idd._get_field_names("Zero") == ["Name", "Item 1"]
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    assert name_of(idd, "Zero", 0) == "Name"
    assert reports == []
    assert name_of(idd, "Zero", 1) == ""
    assert len(reports) == 1
    assert reports[0].exc_type is ZeroDivisionError
    assert str(reports[0].exc_value) == "integer division or modulo by zero"
    assert "tarvix.idd.get_field_name" in f"{reports[0].err_msg} {reports[0].object}"
    assert find(idd, "Zero", "Item 1") == -1


# ---------------------------------------------------------------------------
# Class names and argument rules of the Python-facing lookups
# ---------------------------------------------------------------------------

CLASSES = "Zone,\n  A1, \\field Name\n  N1; \\field Height\n      \\units m\nZoné,\n  A1;\n"
LOOKUPS = {
    "_get_field_names": lambda idd, name: idd._get_field_names(name),
    "debug_find_field_index": lambda idd, name: debug_find_field_index(idd, name, "Name"),
    "debug_get_field_name": lambda idd, name: debug_get_field_name(idd, name, 0, False),
}


@pytest.mark.parametrize("lookup", LOOKUPS.values(), ids=LOOKUPS.keys())
@pytest.mark.parametrize("class_name", ["Nope", "", "Zone ", " zone", "Zoné", "ZONé", "Zone\x00"])
def test_unknown_class_raises_value_error(lookup, class_name):
    idd = IDD.from_string(CLASSES)
    for _ in range(2):  # a failed lookup adds nothing to the schema
        with pytest.raises(ValueError) as info:
            lookup(idd, class_name)
        assert str(info.value) == f"Unknown class: '{class_name}'"
    assert idd.num_classes == 2


@pytest.mark.parametrize("lookup", LOOKUPS.values(), ids=LOOKUPS.keys())
def test_class_names_are_upper_cased_by_python(lookup):
    idd = IDD.from_string(CLASSES)
    assert {lookup(idd, name) == lookup(idd, "Zone") for name in ("zone", "ZONE", "zOnE")} == {True}
    # the key of "ZonÉ" is "ZONÉ", which is also the Python upper() of "Zoné"
    idd = IDD.from_string("ZonÉ,\n  A1; \\field Name\n")
    assert lookup(idd, "Zoné") == lookup(idd, "zonÉ") == lookup(idd, "ZonÉ")


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    "function, args",
    [
        (debug_find_field_index, (None, "Zone", "Name")),
        (debug_find_field_index, (42, "Zone", "Name")),
        (debug_find_field_index, (IDD, "Zone", "Name")),
        (debug_find_field_index, ("idd", b"Zone", b"Name")),
        (debug_find_field_index, ("idd", b"Zone", "Name")),
        (debug_find_field_index, ("idd", StrSubclass("Zone"), "Name")),
        (debug_find_field_index, ("idd", "Zone", b"Name")),
        (debug_find_field_index, ("idd", "Zone", StrSubclass("Name"))),
        (debug_find_field_index, ("idd", "Zone", 0)),
        (debug_get_field_name, (None, "Zone", 0, False)),
        (debug_get_field_name, ("Zone", "Zone", 0, False)),
        (debug_get_field_name, ("idd", b"Zone", 0, False)),
        (debug_get_field_name, ("idd", StrSubclass("Zone"), 0, False)),
        (debug_get_field_name, ("idd", "Zone", "0", False)),
        (debug_get_field_name, ("idd", "Zone", 1.5, False)),
        (IDD._get_field_names, ("idd", b"Zone")),
        (IDD._get_field_names, ("idd", StrSubclass("Zone"))),
    ],
)
def test_lookup_arguments_of_wrong_type_raise_type_error(function, args):
    idd = IDD.from_string(CLASSES)
    with pytest.raises(TypeError):
        function(*(idd if arg == "idd" else arg for arg in args))


@pytest.mark.parametrize("add_units", [1, "no", [0], 0, "", None, []])
def test_add_units_is_taken_by_truth_value(add_units):
    expected = "Height {m}" if add_units else "Height"
    assert debug_get_field_name(IDD.from_string(CLASSES), "Zone", 1, add_units) == expected


# ---------------------------------------------------------------------------
# Real schemas (skipped when the files are absent)
# ---------------------------------------------------------------------------

DATA_DIR = pathlib.Path(__file__).resolve().parents[1] / ".." / "shared" / "data"

# Read off the files' text: the \default of the Version class's field (the 8.0
# file still says 7.0), the count of class headings ("Name," outside comments,
# some of them indented), and where the branch class's repeating group starts
# ("Component 1 Object Type") and its size (\extensible:5 and \extensible:4).
REAL_SCHEMAS = {
    "Energy+V8_0_0.idd": {"version": "7.0", "num_classes": 689, "branch_begin": 3, "branch_size": 5},
    "Energy+V8_8_0.idd": {"version": "8.8", "num_classes": 789, "branch_begin": 2, "branch_size": 4},
}
ZONE_FIELDS = [
    "Name", "Direction of Relative North", "X Origin", "Y Origin", "Z Origin", "Type", "Multiplier",
    "Ceiling Height", "Volume", "Floor Area", "Zone Inside Convection Algorithm",
    "Zone Outside Convection Algorithm", "Part of Total Floor Area",
]
MATERIAL_FIELDS = [
    "Name", "Roughness", "Thickness", "Conductivity", "Density", "Specific Heat",
    "Thermal Absorptance", "Solar Absorptance", "Visible Absorptance",
]
SURFACE_FIELDS = [
    "Name", "Surface Type", "Construction Name", "Zone Name", "Outside Boundary Condition",
    "Outside Boundary Condition Object", "Sun Exposure", "Wind Exposure", "View Factor to Ground",
    "Number of Vertices", "Vertex 1 X-coordinate", "Vertex 1 Y-coordinate", "Vertex 1 Z-coordinate",
]
_loaded = {}


@pytest.fixture(params=sorted(REAL_SCHEMAS))
def real(request):
    path = DATA_DIR / request.param
    if not path.is_file():
        pytest.skip(f"{path} is absent")
    if request.param not in _loaded:
        _loaded[request.param] = IDD.from_file(path)
    return _loaded[request.param], REAL_SCHEMAS[request.param]


def test_real_schema_classes_and_fields(real):
    idd, facts = real
    assert (idd.version, idd.num_classes) == (facts["version"], facts["num_classes"])
    assert idd.get_class_name(0) == "Version"
    assert idd.get_class_name(idd.num_classes - 1) == "Output:PreprocessorMessage"
    assert idd._get_field_names("Zone") == ZONE_FIELDS
    assert idd._get_field_names("MATERIAL") == MATERIAL_FIELDS
    assert name_of(idd, "Zone", 1) == "Direction of Relative North {deg}"
    assert name_of(idd, "Material", 3) == "Conductivity {W/m-K}"
    assert name_of(idd, "Material", 1) == "Roughness"
    assert find(idd, "zone", "floor area") == 9


def test_real_schema_surface_vertices(real):
    idd, _ = real
    cls = "BuildingSurface:Detailed"
    assert idd._get_field_names(cls) == SURFACE_FIELDS
    assert find(idd, cls, "Number of Vertices") == 9
    for group in (1, 10, 120):
        for k, axis in enumerate("XYZ"):
            index, name = 10 + (group - 1) * 3 + k, f"Vertex {group} {axis}-coordinate"
            assert (name_of(idd, cls, index, False), name_of(idd, cls, index)) == (name, name + " {m}")
            assert find(idd, cls, name) == find(idd, cls, name.upper()) == index
    assert find(idd, cls, "Vertex 10 X-coordinate {m}") == find(idd, cls, "Vertex 0 X-coordinate") == -1


def test_real_schema_branch_components(real):
    idd, facts = real
    begin, size = facts["branch_begin"], facts["branch_size"]
    parts = ["Object Type", "Name", "Inlet Node Name", "Outlet Node Name"]
    stored = idd._get_field_names("Branch")
    assert len(stored) == begin + size
    assert stored[begin:begin + 4] == [f"Component 1 {part}" for part in parts]
    for group in (1, 2, 7):
        for k, part in enumerate(parts):
            index, name = begin + (group - 1) * size + k, f"Component {group} {part}"
            assert (find(idd, "Branch", name), name_of(idd, "Branch", index)) == (index, name)
