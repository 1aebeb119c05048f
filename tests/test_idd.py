"""Tests of tarvix.idd: the IDD class's Python surface, loading from strings
and files, what the schema parser builds from an IDD text (classes, fields,
properties, version) and its error messages, concurrent loading, and module
initialisation with its class and function imports.

Field lookup inside classes and repeating groups is in test_idd_lookup.py."""

import concurrent.futures
import copy
import ctypes
import pathlib
import pickle
import threading

import pytest

import tarvix.idd
from tarvix.idd import IDD, debug_get_field_name

VERSION_SCHEMA = "Version,\n  A1 ; \\field Version Identifier\n      \\default 9.5\n"

PICKLE_MESSAGE = (
    "Pickling of struct members such as self.c_idd must be explicitly requested with @auto_pickle(True)"
)


class StrSubclass(str):
    pass


def doc_lines(obj):
    return [line.strip() for line in (obj.__doc__ or "").splitlines() if line.strip()]


def class_names(idd):
    return [idd.get_class_name(i) for i in range(idd.num_classes)]


# ---------------------------------------------------------------------------
# The IDD class
# ---------------------------------------------------------------------------


def test_idd_cannot_be_instantiated_directly():
    with pytest.raises(TypeError) as info:
        IDD()
    assert str(info.value) == "IDD cannot be instantiated directly. Use IDD.from_file()."


def test_docstrings():
    assert IDD.__init__.__doc__ == "IDD cannot be instantiated directly. Use IDD.from_file()."
    assert "c_IDD" in IDD.__doc__
    assert IDD.num_classes.__doc__.strip() == "Total number of parsed classes"
    returns = ["Returns:", "IDD: parsed IDD data structure"]
    assert doc_lines(IDD.from_file) == [
        "Parse IDD file", "Args:", "filepath (str | PathLike): IDD file path",
        "encoding (str, optional): IDD file encoding", *returns,
    ]
    assert doc_lines(IDD.from_string) == ["Parse IDD file", "Args:", "content (str): IDF string", *returns]
    assert doc_lines(IDD.get_class_name) == [
        "Get class name from index", "Args:", "index (int): class index", "Returns:", "str: class name",
    ]


@pytest.mark.parametrize("attribute", ["version", "num_classes"])
def test_properties_are_read_only(attribute):
    idd = IDD.from_string(VERSION_SCHEMA)
    with pytest.raises(AttributeError):
        setattr(idd, attribute, 1)
    assert (idd.version, idd.num_classes) == ("9.5", 1)


@pytest.mark.parametrize(
    "operation",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(), lambda o: o.__setstate__({})],
    ids=["pickle", "copy", "deepcopy", "__reduce__", "__setstate__"],
)
@pytest.mark.parametrize("loaded", [True, False], ids=["loaded", "never-loaded"])
def test_idd_refuses_pickling(operation, loaded):
    idd = IDD.from_string(VERSION_SCHEMA) if loaded else IDD.__new__(IDD)
    with pytest.raises(TypeError) as info:
        operation(idd)
    assert str(info.value) == PICKLE_MESSAGE


def test_never_loaded_idd_behaves_as_empty_schema():
    idd = IDD.__new__(IDD)
    assert idd.num_classes == 0
    assert idd.version is None
    with pytest.raises(IndexError, match=r"^Class index out of range\.$"):
        idd.get_class_name(0)
    for call in (
        lambda: idd._get_field_names("Zone"),
        lambda: tarvix.idd.debug_find_field_index(idd, "Zone", "Name"),
        lambda: debug_get_field_name(idd, "Zone", 0, True),
    ):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "Unknown class: 'Zone'"


# ---------------------------------------------------------------------------
# Module contents and the published function table
# ---------------------------------------------------------------------------

_capsule_get_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_get_name.restype, _capsule_get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
_capsule_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_get_pointer.restype, _capsule_get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]

PUBLISHED_FUNCTION_NAMES = [
    "parse_idd", "resolve_key_to_field_index", "find_field_index", "get_field_name", "get_field_def",
]


