"""Misuse of the public API: every public method and property of IDD, IDF, IDFObject and IDFObjectTuple
called on never-initialised instances, on removed objects, with objects of another document, after
__setstate__ with crafted states, with the wrong type of self, and with wrong argument types and extreme
values (huge and negative indices, 1 MB names and values, lone surrogates, None, bytes). Every call gives
its documented answer or an ordinary exception; a SystemError or any other exception type fails the test,
and a crash ends the run. A public name of the type stubs that no table exercises fails too."""

import json
import re
from unittest import mock

import pytest

import tarvix.idf
from schema_samples import epjson_schema
from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject, IDFObjectTuple
from test_idf_load import SCHEMA
from test_stubs import load_stub, stub_members

DOC = "Zone,Z1;\nSurface,S1,,Z1,S2;\nZone,Z2;\nSurface,S2,,z1,S1;\n"  # slots 0-3: Z1, S1, Z2, S2
OTHER = "Surface,S1,,Z7;\nZone,Z7;\nSurface,T1,,Z7,S1;\n"
IN_FILE_ORDER = "Zone,Z1,;\nSurface,S1,,Z1,S2;\nZone,Z2,;\nSurface,S2,,z1,S1;"
BY_CLASS = "Zone,Z1,;\nZone,Z2,;\n\nSurface,S1,,Z1,S2;\nSurface,S2,,z1,S1;"
BIG = "x" * 2**20
ORDINARY = (ValueError, KeyError, IndexError, TypeError, RuntimeError, OverflowError, AttributeError, LookupError,
            OSError)
NONE_ENCODE = "'NoneType' object has no attribute 'encode'"


class Raises:
    """An expected exception: its exact type, and its first argument when given."""

    def __init__(self, kind, message=None):
        self.kind, self.message = kind, message

    def __eq__(self, got):
        return type(got) is self.kind and self.message in (None, got.args[0] if got.args else "")

    def __repr__(self):
        return f"Raises({self.kind.__name__}, {self.message!r})"


ANY = type("Anything", (), {"__eq__": lambda self, other: True})()  # not documented: any ordinary outcome
DETACHED = Raises(ValueError, "Error: The object belongs to a different IDF model or is detached.")
NOT_INITIALISED = Raises(RuntimeError, "IDFObject is not initialized")
DOC_NOT_INITIALISED = Raises(RuntimeError, "IDF is not initialized")


def wrong_type(name, got):
    return Raises(TypeError, f"Argument '{name}' has incorrect type (expected str, got {got})")


def outcome(call, *args):
    """What a call returns, or the ordinary exception it raises; any other exception propagates."""
    try:
        return call(*args)
    except ORDINARY as error:
        return error


def state_of(target):
    """The reduce state of a document or object, in the pair form (never initialised) or the triple form."""
    reduced = target.__reduce__()
    return reduced[2] if len(reduced) > 2 else reduced[1][2]


def plain(result):
    """Objects as '<first value>' (read from their state, which any object has), documents as compact text."""
    if isinstance(result, IDFObject):
        values = state_of(result)[6]
        return "<" + (values[0].decode("utf-8", "replace") if values else "") + ">"
    if isinstance(result, IDF):
        return result.format(compact=True, preserve_order=True)
    return tuple(map(plain, result)) if type(result) in (tuple, IDFObjectTuple) else result


class Context:
    """A fresh DOC and its objects, an OTHER document, and file paths."""

    def __init__(self, idd, tmp_path):
        self.idd, self.path, self.schema_path = idd, tmp_path / "doc.idf", tmp_path / "schema.idd"
        self.schema_path.write_text(SCHEMA)
        self.json_schema = tmp_path / "schema.epJSON"
        if not self.json_schema.exists():
            self.json_schema.write_text(json.dumps(epjson_schema(idd)))
        self.doc, self.other = IDF.from_string(idd, DOC), IDF.from_string(idd, OTHER)
        self.z1, self.s1, self.z2, self.s2 = state_of(self.doc)[1]


def restore(target, **changes):
    """Sets the target's own state with some members changed (a callable maps the old value)."""
    names = {IDF: ("idd", "objects", "index", "referencers", "targets"),
             IDFObject: ("c_class_name", "class_idx", "class_name", "idd", "obj_idx", "parent", "values")}[type(target)]
    state = dict(zip(names, state_of(target)))
    state.update({k: v(state[k]) if callable(v) else v for k, v in changes.items()})
    target.__setstate__(tuple(state.values()))
    return target


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


# --- Every call on documents and objects in every state ----------------------

