"""A real language client over stdio, driven step by step from synchronous code: the tests and the
benchmark talk to `tarvix lsp` through it."""

from __future__ import annotations

import asyncio
import os
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from lsprotocol import types
from pygls.lsp.client import LanguageClient


def apply_edits(text: str, edits: Sequence[types.TextEdit]) -> str:
    """`text` with the edits applied (positions in UTF-16 code units, as the session agrees)."""
    lines = text.splitlines(keepends=True) or [""]

    def offset(position: types.Position) -> int:
        before = sum(len(line) for line in lines[: position.line])
        if position.line >= len(lines):
            return len(text)
        line = lines[position.line]
        units = 0
        for k, char in enumerate(line):
            if units >= position.character:
                return before + k
            units += 2 if ord(char) > 0xFFFF else 1
        return before + len(line.rstrip("\r\n"))

    spans = sorted(((offset(e.range.start), offset(e.range.end), e.new_text) for e in edits), reverse=True)
    for begin, end, new in spans:
        text = text[:begin] + new + text[end:]
    return text


class Session:
    """One server process and its client."""

    def __init__(self, settings: dict[str, Any] | None = None, encodings: Sequence[str] | None = None,
                 env: dict[str, str] | None = None) -> None:
        self.loop = asyncio.new_event_loop()
        self.client = LanguageClient("tarvix-tests", "1")
        self.diagnostics: dict[str, types.PublishDiagnosticsParams] = {}
        self.arrived: dict[str, float] = {}
        self.messages: list[str] = []

        @self.client.feature(types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
        def published(params: types.PublishDiagnosticsParams) -> None:
            self.diagnostics[params.uri] = params
            self.arrived[params.uri] = time.perf_counter()

        @self.client.feature(types.WINDOW_SHOW_MESSAGE)
        def shown(params: types.ShowMessageParams) -> None:
            self.messages.append(params.message)

        environment = {**os.environ, **(env or {})}
        self.run(self.client.start_io(sys.executable, "-m", "tarvix", "lsp", env=environment))
        general = types.GeneralClientCapabilities(position_encodings=list(encodings)) if encodings else None
        capabilities = types.ClientCapabilities(
            general=general,
            text_document=types.TextDocumentClientCapabilities(
                rename=types.RenameClientCapabilities(prepare_support=True),
                completion=types.CompletionClientCapabilities(
                    completion_item=types.ClientCompletionItemOptions(snippet_support=True))))
        self.initialized = self.run(self.client.initialize_async(types.InitializeParams(
            capabilities=capabilities, initialization_options={"tarvix": settings or {}})))
        self.client.initialized(types.InitializedParams())
        self.versions: dict[str, int] = {}

    def run(self, awaitable: Any, timeout: float = 60) -> Any:
        return self.loop.run_until_complete(asyncio.wait_for(awaitable, timeout))

    def open(self, path: str | Path, text: str | None = None, language: str = "idf") -> str:
        uri = Path(path).absolute().as_uri()
        text = Path(path).read_text(encoding="utf-8") if text is None else text
        self.versions[uri] = 1
        self.diagnostics.pop(uri, None)
        self.client.text_document_did_open(types.DidOpenTextDocumentParams(
            text_document=types.TextDocumentItem(uri=uri, language_id=language, version=1, text=text)))
        return uri

    def change(self, uri: str, text: str, at: types.Range | None = None, version: int | None = None) -> None:
        self.versions[uri] = version if version is not None else self.versions[uri] + 1
        change: types.TextDocumentContentChangeEvent = (
            types.TextDocumentContentChangeWholeDocument(text=text) if at is None
            else types.TextDocumentContentChangePartial(range=at, text=text))
        self.client.text_document_did_change(types.DidChangeTextDocumentParams(
            text_document=types.VersionedTextDocumentIdentifier(uri=uri, version=self.versions[uri]),
            content_changes=[change]))

    def wait_diagnostics(self, uri: str, version: int | None = None, timeout: float = 60) -> list[types.Diagnostic]:
        """The diagnostics published for the document's latest version (or `version`)."""
        wanted = self.versions[uri] if version is None else version

        async def wait() -> list[types.Diagnostic]:
            while True:
                got = self.diagnostics.get(uri)
                if got is not None and got.version == wanted:
                    return got.diagnostics
                await asyncio.sleep(0.0005)

        return self.run(wait(), timeout)  # type: ignore[no-any-return]

    def request(self, method: Callable[..., Any], params: Any) -> Any:
        return self.run(method(params))

    def close(self) -> None:
        try:
            self.run(self.client.shutdown_async(None), timeout=10)
            self.client.exit(None)
            self.run(self.client.stop(), timeout=10)
        finally:
            self.loop.close()


def position(text: str, needle: str, shift: int = 0, nth: int = 0) -> types.Position:
    """The position of the `nth` occurrence of `needle` in `text` (plus `shift` characters)."""
    at = -1
    for _ in range(nth + 1):
        at = text.index(needle, at + 1)
    at += shift
    line = text.count("\n", 0, at)
    return types.Position(line=line, character=at - (text.rfind("\n", 0, at) + 1))


def doc_id(uri: str) -> types.TextDocumentIdentifier:
    return types.TextDocumentIdentifier(uri=uri)
