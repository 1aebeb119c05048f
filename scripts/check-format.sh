#!/usr/bin/env bash
# Checks the style of the sources with pinned tools from PyPI, installed into .venv, so every
# machine judges alike: clang-format (.clang-format) over our C++ files (src/, tests/native/,
# fuzz/, benchmarks/; never third_party/), and ruff (configured in pyproject.toml) over the
# Python files. Fails on any difference or finding.
#   bash scripts/check-format.sh          # check
#   bash scripts/check-format.sh --fix    # rewrite the files in place instead
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
CLANG_FORMAT_VERSION=23.1.3
RUFF_VERSION=0.17.5

source "$ROOT/scripts/python313.sh"
ensure_venv "$ROOT/.venv"
BIN="$ROOT/.venv/bin"
if ! "$BIN/clang-format" --version 2>/dev/null | grep -q "version $CLANG_FORMAT_VERSION\b" ||
        ! "$BIN/ruff" --version 2>/dev/null | grep -q "^ruff $RUFF_VERSION$"; then
    "$BIN/python" -m pip install --quiet --disable-pip-version-check \
        "clang-format==$CLANG_FORMAT_VERSION" "ruff==$RUFF_VERSION"
fi

mapfile -t SOURCES < <(git ls-files -- 'src/*.cpp' 'src/*.h' 'tests/native/*.cpp' 'tests/native/*.h' \
    'fuzz/*.cpp' 'fuzz/*.h' 'benchmarks/*.cpp' 'benchmarks/*.h')
status=0
if [ "${1:-}" = "--fix" ]; then
    "$BIN/clang-format" -i "${SOURCES[@]}"
    "$BIN/ruff" check --fix --quiet .
    exit 0
fi
"$BIN/clang-format" --dry-run --Werror "${SOURCES[@]}" || {
    echo "error: C++ sources differ from .clang-format (bash scripts/check-format.sh --fix)" >&2
    status=1
}
"$BIN/ruff" check --quiet . || status=1
[ "$status" -ne 0 ] || echo "format and lint: OK (${#SOURCES[@]} C++ files, ruff)"
exit "$status"
