"""Tests of loading tarvix.idf documents: IDF.from_string / IDF.from_file, what the
parser keeps of the text, its messages and line numbers, loading from several
threads, and the real documents in ../shared/data.

SCHEMA, DATA, fold and read_objects serve the other test_idf_* files too."""

import collections
import concurrent.futures
import functools
import gc
import pathlib
import re
import string
import subprocess
import sys
import threading

import pytest

from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject, IDFObjectTuple

SCHEMA = r"""
Note,
  \extensible:1
  A1 ; \field Line 1
Zone,
  \min-fields 2
  A1 , \field Name
       \reference ZoneNames
       \reference ZoneAndZoneListNames
  N1 , \field Multiplier
       \type integer
       \default 1
  N2 , \field Ceiling Height
       \type real
       \autocalculatable
       \default 0
  A2 ; \field Floor Type
       \type choice
       \key Wood
ZoneList,
  \extensible:1
  A1 , \field Name
       \reference ZoneAndZoneListNames
  A2 ; \field Zone 1 Name
       \begin-extensible
       \object-list ZoneNames
Construction,
  \min-fields 3
  A1 , \field Name
       \reference ConstructionNames
  A2 , \field Outside Layer
  A3 ; \field Layer 2
Surface,
  \extensible:3
  A1 , \field Name
       \reference SurfaceNames
  A2 , \field Construction Name
       \object-list ConstructionNames
       \default Exterior Wall
  A3 , \field Zone Name
       \object-list ZoneNames
  A4 , \field Outside Boundary Condition Object
       \object-list SurfaceNames
       \object-list ZoneNames
  N1 , \field Vertex 1 X
       \begin-extensible
       \type real
  N2 , \field Vertex 1 Y
  N3 ; \field Vertex 1 Z
       \type real
Thermostat,
  A1 , \field Name
  A2 ; \field Zone or ZoneList Name
       \object-list ZoneNames
       \object-list ZoneAndZoneListNames
Notes,
  \extensible
  A1 ; \field Name
       \object-list ZoneNames
Plant:Sizing,
  N1 , \field Count
       \type integer
  N2 , \field Flow Rate
       \type real
       \autosizable
  N3 , \field Volume
       \type real
       \autocalculatable
  N4 , \field Stages
       \type integer
       \autosizable
       \autocalculatable
  A1 ; \field Node Name
       \type node
"""
DATA = pathlib.Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
ASCII_UPPER = str.maketrans(string.ascii_lowercase, string.ascii_uppercase)


def fold(text):
    return text.translate(ASCII_UPPER)


def read_objects(path, encoding="latin-1"):
    """(class name, [values]) per object, read by hand: comments dropped, split at ';' then ','."""
    text = pathlib.Path(path).read_text(encoding=encoding)
    body = "\n".join(line.split("!", 1)[0] for line in re.split(r"\r\n|\r|\n", text))
    *chunks, rest = body.split(";")
    assert rest.strip() == ""
    return [(parts[0], parts[1:]) for parts in ([p.strip(" \t\n") for p in c.split(",")] for c in chunks)]


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


def notes(idf):
    return [obj.get_values() for obj in idf["Note"]]


# --- Loaders (argument types: test_idf_collections.py) -----------------------


def test_loaders(idd, tmp_path):
    with pytest.raises(TypeError) as info:
        IDF()
    assert str(info.value) == "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string()."
    path = tmp_path / "doc.idf"
    path.write_text("Note,a;")
    for idf in (IDF.from_string(idd=idd, content="Note,a;"), IDF.from_file(idd=idd, filepath=path, encoding=None),
                IDF.from_file(idd, str(path), "utf-8")):
        assert type(idf) is IDF and notes(idf) == [["a"]]

    class Document(IDF):
        pass

    assert type(Document.from_string(idd, "Note,b;")) is Document
    uninitialised = IDF.__new__(IDF)  # misuse: no objects, no crash
    assert type(uninitialised["Zone"]) is IDFObjectTuple and uninitialised.get_objects("Zone") == ()


