"""The tarvix command, run as a user runs it: in a subprocess, on folders of small documents."""

import codecs
import difflib
import fcntl
import json
import os
import re
import resource
import shutil
import stat
import struct
import subprocess
import sys
import termios
import threading
from pathlib import Path

import pytest

from schema_samples import epjson_schema
from tarvix.idd import IDD
from tarvix.idf import IDF, PROBLEM_CODES

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "examples" / "data"
IDD_PATH = DATA / "building.idd"
OFFICE = (DATA / "office.idf").read_text(encoding="utf-8")
BAD_WALL = "BuildingSurface:Detailed, South Wall, Wall, Exterior Wal, West Office, 3, 0,0,3, 0,0,0, 10,0,0;\n"
SUMMARY = re.compile(r"^documents\s+(\d+)\nwith errors\s+(\d+)\nerrors\s+(\d+)\nwarnings\s+(\d+)\n"
                     r"not loaded\s+(\d+)\ntime\s+[\d.]+ s$", re.MULTILINE)


def tarvix(*args, status=0, cwd=None, env=None):
    proc = subprocess.run([sys.executable, "-m", "tarvix", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=env, timeout=120)
    assert proc.returncode == status, f"status {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc


def summary(stderr):
    found = SUMMARY.search(stderr)
    assert found, stderr
    return tuple(map(int, found.groups()))


@pytest.fixture
def models(tmp_path):
    """Good documents in a folder tree, one with errors, one that does not load."""
    root = tmp_path / "models"
    (root / "north").mkdir(parents=True)
    (root / "south").mkdir()
    (root / "north" / "office.idf").write_text(OFFICE)
    (root / "south" / "office.IDF").write_text(OFFICE)  # same name, another folder
    (root / "south" / "typo.idf").write_text(OFFICE + BAD_WALL)
    (root / "south" / "notes.txt").write_text("not a document")
    return root


def test_validate_reports_problems_and_sets_the_exit_status(models):
    clean = tarvix("validate", models / "north", "--idd", IDD_PATH)
    assert clean.stdout == "" and summary(clean.stderr) == (1, 0, 0, 0, 0)

    found = tarvix("validate", models, "--idd", IDD_PATH, "--jobs", 2, status=1)
    typo = models / "south" / "typo.idf"
    # One problem a line, `path:line: ` then its parts separated by tabs: a class name's colons do not split it.
    assert found.stdout.rstrip("\n").split("\t") == [
        f"{typo}:58: error", "unknown-reference", "BuildingSurface:Detailed 'South Wall', field 'Construction Name': "
        "no object in ConstructionNames is named 'Exterior Wal'."]
    assert summary(found.stderr) == (3, 1, 1, 0, 0)

    only = tarvix("validate", typo, "--idd", IDD_PATH, "--codes", "not-a-choice,too-few-fields")
    assert only.stdout == "" and summary(only.stderr) == (1, 0, 0, 0, 0)
    unknown = tarvix("validate", typo, "--idd", IDD_PATH, "--codes", "no-such-check", status=2)
    assert f"'no-such-check'; the codes are {', '.join(PROBLEM_CODES)}" in unknown.stderr


def test_validate_goes_on_past_a_broken_file_and_exits_2(models):
    broken = models / "south" / "broken.idf"
    broken.write_text("Zone,Hall;\nRoom,Attic;\n")
    missing = models / "missing.idf"
    proc = tarvix("validate", models, missing, "--idd", IDD_PATH, status=2)
    assert f"tarvix: error: {broken}: IDF parsing error: Unknown class: 'Room'" in proc.stderr
    assert f"tarvix: error: {missing}: no such file or folder" in proc.stderr
    assert "unknown-reference" in proc.stdout  # the others were still checked
    assert summary(proc.stderr) == (3, 1, 1, 0, 2)


def test_validate_json_lines(models):
    proc = tarvix("validate", models / "south", "--idd", IDD_PATH, "--json", status=1)
    (line,) = proc.stdout.splitlines()
    problem = json.loads(line)
    assert problem == {"path": str(models / "south" / "typo.idf"), "severity": "error", "code": "unknown-reference",
                       "class_name": "BuildingSurface:Detailed", "object_name": "South Wall", "obj_idx": 8,
                       "field_index": 2, "field_name": "Construction Name", "value": "Exterior Wal",
                       "message": problem["message"], "line": 58}


# Each problem where it stands in a small hand-written document; a missing object has no line.
LINES_DOC = """! A hand-written zone and wall
Version,1.0;

Zone,
    Hall,          !- Name
    0,             !- North
    1.5;           !- Multiplier

BuildingSurface:Detailed, South, Wall, Nowhere, Hall, 3, 0,0,3, 0,0,0, 10,0,0;
Version,1.0;
"""


@pytest.mark.parametrize("code, line", [("not-an-integer", 7), ("unknown-reference", 9), ("unique-object", 10),
                                        ("required-object", None)])
def test_validate_gives_the_line_of_each_problem(tmp_path, code, line):
    schema = tmp_path / "site.idd"
    schema.write_text(IDD_PATH.read_text() + "\nSite,\n      \\required-object\n  A1 ; \\field Name\n")
    doc = tmp_path / "hall.idf"
    doc.write_text(LINES_DOC)
    text = tarvix("validate", doc, "--idd", schema, "--codes", code, status=1).stdout
    prefix = f"{doc}:{line}: " if line is not None else f"{doc}: "
    assert text.startswith(f"{prefix}error\t{code}\t") and text.count("\n") == 1, text
    (problem,) = map(json.loads, tarvix("validate", doc, "--idd", schema, "--codes", code, "--json",
                                        status=1).stdout.splitlines())
    assert problem["line"] == line and problem["code"] == code


def test_usage_errors_exit_2(models, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "TARVIX_IDD"}
    assert "give --idd SCHEMA" in tarvix("validate", models, status=2, env=env).stderr
    assert "no such schema file or folder" in tarvix("info", models / "north" / "office.idf", "--idd",
                                                     tmp_path / "nope.idd", status=2).stderr
    assert "invalid choice" in tarvix("frobnicate", status=2).stderr
    assert "must be 1 or more" in tarvix("validate", models, "--idd", IDD_PATH, "--jobs", 0, status=2).stderr
    # The schema may come from the environment.
    assert summary(tarvix("validate", models / "north", env=dict(env, TARVIX_IDD=str(IDD_PATH))).stderr)[0] == 1


def test_schemas_chosen_per_document_from_a_folder(tmp_path):
    schemas = tmp_path / "schemas"
    schemas.mkdir()
    shutil.copy(IDD_PATH, schemas / "building-1.0.idd")
    (schemas / "building-2.0.idd").write_text(
        IDD_PATH.read_text().replace("!IDD_Version 1.0.0", "!IDD_Version 2.0.0") + "\nAnnex,\n  A1; \\field Name\n")
    (tmp_path / "one.idf").write_text("Version,1.0;\nZone,A;\n")
    (tmp_path / "two.idf").write_text("Version,2.0;\nZone,A;\nAnnex,B;\n")
    (tmp_path / "three.idf").write_text("Version,3.0;\nZone,A;\n")
    proc = tarvix("info", tmp_path / "one.idf", tmp_path / "two.idf", tmp_path / "three.idf",
                  "--idd", schemas, "--json", status=2)
    one, two = map(json.loads, proc.stdout.splitlines())
    assert (one["schema"], two["schema"]) == (str(schemas / "building-1.0.idd"), str(schemas / "building-2.0.idd"))
    assert two["classes"] == {"Annex": 1, "Version": 1, "Zone": 1}
    assert f"three.idf: no schema of version 3.0 in {schemas}; it has 1.0.0, 2.0.0" in proc.stderr


def test_info_lists_counts_and_dangling_references(models):
    typo = models / "south" / "typo.idf"
    text = tarvix("info", typo, "--idd", IDD_PATH).stdout
    assert text.startswith(f"{typo}\n  version: 1.0\n  schema: {IDD_PATH}\n  objects: 9 in 5 classes\n")
    assert re.search(r"^    BuildingSurface:Detailed\s+3$", text, re.MULTILINE)
    assert text.endswith("  dangling references: 1\n    BuildingSurface:Detailed 'South Wall', field "
                         "'Construction Name': no object in ConstructionNames is named 'Exterior Wal'.\n")


def test_format_to_stdout_a_file_and_in_place(models, tmp_path):
    office = models / "north" / "office.idf"
    doc = IDF.from_file(IDD.from_file(IDD_PATH), office)
    assert tarvix("format", office, "--idd", IDD_PATH, "--compact").stdout == doc.format(compact=True)
    out = tmp_path / "out.idf"
    tarvix("format", office, "--idd", IDD_PATH, "--preserve-order", "-o", out)
    text = out.read_text()
    assert text.startswith("! Generated") and text.endswith(doc.format(preserve_order=True) + "\n")

    office.chmod(0o640)
    tarvix("format", office, "--idd", IDD_PATH, "--in-place")
    assert office.read_text().endswith(doc.format() + "\n") and stat.S_IMODE(office.stat().st_mode) == 0o640
    # A document that does not load is left as it was, and no temporary file stays.
    broken = models / "north" / "broken.idf"
    broken.write_text("Zone,A")
    tarvix("format", broken, "--idd", IDD_PATH, "--in-place", status=2)
    assert broken.read_text() == "Zone,A" and sorted(p.name for p in broken.parent.iterdir()) == [
        "broken.idf", "office.idf"]
    assert "not allowed with argument" in tarvix("format", office, "--idd", IDD_PATH, "-o", out, "--in-place",
                                                 status=2).stderr


def test_rename_rewrites_the_references(models, tmp_path):
    office = models / "north" / "office.idf"
    out = tmp_path / "renamed.idf"
    proc = tarvix("rename", office, "zone", "east office", "East Lab", "--idd", IDD_PATH, "-o", out)
    assert proc.stdout == f"{office}: renamed Zone 'East Office' to 'East Lab'; 1 reference changed\n"
    doc = IDF.from_file(IDD.from_file(IDD_PATH), out)
    assert doc.get_object_by_name("BuildingSurface:Detailed", "East Wall")["Zone Name"] == "East Lab"
    assert doc.validate() == []
    assert "no Zone named 'Attic'" in tarvix("rename", office, "Zone", "Attic", "Loft", "--idd", IDD_PATH,
                                             "--in-place", status=2).stderr
    assert "cannot contain" in tarvix("rename", office, "Zone", "East Office", "A;B", "--idd", IDD_PATH,
                                      "--in-place", status=1).stderr
    assert office.read_text() == OFFICE
    assert "one of the arguments -o/--output --in-place is required" in tarvix(
        "rename", office, "Zone", "East Office", "Lab", "--idd", IDD_PATH, status=2).stderr


# Written by hand: comments everywhere, one object on one line, the name in a comment and in another case.
BY_HAND = """! Two zones, written by hand.
!   Keep this header: the plant room notes live here.
Version,1.0;

Zone,
    Plant Room,  ! where the boiler stands
    0,           ! north
    1;

Zone, Büro, 0, 2;   ! one line, a trailing comment

! The wall of the plant room
BuildingSurface:Detailed,
    North Wall,       !- Name
    Wall,             !- Surface Type
    Exterior Wall,    !- Construction Name
    plant room,       !- Zone Name (as typed)
    3,
    0, 0, 3,          !- Vertex 1
    0, 0, 0,
    10, 0, 0;
"""


@pytest.mark.parametrize("encoding, newline, output", [("utf-8", "\n", "--in-place"), ("utf-8-sig", "\r\n", "file"),
                                                       ("cp1252", "\n", "file"), ("utf-8", "\n", "-")])
def test_rename_keeps_comments_and_layout(tmp_path, encoding, newline, output):
    source = tmp_path / "plant.idf"
    source.write_bytes(BY_HAND.replace("\n", newline).encode(encoding))
    out = tmp_path / "out.idf"
    where = {"--in-place": ["--in-place"], "file": ["-o", out], "-": ["-o", "-"]}[output]
    proc = tarvix("rename", source, "Zone", "plant room", "Boiler House", "--idd", IDD_PATH, *where)
    if output == "-":
        text = proc.stdout
    else:
        data = (source if output == "--in-place" else out).read_bytes()
        assert data.startswith(codecs.BOM_UTF8) == (encoding == "utf-8-sig")  # the file's encoding, its mark
        text = data.decode(encoding)
        assert text.count("\r\n") == (text.count("\n") if newline == "\r\n" else 0)  # its line ends
        text = text.replace("\r\n", "\n")
    before, after = BY_HAND.splitlines(), text.splitlines()
    changed = [(a, b) for op, a, _, b, _ in difflib.SequenceMatcher(None, before, after).get_opcodes()
               if op != "equal"]
    assert changed == [(5, 5), (16, 16)] and len(after) == len(before), text  # only the two lines with the name
    for old, new in zip((before[5], before[16]), (after[5], after[16]), strict=True):
        assert "Boiler House," in new and new.endswith(old[old.index("!"):])  # each keeps its comment


@pytest.mark.parametrize("options", [[], ["--compact"], ["--preserve-order"]])
def test_rename_reformat_writes_the_standard_layout(models, tmp_path, options):
    office = models / "north" / "office.idf"
    out = tmp_path / "out.idf"
    tarvix(*RENAME[:1], office, *RENAME[1:], "--idd", IDD_PATH, "--reformat", *options, "-o", out)
    doc = IDF.from_file(IDD.from_file(IDD_PATH), office)
    doc.get_object_by_name("Zone", "East Office").rename("East Lab")
    layout = {option.removeprefix("--").replace("-", "_"): True for option in options}
    text = out.read_text()
    assert text.startswith("! Generated") and text.endswith(doc.format(**layout) + "\n")
    if options:  # a layout option alone would be thrown away: it asks for --reformat
        proc = tarvix(*RENAME[:1], office, *RENAME[1:], "--idd", IDD_PATH, *options, "-o", "-", status=2)
        assert "--compact and --preserve-order lay the document out anew: give them with --reformat" in proc.stderr


def test_convert_both_ways(models, tmp_path):
    schema = tmp_path / "building.schema.epJSON"
    schema.write_text(json.dumps(epjson_schema(IDD.from_file(IDD_PATH))))
    office = models / "north" / "office.idf"
    proc = tarvix("convert", office, "--to", "epjson", "--idd", IDD_PATH, "--epjson-schema", schema)
    written = office.with_suffix(".epJSON")
    assert proc.stdout == "" and proc.stderr == f"{office} -> {written}\n"  # what was written, on stderr
    data = json.loads(written.read_text())
    assert set(data["Zone"]) == {"West Office", "East Office"}

    back = tmp_path / "back.idf"
    tarvix("convert", written, "--to", "IDF", "--idd", IDD_PATH, "--epjson-schema", schema, "-o", back)
    idd = IDD.from_file(IDD_PATH)
    # The same document, choices in the JSON schema's spelling ("Autocalculate").
    assert IDF.from_file(idd, back).format().lower() == IDF.from_file(idd, office).format().lower()
    assert tarvix("convert", office, "--to", "epjson", "--idd", IDD_PATH, "--epjson-schema", schema, "--compact",
                  "-o", "-").stdout == IDF.from_file(idd, office).to_epjson(schema, compact=True)
    # Without --epjson-schema the JSON schema beside the schema file is taken, when there is one.
    assert "there is no building.schema.epJSON or Energy+.schema.epJSON beside" in tarvix(
        "convert", office, "--to", "epjson", "--idd", IDD_PATH, "-o", tmp_path / "new.epJSON", status=2).stderr
    schemas = tmp_path / "schemas"
    schemas.mkdir()
    shutil.copy(IDD_PATH, schemas / "building-1.0.idd")
    shutil.copy(schema, schemas / "building-1.0.schema.epJSON")
    tarvix("convert", written, "--to", "idf", "--idd", schemas, "-o", back, "--force")  # version from the JSON
    assert IDF.from_file(idd, back).format().lower() == IDF.from_file(idd, office).format().lower()
    linked = tmp_path / "linked.idf"
    linked.symlink_to(back)
    tarvix("format", linked, "--idd", schemas, "--compact", "--in-place")
    assert linked.is_symlink() and back.read_text().lower().endswith(
        IDF.from_file(idd, office).format(compact=True).lower() + "\n")
    assert "would replace the document" in tarvix("convert", written, "--to", "epjson", "--idd", IDD_PATH,
                                                  "--epjson-schema", schema, "-o", written, status=2).stderr


def test_convert_replaces_no_file_unless_forced(tmp_path):
    schema = tmp_path / "building.schema.epJSON"
    schema.write_text(json.dumps(epjson_schema(IDD.from_file(IDD_PATH))))
    options = ("--idd", IDD_PATH, "--epjson-schema", schema)
    (tmp_path / "{runs}").mkdir()
    model = tmp_path / "{runs}" / "{model}.idf"  # paths are never read as JSON text
    model.write_text(OFFICE)
    tarvix("convert", "{runs}/{model}.idf", "--to", "epjson", *options, cwd=tmp_path)
    converted = model.with_suffix(".epJSON").read_text()
    by_hand = "! written by hand\n" + OFFICE
    model.write_text(by_hand)
    for source, to, kept, text in (("{runs}/{model}.epJSON", "idf", model, by_hand),
                                   ("{runs}/{model}.idf", "epjson", model.with_suffix(".epJSON"), converted)):
        proc = tarvix("convert", source, "--to", to, *options, cwd=tmp_path, status=1)
        assert proc.stderr == f"tarvix: error: {Path(source).with_suffix(kept.suffix)} exists: give --force to " \
                              "replace it\n" and kept.read_text() == text
    tarvix("convert", "{runs}/{model}.epJSON", "--to", "idf", *options, "--force", cwd=tmp_path)
    assert not model.read_text().startswith("! written by hand")
    assert sorted(p.name for p in model.parent.iterdir()) == ["{model}.epJSON", "{model}.idf"]


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (1500, 1500))  # less than office.idf, in any layout


