#!/usr/bin/env bash
# Sets everything up on a fresh machine, then runs the test suite.
# Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" pytest
exec "$PY" -m pytest "$@"
