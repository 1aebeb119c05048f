"""epJSON on a small made-up schema and a JSON schema in the engine's form built from it: what each field
type becomes, object keys, repeating groups, what cannot be written or read (with nothing written), the
forms of the arguments, the schema cache, and round trips through listed and edited documents."""

import json
import os
import threading

import pytest

from conftest import as_kind
from schema_samples import epjson_schema
from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject

SCHEMA = r"""
Site,
  \unique-object
  A1 , \field Name
  N1 , \field Elevation
       \type real
  A2 ; \field Terrain
       \type choice
       \key Suburbs
       \key City
Zone,
  A1 , \field Name
       \required-field
       \reference ZoneNames
  N1 , \field Multiplier
       \type integer
  N2 , \field Volume
       \type real
       \autocalculatable
  N3 , \field Flow
       \type real
       \autosizable
  A2 ; \field Kind
Output,
  A1 , \field Key Value
  A2 ; \field Frequency
       \type choice
       \key Hourly
       \key Timestep
Schedule,
  \extensible:2
  A1 , \field Name
  A2 , \field Time 1
  N1 ; \field Value 1
       \type real
"""
DOC = """
Site, Here, 1600., suburbs;
Zone, Z1, 2, autocalculate, AUTOSIZE, Office;
Zone, z2, 1.0, 12.50, +3, 0.5;
Output, *, hourly;
Output, Z1, TIMESTEP;
Schedule, S1, Until: 08:00, 0, Until: 24:00, 1, , ;
"""


@pytest.fixture(scope="module")
def idd():
    return IDD.from_string(SCHEMA)


@pytest.fixture(scope="module")
def schema_path(idd, tmp_path_factory):
    schema = epjson_schema(idd)
    # A value column that takes numbers and free text, as a compact schedule's fields do.
    schema["properties"]["Schedule"]["patternProperties"][".*"]["properties"]["extensions"]["items"]["properties"][
        "time"] = {"anyOf": [{"type": "number"}, {"type": "string"}]}
    path = tmp_path_factory.mktemp("schema") / "schema.epJSON"
    path.write_text(json.dumps(schema))
    return path


def test_fields_keys_and_groups(idd, schema_path):
    text = IDF.from_string(idd, DOC).to_epjson(schema_path)
    assert text.startswith('{\n    "') and text.endswith("}\n")
    assert json.loads(text) == {
        "Site": {"Here": {"elevation": 1600.0, "terrain": "Suburbs"}},  # choices take the schema's spelling
        "Zone": {
            "Z1": {"multiplier": 2, "volume": "Autocalculate", "flow": "Autosize", "kind": "Office"},
            "z2": {"multiplier": 1.0, "volume": 12.5, "flow": 3, "kind": "0.5"},  # a text field keeps its text
        },
        "Output": {  # no name field: keys are made up, counted per class
            "Output 1": {"key_value": "*", "frequency": "Hourly"},
            "Output 2": {"key_value": "Z1", "frequency": "Timestep"},
        },
        "Schedule": {"S1": {"extensions": [  # a group per started pair, the empty ones kept
            {"time": "Until: 08:00", "value": 0}, {"time": "Until: 24:00", "value": 1}, {}]}},
    }
    assert "\n" not in IDF.from_string(idd, DOC).to_epjson(schema_path, compact=True).rstrip("\n")


def test_words_cross_between_autosize_and_autocalculate(idd, schema_path):
    doc = IDF.from_string(idd, "Zone, Z1, 1, Autosize, autocalculate;")
    assert json.loads(doc.to_epjson(schema_path))["Zone"]["Z1"] == {
        "multiplier": 1, "volume": "Autocalculate", "flow": "Autosize"}


@pytest.mark.parametrize("number", ["0", "-0", "12.5", "1e3", "-2.5E-07", "1.", ".5", "+2", "007", "1e+2"])
def test_numbers_read_as_the_json_reads_them(idd, schema_path, number):
    doc = IDF.from_string(idd, f"Zone, Z1, , {number};")
    assert json.loads(doc.to_epjson(schema_path))["Zone"]["Z1"]["volume"] == float(number)


