"""The tarvix command and version-aware loading.

- `tarvix validate` on a folder of 200 copies of 5ZoneWaterLoopHeatPump.idf
  (66 MB, Latin-1), the schema chosen per document from a folder holding the
  8.0 and 8.8 schemas, with --jobs 1 and --jobs 2: wall time of the whole
  command (interpreter start included) and MB/s; median of the rounds.
- what `tarvix.open_idf` adds to `IDF.from_file` on the generated ~50 MB
  document: finding the version and the kept schema, with the Version object
  at the top (where files keep it: only the first 64 KB are read) and at the
  very end (the whole text is read and tokenized to find it).

Usage: python benchmarks/bench_cli.py [ROUNDS]
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_idf import DATA, DOCUMENT, SCHEMA, generate  # noqa: E402

import tarvix  # noqa: E402
from tarvix import _schemas  # noqa: E402
from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402

COPIES = 200


def median_seconds(func, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def bench_validate(tmp: Path, rounds: int) -> None:
    schemas = tmp / "schemas"
    schemas.mkdir()
    for name in ("Energy+V8_0_0.idd", "Energy+V8_8_0.idd"):
        os.symlink(DATA / name, schemas / name)
    folder = tmp / "models"
    for k in range(COPIES):
        sub = folder / f"site-{k % 10}"
        sub.mkdir(parents=True, exist_ok=True)
        shutil.copy(DOCUMENT, sub / f"model-{k}.idf")
    size = sum(p.stat().st_size for p in folder.rglob("*.idf"))
    command = [sys.executable, "-m", "tarvix", "validate", str(folder), "--idd", str(schemas),
               "--encoding", "latin-1"]
    print(f"tarvix validate, {COPIES} documents ({size / 1e6:.0f} MB), schema chosen per document:")
    for jobs in (1, 2):
        def run():
            proc = subprocess.run([*command, "--jobs", str(jobs)], capture_output=True, text=True)
            assert proc.returncode in (0, 1), proc.stderr
        run()  # warm-up: page cache
        seconds = median_seconds(run, rounds)
        print(f"  --jobs {jobs}: {seconds:.2f} s, {size / 1e6 / seconds:.0f} MB/s")


def bench_open_idf(tmp: Path, rounds: int) -> None:
    top = tmp / "top.idf"
    generate(int(50e6), top)
    text = top.read_bytes()
    start = text.index(b"Version,")
    end = text.index(b";", start) + 1
    bottom = tmp / "bottom.idf"
    bottom.write_bytes(text[:start] + text[end:] + b"\n" + text[start:end] + b"\n")
    size = len(text)
    schemas = tmp / "schemas"
    idd = IDD.from_file(SCHEMA)
    tarvix.open_idf(top, schemas)  # loads and keeps the schema
    print(f"open_idf on a {size / 1e6:.0f} MB document: finding the version and the (kept) schema")
    plain = median_seconds(lambda: IDF.from_file(idd, top), rounds)
    print(f"  for scale, IDF.from_file:    {plain * 1e3:9.3f} ms")
    for label, path in (("Version at the top", top), ("Version at the end", bottom)):
        def find():
            _schemas.load_schema(_schemas.schema_path_for(path, schemas))
        seconds = median_seconds(find, rounds * 4)
        print(f"  {label}:        {seconds * 1e3:9.3f} ms")


def main() -> None:
    if not SCHEMA.exists():
        sys.exit(f"sample data not found under {DATA}")
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with tempfile.TemporaryDirectory() as name:
        tmp = Path(name)
        bench_validate(tmp, rounds)
        bench_open_idf(tmp, rounds)


if __name__ == "__main__":
    main()
