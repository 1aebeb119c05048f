"""IDF.validate() and IDF.version on a small made-up schema: each problem
code, the order and fields of the records, the codes filter, edits seen by
the next check, listed documents, and checks that must stay linear or safe
while other threads use the document."""

import pickle
import threading

import pytest

from conftest import as_kind
from schema_samples import CHECKED_IDD, CLEAN_IDF
from tarvix.idd import IDD
from tarvix.idf import IDF, PROBLEM_CODES, Problem


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(CHECKED_IDD)


def load(idd, body, version="9.1", building="Building, Office, 30, City, 0.04;"):
    head = (f"Version, {version};\n" if version else "") + (building + "\n" if building else "")
    return IDF.from_string(idd, head + body)


def summary(problems):
    return [(p.code, p.class_name, p.object_name, p.field_index, p.value) for p in problems]


def test_clean_document_has_no_problems(idd):
    doc = IDF.from_string(idd, CLEAN_IDF)
    assert doc.validate() == []
    assert doc.version == "9.1"


def test_value_checks(idd):
    doc = load(
        idd,
        """
        Material, M1, abc, 2.5, ;
        Material, M2, 0, 0, ;
        Material, M3, 3.5, 10, ;
        Material, M4, 1d0, 2.0, ;
        Material, M5, Autosize, 1e0, ;
        Material, M6, 3, 9, AUTOSIZE;
        Material, M7, +0.5, +2, Autocalculate;
        """,
        building="Building, Office, 30, Town, 0.5;",
    )
    assert summary(doc.validate(codes=[c for c in CODES if c != "deprecated-field"])) == [
        ("not-a-choice", "Building", "Office", 2, "Town"),
        ("not-a-number", "Material", "M1", 1, "abc"),
        ("not-an-integer", "Material", "M1", 2, "2.5"),
        ("below-minimum", "Material", "M2", 1, "0"),  # exclusive bound
        ("below-minimum", "Material", "M2", 2, "0"),
        ("above-maximum", "Material", "M3", 1, "3.5"),
        ("above-maximum", "Material", "M3", 2, "10"),  # exclusive bound
        ("not-a-number", "Material", "M4", 1, "1d0"),
        ("not-a-number", "Material", "M5", 1, "Autosize"),  # not autosizable
    ]


def test_problem_records(idd):
    doc = load(idd, "Construction, Ext Wall, Brik;\nMaterial, Brick, 0.1;\n")
    (problem,) = doc.validate()
    assert isinstance(problem, Problem)
    assert problem.severity == "error"
    assert problem.code == "unknown-reference"
    assert (problem.class_name, problem.object_name, problem.obj_idx) == ("Construction", "Ext Wall", 2)
    assert (problem.field_index, problem.field_name, problem.value) == (1, "Outside Layer", "Brik")
    assert problem.message == (
        "Construction 'Ext Wall', field 'Outside Layer': no object in MaterialNames is named 'Brik'."
    )
    with pytest.raises(AttributeError):
        problem.code = "other"
    assert pickle.loads(pickle.dumps(problem)) == problem


def test_references(idd):
    doc = load(
        idd,
        """
        Material, brick, 0.1;
        Construction, Ext Wall, BRICK;
        Wall, W1, ext wall, fan, 1, 2, 3;
        Wall, W2, Int Wall, Pump, 1, 2, 3;
        Output:Variable, *, Not Checked Against Anything;
        """,
    )
    assert summary(doc.validate()) == [
        ("unknown-reference", "Wall", "W2", 1, "Int Wall"),
        ("unknown-reference", "Wall", "W2", 2, "Pump"),  # a class name is expected
    ]
    doc.add_object("Construction", ["Int Wall", "Brick"])
    assert summary(doc.validate()) == [("unknown-reference", "Wall", "W2", 2, "Pump")]
    doc.get_object_by_name("Material", "brick")[0] = "Stone"
    assert [p.value for p in doc.validate()] == ["BRICK", "Pump", "Brick"]  # document order


