"""Schema introspection: class names, ClassInfo and FieldInfo records with
every property the dictionary gives, and the header's IDD version."""

import gc
import pickle

import pytest

from schema_samples import CHECKED_IDD
from tarvix.idd import IDD, ClassInfo, FieldInfo


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(CHECKED_IDD)


def test_class_names_and_versions(idd):
    assert idd.get_class_names() == [
        "Version", "Building", "Material", "Construction", "Wall", "Old:Thing", "Fan", "Output:Variable",
    ]  # fmt: skip
    assert idd.idd_version == "9.1.0"
    assert idd.version == "9.1"
    assert IDD.from_string("Version,\n A1 ; \\field V\n").idd_version is None
    assert IDD.from_string("! comment\n!IDD_Version 1.2.3 \nVersion,\n A1 ;\n").idd_version == "1.2.3"
    # Only the comment lines at the top of the text are the header.
    assert IDD.from_string("Version,\n A1 ;\n!IDD_Version 1.2.3\n").idd_version is None


def test_class_properties(idd):
    building = idd.get_class_info("BUILDING")
    assert isinstance(building, ClassInfo)
    assert building.name == "Building"
    assert building.group == "Simulation Parameters"
    assert building.memo == "Describes parameters that are used during the simulation of the building."
    assert (building.format, building.min_fields, building.obsolete) == (None, 3, None)
    assert (building.unique_object, building.required_object) == (True, True)
    assert (building.extensible_size, building.extensible_begin) == (0, None)
    assert [f.name for f in building.fields] == [
        "Name", "North Axis", "Terrain", "Loads Convergence Tolerance Value",
    ]  # fmt: skip

    wall = idd.get_class_info("Wall")
    assert (wall.group, wall.format, wall.extensible_size, wall.extensible_begin) == (
        "Surface Construction Elements", "vertices", 3, 3,
    )  # fmt: skip
    assert len(wall.fields) == 6  # the repeating group once
    assert idd.get_class_info("Old:Thing").obsolete == "=> Material"
    assert idd.get_class_info("Version").format == "singleLine"


def test_field_properties(idd):
    name, north, terrain, tolerance = idd.get_class_info("Building").fields
    assert isinstance(name, FieldInfo)
    assert (name.index, name.kind, name.type, name.required, name.retain_case) == (0, "A", "alpha", True, True)
    assert (north.kind, north.type, north.units, north.ip_units, north.default) == ("N", "real", "deg", "deg", "0.0")
    assert (terrain.type, terrain.choices, terrain.default) == ("choice", ("Suburbs", "City"), "Suburbs")
    assert terrain.note == "Country=FlatOpenCountry | Suburbs=CountryTownsSuburbs City=CityCenter"
    assert (tolerance.minimum, tolerance.minimum_exclusive, tolerance.maximum, tolerance.maximum_exclusive) == (
        0.0, True, 0.5, False,
    )  # fmt: skip

    _, thickness, layers, conductivity = idd.get_class_info("Material").fields
    assert thickness.units == "m" and thickness.ip_units == "in"
    assert (layers.type, layers.minimum, layers.maximum, layers.maximum_exclusive) == ("integer", 1.0, 10.0, True)
    assert (conductivity.autosizable, conductivity.deprecated, conductivity.minimum) == (True, True, 0.1)
    assert conductivity.maximum is None and conductivity.units is None and conductivity.note == ""

    assert idd.get_class_info("Material").fields[0].references == ("MaterialNames",)
    assert idd.get_class_info("Construction").fields[1].object_lists == ("MaterialNames",)
    fan_name, flow = idd.get_class_info("Fan").fields
    assert (fan_name.references, fan_name.reference_class_names) == (("FanNames",), ("EquipmentTypes",))
    assert (flow.autocalculatable, flow.units_based_on_field) == (True, "A1")
    variable = idd.get_class_info("Output:Variable").fields[1]
    assert (variable.type, variable.external_lists, variable.object_lists) == (
        "external-list", ("autoRDDvariable",), (),
    )  # fmt: skip
    first_vertex = idd.get_class_info("Wall").fields[3]
    assert (first_vertex.name, first_vertex.required, first_vertex.units) == ("Vertex 1 X-coordinate", True, "m")


def test_records_are_read_only_values(idd):
    info = idd.get_class_info("Material")
    with pytest.raises(AttributeError):
        info.name = "Other"
    with pytest.raises(AttributeError):
        info.fields[0].required = False
    assert info == idd.get_class_info("material")
    assert pickle.loads(pickle.dumps(info)) == info


def test_unknown_class_and_bad_arguments(idd):
    with pytest.raises(ValueError, match=r"^Unknown class: 'Nope'$"):
        idd.get_class_info("Nope")
    with pytest.raises(TypeError):
        idd.get_class_info(1)
    empty = IDD.__new__(IDD)
    assert empty.get_class_names() == [] and empty.idd_version is None
    with pytest.raises(ValueError):
        empty.get_class_info("Version")


def test_records_outlive_the_source_text():
    idd = IDD.from_string(CHECKED_IDD.replace("Surface Construction Elements", "Group " + "x" * 100))
    gc.collect()
    assert idd.get_class_info("Wall").group == "Group " + "x" * 100
    info = idd.get_class_info("Material")
    del idd
    gc.collect()
    assert info.fields[0].references == ("MaterialNames",)
