# Sourced by the run scripts: finds CPython 3.13, creates .venv, builds and
# installs tarvix into it. Leaves the venv's python in $PY.
#
#   source scripts/setup.sh [EXTRA...]    e.g. "source scripts/setup.sh test"
#
# EXTRA names optional dependency groups of pyproject.toml to install with the
# package. A second run is quick: pip builds without isolation, with the build
# requirements kept in .venv, so CMake rebuilds only what changed in the
# build tree build/<wheel tag>/; and when the build inputs (src/, third_party/,
# CMakeLists.txt, pyproject.toml) are unchanged since the last install, with
# the same extras, and tarvix imports, pip is not run at all.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

source "$ROOT/scripts/python313.sh"

ensure_venv "$ROOT/.venv"
PY="$ROOT/.venv/bin/python"

# What the installed package was built from: the contents of every build
# input, and the extras installed with it (a stamp kept inside .venv, so a new
# venv starts without one).
STAMP="$ROOT/.venv/tarvix-setup.stamp"
FINGERPRINT=$(find src third_party CMakeLists.txt pyproject.toml -type f \
        ! -name '*.pyc' ! -name '*.so' ! -path '*/__pycache__/*' -print0 |
    LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
STAMPED_FINGERPRINT=""
STAMPED_EXTRAS=""
if [ -f "$STAMP" ]; then
    { read -r STAMPED_FINGERPRINT; read -r STAMPED_EXTRAS || true; } <"$STAMP"
fi
# The extras wanted now and those installed before: a later install keeps them all.
EXTRAS=$(printf '%s\n' $STAMPED_EXTRAS "$@" | sed '/^$/d' | LC_ALL=C sort -u | paste -sd, -)

if [ "$FINGERPRINT" != "$STAMPED_FINGERPRINT" ] || [ "$EXTRAS" != "$(echo $STAMPED_EXTRAS | tr ' ' ,)" ] ||
        ! "$PY" -c 'import tarvix.idf' >/dev/null 2>&1; then
    echo "Building tarvix and installing it into .venv (CMake rebuilds what changed)"
    rm -f "$STAMP"
    PIP=("$PY" -m pip install --quiet --disable-pip-version-check)
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
    # Warnings in our own sources fail this build (not a plain `pip install .`).
    "${PIP[@]}" --no-build-isolation -Ccmake.define.TARVIX_WERROR=ON ".${EXTRAS:+[$EXTRAS]}"
    printf '%s\n%s\n' "$FINGERPRINT" "${EXTRAS//,/ }" >"$STAMP"
fi
