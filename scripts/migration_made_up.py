"""Writes made-up documents for the migration tests: for each version step, one document of the step's
old version holding an object of every class the step's rules name (and one more for each choice key
they rename), every field filled with a value of its own, so a field put in the wrong place shows.

    python scripts/migration_made_up.py OUTDIR

OUTDIR/V<x-y>.idf is the document for the step from x.y. The tests keep these documents and what the
engine's own transition programs (built from the engine's source, outside this repository) wrote for
each, as V<x-y>.theirs.idf, in tests/migration/made-up/: comments dropped, one object a line (their
programs read lines of limited length, so they run on this script's output, not on those copies). The
9.2 document there also holds two terminals standing alone in their zones, with the lists, paths and
airflow network naming them.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

from tarvix.idd import IDD
from tarvix.idf import migration_rules
from tarvix.migration import versions

ROOT = Path(__file__).resolve().parents[1]

# Classes the engine's programs of a step stop on, made up as here (left out, so the rest is compared).
THEIR_PROGRAMS_STOP = {
    "8.6": {"MATERIALPROPERTY:MOISTUREPENETRATIONDEPTH:SETTINGS"},
    "9.3": {"HEATPUMP:WATERTOWATER:EIR:COOLING", "HEATPUMP:WATERTOWATER:EIR:HEATING"},
    "25.2": {"GROUNDHEATEXCHANGER:SYSTEM"},
}


def schema_path(version: str) -> Path | None:
    major, minor = version.split(".")
    for path in (
        ROOT.parent / "shared" / "data" / f"Energy+V{major}_{minor}_0.idd",
        ROOT / ".cache" / "schemas" / f"V{major}-{minor}-0-Energy+.idd",
    ):
        if path.exists():
            return path
    return None


def step_classes(reached: str) -> dict[str, list[tuple[int, str]]]:
    """{class: [(field, old key)] of its choice rules} for the classes the step's rules name."""
    text = migration_rules().split(f"=> {reached}]\n", 1)[1].split("\n[", 1)[0]
    named: dict[str, list[tuple[int, str]]] = {}
    for line in text.splitlines():
        line = line.split("!", 1)[0].strip()
        if not line or line.startswith("#") or line.startswith("variable"):
            continue
        verb, cls, *rest = line.split(" ", 2)
        keys = named.setdefault(cls, [])
        if verb == "choice":
            at, _, old = rest[0].partition(" ")
            keys.append((int(at), old.split("=>")[0].strip()))
    return named


def value_of(field, i: int, tag: str) -> str:
    if field.type == "choice" and field.choices:
        return field.default if field.default in field.choices else field.choices[0]
    if field.type in ("real", "integer"):
        if isinstance(field.default, (int, float)) and not isinstance(field.default, bool):
            return str(field.default)
        if field.autosizable:
            return "autosize"
        low = field.minimum if isinstance(field.minimum, (int, float)) else 0
        value = low + (i + 1) if field.type == "integer" else round(low + 0.1 * (i + 1), 3)
        if isinstance(field.maximum, (int, float)) and value > field.maximum:
            value = field.maximum
        return str(value)
    return f"{tag} F{i + 1}"


def object_values(info, tag: str, keys: dict[int, str]) -> tuple[list[str], list[str]]:
    """The field names and values of a made-up object of the class."""
    fields = list(info.fields)
    if info.extensible_size:  # the schema's groups, at least three and up to its minimum
        group = fields[info.extensible_begin : info.extensible_begin + info.extensible_size]
        want = max(info.extensible_begin + 3 * info.extensible_size, info.min_fields or 0)
        while len(fields) < want:
            fields += group
        fields = fields[: max(want, info.extensible_begin + 3 * info.extensible_size)]
    values = [value_of(f, i, tag) for i, f in enumerate(fields)]
    for i, f in enumerate(fields):
        if f.name.lower() == "number of vertices":
            values[i] = str(sum(g.name.lower().startswith("vertex") for g in fields[i + 1 :]) // 3)
    for at, old in keys.items():
        if at <= len(values):
            values[at - 1] = old
    if fields and fields[0].type not in ("real", "integer", "choice"):
        values[0] = tag
    return [f.name for f in fields], values


def document(version: str, reached: str, idd: IDD) -> str:
    known = {c.upper(): c for c in idd.get_class_names()}
    objects = []
    for cls, choices in step_classes(reached).items():
        name = known.get(cls.upper())
        if name is None or cls.upper() == "VERSION" or cls.upper() in THEIR_PROGRAMS_STOP.get(reached, ()):
            continue
        info = idd.get_class_info(name)
        parts = [re.sub(r"[^A-Za-z0-9]", "", part) for part in name.split(":")]
        short = "".join(part[:4] for part in parts[:-1]) + parts[-1]  # one per class
        objects.append((info.name, *object_values(info, f"{short} 1", {})))
        if info.unique_object:
            continue
        for n, (at, old) in enumerate(choices, start=2):
            objects.append((info.name, *object_values(info, f"{short} {n}", {at: old})))
    # An object type and name naming a class of the document name its first object, so that what the
    # rules do across objects (a coil taking its heat pump's inputs, say) is made up too.
    first = {}
    for cls, _, values in objects:
        first.setdefault(cls.upper(), values[0])
    for _, names, values in objects:
        for i in range(len(values) - 1):
            if names[i].lower().endswith("object type") and names[i + 1].lower().endswith("name"):
                values[i + 1] = first.get(values[i].upper(), values[i + 1])
    out = [f"Version,{version};\n"]
    out += [f"{cls},\n    " + ",\n    ".join(values) + ";\n" for cls, _, values in objects]
    return "\n".join(out)


def main(folder: str) -> None:
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    order = versions()
    for before, reached in zip(order, order[1:], strict=False):
        path = schema_path(before)
        if path is None:
            print(f"no schema of {before}: skipped")
            continue
        idd = IDD.from_file(path, encoding="latin-1")
        target = out / f"V{before.replace('.', '-')}.idf"
        target.write_text(document(before, reached, idd), encoding="latin-1")
        print(target)


if __name__ == "__main__":
    main(sys.argv[1])
