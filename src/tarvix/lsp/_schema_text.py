"""An open schema (IDD) file: where its classes and fields are written, and the schema it loads as, for
hover and the outline."""

from __future__ import annotations

import bisect
import re
from dataclasses import dataclass, field

from tarvix.idd import IDD
from tarvix.lsp._schema import Schema
from tarvix.lsp._text import Positions, line_starts

_CLASS = re.compile(rb"^([A-Za-z][^,;!\\\r\n]*?)[ \t]*[,;]", re.M)
_FIELD = re.compile(rb"^[ \t]+([AN][0-9]+)[ \t]*[,;][ \t]*\\field[ \t]+([^\r\n!]*?)[ \t]*$", re.M)


@dataclass
class Written:
    name: str
    begin: int
    end: int
    fields: list[tuple[str, int, int]] = field(default_factory=list)  # name, begin, end of its line


@dataclass
class SchemaText:
    version: int
    positions: Positions
    classes: list[Written]
    schema: Schema | None

    def class_at(self, offset: int) -> tuple[Written, int] | None:
        """The class written around `offset` and the field there (-1 on the class name, -2 elsewhere)."""
        index = bisect.bisect_right([c.begin for c in self.classes], offset) - 1
        if index < 0:
            return None
        written = self.classes[index]
        if offset <= written.end:
            return written, -1
        for k, (_, begin, end) in enumerate(written.fields):
            if begin <= offset <= end:
                return written, k
        return written, -2


def read_schema_text(data: bytes, version: int, encoding: str, uri: str) -> SchemaText:
    classes: list[Written] = []
    for match in _CLASS.finditer(data):
        classes.append(Written(match.group(1).decode("utf-8", "replace"), match.start(1), match.end(1)))
    begins = [c.begin for c in classes]
    for match in _FIELD.finditer(data):
        index = bisect.bisect_right(begins, match.start()) - 1
        if index >= 0:
            classes[index].fields.append((match.group(2).decode("utf-8", "replace"), match.start(1), match.end()))
    try:
        schema: Schema | None = Schema(IDD.from_string(data.decode("utf-8", "replace")), uri)
    except (ValueError, MemoryError):
        schema = None
    return SchemaText(version, Positions(data, line_starts(data), encoding), classes, schema)