RENAME = ("rename", "Zone", "East Office", "East Lab")


@pytest.mark.parametrize("command, start", [(("format",), "! Generated"), (RENAME, OFFICE.splitlines()[0]),
                                            ((*RENAME, "--reformat"), "! Generated")])
def test_an_output_over_the_document_is_written_whole_or_not_at_all(models, tmp_path, command, start):
    office = models / "north" / "office.idf"
    link = tmp_path / "link.idf"
    link.symlink_to(office)
    argv = [sys.executable, "-m", "tarvix", command[0], office, *command[1:], "--idd", IDD_PATH, "-o"]
    for target in (office, link):  # -o naming the document, or a link to it, writes it in place
        proc = subprocess.run([*argv, target], capture_output=True, text=True, timeout=120,
                              preexec_fn=limit_file_size)
        assert proc.returncode == 1 and f"{target}: File too large" in proc.stderr
        assert office.read_text() == OFFICE and list(office.parent.iterdir()) == [office]
    tarvix(command[0], office, *command[1:], "--idd", IDD_PATH, "-o", link)
    assert link.is_symlink() and office.read_text().startswith(start)


WRITERS = {"format": ("format", "{doc}", "--idd", IDD_PATH), "draw": ("draw", "{doc}", "--idd", IDD_PATH)}


