"""Tests of the collection operations of tarvix.idf documents (listing by class,
finding by name, class names, adding and removing objects, the read-only
IDFObjectTuple) and of the reference queries of IDFObject
(get_referenced_object, get_referencing_objects), with how removals and
writes keep the reference graph current, and the same queries on the real
documents in ../shared/data."""

import collections
import pathlib
import re
import string

import pytest

import tarvix.idf
from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject, IDFObjectTuple

SCHEMA = r"""
Version,
  A1 ; \field Version Identifier
       \default 8.0
Zone,
  \min-fields 2
  A1 , \field Name
       \reference ZoneNames
       \reference ZoneAndZoneListNames
  N1 , \field Direction of Relative North
       \type real
       \default 0
  N2 , \field Multiplier
       \type integer
       \default 1
  A2 ; \field Floor Name
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
People,
  A1 , \field Name
  A2 , \field Zone or ZoneList Name
       \object-list ZoneAndZoneListNames
  N1 ; \field Number of People
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
"""

# Objects are named "Class/first value" in the tables below.
DOC = """\
Version, 8.0;
Zone, Zone One, 0, 1, Zone Two;
Zone, Zone Two;
Construction, Exterior Wall, Brick;
People, Office People, Zone One, 10;
People, Lobby People, All Zones;
Surface, Wall 1, Exterior Wall, Zone One, , 0, 0, 0, 1, 0, 0;
Surface, Wall 2, Exterior Wall, zone one, Zone Two;
surface, Floor 1, Exterior Wall, Zone Two, Wall 1;
SURFACE, Roof 1, , Zone Two, Zone Two;
ZoneList, All Zones, Zone One, Zone Two;
Thermostat, Stat 1, ZONE ONE;
Notes, Zone One, Zone Two, , Zone Two;
"""
CLASSES = ["Version", "Zone", "Construction", "People", "Surface", "ZoneList", "Thermostat", "Notes"]
CANONICAL = {c.upper(): c for c in CLASSES}
SURFACES = ["Surface/Wall 1", "Surface/Wall 2", "Surface/Floor 1", "Surface/Roof 1"]
# Referencers are listed tag by tag (the name field's tags in schema order), each
# tag's entries in registration order, once per registration.
ZONE_ONE_REFERENCERS = [
    "Surface/Wall 1", "Surface/Wall 2", "ZoneList/All Zones", "Thermostat/Stat 1", "Notes/Zone One",
    "People/Office People", "Thermostat/Stat 1",
]
ZONE_TWO_REFERENCERS = ["Surface/Wall 2", "Surface/Floor 1", "Surface/Roof 1", "Surface/Roof 1", "ZoneList/All Zones"]

NONE_ENCODE = "'NoneType' object has no attribute 'encode'"
FORBIDDEN = "Field value cannot contain ',', ';', '!' or a line break: "
ADD_GUIDANCE = "This is a read-only tuple. To add new objects, use the idf.add_object() method."
REMOVE_GUIDANCE = (
    "This is a read-only tuple. To remove objects, use the idf.remove_object() or idf.remove_all_objects() methods."
)
DETACHED = "Error: The object belongs to a different IDF model or is detached."


class StrSub(str):
    pass


def wrong_type(name, got, expected="str"):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


@pytest.fixture
def idf(idd):
    return IDF.from_string(idd, DOC)


def label(obj):
    return f"{obj.class_name}/{obj[0]}"


def labels(objects):
    return [label(o) for o in objects]


def find(idf, name):
    class_name, _, obj_name = name.partition("/")
    obj = idf.get_object_by_name(class_name, obj_name)
    assert obj is not None, name
    return obj


def snapshot(idf):
    return {c: [o.get_values() for o in idf[c]] for c in sorted(idf.get_class_names())}


def doc_lines(obj):
    return [line.strip() for line in (obj.__doc__ or "").splitlines() if line.strip()]


# ---------------------------------------------------------------------------
# IDFObjectTuple


def test_tuple_class_is_made_like_a_class_statement():
    assert IDFObjectTuple is tarvix.idf.IDFObjectTuple
    assert type(IDFObjectTuple) is type
    assert IDFObjectTuple.__bases__ == (tuple,)
    assert IDFObjectTuple.__module__ == "tarvix.idf"
    assert IDFObjectTuple.__qualname__ == IDFObjectTuple.__name__ == "IDFObjectTuple"
    assert IDFObjectTuple.__doc__ == "tuple of IDFObjects with custom error messages"
    assert "__getattr__" in vars(IDFObjectTuple)


def test_tuple_behaves_as_a_tuple(idf):
    zones = idf["Zone"]
    first, second = zones
    assert type(zones) is IDFObjectTuple
    assert len(zones) == 2 and zones[0] is first and zones[-1] is second
    assert zones == (first, second) and zones[1:] == (second,)
    assert zones.count(second) == 1 and zones.index(second) == 1
    assert IDFObjectTuple([1, 2]) == (1, 2)