def test_module_contents_and_function_table():
    assert isinstance(IDD, type)
    assert callable(tarvix.idd.debug_find_field_index) and callable(tarvix.idd.debug_get_field_name)
    assert type(IDD.__dict__["_native_methods"]).__name__ == "PyCapsule"
    table = tarvix.idd._c_api
    assert type(table) is dict
    assert list(table) == PUBLISHED_FUNCTION_NAMES
    signatures = [_capsule_get_name(capsule) for capsule in table.values()]
    assert all(signatures) and len(set(signatures)) == len(signatures)
    for capsule, signature in zip(table.values(), signatures):
        assert _capsule_get_pointer(capsule, signature)


# ---------------------------------------------------------------------------
# Loading: argument rules, files and encodings
# ---------------------------------------------------------------------------


CONTENT_TYPE_MESSAGE = "Argument 'content' has incorrect type (expected str, got "


@pytest.mark.parametrize(
    "content, error, message",
    [
        (b"Zone,A1;", TypeError, CONTENT_TYPE_MESSAGE + "bytes)"),
        (StrSubclass("Zone,A1;"), TypeError, CONTENT_TYPE_MESSAGE + "StrSubclass)"),
        (42, TypeError, CONTENT_TYPE_MESSAGE + "int)"),
        (None, AttributeError, "'NoneType' object has no attribute 'encode'"),
        ("Zone\udcff,A1;", UnicodeEncodeError, None),
    ],
)
def test_from_string_accepts_only_str(content, error, message):
    with pytest.raises(error) as info:
        IDD.from_string(content)
    assert type(info.value) is error
    assert message is None or str(info.value) == message


@pytest.mark.parametrize(
    "encoding, type_name",
    [(42, "int"), (b"utf-8", "bytes"), (StrSubclass("utf-8"), "StrSubclass")],
)
def test_from_file_checks_encoding_type_before_reading(tmp_path, encoding, type_name):
    with pytest.raises(TypeError) as info:
        IDD.from_file(tmp_path / "missing.idd", encoding)
    assert str(info.value) == f"Argument 'encoding' has incorrect type (expected str, got {type_name})"


@pytest.mark.parametrize("make_path", [str, pathlib.Path], ids=["str", "Path"])
@pytest.mark.parametrize("encoding", [None, "utf-8", "UTF8", "latin-1"])
@pytest.mark.parametrize("bom", [b"", b"\xef\xbb\xbf"], ids=["no-bom", "bom"])
def test_from_file_loads_like_from_string(tmp_path, make_path, encoding, bom):
    path = tmp_path / "schema.idd"
    path.write_bytes(bom + VERSION_SCHEMA.encode())
    by_keyword = IDD.from_file(filepath=make_path(path), encoding=encoding)
    for idd in (IDD.from_file(make_path(path), encoding), by_keyword):
        assert type(idd) is IDD
        assert (idd.version, class_names(idd)) == ("9.5", ["Version"])
        assert idd._get_field_names("Version") == ["Version Identifier"]
    assert IDD.from_string(content=VERSION_SCHEMA).version == "9.5"


@pytest.mark.parametrize("make_path", [str, pathlib.Path], ids=["str", "Path"])
def test_latin1_file_needs_its_encoding(tmp_path, make_path):
    path = make_path(tmp_path / "latin1.idd")
    pathlib.Path(path).write_bytes("Zone,\n  A1; \\field Nom\xe9\n".encode("latin-1"))
    with pytest.raises(UnicodeError) as info:
        IDD.from_file(path)
    assert type(info.value) is UnicodeError
    assert str(info.value) == f"'{path}' cannot be read in UTF-8. Encoding needs to be specified."
    assert isinstance(info.value.__cause__, UnicodeDecodeError)

    idd = IDD.from_file(path, encoding="latin-1")
    assert class_names(idd) == ["Zone"]
    assert idd._get_field_names("Zone") == ["Nom\xe9"]


