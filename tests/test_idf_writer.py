"""Writing tarvix.idf documents back to text: IDF.format, IDF.save and repr,
byte for byte, and round trips through the text on the test document and on
the real documents in ../shared/data."""

import functools
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from schema_samples import CHECKED_IDD, epjson_schema
from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject
from test_idf_load import SCHEMA as LOAD_SCHEMA

SCHEMA = r"""
\group Simulation Parameters
Version,
  A1 ; \field Version Identifier
\group Thermal Zones
Zone,
  \min-fields 1
  A1 , \field Name
  N1 , \field Direction of Relative North
       \units deg
  N2 ; \field Multiplier
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
  A1 ; \field Name
\group Matériaux
Material,
  \min-fields 2
  A1 , \field Name
  N1 , \field Thickness
       \units m
  N2 ; \field Conductivity
       \units W/m-K
"""
DOC = """\
Material, Brick, 0.1, 0.9;
zone, West, 0, 1;
Version, 8.0;
Thermostat, Stat 1;
ZONE, East;   ! a comment
Marker;
MATERIAL, Glass;
Zone, Zöne Nörth, , 2, extra;
"""
HEADER = "! Generated using Tarvix.py\n"
OPTIONS = [{}, {"preserve_order": True}, {"compact": True}, {"compact": True, "preserve_order": True}]
IDS = ["schema-order", "document-order", "compact", "compact-document-order"]


def L(text, blanks, name):
    """One field line: text, the given number of blanks, the comment."""
    return text + " " * blanks + "!- " + name + "\n"


# Each object of DOC in the padded layout, in document order, keyed by its first value or class.
BLOCKS = {
    "Brick": "Material,\n" + L("    Brick,", 19, "Name") + L("    0.1,", 21, "Thickness {m}")
    + L("    0.9;", 21, "Conductivity {W/m-K}"),
    "West": "Zone,\n" + L("    West,", 20, "Name") + L("    0,", 23, "Direction of Relative North {deg}")
    + L("    1;", 23, "Multiplier"),
    "8.0": "Version,\n" + L("    8.0;", 21, "Version Identifier"),
    "Stat 1": "Thermostat,\n" + L("    Stat 1;", 18, "Name"),
    "East": "Zone,\n" + L("    East;", 20, "Name"),
    "Marker": "Marker;\n",
    "Glass": "Material,\n" + L("    Glass,", 19, "Name") + L("    ;", 24, "Thickness {m}"),  # min-fields
    "Zöne Nörth": "Zone,\n" + L("    Zöne Nörth,", 12, "Name")  # padding counts bytes
    + L("    ,", 24, "Direction of Relative North {deg}") + L("    2,", 23, "Multiplier") + L("    extra;", 19, ""),
}
SIM, ZONES, MATERIALS = "\n! ***SIMULATION PARAMETERS***\n", "\n! ***THERMAL ZONES***\n", "\n! ***MATéRIAUX***\n"


def padded(parts, blocks=BLOCKS):
    """Untrimmed padded text: group headers as given, each object after a blank line."""
    return "".join(p if p.startswith("\n!") else "\n" + blocks[p] for p in parts)


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


@pytest.fixture
def idf(idd):
    return IDF.from_string(idd, DOC)


def test_worked_layout(idd, tmp_path):
    idf = IDF.from_string(idd, "Zone, West;")
    path = tmp_path / "zone.idf"
    assert idf.save(path, include_timestamp=False) is None
    lines = [HEADER.strip(), "", "! ***THERMAL ZONES***", "", "Zone,", "    West;" + " " * 20 + "!- Name"]
    assert path.read_bytes() == "".join(line + "\n" for line in lines).encode()
    assert idf.format() == "\n".join(lines[2:])
    assert repr(idf["Zone"][0]) == "Zone,\n    West;" + " " * 20 + "!- Name\n"
    idf.save(str(path), 2, 1, 0, False, False, False)  # positional: the sizes, compact, order, timestamp
    assert path.read_text() == HEADER + "\n! ***THERMAL ZONES***\n\n  Zone,\n West;!- Name\n"


