"""Documents that keep the text they were loaded from: written back unedited byte for byte, and edited
only where the edits reach; the line of every object and problem."""

import difflib
import json
import random
from pathlib import Path
from unittest import mock

import pytest
from test_engine_epjson import BUILDINGS
from test_misuse import restore

import tarvix
from conftest import as_kind
from engine import convert_to_epjson, dataset_texts, payload_dir
from schema_samples import CHECKED_IDD
from tarvix.idd import IDD
from tarvix.idf import IDF

DATA = Path(__file__).resolve().parents[2] / "shared" / "data"
REAL = sorted(DATA.glob("*.idf")) if DATA.is_dir() else []
needs_data = pytest.mark.skipif(not REAL, reason=f"no real documents in {DATA}")


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(CHECKED_IDD)


PADDED = """! Materials of the east wing
Material,
    Brick,                   !- Name
    0.1,                     !- Thickness {m}
    2;                       !- Layers

Construction,
  Ext Wall,  ! the usual one
  Brick;
"""


TRAILING = """Material,
    Brick,    !- Name
    0.1,      !- Thickness {m}
    ,         !- Layers
    ;         !- Conductivity
"""


def kept(idd, text, edit, kind="native"):
    doc = as_kind(IDF.from_string(idd, text, keep_layout=True), kind)
    edit(doc)
    return doc.format(keep_layout=True)


def changed_lines(before, after):
    """The lines a diff shows as taken out and put in."""
    diff = difflib.unified_diff(before.splitlines(), after.splitlines(), lineterm="", n=0)
    return [line for line in diff if line[:1] in "+-" and not line.startswith(("+++", "---"))]


def set_value(class_name, index, value, obj=0):
    def edit(doc):
        doc[class_name][obj][index] = value

    return edit


@pytest.mark.parametrize(
    "text, edit, expected",
    [
        # A value is replaced where it stands; the padding holds the comment column.
        (PADDED, set_value("Material", 1, "0.125"), PADDED.replace("0.1,   ", "0.125, ")),
        (PADDED, set_value("Material", 1, "0.1" + "5" * 30),
         PADDED.replace("0.1,                     !-", "0.1" + "5" * 30 + ", !-")),
        (PADDED, set_value("Material", 0, "B"), PADDED.replace("Brick,       ", "B,           ")),
        # The user's own comment stays with the rest of the line.
        (PADDED, set_value("Construction", 0, "Outer Wall"), PADDED.replace("Ext Wall,  !", "Outer Wall, !")),
        # On a compact line only the value's characters change.
        ("Material, Brick, 0.1, 2;  ! mine\n", set_value("Material", 1, "0.25"),
         "Material, Brick, 0.25, 2;  ! mine\n"),
        # Values past the end: in the object's own style, field names as its comments have them.
        (PADDED, set_value("Material", 3, "autosize"),
         PADDED.replace("2;                       !- Layers",
                        "2,                       !- Layers\n    autosize;                !- Conductivity")),
        ("Material, Brick, 0.1;\n", set_value("Material", 3, "1.5"), "Material, Brick, 0.1, , 1.5;\n"),
        # Trailing empty fields an edit leaves go, the other lines untouched.
        (PADDED, set_value("Material", 2, ""),
         PADDED.replace("    0.1,                     !- Thickness {m}\n    2;                       !- Layers",
                        "    0.1;                     !- Thickness {m}")),
        ("Material, Brick, 0.1, 2;\n", set_value("Material", 2, ""), "Material, Brick, 0.1;\n"),
        # A rename changes the name and each reference in place.
        (PADDED, lambda doc: doc["Material"][0].rename("Clay"),
         PADDED.replace("Brick,      ", "Clay,       ").replace("  Brick;", "  Clay;")),
        # Line ends stay the file's own, on new lines too.
        (PADDED.replace("\n", "\r\n"), set_value("Material", 3, "1"),
         PADDED.replace("2;                       !- Layers",
                        "2,                       !- Layers\n    1;                       !- Conductivity")
         .replace("\n", "\r\n")),
        (PADDED.replace("\n", "\r"), set_value("Material", 3, "1"),
         PADDED.replace("2;                       !- Layers",
                        "2,                       !- Layers\n    1;                       !- Conductivity")
         .replace("\n", "\r")),
        # Empty fields the author wrote at the end stay through an edit elsewhere, with their lines.
        (TRAILING, set_value("Material", 1, "0.2"), TRAILING.replace("0.1,", "0.2,")),
        (TRAILING, set_value("Material", 3, "1.5"), TRAILING.replace("    ;         !-", "    1.5;      !-")),
        ("Material, Brick, 0.1, , ;\n", set_value("Material", 0, "Clay"), "Material, Clay, 0.1, , ;\n"),
        # A value an edit empties still takes the empty fields after it.
        (TRAILING, set_value("Material", 1, ""), "Material,\n    Brick;    !- Name\n"),
    ],
)
def test_an_edit_changes_only_its_text(idd, doc_kind, text, edit, expected):
    assert kept(idd, text, edit, doc_kind) == expected


