#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs the test suite (the package
# with its test extra: pytest, and Dask for the batch example's cluster test).
# Extra arguments go to pytest.
ARGS=("$@")
set --  # a sourced script sees the caller's arguments: keep them from setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" test
# The released schemas of every version, for the migration tests of each step (skipped without them).
bash "$(dirname "${BASH_SOURCE[0]}")/fetch-release-schemas.sh" || echo "release schemas not fetched: those tests skip"
exec "$PY" -m pytest "${ARGS[@]}"
