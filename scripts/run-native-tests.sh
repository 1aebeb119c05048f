#!/usr/bin/env bash
# Builds the interpreter-free core with its native tests (tests/native/ and
# the fuzz targets replaying their seed corpora) and runs them with CTest.
#   bash scripts/run-native-tests.sh [--sanitize] [extra ctest arguments]
# --sanitize builds with AddressSanitizer and UndefinedBehaviorSanitizer.
# CMake and Ninja come from the machine when it has them, else from PyPI
# into .venv.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

BUILD="$ROOT/build/native-tests"
FLAGS=()
if [ "${1:-}" = "--sanitize" ]; then
    shift
    BUILD="$ROOT/build/native-tests-sanitize"
    FLAGS=(-DTARVIX_SANITIZE=address,undefined)
fi

tool() {  # the tool on PATH when it runs, else the one of .venv (installed on first use)
    if "$1" --version >/dev/null 2>&1; then command -v "$1"; return; fi
    if [ ! -x "$ROOT/.venv/bin/$1" ]; then
        source "$ROOT/scripts/python313.sh"
        ensure_venv "$ROOT/.venv" >&2
        "$ROOT/.venv/bin/python" -m pip install --quiet --disable-pip-version-check cmake ninja
    fi
    echo "$ROOT/.venv/bin/$1"
}
CMAKE=$(tool cmake)
NINJA=$(tool ninja)
CTEST=$(tool ctest)

# CMake's configuration and Ninja's [n/N] steps are shown, and every compiler message with them.
echo "Building the core's native tests in $BUILD (the first build takes minutes)"
"$CMAKE" -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVIX_PYTHON=OFF -DTARVIX_TESTS=ON -DTARVIX_WERROR=ON "${FLAGS[@]}"
"$CMAKE" --build "$BUILD" -- -j2
cd "$BUILD"
ASAN_OPTIONS=detect_leaks=1 "$CTEST" --output-on-failure "$@"