# member: (probe of a document d and an object o, type of what the probe returns)
CALLS = {
    "IDF.__getitem__": (lambda d, o, c: d["Surface"], IDFObjectTuple),
    "IDF.get_objects": (lambda d, o, c: d.get_objects("ZONE"), IDFObjectTuple),
    "IDF.get_object_by_name": (lambda d, o, c: d.get_object_by_name("surface", "s2"), (IDFObject, type(None))),
    "IDF.get_class_names": (lambda d, o, c: sorted(d.get_class_names()), list),
    "IDF.add_object": (lambda d, o, c: d.add_object("Zone", ["Z3"], default_values=False), IDFObject),
    "IDF.copy_object": (lambda d, o, c: (d.copy_object(o).get_values(), d.copy_object(o, "S7").get_referenced_object(
        "Zone Name"), d.get_object_by_name("Surface", "s7")), tuple),
    "IDF.remove_object": (lambda d, o, c: d.remove_object(o), type(None)),
    "IDF.remove_all_objects": (lambda d, o, c: d.remove_all_objects("zone"), int),
    "IDF.line_of": (lambda d, o, c: d.line_of(o), (int, type(None))),
    "IDF.format": (lambda d, o, c: d.format(compact=True), str),
    "IDF.save": (lambda d, o, c: d.save(c.path, include_timestamp=False), type(None)),
    "IDF.from_file": (lambda d, o, c: (d.save(c.path), type(d).from_file(c.idd, c.path, "utf-8"))[1], IDF),
    "IDF.from_string": (lambda d, o, c: type(d).from_string(c.idd, d.format(preserve_order=True)), IDF),
    "IDF.__repr__": (lambda d, o, c: repr(d).count(";"), int),
    "IDF.__reduce__": (lambda d, o, c: state_of(d)[2], dict),
    "IDF.__setstate__": (lambda d, o, c: d.__setstate__(state_of(d)), type(None)),
    "IDF.__init__": (lambda d, o, c: d.__init__(), type(None)),
    "IDF.validate": (lambda d, o, c: [(p.code, p.obj_idx, p.field_index, p.value) for p in d.validate()], list),
    "IDF.version": (lambda d, o, c: d.version, (str, type(None))),
    # The epJSON calls answer with the document read back from the JSON they write.
    "IDF.to_epjson": (lambda d, o, c: IDF.from_epjson(c.idd, d.to_epjson(c.json_schema), c.json_schema), IDF),
    "IDF.save_epjson": (lambda d, o, c: (d.save_epjson(c.path, c.json_schema, compact=True),
                                         IDF.from_epjson(c.idd, c.path, c.json_schema))[1], IDF),
    "IDF.from_epjson": (lambda d, o, c: type(d).from_epjson(c.idd, d.to_epjson(c.json_schema).encode(),
                                                            str(c.json_schema)), IDF),
    "IDF.__len__": (lambda d, o, c: len(d), int),
    "IDF.__iter__": (lambda d, o, c: tuple(d), tuple),
    "IDF.__contains__": (lambda d, o, c: ("surface" in d, "Nothing" in d, 5 in d), tuple),
    "IDF.idd": (lambda d, o, c: d.idd is c.idd, bool),
    "IDFObject.field_names": (lambda d, o, c: o.field_names, list),
    "IDFObject.class_name": (lambda d, o, c: o.class_name, (str, type(None))),
    "IDFObject.__getitem__": (lambda d, o, c: (o[0], o["Name"]), tuple),
    "IDFObject.__setitem__": (lambda d, o, c: o.__setitem__(0, "S9"), type(None)),
    "IDFObject.__iter__": (lambda d, o, c: ("S1" in o, list(o)[:4]), tuple),
    "IDFObject.get_values": (lambda d, o, c: o.get_values(), list),
    "IDFObject.update": (lambda d, o, c: (o.update({"Name": "S9"}), o.update(["S8"]))[1], type(None)),
    "IDFObject.get_referenced_object": (lambda d, o, c: o.get_referenced_object("Zone Name"), (IDFObject, type(None))),
    "IDFObject.get_referencing_objects": (lambda d, o, c: o.get_referencing_objects("Name"), IDFObjectTuple),
    "IDFObject.rename": (lambda d, o, c: (o.rename("S9"), o["Name"], c.s2[3]), tuple),
    "IDFObject.__reduce__": (lambda d, o, c: (*state_of(o)[1:3], state_of(o)[5] is d), tuple),
    "IDFObject.__setstate__": (lambda d, o, c: o.__setstate__(state_of(o)), type(None)),
    "IDFObject.__repr__": (lambda d, o, c: repr(o).split("\n")[0], str),
    "IDFObject.__init__": (lambda d, o, c: (o.__init__(c.idd, "surface"), o.update(["S9"]), o.class_name,
                                            o.get_values())[2:], tuple),
}
VALUES = ["S1", "", "Z1", "S2"]
# The answers for DOC and its first surface; each state below lists only what differs.
INTACT = {
    "IDF.copy_object": (VALUES, "<Z1>", "<S7>"), "IDFObject.rename": (1, "S9", "S9"),
    "IDF.__getitem__": ("<S1>", "<S2>"), "IDF.get_objects": ("<Z1>", "<Z2>"), "IDF.get_object_by_name": "<S2>",
    "IDF.get_class_names": ["Surface", "Zone"], "IDF.add_object": "<Z3>", "IDF.remove_object": None,
    "IDF.remove_all_objects": 2, "IDF.format": BY_CLASS, "IDF.save": None, "IDF.from_string": IN_FILE_ORDER,
    "IDF.line_of": 2,
    "IDF.from_file": BY_CLASS.replace("\n\n", "\n"), "IDF.__repr__": 4, "IDF.__setstate__": None,
    "IDF.__reduce__": {b"ZONE": [0, 2], b"SURFACE": [1, 3]},
    "IDF.__init__": Raises(TypeError, "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string()."),
    "IDF.validate": [("too-few-fields", 0, None, None), ("too-few-fields", 2, None, None)], "IDF.version": None,
    "IDF.__len__": 4, "IDF.__iter__": ("<Z1>", "<S1>", "<Z2>", "<S2>"), "IDF.__contains__": (True, False, False),
    "IDF.idd": True, "IDFObject.field_names": ["Name", "Construction Name", "Zone Name", "Outside Boundary Condition Object"],
    "IDFObject.class_name": "Surface", "IDFObject.__getitem__": ("S1", "S1"), "IDFObject.__setitem__": None,
    "IDFObject.__iter__": (True, VALUES), "IDFObject.get_values": VALUES, "IDFObject.update": None,
    "IDFObject.get_referenced_object": "<Z1>", "IDFObject.get_referencing_objects": ("<S2>",),
    "IDFObject.__reduce__": (4, "Surface", True), "IDFObject.__setstate__": None, "IDFObject.__repr__": "Surface,",
    "IDFObject.__init__": Raises(RuntimeError, "IDFObject belongs to an IDF and cannot be initialized again; "
                                               "remove it first"),
}
REINITIALISED = ("Surface", ["S9"])  # what a detached object gives
READS = ["__getitem__", "__setitem__", "__iter__", "get_values", "update", "get_referenced_object",
         "get_referencing_objects", "rename"]
