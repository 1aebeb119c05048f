"""Tests of the tokenizer module tarvix.lexer: its constants, the Lexer
class's native method table, and the token stream of debug_tokenize in
schema mode (is_idd true) and document mode (is_idd false)."""

import random

import pytest

import tarvix.lexer as lexer
from tarvix.lexer import TOKEN_COMMA, TOKEN_EOF, TOKEN_ERROR, TOKEN_SEMICOLON, TOKEN_TEXT


# Builders of the (type, value, line_num) tuples that debug_tokenize returns.
def T(value, line=1):
    return (TOKEN_TEXT, value, line)


def C(line=1):
    return (TOKEN_COMMA, b",", line)


def S(line=1):
    return (TOKEN_SEMICOLON, b";", line)


def EOF(line=1):
    return (TOKEN_EOF, b"", line)


def ERR(byte, column, line=1):
    return (TOKEN_ERROR, b"invalid UTF-8 byte 0x%02X at column %d" % (byte, column), line)


def tokens(content, is_idd):
    result = lexer.debug_tokenize(content, is_idd)
    assert type(result) is list
    assert all(type(t) is tuple and [type(x) for x in t] == [int, bytes, int] for t in result)
    return result


BOTH_MODES = pytest.mark.parametrize("is_idd", [False, True], ids=["idf", "idd"])
VALID_UTF8 = "é €𝄞 \x80\u07ff\u0800\ud7ff\ue000\ufeff\uffff\U00010000\U0010ffff".encode()


def test_module_surface():
    names = ["TOKEN_TEXT", "TOKEN_COMMA", "TOKEN_SEMICOLON", "TOKEN_EOF", "TOKEN_ERROR"]
    assert [(type(getattr(lexer, n)), getattr(lexer, n)) for n in names] == [(int, i) for i in range(5)]
    assert isinstance(lexer.Lexer, type)
    assert type(lexer.Lexer.__dict__["_native_methods"]).__name__ == "PyCapsule"


