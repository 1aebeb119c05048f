"""The language server: the editor's requests answered from the latest analysis of each open document."""

from __future__ import annotations

import asyncio
import difflib
import logging
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from lsprotocol import types
from pygls.exceptions import JsonRpcException
from pygls.lsp.server import LanguageServer
from pygls.protocol import LanguageServerProtocol
from pygls.protocol.language_server import lsp_method

import tarvix
from tarvix.idd import FieldInfo
from tarvix.idf import IDF, Problem
from tarvix.lsp import _analysis as an
from tarvix.lsp._schema import CHOICE, NAME, NUMBER, REFERENCE, ClassData
from tarvix.lsp._schema_text import SchemaText, read_schema_text
from tarvix.lsp._text import UTF8, UTF16, UTF32, Positions, TextBuffer, line_starts

logger = logging.getLogger(__name__)

DOCS = "https://tarvix.readthedocs.io/en/latest/checking/#what-is-checked"
# LSP's RequestFailed: a request that was understood and cannot be done (a rename refused).
REQUEST_FAILED = -32803
TOKEN_TYPES = ["class", "variable", "number", "comment", "enumMember"]
TOKEN_MODIFIERS = ["declaration"]
_TOKEN_OF_KIND = {NAME: (1, 1), REFERENCE: (1, 0), NUMBER: (2, 0), CHOICE: (4, 0)}
# Class names offered with a whole object's snippet when a completion matches no more of them.
SNIPPET_LIMIT = 200


@dataclass
class Settings:
    idd: str | None = None
    debounce: float = 0.0
    compact: bool = False
    preserve_order: bool = True
    docs_url: str = DOCS

    def update(self, given: Any) -> None:
        if not isinstance(given, dict):
            return
        given = given.get("tarvix", given)
        if not isinstance(given, dict):
            return
        if isinstance(given.get("idd"), str) or given.get("idd") is None and "idd" in given:
            self.idd = given.get("idd") or None
        if isinstance(given.get("debounce"), (int, float)) and given["debounce"] >= 0:
            self.debounce = float(given["debounce"])
        for key, attr in (("compact", "compact"), ("preserveOrder", "preserve_order")):
            if isinstance(given.get(key), bool):
                setattr(self, attr, given[key])
        if isinstance(given.get("docsUrl"), str):
            self.docs_url = given["docsUrl"]


@dataclass
class Open:
    """One open document: its text as the editor has it, and the analysis of its latest version."""

    uri: str
    buffer: TextBuffer
    is_schema: bool
    analysis: an.Analysis | None = None
    schema_text: SchemaText | None = None
    timer: asyncio.TimerHandle | None = None
    changed_at: float = field(default_factory=time.monotonic)


class Protocol(LanguageServerProtocol):
    """Keeps the open texts itself (as UTF-8, changed in place) rather than in the library's workspace."""

    @lsp_method(types.TEXT_DOCUMENT_DID_OPEN)
    def lsp_text_document__did_open(self, params: types.DidOpenTextDocumentParams) -> Any:
        if (handler := self.fm.features.get(types.TEXT_DOCUMENT_DID_OPEN)) is not None:
            yield handler, (params,), None

    @lsp_method(types.TEXT_DOCUMENT_DID_CHANGE)
    def lsp_text_document__did_change(self, params: types.DidChangeTextDocumentParams) -> Any:
        if (handler := self.fm.features.get(types.TEXT_DOCUMENT_DID_CHANGE)) is not None:
            yield handler, (params,), None

    @lsp_method(types.TEXT_DOCUMENT_DID_CLOSE)
    def lsp_text_document__did_close(self, params: types.DidCloseTextDocumentParams) -> Any:
        if (handler := self.fm.features.get(types.TEXT_DOCUMENT_DID_CLOSE)) is not None:
            yield handler, (params,), None


class Server(LanguageServer):
    def __init__(self) -> None:
        super().__init__("tarvix", tarvix.__version__, protocol_cls=Protocol,
                         text_document_sync_kind=types.TextDocumentSyncKind.Incremental)
        self.settings = Settings()
        self.open: dict[str, Open] = {}
        self.encoding = UTF16

    # --- documents --------------------------------------------------------------------------------

    def opened(self, uri: str) -> Open:
        state = self.open.get(uri)
        if state is None:
            raise JsonRpcException(f"{uri} is not open", code=REQUEST_FAILED)
        return state

    def current(self, state: Open) -> an.Analysis:
        """The analysis of the document's latest text, made now when the text changed since."""
        analysis = state.analysis
        if analysis is None or analysis.version != state.buffer.version or analysis.data is not state.buffer.data:
            data = state.buffer.data
            if state.is_schema:  # a schema file is no document: only hover and the outline read it
                analysis = state.analysis = an.nothing(data, state.buffer.version, self.encoding)
                return analysis
            analysis = an.analyse(data, state.buffer.version, self.encoding, self.settings.idd)
            state.buffer.known_starts(data, analysis.positions.starts)
            state.analysis = analysis
        return analysis

    def schema_text(self, state: Open) -> SchemaText:
        """The classes and fields an open schema file writes, read for its latest text."""
        known = state.schema_text
        if known is None or known.version != state.buffer.version or known.positions.data is not state.buffer.data:
            known = state.schema_text = read_schema_text(state.buffer.data, state.buffer.version, self.encoding,
                                                         state.uri)
        return known

    def schedule(self, state: Open) -> None:
        state.changed_at = time.monotonic()
        if state.timer is None:
            loop = asyncio.get_running_loop()
            state.timer = loop.call_later(self.settings.debounce, self.check, state.uri)

    def check(self, uri: str) -> None:
        state = self.open.get(uri)
        if state is None:
            return
        state.timer = None
        quiet = time.monotonic() - state.changed_at
        if quiet < self.settings.debounce:
            state.timer = asyncio.get_running_loop().call_later(self.settings.debounce - quiet, self.check, uri)
            return
        if state.is_schema:
            return
        analysis = self.current(state)
        self.text_document_publish_diagnostics(types.PublishDiagnosticsParams(
            uri=uri, version=analysis.version, diagnostics=diagnostics(analysis, self.settings.docs_url)))


