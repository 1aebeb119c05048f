"""Version migration: each step against the engine's own transition programs' output for the shared
documents, the whole chain in one call, the result run in the engine, and the API's edges."""

import math
import re
from collections import Counter
from pathlib import Path

import pytest

import engine as engine_helpers
import tarvix
from tarvix.idd import IDD
from tarvix.idf import IDF
from tarvix.migration import MigrationError, MigrationNote, migrate, migration_rules, versions

ROOT = Path(__file__).resolve().parents[1]
RELEASES = ROOT / ".cache" / "schemas"  # scripts/fetch-release-schemas.sh
DOCUMENTS = {"5ZoneSupRetPlenRAB": "8.0", "5ZoneWaterLoopHeatPump": "8.0", "smallfile_V8_8": "8.8"}

# Where our output differs from the transition programs', by document, step (the version reached) and
# class, with the reason. A class listed for a step is left out of the comparisons from that step on.
KNOWN = {
    # Their 24.1 step carried no rule for this class and kept the 23.2 objects' fields past what the
    # 24.1 schema allows (their own message says so); ours follow the schema.
    ("5ZoneWaterLoopHeatPump", "24.1"): {"AIRLOOPHVAC:UNITARYHEATPUMP:WATERTOAIR"},
}


def shared(*parts):
    return Path(__file__).resolve().parents[2].joinpath("shared", "data", *parts)


def release_schema(version):
    """The released schema of a version: the shared folder's, else the fetched releases', else the engine's."""
    if version == versions()[-1]:
        return engine_helpers.payload_dir() / "Energy+.idd"
    major, minor = version.split(".")
    for path in (shared(f"Energy+V{major}_{minor}_0.idd"), RELEASES / f"V{major}-{minor}-0-Energy+.idd"):
        if path.exists():
            return path
    pytest.skip(f"no schema of {version}: run scripts/fetch-release-schemas.sh")


_schemas = {}


def schema(version):
    if version not in _schemas:
        _schemas[version] = IDD.from_file(release_schema(version), encoding="latin-1")
    return _schemas[version]


def source_of(document, version):
    if version == DOCUMENTS[document]:
        return shared(f"{document}.idf")
    major, minor = version.split(".")
    return shared("transition", document, f"V{major}-{minor}-0.idf")


def objects(text):
    """(class, values) of each object, upper-cased, numbers as numbers, trailing blanks dropped."""
    found = []
    for chunk in re.sub(r"!.*", "", text).split(";"):
        parts = [p.strip() for p in chunk.split(",")]
        if not parts[0]:
            continue
        values = []
        for value in parts[1:]:
            try:
                number = float(value)
                values.append(number if math.isfinite(number) else value.upper())
            except ValueError:
                values.append(value.upper())
        while values and values[-1] == "":
            values.pop()
        found.append((parts[0].upper(), tuple(values)))
    return found


def known(document, version):
    order = versions()
    left_out = set()
    for (doc, reached), classes in KNOWN.items():
        if doc == document and order.index(version) >= order.index(reached):
            left_out |= classes
    return left_out


def assert_same_objects(ours, theirs, left_out):
    a = Counter(o for o in objects(ours) if o[0] not in left_out)
    b = Counter(o for o in objects(theirs) if o[0] not in left_out)
    only_ours, only_theirs = a - b, b - a
    assert not only_ours and not only_theirs, (sorted(only_ours)[:3], sorted(only_theirs)[:3])


STEPS = [(doc, v) for doc, first in DOCUMENTS.items() for v in versions()[versions().index(first) : -2]]


@pytest.mark.parametrize(("document", "version"), STEPS, ids=[f"{d}-{v}" for d, v in STEPS])
def test_each_step_equals_the_transition_programs(document, version):
    reached = versions()[versions().index(version) + 1]
    doc = IDF.from_file(schema(version), source_of(document, version), encoding="latin-1")
    notes = []
    migrated = migrate(doc, reached, idd=schema(reached), notes=notes)
    theirs = source_of(document, reached).read_text(encoding="latin-1")
    assert_same_objects(migrated.format(), theirs, known(document, reached))
    assert all(isinstance(n, MigrationNote) and n.step == f"{version} -> {reached}" for n in notes)