@pytest.mark.parametrize(
    "name, message",
    [
        ("append", ADD_GUIDANCE), ("extend", ADD_GUIDANCE), ("insert", ADD_GUIDANCE),
        ("remove", REMOVE_GUIDANCE), ("pop", REMOVE_GUIDANCE), ("clear", REMOVE_GUIDANCE),
        # any other name: the generic message naming the instance's type
        *((n, f"'IDFObjectTuple' object has no attribute '{n}'") for n in ["sort", "Append", "x"]),
    ],
)
def test_tuple_mutator_names_give_guidance(idf, name, message):
    class Listing(IDFObjectTuple):
        pass

    for listing, type_name in [(idf["Zone"], "IDFObjectTuple"), (IDFObjectTuple(), "IDFObjectTuple"),
                               (Listing(), "Listing")]:
        with pytest.raises(AttributeError) as error:
            getattr(listing, name)
        assert str(error.value) == message.replace("IDFObjectTuple", type_name)


def test_results_use_the_module_level_tuple_class(idf, monkeypatch):
    class Replacement(IDFObjectTuple):
        pass

    zone = find(idf, "Zone/Zone One")
    monkeypatch.setattr(tarvix.idf, "IDFObjectTuple", Replacement)
    for result in [idf["Zone"], idf.get_objects("Zonee"), zone.get_referencing_objects("Name")]:
        assert type(result) is Replacement


# ---------------------------------------------------------------------------
# Docstrings and argument rules


@pytest.mark.parametrize(
    "method, first_line, more",
    [
        (IDF.get_objects, "Get tuple of IDFObjects from class name.", ["Alias of IDF[class_name]"]),
        (IDF.__getitem__, "Get tuple of IDFObjects from class name", []),
        (IDF.get_object_by_name, "Get object by first field (likely name)", []),
        (IDF.get_class_names, "Get list of class names", []),
        (IDF.add_object, "Add object to IDF", [
            "initial_values (None | list | dict): [value] or {field_idx: value} or {field_name: value}",
            "default_values (bool): Whether to include default values"]),
        (IDF.remove_object, "Remove object from IDF", []),
        (IDF.remove_all_objects, "Remove all objects of a certain class from IDF",
         ["int: Number of objects removed. 0 if class was not found."]),
        (IDFObject.get_referenced_object, "Return objects referenced by this object.",
         ["key (int | str): field index or field name (case-insensitive)"]),
        (IDFObject.get_referencing_objects, "Return objects that are referencing this object.",
         ["key (int | str): field index or field name (case-insensitive)"]),
    ],
    ids=lambda v: getattr(v, "__name__", None),
)
def test_docstrings(method, first_line, more):
    lines = doc_lines(method)
    assert lines[0] == first_line
    for line in more:
        assert line in lines


REMOVE_OBJECT_TYPE = "tarvix.idf.IDFObject"


@pytest.mark.parametrize(
    "call, args, exc, message",
    [
        ("get_objects", (None,), AttributeError, NONE_ENCODE),
        ("get_objects", (5,), TypeError, wrong_type("class_name", "int")),
        ("get_objects", (StrSub("Zone"),), TypeError, wrong_type("class_name", "StrSub")),
        ("subscript", (None,), AttributeError, NONE_ENCODE),
        ("subscript", (0,), TypeError, wrong_type("class_name", "int")),
        ("subscript", (b"Zone",), TypeError, wrong_type("class_name", "bytes")),
        ("get_object_by_name", (None, "Zone One"), AttributeError, NONE_ENCODE),
        ("get_object_by_name", ("Zone", None), AttributeError, NONE_ENCODE),
        ("get_object_by_name", (5, "Zone One"), TypeError, wrong_type("class_name", "int")),
        ("get_object_by_name", ("Zone", 5), TypeError, wrong_type("obj_name", "int")),
        ("add_object", (None,), AttributeError, NONE_ENCODE),
        ("add_object", (5,), TypeError, wrong_type("class_name", "int")),
        ("add_object", (StrSub("Zone"),), TypeError, wrong_type("class_name", "StrSub")),
        ("remove_all_objects", (None,), AttributeError, NONE_ENCODE),
        ("remove_all_objects", (b"Zone",), TypeError, wrong_type("class_name", "bytes")),
        ("remove_object", (None,), TypeError, wrong_type("obj", "NoneType", REMOVE_OBJECT_TYPE)),
        ("remove_object", (5,), TypeError, wrong_type("obj", "int", REMOVE_OBJECT_TYPE)),
        ("remove_object", ("Zone One",), TypeError, wrong_type("obj", "str", REMOVE_OBJECT_TYPE)),
    ],
)
def test_argument_rules(idf, call, args, exc, message):
    before = snapshot(idf)
    method = (lambda key: idf[key]) if call == "subscript" else getattr(idf, call)
    with pytest.raises(exc) as error:
        method(*args)
    assert str(error.value) == message
    assert snapshot(idf) == before


def test_arguments_by_keyword(idf):
    assert labels(idf.get_objects(class_name="zone")) == ["Zone/Zone One", "Zone/Zone Two"]
    assert label(idf.get_object_by_name(class_name="Zone", obj_name="zone two")) == "Zone/Zone Two"
    added = idf.add_object(class_name="Zone", initial_values=["Zone Three"], default_values=False)
    assert added.get_values() == ["Zone Three"]
    assert idf.remove_object(obj=added) is None
    assert idf.remove_all_objects(class_name="Notes") == 1
    zone = find(idf, "Zone/Zone Two")
    assert labels(zone.get_referencing_objects(key="Name")) == ZONE_TWO_REFERENCERS
    assert find(idf, "Surface/Floor 1").get_referenced_object(key="Zone Name") is zone


# ---------------------------------------------------------------------------
# Listing objects by class


