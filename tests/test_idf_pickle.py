"""Tests of the reduce protocol of tarvix.idf documents and objects: the states
and their two forms, the layout checksums and the reconstructors, __setstate__
with its type rules, messages and partial assignment, instance dictionaries of
subclasses, copy.copy, the refusal to pickle a schema, and documents and
objects restored from inconsistent states, which must never crash."""

import contextlib
import copy
import pickle
import sys

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
IDF_CHECKSUMS = (0xF3AC116, 0x53E964F, 0xE152989)
OBJECT_CHECKSUMS = (0x562C8F1, 0xAFDE926, 0xD91AABF)
IDF_MEMBERS = "idd, objects, objects_index_map, referencers, targets"
OBJECT_MEMBERS = "c_class_name, class_idx, class_name, idd, obj_idx, parent_idf, values"
EMPTY_IDF_STATE = (None, None, {}, {}, {})
EMPTY_OBJECT_STATE = (b"", 0, None, None, 0, None, [])
IDD_REFUSAL = "Pickling of struct members such as self.c_idd must be explicitly requested with @auto_pickle(True)"


class Document(IDF):
    pass


class Item(IDFObject):
    pass


class TupleSub(tuple):
    pass


class ListSub(list):
    pass


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


@pytest.fixture
def idf(idd):
    return IDF.from_string(idd, DOC)


# ---------------------------------------------------------------------------
# States and forms


def test_document_reduce(idd, idf):
    func, args, state = idf.__reduce__()
    assert func is _unpickle_IDF and args == (IDF, 0xF3AC116, None)
    assert type(state) is tuple and len(state) == 5
    assert state[0] is idd
    objects = state[1]
    assert type(objects) is list and idf.__reduce__()[2][1] is objects
    assert [o[0] for o in objects] == ["Z1", "S1", "Z2", "S2"] and objects[2] is idf["Zone"][1]
    assert state[2:] == (
        {b"ZONE": [0, 2], b"SURFACE": [1, 3]},
        {b"ZoneNames": {b"Z1": [(1, 1), (3, 1)]}},
        {b"ZoneNames": {b"Z1": [(0, 0)], b"Z2": [(2, 0)]}},
    )
    assert all(type(pair) is tuple for pair in state[3][b"ZoneNames"][b"Z1"])
    assert state[2] is not idf.__reduce__()[2][2]  # a new dictionary each time
    idf.remove_object(objects[1])
    assert objects[1] is None
    assert idf.__reduce__()[2][2:] == (
        {b"ZONE": [0, 2], b"SURFACE": [3]},
        {b"ZoneNames": {b"Z1": [(3, 1)]}},
        {b"ZoneNames": {b"Z1": [(0, 0)], b"Z2": [(2, 0)]}},
    )


@pytest.mark.parametrize(
    "make, state",
    [
        (lambda idd, idf: idf["Zone"][0], lambda idd, idf: (b"Zone", 1, "Zone", idd, 0, idf, [b"Z1", b"2"])),
        (lambda idd, idf: idf["surface"][1], lambda idd, idf: (b"Surface", 2, "Surface", idd, 3, idf, [b"S2", b"z1"])),
        (lambda idd, idf: IDFObject(idd, "zone"), lambda idd, idf: (b"Zone", 1, "Zone", idd, 0, None, [])),
        (lambda idd, idf: idf.add_object("Zone", ["Z3"]), lambda idd, idf: (b"Zone", 1, "Zone", idd, 4, idf, [b"Z3"])),
        (lambda idd, idf: [idf.remove_object(s) or s for s in idf["Surface"][:1]][0],
         lambda idd, idf: (b"Surface", 2, "Surface", idd, 1, None, [b"S1", b"Z1"])),
    ],
    ids=["zone", "surface", "detached", "added", "removed"],
)
def test_object_reduce(idd, idf, make, state):
    obj = make(idd, idf)
    func, args, got = obj.__reduce__()
    assert func is _unpickle_IDFObject and args == (IDFObject, 0x562C8F1, None)
    assert got == state(idd, idf) and got[3] is idd and got[5] is state(idd, idf)[5]
    assert all(type(v) is bytes for v in got[6])


