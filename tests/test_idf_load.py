"""Tests of tarvix.idf document loading: IDF.from_string / IDF.from_file and
their argument rules, what the document parser keeps of the text, its error
messages and line numbers, class resolution against the schema, the reference
graph built at load time, loading from several threads, and the real
documents in ../shared/data.

Reading and writing single fields of an object is in test_idf_fields.py."""

import collections
import concurrent.futures
import gc
import pathlib
import re
import threading

import pytest

from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject, IDFObjectTuple

# Note: one repeating alpha field, so every value reads back as its raw text.
SCHEMA = """\
Version,
  A1 ; \\field Version Identifier
       \\default 9.5
Note,
  \\extensible:1
  A1 ; \\field Line 1
Zone,
  \\min-fields 2
  A1 , \\field Name
       \\reference ZoneNames
       \\reference OutFaceEnvNames
  N1 , \\field Multiplier
       \\type integer
  N2 , \\field Ceiling Height
       \\type real
       \\autocalculatable
  A2 ; \\field Floor Type
       \\type choice
BuildingSurface:Detailed,
  \\extensible:3
  A1 , \\field Name
  A2 , \\field Zone Name
       \\type object-list
       \\object-list ZoneNames
  A3 , \\field Outside Boundary Condition Object
       \\type object-list
       \\object-list OutFaceEnvNames
  N1 , \\field Number of Vertices
       \\type real
  N2 , \\field Vertex 1 X-coordinate
       \\begin-extensible
       \\type real
  N3 , \\field Vertex 1 Y-coordinate
       \\type real
  N4 ; \\field Vertex 1 Z-coordinate
       \\type real
"""


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


def load(idd, text):
    return IDF.from_string(idd, text)


def notes(idf):
    return [obj.get_values() for obj in idf["Note"]]


class StrSubclass(str):
    pass


# ---------------------------------------------------------------------------
# Construction and argument rules
# ---------------------------------------------------------------------------

DIRECT = "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string()."


def test_direct_construction_is_refused():
    with pytest.raises(TypeError) as info:
        IDF()
    assert str(info.value) == DIRECT
    for args, kwargs in (((1,), {}), ((), {"idd": None})):
        with pytest.raises(TypeError):
            IDF(*args, **kwargs)


def test_loaders_by_position_and_keyword(idd, tmp_path):
    assert IDF.from_file.__doc__.lstrip().startswith("Parse IDF file")
    assert IDF.from_string.__doc__.lstrip().startswith("Parse IDF from string")
    path = tmp_path / "doc.idf"
    path.write_text("Note,a;")
    for idf in (IDF.from_string(idd=idd, content="Note,a;"), IDF.from_file(idd=idd, filepath=path, encoding=None),
                IDF.from_file(idd, str(path), "utf-8")):
        assert type(idf) is IDF and notes(idf) == [["a"]]

    class Document(IDF):
        pass

    assert type(Document.from_string(idd, "Note,b;")) is Document


ARG = "Argument '{}' has incorrect type (expected {}, got {})"
IDD_TYPE = "tarvix.idd.IDD"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda idd, p: IDF.from_string(None, "Note,a;"), TypeError, ARG.format("idd", IDD_TYPE, "NoneType")),
        (lambda idd, p: IDF.from_string("schema", "Note,a;"), TypeError, ARG.format("idd", IDD_TYPE, "str")),
        (lambda idd, p: IDF.from_file(None, p), TypeError, ARG.format("idd", IDD_TYPE, "NoneType")),
        (lambda idd, p: IDF.from_file(1, p), TypeError, ARG.format("idd", IDD_TYPE, "int")),
        (lambda idd, p: IDF.from_string(idd, b"Note,a;"), TypeError, ARG.format("content", "str", "bytes")),
        (lambda idd, p: IDF.from_string(idd, StrSubclass("Note,a;")), TypeError,
         ARG.format("content", "str", "StrSubclass")),
        (lambda idd, p: IDF.from_string(idd, None), AttributeError, "'NoneType' object has no attribute 'encode'"),
        (lambda idd, p: IDF.from_file(idd, p, b"utf-8"), TypeError, ARG.format("encoding", "str", "bytes")),
        (lambda idd, p: IDF.from_string(idd), TypeError, None),
        (lambda idd, p: IDF.from_string(idd, "Note,a;", "extra"), TypeError, None),
    ],
)
def test_loader_argument_errors(idd, tmp_path, call, error, message):
    path = tmp_path / "doc.idf"
    path.write_text("Note,a;")
    with pytest.raises(error) as info:
        call(idd, path)
    if message is not None:
        assert str(info.value) == message


