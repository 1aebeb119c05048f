"""Tests of tarvix.utils: the string helpers behind the debug_ functions,
their argument rules, the published native function table, file reading
through read_utf8_bytes, and module initialisation."""

import ctypes
import gc
import pathlib
import re
import time
import warnings

import pytest

import tarvix.utils as utils

DEBUG_FUNCTION_NAMES = [
    "debug_to_lower",
    "debug_to_upper",
    "debug_equal_fold",
    "debug_trim_string",
    "debug_trim_newlines",
    "debug_has_prefix",
    "debug_has_suffix",
    "debug_cut_prefix",
    "debug_cut_suffix",
    "debug_get_current_time",
]

PUBLISHED_FUNCTION_NAMES = [
    "read_utf8_bytes",
    "get_continuous_digits_indices",
    "any_to_string",
    "get_current_time",
]


class StrSubclass(str):
    pass


# ---------------------------------------------------------------------------
# Module contents
# ---------------------------------------------------------------------------


def test_debug_functions_are_created_in_order():
    names = [name for name in vars(utils) if name.startswith("debug_")]
    assert names == DEBUG_FUNCTION_NAMES


@pytest.mark.parametrize("name", DEBUG_FUNCTION_NAMES)
def test_debug_functions_are_callable_without_docstring(name):
    func = getattr(utils, name)
    assert callable(func)
    assert func.__doc__ is None


def test_function_table_lists_published_functions_in_order():
    table = utils._c_api
    assert type(table) is dict
    assert list(table) == PUBLISHED_FUNCTION_NAMES


_capsule_get_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_get_name.restype = ctypes.c_char_p
_capsule_get_name.argtypes = [ctypes.py_object]

_capsule_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_get_pointer.restype = ctypes.c_void_p
_capsule_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


@pytest.mark.parametrize("name", PUBLISHED_FUNCTION_NAMES)
def test_function_table_entries_are_capsules_named_by_signature(name):
    capsule = utils._c_api[name]
    assert type(capsule).__name__ == "PyCapsule"
    signature = _capsule_get_name(capsule)
    assert signature, "capsule carries no signature text"
    assert _capsule_get_pointer(capsule, signature)


def test_function_table_signatures_are_distinct():
    signatures = [_capsule_get_name(utils._c_api[n]) for n in PUBLISHED_FUNCTION_NAMES]
    assert len(set(signatures)) == len(signatures)


# ---------------------------------------------------------------------------
# ASCII case conversion
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "s, expected",
    [
        ("", ""),
        ("ABC-xyz_09", "abc-xyz_09"),
        ("Zone", "zone"),
        ("@[`{", "@[`{"),
        ("ÀÉÎ Zone", "ÀÉÎ zone"),
        ("ΣΑΣ", "ΣΑΣ"),
        ("İSTANBUL", "İstanbul"),
        ("A\x00B", "a\x00b"),
    ],
)
def test_to_lower_folds_only_ascii_letters(s, expected):
    result = utils.debug_to_lower(s)
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize(
    "s, expected",
    [
        ("", ""),
        ("abc-XYZ_09", "ABC-XYZ_09"),
        ("zone", "ZONE"),
        ("@[`{", "@[`{"),
        ("café zone", "CAFé ZONE"),
        ("straße", "STRAßE"),
        ("ﬁle", "ﬁLE"),
        ("a\x00b", "A\x00B"),
    ],
)
def test_to_upper_folds_only_ascii_letters(s, expected):
    result = utils.debug_to_upper(s)
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ("Zone", "ZONE", True),
        ("Zone", "zone", True),
        ("", "", True),
        ("BuildingSurface:Detailed", "buildingsurface:DETAILED", True),
        ("Zone", "Zone ", False),
        ("Zone", "Zon", False),
        ("", "a", False),
        ("[", "{", False),
        ("@", "`", False),
        ("^", "~", False),
        ("é", "É", False),
        ("é", "é", True),
        ("a", "b", False),
        ("a\x00", "A\x00", True),
    ],
)
def test_equal_fold_compares_ascii_case_insensitively(a, b, expected):
    assert utils.debug_equal_fold(a, b) is expected
    assert utils.debug_equal_fold(b, a) is expected