def test_file_reading(idd, tmp_path):
    path = tmp_path / "doc.idf"
    path.write_bytes(b"Note,caf\xe9;")
    assert notes(IDF.from_file(idd, path, encoding="latin-1")) == [["café"]]
    with pytest.raises(UnicodeError) as info:
        IDF.from_file(idd, path)
    assert str(info.value).startswith(f"'{path}' cannot be read in UTF-8.")
    path.write_bytes(b"\xef\xbb\xbfNote,x; ! comment bytes are not checked: caf\xe9\n")
    assert notes(IDF.from_file(idd, str(path), encoding="utf-8")) == [["x"]]
    with pytest.raises(FileNotFoundError):
        IDF.from_file(idd, tmp_path / "missing.idf")


# --- What the parser keeps of the text, and its errors -----------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("! only a comment\n\n", []), ("Note;", [[]]), ("Note,;", [[""]]), ("Note,,B;", [["", "B"]]),
        ("  Note ,\t a  b \t, c ;  ! trailing comment\n", [["a  b", "c"]]),
        ("Note,   ! class line\n  x,   ! first\n  y;", [["x", "y"]]),
        ("Note,a,\r\nb;\rNote,c;Note,d;\r\n", [["a", "b"], ["c"], ["d"]]),
        ("Note,C:\\data\\x.csv,Zöne 日本;", [["C:\\data\\x.csv", "Zöne 日本"]]),
    ],
)
def test_parsed_values(idd, text, expected):
    assert notes(IDF.from_string(idd, text)) == expected


def test_objects_keep_file_order_per_class(idd):
    idf = IDF.from_string(idd, "Zone,A;Note,1;zone,B;NOTE,2;ZONE,C,2,3.5,Wood,extra,7;")
    assert [z.class_name for z in idf["ZONE"]] == ["Zone"] * 3 and notes(idf) == [["1"], ["2"]]
    assert [z["Name"] for z in idf["Zone"]] == ["A", "B", "C"] and all(type(z) is IDFObject for z in idf["Zone"])
    # values are stored beyond the class's fields
    assert idf["Zone"][2].get_values() == ["C", 2, 3.5, "Wood", "extra", "7"]


MISSING = "IDF parsing error (Line {}): missing delimiter before '{}'."
UNTERMINATED = "IDF parsing error (Line {}): unterminated object before EOF; missing ';'."
UNKNOWN = "IDF parsing error: Unknown class: '{}'"


@pytest.mark.parametrize(
    "text, message",
    [
        ("Zone,Z1 ! name\nZ2;", MISSING.format(2, "Z2")),
        ("Note,a;\n\nNote,a b\n  c d , e;", MISSING.format(4, "c d")),
        ("Zone,Z1", UNTERMINATED.format(1)), ("Zone", UNTERMINATED.format(1)),
        ("Zone,Z1\n\n", UNTERMINATED.format(2)), ("Zone,Z1\r\n\r\n\r\n", UNTERMINATED.format(3)),
        ("Note,a;\nZone ! comment\n", UNTERMINATED.format(2)),
        ("Zonee,a;\nZone,b", UNTERMINATED.format(2)),  # the whole text is parsed before classes are looked up
        ("Note,a;\nzONEE ,a;", UNKNOWN.format("zONEE")), ("Zone Z1;", UNKNOWN.format("Zone Z1")),
        ("Zone,a;;", UNKNOWN.format("")),
    ],
)
def test_document_errors(idd, text, message):
    with pytest.raises(ValueError) as info:
        IDF.from_string(idd, text)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "data, where",
    [
        (b"Note,\xffa;", "Line 1): 'invalid UTF-8 byte 0xFF at column 6'"),
        (b"Note,a;\nNote,b\xc3;", "Line 2): 'invalid UTF-8 byte 0xC3 at column 7'"),  # truncated
        (b"Note,\n\n  \xe0\x80\x80;", "Line 3): 'invalid UTF-8 byte 0xE0 at column 3'"),  # overlong
        (b"\xed\xa0\x80,a;", "Line 1): 'invalid UTF-8 byte 0xED at column 1'"),  # surrogate
        # values loaded before the bad byte are moved down over the line break: the column still counts
        # from the start of the line as written
        (b"Note,\nabcdefghij,\xff;\n", "Line 2): 'invalid UTF-8 byte 0xFF at column 12'"),
    ],
)
def test_invalid_utf8(idd, tmp_path, data, where):
    (tmp_path / "bad.idf").write_bytes(data)
    with pytest.raises(ValueError) as info:
        IDF.from_file(idd, tmp_path / "bad.idf", encoding="utf-8")
    assert str(info.value) == "IDF parsing error (" + where