def test_never_initialised_document_is_empty():
    idf = IDF.__new__(IDF)
    for result in (idf.get_objects("Zone"), idf["Zone"]):
        assert type(result) is IDFObjectTuple and result == ()


# ---------------------------------------------------------------------------
# What the parser keeps of the text
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", []), ("! only a comment\n\n", []), ("Note,8.9;", [["8.9"]]), ("Note;", [[]]), ("Note,;", [[""]]),
        ("Note,,B;", [["", "B"]]), ("Note,a,;", [["a", ""]]),
        ("  Note ,\t a  b \t, c ;  ! trailing comment\n", [["a  b", "c"]]),
        ("Note,   ! class line\n  x,   ! first\n  y;   ! second\n", [["x", "y"]]),
        ("Note,a;Note,b;\nNote,c;", [["a"], ["b"], ["c"]]),
        ("Note,a,\r\nb;\rNote,c;\r\n", [["a", "b"], ["c"]]),
        ("Note,C:\\data\\x.csv,\\;", [["C:\\data\\x.csv", "\\"]]),
        ("Note,Zöne,日本;", [["Zöne", "日本"]]),
        ("NOTE,a;note,b;nOtE,c;", [["a"], ["b"], ["c"]]),
    ],
)
def test_parsed_values(idd, text, expected):
    idf = load(idd, text)
    assert notes(idf) == expected
    assert all(obj.class_name == "Note" for obj in idf["note"])


def test_objects_keep_file_order_per_class(idd):
    idf = load(idd, "Zone,A;Note,1;zone,B;Note,2;ZONE,C;")
    assert [z["Name"] for z in idf["Zone"]] == ["A", "B", "C"]
    assert [z.class_name for z in idf["ZONE"]] == ["Zone"] * 3
    assert notes(idf) == [["1"], ["2"]]
    assert type(idf["Zone"]) is IDFObjectTuple and all(type(z) is IDFObject for z in idf["Zone"])
    assert idf["BuildingSurface:Detailed"] == () and idf["Nothing"] == ()


def test_values_are_stored_beyond_the_class_fields(idd):
    zone = load(idd, "Zone,Z1,2,3.5,Wood,extra,7;")["Zone"][0]
    assert zone.get_values() == ["Z1", 2, 3.5, "Wood", "extra", "7"]


# ---------------------------------------------------------------------------
# Errors
# ---------------------------------------------------------------------------

MISSING = "IDF parsing error (Line {}): missing delimiter before '{}'."
UNTERMINATED = "IDF parsing error (Line {}): unterminated object before EOF; missing ';'."
UNKNOWN = "IDF parsing error: Unknown class: '{}'"


