"""Tests of tarvix.idd: the IDD class and its loaders, the schema parser and its errors, field lookup in base
fields and repeating groups, concurrent loading, module initialisation, and the real schemas in ../shared/data."""

import concurrent.futures
import copy
import json
import pathlib
import pickle
import sys
import threading

import pytest

from schema_samples import epjson_schema
from tarvix.idd import IDD, debug_find_field_index, debug_get_field_name
from tarvix.idf import IDF, IDFObject

INT32_MAX = 2**31 - 1
VERSION_SCHEMA = "Version,\n  A1 ; \\field Version Identifier\n      \\default 9.5\n"
CLASSES = "Zone,\n  A1, \\field Name\n  N1; \\field Height\n      \\units m\nZoné,\n  A1;\n"


class StrSubclass(str):
    pass


def class_names(idd):
    return [idd.get_class_name(i) for i in range(idd.num_classes)]


def find(idd, class_name, field_name):
    """debug_find_field_index, with -1 for "not found" (a ValueError without a message)."""
    try:
        return debug_find_field_index(idd, class_name, field_name)
    except ValueError as error:
        assert error.args == (), f"not-found error carries a message: {error!r}"
        return -1


def name_of(idd, class_name, index, add_units=True):
    return debug_get_field_name(idd, class_name, index, add_units)


def test_idd_class_surface():
    with pytest.raises(TypeError) as info:
        IDD()
    assert str(info.value) == IDD.__init__.__doc__ == "IDD cannot be instantiated directly. Use IDD.from_file()."
    assert "c_IDD" in IDD.__doc__ and IDD.num_classes.__doc__.strip() == "Total number of parsed classes"
    returns = ["Returns:", "IDD: parsed IDD data structure"]
    assert [[line.strip() for line in f.__doc__.splitlines() if line.strip()]
            for f in (IDD.from_file, IDD.from_string, IDD.get_class_name)] == [
        ["Parse IDD file", "Args:", "filepath (str | PathLike): IDD file path",
         "encoding (str, optional): IDD file encoding", *returns],
        ["Parse IDD file", "Args:", "content (str): IDF string", *returns],
        ["Get class name from index", "Args:", "index (int): class index", "Returns:", "str: class name"]]
    idd = IDD.from_string(content="A,X;B,Y;")
    for attribute in ("version", "num_classes"):
        with pytest.raises(AttributeError):
            setattr(idd, attribute, 1)
    assert (idd.version, class_names(idd)) == ("", ["A", "B"])
    for index in (-1, 2):
        with pytest.raises(IndexError, match=r"^Class index out of range\.$"):
            idd.get_class_name(index)
    with pytest.raises(TypeError):
        idd.get_class_name("0")


def test_never_loaded_idd_is_empty_and_no_idd_pickles():
    idd = IDD.__new__(IDD)
    assert (idd.num_classes, idd.version) == (0, None)
    with pytest.raises(IndexError, match=r"^Class index out of range\.$"):
        idd.get_class_name(0)
    for idd in (idd, IDD.from_string(VERSION_SCHEMA)):
        for refuse in (pickle.dumps, copy.deepcopy, lambda o: o.__reduce__(), lambda o: o.__setstate__({})):
            with pytest.raises(TypeError) as info:
                refuse(idd)
            assert str(info.value) == (
                "Pickling of struct members such as self.c_idd must be explicitly requested with @auto_pickle(True)")


