"""Tests of tarvix.idf.IDFObject field access: the constructor, key
resolution (indices, field names, repeating-group names), typed reads, writes
and their text rules, update(), iteration, and how writes keep the document's
references current."""

import decimal
import locale
import math

import pytest

from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject

SCHEMA = """\
Version,
  A1 ; \\field Version Identifier
Note,
  \\extensible:1
  A1 ; \\field Line 1
Zone,
  \\min-fields 2
  A1 , \\field Name
       \\reference ZoneNames
  N1 , \\field Multiplier
       \\type integer
  N2 , \\field Ceiling Height
       \\type real
       \\autocalculatable
  A2 ; \\field Floor Type
       \\type choice
       \\key Wood
BuildingSurface:Detailed,
  \\extensible:3
  A1 , \\field Name
  A2 , \\field Zone Name
       \\type object-list
       \\object-list ZoneNames
  N1 , \\field Vertex 1 X-coordinate
       \\begin-extensible
       \\type real
  N2 , \\field Vertex 1 Y-coordinate
       \\type real
  N3 ; \\field Vertex 1 Z-coordinate
       \\type real
Plant:Sizing,
  A1 , \\field Name
  N1 , \\field Count
       \\type integer
  N2 , \\field Flow Rate
       \\type real
       \\autosizable
  N3 , \\field Volume
       \\type real
       \\autocalculatable
  N4 , \\field Ratio
       \\type real
  N5 , \\field Stages
       \\type integer
       \\autosizable
       \\autocalculatable
  A2 ; \\field Node Name
       \\type node
"""
SURFACE = "BuildingSurface:Detailed"
DOCUMENT = f"""\
Zone,Z1;
Zone,Z2;
{SURFACE},S1,Z1;
{SURFACE},S2,z1,0,0,0;
{SURFACE},S3,Z2;
"""


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


@pytest.fixture
def doc(idd):
    idf = IDF.from_string(idd, DOCUMENT)
    return (*idf["Zone"], *idf[SURFACE])


def make(idd, class_name, values=()):
    obj = IDFObject(idd, class_name)
    obj.update(list(values))
    return obj


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b


# ---------------------------------------------------------------------------
# Constructor
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, class_name, values",
    [("Zone", "Zone", ["", None]), ("ZONE", "Zone", ["", None]), ("plant:SIZING", "Plant:Sizing", []),
     (SURFACE.lower(), SURFACE, [])],
)
def test_constructor_makes_a_detached_object(idd, name, class_name, values):
    obj = IDFObject(idd, name)
    assert obj.class_name == class_name and obj.get_values() == values
    assert IDFObject(idd=idd, class_name=name).class_name == class_name
    assert IDFObject.__init__.__doc__ == "Python-level initialization"
    with pytest.raises(AttributeError):
        obj.class_name = "Zone"


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("IDD",), TypeError, None), (("IDD", "Zone", 1), TypeError, None), ((None, "Zone"), TypeError, None),
        (("schema", "Zone"), TypeError, None), (("IDD", b"Zone"), TypeError, None),
        (("IDD", None), AttributeError, "'NoneType' object has no attribute 'encode'"),
        (("IDD", "Zonee"), ValueError, "Unknown class: 'Zonee'"),
        (("IDD", " Zone"), ValueError, "Unknown class: ' Zone'"), (("IDD", ""), ValueError, "Unknown class: ''"),
    ],
)
def test_constructor_errors(idd, args, error, message):
    with pytest.raises(error) as info:
        IDFObject(*[idd if a == "IDD" else a for a in args])
    if message is not None:
        assert str(info.value) == message


# ---------------------------------------------------------------------------
# Keys
# ---------------------------------------------------------------------------

OUT_OF_RANGE = "Index {} out of range. 'Zone' has max 4 fields."
NOT_FOUND = "Field '{}' not found in class '{}'."
NEGATIVE = "Field index should be >= 0."