server = Server()


def _range(positions: Positions, begin: int, end: int) -> types.Range:
    a, b = positions.position(begin), positions.position(end)
    return types.Range(types.Position(*a), types.Position(*b))


def _offset(analysis: an.Analysis, position: types.Position) -> int:
    return analysis.positions.offset(position.line, position.character)


# --- lifecycle and text sync ------------------------------------------------------------------------


@server.feature(types.INITIALIZE)
def initialize(ls: Server, params: types.InitializeParams) -> None:
    ls.settings.update(params.initialization_options)
    encoding = ls.protocol.workspace.position_encoding
    agreed = str(getattr(encoding, "value", encoding) or "")
    ls.encoding = {types.PositionEncodingKind.Utf8.value: UTF8,
                   types.PositionEncodingKind.Utf32.value: UTF32}.get(agreed, UTF16)


@server.feature(types.WORKSPACE_DID_CHANGE_CONFIGURATION)
def did_change_configuration(ls: Server, params: types.DidChangeConfigurationParams) -> None:
    ls.settings.update(params.settings)
    for state in ls.open.values():
        state.analysis = None
        ls.schedule(state)


@server.feature(types.TEXT_DOCUMENT_DID_OPEN)
def did_open(ls: Server, params: types.DidOpenTextDocumentParams) -> None:
    document = params.text_document
    is_schema = document.uri.lower().endswith(".idd") or document.language_id == "idd"
    state = Open(document.uri, TextBuffer(document.text, document.version, ls.encoding), is_schema)
    ls.open[document.uri] = state
    ls.schedule(state)


@server.feature(types.TEXT_DOCUMENT_DID_CHANGE)
def did_change(ls: Server, params: types.DidChangeTextDocumentParams) -> None:
    state = ls.open.get(params.text_document.uri)
    if state is None:
        return
    if params.text_document.version < state.buffer.version:
        logger.warning("%s: change for version %s ignored, the text is at version %s", state.uri,
                       params.text_document.version, state.buffer.version)
        return
    for change in params.content_changes:
        if isinstance(change, types.TextDocumentContentChangePartial):
            start, end = change.range.start, change.range.end
            state.buffer.replace((start.line, start.character), (end.line, end.character), change.text)
        else:
            state.buffer.replace(None, None, change.text)
    state.buffer.version = params.text_document.version
    ls.schedule(state)


@server.feature(types.TEXT_DOCUMENT_DID_CLOSE)
def did_close(ls: Server, params: types.DidCloseTextDocumentParams) -> None:
    state = ls.open.pop(params.text_document.uri, None)
    if state is not None and state.timer is not None:
        state.timer.cancel()
    if state is not None and not state.is_schema:
        ls.text_document_publish_diagnostics(types.PublishDiagnosticsParams(uri=params.text_document.uri,
                                                                            diagnostics=[]))


# --- diagnostics ------------------------------------------------------------------------------------

_SEVERITY = {"error": types.DiagnosticSeverity.Error, "warning": types.DiagnosticSeverity.Warning}


def problem_span(analysis: an.Analysis, problem: Problem) -> tuple[int, int]:
    """Where a problem shows: the value of its field, else its object's class name."""
    if problem.obj_idx is None:
        version = next((k for k in analysis.loaded if analysis.class_text(k).upper() == b"VERSION"), None)
        return analysis.class_span(version) if version is not None else (0, 0)
    place = analysis.loaded[problem.obj_idx]
    if problem.field_index is not None:
        if problem.field_index < analysis.field_count(place):
            begin, end, delimiter = analysis.field_span(place, problem.field_index)
            return (begin, end) if end > begin else (delimiter, delimiter + 1)
        last = analysis.object_span(place)[1]
        return last - 1, last
    return analysis.class_span(place)


def diagnostics(analysis: an.Analysis, docs_url: str) -> list[types.Diagnostic]:
    found: list[types.Diagnostic] = []
    positions = analysis.positions
    found.extend(diagnostics_of_fault(analysis, fault) for fault in analysis.faults)
    description = types.CodeDescription(href=docs_url)
    for problem in analysis.problems:
        begin, end = problem_span(analysis, problem)
        found.append(types.Diagnostic(
            range=_range(positions, begin, end), message=problem.message, severity=_SEVERITY[problem.severity],
            code=problem.code, source="tarvix", code_description=description,
            tags=[types.DiagnosticTag.Deprecated] if problem.code in ("obsolete-class", "deprecated-field")
            else None))
    return found


