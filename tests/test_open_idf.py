"""Version-aware loading: the document's Version object picks its schema."""

import errno
import os
import re
import warnings
from pathlib import Path

import pytest

import tarvix
from tarvix import _schemas
from tarvix.idf import scan_version

ROOT = Path(__file__).resolve().parents[1]
BUILDING_IDD = (ROOT / "examples" / "data" / "building.idd").read_text(encoding="utf-8")
SHARED = ROOT.parent / "shared" / "data"


def versioned_schema(version, header=True):
    """The sample schema, its Version default set to `version` and, with `header`,
    an !IDD_Version line; a class named after the version tells them apart."""
    text = re.sub(r"^!IDD_Version.*\n", "", BUILDING_IDD)
    text = re.sub(r"(\\default\s+)1\.0", rf"\g<1>{version}", text, count=1)
    assert text != BUILDING_IDD
    tag = "V" + version.replace(".", "_")
    text += f"\n{tag},\n  A1;  \\field Name\n"
    return (f"!IDD_Version {version}\n" if header else "") + text


@pytest.fixture
def schema_folder(tmp_path):
    folder = tmp_path / "schemas"
    folder.mkdir()
    (folder / "a-old.idd").write_text(versioned_schema("8.0.0"))
    (folder / "b-new.IDD").write_text(versioned_schema("9.2.1"))
    (folder / "c-plain.idd").write_text(versioned_schema("22.1", header=False))
    (folder / "notes.txt").write_text("Version,8.0;")
    return folder


def document(tmp_path, name, text):
    path = tmp_path / name
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return path


def test_scan_version_reads_only_the_first_version_object():
    assert scan_version(b"! Version,1;\nZone, Version, x;\n  VERSION , 8.8 ; Version,9;") == "8.8"
    assert scan_version("\ufeffVersion,\n 22.1; !- Version Identifier".encode()) == "22.1"
    assert scan_version(b"Zone,\xb0 \xe9;Version,9.2\xe9;") == "9.2\ufffd"  # any ASCII-keeping encoding
    assert scan_version(b"Version;") == "" and scan_version(b"Version,,8.0;") == ""
    for text in (b"", b"Zone,A;", b"Zone,A\n B; Version,1;", b"Version"):
        assert scan_version(text) is None
    with pytest.raises(TypeError, match="content must be bytes, not str"):
        scan_version("Version,1;")


def test_folder_picks_the_schema_of_the_documents_version(tmp_path, schema_folder):
    # The Version object may stand anywhere; a comment naming a version does not count.
    old = document(tmp_path, "old.idf", "! Version, 9.2;\nZone,Office;\nVersion,8.0;\nV8_0_0,x;")
    new = document(tmp_path, "new.idf", "\ufeffVersion, 9.2.0;\nV9_2_1,x;")
    plain = document(tmp_path, "plain.idf", "Version,22.1;\nV22_1,x;")
    for path, tag in ((old, "V8_0_0"), (new, "V9_2_1"), (plain, "V22_1")):
        doc = tarvix.open_idf(path, schema_folder)
        assert len(doc[tag]) == 1
    # Each schema is loaded once per process and file.
    assert _schemas.load_schema(schema_folder / "a-old.idd") is _schemas.load_schema(
        os.path.relpath(schema_folder / "a-old.idd"))


def test_version_found_far_into_the_file(tmp_path, schema_folder):
    # The first bytes are tried alone, then the whole file: a Version object cut at
    # the border, or standing beyond it, is read whole.
    for padding in range(65536 - 16, 65536 + 4):
        path = document(tmp_path, "far.idf", "!" * (padding - 1) + "\nVersion,9.2.7;\nV9_2_1,x;")
        assert _schemas.read_version(path) == "9.2.7", padding
    assert len(tarvix.open_idf(path, schema_folder)["V9_2_1"]) == 1
    zones = "".join(f"Zone,Z{k};\n" for k in range(20000))
    assert _schemas.read_version(document(tmp_path, "late.idf", zones + "Version,8.0;")) == "8.0"


