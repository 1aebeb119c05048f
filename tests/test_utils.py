"""Tests of tarvix.utils: the string helpers behind the debug_ functions and
their argument rules, the published native function table, file reading
through read_utf8_bytes, and module initialisation."""

import ctypes
import gc
import pathlib
import time
import warnings

import pytest

import tarvix.utils as utils

PUBLISHED = ["read_utf8_bytes", "get_continuous_digits_indices", "any_to_string", "get_current_time"]

# (function name, parameter names), in the order the module creates them
STRING_FUNCTIONS = [
    ("debug_to_lower", ("s",)), ("debug_to_upper", ("s",)), ("debug_equal_fold", ("a", "b")),
    ("debug_trim_string", ("s",)), ("debug_trim_newlines", ("s",)),
    ("debug_has_prefix", ("s", "prefix")), ("debug_has_suffix", ("s", "suffix")),
    ("debug_cut_prefix", ("s", "prefix")), ("debug_cut_suffix", ("s", "suffix")),
]


class StrSubclass(str):
    pass


_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype, _capsule_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype, _capsule_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]


def test_module_contents():
    names = [name for name in vars(utils) if name.startswith("debug_")]
    assert names == [name for name, _ in STRING_FUNCTIONS] + ["debug_get_current_time"]
    assert all(getattr(utils, name).__doc__ is None for name in names)
    table = utils._c_api
    assert type(table) is dict and list(table) == PUBLISHED
    signatures = [_capsule_name(capsule) for capsule in table.values()]
    assert all(signatures) and len(set(signatures)) == len(signatures)
    for capsule, signature in zip(table.values(), signatures):
        assert _capsule_pointer(capsule, signature)


# --- String helpers ---


@pytest.mark.parametrize(
    "func_name, args, expected",
    [
        # only the ASCII letters fold; the neighbours of A-Z and a-z stay
        ("debug_to_lower", ("ABC-xyz_09@[`{",), "abc-xyz_09@[`{"), ("debug_to_lower", ("",), ""),
        ("debug_to_lower", ("ÀÉ İZONE\x00",), "ÀÉ İzone\x00"),
        ("debug_to_upper", ("abc-XYZ_09@[`{",), "ABC-XYZ_09@[`{"), ("debug_to_upper", ("café ßﬁ",), "CAFé ßﬁ"),
        ("debug_equal_fold", ("Surface:Detailed", "surface:DETAILED"), True), ("debug_equal_fold", ("", ""), True),
        ("debug_equal_fold", ("a\x00", "A\x00"), True), ("debug_equal_fold", ("Zone", "Zone "), False),
        ("debug_equal_fold", ("Zone", "Zonf"), False), ("debug_equal_fold", ("é", "É"), False),
        ("debug_equal_fold", ("[", "{"), False), ("debug_equal_fold", ("@", "`"), False),
        # trim_string: exactly space, tab, CR and LF at both ends
        ("debug_trim_string", ("",), ""), ("debug_trim_string", ("\r\n \t \n\r",), ""),
        ("debug_trim_string", ("\t\r\n a \t\r\n b \n\t",), "a \t\r\n b"),
        ("debug_trim_string", ("\f\vx\u00a0",), "\f\vx\u00a0"), ("debug_trim_string", (" é ",), "é"),
        # trim_newlines: any run of CR and LF at both ends; blanks stay
        ("debug_trim_newlines", ("\r\n\nabc\n\r",), "abc"), ("debug_trim_newlines", ("\n\r\n\r",), ""),
        ("debug_trim_newlines", ("\n \tabc\t \n",), " \tabc\t "), ("debug_trim_newlines", ("a\r\nb",), "a\r\nb"),
        ("debug_has_prefix", ("", ""), True), ("debug_has_prefix", ("été", "é"), True),
        ("debug_has_prefix", ("ab", "abc"), False), ("debug_has_prefix", ("Abc", "abc"), False),
        ("debug_has_suffix", ("abc", ""), True), ("debug_has_suffix", ("café", "é"), True),
        ("debug_has_suffix", ("bc", "abc"), False), ("debug_has_suffix", ("abC", "bc"), False),
        ("debug_cut_prefix", ("object-list", "object-"), ("list", True)),
        ("debug_cut_prefix", ("Object-list", "object-"), ("Object-list", False)),
        ("debug_cut_prefix", ("", ""), ("", True)), ("debug_cut_prefix", ("ééx", "é"), ("éx", True)),
        ("debug_cut_suffix", ("abc", "abc"), ("", True)), ("debug_cut_suffix", ("abc", "BC"), ("abc", False)),
        ("debug_cut_suffix", ("bc", "abc"), ("bc", False)), ("debug_cut_suffix", ("xéé", "é"), ("xé", True)),
    ],
)
def test_string_helper(func_name, args, expected):
    result = getattr(utils, func_name)(*args)
    assert type(result) is type(expected)
    assert result == expected
    if type(expected) is tuple:
        assert type(result[0]) is str and result[1] is expected[1]
    if func_name == "debug_equal_fold":
        assert utils.debug_equal_fold(*reversed(args)) is expected