@BOTH_MODES
@pytest.mark.parametrize(
    "content, expected",
    [
        # line ends: LF, CR LF, or CR alone; LF CR is two; never part of a text
        (b"a\nb\r\nc\rd", [T(b"a", 1), T(b"b", 2), T(b"c", 3), T(b"d", 4), EOF(4)]),
        (b"a\n\rb\r\rc", [T(b"a", 1), T(b"b", 3), T(b"c", 5), EOF(5)]),
        (b"Zone \r;", [T(b"Zone", 1), S(2), EOF(2)]),
        # line numbers: the end token is on the last line, which a final line end does not open
        (b"", [EOF(1)]),
        (b"\r\n", [EOF(1)]),
        (b"\r\r", [EOF(2)]),
        (b"\n\n\n", [EOF(3)]),
        (b"Zone,Z1\n", [T(b"Zone"), C(), T(b"Z1"), EOF(1)]),
        (b"Zone,Z1\r\n\r\n", [T(b"Zone"), C(), T(b"Z1"), EOF(2)]),
        (b"Zone,Z1\n! end", [T(b"Zone"), C(), T(b"Z1"), EOF(2)]),
        (b"\n\n\nZone;", [T(b"Zone", 4), S(4), EOF(4)]),
        # "!" starts a comment to the end of its line
        (b"!", [EOF(1)]),
        (b"Zone, ! comment, with; delimiters\nZ1;", [T(b"Zone", 1), C(1), T(b"Z1", 2), S(2), EOF(2)]),
        (b"a!b!c\rd!x\r\ne", [T(b"a", 1), T(b"d", 2), T(b"e", 3), EOF(3)]),
        (b";!,\n!Site;", [S(1), EOF(2)]),
        (b"  !  \\field Name\n", [EOF(1)]),
        (b"Z, !\xff\xc0\x80\xed\xa0\x80\x80\nZ1; ! caf\xe9\xe2\x82", [T(b"Z", 1), C(1), T(b"Z1", 2), S(2), EOF(2)]),
        # delimiters
        (b" ,, \t;; ", [C(), C(), S(), S(), EOF(1)]),
        (b"a,b;c", [T(b"a"), C(), T(b"b"), S(), T(b"c"), EOF(1)]),
        # text: blanks and tabs trimmed at both ends only, kept inside
        (b"  \tZone \t Name \t ,\t", [T(b"Zone \t Name"), C(), EOF(1)]),
        (b"\x0cZone\x0b;a\x00b", [T(b"\x0cZone\x0b"), S(), T(b"a\x00b"), EOF(1)]),
        ("\u00a0Zone\u3000;".encode(), [T("\u00a0Zone\u3000".encode()), S(), EOF(1)]),
        # a text at the end of a line is its own token
        (b"Zone,Z\n1;", [T(b"Zone", 1), C(1), T(b"Z", 1), T(b"1", 2), S(2), EOF(2)]),
        (b"Zone   ! c\r\nZ1", [T(b"Zone", 1), T(b"Z1", 2), EOF(2)]),
        # valid UTF-8 of every length, the extremes and U+FEFF pass through
        (VALID_UTF8, [T(VALID_UTF8), EOF(1)]),
        # invalid UTF-8: overlong, surrogate, above U+10FFFF, never valid, stray continuation,
        # truncated, bad continuation; the column is that of the byte, counted before trimming
        (b"\xc0\x80", [ERR(0xC0, 1)]),
        (b"\xe0\x80\xaf", [ERR(0xE0, 1)]),
        (b"\xed\xbf\xbf", [ERR(0xED, 1)]),
        (b"\xf4\x90\x80\x80", [ERR(0xF4, 1)]),
        (b"\xf5\x80\x80\x80", [ERR(0xF5, 1)]),
        (b"\xff", [ERR(0xFF, 1)]),
        (b"\xc3\xa9\xbf", [ERR(0xBF, 3)]),
        (b"ab\xe2\x82", [ERR(0xE2, 3)]),
        (b"\xf0\x9f\x98 ;", [ERR(0xF0, 1)]),
        (b"\xc3\xa9\xe2\x28\xa1", [ERR(0xE2, 3)]),
        (b"  \t\xab", [ERR(0xAB, 4)]),
        (b"Zone,\n\t Z\xf8;", [T(b"Zone", 1), C(1), ERR(0xF8, 4, 2)]),
        (b"ok\r\n\r;;\x80", [T(b"ok", 1), S(3), S(3), ERR(0x80, 3, 3)]),
        # nothing follows an error
        (b"a;\xff;b\nc;\xc0\x80;", [T(b"a"), S(), ERR(0xFF, 3)]),
    ],
)
def test_tokens(is_idd, content, expected):
    assert tokens(content, is_idd) == expected


@BOTH_MODES
def test_line_numbers_over_many_lines_with_mixed_line_ends(is_idd):
    eols = [b"\n", b"\r\n", b"\r"]
    result = tokens(b"".join(b"x%d;" % i + eols[i % 3] for i in range(1, 1001)), is_idd)
    expected = [token for i in range(1, 1001) for token in (T(b"x%d" % i, i), S(i))]
    assert result == expected + [EOF(1000)]


@BOTH_MODES
@pytest.mark.parametrize("length", [15, 16, 10000])
def test_long_text_is_delivered_whole(is_idd, length):
    text = bytes(ord("a") + i % 26 for i in range(length))
    assert tokens(b"Zone,\n  " + text + b";\n", is_idd) == [T(b"Zone", 1), C(1), T(text, 2), S(2), EOF(2)]


