"""Tests of the collection operations of tarvix.idf documents (listing by class,
finding by name, class names, adding and removing objects, the read-only
IDFObjectTuple), the argument types of every tarvix.idf entry point, and the
reference queries of IDFObject with how removals and writes keep the reference
graph current, also on a real document in ../shared/data."""

import collections
import re

import pytest

import tarvix.idf
from conftest import as_kind
from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject, IDFObjectTuple
from test_idf_load import DATA, SCHEMA, fold, read_objects, real_schema

# Objects are named "Class/first value" in the tables below.
DOC = """\
Zone, Zone One, 1, 0, Zone Two;
Zone, Zone Two;
Construction, Exterior Wall, Brick;
Thermostat, Lobby Stat, All Zones;
Surface, Wall 1, Exterior Wall, Zone One, , 0, 0, 0, 1, 0, 0;
Surface, Wall 2, Exterior Wall, zone one, Zone Two;
surface, Floor 1, Exterior Wall, Zone Two, Wall 1;
SURFACE, Roof 1, , Zone Two, Zone Two;
ZoneList, All Zones, Zone One, Zone Two;
Thermostat, Stat 1, ZONE ONE;
Notes, Zone One, Zone Two, , Zone Two;
"""
CLASSES = ["Zone", "Construction", "Thermostat", "Surface", "ZoneList", "Notes"]
# Referencers are listed tag by tag (the name field's tags in schema order), each
# tag's entries in registration order, once per registration.
ZONE_ONE_REFERENCERS = ["Surface/Wall 1", "Surface/Wall 2", "ZoneList/All Zones", "Thermostat/Stat 1",
                        "Notes/Zone One", "Thermostat/Stat 1"]
ZONE_TWO_REFERENCERS = ["Surface/Wall 2", "Surface/Floor 1", "Surface/Roof 1", "Surface/Roof 1", "ZoneList/All Zones"]
DETACHED = "Error: The object belongs to a different IDF model or is detached."
ADD = "This is a read-only tuple. To add new objects, use the idf.add_object() method."
REMOVE = ("This is a read-only tuple. To remove objects, use the idf.remove_object() or idf.remove_all_objects() "
          "methods.")
NONE_ENCODE = "'NoneType' object has no attribute 'encode'"


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


@pytest.fixture
def idf(idd):
    return IDF.from_string(idd, DOC)


def labels(objects):
    return [f"{o.class_name}/{o[0]}" for o in objects]


def find(idf, name):
    obj = idf.get_object_by_name(*name.split("/"))
    assert obj is not None, name
    return obj


def snapshot(idf):
    return {c: [o.get_values() for o in idf[c]] for c in sorted(idf.get_class_names())}


def wrong_type(name, got, expected="str"):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


class StrSub(str):
    pass


# --- IDFObjectTuple ----------------------------------------------------------


def test_tuple_class(idf, monkeypatch):
    assert (type(IDFObjectTuple), IDFObjectTuple.__bases__, IDFObjectTuple.__module__, IDFObjectTuple.__qualname__,
            IDFObjectTuple.__doc__) == (type, (tuple,), "tarvix.idf", "IDFObjectTuple",
                                        "tuple of IDFObjects with custom error messages")
    first, second = zones = idf["Zone"]
    assert type(zones) is IDFObjectTuple and zones[1:] == (second,) and zones.index(second) == 1

    class Listing(IDFObjectTuple):
        pass

    # mutator names give guidance; any other name the usual message, naming the instance's type
    for name, message in [("append", ADD), ("insert", ADD), ("remove", REMOVE), ("clear", REMOVE),
                          ("sort", None), ("Append", None)]:
        for listing in (zones, Listing()):
            with pytest.raises(AttributeError) as error:
                getattr(listing, name)
            assert str(error.value) == (message or f"'{type(listing).__name__}' object has no attribute '{name}'")
    monkeypatch.setattr(tarvix.idf, "IDFObjectTuple", Listing)  # results use the module's current attribute
    for result in [idf["Zone"], idf.get_objects("Zonee"), first.get_referencing_objects("Name")]:
        assert type(result) is Listing