def wrong(argument, got, expected="str"):
    return f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("call, error, message", [
    (lambda idd, p: IDD.from_string(b"Zone,A1;"), TypeError, wrong("content", "bytes")),
    (lambda idd, p: IDD.from_string(StrSubclass("Zone,A1;")), TypeError, wrong("content", "StrSubclass")),
    (lambda idd, p: IDD.from_string(None), AttributeError, "'NoneType' object has no attribute 'encode'"),
    (lambda idd, p: IDD.from_string("Zone\udcff,A1;"), UnicodeEncodeError, None),
    # the encoding is checked before the (missing) file is read
    (lambda idd, p: IDD.from_file(p, 42), TypeError, wrong("encoding", "int")),
    (lambda idd, p: IDD.from_file(p, StrSubclass("utf-8")), TypeError, wrong("encoding", "StrSubclass")),
    (lambda idd, p: find(None, "Zone", "Name"), TypeError, wrong("idd", "NoneType", "tarvix.idd.IDD")),
    (lambda idd, p: find(idd, b"Zone", "Name"), TypeError, wrong("class_name", "bytes")),
    (lambda idd, p: find(idd, "Zone", StrSubclass("Name")), TypeError, wrong("field_name", "StrSubclass")),
    (lambda idd, p: name_of("Zone", "Zone", 0), TypeError, wrong("idd", "str", "tarvix.idd.IDD")),
    (lambda idd, p: name_of(idd, StrSubclass("Zone"), 0), TypeError, wrong("class_name", "StrSubclass")),
    (lambda idd, p: name_of(idd, "Zone", 1.5), TypeError, None),
    (lambda idd, p: idd._get_field_names(b"Zone"), TypeError, wrong("class_name", "bytes")),
], ids=["content-bytes", "content-str-subclass", "content-None", "content-surrogate", "encoding-int",
        "encoding-str-subclass", "find-idd", "find-class", "find-field", "name-idd", "name-class", "name-index",
        "names-class"])
def test_arguments_of_wrong_type(tmp_path, call, error, message):
    with pytest.raises(error) as info:
        call(IDD.from_string(CLASSES), tmp_path / "missing.idd")
    assert type(info.value) is error and message in (None, str(info.value))


def test_from_file(tmp_path):
    path = tmp_path / "schema.idd"
    for name, encoding, bom in [(str(path), None, b""), (path, "UTF8", b"\xef\xbb\xbf"), (path, "latin-1", b"")]:
        path.write_bytes(bom + VERSION_SCHEMA.encode())
        for idd in (IDD.from_file(name, encoding), IDD.from_file(filepath=name, encoding=encoding)):
            assert (type(idd), idd.version, idd._get_field_names("Version")) == (IDD, "9.5", ["Version Identifier"])
    path.write_bytes("Zone,\n  A1; \\field Nom\xe9\n".encode("latin-1"))
    with pytest.raises(UnicodeError) as info:
        IDD.from_file(path)
    assert type(info.value) is UnicodeError and isinstance(info.value.__cause__, UnicodeDecodeError)
    assert str(info.value) == f"'{path}' cannot be read in UTF-8. Encoding needs to be specified."
    assert IDD.from_file(path, encoding="latin-1")._get_field_names("Zone") == ["Nom\xe9"]
    for name, encoding, error in [("missing.idd", None, FileNotFoundError), (".", None, IsADirectoryError),
                                  ("schema.idd", "no-such-codec", LookupError)]:
        with pytest.raises(error):
            IDD.from_file(tmp_path / name, encoding)


@pytest.mark.parametrize("text, version", [
    (VERSION_SCHEMA, "9.5"), ("Zone,\n  A1; \\default 9.5\n", ""), ("version,\n  A1; \\default 8.8\n", "8.8"),
    ("Version,\n  A1, \\default 1.0\n  A2; \\default 2.0\n", "1.0"),
    ("Version,\n  A1; \\default 1.0\nVERSION,\n  A1; \\default 2.0\n", "2.0"),
    ("Version,\n  A1; \\default 1.0\n      \\default 2.0\n", "2.0"),
    ("Version,\n  A1; \\default    8.8  ! comment\n", "8.8"),
    # the keyword needs a blank after it and is case-sensitive; a class property is not a field property
    ("Version,\n  A1; \\defaults 1.0\n  \\Default 1.0\n", ""), ("Version,\n  \\default 1.0\n  A1;\n", ""),
])
def test_version_is_default_of_first_field_of_version_class(text, version):
    assert IDD.from_string(text).version == version


def test_classes_keep_text_order_and_later_equal_key_wins():
    idd = IDD.from_string("Stray text\nZone,\n  A1, \\field Name\n  A2;\nMarker;\n  My  Zone  ,\n  A1;\n"
                          "ZONE,\n  A1, \\field Other\n  N1;\nZoné,A1;")
    assert class_names(idd) == ["Zone", "My  Zone", "ZONE", "Zoné"]
    assert (idd._get_field_names("zOnE"), idd._get_field_names("my  zone")) == (["Other", "N1"], ["A1"])
    # no class: empty text, comment and group lines only, names closed by a semicolon
    for idd in map(IDD.from_string, ("", "! only a comment\n\\group Simulation Parameters\n", "Marker;\nData;")):
        assert (idd.num_classes, idd.version) == (0, "")


