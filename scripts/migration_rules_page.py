"""Writes docs/migration-rules.md, the table of the migration rules of each version step, from the rules
text the core applies (src/tarvix/core/migration/rules.txt). A test checks that the page is current.

    python scripts/migration_rules_page.py [OUT]
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
RULES = ROOT / "src" / "tarvix" / "core" / "migration" / "rules.txt"


def page(rules: str) -> str:
    out = ["# Migration rules by version step", "",
           "Generated from the rules the core applies (`src/tarvix/core/migration/rules.txt`) by",
           "`scripts/migration_rules_page.py`. Fields are numbered from 1 in the object as the rules before",
           "have left it; see [Migrating documents](migration.md).", ""]
    for line in rules.splitlines():
        text, _, label = line.partition("!")
        text = text.strip()
        if not text or text.startswith("#"):
            continue
        step = re.fullmatch(r"\[(\S+) => (\S+)\]", text)
        if step:
            out += ["", f"## {step[1]} → {step[2]}", "", "| rule | class | what | field |", "| --- | --- | --- | --- |"]
            continue
        verb, _, rest = text.partition(" ")
        if verb.startswith("variable"):
            cls, what = "(output names)", rest
        else:
            cls, _, what = rest.partition(" ")
        out.append(f"| {verb} | `{cls}` | {what.replace('|', '/')} | {label.strip()} |")
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "migration-rules.md"
    target.write_text(page(RULES.read_text(encoding="utf-8")), encoding="utf-8")