def test_a_schema_file_serves_any_document(tmp_path, schema_folder):
    doc = tarvix.open_idf(document(tmp_path, "none.idf", "Zone,Office;"), schema_folder / "a-old.idd")
    assert doc.version is None and len(doc["Zone"]) == 1


def test_each_file_is_read_as_utf8_else_cp1252(tmp_path, schema_folder):
    old = document(tmp_path, "old.idf", "Version,8.0;\nZone,B\xfcro; ! 20 \xb0C\n".encode("cp1252"))
    new = document(tmp_path, "new.idf", "Version,8.0;\nZone,B\xfcro;\n")
    for path in (old, new):
        assert tarvix.open_idf(path, schema_folder)["Zone"][0]["Name"] == "Büro"
        assert tarvix.open_idf(path, schema_folder, encoding="AUTO")["Zone"][0]["Name"] == "Büro"
    assert tarvix.open_idf(old, schema_folder, encoding="latin-1")["Zone"][0]["Name"] == "Büro"
    for encoding in (None, "utf-8"):
        with pytest.raises(UnicodeError, match=r"old\.idf' cannot be read in UTF-8: give its encoding with encoding="):
            tarvix.open_idf(old, schema_folder, encoding=encoding)
    undefined = document(tmp_path, "undefined.idf", b"Version,8.0;\nZone,\x81;")
    with pytest.raises(UnicodeError, match=r"is neither UTF-8 nor cp1252: give its encoding with encoding="):
        tarvix.open_idf(undefined, schema_folder)
    # Schemas too: a degree sign in a comment, and a header-less one read for its Version default.
    (schema_folder / "a-old.idd").write_bytes(b"! \xb0C\n" + versioned_schema("8.0.0").encode())
    (schema_folder / "c-plain.idd").write_bytes(b"! \xb0C\n" + versioned_schema("22.1", header=False).encode())
    assert len(tarvix.open_idf(document(tmp_path, "a.idf", "Version,22.1;\nV22_1,x;"), schema_folder)["V22_1"]) == 1
    loaded = _schemas.load_document(old, schema_folder)
    assert (loaded.encoding, loaded.schema_encoding, len(loaded.document["V8_0_0"])) == ("cp1252", "cp1252", 0)
    with pytest.raises(UnicodeError, match="give its encoding with idd_encoding="):
        tarvix.open_idf(new, schema_folder / "a-old.idd", idd_encoding=None)


@pytest.mark.parametrize("encoding", ["utf-16", "utf-16-le", "utf-32", "cp1252"])
def test_the_version_is_read_in_the_documents_encoding(tmp_path, schema_folder, encoding):
    text = "! B\xfcro\n" + "!" * 70000 + "\nVersion,9.2;\nV9_2_1,x;\n"  # beyond the first 64 KB
    path = document(tmp_path, "wide.idf", text.encode(encoding))
    assert _schemas.read_version(path, encoding) == "9.2"
    assert len(tarvix.open_idf(path, schema_folder, encoding)["V9_2_1"]) == 1
    path.write_bytes("Version,9.2;\nV9_2_1,x;\n".encode(encoding))
    assert len(tarvix.open_idf(path, schema_folder, encoding)["V9_2_1"]) == 1


def unreadable_by_permission(path, monkeypatch):
    if os.geteuid() == 0:
        pytest.skip("root reads any file")
    path.chmod(0)


def unreadable_by_io_error(path, monkeypatch):
    read_head = _schemas._read_head

    def failing(name):
        if os.path.samefile(name, path):
            raise OSError(errno.EIO, os.strerror(errno.EIO), name)
        return read_head(name)

    monkeypatch.setattr(_schemas, "_read_head", failing)


def unreadable_as_a_schema(path, monkeypatch):
    path.write_text("not a schema \\field")  # without a header, so it has to be loaded for its version