@pytest.mark.parametrize("body, names", [
    ("A1, \\field Name\n  ,\n  N2;", ["Name", "", "N2"]),
    ("A1\n  A2;", ["A2"]),
    ("A1; \\field First\n  \\field    Two  Words   ! comment", ["Two  Words"]),
    ("A1, \\field Température, with; punctuation\n  A2;", ["Température, with; punctuation", "A2"]),
    # "\field" needs a blank after it and is case-sensitive
    ("A1, \\fieldName\n  A2; \\Field Name", ["A1", "A2"]),
    # class properties come before the first field identifier
    ("\\field Early\n  A1;", ["A1"]),
    # after the semicolon, property lines still belong to the last field
    ("A1;\n  \\field Late", ["Late"]),
    # group lines may stand anywhere without changing the current field
    ("\\group G1\n  A1,\n  \\group G2\n  \\field Name\n  A2;\n\\groupless", ["Name", "A2"]),
    ("A1, \\field Name\r\n  A2; \\field Other\r\n", ["Name", "Other"]),
])
def test_field_names(body, names):
    idd = IDD.from_string("\\group Top\nThing,\n  " + body + "\n")
    assert class_names(idd) == ["Thing"]
    assert idd._get_field_names("Thing") == names


def test_units_are_added_to_names_on_request():
    idd = IDD.from_string("Thing,\nN1, \\field Height\n\\ip-units ft\n\\units m\n\\minimum> 0\nN2, \\field Width\n"
                          "\\units    cm  ! comment\nN3, \\field Depth\n\\units\nN4, \\field Area\n\\units m2\n"
                          "\\units ft2\nN5; \\field Mass\n\\unitskg\n\\Units kg\n")
    assert idd._get_field_names("Thing") == ["Height", "Width", "Depth", "Area", "Mass"]
    assert [name_of(idd, "Thing", i) for i in range(5)] == ["Height {m}", "Width {cm}", "Depth", "Area {ft2}", "Mass"]
    # add_units is taken by truth value
    assert [name_of(idd, "Thing", 0, v) for v in (1, "no", [0], 0, "", None)] == ["Height {m}"] * 3 + ["Height"] * 3


ORPHANED = "Syntax error (Line {}): Orphaned property '{}' found before any class definition."
EMPTY_NAME = "IDD parsing error (Line {}): Empty class name."
NO_SEMICOLON = "IDD parsing error (Line {}): Unexpected EOF. Missing ';' at the end of class definition."


@pytest.mark.parametrize("text, message", [
    ("\\field X\nZone,\n  A1;\n", ORPHANED.format(1, "\\field X")),
    ("! comment\n\n  \\memo hé, there ! comment\nZone,\n  A1;", ORPHANED.format(3, "\\memo hé, there")),
    ("\\group G\n\\Group H\nZone,A1;", ORPHANED.format(2, "\\Group H")),
    ("Stray\n  \\units m\n", ORPHANED.format(2, "\\units m")),
    (",Zone,\n  A1;\n", EMPTY_NAME.format(1)), ("Zone,\n  A1;\n\n  ,\n", EMPTY_NAME.format(4)),
    ("Marker;\n,", EMPTY_NAME.format(2)), ("Zone", NO_SEMICOLON.format(1)),
    ("Zone,\n  A1,\n  A2\n", NO_SEMICOLON.format(3)), ("Zone,\n  A1,\n\n\n", NO_SEMICOLON.format(4)),
    ("Zone,\r\n  A1,\r\n  A2\r\n", NO_SEMICOLON.format(3)), ("Zone,\n  A1; Next\n", NO_SEMICOLON.format(2)),
    ("Zone,\n  A1;\nNext\n! trailing comment\n", NO_SEMICOLON.format(4)),
    # tokenizer errors give the repr of the tokenizer's message
    (b"Zo\xe9ne,\n  A1;\n", "IDD parsing error (Line 1): 'invalid UTF-8 byte 0xE9 at column 3'"),
    (b"Zone,\nA1,\nA2; \\field N\xc3(\n", "IDD parsing error (Line 3): 'invalid UTF-8 byte 0xC3 at column 13'"),
])
def test_parse_errors_give_line_of_offending_token(tmp_path, text, message):
    with pytest.raises(ValueError) as info:
        if isinstance(text, bytes):  # "utf-8" as encoding makes the reader pass the bytes on unchecked
            (tmp_path / "invalid.idd").write_bytes(text)
            IDD.from_file(tmp_path / "invalid.idd", "utf-8")
        else:
            IDD.from_string(text)
    assert type(info.value) is ValueError and str(info.value) == message