def test_number_or_text_fields(idd, schema_path):
    doc = IDF.from_string(idd, "Schedule, S1, 5, 1, nan, 2, 1.5d0, 3;")
    items = json.loads(doc.to_epjson(schema_path))["Schedule"]["S1"]["extensions"]
    assert [item["time"] for item in items] == [5, "nan", "1.5d0"]
    for body, field in [("Schedule, S1, a, 1e999;", "Value 1"), ("Schedule, S1, a, 1, 1e999;", "time")]:
        with pytest.raises(ValueError, match=f"field '{field}' holds '1e999', which is out of range for a JSON"):
            IDF.from_string(idd, body).to_epjson(schema_path)


@pytest.mark.parametrize("body, message", [
    ("Zone, Z1, two;", "Cannot write Zone 'Z1' as epJSON: field 'Multiplier' holds 'two', which is not a number"),
    ("Zone, Z1, 1, autosize2;", "field 'Volume' holds 'autosize2', which is not a number"),
    ("Zone, Z1, 1, nan;", "field 'Volume' holds 'nan', which is not a number"),
    ("Zone, Z1, 1, 1e400;", "field 'Volume' holds '1e400', which is out of range for a JSON number"),
    ("Output, *, Hourly, extra;", "Cannot write Output 'Output 1' as epJSON: it has 3 fields and the epJSON schema "
                                  "knows 2"),
    ("Zone, Z1; Zone, z1; Zone, Z1;", "Cannot write Zone 'Z1' as epJSON: another Zone has the same name"),
    ("Zone;", "Cannot write Zone '' as epJSON: it has no name, and the epJSON schema requires one"),
    ("Zone, , 1;", "Cannot write Zone '' as epJSON: it has no name"),
])
def test_what_the_schema_cannot_express(idd, schema_path, tmp_path, body, message):
    doc = IDF.from_string(idd, body)
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        doc.to_epjson(schema_path)
    target = tmp_path / "out.epJSON"
    with pytest.raises(ValueError):
        doc.save_epjson(target, schema_path)
    assert not target.exists()  # nothing is half-written


def test_a_class_the_json_schema_lacks(idd, tmp_path):
    schema = epjson_schema(idd)
    del schema["properties"]["Output"]
    path = tmp_path / "partial.epJSON"
    path.write_text(json.dumps(schema))
    with pytest.raises(ValueError, match="Cannot write Output as epJSON: the epJSON schema has no such class"):
        IDF.from_string(idd, DOC).to_epjson(path)
    assert IDF.from_string(idd, "Zone, Z1;").to_epjson(path)  # other documents are fine


def test_an_optional_name_left_empty(idd, schema_path):
    text = IDF.from_string(idd, "Site, , 2;").to_epjson(schema_path)
    assert json.loads(text) == {"Site": {"": {"elevation": 2}}}
    assert IDF.from_epjson(idd, text, schema_path).format(compact=True) == "Site,,2;"


@pytest.mark.parametrize("make, message", [
    (lambda: IDFObject.__new__(IDFObject), "the object at index 2 as epJSON: it has no class"),
    (lambda: IDF.from_string(IDD.from_string("Thing, A1;"), "Thing, T1;")["Thing"][0],
     "the Thing at index 2 as epJSON: the data dictionary has no such class"),
])
def test_an_object_of_no_class_the_schema_has(idd, schema_path, make, message):
    doc = IDF.from_string(idd, "Zone, Z1; Zone, Z2;")
    doc.__reduce__()[2][1].append(make())  # a listed document takes whatever its list holds
    with pytest.raises(ValueError, match="Cannot write " + message):
        doc.to_epjson(schema_path)