OWN_BLOCK = """Version, 9.1;

! Brick: the facade material
Material, Brick, 0.1, 2;

Material, Stone, 0.2, 2;
"""

SHARED_BLOCK = """Version, 9.1;

! Materials, Brick first
Material, Brick, 0.1, 2;
Material, Stone, 0.2, 2;
"""


@pytest.mark.parametrize(
    "text, expected",
    [
        # A comment block right above that names the object, the two alone between blank lines, is its own.
        (OWN_BLOCK, "Version, 9.1;\n\nMaterial, Stone, 0.2, 2;\n"),
        # Otherwise the comments stay: only the object's own lines go.
        (SHARED_BLOCK, "Version, 9.1;\n\n! Materials, Brick first\nMaterial, Stone, 0.2, 2;\n"),
        # The block names the object only as a whole word: "On" is not in "zones".
        (OWN_BLOCK.replace("Brick", "On"), "Version, 9.1;\n\nMaterial, Stone, 0.2, 2;\n"),
        (OWN_BLOCK.replace("Brick", "On").replace("On: the facade", "zones: the facade"),
         "Version, 9.1;\n\n! zones: the facade material\n\nMaterial, Stone, 0.2, 2;\n"),
        (OWN_BLOCK.replace("Brick", "On").replace("On: the facade", "Only the facade"),
         "Version, 9.1;\n\n! Only the facade material\n\nMaterial, Stone, 0.2, 2;\n"),
        (PADDED, "! Materials of the east wing\n\nConstruction,\n  Ext Wall,  ! the usual one\n  Brick;\n"),
        ("Material, Brick, 0.1; Material, Stone, 0.2;\n", "Material, Stone, 0.2;\n"),
    ],
)
def test_a_removed_object_takes_its_own_lines(idd, doc_kind, text, expected):
    assert kept(idd, text, lambda doc: doc.remove_object(doc["Material"][0]), doc_kind) == expected


def test_an_added_object_follows_its_class_in_the_documents_layout(idd):
    text = PADDED + "\nFan,\n    F1,                      !- Name\n    2;                       !- Flow\n"
    after = kept(idd, text, lambda doc: doc.add_object("Material", ["Stone", "0.2"], default_values=False))
    assert changed_lines(text, after) == ["+", "+Material,", "+    Stone,                   !- Name",
                                          "+    0.2;                     !- Thickness {m}"]
    assert after.index("Stone") < after.index("Construction")
    compact = "Version, 9.1;\nMaterial, Brick, 0.1;\n"
    assert kept(idd, compact, lambda doc: doc.add_object("Fan", ["F2"], default_values=False)) == (
        compact + "Fan, F2;\n")


def test_an_unedited_text_comes_back_as_read(idd, tmp_path):
    text = PADDED.replace("\n", "\r\n").replace("east", "\u00e9ast") + "\r\n! the end, with no line end"
    path = tmp_path / "doc.idf"
    path.write_bytes(b"\xef\xbb\xbf" + text.encode("cp1252"))
    doc = IDF.from_file(idd, path, "cp1252", keep_layout=True)
    doc.save(tmp_path / "out.idf", keep_layout=True)
    assert (tmp_path / "out.idf").read_bytes() == path.read_bytes()
    assert doc.format(keep_layout=True) == text