# A group of three whose start is marked with \begin-extensible: only the first group is stored and the
# later fields' properties are dropped. Unmarked, every field is stored and the start is found from the last
# group's names; later groups are still named from the first group's names and units.
SURFACE = ("Surface,\n\\extensible:3\nA1,\\field Name\nN1,\\field Vertex 1 X\n\\begin-extensible\n\\units m\n"
           "N2,\\field Vertex 1 Y\n\\units m\nN3,\\field Vertex 1 Z\nN4,\\field Vertex 2 X\n\\units ft\n"
           "N5,\\field Vertex 2 Y\nN6;\\field Vertex 2 Z\n")
SURFACE_STORED = ["Name", "Vertex 1 X", "Vertex 1 Y", "Vertex 1 Z", "Vertex 2 x", "Vertex 2 Y", "Vertex 2 Z"]
SURFACE_NAMES = {0: "Name", 1: "Vertex 1 X {m}", 3: "Vertex 1 Z", 4: "Vertex 2 X {m}", 7: "Vertex 3 X {m}",
                 30: "Vertex 10 Z", INT32_MAX: "Vertex 715827883 X {m}", -1: ""}
SURFACE_FINDS = {
    "name": 0, "Vertex 1 X": 1, "vertex 2 y": 5, "VERTEX 3 X": 7, "Vertex 10 Z": 30, "Vertex 02 X": 4,
    "Vertex 715827883 X": INT32_MAX, **dict.fromkeys([
        "", " Name", "Height", "vertex 0 x", "Vertex 00 X", "Vertex -1 X", "Vertex +2 X", "Vertex  2 X", "Vertex 2a X",
        # group numbers, or indices computed from them, that do not fit a signed 32-bit index
        "Vertex 715827883 Y", "Vertex 2147483648 X", "Vertex 4294967297 X", "Vertex 99999999999999999999999 X",
    ], -1)}
# " name" also ends the inlet and outlet node names: the text between prefix and suffix must be a whole number
BRANCH = ("Branch,\n\\extensible:4 Just duplicate last 4 fields\nA1,\\field Name\nA2,\\field Pressure Drop Curve Name\n"
          "A3,\\field Component 1 Object Type\n\\begin-extensible\nA4,\\field Component 1 Name\n"
          "A5,\\field Component 1 Inlet Node Name\nA6;\\field Component 1 Outlet Node Name\n")


@pytest.mark.parametrize("text, stored, names, finds", [
    pytest.param(SURFACE, SURFACE_STORED[:4], SURFACE_NAMES, SURFACE_FINDS, id="Surface-marked"),
    pytest.param(SURFACE.replace("\\begin-extensible\n", "").replace("2 X\n", "2 x\n"), SURFACE_STORED,
                 SURFACE_NAMES, SURFACE_FINDS, id="Surface-unmarked"),
    (BRANCH, None, {3: "Component 1 Name", 4: "Component 1 Inlet Node Name", 8: "Component 2 Inlet Node Name"},
     {"Pressure Drop Curve Name": 1, "Component 1 Name": 3, "Component 1 Inlet Node Name": 4,
      "Component 1 Outlet Node Name": 5, "component 2 inlet node name": 8, "Component 1 Inlet Node": -1,
      "Component 1 Other Name": -1}),
    # the run of fitting fields from the end stops at "Count"
    ("Pairs,\\extensible:2\nA1,\\field Name\nN1,\\field Count\nN2,\\field X1\nN3,\\field Y1\n"
     "N4,\\field X2\nN5;\\field Y2", ["Name", "Count", "X1", "Y1", "X2", "Y2"],
     {1: "Count", 2: "X1", 6: "X3", 7: "Y3"}, {"Count": 1, "x1": 2, "Y3": 7, "X 3": -1}),
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
     ["Name", "Layer"], {1: "Layer 1", 2: "Layer 2"}, {"Layer 1": 1, "layer 3": 3, "Layer": -1, "Layer 0": -1}),
    # base names are tried first and hide a group reading of the same name
    ("Items,\\extensible:1\nA1,\\field Item 2\nA2,\\field Item 1\n\\begin-extensible\nA3;",
     ["Item 2", "Item 1"], {0: "Item 2", 1: "Item 1", 2: "Item 2"}, {"Item 2": 0, "Item 1": 1, "Item 3": 3}),
    # of two base fields with the same name the later one is found
    ("Twice,A1,\\field Name\nA2,\\field Name\nA3;", ["Name", "Name", "A3"], {3: "", INT32_MAX: ""},
     {"name": 1, "a3": 2}),
    # \extensible without digits: a marked start stores no further field and builds no group
    ("Bare,\\extensible\nA1,\\field Name\nA2,\\field Point 1\n\\begin-extensible\nA3;\\field Point 2",
     ["Name", "Point 1"], {0: "Name", 1: "", 2: ""}, {"Name": 0, "Point 1": -1, "Point 2": -1}),
], ids=lambda value: value.split(",")[0] if isinstance(value, str) else None)
def test_lookup_cases(text, stored, names, finds):
    idd = IDD.from_string(text)
    class_name = idd.get_class_name(0)
    if stored is not None:
        assert idd._get_field_names(class_name) == stored
    assert {index: name_of(idd, class_name, index) for index in names} == names
    assert {name: find(idd, class_name, name) for name in finds} == finds