# --- Docstrings and argument types of every entry point ----------------------


def test_docstrings():
    for method, first_line in [
        (IDF.from_file, "Parse IDF file"), (IDF.from_string, "Parse IDF from string"),
        (IDF.get_objects, "Get tuple of IDFObjects from class name."),
        (IDF.__getitem__, "Get tuple of IDFObjects from class name"),
        (IDF.get_object_by_name, "Get object by first field (likely name)"),
        (IDF.get_class_names, "Get list of class names"), (IDF.add_object, "Add object to IDF"),
        (IDF.remove_object, "Remove object from IDF"),
        (IDF.remove_all_objects, "Remove all objects of a certain class from IDF"),
        (IDFObject.get_referenced_object, "Return objects referenced by this object."),
        (IDFObject.get_referencing_objects, "Return objects that are referencing this object."),
    ]:
        assert method.__doc__.strip().splitlines()[0] == first_line, method.__name__


IDD_TYPE, OBJECT_TYPE = "tarvix.idd.IDD", "tarvix.idf.IDFObject"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda d, idf, p: IDF.from_string(None, "Zone,a;"), TypeError, wrong_type("idd", "NoneType", IDD_TYPE)),
        (lambda d, idf, p: IDF.from_file(None, p), TypeError, wrong_type("idd", "NoneType", IDD_TYPE)),
        (lambda d, idf, p: IDF.from_string("schema", "Zone,a;"), TypeError, wrong_type("idd", "str", IDD_TYPE)),
        (lambda d, idf, p: IDF.from_string(d, b"Zone,a;"), TypeError, wrong_type("content", "bytes")),
        (lambda d, idf, p: IDF.from_string(d, StrSub("Zone,a;")), TypeError, wrong_type("content", "StrSub")),
        (lambda d, idf, p: IDF.from_string(d, None), AttributeError, NONE_ENCODE),
        (lambda d, idf, p: IDF.from_file(d, p, b"utf-8"), TypeError, wrong_type("encoding", "bytes")),
        (lambda d, idf, p: IDFObject(None, "Zone"), TypeError, wrong_type("idd", "NoneType", IDD_TYPE)),
        (lambda d, idf, p: IDFObject(d, b"Zone"), TypeError, wrong_type("class_name", "bytes")),
        (lambda d, idf, p: IDFObject(d, None), AttributeError, NONE_ENCODE),
        (lambda d, idf, p: idf.get_objects(StrSub("Zone")), TypeError, wrong_type("class_name", "StrSub")),
        (lambda d, idf, p: idf[None], AttributeError, NONE_ENCODE),
        (lambda d, idf, p: idf.get_object_by_name(5, "Zone One"), TypeError, wrong_type("class_name", "int")),
        (lambda d, idf, p: idf.get_object_by_name("Zone", None), AttributeError, NONE_ENCODE),
        (lambda d, idf, p: idf.add_object(5), TypeError, wrong_type("class_name", "int")),
        (lambda d, idf, p: idf.remove_all_objects(b"Zone"), TypeError, wrong_type("class_name", "bytes")),
        (lambda d, idf, p: idf.remove_object(None), TypeError, wrong_type("obj", "NoneType", OBJECT_TYPE)),
        (lambda d, idf, p: idf.remove_object("Zone One"), TypeError, wrong_type("obj", "str", OBJECT_TYPE)),
    ],
)
def test_argument_types(idd, idf, tmp_path, call, exc, message):
    (tmp_path / "doc.idf").write_text("Zone,a;")
    before = snapshot(idf)
    with pytest.raises(exc) as error:
        call(idd, idf, tmp_path / "doc.idf")
    assert str(error.value) == message and snapshot(idf) == before


def test_arguments_by_keyword(idf):
    assert labels(idf.get_objects(class_name="zone")) == ["Zone/Zone One", "Zone/Zone Two"]
    zone = idf.get_object_by_name(class_name="Zone", obj_name="zone two")
    added = idf.add_object(class_name="Zone", initial_values=["Zone Three"], default_values=False)
    assert added.get_values() == ["Zone Three"] and idf.remove_object(obj=added) is None
    assert idf.remove_all_objects(class_name="Notes") == 1
    assert labels(zone.get_referencing_objects(key="Name")) == ZONE_TWO_REFERENCERS
    assert find(idf, "Surface/Floor 1").get_referenced_object(key="Zone Name") is zone