def test_documents_and_objects_take_part_in_cycle_collection(idd):
    idf = IDF.from_string(idd, "Zone,Z1;")
    zone = idf["Zone"][0]
    assert gc.is_tracked(idf) and gc.is_tracked(zone)
    assert idf in gc.get_referents(zone) and idd in gc.get_referents(zone) and idd in gc.get_referents(idf)
    # The document holds its objects, directly or through its object list once that is handed out.
    assert zone in gc.get_referents(idf)
    objects = idf.__reduce__()[2][1]
    assert objects in gc.get_referents(idf) and zone in objects
    del idf, zone, objects
    assert gc.collect() >= 2  # the cycle of a document and its object is collected


def test_loading_from_several_threads(idd):
    text = "".join(f"Zone,Zone {i},{i},{i}.5;  ! zone {i}\nSurface,S{i},,ZONE {i % 50},,{i},0,0;\n"
                   for i in range(1000))
    bad = ["Note,a;\n" * i + "Note,x\ny;" for i in range(8)]

    def snapshot(idf):
        zones = idf["Zone"]
        return ([z.get_values() for z in zones], [s.get_values() for s in idf["Surface"]],
                [len(z.get_referencing_objects(0)) for z in zones[::25]])

    expected = snapshot(IDF.from_string(idd, text))
    assert expected[0][7] == ["Zone 7", 7, 7.5] and expected[1][3] == ["S3", "", "ZONE 3", "", 3.0, "0", 0.0]
    assert expected[2] == [20, 20] + [0] * 38
    barrier = threading.Barrier(8)

    def work(i):
        barrier.wait()
        with pytest.raises(ValueError) as info:
            IDF.from_string(idd, bad[i])
        return [snapshot(IDF.from_string(idd, text)) for _ in range(2)], str(info.value)

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        results = list(pool.map(work, range(8)))
    assert results == [([expected] * 2, MISSING.format(i + 2, "y")) for i in range(8)]


# --- Real documents (skipped when the files are absent) ----------------------

REAL_DOCUMENTS = {
    "5ZoneSupRetPlenRAB.idf": ("Energy+V8_0_0.idd", "latin-1"),
    "5ZoneWaterLoopHeatPump.idf": ("Energy+V8_0_0.idd", "latin-1"),
    "smallfile_V8_8.idf": ("Energy+V8_8_0.idd", None),
}
# (class, object name, {field key: typed value}) read off the files and the schemas' field types
REAL_VALUES = {
    "5ZoneSupRetPlenRAB.idf": [
        ("Zone", "PLENUM-1", {"Multiplier": 1, "type": 1, "Ceiling Height": 0.609600067, 8: 283.2}),
        ("BuildingSurface:Detailed", "WALL-1PF", {"Number of Vertices": "4", "Vertex 3 X-coordinate": 30.5,
                                                  "vertex 4 y-COORDINATE": 0.0, "Vertex 5 X-coordinate": None}),
        ("PlantLoop", "Hot Water Loop", {"Maximum Loop Flow Rate": "Autosize", "Plant Loop Volume": "Autocalculate",
                                         "Minimum Loop Flow Rate": 0.0, "Maximum Loop Temperature": "100"}),
    ],
    "5ZoneWaterLoopHeatPump.idf": [("AirLoopHVAC", "AHU 1", {"Design Supply Air Flow Rate": "Autosize"})],
    "smallfile_V8_8.idf": [("Building", "None", {"North Axis": 0.0, "Maximum Number of Warmup Days": 25, 7: 6})],
}


