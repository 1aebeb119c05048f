#!/usr/bin/env bash
# Builds the documentation site into site/ with warnings as errors: finds CPython 3.13, creates the
# virtual environment .venv-docs from docs/requirements.txt, then runs `mkdocs build --strict`. The API
# reference is read from the type stubs, so the extension modules need not be built. Extra arguments go
# to mkdocs instead (for example `bash scripts/build-docs.sh serve`).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
source "$ROOT/scripts/python313.sh"

VENV="$ROOT/.venv-docs"
ensure_venv "$VENV"
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check -r docs/requirements.txt

if [ "$#" -eq 0 ]; then
    set -- build --strict
fi
# Material prints a notice about its future on every run; the build has nothing to do with it.
export NO_MKDOCS_2_WARNING=1
exec "$VENV/bin/python" -m mkdocs "$@"
