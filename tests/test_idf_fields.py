"""Tests of tarvix.idf.IDFObject field access: the constructor, keys (indices,
field names, repeating-group names), typed reads, writes and their text rules,
update(), iteration, and how writes keep the document's references current."""

import decimal
import locale
import math

import pytest

from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject
from test_idf_load import SCHEMA

FORBIDDEN = "Field value cannot contain ',', ';', '!' or a line break: "
OUT_OF_RANGE = "Index {} out of range. 'Zone' has max 4 fields."
NOT_FOUND = "Field '{}' not found in class '{}'."


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


@pytest.fixture
def doc(idd):
    """(document, Z1, Z2, S1, S2, S3): S1 and S2 name Z1, S3 names Z2."""
    idf = IDF.from_string(idd, "Zone,Z1;\nZone,Z2;\nSurface,S1,,Z1;\nSurface,S2,,z1;\nSurface,S3,,Z2;\n")
    return (idf, *idf["Zone"], *idf["Surface"])


def make(idd, class_name, values=()):
    obj = IDFObject(idd, class_name)
    obj.update(list(values))
    return obj


def same(a, b):
    return type(a) is type(b) and (a == b or a != a and b != b)  # NaN reads as NaN


class Text:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class Failing:
    def __eq__(self, other):
        raise ZeroDivisionError("eq")

    def __bool__(self):
        raise ZeroDivisionError("bool")


class EqualsEmpty:
    def __eq__(self, other):
        return other == ""

    def __str__(self):
        return "never used"


# --- Constructor and keys (argument types: test_idf_collections.py) ----------


def test_constructor_makes_a_detached_object(idd):
    obj = IDFObject(idd, "ZONE")
    assert obj.class_name == "Zone" and obj.get_values() == ["", None]  # min-fields, no defaults
    assert IDFObject(idd=idd, class_name="plant:SIZING").class_name == "Plant:Sizing"
    with pytest.raises(AttributeError):
        obj.class_name = "Zone"
    for name in ("Zonee", " Zone"):
        with pytest.raises(ValueError) as info:
            IDFObject(idd, name)
        assert str(info.value) == f"Unknown class: '{name}'"


@pytest.mark.parametrize(
    "class_name, key, error, message",
    [
        ("Zone", -1, KeyError, "Field index should be >= 0."),
        # Below the signed 64-bit range: the conversion to a C long fails first.
        ("Surface", -2**100, OverflowError, "Python int too large to convert to C long"),
        ("Zone", 2**63, OverflowError, None), ("Surface", 2**31, OverflowError, None),
        ("Zone", 4, IndexError, OUT_OF_RANGE.format(4)),
        ("Zone", "name ", KeyError, NOT_FOUND.format("name ", "Zone")),
        ("Surface", "Vertex 0 X", KeyError, NOT_FOUND.format("Vertex 0 X", "Surface")),
        ("Zone", 1.5, TypeError, "Invalid key type: float. Expected int or str"),
    ],
)
def test_key_errors(idd, class_name, key, error, message):
    attached = IDF.from_string(idd, f"{class_name},N,1;")[class_name][0]
    for obj in (attached, make(idd, class_name, ["N", "1"])):
        before = obj.get_values()
        for operation in (lambda: obj[key], lambda: obj.__setitem__(key, "7"), lambda: obj.update({key: "7"}),
                          lambda: obj.get_referenced_object(key), lambda: obj.get_referencing_objects(key=key)):
            with pytest.raises(error) as info:
                operation()
            assert message is None or info.value.args[0] == message
            assert obj.get_values() == before


@pytest.mark.parametrize(
    "class_name, key, index",
    [("Zone", True, 1), ("Zone", "MULTIPLIER", 1), ("Zone", 3, 3), ("Surface", "zone name", 2),
     ("Surface", "vertex 2 z", 9), ("Surface", "Vertex 10 X", 31), ("Surface", 40, 40), ("Note", "Line 12", 11)],
)
def test_keys_resolve_to_indices(idd, class_name, key, index):
    obj = IDFObject(idd, class_name)
    obj[key] = "7"
    assert obj.get_values()[index] in ("7", 7, 7.0) and len(obj.get_values()) == index + 1
    assert same(obj[index], obj[key])


def test_extensible_class_accepts_any_index(idd):
    surface = make(idd, "Surface", ["S1"])
    assert surface[2**31 - 1] is None and surface["Vertex 715827882 X"] is None and surface.get_values() == ["S1"]
    assert IDFObject(idd, "Note")[2**31 - 1] == ""


# --- Typed reads: the C locale's number rules over the whole text ------------


