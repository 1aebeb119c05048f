#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs the example on the
# sample files shipped in examples/.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
exec "$PY" examples/example.py "$@"