# --- Listing, finding by name, class names -----------------------------------


def test_listing(idd, idf):
    listings = [idf["surface"], idf["SURFACE"], idf.get_objects("sUrFaCe")]
    assert all(type(t) is IDFObjectTuple and t == listings[0] for t in listings)
    assert labels(listings[0]) == ["Surface/Wall 1", "Surface/Wall 2", "Surface/Floor 1", "Surface/Roof 1"]
    for unknown in ("Zonee", " Zone", ""):
        assert idf[unknown] == () and type(idf.get_objects(unknown)) is IDFObjectTuple
    empty = IDF.from_string(idd, "")
    assert empty["Zone"] == () and empty.get_class_names() == [] and empty.get_object_by_name("Zone", "") is None
    zone = empty.add_object("Zone", ["Only"])
    assert empty["zone"] == (zone,) and empty.get_class_names() == ["Zone"]


def test_integer_subscripts_are_refused(idd, idf):
    with pytest.raises(TypeError) as error:
        idf[0]
    assert str(error.value) == wrong_type("class_name", "int")

    class Document(IDF):  # subscripting goes through get_objects
        def get_objects(self, class_name):
            return ("listed", class_name)

    assert Document.from_string(idd, DOC)["Zone"] == ("listed", "Zone")


def test_length_iteration_membership_and_schema(idd, doc_kind):
    doc = as_kind(IDF.from_string(idd, "Zone,A;\nSurface,S1,,A;\nZone,B;\nNote,x;\n"), doc_kind)
    zone_a, surface, zone_b, note = doc["Zone"][0], doc["Surface"][0], doc["Zone"][1], doc["Note"][0]
    assert len(doc) == 4 and list(doc) == [zone_a, surface, zone_b, note] and doc.idd is idd
    assert ("zone" in doc, "SURFACE" in doc, "Zonee" in doc, "" in doc, "\ud800" in doc, 5 in doc, None in doc) == (
        True, True, False, False, False, False, False)
    seen = []
    for obj in doc:  # edits during iteration: what it gives was fixed when it started
        seen.append(obj)
        if obj is zone_a:
            doc.remove_object(surface)
            doc.add_object("Zone", ["C"])
    assert seen == [zone_a, surface, zone_b, note]
    doc.remove_all_objects("Surface")
    assert len(doc) == 4 and "Surface" not in doc and [o["Name"] for o in doc["Zone"]] == ["A", "B", "C"]
    with pytest.raises(AttributeError):
        doc.idd = idd


def test_field_names_follow_the_stored_fields(idd):
    doc = IDF.from_string(idd, "Note,a,b,c;\nZone,A;\n")
    assert doc["Note"][0].field_names == ["Line 1", "Line 2", "Line 3"]  # the repeating group numbered
    zone = doc["Zone"][0]
    assert zone.field_names == ["Name"] and list(zip(zone.field_names, zone.get_values())) == [("Name", "A")]
    zone["Multiplier"] = 2
    assert zone.field_names == ["Name", "Multiplier"]


def test_get_object_by_name(idd, idf):
    for class_name, obj_name, expected in [
        ("ZONE", "zone two", "Zone/Zone Two"), ("Notes", "zone one", "Notes/Zone One"),  # value 0, whatever field
        ("Zone", "Zone One ", None), ("Zone", "", None), ("Zonee", "Zone One", None), ("Surface", "Zone One", None),
    ]:
        found = idf.get_object_by_name(class_name, obj_name)
        assert (found and labels([found])[0]) == expected, (class_name, obj_name)
    doc = IDF.from_string(idd, "Construction;\nConstruction, , Bare;\nConstruction, Dup, First;\n"
                               "Construction, DUP, Second;\nConstruction, Zoné Wall, Third;\n")
    for obj_name, layer in [("", "Bare"), ("dup", "First"), ("ZONé WALL", "Third"), ("ZONÉ WALL", None)]:
        found = doc.get_object_by_name("Construction", obj_name)  # the first match; only ASCII letters fold
        assert (found and found[1]) == layer, obj_name
    doc.remove_object(doc.get_object_by_name("Construction", "dup"))
    assert doc.get_object_by_name("Construction", "dup")[1] == "Second"