@pytest.mark.parametrize(
    "text, options, expected",
    [
        ("Zone, " + "x" * 24 + ";", {}, "Zone,\n    " + "x" * 24 + ";!- Name\n"),
        ("Zone, " + "y" * 25 + ";", {}, "Zone,\n    " + "y" * 25 + ";  !- Name\n"),
        ("Material;", {}, "Material,\n" + L("    ,", 24, "Name") + L("    ;", 24, "Thickness {m}")),
        ("Material, Brick, , , ;", {}, "Material,\n" + L("    Brick,", 19, "Name") + L("    ;", 24, "Thickness {m}")),
        ("ZoneList, All, A, B, C;", {"field_size": 0}, "ZoneList,\n    All,!- Name\n    A,!- Zone 1 Name\n"
         "    B,!- Zone 2 Name\n    C;!- Zone 3 Name\n"),
        ("Zone, West, 0;", {"class_indent_size": 2, "field_indent_size": 0},
         "  Zone,\n" + L("West,", 20, "Name") + L("0;", 23, "Direction of Relative North {deg}")),
        ("Zone, West;", {"field_indent_size": 8, "field_size": 10}, "Zone,\n" + L("        West;", 6, "Name")),
        ("Material;", {"class_indent_size": 1, "field_indent_size": 1, "field_size": 1},
         " Material,\n , !- Name\n ; !- Thickness {m}\n"),  # empty values padded to 1
        ("Version, , ;", {"compact": True}, "Version;"),
    ],
)
def test_object_layout(idd, text, options, expected):
    written = IDF.from_string(idd, text).format(preserve_order=True, **options)
    assert written + ("" if options.get("compact") else "\n") == expected


@pytest.mark.parametrize(
    "doc, options, text",
    list(zip([DOC] * 4, OPTIONS, [
        padded([SIM, "8.0", ZONES, "West", "East", "Zöne Nörth", "Marker", ZONES, "Stat 1",
                MATERIALS, "Brick", "Glass"]),
        padded(BLOCKS),
        "\nVersion,8.0;\n\nZone,West,0,1;\nZone,East;\nZone,Zöne Nörth,,2,extra;\n\nMarker;\n\nThermostat,Stat 1;\n\n"
        "Material,Brick,0.1,0.9;\nMaterial,Glass,;\n",  # a blank line between classes
        "\nMaterial,Brick,0.1,0.9;\nZone,West,0,1;\nVersion,8.0;\nThermostat,Stat 1;\nZone,East;\nMarker;\n"
        "Material,Glass,;\nZone,Zöne Nörth,,2,extra;"]))
    + [("", options, "") for options in OPTIONS],
    ids=IDS + ["empty-" + i for i in IDS],
)
def test_document_layouts(idd, tmp_path, doc, options, text):
    idf = IDF.from_string(idd, doc)
    assert idf.format(**options) == text.strip("\n")
    if not options:
        assert repr(idf) == text and idf.format(0, 4, 24, False, False) == text.strip("\n")
    if options.get("compact"):  # compact overrides the sizes
        assert idf.format(class_indent_size=7, field_indent_size=1, field_size=0, **options) == text.strip("\n")
    path = tmp_path / "doc.idf"
    path.write_bytes(b"previous content\n" * 1000)
    assert idf.save(output_path=path, include_timestamp=False, **options) is None
    assert path.read_bytes() == (HEADER + text).encode()


def test_removed_added_and_detached_objects(idd, idf):
    idf.remove_object(idf.get_object_by_name("Zone", "East"))
    idf.remove_object(idf["Marker"][0])  # its class is left with an empty index: no group is looked at
    idf.add_object("Zone", ["North"])
    blocks = dict(BLOCKS, North="Zone,\n" + L("    North;", 19, "Name"))
    parts = [SIM, "8.0", ZONES, "West", "Zöne Nörth", "North", "Stat 1", MATERIALS, "Brick", "Glass"]
    assert idf.format() == padded(parts, blocks).strip("\n")
    order = ["Brick", "West", "8.0", "Stat 1", "Glass", "Zöne Nörth", "North"]
    assert idf.format(preserve_order=True) == padded(order, blocks).strip("\n")
    idf.remove_all_objects("Material")
    assert idf.format(compact=True) == "Version,8.0;\n\nZone,West,0,1;\nZone,Zöne Nörth,,2,extra;\nZone,North;\n\n" \
        "Thermostat,Stat 1;"
    detached = IDFObject(idd, "material")
    detached.update({"Conductivity": 2})
    assert repr(detached) == "Material,\n" + L("    ,", 24, "Name") + L("    ,", 24, "Thickness {m}") + L(
        "    2;", 23, "Conductivity {W/m-K}")


