# Sourced by the scripts that need CPython 3.13: is_python313 PATH tells
# whether PATH runs as a 3.13 interpreter with venv; find_python313 prints
# $PYTHON when it is set (and must then be one), else the first one found on
# PATH or under pyenv; ensure_venv DIR makes a virtual environment of it.

is_python313() {
    "$1" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python313() {
    local candidate
    if [ -n "${PYTHON:-}" ]; then
        # Chosen by the caller: used as it is, or refused, never searched past.
        candidate=$(command -v "$PYTHON" || true)
        if [ -n "$candidate" ] && is_python313 "$candidate"; then
            echo "$candidate"
            return 0
        fi
        echo "error: PYTHON=$PYTHON is not a CPython 3.13 with venv" >&2
        return 1
    fi
    local pyenv_root=${PYENV_ROOT:-${HOME:-}/.pyenv}
    # A pyenv shim named python3.13 may be on PATH and still fail: run each one.
    for candidate in "$(command -v python3.13 || true)" "$pyenv_root"/versions/3.13*/bin/python3.13 \
                     /usr/local/bin/python3.13 /usr/bin/python3.13; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] && is_python313 "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

# ensure_venv DIR: makes DIR a virtual environment of CPython 3.13 unless it
# already is one.
ensure_venv() {
    is_python313 "$1/bin/python" && return 0
    local base
    base=$(find_python313) || {
        echo "error: CPython 3.13 not found (set PYTHON, or put python3.13 on PATH; also looked under ${PYENV_ROOT:-${HOME:-}/.pyenv}/versions)" >&2
        return 1
    }
    echo "Using $base for $1"
    rm -rf "$1"
    "$base" -m venv "$1"
}