@pytest.mark.parametrize("extensible_line, found", [
    ("\\extensible:1", True), ("\\extensible -- repeat the last 1 field", True), ("\\extensible", False),
    ("\\extensible:0", False), ("\\extensible:4294967297", False), ("\\Extensible:1", False),
    ("\\memo \\extensible:1", False),
])
def test_group_size_is_first_number_after_extensible(extensible_line, found):
    # Without a usable group size, all listed fields are plain base fields.
    idd = IDD.from_string(f"Poly,\n{extensible_line}\nA1, \\field Name\nA2, \\field Point 1\nA3; \\field Point 2\n")
    assert idd._get_field_names("Poly") == ["Name", "Point 1", "Point 2"]
    assert find(idd, "Poly", "Point 2") == 2
    assert (find(idd, "Poly", "Point 3"), name_of(idd, "Poly", 3)) == ((3, "Point 3") if found else (-1, ""))


def test_group_size_zero_reports_division_error(monkeypatch):
    idd = IDD.from_string("Zero,\\extensible:0\nA1,\\field Name\nA2,\\field Item 1\n\\begin-extensible\n"
                          "A3;\\field Item 2")
    assert idd._get_field_names("Zero") == ["Name", "Item 1"]
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    assert name_of(idd, "Zero", 0) == "Name" and reports == []
    assert name_of(idd, "Zero", 1) == ""
    assert [(r.exc_type, str(r.exc_value)) for r in reports] == [
        (ZeroDivisionError, "integer division or modulo by zero")]
    assert "tarvix.idd.get_field_name" in f"{reports[0].err_msg} {reports[0].object}"
    assert find(idd, "Zero", "Item 1") == -1


@pytest.mark.parametrize("lookup", [IDD._get_field_names, lambda idd, name: debug_find_field_index(idd, name, "Name"),
                                    lambda idd, name: name_of(idd, name, 0)], ids=["names", "find", "name"])
def test_class_names_in_lookups(lookup):
    idd = IDD.from_string(CLASSES)
    assert lookup(idd, "zone") == lookup(idd, "ZONE") == lookup(idd, "zOnE")
    # keys fold ASCII letters only ("ZONÉ" is not the class "Zoné"); no trimming, no cut at NUL;
    # a never-loaded IDD has no classes
    for schema, class_name in [*((idd, n) for n in ("ZONÉ", "Zone ", "Zone\x00", "")), (IDD.__new__(IDD), "Zone")]:
        for _ in range(2):  # a failed lookup adds nothing to the schema
            with pytest.raises(ValueError) as info:
                lookup(schema, class_name)
            assert str(info.value) == f"Unknown class: '{class_name}'"
    idd = IDD.from_string("ZonÉ,\n  A1; \\field Name\n")
    assert lookup(idd, "ZONÉ") == lookup(idd, "zonÉ") == lookup(idd, "ZonÉ")