def test_round_trip(idd, schema_path, tmp_path):
    doc = IDF.from_string(idd, DOC)
    doc.save_epjson(tmp_path / "doc.epJSON", schema_path)
    for source in (doc.to_epjson(schema_path), (tmp_path / "doc.epJSON").read_bytes(), tmp_path / "doc.epJSON",
                   str(tmp_path / "doc.epJSON"), "  \n" + doc.to_epjson(schema_path, compact=True)):
        back = IDF.from_epjson(idd, source, os.fspath(schema_path))
        assert back.format(compact=True, preserve_order=True) == (
            "Site,Here,1600.,Suburbs;\n"
            "Zone,Z1,2,Autocalculate,Autosize,Office;\nZone,z2,1.0,12.50,3.0,0.5;\n"
            "Output,*,Hourly;\nOutput,Z1,Timestep;\n"
            "Schedule,S1,Until: 08:00,0,Until: 24:00,1;"
        ).replace("1600.", "1600.0")  # a number JSON cannot hold as written is written in full
        assert back["Zone"][0].get_referencing_objects("Name") == ()
        assert back.to_epjson(schema_path) == doc.to_epjson(schema_path)


@pytest.mark.parametrize("number, written", [
    ("+2", "2.0"), (".5", "0.5"), ("1.", "1.0"), ("007", "7.0"), ("+0", "0.0"), ("-0.0", "-0.0"), ("12.50", "12.50"),
    ("+1e22", "1e22"), ("+1e21", "1e21"), ("+1e20", "100000000000000000000.0"), ("+1.5e-7", "1.5e-7"),
    ("+0.000001", "0.000001"), ("+0.0000001", "1e-7"), ("-.25E3", "-250.0"), ("+4.9e-324", "5e-324"),
    ("+123456789012345678901234", "1.2345678901234569e23"), ("0.3328E+06", "0.3328E+06"),
])
def test_numbers_in_other_forms_are_written_shortest(idd, schema_path, number, written):
    doc = IDF.from_string(idd, f'Zone, Z1, , {number}, , a"b\\c;')
    assert doc.to_epjson(schema_path, compact=True) == (
        '{"Zone":{"Z1":{"volume":%s,"kind":"a\\"b\\\\c"}}}\n' % written)


def test_numbers_keep_their_json_text(idd, schema_path):
    text = ('{"Site": {"S": {"elevation": 1.2345678901234567890e-300}}, "Zone": {"Z1": {"multiplier": -0}, '
            '"Z2": {"volume": 1e-999, "flow": 1.7976931348623157e308, "kind": %s}}}' % ("9" * 300))
    doc = IDF.from_epjson(idd, text, schema_path)
    assert doc["Site"][0]["Elevation"] == 1.2345678901234567e-300 and doc["Zone"][0]["Multiplier"] == 0
    assert doc.format(compact=True) == (
        "Site,S,1.2345678901234567890e-300;\n\nZone,Z1,-0;\nZone,Z2,,1e-999,1.7976931348623157e308,%s;" % ("9" * 300))


