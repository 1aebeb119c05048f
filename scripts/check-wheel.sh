#!/usr/bin/env bash
# Builds a wheel (pip wheel) and an sdist (python -m build --sdist) of tarvix,
# installs the wheel into a fresh virtual environment and runs a smoke test
# there: load the sample schema and document, edit, follow references, format,
# save and reload, and check that the type stubs and py.typed are installed
# (and, when mypy can be installed, that mypy --strict uses them). Finally
# builds a wheel from the sdist, to show the sdist is complete.
#
#   scripts/check-wheel.sh [OUTDIR]
#
# The wheel and the sdist are left in OUTDIR when it is given; otherwise
# everything lives in a temporary folder that is removed at the end.
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
"$WORK/tools/bin/pip" install "${PIP_QUIET[@]}" build

step "Wheel: pip wheel . --no-deps"
rm -f "$OUT"/tarvix-*.whl "$OUT"/tarvix-*.tar.gz
# A build folder of its own: a clean build, untouched by other builds of the tree.
"$WORK/tools/bin/pip" wheel "${PIP_QUIET[@]}" --no-deps -w "$OUT" -C build-dir="$WORK/build" .
WHEEL=$(ls "$OUT"/tarvix-*.whl)

step "Sdist: python -m build --sdist"
"$WORK/tools/bin/python" -m build --sdist --outdir "$OUT" . >"$WORK/sdist.log" 2>&1 ||
    { cat "$WORK/sdist.log"; exit 1; }
SDIST=$(ls "$OUT"/tarvix-*.tar.gz)

step "Contents"
"$WORK/tools/bin/python" - "$WHEEL" "$SDIST" <<'EOF'
import sys, tarfile, zipfile
wheel, sdist = sys.argv[1:]
names = zipfile.ZipFile(wheel).namelist()
for module in ("utils", "lexer", "idd", "idf"):
    assert any(n.startswith(f"tarvix/{module}.cpython-313") and n.endswith(".so") for n in names), module
    assert f"tarvix/{module}.pyi" in names, f"{module}.pyi missing from the wheel"
assert "tarvix/py.typed" in names and "tarvix/__init__.py" in names
members = [m.split("/", 1)[1] for m in tarfile.open(sdist).getnames() if "/" in m]
for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", "src/tarvix/py.typed", "src/tarvix/idf.pyi"):
    assert needed in members, f"{needed} missing from the sdist"
print(f"wheel: {len(names)} files; sdist: {len(members)} files")
sources = [n for n in names if n.endswith((".cpp", ".h"))]
if sources:
    print(f"note: the wheel also carries {len(sources)} C++ source files (see wheel.exclude in pyproject.toml)")
EOF

step "Install the wheel into a fresh venv"
"$BASE_PY" -m venv "$WORK/venv"
"$WORK/venv/bin/pip" install "${PIP_QUIET[@]}" --no-index --no-deps "$WHEEL"

step "Smoke test"
cd "$WORK"  # away from the source tree, so only the installed package can be imported
"$WORK/venv/bin/python" - "$ROOT/examples/data" "$WORK" <<'EOF'
import pathlib, sys, sysconfig
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
"$WORK/tools/bin/python" - "$WHEEL" "$WORK"/from-sdist/tarvix-*.whl <<'EOF'
import sys, zipfile
a, b = ({n for n in zipfile.ZipFile(w).namelist() if ".dist-info/" not in n} for w in sys.argv[1:])
assert a == b, f"the wheel from the sdist differs: {sorted(a ^ b)}"
print("same files as the wheel built from the tree")
EOF

step "Result"
ls -l "$WHEEL" "$SDIST" | awk '{printf "%10d  %s\n", $5, $NF}'
[ $# -ge 1 ] || echo "(temporary; pass an output folder to keep them)"
