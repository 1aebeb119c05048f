# Sourced by the run scripts: finds CPython 3.13, creates .venv, builds and
# installs tarvix into it. Leaves the venv's python in $PY.
#
#   source scripts/setup.sh [EXTRA...]    e.g. "source scripts/setup.sh test"
#
# EXTRA names optional dependency groups of pyproject.toml to install with the
# package. A second run is quick: pip builds without isolation, with the build
# requirements kept in .venv, so CMake rebuilds only what changed in the
# build tree build/<wheel tag>/; and when the build inputs (src/, third_party/,
# CMakeLists.txt, pyproject.toml) are unchanged since the last install and
# tarvix imports, nothing is built: only the requirements of extras not yet
# installed are.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

source "$ROOT/scripts/python313.sh"

ensure_venv "$ROOT/.venv"
PY="$ROOT/.venv/bin/python"

# What the installed package was built from: the contents of every build
# input (a stamp kept inside .venv, so a new venv starts without one); and,
# in a second stamp, the extras whose requirements were installed beside it.
STAMP="$ROOT/.venv/tarvix-setup.stamp"
EXTRAS_STAMP="$ROOT/.venv/tarvix-extras.stamp"
FINGERPRINT=$(find src third_party CMakeLists.txt pyproject.toml -type f \
        ! -name '*.pyc' ! -name '*.so' ! -path '*/__pycache__/*' -print0 |
    LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
STAMPED_FINGERPRINT=""
STAMPED_EXTRAS=""
[ -f "$STAMP" ] && read -r STAMPED_FINGERPRINT <"$STAMP" || true
[ -f "$EXTRAS_STAMP" ] && read -r STAMPED_EXTRAS <"$EXTRAS_STAMP" || true
# The extras wanted now and those installed before: a later install keeps them all.
EXTRAS=$(printf '%s\n' $STAMPED_EXTRAS "$@" | sed '/^$/d' | LC_ALL=C sort -u | paste -sd' ' -)
PIP=("$PY" -m pip install --quiet --disable-pip-version-check)

if [ "$FINGERPRINT" != "$STAMPED_FINGERPRINT" ] || ! "$PY" -c 'import tarvix.idf' >/dev/null 2>&1; then
    echo "Building tarvix and installing it into .venv (CMake rebuilds what changed; the first build takes minutes)"
    rm -f "$STAMP" "$EXTRAS_STAMP"
    STAMPED_EXTRAS=""
    # The build requirements live in .venv, so each build reuses them and the
    # build tree; CMake and Ninja come from PyPI only when the machine lacks
    # them (the backend's own answer).
    mapfile -t REQUIRES < <("$PY" -c 'import tomllib
for r in tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]: print(r)')
    "${PIP[@]}" "${REQUIRES[@]}"
    mapfile -t TOOLS < <("$PY" -c 'from scikit_build_core.build import get_requires_for_build_wheel
for r in get_requires_for_build_wheel(): print(r)')
    [ ${#TOOLS[@]} -eq 0 ] || "${PIP[@]}" "${TOOLS[@]}"
    # At most one compile job per core (Ninja alone would run two more).
    export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
    # The package alone, its build's own output shown (CMake's configuration, Ninja's [n/N] steps, every
    # compiler message) without pip's chatter; the extras' requirements come after. Warnings in our own
    # sources fail this build (not a plain `pip install .`).
    set +e
    "$PY" -m pip install -v --no-deps --disable-pip-version-check --no-build-isolation \
        -Ccmake.define.TARVIX_WERROR=ON . 2>&1 |
        grep --line-buffered -v -E '^(Using pip |Processing |  Preparing |  Building wheel|  Created wheel|  Stored in |Successfully built|Installing collected|Attempting uninstall|  Found existing|  Uninstalling|    Removing|  Successfully uninstalled|  Running command|Building wheels for|WARNING: Location .* is ignored)'
    BUILT=${PIPESTATUS[0]}
    set -e
    if [ "$BUILT" -ne 0 ]; then
        echo "error: the build of tarvix failed (its messages are above)" >&2
        exit "$BUILT"
    fi
    echo "$FINGERPRINT" >"$STAMP"
fi

# The requirements of the extras asked for, installed beside the package when
# they were not already: the package itself is not built or installed again.
if [ -n "$EXTRAS" ] && [ "$EXTRAS" != "$STAMPED_EXTRAS" ]; then
    mapfile -t WANTED < <("$PY" - $EXTRAS <<'PYTHON'
import sys, tomllib
extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]
for name in sys.argv[1:]:
    for requirement in extras[name]:
        print(requirement)
PYTHON
)
    echo "Installing the requirements of the extras: $EXTRAS"
    [ ${#WANTED[@]} -eq 0 ] || "${PIP[@]}" "${WANTED[@]}"
    echo "$EXTRAS" >"$EXTRAS_STAMP"
fi
