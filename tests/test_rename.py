"""IDFObject.rename and IDF.copy_object: renaming an object together with the fields that name it, through the
reference graph, in native and listed documents; copies of objects of this document, of another one and detached
ones; refusals that change nothing; and a zone of a real document renamed with every object that names it."""

import collections
import copy
import itertools
import threading
from unittest import mock

import pytest

from conftest import as_kind
from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject, debug_fail_allocation
from test_idf_load import DATA, SCHEMA, fold, real_schema

DOC = """Zone,Z1;
Surface,S1,,Z1,S2;
Zone,Z2;
Surface,S2,,z1,S1;
Thermostat,T1,z1;
ZoneList,L1,Z1,z2,Z1;
Notes,z1;
Construction,Wall,Z1;
"""
# The fields that name zone Z1: (class, object's place in its class, field index).
NAMING_Z1 = {("Surface", 0, 2), ("Surface", 1, 2), ("Thermostat", 0, 1), ("ZoneList", 0, 1), ("ZoneList", 0, 3),
             ("Notes", 0, 0)}
@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


def make(idd, kind, text=DOC):
    """A document as loaded (native), or after its object list was handed out (listed)."""
    return as_kind(IDF.from_string(idd, text), kind)


def fields(doc):
    """{(class, place in class, field index): value as stored} of every object's every field."""
    out = {}
    for class_name in doc.get_class_names():
        for place, obj in enumerate(doc[class_name]):
            for index, value in enumerate(obj.get_values()):
                out[obj.class_name, place, index] = value
    return out


def referrers(obj):
    """The objects that name `obj`, one per registration, in no particular order."""
    return collections.Counter(map(id, obj.get_referencing_objects(0)))


def graph(doc):
    """(referring side, defining side) of a document's reference graph: {tag: {value: sorted locations}}."""
    state = doc.__reduce__()[2]
    return tuple({tag: {value: sorted(locs) for value, locs in values.items()} for tag, values in side.items()}
                 for side in (state[3], state[4]))


# --- Renaming ----------------------------------------------------------------