def test_listing_is_case_insensitive_in_file_order(idf):
    listings = [idf["surface"], idf["SURFACE"], idf.get_objects("Surface"), idf.get_objects("sUrFaCe")]
    assert all(type(t) is IDFObjectTuple for t in listings)
    assert all(t == listings[0] for t in listings)
    assert labels(listings[0]) == SURFACES
    assert all(o.class_name == "Surface" for o in listings[0])
    assert listings[0][0] is idf["Surface"][0]


@pytest.mark.parametrize("class_name", ["Zonee", "Zone ", " Zone", "", "Version:Extra", "Zoné"])
def test_listing_unknown_class_is_empty(idf, class_name):
    assert idf[class_name] == () and type(idf[class_name]) is IDFObjectTuple
    assert idf.get_objects(class_name) == ()


def test_empty_document(idd):
    empty = IDF.from_string(idd, "")
    assert empty["Zone"] == () and type(empty.get_objects("Zone")) is IDFObjectTuple
    assert empty.get_class_names() == []
    assert empty.get_object_by_name("Zone", "") is None
    assert empty.remove_all_objects("Zone") == 0
    zone = empty.add_object("Zone", ["Only"])
    assert empty["zone"] == (zone,) and empty.get_class_names() == ["Zone"]


def test_document_is_not_iterable_and_has_no_integer_subscripts(idf):
    message = wrong_type("class_name", "int")
    for attempt in (lambda: idf[0], lambda: list(idf), lambda: [o for o in idf], lambda: "Zone" in idf):
        with pytest.raises(TypeError) as error:
            attempt()
        assert str(error.value) == message


def test_subscripting_goes_through_get_objects(idd):
    class Document(IDF):
        def get_objects(self, class_name):
            return ("listed", class_name)

    doc = Document.from_string(idd, DOC)
    assert doc["Zone"] == ("listed", "Zone")
    with pytest.raises(TypeError, match=re.escape(wrong_type("class_name", "int"))):
        doc[1]


# ---------------------------------------------------------------------------
# Finding by name and listing class names


@pytest.mark.parametrize(
    "class_name, obj_name, expected",
    [
        ("Zone", "zone one", "Zone/Zone One"),
        ("ZONE", "ZONE TWO", "Zone/Zone Two"),
        ("people", "OFFICE people", "People/Office People"),
        ("Notes", "zone one", "Notes/Zone One"),  # value 0, whatever the first field is
        ("Zone", "Zone One ", None),
        ("Zone", " Zone One", None),
        ("Zone", "Zone", None),
        ("Zone", "", None),
        ("Zonee", "Zone One", None),
        ("Surface", "Zone One", None),
    ],
)
def test_get_object_by_name(idf, class_name, obj_name, expected):
    found = idf.get_object_by_name(class_name, obj_name)
    assert (found and label(found)) == expected


NAMES_DOC = """\
Construction;
Construction, , Bare;
Construction, Dup, First;
Construction, DUP, Second;
Construction, Zoné Wall, Third;
"""


@pytest.mark.parametrize(
    "obj_name, layer",
    [
        ("", "Bare"),  # the object without values is skipped
        ("dup", "First"), ("DUP", "First"),
        ("zoné wall", "Third"), ("ZONé WALL", "Third"),
        ("ZONÉ WALL", None),  # only ASCII letters are folded
    ],
)
def test_get_object_by_name_takes_first_match(idd, obj_name, layer):
    doc = IDF.from_string(idd, NAMES_DOC)
    found = doc.get_object_by_name("Construction", obj_name)
    assert (found and found[1]) == layer


def test_get_object_by_name_skips_removed_objects(idd):
    doc = IDF.from_string(idd, NAMES_DOC)
    doc.remove_object(doc.get_object_by_name("Construction", "dup"))
    assert doc.get_object_by_name("Construction", "dup")[1] == "Second"


def test_get_class_names(idd, idf):
    names = idf.get_class_names()
    assert type(names) is list and sorted(names) == sorted(CLASSES)
    with pytest.raises(TypeError):
        idf.get_class_names("Zone")
    for notes in idf["Notes"]:
        idf.remove_object(notes)
    idf.remove_all_objects("people")
    assert sorted(idf.get_class_names()) == sorted(set(CLASSES) - {"Notes", "People"})
    idf.add_object("notes")
    assert sorted(idf.get_class_names()) == sorted(set(CLASSES) - {"People"})
    # classes spelled otherwise in the document are named as the schema spells them
    assert IDF.from_string(idd, "zone, a;\nZONE, b;\n").get_class_names() == ["Zone"]


# ---------------------------------------------------------------------------
# Adding objects