EMPTY_NAME = Raises(ValueError, "The new name cannot be empty")
RENAMED_ALONE = (0, "S9", "S1")  # an object outside its document's slot renames nothing else
DETACHED_OBJECT = {"IDFObject.rename": RENAMED_ALONE,
                   "IDFObject.get_referenced_object": None, "IDFObject.get_referencing_objects": (),
                   "IDFObject.__reduce__": (4, "Surface", False), "IDF.remove_object": DETACHED,
                   "IDF.line_of": DETACHED}
EPJSON_CALLS = ("IDF.to_epjson", "IDF.save_epjson", "IDF.from_epjson")
EMPTY_DOC = {**dict.fromkeys(EPJSON_CALLS, DOC_NOT_INITIALISED), "IDF.__len__": DOC_NOT_INITIALISED,
             "IDF.__iter__": DOC_NOT_INITIALISED, "IDF.idd": DOC_NOT_INITIALISED, "IDF.validate": DOC_NOT_INITIALISED, "IDF.version": DOC_NOT_INITIALISED, "IDF.__getitem__": (), "IDF.get_objects": (), "IDF.get_object_by_name": None, "IDF.get_class_names": [],
             "IDF.add_object": DOC_NOT_INITIALISED, "IDF.remove_object": DETACHED, "IDF.remove_all_objects": 0,
             "IDF.line_of": DETACHED,
             "IDF.format": "", "IDF.from_file": "", "IDF.from_string": "", "IDF.__repr__": 0}
NO_OBJECTS = {**EMPTY_DOC, "IDF.copy_object": DOC_NOT_INITIALISED, "IDFObject.rename": RENAMED_ALONE,
               "IDFObject.get_referenced_object": None, "IDFObject.get_referencing_objects": ()}
WRITER = ("IDF.format", "IDF.save", "IDF.from_file", "IDF.from_string", "IDF.__repr__")


def removed(c):
    c.doc.remove_object(c.s1)
    return c.doc, c.s1


def with_objects(objects, **changes):
    return lambda c: (restore(c.doc, objects=objects(c), **changes), c.s1)


def under_orphan_parent(c):
    return c.doc, restore(c.s1, parent=restore(IDF.__new__(IDF), idd=c.idd, objects=None, index={b"SURFACE": [1]}))