@pytest.mark.parametrize(
    "name, encoding, error",
    [
        ("missing.idd", None, FileNotFoundError),
        ("missing.idd", "utf-8", FileNotFoundError),
        (".", None, IsADirectoryError),
        ("schema.idd", "no-such-codec", LookupError),
    ],
)
def test_from_file_passes_read_errors_on(tmp_path, name, encoding, error):
    (tmp_path / "schema.idd").write_text(VERSION_SCHEMA)
    with pytest.raises(error):
        IDD.from_file(tmp_path / name, encoding)


# ---------------------------------------------------------------------------
# Classes, fields and the version
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text",
    ["", "\n\n", "! only a comment\n", "\\group Simulation Parameters\n", "Marker;\n", "Lead Input;\nData;"],
)
def test_text_without_classes_gives_empty_schema(text):
    idd = IDD.from_string(text)
    assert (idd.num_classes, idd.version) == (0, "")
    with pytest.raises(IndexError):
        idd.get_class_name(0)


@pytest.mark.parametrize(
    "text, version",
    [
        (VERSION_SCHEMA, "9.5"),
        ("Zone,\n  A1; \\default 9.5\n", ""),
        ("VERSION,\n  A1; \\default 8.8\n", "8.8"),
        ("version,\n  A1; \\default 8.8\n", "8.8"),
        ("Version,\n  A1; \\field Version Identifier\n", ""),
        ("Version,\n  A1, \\default 1.0\n  A2; \\default 2.0\n", "1.0"),
        ("Version,\n  A1; \\default 1.0\nVERSION,\n  A1; \\default 2.0\n", "2.0"),
        ("Version,\n  A1; \\default 1.0\n      \\default 2.0\n", "2.0"),
        ("Version,\n  A1; \\default    8.8  ! comment\n", "8.8"),
        ("Version,\n  A1; \\default 8.8, beta; 2\n", "8.8, beta; 2"),
        # the keyword needs a blank after it and is case-sensitive
        ("Version,\n  A1; \\default\n", ""),
        ("Version,\n  A1; \\defaults 1.0\n", ""),
        ("Version,\n  A1; \\Default 1.0\n", ""),
        # a class property line is not a field property
        ("Version,\n  \\default 1.0\n  A1;\n", ""),
        ("Version;\n", ""),
    ],
)
def test_version_is_default_of_first_field_of_version_class(text, version):
    idd = IDD.from_string(text)
    assert type(idd.version) is str
    assert idd.version == version


def test_classes_keep_text_order_and_later_equal_key_wins():
    idd = IDD.from_string(
        "Stray text\n"
        "Zone,\n  A1, \\field Name\n  A2;\n"
        "Marker;\n"
        "  My  Zone  ,\n  A1;\n"
        "ZONE,\n  A1, \\field Other\n  N1;\n"
        "Zoné,A1;"
    )
    assert class_names(idd) == ["Zone", "My  Zone", "ZONE", "Zoné"]
    for key in ("Zone", "zone", "ZONE", "zOnE"):
        assert idd._get_field_names(key) == ["Other", "N1"]
    assert idd._get_field_names("my  zone") == ["A1"]
    assert idd.num_classes == 4


@pytest.mark.parametrize(
    "index, error", [(-1, IndexError), (-5, IndexError), (2, IndexError), (2**31 - 1, IndexError),
                     ("0", TypeError), (1.0, TypeError), (None, TypeError)],
)
def test_get_class_name_rejects_bad_index(index, error):
    idd = IDD.from_string("A,X;B,Y;")
    assert class_names(idd) == ["A", "B"]
    with pytest.raises(error) as info:
        idd.get_class_name(index)
    assert error is TypeError or str(info.value) == "Class index out of range."


