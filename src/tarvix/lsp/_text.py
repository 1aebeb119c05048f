"""An open document's text as the editor holds it, in UTF-8, with the editor's positions turned into byte
offsets and back (in UTF-8, UTF-16 or UTF-32 code units, as agreed when the session began)."""

from __future__ import annotations

import bisect
import itertools
from collections.abc import Sequence

UTF8, UTF16, UTF32 = "utf-8", "utf-16", "utf-32"


def encode(text: str) -> bytes:
    """The editor's text in UTF-8; a lone surrogate (which JSON can carry) becomes "?", one code unit as it
    was, so that positions after it stay where they were."""
    return text.encode("utf-8", "replace")


def line_starts(data: bytes) -> list[int]:
    """Where each line of `data` starts; lines end at LF, CRLF or a lone CR, as for the tokenizer."""
    return list(itertools.accumulate(map(len, data.splitlines(keepends=True)), initial=0))[: None if (
        not data or data.endswith((b"\n", b"\r"))) else -1]


class Positions:
    """Byte offsets of a text and the editor's (line, character) positions, both ways. Positions past a
    line's end or past the last line are taken to the nearest place in the text."""

    def __init__(self, data: bytes, starts: Sequence[int], encoding: str) -> None:
        self.data = data
        self.starts = starts
        self.encoding = encoding

    def line_end(self, line: int) -> int:
        """The offset of the line's end, before its line break."""
        end = self.starts[line + 1] if line + 1 < len(self.starts) else len(self.data)
        while end > self.starts[line] and self.data[end - 1] in (10, 13):
            end -= 1
        return end

    def offset(self, line: int, character: int) -> int:
        if line < 0:
            return 0
        if line >= len(self.starts):
            return len(self.data)
        start = self.starts[line]
        end = self.line_end(line)
        character = max(0, character)
        if self.encoding == UTF8:
            return min(start + character, end)
        text = self.data[start:end]
        if text.isascii():
            return start + min(character, len(text))
        decoded = text.decode("utf-8", "replace")
        units = 0
        for index, char in enumerate(decoded):
            if units >= character:
                return start + len(decoded[:index].encode("utf-8", "replace"))
            units += 2 if self.encoding == UTF16 and ord(char) > 0xFFFF else 1
        return end

    def line_of(self, offset: int) -> int:
        return max(0, bisect.bisect_right(self.starts, offset) - 1)

    def position(self, offset: int) -> tuple[int, int]:
        offset = min(max(offset, 0), len(self.data))
        line = self.line_of(offset)
        start = self.starts[line]
        head = self.data[start:offset]
        if self.encoding == UTF8 or head.isascii():
            return line, len(head)
        text = head.decode("utf-8", "replace")
        if self.encoding == UTF32:
            return line, len(text)
        return line, len(text.encode("utf-16-le", "surrogatepass")) // 2


class TextBuffer:
    """The text of one open document and its version, changed as the editor reports."""

    def __init__(self, text: str, version: int, encoding: str) -> None:
        self.data = encode(text)
        self.version = version
        self.encoding = encoding
        self._starts: Sequence[int] | None = None

    def positions(self) -> Positions:
        if self._starts is None:
            self._starts = line_starts(self.data)
        return Positions(self.data, self._starts, self.encoding)

    def known_starts(self, data: bytes, starts: Sequence[int]) -> None:
        """Line starts found for `data` elsewhere (by the outline), kept when it is still the text."""
        if data is self.data and self._starts is None:
            self._starts = starts

    def replace(self, start: tuple[int, int] | None, end: tuple[int, int] | None, text: str) -> None:
        """Puts `text` between two positions, or in place of everything when they are None."""
        new = encode(text)
        if start is None or end is None:
            self.data = new
        else:
            positions = self.positions()
            begin = positions.offset(*start)
            stop = max(begin, positions.offset(*end))
            self.data = self.data[:begin] + new + self.data[stop:]
        self._starts = None