@pytest.mark.parametrize(
    "class_name, kwargs, values",
    [
        ("Zone", {}, ["", 0.0, 1]),  # min-fields, then defaults; not trimmed without initial values
        ("zone", {"default_values": False}, ["", None]),
        ("ZONE", {"default_values": 0}, ["", None]),
        ("Zone", {"default_values": "no"}, ["", 0.0, 1]),
        ("Zone", {"initial_values": ["Zone Three", 5]}, ["Zone Three", 5.0, 1]),
        ("Zone", {"initial_values": {"Name": "Zone Three", "multiplier": None}}, ["Zone Three", 0.0]),
        ("Zone", {"initial_values": {0: "Zone Three", "Floor Name": "F"}, "default_values": False},
         ["Zone Three", None, None, "F"]),
        ("Construction", {}, ["", "", ""]),
        ("Construction", {"initial_values": []}, []),
        ("Construction", {"initial_values": {"Name": "C"}}, ["C"]),
        ("Surface", {}, ["", "Exterior Wall"]),
        ("Surface", {"initial_values": ["S", None, "Zone One", "", 1, 2, 3, 4, 5, 6]},
         ["S", "", "Zone One", "", 1.0, "2", "3", 4.0, "5", "6"]),  # the group's template types apply
        ("Version", {}, ["8.0"]),
        ("ZoneList", {"initial_values": {"Zone 3 Name": "Zone Two"}}, ["", "", "", "Zone Two"]),
    ],
)
def test_add_object(idf, class_name, kwargs, values):
    before = len(idf[class_name])
    added = idf.add_object(class_name, **kwargs)
    assert type(added) is IDFObject
    assert added.class_name == CANONICAL[class_name.upper()]
    assert added.get_values() == values
    listed = idf[class_name]
    assert len(listed) == before + 1 and listed[-1] is added
    assert added.class_name in idf.get_class_names()


@pytest.mark.parametrize("class_name", ["Zonee", "zonee", "Zone ", "", "Zoné"])
def test_add_object_unknown_class(idf, class_name):
    before = snapshot(idf)
    with pytest.raises(ValueError) as error:
        idf.add_object(class_name, ["x"])
    assert str(error.value) == f"Unknown class: '{class_name}'"
    assert snapshot(idf) == before


@pytest.mark.parametrize(
    "class_name, initial_values, exc, message, values",
    [
        ("Zone", ("Zone Three",), TypeError, "Invalid values type: tuple. Expected list or dict", ["", 0.0, 1]),
        ("Zone", "Zone Three", TypeError, "Invalid values type: str. Expected list or dict", ["", 0.0, 1]),
        ("Zone", {"Name": "Zone Three", "Height": 1}, KeyError, "Field 'Height' not found in class 'Zone'.",
         ["", 0.0, 1]),
        ("Zone", ["a", 1, 2, "b", "c"], IndexError, "Index 4 out of range. 'Zone' has max 4 fields.",
         ["", 0.0, 1]),
        ("Zone", ["Zone Three", 2, "x;y"], ValueError, FORBIDDEN + repr("x;y"), ["Zone Three", 2.0, 1]),
        ("Construction", ["C", "a!b"], ValueError, FORBIDDEN + repr("a!b"), ["C", "", ""]),
    ],
)
def test_add_object_failure_keeps_the_added_object(idf, class_name, initial_values, exc, message, values):
    before = len(idf[class_name])
    with pytest.raises(exc) as error:
        idf.add_object(class_name, initial_values)
    assert error.value.args[0] == message
    listed = idf[class_name]
    assert len(listed) == before + 1
    assert listed[-1].get_values() == values


@pytest.mark.parametrize("char", [",", ";", "!", "\n", "\r"])
def test_forbidden_characters_leave_the_graph_unchanged(idf, char):
    text = f"Zone{char}Three"
    with pytest.raises(ValueError) as error:
        idf.add_object("Zone", {"Name": text})
    assert str(error.value) == FORBIDDEN + repr(text)
    zone = find(idf, "Zone/Zone One")
    with pytest.raises(ValueError) as error:
        zone["Name"] = text
    assert str(error.value) == FORBIDDEN + repr(text)
    assert zone["Name"] == "Zone One"
    assert labels(zone.get_referencing_objects("Name")) == ZONE_ONE_REFERENCERS


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
    assert labels(idf["Surface"]) == ["Surface/Wall 1", "Surface/Floor 1", "Surface/Roof 1",
                                      "Surface/Wall 3", "Surface/Wall 4"]
    assert find(idf, "Surface/Floor 1").get_referenced_object("Zone Name") is find(idf, "Zone/Zone Two")


# ---------------------------------------------------------------------------
# Removing objects


def test_remove_object(idf):
    wall = find(idf, "Surface/Wall 2")
    values = wall.get_values()
    assert idf.remove_object(wall) is None
    assert labels(idf["Surface"]) == ["Surface/Wall 1", "Surface/Floor 1", "Surface/Roof 1"]
    assert idf.get_object_by_name("Surface", "Wall 2") is None
    # the removed object keeps its class and values, and answers as a detached object
    assert wall.class_name == "Surface" and wall.get_values() == values
    assert wall.get_referenced_object("Zone Name") is None
    assert wall.get_referencing_objects("Name") == ()
    wall["Zone Name"] = "Zone Two"
    # the last registered entry takes the removed one's place
    zone_one, zone_two = idf["Zone"]
    assert labels(zone_one.get_referencing_objects("Name")) == [
        "Surface/Wall 1", "Notes/Zone One", "ZoneList/All Zones", "Thermostat/Stat 1",
        "People/Office People", "Thermostat/Stat 1"]
    assert labels(zone_two.get_referencing_objects("Name")) == [
        "ZoneList/All Zones", "Surface/Floor 1", "Surface/Roof 1", "Surface/Roof 1"]
    assert labels(find(idf, "Construction/Exterior Wall").get_referencing_objects(0)) == [
        "Surface/Wall 1", "Surface/Floor 1"]
    # the other objects still answer
    assert find(idf, "Surface/Floor 1").get_referenced_object(3) is find(idf, "Surface/Wall 1")
    assert find(idf, "ZoneList/All Zones").get_referenced_object("Zone 2 Name") is zone_two
    with pytest.raises(ValueError, match=f"^{re.escape(DETACHED)}$"):
        idf.remove_object(wall)


