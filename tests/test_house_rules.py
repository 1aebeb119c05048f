"""The rules of the code that the compiler does not check (CONTRIBUTING.md, "Rules"), read from the sources:
the core stays free of the interpreter, no Python API runs while the interpreter lock is released, the idf
module calls its own functions directly rather than through the tables it publishes to other modules, and a map
or set keyed by text hashes with the house's keyed hash."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[1] / "src" / "tarvix"
if not SRC.is_dir():  # an installed copy of the tests, without the sources
    pytest.skip("the C++ sources are not beside the tests", allow_module_level=True)

# Comments, string and character literals, blanked so that only code is matched (line breaks are kept).
CODE_NOISE = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
# Anything of the interpreter: its API names and our binding's helpers, which all touch Python objects.
PYTHON_NAME = re.compile(r"\b_?Py[A-Z_]\w*|\bpy::\w+|\bRef\b")
# Names of the C API that are plain C types or the lock's own markers.
NOT_PYTHON = {"Py_ssize_t", "Py_hash_t", "Py_UCS1", "Py_UCS2", "Py_UCS4",
              "Py_BEGIN_ALLOW_THREADS", "Py_END_ALLOW_THREADS",
              # Reads the buffer and size fields of a bytes object that the caller keeps alive: no call, no
              # reference count, and bytes never change.
              "py::bytes_view"}


def code(path: Path) -> str:
    return CODE_NOISE.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), path.read_text(encoding="utf-8"))


def line_of(text: str, offset: int) -> int:
    return text.count("\n", 0, offset) + 1


def sources(folder: Path, pattern: str = "*") -> list[Path]:
    return sorted(p for p in folder.rglob(pattern) if p.suffix in (".cpp", ".h"))


def unlocked_regions(text: str, release_types: list[str]) -> list[tuple[int, int]]:
    """(start, end) offsets of the code that runs with the lock released: between the two macros, and from the
    declaration of a releasing guard of binding.h to the end of its block."""
    regions = [(m.end(), m.end() + text[m.end():].index("Py_END_ALLOW_THREADS"))
               for m in re.finditer(r"\bPy_BEGIN_ALLOW_THREADS\b", text)]
    for name in release_types:
        for m in re.finditer(rf"\b(?:py::)?{name}\s+\w+\s*[;({{]", text):
            depth, i = 0, m.end()
            while i < len(text) and depth >= 0:
                depth += {"{": 1, "}": -1}.get(text[i], 0)
                i += 1
            regions.append((m.end(), i))
    return regions


def test_core_is_free_of_the_interpreter():
    found = []
    for path in sources(SRC / "core"):
        text = code(path)
        found += [f"{path.relative_to(SRC)}:{line_of(text, m.start())}: {m.group()}"
                  for m in re.finditer(r"#\s*include\s*[<\"]Python\.h|\b_?Py[A-Z_]\w*", text)]
    assert not found


def test_no_python_while_the_lock_is_released():
    binding = code(SRC / "py" / "binding.h")
    # Guards of binding.h whose body gives the lock away.
    release_types = [m.group(1) for m in re.finditer(r"\b(?:class|struct)\s+(\w+)[^;{]*\{", binding)
                     if re.search(r"PyEval_SaveThread|Py_UNBLOCK_THREADS",
                                  binding[m.end():m.end() + binding[m.end():].find("\n};")])]
    found, regions = [], 0
    for path in sources(SRC / "py"):
        text = code(path)
        if path.name != "binding.h":
            found += [f"{path.name}:{line_of(text, m.start())}: the lock released by hand ({m.group()})"
                      for m in re.finditer(r"\bPyEval_SaveThread\b|\bPy_UNBLOCK_THREADS\b", text)]
        for start, end in unlocked_regions(text, release_types):
            regions += 1
            found += [f"{path.name}:{line_of(text, start + m.start())}: {m.group()}"
                      for m in PYTHON_NAME.finditer(text, start, end) if m.group() not in NOT_PYTHON]
    assert regions, "no place releasing the interpreter lock was found: the check no longer sees how"
    assert not found


def test_idf_module_calls_its_own_functions_directly():
    # The tables (IDFMethods, IDFObjMethods) are for the modules that import idf; inside it, a call through
    # them is an indirect call that hides what is called.
    found = []
    for path in sources(SRC / "py", "idf*"):
        text = code(path)
        found += [f"{path.name}:{line_of(text, m.start())}: {m.group()}"
                  for m in re.finditer(r"->methods->\w+|\bidf(?:_object)?_methods\.\w+\s*\(", text)]
    assert not found


def test_text_keyed_maps_use_the_keyed_hash():
    # Names and values read from files choose their own collisions under the standard library's unkeyed hash;
    # base/hash.h's StringMap (or a standard map given StringHash) hashes them under the process's key.
    found = []
    for path in sources(SRC):
        text = code(path)
        found += [f"{path.relative_to(SRC)}:{line_of(text, m.start())}: {m.group()[:80]}"
                  for m in re.finditer(r"std::(?:unordered_map|unordered_set|map|set|multimap)<\s*std::string(?:_view)?\b"
                                       r"[^;]*", text) if "StringHash" not in m.group()]
    assert not found


def test_one_open_addressed_table():
    # base/index_table.h is the one table that probes: no other file walks a run of cells with a mask.
    found = []
    for path in sources(SRC):
        text = code(path)
        found += [f"{path.relative_to(SRC)}:{line_of(text, m.start())}: {m.group()}"
                  for m in re.finditer(r"\+ 1\) & \w*mask\w*", text) if path.name != "index_table.h"]
    assert not found


def test_core_namespaces_follow_folders_and_files():
    # The core is namespace tarvix; a nested namespace is named after its folder or its file (a formats
    # file's name up to "_"), and "detail" may sit inside any of them (docs/architecture.md).
    found = []
    for path in sources(SRC / "core"):
        folder = path.relative_to(SRC / "core").parts[0]
        allowed = {"tarvix", f"tarvix::{folder}", f"tarvix::{path.stem}", f"tarvix::{path.stem.split('_')[0]}"}
        text = path.read_text(encoding="utf-8")
        for m in re.finditer(r"^namespace ([\w:]+) \{", text, re.M):
            name = m.group(1).removesuffix("::detail")
            if name != "detail" and name not in allowed:
                found.append(f"{path.relative_to(SRC)}:{line_of(text, m.start())}: namespace {m.group(1)}")
    assert not found


def test_core_groups_include_only_the_groups_above_them():
    # The order of docs/architecture.md's table of groups: a group's files include their own group's headers
    # and those of the groups listed before it, so that no two groups need each other.
    table = (SRC.parents[1] / "docs" / "architecture.md").read_text(encoding="utf-8")
    order = re.findall(r"^\| `(\w+)/` \|", table, re.M)
    groups = sorted(p.name for p in (SRC / "core").iterdir() if p.is_dir())
    assert sorted(order) == groups, "every group of src/tarvix/core has its row in docs/architecture.md"
    rank = {group: k for k, group in enumerate(order)}
    found = []
    for path in sources(SRC / "core"):
        own = path.relative_to(SRC / "core").parts[0]
        text = path.read_text(encoding="utf-8")
        found += [f"{path.relative_to(SRC)}:{line_of(text, m.start())}: {own} includes {m.group(1)}"
                  for m in re.finditer(r'#\s*include\s*"core/(\w+)/', text) if rank[m.group(1)] > rank[own]]
    assert not found
