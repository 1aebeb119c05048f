"""tarvix lsp through a real client over stdio: every feature, its exact ranges and edits, and hostile input."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("pygls")
pytest.importorskip("lsprotocol")

from lsprotocol import types  # noqa: E402

from engine import payload_dir  # noqa: E402
from lsp_session import Session, apply_edits, doc_id, position  # noqa: E402
from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402

MODEL = Path(__file__).resolve().parent.parent / "examples" / "data" / "two_zone_25_2.idf"
BASE = MODEL.read_text(encoding="utf-8")
# One misspelled choice, one number past its maximum, one reference to no zone.
FAULTY = (BASE.replace("Suburbs,", "Suburbz,", 1).replace("Timestep,\n    4;", "Timestep,\n    99;", 1)
          .replace("Exterior Wall,           !- Construction Name\n    West Office,",
                   "Exterior Wall,           !- Construction Name\n    West Ofice,", 1))


@pytest.fixture(scope="module")
def schema_path():
    return str(payload_dir() / "Energy+.idd")


@pytest.fixture(scope="module")
def session(schema_path):
    made = Session({"idd": schema_path})
    yield made
    made.close()


@pytest.fixture(scope="module")
def idd(schema_path):
    return IDD.from_file(schema_path)


def _between(text, where):
    lines = text.splitlines(keepends=True)
    start = sum(map(len, lines[: where.start.line])) + where.start.character
    end = sum(map(len, lines[: where.end.line])) + where.end.character
    return text[start:end]


def codes_of(diagnostics):
    """The codes found, but for the objects a whole model needs (a Building, ...)."""
    return [d.code for d in diagnostics if d.code != "required-object"]


def test_diagnostics_cover_the_values_and_follow_changes(session, tmp_path):
    uri = session.open(tmp_path / "faulty.idf", FAULTY)
    found = {(d.code, _between(FAULTY, d.range)) for d in session.wait_diagnostics(uri)}
    assert {("not-a-choice", "Suburbz"), ("above-maximum", "99"), ("unknown-reference", "West Ofice")} <= found
    diagnostic = next(d for d in session.diagnostics[uri].diagnostics if d.code == "not-a-choice")
    assert diagnostic.severity == types.DiagnosticSeverity.Error and diagnostic.code_description.href
    # One character typed, incrementally: the choice is mended and only its diagnostic goes.
    at = position(FAULTY, "Suburbz", 6)
    session.change(uri, "s", types.Range(at, types.Position(at.line, at.character + 1)))
    after = {d.code for d in session.wait_diagnostics(uri)}
    assert "not-a-choice" not in after and {"above-maximum", "unknown-reference"} <= after


def test_hover_tells_field_class_and_reference(session, tmp_path):
    uri = session.open(tmp_path / "hover.idf", BASE)
    hover = session.client.text_document_hover_async

    def shown(needle, shift=0, nth=0):
        got = session.request(hover, types.HoverParams(doc_id(uri), position(BASE, needle, shift, nth)))
        return None if got is None else got.contents.value

    terrain = shown("Suburbs", 2)
    assert "**Terrain**" in terrain and "choices: Country, Suburbs, City, Ocean, Urban" in terrain
    assert "default: Suburbs" in terrain
    north = shown("0,                       !- North Axis")
    assert "units: deg" in north
    assert "**Zone** (Thermal Zones and Surfaces)" in shown("Zone,\n    West", 1)
    zone_line = BASE[:BASE.index("Zone,\n    West Office")].count("\n") + 1
    reference = shown("West Office,             !- Zone Name", 1)
    assert f"names Zone 'West Office' (line {zone_line})" in reference and "ZoneNames" in reference
    assert shown("! Two offices") is None


def test_completion_offers_choices_names_classes_and_autosize(session, tmp_path):
    uri = session.open(tmp_path / "complete.idf", BASE)
    complete = session.client.text_document_completion_async

    def labels(text, needle, shift=0):
        got = session.request(complete, types.CompletionParams(doc_id(uri), position(text, needle, shift)))
        return got.items

    assert [i.label for i in labels(BASE, "Suburbs", 3)] == ["Country", "Suburbs", "City", "Ocean", "Urban"]
    names = {i.label: i.detail for i in labels(BASE, "West Office,             !- Zone Name", 2)}
    assert names["West Office"] == "Zone" and names["East Office"] == "Zone"
    assert "Autocalculate" in [i.label for i in labels(BASE, "autocalculate,           !- Ceiling", 2)]
    typed = BASE.replace("Timestep,", "Zon\n\nTimestep,", 1)
    session.change(uri, typed)
    items = labels(typed, "Zon\n", 3)
    zone = next(i for i in items if i.label == "Zone")
    assert zone.insert_text_format == types.InsertTextFormat.Snippet
    assert zone.text_edit.new_text.startswith("Zone,\n    ${1:},") and "!- Direction of Relative North {deg}" in \
        zone.text_edit.new_text
    assert items[0].label.upper().startswith("ZON")


def test_definition_references_and_highlight(session, tmp_path):
    uri = session.open(tmp_path / "refs.idf", BASE)
    client = session.client
    at = position(BASE, "West Office,             !- Zone Name", 3)
    target = session.request(client.text_document_definition_async, types.DefinitionParams(doc_id(uri), at))
    assert _between(BASE, target.range) == "West Office" and target.range.start == position(BASE, "West Office,")
    name = position(BASE, "West Office,             !- Name", 1)
    found = session.request(client.text_document_references_async, types.ReferenceParams(
        text_document=doc_id(uri), position=name, context=types.ReferenceContext(include_declaration=True)))
    doc = IDF.from_string(IDD.from_file(str(payload_dir() / "Energy+.idd")), BASE)
    zone = doc.get_object_by_name("Zone", "West Office")
    assert len(found) == 1 + sum(1 for o in zone.get_referencing_objects(0) for v in o.get_values()
                                 if isinstance(v, str) and v.upper() == "WEST OFFICE")
    assert all(_between(BASE, f.range) == "West Office" for f in found)
    lit = session.request(client.text_document_document_highlight_async,
                          types.DocumentHighlightParams(doc_id(uri), name))
    assert len(lit) == len(found) and lit[0].kind == types.DocumentHighlightKind.Write
    plain = position(BASE, "Suburbs")
    assert session.request(client.text_document_definition_async, types.DefinitionParams(doc_id(uri), plain)) is None


def test_rename_equals_the_library_and_refuses_what_it_must(session, tmp_path, idd):
    path = tmp_path / "rename.idf"
    path.write_text(BASE, encoding="utf-8")
    stamp = path.stat().st_mtime_ns
    uri = session.open(path)
    client = session.client
    at = position(BASE, "West Office,             !- Zone Name", 2)
    prepared = session.request(client.text_document_prepare_rename_async,
                               types.PrepareRenameParams(doc_id(uri), at))
    assert prepared.placeholder == "West Office"
    edit = session.request(client.text_document_rename_async, types.RenameParams(text_document=doc_id(uri), position=at, new_name="Office A"))
    (change,) = edit.document_changes
    assert change.text_document.version == 1
    expected = IDF.from_string(idd, BASE, keep_layout=True)
    expected.get_object_by_name("Zone", "West Office").rename("Office A")
    assert apply_edits(BASE, change.edits) == expected.format(keep_layout=True)
    assert path.stat().st_mtime_ns == stamp  # the server never writes the file itself
    for place, new_name, message in [
        (at, "East Office", "already exists"),
        (at, "", "empty"),
        (position(BASE, "Suburbs"), "X", "not a name other objects refer to"),
    ]:
        with pytest.raises(Exception, match=message):
            session.request(client.text_document_rename_async, types.RenameParams(text_document=doc_id(uri), position=place, new_name=new_name))
    with pytest.raises(Exception, match="not a name"):
        session.request(client.text_document_prepare_rename_async,
                        types.PrepareRenameParams(doc_id(uri), position(BASE, "Suburbs")))


def test_formatting_equals_format_and_keeps_every_value(session, tmp_path, idd):
    uri = session.open(tmp_path / "format.idf", BASE)
    client = session.client
    options = types.FormattingOptions(tab_size=4, insert_spaces=True)
    edits = session.request(client.text_document_formatting_async,
                            types.DocumentFormattingParams(text_document=doc_id(uri), options=options))
    assert apply_edits(BASE, edits) == IDF.from_string(idd, BASE).format(preserve_order=True)
    # Tidying a range: the objects it touches get the standard padding, every value the same.
    messy = BASE.replace("Timestep,\n    4;                       !- Number of Timesteps per Hour",
                         "Timestep,   4  ;", 1)
    session.change(uri, messy)
    start = position(messy, "Timestep")
    tidy = session.request(client.text_document_range_formatting_async, types.DocumentRangeFormattingParams(
        text_document=doc_id(uri), range=types.Range(start, start), options=options))
    result = apply_edits(messy, tidy)
    assert "Timestep,\n    4;                       !- Number of Timesteps per Hour" in result
    assert [o.get_values() for o in IDF.from_string(idd, result)] == [o.get_values() for o in
                                                                     IDF.from_string(idd, messy)]


def test_outline_folding_and_tokens(session, tmp_path):
    uri = session.open(tmp_path / "outline.idf", BASE)
    client = session.client
    symbols = session.request(client.text_document_document_symbol_async,
                              types.DocumentSymbolParams(doc_id(uri)))
    zones = next(s for s in symbols if s.name == "Zone")
    assert [c.name for c in zones.children] == ["West Office", "East Office"]
    folds = session.request(client.text_document_folding_range_async, types.FoldingRangeParams(doc_id(uri)))
    assert types.FoldingRange(start_line=6, end_line=7) in folds  # Version, over two lines
    tokens = session.request(client.text_document_semantic_tokens_full_async,
                             types.SemanticTokensParams(doc_id(uri))).data
    legend = session.initialized.capabilities.semantic_tokens_provider.legend.token_types
    decoded, line, char = [], 0, 0
    for k in range(0, len(tokens), 5):
        line += tokens[k]
        char = tokens[k + 1] if tokens[k] else char + tokens[k + 1]
        text = BASE.splitlines()[line][char:char + tokens[k + 2]]
        decoded.append((legend[tokens[k + 3]], text))
    assert decoded[0] == ("comment", BASE.splitlines()[0])
    assert ("class", "Zone") in decoded and ("variable", "West Office") in decoded and ("number", "25") in decoded
    assert ("enumMember", "Suburbs") in decoded


def test_quick_fixes(session, tmp_path, idd):
    uri = session.open(tmp_path / "fixes.idf", FAULTY)
    session.wait_diagnostics(uri)
    client = session.client

    def actions(needle):
        at = position(FAULTY, needle)
        return session.request(client.text_document_code_action_async, types.CodeActionParams(
            text_document=doc_id(uri), range=types.Range(at, at), context=types.CodeActionContext(diagnostics=[])))

    def applied(action):
        return apply_edits(FAULTY, action.edit.document_changes[0].edits)

    choice = actions("Suburbz")
    assert choice[0].title == "Change to Suburbs" and choice[0].is_preferred
    assert "Suburbs," in applied(choice[0])
    assert [a.title for a in actions("99")] == ["Change to the maximum, 60"]
    reference = actions("West Ofice")
    assert reference[0].title == "Change to West Office"
    add = next(a for a in reference if a.title == "Add a Zone named West Ofice")
    added = IDF.from_string(idd, applied(add))
    assert added.get_object_by_name("Zone", "West Ofice") is not None
    assert not [p for p in added.validate() if p.code == "unknown-reference" and p.value == "West Ofice"]


def test_every_keystroke_of_a_new_object_and_other_hostile_input(session, tmp_path):
    uri = session.open(tmp_path / "typing.idf", "")
    typed = "Version,25.2;\nZone,\n    Z1,  !- Name\n    0;\nPeople,P,Z1;\n"
    for k in range(len(typed)):
        at = position(typed[:k] + "\x01", "\x01")
        session.change(uri, typed[k], types.Range(at, at))
        hover = session.request(session.client.text_document_hover_async, types.HoverParams(doc_id(uri), at))
        assert hover is None or hover.contents.value
    codes = {d.code for d in session.wait_diagnostics(uri)}
    assert "unterminated-object" not in codes and "unknown-class" not in codes
    # A half-typed object, a stray word, a class the schema lacks: one diagnostic each, the rest still checked.
    half = "Version,25.2;\nZon\nZone,Z1;\nMaterial:Nope,X;\nPeople,P,Z2"
    session.change(uri, half)
    found = {(d.code, _between(half, d.range)) for d in session.wait_diagnostics(uri)}
    assert {("missing-delimiter", ""), ("unknown-class", "Material:Nope")} <= found
    assert any(code == "unterminated-object" for code, _ in found)
    # Positions out of range, a lone surrogate, a stale change.
    far = types.Position(line=10_000, character=10_000)
    session.request(session.client.text_document_hover_async, types.HoverParams(doc_id(uri), far))
    session.change(uri, "Version,25.2;\nZone,Z\ud800;\n")
    assert codes_of(session.wait_diagnostics(uri)) == []
    current = session.versions[uri]
    session.change(uri, "Zone,Stale;", version=1)  # older than the text: ignored
    session.versions[uri] = current
    assert codes_of(session.wait_diagnostics(uri)) == []
    symbols = session.request(session.client.text_document_document_symbol_async,
                              types.DocumentSymbolParams(doc_id(uri)))
    assert [s.name for s in symbols] == ["Version", "Zone"]
    line = "Zone,Z1," + ",".join(["1"] * 2_500_000) + ";"  # a line of 10 MB
    session.change(uri, "Version,25.2;\n" + line, version=session.versions[uri] + 1)
    assert "too-many-fields" in codes_of(session.wait_diagnostics(uri))


def test_a_document_without_a_schema_gets_one_diagnostic(tmp_path):
    session = Session({"idd": str(tmp_path / "missing")})
    try:
        uri = session.open(tmp_path / "none.idf", "Version,25.2;\nZone,Z1;\n")
        (diagnostic,) = session.wait_diagnostics(uri)
        assert diagnostic.code == "no-schema" and "tarvix.idd" in diagnostic.message
        assert re.search("does not exist", diagnostic.message)
    finally:
        session.close()


def test_a_document_of_50_mb(session, tmp_path):
    zones = "".join(f"Zone,Zone {k},0,0,0,0,1,1,autocalculate,autocalculate;\n" for k in range(880_000))
    text = "Version,25.2;\n" + zones
    assert len(text) > 50_000_000
    uri = session.open(tmp_path / "huge.idf", text)
    assert codes_of(session.wait_diagnostics(uri, timeout=300)) == []
    last = position(text, "Zone 879999", 2)
    hover = session.request(session.client.text_document_hover_async, types.HoverParams(doc_id(uri), last))
    assert "**Name**" in hover.contents.value


def test_a_scripted_neovim_session_renames_as_the_library_does(tmp_path, schema_path, idd):
    nvim = shutil.which("nvim")
    if nvim is None:
        pytest.skip("needs Neovim (Debian's neovim) for the editor's own session")
    path = tmp_path / "two zones.idf"
    path.write_text(BASE, encoding="utf-8")
    reference = position(BASE, "West Office,             !- Zone Name", 2)
    env = {**os.environ, "TARVIX_PYTHON": sys.executable, "TARVIX_ROOT": str(tmp_path), "TARVIX_IDD": schema_path,
           "TARVIX_FILE": str(path), "TARVIX_LINE": str(reference.line + 1), "TARVIX_COL": str(reference.character),
           "TARVIX_NEW_NAME": "Office A"}
    script = Path(__file__).parent / "editors" / "neovim.lua"
    subprocess.run([nvim, "--headless", "--clean", "-n", "-c", f"luafile {script}"], env=env, timeout=120,
                   check=True, capture_output=True, stdin=subprocess.DEVNULL)
    name = position(BASE, "West Office,             !- Name")
    assert (tmp_path / "two zones.idf.cursor").read_text() == f"{name.line + 1},{name.character}"
    expected = IDF.from_string(idd, BASE, keep_layout=True)
    expected.get_object_by_name("Zone", "West Office").rename("Office A")
    assert path.read_text(encoding="utf-8") == expected.format(keep_layout=True)


def test_the_editors_grammar_reads():
    import json

    grammar = json.loads((Path(__file__).parent.parent / "editors" / "vscode" / "idf.tmLanguage.json").read_text())
    pattern = re.compile(grammar["repository"]["object"]["begin"])
    assert pattern.match("  Zone:Detailed ,").group(1) == "Zone:Detailed"
    numbers = re.compile(grammar["repository"]["object"]["patterns"][3]["match"])
    assert numbers.search("X,  -1.5e3 ;") and not numbers.search("X, Zone 1,")


def test_a_schema_file_gets_hover_and_an_outline(session, tmp_path):
    text = ("\\group Zones\nZone,\n  \\memo A thermal zone.\n  A1 , \\field Name\n       \\required-field\n"
            "       \\reference ZoneNames\n  N1 ; \\field Multiplier\n       \\type integer\n       \\minimum 1\n"
            "People,\n  A1 ; \\field Zone Name\n       \\object-list ZoneNames\n")
    uri = session.open(tmp_path / "small.idd", text, language="idd")
    client = session.client
    symbols = session.request(client.text_document_document_symbol_async, types.DocumentSymbolParams(doc_id(uri)))
    assert [(s.name, [c.name for c in s.children or []]) for s in symbols] == [
        ("Zone", ["Name", "Multiplier"]), ("People", ["Zone Name"])]

    def shown(needle, shift=0):
        got = session.request(client.text_document_hover_async,
                              types.HoverParams(doc_id(uri), position(text, needle, shift)))
        return got.contents.value

    assert "**Zone** (Zones): 2 fields" in shown("Zone,") and "A thermal zone." in shown("Zone,")
    assert "range: ≥ 1" in shown("N1 ;")
    assert "names an object of ZoneNames: Zone" in shown("A1 ; \\field Zone")
    assert not session.request(client.text_document_folding_range_async, types.FoldingRangeParams(doc_id(uri)))


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16", "utf-32"])
def test_positions_in_each_encoding(schema_path, tmp_path, encoding):
    text = ("Version,25.2;\n! Zoné 𝔸 ⇒\nZone, Zoné 𝔸 ;\nZoneInfiltration:DesignFlowRate,I𝔸,  Zoné 𝔸,Always,Flow/Zone,1;\n"
            "ZoneInfiltration:DesignFlowRate,I2,Zoné 𝔹,Always,Flow/Zone,1;\n")

    def units(line):
        return (line.encode("utf-8") if encoding == "utf-8" else line.encode("utf-16-le") if encoding == "utf-16"
                else line.encode("utf-32-le")), {"utf-8": 1, "utf-16": 2, "utf-32": 4}[encoding]

    def to_position(needle, nth=0):
        at = -1
        for _ in range(nth + 1):
            at = text.index(needle, at + 1)
        line = text.count("\n", 0, at)
        head = text[text.rfind("\n", 0, at) + 1:at]
        data, size = units(head)
        return types.Position(line=line, character=len(data) // size)

    def spanned(where):
        line = text.splitlines()[where.start.line]
        data, size = units(line)
        codec = {"utf-8": "utf-8", "utf-16": "utf-16-le", "utf-32": "utf-32-le"}[encoding]
        return data[where.start.character * size:where.end.character * size].decode(codec)

    session = Session({"idd": schema_path}, encodings=[encoding])
    try:
        assert session.initialized.capabilities.position_encoding == encoding
        uri = session.open(tmp_path / "encodings.idf", text)
        unknown = [d for d in session.wait_diagnostics(uri) if d.code == "unknown-reference"]
        assert [spanned(d.range) for d in unknown] == ["Always", "Zoné 𝔹", "Always"]
        target = session.request(session.client.text_document_definition_async,
                                 types.DefinitionParams(doc_id(uri), to_position("Zoné 𝔸", 2)))
        assert spanned(target.range) == "Zoné 𝔸" and target.range.start == to_position("Zoné 𝔸", 1)
    finally:
        session.close()