def without_date(text):
    return re.sub(rb"! Saved at: [^\n]*\n", b"", text)


def read_fifo(fifo, got):
    with open(fifo, "rb") as reader:
        got.append(reader.read())


@pytest.mark.parametrize("command", sorted(WRITERS))
def test_a_device_or_a_pipe_is_written_into_never_replaced(models, tmp_path, command):
    office = models / "north" / "office.idf"
    argv = [str(a).format(doc=office) for a in WRITERS[command]]
    tarvix(*argv, "-o", tmp_path / "file")
    expected = without_date((tmp_path / "file").read_bytes())
    for force in ([], ["--force"]):  # a pipe, as standard output, needs no --force
        fifo = tmp_path / f"pipe{len(force)}"
        os.mkfifo(fifo)
        got = []
        reader = threading.Thread(target=read_fifo, args=(fifo, got))
        reader.start()
        proc = tarvix(*argv, "-o", fifo, *force)
        reader.join(timeout=60)
        assert [without_date(text) for text in got] == [expected] and stat.S_ISFIFO(fifo.lstat().st_mode)
        assert proc.stderr == f"{office} -> {fifo}\n"  # the written line, on stderr as for every command
    tarvix(*argv, "-o", os.devnull, "--force")
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
    if os.path.exists("/dev/full"):  # a device that cannot take the text: the error names it
        full = tarvix(*argv, "-o", "/dev/full", "--force", status=1)
        assert "/dev/full" in full.stderr and ".tmp" not in full.stderr
        assert stat.S_ISCHR(os.stat("/dev/full").st_mode)
    if command == "format":
        return  # -o naming a folder puts the output inside it
    folder = tmp_path / "folder"
    folder.mkdir()
    refused = tarvix(*argv, "-o", folder, "--force", status=1)
    assert refused.stderr == f"tarvix: error: {folder} is a folder: it is not replaced\n" and folder.is_dir()