@pytest.mark.parametrize(
    "text, skeleton",
    [
        ("Zone, a;\nZoneList, l;", ["! ***THERMAL ZONES***", "Zone,", "ZoneList,"]),  # one header per run
        ("Thermostat, t;\nZone, a;", ["! ***THERMAL ZONES***", "Zone,", "Thermostat,"]),  # Marker not looked at
        ("Thermostat, t;\nMarker;\nZone, a;",  # the empty group resets the current group
         ["! ***THERMAL ZONES***", "Zone,", "Marker;", "! ***THERMAL ZONES***", "Thermostat,"]),
        ("Marker;\nMaterial, m;", ["Marker;", "! ***MATéRIAUX***", "Material,"]),
        ("Material, m;\nVersion;", ["! ***SIMULATION PARAMETERS***", "Version;", "! ***MATéRIAUX***", "Material,"]),
    ],
)
def test_group_headers(idd, text, skeleton):
    written = IDF.from_string(idd, text).format()
    assert written.startswith(skeleton[0]) and "\n\n\n" not in written
    assert [line for line in written.split("\n") if line and not line.startswith(" ")] == skeleton


def test_classes_differing_only_in_case_are_written_once(tmp_path):
    idd = IDD.from_string("\\group Lower\nZone,\n  A1 ; \\field Name\n\\group Middle\nOther,\n  A1 ; \\field Name\n"
                          "\\group Upper\nZONE,\n  A1 ; \\field Label\n")
    idf = IDF.from_string(idd, "zone, a;\nOther, o;\nZone, b;\n")
    assert idf.format() == ("! ***MIDDLE***\n\nOther,\n" + L("    o;", 23, "Name") + "\n! ***UPPER***\n\nZONE,\n"
                            + L("    a;", 23, "Label") + "\nZONE,\n" + L("    b;", 23, "Label")).strip("\n")
    assert idf.format(compact=True) == "Other,o;\n\nZONE,a;\nZONE,b;"
    assert idf.format(compact=True, preserve_order=True) == "ZONE,a;\nOther,o;\nZONE,b;"
    idf.save(tmp_path / "x.idf")
    again = IDF.from_file(idd, tmp_path / "x.idf")
    assert [o.get_values() for o in again["Zone"]] == [["a"], ["b"]] and again.format() == idf.format()


def test_save_timestamp_and_open_errors(idd, tmp_path):
    path = tmp_path / "stamped.idf"
    before = time.strftime("%Y-%m-%d %H:%M:%S")
    IDF.from_string(idd, "Zone, East;").save(path)
    after = time.strftime("%Y-%m-%d %H:%M:%S")
    match = re.fullmatch(r"! Generated using Tarvix\.py\n! Saved at: (.{19})\n(.*)", path.read_text(), re.S)
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", match[1]) and before <= match[1] <= after
    assert match[2] == ZONES + "\n" + BLOCKS["East"]
    IDF.from_string(idd, "").save(path, include_timestamp=True)
    assert re.fullmatch(r"! Generated using Tarvix\.py\n! Saved at: [-\d]{10} [:\d]{8}\n", path.read_text())
    with pytest.raises(FileNotFoundError):
        IDF.from_string(idd, "").save(tmp_path / "missing" / "doc.idf")


Failing = type("Failing", (), {"__bool__": lambda self: 1 / 0})  # its truth test raises
SIZES = ["class_indent_size", "field_indent_size", "field_size"]


@pytest.mark.parametrize(
    "options, error, message",
    [({name: -1}, ValueError, f"{name} must be >= 0") for name in SIZES]
    + [({name: -2**31, "compact": True}, ValueError, f"{name} must be >= 0") for name in SIZES]
    + [({"field_size": "3"}, TypeError, None), ({"class_indent_size": 2**31}, OverflowError, None)]
    + [({name: Failing()}, ZeroDivisionError, "division by zero") for name in ("compact", "include_timestamp")],
)
def test_bad_arguments_are_refused_before_writing(idf, tmp_path, options, error, message):
    path = tmp_path / "never.idf"
    for call in [functools.partial(idf.save, path)] + ([] if "include_timestamp" in options else [idf.format]):
        with pytest.raises(error) as info:
            call(**options)
        assert message is None or str(info.value) == message
    assert not path.exists()


def test_docstring_first_lines():
    assert all(m.__doc__.strip().startswith("Convert IDF to str with format config") for m in (IDF.format, IDF.save))


# Round trips: load, write, load again
DATA = pathlib.Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
REAL = {"5ZoneSupRetPlenRAB.idf": ("Energy+V8_0_0.idd", "latin-1"),
        "5ZoneWaterLoopHeatPump.idf": ("Energy+V8_0_0.idd", "latin-1"),
        "smallfile_V8_8.idf": ("Energy+V8_8_0.idd", None)}


