"""epJSON against the simulation engine's converter: every dataset of its release (made whole documents with
a Version, a Building and a GlobalGeometryRules object) and made-up building documents with surfaces,
schedules and autosized fields. to_epjson() must equal the converter's output as parsed JSON, and from_epjson()
of that output must load back to the values of the original. Skipped, with the reason, when the engine
release cannot be had."""

import json
from concurrent.futures import ThreadPoolExecutor

import pytest

from engine import DATASET_HEAD as HEAD, convert_to_epjson, dataset_texts, payload_dir
from tarvix.idd import IDD
from tarvix.idf import IDF

REFUSED_DATASET = "RefrigerationCompressorCurves.idf"  # names used twice in a class: JSON keys cannot repeat
BUILDINGS = {
    "office": """
Version,25.2;
Building,Made-up Office,30,suburbs,0.04,0.4,fullinteriorandexterior,25,6;
GlobalGeometryRules,upperleftcorner,counterclockwise,relative;
Timestep,6;
SimulationControl,yes,yes,yes,no,yes,no,1;
RunPeriod,Year,1,1,,12,31,,sunday,yes,yes,no,yes,yes;
Site:Location,Somewhere,40.0,-105.0,-7.0,1600.;
ScheduleTypeLimits,Fraction,0.0,1.0,continuous;
ScheduleTypeLimits,On/Off,0,1,discrete;
Schedule:Compact,Occupancy,Fraction,Through: 12/31,For: Weekdays SummerDesignDay,Until: 08:00,0.0,
  Until: 18:00,1.00,Until: 24:00,0.05,For: AllOtherDays,Until: 24:00,0.0;
Schedule:Day:Interval,Night,On/Off,no,06:00,0,22:00,1,24:00,0;
Schedule:Constant,Always On,On/Off,1;
Material,Concrete 200,mediumrough,0.2,1.95,2240,900,0.9,0.7,0.7;
Material:NoMass,Insulation R3,rough,3.0,0.9,0.75,0.75;
WindowMaterial:SimpleGlazingSystem,Glass,2.8,0.4;
Construction,Wall,Concrete 200,Insulation R3;
Construction,Window,Glass;
Zone,Office,0,0,0,0,1,1,autocalculate,Autocalculate,AUTOCALCULATE,,,yes;
BuildingSurface:Detailed,South Wall,wall,Wall,Office,,outdoors,,sunexposed,windexposed,autocalculate,4,
  0,0,3,0,0,0,10,0,0,10,0,3;
BuildingSurface:Detailed,Floor,floor,Wall,Office,,ground,,nosun,nowind,,4,0,10,0,10,10,0,10,0,0,0,0,0;
FenestrationSurface:Detailed,South Window,window,Window,South Wall,,autocalculate,,1,autocalculate,
  2,0,2.5,2,0,1,8,0,1,8,0,2.5;
People,Office People,Office,Occupancy,people,10,,,0.3,autocalculate,Always On;
Lights,Office Lights,Office,Occupancy,watts/area,,10,,0,0.7,0.2,1;
ZoneHVAC:EquipmentConnections,Office,Office Equipment,Office Inlets,,Office Air Node,Office Return Node;
ZoneHVAC:EquipmentList,Office Equipment,sequentialload,ZoneHVAC:IdealLoadsAirSystem,Office Ideal,1,1,,;
ZoneHVAC:IdealLoadsAirSystem,Office Ideal,,Office Inlets,,,50,13,0.015,0.009,limitflowratEandcapacity,autosize,
  autosize,limitcapacity,autosize,autosize;
NodeList,Office Inlets,Office Inlet Node;
Sizing:Zone,Office,supplyairtemperature,14,,supplyairtemperature,40,,0.009,0.004;
Coil:Cooling:Water,Cooling Coil,Always On,autosize,AutoSize,autosize,autocalculate,autosize,autosize,autosize,
  Water In,Water Out,Air In,Air Out,simpleanalysis,crossflow;
Output:Variable,*,Zone Mean Air Temperature,hourly;
Output:Variable,Office,Zone Air Relative Humidity,timestep;
Output:Variable,*,Site Outdoor Air Drybulb Temperature,runperiod;
Output:Meter,Electricity:Facility,monthly;
""",
    "numbers and groups": HEAD + """
Zone,Z1,0.,.5,1e1,+2,1,1.0,autocalculate,AUTOCALCULATE,100.50;
Zone,123;
Zone,z1dup,1;
Zone,Z1DUP,2;
Schedule:Compact,S1,,Through: 12/31,,For: AllDays,,,Until: 24:00,0.50,until: 24:00,1,,;
Schedule:Compact,S2,,Through: 12/31,For: AllDays,Until: 24:00,1.5d0,Until: 24:00,nan,Until: 24:00,007;
Material:NoMass,M1,Rough,1.0;
Timestep,4.0;
""",
}