class TestRename:
    def test_renames_every_field_that_names_the_object_and_nothing_else(self, idd, doc_kind):
        doc = make(idd, doc_kind)
        zone = doc["Zone"][0]
        before = fields(doc)
        assert zone.rename("Hall") == len(NAMING_Z1)
        after = fields(doc)
        assert after.keys() == before.keys()
        changed = {key for key in before if after[key] != before[key]}
        assert changed == NAMING_Z1 | {("Zone", 0, 0)}
        assert all(after[key] == "Hall" for key in changed)
        assert doc["Construction"][0]["Outside Layer"] == "Z1"  # the same text, but no reference

    def test_the_graph_follows(self, idd, doc_kind):
        doc = make(idd, doc_kind)
        zone = doc["Zone"][0]
        named_by = referrers(zone)
        zone.rename("Hall")
        assert referrers(zone) == named_by
        assert doc.get_object_by_name("Zone", "hall") is zone and doc.get_object_by_name("Zone", "Z1") is None
        assert doc.get_object_by_name("Notes", "HALL") is doc["Notes"][0]
        assert all(s.get_referenced_object("Zone Name") is zone for s in doc["Surface"])
        assert doc["Thermostat"][0].get_referenced_object(1) is zone
        assert [p.code for p in doc.validate(codes={"unknown-reference"})] == []
        assert IDF.from_string(idd, doc.format()).format() == doc.format()

    def test_the_graph_is_what_a_fresh_load_builds(self, idd, doc_kind):
        doc = make(idd, doc_kind)
        doc["Zone"][0].rename("Hall")
        doc["Surface"][0].rename("Wall")
        doc["Zone"][1].rename("z2")
        fresh = IDF.from_string(idd, doc.format(compact=True, preserve_order=True))
        assert graph(doc) == graph(fresh)

    def test_names_match_in_any_case(self, idd, doc_kind):
        doc = make(idd, doc_kind, "Zone,Office;\nSurface,A,,office;\nSurface,B,,OFFICE;\nSurface,C,,Office;\n")
        assert doc["Zone"][0].rename("Lab") == 3
        assert [s["Zone Name"] for s in doc["Surface"]] == ["Lab"] * 3

    def test_another_case_of_the_same_name(self, idd, doc_kind):
        doc = make(idd, doc_kind, "Zone,Office;\nSurface,A,,office;\nSurface,B,,OFFICE;\n")
        zone = doc["Zone"][0]
        assert zone.rename("OFFICE") == 1  # only the field whose text changes
        assert [s["Zone Name"] for s in doc["Surface"]] == ["OFFICE"] * 2
        assert zone.rename("OFFICE") == 0
        assert len(zone.get_referencing_objects("Name")) == 2

    def test_a_field_under_two_tags_counts_once(self, idd, doc_kind):
        # The thermostat's field lists both of the zone's tags; the surface's boundary both of its own.
        doc = make(idd, doc_kind, "Zone,Z1;\nThermostat,T,Z1;\nSurface,S1,,Z9,z1;\n")
        assert doc["Zone"][0].rename("Hall") == 2
        assert doc["Thermostat"][0][1] == "Hall" and doc["Surface"][0][3] == "Hall"

    def test_the_objects_own_field_counts_but_not_its_name(self, idd, doc_kind):
        doc = make(idd, doc_kind, "Surface,S1,,Z1,S1;\nSurface,S2,,Z1,s1;\n")
        first = doc["Surface"][0]
        assert first.rename("Wall") == 2
        assert first.get_values() == ["Wall", "", "Z1", "Wall"] and doc["Surface"][1][3] == "Wall"
        assert first.get_referencing_objects(0) == (first, doc["Surface"][1])

    def test_onto_a_name_already_in_use(self, idd, doc_kind):
        # A ZoneList shares the zones' ZoneAndZoneListNames tag; a Construction's name none of theirs.
        doc = make(idd, doc_kind, "Zone,A;\nZone,B;\nZoneList,Hall;\nConstruction,Wall;\nSurface,S1,,a;\n")
        a = doc["Zone"][0]
        before, state = fields(doc), graph(doc)
        for taken, message in [("b", "Zone 'B' already exists"), ("HALL", "ZoneList 'Hall' already exists"),
                               ("", "The new name cannot be empty")]:
            with pytest.raises(ValueError) as raised:
                a.rename(taken)
            assert str(raised.value) == message
            assert fields(doc) == before and graph(doc) == state
        assert a.rename("a") == 0 and a.rename("Wall") == 1  # its own name in another case; another tag's name
        doc.remove_object(doc["Zone"][1])
        assert a.rename("B") == 1 and doc["Surface"][0]["Zone Name"] == "B"  # a removed object holds no name

    def test_without_a_name_or_without_referrers(self, idd, doc_kind):
        doc = make(idd, doc_kind, "Zone;\nZone,Lone;\nSurface,S1,,Z9;\n")
        bare, lone = doc["Zone"]
        assert bare.rename("Hall") == 0 and bare.get_values() == ["Hall"]
        assert lone.rename("LONE") == 0 and lone.get_values() == ["LONE"]
        assert doc["Surface"][0]["Zone Name"] == "Z9"

    def test_removed_and_detached_objects_change_only_their_own_name(self, idd, doc_kind):
        doc = make(idd, doc_kind)
        zone = doc["Zone"][0]
        doc.remove_object(zone)
        text = doc.format(preserve_order=True)
        assert zone.rename("Hall") == 0 and zone["Name"] == "Hall"
        assert doc.format(preserve_order=True) == text
        loose = IDFObject(idd, "Zone")
        assert loose.rename("Loose") == 0 and loose.get_values() == ["Loose", None]
        assert zone.rename("Z2") == 0 and loose.rename("Z2") == 0  # no document to share a name with
        with pytest.raises(ValueError, match="The new name cannot be empty"):
            loose.rename("")

    def test_many_referrers(self, idd, doc_kind):
        text = "Zone,Z1;\nZone,Z2;\n" + "".join(f"Surface,S{i},,{'z1' if i % 3 else 'Z2'};\n" for i in range(3000))
        doc = make(idd, doc_kind, text)
        zone = doc["Zone"][0]
        for surface in doc["Surface"][::7]:
            doc.remove_object(surface)
        named_by = zone.get_referencing_objects(0)
        assert zone.rename("Hall") == len(named_by) > 1000
        assert referrers(zone) == collections.Counter(map(id, named_by))
        assert all(s["Zone Name"] == "Hall" for s in named_by)
        assert sum(s["Zone Name"] == "Z2" for s in doc["Surface"]) == 3000 - 2000 - sum(
            1 for i in range(0, 3000, 7) if i % 3 == 0)
        doc.remove_object(doc["Zone"][1])
        assert zone.rename("Z2") == len(named_by)  # merged with the removed zone's referrers
        assert len(zone.get_referencing_objects(0)) == len(doc["Surface"])