# state: (make the document and the object to probe, answers that differ from INTACT, probes that report a
# TypeError through sys.unraisablehook)
STATES = {
    "intact": (lambda c: (c.doc, c.s1), {}, ()),
    "never initialised object": (lambda c: (c.doc, IDFObject.__new__(IDFObject)), {
        "IDF.copy_object": NOT_INITIALISED,
        **{f"IDFObject.{m}": NOT_INITIALISED for m in READS}, "IDFObject.class_name": None,
        "IDFObject.__reduce__": (0, None, False), "IDFObject.__repr__": ANY, "IDF.remove_object": DETACHED,
        "IDFObject.field_names": NOT_INITIALISED, "IDF.line_of": DETACHED,
        "IDFObject.__init__": REINITIALISED}, ()),
    "removed object": (removed, {
        **DETACHED_OBJECT, "IDF.validate": [*INTACT["IDF.validate"], ("unknown-reference", 3, 3, "S1")], "IDF.__getitem__": ("<S2>",), "IDF.__repr__": 3, "IDFObject.__init__": REINITIALISED,
        "IDF.__reduce__": {b"ZONE": [0, 2], b"SURFACE": [3]}, "IDF.__len__": 3, "IDF.__iter__": ("<Z1>", "<Z2>", "<S2>"),
        "IDF.format": BY_CLASS.replace("Surface,S1,,Z1,S2;\n", ""),
        "IDF.from_file": "Zone,Z1,;\nZone,Z2,;\nSurface,S2,,z1,S1;",
        "IDF.from_string": IN_FILE_ORDER.replace("Surface,S1,,Z1,S2;\n", "")}, ()),
    "object of another document": (lambda c: (c.doc, c.other["Surface"][0]), {
        **DETACHED_OBJECT, "IDFObject.get_referenced_object": "<Z7>", "IDFObject.get_referencing_objects": ("<T1>",),
        "IDFObject.rename": (1, "S9", "S1"),  # the other document's T1 follows
        "IDF.copy_object": (["S1", "", "Z7"], None, "<S7>"),
        "IDFObject.__iter__": (True, ["S1", "", "Z7", ""]), "IDFObject.get_values": ["S1", "", "Z7"],
        "IDFObject.field_names": ["Name", "Construction Name", "Zone Name"]}, ()),
    "object with a class index beyond the schema": (lambda c: (c.doc, restore(c.s1, class_idx=99)), {
        "IDF.copy_object": Raises(ValueError, "Class index out of bounds: 99"),
        **{f"IDFObject.{m}": Raises(ValueError, "Class index out of bounds: 99") for m in [*READS, "field_names"]},
        "IDFObject.__reduce__": (99, "Surface", True), "IDF.line_of": None}, ()),
    "object without a schema": (lambda c: (c.doc, restore(c.s1, idd=None)), {
        **{f"IDFObject.{m}": NOT_INITIALISED for m in [*READS, "field_names"]}, "IDF.copy_object": NOT_INITIALISED,
        "IDF.line_of": None},
        ()),
    "object with an index beyond the list": (lambda c: (c.doc, restore(c.s1, obj_idx=2**40)), {
        "IDFObject.rename": RENAMED_ALONE,
        "IDF.remove_object": DETACHED, "IDF.line_of": DETACHED}, ()),
    "object held by another document": (lambda c: (c.doc, restore(c.s1, parent=c.other, obj_idx=2)), {
        **DETACHED_OBJECT, "IDFObject.get_referencing_objects": ("<T1>",)}, ()),
    "object of a parent without an object list": (under_orphan_parent, DETACHED_OBJECT, ()),
    "never initialised document": (lambda c: (IDF.__new__(IDF), c.s1), {
        "IDF.copy_object": DOC_NOT_INITIALISED,
        **EMPTY_DOC, "IDF.__reduce__": {}, "IDFObject.__reduce__": (4, "Surface", False),
        "IDF.__contains__": (False, False, False)}, ()),
    "index beyond the list": (with_objects(lambda c: state_of(c.doc)[1], index={
        b"ZONE": [0, 7, 2**40, 2**64 - 1, 2], b"SURFACE": [1, 99, 3]}), {
        "IDF.__reduce__": {b"ZONE": [0, 7, 2**40, 2**64 - 1, 2], b"SURFACE": [1, 99, 3]}}, ()),
    "references beyond the list": (with_objects(lambda c: state_of(c.doc)[1], targets=lambda t: {
        **t, b"ZoneNames": {b"Z1": [(8, 0), (2**63 - 1, 0), (0, 0)]}}, referencers=lambda r: {
        **r, b"SurfaceNames": {b"S1": [(9, 3), (2**40, 3), (3, 3)]}}), {}, ()),
    "field indices beyond the values": (with_objects(lambda c: state_of(c.doc)[1], targets=lambda t: {
        **t, b"ZoneNames": {b"Z1": [(0, 2**31 - 1), (0, -1)]}}, referencers=lambda r: {
        **r, b"SurfaceNames": {b"S1": [(3, -4), (3, 70)]}}), {
        "IDFObject.rename": RENAMED_ALONE,  # each registration is checked against the values first
        "IDFObject.get_referencing_objects": ("<S2>", "<S2>")}, ()),  # one answer per registration
    "slots holding an int and a str": (with_objects(lambda c: [c.z1, 5, "Zone", c.s2]), {
        **dict.fromkeys(EPJSON_CALLS, Raises(TypeError, "Cannot convert int to tarvix.idf.IDFObject")),
        "IDFObject.rename": RENAMED_ALONE,
        "IDF.__getitem__": ("<S2>",), "IDF.get_objects": ("<Z1>",), "IDF.remove_object": DETACHED,
        "IDF.line_of": DETACHED,
        "IDF.get_class_names": ["Zone"],  # a class is named after the object in its first slot
        "IDF.remove_all_objects": 1, "IDF.format": "Zone,Z1,;", "IDF.from_file": "Zone,Z1,;",
        "IDF.__len__": 2, "IDF.__iter__": ("<Z1>", "<S2>"),
        "IDF.from_string": "Zone,Z1,;", "IDF.__repr__": 1,
        "IDF.validate": [("too-few-fields", 0, None, None), ("unknown-reference", 3, 3, "S1")]}, WRITER),  # the writer stops at the first bad slot
    "slots holding objects of another document": (with_objects(
        lambda c: [c.z1, c.other["Surface"][1], c.z2, IDFObject(c.idd, "Zone")]), {
        **dict.fromkeys(EPJSON_CALLS, "Zone,Z1,;\nZone,Z2,;\nZone,,;\nSurface,T1,,Z7,S1;"),  # by class, then slot
        "IDFObject.rename": RENAMED_ALONE,
        "IDF.__getitem__": ("<T1>", "<>"), "IDF.get_object_by_name": None, "IDF.remove_object": DETACHED,
        "IDF.line_of": DETACHED,
        "IDF.format": "Zone,Z1,;\nZone,Z2,;\n\nSurface,T1,,Z7,S1;\nZone,,;",
        "IDF.from_file": "Zone,Z1,;\nZone,Z2,;\nSurface,T1,,Z7,S1;\nZone,,;",
        "IDF.from_string": "Zone,Z1,;\nSurface,T1,,Z7,S1;\nZone,Z2,;\nZone,,;",
        "IDFObject.get_referencing_objects": ("<>",), "IDF.__iter__": ("<Z1>", "<T1>", "<Z2>", "<>"),
        "IDF.validate": [
            ("too-few-fields", 0, None, None), ("unknown-reference", 1, 2, "Z7"), ("too-few-fields", 2, None, None)]},
        ()),
    "no schema": (lambda c: (restore(c.doc, idd=None), c.s1), {
        **dict.fromkeys(EPJSON_CALLS, DOC_NOT_INITIALISED),
        "IDF.copy_object": DOC_NOT_INITIALISED,
        "IDF.add_object": DOC_NOT_INITIALISED, "IDF.format": "", "IDF.from_file": "", "IDF.__repr__": 0,
        "IDF.validate": DOC_NOT_INITIALISED, "IDF.version": DOC_NOT_INITIALISED, "IDF.idd": DOC_NOT_INITIALISED}, ()),
    "no object list": (lambda c: (restore(c.doc, objects=None), c.s1), {**NO_OBJECTS, "IDF.idd": True,
                                                                        "IDF.__contains__": (False, False, False)}, ()),
    "an empty object list": (with_objects(lambda c: []), {
        **NO_OBJECTS, **dict.fromkeys(EPJSON_CALLS, ""), "IDF.add_object": "<Z3>", "IDF.validate": [],
        "IDF.__len__": 0, "IDF.__iter__": (), "IDF.idd": True, "IDF.__contains__": (False, False, False),
        "IDF.version": None,
        "IDF.copy_object": (VALUES, "<S1>", "<S7>")}, ()),  # the state's graph still names slot 0 Z1
    "a shorter object list": (with_objects(lambda c: [c.z1, c.s1]), {
        "IDFObject.rename": RENAMED_ALONE,
        "IDF.__getitem__": ("<S1>",), "IDF.get_objects": ("<Z1>",), "IDF.get_object_by_name": None,
        "IDF.remove_all_objects": 1, "IDF.format": "Zone,Z1,;\n\nSurface,S1,,Z1,S2;", "IDF.__repr__": 2,
        "IDF.__len__": 2, "IDF.__iter__": ("<Z1>", "<S1>"),
        "IDF.from_file": "Zone,Z1,;\nSurface,S1,,Z1,S2;", "IDF.from_string": "Zone,Z1,;\nSurface,S1,,Z1,S2;",
        "IDFObject.get_referencing_objects": (),
        "IDF.validate": [("too-few-fields", 0, None, None), ("unknown-reference", 1, 3, "S2")]}, ()),
    "a reversed object list": (with_objects(lambda c: [c.s2, c.z2, c.s1, c.z1]), {
        **dict.fromkeys(EPJSON_CALLS, "Zone,Z2,;\nZone,Z1,;\nSurface,S2,,z1,S1;\nSurface,S1,,Z1,S2;"),
        "IDFObject.rename": RENAMED_ALONE, "IDF.copy_object": (VALUES, "<S2>", "<S7>"),
        "IDF.__getitem__": ("<Z2>", "<Z1>"), "IDF.get_objects": ("<S2>", "<S1>"), "IDF.get_object_by_name": None,
        "IDF.remove_object": DETACHED, "IDF.format": "Surface,S2,,z1,S1;\nSurface,S1,,Z1,S2;\n\nZone,Z2,;\nZone,Z1,;",
        "IDF.line_of": DETACHED,
        "IDF.__iter__": ("<S2>", "<Z2>", "<S1>", "<Z1>"),
        "IDF.from_file": "Surface,S2,,z1,S1;\nSurface,S1,,Z1,S2;\nZone,Z2,;\nZone,Z1,;",
        "IDF.from_string": "Surface,S2,,z1,S1;\nZone,Z2,;\nSurface,S1,,Z1,S2;\nZone,Z1,;",
        "IDFObject.get_referenced_object": "<S2>", "IDFObject.get_referencing_objects": ("<Z1>",),
        "IDF.validate": [("too-few-fields", 1, None, None), ("too-few-fields", 3, None, None)]}, ()),
}


