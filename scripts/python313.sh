# Sourced by the scripts that need CPython 3.13: is_python313 PATH tells
# whether PATH runs as a 3.13 interpreter with venv; find_python313 prints
# the first one found on PATH or under pyenv; ensure_venv DIR makes a
# virtual environment of it.

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

# ensure_venv DIR: makes DIR a virtual environment of CPython 3.13 unless it
# already is one.
ensure_venv() {
    is_python313 "$1/bin/python" && return 0
    local base
    base=$(find_python313) || {
        echo "error: CPython 3.13 not found (looked for python3.13 on PATH and under /root/.pyenv/versions)" >&2
        return 1
    }
    echo "Using $base for $1"
    rm -rf "$1"
    "$base" -m venv "$1"
}
