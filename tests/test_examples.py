"""The examples and the README's code run as a new user would run them."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
# A print whose output the README gives in a trailing comment.
PRINT_WITH_OUTPUT = re.compile(r"^\s*print\(.*\)\s+# (.*)$")


def run(args, tmp_path, cwd=ROOT, status=0, stderr=False):
    env = dict(os.environ, TMPDIR=str(tmp_path))  # temporary folders land under tmp_path
    proc = subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == status, f"status {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stderr if stderr else proc.stdout


def readme_blocks():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(r"^```python\n(.*?)^```$", text, flags=re.DOTALL | re.MULTILINE)


def test_readme_has_quickstart_and_encoding_blocks():
    blocks = readme_blocks()
    assert any("add_object" in block and "get_referencing_objects" in block and "save(" in block
               for block in blocks)
    assert any('encoding="cp1252"' in block for block in blocks)


def readme_block_params():
    """Each block's index; the blocks that find the simulation engine need its release (marked `engine`)."""
    return [pytest.param(index, marks=[pytest.mark.engine] if "find_engine" in block else [])
            for index, block in enumerate(readme_blocks())]


@pytest.mark.parametrize("index", readme_block_params())
def test_readme_block_runs_and_prints_what_it_says(index, tmp_path):
    code = readme_blocks()[index]
    expected = [m.group(1).strip() for line in code.splitlines() if (m := PRINT_WITH_OUTPUT.match(line))]
    output = run(["-c", code], tmp_path)
    assert [line.strip() for line in output.splitlines()] == expected


def test_quickstart(tmp_path):
    out = tmp_path / "out"
    output = run([str(EXAMPLES / "quickstart.py"), "--output", str(out)], tmp_path, cwd=tmp_path)
    for step in range(1, 7):
        assert f"\n== {step}. " in output
    assert "document: 8 objects in 5 classes" in output
    assert "zone 'West Office': multiplier 1, ceiling height 'Autocalculate'" in output
    assert "'East Wall' -> zone 'East Office' (the wall writes it 'east office')" in output
    assert "renamed the zone to 'East Lab' and 1 referring field(s) with it" in output
    assert "refused: Field value cannot contain" in output
    assert ("check: error unknown-reference: BuildingSurface:Detailed 'East Wall', field 'Construction Name': "
            "no object in ConstructionNames is named 'Exterior Wal'.") in output
    assert "after the fix: 0 problems (document version 1.0)" in output
    assert "same text as the edited document: True" in output
    for name in ("office-padded.idf", "office-compact.idf", "office-ordered.idf"):
        text = (out / name).read_text(encoding="utf-8")
        assert text.startswith("! Generated using Tarvix.py\n")
        assert "East Lab" in text and "Store Floor" in text and "West Wall" not in text
    assert "Zone,\n    East Lab," in (out / "office-padded.idf").read_text(encoding="utf-8")


def test_quickstart_default_output_is_a_new_temporary_folder(tmp_path):
    output = run([str(EXAMPLES / "quickstart.py")], tmp_path)
    folder = Path(output.splitlines()[-1].removeprefix("done; the files are in "))
    assert folder.parent == tmp_path and (folder / "office-padded.idf").is_file()


def check_batch(output):
    assert "[5/5] " in output
    assert re.search(r"^annex-cp1252\.idf +cp1252 .* 14 +5 +2 ", output, flags=re.MULTILINE)
    assert re.search(r"^row-house-1\.idf +utf-8 .* 9 +5 +1 ", output, flags=re.MULTILINE)
    assert re.search(r"^total +[\d.]+ +115 +19 ", output, flags=re.MULTILINE)
    assert "5 of 5 documents loaded" in output


@pytest.mark.parametrize("mode", [[], ["--processes"], ["--processes", "--chunk-size", "2"]])
def test_batch_on_the_sample_folder(mode, tmp_path):
    output = run([str(EXAMPLES / "batch.py"), *mode], tmp_path, cwd=tmp_path)
    assert ("processes" if mode else "threads") in output.splitlines()[0]
    check_batch(output)


def test_batch_reports_a_broken_document_and_fails(tmp_path):
    (tmp_path / "good.idf").write_text("Zone,Hall;\n")
    (tmp_path / "bad.idf").write_text("Zone,Hall;\nRoom,Attic;\n")
    output = run([str(EXAMPLES / "batch.py"), str(tmp_path)], tmp_path, cwd=tmp_path, status=1)
    assert "bad.idf: failed: ValueError: IDF parsing error: Unknown class: 'Room'" in output
    assert "1 of 2 documents loaded" in output and "; 1 failed" in output


def test_batch_names_documents_by_path_and_reads_a_cp1252_schema(tmp_path):
    idd = (EXAMPLES / "data" / "building.idd").read_text(encoding="utf-8")
    schema = tmp_path / "schema.idd"
    schema.write_bytes(idd.replace("A small data dictionary", "A small data dictionary \u00b0").encode("cp1252"))
    folder = tmp_path / "docs"
    for sub, zones in (("north", "Zone,A;"), ("south", "Zone,A;Zone,B;")):
        (folder / sub).mkdir(parents=True)
        (folder / sub / "site.idf").write_text(zones)
    args = [str(EXAMPLES / "batch.py"), str(folder), "--idd", str(schema)]
    assert "cannot be read in UTF-8. Encoding needs to be specified" in run(args, tmp_path, cwd=tmp_path, status=1, stderr=True)
    output = run([*args, "--idd-encoding", "cp1252"], tmp_path, cwd=tmp_path)
    assert re.search(r"^north/site\.idf +utf-8 .* 1 +1 +1 ", output, flags=re.MULTILINE)
    assert re.search(r"^south/site\.idf +utf-8 .* 2 +1 +2 ", output, flags=re.MULTILINE)


def test_batch_on_a_local_dask_cluster(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    # The cluster lives in this process; batch.py connects to it over TCP as it would to a real one.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, protocol="tcp://",
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        address = cluster.scheduler_address
        output = run([str(EXAMPLES / "batch.py"), "--scheduler", address], tmp_path, cwd=tmp_path)
    assert f"connected to {address}: 2 worker threads" in output
    check_batch(output)


@pytest.mark.engine
def test_the_study_example_from_python_and_from_the_command(tmp_path):
    output = run([str(EXAMPLES / "study.py"), str(tmp_path / "python"), "--workers", "2"], tmp_path)
    lines = output.splitlines()
    assert lines[0].split("\t") == ["variant", "wwr", "orientation", "insulation", "heating [MJ]", "cooling [MJ]",
                                    "peak_cooling [MJ]", "status"]
    assert len(lines) == 28 and all(line.endswith("\tok") for line in lines[1:])
    # The command runs the same study from its TOML file (beside a copy of the model, as in the checkout).
    (tmp_path / "study").mkdir()
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "two_zone_25_2.idf").write_bytes((EXAMPLES / "data" / "two_zone_25_2.idf").read_bytes())
    toml = tmp_path / "study" / "study.toml"
    toml.write_text((EXAMPLES / "study" / "study.toml").read_text())
    run(["-m", "tarvix", "study", str(toml)], tmp_path)
    ours = (tmp_path / "python" / "results.csv").read_text().splitlines()
    theirs = (tmp_path / "study" / "wwr-orientation-insulation" / "results.csv").read_text().splitlines()
    columns = slice(0, 8)  # variant, the parameters and the outputs: not the times
    assert [row.split(",")[columns] for row in ours] == [row.split(",")[columns] for row in theirs]