@pytest.mark.parametrize(
    "class_name, key, error, message",
    [
        ("Zone", -1, KeyError, NEGATIVE), ("Zone", -2**100, KeyError, NEGATIVE), (SURFACE, -1, KeyError, NEGATIVE),
        ("Zone", 2**31, OverflowError, None), ("Zone", 2**63, OverflowError, None),
        ("Zone", 2**100, OverflowError, None), (SURFACE, 2**31, OverflowError, None),
        ("Zone", 4, IndexError, OUT_OF_RANGE.format(4)),
        ("Zone", 2**31 - 1, IndexError, OUT_OF_RANGE.format(2**31 - 1)),
        ("Zone", "Height", KeyError, NOT_FOUND.format("Height", "Zone")),
        ("Zone", "name ", KeyError, NOT_FOUND.format("name ", "Zone")),
        ("Zone", "", KeyError, NOT_FOUND.format("", "Zone")),
        (SURFACE, "Vertex 0 X-coordinate", KeyError, NOT_FOUND.format("Vertex 0 X-coordinate", SURFACE)),
        ("Zone", 1.5, TypeError, "Invalid key type: float. Expected int or str"),
        ("Zone", None, TypeError, "Invalid key type: NoneType. Expected int or str"),
        ("Zone", b"Name", TypeError, "Invalid key type: bytes. Expected int or str"),
        ("Zone", slice(0, 2), TypeError, "Invalid key type: slice. Expected int or str"),
    ],
)
@pytest.mark.parametrize(
    "operation",
    [lambda o, k: o[k], lambda o, k: o.__setitem__(k, "7"), lambda o, k: o.update({k: "7"}),
     lambda o, k: o.get_referenced_object(k), lambda o, k: o.get_referencing_objects(key=k)],
    ids=["get", "set", "update", "referenced", "referencing"],
)
def test_key_errors(idd, class_name, key, error, message, operation):
    obj = make(idd, class_name, ["N", "1"])
    with pytest.raises(error) as info:
        operation(obj, key)
    if message is not None:
        assert info.value.args[0] == message
    assert obj.get_values() == make(idd, class_name, ["N", "1"]).get_values()


@pytest.mark.parametrize(
    "class_name, key, index",
    [("Zone", 0, 0), ("Zone", True, 1), ("Zone", "MULTIPLIER", 1), ("Zone", "floor type", 3), ("Zone", 3, 3),
     (SURFACE, "zone name", 1), (SURFACE, "Vertex 1 X-coordinate", 2), (SURFACE, "vertex 2 z-COORDINATE", 7),
     (SURFACE, "Vertex 10 X-coordinate", 29), (SURFACE, 31, 31), ("Note", "Line 12", 11)],
)
def test_keys_resolve_to_indices(idd, class_name, key, index):
    obj = IDFObject(idd, class_name)
    obj[key] = "7"
    assert obj.get_values()[index] in ("7", 7, 7.0) and len(obj.get_values()) == index + 1
    assert same(obj[index], obj[key])


def test_extensible_class_accepts_any_index(idd):
    surface = make(idd, SURFACE, ["S1", "Z1"])
    assert surface[2**31 - 1] is None and surface["Vertex 715827882 Z-coordinate"] is None
    assert surface.get_values() == ["S1", "Z1"] and IDFObject(idd, "Note")[2**31 - 1] == ""


# ---------------------------------------------------------------------------
# Typed reads
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "key, text, expected",
    [
        ("Count", "12", 12), ("Count", " 7", 7), ("Count", "\t8", 8), ("Count", "+3", 3), ("Count", "-4", -4),
        ("Count", "007", 7), ("Count", "12.5", "12.5"), ("Count", "12 ", "12 "), ("Count", "1e3", "1e3"),
        ("Count", "0x10", "0x10"), ("Count", "abc", "abc"), ("Count", "+", "+"), ("Count", " ", " "),
        ("Count", "12\x00", "12\x00"), ("Count", "autosize", "autosize"),
        # Values beyond the 64-bit range read as the exact integer (intended: no clamping).
        ("Count", "99999999999999999999", 99999999999999999999),
        ("Count", "-99999999999999999999", -99999999999999999999),
        ("Flow Rate", "1e3", 1000.0), ("Flow Rate", " 1.5", 1.5), ("Flow Rate", "-2.5E-1", -0.25),
        ("Flow Rate", ".5", 0.5), ("Flow Rate", "5.", 5.0), ("Flow Rate", "0x1p3", 8.0),
        ("Flow Rate", "0X1A", 26.0), ("Flow Rate", "inf", math.inf), ("Flow Rate", "-Infinity", -math.inf),
        ("Flow Rate", "NaN", math.nan), ("Flow Rate", "+INF", math.inf), ("Flow Rate", "abc", "abc"),
        ("Flow Rate", "1.5x", "1.5x"), ("Flow Rate", "1_0", "1_0"), ("Flow Rate", "1.5\x00", "1.5\x00"),
        ("Flow Rate", "AUTOSIZE", "Autosize"), ("Flow Rate", "AutoSize", "Autosize"),
        ("Flow Rate", "autosize ", "autosize "), ("Flow Rate", "autocalculate", "autocalculate"),
        ("Volume", "autocalculate", "Autocalculate"), ("Volume", "AUTOCALCULATE", "Autocalculate"),
        ("Volume", "autosize", "autosize"), ("Ratio", "AUTOSIZE", "AUTOSIZE"), ("Ratio", "1e400", math.inf),
        ("Stages", "autosize", "Autosize"), ("Stages", "AutoCalculate", "Autocalculate"), ("Stages", "3", 3),
        ("Name", "12", "12"), ("Name", "Autosize", "Autosize"), ("Node Name", "1.5", "1.5"),
    ],
)
def test_typed_reads(idd, key, text, expected):
    obj = IDFObject(idd, "Plant:Sizing")
    obj[key] = text
    assert same(obj[key], expected)
    assert same(obj.get_values()[-1], expected)