def test_remove_object_refuses_foreign_and_detached_objects(idd, idf):
    class Sub(IDFObject):
        pass

    other = IDF.from_string(idd, DOC)
    before = snapshot(idf)
    for obj in [IDFObject(idd, "Zone"), Sub(idd, "Zone"), other["Zone"][0], other["Surface"][3]]:
        with pytest.raises(ValueError) as error:
            idf.remove_object(obj)
        assert str(error.value) == DETACHED
    assert snapshot(idf) == before
    assert len(other["Zone"]) == 2


def test_remove_every_object_of_a_class_one_by_one(idf):
    for surface in idf["Surface"]:
        idf.remove_object(surface)
    assert idf["Surface"] == () and "Surface" not in idf.get_class_names()
    assert idf.remove_all_objects("Surface") == 0
    assert labels(find(idf, "Zone/Zone Two").get_referencing_objects("Name")) == ["ZoneList/All Zones"]
    assert find(idf, "Construction/Exterior Wall").get_referencing_objects("Name") == ()
    added = idf.add_object("Surface", {"Name": "Wall 9", "Zone Name": "Zone Two"})
    assert idf["Surface"] == (added,) and "Surface" in idf.get_class_names()
    assert find(idf, "Zone/Zone Two").get_referencing_objects("Name")[-1] is added


def test_removing_a_zone_unlinks_its_referencers(idf):
    zone = find(idf, "Zone/Zone One")
    idf.remove_object(zone)
    assert find(idf, "Surface/Wall 1").get_referenced_object("Zone Name") is None
    assert find(idf, "Thermostat/Stat 1").get_referenced_object(1) is None
    assert zone.get_referencing_objects("Name") == ()
    assert find(idf, "Surface/Wall 2").get_referenced_object(3) is find(idf, "Zone/Zone Two")


@pytest.mark.parametrize(
    "class_name, count",
    [("Surface", 4), ("surface", 4), ("ZONE", 2), ("Version", 1), ("Zonee", 0), ("Zone ", 0), ("", 0)],
)
def test_remove_all_objects_counts(idf, class_name, count):
    removed = list(idf[class_name])
    result = idf.remove_all_objects(class_name)
    assert type(result) is int and result == count
    assert idf[class_name] == ()
    assert idf.remove_all_objects(class_name) == 0
    for obj in removed:
        with pytest.raises(ValueError, match=f"^{re.escape(DETACHED)}$"):
            idf.remove_object(obj)


def test_remove_all_objects_unregisters_and_detaches(idf):
    zone_one, zone_two = idf["Zone"]
    idf.remove_object(find(idf, "Surface/Floor 1"))
    surfaces = idf["Surface"]
    assert idf.remove_all_objects("Surface") == 3
    assert "Surface" not in idf.get_class_names()
    assert labels(zone_two.get_referencing_objects("Name")) == ["ZoneList/All Zones"]
    assert labels(zone_one.get_referencing_objects("Name")) == [
        "Notes/Zone One", "Thermostat/Stat 1", "ZoneList/All Zones", "People/Office People", "Thermostat/Stat 1"]
    assert all(s.get_referenced_object("Zone Name") is None for s in surfaces)
    assert find(idf, "People/Lobby People").get_referenced_object(1) is find(idf, "ZoneList/All Zones")
    added = idf.add_object("surface", ["Wall 9", "", "Zone One"])
    assert idf["Surface"] == (added,) and added.get_referenced_object("Zone Name") is zone_one


# ---------------------------------------------------------------------------
# Reference queries


@pytest.mark.parametrize(
    "name, key, expected",
    [
        ("Surface/Wall 1", "Zone Name", "Zone/Zone One"),
        ("Surface/Wall 1", "construction name", "Construction/Exterior Wall"),
        ("Surface/Wall 1", "Outside Boundary Condition Object", None),  # empty
        ("Surface/Wall 1", "Name", None),  # no object-list tags
        ("Surface/Wall 1", "Vertex 2 X", None),
        ("Surface/Wall 2", 2, "Zone/Zone One"),
        ("Surface/Wall 2", "Outside Boundary Condition Object", "Zone/Zone Two"),  # second tag
        ("Surface/Floor 1", 3, "Surface/Wall 1"),  # first tag
        ("Surface/Roof 1", "Construction Name", None),
        ("Surface/Roof 1", "Vertex 1 X", None),  # beyond the stored values
        ("People/Lobby People", "Zone or ZoneList Name", "ZoneList/All Zones"),
        ("People/Office People", 1, "Zone/Zone One"),
        ("Thermostat/Stat 1", "ZONE OR ZONELIST NAME", "Zone/Zone One"),
        ("ZoneList/All Zones", "Zone 1 Name", "Zone/Zone One"),
        ("ZoneList/All Zones", "Zone 2 Name", "Zone/Zone Two"),  # repeating group
        ("ZoneList/All Zones", "Zone 3 Name", None),
        ("ZoneList/All Zones", "Name", None),
        ("Notes/Zone One", 0, "Zone/Zone One"),
        ("Notes/Zone One", 1, None),  # no definition for this index
        ("Notes/Zone One", 3, None),
        ("Notes/Zone One", 50, None),
        ("Zone/Zone One", "Name", None),
        ("Zone/Zone One", "Floor Name", None),  # holds a zone name but has no tags
    ],
)
def test_get_referenced_object(idf, name, key, expected):
    found = find(idf, name).get_referenced_object(key)
    assert (found and label(found)) == expected
    if found is not None:
        assert found is find(idf, expected)