def test_never_initialised_instances_use_the_pair_form():
    assert IDF.__new__(IDF).__reduce__() == (_unpickle_IDF, (IDF, 0xF3AC116, EMPTY_IDF_STATE))
    assert IDFObject.__new__(IDFObject).__reduce__() == (
        _unpickle_IDFObject, (IDFObject, 0x562C8F1, EMPTY_OBJECT_STATE))
    for instance in (IDF.__new__(IDF), IDFObject.__new__(IDFObject)):
        restored = pickle.loads(pickle.dumps(instance))
        assert type(restored) is type(instance) and restored is not instance
        assert restored.__reduce__() == instance.__reduce__()


def test_reduce_takes_no_arguments(idf):
    for instance in (idf, idf["Zone"][0], IDF.__new__(IDF)):
        with pytest.raises(TypeError):
            instance.__reduce__(4)


# ---------------------------------------------------------------------------
# Reconstructors and checksums


@pytest.mark.parametrize(
    "func, cls, checksums, empty",
    [(_unpickle_IDF, IDF, IDF_CHECKSUMS, EMPTY_IDF_STATE), (_unpickle_IDF, Document, IDF_CHECKSUMS, EMPTY_IDF_STATE),
     (_unpickle_IDFObject, IDFObject, OBJECT_CHECKSUMS, EMPTY_OBJECT_STATE),
     (_unpickle_IDFObject, Item, OBJECT_CHECKSUMS, EMPTY_OBJECT_STATE)],
)
def test_reconstructors_accept_three_checksums(func, cls, checksums, empty):
    for checksum in checksums:
        instance = func(cls, checksum, None)
        assert type(instance) is cls
        assert instance.__reduce__()[1][2][:len(empty)] == empty


@pytest.mark.parametrize(
    "func, cls, message",
    [(_unpickle_IDF, IDF, "Incompatible checksums (0x1 vs (0xf3ac116, 0x53e964f, 0xe152989) = "
      f"({IDF_MEMBERS}))"),
     (_unpickle_IDFObject, IDFObject, "Incompatible checksums (0x1 vs (0x562c8f1, 0xafde926, 0xd91aabf) = "
      f"({OBJECT_MEMBERS}))")],
)
def test_reconstructors_reject_other_checksums(func, cls, message):
    with pytest.raises(pickle.PickleError) as info:
        func(cls, 1, None)
    assert str(info.value) == message
    with pytest.raises(pickle.PickleError):
        func(cls, 0x562C8F1 if func is _unpickle_IDF else 0xF3AC116, None)


@pytest.mark.parametrize("func, checksum", [(_unpickle_IDF, 0xF3AC116), (_unpickle_IDFObject, 0x562C8F1)])
def test_reconstructor_state_must_be_a_tuple(func, checksum):
    with pytest.raises(TypeError, match=r"^Argument 'state' has incorrect type \(expected tuple, got list\)$"):
        func(IDF if func is _unpickle_IDF else IDFObject, checksum, [])


def test_reconstructors_apply_the_state(idd, idf):
    doc = _unpickle_IDF(IDF, 0xE152989, idf.__reduce__()[2])
    assert doc["Zone"] == idf["Zone"] and doc.get_object_by_name("surface", "s2") is idf["Surface"][1]
    zone = idf["Zone"][0]
    twin = _unpickle_IDFObject(IDFObject, 0xAFDE926, zone.__reduce__()[2])
    assert (twin.class_name, twin.get_values(), twin.__reduce__()) == ("Zone", ["Z1", 2], zone.__reduce__())


# ---------------------------------------------------------------------------
# __setstate__


@pytest.mark.parametrize("state, message", [([], "Expected tuple, got list"), (TupleSub(), "Expected tuple, got TupleSub"),
                                            ({}, "Expected tuple, got dict"), (None, None)])