@pytest.mark.parametrize(
    "class_name, values, expected",
    [
        ("Plant:Sizing", [], ["", None, None, None, None, None, ""]),
        ("Zone", ["Z1", "", "AUTOCALCULATE", "wOOD"], ["Z1", None, "Autocalculate", "wOOD"]),
        (SURFACE, ["S1", "", "1", "2.5", "-3", "4"], ["S1", "", 1.0, 2.5, -3.0, 4.0, None, None]),
        ("Note", ["1", "", "x"], ["1", "", "x"]),
    ],
)
def test_reads_by_index_and_get_values(idd, class_name, values, expected):
    obj = make(idd, class_name, values)
    assert all(same(obj[i], e) for i, e in enumerate(expected))
    got = obj.get_values()
    assert len(got) == len(values) and all(same(g, e) for g, e in zip(got, expected))
    got.append("x")
    assert len(obj.get_values()) == len(values)
    with pytest.raises(TypeError):
        obj.get_values(0)


def test_reads_do_not_depend_on_the_locale(idd):
    old = locale.setlocale(locale.LC_ALL)
    for name in ("de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "German_Germany.1252"):
        try:
            locale.setlocale(locale.LC_ALL, name)
            break
        except locale.Error:
            continue
    else:
        pytest.skip("no locale with a decimal comma is installed")
    try:
        assert locale.localeconv()["decimal_point"] == ","
        obj = make(idd, "Plant:Sizing", ["n", "2", "1.5", "0x1p-1", "1e3", " -7"])
        assert obj.get_values() == ["n", 2, 1.5, 0.5, 1000.0, -7]
    finally:
        locale.setlocale(locale.LC_ALL, old)


# ---------------------------------------------------------------------------
# Writes
# ---------------------------------------------------------------------------


class Text:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class EqualsEmpty:
    def __eq__(self, other):
        return other == ""

    def __str__(self):
        return "never used"


class Failing:
    def __eq__(self, other):
        raise ZeroDivisionError("eq")

    def __bool__(self):
        raise ZeroDivisionError("bool")


@pytest.mark.parametrize(
    "value, stored",
    [(True, "Yes"), (False, "No"), (0.1, "0.1"), (1e20, "1e+20"), (-5, "-5"), (2**63 - 1, "9223372036854775807"),
     (-2**63, "-9223372036854775808"), ("zöne", "zöne"), (decimal.Decimal("1.50"), "1.50"), ([1], "[1]"),
     (Text("custom"), "custom"), (EqualsEmpty(), None), (None, None), ("", None)],
)
def test_written_text(idd, value, stored):
    obj = make(idd, "Note", ["a", "b"])
    obj[1] = value
    assert obj.get_values() == (["a"] if stored is None else ["a", stored])


@pytest.mark.parametrize(
    "value, error",
    [(2**64, OverflowError), (-2**63 - 1, OverflowError), ("\ud800", UnicodeEncodeError),
     (Text(None), TypeError), (Failing(), ZeroDivisionError)],
)
def test_values_that_cannot_be_written(idd, value, error):
    obj = make(idd, "Note", ["a", "b"])
    for write in (lambda: obj.__setitem__(1, value), lambda: obj.update([value]), lambda: obj.update({5: value})):
        with pytest.raises(error):
            write()
        assert obj.get_values() == ["a", "b"]


@pytest.mark.parametrize(
    "value, shown",
    [("a,b", "'a,b'"), ("a;", "'a;'"), ("x ! note", "'x ! note'"), ("a\nb", "'a\\nb'"), ("\r", "'\\r'"),
     ("it's,", "\"it's,\""), ((1, 2), "'(1, 2)'"), (Text("1;2"), "'1;2'")],
)
def test_values_that_would_break_the_document_are_refused(doc, value, shown):
    z1, _, s1, s2, _ = doc
    message = "Field value cannot contain ',', ';', '!' or a line break: " + shown
    for write in (lambda: z1.__setitem__("Name", value), lambda: z1.update([value]),
                  lambda: z1.update({"name": value}), lambda: z1.__setitem__(3, value)):
        with pytest.raises(ValueError) as info:
            write()
        assert str(info.value) == message
        assert z1.get_values() == ["Z1"] and z1.get_referencing_objects(0) == (s1, s2)


def test_writes_grow_and_trim(idd):
    note = make(idd, "Note", ["a", "b"])
    note[5] = ""
    assert note.get_values() == ["a", "b"]
    note["Line 6"] = "x"
    assert note.get_values() == ["a", "b", "", "", "", "x"]
    note[5] = None
    assert note.get_values() == ["a", "b"]
    note[0] = None
    assert note.get_values() == ["", "b"]
    note[1] = ""
    assert note.get_values() == []
    zone = IDFObject(idd, "Zone")
    zone["Ceiling Height"] = 2.5
    assert zone.get_values() == ["", None, 2.5]


@pytest.mark.parametrize("key", [0, "Name", 99, "nope", 1.5])
def test_deletion_is_refused(idd, key):
    zone = make(idd, "Zone", ["Z1"])
    with pytest.raises(NotImplementedError) as info:
        del zone[key]
    assert str(info.value) == "Subscript deletion not supported by tarvix.idf.IDFObject"
    assert zone.get_values() == ["Z1"]


# ---------------------------------------------------------------------------
# update()
# ---------------------------------------------------------------------------


class ListSub(list):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((["a", None, "c"],), {}, ["a", "", "c", "w"]), (({"Line 2": "b", 0: "a"},), {}, ["a", "b", "z", "w"]),
        # two keys naming one field: the later one wins
        (({0: "a", "line 1": "b"},), {}, ["b", "y", "z", "w"]),
        (({"Line 9": "x"},), {}, ["x0", "y", "z", "w", "", "", "", "", "x"]),
        ((ListSub(["q"]),), {}, ["q", "y", "z", "w"]), ((DictSub({3: None}),), {}, ["x0", "y", "z"]),
        (([None] * 4,), {}, []), (([None] * 4,), {"trim_empty_trails": False}, ["", "", "", ""]),
        (([],), {"trim_empty_trails": 0}, ["x0", "y", "z", "w"]),
        ((), {"values": {"Line 3": ""}, "trim_empty_trails": True}, ["x0", "y", "", "w"]),
        ((None,), {}, ["x0", "y", "z", "w"]), ((None, True), {}, ["x0", "y", "z", "w"]),
    ],
)
def test_update(idd, args, kwargs, expected):
    note = make(idd, "Note", ["x0", "y", "z", "w"])
    assert note.update(*args, **kwargs) is None
    assert note.get_values() == expected


