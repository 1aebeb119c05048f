"""Migration: the two real 8.0 documents of ../shared/data (190 KB and 336 KB) and a 0.7 MB document made
of the larger one's objects twice (the second copy renamed), each brought from 8.0 to the latest version
in one call, with and without the kept layout; then a folder of 100 such 0.7 MB documents on 1 and 2
threads. Target: 20 ms a 0.7 MB document, 2 s for the folder of 100 on 2 cores. The schema loads are
left out (each is loaded once per process).

With --programs CHAIN, CHAIN is a command that runs the engine's own transition programs from one version
to another (CHAIN FROM TO INPUT OUTDIR, built from the engine's source; not part of this repository): the
three documents go through it once each and the ratio to ours is printed (target: 100 times faster).

Usage: python benchmarks/bench_migrate.py [--programs CHAIN]
"""

import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_writer import median_run  # noqa: E402

from tarvix.idd import IDD  # noqa: E402
from tarvix.idf import IDF  # noqa: E402
from tarvix.migration import migrate, versions  # noqa: E402
from tarvix.simulation import find_engine  # noqa: E402

DATA = Path(__file__).resolve().parents[2] / "shared" / "data"


def doubled(text: str) -> str:
    """The document's objects, then each again with its names given a suffix (the Version object once)."""
    body = text.split("\n", 1)[1] if text.startswith("Version") else text
    return text + "\n" + body.replace("SPACE", "SPACE B ").replace("Space", "Space B ").replace("Version,8.0;", "")


def main() -> None:
    if not DATA.is_dir():
        sys.exit(f"the real documents are not at {DATA}")
    old = IDD.from_file(DATA / "Energy+V8_0_0.idd", encoding="latin-1")
    latest = IDD.from_file(find_engine().idd_path)
    texts = {name: (DATA / f"{name}.idf").read_text(encoding="latin-1")
             for name in ("5ZoneSupRetPlenRAB", "5ZoneWaterLoopHeatPump")}
    texts["0.7 MB"] = doubled(texts["5ZoneWaterLoopHeatPump"])
    target = versions()[-1]
    print(f"8.0 -> {target}, {len(versions()) - 1} steps")
    ours = {}
    for name, text in texts.items():
        for keep in (False, True):
            doc = IDF.from_string(old, text, keep_layout=keep)
            seconds, _ = median_run(lambda d=doc: migrate(d, target, idd=latest), runs=21)
            ours.setdefault(name, seconds)
            layout = "kept layout" if keep else "plain"
            print(f"  {name:<24} {len(text) / 1e6:5.2f} MB  {layout:<12} {seconds * 1e3:7.2f} ms")
    if "--programs" in sys.argv:
        chain = sys.argv[sys.argv.index("--programs") + 1]
        for name, text in texts.items():
            with tempfile.TemporaryDirectory() as out:
                source = Path(out) / "source.idf"
                source.write_text(text, encoding="latin-1")
                start = time.perf_counter()
                subprocess.run([chain, "8.0", target, str(source), str(Path(out) / "steps")], check=True,
                               capture_output=True)
                theirs = time.perf_counter() - start
            print(f"  {name:<24} the engine's programs {theirs:7.1f} s: ours {theirs / ours[name]:,.0f} times faster")
    docs = [IDF.from_string(old, texts["0.7 MB"]) for _ in range(100)]
    for threads in (1, 2):
        start = time.perf_counter()
        with ThreadPoolExecutor(threads) as pool:
            list(pool.map(lambda d: migrate(d, target, idd=latest), docs))
        print(f"  100 documents of 0.7 MB on {threads} thread(s): {time.perf_counter() - start:.2f} s")


if __name__ == "__main__":
    main()