@pytest.mark.parametrize("spoil", [unreadable_by_permission, unreadable_by_io_error, unreadable_as_a_schema])
def test_a_schema_file_that_cannot_be_read_is_skipped(tmp_path, schema_folder, spoil, monkeypatch):
    broken = schema_folder / "0-broken.idd"
    broken.write_text(versioned_schema("9.2.1"))
    spoil(broken, monkeypatch)
    doc = document(tmp_path, "new.idf", "Version,9.2;\nV9_2_1,x;")
    with pytest.warns(UserWarning, match=rf"{re.escape(str(broken))}: skipped, it cannot be read as a schema"):
        assert len(tarvix.open_idf(doc, schema_folder)["V9_2_1"]) == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # said once
        tarvix.open_idf(doc, schema_folder)
    (schema_folder / "b-new.IDD").unlink()
    with pytest.raises(ValueError, match=rf"no schema of version 9\.2 in .*; cannot read {re.escape(str(broken))}: "):
        tarvix.open_idf(doc, schema_folder)


def test_no_matching_schema_names_the_version_and_the_folder(tmp_path, schema_folder):
    with pytest.raises(ValueError, match=rf"no schema of version 7\.2 in {re.escape(str(schema_folder))}; "
                                         r"it has 8\.0\.0, 9\.2\.1, 22\.1"):
        tarvix.open_idf(document(tmp_path, "a.idf", "Version,7.2;"), schema_folder)
    with pytest.raises(ValueError, match=r"no\.idf: no Version object, so no schema of .* can be chosen"):
        tarvix.open_idf(document(tmp_path, "no.idf", "Zone,A;"), schema_folder)
    empty = tmp_path / "empty"
    empty.mkdir()
    with pytest.raises(ValueError, match="it has no \\*.idd file with a version"):
        tarvix.open_idf(document(tmp_path, "b.idf", "Version,8.0;"), empty)
    with pytest.raises(FileNotFoundError):
        tarvix.open_idf(document(tmp_path, "c.idf", "Version,8.0;"), tmp_path / "missing.idd")


def test_a_schema_written_again_is_read_again(tmp_path):
    path = tmp_path / "s.idd"
    path.write_text(versioned_schema("8.0.0"))
    first = _schemas.load_schema(path)
    assert _schemas.load_schema(path) is first
    path.write_text(versioned_schema("9.2.1") + "\n")
    second = _schemas.load_schema(path)
    assert second is not first and second.version == "9.2.1"
    assert _schemas.schema_file_version(str(path)) == "9.2.1"


def test_version_keys_compare_major_and_minor():
    key = _schemas.version_key
    assert key("8.8.0") == key(" 8.8 ") == key("08.8") == (8, 8)
    assert key("8.8") != key("8.80") and key("9") == (9, 0)
    assert key("Beta.X.1") == key("beta.x")


@pytest.mark.skipif(not (SHARED / "Energy+V8_8_0.idd").is_file(), reason="../shared/data is absent")
def test_real_schemas_by_header(tmp_path):
    for name in ("Energy+V8_0_0.idd", "Energy+V8_8_0.idd"):
        os.symlink(SHARED / name, tmp_path / name)
    small = tarvix.open_idf(SHARED / "smallfile_V8_8.idf", tmp_path)
    assert small.version.startswith("8.8")
    wlhp = tarvix.open_idf(SHARED / "5ZoneWaterLoopHeatPump.idf", tmp_path)  # cp1252, found by itself
    assert wlhp.version.startswith("8.0") and len(wlhp["Zone"]) == 6


def test_the_main_types_at_the_top_level():
    from tarvix.idd import IDD
    from tarvix.idf import IDF

    assert (tarvix.IDD, tarvix.IDF) == (IDD, IDF) and {"IDD", "IDF", "open_idf"} <= set(tarvix.__all__)
