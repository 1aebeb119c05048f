# Sourced by the run scripts: finds CPython 3.13, creates .venv, builds and
# installs tarvix into it. Leaves the venv's python in $PY.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

source "$ROOT/scripts/python313.sh"

if ! is_python313 .venv/bin/python; then
    BASE_PY=$(find_python313) || {
        echo "error: CPython 3.13 not found (looked for python3.13 on PATH and under /root/.pyenv/versions)" >&2
        exit 1
    }
    echo "Using $BASE_PY"
    rm -rf .venv
    "$BASE_PY" -m venv .venv
fi
PY="$ROOT/.venv/bin/python"

"$PY" -m pip install --quiet --disable-pip-version-check "$@" . 