@pytest.mark.parametrize("call", [lambda doc: doc.format(keep_layout=True),
                                  lambda doc: doc.save("never.idf", keep_layout=True)])
def test_writing_the_layout_needs_it_kept(idd, call):
    with pytest.raises(ValueError, match=r"keep_layout=True\) needs the text the document was loaded from"):
        call(IDF.from_string(idd, PADDED))
    with pytest.raises(TypeError, match="unexpected keyword argument 'keep_layout'"):  # JSON has no layout to keep
        IDF.from_epjson(idd, "{}", "schema.epJSON", keep_layout=True)


def test_line_numbers(idd):
    text = "Version, 9.1;\n\n" + PADDED.replace("0.1,", "-1,")
    for keep in (False, True):
        doc = IDF.from_string(idd, text, keep_layout=keep)
        assert [doc.line_of(obj) for obj in doc] == [1, 4, 9]
        thickness = [p for p in doc.validate() if p.field_name == "Thickness"]
        assert [p.line for p in thickness] == [6 if keep else 4]
        assert len(thickness[0]) == 9  # the tuple is as it was
        assert doc.line_of(doc.add_object("Fan", ["F9"])) is None
    with pytest.raises(ValueError):
        IDF.from_string(idd, text).line_of(doc["Material"][0])


@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"], ids=["LF", "CRLF", "CR"])
def test_problem_lines_in_every_line_end(idd, end):
    text = ("Version, 9.1;\n\n" + PADDED.replace("0.1,", "-1,")).replace("\n", end)
    doc = IDF.from_string(idd, text, keep_layout=True)
    assert [doc.line_of(obj) for obj in doc] == [1, 4, 9]
    assert [p.line for p in doc.validate() if p.field_name == "Thickness"] == [6]