def test_update_trims_only_when_it_writes(idd):
    zone = IDFObject(idd, "Zone")
    zone.update(None)
    assert zone.get_values() == ["", None]
    zone.update([])
    assert zone.get_values() == []


@pytest.mark.parametrize(
    "args, error, message",
    [
        (({"Name": "new", "Height": 1},), KeyError, NOT_FOUND.format("Height", "Zone")),
        ((["a", "1", "2", "Wood", "x"],), IndexError, OUT_OF_RANGE.format(4)),
        ((("a",),), TypeError, "Invalid values type: tuple. Expected list or dict"),
        (("a",), TypeError, "Invalid values type: str. Expected list or dict"),
        (({"a"},), TypeError, "Invalid values type: set. Expected list or dict"),
        ((["a"], Failing()), ZeroDivisionError, "bool"), ((), TypeError, None), ((["a"], True, 1), TypeError, None),
    ],
)
def test_update_errors_change_nothing(idd, args, error, message):
    zone = make(idd, "Zone", ["Z1", "2"])
    with pytest.raises(error) as info:
        zone.update(*args)
    if message is not None:
        assert info.value.args[0] == message
    assert zone.get_values() == ["Z1", 2]


def test_update_stops_at_the_first_refused_value(idd):
    note = make(idd, "Note", ["x", "y", "z"])
    with pytest.raises(ValueError):
        note.update(["ok", "a;b", "c"])
    assert note.get_values() == ["ok", "y", "z"]