# --- hover -----------------------------------------------------------------------------------------


def _number(value: float) -> str:
    return str(int(value)) if value.is_integer() else repr(value)


def field_facts(info: FieldInfo, name: str, class_name: str, index: int) -> list[str]:
    """What the schema says of a field: its name and type, units, range, default, flags and choices."""
    lines = [f"**{name}** ({class_name}, field {index + 1}, {info.type})"]
    if info.units:
        ip = f" (IP: {info.ip_units})" if info.ip_units and info.ip_units != info.units else ""
        lines.append(f"units: {info.units}{ip}")
    bounds = []
    if info.minimum is not None:
        bounds.append(f"{'>' if info.minimum_exclusive else '≥'} {_number(info.minimum)}")
    if info.maximum is not None:
        bounds.append(f"{'<' if info.maximum_exclusive else '≤'} {_number(info.maximum)}")
    if bounds:
        lines.append("range: " + ", ".join(bounds))
    if info.default is not None:
        lines.append(f"default: {info.default}")
    flags = [word for word, on in (("required", info.required), ("autosizable", info.autosizable),
                                   ("autocalculatable", info.autocalculatable), ("deprecated", info.deprecated))
             if on]
    if flags:
        lines.append(", ".join(flags))
    if info.choices:
        lines.append("choices: " + ", ".join(info.choices))
    return lines


def field_notes(info: FieldInfo) -> list[str]:
    lines = []
    if info.references:
        lines.append(f"a name in {', '.join(info.references)}")
    if info.note:
        lines.append("")
        lines.append(info.note)
    return lines


def field_markdown(analysis: an.Analysis, data: ClassData, index: int, place: int) -> str:
    info = data.field(index)
    obj = analysis.loaded_object(place)
    if info is None:
        return f"**{data.info.name}**: value {index + 1} is past the fields the class has"
    name = obj.field_names[index] if obj is not None and index < len(obj.field_names) else info.name
    lines = field_facts(info, name, data.info.name, index)
    if info.object_lists and analysis.schema is not None:
        classes = sorted({c for c, _ in analysis.schema.fillers(info.object_lists)})
        lines.append(f"names an object of {', '.join(info.object_lists)}: {', '.join(classes) or 'no class'}")
        if index < analysis.field_count(place):
            value = analysis.value_text(place, index)
            target = analysis.target_of(place, index) if value else None
            if target is not None:
                line = analysis.positions.line_of(analysis.object_span(target)[0]) + 1
                lines.append(f"names {analysis.class_name(target)} {value!r} (line {line})")
            elif value:
                lines.append(f"names nothing: no object of {', '.join(info.object_lists)} is named {value!r}")
    lines.extend(field_notes(info))
    return "  \n".join(lines)


def class_markdown(data: ClassData) -> str:
    info = data.info
    flags = [word for word, on in (("unique", info.unique_object), ("required", info.required_object)) if on]
    lines = [f"**{info.name}** ({info.group}): {len(data.fields)} fields"
             + (f", {info.extensible_size} more per repeating group" if info.extensible_size else "")
             + (f"; {', '.join(flags)}" if flags else "")]
    if info.obsolete:
        lines.append(f"obsolete: {info.obsolete}")
    if info.memo:
        lines.append("")
        lines.append(info.memo)
    return "  \n".join(lines)


@server.feature(types.TEXT_DOCUMENT_HOVER)
def hover(ls: Server, params: types.HoverParams) -> types.Hover | None:
    state = ls.opened(params.text_document.uri)
    if state.is_schema:
        return schema_hover(ls.schema_text(state), params.position)
    analysis = ls.current(state)
    spot = analysis.spot(_offset(analysis, params.position))
    if spot is None or analysis.schema is None:
        return None
    data = analysis.class_data(spot.index)
    if data is None:
        return None
    text = class_markdown(data) if spot.field < 0 else field_markdown(analysis, data, spot.field, spot.index)
    return types.Hover(contents=types.MarkupContent(kind=types.MarkupKind.Markdown, value=text),
                       range=_range(analysis.positions, spot.begin, spot.end))


def schema_hover(text: SchemaText, where: types.Position) -> types.Hover | None:
    found = text.class_at(text.positions.offset(where.line, where.character))
    if found is None or found[1] == -2 or text.schema is None:
        return None
    written, index = found
    try:
        data = text.schema.data(written.name)
    except ValueError:
        return None
    if index < 0:
        value, span = class_markdown(data), (written.begin, written.end)
    else:
        info = data.field(index)
        if info is None:
            return None
        lines = field_facts(info, info.name, data.info.name, index)
        if info.object_lists:
            classes = sorted({c for c, _ in text.schema.fillers(info.object_lists)})
            lines.append(f"names an object of {', '.join(info.object_lists)}: {', '.join(classes) or 'no class'}")
        value, span = "  \n".join(lines + field_notes(info)), written.fields[index][1:]
    return types.Hover(contents=types.MarkupContent(kind=types.MarkupKind.Markdown, value=value),
                       range=_range(text.positions, *span))


