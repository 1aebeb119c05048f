"""IDD.get_class_info on the engine's own Energy+.idd agrees with Energy+.schema.epJSON, the JSON schema the engine
generates from that dictionary, on everything the two express. The few places where the generator edits the
dictionary on purpose are listed in KNOWN_DIFFERENCES; any other difference fails, and so does a listed one that
no longer occurs."""

import json
import re
from fnmatch import fnmatchcase
from typing import Any, NamedTuple

import pytest

import engine
from tarvix.idd import IDD


class Difference(NamedTuple):
    class_name: str
    field: str | None  # None for a property of the class itself
    aspect: str
    ours: Any
    schema: Any


# Required fields that have a default: the generator makes them optional, since the default fills them in.
REQUIRED_WITH_DEFAULT = {
    "WeatherProperty:SkyTemperature": ["Calculation Type"],
    "Site:WaterMainsTemperature": ["Calculation Method"],
    "MaterialProperty:VariableAbsorptance": ["Control Signal"],
    "ZoneHVAC:WaterToAirHeatPump": ["Maximum Supply Air Temperature from Supplemental Heater"],
    "ZoneHVAC:TerminalUnit:VariableRefrigerantFlow": ["Maximum Supply Air Temperature from Supplemental Heater"],
    "LoadProfile:Plant": ["Plant Loop Fluid Type"],
    "Boiler:Steam": ["Maximum Operating Pressure", "Theoretical Efficiency", "Design Outlet Steam Temperature"],
    **{
        f"HeatPump:AirToWater:FuelFired:{mode}": [
            "Fuel Type",
            "Nominal COP",
            "Flow Mode",
            "Outdoor Air Temperature Curve Input Variable",
            "Water Temperature Curve Input Variable",
        ]
        for mode in ("Heating", "Cooling")
    },
    "GroundHeatExchanger:Vertical:Sizing:Rectangle": ["Design Flow Rate Per Borehole"],
    "PythonPlugin:SearchPaths": [
        "Add Current Working Directory to Search Path",
        "Add Input File Directory to Search Path",
        "Add epin Environment Variable to Search Path",
    ],
    "PythonPlugin:Instance": ["Run During Warmup Days"],
}

# (class, field, aspect); class and field are shell patterns, field None for the class itself.
KNOWN_DIFFERENCES = [
    *((class_name, field, "required") for class_name, fields in REQUIRED_WITH_DEFAULT.items() for field in fields),
    # Two classes whose first field is not called "Name": the generator makes that field the object's name and
    # drops its \required-field on the way.
    ("ZoneHVAC:TerminalUnit:VariableRefrigerantFlow", "Zone Terminal Unit Name", "required"),
    ("AirConditioner:VariableRefrigerantFlow", "Heat Pump Name", "required"),
    # The generator gives every curve and table one shared list of output unit types.
    ("Curve:*", "Output Unit Type", "choices"),
    ("Table:Lookup", "Output Unit Type", "choices"),
    # Day types may be combined in one value ("Holiday Weekends"), so the generator drops the key list.
    ("Schedule:Week:Compact", "DayType List 1", "choices"),
    # Alpha fields that also take a number: the generator allows number or string.
    ("Schedule:Compact", "Field 1", "type"),
    ("UtilityCost:*", "* or Variable Name", "type"),
    # Classes whose fields have no \field line: the generator, which keys fields by that name, leaves them out.
    *((f"GroundHeatTransfer:{kind}:{axis}FACE", None, "fields") for kind in ("Slab", "Basement") for axis in "XYZ"),
]

CLASS_ASPECTS = [
    "min_fields", "extensible_size", "unique_object", "required_object", "group", "memo", "format", "properties",
    "fields",
]
FIELD_ASPECTS = [
    "name", "kind", "type", "data_type", "required", "choices", "minimum", "maximum", "autosizable",
    "autocalculatable", "units", "ip_units", "units_based_on_field", "references", "reference_class_names",
    "object_lists", "external_lists", "retain_case", "default", "note",
]

# The generator marks a numeric field that also takes a keyword as anyOf [number, string with these values].
KEYWORDS = {"", "Autosize", "Autocalculate"}


