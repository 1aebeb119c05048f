"""validate() against the simulation engine's own input check: the engine's
datasets (libraries of objects, made whole documents with a Version, a
Building and a GlobalGeometryRules object) and documents with planted
faults of each kind its converter rejects. Skipped, with the reason, when
the engine release cannot be had."""

import re
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