@pytest.mark.parametrize("command", sorted(WRITERS))
def test_a_write_error_names_the_file_asked_for(models, tmp_path, command):
    office = models / "north" / "office.idf"
    target = tmp_path / "out.x"
    argv = [sys.executable, "-m", "tarvix", *(str(a).format(doc=office) for a in WRITERS[command]), "-o", target]
    proc = subprocess.run(argv, capture_output=True, text=True, timeout=120,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (200, 200)))
    assert proc.returncode == 1 and str(target) in proc.stderr and ".tmp" not in proc.stderr, proc.stderr
    assert list(tmp_path.iterdir()) == [models]


def test_every_writing_command_has_one_output_policy():
    from tarvix import cli

    parser = cli.build_parser()
    commands = parser._subparsers._group_actions[0].choices
    several = {"info", "validate", "format", "convert", "rename", "upgrade", "run", "study"}
    for name, command in commands.items():
        options = {option for action in command._actions for option in action.option_strings}
        assert ("--jobs" in options) == (name in several), name
        # A study writes into the folder its file names, and goes on with one there (--resume) rather
        # than replacing it; the language server writes no file (the editor saves its edits).
        if name not in ("info", "validate", "weather", "study", "lsp"):
            assert {"-o", "--output", "--force"} <= options, name
    assert "--force" in {o for a in commands["weather"]._actions for o in a.option_strings}
    assert not re.search(r"--out\b", commands["run"].format_help())  # the former name still works, unlisted
    assert parser.parse_args(["run", "m.idf", "--out", "runs"]).output == "runs"