@pytest.mark.parametrize(
    "name, key, expected",
    [
        ("Zone/Zone One", "Name", ZONE_ONE_REFERENCERS),
        ("Zone/Zone One", "NAME", ZONE_ONE_REFERENCERS),
        ("Zone/Zone One", 0, ZONE_ONE_REFERENCERS),
        ("Zone/Zone Two", "name", ZONE_TWO_REFERENCERS),
        ("ZoneList/All Zones", "Name", ["People/Lobby People"]),
        ("Construction/Exterior Wall", 0, ["Surface/Wall 1", "Surface/Wall 2", "Surface/Floor 1"]),
        ("Surface/Wall 1", "Name", ["Surface/Floor 1"]),
        ("Surface/Wall 2", "Name", []),
        ("Surface/Wall 1", "Zone Name", []),  # no reference tags
        ("People/Office People", "Name", []),
        ("Zone/Zone One", "Floor Name", []),
        ("Zone/Zone Two", "Floor Name", []),  # beyond the stored values
        ("Notes/Zone One", 3, []),  # no definition for this index
    ],
)
def test_get_referencing_objects(idf, name, key, expected):
    result = find(idf, name).get_referencing_objects(key)
    assert type(result) is IDFObjectTuple
    assert labels(result) == expected
    for obj, expected_name in zip(result, expected):
        assert obj is find(idf, expected_name)


@pytest.mark.parametrize(
    "zone_name, value, linked",
    [
        ("Zone One", "Zone One", True),
        ("Zone One", "zone one", True),
        ("Zone One", "ZONE ONE", True),
        ("Zone One", "Zone One ", False),
        ("Zone One", " Zone One", False),
        ("Zone 1", "Zone 01", False),
        ("Zoné", "ZONé", True),
        ("Zoné", "ZONÉ", False),  # only ASCII letters are folded
    ],
)
def test_names_match_case_insensitively_and_exactly_otherwise(idd, zone_name, value, linked):
    doc = IDF.from_string(idd, f"Zone, {zone_name};\nSurface, S;\n")
    zone, surface = doc["Zone"][0], doc["Surface"][0]
    assert surface.get_referenced_object("Zone Name") is None
    surface["Zone Name"] = value
    assert surface.get_referenced_object("Zone Name") is (zone if linked else None)
    assert zone.get_referencing_objects("Name") == ((surface,) if linked else ())


SWAP_DOC = "Zone, X;\nSurface, A, , X;\nSurface, B, , X;\nSurface, C, , X;\n"


@pytest.mark.parametrize(
    "action, expected",
    [
        ("remove_object", ["C", "B"]),
        ("assign Y", ["C", "B"]),
        ("assign None", ["C", "B"]),
        ("assign x", ["C", "B", "A"]),  # another text: unregistered, then registered again at the end
        ("assign X", ["A", "B", "C"]),  # the same text: nothing changes
    ],
)
def test_unregistering_moves_the_last_entry_into_the_gap(idd, action, expected):
    doc = IDF.from_string(idd, SWAP_DOC)
    zone = doc["Zone"][0]
    first = doc.get_object_by_name("Surface", "A")
    if action == "remove_object":
        doc.remove_object(first)
    else:
        value = action.split()[1]
        first["Zone Name"] = None if value == "None" else value
    assert [o[0] for o in zone.get_referencing_objects("Name")] == expected


def test_duplicate_names_resolve_to_the_first_live_registration(idd):
    doc = IDF.from_string(idd, "Zone, ZONE ONE;\nZone, Zone One;\nSurface, S, , zone one;\n")
    upper, mixed = doc["Zone"]
    surface = doc["Surface"][0]
    assert surface.get_referenced_object("Zone Name") is upper
    assert upper.get_referencing_objects("Name") == mixed.get_referencing_objects("Name") == (surface,)
    upper["Name"] = "Elsewhere"
    assert surface.get_referenced_object("Zone Name") is mixed
    upper["Name"] = "zone ONE"  # registered again, after the second zone
    assert surface.get_referenced_object("Zone Name") is mixed
    doc.remove_object(mixed)
    assert surface.get_referenced_object("Zone Name") is upper


def test_renaming_follows_the_new_name(idf):
    zone = find(idf, "Zone/Zone One")
    wall_1, wall_2 = find(idf, "Surface/Wall 1"), find(idf, "Surface/Wall 2")
    zone["Name"] = "Zone Uno"
    assert zone.get_referencing_objects("Name") == ()
    assert wall_1.get_referenced_object("Zone Name") is None
    assert idf.get_object_by_name("Zone", "Zone One") is None
    wall_2["Zone Name"] = "zone uno"
    wall_1["Zone Name"] = "ZONE UNO"
    assert zone.get_referencing_objects("Name") == (wall_2, wall_1)
    assert wall_1.get_referenced_object("Zone Name") is zone
    assert find(idf, "People/Office People").get_referenced_object(1) is None
    zone["Name"] = "Zone One"
    assert labels(zone.get_referencing_objects("Name")) == [
        "Thermostat/Stat 1", "Notes/Zone One", "ZoneList/All Zones", "People/Office People", "Thermostat/Stat 1"]