@pytest.mark.parametrize("text, message", [
    ("{", "epJSON is not valid JSON (byte 1)"),
    (b"[1]", "epJSON must be a JSON object of classes"),
    ('{"Nowhere": {}}', "epJSON names an unknown class: 'Nowhere'"),
    ('{"zone": {}}', "epJSON names an unknown class: 'zone'"),
    ('{"Zone": []}', "epJSON class 'Zone' must be a JSON object of objects, not an array"),
    ('{"Zone": {"Z1": 5}}', "epJSON Zone 'Z1' must be a JSON object of fields, not a value"),
    ('{"Zone": {"Z1": {"name": "Z1"}}}', "epJSON Zone 'Z1' has an unknown field: 'name'"),
    ('{"Zone": {"Z1": {"kind": true}}}', "epJSON Zone 'Z1', field 'kind': expected a string or a number, got a boolean"),
    ('{"Zone": {"Z1": {"kind": null}}}', "expected a string or a number, got null"),
    ('{"Zone": {"Z1": {"kind": "a,b"}}}', "field 'kind': a value cannot contain ',', ';', '!' or a line break: 'a,b'"),
    ('{"Zone": {"Z;1": {}}}', "epJSON Zone 'Z;1': a name cannot contain"),
    ('{"Schedule": {"S": {"extensions": {}}}}', "field 'extensions': expected an array of objects, got an object"),
    ('{"Schedule": {"S": {"extensions": [1]}}}', "expected an array of objects, got a value in it"),
    ('{"Schedule": {"S": {"extensions": [{"tim": 1}]}}}', "has an unknown field in 'extensions': 'tim'"),
    # A key given twice: JSON readers keep one or the other, and an object would be lost.
    ('{"Zone": {"Z1": {}}, "Output": {}, "Zone": {"Z2": {}}}', "epJSON gives the class 'Zone' twice"),
    ('{"Zone": {"Z1": {}, "z1": {}, "Z1": {"kind": "b"}}}', "epJSON gives Zone 'Z1' twice"),
    ('{"Output": {"Output 1": {}, "Output 1": {}}}', "epJSON gives Output 'Output 1' twice"),
    ('{"Zone": {"Z1": {"kind": "a", "kind": "b"}}}', "epJSON Zone 'Z1' gives the field 'kind' twice"),
    ('{"Schedule": {"S": {"extensions": [], "extensions": []}}}', "gives the field 'extensions' twice"),
    ('{"Schedule": {"S": {"extensions": [{"value": 1, "value": 2}]}}}',
     "gives the field 'value' twice in an item of 'extensions'"),
    # Numbers a double cannot hold.
    ('{"Zone": {"Z1": {"volume": 1e999}}}', "field 'volume': number overflow: '1e999' is beyond the range of a double"),
    ('{"Zone": {"Z1": {"kind": -1E+999}}}', "field 'kind': number overflow: '-1E+999'"),
    ('{"Zone": {"Z1": {"multiplier": 1%s}}}' % ("0" * 400), "field 'multiplier': number overflow: '1000000000"),
    # A required name.
    ('{"Zone": {"": {}}}', "epJSON Zone '': the name cannot be blank, the epJSON schema requires one"),
    ('{"Zone": {" \\t": {"multiplier": 1}}}', "the name cannot be blank"),
])
def test_what_cannot_be_read(idd, schema_path, text, message):
    with pytest.raises(ValueError) as raised:
        IDF.from_epjson(idd, text, schema_path)
    assert message in str(raised.value)


def test_text_and_unicode(idd, schema_path):
    doc = IDF.from_string(idd, 'Zone, Zoné "1" \\ ✓, , , , tab\there;')
    text = doc.to_epjson(schema_path)
    assert json.loads(text)["Zone"] == {'Zoné "1" \\ ✓': {"kind": "tab\there"}}
    assert IDF.from_epjson(idd, text, schema_path)["Zone"][0][0] == 'Zoné "1" \\ ✓'


def test_schema_files(idd, schema_path, tmp_path):
    doc = IDF.from_string(idd, "Zone, Z1, 1;")
    copy = tmp_path / "copy.epJSON"
    copy.write_bytes(schema_path.read_bytes())
    assert json.loads(doc.to_epjson(copy))["Zone"]["Z1"] == {"multiplier": 1}
    # A file written again is read again.
    schema = json.loads(copy.read_text())
    schema["properties"]["Zone"]["legacy_idd"]["fields"][1] = "count"
    copy.write_text(json.dumps(schema) + " ")
    assert json.loads(doc.to_epjson(copy))["Zone"]["Z1"] == {"count": "1"}  # a key the schema does not type
    for content, message in [("[]", "epJSON schema has no \"properties\" object of classes"),
                             ("{", "epJSON schema is not JSON"),
                             ('{"properties": {"Zone": {}}}', "epJSON schema class 'Zone' has no \"legacy_idd\"")]:
        copy.write_text(content)
        with pytest.raises(ValueError, match=message):
            doc.to_epjson(copy)
    with pytest.raises(FileNotFoundError):
        doc.to_epjson(tmp_path / "missing.epJSON")