@pytest.mark.parametrize("make", [lambda: IDF.__new__(IDF), lambda: IDFObject.__new__(IDFObject)], ids=["IDF", "IDFObject"])
def test_setstate_requires_exactly_a_tuple(make, state, message):
    instance = make()
    before = instance.__reduce__()
    with pytest.raises(TypeError) as info:
        instance.__setstate__(state)
    if message is not None:
        assert str(info.value) == message
    assert instance.__reduce__() == before


def document_target(idf):
    return IDF.from_string(IDD.from_string(SCHEMA), "Zone, Other;"), idf.__reduce__()[2]


def object_target(idf):
    return idf["Zone"][1], (b"Surface", 2, "Surface", IDD.from_string(SCHEMA), 7, IDF.__new__(IDF), [b"S9"])


@pytest.mark.parametrize(
    "make, position, bad, error, message",
    [
        (document_target, 0, 5, TypeError, "Cannot convert int to tarvix.idd.IDD"),
        (document_target, 1, (), TypeError, "Expected list, got tuple"),
        (document_target, 1, ListSub(), TypeError, "Expected list, got ListSub"),
        (document_target, 2, None, AttributeError, "'NoneType' object has no attribute 'items'"),
        (document_target, 2, {b"ZONE": [0, -1]}, OverflowError, "can't convert negative value to size_t"),
        (document_target, 2, {"ZONE": [0]}, TypeError, None),
        (document_target, 3, {b"ZoneNames": {b"Z1": [(1, 1, 0)]}}, ValueError, "too many values to unpack (expected 2)"),
        (document_target, 3, {b"ZoneNames": {b"Z1": [(1,)]}}, ValueError, "need more than 1 value to unpack"),
        (document_target, 3, {b"ZoneNames": None}, AttributeError, "'NoneType' object has no attribute 'items'"),
        (document_target, 4, {b"ZoneNames": {b"Z1": [(-1, 0)]}}, OverflowError, "can't convert negative value to size_t"),
        (document_target, 4, {b"ZoneNames": {b"Z1": [(0, 2**31)]}}, OverflowError, None),
        (document_target, 5, {"note": 1}, AttributeError, None),  # a plain document has no instance dictionary
        (object_target, 0, "Surface", TypeError, None),
        (object_target, 1, -1, OverflowError, "can't convert negative value to size_t"),
        (object_target, 2, b"Surface", TypeError, "Expected str, got bytes"),
        (object_target, 3, 5, TypeError, "Cannot convert int to tarvix.idd.IDD"),
        (object_target, 4, -1, OverflowError, "can't convert negative value to size_t"),
        (object_target, 5, "doc", TypeError, "Cannot convert str to tarvix.idf.IDF"),
        (object_target, 6, [b"S9", 1], TypeError, None),
        (object_target, 6, None, TypeError, None),
    ],
)
def test_state_errors_keep_earlier_assignments(idf, make, position, bad, error, message):
    target, good = make(idf)
    previous = target.__reduce__()[2]
    with pytest.raises(error) as info:
        target.__setstate__(good[:position] + (bad,) + good[position + 1:])
    if message is not None:
        assert str(info.value) == message
    after = target.__reduce__()[2]
    assert after[:position] == good[:position] and after[position:] == previous[position:]


@pytest.mark.parametrize("make, size", [(lambda: IDF.__new__(IDF), 5), (lambda: IDFObject.__new__(IDFObject), 7)])
def test_short_states_do_not_crash(make, size):
    for length in range(size):
        instance = make()
        attempt(lambda: instance.__setstate__((EMPTY_IDF_STATE if size == 5 else EMPTY_OBJECT_STATE)[:length]))
        attempt(lambda: repr(instance))