@pytest.mark.parametrize(
    "text, message",
    [
        ("Zone,Z1 ! name\nZ2;", MISSING.format(2, "Z2")),
        ("Note,a\nb;", MISSING.format(2, "b")),
        ("Note,a;\n\nNote\n  x;", MISSING.format(4, "x")),
        ("Note,a b\n  c d , e;", MISSING.format(2, "c d")),
        ("Zone,Z1", UNTERMINATED.format(1)), ("Zone,Z1\n", UNTERMINATED.format(1)),
        ("Zone,Z1\n\n", UNTERMINATED.format(2)), ("Zone,Z1\r\n\r\n\r\n", UNTERMINATED.format(3)),
        ("Zone", UNTERMINATED.format(1)), ("Note,a;\nZone,", UNTERMINATED.format(2)),
        ("Note,a;\nZone ! comment\n", UNTERMINATED.format(2)),
        # the whole text is parsed before any class is looked up
        ("Zonee,a;\nZone,b", UNTERMINATED.format(2)),
        ("Zonee,a;", UNKNOWN.format("Zonee")), ("Note,a;\nzONEE ,a;", UNKNOWN.format("zONEE")),
        ("Zone Z1;", UNKNOWN.format("Zone Z1")), ("Zöne,a;", UNKNOWN.format("Zöne")),
        (";", UNKNOWN.format("")), ("Zone,a;;", UNKNOWN.format("")), ("Zone,a;,b;", UNKNOWN.format("")),
    ],
)
def test_document_errors(idd, text, message):
    with pytest.raises(ValueError) as info:
        load(idd, text)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "data, where",
    [
        (b"Note,\xffa;", "Line 1): 'invalid UTF-8 byte 0xFF at column 6'"),
        (b"Note,a;\nNote,b\xc3;", "Line 2): 'invalid UTF-8 byte 0xC3 at column 7'"),
        (b"Note,\n  ok,\n\n  \xe0\x80\x80;", "Line 4): 'invalid UTF-8 byte 0xE0 at column 3'"),
        (b"\xed\xa0\x80,a;", "Line 1): 'invalid UTF-8 byte 0xED at column 1'"),
    ],
    ids=["invalid-byte", "truncated", "overlong", "surrogate"],
)
def test_invalid_utf8_in_a_value(idd, tmp_path, data, where):
    path = tmp_path / "bad.idf"
    path.write_bytes(data)
    with pytest.raises(ValueError) as info:
        IDF.from_file(idd, path, encoding="utf-8")
    assert str(info.value) == "IDF parsing error (" + where


def test_comment_bytes_are_not_checked(idd, tmp_path):
    path = tmp_path / "comment.idf"
    path.write_bytes(b"Note,a; ! caf\xe9\nNote,b;")
    assert notes(IDF.from_file(idd, path, encoding="utf-8")) == [["a"], ["b"]]


def test_file_reading(idd, tmp_path):
    path = tmp_path / "latin.idf"
    path.write_bytes(b"Note,caf\xe9;")
    assert notes(IDF.from_file(idd, path, encoding="latin-1")) == [["café"]]
    with pytest.raises(UnicodeError) as info:
        IDF.from_file(idd, path)
    assert str(info.value).startswith(f"'{path}' cannot be read in UTF-8.")
    path.write_bytes(b"\xef\xbb\xbfNote,x;")
    assert notes(IDF.from_file(idd, str(path))) == [["x"]]
    with pytest.raises(FileNotFoundError):
        IDF.from_file(idd, tmp_path / "missing.idf")


# ---------------------------------------------------------------------------
# Reference graph at load time
# ---------------------------------------------------------------------------

LINKED = """\
Zone,ZONE ONE;
Zone,Zone Two;
Zone,Zone One;
BuildingSurface:Detailed,S1,zone one,,4;
BuildingSurface:Detailed,S2,,Zone Two,4;
BuildingSurface:Detailed,S3,Zone One;
BuildingSurface:Detailed,S4,Zone Three,ZONE TWO;
"""


def test_references_registered_at_load(idd):
    idf = load(idd, LINKED)
    z1, z2, z3 = idf["Zone"]
    s1, s2, s3, s4 = idf["BuildingSurface:Detailed"]
    # names are compared with ASCII case folded: ZONE ONE and Zone One share a key
    assert z1.get_referencing_objects("Name") == z3.get_referencing_objects(0) == (s1, s3)
    assert s1.get_referenced_object("Zone Name") is z1
    assert s3.get_referenced_object(1) is z1
    # the zone's name is registered under both of its reference tags
    assert z2.get_referencing_objects("Name") == (s2, s4)
    assert s2.get_referenced_object("Outside Boundary Condition Object") is z2
    # empty values and names nobody defines are not linked
    assert s2.get_referenced_object("Zone Name") is None
    assert s1.get_referenced_object(2) is None
    assert s4.get_referenced_object("Zone Name") is None
    assert type(z1.get_referencing_objects(0)) is IDFObjectTuple