@pytest.mark.parametrize("new_name, error, message", [
    ("Hall, East", ValueError, "Field value cannot contain ',', ';', '!' or a line break: 'Hall, East'"),
    ("Hall;", ValueError, None), ("Hall!", ValueError, None), ("Hall\nEast", ValueError, None),
    ("Hall\r", ValueError, None), ("\ud800", UnicodeEncodeError, None),
    # Blanks alone name nothing: refused as the empty name is.
    ("", ValueError, "The new name cannot be empty"), ("  ", ValueError, "The new name cannot be empty"),
    ("\t", ValueError, "The new name cannot be empty"), (" \t ", ValueError, "The new name cannot be empty"),
    (None, TypeError, "Argument 'new_name' has incorrect type (expected str, got NoneType)"),
    (b"Hall", TypeError, "Argument 'new_name' has incorrect type (expected str, got bytes)"),
    (5, TypeError, "Argument 'new_name' has incorrect type (expected str, got int)"),
])
def test_refused_renames_change_nothing(idd, doc_kind, new_name, error, message):
    doc = make(idd, doc_kind)
    before, text = fields(doc), doc.format(preserve_order=True)
    with pytest.raises(error) as raised:
        doc["Zone"][0].rename(new_name)
    assert message is None or str(raised.value) == message
    assert fields(doc) == before and doc.format(preserve_order=True) == text


def test_a_class_without_a_name_field(idd, doc_kind):
    doc = make(idd, doc_kind)
    text = doc.format(preserve_order=True)
    for obj in (doc["Thermostat"][0], doc["Notes"][0], IDFObject(idd, "Plant:Sizing")):
        with pytest.raises(ValueError) as raised:
            obj.rename("Hall")
        assert str(raised.value) == f"{obj.class_name} has no name field that other objects can reference"
    assert doc.format(preserve_order=True) == text


def test_the_name_field_is_the_first_that_others_can_reference():
    idd = IDD.from_string("Tag,\n A1 , \\field Kind\n A2 ; \\field Label\n \\reference TagNames\n"
                          "User,\n A1 ; \\field Tag\n \\object-list TagNames\n")
    doc = IDF.from_string(idd, "Tag,red,First;\nUser,first;\nUser,red;\n")
    assert doc["Tag"][0].rename("Second") == 1
    assert doc["Tag"][0].get_values() == ["red", "Second"] and [u[0] for u in doc["User"]] == ["Second", "red"]
    assert doc.copy_object(doc["Tag"][0], "Third").get_values() == ["red", "Third"]


def test_arguments_and_uninitialised_objects(idd):
    zone = IDF.from_string(idd, DOC)["Zone"][0]
    with pytest.raises(TypeError, match=r"rename\(\) takes exactly 1 positional argument \(0 given\)"):
        zone.rename()
    with pytest.raises(TypeError, match="unexpected keyword argument 'name'"):
        zone.rename(name="Hall")
    assert zone.rename(new_name="Hall") == len(NAMING_Z1)
    with pytest.raises(RuntimeError, match="IDFObject is not initialized"):
        IDFObject.__new__(IDFObject).rename("Hall")


def test_a_listed_document_checks_each_registration_against_its_slot(idd):
    doc = IDF.from_string(idd, DOC)
    reconstructor, args, state = doc.__reduce__()
    referencers = dict(state[3])
    # Registrations under Z1 for a field holding other text, a slot past the list, a negative field index.
    referencers[b"ZoneNames"] = {**referencers[b"ZoneNames"],
                                 b"Z1": [*referencers[b"ZoneNames"][b"Z1"], (2, 0), (99, 1), (1, -3)]}
    doc.__setstate__((*state[:3], referencers, *state[4:]))
    before = fields(doc)
    assert doc["Zone"][0].rename("Hall") == len(NAMING_Z1)
    assert {k for k, v in fields(doc).items() if before[k] != v} == NAMING_Z1 | {("Zone", 0, 0)}


def test_a_listed_document_renames_objects_added_after_listing(idd):
    doc = make(idd, "listed")
    added = doc.add_object("Surface", ["S9", "", "Z1"])
    doc.remove_object(doc["Surface"][0])
    assert doc["Zone"][0].rename("Hall") == len(NAMING_Z1)  # one surface out, one in
    assert added["Zone Name"] == "Hall"