def test_state_conversions(idd, idf):
    class Pairs:  # any object with items() will do
        def __init__(self, *pairs):
            self.pairs = pairs

        def items(self):
            return self.pairs

    target = IDF.__new__(IDF)
    objects = idf.__reduce__()[2][1]
    index = Pairs((bytearray(b"ZONE"), (0, 2)), (b"SURFACE", iter([3])))
    assert target.__setstate__((idd, objects, index, {b"T": Pairs((bytearray(b"V"), [[1, -2]]))}, {})) is None
    assert target.__reduce__()[2] == (idd, objects, {b"ZONE": [0, 2], b"SURFACE": [3]}, {b"T": {b"V": [(1, -2)]}}, {})
    assert target["Zone"] == idf["Zone"] and target["Surface"] == idf["Surface"][1:]
    obj = IDFObject.__new__(IDFObject)
    assert obj.__setstate__((bytearray(b"Zone"), 1, "Zone", idd, 3, None, (bytearray(b"Z5"), b"7"))) is None
    assert obj.__reduce__()[2] == (b"Zone", 1, "Zone", idd, 3, None, [b"Z5", b"7"])
    assert obj.get_values() == ["Z5", 7] and obj.class_name == "Zone"


# ---------------------------------------------------------------------------
# Subclasses with an instance dictionary


def test_document_subclass_dictionary(idd):
    doc = Document.from_string(idd, DOC)
    func, args, state = doc.__reduce__()
    assert (func, args, len(state)) == (_unpickle_IDF, (Document, 0xF3AC116, None), 5)
    bare = Document.__new__(Document)
    assert bare.__reduce__() == (_unpickle_IDF, (Document, 0xF3AC116, EMPTY_IDF_STATE))
    doc.note = "kept"
    func, args, state = doc.__reduce__()
    assert args == (Document, 0xF3AC116, None) and state[5] == {"note": "kept"} and len(state) == 6
    twin = copy.copy(doc)
    assert type(twin) is Document and twin.note == "kept" and twin["Zone"] == doc["Zone"]
    bare.note = 1
    assert bare.__reduce__() == (_unpickle_IDF, (Document, 0xF3AC116, None), EMPTY_IDF_STATE + ({"note": 1},))
    restored = pickle.loads(pickle.dumps(bare))
    assert type(restored) is Document and restored.note == 1 and restored.__reduce__() == bare.__reduce__()


def test_object_subclass_dictionary(idd):
    bare = Item.__new__(Item)
    assert bare.__reduce__() == (_unpickle_IDFObject, (Item, 0x562C8F1, EMPTY_OBJECT_STATE))
    bare.tag = "t"
    assert bare.__reduce__() == (_unpickle_IDFObject, (Item, 0x562C8F1, None), EMPTY_OBJECT_STATE + ({"tag": "t"},))
    restored = pickle.loads(pickle.dumps(bare))
    assert type(restored) is Item and restored.tag == "t"
    item = Item(idd, "Zone")
    item.update(["Z1"])
    assert len(item.__reduce__()[2]) == 7
    item.tag = [1]
    twin = copy.copy(item)
    assert type(twin) is Item and twin.tag is item.tag and twin.get_values() == ["Z1"]
    assert len(twin.__reduce__()[2]) == 8


# ---------------------------------------------------------------------------
# copy and pickle


def test_copy_of_a_document(idd, idf):
    zones = idf["Zone"]
    twin = copy.copy(idf)
    assert type(twin) is IDF and twin is not idf
    state, twin_state = idf.__reduce__()[2], twin.__reduce__()[2]
    assert twin_state[0] is idd and twin_state[1] is state[1] and twin_state[2:] == state[2:]
    assert all(zone.__reduce__()[2][5] is idf for zone in zones)
    added = twin.add_object("Zone", ["Z3"])
    assert state[1][-1] is added and added.__reduce__()[2][5] is twin
    assert twin["Zone"] == zones + (added,) and idf["Zone"] == zones
    assert b"Z3" in twin.__reduce__()[2][4][b"ZoneNames"] and b"Z3" not in idf.__reduce__()[2][4][b"ZoneNames"]
    twin.remove_all_objects("Surface")
    assert len(idf["Surface"]) == 0 and idf.__reduce__()[2][2][b"SURFACE"] == [1, 3]  # shared list, own index
    assert len(twin["Surface"]) == 0