# ---------------------------------------------------------------------------
# Trimming
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "s, expected",
    [
        ("", ""),
        (" \t\r\n", ""),
        ("\r\n \t \n\r", ""),
        ("  a b  ", "a b"),
        ("\t\r\n Zone Name \n\t", "Zone Name"),
        ("a \t\r\n b", "a \t\r\n b"),
        ("\fabc", "\fabc"),
        ("abc\f", "abc\f"),
        ("\vabc\v", "\vabc\v"),
        ("\u00a0abc\u00a0", "\u00a0abc\u00a0"),
        ("\u3000x\u3000", "\u3000x\u3000"),
        (" é ", "é"),
        ("x", "x"),
    ],
)
def test_trim_string_removes_blanks_and_line_ends_at_both_ends(s, expected):
    result = utils.debug_trim_string(s)
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize(
    "s, expected",
    [
        ("", ""),
        ("\r\n\nabc\n\r", "abc"),
        (" abc \n", " abc "),
        ("\n\r\n\r", ""),
        ("\tabc\t", "\tabc\t"),
        ("a\r\nb", "a\r\nb"),
        ("\n \n", " "),
        ("\n\u00e9\r", "\u00e9"),
    ],
)
def test_trim_newlines_removes_only_line_end_bytes_at_both_ends(s, expected):
    result = utils.debug_trim_newlines(s)
    assert type(result) is str
    assert result == expected


# ---------------------------------------------------------------------------
# Prefix and suffix tests and removal
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "s, prefix, expected",
    [
        ("", "", True),
        ("abc", "", True),
        ("abc", "ab", True),
        ("abc", "abc", True),
        ("ab", "abc", False),
        ("", "a", False),
        ("Abc", "abc", False),
        ("abc", "b", False),
        ("\u00e9t\u00e9", "\u00e9", True),
        ("\\field Name", "\\field", True),
    ],
)
def test_has_prefix(s, prefix, expected):
    assert utils.debug_has_prefix(s, prefix) is expected


@pytest.mark.parametrize(
    "s, suffix, expected",
    [
        ("", "", True),
        ("abc", "", True),
        ("abc", "bc", True),
        ("abc", "abc", True),
        ("bc", "abc", False),
        ("", "a", False),
        ("abC", "abc", False),
        ("abc", "b", False),
        ("caf\u00e9", "\u00e9", True),
        ("Vertex 1 X-coordinate", "-coordinate", True),
    ],
)
def test_has_suffix(s, suffix, expected):
    assert utils.debug_has_suffix(s, suffix) is expected


@pytest.mark.parametrize(
    "s, prefix, expected",
    [
        ("object-list", "object-", ("list", True)),
        ("Object-list", "object-", ("Object-list", False)),
        ("abc", "abc", ("", True)),
        ("", "", ("", True)),
        ("abc", "", ("abc", True)),
        ("ab", "abc", ("ab", False)),
        ("", "x", ("", False)),
        ("\u00e9\u00e9x", "\u00e9", ("\u00e9x", True)),
    ],
)
def test_cut_prefix(s, prefix, expected):
    result = utils.debug_cut_prefix(s, prefix)
    assert type(result) is tuple
    assert result == expected
    assert result[1] is expected[1]


@pytest.mark.parametrize(
    "s, suffix, expected",
    [
        ("abc", "abc", ("", True)),
        ("abc", "bc", ("a", True)),
        ("abc", "BC", ("abc", False)),
        ("", "", ("", True)),
        ("abc", "", ("abc", True)),
        ("bc", "abc", ("bc", False)),
        ("", "x", ("", False)),
        ("x\u00e9\u00e9", "\u00e9", ("x\u00e9", True)),
    ],
)
def test_cut_suffix(s, suffix, expected):
    result = utils.debug_cut_suffix(s, suffix)
    assert type(result) is tuple
    assert result == expected
    assert result[1] is expected[1]


