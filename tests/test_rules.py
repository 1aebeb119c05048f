"""Each rule is stated once and every caller follows it: what a value may
hold, how a class name is matched, what a version's major.minor is (for
validate() and for open_idf's choice of schema); and the core names no Python
module (the binding names each failure site)."""

import json
import pathlib
import re

import pytest

from schema_samples import epjson_schema
from tarvix import _schemas
from tarvix.idd import IDD, debug_find_field_index, debug_get_field_name
from tarvix.idf import IDF, IDFObject
from tarvix.utils import version_key

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE = ROOT / "src" / "tarvix" / "core"


def accepted(write):
    try:
        write()
    except ValueError:
        return False
    return True


def reads_back(idd, value):
    try:
        objects = IDF.from_string(idd, f"Zone, x, {value};")["Zone"]
    except ValueError:
        return False
    return [o.get_values() for o in objects] == [["x", value]]


# A value may hold any byte the tokenizer keeps inside a value (NUL included):
# everything but the delimiters, the comment mark and the line ends.
@pytest.mark.parametrize("byte", [",", ";", "!", "\n", "\r", "\x00", "\t", "\x0b", "\\", '"', "é"], ids=repr)
def test_every_writer_of_a_value_takes_what_the_tokenizer_reads_back(byte, tmp_path):
    value = f"a{byte}b"
    default = "" if byte in "!\n\r" else f"\n       \\default {value}"  # a property line ends there
    idd = IDD.from_string(f"Zone,\n  A1, \\field Name\n       \\reference ZoneNames\n  A2; \\field Kind{default}\n")
    schema = tmp_path / "schema.epJSON"
    schema.write_text(json.dumps(epjson_schema(idd)))
    doc = IDF.from_string(idd, "Zone, Z, k;")
    zone = doc["Zone"][0]
    outcomes = {
        "read back": reads_back(idd, value),
        "item": accepted(lambda: zone.__setitem__("Kind", value)),
        "update": accepted(lambda: zone.update({"Kind": value})),
        "rename": accepted(lambda: zone.rename(value)),
        "copy": accepted(lambda: doc.copy_object(zone, value[::-1])),
        "epJSON field": accepted(lambda: IDF.from_epjson(idd, json.dumps({"Zone": {"Z": {"kind": value}}}), schema)),
        "epJSON name": accepted(lambda: IDF.from_epjson(idd, json.dumps({"Zone": {value: {}}}), schema)),
    }
    if default:
        outcomes["default"] = accepted(lambda: doc.add_object("Zone"))
    assert outcomes == dict.fromkeys(outcomes, byte not in ",;!\n\r")


# A class name matches with its ASCII letters in any case, every other byte as it is.
# Each look-up answers whether it found the class (or raises ValueError when not).
CLASS_LOOKUPS = {
    "IDD.get_class_info": lambda idd, doc, n: idd.get_class_info(n) is not None,
    "IDD._get_field_names": lambda idd, doc, n: idd._get_field_names(n) == ["Name"],
    "debug_find_field_index": lambda idd, doc, n: debug_find_field_index(idd, n, "Name") == 0,
    "debug_get_field_name": lambda idd, doc, n: debug_get_field_name(idd, n, 0, False) == "Name",
    "IDFObject()": lambda idd, doc, n: IDFObject(idd, n) is not None,
    "IDF.from_string": lambda idd, doc, n: len(IDF.from_string(idd, f"{n}, Y;")["Zoné"]) == 1,
    "IDF.add_object": lambda idd, doc, n: doc.add_object(n) is not None,
    "IDF[...]": lambda idd, doc, n: len(doc[n]) == 1,
    "in IDF": lambda idd, doc, n: n in doc,
    "IDF.get_object_by_name": lambda idd, doc, n: doc.get_object_by_name(n, "Z") is not None,
}


@pytest.mark.parametrize("name, found", [("Zoné", True), ("zONé", True), ("ZONÉ", False), ("zonÉ", False),
                                         ("Zoné\x00", False), ("Zon", False)], ids=repr)
def test_every_class_lookup_folds_ascii_letters_only(name, found):
    idd = IDD.from_string("Zoné,\n  A1; \\field Name\n")
    outcomes = {}
    for caller, lookup in CLASS_LOOKUPS.items():
        try:
            outcomes[caller] = lookup(idd, IDF.from_string(idd, "ZONé, Z;"), name)
        except ValueError:
            outcomes[caller] = False
    assert outcomes == dict.fromkeys(CLASS_LOOKUPS, found)


@pytest.mark.parametrize("document, schema, same", [
    ("8.0", "8.0.0", True), ("08.0", "8.00", True), ("9", "9.0", True), (" 23.1 ", "23.1", True),
    ("V8-0", "v8-0", True), ("Beta.X.1", "beta.x", True), ("8.0", "8.80", False), ("V8-0", "8.0", False),
    ("+8.0", "8.0", False), ("8_0.1", "80.1", False), ("Beta.ẞ", "beta.ß", False), ("8.", "8", False),
], ids=repr)
def test_one_major_minor_for_validate_and_open_idf(document, schema, same):
    idd = IDD.from_string(f"Version,\n  A1; \\field Version Identifier\n       \\default {schema}\n")
    mismatch = IDF.from_string(idd, f"Version, {document};").validate(codes=["version-mismatch"])
    assert (_schemas.version_key(document) == _schemas.version_key(schema), not mismatch) == (same, same)
    assert _schemas.version_key is version_key


def test_the_core_names_no_python_module():
    named = [f"{path.relative_to(CORE)}:{n}" for path in sorted(CORE.rglob("*.[ch]*"))
             for n, line in enumerate(path.read_text().splitlines(), 1) if re.search(r"\btarvix\.\w", line)]
    assert named == []