def is_known(difference):
    return any(matches(known, difference) for known in KNOWN_DIFFERENCES)


def matches(known, difference):
    class_pattern, field_pattern, aspect = known
    if aspect != difference.aspect or not fnmatchcase(difference.class_name, class_pattern):
        return False
    if field_pattern is None or difference.field is None:
        return field_pattern is difference.field
    return fnmatchcase(difference.field, field_pattern)


@pytest.fixture(scope="module")
def dictionaries():
    payload = engine.payload_dir()
    idd = IDD.from_file(payload / "Energy+.idd")
    with open(payload / "Energy+.schema.epJSON", encoding="utf-8") as handle:
        schema = json.load(handle)
    return idd, schema


@pytest.fixture(scope="module")
def differences(dictionaries):
    idd, schema = dictionaries
    found = []
    for class_name in idd.get_class_names():
        if class_name in schema["properties"]:
            info = idd.get_class_info(class_name)
            found += compare_class(info, schema["properties"][class_name], schema["required"])
    return found


def compare_class(info, class_schema, required_classes):
    found = []

    def check(aspect, ours, theirs, field=None):
        if ours != theirs:
            found.append(Difference(info.name, field, aspect, ours, theirs))

    check("min_fields", info.min_fields, int(class_schema.get("min_fields", 0)))
    check("extensible_size", info.extensible_size, int(class_schema.get("extensible_size", 0)))
    check("unique_object", info.unique_object, class_schema.get("maxProperties") == 1)
    check("required_object", info.required_object, info.name in required_classes)
    check("group", info.group, class_schema["group"])
    check("memo", info.memo, class_schema.get("memo", ""))
    check("format", info.format, class_schema.get("format"))

    schema_fields = list(schema_field_entries(class_schema))
    # Every field the schema describes must be one we compare.
    (objects,) = class_schema["patternProperties"].values()
    compared = {key for key, *_ in schema_fields} | {class_schema["legacy_idd"].get("extension")}
    check("properties", [], sorted(set(objects["properties"]) - compared))
    check("fields", len(info.fields), len(schema_fields))
    if len(info.fields) != len(schema_fields):
        return found
    legacy = class_schema["legacy_idd"]
    alpha_ids = {key: f"A{number}" for number, key in enumerate(legacy["alphas"]["fields"], 1)}
    for field, (key, entry, required, extensible) in zip(info.fields, schema_fields):
        for aspect, ours, theirs in compare_field(field, entry, required, alpha_ids):
            check(aspect, ours, theirs, field.name)
        # The generator names the fields of the repeating group without their group number.
        ours_name = " ".join(re.sub(r"\b\d+\b", "", field.name, count=1).split()) if extensible else field.name
        check("name", ours_name, legacy["field_info"][key]["field_name"], field.name)
        check("kind", field.kind, legacy["field_info"][key]["field_type"].upper(), field.name)
    return found


def schema_field_entries(class_schema):
    """(key, entry, required, extensible) for each field of a class's schema, in the dictionary's order: the
    fixed fields, then one repeating group. A first field "name" is the object's key, described apart."""
    legacy = class_schema["legacy_idd"]
    (objects,) = class_schema["patternProperties"].values()
    properties = objects["properties"]
    for key in legacy["fields"]:
        if key == "name" and "name" in class_schema:
            entry = class_schema["name"]
            yield key, entry, entry.get("is_required", False), False
        else:
            yield key, properties[key], key in objects.get("required", ()), False
    if "extension" in legacy:
        items = properties[legacy["extension"]]["items"]
        for key in legacy["extensibles"]:
            yield key, items["properties"][key], key in items.get("required", ()), True