def test_get_current_time_gives_local_timestamp():
    before = time.time()
    result = utils.debug_get_current_time()
    after = time.time()
    assert type(result) is str and len(result) == 19
    stamp = time.mktime(time.strptime(result, "%Y-%m-%d %H:%M:%S"))
    assert int(before) - 2 <= stamp <= after + 2


# --- Argument rules of the debug_ functions ---


@pytest.mark.parametrize("func_name, params", STRING_FUNCTIONS, ids=[n for n, _ in STRING_FUNCTIONS])
def test_argument_rules(func_name, params):
    func = getattr(utils, func_name)
    values = ["BaB", "B"][: len(params)]  # swapped, prefix and suffix results differ
    # by keyword, in any order, or mixed with positions
    assert func(**dict(reversed(list(zip(params, values))))) == func(*values)
    assert func(*values[:1], **dict(zip(params[1:], values[1:]))) == func(*values)
    for position, param in enumerate(params):
        for value in (b"x", 1, True, StrSubclass("x")):
            args = list(values)
            args[position] = value
            with pytest.raises(TypeError) as excinfo:
                func(*args)
            assert str(excinfo.value) == (
                f"Argument '{param}' has incorrect type (expected str, got {type(value).__name__})"
            )
        args = list(values)
        args[position] = None
        with pytest.raises(AttributeError) as excinfo:
            func(*args)
        assert str(excinfo.value) == "'NoneType' object has no attribute 'encode'"


def test_type_checks_of_all_arguments_come_first_from_the_left():
    for call, param, type_name in [
        (lambda: utils.debug_has_prefix(None, b"x"), "prefix", "bytes"),
        (lambda: utils.debug_cut_suffix(None, StrSubclass()), "suffix", "StrSubclass"),
        (lambda: utils.debug_cut_prefix(b"x", 3), "s", "bytes"),
    ]:
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == f"Argument '{param}' has incorrect type (expected str, got {type_name})"


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        utils.debug_trim_string(" \udfff ")
    with pytest.raises(UnicodeEncodeError):
        utils.debug_cut_prefix("abc", "\ud800")


def test_wrong_argument_count_or_keyword_raises_type_error():
    for call in [
        lambda: utils.debug_to_lower(),
        lambda: utils.debug_equal_fold("a", "b", "c"),
        lambda: utils.debug_to_upper(string="a"),
        lambda: utils.debug_has_prefix("a", "b", prefix="b"),
        lambda: utils.debug_get_current_time("x"),
        lambda: utils.debug_get_current_time(s="x"),
    ]:
        with pytest.raises(TypeError):
            call()


# --- read_utf8_bytes, reached through its capsule ---


class ReadOptions(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int32), ("encoding", ctypes.py_object)]


@pytest.fixture(scope="module")
def read_utf8_bytes():
    capsule = utils._c_api["read_utf8_bytes"]
    signature = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.POINTER(ReadOptions))
    native = signature(_capsule_pointer(capsule, _capsule_name(capsule)))

    def call(filepath, *encoding, n=None):
        """call(path): no record; call(path, enc): a record with count 1, or n."""
        if not encoding and n is None:
            return native(filepath, None)
        options = ReadOptions(len(encoding) if n is None else n, encoding[0] if encoding else None)
        return native(filepath, ctypes.byref(options))

    return call


BOM = b"\xef\xbb\xbf"


@pytest.fixture
def write(tmp_path):
    def write(content):
        path = tmp_path / "input.idf"
        path.write_bytes(content)
        return path

    return write


def cannot_read(path):
    return f"'{path}' cannot be read in UTF-8. Encoding needs to be specified."


@pytest.mark.parametrize(
    "content, expected",
    [(b"", b""), (BOM, b""), (BOM + b"Zone;\r\n", b"Zone;\r\n"), (BOM + BOM, BOM), (b"a" + BOM, b"a" + BOM)],
)
@pytest.mark.parametrize("encoding_args", [(), (None,), ("UTF8",), ("utf_8",)])
def test_read_drops_one_leading_byte_order_mark(read_utf8_bytes, write, content, expected, encoding_args):
    result = read_utf8_bytes(str(write(content)), *encoding_args)
    assert type(result) is bytes and result == expected


@pytest.mark.parametrize("make_path", [str, pathlib.Path, lambda p: str(p).encode()], ids=["str", "Path", "bytes"])
def test_read_accepts_any_path_that_open_accepts(read_utf8_bytes, write, make_path):
    path = make_path(write(BOM + b"Zone;"))
    assert read_utf8_bytes(path) == read_utf8_bytes(path, "latin-1") == b"Zone;"
    path = make_path(write(b"caf\xe9"))
    with pytest.raises(UnicodeError) as excinfo:
        read_utf8_bytes(path)
    assert str(excinfo.value) == cannot_read(path)