def test_documents_and_objects_take_part_in_cycle_collection(idd):
    idf = load(idd, "Zone,Z1;")
    zone = idf["Zone"][0]
    assert gc.is_tracked(idf) and gc.is_tracked(zone)
    assert idf in gc.get_referents(zone) and idd in gc.get_referents(zone)
    assert idd in gc.get_referents(idf)
    assert any(isinstance(r, list) and zone in r for r in gc.get_referents(idf))


# ---------------------------------------------------------------------------
# Loading from several threads
# ---------------------------------------------------------------------------


def snapshot(idf):
    zones = idf["Zone"]
    return (
        [z.get_values() for z in zones],
        [s.get_values() for s in idf["BuildingSurface:Detailed"]],
        [len(z.get_referencing_objects(0)) for z in zones[::50]],
    )


def test_loading_from_several_threads(idd):
    parts = []
    for i in range(2000):
        parts.append(f"Zone,Zone {i},{i},{i}.5;  ! zone {i}\n")
        parts.append(f"BuildingSurface:Detailed,S{i},ZONE {i % 100},,3,{i},0,0,1,1,1;\n")
    text = "".join(parts)
    expected = snapshot(load(idd, text))
    assert expected[0][7] == ["Zone 7", 7, 7.5] and expected[1][3][:2] == ["S3", "ZONE 3"]
    assert expected[2] == [20, 20] + [0] * 38
    barrier = threading.Barrier(8)

    def work(_):
        barrier.wait()
        return [snapshot(load(idd, text)) for _ in range(3)]

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        results = list(pool.map(work, range(8)))
    assert results == [[expected] * 3] * 8


def test_errors_from_several_threads(idd):
    texts = [f"Note,a;\n" * i + "Note,x\ny;" for i in range(1, 9)]

    def work(i):
        with pytest.raises(ValueError) as info:
            load(idd, texts[i])
        return str(info.value)

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        results = list(pool.map(work, range(8)))
    assert results == [MISSING.format(i + 2, "y") for i in range(1, 9)]


# ---------------------------------------------------------------------------
# Real documents (skipped when the files are absent)
# ---------------------------------------------------------------------------

DATA_DIR = pathlib.Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
REAL_DOCUMENTS = {
    "5ZoneSupRetPlenRAB.idf": ("Energy+V8_0_0.idd", "latin-1"),
    "5ZoneWaterLoopHeatPump.idf": ("Energy+V8_0_0.idd", "latin-1"),
    "smallfile_V8_8.idf": ("Energy+V8_8_0.idd", None),
}
# (class, object name, {field key: typed value}) read off the files and the schemas' field types
REAL_VALUES = {
    "5ZoneSupRetPlenRAB.idf": [
        ("Zone", "PLENUM-1", {"Multiplier": 1, "type": 1, "Ceiling Height": 0.609600067, 8: 283.2}),
        ("BuildingSurface:Detailed", "WALL-1PF", {
            "Zone Name": "PLENUM-1", "View Factor to Ground": 0.5, "Number of Vertices": "4",
            "Vertex 1 Z-coordinate": 3.0, "Vertex 3 X-coordinate": 30.5, "vertex 4 y-COORDINATE": 0.0,
            "Vertex 4 Z-coordinate": 3.0, "Vertex 5 X-coordinate": None}),
        ("PlantLoop", "Hot Water Loop", {"Maximum Loop Flow Rate": "Autosize", "Plant Loop Volume": "Autocalculate",
                                         "Minimum Loop Flow Rate": 0.0, "Maximum Loop Temperature": "100"}),
        ("Sizing:System", "VAV Sys 1", {"Design Outdoor Air Flow Rate": "Autosize", 3: 0.3}),
    ],
    "5ZoneWaterLoopHeatPump.idf": [
        ("Zone", "PLENUM-1", {"Multiplier": 1, "Ceiling Height": 0.609600067, "Volume": 283.2}),
        ("BuildingSurface:Detailed", "WALL-1PF",
         {"Vertex 2 Z-coordinate": 2.4, "Vertex 3 X-coordinate": 30.5, "Vertex 4 X-coordinate": 30.5}),
        ("PlantLoop", "Single Water Plant Loop",
         {"Maximum Loop Flow Rate": 0.007, "Plant Loop Volume": "Autocalculate", "Maximum Loop Temperature": "98"}),
        ("AirLoopHVAC", "AHU 1", {"Design Supply Air Flow Rate": "Autosize", "Controller List Name": ""}),
    ],
    "smallfile_V8_8.idf": [
        ("Building", "None", {"North Axis": 0.0, "Loads Convergence Tolerance Value": 0.04,
                              "Maximum Number of Warmup Days": 25, 7: 6, "Terrain": "Suburbs"}),
        ("Site:Location", "DENVER_STAPLETON_CO_USA_WMO_724690", {"Latitude": 39.77, "Longitude": -104.87}),
        ("RunPeriod", "", {"End Month": 12, "Begin Day of Month": 1, "Day of Week for Start Day": "Tuesday"}),
        ("Timestep", "4", {0: 4}),
    ],
}
_schemas = {}


