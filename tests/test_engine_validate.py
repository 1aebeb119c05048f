"""validate() against the simulation engine's own input check: the engine's
datasets (libraries of objects, made whole documents with a Version, a
Building and a GlobalGeometryRules object) and documents with planted
faults of each kind its converter rejects, and small models the engine
runs, which must show no error where the engine finds no severe one.
Skipped, with the reason, when the engine release cannot be had."""

import os
import re
import stat
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest

from engine import DATASET_HEAD as HEAD, convert, dataset_texts, payload_dir
from tarvix.idd import IDD
from tarvix.idf import IDF

ERRORS = {
    "unknown-reference", "required-field", "required-object", "unique-object", "duplicate-name",
    "not-a-number", "not-an-integer", "below-minimum", "above-maximum", "not-a-choice", "too-many-fields",
}  # fmt: skip
REFUSED_DATASET = "RefrigerationCompressorCurves.idf"  # names used twice in a class


@pytest.fixture(scope="module")
def idd():
    return IDD.from_file(payload_dir() / "Energy+.idd")


def test_datasets_agree_with_the_engine(idd, tmp_path):
    texts = dataset_texts()
    assert len(texts) >= 30
    with ThreadPoolExecutor(max_workers=2) as pool:
        verdicts = dict(zip(texts, pool.map(lambda text: convert(text, tmp_path), texts.values())))
    disagreements = []
    for name, text in texts.items():
        ok, messages = verdicts[name]
        errors = [p for p in IDF.from_string(idd, text).validate() if p.code in ERRORS]
        # Datasets are libraries: their references may point outside them.
        schema_errors = [p for p in errors if p.code != "unknown-reference"]
        if name == REFUSED_DATASET:
            assert not ok
            engine = re.findall(r'Duplicate name found for object of type "([^"]+)" named "([^"]+)"', messages)
            ours = [(p.class_name, p.value) for p in schema_errors]
            assert {p.code for p in schema_errors} == {"duplicate-name"}
            assert ours == engine and len(ours) > 100
        elif not ok or schema_errors:
            disagreements.append((name, ok, messages[-500:], [p.message for p in schema_errors[:5]]))
    assert disagreements == []


