"""Drafts the structural rules of one version step from the two schemas.

Aligns the fields of each class the two schemas share (by the words of their
names, their units and types), and prints the field insertions and
deletions that turn an object of the old schema into one of the new, with
the classes only one of the schemas has. The draft is a starting point for
src/tarvix/core/migration/rules.txt: every line is read, checked against
the engine's rule documents and the transition fixtures, and edited.

    python scripts/migration_draft.py OLD.idd NEW.idd
"""

from __future__ import annotations

import re
import sys

from tarvix.idd import IDD


def words(name: str) -> set[str]:
    return set(re.findall(r"[a-z0-9]+", name.lower()))


def score(a, b) -> float:
    if re.sub(r"[^a-z0-9]", "", a.name.lower()) == re.sub(r"[^a-z0-9]", "", b.name.lower()):
        return 3.0
    if re.fullmatch(r"[AN]\d+", a.name) and a.type == b.type:
        return 1.5
    wa, wb = words(a.name), words(b.name)
    s = 2.0 * len(wa & wb) / max(1, len(wa | wb))
    if a.units and a.units == b.units:
        s += 0.5
    if a.type == b.type:
        s += 0.2
    return s


def align(fa, fb):
    """Pairs (i, j) of matched fields, in order (Needleman-Wunsch, gaps free)."""
    n, m = len(fa), len(fb)
    best = [[0.0] * (m + 1) for _ in range(n + 1)]
    for i in range(n - 1, -1, -1):
        for j in range(m - 1, -1, -1):
            s = score(fa[i], fb[j])
            take = best[i + 1][j + 1] + s if s >= 1.0 else -1.0
            best[i][j] = max(take, best[i + 1][j], best[i][j + 1])
    pairs, i, j = [], 0, 0
    while i < n and j < m:
        s = score(fa[i], fb[j])
        if s >= 1.0 and best[i][j] == best[i + 1][j + 1] + s:
            pairs.append((i, j))
            i, j = i + 1, j + 1
        elif best[i][j] == best[i + 1][j]:
            i += 1
        else:
            j += 1
    return pairs


def fixed_part(info):
    fields = list(info.fields)
    if info.extensible_size:
        fields = fields[: info.extensible_begin + info.extensible_size]
    return fields


def ops_for(ia, ib):
    fa, fb = fixed_part(ia), fixed_part(ib)
    pairs = align(fa, fb)
    ops = []
    pos = 0  # fields of the new object written so far
    i = j = 0
    for pi, pj in [*pairs, (len(fa), len(fb))]:
        if pi > i:
            ops.append(("delete", pos + 1, pi - i, [f.name for f in fa[i:pi]]))
        for k in range(j, pj):
            ops.append(("insert", pos + 1 + (k - j), 1, [fb[k].name]))
        pos += pj - j
        i, j = pi + 1, pj + 1
        pos += 1
    return ops


def main(old_path: str, new_path: str) -> None:
    a = IDD.from_file(old_path, encoding="latin-1")
    b = IDD.from_file(new_path, encoding="latin-1")
    ca = {c.upper(): c for c in a.get_class_names()}
    cb = {c.upper(): c for c in b.get_class_names()}
    for key, name in ca.items():
        if key not in cb:
            print(f"# removed class {name}")
    for key, name in cb.items():
        if key not in ca:
            print(f"# added class {name}")
    for key, name in ca.items():
        if key not in cb:
            continue
        ia, ib = a.get_class_info(name), b.get_class_info(cb[key])
        na = [f.name.lower() for f in fixed_part(ia)]
        nb = [f.name.lower() for f in fixed_part(ib)]
        if na == nb or nb[: len(na)] == na:
            continue
        ops = ops_for(ia, ib)
        # Inserts past the old object's last field change nothing.
        trailing = len(ops)
        while trailing and ops[trailing - 1][0] == "insert" and ops[trailing - 1][1] > len(na) + sum(
            1 if o[0] == "insert" else -o[2] for o in ops[: trailing - 1]
        ):
            trailing -= 1
        ops = ops[:trailing]
        if not ops:
            continue
        for op, at, count, names in ops:
            if op == "insert":
                print(f"insert {name} {at}  # {names[0]}")
            else:
                extra = f" {count}" if count > 1 else ""
                print(f"delete {name} {at}{extra}  # {'; '.join(names)}")
        if ia.extensible_size != ib.extensible_size:
            print(f"# REVIEW {name}: repeating group of {ia.extensible_size} -> {ib.extensible_size} fields")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
