# Type stubs for the extension module tarvix.lexer: the tokenizer that both
# parsers drive.

from typing import Final, final

TOKEN_TEXT: Final = 0
TOKEN_COMMA: Final = 1
TOKEN_SEMICOLON: Final = 2
TOKEN_EOF: Final = 3
TOKEN_ERROR: Final = 4
OUTLINE_OK: Final = 0
OUTLINE_UNTERMINATED: Final = 1
OUTLINE_MISSING_DELIMITER: Final = 2
OUTLINE_BAD_TEXT: Final = 3

@final
class Lexer:
    """Tokenizer over one UTF-8 schema or document text, driven natively by the parsers."""

def debug_tokenize(content: bytes, is_idd: bool) -> list[tuple[int, bytes, int]]:
    """Tokenize UTF-8 `content` and return (type, value, line_num) tuples,
    up to and including the final TOKEN_EOF or TOKEN_ERROR."""

def outline(content: bytes) -> tuple[bytes, bytes, bytes, bytes]:
    """Where the lines, objects, values and comments of the UTF-8 document text `content` lie, read
    past any fault: four bytes objects of native unsigned 32-bit integers (line starts; objects as
    class begin, class end, end, first value, value count, status; values as begin, end,
    delimiter; comment starts)."""
