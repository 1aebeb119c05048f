"""Each rule is stated once and every caller follows it: the core names no
Python module (the binding names each failure site)."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE = ROOT / "src" / "tarvix" / "core"


def test_the_core_names_no_python_module():
    named = [f"{path.relative_to(CORE)}:{n}" for path in sorted(CORE.rglob("*.[ch]*"))
             for n, line in enumerate(path.read_text().splitlines(), 1) if re.search(r"\btarvix\.\w", line)]
    assert named == []