def test_get_class_names(idd, idf):
    names = idf.get_class_names()
    assert type(names) is list and sorted(names) == sorted(CLASSES)
    for notes in idf["Notes"]:
        idf.remove_object(notes)
    idf.remove_all_objects("thermostat")
    assert sorted(idf.get_class_names()) == sorted(set(CLASSES) - {"Notes", "Thermostat"})
    idf.add_object("notes")
    assert sorted(idf.get_class_names()) == sorted(set(CLASSES) - {"Thermostat"})
    # classes spelled otherwise in the document are named as the schema spells them
    assert IDF.from_string(idd, "zone, a;\nZONE, b;\n").get_class_names() == ["Zone"]


# --- Adding objects ----------------------------------------------------------


@pytest.mark.parametrize(
    "class_name, kwargs, values",
    [
        ("Zone", {}, ["", 1, 0.0]),  # min-fields, then defaults; not trimmed without initial values
        ("zone", {"default_values": False}, ["", None]), ("Zone", {"default_values": "no"}, ["", 1, 0.0]),
        ("Zone", {"initial_values": {"Name": "Zone Three", "ceiling height": None}}, ["Zone Three", 1]),
        ("Zone", {"initial_values": {0: "Zone Three", "Floor Type": "F"}, "default_values": False},
         ["Zone Three", None, None, "F"]),
        ("Construction", {"initial_values": []}, []), ("Surface", {}, ["", "Exterior Wall"]),
        ("Surface", {"initial_values": ["S", None, "Zone One", "", 1, 2, 3, 4]},
         ["S", "", "Zone One", "", 1.0, "2", 3.0, 4.0]),  # the group's template types apply
        ("ZoneList", {"initial_values": {"Zone 3 Name": "Zone Two"}}, ["", "", "", "Zone Two"]),
    ],
)
def test_add_object(idf, class_name, kwargs, values):
    before = len(idf[class_name])
    added = idf.add_object(class_name, **kwargs)
    assert type(added) is IDFObject and added.class_name in CLASSES and fold(added.class_name) == fold(class_name)
    assert added.get_values() == values
    assert len(idf[class_name]) == before + 1 and idf[class_name][-1] is added


@pytest.mark.parametrize(
    "class_name, initial_values, exc, message, values",
    [
        ("Zonee", ["x"], ValueError, "Unknown class: 'Zonee'", None),
        ("Zone ", ["x"], ValueError, "Unknown class: 'Zone '", None),
        ("Zone", ("Zone Three",), TypeError, "Invalid values type: tuple. Expected list or dict", ["", 1, 0.0]),
        ("Zone", {"Name": "Z", "Height": 1}, KeyError, "Field 'Height' not found in class 'Zone'.", ["", 1, 0.0]),
        ("Zone", ["a", 1, 2, "b", "c"], IndexError, "Index 4 out of range. 'Zone' has max 4 fields.", ["", 1, 0.0]),
        ("Construction", ["C", "a!b"], ValueError,
         "Field value cannot contain ',', ';', '!' or a line break: 'a!b'", ["C", "", ""]),
    ],
)
def test_add_object_failures(idf, class_name, initial_values, exc, message, values):
    """An unknown class adds nothing; a refused value leaves the added object as written so far."""
    before = snapshot(idf)
    with pytest.raises(exc) as error:
        idf.add_object(class_name, initial_values)
    assert error.value.args[0] == message
    if values is None:
        assert snapshot(idf) == before
    else:
        assert len(idf[class_name]) == len(before[class_name]) + 1 and idf[class_name][-1].get_values() == values


