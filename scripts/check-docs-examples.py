"""Runs every ```python block of the documentation pages (docs/**/*.md) from the project root, as the test
suite runs the README's, and checks that each print writes what its trailing comment says. Blocks marked
```py are shown but not run (they need files the project does not have, such as an engine release).

Usage, once .venv exists (bash scripts/run-tests.sh makes it): .venv/bin/python scripts/check-docs-examples.py
Exits 1, naming the page and the block, when a block fails or prints something else.
"""

import itertools
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# The same rule as tests/test_examples.py: a print whose output is given in a trailing comment.
PRINT_WITH_OUTPUT = re.compile(r"^\s*print\(.*\)\s+# (.*)$")
BLOCK = re.compile(r"^```python\n(.*?)^```$", flags=re.DOTALL | re.MULTILINE)


def main() -> int:
    failures = 0
    blocks = 0
    for page in sorted((ROOT / "docs").rglob("*.md")):
        for number, code in enumerate(BLOCK.findall(page.read_text(encoding="utf-8")), 1):
            blocks += 1
            expected = [m.group(1).strip() for line in code.splitlines() if (m := PRINT_WITH_OUTPUT.match(line))]
            with tempfile.TemporaryDirectory() as tmp:
                proc = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True,
                                      timeout=300, env=dict(os.environ, TMPDIR=tmp))
            got = [line.strip() for line in proc.stdout.splitlines()]
            if proc.returncode != 0 or got != expected:
                failures += 1
                where = f"{page.relative_to(ROOT)}, block {number}"
                print(f"{where}: status {proc.returncode}\n{proc.stderr}", file=sys.stderr)
                for want, have in itertools.zip_longest(expected, got, fillvalue=""):
                    if want != have:
                        print(f"  expected: {want}\n  printed:  {have}", file=sys.stderr)
    print(f"documentation examples: {blocks - failures} of {blocks} blocks print what they say")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