# ---------------------------------------------------------------------------
# Argument rules of the debug_ functions
# ---------------------------------------------------------------------------

# (function name, parameter names)
STRING_FUNCTIONS = [
    ("debug_to_lower", ("s",)),
    ("debug_to_upper", ("s",)),
    ("debug_equal_fold", ("a", "b")),
    ("debug_trim_string", ("s",)),
    ("debug_trim_newlines", ("s",)),
    ("debug_has_prefix", ("s", "prefix")),
    ("debug_has_suffix", ("s", "suffix")),
    ("debug_cut_prefix", ("s", "prefix")),
    ("debug_cut_suffix", ("s", "suffix")),
]

WRONG_TYPE_CASES = [
    (b"abc", "bytes"),
    (bytearray(b"abc"), "bytearray"),
    (1, "int"),
    (1.5, "float"),
    (True, "bool"),
    (["a"], "list"),
    (StrSubclass("abc"), "StrSubclass"),
]


def _wrong_type_calls():
    for func_name, params in STRING_FUNCTIONS:
        for position, param in enumerate(params):
            for value, type_name in WRONG_TYPE_CASES:
                yield pytest.param(
                    func_name,
                    len(params),
                    position,
                    value,
                    f"Argument '{param}' has incorrect type "
                    f"(expected str, got {type_name})",
                    id=f"{func_name}-{param}-{type_name}",
                )