def test_required_fields(idd):
    doc = load(
        idd,
        """
        Material, , ;
        Construction, C1;
        Wall, W1, , , , 2, 3;
        Wall, W2;
        """,
        building="Building, , 0;",  # an empty Name has a default
    )
    assert summary(doc.validate(codes={"required-field"})) == [
        ("required-field", "Material", None, 0, None),
        ("required-field", "Material", None, 1, None),
        ("required-field", "Construction", "C1", 1, None),
        ("required-field", "Wall", "W1", 3, None),  # required in each group that is there
    ]


def test_object_counts_and_names(idd):
    doc = load(
        idd,
        """
        Version, 9.1;
        Material, Brick, 0.1;
        Material, BRICK, 0.2;
        Construction, Brick, Brick;
        Old:Thing, x;
        """,
        building=None,
    )
    problems = doc.validate()
    assert summary(problems) == [
        ("unique-object", "Version", None, None, None),
        ("duplicate-name", "Material", "BRICK", 0, "BRICK"),  # names of another class may repeat
        ("obsolete-class", "Old:Thing", "x", None, None),
        ("required-object", "Building", None, None, None),
    ]
    assert problems[0].obj_idx == 1
    assert problems[2].severity == "warning"
    assert problems[2].message == "Old:Thing 'x': the class Old:Thing is obsolete (=> Material)."
    assert problems[-1].obj_idx is None
    assert problems[-1].message == "The document has no Building object; the schema requires one."


def test_field_counts_and_deprecation(idd):
    doc = load(idd, "Construction, C, Brick, extra;\nMaterial, Brick, 1, 1, 5;\n", building="Building, B;")
    assert summary(doc.validate()) == [
        ("too-few-fields", "Building", "B", None, None),
        ("too-many-fields", "Construction", "C", 2, "extra"),
        ("deprecated-field", "Material", "Brick", 3, "5"),
    ]
    # Trailing empty values are not more fields.
    assert load(idd, "Construction, C, Brick, , ;\nMaterial, Brick, 1;\n").validate() == []


@pytest.mark.parametrize(
    ("number", "valid"),
    [("-0.5E+03", True), ("1.e5", True), (".5", True), ("5.", True), ("0e999", True), ("1e22", True),
     ("123456789012345678", True), ("0.1234567890123456", True), ("1e-300", True), ("1e999", False),
     ("1e", False), ("1e+", False), ("--1", False), ("1.2.3", False), ("-", False), (".", False), ("1e5x", False)],
)
def test_numbers_in_every_repeated_group(idd, number, valid):
    # The fourth vertex takes the first vertex's field again: the check follows the groups.
    vertices = ", ".join(["1"] * 10 + [number])
    problems = load(idd, f"Material, Brick, 0.1, 2;\nConstruction, C, Brick;\nWall, W1, C, , {vertices};\n").validate()
    assert summary(problems) == ([] if valid else [("not-a-number", "Wall", "W1", 13, number)])


@pytest.mark.parametrize(
    ("written", "mismatch"),
    [("9.1", False), ("9.1.0", False), ("09.1.7", False), ("9.2", True), ("8.1", True), ("junk", True)],
)
def test_version_mismatch(idd, written, mismatch):
    doc = load(idd, "", version=written)
    assert doc.version == written
    problems = doc.validate(codes=["version-mismatch"])
    assert [(p.code, p.value) for p in problems] == ([("version-mismatch", written)] if mismatch else [])
    if mismatch:
        assert problems[0].message.endswith(f"is version {written} but the schema is version 9.1.0.")


def test_version_absent(idd):
    doc = load(idd, "", version=None)
    assert doc.version is None
    assert doc.validate(codes=["version-mismatch"]) == []


CODES = PROBLEM_CODES


