"""The reduce protocol of tarvix.idf documents and objects: states, checksums,
reconstructors, __setstate__, subclasses, copy.copy, the schema's refusal to be
pickled, and the writer's stop at a restored slot that is not an object."""

import copy
import pickle
from unittest import mock

import pytest

from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject, _unpickle_IDF, _unpickle_IDFObject

SCHEMA = r"""
Version,
  A1 ; \field Version Identifier
Zone,
  A1 , \field Name
       \reference ZoneNames
  N1 ; \field Multiplier
       \type integer
Surface,
  A1 , \field Name
  A2 ; \field Zone Name
       \object-list ZoneNames
"""
DOC = "Zone, Z1, 2;\nSurface, S1, Z1;\nZone, Z2;\nSurface, S2, z1;\n"
IDF_SUM, OBJECT_SUM = 0xF3AC116, 0x562C8F1
EMPTY_IDF_STATE = (None, None, {}, {}, {})
EMPTY_OBJECT_STATE = (b"", 0, None, None, 0, None, [])
Document, Item = type("Document", (IDF,), {}), type("Item", (IDFObject,), {})
TupleSub, ListSub = type("TupleSub", (tuple,), {}), type("ListSub", (list,), {})


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


@pytest.fixture
def idf(idd):
    return IDF.from_string(idd, DOC)


def test_document_reduce(idd, idf):
    func, args, state = idf.__reduce__()
    assert (func, args, type(state), len(state)) == (_unpickle_IDF, (IDF, IDF_SUM, None), tuple, 5)
    objects = state[1]
    assert state[0] is idd and type(objects) is list and idf.__reduce__()[2][1] is objects
    assert [o[0] for o in objects] == ["Z1", "S1", "Z2", "S2"] and objects[2] is idf["Zone"][1]
    assert state[2:] == ({b"ZONE": [0, 2], b"SURFACE": [1, 3]}, {b"ZoneNames": {b"Z1": [(1, 1), (3, 1)]}},
                         {b"ZoneNames": {b"Z1": [(0, 0)], b"Z2": [(2, 0)]}})  # pairs as tuples
    assert state[2] is not idf.__reduce__()[2][2]  # a new dictionary each time
    doc = _unpickle_IDF(IDF, 0xE152989, state)
    assert doc["Zone"] == idf["Zone"] and doc.get_object_by_name("surface", "s2") is idf["Surface"][1]
    idf.remove_object(objects[1])
    assert objects[1] is None
    assert idf.__reduce__()[2][2:4] == ({b"ZONE": [0, 2], b"SURFACE": [3]}, {b"ZoneNames": {b"Z1": [(3, 1)]}})


def test_object_reduce(idd, idf):
    zone, surface, removed = idf["Zone"][0], idf["Surface"][1], idf["Surface"][0]
    idf.remove_object(removed)
    for obj, state in [(zone, (b"Zone", 1, "Zone", idd, 0, idf, [b"Z1", b"2"])),
                       (surface, (b"Surface", 2, "Surface", idd, 3, idf, [b"S2", b"z1"])),
                       (IDFObject(idd, "zone"), (b"Zone", 1, "Zone", idd, 0, None, [])),
                       (removed, (b"Surface", 2, "Surface", idd, 1, None, [b"S1", b"Z1"]))]:
        func, args, got = obj.__reduce__()
        assert (func, args) == (_unpickle_IDFObject, (IDFObject, OBJECT_SUM, None))
        assert got == state and got[3] is idd and got[5] is state[5]  # the values as bytes
        twin = _unpickle_IDFObject(IDFObject, 0xAFDE926, got)
        assert twin.__reduce__() == (func, args, got) and twin.get_values() == obj.get_values()