def split_objects(text):
    """Our own reading of a document: drop comments, split objects at ';' and values at ','."""
    body = "\n".join(line.split("!", 1)[0] for line in re.split(r"\r\n|\r|\n", text))
    *chunks, rest = body.split(";")
    assert rest.strip() == ""
    objects = []
    for chunk in chunks:
        parts = [part.strip(" \t\n") for part in chunk.split(",")]
        objects.append((parts[0], parts[1:]))
    return objects


def same_value(raw, typed):
    if typed is None:
        return raw == ""
    if type(typed) is int:
        return int(raw) == typed
    if type(typed) is float:
        return float(raw) == typed
    if typed in ("Autosize", "Autocalculate"):
        return raw.lower() == typed.lower()
    return raw == typed


@pytest.fixture(scope="module", params=sorted(REAL_DOCUMENTS))
def real(request):
    name = request.param
    schema_name, encoding = REAL_DOCUMENTS[name]
    path = DATA_DIR / name
    if not path.is_file() or not (DATA_DIR / schema_name).is_file():
        pytest.skip(f"{path} or its schema is absent")
    if schema_name not in _schemas:
        _schemas[schema_name] = IDD.from_file(DATA_DIR / schema_name)
    idf = IDF.from_file(_schemas[schema_name], path, encoding=encoding)
    return name, idf, split_objects(path.read_text(encoding=encoding or "utf-8"))


def test_real_document_object_counts(real):
    _, idf, objects = real
    counts = collections.Counter(class_name.upper() for class_name, _ in objects)
    assert len(counts) > 10
    for key, count in counts.items():
        assert len(idf[key]) == count, key
    assert sum(len(idf[key]) for key in counts) == len(objects)


def test_real_document_stored_values(real):
    _, idf, objects = real
    by_class = collections.defaultdict(list)
    for class_name, values in objects:
        by_class[class_name.upper()].append(values)
    for key, texts in by_class.items():
        for obj, values in zip(idf[key], texts, strict=True):
            typed = obj.get_values()
            assert len(typed) == len(values), (key, values)
            for raw, value in zip(values, typed):
                assert same_value(raw, value), (key, raw, value)


def test_real_document_typed_values(real):
    name, idf, _ = real
    for class_name, obj_name, fields in REAL_VALUES[name]:
        (obj,) = [o for o in idf[class_name] if str(o[0]) == obj_name]
        for key, expected in fields.items():
            value = obj[key]
            assert (type(value), value) == (type(expected), expected), (class_name, key)


def test_real_document_surfaces_name_their_zones(real):
    _, idf, _ = real
    surfaces = idf["BuildingSurface:Detailed"]
    for surface in surfaces:
        zone = surface.get_referenced_object("Zone Name")
        assert zone is not None and zone["Name"].upper() == surface["Zone Name"].upper()
        assert surface in zone.get_referencing_objects("Name")