@pytest.mark.parametrize("func_name, arity, position, value, message", list(_wrong_type_calls()))
def test_argument_of_other_type_than_str_raises_type_error(
    func_name, arity, position, value, message
):
    args = ["x"] * arity
    args[position] = value
    with pytest.raises(TypeError) as excinfo:
        getattr(utils, func_name)(*args)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "func_name, args, message",
    [
        # every parameter is type-checked before any None is encoded
        (
            "debug_has_prefix",
            (None, b"x"),
            "Argument 'prefix' has incorrect type (expected str, got bytes)",
        ),
        (
            "debug_equal_fold",
            (None, 3),
            "Argument 'b' has incorrect type (expected str, got int)",
        ),
        (
            "debug_cut_suffix",
            (None, StrSubclass("x")),
            "Argument 'suffix' has incorrect type (expected str, got StrSubclass)",
        ),
        # parameters are checked from the left
        (
            "debug_cut_prefix",
            (b"x", 3),
            "Argument 's' has incorrect type (expected str, got bytes)",
        ),
    ],
)
def test_type_checks_of_all_arguments_come_before_none_is_rejected(func_name, args, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(utils, func_name)(*args)
    assert str(excinfo.value) == message


def _none_calls():
    for func_name, params in STRING_FUNCTIONS:
        arity = len(params)
        for position in range(arity):
            args = ["x"] * arity
            args[position] = None
            yield pytest.param(func_name, tuple(args), id=f"{func_name}-{params[position]}")
        if arity == 2:
            yield pytest.param(func_name, (None, None), id=f"{func_name}-both")


@pytest.mark.parametrize("func_name, args", list(_none_calls()))
def test_none_argument_raises_attribute_error(func_name, args):
    with pytest.raises(AttributeError) as excinfo:
        getattr(utils, func_name)(*args)
    assert type(excinfo.value) is AttributeError
    assert str(excinfo.value) == "'NoneType' object has no attribute 'encode'"


@pytest.mark.parametrize(
    "func_name, args",
    [
        ("debug_to_lower", ("\ud800",)),
        ("debug_trim_string", (" \udfff ",)),
        ("debug_equal_fold", ("a", "\ud83d")),
        ("debug_has_suffix", ("abc\udc80", "c")),
        ("debug_cut_prefix", ("abc", "\ud800")),
    ],
)
def test_lone_surrogate_argument_raises_unicode_encode_error(func_name, args):
    with pytest.raises(UnicodeEncodeError):
        getattr(utils, func_name)(*args)


@pytest.mark.parametrize(
    "func_name, kwargs, expected",
    [
        ("debug_to_lower", {"s": "AbC"}, "abc"),
        ("debug_to_upper", {"s": "AbC"}, "ABC"),
        ("debug_equal_fold", {"b": "ZONE", "a": "zone"}, True),
        ("debug_trim_string", {"s": " x "}, "x"),
        ("debug_trim_newlines", {"s": "\nx\n"}, "x"),
        ("debug_has_prefix", {"prefix": "ab", "s": "abc"}, True),
        ("debug_has_suffix", {"s": "abc", "suffix": "bc"}, True),
        ("debug_cut_prefix", {"s": "object-list", "prefix": "object-"}, ("list", True)),
        ("debug_cut_suffix", {"suffix": "c", "s": "abc"}, ("ab", True)),
    ],
)
def test_arguments_can_be_given_by_keyword(func_name, kwargs, expected):
    assert getattr(utils, func_name)(**kwargs) == expected


@pytest.mark.parametrize(
    "func_name, args, kwargs",
    [
        ("debug_has_prefix", ("abc",), {"prefix": "ab"}),
        ("debug_cut_suffix", ("abc",), {"suffix": "c"}),
        ("debug_equal_fold", ("a",), {"b": "A"}),
    ],
)
def test_positional_and_keyword_arguments_can_be_mixed(func_name, args, kwargs):
    func = getattr(utils, func_name)
    assert func(*args, **kwargs) == func(*args, *kwargs.values())


@pytest.mark.parametrize(
    "func_name, args, kwargs",
    [
        ("debug_to_lower", (), {}),
        ("debug_to_lower", ("a", "b"), {}),
        ("debug_to_lower", (), {"x": "a"}),
        ("debug_to_lower", ("a",), {"s": "a"}),
        ("debug_to_upper", (), {"string": "a"}),
        ("debug_equal_fold", ("a",), {}),
        ("debug_equal_fold", ("a", "b", "c"), {}),
        ("debug_equal_fold", ("a",), {"c": "b"}),
        ("debug_trim_string", (), {}),
        ("debug_trim_newlines", ("a", "b"), {}),
        ("debug_has_prefix", ("a",), {}),
        ("debug_has_prefix", ("a", "b"), {"prefix": "b"}),
        ("debug_has_suffix", ("a", "b"), {"prefix": "b"}),
        ("debug_cut_prefix", (), {"s": "a"}),
        ("debug_cut_suffix", ("a", "b", "c"), {}),
        ("debug_get_current_time", ("x",), {}),
        ("debug_get_current_time", (), {"s": "x"}),
    ],
)
def test_wrong_argument_count_or_unknown_keyword_raises_type_error(func_name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(utils, func_name)(*args, **kwargs)


# ---------------------------------------------------------------------------
# Local timestamp
# ---------------------------------------------------------------------------


def test_get_current_time_gives_local_timestamp():
    before = time.time()
    result = utils.debug_get_current_time()
    after = time.time()
    assert type(result) is str
    assert len(result) == 19
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", result)
    stamp = time.mktime(time.strptime(result, "%Y-%m-%d %H:%M:%S"))
    # whole seconds, local time; allow for the clock ticking during the call
    assert int(before) - 2 <= stamp <= after + 2


# ---------------------------------------------------------------------------
# read_utf8_bytes, reached through its capsule
# ---------------------------------------------------------------------------


class ReadOptions(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int32), ("encoding", ctypes.py_object)]


READ_UTF8_BYTES_TYPE = ctypes.PYFUNCTYPE(
    ctypes.py_object, ctypes.py_object, ctypes.POINTER(ReadOptions)
)


@pytest.fixture(scope="module")
def read_utf8_bytes():
    capsule = utils._c_api["read_utf8_bytes"]
    native = READ_UTF8_BYTES_TYPE(
        _capsule_get_pointer(capsule, _capsule_get_name(capsule))
    )

    def call(filepath, *encoding, n=None):
        """call(path) passes no record; call(path, enc) a record with count 1;
        n= overrides the count of the record."""
        if not encoding and n is None:
            return native(filepath, None)
        options = ReadOptions(
            len(encoding) if n is None else n,
            encoding[0] if encoding else None,
        )
        return native(filepath, ctypes.byref(options))

    return call


BOM = b"\xef\xbb\xbf"
INVALID_UTF8_TAIL = "' cannot be read in UTF-8. Encoding needs to be specified."


def _write(tmp_path, content, name="input.idf"):
    path = tmp_path / name
    path.write_bytes(content)
    return path


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"", b""),
        (BOM, b""),
        (b"Zone,Z1;\n", b"Zone,Z1;\n"),
        (BOM + b"Zone,Z1;\n", b"Zone,Z1;\n"),
        ("Zone,Zoné 1;\r\n".encode(), "Zone,Zoné 1;\r\n".encode()),
        (BOM + BOM + b"x", BOM + b"x"),
        (b"a" + BOM, b"a" + BOM),
        (b"\x00\x01", b"\x00\x01"),
    ],
)
@pytest.mark.parametrize(
    "encoding_args",
    [(), (None,), ("utf-8",), ("UTF8",)],
    ids=["no-record", "encoding-none", "utf-8", "UTF8"],
)
def test_read_drops_one_leading_byte_order_mark(read_utf8_bytes, tmp_path, content, expected, encoding_args):
    path = _write(tmp_path, content)
    result = read_utf8_bytes(str(path), *encoding_args)
    assert type(result) is bytes
    assert result == expected