def test_loading_from_several_threads_gives_equal_schemas():
    text = VERSION_SCHEMA + "".join(
        f"\\group Group {c // 100}\nClass:{c},\n\\extensible:1\nA1, \\field Name\n"
        + "".join(f"N{i}{',' if i <= c % 7 else ';'} \\field Value {i}\n\\units m\n" for i in range(1, c % 7 + 2))
        for c in range(1000))

    def snapshot(idd):
        names = class_names(idd)
        return idd.version, names, [(idd._get_field_names(n), name_of(idd, n, 40)) for n in names[::97]]

    expected = snapshot(IDD.from_string(text))
    assert expected[0] == "9.5" and len(expected[1]) == 1001 and expected[2][1][1] == "Value 40 {m}"
    barrier = threading.Barrier(4)

    def work(_):
        barrier.wait()
        return [snapshot(IDD.from_string(text)) for _ in range(2)]

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert list(pool.map(work, range(4))) == [[expected] * 2] * 4


LEXER_REPLACEMENTS = r"""
import tarvix.lexer
REAL = tarvix.lexer.Lexer

def like_lexer(slot_count, **namespace):
    return type("Replacement", (), {"__slots__": ["s%d" % i for i in range(slot_count)], **namespace})

def size_message(replacement):
    return ("tarvix.lexer.Lexer size changed, may indicate binary incompatibility. "
            f"Expected {REAL.__basicsize__} from C header, got {replacement.__basicsize__} from PyObject")

larger = like_lexer(REAL.__basicsize__ // 8 + 8, _native_methods=REAL.__dict__["_native_methods"])
same_size, smaller = like_lexer((REAL.__basicsize__ - object.__basicsize__) // 8), like_lexer(0)
assert smaller.__basicsize__ < REAL.__basicsize__ == same_size.__basicsize__ < larger.__basicsize__
"""


def test_failed_initialisations_leave_module_importable(run_python):
    # Each failure must leave the module uninitialised, or the next import would not run its checks again.
    run_python(r"""
import _imp, ctypes, sys, warnings

api, pointer, text, obj = ctypes.pythonapi, ctypes.c_void_p, ctypes.c_char_p, ctypes.py_object
for function, restype, argtypes in [(api.PyCapsule_GetName, text, [obj]),
                                    (api.PyCapsule_GetPointer, pointer, [obj, text]),
                                    (api.PyCapsule_New, obj, [pointer, text, pointer])]:
    function.restype, function.argtypes = restype, argtypes

def import_fails(expected_type, expected_message):
    try:
        import tarvix.idd
    except BaseException as error:
        assert type(error) is expected_type and expected_message in (None, str(error)), repr(error)
    assert "tarvix.idd" not in sys.modules

spare = _imp.create_dynamic(locate_extension("idd"))
import tarvix.utils
assert "tarvix.lexer" not in sys.modules
TABLE = tarvix.utils._c_api
for name in ("read_utf8_bytes", "get_continuous_digits_indices"):
    original = TABLE.pop(name)
    import_fails(ImportError, f"tarvix.utils does not export expected C function {name}")
    assert "tarvix.lexer" in sys.modules
    signature = api.PyCapsule_GetName(original)
    changed = signature[:-1] + (b"#" if signature[-1:] != b"#" else b"@")  # kept alive while in use
    TABLE[name] = api.PyCapsule_New(api.PyCapsule_GetPointer(original, signature), changed, None)
    import_fails(TypeError, f"C function tarvix.utils.{name} has wrong signature "
                            f"(expected {signature.decode()}, got {changed.decode()})")
    TABLE[name] = original
""" + LEXER_REPLACEMENTS + r"""
for replacement, error, message in [(42, TypeError, "tarvix.lexer.Lexer is not a type object"),
                                    (smaller, ValueError, size_message(smaller)), (same_size, KeyError, None)]:
    tarvix.lexer.Lexer = replacement
    import_fails(error, message)
tarvix.lexer.Lexer = larger
with warnings.catch_warnings():
    warnings.simplefilter("error", RuntimeWarning)
    import_fails(RuntimeWarning, size_message(larger))
tarvix.lexer.Lexer = REAL

import tarvix.idd
assert tarvix.idd.IDD.from_string("Version,A1;\\default 2.5").version == "2.5"
assert list(tarvix.idd._c_api) == ["parse_idd", "resolve_key_to_field_index", "find_field_index",
                                   "get_field_name", "get_field_def"], tarvix.idd._c_api
_imp.exec_dynamic(tarvix.idd)  # the same module object again: nothing happens
try:
    _imp.exec_dynamic(spare)
except RuntimeError as error:
    assert str(error) == "Module 'idd' has already been imported. Re-initialisation is not supported.", error
else:
    raise AssertionError("second module object was executed")
""")