def test_copy_of_an_object(idd, idf):
    zone = idf["Zone"][0]
    twin = copy.copy(zone)
    assert type(twin) is IDFObject and twin is not zone
    assert twin.__reduce__() == zone.__reduce__()
    assert (twin.class_name, twin.get_values()) == ("Zone", ["Z1", 2])
    assert idf["Zone"][0] is zone
    detached = IDFObject(idd, "Zone")
    detached["Name"] = "A"
    other = copy.copy(detached)
    other["Name"] = "B"
    assert (detached["Name"], other["Name"]) == ("A", "B")


@pytest.mark.parametrize(
    "make",
    [lambda idd, idf: idf, lambda idd, idf: idf["Zone"][0], lambda idd, idf: IDFObject(idd, "Zone"),
     lambda idd, idf: Document.from_string(idd, "")],
    ids=["document", "object", "detached", "subclass"],
)
@pytest.mark.parametrize("operation", [pickle.dumps, copy.deepcopy], ids=["pickle", "deepcopy"])
def test_the_schema_refuses_pickling(idd, idf, make, operation):
    with pytest.raises(TypeError) as info:
        operation(make(idd, idf))
    assert str(info.value) == IDD_REFUSAL


# ---------------------------------------------------------------------------
# Inconsistent states: every use checks, skips or raises a clear error


def attempt(action):
    """The result of action, or the exception it raised; an internal error fails the test."""
    try:
        return action()
    except SystemError:
        raise
    except Exception as error:
        return error


@contextlib.contextmanager
def collecting_unraisable():
    seen, previous = [], sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, f"{u.object} {u.err_msg}"))
    try:
        yield seen
    finally:
        sys.unraisablehook = previous


def broken(idd, case):
    """A document restored from an inconsistent state, and the objects to exercise."""
    doc = IDF.from_string(idd, DOC)
    schema, objects, index, referencers, targets = doc.__reduce__()[2]
    z1, s1, z2, s2 = objects
    extra = []
    if case == "never initialised document":
        return IDF.__new__(IDF), [IDFObject.__new__(IDFObject)]
    if case == "index beyond the list":
        index = {b"ZONE": [0, 7, 2], b"SURFACE": [1, 2**40, 3]}
    elif case == "references beyond the list":
        referencers = {b"ZoneNames": {b"Z1": [(9, 1), (1, 1), (2**40, 1), (3, 1)]}}
        targets = {b"ZoneNames": {b"Z1": [(8, 0), (0, 0)], b"Z2": [(2, 0), (6, 0)]}}
    elif case == "field indices beyond the values":
        referencers = {b"ZoneNames": {b"Z1": [(1, 70), (3, -4)]}}
        targets = {b"ZoneNames": {b"Z1": [(0, 2**31 - 1)], b"Z2": [(2, -1)]}}
    elif case == "slots holding an int and a str":
        objects[1], objects[2] = 5, "Zone"
    elif case == "no schema":
        schema = None
    elif case == "no object list":
        objects = None
    elif case == "class index beyond the schema":
        z2.__setstate__((b"Zone", 99, "Zone", idd, 2, doc, [b"Z2"]))
    elif case == "object without a schema":
        z2.__setstate__((b"Zone", 1, "Zone", None, 2, doc, [b"Z2"]))
    elif case == "object index beyond the list":
        z2.__setstate__((b"Zone", 1, "Zone", idd, 50, doc, [b"Z2"]))
    elif case == "object held by another document":
        other = IDF.from_string(idd, "Surface, S7, Z2;\nZone, Z7;")
        z2.__setstate__((b"Zone", 1, "Zone", idd, 2, other, [b"Z2"]))
        extra = list(other.__reduce__()[2][1])
    elif case == "parent without an object list":
        parent = IDF.__new__(IDF)
        parent.__setstate__((idd, None, {b"ZONE": [2]}, {b"ZoneNames": {b"Z2": [(0, 1)]}},
                             {b"ZoneNames": {b"Z2": [(2, 0)]}}))
        z2.__setstate__((b"Zone", 1, "Zone", idd, 2, parent, [b"Z2"]))
    doc.__setstate__((schema, objects, index, referencers, targets))
    return doc, [z1, s1, z2, s2] + extra