def test_added_objects_join_the_reference_graph(idf):
    wall = find(idf, "Construction/Exterior Wall")
    idf.remove_object(find(idf, "Surface/Wall 2"))  # slots of removed objects are never reused
    zone = idf.add_object("Zone", {"Name": "Zone Three"})
    surface = idf.add_object("Surface", ["Wall 3", None, "zone three"])
    assert surface.get_referenced_object("Zone Name") is zone
    assert surface.get_referenced_object("Construction Name") is None  # the default was cleared
    defaulted = idf.add_object("Surface", {"Name": "Wall 4", "Zone Name": "Zone Three"})
    assert defaulted.get_referenced_object("Construction Name") is wall
    assert zone.get_referencing_objects("Name") == (surface, defaulted)
    assert labels(wall.get_referencing_objects("Name")) == ["Surface/Wall 1", "Surface/Floor 1", "Surface/Wall 4"]
    assert labels(idf["Surface"]) == ["Surface/Wall 1", "Surface/Floor 1", "Surface/Roof 1", "Surface/Wall 3",
                                      "Surface/Wall 4"]
    assert find(idf, "Surface/Floor 1").get_referenced_object("Zone Name") is find(idf, "Zone/Zone Two")


# --- Removing objects --------------------------------------------------------


def test_remove_object(idf):
    wall = find(idf, "Surface/Wall 2")
    values = wall.get_values()
    assert idf.remove_object(wall) is None
    assert labels(idf["Surface"]) == ["Surface/Wall 1", "Surface/Floor 1", "Surface/Roof 1"]
    assert idf.get_object_by_name("Surface", "Wall 2") is None
    # the removed object keeps its class and values, and answers as a detached object
    assert wall.class_name == "Surface" and wall.get_values() == values
    assert wall.get_referenced_object("Zone Name") is None and wall.get_referencing_objects("Name") == ()
    wall["Zone Name"] = "Zone Two"
    # the last registered entry takes the removed one's place
    zone_one, zone_two = idf["Zone"]
    assert labels(zone_one.get_referencing_objects("Name")) == [
        "Surface/Wall 1", "Notes/Zone One", "ZoneList/All Zones", "Thermostat/Stat 1", "Thermostat/Stat 1"]
    assert labels(zone_two.get_referencing_objects("Name")) == [
        "ZoneList/All Zones", "Surface/Floor 1", "Surface/Roof 1", "Surface/Roof 1"]
    # the other objects still answer
    assert find(idf, "Surface/Floor 1").get_referenced_object(3) is find(idf, "Surface/Wall 1")
    assert find(idf, "ZoneList/All Zones").get_referenced_object("Zone 2 Name") is zone_two
    idf.remove_object(zone_one)  # its referencers are unlinked
    assert find(idf, "Surface/Wall 1").get_referenced_object("Zone Name") is None
    assert zone_one.get_referencing_objects("Name") == ()


def test_remove_object_refuses_foreign_detached_and_removed_objects(idd, idf):
    other = IDF.from_string(idd, DOC)
    removed = find(idf, "Zone/Zone Two")
    idf.remove_object(removed)
    before = snapshot(idf)
    for obj in [IDFObject(idd, "Zone"), other["Zone"][0], other["Surface"][3], removed]:
        with pytest.raises(ValueError) as error:
            idf.remove_object(obj)
        assert str(error.value) == DETACHED
    assert snapshot(idf) == before and len(other["Zone"]) == 2


def test_remove_all_objects(idf):
    assert [idf.remove_all_objects(name) for name in ("ZONEE", "Construction", "construction")] == [0, 1, 0]
    zone_one, zone_two = idf["Zone"]
    idf.remove_object(find(idf, "Surface/Floor 1"))
    surfaces = idf["Surface"]
    result = idf.remove_all_objects("surface")
    assert type(result) is int and result == 3
    assert idf["Surface"] == () and "Surface" not in idf.get_class_names()
    assert labels(zone_two.get_referencing_objects("Name")) == ["ZoneList/All Zones"]
    assert labels(zone_one.get_referencing_objects("Name")) == [
        "Notes/Zone One", "Thermostat/Stat 1", "ZoneList/All Zones", "Thermostat/Stat 1"]
    assert all(s.get_referenced_object("Zone Name") is None for s in surfaces)
    assert find(idf, "Thermostat/Lobby Stat").get_referenced_object(1) is find(idf, "ZoneList/All Zones")
    with pytest.raises(ValueError, match=f"^{re.escape(DETACHED)}$"):
        idf.remove_object(surfaces[0])
    added = idf.add_object("surface", ["Wall 9", "", "Zone One"])
    assert idf["Surface"] == (added,) and added.get_referenced_object("Zone Name") is zone_one