def test_every_command_takes_files_and_folders(models, tmp_path):
    schema = tmp_path / "building.schema.epJSON"
    schema.write_text(json.dumps(epjson_schema(IDD.from_file(IDD_PATH))))
    names = ["north/office.idf", "south/office.IDF", "south/typo.idf"]
    info = tarvix("info", models, "--idd", IDD_PATH, "--json", "--jobs", 2).stdout
    assert [json.loads(line)["path"] for line in info.splitlines()] == [str(models / n) for n in names]

    tarvix("convert", models, "--to", "epjson", "--idd", IDD_PATH, "--epjson-schema", schema, "-j", 2)
    back = tmp_path / "back"
    tarvix("convert", models, "--to", "idf", "--idd", IDD_PATH, "--epjson-schema", schema, "-o", back)
    assert sorted(str(p.relative_to(back)) for p in back.rglob("*.idf")) == [
        "north/office.idf", "south/office.idf", "south/typo.idf"]

    (models / "south" / "broken.idf").write_text("Zone,A")
    out = tmp_path / "out"
    proc = tarvix("format", models, "--idd", IDD_PATH, "-o", out, status=2)  # the others are still written
    assert f"{models / 'south' / 'broken.idf'}: IDF parsing error" in proc.stderr
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*.*")) == names
    proc = tarvix("rename", models / "north", models / "south" / "typo.idf", "Zone", "West Office", "Lab",
                  "--idd", IDD_PATH, "--in-place")
    assert proc.stdout.count("renamed Zone 'West Office' to 'Lab'") == 2
    renamed = (models / "north" / "office.idf").read_text()
    assert renamed.startswith(OFFICE.splitlines()[0]) and "West Office" not in renamed and "    Lab," in renamed
    assert "cannot go to standard output" in tarvix("format", models / "north", "--idd", IDD_PATH,
                                                    status=2).stderr
    assert "cannot go to standard output" in tarvix("convert", ".", "--to", "epjson", "--idd", IDD_PATH,
                                                    "-o", "-", cwd=models, status=2).stderr
    assert "-o names a folder" in tarvix("convert", models, "--to", "epjson", "--idd", IDD_PATH,
                                         "-o", models / "south" / "notes.txt", status=2).stderr