def run(name, probe, result_type, *args):
    """Runs a probe, checks the type of what it returns, and gives (plain result, exception types reported)."""
    reported = []
    with mock.patch("sys.unraisablehook", lambda unraisable: reported.append(unraisable.exc_type)):
        got = outcome(probe, *args)
    assert isinstance(got, (*ORDINARY, result_type)), (name, got)
    return plain(got), reported


@pytest.mark.parametrize("state", STATES)
def test_every_call_in_every_state(idd, tmp_path, state):
    make, answers, reporting = STATES[state]
    expected = {**INTACT, **answers}
    for name in EPJSON_CALLS:  # the same objects as a text round trip, unless the state says otherwise
        expected.setdefault(name, answers.get(name, expected["IDF.from_file"]))
    for name, (probe, result_type) in CALLS.items():  # each on a fresh document
        context = Context(idd, tmp_path)
        got, reported = run(name, probe, result_type, *make(context), context)
        assert got == expected[name], name
        assert reported == [TypeError] * (name in reporting), name


EDITS = {
    "renaming": lambda d, o, c: [lambda: o.__setitem__("Zone Name", "z2"), lambda: c.z1.update({0: "Z2"}),
                                 lambda: c.s2.update(["S1", None, "Z2"])],
    "adding": lambda d, o, c: [lambda: d.add_object("Zone", ["Z1"]), lambda: d.add_object("Surface", ["S9", "", "Z1"])],
    "removing each object": lambda d, o, c: [lambda x=x: d.remove_object(x) for x in (o, c.z1, c.s1, c.z2, c.s2)],
    "removing every class": lambda d, o, c: [lambda n=n: d.remove_all_objects(n) for n in ("Surface", "zone", "Zone")],
}


@pytest.mark.parametrize("edit", EDITS)
@pytest.mark.parametrize("state", STATES)
def test_every_call_after_edits(idd, tmp_path, state, edit):
    """Edits of a crafted state, then every probe in turn on the same document: ordinary answers only."""
    make, _, reporting = STATES[state]
    context = Context(idd, tmp_path)
    doc, obj = make(context)
    for step in EDITS[edit](doc, obj, context):
        assert run(edit, step, object)[1] == []
    for name, (probe, result_type) in CALLS.items():
        assert run(name, probe, result_type, doc, obj, context)[1] in ([], [TypeError] * bool(reporting))


@pytest.mark.parametrize("state", [s for s, (_, answers, _) in STATES.items() if answers.get("IDF.remove_object")])
def test_refused_removal_changes_nothing(idd, tmp_path, state):
    context = Context(idd, tmp_path)
    doc, obj = STATES[state][0](context)
    before = [plain(doc[c]) for c in ("Zone", "Surface")], state_of(obj)
    with mock.patch("sys.unraisablehook", lambda unraisable: None):
        text = doc.format(preserve_order=True)
        assert outcome(doc.remove_object, obj) == DETACHED and doc.format(preserve_order=True) == text
    assert ([plain(doc[c]) for c in ("Zone", "Surface")], state_of(obj)) == before


def test_an_attached_object_cannot_be_initialised_again(idd, tmp_path):
    context = Context(idd, tmp_path)
    with pytest.raises(RuntimeError, match="belongs to an IDF and cannot be initialized again"):
        context.z1.__init__(idd, "Surface")
    assert context.z1.class_name == "Zone" and context.doc["Zone"][0] is context.z1
    assert context.s1.get_referenced_object("Zone Name") is context.z1
    context.doc.remove_object(context.z1)
    context.z1.__init__(idd, "Surface")  # a detached object may be reused
    assert context.z1.class_name == "Surface"


def test_an_accepted_state_comes_back_from_reduce(idd, tmp_path):
    doc = restore(Context(idd, tmp_path).doc, referencers={b"ZoneNames": {b"Z1": [(2**64 - 1, 2)]}})
    assert state_of(doc)[3] == {b"ZoneNames": {b"Z1": [(2**64 - 1, 2)]}}