@pytest.mark.parametrize(
    "body, names",
    [
        ("A1, \\field Name\n  N1,\n  N2;", ["Name", "N1", "N2"]),
        ("A1,,\n  A3;", ["A1", "", "A3"]),
        ("A1,A2;", ["A1", "A2"]),
        ("A1\n  A2;", ["A2"]),
        ("A1; \\field First\n  \\field Second", ["Second"]),
        ("A1; \\field    Two  Words   ! comment", ["Two  Words"]),
        ("A1, \\field Name, with; punctuation\n  A2;", ["Name, with; punctuation", "A2"]),
        ("A1; \\field Température", ["Température"]),
        # "\field" needs a blank after it and is case-sensitive
        ("A1; \\fieldName", ["A1"]),
        ("A1; \\field", ["A1"]),
        ("A1; \\Field Name", ["A1"]),
        # class properties come before the first field identifier
        ("\\field Early\n  A1;", ["A1"]),
        # after the semicolon, property lines still belong to the last field
        ("A1;\n  \\field Late", ["Late"]),
        # group lines may stand anywhere without changing the current field
        ("\\group G1\n  A1,\n  \\group G2\n  \\field Name\n  A2;\n\\groupless", ["Name", "A2"]),
        ("A1, \\field Name\r\n  A2; \\field Other\r\n", ["Name", "Other"]),
        ("A1, \\field Name\r  A2; \\field Other\r", ["Name", "Other"]),
    ],
)
def test_field_names(body, names):
    idd = IDD.from_string("\\group Top\nThing,\n  " + body + "\n")
    assert class_names(idd) == ["Thing"]
    assert idd._get_field_names("Thing") == names


def test_properties_set_units_and_leave_names_alone():
    lines = [
        "Thing,", "\\memo a class memo, with; punctuation", "\\min-fields 2", "\\format vertices",
        "A1, \\field Name", "\\required-field", "\\type alpha", "\\reference ThingNames",
        "A2, \\field Kind", "\\type choice", "\\key Big", "\\key Small", "\\default Big",
        "A3, \\field Zone Name", "\\type object-list", "\\object-list ZoneNames",
        "N1, \\field Height", "\\units m", "\\ip-units ft", "\\autosizable", "\\minimum> 0",
        "N2, \\field Width", "\\units    cm  ! comment", "\\autocalculatable",
        "N3, \\field Depth", "\\units",
        "N4, \\field Area", "\\units m2", "\\units ft2",
        "N5, \\field Mass", "\\unitskg", "\\Units kg",
        "N6; \\field Count", "\\type integer",
    ]
    idd = IDD.from_string("\n".join(lines))
    names = ["Name", "Kind", "Zone Name", "Height", "Width", "Depth", "Area", "Mass", "Count"]
    assert idd._get_field_names("Thing") == names
    units = {"Height": " {m}", "Width": " {cm}", "Area": " {ft2}"}
    assert [debug_get_field_name(idd, "Thing", i, True) for i in range(9)] == [n + units.get(n, "") for n in names]


# ---------------------------------------------------------------------------
# Parse errors
# ---------------------------------------------------------------------------


def orphaned(line, value):
    return f"Syntax error (Line {line}): Orphaned property '{value}' found before any class definition."


def empty_name(line):
    return f"IDD parsing error (Line {line}): Empty class name."


def missing_semicolon(line):
    return f"IDD parsing error (Line {line}): Unexpected EOF. Missing ';' at the end of class definition."


