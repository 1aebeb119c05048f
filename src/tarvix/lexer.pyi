# Type stubs for the extension module tarvix.lexer: the tokenizer that both
# parsers drive.

from typing import Final, final

TOKEN_TEXT: Final = 0
TOKEN_COMMA: Final = 1
TOKEN_SEMICOLON: Final = 2
TOKEN_EOF: Final = 3
TOKEN_ERROR: Final = 4

@final
class Lexer:
    """Tokenizer over one UTF-8 schema or document text, driven natively by the parsers."""

def debug_tokenize(content: bytes, is_idd: bool) -> list[tuple[int, bytes, int]]:
    """Tokenize UTF-8 `content` and return (type, value, line_num) tuples,
    up to and including the final TOKEN_EOF or TOKEN_ERROR."""
