# Sourced by the scripts that need CPython 3.13: is_python313 PATH tells
# whether PATH runs as a 3.13 interpreter with venv; find_python313 prints
# the first one found on PATH or under pyenv.

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