def test_long_choice_lists_and_byte_order_marks(idd, tmp_path):
    schema = epjson_schema(idd)
    words = [f"Terrain{i}" for i in range(5000)]
    schema["properties"]["Site"]["patternProperties"][".*"]["properties"]["terrain"]["enum"] = ["", *words]
    path = tmp_path / "long.epJSON"
    path.write_bytes(b"\xef\xbb\xbf" + json.dumps(schema).encode())
    doc = IDF.from_string(idd, "Site, S, 1, TERRAIN4999;")
    text = doc.to_epjson(path)
    assert json.loads(text)["Site"]["S"]["terrain"] == "Terrain4999"
    (tmp_path / "doc.epJSON").write_bytes(b"\xef\xbb\xbf" + text.encode())
    for source in (tmp_path / "doc.epJSON", b"\xef\xbb\xbf" + text.encode()):
        assert IDF.from_epjson(idd, source, path).format(compact=True) == "Site,S,1,Terrain4999;"
    doc = IDF.from_string(idd, "Site, S, 1, Terrain50000;")  # not one of them: written as it stands
    assert json.loads(doc.to_epjson(path))["Site"]["S"]["terrain"] == "Terrain50000"


def test_listed_and_edited_documents(idd, schema_path, doc_kind):
    expected = json.loads(IDF.from_string(idd, DOC).to_epjson(schema_path))
    restored = as_kind(IDF.from_string(idd, DOC), doc_kind)
    assert json.loads(restored.to_epjson(schema_path)) == expected
    restored["Zone"][1]["Kind"] = "Lab"
    restored.remove_object(restored["Output"][0])
    restored.add_object("Output", ["*", "Timestep"])
    changed = json.loads(restored.to_epjson(schema_path))
    assert changed["Zone"]["z2"]["kind"] == "Lab"
    assert changed["Output"] == {"Output 1": {"key_value": "Z1", "frequency": "Timestep"},
                                 "Output 2": {"key_value": "*", "frequency": "Timestep"}}


def test_writing_while_another_thread_edits(idd, schema_path):
    doc = IDF.from_string(idd, "".join(f"Output, Z{i}, Hourly;\n" for i in range(20000)) + "Zone, Z0, 0;")
    stop = threading.Event()
    refused = []

    def edit():
        first, added = doc["Zone"][0], iter(range(10**9))
        while not stop.is_set():
            for change in (lambda: first.__setitem__("Multiplier", 7),
                           lambda: doc.add_object("Zone", [f"X{next(added)}"])):
                try:
                    change()
                except RuntimeError as error:
                    refused.append(str(error))

    editor = threading.Thread(target=edit)
    editor.start()
    try:
        for _ in range(20):
            written = json.loads(doc.to_epjson(schema_path, compact=True))
            zones = written["Zone"]
            assert len(written["Output"]) == 20000
            assert zones["Z0"]["multiplier"] in (0, 7)
    finally:
        stop.set()
        editor.join()
    assert set(refused) <= {"IDF is being written as epJSON in another thread; it cannot change until to_epjson() returns."}


def test_a_class_of_many_fields_costs_what_the_json_holds(tmp_path):
    # Field look-ups by key, in the JSON schema and in the document, stay linear in a class's size.
    n = 200_000
    idd = IDD.from_string("Wide,\n  A1 , \\field Name\n" + "".join(f"  N{i} , \\field F{i}\n" for i in range(1, n))
                          + f"  N{n} ; \\field F{n}\n")
    keys = [f"f{i}" for i in range(1, n + 1)]
    schema = {"properties": {"Wide": {
        "patternProperties": {".*": {"type": "object", "properties": {k: {"type": "number"} for k in reversed(keys)}}},
        "legacy_idd": {"fields": ["name", *keys]}, "name": {"type": "string"}}}}
    path = tmp_path / "wide.schema.epJSON"
    path.write_text(json.dumps(schema))
    objects = ",".join(f'"W{i}": {{}}' for i in range(2000))
    doc = IDF.from_epjson(idd, '{"Wide": {%s, "Last": {"f%d": 7}}}' % (objects, n), path)
    assert len(doc["Wide"]) == 2001 and doc.get_object_by_name("Wide", "Last")[n] == "7"
