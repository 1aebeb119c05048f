"""One analysis of a document's text: where its objects and values lie (read past any fault), the
document loaded from the objects that can be loaded, and what validate() finds in it."""

from __future__ import annotations

import bisect
import re
from collections.abc import Iterator
from dataclasses import dataclass, field

from tarvix import lexer
from tarvix.idf import IDF, IDFObject, Problem, scan_version
from tarvix.lsp._schema import ClassData, NoSchema, Schema, choose
from tarvix.lsp._text import Positions

_NOT_LINE_BREAK = re.compile(rb"[^\r\n]")

UNTERMINATED = "unterminated-object"
MISSING_DELIMITER = "missing-delimiter"
BAD_TEXT = "bad-text"
UNKNOWN_CLASS = "unknown-class"
NO_SCHEMA = "no-schema"
NOT_LOADED = "not-loaded"


@dataclass
class Fault:
    """Something that keeps part of the text from loading."""

    begin: int
    end: int
    code: str
    message: str
    value: str = ""


@dataclass
class Spot:
    """Where an offset falls in an object: its class name (field -1) or one of its values."""

    index: int  # the object's place in the outline
    field: int
    begin: int
    end: int


@dataclass
class Analysis:
    data: bytes
    version: int
    positions: Positions
    objects: memoryview
    fields: memoryview
    comments: memoryview
    begins: list[int]
    schema: Schema | None
    doc: IDF | None = None
    loaded: list[int] = field(default_factory=list)  # outline place of each loaded object
    slot: dict[int, int] = field(default_factory=dict)  # outline place -> loaded index
    doc_objects: list[IDFObject] = field(default_factory=list)
    faults: list[Fault] = field(default_factory=list)
    problems: list[Problem] = field(default_factory=list)
    blanked: bytes = b""
    _index_of: dict[int, int] | None = None

    @property
    def count(self) -> int:
        return len(self.begins)

    # --- the outline -------------------------------------------------------------------------------

    def object_span(self, index: int) -> tuple[int, int]:
        return self.objects[6 * index], self.objects[6 * index + 2]

    def class_span(self, index: int) -> tuple[int, int]:
        return self.objects[6 * index], self.objects[6 * index + 1]

    def class_text(self, index: int) -> bytes:
        begin, end = self.class_span(index)
        return self.data[begin:end]

    def field_count(self, index: int) -> int:
        return self.objects[6 * index + 4]

    def field_span(self, index: int, field_index: int) -> tuple[int, int, int]:
        """A value's begin, end and delimiter."""
        k = 3 * (self.objects[6 * index + 3] + field_index)
        return self.fields[k], self.fields[k + 1], self.fields[k + 2]

    def value_text(self, index: int, field_index: int) -> str:
        begin, end, _ = self.field_span(index, field_index)
        return self.data[begin:end].decode("utf-8", "replace")

    def object_at(self, offset: int) -> int | None:
        """The object whose text (class name to ';') holds `offset`."""
        index = bisect.bisect_right(self.begins, offset) - 1
        if index < 0:
            return None
        begin, end = self.object_span(index)
        return index if offset <= end else None

    def spot(self, offset: int) -> Spot | None:
        """The class name or value at `offset`; past an unfinished object's last delimiter, the value to
        come (field == field_count)."""
        index = self.object_at(offset)
        if index is None:
            return None
        class_begin, class_end = self.class_span(index)
        if offset <= class_end:
            return Spot(index, -1, class_begin, class_end)
        count = self.field_count(index)
        first = self.objects[6 * index + 3]
        delimiters = [self.fields[3 * (first + k) + 2] for k in range(count)]
        k = bisect.bisect_left(delimiters, offset)
        if k < count:
            begin, end, _ = self.field_span(index, k)
            return Spot(index, k, begin, end)
        if self.objects[6 * index + 5] != lexer.OUTLINE_OK or offset < self.objects[6 * index + 2]:
            return Spot(index, count, offset, offset)
        return None

    # --- the loaded document ----------------------------------------------------------------------

    def class_name(self, index: int) -> str | None:
        if self.schema is None:
            return None
        return self.schema.class_name(self.class_text(index))

    def class_data(self, index: int) -> ClassData | None:
        name = self.class_name(index)
        return None if name is None or self.schema is None else self.schema.data(name)

    def loaded_object(self, index: int) -> IDFObject | None:
        slot = self.slot.get(index)
        return None if slot is None else self.doc_objects[slot]

    def place_of(self, obj: IDFObject) -> int | None:
        """The outline place of a loaded object."""
        if self._index_of is None:
            self._index_of = {id(o): k for k, o in enumerate(self.doc_objects)}
        slot = self._index_of.get(id(obj))
        return None if slot is None else self.loaded[slot]

    def name_span(self, index: int) -> tuple[int, int] | None:
        """Where the name other objects use for this one lies."""
        data = self.class_data(index)
        if data is None or data.name_field is None or data.name_field >= self.field_count(index):
            return None
        begin, end, _ = self.field_span(index, data.name_field)
        return begin, end

    def objects_of(self, class_name: str) -> tuple[IDFObject, ...]:
        if self.doc is None:
            return ()
        try:
            return tuple(self.doc.get_objects(class_name))
        except (KeyError, ValueError):
            return ()

    def names_for(self, lists: tuple[str, ...]) -> Iterator[tuple[str, str]]:
        """(name, class) of every object a field of these name lists may name."""
        if self.schema is None:
            return
        for class_name, name_field in self.schema.fillers(lists):
            if name_field is None:
                if self.objects_of(class_name):
                    yield class_name, class_name
                continue
            for obj in self.objects_of(class_name):
                values = obj.get_values()
                if name_field < len(values) and isinstance(values[name_field], str) and values[name_field]:
                    yield str(values[name_field]), class_name

    def references_to(self, index: int) -> list[tuple[int, int]]:
        """(outline place, field) of every value that names the object at `index`."""
        obj = self.loaded_object(index)
        data = self.class_data(index)
        if obj is None or data is None or data.name_field is None or self.schema is None:
            return []
        tags = {tag.upper() for tag in data.fields[data.name_field].references}
        name = obj.get_values()[data.name_field] if data.name_field < len(obj.get_values()) else None
        if not isinstance(name, str) or not name:
            return []
        wanted = name.upper()
        found = []
        for referrer in obj.get_referencing_objects(data.name_field):
            place = self.place_of(referrer)
            if place is None:
                continue
            referrer_data = self.schema.data(referrer.class_name)
            for k, value in enumerate(referrer.get_values()):
                if not isinstance(value, str) or value.upper() != wanted:
                    continue
                info = referrer_data.field(k)
                if info is not None and any(tag.upper() in tags for tag in info.object_lists):
                    found.append((place, k))
        found.sort()
        return found

    def target_of(self, index: int, field_index: int) -> int | None:
        """The outline place of the object a reference value names."""
        obj = self.loaded_object(index)
        if obj is None or field_index >= len(obj.field_names):
            return None
        try:
            target = obj.get_referenced_object(field_index)
        except (IndexError, KeyError, ValueError):
            return None
        return None if target is None else self.place_of(target)


