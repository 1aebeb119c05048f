#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs the quickstart on the
# sample schema and document shipped in examples/data. Extra arguments go to
# the quickstart (for example --output DIR for the written files).
ARGS=("$@")
set --  # a sourced script sees the caller's arguments: keep them from setup.sh
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
exec "$PY" examples/quickstart.py "${ARGS[@]}"
