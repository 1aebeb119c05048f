"""A small made-up schema that exercises every property the checks and the
schema introspection read."""

CHECKED_IDD = r"""!IDD_Version 9.1.0
!IDD_BUILD abc123
\group Simulation Parameters
Version,
      \unique-object
      \format singleLine
  A1 ; \field Version Identifier
      \default 9.1

Building,
      \memo Describes parameters that are used during the simulation
      \memo of the building.
      \unique-object
      \required-object
      \min-fields 3
  A1 , \field Name
      \required-field
      \retaincase
      \default NONE
  N1 , \field North Axis
      \units deg
      \ip-units deg
      \default 0.0
  A2 , \field Terrain
      \note  Country=FlatOpenCountry | Suburbs=CountryTownsSuburbs
      \note  City=CityCenter
      \type choice
      \key Suburbs
      \key City
      \default Suburbs
  N2 ; \field Loads Convergence Tolerance Value
      \type real
      \minimum> 0.0
      \maximum .5
      \default .04

\group Surface Construction Elements
Material,
  A1 , \field Name
      \required-field
      \type alpha
      \reference MaterialNames
  N1 , \field Thickness
      \required-field
      \units m
      \ip-units in
      \minimum> 0
      \maximum 3
  N2 , \field Layers
      \type integer
      \minimum 1
      \maximum< 10
  N3 ; \field Conductivity
      \autosizable
      \minimum 0.1
      \deprecated

Construction,
  A1 , \field Name
      \required-field
      \reference ConstructionNames
  A2 ; \field Outside Layer
      \required-field
      \type object-list
      \object-list MaterialNames

Wall,
      \extensible:3
      \format vertices
  A1 , \field Name
      \reference WallNames
  A2 , \field Construction Name
      \type object-list
      \object-list ConstructionNames
  A3 , \field Equipment Type
      \type object-list
      \object-list EquipmentTypes
  N1 , \field Vertex 1 X-coordinate
      \begin-extensible
      \required-field
      \units m
  N2 , \field Vertex 1 Y-coordinate
  N3 , \field Vertex 1 Z-coordinate
  N4 , \field Vertex 2 X-coordinate
      \note dropped: only the first group is kept
  N5 , \field Vertex 2 Y-coordinate
  N6 ; \field Vertex 2 Z-coordinate

Old:Thing,
      \obsolete => Material
  A1 ; \field Name

Fan,
  A1 , \field Name
      \reference-class-name EquipmentTypes
      \reference FanNames
  N1 ; \field Flow
      \autocalculatable
      \unitsBasedOnField A1

Output:Variable,
  A1 , \field Key Value
      \default *
  A2 ; \field Variable Name
      \type external-list
      \external-list autoRDDvariable
"""

CLEAN_IDF = """
Version, 9.1;
Building, Office, 30, City, 0.04;
Material, Brick, 0.1, 2;
Construction, Ext Wall, Brick;
Wall, W1, Ext Wall, Fan, 0, 0, 0, 1, 0, 0;
Fan, F1, autocalculate;
Output:Variable, *, Zone Mean Air Temperature;
"""


def epjson_schema(idd):
    """A JSON schema in the engine's form for a made-up schema, built from its introspection: each class's
    field keys in order (a first field called "Name" becomes the object's key), a repeating group as an
    array, numbers typed as such (with "Autosize"/"Autocalculate" where allowed), choices as enums, and a required name
    marked so."""
    import re

    def key_of(name):
        return re.sub(r"[^a-z0-9]+", "_", name.lower()).strip("_")

    def prop_of(field):
        if field.kind == "N":
            words = ["Autosize"] * field.autosizable + ["Autocalculate"] * field.autocalculatable
            number = {"type": "integer" if field.type == "integer" else "number"}
            return {"anyOf": [number, {"type": "string", "enum": ["", *words]}]} if words else number
        return {"type": "string", "enum": ["", *field.choices]} if field.choices else {"type": "string"}

    classes = {}
    for name in idd.get_class_names():
        info = idd.get_class_info(name)
        fields = list(info.fields)
        group = []
        if info.extensible_size and info.extensible_begin is not None:
            group = fields[info.extensible_begin : info.extensible_begin + info.extensible_size]
            fields = fields[: info.extensible_begin]
        keys = [key_of(f.name) for f in fields]
        if "name" in keys[1:]:  # only a first field called Name is the object's key
            keys[keys.index("name", 1)] = "name_field"
        props = {k: prop_of(f) for k, f in zip(keys, fields) if k != "name"}
        legacy = {"fields": keys}
        if group:
            group_keys = [re.sub(r"_?\d+", "", key_of(f.name)) or key_of(f.name) for f in group]
            legacy.update(extensibles=group_keys, extension="extensions")
            props["extensions"] = {"type": "array", "items": {"type": "object", "properties": {
                k: prop_of(f) for k, f in zip(group_keys, group)}}}
        entry = {"patternProperties": {".*": {"type": "object", "properties": props}}, "legacy_idd": legacy}
        if keys[:1] == ["name"]:
            entry["name"] = {"type": "string", "is_required": True} if fields[0].required else {"type": "string"}
        classes[name] = entry
    return {"properties": classes}