def test_each_file_is_read_in_its_own_encoding(tmp_path):
    (tmp_path / "new.idf").write_text("Version,1.0;\nZone,Büro;\n", encoding="utf-8")
    (tmp_path / "old.idf").write_bytes("Version,1.0;\nZone,Büro;  ! 20 °C\n".encode("cp1252"))
    schema = tmp_path / "old.idd"
    schema.write_bytes(("! Temperatures in °C\n" + IDD_PATH.read_text()).encode("cp1252"))
    info = tarvix("info", tmp_path, "--idd", schema, "--json").stdout
    assert [(d["encoding"], d["schema_encoding"]) for d in map(json.loads, info.splitlines())] == [
        ("utf-8", "cp1252"), ("cp1252", "cp1252")]
    assert "  encoding: cp1252\n" in tarvix("info", tmp_path / "old.idf", "--idd", schema).stdout
    out = tmp_path / "out"
    proc = tarvix("format", tmp_path, "--idd", schema, "-o", out, "--verbose")
    assert f"tarvix: {tmp_path / 'old.idf'}: read in cp1252\n" in proc.stderr
    assert all("Zone,\n    Büro;" in (out / name).read_text(encoding="utf-8") for name in ("new.idf", "old.idf"))
    proc = tarvix("validate", tmp_path / "old.idf", "--idd", schema, "--encoding", "utf-8", status=2)
    assert "old.idf' cannot be read in UTF-8: give its encoding with --encoding ENC" in proc.stderr
    assert "unknown encoding: 'nonsense'" in tarvix("info", tmp_path, "--idd", schema, "--encoding", "nonsense",
                                                    status=2).stderr