# Each fault: a document, the class, object, field and code validate() must
# report, and a text the engine's refusal must contain.
FAULTS = {
    "bad choice": (
        "Material,Brick,Rough-ish,0.1,0.9,1900,800;",
        ("not-a-choice", "Material", "Brick", "Roughness", "Rough-ish"),
        "[Material][Brick][roughness]",
    ),
    "below the minimum": (
        "Material,Brick,Rough,-0.1,0.9,1900,800;",
        ("below-minimum", "Material", "Brick", "Thickness", "-0.1"),
        "[Material][Brick][thickness]",
    ),
    "above the maximum": (
        "Material,Brick,Rough,0.1,0.9,1900,800,1.5;",
        ("above-maximum", "Material", "Brick", "Thermal Absorptance", "1.5"),
        "[Material][Brick][thermal_absorptance]",
    ),
    "not a number": (
        "Material,Brick,Rough,thick,0.9,1900,800;",
        ("not-a-number", "Material", "Brick", "Thickness", "thick"),
        "[Material][Brick][thickness]",
    ),
    "missing required field": (
        "Material,Brick,,0.1,0.9,1900,800;",
        ("required-field", "Material", "Brick", "Roughness", None),
        "roughness",
    ),
    "second unique object": (
        "Building,Second;",
        ("unique-object", "Building", "Second", None, None),
        "[Building]",
    ),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_planted_faults(idd, tmp_path, fault):
    body, expected, engine_says = FAULTS[fault]
    text = HEAD + body + "\n"
    ok, messages = convert(text, tmp_path)
    assert not ok and engine_says in messages, messages
    found = [
        (p.code, p.class_name, p.object_name, p.field_name, p.value)
        for p in IDF.from_string(idd, text).validate()
        if p.code in ERRORS
    ]
    assert found == [expected]


def test_missing_required_object(idd, tmp_path):
    text = "Version,25.2;\nBuilding,B;\n"
    ok, messages = convert(text, tmp_path)
    assert not ok and "Missing required property 'GlobalGeometryRules'" in messages
    problems = [p for p in IDF.from_string(idd, text).validate() if p.code in ERRORS]
    assert [(p.code, p.class_name, p.obj_idx) for p in problems] == [
        ("required-object", "GlobalGeometryRules", None)
    ]


# A one-zone box the engine runs over one winter design day in a fraction of
# a second.
BOX = """Version,25.2;
SimulationControl,No,No,No,Yes,No;
Building,B,0,Suburbs,0.04,0.4,FullExterior,25,6;
Timestep,4;
Site:Location,Golden,39.74,-105.18,-7.0,1829;
SizingPeriod:DesignDay,DD1,12,21,WinterDesignDay,-18.8,0,DefaultMultipliers,,Wetbulb,-18.8,,,,,81198,3,340,No,No,No,
  ASHRAEClearSky,,,,,0;
GlobalGeometryRules,UpperLeftCorner,Counterclockwise,Relative;
Material,Wall,Rough,0.2,1.0,1800,900;
Construction,Wall,Wall;
Output:Variable,*,Zone Mean Air Temperature,Hourly;
"""
SIDES = {
    "Floor": ("Floor", "Ground", "0,0,0, 0,5,0, 5,5,0, 5,0,0"),
    "Roof": ("Roof", "Outdoors", "0,0,3, 5,0,3, 5,5,3, 0,5,3"),
    "South": ("Wall", "Outdoors", "0,0,3, 0,0,0, 5,0,0, 5,0,3"),
    "East": ("Wall", "Outdoors", "5,0,3, 5,0,0, 5,5,0, 5,5,3"),
    "North": ("Wall", "Outdoors", "5,5,3, 5,5,0, 0,5,0, 0,5,3"),
    "West": ("Wall", "Outdoors", "0,5,3, 0,5,0, 0,0,0, 0,0,3"),
}
BOX += "".join(
    f"BuildingSurface:Detailed,{name},{kind},Wall,Z1,,{outside},,"
    f"{'NoSun,NoWind' if outside == 'Ground' else 'SunExposed,WindExposed'},autocalculate,4,{points};\n"
    for name, (kind, outside, points) in SIDES.items()
)
ZONE = "Zone,Z1,0,0,0,0,1,1,{},autocalculate,autocalculate;\n"

# Additions to the box, and whether the engine runs it without a severe error.
MODELS = {
    "Autosize where Autocalculate is declared": (ZONE.format("Autosize"), True),
    "Autocalculate where Autosize is declared": (
        ZONE.format(9) + "Fan:SystemModel,F1,,In,Out,Autocalculate,Continuous,0,500,0.9,1,Autocalculate;", True
    ),
    "a number with a plus sign": (ZONE.format(9) + "Material,Thin,Rough,+0.05,1,1800,900;", True),
    "the built-in glycols": (
        ZONE.format(9) + "FluidProperties:GlycolConcentration,G1,UserDefinedGlycolType,Water,0.3;"
        "FluidProperties:GlycolConcentration,G2,UserDefinedGlycolType,ethyleneglycol,0.3;",
        True,
    ),
    "an unknown glycol": (ZONE.format(9) + "FluidProperties:GlycolConcentration,G1,UserDefinedGlycolType,R22,0.3;", False),
    "the built-in steam": (
        ZONE.format(9) + "FluidProperties:Temperatures,T1,0,10;"
        "FluidProperties:Saturated,Steam,Pressure,FluidGas,T1,100000,200000;",
        True,
    ),
    "a refrigerant without its data": (
        ZONE.format(9) + "FluidProperties:Temperatures,T1,0,10;"
        "FluidProperties:Saturated,R22,Pressure,FluidGas,T1,100000,200000;",
        False,
    ),
    "the built-in schedules": (
        ZONE.format(9) + "Lights,L1,Z1,Constant-1.0,Watts/Area,,10;Lights,L2,Z1,Constant-0.0,Watts/Area,,10;", True
    ),
    "sizing for a loop that is not there": (ZONE.format(9) + "Sizing:Plant,Hot Water Loop,Heating,82,11;", True),
    "an infiltration in no zone": (
        ZONE.format(9) + "ZoneInfiltration:DesignFlowRate,I1,Z2,Constant-1.0,Flow/Zone,0.01;", False
    ),
}


def simulate(text, tmp_path):
    """Whether the engine runs `text` to its end without a severe error, and its error file."""
    engine = payload_dir() / "energyplus"
    if not os.access(engine, os.X_OK):
        engine.chmod(engine.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    (tmp_path / "in.idf").write_text(text, encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    proc = subprocess.run([engine, "-d", tmp_path / "out", tmp_path / "in.idf"], env=env, capture_output=True, timeout=120)
    report = (tmp_path / "out" / "eplusout.err").read_text(errors="replace")
    return proc.returncode == 0 and severe_errors(report) == 0, report


def severe_errors(report):
    """The engine's count of severe errors from its last line (None when it did not get there)."""
    found = re.search(r"EnergyPlus (?:Completed Successfully|Terminated).*?(\d+) Severe Errors", report)
    return int(found.group(1)) if found else None


@pytest.mark.parametrize("model", MODELS)
def test_runnable_models_agree_with_the_engine(idd, tmp_path, model):
    addition, runs = MODELS[model]
    text = BOX + addition + "\n"
    ok, report = simulate(text, tmp_path)
    assert ok == runs, report
    errors = [p.message for p in IDF.from_string(idd, text).validate() if p.severity == "error"]
    assert (errors == []) == runs, errors


# Each class whose schedules name their limits: a schedule (of it, or using it) whose limits are not
# there. The external interface's schedules stop the engine for want of a partner either way, so there
# the check is that the missing limits add a warning and no severe error.
LIGHTS = "Lights,L1,Z1,{},Watts/Area,,10;"
DAY_USED = "Schedule:Week:Compact,W,For: AllDays,S;Schedule:Year,Y,,W,1,1,12,31;" + LIGHTS.format("Y")
LIMITS_NAMED = {
    "Schedule:Compact": "Schedule:Compact,S,{},Through: 12/31,For: AllDays,Until: 24:00,1;" + LIGHTS,
    "Schedule:Constant": "Schedule:Constant,S,{},1;" + LIGHTS,
    "Schedule:Day:Hourly": "Schedule:Day:Hourly,S,{}" + ",1" * 24 + ";" + DAY_USED,
    "Schedule:Day:Interval": "Schedule:Day:Interval,S,{},No,24:00,1;" + DAY_USED,
    "Schedule:Day:List": "Schedule:Day:List,S,{},No,60" + ",1" * 24 + ";" + DAY_USED,
    "Schedule:Year": "Schedule:Day:Interval,D,,No,24:00,1;Schedule:Week:Compact,W,For: AllDays,D;"
    "Schedule:Year,S,{},W,1,1,12,31;" + LIGHTS,
    "Schedule:File": "Schedule:File,S,{},{csv},1,0,8760,Comma,No,60;" + LIGHTS,
    "ExternalInterface:Schedule": "ExternalInterface,PtolemyServer;ExternalInterface:Schedule,S,{},1;",
    "ExternalInterface:FunctionalMockupUnitExport:To:Schedule": (
        "ExternalInterface,FunctionalMockupUnitExport;"
        "ExternalInterface:FunctionalMockupUnitExport:To:Schedule,S,{},v,1;"
    ),
}


@pytest.mark.parametrize("class_name", LIMITS_NAMED)
def test_missing_schedule_limits_are_only_a_warning(idd, tmp_path, class_name):
    csv = tmp_path / "values.csv"
    csv.write_text("1\n" * 8760)
    body = LIMITS_NAMED[class_name].replace("{csv}", str(csv)).replace("Z1,{}", "Z1,S")
    text = BOX + ZONE.format(9) + "ScheduleTypeLimits,Any Number;\n"
    (tmp_path / "with").mkdir()
    (tmp_path / "without").mkdir()
    with_limits = simulate(text + body.format("Any Number"), tmp_path / "with")[1]
    ok, without = simulate(text + body.format("No Such Limits"), tmp_path / "without")
    assert "NO SUCH LIMITS, item not found" in without
    assert severe_errors(without) == severe_errors(with_limits), without
    assert ok == class_name.startswith("Schedule:")
    problems = [p for p in IDF.from_string(idd, text + body.format("No Such Limits")).validate()
                if p.value == "No Such Limits"]  # fmt: skip
    assert [(p.severity, p.class_name, p.field_name[:25]) for p in problems] == [
        ("warning", class_name, "Schedule Type Limits Name")
    ]