CASES = ["never initialised document", "index beyond the list", "references beyond the list",
         "field indices beyond the values", "slots holding an int and a str", "no schema", "no object list",
         "class index beyond the schema", "object without a schema", "object index beyond the list",
         "object held by another document", "parent without an object list"]


def run(*actions):
    for action in actions:
        attempt(action)


def listing(doc, objs, path):
    for name in ("Zone", "surface", "Version", "Nothing"):
        run(lambda: doc[name], lambda: doc.get_objects(name), lambda: doc.get_object_by_name(name, "Z2"))
    run(doc.get_class_names)


def writing(doc, objs, path):
    for compact in (False, True):
        for preserve_order in (False, True):
            run(lambda: doc.format(compact=compact, preserve_order=preserve_order),
                lambda: doc.save(path, compact=compact, preserve_order=preserve_order))
    run(lambda: repr(doc))


def fields(doc, objs, path):
    for obj in objs:
        run(lambda: obj[0], lambda: obj["Name"], lambda: obj[1], obj.get_values, lambda: list(obj), lambda: repr(obj),
            lambda: obj.update({"Name": "N1"}), lambda: obj.update(["A", None]), lambda: obj.__setitem__(1, "x"),
            lambda: obj.__setitem__(0, None))


def references(doc, objs, path):
    for obj in objs:
        run(lambda: obj.get_referenced_object(1), lambda: obj.get_referencing_objects(0),
            lambda: obj.get_referenced_object("Zone Name"), lambda: obj.get_referencing_objects("Name"))


def edit_then_follow(doc, objs, path):
    for obj in objs:  # zones take the name z1 and surfaces name z1, then the first zone goes
        run(lambda: obj.__setitem__(1 if obj.class_name == "Surface" else 0, "z1"))
    run(lambda: doc.remove_object(objs[0]))
    references(doc, objs, path)
    listing(doc, objs, path)


def adding(doc, objs, path):
    run(lambda: doc.add_object("Zone", ["Z1"]), lambda: doc.add_object("Surface", ["S9", "Z2"]))
    listing(doc, objs, path)
    writing(doc, objs, path)


def removing(doc, objs, path):
    for obj in objs:
        run(lambda: doc.remove_object(obj))
    listing(doc, objs, path)
    writing(doc, objs, path)


def removing_classes(doc, objs, path):
    for name in ("Surface", "Zone", "Zone"):
        run(lambda: doc.remove_all_objects(name))
    listing(doc, objs, path)
    writing(doc, objs, path)
    references(doc, objs, path)


OPERATIONS = {f.__name__: f for f in (listing, writing, fields, references, edit_then_follow, adding, removing,
                                      removing_classes)}


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("case", CASES)
def test_inconsistent_states_never_crash(idd, tmp_path, case, operation):
    with collecting_unraisable():
        doc, objs = broken(idd, case)
        OPERATIONS[operation](doc, objs, tmp_path / "out.idf")


def test_removing_an_object_its_document_does_not_hold(idd):
    for case in ("object index beyond the list", "object held by another document", "parent without an object list"):
        doc, (z1, s1, z2, s2, *_) = broken(idd, case)
        with pytest.raises(ValueError) as info:
            doc.remove_object(z2)
        assert str(info.value) == "Error: The object belongs to a different IDF model or is detached."
        assert doc["Zone"] == (z1, z2)


@pytest.mark.parametrize("bad", [5, "Zone", b"Zone"])
def test_writer_stops_at_a_slot_that_is_not_an_object(idd, bad):
    doc = IDF.from_string(idd, DOC)
    objects = doc.__reduce__()[2][1]
    z1, _, z2, _ = objects
    objects[1] = bad
    with collecting_unraisable() as seen:
        in_document_order = doc.format(preserve_order=True)
        in_schema_order = doc.format()
    assert in_document_order == repr(z1).rstrip("\n")
    assert in_schema_order == (repr(z1) + "\n" + repr(z2)).rstrip("\n")
    assert [exc_type for exc_type, _ in seen] == [TypeError, TypeError]
    assert all("tarvix.idf.IDF.write_to_buffer" in where for _, where in seen)