@pytest.mark.parametrize("document", ["5ZoneSupRetPlenRAB", "5ZoneWaterLoopHeatPump"])
def test_the_whole_chain_in_one_call(document):
    first = DOCUMENTS[document]
    doc = IDF.from_file(schema(first), source_of(document, first), encoding="latin-1")
    notes = []
    at_25_1 = migrate(doc, "25.1", idd=schema("25.1"), notes=notes)
    assert at_25_1.version == "25.1"
    assert {n.step for n in notes} <= {f"{a} -> {b}" for a, b in zip(versions(), versions()[1:], strict=False)}
    theirs = source_of(document, "25.1").read_text(encoding="latin-1")
    assert_same_objects(at_25_1.format(), theirs, known(document, "25.1"))
    # Step by step gives the same document, where every schema is at hand.
    if all(RELEASES.joinpath(f"V{v.replace('.', '-')}-0-Energy+.idd").exists() for v in ("9.0", "22.1")):
        step = doc
        for version in versions()[versions().index(first) + 1 : versions().index("25.1") + 1]:
            step = migrate(step, version, idd=schema(version))
        assert step.format() == at_25_1.format()


@pytest.mark.parametrize("document", DOCUMENTS)
def test_migrated_documents_run_in_the_engine(document):
    from tarvix.geometry import zones
    from tarvix.simulation import run

    first = DOCUMENTS[document]
    doc = IDF.from_file(schema(first), source_of(document, first), encoding="latin-1")
    latest = migrate(doc, versions()[-1])
    assert latest.version == versions()[-1]
    result = run(latest, design_day=True, timeout=300, engine=engine_helpers.payload_dir())
    assert result.severe == 0, result.first_severe
    before = {z.name: (z.floor_area, z.volume) for z in zones(doc)}
    after = {z.name: (z.floor_area, z.volume) for z in zones(latest)}
    assert after.keys() == before.keys()
    for name, (area, volume) in before.items():
        assert after[name] == pytest.approx((area, volume))


SMALL_80 = """Version,8.0;
Zone,Office;
Coil:Heating:Gas,Gas Coil,Always,0.8,1000,In,Out;
Branch,Heating Branch,autosize,,Coil:Heating:Gas,Gas Coil,In,Out,Passive;
Output:Variable,*,Heating Coil Air Heating Rate,hourly;
"""


@pytest.fixture(scope="module")
def v80():
    return schema("8.0")


def test_notes_strict_and_unchanged_documents(v80):
    doc = IDF.from_string(v80, SMALL_80 + "ProgramControl,4;\n")
    notes = []
    migrated = migrate(doc, "8.6", idd=schema("8.6"), notes=notes)
    coil = migrated.get_object_by_name("Coil:Heating:Fuel", "Gas Coil")
    assert coil is not None and coil[2] == "NaturalGas"
    assert migrated["Branch"][0].get_values()[1:6] == ["", "Coil:Heating:Fuel", "Gas Coil", "In", "Out"]
    assert not migrated["ProgramControl"]
    lost = [n for n in notes if n.loss]
    assert [n.class_name for n in lost] == ["ProgramControl"] and "threads" in lost[0].message
    assert doc.version == "8.0" and doc["Coil:Heating:Gas"]  # the source stays
    with pytest.raises(MigrationError, match="lose 1 item") as caught:
        migrate(doc, "8.6", idd=schema("8.6"), strict=True)
    assert caught.value.notes == lost
    # A document at the version asked for comes back as it was.
    same = migrate(doc, "8.0", idd=v80)
    assert same.format() == doc.format() and same is not doc


@pytest.mark.parametrize(
    ("version", "to", "message"),
    [
        ("7.2", "25.2", "cannot migrate from version 7.2"),
        ("8.0", "26.1", "cannot migrate to version 26.1"),
        ("9.0", "8.5", "cannot migrate from version 9.0 back to 8.5"),
    ],
)
def test_versions_it_cannot_take(v80, version, to, message):
    doc = IDF.from_string(v80, f"Version,{version};\nZone,Z;\n")
    with pytest.raises(ValueError, match=re.escape(message)):
        migrate(doc, to, idd=v80)


