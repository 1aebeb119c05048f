"""A campus of buildings made from a real document, for benchmarks.

Every object of the source document is copied N times; in copy k every value
that equals some object's name (ignoring case) gets the suffix "_k", so each
copy is a building of its own that refers only to its own objects and the
campus holds N times as many distinct names as the source. The Version
object and those of the other classes a document holds one of are kept
once.

- compact: one object a line, "Class,v1,v2,...;", no comments;
- padded: the source's own layout (indentation, "!- Field" comments, blank
  lines) repeated, with the names suffixed in place.

    from campus import build_campus
    data = build_campus(10_000_000, compact=True)   # bytes, UTF-8

build_campus caches nothing; each call takes about a second per 10 MB.
"""

from __future__ import annotations

import re
from pathlib import Path

DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
SCHEMA = DATA / "Energy+V8_0_0.idd"
SOURCES = {
    "wlhp": DATA / "5ZoneWaterLoopHeatPump.idf",
    "rab": DATA / "5ZoneSupRetPlenRAB.idf",
}

_DELIMS = re.compile(r"([,;])")


def _split_objects(text: str) -> list[tuple[list[str], list[tuple[int, int]]]]:
    """The objects of a document: per object its values (class name first,
    stripped) and, per value, (line number, position in the line's code part)
    of its piece, for the padded copy."""
    objects = []
    current: list[str] = []
    for line in text.split("\n"):
        i = line.find("!")
        code = line[:i] if i >= 0 else line
        pieces = _DELIMS.split(code)
        for j in range(0, len(pieces) - 1, 2):
            current.append(pieces[j].strip())
            if pieces[j + 1] == ";":
                objects.append(current)
                current = []
    return objects


def _schema_facts(schema_path: Path) -> tuple[dict[str, int], set[str], dict[str, set[int]]]:
    """Per class (upper-cased), the index among its values (class name being
    0) of the field that names its objects (the first with a reference tag,
    else a first field called a name); the classes a document holds one
    object of at most; per class the value indices of its choice fields."""
    from tarvix.idd import IDD

    idd = IDD.from_file(schema_path)
    names, unique, choices = {}, {"VERSION"}, {}
    for class_name in idd.get_class_names():
        info = idd.get_class_info(class_name)
        key = class_name.upper()
        if info.unique_object:
            unique.add(key)
        fields = info.fields
        choices[key] = {f.index + 1 for f in fields if f.type == "choice"}
        for field in fields:
            if field.references:
                names[key] = field.index + 1
                break
        else:
            if fields and fields[0].name.endswith("Name"):
                names[key] = 1
    return names, unique, choices


def _names(objects, name_fields: dict[str, int]) -> set[str]:
    names = set()
    for values in objects:
        idx = name_fields.get(values[0].upper())
        if idx is not None and idx < len(values) and values[idx]:
            names.add(values[idx].upper())
    return names


def build_campus(target_bytes: int, compact: bool = True, source: str = "wlhp",
                 schema_path: Path = SCHEMA) -> bytes:
    """A campus of about `target_bytes` (at least one copy) as UTF-8 bytes."""
    text = SOURCES[source].read_bytes().decode("latin-1")
    objects = _split_objects(text)
    name_fields, unique, choices = _schema_facts(schema_path)
    names = _names(objects, name_fields)
    no_choices: set[int] = set()

    def suffixed(value: str, k: int, index: int = 0, choice: set[int] = no_choices) -> str:
        return f"{value}_{k}" if index not in choice and value.upper() in names else value

    out: list[str] = []
    written = 0
    if compact:
        version = [v for v in objects if v[0].upper() in unique]
        rest = [v for v in objects if v[0].upper() not in unique]
        for values in version:
            line = ",".join(values) + ";\n"
            out.append(line)
            written += len(line)
        k = 0
        while written < target_bytes or k == 0:
            k += 1
            for values in rest:
                choice = choices.get(values[0].upper(), no_choices)
                line = (values[0] + "," * (len(values) > 1)
                        + ",".join(suffixed(v, k, i, choice) for i, v in enumerate(values[1:], 1)) + ";\n")
                out.append(line)
                written += len(line)
        return "".join(out).encode("utf-8")

    # Padded: the source text, each value replaced in place (its blanks kept).
    body: list[tuple[list[str], str, set[int], int]] = []
    head: list[tuple[list[str], str, set[int], int]] = []
    pending_class = True
    in_unique = False
    choice, index = no_choices, 0  # the current object's choice fields, the next value's index
    for line in text.split("\n"):
        i = line.find("!")
        code, comment = (line[:i], line[i:]) if i >= 0 else (line, "")
        pieces = _DELIMS.split(code)
        unique_line = in_unique
        first_index, first_choice = index, choice
        for j in range(0, len(pieces) - 1, 2):
            if pending_class:
                key = pieces[j].strip().upper()
                in_unique = key in unique
                unique_line = unique_line or in_unique
                pending_class = False
                choice = choices.get(key, no_choices)
                index = 0
                if j == 0:
                    first_index, first_choice = 0, choice
            index += 1
            if pieces[j + 1] == ";":
                pending_class = True
                in_unique = False
        (head if unique_line else body).append((pieces, comment, first_choice, first_index))

    def render(pieces: list[str], comment: str, choice: set[int], index: int, k: int) -> str:
        parts = []
        for j, piece in enumerate(pieces):
            if j % 2 == 0 and piece.strip():
                value = piece.strip()
                new = suffixed(value, k, index, choice) if index else value
                if new is not value:
                    lead = piece[: len(piece) - len(piece.lstrip())]
                    trail = piece[len(piece.rstrip()):]
                    piece = lead + new + trail
            if j % 2 == 1:
                index = 0 if piece == ";" else index + 1
            parts.append(piece)
        return "".join(parts) + comment + "\n"

    for pieces, comment, _, _ in head:
        line = "".join(pieces) + comment + "\n"
        out.append(line)
        written += len(line)
    k = 0
    while written < target_bytes or k == 0:
        k += 1
        for pieces, comment, choice, index in body:
            line = render(pieces, comment, choice, index, k)
            out.append(line)
            written += len(line)
    return "".join(out).encode("utf-8")


def plain_pass(data: bytes) -> int:
    """The plain Python pass every campus figure is compared with."""
    n = 0
    for line in data.split(b"\n"):
        i = line.find(b"!")
        line = line[:i] if i >= 0 else line
        n += len(line.split(b","))
    return n