# --- Reference queries (key errors: test_idf_fields.py) ----------------------


@pytest.mark.parametrize(
    "name, key, expected",
    [
        ("Surface/Wall 1", "construction name", "Construction/Exterior Wall"),
        ("Surface/Wall 1", "Outside Boundary Condition Object", None),  # empty
        ("Surface/Wall 1", "Name", None),  # no object-list tags
        ("Surface/Wall 2", 2, "Zone/Zone One"),
        ("Surface/Wall 2", "Outside Boundary Condition Object", "Zone/Zone Two"),  # second tag
        ("Surface/Floor 1", 3, "Surface/Wall 1"),  # first tag
        ("Surface/Roof 1", "Vertex 1 X", None),  # beyond the stored values
        ("Thermostat/Lobby Stat", "Zone or ZoneList Name", "ZoneList/All Zones"),
        ("Thermostat/Stat 1", "ZONE OR ZONELIST NAME", "Zone/Zone One"),
        ("ZoneList/All Zones", "Zone 2 Name", "Zone/Zone Two"),  # repeating group
        ("Notes/Zone One", 0, "Zone/Zone One"), ("Notes/Zone One", 3, None),  # no definition for index 3
        ("Zone/Zone One", "Floor Type", None),  # holds a zone name but has no tags
    ],
)
def test_get_referenced_object(idf, name, key, expected):
    assert find(idf, name).get_referenced_object(key) is (expected and find(idf, expected))


@pytest.mark.parametrize(
    "name, key, expected",
    [
        ("Zone/Zone One", "NAME", ZONE_ONE_REFERENCERS), ("Zone/Zone Two", 0, ZONE_TWO_REFERENCERS),
        ("ZoneList/All Zones", "Name", ["Thermostat/Lobby Stat"]),
        ("Construction/Exterior Wall", 0, ["Surface/Wall 1", "Surface/Wall 2", "Surface/Floor 1"]),
        ("Surface/Wall 1", "Zone Name", []),  # no reference tags
        ("Zone/Zone Two", "Floor Type", []),  # beyond the stored values
        ("Notes/Zone One", 3, []),  # no definition for this index
    ],
)
def test_get_referencing_objects(idf, name, key, expected):
    result = find(idf, name).get_referencing_objects(key)
    assert type(result) is IDFObjectTuple and list(result) == [find(idf, e) for e in expected]


def test_names_match_case_insensitively_and_exactly_otherwise(idd):
    for zone_name, value, linked in [("Zone One", "zone ONE", True), ("Zone One", "Zone One ", False),
                                     ("Zone 1", "Zone 01", False), ("Zoné", "ZONé", True),
                                     ("Zoné", "ZONÉ", False)]:  # only ASCII letters are folded
        doc = IDF.from_string(idd, f"Zone, {zone_name};\nSurface, S;\n")
        zone, surface = doc["Zone"][0], doc["Surface"][0]
        surface["Zone Name"] = value
        assert surface.get_referenced_object("Zone Name") is (zone if linked else None)
        assert zone.get_referencing_objects("Name") == ((surface,) if linked else ())


@pytest.mark.parametrize(
    "value, expected",
    [("removed", "CB"), ("Y", "CB"), (None, "CB"),
     ("x", "CBA"),  # another text: unregistered, then registered again at the end
     ("X", "ABC")],  # the same text: nothing changes
)
def test_unregistering_moves_the_last_entry_into_the_gap(idd, value, expected):
    doc = IDF.from_string(idd, "Zone, X;\nSurface, A, , X;\nSurface, B, , X;\nSurface, C, , X;\n")
    zone, first = doc["Zone"][0], doc["Surface"][0]
    if value == "removed":
        doc.remove_object(first)
    else:
        first["Zone Name"] = value
    assert "".join(o[0] for o in zone.get_referencing_objects("Name")) == expected