def schema_symbols(text: SchemaText) -> list[types.DocumentSymbol]:
    symbols = []
    positions = text.positions
    for k, written in enumerate(text.classes):
        end = text.classes[k + 1].begin - 1 if k + 1 < len(text.classes) else len(positions.data)
        end = max(end, written.fields[-1][2] if written.fields else written.end)
        children = [types.DocumentSymbol(name=name, kind=types.SymbolKind.Field, range=_range(positions, b, e),
                                         selection_range=_range(positions, b, e)) for name, b, e in written.fields]
        symbols.append(types.DocumentSymbol(name=written.name, kind=types.SymbolKind.Class,
                                            range=_range(positions, written.begin, end),
                                            selection_range=_range(positions, written.begin, written.end),
                                            children=children or None))
    return symbols


# --- completion ------------------------------------------------------------------------------------


def _lays_out_compact(analysis: an.Analysis) -> bool:
    """Whether most of the document's objects (a sample of them) sit on one line each."""
    sample = analysis.loaded[:: max(1, len(analysis.loaded) // 50)][:50]
    one_line = sum(1 for k in sample if b"\n" not in analysis.data[slice(*analysis.object_span(k))])
    return bool(sample) and one_line * 2 > len(sample)


def snippet(text: str) -> str:
    """A written object as a snippet: each value a tab stop holding the value."""
    data = text.encode()
    from tarvix import lexer

    _, objects, fields, _ = (memoryview(part).cast("I") for part in lexer.outline(data))
    out, at = [], 0
    for k in range(objects[4]):
        begin, end = fields[3 * k], fields[3 * k + 1]
        out.append(_escape(data[at:begin].decode()))
        out.append("${%d:%s}" % (k + 1, _escape(data[begin:end].decode()).replace("}", "\\}")))
        at = end
    out.append(_escape(data[at:].decode()))
    return "".join(out)


def _escape(text: str) -> str:
    return text.replace("\\", "\\\\").replace("$", "\\$")


@server.feature(types.TEXT_DOCUMENT_COMPLETION,
                types.CompletionOptions(trigger_characters=[",", " "], resolve_provider=False))
def completion(ls: Server, params: types.CompletionParams) -> types.CompletionList | None:
    state = ls.opened(params.text_document.uri)
    analysis = ls.current(state)
    schema = analysis.schema
    if schema is None:
        return None
    offset = _offset(analysis, params.position)
    spot = analysis.spot(offset)
    positions = analysis.positions
    if spot is None or spot.field < 0 and analysis.objects[6 * spot.index + 5] != 0 and \
            analysis.field_count(spot.index) == 0:
        # Between objects, or on a class name being typed: the classes.
        if spot is None:
            line_start = positions.starts[positions.line_of(offset)]
            word_begin = offset
            while word_begin > line_start and analysis.data[word_begin - 1] not in b" \t;,!":
                word_begin -= 1
            begin, end = word_begin, offset
        else:
            begin, end = spot.begin, max(spot.end, offset)
        typed = analysis.data[begin:offset].decode("utf-8", "replace").upper()
        return _class_items(analysis, typed, _range(positions, begin, end))
    if spot.field < 0:
        typed = analysis.data[spot.begin:offset].decode("utf-8", "replace").upper()
        return _class_items(analysis, typed, _range(positions, spot.begin, spot.end), snippets=False)
    data = analysis.class_data(spot.index)
    if data is None:
        return None
    info = data.field(spot.field)
    if info is None:
        return None
    where = _range(positions, spot.begin, max(spot.end, offset))
    items: list[types.CompletionItem] = []

    def add(label: str, kind: types.CompletionItemKind, detail: str) -> None:
        items.append(types.CompletionItem(label=label, kind=kind, detail=detail,
                                          text_edit=types.TextEdit(range=where, new_text=label)))

    for choice in info.choices:
        add(choice, types.CompletionItemKind.EnumMember, f"a choice of {info.name}")
    if info.object_lists:
        seen: set[str] = set()
        for name, class_name in analysis.names_for(info.object_lists):
            if name.upper() not in seen:
                seen.add(name.upper())
                add(name, types.CompletionItemKind.Reference, class_name)
    if info.autosizable and not any(c.upper() == "AUTOSIZE" for c in info.choices):
        add("Autosize", types.CompletionItemKind.Keyword, "sized by the engine")
    if info.autocalculatable and not any(c.upper() == "AUTOCALCULATE" for c in info.choices):
        add("Autocalculate", types.CompletionItemKind.Keyword, "calculated by the engine")
    if info.default is not None and not items:
        add(info.default, types.CompletionItemKind.Value, "the default")
    return types.CompletionList(is_incomplete=False, items=items)


def _class_items(analysis: an.Analysis, typed: str, where: types.Range,
                 snippets: bool = True) -> types.CompletionList:
    assert analysis.schema is not None
    schema = analysis.schema
    names = [n for n in schema.names if typed in n.upper()] if typed else list(schema.names)
    names.sort(key=lambda n: (not n.upper().startswith(typed), n))
    with_snippets = snippets and len(names) <= SNIPPET_LIMIT
    compact = _lays_out_compact(analysis)
    items = []
    for name in names:
        if with_snippets:
            text = snippet(schema.object_text(name, compact))
            items.append(types.CompletionItem(
                label=name, kind=types.CompletionItemKind.Class, detail="a whole object",
                insert_text_format=types.InsertTextFormat.Snippet, filter_text=name,
                text_edit=types.TextEdit(range=where, new_text=text)))
        else:
            items.append(types.CompletionItem(label=name, kind=types.CompletionItemKind.Class, filter_text=name,
                                              text_edit=types.TextEdit(range=where, new_text=name)))
    return types.CompletionList(is_incomplete=not with_snippets and snippets, items=items)


# --- definition, references, highlight ----------------------------------------------------------------


def _named(analysis: an.Analysis, offset: int) -> tuple[int | None, an.Spot | None]:
    """The object named at `offset` (by its own name or by a reference to it), and the spot."""
    spot = analysis.spot(offset)
    if spot is None or spot.field < 0 or spot.field >= analysis.field_count(spot.index):
        return None, spot
    data = analysis.class_data(spot.index)
    if data is None:
        return None, spot
    if data.name_field == spot.field:
        return spot.index, spot
    info = data.field(spot.field)
    if info is not None and info.object_lists:
        return analysis.target_of(spot.index, spot.field), spot
    return None, spot


def _location(uri: str, analysis: an.Analysis, begin: int, end: int) -> types.Location:
    return types.Location(uri=uri, range=_range(analysis.positions, begin, end))


@server.feature(types.TEXT_DOCUMENT_DEFINITION)
def definition(ls: Server, params: types.DefinitionParams) -> types.Location | None:
    state = ls.opened(params.text_document.uri)
    analysis = ls.current(state)
    target, _ = _named(analysis, _offset(analysis, params.position))
    if target is None:
        return None
    span = analysis.name_span(target) or analysis.class_span(target)
    return _location(state.uri, analysis, *span)


def _reference_spans(analysis: an.Analysis, target: int) -> list[tuple[int, int]]:
    spans = []
    for place, k in analysis.references_to(target):
        begin, end, _ = analysis.field_span(place, k)
        spans.append((begin, end))
    return spans


@server.feature(types.TEXT_DOCUMENT_REFERENCES)
def references(ls: Server, params: types.ReferenceParams) -> list[types.Location] | None:
    state = ls.opened(params.text_document.uri)
    analysis = ls.current(state)
    target, _ = _named(analysis, _offset(analysis, params.position))
    if target is None:
        return None
    spans = _reference_spans(analysis, target)
    if params.context.include_declaration and (own := analysis.name_span(target)) is not None:
        spans.insert(0, own)
    return [_location(state.uri, analysis, *span) for span in spans]


@server.feature(types.TEXT_DOCUMENT_DOCUMENT_HIGHLIGHT)
def highlight(ls: Server, params: types.DocumentHighlightParams) -> list[types.DocumentHighlight] | None:
    state = ls.opened(params.text_document.uri)
    analysis = ls.current(state)
    target, _ = _named(analysis, _offset(analysis, params.position))
    if target is None:
        return None
    found = []
    if (own := analysis.name_span(target)) is not None:
        found.append(types.DocumentHighlight(range=_range(analysis.positions, *own),
                                             kind=types.DocumentHighlightKind.Write))
    found.extend(types.DocumentHighlight(range=_range(analysis.positions, *span),
                                         kind=types.DocumentHighlightKind.Read)
                 for span in _reference_spans(analysis, target))
    return found


# --- rename ----------------------------------------------------------------------------------------


def _refuse(message: str) -> JsonRpcException:
    return JsonRpcException(message, code=REQUEST_FAILED)


def _rename_target(analysis: an.Analysis, offset: int) -> tuple[int, an.Spot]:
    target, spot = _named(analysis, offset)
    if target is None or spot is None:
        if spot is not None and spot.field >= 0 and analysis.class_data(spot.index) is not None:
            data = analysis.class_data(spot.index)
            info = data.field(spot.field) if data is not None else None
            if info is not None and info.object_lists:
                raise _refuse(f"{analysis.value_text(spot.index, spot.field)!r} names no object, so there is "
                              f"nothing to rename")
            raise _refuse(f"{info.name if info else 'this value'} is not a name other objects refer to")
        raise _refuse("only an object's name, or a reference to it, can be renamed")
    if analysis.loaded_object(target) is None:
        raise _refuse("the object cannot be loaded, so it cannot be renamed")
    return target, spot


@server.feature(types.TEXT_DOCUMENT_PREPARE_RENAME)
def prepare_rename(ls: Server, params: types.PrepareRenameParams) -> types.PrepareRenamePlaceholder:
    state = ls.opened(params.text_document.uri)
    analysis = ls.current(state)
    target, spot = _rename_target(analysis, _offset(analysis, params.position))
    name = analysis.value_text(spot.index, spot.field)
    count = len(analysis.references_to(target))
    logger.info("renaming %s %r: %d references", analysis.class_name(target), name, count)
    return types.PrepareRenamePlaceholder(range=_range(analysis.positions, spot.begin, spot.end),
                                          placeholder=name)


def line_edits(analysis: an.Analysis, old: bytes, new: bytes) -> list[types.TextEdit]:
    """The edits that make `old` (the analysed text) into `new`: line by line where the lines are as many,
    else one edit over the part that differs."""
    positions = analysis.positions
    old_lines, new_lines = old.splitlines(keepends=True), new.splitlines(keepends=True)
    edits = []
    if len(old_lines) == len(new_lines):
        starts = positions.starts
        for k, (a, b) in enumerate(zip(old_lines, new_lines)):
            if a != b:
                begin = starts[k]
                edits.append(types.TextEdit(range=_range(positions, begin, begin + len(a)),
                                            new_text=b.decode("utf-8", "replace")))
        return edits
    head = 0
    limit = min(len(old), len(new))
    while head < limit and old[head] == new[head]:
        head += 1
    tail = 0
    while tail < limit - head and old[len(old) - 1 - tail] == new[len(new) - 1 - tail]:
        tail += 1
    while head and (old[head - 1] & 0xC0) == 0x80:
        head -= 1
    while tail and (old[len(old) - tail] & 0xC0) == 0x80:
        tail -= 1
    return [types.TextEdit(range=_range(positions, head, len(old) - tail),
                           new_text=new[head:len(new) - tail].decode("utf-8", "replace"))]


@server.feature(types.TEXT_DOCUMENT_RENAME)
def rename(ls: Server, params: types.RenameParams) -> types.WorkspaceEdit:
    state = ls.opened(params.text_document.uri)
    analysis = ls.current(state)
    target, _ = _rename_target(analysis, _offset(analysis, params.position))
    if analysis.schema is None or analysis.doc is None:
        raise _refuse("the document has no schema, so its references are not known")
    copy = IDF.from_string(analysis.schema.idd, analysis.blanked.decode("utf-8", "replace"), keep_layout=True)
    obj = list(copy)[analysis.slot[target]]
    try:
        obj.rename(params.new_name)
    except ValueError as error:
        raise _refuse(str(error)) from None
    new = copy.format(keep_layout=True).encode("utf-8", "replace")
    edits = line_edits(analysis, analysis.blanked, new)
    return _workspace_edit(state, analysis, edits)


def _workspace_edit(state: Open, analysis: an.Analysis, edits: list[types.TextEdit]) -> types.WorkspaceEdit:
    document = types.OptionalVersionedTextDocumentIdentifier(uri=state.uri, version=analysis.version)
    return types.WorkspaceEdit(document_changes=[types.TextDocumentEdit(text_document=document,
                                                                        edits=list(edits))])


# --- formatting -------------------------------------------------------------------------------------


def _loadable(ls: Server, analysis: an.Analysis) -> IDF:
    if analysis.doc is None or analysis.schema is None or analysis.faults:
        first = analysis.faults[0].message if analysis.faults else "the document is not loaded"
        message = f"not formatted: {first}"
        ls.window_show_message(types.ShowMessageParams(type=types.MessageType.Warning, message=message))
        raise _refuse(message)
    return analysis.doc


def format_text(ls: Server, doc: IDF, options: types.FormattingOptions) -> str:
    return doc.format(compact=ls.settings.compact, preserve_order=ls.settings.preserve_order)


@server.feature(types.TEXT_DOCUMENT_FORMATTING)
def formatting(ls: Server, params: types.DocumentFormattingParams) -> list[types.TextEdit]:
    state = ls.opened(params.text_document.uri)
    analysis = ls.current(state)
    doc = _loadable(ls, analysis)
    new = format_text(ls, doc, params.options)
    whole = _range(analysis.positions, 0, len(analysis.data))
    return [] if new.encode() == analysis.data else [types.TextEdit(range=whole, new_text=new)]


@server.feature(types.TEXT_DOCUMENT_RANGE_FORMATTING)
def range_formatting(ls: Server, params: types.DocumentRangeFormattingParams) -> list[types.TextEdit]:
    """The objects the range touches, each laid out as the writer pads it; the rest left as it is."""
    state = ls.opened(params.text_document.uri)
    analysis = ls.current(state)
    if analysis.schema is None:
        raise _refuse("the document has no schema")
    begin, end = _offset(analysis, params.range.start), _offset(analysis, params.range.end)
    edits = []
    for place in analysis.loaded:
        obj_begin, obj_end = analysis.object_span(place)
        if obj_end < begin or obj_begin > end:
            continue
        text = analysis.data[obj_begin:obj_end].decode("utf-8", "replace")
        single = IDF.from_string(analysis.schema.idd, text)
        tidy = single.format(compact=False, preserve_order=True).strip()
        if tidy != text:
            edits.append(types.TextEdit(range=_range(analysis.positions, obj_begin, obj_end), new_text=tidy))
    return edits


# --- outline, folding, colours -------------------------------------------------------------------------


@server.feature(types.TEXT_DOCUMENT_DOCUMENT_SYMBOL)
def document_symbols(ls: Server, params: types.DocumentSymbolParams) -> list[types.DocumentSymbol]:
    state = ls.opened(params.text_document.uri)
    if state.is_schema:
        return schema_symbols(ls.schema_text(state))
    analysis = ls.current(state)
    by_class: dict[str, list[types.DocumentSymbol]] = {}
    spans: dict[str, list[int]] = {}
    positions = analysis.positions
    for place in range(analysis.count):
        written = analysis.class_text(place).decode("utf-8", "replace")
        class_name = analysis.class_name(place) or written or "(no class)"
        begin, end = analysis.object_span(place)
        name_span = analysis.name_span(place)
        name = analysis.data[slice(*name_span)].decode("utf-8", "replace") if name_span else ""
        if not name and analysis.field_count(place):
            name = analysis.value_text(place, 0)
        whole = _range(positions, begin, end)
        symbol = types.DocumentSymbol(name=name or class_name, kind=types.SymbolKind.Object, range=whole,
                                      selection_range=_range(positions, *(name_span or analysis.class_span(place))),
                                      detail=class_name)
        by_class.setdefault(class_name, []).append(symbol)
        span = spans.setdefault(class_name, [begin, end])
        span[1] = end
    return [types.DocumentSymbol(name=name, kind=types.SymbolKind.Class, detail=f"{len(children)}",
                                 range=_range(positions, *spans[name]),
                                 selection_range=children[0].selection_range, children=children)
            for name, children in by_class.items()]


@server.feature(types.TEXT_DOCUMENT_FOLDING_RANGE)
def folding(ls: Server, params: types.FoldingRangeParams) -> list[types.FoldingRange]:
    state = ls.opened(params.text_document.uri)
    analysis = ls.current(state)
    found = []
    line_of = analysis.positions.line_of
    for place in range(analysis.count):
        begin, end = analysis.object_span(place)
        first, last = line_of(begin), line_of(max(begin, end - 1))
        if last > first:
            found.append(types.FoldingRange(start_line=first, end_line=last))
    return found


def semantic_tokens_of(analysis: an.Analysis) -> list[int]:
    """The colours of the text: class names, names, references, numbers, choices and comments, in the
    protocol's relative encoding."""
    spans: list[tuple[int, int, int, int]] = []
    data = analysis.data
    for place in range(analysis.count):
        class_begin, class_end = analysis.class_span(place)
        if class_end > class_begin:
            spans.append((class_begin, class_end, 0, 0))
        classes = analysis.class_data(place)
        if classes is None:
            continue
        first = analysis.objects[6 * place + 3]
        for k in range(analysis.field_count(place)):
            begin, end = analysis.fields[3 * (first + k)], analysis.fields[3 * (first + k) + 1]
            if end > begin and (token := _TOKEN_OF_KIND.get(classes.kind(k))) is not None:
                spans.append((begin, end, token[0], token[1]))
    positions = analysis.positions
    for begin in analysis.comments:
        line = positions.line_of(begin)
        spans.append((begin, positions.line_end(line), 3, 0))
    spans.sort()
    out: list[int] = []
    last_line = last_char = 0
    ascii_text = data.isascii()
    starts = positions.starts
    for begin, end, kind, modifiers in spans:
        line = positions.line_of(begin)
        if ascii_text:
            char, length = begin - starts[line], end - begin
        else:
            char = positions.position(begin)[1]
            length = positions.position(end)[1] - char
        out.extend((line - last_line, char - last_char if line == last_line else char, length, kind, modifiers))
        last_line, last_char = line, char
    return out


@server.feature(types.TEXT_DOCUMENT_SEMANTIC_TOKENS_FULL,
                types.SemanticTokensLegend(token_types=TOKEN_TYPES, token_modifiers=TOKEN_MODIFIERS))
def semantic_tokens(ls: Server, params: types.SemanticTokensParams) -> types.SemanticTokens:
    state = ls.opened(params.text_document.uri)
    return types.SemanticTokens(data=semantic_tokens_of(ls.current(state)))


# --- quick fixes ------------------------------------------------------------------------------------


def _nearest(word: str, choices: Iterable[str], count: int = 3) -> list[str]:
    by_key: dict[str, str] = {}
    for choice in choices:
        by_key.setdefault(choice.upper(), choice)
    return [by_key[k] for k in difflib.get_close_matches(word.upper(), list(by_key), n=count, cutoff=0.0)]


def _fix(title: str, state: Open, analysis: an.Analysis, edits: list[types.TextEdit],
         diagnostic: types.Diagnostic, preferred: bool = False) -> types.CodeAction:
    return types.CodeAction(title=title, kind=types.CodeActionKind.QuickFix, diagnostics=[diagnostic],
                            is_preferred=preferred or None, edit=_workspace_edit(state, analysis, edits))


def _fixes_for(ls: Server, state: Open, analysis: an.Analysis, diagnostic: types.Diagnostic,
               problem: Problem | None, fault: an.Fault | None) -> list[types.CodeAction]:
    positions = analysis.positions
    schema = analysis.schema
    if schema is None:
        return []
    if fault is not None and fault.code == an.UNKNOWN_CLASS and fault.value:
        where = _range(positions, fault.begin, fault.end)
        return [_fix(f"Change to {name}", state, analysis, [types.TextEdit(range=where, new_text=name)],
                     diagnostic, k == 0) for k, name in enumerate(_nearest(fault.value, schema.names))]
    if problem is None or problem.obj_idx is None or problem.field_index is None:
        return []
    place = analysis.loaded[problem.obj_idx]
    if problem.field_index >= analysis.field_count(place):
        return []
    begin, end, _ = analysis.field_span(place, problem.field_index)
    where = _range(positions, begin, end)
    value = analysis.value_text(place, problem.field_index)
    data = analysis.class_data(place)
    info: FieldInfo | None = data.field(problem.field_index) if data is not None else None
    if info is None:
        return []
    if problem.code == "not-a-choice":
        return [_fix(f"Change to {key}", state, analysis, [types.TextEdit(range=where, new_text=key)], diagnostic,
                     k == 0) for k, key in enumerate(_nearest(value, info.choices))]
    if problem.code in ("below-minimum", "above-maximum"):
        low = problem.code == "below-minimum"
        limit, exclusive = (info.minimum, info.minimum_exclusive) if low else (info.maximum, info.maximum_exclusive)
        if limit is None or exclusive:
            return []
        text = _number(limit)
        return [_fix(f"Change to the {'minimum' if low else 'maximum'}, {text}", state, analysis,
                     [types.TextEdit(range=where, new_text=text)], diagnostic, True)]
    if problem.code == "unknown-reference" and value:
        names = [name for name, _ in analysis.names_for(info.object_lists)]
        actions = [_fix(f"Change to {name}", state, analysis, [types.TextEdit(range=where, new_text=name)],
                        diagnostic, k == 0) for k, name in enumerate(_nearest(value, names))]
        fillers = [c for c, f in schema.fillers(info.object_lists) if f is not None]
        if fillers:
            actions.append(_add_object(state, analysis, fillers[0], value, diagnostic))
        return actions
    return []


def _add_object(state: Open, analysis: an.Analysis, class_name: str, name: str,
                diagnostic: types.Diagnostic) -> types.CodeAction:
    """Add an object of the class with that name, after the last object of its class (else at the end)."""
    assert analysis.schema is not None
    scratch = IDF.from_string(analysis.schema.idd, "")
    obj = scratch.add_object(class_name)
    data = analysis.schema.data(class_name)
    if data.name_field is not None:
        obj[data.name_field] = name
    compact = _lays_out_compact(analysis)
    text = scratch.format(preserve_order=True, compact=compact).strip()
    last = None
    for place in analysis.loaded:
        if analysis.class_name(place) == class_name:
            last = place
    data_text = analysis.data
    newline = "\r\n" if b"\r\n" in data_text[:4096] else "\n"
    if last is not None:
        at = analysis.positions.line_end(analysis.positions.line_of(analysis.object_span(last)[1] - 1))
        new_text = newline + ("" if compact else newline) + text
    else:
        at = len(data_text)
        new_text = ("" if not data_text or data_text.endswith((b"\n", b"\r")) else newline) + text + newline
    edit = types.TextEdit(range=_range(analysis.positions, at, at), new_text=new_text)
    return _fix(f"Add a {class_name} named {name}", state, analysis, [edit], diagnostic)


@server.feature(types.TEXT_DOCUMENT_CODE_ACTION,
                types.CodeActionOptions(code_action_kinds=[types.CodeActionKind.QuickFix]))
def code_actions(ls: Server, params: types.CodeActionParams) -> list[types.CodeAction]:
    state = ls.opened(params.text_document.uri)
    analysis = ls.current(state)
    begin, end = _offset(analysis, params.range.start), _offset(analysis, params.range.end)
    actions: list[types.CodeAction] = []
    docs_url = ls.settings.docs_url
    for fault in analysis.faults:
        if fault.code == an.UNKNOWN_CLASS and fault.begin <= end and fault.end >= begin:
            diagnostic = diagnostics_of_fault(analysis, fault)
            actions.extend(_fixes_for(ls, state, analysis, diagnostic, None, fault))
    for problem in analysis.problems:
        if problem.code not in ("not-a-choice", "below-minimum", "above-maximum", "unknown-reference"):
            continue
        span_begin, span_end = problem_span(analysis, problem)
        if span_begin <= end and span_end >= begin:
            diagnostic = types.Diagnostic(range=_range(analysis.positions, span_begin, span_end),
                                          message=problem.message, severity=_SEVERITY[problem.severity],
                                          code=problem.code, source="tarvix",
                                          code_description=types.CodeDescription(href=docs_url))
            actions.extend(_fixes_for(ls, state, analysis, diagnostic, problem, None))
    return actions


def diagnostics_of_fault(analysis: an.Analysis, fault: an.Fault) -> types.Diagnostic:
    return types.Diagnostic(range=_range(analysis.positions, fault.begin, fault.end), message=fault.message,
                            severity=types.DiagnosticSeverity.Error, code=fault.code, source="tarvix",
                            data={"value": fault.value})


__all__ = ["Server", "server", "line_starts"]
