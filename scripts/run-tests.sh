#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs the test suite (the package
# with its test extra: pytest, and Dask for the batch example's cluster test).
# Extra arguments go to pytest.
ARGS=("$@")
set --  # a sourced script sees the caller's arguments: keep them from setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" test
exec "$PY" -m pytest "${ARGS[@]}"