def test_duplicate_names_resolve_to_the_first_live_registration(idd):
    doc = IDF.from_string(idd, "Zone, ZONE ONE;\nZone, Zone One;\nSurface, S, , zone one;\n")
    (upper, mixed), surface = doc["Zone"], doc["Surface"][0]
    assert surface.get_referenced_object("Zone Name") is upper
    assert upper.get_referencing_objects("Name") == mixed.get_referencing_objects("Name") == (surface,)
    upper["Name"] = "Elsewhere"
    assert surface.get_referenced_object("Zone Name") is mixed
    upper["Name"] = "zone ONE"  # registered again, after the second zone
    assert surface.get_referenced_object("Zone Name") is mixed
    doc.remove_object(mixed)
    assert surface.get_referenced_object("Zone Name") is upper


# --- Real data (skipped when the files are absent) ---------------------------

HEATPUMP, SCHEMA_V8 = DATA / "5ZoneWaterLoopHeatPump.idf", DATA / "Energy+V8_0_0.idd"
ZONE_TAGS = ("ZoneNames", "OutFaceEnvNames", "ZoneAndZoneListNames", "AirflowNetworkNodeAndZoneNames")


def read_object_lists(path):
    """class key -> ([object-list tags of each field], repeating group size), read by hand from the schema."""
    classes = {}
    text = re.sub(r"(?m)^\s*!.*$", "", path.read_text(encoding="utf-8"))
    for block in re.split(r"\n(?=[^\s\\])", text):  # a class starts at the beginning of a line
        name, _, body = block.partition(",")
        fields, size = [], 0
        for line in body.splitlines():
            head, _, prop = line.partition("\\")
            fields += [[] for _ in re.findall(r"[AN]\d+\s*[,;]", head.split("!")[0])]
            if prop.startswith("object-list ") and fields:
                fields[-1].append(prop.split(None, 1)[1].strip())
            elif prop.startswith("extensible") and not fields:
                size = int((re.findall(r"\d+", prop) or [0])[0])
        classes[fold(name.strip())] = (fields, size)
    return classes