def analyse(data: bytes, version: int, encoding: str, setting: str | None) -> Analysis:
    """Reads `data` as far as it goes: the outline, the schema its version picks, the document loaded from
    every object that is whole and of a known class (the others blanked out, so that offsets and lines stay
    those of the text), and validate()'s problems."""
    starts, objects, fields, comments = (memoryview(part).cast("I") for part in lexer.outline(data))
    positions = Positions(data, starts, encoding)
    begins = objects[0::6].tolist()
    try:
        schema: Schema | None = choose(scan_version(data), setting)
        error = None
    except NoSchema as why:
        schema, error = None, str(why)
    except (OSError, ValueError, UnicodeError) as why:
        schema, error = None, f"the schema cannot be read: {why}"
    analysis = Analysis(data, version, positions, objects, fields, comments, begins, schema)
    if schema is None:
        analysis.faults.append(Fault(0, 0, NO_SCHEMA, str(error)))
        return analysis
    blank: list[int] = []
    for index in range(len(begins)):
        status = objects[6 * index + 5]
        class_begin, class_end = objects[6 * index], objects[6 * index + 1]
        end = objects[6 * index + 2]
        written = data[class_begin:class_end]
        if status == lexer.OUTLINE_UNTERMINATED:
            analysis.faults.append(Fault(class_begin, end, UNTERMINATED,
                                         f"{_show(written)} has no ';' at its end"))
        elif status == lexer.OUTLINE_MISSING_DELIMITER:
            analysis.faults.append(Fault(end, end, MISSING_DELIMITER,
                                         "a ',' or ';' is missing here: the next line starts a new value"))
        elif status == lexer.OUTLINE_BAD_TEXT:
            analysis.faults.append(Fault(class_begin, end, BAD_TEXT, "the text is not UTF-8 from here on"))
        elif schema.class_name(written) is None:
            shown = written.decode("utf-8", "replace")
            message = (f"no class {shown!r} in the schema of version {schema.version}" if written
                       else "an object without a class name (a stray ';')")
            analysis.faults.append(Fault(class_begin, class_end if written else end, UNKNOWN_CLASS, message,
                                         shown))
        else:
            analysis.loaded.append(index)
            continue
        blank.append(index)
    text = data
    if blank:
        buffer = bytearray(data)
        for index in blank:
            begin, end = objects[6 * index], objects[6 * index + 2]
            buffer[begin:end] = _NOT_LINE_BREAK.sub(b" ", bytes(buffer[begin:end]))
        text = bytes(buffer)
    analysis.blanked = text
    try:
        doc = IDF.from_string(schema.idd, text.decode("utf-8", "replace"), keep_layout=True)
    except (ValueError, MemoryError) as why:
        analysis.faults.append(Fault(0, 0, NOT_LOADED, f"the document cannot be loaded: {why}"))
        analysis.loaded = []
        return analysis
    analysis.doc = doc
    analysis.doc_objects = list(doc)
    if len(analysis.doc_objects) != len(analysis.loaded):  # never expected: the two readings disagree
        analysis.faults.append(Fault(0, 0, NOT_LOADED, "the document's objects could not be placed"))
        analysis.doc, analysis.doc_objects, analysis.loaded = None, [], []
        return analysis
    analysis.slot = {place: k for k, place in enumerate(analysis.loaded)}
    analysis.problems = doc.validate()
    return analysis


def nothing(data: bytes, version: int, encoding: str) -> Analysis:
    """An analysis that finds no object in the text."""
    empty = memoryview(b"").cast("I")
    return Analysis(data, version, Positions(data, [0], encoding), empty, empty, empty, [], None)


def _show(written: bytes) -> str:
    return repr(written.decode("utf-8", "replace")) if written else "an object"