def test_problem_codes():
    assert PROBLEM_CODES == (
        "unknown-reference", "required-field", "required-object", "unique-object", "duplicate-name",
        "not-a-number", "not-an-integer", "below-minimum", "above-maximum", "not-a-choice",
        "too-many-fields", "schedule-incomplete", "schedule-bad-time", "schedule-out-of-limits", "schedule-bad-date",
        "too-few-fields", "version-mismatch", "obsolete-class", "deprecated-field", "schedule-day-uncovered",
    )  # fmt: skip


def test_codes_filter(idd):
    doc = load(idd, "Material, M, x, 1.5, 1;\nOld:Thing;\n", version="8.0")
    everything = doc.validate()
    assert {p.code for p in everything} == {
        "not-a-number", "not-an-integer", "deprecated-field", "obsolete-class", "version-mismatch",
    }  # fmt: skip
    for code in CODES:
        assert doc.validate(codes=[code]) == [p for p in everything if p.code == code]
    assert doc.validate(codes=iter(CODES)) == everything
    assert doc.validate(codes=()) == []
    with pytest.raises(ValueError, match=r"^Unknown problem code: 'nope'$"):
        doc.validate(codes=["nope"])
    with pytest.raises(TypeError):
        doc.validate(codes="not-a-number")
    with pytest.raises(TypeError):
        doc.validate(codes=[1])


def test_listed_document_validates_the_same(idd, doc_kind):
    text = "Construction, C, Nope;\nMaterial, M, x;\n"
    doc = as_kind(load(idd, text), doc_kind)
    assert doc.validate() == load(idd, text).validate()
    doc.remove_object(doc.get_object_by_name("Construction", "C"))
    assert [p.class_name for p in doc.validate()] == ["Material"]
    assert doc.version == "9.1"


def test_uninitialized_document():
    doc = IDF.__new__(IDF)
    with pytest.raises(RuntimeError, match="IDF is not initialized"):
        doc.validate()
    with pytest.raises(RuntimeError, match="IDF is not initialized"):
        doc.version


def test_many_duplicate_names_stay_linear(idd):
    count = 100_000
    body = "Material, Same, 1;\n" * count
    problems = load(idd, body).validate(codes=["duplicate-name"])
    assert len(problems) == count - 1


@pytest.mark.parametrize("read, refusal", [
    (lambda doc: doc.version,
     "IDF is being read for its version in another thread; it cannot change until version returns."),
    (lambda doc: doc.validate(codes=["duplicate-name"]),
     "IDF is being validated in another thread; it cannot change until validate() returns."),
])
def test_a_refused_change_names_the_read_that_runs(idd, read, refusal):
    # The Version object comes last, so reading the version walks the whole document.
    doc = load(idd, "".join(f"Material, M{i}, abc;\n" for i in range(300_000)) + "Version, 9.1;\n", version=None)
    refused = set()
    for _ in range(50):  # until a change meets the read
        if refused:
            break
        thread = threading.Thread(target=lambda: read(doc))
        thread.start()
        while thread.is_alive():
            try:
                doc.remove_object(doc.add_object("Material", ["Late", "1"]))
            except RuntimeError as error:
                refused.add(str(error))
        thread.join()
    assert refused == {refusal}


def test_changes_wait_for_a_check_in_another_thread(idd):
    doc = load(idd, "".join(f"Material, M{i}, abc;\n" for i in range(200_000)))
    results = []
    refused = 0
    for _ in range(50):  # checks, until a change has met one still running
        thread = threading.Thread(target=lambda: results.append(len(doc.validate())))
        thread.start()
        while thread.is_alive():
            try:
                obj = doc.add_object("Material", ["Late", "1"])
                doc.remove_object(obj)
            except RuntimeError as error:
                assert str(error) == (
                    "IDF is being validated in another thread; it cannot change until validate() returns."
                )
                refused += 1
        thread.join()
        if refused:
            break
    assert refused, "no change was tried while the other thread was checking"
    assert min(results) >= 200_000
    assert doc.add_object("Material", ["After", "1"])[0] == "After"