def test_schema_of_another_version_is_refused(v80):
    doc = IDF.from_string(v80, "Version,8.0;\n")
    with pytest.raises(ValueError, match="is of version 8.0"):
        migrate(doc, "8.1", idd=v80)


def test_the_layout_is_kept(v80):
    text = (
        "! my building\n"
        "Version,8.0;\n\n"
        "! the zone\n"
        "Zone,Office;  ! kept as it is\n\n"
        "  ! the coil, a comment of mine\n"
        "  Coil:Heating:Gas,\n"
        "    Gas Coil,        !- Name\n"
        "    Always,          !- Availability Schedule Name\n"
        "    0.8,             !- Gas Burner Efficiency\n"
        "    1000,            !- Nominal Capacity {W}\n"
        "    In,              !- Air Inlet Node Name\n"
        "    Out;  Zone,Next to it;\n"
    )
    doc = IDF.from_string(v80, text, keep_layout=True)
    migrated = migrate(doc, "8.6", idd=schema("8.6"))
    kept = migrated.format(keep_layout=True)
    assert kept.startswith("! my building\nVersion,8.6;\n\n! the zone\nZone,Office;  ! kept as it is\n\n")
    assert "  ! the coil, a comment of mine\n  Coil:Heating:Fuel,\n" in kept
    assert "NaturalGas," in kept and "!- Fuel Type" in kept
    reloaded = IDF.from_string(schema("8.6"), kept)
    assert reloaded.get_object_by_name("Coil:Heating:Fuel", "Gas Coil")[4] == "1000"
    assert reloaded.get_object_by_name("Zone", "Next to it")  # not swallowed by a field comment


def test_hostile_documents_stay_linear(v80):
    # A branch of 20,000 components loses a field of each group in one pass.
    groups = ",".join(f"Coil:Heating:Water,C{i},I{i},O{i},Passive" for i in range(20_000))
    doc = IDF.from_string(v80, f"Version,8.0;\nBranch,Long,autosize,,{groups};\n")
    migrated = migrate(doc, "8.6", idd=schema("8.6"))
    values = migrated["Branch"][0].get_values()
    assert len(values) == 2 + 4 * 20_000 and values[-1] == "O19999"
    # Two classes renamed into one, with the same name: both objects stay, for validate() to report.
    text = "Version,8.5;\nAirTerminal:SingleDuct:InletSideMixer,X;\nAirTerminal:SingleDuct:SupplySideMixer,X;\n"
    migrated = migrate(IDF.from_string(schema("8.5"), text), "8.6", idd=schema("8.6"))
    mixers = migrated["AirTerminal:SingleDuct:Mixer"]
    assert [m.get_values()[-1] for m in mixers] == ["InletSide", "SupplySide"]
    # One shading control over 20,000 windows in as many zones: one control for each zone, in one pass.
    zones = "".join(f"Zone,Z{i};\nWall:Exterior,W{i},C,Z{i};\nWindow,G{i},C,W{i},Shade;\n" for i in range(20_000))
    text = f"Version,8.9;\n{zones}WindowProperty:ShadingControl,Shade,InteriorShade,,AlwaysOn;\n"
    migrated = migrate(IDF.from_string(schema("8.9"), text), "9.0", idd=schema("9.0"))
    controls = migrated["WindowShadingControl"]
    assert len(controls) == 20_000 and controls[-1].get_values()[-1] == "G19999"
    # Counts and years no table or calendar holds: notes, not work or a crash.
    text = "Version,9.1;\nTable:MultiVariableLookup,T," + "," * 29 + "6,1e9,1e9,1e9,1e9,1e9,1e9;\n"
    notes = []
    migrate(IDF.from_string(schema("9.1"), text), "9.2", idd=schema("9.2"), notes=notes)
    assert any(n.loss and n.class_name == "Table:MultiVariableLookup" for n in notes)
    text = "Version,8.9;\nRunPeriod,R,1e300,1,12,31,Monday,Yes,Yes,No,Yes,Yes,3,No,1e308;\n"
    notes = []
    migrate(IDF.from_string(schema("8.9"), text), "9.0", idd=schema("9.0"), notes=notes)
    assert any(n.loss and n.field_index == 13 for n in notes)