def test_read_utf8_with_and_without_byte_order_mark_gives_same_bytes(read_utf8_bytes, tmp_path):
    text = "Version,8.8;\n! comment é €\nZone,Zoné;\n".encode()
    plain = _write(tmp_path, text, "plain.idf")
    marked = _write(tmp_path, BOM + text, "marked.idf")
    for encoding_args in [(), (None,), ("utf-8",), ("UTF8",), ("utf_8",)]:
        assert read_utf8_bytes(str(plain), *encoding_args) == text
        assert read_utf8_bytes(str(marked), *encoding_args) == text


@pytest.mark.parametrize(
    "make_path",
    [str, pathlib.Path, lambda p: str(p).encode()],
    ids=["str", "Path", "bytes"],
)
def test_read_invalid_utf8_without_encoding_raises_unicode_error(read_utf8_bytes, tmp_path, make_path):
    path = make_path(_write(tmp_path, b"Zone,caf\xe9;\n"))
    with pytest.raises(UnicodeError) as excinfo:
        read_utf8_bytes(path)
    error = excinfo.value
    assert type(error) is UnicodeError
    assert str(error) == f"'{path}" + INVALID_UTF8_TAIL
    assert isinstance(error.__cause__, UnicodeDecodeError)


@pytest.mark.parametrize(
    "content",
    [
        b"\xe9",
        b"Zone;\xff",
        BOM + b"\xc0\x80",
        b"\xed\xa0\x80",
        b"\xf4\x90\x80\x80",
        b"abc\xe2\x82",
    ],
)
@pytest.mark.parametrize(
    "call_args",
    [(), (None,)],
    ids=["no-record", "encoding-none"],
)
def test_read_without_encoding_checks_utf8_strictly(read_utf8_bytes, tmp_path, content, call_args):
    path = _write(tmp_path, content)
    with pytest.raises(UnicodeError) as excinfo:
        read_utf8_bytes(str(path), *call_args)
    assert type(excinfo.value) is UnicodeError
    assert str(excinfo.value) == f"'{path}" + INVALID_UTF8_TAIL
    assert isinstance(excinfo.value.__cause__, UnicodeDecodeError)