def test_problem_lines_of_one_large_object_take_one_reading(idd):
    # A wall of 20,000 vertices whose every coordinate is wrong: each problem's line is found without
    # reading the object again.
    count = 20000
    text = "Wall,\n  W1,\n  ,\n  ,\n" + "".join(f"  x{i}, y, z{',' if i + 1 < count else ';'}\n" for i in range(count))
    doc = IDF.from_string(idd, text, keep_layout=True)
    problems = [p for p in doc.validate() if p.field_index is not None and p.field_index >= 3]
    assert len(problems) >= count
    assert all(p.line == 5 + (p.field_index - 3) // 3 for p in problems[:count])


@needs_data
@pytest.mark.parametrize("path", REAL, ids=lambda p: p.name)
def test_real_documents_round_trip(path, tmp_path):
    doc = tarvix.open_idf(path, DATA, keep_layout=True)
    doc.save(tmp_path / "out.idf", keep_layout=True)
    assert (tmp_path / "out.idf").read_bytes() == path.read_bytes()
    added = None
    if "Zone" in doc:
        before = doc.format(keep_layout=True)
        # One field: one line. A rename with N references: N + 1 lines.
        zone = doc["Zone"][0]
        zone[1] = "12.5"
        assert len(changed_lines(before, doc.format(keep_layout=True))) == 2
        before = doc.format(keep_layout=True)
        references = zone.rename("Renamed Zone")
        assert references > 0
        assert len(changed_lines(before, doc.format(keep_layout=True))) == 2 * (references + 1)
        # Adding an object: its lines only.
        before = doc.format(keep_layout=True)
        added = doc.copy_object(zone, "Another Zone")
        assert all(line.startswith("+") for line in changed_lines(before, doc.format(keep_layout=True)))
        assert doc.line_of(added) is None
    # Random edits: the text reloads to the document they made.
    rnd = random.Random(path.name)
    for _ in range(200):
        objs = list(doc)
        obj = rnd.choice(objs)
        roll = rnd.random()
        if roll < 0.6:
            try:
                obj[rnd.randrange(len(obj.get_values()) + 2)] = rnd.choice(["1", "", "a longer value than most"])
            except IndexError:  # past the class's last field
                pass
        elif roll < 0.8:
            doc.remove_object(obj)
        else:
            doc.copy_object(obj)
    assert contents(IDF.from_string(doc.idd, doc.format(keep_layout=True))) == contents(doc)


def contents(doc):
    """{class: [values of each object, trailing empty ones left out]}: what a reload must agree on."""
    out = {}
    for obj in doc:
        values = ["" if v is None else str(v) for v in obj.get_values()]
        while values and not values[-1]:
            values.pop()
        out.setdefault(obj.class_name.upper(), []).append(values)
    return out


def without_trailing_empties(value):
    """epJSON with the empty items that end a repeating group left out: the standard writer drops an
    object's trailing empty fields, the kept text has them where the author wrote them."""
    if isinstance(value, dict):
        return {key: without_trailing_empties(item) for key, item in value.items()}
    if isinstance(value, list):
        items = [without_trailing_empties(item) for item in value]
        while items and items[-1] == {}:
            items.pop()
        return items
    return value


def test_the_engine_reads_kept_and_standard_text_alike(tmp_path):
    """The same edits, written in the kept layout and in the standard one, convert to the same epJSON."""
    engine_idd = IDD.from_file(payload_dir() / "Energy+.idd")
    datasets = dataset_texts()
    for name, text in datasets.items():
        assert IDF.from_string(engine_idd, text, keep_layout=True).format(keep_layout=True) == text, name
    texts = {**BUILDINGS, **dict(list(datasets.items())[:12])}
    compared = 0
    for name, text in texts.items():
        written = []
        for keep in (True, False):
            doc = IDF.from_string(engine_idd, text, keep_layout=keep)
            objs = [obj for obj in doc if obj.class_name not in ("Version", "Building", "GlobalGeometryRules")]
            if len(objs) < 3:
                break
            named = None
            for obj in objs:
                try:
                    obj.rename(f"{obj.get_values()[0]} renamed")
                except ValueError:  # a class without a name field
                    continue
                named = obj
                break
            if named is None:
                break
            doc.copy_object(named, "copied")
            doc.remove_object(objs[-1])
            same_class = [o for o in objs if o.class_name == objs[1].class_name and o is not objs[1]]
            if same_class and len(objs[1].get_values()) > 1:
                objs[1][1] = same_class[0].get_values()[1]
            written.append(doc.format(keep_layout=True) if keep else doc.format())
        if len(written) < 2:
            continue
        converted = [convert_to_epjson(t, tmp_path) for t in written]
        assert converted[0][0] == converted[1][0], name
        if converted[0][0]:
            assert without_trailing_empties(json.loads(converted[0][2])) == without_trailing_empties(
                json.loads(converted[1][2])), name
            compared += 1
    assert compared >= 5


@pytest.mark.parametrize("objects", [
    lambda objs, other: objs[::-1],
    lambda objs, other: objs[:2],
    lambda objs, other: [],
    lambda objs, other: [objs[0], 5, "Zone", objs[3]],
    lambda objs, other: [objs[0], other[1], objs[2], other[0], other[1]],
])
def test_restored_states_write_safely(idd, objects):
    """A kept text with slots a restored state filled: each object is written once, whatever sits where."""
    text = "! top\nMaterial, A, 1;\nConstruction, C1, A;\n\n! m2\nMaterial, B, 2;\nMaterial, D, 3;\n"
    doc = IDF.from_string(idd, text, keep_layout=True)
    other = list(IDF.from_string(idd, "Material, X, 9;\nMaterial, Y, 8;\n"))
    restore(doc, objects=objects(list(doc), other))
    reported = []
    with mock.patch("sys.unraisablehook", lambda unraisable: reported.append(unraisable.exc_type)):
        written = doc.format(keep_layout=True)
    again = IDF.from_string(idd, written)
    if not reported:
        assert sorted(o.get_values()[0] for o in again) == sorted(o.get_values()[0] for o in doc)