def on_terminal(command, stdout=subprocess.PIPE):
    """Runs `command` with stderr (and with stdout=None, stdout too) on a new
    pseudo-terminal of 24 rows and 100 columns; the process and what the terminal got."""
    leader, follower = os.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        proc = subprocess.Popen(command, stdout=follower if stdout is None else stdout, stderr=follower)
        os.close(follower)
        seen = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # the terminal is gone once the process ended
                break
            if not chunk:
                break
            seen += chunk
        out = proc.stdout.read().decode() if proc.stdout else ""
        proc.wait(timeout=120)
    finally:
        os.close(leader)
    return proc, out, seen


def test_progress_bar_only_on_a_terminal(models):
    pytest.importorskip("tqdm", reason="the extra tarvix[cli] (tqdm) is not installed")
    command = [sys.executable, "-m", "tarvix", "validate", str(models), "--idd", str(IDD_PATH)]
    plain = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert "\r" not in plain.stderr and "doc/s" not in plain.stderr
    proc, out, seen = on_terminal(command)
    assert proc.returncode == 1 and out == plain.stdout  # the problem lines are unchanged
    assert b"/3 [" in seen and b"documents" in seen

    # Problem lines on the same terminal: the bar is cleared and drawn again a few
    # times a second, not for every line.
    walls = "".join(BAD_WALL.replace("South Wall", f"Wall {k}") for k in range(400))
    for k in range(3):
        (models / "north" / f"walls-{k}.idf").write_text(OFFICE + walls)
    proc, _, seen = on_terminal(command, stdout=None)
    assert proc.returncode == 1 and seen.count(b"unknown-reference") == 1201
    assert len(re.findall(rb"\r(?!\n)", seen)) < 100


def test_console_script_and_help():
    script = Path(sys.executable).with_name("tarvix")
    assert script.is_file(), "the console script is installed beside the interpreter"
    proc = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stdout.startswith("tarvix ")
    text = tarvix("--help").stdout
    for command in ("info", "validate", "format", "convert", "rename"):
        assert command in text