@functools.cache
def real_schema(name):
    return IDD.from_file(DATA / name)


@pytest.fixture(scope="module", params=sorted(REAL) + ["test document"])
def source(request, idd):
    if request.param not in REAL:
        return idd, IDF.from_string(idd, DOC)
    schema_name, encoding = REAL[request.param]
    if not ((DATA / request.param).is_file() and (DATA / schema_name).is_file()):
        pytest.skip(f"{request.param} or its schema is absent")
    return real_schema(schema_name), IDF.from_file(real_schema(schema_name), DATA / request.param, encoding=encoding)


def contents(idf, in_document_order):
    """Class and values of each object, in document order or grouped by class; trailing empties are not written."""
    rows = []
    for obj in (o for o in idf.__reduce__()[2][1] if o is not None):
        values = obj.get_values()
        while values and values[-1] in ("", None):
            values.pop()
        rows.append((obj.class_name.upper(), values))
    return rows if in_document_order else sorted(rows, key=lambda row: row[0])


@pytest.mark.parametrize("options", OPTIONS, ids=IDS)
def test_round_trip(source, options, tmp_path):
    idd, original = source
    text = original.format(**options)
    original.save(tmp_path / "saved.idf", **options)
    for again in (IDF.from_string(idd, text), IDF.from_file(idd, tmp_path / "saved.idf")):
        for in_document_order in {False, options.get("preserve_order", False)}:
            assert contents(again, in_document_order) == contents(original, in_document_order)
        assert again.format(**options) == text


# --- Saving ------------------------------------------------------------------


class Interrupted(Exception):
    pass


def raise_interrupted(*_):
    raise Interrupted


def interrupted_pipe():
    """The writing end of a pipe nobody reads, and a timer whose signal interrupts the write that blocks on it."""
    reader, writer = os.pipe()
    signal.signal(signal.SIGALRM, raise_interrupted)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    return writer, reader


@pytest.mark.parametrize("save", ["save", "save_epjson"])
@pytest.mark.parametrize("sink, error", [("full disk", OSError), ("interrupt", Interrupted)])
def test_a_failed_write_comes_out_as_raised(tmp_path, save, sink, error):
    if sink == "full disk" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full on this system")
    schema = IDD.from_string("Zone,\n  A1 ; \\field Name\n")
    json_schema = tmp_path / "schema.epJSON"
    json_schema.write_text(json.dumps(epjson_schema(schema)))
    doc = IDF.from_string(schema, "".join(f"Zone,Z{i};\n" for i in range(30000)))  # beyond any buffer
    write = {"save": doc.save, "save_epjson": lambda path: doc.save_epjson(path, json_schema)}[save]
    handler = signal.getsignal(signal.SIGALRM)
    target, reader = ("/dev/full", None) if sink == "full disk" else interrupted_pipe()
    try:
        with pytest.raises(error) as info:
            write(target)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, handler)
        if reader is not None:
            os.close(reader)
    assert type(info.value) is error and info.value.__context__ is None


# --- The writer --------------------------------------------------------------

# A repeating group of size 0: naming a field of it reports a ZeroDivisionError through
# sys.unraisablehook, so writing such an object runs the hook.
ZERO_GROUP = "Zero,\\extensible:0\nA1,\\field Name\nA2,\\field Item 1\n\\begin-extensible\nA3;\\field Item 2\n"


def test_code_run_by_the_hook_cannot_change_what_the_writer_reads(monkeypatch):
    idd = IDD.from_string(LOAD_SCHEMA)
    schema = IDD.from_string(ZERO_GROUP)
    idf = IDF.from_string(schema, "Zero,A,x,y;\nZero,B,x,y;\n")
    first, second = idf["Zero"]
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    expected = idf.format()
    assert expected.count("!- Name") == 2 and expected.count("!- ") == 6  # the group fields have no names

    reports = []

    def hook(unraisable):
        reports.append((unraisable.exc_type, f"{unraisable.err_msg} {unraisable.object}"))
        for _ in range(50):  # the class being written grows ...
            idf.add_object("Zero", ["C", "x", "y"])
        # ... and an object takes another schema and other values
        second.__setstate__((b"Zone", 1, "Zone", idd, 1, idf, [b"Z"]))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    assert idf.format() == expected  # native slots
    assert [kind for kind, _ in reports] == [ZeroDivisionError]
    assert "tarvix.idd.get_field_name" in reports[0][1]
    written = idf.format(preserve_order=True)  # the object list, as restored objects see it
    assert written.startswith(expected.split("\n\n")[0]) and "Zone,\n    Z," in written
    assert len(reports) == 2 and len(idf["Zero"]) == 102  # the index is not rewritten by __setstate__


