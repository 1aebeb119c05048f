# Sourced by the run scripts: finds CPython 3.13, creates .venv, builds and
# installs tarvix into it. Leaves the venv's python in $PY.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

is_python313() {
    "$1" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python313() {
    local candidate
    # A pyenv shim named python3.13 may be on PATH and still fail: run each one.
    for candidate in "$(command -v python3.13 || true)" /root/.pyenv/versions/3.13*/bin/python3.13 \
                     /usr/local/bin/python3.13 /usr/bin/python3.13; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] && is_python313 "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

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