def test_rename_waits_for_a_check_in_another_thread(idd):
    doc = IDF.from_string(idd, "Zone,Z0;\n" + "Surface,S,,Z0;\n" * 200_000)
    zone = doc["Zone"][0]
    renamed, refused = 0, 0
    for _ in range(50):  # checks, until a change has met one still running
        thread = threading.Thread(target=doc.validate)
        thread.start()
        while thread.is_alive():
            try:
                zone.rename(f"Z{renamed + 1}")
                renamed += 1
            except RuntimeError as error:
                assert str(error) == (
                    "IDF is being validated in another thread; it cannot change until validate() returns."
                )
                refused += 1
                assert zone["Name"] == f"Z{renamed}"
            try:
                doc.copy_object(zone)
                doc.remove_object(doc["Zone"][-1])
            except RuntimeError as error:
                assert "being validated" in str(error)
        thread.join()
        if refused:
            break
    assert refused, "no rename ran while the other thread was checking"
    assert zone.rename("Last") == 200_000 and {s["Zone Name"] for s in doc["Surface"]} == {"Last"}


@pytest.mark.parametrize("new_name, message", [("west office", "Zone 'West Office' already exists"),
                                               ("", "The new name cannot be empty")])
def test_the_command_refuses_a_name_in_use(tmp_path, new_name, message):
    from test_cli import IDD_PATH, OFFICE, tarvix
    office = tmp_path / "office.idf"
    office.write_text(OFFICE)
    proc = tarvix("rename", office, "Zone", "East Office", new_name, "--idd", IDD_PATH, "--in-place", status=1)
    assert message in proc.stderr and office.read_text() == OFFICE


# --- Copying -----------------------------------------------------------------