def test_larger_lexer_class_only_warns(run_python):
    # A process of its own: the module it imports is bound to a Lexer stand-in and cannot load schemas.
    run_python("""
import sys, warnings
assert "tarvix.lexer" not in sys.modules and "tarvix.utils" not in sys.modules
""" + LEXER_REPLACEMENTS + """
tarvix.lexer.Lexer = larger
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import tarvix.idd
assert "tarvix.utils" in sys.modules
assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, size_message(larger))], caught
assert tarvix.idd.IDD.__new__(tarvix.idd.IDD).num_classes == 0
""")


# Read off the files' text: the \default of the Version class's field (the 8.0 file still says 7.0), the count
# of class headings ("Name," outside comments, some of them indented), and where the branch class's repeating
# group starts ("Component 1 Object Type") and its size (\extensible:5 and \extensible:4).
@pytest.mark.parametrize("file_name, version, num_classes, branch_begin, branch_size",
                         [("Energy+V8_0_0.idd", "7.0", 689, 3, 5), ("Energy+V8_8_0.idd", "8.8", 789, 2, 4)])
def test_real_schema(file_name, version, num_classes, branch_begin, branch_size):
    path = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / file_name
    if not path.is_file():
        pytest.skip(f"{path} is absent")
    idd = IDD.from_file(path)
    assert (idd.version, idd.num_classes) == (version, num_classes)
    assert (idd.get_class_name(0), idd.get_class_name(num_classes - 1)) == ("Version", "Output:PreprocessorMessage")
    assert idd._get_field_names("Zone") == [
        "Name", "Direction of Relative North", "X Origin", "Y Origin", "Z Origin", "Type", "Multiplier",
        "Ceiling Height", "Volume", "Floor Area", "Zone Inside Convection Algorithm",
        "Zone Outside Convection Algorithm", "Part of Total Floor Area"]
    assert idd._get_field_names("MATERIAL")[:4] == ["Name", "Roughness", "Thickness", "Conductivity"]
    assert [name_of(idd, "Zone", 1), name_of(idd, "Material", 1), name_of(idd, "Material", 3)] == [
        "Direction of Relative North {deg}", "Roughness", "Conductivity {W/m-K}"]
    assert find(idd, "zone", "floor area") == 9

    surface = "BuildingSurface:Detailed"
    assert idd._get_field_names(surface)[9:] == [
        "Number of Vertices", "Vertex 1 X-coordinate", "Vertex 1 Y-coordinate", "Vertex 1 Z-coordinate"]
    for group in (1, 10, 120):
        for k, axis in enumerate("XYZ"):
            index, name = 10 + (group - 1) * 3 + k, f"Vertex {group} {axis}-coordinate"
            assert (name_of(idd, surface, index, False), name_of(idd, surface, index)) == (name, name + " {m}")
            assert find(idd, surface, name) == find(idd, surface, name.upper()) == index
    assert find(idd, surface, "Vertex 10 X-coordinate {m}") == find(idd, surface, "Vertex 0 X-coordinate") == -1

    parts = ["Object Type", "Name", "Inlet Node Name", "Outlet Node Name"]
    stored = idd._get_field_names("Branch")
    assert len(stored) == branch_begin + branch_size
    assert stored[branch_begin:branch_begin + 4] == [f"Component 1 {part}" for part in parts]
    for group in (1, 2, 7):
        for k, part in enumerate(parts):
            index, name = branch_begin + (group - 1) * branch_size + k, f"Component {group} {part}"
            assert (find(idd, "Branch", name), name_of(idd, "Branch", index)) == (index, name)


# --- Calls on unusual arguments -----------------------------------------------