def compare_field(field, entry, required, alpha_ids):
    """(aspect, ours, schema's) for each property of a field, both sides in one form."""
    values, types, keywords, numeric = schema_values(entry)
    # By the declared type, not the kind: a few alpha fields are declared real.
    if field.type == "integer":
        expected_types = {"integer"}
    elif field.type == "real" or field.kind == "N":
        expected_types = {"number"}
    else:
        expected_types = {"string"}
    # The generator sorts choices, and writes those of a numeric field as numbers.
    as_value = choice_number if field.kind == "N" else str
    choices = (sorted(map(as_value, field.choices), key=repr), sorted(map(as_value, values), key=repr))
    units_field = entry.get("unitsBasedOnField")
    return [
        ("type", expected_types, types),
        ("data_type", {"object-list": "object_list", "external-list": "external_list"}.get(field.type),
         entry.get("data_type")),
        ("required", field.required, required),
        ("choices", *choices),
        ("minimum", (field.minimum, field.minimum_exclusive), schema_bound(numeric, "minimum")),
        ("maximum", (field.maximum, field.maximum_exclusive), schema_bound(numeric, "maximum")),
        ("autosizable", field.autosizable, "Autosize" in keywords),
        ("autocalculatable", field.autocalculatable, "Autocalculate" in keywords),
        ("units", field.units, entry.get("units")),
        ("ip_units", field.ip_units, entry.get("ip-units")),
        # We give the field as the dictionary writes it (A2); the generator names it by its key, except in a
        # repeating group, where it keeps the dictionary's text.
        ("units_based_on_field", field.units_based_on_field, alpha_ids.get(units_field, units_field)),
        # The generator sorts these lists.
        ("references", sorted(field.references), entry.get("reference", [])),
        ("reference_class_names", sorted(field.reference_class_names), entry.get("reference-class-name", [])),
        ("object_lists", sorted(field.object_lists), entry.get("object_list", [])),
        ("external_lists", sorted(field.external_lists), entry.get("external_list", [])),
        ("retain_case", field.retain_case, entry.get("retaincase", False)),
        ("default", field.default, schema_default(field.default, entry.get("default"))),
        ("note", field.note, entry.get("note", "")),
    ]


def schema_values(entry):
    """A field entry's choices (without the "" the generator adds to optional fields), JSON types, autosize
    keywords, and the branch that carries the numeric bounds."""
    branches = entry.get("anyOf", [entry])
    is_numeric = any(branch.get("type") in ("number", "integer") for branch in branches)
    values, types, keywords, numeric = [], set(), set(), {}
    for branch in branches:
        enum = branch.get("enum", [])
        if is_numeric and branch.get("type") == "string" and enum and set(enum) <= KEYWORDS:
            keywords |= set(enum) - {""}
            continue
        types.add(branch.get("type"))
        values += [value for value in enum if value != ""]
        if branch.get("type") in ("number", "integer"):
            numeric = branch
    return values, types, keywords, numeric


def choice_number(choice):
    try:
        return float(choice)
    except ValueError:
        return choice


def schema_bound(numeric, bound):
    exclusive = "exclusive" + bound.capitalize()
    value = numeric.get(exclusive, numeric.get(bound))
    return (None if value is None else float(value), exclusive in numeric)


def schema_default(ours, theirs):
    """The schema's default in our form: the dictionary's text when it means the same value. The generator writes
    numbers as JSON numbers and the autosize keywords capitalised."""
    if ours is None or theirs is None:
        return theirs
    if isinstance(theirs, (int, float)) and not isinstance(theirs, bool):
        try:
            return ours if float(ours) == theirs else theirs
        except ValueError:
            return theirs
    if theirs in KEYWORDS and ours.lower() == theirs.lower():
        return ours
    return theirs


def describe(items):
    return "\n".join(f"  {item}" for item in items)


def test_same_classes_as_engine_schema(dictionaries):
    idd, schema = dictionaries
    assert idd.get_class_names() == list(schema["properties"])


@pytest.mark.parametrize("aspect", CLASS_ASPECTS + FIELD_ASPECTS)
def test_introspection_matches_engine_schema(differences, aspect):
    found = [difference for difference in differences if difference.aspect == aspect]
    unexpected = [difference for difference in found if not is_known(difference)]
    # A known difference that no longer occurs means the dictionary or the generator changed: prune the list.
    stale = [
        known for known in KNOWN_DIFFERENCES
        if known[2] == aspect and not any(matches(known, difference) for difference in found)
    ]
    assert not unexpected and not stale, (
        f"{aspect}: {len(unexpected)} unexpected difference(s) (class, field, aspect, ours, schema's):\n"
        f"{describe(unexpected)}\nknown differences that no longer occur:\n{describe(stale)}"
    )