class TestCopyObject:
    def test_a_copy_of_an_object_of_this_document(self, idd, doc_kind):
        doc = make(idd, doc_kind)
        surface = doc["Surface"][1]
        copy = doc.copy_object(surface)
        assert copy is not surface and copy.get_values() == surface.get_values() == ["S2", "", "z1", "S1"]
        assert doc["Surface"][-1] is copy and doc.format(compact=True, preserve_order=True).endswith(
            "\nSurface,S2,,z1,S1;")
        copy["Name"] = "S3"
        assert surface["Name"] == "S2"

    def test_the_copys_references_are_registered(self, idd, doc_kind):
        doc = make(idd, doc_kind)
        zone, s1 = doc["Zone"][0], doc["Surface"][0]
        copy = doc.copy_object(doc["Surface"][1], new_name="S3")
        assert copy.get_referenced_object("Zone Name") is zone and copy.get_referenced_object(3) is s1
        assert copy in zone.get_referencing_objects("Name") and copy in s1.get_referencing_objects("Name")
        assert doc.get_object_by_name("Surface", "s3") is copy
        assert zone.rename("Hall") == len(NAMING_Z1) + 1 and copy["Zone Name"] == "Hall"
        assert s1.rename("Wall") == 2 and copy[3] == "Wall"

    def test_values_are_copied_verbatim(self, idd, doc_kind):
        doc = make(idd, doc_kind, "Zone,Z1;\nSurface,S1;\n")
        zone = doc.copy_object(doc["Zone"][0])
        assert zone.get_values() == ["Z1"]  # no defaults, unlike add_object
        assert doc.copy_object(doc["Surface"][0]).get_values() == ["S1"]
        assert doc.add_object("Zone", ["Z1"]).get_values() == ["Z1", 1, 0.0]

    def test_a_new_name(self, idd, doc_kind):
        doc = make(idd, doc_kind)
        zone = doc.copy_object(doc["Zone"][1], "Annex")
        assert zone.get_values() == ["Annex"] and doc.get_object_by_name("Zone", "annex") is zone
        assert zone.get_referencing_objects(0) == ()
        with pytest.raises(ValueError, match="Zone 'Z2' already exists"):
            zone.rename("Z2")
        bare = doc.copy_object(IDFObject(idd, "Zone"), new_name="Shed")
        assert bare.get_values() == ["Shed", None]
        thermostat = doc.copy_object(doc["Thermostat"][0])  # no name field, no new name: a plain copy
        assert thermostat.get_values() == ["T1", "z1"] and thermostat.get_referenced_object(1) is doc["Zone"][0]

    def test_copies_from_another_document_and_detached_objects(self, idd, doc_kind):
        doc, other = make(idd, doc_kind), make(idd, "native", "Zone,Z7;\nSurface,S7,,z1,S9;\n")
        copy = doc.copy_object(other["Surface"][0])
        assert copy.get_values() == ["S7", "", "z1", "S9"] and other["Surface"][0].get_referenced_object(2) is None
        assert copy.get_referenced_object("Zone Name") is doc["Zone"][0] and len(other["Surface"]) == 1
        removed = doc["Surface"][0]
        doc.remove_object(removed)
        again = doc.copy_object(removed, "S1 again")
        assert again.get_values() == ["S1 again", "", "Z1", "S2"]
        assert again.get_referenced_object(3) is doc["Surface"][0]
        loose = IDFObject(idd, "Surface")
        loose.update(["Loose", "", "Z2"])
        assert doc.copy_object(loose).get_referenced_object(2) is doc["Zone"][1]
        assert [s["Name"] for s in doc["Surface"]] == ["S2", "S7", "S1 again", "Loose"]

    @pytest.mark.parametrize("call, error, message", [
        (lambda d, idd: d.copy_object(IDFObject(IDD.from_string(SCHEMA), "Zone")), ValueError,
         "The object uses a different IDD than this IDF; only objects of the same schema can be copied."),
        (lambda d, idd: d.copy_object(IDF.from_string(IDD.from_string(SCHEMA), DOC)["Zone"][0]), ValueError,
         "The object uses a different IDD than this IDF; only objects of the same schema can be copied."),
        (lambda d, idd: d.copy_object(d["Thermostat"][0], "T2"), ValueError,
         "Thermostat has no name field that other objects can reference"),
        (lambda d, idd: d.copy_object(d["Zone"][0], "A;B"), ValueError,
         "Field value cannot contain ',', ';', '!' or a line break: 'A;B'"),
        (lambda d, idd: d.copy_object(d["Zone"][0], "\ud800"), UnicodeEncodeError, None),
        (lambda d, idd: d.copy_object(d["Zone"][0], b"Z"), TypeError,
         "Argument 'new_name' has incorrect type (expected str, got bytes)"),
        (lambda d, idd: d.copy_object("Zone"), TypeError,
         "Argument 'obj' has incorrect type (expected tarvix.idf.IDFObject, got str)"),
        (lambda d, idd: d.copy_object(None), TypeError,
         "Argument 'obj' has incorrect type (expected tarvix.idf.IDFObject, got NoneType)"),
        (lambda d, idd: d.copy_object(d), TypeError,
         "Argument 'obj' has incorrect type (expected tarvix.idf.IDFObject, got tarvix.idf.IDF)"),
        (lambda d, idd: d.copy_object(IDFObject.__new__(IDFObject)), RuntimeError, "IDFObject is not initialized"),
        (lambda d, idd: d.copy_object(), TypeError, "copy_object() takes at least 1 positional argument (0 given)"),
    ])
    def test_refused_copies_change_nothing(self, idd, doc_kind, call, error, message):
        doc = make(idd, doc_kind)
        before, text = fields(doc), doc.format(preserve_order=True)
        with pytest.raises(error) as raised:
            call(doc, idd)
        assert message is None or str(raised.value) == message
        assert fields(doc) == before and doc.format(preserve_order=True) == text


def test_copy_into_an_uninitialised_document(idd):
    with pytest.raises(RuntimeError, match="IDF is not initialized"):
        IDF.__new__(IDF).copy_object(IDFObject(idd, "Zone"))


# --- Running out of memory in the middle of an edit --------------------------


def snapshot(doc):
    """What a caller can see of a document: its text, and per object (by place in the document) its name
    lookup, the objects it names field by field and those that name it."""
    objects = list(doc)
    place = {id(obj): i for i, obj in enumerate(objects)}.get
    return doc.format(compact=True, preserve_order=True), [
        (place(doc.get_object_by_name(obj.class_name, obj[0] or "")),
         [place(obj.get_referenced_object(i)) for i in range(len(obj.get_values()))],
         [place(r) for r in obj.get_referencing_objects(0)]) for obj in objects]


EDITS = {
    "rename": lambda d: d["Zone"][0].rename("Hall"),
    "rename in another case": lambda d: d["Surface"][1].rename("s2"),
    "set a reference": lambda d: d["Surface"][0].__setitem__("Zone Name", "Z2"),
    "set a reference in another case": lambda d: d["Surface"][0].__setitem__("Zone Name", "z1"),
    "set a name": lambda d: d["Zone"][1].__setitem__("Name", "Annex"),
    "update": lambda d: d["ZoneList"][0].update({"Zone 4 Name": "Z2"}),
    "add": lambda d: d.add_object("Surface", default_values=False),
    "copy": lambda d: d.copy_object(d["Surface"][0], "S3"),
    "remove": lambda d: d.remove_object(d["Zone"][0]),
    "remove a class": lambda d: d.remove_all_objects("Surface"),
}