@pytest.mark.parametrize("call", [
    lambda idd: debug_find_field_index(idd, None, "Name"),
    lambda idd: debug_find_field_index(idd, "Zone", None),
    lambda idd: debug_get_field_name(idd, None, 0, True),
])
def test_debug_lookups_refuse_none(call):
    with pytest.raises(TypeError, match=r"^Argument '(class_name|field_name)' has incorrect type "
                                        r"\(expected str, got NoneType\)$"):
        call(IDD.from_string("Zone,\n  A1 ; \\field Name\n"))


# --- Schema defaults ---------------------------------------------------------


def test_a_default_that_cannot_be_written_as_one_value_is_refused():
    schema = IDD.from_string("Zone,\n  A1 , \\field Name\n  A2 ; \\field Note\n       \\default a, b; c\n")
    idf = IDF.from_string(schema, "Zone,Z1;")
    with pytest.raises(ValueError, match=r"^Field value cannot contain ',', ';', '!' or a line break: 'a, b; c'$"):
        idf.add_object("Zone", ["Z2"])
    assert len(idf["Zone"]) == 1  # nothing was added
    added = idf.add_object("Zone", ["Z2"], default_values=False)
    assert IDF.from_string(schema, idf.format())["Zone"][1].get_values() == added.get_values() == ["Z2"]


# --- \min-fields -------------------------------------------------------------


@pytest.mark.parametrize("schema, message", [
    ("X,\\min-fields 2147483647\nA1;", "class 'X' has \\min-fields 2147483647, more than the limit of 100000."),
    ("Poly,\\min-fields 100001\n\\extensible:1\nA1,\\field Name\nA2;\\field Point 1\n",
     "class 'Poly' has \\min-fields 100001, more than the limit of 100000."),
], ids=["fixed fields", "repeating group"])
def test_min_fields_beyond_the_limit_is_refused(schema, message):
    with pytest.raises(ValueError) as info:
        IDD.from_string(schema)
    assert str(info.value) == "IDD parsing error: " + message


# Released schemas ask for more fields than a class has (HeatPump:WaterToWater:EIR:Cooling of V9.1 and V9.2:
# \min-fields 15, 14 fields): new objects and the writer pad past the last field.
PADDED_SCHEMA = r"""
Pump,
  \min-fields 4
  A1 , \field Name
       \reference PumpNames
  N1 , \field Flow
       \type real
  A2 ; \field Kind
"""


def test_min_fields_beyond_the_fields_of_a_class_pads_past_them(tmp_path):
    schema = IDD.from_string(PADDED_SCHEMA)
    assert schema.get_class_info("Pump").min_fields == 4
    assert IDFObject(schema, "Pump").get_values() == ["", None, "", ""]
    doc = IDF.from_string(schema, "Pump,P1,2.5,Hot;")
    added = doc.add_object("Pump", default_values=False)
    assert added.get_values() == ["", None, "", ""]
    with pytest.raises(IndexError, match="^Index 3 out of range. 'Pump' has max 3 fields.$"):
        added[3]
    text = doc.format(compact=True)
    assert text == "Pump,P1,2.5,Hot,;\nPump,,,,;"
    assert doc.validate() == []  # P1 holds every field its class has: the padding is the writer's
    json_schema = tmp_path / "schema.epJSON"
    json_schema.write_text(json.dumps(epjson_schema(schema)))
    back = IDF.from_string(schema, text)
    assert back.validate() == [] and back["Pump"][0].get_values() == ["P1", 2.5, "Hot", ""]
    back.remove_object(back["Pump"][1])
    assert json.loads(back.to_epjson(json_schema)) == {"Pump": {"P1": {"flow": 2.5, "kind": "Hot"}}}
    assert IDF.from_epjson(schema, back.to_epjson(json_schema), json_schema).format(compact=True) == text.split("\n")[0]


def test_min_fields_of_a_repeating_group_may_exceed_the_stored_fields():
    # Real schemas do this: BuildingSurface:Detailed asks for 19 fields and stores the first vertex only.
    schema = IDD.from_string("Poly,\\min-fields 7\n\\extensible:3\nA1,\\field Name\nN1,\\field X 1\n"
                             "\\begin-extensible\nN2,\\field Y 1\nN3;\\field Z 1\n")
    assert IDFObject(schema, "Poly").get_values() == [""] * 7
    assert IDF.from_string(schema, "Poly,P;").format(compact=True) == "Poly,P,,,,,,;"