def test_long_lists_are_cut_short_in_messages():
    keys = "".join(f"      \\key K{k}\n" for k in range(1000))
    idd = IDD.from_string(f"Thing,\n  A1 ; \\field Kind\n      \\type choice\n{keys}")
    doc = IDF.from_string(idd, "Thing, Nope;\n" * 1000)
    problems = doc.validate()
    assert len(problems) == 1000
    assert problems[0].message == (
        "Thing object 0, field 'Kind': 'Nope' is not one of its choices "
        "(K0, K1, K2, K3, K4, K5, K6, K7, K8, K9, K10, K11 and 988 more)."
    )


NAMES_IDD = r"""
Output:Variable,
  A1 , \field Key Value
  A2 ; \field Variable Name
      \type object-list
      \object-list autoRDDvariable
Coil,
  A1 , \field Name
      \reference CoilNames
  A2 , \field Refrigerant
      \type object-list
      \object-list FluidNames
  A3 , \field Fluid
      \type object-list
      \object-list FluidAndGlycolNames
  A4 , \field Schedule
      \type object-list
      \object-list ScheduleNames
  A5 ; \field Next Coil
      \type object-list
      \object-list CoilNames
FluidProperties:Name,
  A1 ; \field Fluid Name
      \reference FluidNames
      \reference FluidAndGlycolNames
Schedule:Constant,
  A1 , \field Name
      \reference ScheduleNames
  A2 ; \field Schedule Type Limits Name
      \type object-list
      \object-list ScheduleTypeLimitsNames
ScheduleTypeLimits,
  A1 ; \field Name
      \reference ScheduleTypeLimitsNames
"""


@pytest.mark.parametrize(
    ("body", "unknown"),
    [
        # A list no field enters names under is filled by the engine as it runs.
        ("Output:Variable, *, Zone Mean Air Temperature;", []),
        # The engine's own fluids and schedules need no object.
        ("Coil, C, steam, Water, Constant-1.0, C;", []),
        ("Coil, C, , EthyleneGlycol;\nCoil, D, , PROPYLENEGLYCOL, constant-0.0;", []),
        # ... under their own lists only.
        ("Coil, C, Water, Steam, Always On, Nope;", ["Water", "Steam", "Always On", "Nope"]),
        ("Coil, C, R22;", ["R22"]),
        ("Coil, C, R22;\nFluidProperties:Name, R22;", []),
    ],
)
def test_names_defined_elsewhere(body, unknown):
    doc = IDF.from_string(IDD.from_string(NAMES_IDD), body)
    assert [p.value for p in doc.validate()] == unknown


def test_missing_schedule_limits_are_a_warning():
    # The engine runs such a schedule unchecked; a missing schedule stays an error.
    doc = IDF.from_string(IDD.from_string(NAMES_IDD), "Schedule:Constant, S, No Such Limits;\nCoil, C, , , T;")
    assert [(p.severity, p.value) for p in doc.validate()] == [("warning", "No Such Limits"), ("error", "T")]
    assert doc.validate()[0].message.endswith("; the engine runs the schedule without checking it against limits.")


def test_long_names_are_shared_and_cut_short_in_messages():
    fields = "".join(f"  N{k} {';' if k == 900 else ','} \\field F{k}\n" for k in range(1, 901))
    idd = IDD.from_string("Thing,\n  A1 , \\field Name\n" + fields)
    name = "a" + "é" * 50_000  # 100 KB; byte 200 is inside a character
    problems = IDF.from_string(idd, f"Thing, {name}, " + ", ".join(["x"] * 900) + ";").validate()
    assert len(problems) == 900
    assert all(p.object_name is problems[0].object_name == name for p in problems)
    assert problems[0].message == f"Thing 'a{'é' * 99}\u2026', field 'F1': 'x' is not a number."