def test_read_record_with_count_zero_means_no_encoding(read_utf8_bytes, tmp_path):
    path = _write(tmp_path, b"caf\xe9")
    with pytest.raises(UnicodeError) as excinfo:
        read_utf8_bytes(str(path), "latin-1", n=0)
    assert type(excinfo.value) is UnicodeError
    assert str(excinfo.value) == f"'{path}" + INVALID_UTF8_TAIL
    good = _write(tmp_path, BOM + b"ok", "good.idf")
    assert read_utf8_bytes(str(good), "latin-1", n=0) == b"ok"


@pytest.mark.parametrize(
    "content, encoding, expected",
    [
        (b"caf\xe9", "latin-1", b"caf\xc3\xa9"),
        (b"caf\xe9", "LATIN-1", b"caf\xc3\xa9"),
        (b"caf\xe9", "iso-8859-1", b"caf\xc3\xa9"),
        (b"\x80 100", "cp1252", b"\xe2\x82\xac 100"),
        (b"Zone;", "ascii", b"Zone;"),
        ("Zoné".encode("utf-16"), "utf-16", "Zoné".encode()),
        (BOM + b"caf\xe9", "latin-1", b"caf\xc3\xa9"),
        (BOM, "latin-1", b""),
        (BOM + BOM, "latin-1", "\u00ef\u00bb\u00bf".encode()),
        ("Zoné €".encode(), "utf_8", "Zoné €".encode()),
        (b"", "latin-1", b""),
    ],
)
def test_read_with_encoding_converts_to_utf8(read_utf8_bytes, tmp_path, content, encoding, expected):
    path = _write(tmp_path, content)
    result = read_utf8_bytes(str(path), encoding)
    assert type(result) is bytes
    assert result == expected


@pytest.mark.parametrize("encoding", ["utf-8", "UTF-8", "Utf-8", "utf8", "UTF8"])
@pytest.mark.parametrize(
    "content, expected",
    [
        (b"caf\xe9", b"caf\xe9"),
        (b"\xc0\x80\xed\xa0\x80\xff", b"\xc0\x80\xed\xa0\x80\xff"),
        (BOM + b"\xff", b"\xff"),
    ],
)
def test_read_with_utf8_encoding_returns_bytes_unchecked(read_utf8_bytes, tmp_path, encoding, content, expected):
    path = _write(tmp_path, content)
    assert read_utf8_bytes(str(path), encoding) == expected


@pytest.mark.parametrize("encoding", ["utf_8", "U8", "UTF"])
def test_read_with_other_utf8_alias_is_checked(read_utf8_bytes, tmp_path, encoding):
    path = _write(tmp_path, b"caf\xe9")
    with pytest.raises(UnicodeDecodeError):
        read_utf8_bytes(str(path), encoding)


@pytest.mark.parametrize("encoding", ["no-such-codec", "latin-2000", "utf-9"])
def test_read_with_unknown_encoding_raises_lookup_error(read_utf8_bytes, tmp_path, encoding):
    path = _write(tmp_path, b"Zone;")
    with pytest.raises(LookupError):
        read_utf8_bytes(str(path), encoding)


@pytest.mark.parametrize(
    "content, encoding",
    [
        (b"caf\xe9", "ascii"),
        (b"\x81", "cp1252"),
        (b"\x00", "utf-16"),
        (b"\xff\xfe", "utf_8"),
    ],
)
def test_read_undecodable_content_raises_unicode_decode_error_unchanged(
    read_utf8_bytes, tmp_path, content, encoding
):
    path = _write(tmp_path, content)
    with pytest.raises(UnicodeDecodeError) as excinfo:
        read_utf8_bytes(str(path), encoding)
    try:
        content.decode(encoding)
    except UnicodeDecodeError as reference:
        assert str(excinfo.value) == str(reference)
    else:  # pragma: no cover - the cases above never decode
        pytest.fail("test case decodes")


@pytest.mark.parametrize("encoding_args", [(), ("latin-1",), ("utf-8",)])
def test_read_missing_file_raises_file_not_found_error(read_utf8_bytes, tmp_path, encoding_args):
    with pytest.raises(FileNotFoundError):
        read_utf8_bytes(str(tmp_path / "missing.idf"), *encoding_args)