@pytest.mark.parametrize(
    "text, message",
    [
        ("\\field X\nZone,\n  A1;\n", orphaned(1, "\\field X")),
        ("! comment\n\n  \\memo hi, there ! comment\nZone,\n  A1;", orphaned(3, "\\memo hi, there")),
        ("\\group G\n\\Group H\nZone,A1;", orphaned(2, "\\Group H")),
        ("Stray\n  \\units m\n", orphaned(2, "\\units m")),
        ("\\memo é\n", orphaned(1, "\\memo é")),
        (",Zone,\n  A1;\n", empty_name(1)),
        ("Zone,\n  A1;\n\n  ,\n", empty_name(4)),
        ("Marker;\n,", empty_name(2)),
        ("Zone,\n  A1;\n  ; ,", empty_name(3)),
        ("Zone", missing_semicolon(1)),
        ("Zone,", missing_semicolon(1)),
        ("Zone,\n  A1,\n  A2", missing_semicolon(3)),
        ("Zone,\n  A1,\n  A2\n", missing_semicolon(3)),
        ("Zone,\n  A1,\n\n\n", missing_semicolon(4)),
        ("Zone,\r\n  A1,\r\n  A2\r\n", missing_semicolon(3)),
        ("Zone,\r  A1,\r  A2\r", missing_semicolon(3)),
        ("Zone,\n  A1; Next\n", missing_semicolon(2)),
        ("Zone,\n  A1;\nNext\n! trailing comment\n", missing_semicolon(4)),
    ],
)
def test_parse_errors_give_line_of_offending_token(text, message):
    with pytest.raises(ValueError) as info:
        IDD.from_string(text)
    assert type(info.value) is ValueError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "content, message",
    [
        (b"Zo\xe9ne,\n  A1;\n", "IDD parsing error (Line 1): 'invalid UTF-8 byte 0xE9 at column 3'"),
        (b"Zone,\n  A\xff1;\n", "IDD parsing error (Line 2): 'invalid UTF-8 byte 0xFF at column 4'"),
        (b"Zone,\nA1,\nA2; \\field N\xc3(\n", "IDD parsing error (Line 3): 'invalid UTF-8 byte 0xC3 at column 13'"),
    ],
)
def test_tokenizer_error_gives_repr_of_its_message(tmp_path, content, message):
    # "utf-8" as encoding makes the reader pass the bytes on unchecked
    path = tmp_path / "invalid.idd"
    path.write_bytes(content)
    with pytest.raises(ValueError) as info:
        IDD.from_file(path, "utf-8")
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Concurrent loading
# ---------------------------------------------------------------------------


def snapshot(idd):
    names = class_names(idd)
    samples = names[::97]
    return (
        idd.version, names, [idd._get_field_names(name) for name in samples],
        [debug_get_field_name(idd, name, 40, True) for name in samples],
    )


def test_loading_from_several_threads_gives_equal_schemas():
    parts = [VERSION_SCHEMA]
    for c in range(3000):
        parts.append(f"\\group Group {c // 100}\nClass:{c},\n  \\extensible:1\n  A1, \\field Name\n")
        count = c % 7 + 1
        for i in range(1, count + 1):
            parts.append(f"  N{i}{';' if i == count else ','} \\field Value {i}\n      \\units m\n")
    text = "".join(parts)
    expected = snapshot(IDD.from_string(text))
    assert expected[0] == "9.5" and len(expected[1]) == 3001 and expected[3][1] == "Value 40 {m}"

    barrier = threading.Barrier(8)

    def work(_):
        barrier.wait()
        return [snapshot(IDD.from_string(text)) for _ in range(3)]

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        results = list(pool.map(work, range(8)))
    assert results == [[expected] * 3] * 8


# ---------------------------------------------------------------------------
# Module initialisation (in fresh interpreters)
# ---------------------------------------------------------------------------

CHILD_PRELUDE = r"""
import ctypes, re, sys, warnings
import tarvix.lexer, tarvix.utils

REAL_LEXER = tarvix.lexer.Lexer
TABLE = tarvix.utils._c_api
capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype, capsule_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype, capsule_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype, new_capsule.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

def import_idd_fails(expected_type):
    try:
        import tarvix.idd
    except BaseException as error:
        assert type(error) is expected_type, repr(error)
        assert "tarvix.idd" not in sys.modules
        return str(error)
    raise AssertionError("tarvix.idd was imported")

def check_size_message(message, replacement):
    pattern = (r"tarvix\.lexer\.Lexer size changed, may indicate binary incompatibility\. "
               r"Expected (\d+) from C header, got (\d+) from PyObject")
    match = re.fullmatch(pattern, message)
    assert match, message
    assert (int(match[1]), int(match[2])) == (REAL_LEXER.__basicsize__, replacement.__basicsize__), message

class Larger:
    __slots__ = tuple("s%d" % i for i in range(REAL_LEXER.__basicsize__ // 8 + 8))
    _native_methods = REAL_LEXER.__dict__["_native_methods"]
assert Larger.__basicsize__ > REAL_LEXER.__basicsize__

class SameSize:
    __slots__ = tuple("s%d" % i for i in range((REAL_LEXER.__basicsize__ - object.__basicsize__) // 8))
assert SameSize.__basicsize__ == REAL_LEXER.__basicsize__
"""