# ---------------------------------------------------------------------------
# References follow writes
# ---------------------------------------------------------------------------


def test_renaming_a_zone(doc):
    z1, z2, s1, s2, s3 = doc
    assert z1.get_referencing_objects("Name") == (s1, s2) and s2.get_referenced_object(1) is z1
    z1["Name"] = "Z9"
    assert z1.get_referencing_objects("Name") == () and s1.get_referenced_object("Zone Name") is None
    s1["Zone Name"] = "z9"
    assert z1.get_referencing_objects("Name") == (s1,) and s1.get_referenced_object("Zone Name") is z1
    s2.update({"Zone Name": "Z9"})
    assert z1.get_referencing_objects(0) == (s1, s2)
    z2.update(["Z9"])
    assert s3.get_referenced_object(1) is None and z2.get_referencing_objects(0) == (s1, s2)


def test_writing_the_same_name_again_registers_once(doc):
    z1, z2, s1, s2, s3 = doc
    for text in ("Z2", "Z2", "z2", "Z2"):
        s3["Zone Name"] = text
    s1.update({1: "Z2"})
    s1.update({"Zone Name": "Z2"})
    assert z2.get_referencing_objects("Name") == (s3, s1)
    assert z1.get_referencing_objects("Name") == (s2,)


def test_cleared_and_unmatched_names(doc):
    z1, z2, s1, s2, s3 = doc
    s1["Zone Name"] = None
    s2["Zone Name"] = "Z1 "
    s3["Name"] = "Z2"
    assert z1.get_referencing_objects(0) == () and z2.get_referencing_objects(0) == (s3,)
    assert s1.get_referenced_object(1) is None and s2.get_referenced_object(1) is None
    assert s3.get_referenced_object("Name") is None and s3.get_referenced_object(40) is None


def test_detached_objects_register_nothing(idd, doc):
    z1, _, s1, s2, _ = doc
    surface = IDFObject(idd, SURFACE)
    surface.update(["S9", "Z1"])
    zone = make(idd, "Zone", ["Z1"])
    assert surface.get_referenced_object("Zone Name") is None and zone.get_referencing_objects(0) == ()
    assert z1.get_referencing_objects(0) == (s1, s2)


# ---------------------------------------------------------------------------
# Iteration
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("Zone,Z1;", ["Z1", None, None, ""]),
        ("Zone,Z1,2,3.5,Wood,extra,7;", ["Z1", 2, 3.5, "Wood"]),
        (f"{SURFACE},S1,Z1;", ["S1", "Z1", None, None, None]),
        (f"{SURFACE},S1,Z1,1,2,3,4,5,6;", ["S1", "Z1", 1.0, 2.0, 3.0, 4.0, 5.0, 6.0]),
        ("Note;", [""]),
        ("Note,a,,c;", ["a", "", "c"]),
    ],
)
def test_iteration(idd, text, expected):
    idf = IDF.from_string(idd, text)
    (obj,) = idf[text.split(",")[0].rstrip(";")]
    assert list(obj) == expected and [v for v in obj] == expected
    assert expected[0] in obj and "missing" not in obj
    with pytest.raises(TypeError):
        len(obj)


# ---------------------------------------------------------------------------
# Objects that were never initialised
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "operation",
    [lambda o: o[0], lambda o: o["Name"], lambda o: o.__setitem__(0, 1), lambda o: o.get_values(),
     lambda o: o.update(["a"]), lambda o: list(o), lambda o: "a" in o, lambda o: o.get_referenced_object(0),
     lambda o: o.get_referencing_objects(0)],
    ids=["get", "get-name", "set", "get_values", "update", "iterate", "contains", "referenced", "referencing"],
)
def test_never_initialised_object(operation):
    obj = IDFObject.__new__(IDFObject)
    assert obj.class_name is None
    with pytest.raises(RuntimeError, match="not initialized"):
        operation(obj)


def test_initialising_later(idd):
    obj = IDFObject.__new__(IDFObject)
    obj.__init__(idd, "zone")
    obj["Name"] = "Z1"
    assert (obj.class_name, obj.get_values()) == ("Zone", ["Z1"])