@functools.cache
def real_schema(name):
    return IDD.from_file(DATA / name)


@pytest.fixture(scope="module", params=sorted(REAL_DOCUMENTS))
def real(request):
    schema_name, encoding = REAL_DOCUMENTS[request.param]
    path = DATA / request.param
    if not path.is_file() or not (DATA / schema_name).is_file():
        pytest.skip(f"{path} or its schema is absent")
    idf = IDF.from_file(real_schema(schema_name), path, encoding)
    return request.param, idf, read_objects(path, encoding or "utf-8")


def same_value(raw, typed):
    if type(typed) in (int, float):
        return type(typed)(raw) == typed
    if typed in ("Autosize", "Autocalculate"):
        return fold(raw) == fold(typed)
    return raw == ("" if typed is None else typed)


def test_real_document(real):
    """Every object is kept, each value is the text between its delimiters, typed as its field says."""
    name, idf, objects = real
    by_class = collections.defaultdict(list)
    for class_name, values in objects:
        by_class[fold(class_name)].append(values)
    assert len(by_class) > 10
    for key, texts in by_class.items():
        assert len(idf[key]) == len(texts), key
        for obj, values in zip(idf[key], texts):
            typed = obj.get_values()
            assert len(typed) == len(values) and all(map(same_value, values, typed)), (key, values, typed)
    for class_name, obj_name, fields in REAL_VALUES[name]:
        obj = idf.get_object_by_name(class_name, obj_name)
        for key, expected in fields.items():
            assert (type(obj[key]), obj[key]) == (type(expected), expected), (class_name, key)
    zones = {fold(z["Name"]): z for z in idf["Zone"]}
    for surface in idf["BuildingSurface:Detailed"]:
        assert surface.get_referenced_object("Zone Name") is zones[fold(surface["Zone Name"])]
        assert surface in zones[fold(surface["Zone Name"])].get_referencing_objects("Name")


# --- Loading while other threads run ----------------------------------------

# Another thread that walks the collector's objects while a document or a schema loads without the lock
# must never meet it half-built: every one it finds is complete, and nothing it does to it crashes.
HALF_BUILT_SCRIPT = r"""
import gc, sys, threading, time
from tarvix.idd import IDD
from tarvix.idf import IDF
class Schema(IDD): pass
class Doc(IDF): pass
schema_text = "".join(f"C{i},\n  A1 ; \\field Name\n" for i in range(30000))
doc_text = "Zone,Z;\n" * 200000
idd = IDD.from_string("Zone,\n  A1 ; \\field Name\n")
seen, stop = set(), False
def walk():
    while not stop:
        for obj in gc.get_objects():
            if type(obj) is Doc:
                seen.add(("doc", len(obj.get_objects("Zone"))))
                obj.add_object("Zone", ["Y"])
                obj.format()
            elif type(obj) is Schema:
                seen.add(("schema", obj.num_classes))
                IDF.from_string(obj, "C1,x;")
walker = threading.Thread(target=walk)
walker.start()
kept, end = [], time.monotonic() + float(sys.argv[1])
try:
    while time.monotonic() < end:
        kept[:] = [Doc.from_string(idd, doc_text)]
        kept[:] = [Schema.from_string(schema_text)]
finally:
    stop = True
    walker.join()
print(sorted(seen))
"""


def test_a_load_is_out_of_reach_of_other_threads_until_it_is_complete():
    done = subprocess.run([sys.executable, "-c", HALF_BUILT_SCRIPT, "3"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    half_built = [(kind, count) for kind, count in eval(done.stdout)
                  if count < (200000 if kind == "doc" else 30000) or kind == "schema" and count != 30000]
    assert half_built == []