# --- Schemas -----------------------------------------------------------------

IDD_CALLS = {
    "IDD.__init__": lambda i, c: i.__init__(), "IDD.from_string": lambda i, c: type(i).from_string(SCHEMA).num_classes,
    "IDD.from_file": lambda i, c: type(i).from_file(c.schema_path, encoding="utf-8").num_classes,
    "IDD.get_class_name": lambda i, c: i.get_class_name(4),
    "IDD._get_field_names": lambda i, c: i._get_field_names("zone"),
    "IDD.version": lambda i, c: i.version, "IDD.num_classes": lambda i, c: i.num_classes,
    "IDD.__reduce__": lambda i, c: i.__reduce__(), "IDD.__setstate__": lambda i, c: i.__setstate__(()),
    "IDD.get_class_names": lambda i, c: i.get_class_names()[:2], "IDD.idd_version": lambda i, c: i.idd_version,
    "IDD.get_class_info": lambda i, c: (i.get_class_info("zone").name, len(i.get_class_info("ZONE").fields)),
}
NO_PICKLING = Raises(TypeError, "Pickling of struct members such as self.c_idd must be explicitly requested with "
                                "@auto_pickle(True)")
LOADED = {"IDD.__init__": Raises(TypeError, "IDD cannot be instantiated directly. Use IDD.from_file()."),
          "IDD.from_string": 8, "IDD.from_file": 8, "IDD.get_class_name": "Surface", "IDD.version": "",
          "IDD._get_field_names": ["Name", "Multiplier", "Ceiling Height", "Floor Type"], "IDD.num_classes": 8,
          "IDD.__reduce__": NO_PICKLING, "IDD.__setstate__": NO_PICKLING,
          "IDD.get_class_names": ["Note", "Zone"], "IDD.idd_version": None, "IDD.get_class_info": ("Zone", 4)}
NEVER_LOADED = {**LOADED, "IDD.get_class_name": Raises(IndexError, "Class index out of range."), "IDD.version": None,
                "IDD._get_field_names": Raises(ValueError, "Unknown class: 'zone'"), "IDD.num_classes": 0,
                "IDD.get_class_names": [], "IDD.get_class_info": Raises(ValueError, "Unknown class: 'zone'")}


@pytest.mark.parametrize("loaded", [True, False], ids=["loaded schema", "never loaded schema"])
def test_every_schema_call(idd, tmp_path, loaded):
    context = Context(idd, tmp_path)
    schema, expected = (idd, LOADED) if loaded else (IDD.__new__(IDD), NEVER_LOADED)
    for name, call in IDD_CALLS.items():
        assert outcome(call, schema, context) == expected[name], name
    assert plain(IDF.from_string(schema, "")) == "" and schema.num_classes == expected["IDD.num_classes"]
    if not loaded:  # a schema without classes knows none
        unknown = Raises(ValueError, "IDF parsing error: Unknown class: 'Zone'")
        assert outcome(IDF.from_string, schema, "Zone,a;") == unknown
        assert outcome(IDFObject, schema, "Zone") == Raises(ValueError, "Unknown class: 'Zone'")


# --- Wrong argument types and extreme values ---------------------------------

KEYS = [-1, -2**100, 2**31, 2**63, 2**100, BIG, "\ud800", None, b"Name", 1.5]
KEY_ERRORS = [Raises(KeyError, "Field index should be >= 0.")] + [Raises(OverflowError)] * 4 + [
    Raises(KeyError, f"Field '{BIG}' not found in class 'Surface'."), Raises(UnicodeEncodeError)] + [
    Raises(TypeError, f"Invalid key type: {t}. Expected int or str") for t in ("NoneType", "bytes", "float")]
WRITTEN = [(BIG, BIG), ("\ud800", Raises(UnicodeEncodeError)), (None, ""), (b"\x00\xff", "b'\\x00\\xff'"),
           (2**100, Raises(OverflowError)), (float("inf"), "inf")]
NAMES = [BIG, "", "\ud800", None, b"Zone", 5]
FORBIDDEN = ["a,b", "a;b", "a!b", "a\nb", "a\rb"]  # text that would split a value when written back
REFUSED_TEXT = [Raises(ValueError, f"Field value cannot contain ',', ';', '!' or a line break: {n!r}")
                for n in FORBIDDEN]


def name_outcomes(argument, unknown, none=Raises(AttributeError, NONE_ENCODE)):
    """Outcomes for NAMES passed as `argument`; `unknown(name)` answers a name that names nothing."""
    return [unknown(BIG), unknown(""), Raises(UnicodeEncodeError), none, wrong_type(argument, "bytes"),
            wrong_type(argument, "int")]


def unknown_class(name):
    return Raises(ValueError, f"Unknown class: '{name}'")


INDICES = [-1, -2**100, 2**31, 2**63, 2**100, None, "0", 1.5]
NOT_INDICES = [Raises(TypeError, f"'{t}' object cannot be interpreted as an integer")
               for t in ("NoneType", "str", "float")]
SIZE_ERRORS = [Raises(ValueError, "class_indent_size must be >= 0")] + [Raises(OverflowError)] * 4 + NOT_INDICES
PATHS = [BIG, "\ud800", None, b"/nonexistent/doc.idf"]  # no ints: open() would take them for descriptors
PATH_ERRORS = [Raises(OSError), Raises(UnicodeEncodeError),
               Raises(TypeError, "expected str, bytes or os.PathLike object, not NoneType"), Raises(FileNotFoundError)]
