"""`tarvix validate` on a terminal: 200 small documents with 319 problems each
(63,800 problem lines), standard output and standard error both on one
pseudo-terminal of 120 columns as in an interactive shell, so the progress bar is drawn and
every problem line goes past it. Wall time of the whole command, median of
the rounds, beside the same command with its output sent to a file.

Usage: python benchmarks/bench_progress.py [ROUNDS]
"""

import fcntl
import os
import re
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "examples" / "data"
DOCUMENTS, PROBLEMS = 200, 319


def make_folder(folder: Path) -> None:
    office = (DATA / "office.idf").read_text(encoding="utf-8")
    walls = "".join(f"BuildingSurface:Detailed, Wall {k}, Wall, Missing {k}, West Office, 3, 0,0,3, 0,0,0, 10,0,0;\n"
                    for k in range(PROBLEMS))
    for k in range(DOCUMENTS):
        (folder / f"model-{k:03}.idf").write_text(office + walls, encoding="utf-8")


def on_terminal(command: list[str]) -> tuple[float, int]:
    """The wall time of `command` with stdout and stderr on a new pseudo-terminal,
    and the number of times it drew the bar there (carriage returns not before a
    line feed)."""
    leader, follower = os.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))  # 40 rows, 120 columns
    start = time.perf_counter()
    proc = subprocess.Popen(command, stdout=follower, stderr=follower)
    os.close(follower)
    seen = bytearray()
    while True:
        try:
            chunk = os.read(leader, 1 << 16)
            if not chunk:
                break
            seen += chunk
        except OSError:  # the terminal is gone once the process ended
            break
    proc.wait()
    elapsed = time.perf_counter() - start
    os.close(leader)
    return elapsed, len(re.findall(rb"\r(?!\n)", seen))


def to_file(command: list[str], out: Path) -> float:
    start = time.perf_counter()
    with open(out, "wb") as file:
        subprocess.run(command, stdout=file, stderr=subprocess.STDOUT)
    return time.perf_counter() - start


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp) / "models"
        folder.mkdir()
        make_folder(folder)
        command = [sys.executable, "-m", "tarvix", "validate", str(folder), "--idd", str(DATA / "building.idd"),
                   "--jobs", "1"]
        runs = [on_terminal(command) for _ in range(rounds)]
        terminal = statistics.median(elapsed for elapsed, _ in runs)
        plain = statistics.median(to_file(command, Path(tmp) / "out.txt") for _ in range(rounds))
    print(f"tarvix validate, {DOCUMENTS} documents, {DOCUMENTS * PROBLEMS:,} problem lines")
    print(f"  on a terminal (progress bar): {terminal:.2f} s, {runs[0][1]:,} carriage returns")
    print(f"  to a file (no bar):           {plain:.2f} s")


if __name__ == "__main__":
    main()