# overlong, surrogate, above U+10FFFF, truncated, and a byte that is never valid
@pytest.mark.parametrize("content", [BOM + b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"a\xe2\x82", b"a;\xff"])
@pytest.mark.parametrize("call_args, n", [((), None), ((None,), None), (("latin-1",), 0)], ids=["-", "None", "count0"])
def test_read_without_encoding_checks_utf8_strictly(read_utf8_bytes, write, content, call_args, n):
    path = str(write(content))
    with pytest.raises(UnicodeError) as excinfo:
        read_utf8_bytes(path, *call_args, n=n)
    assert type(excinfo.value) is UnicodeError
    assert str(excinfo.value) == cannot_read(path)
    assert excinfo.value.__notes__ == ['Give the file\'s encoding with encoding=, for example encoding="cp1252".']
    assert type(excinfo.value.__cause__) is UnicodeDecodeError


@pytest.mark.parametrize(
    "content, encoding, expected",
    [
        (b"caf\xe9", "LATIN-1", b"caf\xc3\xa9"),
        (b"\x80 100", "cp1252", "€ 100".encode()),
        ("Zoné".encode("utf-16"), "utf-16", "Zoné".encode()),
        (BOM + b"caf\xe9", "latin-1", b"caf\xc3\xa9"),  # the mark goes before decoding
        (BOM + BOM, "latin-1", "\u00ef\u00bb\u00bf".encode()),
        # "utf-8" and "utf8" in any case return the bytes unchecked; other aliases decode
        (b"\xe9\xc0\x80\xed\xa0\x80", "UTF-8", b"\xe9\xc0\x80\xed\xa0\x80"),
        (BOM + b"\xff", "uTf8", b"\xff"),
        (b"caf\xe9", "utf_8", UnicodeDecodeError),
        (b"caf\xe9", "U8", UnicodeDecodeError),
        (b"caf\xe9", "ascii", UnicodeDecodeError),
        (b"\x00", "utf-16", UnicodeDecodeError),
        (b"Zone;", "no-such-codec", LookupError),
    ],
)
def test_read_with_encoding(read_utf8_bytes, write, content, encoding, expected):
    path = str(write(content))
    if type(expected) is bytes:
        assert read_utf8_bytes(path, encoding) == expected
        return
    with pytest.raises(expected) as excinfo:
        read_utf8_bytes(path, encoding)
    with pytest.raises(expected) as reference:  # the codec's own error, not rewrapped
        content.decode(encoding)
    assert type(excinfo.value) is type(reference.value) and str(excinfo.value) == str(reference.value)


def test_read_open_errors_pass_unchanged(read_utf8_bytes, tmp_path):
    for encoding_args in [(), ("latin-1",), ("utf-8",)]:
        with pytest.raises(FileNotFoundError):
            read_utf8_bytes(str(tmp_path / "missing.idf"), *encoding_args)
    with pytest.raises(IsADirectoryError):
        read_utf8_bytes(str(tmp_path))


def test_read_closes_the_file_on_every_path(read_utf8_bytes, write):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        read_utf8_bytes(str(write(b"Zone;")))
        for encoding_args, error in [((), UnicodeError), (("ascii",), UnicodeDecodeError)]:
            with pytest.raises(error):
                read_utf8_bytes(str(write(b"caf\xe9")), *encoding_args)
        gc.collect()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


# --- Module initialisation, in a fresh interpreter ---


def test_module_initialisation(run_python):
    run_python(
        f"""
        import _imp, builtins, sys
        location = locate_extension("utils")

        def error_of(call, kind):
            try:
                call()
            except kind as error:
                return str(error)
            raise AssertionError(f"no {{kind.__name__}}")

        # a failed execution leaves the module uninitialised
        saved_open = builtins.open
        del builtins.open
        try:
            message = error_of(lambda: _imp.exec_dynamic(_imp.create_dynamic(location)), NameError)
        finally:
            builtins.open = saved_open
        assert message == "name 'open' is not defined", message

        first, second = _imp.create_dynamic(location), _imp.create_dynamic(location)
        assert first is not second
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)  # the same module object again: no-op
        assert first.debug_trim_string("  x  ") == "x" and list(first._c_api) == {PUBLISHED!r}
        message = error_of(lambda: _imp.exec_dynamic(second), RuntimeError)
        assert message == "Module 'utils' has already been imported. Re-initialisation is not supported.", message

        # importing, also after removal from sys.modules, gives a working module
        import tarvix.utils as imported
        del sys.modules["tarvix.utils"]
        import tarvix.utils as again
        for module in (imported, again):
            assert module.debug_cut_prefix("object-list", "object-") == ("list", True)
            assert list(module._c_api) == {PUBLISHED!r}
        """
    )