def test_read_directory_raises_os_error(read_utf8_bytes, tmp_path):
    with pytest.raises(OSError):
        read_utf8_bytes(str(tmp_path))


@pytest.mark.parametrize(
    "make_path",
    [str, pathlib.Path, lambda p: str(p).encode()],
    ids=["str", "Path", "bytes"],
)
def test_read_accepts_any_path_that_open_accepts(read_utf8_bytes, tmp_path, make_path):
    path = make_path(_write(tmp_path, BOM + b"Zone,Z1;"))
    assert read_utf8_bytes(path) == b"Zone,Z1;"
    assert read_utf8_bytes(path, "latin-1") == b"Zone,Z1;"


@pytest.mark.parametrize(
    "content, encoding_args, error",
    [
        (b"Zone;", (), None),
        (b"caf\xe9", (), UnicodeError),
        (b"caf\xe9", ("latin-1",), None),
        (b"caf\xe9", ("ascii",), UnicodeDecodeError),
        (b"caf\xe9", ("no-such-codec",), LookupError),
    ],
)
def test_read_closes_the_file_on_every_path(read_utf8_bytes, tmp_path, content, encoding_args, error):
    path = _write(tmp_path, content)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        if error is None:
            read_utf8_bytes(str(path), *encoding_args)
        else:
            with pytest.raises(error):
                read_utf8_bytes(str(path), *encoding_args)
        gc.collect()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


# ---------------------------------------------------------------------------
# Module initialisation (in fresh interpreters)
#
# These checks depend on how the import system drives multi-phase
# initialisation (create, then execute). If one of them proves unworkable
# with the implementation, adjust it here rather than removing the rule.
# ---------------------------------------------------------------------------


def test_import_after_removal_from_sys_modules_gives_working_module(run_python):
    run_python(
        """
        import sys
        import tarvix.utils as first
        del sys.modules["tarvix.utils"]
        import tarvix.utils as second
        for module in (first, second):
            assert module.debug_to_upper("zone") == "ZONE"
            assert module.debug_cut_prefix("object-list", "object-") == ("list", True)
            assert list(module._c_api) == [
                "read_utf8_bytes",
                "get_continuous_digits_indices",
                "any_to_string",
                "get_current_time",
            ]
        """
    )


def test_execution_on_second_module_object_raises_runtime_error(run_python):
    run_python(
        """
        import _imp
        location = locate_extension("utils")
        first = _imp.create_dynamic(location)
        second = _imp.create_dynamic(location)
        assert first is not second
        _imp.exec_dynamic(first)
        assert first.debug_to_lower("ZONE") == "zone"
        # executing the same module object again succeeds at once
        _imp.exec_dynamic(first)
        assert first.debug_to_lower("ZONE") == "zone"
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as error:
            message = str(error)
        else:
            raise AssertionError("second module object was executed")
        expected = (
            "Module 'utils' has already been imported. "
            "Re-initialisation is not supported."
        )
        assert message == expected, message
        """
    )


def test_failed_execution_leaves_module_uninitialised(run_python):
    # A missing built-in `open` fails execution; once it is back, executing
    # a new module object succeeds.
    run_python(
        """
        import _imp
        import builtins
        location = locate_extension("utils")
        saved_open = builtins.open
        del builtins.open
        try:
            failed = _imp.create_dynamic(location)
            _imp.exec_dynamic(failed)
        except NameError as error:
            message = str(error)
        else:
            raise AssertionError("execution succeeded without built-in open")
        finally:
            builtins.open = saved_open
        assert message == "name 'open' is not defined", message

        module = _imp.create_dynamic(location)
        _imp.exec_dynamic(module)
        assert module.debug_trim_string("  x  ") == "x"
        assert list(module._c_api) == [
            "read_utf8_bytes",
            "get_continuous_digits_indices",
            "any_to_string",
            "get_current_time",
        ]
        """
    )