# (member, probe(context, argument), arguments, outcomes, whether a refused call must leave DOC unchanged)
ARGUMENTS = [
    *[(member, probe, KEYS, KEY_ERRORS, True) for member, probe in [
        ("IDFObject.__getitem__", lambda c, k: c.s1[k]), ("IDFObject.__setitem__", lambda c, k: c.s1.__setitem__(k, 1)),
        ("IDFObject.update", lambda c, k: c.s1.update({k: "v"})),
        ("IDFObject.get_referenced_object", lambda c, k: c.s1.get_referenced_object(k)),
        ("IDFObject.get_referencing_objects", lambda c, k: c.s1.get_referencing_objects(key=k))]],
    ("IDF.add_object", lambda c, k: c.doc.add_object("Surface", {k: "v"}), KEYS, KEY_ERRORS, False),
    *[(member, probe, *zip(*WRITTEN), True) for member, probe in [
        ("IDFObject.__setitem__", lambda c, v: (c.s1.__setitem__("Name", v), c.s1["Name"])[1]),
        ("IDFObject.update", lambda c, v: (c.s1.update([v]), c.s1["Name"])[1]),
        ("IDFObject.update", lambda c, v: (c.s1.update({"name": v}, trim_empty_trails=v), c.s1[0])[1])]],
    ("IDF.add_object", lambda c, v: c.doc.add_object("Surface", [v])[0], *zip(*WRITTEN), False),
    ("IDF.__getitem__", lambda c, n: c.doc[n], NAMES, name_outcomes("class_name", lambda n: ()), True),
    ("IDF.get_objects", lambda c, n: c.doc.get_objects(n), NAMES, name_outcomes("class_name", lambda n: ()), True),
    ("IDF.get_object_by_name", lambda c, n: c.doc.get_object_by_name(n, "Z1"), NAMES,
     name_outcomes("class_name", lambda n: None), True),
    ("IDF.get_object_by_name", lambda c, n: c.doc.get_object_by_name("Zone", n), NAMES,
     name_outcomes("obj_name", lambda n: None), True),
    ("IDF.remove_all_objects", lambda c, n: c.doc.remove_all_objects(n), NAMES,
     name_outcomes("class_name", lambda n: 0), True),
    ("IDF.add_object", lambda c, n: c.doc.add_object(n), NAMES, name_outcomes("class_name", unknown_class), True),
    ("IDFObject.rename", lambda c, n: (c.s1.rename(n), c.s2[3]), NAMES, [(1, BIG), EMPTY_NAME, Raises(
        UnicodeEncodeError)] + [wrong_type("new_name", t) for t in ("NoneType", "bytes", "int")], True),
    ("IDFObject.rename", lambda c, n: c.s1.rename(n), FORBIDDEN, REFUSED_TEXT, True),
    ("IDF.copy_object", lambda c, n: c.doc.copy_object(c.s1, n), NAMES,
     [f"<{BIG}>", "<>", Raises(UnicodeEncodeError), "<S1>", wrong_type("new_name", "bytes"),
      wrong_type("new_name", "int")], True),
    ("IDF.copy_object", lambda c, n: c.doc.copy_object(c.s1, n), FORBIDDEN, REFUSED_TEXT, True),
    ("IDF.copy_object", lambda c, o: c.doc.copy_object(o), [None, 5, "S1", b"S1"], [Raises(
        TypeError, f"Argument 'obj' has incorrect type (expected tarvix.idf.IDFObject, got {t})")
        for t in ("NoneType", "int", "str", "bytes")], True),
    ("IDFObject.__init__", lambda c, n: IDFObject(c.idd, n), NAMES, name_outcomes("class_name", unknown_class), True),
    ("IDD._get_field_names", lambda c, n: c.idd._get_field_names(n), NAMES, name_outcomes(
        "class_name", unknown_class, Raises(AttributeError, "'NoneType' object has no attribute 'upper'")), True),
    ("IDD.get_class_info", lambda c, n: c.idd.get_class_info(n).name, NAMES, name_outcomes(
        "class_name", unknown_class, wrong_type("class_name", "NoneType")), True),
    ("IDD.get_class_name", lambda c, i: c.idd.get_class_name(i), INDICES,
     [Raises(IndexError, "Class index out of range.")] + [Raises(OverflowError)] * 4 + NOT_INDICES, True),
    ("IDF.migrate", lambda c, v: c.doc.migrate(v, idd=c.idd), [None, 5, b"25.2"],
     [Raises(TypeError, f"to must be str, not {t}") for t in ("NoneType", "int", "bytes")], True),
    ("IDF.format", lambda c, i: c.doc.format(i), INDICES, SIZE_ERRORS, True),
    ("IDF.format", lambda c, i: c.doc.format(0, i), [-1], [Raises(ValueError, "field_indent_size must be >= 0")], True),
    ("IDF.save", lambda c, i: c.doc.save(c.path, i), INDICES, SIZE_ERRORS, True),
    ("IDFObjectTuple.__getitem__", lambda c, i: c.doc["Zone"][i], INDICES, ["<Z2>"] + [Raises(IndexError)] * 4 + [
        Raises(TypeError, f"tuple indices must be integers or slices, not {t}") for t in ("NoneType", "str", "float")],
     True),
    ("IDF.from_string", lambda c, s: IDF.from_string(c.idd, s), [BIG, "\ud800", None, b"Zone,a;"], [
        Raises(ValueError, "IDF parsing error (Line 1): unterminated object before EOF; missing ';'."),
        Raises(UnicodeEncodeError), Raises(AttributeError, NONE_ENCODE), wrong_type("content", "bytes")], True),
    ("IDD.from_string", lambda c, s: IDD.from_string(s), [BIG, "\ud800", None, b"Zone,A1;"], [
        Raises(ValueError, "IDD parsing error (Line 1): Unexpected EOF. Missing ';' at the end of class definition."),
        Raises(UnicodeEncodeError), Raises(AttributeError, NONE_ENCODE), wrong_type("content", "bytes")], True),
    ("IDF.from_file", lambda c, p: IDF.from_file(c.idd, p), PATHS, PATH_ERRORS, True),
    ("IDD.from_file", lambda c, p: IDD.from_file(p), PATHS, PATH_ERRORS, True),
    ("IDF.save", lambda c, p: c.doc.save(p), PATHS[:3], PATH_ERRORS[:3], True),
    ("IDF.to_epjson", lambda c, p: c.doc.to_epjson(p), [*PATHS, 3], [
        *PATH_ERRORS[:2], Raises(TypeError, "Argument 'epjson_schema' has incorrect type (expected str, bytes or "
                                            "os.PathLike, got NoneType)"), Raises(FileNotFoundError),
        Raises(TypeError, "Argument 'epjson_schema' has incorrect type (expected str, bytes or os.PathLike, got int)")],
     True),
    ("IDF.save_epjson", lambda c, p: c.doc.save_epjson(p, c.json_schema), PATHS[:3], PATH_ERRORS[:3], True),
    ("IDF.from_epjson", lambda c, t: IDF.from_epjson(c.idd, t, c.json_schema).format(compact=True), [
        BIG, "\ud800", None, b"{", 3, "{\"Zone\": {\"Z1\": {\"multiplier\": 2}}}", b'{"Zone": {"Z1": {"x": 1}}}'], [
        Raises(OSError), Raises(UnicodeEncodeError),
        Raises(TypeError, "Argument 'text_or_path' has incorrect type (expected str, bytes or os.PathLike, got "
                          "NoneType)"),
        Raises(ValueError), Raises(TypeError, "Argument 'text_or_path' has incorrect type (expected str, bytes or "
                                              "os.PathLike, got int)"),
        "Zone,Z1,2;", Raises(ValueError, "epJSON Zone 'Z1' has an unknown field: 'x'")], True),
    ("IDF.from_file", lambda c, e: IDF.from_file(c.idd, c.path, e), [BIG, "\ud800", b"utf-8"], [
        Raises(LookupError, f"unknown encoding: {BIG}"), Raises(UnicodeEncodeError), wrong_type("encoding", "bytes")],
     True),
]