@pytest.mark.skipif("asan" in __import__("os").environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit and AddressSanitizer's shadow memory do not mix")
def test_a_write_that_runs_out_of_memory_raises_memory_error(tmp_path):
    target = tmp_path / "out.idf"
    script = textwrap.dedent(f"""
        import resource, sys
        sys.path.insert(0, {str(__import__("pathlib").Path(__file__).parent)!r})
        from test_idf_load import SCHEMA
        from tarvix.idd import IDD
        from tarvix.idf import IDF
        idf = IDF.from_string(IDD.from_string(SCHEMA), "Zone,Z1;\\n" * 200_000)
        reports = []
        sys.unraisablehook = lambda unraisable: reports.append(unraisable.exc_type.__name__)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (4 << 20), resource.RLIM_INFINITY))  # the text takes 17 MB
        for call in (lambda: idf.format(), lambda: idf.save({str(target)!r})):
            try:
                call()
                print("written")
            except MemoryError:
                print("MemoryError")
        print(reports)
    """)
    # One malloc arena: the load's graph thread leaves an arena of its own, whose reserved room a failed
    # allocation of this thread would fall back on, past the limit's intent.
    env = {**__import__("os").environ, "MALLOC_ARENA_MAX": "1"}
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env)
    lines = done.stdout.split("\n")
    assert lines[:2] == ["MemoryError", "MemoryError"], done.stdout + done.stderr
    assert set(eval(lines[2])) <= {"MemoryError"}  # a report, when the text was cut short, names the cause
    assert not target.exists()  # nothing half-written
@pytest.mark.parametrize("options", OPTIONS, ids=IDS)
def test_measured_text_is_the_written_text(idd, tmp_path, options):
    # format() measures the text, then writes it into a str of that size; save() writes it as it goes.
    doc = IDF.from_string(idd, "ZoneList, Many, " + ", ".join(f"Z{k}" for k in range(1, 1201)) + ";\nZone;\nVersion;")
    doc.save(tmp_path / "doc.idf", include_timestamp=False, **options)
    saved = (tmp_path / "doc.idf").read_text()[len(HEADER):]
    assert doc.format(**options) == saved.strip("\n")
    assert "Zone 1200 Name" in saved or options.get("compact")


# A child that writes `call` onto a file under a size limit smaller than the text (the limit's signal
# ignored, so the write fails with an error), then reports what it raised.
_LIMITED_WRITE = """
import resource, signal, sys
sys.path[:0] = {paths!r}
from schema_samples import CHECKED_IDD
from tarvix.idd import IDD
from tarvix.idf import IDF
path = {path!r}
doc = IDF.from_file(IDD.from_string(CHECKED_IDD), path, keep_layout=True)
doc["Material"][0][1] = "0.25"
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (40, 40))
try:
    doc.save(path, keep_layout={keep})
except OSError as error:
    print(type(error).__name__, error.filename)
"""


@pytest.mark.parametrize("keep", [True, False], ids=["kept", "standard"])
def test_a_failed_save_leaves_the_file_as_it_was(tmp_path, keep):
    tests = str(pathlib.Path(__file__).resolve().parent)
    original = "Material, Brick, 0.1, 2;  ! mine\n" + "! filler\n" * 400
    path = tmp_path / "doc.idf"
    path.write_text(original)
    path.chmod(0o640)
    code = _LIMITED_WRITE.format(paths=[tests, *sys.path], path=str(path), keep=keep)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["OSError", str(path)]  # the error names the file asked for
    assert path.read_text() == original and os.listdir(tmp_path) == ["doc.idf"]
    # Without the limit the edit lands, the file keeping its permissions; through a link the file it
    # names is replaced; a device is written in place, never replaced.
    doc = IDF.from_file(IDD.from_string(CHECKED_IDD), path, keep_layout=True)
    doc["Material"][0][1] = "0.25"
    link = tmp_path / "link.idf"
    link.symlink_to(path.name)
    doc.save(link, keep_layout=keep)
    assert link.is_symlink() and "0.25" in path.read_text() and (path.stat().st_mode & 0o777) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["doc.idf", "link.idf"]
    doc.save(os.devnull, keep_layout=keep)
    assert pathlib.Path(os.devnull).is_char_device()