@pytest.mark.parametrize(
    "content, expected",
    [
        # a backslash starts a property line up to the line end or "!", trailing blanks trimmed;
        # delimiters and further backslashes inside belong to it
        (b"  A1 , \\field Name", [T(b"A1"), C(), T(b"\\field Name"), EOF(1)]),
        (b"\\", [T(b"\\"), EOF(1)]),
        (b"  N1 ; \\note y, z; C:\\x\\y  \t", [T(b"N1"), S(), T(b"\\note y, z; C:\\x\\y"), EOF(1)]),
        (b"\\note  x  y ! comment", [T(b"\\note  x  y"), EOF(1)]),
        (b"\\note x!", [T(b"\\note x"), EOF(1)]),
        (
            b"Zone,\r\n  \\memo x \r\n  A1; \\field N\r  \\units m\n",
            [T(b"Zone", 1), C(1), T(b"\\memo x", 2), T(b"A1", 3), S(3), T(b"\\field N", 3), T(b"\\units m", 4), EOF(4)],
        ),
        # text before the backslash on the same line comes first
        (b"A1 \\field Name", [T(b"A1"), T(b"\\field Name"), EOF(1)]),
        (b"C:\\data\\x.csv", [T(b"C:"), T(b"\\data\\x.csv"), EOF(1)]),
        # invalid UTF-8 in a property line
        (b"  A1 , \\field N\xe9me", [T(b"A1"), C(), ERR(0xE9, 16)]),
        (b"Zone,\n  \\memo ok, \xed\xa0\x80 ! \xff\n", [T(b"Zone", 1), C(1), ERR(0xED, 13, 2)]),
        (b"\\note x \xe2\x82 ", [ERR(0xE2, 9)]),
    ],
)
def test_schema_mode_property_lines(content, expected):
    assert tokens(content, True) == expected


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"C:\\data\\x.csv", [T(b"C:\\data\\x.csv"), EOF(1)]),
        (b"\\field Name, x\\;", [T(b"\\field Name"), C(), T(b"x\\"), S(), EOF(1)]),
        (b"x \\ ! \\y\n\\", [T(b"x \\", 1), T(b"\\", 2), EOF(2)]),
    ],
)
def test_document_mode_backslash_is_ordinary_text(content, expected):
    assert tokens(content, False) == expected


# Error tokens agree with Python's strict UTF-8 decoder on random texts.
_PIECES = [b"a", b"Z", b"1", b".", b" ", b"\t", "é€𝄞\U0010ffff".encode()]
_TRICKY = [b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe0\x80\xaf", b"\xf0\x9f\x98", b"\xe2\x82", b"\xc3"]
# (prefix, line of the text after it, tokens of the prefix)
_PREFIXES = [
    (b"", 1, []), (b"X, ", 1, [T(b"X"), C()]), (b"X,\r\n\t", 2, [T(b"X"), C()]), (b"X;\n\r ", 3, [T(b"X"), S()])
]


@BOTH_MODES
def test_error_tokens_agree_with_strict_utf8_decoding(is_idd):
    rng = random.Random(20240502 + is_idd)
    for _ in range(150):
        prefix, line, expected = rng.choice(_PREFIXES)
        rolls = [rng.random() for _ in range(rng.randint(1, 6))]
        text = b"".join(
            rng.choice(_PIECES) if r < 0.6 else rng.choice(_TRICKY) if r < 0.8 else bytes([rng.randint(0x80, 0xFF)])
            for r in rolls
        )
        stripped = text.strip(b" \t")
        expected = list(expected)
        try:
            stripped.decode("utf-8")
        except UnicodeDecodeError as error:
            line_start = max(prefix.rfind(b"\n"), prefix.rfind(b"\r")) + 1
            leading = len(text) - len(text.lstrip(b" \t"))
            column = len(prefix) - line_start + leading + error.start + 1
            expected.append(ERR(stripped[error.start], column, line))
        else:
            expected += ([T(stripped, line)] if stripped else []) + [S(line), EOF(line)]
        assert tokens(prefix + text + b";", is_idd) == expected, prefix + text


def test_module_initialisation(run_python):
    run_python(
        """
        import _imp
        location = locate_extension("lexer")
        first, second = _imp.create_dynamic(location), _imp.create_dynamic(location)
        assert first is not second
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)  # the same module object again: no-op
        assert [t[1] for t in first.debug_tokenize(b"Zone;", False)] == [b"Zone", b";", b""]
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as error:
            message = str(error)
        else:
            raise AssertionError("second module object was executed")
        assert message == "Module 'lexer' has already been imported. Re-initialisation is not supported.", message
        import tarvix.lexer
        assert tarvix.lexer.TOKEN_ERROR == 4
        """
    )


def test_long_line_is_handed_out_in_chunks_without_losing_columns():
    # A line with more delimiters than the tokenizer buffers at once.
    tokens = lexer.debug_tokenize(b"a," * 300 + b" \xff;", False)
    assert len(tokens) == 601
    assert tokens[-1] == (TOKEN_ERROR, b"invalid UTF-8 byte 0xFF at column 602", 1)