@pytest.fixture(scope="module")
def idd():
    return IDD.from_file(payload_dir() / "Energy+.idd")


@pytest.fixture(scope="module")
def schema():
    return payload_dir() / "Energy+.schema.epJSON"


@pytest.fixture(scope="module")
def documents(tmp_path_factory):
    """{name: (IDF text, the converter's epJSON text or None)} for every dataset and made-up building."""
    texts = {**BUILDINGS, **dataset_texts()}
    assert len(texts) >= 30
    work = tmp_path_factory.mktemp("converted")
    with ThreadPoolExecutor(max_workers=2) as pool:
        converted = pool.map(lambda text: convert_to_epjson(text, work), texts.values())
    return {name: (text, output) for (name, text), (_, _, output) in zip(texts.items(), converted)}


def test_to_epjson_equals_the_converter(idd, schema, documents):
    mismatched = []
    for name, (text, engine) in documents.items():
        doc = IDF.from_string(idd, text)
        if name == REFUSED_DATASET:
            assert engine is None
            with pytest.raises(ValueError, match="as epJSON: another Refrigeration:Compressor has the same name"):
                doc.to_epjson(schema)
            continue
        assert engine is not None, name
        ours, theirs = json.loads(doc.to_epjson(schema)), json.loads(engine)
        if ours != theirs:
            differing = sorted(c for c in ours.keys() | theirs.keys() if ours.get(c) != theirs.get(c))
            mismatched.append((name, differing[:5]))
    assert mismatched == []


def comparable(value):
    """A typed value as both sides must agree on it: the converter writes choices and the Autosize and
    Autocalculate words in the schema's spelling (and each for the other where a field takes only one), and
    numbers of text fields in its own form."""
    if isinstance(value, str):
        try:
            number = float(value)
            if number == number:  # "nan" stays a word
                return number
        except ValueError:
            pass
        folded = value.upper()
        return "AUTO" if folded in ("AUTOSIZE", "AUTOCALCULATE") else folded
    return value


def values_of(obj):
    values = [comparable(v) for v in obj.get_values()]
    while values and values[-1] in (None, ""):
        values.pop()
    return values


def test_from_epjson_reads_the_converter_back(idd, schema, documents):
    properties = json.loads(schema.read_text())["properties"]
    named = {c.upper() for c, d in properties.items() if d["legacy_idd"]["fields"][:1] == ["name"]}
    mismatched = []
    for name, (text, engine) in documents.items():
        if engine is None:
            continue
        original, back = IDF.from_string(idd, text), IDF.from_epjson(idd, engine, schema)
        assert sorted(back.get_class_names()) == sorted(original.get_class_names()), name
        for class_name in original.get_class_names():
            mine = [values_of(o) for o in original[class_name]]
            theirs = [values_of(o) for o in back[class_name]]
            if class_name.upper() in named:  # the converter orders objects its own way
                mine, theirs = sorted(mine, key=str), sorted(theirs, key=str)
            if mine != theirs:
                mismatched.append((name, class_name))
    assert mismatched == []


def test_a_round_trip_through_our_own_epjson(idd, schema, documents):
    text, _ = documents["office"]
    doc = IDF.from_string(idd, text)
    back = IDF.from_epjson(idd, doc.to_epjson(schema), schema)
    assert json.loads(back.to_epjson(schema)) == json.loads(doc.to_epjson(schema))
    # "autocalculate" in a field that takes only Autosize is written as Autosize, as the converter writes it.
    assert sorted((p.code, p.object_name) for p in back.validate()) == sorted(
        (p.code, p.object_name) for p in doc.validate()
    )