def test_idf_method_and_rules_text(v80):
    doc = IDF.from_string(v80, "Version,8.0;\nZone,Z;\n")
    assert doc.migrate("8.1", idd_folder=release_schema("8.1")).version == "8.1"
    rules = migration_rules()
    assert rules.count("\n[") == len(versions()) - 1
    assert tarvix.migrate is migrate


def test_the_rules_page_is_current():
    import importlib.util

    spec = importlib.util.spec_from_file_location("rules_page", ROOT / "scripts" / "migration_rules_page.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert (ROOT / "docs" / "migration-rules.md").read_text(encoding="utf-8") == module.page(migration_rules())


# What a step changed in the schemas and the rules do not carry out, with why none is needed, by step.
ACCOUNTED = ROOT / "tests" / "migration" / "accounted.txt"


def step_rules(reached):
    """(verb, class upper-cased, arguments) of the rules of the step reaching `reached`."""
    text = migration_rules().split(f"=> {reached}]\n", 1)[1].split("\n[", 1)[0]
    rules = []
    for line in text.splitlines():
        line = line.split("!", 1)[0].strip()
        if line and not line.startswith("#") and not line.startswith("variable"):
            verb, cls, *args = line.split(" ", 2)
            rules.append((verb, cls.upper(), args[0] if args else ""))
    return rules


def same_field(old, new):
    """A field only relabelled: same kind and units, and its words mostly kept (or a bare N1/A2 name)."""
    if old.type != new.type or (old.units or "") != (new.units or ""):
        return False
    if re.fullmatch(r"[AN]\d+", old.name):
        return True
    a, b = (set(re.findall(r"[a-z]+|\d+", f.name.lower())) - {"name", "of", "the"} for f in (old, new))
    return len(a & b) >= len(a | b) / 3


REBUILDING = {
    "daylighting-controls", "delight-controls", "delight-point", "run-period-years", "internal-source", "table-one",
    "table-two", "table-multi", "shading-control", "terminal-with-unit", "ghe-system-split",
}
# What the other routines do to an object's fields, as the rule they act like.
ROUTINE_FIELDS = {
    "make-design": lambda args: [("insert", "2")],
    "insert-copy": lambda args: [("insert", args[0])],
    "first-name-of": lambda args: [("insert", args[1])],
    "coefficients-to-curve": lambda args: [("delete", f"{args[0]} {args[1]}"), ("insert", args[0])],
    "kusuda-achenbach": lambda args: [("delete", f"{args[0]} 3"), ("insert", args[0]), ("insert", args[0])],
    "empd-resistance-factor": lambda args: [("insert", args[0])],
    "quotient": lambda args: [("replace", args[0])],
    "stratified-sensor-height": lambda args: [("replace", args[0])],
    "fan-mode-schedule": lambda args: [("replace", args[0])],
}


def schema_gaps(old, new, rules):
    """What tells the two schemas apart that the rules do not turn an old object into: a class gone, a field
    out of place, a choice key gone, a repeating group reshaped."""
    renamed = {cls: args.split()[0].upper() for verb, cls, args in rules if verb == "class"}
    dropped = {cls for verb, cls, _ in rules if verb == "remove"}
    # Routines that rebuild an object whole account for its class; the others change its fields as below.
    rebuilt = {cls for verb, cls, args in rules if verb == "code" and args.split()[0] in REBUILDING}
    new_names = {c.upper(): c for c in new.get_class_names()}
    gaps = set()
    for name in old.get_class_names():
        key = name.upper()
        if key in dropped or (key in rebuilt and renamed.get(key, key) in new_names):
            continue
        if renamed.get(key, key) not in new_names:
            if key not in rebuilt:
                gaps.add(f"{name}: class gone")
            continue
        a, b = old.get_class_info(name), new.get_class_info(new_names[renamed.get(key, key)])
        fields = list(a.fields)  # the old fields where the rules put them; None for a new one
        keys = {}
        group = a.extensible_size or 0
        ops = []
        for verb, cls, args in rules:
            if cls != key:
                continue
            if verb == "code" and args.split()[0] in ROUTINE_FIELDS:
                ops += ROUTINE_FIELDS[args.split()[0]](args.split()[1:])
            elif verb in ("insert", "delete", "move", "choice"):
                ops.append((verb, args))
            group += {"each-insert": 1, "each-delete": -1}.get(verb, 0)
        for verb, args in ops:
            at, *rest = args.split(" ", 1)
            at = int(at) - 1
            if verb == "insert":
                fields.insert(at, None)
            elif verb == "replace":
                fields[at : at + 1] = [None]
            elif verb == "delete":
                del fields[at : at + (int(rest[0].split()[0]) if rest else 1)]
            elif verb == "move":
                fields.insert(int(rest[0]) - 1, fields.pop(at))
            elif verb == "choice":
                keys.setdefault(at, set()).add(rest[0].split("=>")[0].strip().upper())
        fixed = b.extensible_begin if b.extensible_size else len(b.fields)
        for i, (f, g) in enumerate(zip(fields[:fixed], b.fields, strict=False)):
            if f is None:
                continue
            if not same_field(f, g) and re.sub(r"\W", "", f.name.lower()) != re.sub(r"\W", "", g.name.lower()):
                gaps.add(f"{name} {i + 1}: {f.name} -> {g.name}")
            elif f.choices and g.choices:  # a field whose keys are gone takes any text
                kept = {k.upper() for k in g.choices} | keys.get(i, set())
                gone = {k.upper() for k in f.choices if not {k.upper(), renamed.get(k.upper())} & kept}
                if gone:
                    gaps.add(f"{name} {i + 1}: keys {', '.join(sorted(gone))} gone")
        if len(fields) > len(b.fields) and not b.extensible_size:
            gaps.add(f"{name}: {len(fields) - len(b.fields)} fields past the end")
        if group != (b.extensible_size or 0):
            gaps.add(f"{name}: repeating group of {a.extensible_size or 0} -> {b.extensible_size or 0}")
    return gaps


def accounted():
    """{step: {gap: why no rule is needed}} from the committed list."""
    found, step = {}, None
    for line in ACCOUNTED.read_text(encoding="utf-8").splitlines():
        if line.startswith("["):
            step = found.setdefault(line.strip("[]").split(" => ")[1], {})
        elif line.strip() and not line.startswith("#"):
            gap, _, why = line.partition(" | ")
            step[gap.strip()] = why.strip()
    return found


@pytest.mark.parametrize("reached", versions()[1:])
def test_every_schema_difference_is_accounted_for(reached):
    before = versions()[versions().index(reached) - 1]
    gaps = schema_gaps(schema(before), schema(reached), step_rules(reached))
    listed = accounted().get(reached, {})
    assert all(listed.values()), "each listed difference says why it needs no rule"
    assert sorted(gaps - listed.keys()) == [], "differences no rule carries out"
    assert sorted(listed.keys() - gaps) == [], "listed differences that are gone"


# Made-up documents (scripts/migration_made_up.py: an object of every class a step's rules name) and what
# the engine's own transition programs wrote for them, built from the engine's source.
MADE_UP = ROOT / "tests" / "migration" / "made-up"
# Where our output differs from theirs, by the version reached and class, with the reason.
MADE_UP_KNOWN = {
    "8.1": {
        "CONSTRUCTION:COMPLEXFENESTRATIONSTATE": "they keep a tenth layer past the 8.1 schema's last field",
        "SCHEDULETYPELIMITS": "they write an Any Number limits object for every template object, schedule or not",
    },
    "8.4": {
        "SITE:GROUNDTEMPERATURE:UNDISTURBED:KUSUDAACHENBACH": "with no Material of the pipe's name they take the "
        "pipe's own fields 2-4 as the soil's properties",
        "UNITARYSYSTEMPERFORMANCE:MULTISPEED": "they know no rename of the class and comment the object out",
    },
    "8.5": {
        "ELECTRICLOADCENTER:TRANSFORMER": "they keep PowerOutFromOnsiteGeneration, a key the 8.5 schema renamed",
        "THERMALSTORAGE:ICE:DETAILED": "they keep the Curve: prefix the 8.5 schema's keys dropped",
    },
    "8.6": {
        "DAYLIGHTING:CONTROLS": "they read a DElight control type from field 5, not 3, and count reference points "
        "by the text '2' (the made-up document says 2.0)",
        "DAYLIGHTING:REFERENCEPOINT": "they keep a DElight reference point of no controls, without a zone",
        "SIZING:SYSTEM": "they keep FlowPerCoolingCapacity, the 8.5 heating method list's typo the 8.6 schema mended",
    },
    "8.7": {"COIL:HEATING:FUEL": "they keep PropaneGas, a key the 8.7 schema dropped"},
    "8.8": {
        "FLOOR:DETAILED": "their writer repeats the first vertex's x coordinate",
        "TABLE:TWOINDEPENDENTVARIABLES": "they leave out a table with fewer points than they ask for",
        "WATERHEATER:HEATPUMP:PUMPEDCONDENSER": "they keep the MutuallyExlcusive typo the 8.8 schema mended",
    },
    "8.9": {
        "GROUNDHEATEXCHANGER:VERTICAL:PROPERTIES": "they compute the borehole diameter in single precision",
        "SITE:GROUNDTEMPERATURE:UNDISTURBED:KUSUDAACHENBACH": "they compute the specific heat in single precision",
        "TABLE:MULTIVARIABLELOOKUP": "they do not insert the X6 fields the 8.9 schema adds before the output limits",
    },
    "9.2": {
        "OUTPUT:PREPROCESSORMESSAGE": "they write their warning into the document; ours is a note",
        "TABLE:LOOKUP": "they cut the outputs of a grid the points do not fill; ours keeps the whole grid",
    },
    "9.3": {
        "ENERGYMANAGEMENTSYSTEM:INTERNALVARIABLE": "the rule document renames it; their program does not",
        "NODELIST": "they copy a node list once for each object naming it; we once",
    },
    "9.4": {"PYTHONPLUGIN:OUTPUTVARIABLE": "they keep FuelOil#1 and #2, keys the 9.4 schema renamed"},
    "9.5": {
        "UTILITYCOST:VARIABLE": "they keep Power, a key the 9.5 schema renamed Demand",
        "ZONEHVAC:LOWTEMPERATURERADIANT:CONSTANTFLOW": "their reader blanks an autosize the 9.4 schema does not allow",
    },
    "22.1": {"PYTHONPLUGIN:SEARCHPATHS": "their program lacks the rule document's new field 4"},
    "22.2": dict.fromkeys(
        ["COIL:COOLING:DX:CURVEFIT:SPEED", "COIL:COOLING:DX:MULTISPEED", "COIL:COOLING:DX:SINGLESPEED",
         "COIL:HEATING:DX:MULTISPEED", "COIL:HEATING:DX:SINGLESPEED"],
        "their program lacks the 2023 rated fan power fields the rule document and the 22.2 schema insert",
    ),
    "23.2": {
        "COIL:COOLING:WATERTOAIRHEATPUMP:VARIABLESPEEDEQUATIONFIT": "their program lacks the three cycling fields "
        "the rule document and the 23.2 schema insert",
        "WATERHEATER:STRATIFIED": "they keep its third fuel field's Steam and DistrictHeating, keys the 23.2 schema "
        "renamed",
    },
    "24.2": {
        **dict.fromkeys(
            ["HEATPUMP:PLANTLOOP:EIR:COOLING", "HEATPUMP:PLANTLOOP:EIR:HEATING", "OUTPUTCONTROL:FILES"],
            "their program lacks the fields the rule document and the 24.2 schema insert",
        ),
    },
    "25.2": {
        "AIRLOOPHVAC:UNITARYHEATPUMP:AIRTOAIR:MULTISPEED": "the rule document drops the old field 12; their "
        "program keeps it",
    },
}
MADE_UP_STEPS = [v for v in versions()[1:] if (MADE_UP / f"V{versions()[versions().index(v) - 1].replace('.', '-')}.idf").exists()]


@pytest.mark.parametrize("reached", MADE_UP_STEPS)
def test_made_up_documents_equal_the_transition_programs(reached):
    before = versions()[versions().index(reached) - 1]
    source = MADE_UP / f"V{before.replace('.', '-')}.idf"
    doc = IDF.from_file(schema(before), source, encoding="latin-1")
    ours = migrate(doc, reached, idd=schema(reached)).format()
    theirs = source.with_suffix(".theirs.idf").read_text(encoding="latin-1")
    assert_same_objects(ours, theirs, set(MADE_UP_KNOWN.get(reached, {})))