RESTORE_LEXER = "tarvix.lexer.Lexer = REAL_LEXER"


def other_signature(name):
    return (
        f"original = TABLE[{name!r}]\n"
        "signature = capsule_name(original)\n"
        "changed = signature[:-1] + (b'#' if signature[-1:] != b'#' else b'@')  # kept alive\n"
        f"TABLE[{name!r}] = new_capsule(capsule_pointer(original, signature), changed, None)"
    )


@pytest.mark.parametrize(
    "setup, restore, error, check",
    [
        *(
            pytest.param(
                f"original = TABLE.pop({name!r})", f"TABLE[{name!r}] = original", "ImportError",
                f"assert message == 'tarvix.utils does not export expected C function {name}', message",
                id="missing-" + name,
            )
            for name in ("read_utf8_bytes", "get_continuous_digits_indices")
        ),
        *(
            pytest.param(
                other_signature(name), f"TABLE[{name!r}] = original", "TypeError",
                f"expected = 'C function tarvix.utils.{name} has wrong signature (expected %s, got %s)' % (\n"
                "    signature.decode(), changed.decode())\n"
                "assert message == expected, message",
                id="other-signature-" + name,
            )
            for name in ("read_utf8_bytes", "get_continuous_digits_indices")
        ),
        pytest.param(
            "tarvix.lexer.Lexer = 42", RESTORE_LEXER, "TypeError",
            "assert message == 'tarvix.lexer.Lexer is not a type object', message", id="lexer-not-a-class",
        ),
        pytest.param(
            "class Smaller:\n    pass\ntarvix.lexer.Lexer = Smaller", RESTORE_LEXER, "ValueError",
            "check_size_message(message, Smaller)", id="lexer-smaller",
        ),
        pytest.param(
            "warnings.simplefilter('error', RuntimeWarning)\ntarvix.lexer.Lexer = Larger",
            "warnings.resetwarnings()\n" + RESTORE_LEXER, "RuntimeWarning",
            "check_size_message(message, Larger)", id="lexer-larger-warning-as-error",
        ),
        pytest.param(
            "tarvix.lexer.Lexer = SameSize", RESTORE_LEXER, "KeyError", "", id="lexer-without-method-table",
        ),
    ],
)
def test_import_fails_on_unusable_import_and_works_once_restored(run_python, setup, restore, error, check):
    run_python(
        "\n".join([
            CHILD_PRELUDE, setup, f"message = import_idd_fails({error})", check, restore,
            "import tarvix.idd",
            "assert tarvix.idd.IDD.from_string('Version,A1;\\\\default 2.5').version == '2.5'",
        ])
    )


def test_larger_lexer_class_only_warns(run_python):
    # The module is not used for loading afterwards: its Lexer is not a real one.
    run_python(
        CHILD_PRELUDE
        + """
tarvix.lexer.Lexer = Larger
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import tarvix.idd
assert [w.category for w in caught] == [RuntimeWarning], caught
check_size_message(str(caught[0].message), Larger)
assert tarvix.idd.IDD.__new__(tarvix.idd.IDD).num_classes == 0
"""
    )


def test_importing_idd_imports_lexer_and_utils(run_python):
    run_python(
        """
        import sys
        assert "tarvix.lexer" not in sys.modules and "tarvix.utils" not in sys.modules
        import tarvix.idd
        assert "tarvix.lexer" in sys.modules and "tarvix.utils" in sys.modules
        """
    )


def test_execution_on_second_module_object_raises_runtime_error(run_python):
    run_python(
        """
        import _imp
        location = locate_extension("idd")
        first = _imp.create_dynamic(location)
        second = _imp.create_dynamic(location)
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)
        assert first.IDD.from_string("Zone,A1;").num_classes == 1
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as error:
            message = str(error)
        else:
            raise AssertionError("second module object was executed")
        expected = "Module 'idd' has already been imported. Re-initialisation is not supported."
        assert message == expected, message
        """
    )