def test_detached_objects_answer_none_and_empty(idd, idf):
    zone = IDFObject(idd, "Zone")
    zone["Name"] = "Zone One"
    surface = IDFObject(idd, "Surface")
    surface.update({"Name": "Wall 1", "Zone Name": "Zone One"})
    assert surface.get_referenced_object("Zone Name") is None
    assert zone.get_referencing_objects("Name") == ()
    assert type(zone.get_referencing_objects("Name")) is IDFObjectTuple
    # the document's own objects are not affected by the detached ones
    assert labels(find(idf, "Zone/Zone One").get_referencing_objects("Name")) == ZONE_ONE_REFERENCERS


@pytest.mark.parametrize(
    "key, exc, message",
    [
        ("Height", KeyError, "Field 'Height' not found in class 'Zone'."),
        ("Name ", KeyError, "Field 'Name ' not found in class 'Zone'."),
        (-1, KeyError, "Field index should be >= 0."),
        (4, IndexError, "Index 4 out of range. 'Zone' has max 4 fields."),
        (1.5, TypeError, "Invalid key type: float. Expected int or str"),
        (None, TypeError, "Invalid key type: NoneType. Expected int or str"),
        (b"Name", TypeError, "Invalid key type: bytes. Expected int or str"),
    ],
)
@pytest.mark.parametrize("query", ["get_referenced_object", "get_referencing_objects"])
@pytest.mark.parametrize("attached", [True, False], ids=["attached", "detached"])
def test_query_key_errors(idd, idf, query, attached, key, exc, message):
    zone = find(idf, "Zone/Zone One") if attached else IDFObject(idd, "Zone")
    with pytest.raises(exc) as error:
        getattr(zone, query)(key)
    assert error.value.args[0] == message


@pytest.mark.parametrize("replacement", ["empty", "shorter", "reversed"])
def test_replaced_object_list_cannot_crash(idf, replacement):
    """The object list is replaced while the index and the reference graph are kept:
    each operation skips the stale entries or refuses them with a clear error."""
    state = idf.__reduce__()[2]
    originals = list(state[1])
    objects = {"empty": [], "shorter": originals[:4], "reversed": originals[::-1]}[replacement]
    idf.__setstate__((state[0], objects) + state[2:])

    def attempt(action):
        try:
            return action()
        except SystemError:
            raise
        except Exception as error:
            return error

    def listings():
        for class_name in CLASSES + ["Nothing"]:
            assert isinstance(attempt(lambda: idf[class_name]), (IDFObjectTuple, Exception))
            attempt(lambda: idf.get_object_by_name(class_name, "Zone One"))
        assert isinstance(attempt(idf.get_class_names), (list, Exception))
        for obj in originals:
            for key in ("Name", "Zone Name", 0, 2):
                attempt(lambda: obj.get_referenced_object(key))
                attempt(lambda: obj.get_referencing_objects(key))

    listings()
    added = attempt(lambda: idf.add_object("Surface", ["New", "Exterior Wall", "Zone One"]))
    assert isinstance(added, (IDFObject, Exception))
    attempt(lambda: originals[1].__setitem__("Name", "Zone Two"))
    listings()
    for obj in originals:
        attempt(lambda: idf.remove_object(obj))
    for class_name in CLASSES:
        assert isinstance(attempt(lambda: idf.remove_all_objects(class_name)), (int, Exception))
    listings()


# ---------------------------------------------------------------------------
# Real data

DATA = pathlib.Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
HEATPUMP = DATA / "5ZoneWaterLoopHeatPump.idf"
SCHEMA_V8 = DATA / "Energy+V8_0_0.idd"
ASCII_UPPER = str.maketrans(string.ascii_lowercase, string.ascii_uppercase)


def fold(text):
    return text.translate(ASCII_UPPER)


def read_document(path):
    """[class name, value, ...] per object: comments dropped, split at ';' and ','."""
    text = path.read_text(encoding="latin-1")
    body = "\n".join(line.split("!", 1)[0] for line in text.splitlines())
    return [[v.strip() for v in chunk.split(",")] for chunk in body.split(";")[:-1]]


def read_schema_tags(path):
    """class key -> {"fields": [(references, object_lists), ...], "size": repeating group size}."""
    classes, current, in_class, pending = {}, None, False, ""
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if not line or line.startswith("!"):
            continue
        head, _, prop = line.partition("\\")
        for piece in re.split(r"([,;])", head):
            if piece in (",", ";"):
                if in_class:
                    current["fields"].append(([], []))
                    in_class = piece == ","
                elif piece == ",":
                    current = classes[fold(pending)] = {"fields": [], "size": 0}
                    in_class = True
                pending = ""
            elif piece.strip():
                pending = piece.strip()
        if not prop or current is None:
            continue
        if current["fields"]:
            references, object_lists = current["fields"][-1]
            if prop.startswith("reference "):
                references.append(prop[len("reference "):].strip())
            elif prop.startswith("object-list "):
                object_lists.append(prop[len("object-list "):].strip())
        elif prop.startswith("extensible"):
            digits = re.search(r"\d+", prop)
            current["size"] = int(digits.group()) if digits else 0
    return classes


