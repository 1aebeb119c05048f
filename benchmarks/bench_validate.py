"""Checking a document: IDF.validate() on the generated document of about
50 MB (the sample document's objects repeated, so every repeat brings its
names again: one duplicate-name problem per named object and repeat), all
checks and then all but the name and count checks (almost no problems: the
check itself); and on the sample document.

Usage: python benchmarks/bench_validate.py [TARGET_MB]
"""

import collections
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_idf import DOCUMENT, SCHEMA, generate  # noqa: E402
from bench_writer import median_run  # noqa: E402

from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402

ALL_BUT_COUNTS = [
    "unknown-reference", "required-field", "required-object", "not-a-number", "not-an-integer",
    "below-minimum", "above-maximum", "not-a-choice", "too-many-fields", "too-few-fields",
    "version-mismatch", "obsolete-class", "deprecated-field",
]  # fmt: skip


def main() -> None:
    target_mb = float(sys.argv[1]) if len(sys.argv) > 1 else 50.0
    if not SCHEMA.exists() or not DOCUMENT.exists():
        sys.exit(f"sample data not found under {SCHEMA.parent}")
    idd = IDD.from_file(SCHEMA)
    sample = IDF.from_file(idd, DOCUMENT, encoding="latin-1")
    seconds, problems = median_run(sample.validate, 20)
    print(f"{DOCUMENT.name}: validate() {seconds * 1e3:.2f} ms, {len(problems)} problems")
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "generated.idf"
        size = generate(int(target_mb * 1e6), path)
        doc = IDF.from_file(idd, path, encoding="latin-1")
    objects = sum(len(doc[name]) for name in doc.get_class_names())
    seconds, problems = median_run(doc.validate)
    counts = collections.Counter(p.code for p in problems)
    print(f"generated document: {size / 1e6:.1f} MB, {objects} objects")
    print(f"  validate(): {seconds:.3f} s, {len(problems)} problems {dict(counts)}")
    del problems
    seconds, problems = median_run(lambda: doc.validate(codes=ALL_BUT_COUNTS))
    print(f"  validate() without name and count checks: {seconds:.3f} s, {len(problems)} problems")


if __name__ == "__main__":
    main()