@pytest.mark.parametrize("member, probe, arguments, outcomes, unchanged", ARGUMENTS,
                         ids=[f"{row[0]}-{i}" for i, row in enumerate(ARGUMENTS)])
def test_wrong_and_extreme_arguments(idd, tmp_path, member, probe, arguments, outcomes, unchanged):
    for argument, expected in zip(arguments, outcomes, strict=True):
        context = Context(idd, tmp_path)
        context.doc.save(context.path)
        got = outcome(probe, context, argument)
        assert plain(got) == expected, (member, str(argument)[:20])
        if unchanged and isinstance(got, BaseException):  # a refused call changes nothing
            assert plain(context.doc) == IN_FILE_ORDER and context.s1.get_values() == VALUES


def test_megabyte_names_link_and_round_trip(idd, tmp_path):
    context = Context(idd, tmp_path)
    context.z1["Name"], context.s1["Zone Name"] = BIG, BIG.upper()
    assert context.s1.get_referenced_object("Zone Name") is context.z1
    assert context.z1.get_referencing_objects("Name") == (context.s1,)
    assert IDF.from_string(idd, context.doc.format()).get_object_by_name("Zone", BIG.upper())["Name"] == BIG


def test_wrong_self_for_every_member():
    """Each member of a class, called on an instance of another class, raises TypeError."""
    classes = {"IDD": (IDD, IDF.__new__(IDF)), "IDF": (IDF, IDFObject.__new__(IDFObject)),
               "IDFObject": (IDFObject, IDD.__new__(IDD)), "IDFObjectTuple": (IDFObjectTuple, IDF.__new__(IDF))}
    for class_name, members in stub_names().items():
        cls, stranger = classes[class_name]
        for member in members:
            raw = vars(cls)[member]
            kind = type(raw).__name__
            if kind == "classmethod_descriptor":
                got = outcome(raw.__get__, None, type(stranger))
            else:
                got = outcome(raw.__get__ if kind == "getset_descriptor" else raw, stranger)
            assert type(got) is TypeError and re.match(r"descriptor '\w+' (for|requires)", str(got)), (member, got)


def test_object_tuples(idd, tmp_path, monkeypatch):
    context = Context(idd, tmp_path)
    junk = IDFObjectTuple([5, None, "Zone"])  # a tuple of anything: only tuple operations apply
    assert junk[1:] == (None, "Zone") and junk.index("Zone") == 2 and type(junk + junk) is tuple
    for name in ("append", "insert", "extend", "remove", "pop", "clear"):
        assert type(outcome(getattr, context.doc["Zone"], name)) is AttributeError
    monkeypatch.setattr(tarvix.idf, "IDFObjectTuple", None)  # results are made by the module's attribute
    for call in (lambda: context.doc["Zone"], lambda: context.z1.get_referencing_objects(0)):
        assert outcome(call) == Raises(TypeError, "'NoneType' object is not callable")
    monkeypatch.setattr(tarvix.idf, "IDFObjectTuple", list)
    assert context.doc["Zone"] == [context.z1, context.z2]
    assert context.z1.get_referencing_objects(0) == [context.s1, context.s2]
    monkeypatch.delattr(tarvix.idf, "IDFObjectTuple")
    with pytest.raises(NameError):
        context.doc.get_objects("Zone")


def stub_names():
    """{class: its public members} as the type stubs declare them."""
    return {name: set(stub_members(load_stub(module)[name][0].body))
            for module, name in [("idd", "IDD"), ("idf", "IDF"), ("idf", "IDFObject"), ("idf", "IDFObjectTuple")]}


def test_every_public_member_of_the_stubs_is_exercised():
    exercised = set(CALLS) | set(IDD_CALLS) | {row[0] for row in ARGUMENTS}
    missing = {f"{c}.{m}" for c, members in stub_names().items() for m in members} - exercised
    assert not missing, f"add these members to the misuse tables: {sorted(missing)}"