@pytest.mark.parametrize(
    "key, text, expected",
    [
        ("Count", "\t+7", 7), ("Count", "-007", -7), ("Count", "12.5", "12.5"), ("Count", "12 ", "12 "),
        ("Count", "0x10", "0x10"), ("Count", "12\x00", "12\x00"),
        # Values beyond the 64-bit range read as the exact integer (intended: no clamping).
        ("Count", "99999999999999999999", 99999999999999999999),
        ("Count", "-99999999999999999999", -99999999999999999999),
        ("Flow Rate", " -2.5E-1", -0.25), ("Flow Rate", "0x1p3", 8.0),
        ("Flow Rate", "-Infinity", -math.inf), ("Flow Rate", "NaN", math.nan), ("Flow Rate", "1e400", math.inf),
        ("Flow Rate", "1.5x", "1.5x"), ("Flow Rate", "1_0", "1_0"), ("Flow Rate", "1.5\x00", "1.5\x00"),
        ("Flow Rate", "AutoSize", "Autosize"), ("Flow Rate", "autosize ", "autosize "),
        ("Flow Rate", "autocalculate", "autocalculate"), ("Volume", "AUTOCALCULATE", "Autocalculate"),
        ("Volume", "autosize", "autosize"), ("Stages", "autosize", "Autosize"), ("Node Name", "1.5", "1.5"),
    ],
)
def test_typed_reads(idd, key, text, expected):
    obj = IDFObject(idd, "Plant:Sizing")
    obj[key] = text
    assert same(obj[key], expected) and same(obj.get_values()[-1], expected)


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
        assert make(idd, "Plant:Sizing", ["2", "1.5", "0x1p-1", " -7"]).get_values() == [2, 1.5, 0.5, -7]
    finally:
        locale.setlocale(locale.LC_ALL, old)


# --- Writes and update() -----------------------------------------------------


@pytest.mark.parametrize(
    "value, stored",
    [(True, "Yes"), (False, "No"), (0.1, "0.1"), (1e20, "1e+20"), (-2**63, "-9223372036854775808"),
     (decimal.Decimal("1.50"), "1.50"), (Text("custom"), "custom"), (EqualsEmpty(), None), (None, None), ("", None)],
)
def test_written_text(idd, value, stored):
    obj = make(idd, "Note", ["a", "b"])
    obj[1] = value
    assert obj.get_values() == (["a"] if stored is None else ["a", stored])


@pytest.mark.parametrize(
    "value, error",
    [(2**64, OverflowError), ("\ud800", UnicodeEncodeError), (Text(None), TypeError), (Failing(), ZeroDivisionError)],
)
def test_values_that_cannot_be_written(idd, value, error):
    obj = make(idd, "Note", ["a", "b"])
    for write in (lambda: obj.__setitem__(1, value), lambda: obj.update([value]), lambda: obj.update({5: value})):
        with pytest.raises(error):
            write()
        assert obj.get_values() == ["a", "b"]


@pytest.mark.parametrize("value", ["a,b", "a;", "x ! note", "a\nb", "\r", "it's,", Text("1;2")])
def test_values_that_would_break_the_document_are_refused(doc, value):
    idf, z1, _, s1, s2, _ = doc
    for write in (lambda: z1.__setitem__("Name", value), lambda: z1.update({"name": value}),
                  lambda: z1.__setitem__(3, value), lambda: idf.add_object("Zone", {"Name": value})):
        with pytest.raises(ValueError) as info:
            write()
        assert str(info.value) == FORBIDDEN + repr(str(value))
        assert z1.get_values() == ["Z1"] and z1.get_referencing_objects(0) == (s1, s2)
    with pytest.raises(ValueError):
        z1.update(["Z0", "2", value, "Wood"])  # update stops at the refused value
    assert z1.get_values() == ["Z0", 2]


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
    zone.update(None)  # update trims only when it writes
    assert zone.get_values() == ["", None]
    zone.update([])
    assert zone.get_values() == []
    zone["Ceiling Height"] = 2.5
    with pytest.raises(NotImplementedError) as info:
        del zone[0]
    assert str(info.value) == "Subscript deletion not supported by tarvix.idf.IDFObject"
    assert zone.get_values() == ["", None, 2.5]


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((["a", None, "c"],), {}, ["a", "", "c", "w"]), (({"Line 2": "b", 0: "a"},), {}, ["a", "b", "z", "w"]),
        (({0: "a", "line 1": "b"},), {}, ["b", "y", "z", "w"]),  # two keys naming one field: the later one wins
        (({"Line 9": "x"},), {}, ["x0", "y", "z", "w", "", "", "", "", "x"]),
        (({3: None},), {}, ["x0", "y", "z"]), (([None] * 4,), {}, []),
        (([None] * 4,), {"trim_empty_trails": False}, ["", "", "", ""]),
        ((), {"values": {"Line 3": ""}, "trim_empty_trails": True}, ["x0", "y", "", "w"]),
    ],
)
def test_update(idd, args, kwargs, expected):
    note = make(idd, "Note", ["x0", "y", "z", "w"])
    assert note.update(*args, **kwargs) is None
    assert note.get_values() == expected