def object_lists_of(schema, class_name, index):
    fields, size = schema[fold(class_name)]
    if index >= len(fields) and size > 0:
        index -= ((index - len(fields)) // size + 1) * size
    return fields[index] if 0 <= index < len(fields) else []


needs_data = pytest.mark.skipif(not (HEATPUMP.exists() and SCHEMA_V8.exists()), reason="real data files absent")


@pytest.fixture
def real():
    return IDF.from_file(real_schema(SCHEMA_V8.name), HEATPUMP, encoding="latin-1")


@needs_data
def test_real_zone_referencers_match_the_file(real):
    schema, listed = read_object_lists(SCHEMA_V8), collections.defaultdict(list)
    # each object, paired with its line in the file, adds one entry per tag of a zone's name matched by an
    # object-list tag of a field holding that name
    expected, named = collections.defaultdict(collections.Counter), collections.defaultdict(set)
    for class_name, values in read_objects(HEATPUMP):
        obj = real[class_name][len(listed[fold(class_name)])]
        listed[fold(class_name)].append(obj)
        for i, value in enumerate(values):
            tags = object_lists_of(schema, class_name, i)
            expected[fold(value)][id(obj)] += sum(tags.count(tag) for tag in ZONE_TAGS)
            if fold(class_name) in ("BUILDINGSURFACE:DETAILED", "PEOPLE", "LIGHTS"):
                named[fold(value)].add(id(obj))
    assert all(len(real[key]) == len(objs) for key, objs in listed.items())
    assert len(real["Zone"]) == 6
    for zone in real["Zone"]:
        result = collections.Counter(map(id, zone.get_referencing_objects("Name")))
        assert result == +expected[fold(zone["Name"])], zone["Name"]
        assert named[fold(zone["Name"])] and named[fold(zone["Name"])] <= set(result)


@needs_data
def test_real_zone_rename(real):
    zone = real.get_object_by_name("Zone", "SPACE2-1")
    surfaces = [s for s in real["BuildingSurface:Detailed"] if fold(s["Zone Name"]) == "SPACE2-1"]
    zone["Name"] = "SPACE2-1 Renamed"
    assert zone.get_referencing_objects("Name") == () and real.get_object_by_name("Zone", "SPACE2-1") is None
    assert surfaces and all(s.get_referenced_object("Zone Name") is None for s in surfaces)
    for surface in surfaces:
        surface["Zone Name"] = "space2-1 renamed"
    assert zone.get_referencing_objects("Name") == tuple(surfaces)
    assert all(s.get_referenced_object("Zone Name") is zone for s in surfaces)


@needs_data
def test_real_removing_a_zones_surfaces(real):
    zones, windows = real["Zone"], real["FenestrationSurface:Detailed"]
    before = [collections.Counter(map(id, z.get_referencing_objects("Name"))) for z in zones]
    hosts = [w.get_referenced_object("Building Surface Name") for w in windows]
    removed = [s for s in real["BuildingSurface:Detailed"] if fold(s["Zone Name"]) == "SPACE1-1"]
    kept = [s for s in real["BuildingSurface:Detailed"] if fold(s["Zone Name"]) != "SPACE1-1"]
    for surface in removed:
        real.remove_object(surface)
    assert all(hosts) and real["BuildingSurface:Detailed"] == tuple(kept)
    for zone, counts in zip(zones, before):
        gone = collections.Counter(map(id, removed if zone["Name"] == "SPACE1-1" else []))
        assert collections.Counter(map(id, zone.get_referencing_objects("Name"))) == counts - gone
    assert all(fold(s.get_referenced_object("Zone Name")["Name"]) == fold(s["Zone Name"]) for s in kept)
    assert all(s.get_referenced_object("Zone Name") is None for s in removed)
    removed_ids = set(map(id, removed))
    for window, host in zip(windows, hosts):
        assert window.get_referenced_object("Building Surface Name") is (None if id(host) in removed_ids else host)


# --- Calls -------------------------------------------------------------------


@pytest.mark.parametrize("name", [12345, None, b"append", 1.5])
def test_tuple_getattr_with_a_name_that_is_not_a_str(name):
    with pytest.raises(TypeError, match=r"^attribute name must be string, not '\w+'$"):
        IDFObjectTuple([]).__getattr__(name)
    with pytest.raises(AttributeError, match="^This is a read-only tuple. To add new objects"):
        IDFObjectTuple([]).__getattr__("append")


def test_remove_all_objects_keeps_an_entry_emptied_one_object_at_a_time(idd):
    idf = IDF.from_string(idd, "Zone,Z1;\nZone,Z2;\nThermostat,T;\n")
    for zone in idf["Zone"]:
        idf.remove_object(zone)
    assert idf.__reduce__()[2][2][b"ZONE"] == []
    assert idf.remove_all_objects("Zone") == 0
    assert idf.__reduce__()[2][2][b"ZONE"] == []  # present and empty, as before the call
    assert idf.remove_all_objects("Thermostat") == 1 and b"THERMOSTAT" not in idf.__reduce__()[2][2]


# --- Removals ----------------------------------------------------------------


def test_removing_objects_that_name_one_object_keeps_the_order_of_the_rest(idd):
    count = 2000
    text = "Zone,Z;\n" + "".join(f"Surface,S{i},,Z;\n" for i in range(count))
    idf = IDF.from_string(idd, text)
    surfaces = list(idf["Surface"])
    expected = list(surfaces)
    for index in (0, 5, 1999, 700):  # each removal moves the last entry into the removed one's place
        idf.remove_object(surfaces[index])
        position = expected.index(surfaces[index])
        expected[position] = expected[-1]
        expected.pop()
    assert list(idf["Zone"][0].get_referencing_objects("Name")) == expected
    assert idf.remove_all_objects("Surface") == count - 4
    assert idf["Zone"][0].get_referencing_objects("Name") == () and b"ZoneNames" not in idf.__reduce__()[2][3]