@pytest.mark.parametrize("edit", EDITS)
def test_an_edit_that_runs_out_of_memory_changes_nothing(idd, doc_kind, edit):
    """Every allocation an edit makes is made to fail in turn: the edit raises MemoryError with the document as
    it was, or (a cache given up) completes; nothing is reported through sys.unraisablehook."""
    done = make(idd, doc_kind)
    EDITS[edit](done)
    expected = snapshot(done)
    reports = []
    with mock.patch("sys.unraisablehook", reports.append):
        for after in itertools.count():
            assert after < 100
            doc = make(idd, doc_kind)
            before = snapshot(doc)
            debug_fail_allocation(after)
            try:
                EDITS[edit](doc)
            except MemoryError:
                assert not debug_fail_allocation(-1)
                assert snapshot(doc) == before, after
                continue
            waiting = debug_fail_allocation(-1)
            assert snapshot(doc) == expected, after
            if waiting:  # the edit went through without reaching the failure: every step has failed once
                break
    assert after > 0 and reports == []


# --- A real document (skipped when the files are absent) ---------------------

HEATPUMP, SCHEMA_V8 = DATA / "5ZoneWaterLoopHeatPump.idf", DATA / "Energy+V8_0_0.idd"


@pytest.mark.skipif(not (HEATPUMP.is_file() and SCHEMA_V8.is_file()),
                    reason=f"{HEATPUMP.name} or {SCHEMA_V8.name} is absent from {DATA.resolve()}")
def test_renaming_a_zone_of_a_real_document(doc_kind):
    doc = as_kind(IDF.from_file(real_schema(SCHEMA_V8.name), HEATPUMP, encoding="latin-1"), doc_kind)
    zone = doc.get_object_by_name("Zone", "SPACE2-1")
    # Every field that names the zone, found field by field through the objects' own references.
    objects = [obj for class_name in doc.get_class_names() for obj in doc[class_name]]
    naming = {(id(obj), index) for obj in objects for index in range(len(obj.get_values()))
              if obj.get_referenced_object(index) is zone and not (obj is zone and index == 0)}
    assert len(naming) > 10 and all(fold(obj[i]) == "SPACE2-1" for obj in objects for j, i in naming if j == id(obj))
    before = [(obj, obj.get_values()) for obj in objects]
    named_by = referrers(zone)

    assert zone.rename("Second Floor West") == len(naming)

    for obj, values in before:
        now = obj.get_values()
        assert len(now) == len(values), obj.class_name
        for index, (old, new) in enumerate(zip(values, now)):
            if (id(obj), index) in naming or (obj is zone and index == 0):
                assert new == "Second Floor West", (obj.class_name, index)
            else:
                assert new == old, (obj.class_name, index)
    assert all(obj.get_referenced_object(i) is zone for obj in objects for j, i in naming if j == id(obj))
    assert referrers(zone) == named_by
    assert doc.get_object_by_name("Zone", "space2-1") is None
    assert [p for p in doc.validate(codes={"unknown-reference"}) if "Second Floor West" in p.message] == []


# --- Copies of objects -------------------------------------------------------


def test_a_copy_of_an_object_of_a_document_changes_only_itself(idd):
    idf = IDF.from_string(idd, "Zone,Z1;\nZone,Z2;\nSurface,S1,,Z1;\n")
    zone, surface = idf["Zone"][0], idf["Surface"][0]
    twin = copy.copy(zone)
    assert twin.__reduce__() == zone.__reduce__()  # same parent, same slot
    twin["Name"] = "Z9"
    assert (zone["Name"], twin["Name"]) == ("Z1", "Z9")
    assert surface.get_referenced_object("Zone Name") is zone
    assert zone.get_referencing_objects("Name") == (surface,)
    surface["Zone Name"] = "Z9"
    assert surface.get_referenced_object("Zone Name") is None  # Z9 names nothing in the document
    surface_twin = copy.copy(surface)
    surface_twin["Zone Name"] = "Z2"
    assert idf["Zone"][1].get_referencing_objects("Name") == ()
    idf.remove_object(zone)  # the original still sits in its slot and leaves the graph whole
    assert idf.__reduce__()[2][4][b"ZoneNames"] == {b"Z2": [(1, 0)]}