@pytest.mark.parametrize(
    "args, error, message",
    [
        (({"Name": "new", "Height": 1},), KeyError, NOT_FOUND.format("Height", "Zone")),
        ((["a", "1", "2", "Wood", "x"],), IndexError, OUT_OF_RANGE.format(4)),
        ((("a",),), TypeError, "Invalid values type: tuple. Expected list or dict"),
        (("a",), TypeError, "Invalid values type: str. Expected list or dict"),
        ((["a"], Failing()), ZeroDivisionError, "bool"),
    ],
)
def test_update_errors_change_nothing(idd, args, error, message):
    zone = make(idd, "Zone", ["Z1", "2"])
    with pytest.raises(error) as info:
        zone.update(*args)
    assert info.value.args[0] == message and zone.get_values() == ["Z1", 2]


# --- References follow writes ------------------------------------------------


def test_writes_keep_references_current(idd, doc):
    _, z1, z2, s1, s2, s3 = doc
    assert z1.get_referencing_objects("Name") == (s1, s2) and s2.get_referenced_object(2) is z1
    z1["Name"] = "Z9"
    assert z1.get_referencing_objects("Name") == () and s1.get_referenced_object("Zone Name") is None
    s1["Zone Name"] = "z9"
    assert z1.get_referencing_objects("Name") == (s1,) and s1.get_referenced_object("Zone Name") is z1
    s2.update({"Zone Name": "Z9"})
    z2.update(["Z9"])  # a second zone of that name: the first one keeps answering
    assert s3.get_referenced_object(2) is None and z2.get_referencing_objects(0) == (s1, s2)
    # writing the same name again registers once; another spelling re-registers at the end
    for text in ("Z9", "Z9", "z9"):
        s3["Zone Name"] = text
    assert z1.get_referencing_objects("Name") == (s1, s2, s3)
    s1.update({2: "Z9"})  # unregistered (the last entry fills the gap), then registered at the end
    s1.update({"Zone Name": "Z9"})
    assert z1.get_referencing_objects("Name") == (s3, s2, s1)
    # cleared, unmatched and untagged values link nothing
    s1["Zone Name"] = None
    s2["Zone Name"] = "Z9 "
    s3["Name"] = "Z9"
    assert z1.get_referencing_objects(0) == (s3,)
    assert s1.get_referenced_object(2) is s2.get_referenced_object(2) is s3.get_referenced_object("Name") is None
    # detached objects register nothing
    surface, zone = make(idd, "Surface", ["S9", "", "Z9"]), make(idd, "Zone", ["Z9"])
    assert surface.get_referenced_object("Zone Name") is None and zone.get_referencing_objects(0) == ()
    assert z1.get_referencing_objects(0) == (s3,)


# --- Reading every field: iteration ------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("Zone,Z1;", ["Z1", None, None, ""]), ("Plant:Sizing;", [None, None, None, None, ""]),
        ("Zone,Z1,2,AUTOCALCULATE,wOOD,extra,7;", ["Z1", 2, "Autocalculate", "wOOD"]),
        ("Surface,S1,,Z1;", ["S1", "", "Z1", "", None, "", None]),
        ("Surface,S1,,Z1,,1,2,3,4,5,6;", ["S1", "", "Z1", "", 1.0, "2", 3.0, 4.0, "5", 6.0]),
        ("Note;", [""]), ("Note,a,,c;", ["a", "", "c"]),
    ],
)
def test_iteration_and_get_values(idd, text, expected):
    """Iteration yields obj[i] over the class's fields, or over every stored value with a repeating group."""
    class_name, *values = text.rstrip(";").split(",")
    (obj,) = IDF.from_string(idd, text)[class_name]
    assert list(obj) == [obj[i] for i in range(len(expected))] == expected
    assert expected[0] in obj and "missing" not in obj
    got = obj.get_values()
    assert len(got) == len(values) and got[:len(expected)] == expected[:len(got)]
    got.append("x")  # a copy
    assert len(obj.get_values()) == len(values)
    with pytest.raises(TypeError):
        len(obj)


# --- Numbers -----------------------------------------------------------------


def test_an_integer_with_more_digits_than_the_interpreter_converts_reads_as_text(idd):
    digits = "7" * 5000
    zone = IDF.from_string(idd, f"Zone,Z1,{digits},2.5;")["Zone"][0]
    assert zone[1] == zone["Multiplier"] == digits
    assert zone.get_values() == ["Z1", digits, 2.5] and list(zone)[:3] == ["Z1", digits, 2.5]
    zone[1] = "-" + "9" * 30  # beyond 64 bits, within what the interpreter converts
    assert zone[1] == -int("9" * 30)