@pytest.mark.parametrize(
    "cls, func, checksums, empty, members",
    [(cls, _unpickle_IDF, (0xF3AC116, 0x53E964F, 0xE152989), EMPTY_IDF_STATE,
      "idd, objects, objects_index_map, referencers, targets") for cls in (IDF, Document)]
    + [(cls, _unpickle_IDFObject, (0x562C8F1, 0xAFDE926, 0xD91AABF), EMPTY_OBJECT_STATE,
        "c_class_name, class_idx, class_name, idd, obj_idx, parent_idf, values") for cls in (IDFObject, Item)],
)
def test_reconstructors_and_never_initialised_instances(cls, func, checksums, empty, members):
    for checksum in checksums:
        instance = func(cls, checksum, None)
        assert type(instance) is cls and instance.__reduce__() == (func, (cls, checksums[0], empty))
    for checksum in (1, OBJECT_SUM if func is _unpickle_IDF else IDF_SUM):
        with pytest.raises(pickle.PickleError) as info:
            func(cls, checksum, None)
        accepted = ", ".join(map(hex, checksums))
        assert str(info.value) == f"Incompatible checksums ({checksum:#x} vs ({accepted}) = ({members}))"
    with pytest.raises(TypeError, match=r"^Argument 'state' has incorrect type \(expected tuple, got list\)$"):
        func(cls, checksums[0], [])
    bare = cls.__new__(cls)
    for state, error, message in [([], TypeError, "Expected tuple, got list"), (None, TypeError, None),
                                  (TupleSub(), TypeError, "Expected tuple, got TupleSub"),
                                  *[(empty[:n], IndexError, "tuple index out of range") for n in range(len(empty))]]:
        with pytest.raises(error) as info:
            bare.__setstate__(state)
        assert message is None or str(info.value) == message
    assert bare.__reduce__() == (func, (cls, checksums[0], empty))  # the pair form
    if cls in (Document, Item):  # an instance dictionary turns it into the triple form
        bare.tag = 1
        assert bare.__reduce__() == (func, (cls, checksums[0], None), empty + ({"tag": 1},))
    restored = pickle.loads(pickle.dumps(bare))
    assert type(restored) is cls and restored.__reduce__() == bare.__reduce__()
    assert getattr(restored, "tag", None) == getattr(bare, "tag", None)


@pytest.mark.parametrize(
    "target, position, bad, error, message",
    [
        ("document", 0, 5, TypeError, "Cannot convert int to tarvix.idd.IDD"),
        ("document", 1, ListSub(), TypeError, "Expected list, got ListSub"),
        ("document", 2, None, AttributeError, "'NoneType' object has no attribute 'items'"),
        ("document", 2, {b"ZONE": [0, -1]}, OverflowError, "can't convert negative value to size_t"),
        ("document", 2, {"ZONE": [0]}, TypeError, None),
        ("document", 3, {b"ZoneNames": {b"Z1": [(1, 1, 0)]}}, ValueError, "too many values to unpack (expected 2)"),
        ("document", 3, {b"ZoneNames": {b"Z1": [(1,)]}}, ValueError, "need more than 1 value to unpack"),
        ("document", 4, {b"ZoneNames": {b"Z1": [(0, 2**31)]}}, OverflowError, None),
        ("document", 5, {"note": 1}, AttributeError, None),  # a plain document has no instance dictionary
        ("object", 0, "Surface", TypeError, None),
        ("object", 1, -1, OverflowError, "can't convert negative value to size_t"),
        ("object", 2, b"Surface", TypeError, "Expected str, got bytes"),
        ("object", 3, 5, TypeError, "Cannot convert int to tarvix.idd.IDD"),
        ("object", 5, "doc", TypeError, "Cannot convert str to tarvix.idf.IDF"),
        ("object", 6, [b"S9", 1], TypeError, None),
    ],
)
def test_state_errors_keep_earlier_assignments(idf, target, position, bad, error, message):
    if target == "document":  # another schema and document, so that every member changes
        target, good = IDF.from_string(IDD.from_string(SCHEMA), "Zone, Other;"), idf.__reduce__()[2]
    else:
        target, good = idf["Zone"][1], (b"Surface", 2, "Surface", IDD.from_string(SCHEMA), 7, IDF.__new__(IDF), [b"S9"])
    previous = target.__reduce__()[2]
    with pytest.raises(error) as info:
        target.__setstate__(good[:position] + (bad,) + good[position + 1:])
    assert message is None or str(info.value) == message
    after = target.__reduce__()[2]
    assert after[:position] == good[:position] and after[position:] == previous[position:]