def object_lists_of(schema, class_name, index):
    info = schema[fold(class_name)]
    fields, size = info["fields"], info["size"]
    if index >= len(fields) and size > 0:
        index -= ((index - len(fields)) // size + 1) * size
    return fields[index][1] if 0 <= index < len(fields) else []


needs_data = pytest.mark.skipif(
    not (HEATPUMP.exists() and SCHEMA_V8.exists()), reason="real data files absent"
)


@pytest.fixture(scope="module")
def real():
    idd = IDD.from_file(SCHEMA_V8)
    return {
        "idd": idd,
        "idf": IDF.from_file(idd, HEATPUMP, encoding="latin-1"),
        "objects": read_document(HEATPUMP),
        "schema": read_schema_tags(SCHEMA_V8),
    }


@pytest.fixture
def fresh(real):  # for tests that change the document
    return IDF.from_file(real["idd"], HEATPUMP, encoding="latin-1")


def file_positions(idf, file_objects):
    """id of each document object -> its position in the file."""
    by_class = collections.defaultdict(list)
    for n, (class_name, *_) in enumerate(file_objects):
        by_class[fold(class_name)].append(n)
    positions = {}
    for key, ns in by_class.items():
        listed = idf[key]
        assert len(listed) == len(ns), key
        positions.update({id(o): n for o, n in zip(listed, ns)})
    return positions


def expected_referencers(real, zone_name):
    """File positions of the objects that name the zone, once per matching tag."""
    references = real["schema"]["ZONE"]["fields"][0][0]
    expected = []
    for n, (class_name, *values) in enumerate(real["objects"]):
        for i, value in enumerate(values):
            if value and fold(value) == fold(zone_name):
                tags = object_lists_of(real["schema"], class_name, i)
                expected += [n] * sum(tags.count(r) for r in references)
    return collections.Counter(expected)


@needs_data
def test_real_zone_referencers_match_the_file(real):
    idf, objects = real["idf"], real["objects"]
    positions = file_positions(idf, objects)
    zones = idf["Zone"]
    assert len(zones) == 6
    for zone in zones:
        expected = expected_referencers(real, zone["Name"])
        result = zone.get_referencing_objects("Name")
        assert collections.Counter(positions[id(o)] for o in result) == expected, zone["Name"]
        named = {
            n for n, (class_name, *values) in enumerate(objects)
            if fold(class_name) in {"BUILDINGSURFACE:DETAILED", "PEOPLE", "LIGHTS", "ELECTRICEQUIPMENT"}
            and any(fold(v) == fold(zone["Name"]) for v in values)
        }
        assert named and named <= set(expected)


@needs_data
def test_real_surfaces_reference_their_zone(real):
    idf = real["idf"]
    zones = {fold(z["Name"]): z for z in idf["Zone"]}
    surfaces = idf["BuildingSurface:Detailed"]
    assert len(surfaces) == 40
    for surface in surfaces:
        assert surface.get_referenced_object("Zone Name") is zones[fold(surface["Zone Name"])]
        assert surface in zones[fold(surface["Zone Name"])].get_referencing_objects("Name")


@needs_data
def test_real_zone_rename(fresh):
    zone = fresh.get_object_by_name("Zone", "SPACE2-1")
    surfaces = [s for s in fresh["BuildingSurface:Detailed"] if fold(s["Zone Name"]) == "SPACE2-1"]
    assert surfaces
    zone["Name"] = "SPACE2-1 Renamed"
    assert zone.get_referencing_objects("Name") == ()
    assert fresh.get_object_by_name("Zone", "SPACE2-1") is None
    assert all(s.get_referenced_object("Zone Name") is None for s in surfaces)
    for surface in surfaces:
        surface["Zone Name"] = "space2-1 renamed"
    assert zone.get_referencing_objects("Name") == tuple(surfaces)
    assert all(s.get_referenced_object("Zone Name") is zone for s in surfaces)


@needs_data
def test_real_removing_a_zones_surfaces(fresh):
    zones = fresh["Zone"]
    before = {fold(z["Name"]): z.get_referencing_objects("Name") for z in zones}
    windows = fresh["FenestrationSurface:Detailed"]
    hosts = {id(w): w.get_referenced_object("Building Surface Name") for w in windows}
    assert all(hosts.values())
    removed = [s for s in fresh["BuildingSurface:Detailed"] if fold(s["Zone Name"]) == "SPACE1-1"]
    removed_ids = set(map(id, removed))
    kept = [s for s in fresh["BuildingSurface:Detailed"] if fold(s["Zone Name"]) != "SPACE1-1"]
    for surface in removed:
        fresh.remove_object(surface)
    assert fresh["BuildingSurface:Detailed"] == tuple(kept)
    for zone in zones:
        result = zone.get_referencing_objects("Name")
        if fold(zone["Name"]) == "SPACE1-1":
            assert not removed_ids & set(map(id, result))
            expected = collections.Counter(map(id, before["SPACE1-1"])) - collections.Counter(map(id, removed))
            assert collections.Counter(map(id, result)) == expected
        else:
            assert result == before[fold(zone["Name"])]
    for surface in kept:
        assert fold(surface.get_referenced_object("Zone Name")["Name"]) == fold(surface["Zone Name"])
    for surface in removed:
        assert surface.get_referenced_object("Zone Name") is None
    for window in windows:
        host = hosts[id(window)]
        assert window.get_referenced_object("Building Surface Name") is (None if id(host) in removed_ids else host)