def test_state_conversions(idd, idf):
    class Pairs(tuple):  # any object with items() will do
        def items(self):
            return self

    target, objects = IDF.__new__(IDF), idf.__reduce__()[2][1]
    index = Pairs([(bytearray(b"ZONE"), (0, 2)), (b"SURFACE", iter([3]))])
    assert target.__setstate__((idd, objects, index, {b"T": Pairs([(bytearray(b"V"), [[1, -2]])])}, {})) is None
    assert target.__reduce__()[2] == (idd, objects, {b"ZONE": [0, 2], b"SURFACE": [3]}, {b"T": {b"V": [(1, -2)]}}, {})
    assert target["Zone"] == idf["Zone"] and target["Surface"] == idf["Surface"][1:]
    obj = IDFObject.__new__(IDFObject)
    assert obj.__setstate__((bytearray(b"Zone"), 1, "Zone", idd, 3, None, (bytearray(b"Z5"), b"7"))) is None
    assert obj.__reduce__()[2] == (b"Zone", 1, "Zone", idd, 3, None, [b"Z5", b"7"]) and obj.get_values() == ["Z5", 7]


def test_copy_of_a_document(idd, idf):
    zones = idf["Zone"]
    twin = copy.copy(idf)
    state, twin_state = idf.__reduce__()[2], twin.__reduce__()[2]
    assert type(twin) is IDF and twin_state[0] is idd and twin_state[1] is state[1] and twin_state[2:] == state[2:]
    added = twin.add_object("Zone", ["Z3"])  # the object list is shared, the indexes are not
    assert state[1][-1] is added and added.__reduce__()[2][5] is twin
    assert all(z.__reduce__()[2][5] is idf for z in zones)
    assert twin["Zone"] == zones + (added,) and idf["Zone"] == zones
    assert b"Z3" in twin.__reduce__()[2][4][b"ZoneNames"] and b"Z3" not in idf.__reduce__()[2][4][b"ZoneNames"]
    twin.remove_all_objects("Surface")
    assert len(twin["Surface"]) == len(idf["Surface"]) == 0 and idf.__reduce__()[2][2][b"SURFACE"] == [1, 3]


def test_copy_of_objects_and_subclasses(idd, idf):
    zone = idf["Zone"][0]
    twin = copy.copy(zone)
    assert type(twin) is IDFObject and twin is not zone and twin.__reduce__() == zone.__reduce__()
    detached = IDFObject(idd, "Zone")
    detached["Name"] = "A"
    other = copy.copy(detached)
    other["Name"] = "B"
    assert (detached["Name"], other["Name"]) == ("A", "B")
    for instance, size in [(Document.from_string(idd, DOC), 5), (Item(idd, "Zone"), 7)]:
        assert instance.__reduce__()[1][0] is type(instance) and len(instance.__reduce__()[2]) == size
        instance.tag = [1]  # the instance dictionary follows the state
        assert instance.__reduce__()[2][size:] == ({"tag": [1]},)
        twin = copy.copy(instance)
        assert type(twin) is type(instance) and twin.tag is instance.tag
        assert twin.__reduce__()[2] == instance.__reduce__()[2]


@pytest.mark.parametrize("make", [lambda idd, idf: idf, lambda idd, idf: idf["Zone"][0],
                                  lambda idd, idf: IDFObject(idd, "Zone")], ids=["document", "object", "detached"])
@pytest.mark.parametrize("operation", [pickle.dumps, copy.deepcopy], ids=["pickle", "deepcopy"])
def test_the_schema_refuses_pickling(idd, idf, make, operation):
    with pytest.raises(TypeError) as info:
        operation(make(idd, idf))
    assert str(info.value) == ("Pickling of struct members such as self.c_idd must be explicitly requested "
                               "with @auto_pickle(True)")


# ---------------------------------------------------------------------------
# Inconsistent states (every call in every crafted state: test_misuse.py)


def test_writer_stops_at_a_slot_that_is_not_an_object(idd):
    for bad in (5, "Zone", b"Zone"):
        doc = IDF.from_string(idd, DOC)
        objects = doc.__reduce__()[2][1]
        z1, _, z2, _ = objects
        objects[1] = bad
        seen = []
        with mock.patch("sys.unraisablehook", lambda u: seen.append((u.exc_type, f"{u.object} {u.err_msg}"))):
            assert doc.format(preserve_order=True) == repr(z1).rstrip("\n")
            assert doc.format() == (repr(z1) + "\n" + repr(z2)).rstrip("\n")
        assert [exc_type for exc_type, _ in seen] == [TypeError, TypeError]
        assert all("tarvix.idf.IDF.write_to_buffer" in where for _, where in seen)
