"""What the engine made of a model's geometry, for the tests of tarvix.geometry to compare against.

engine_geometry(text) runs the engine once per model text (design days only; results cached for the session)
and returns plain dicts and lists read from what the run wrote:

- "eio": the surface list of eplusout.eio (Output:Surfaces:List,DetailsWithVertices): "surfaces" maps each
  upper-cased surface name to its fields (heat transfer surfaces with their zone, shading surfaces with
  zone None; "window_multiplier" from the exterior fenestration table, "outside_surface" the facing
  surface as the SQLite output links it), "zones" the "Zone Information" lines, "geometry_rules" the "Surface Geometry" line,
  "building" the "Building Information" line, "headers" the "! <...>" header lines used;
- "vrml": eplusout.wrl (Output:Surfaces:Drawing,VRML): per surface name its group (zone name, "Fixed
  Shading" or "Building Shading"), appearance and vertices (five decimals);
- "sql": the Surfaces and Zones tables of eplusout.sql, all columns, keyed by upper-cased name;
- "tables": tabular reports {report: {table: {row: {column: value}}}} of EnvelopeSummary,
  InputVerificationandResultsSummary and AnnualBuildingUtilityPerformanceSummary (numbers as floats);
- "window_wall_ratio": {"Total"/"North"/"East"/"South"/"West": {gross_wall_area, above_ground_wall_area,
  window_area, gross_ratio, above_ground_ratio}} with the ratios as fractions (the table shows percent);
- "building_area": the Building Area table's Total Building Area (m2);
- "run": ok, counts of warnings / severe / fatal, the severe and fatal texts, the run's folder.

Every record keeps the engine's own spelling of its name in a "name" field. Tests calling engine_geometry()
are skipped when the engine is not installed; do not change the dicts it returns (they are shared)."""

import atexit
import re
import shutil
import sqlite3
import tempfile
from pathlib import Path
from typing import Any

from engine import payload_dir

_CACHE: dict[str, dict[str, Any]] = {}

HEAT_TRANSFER_FIELDS = (
    "name", "class", "base_surface", "heat_transfer_algorithm", "construction", "nominal_u", "nominal_u_film",
    "solar_diffusing", "area_net", "area_gross", "area_sunlit", "azimuth", "tilt", "width", "height", "reveal",
    "outside_boundary", "ext_conv_coeff", "int_conv_coeff", "sun_exposure", "wind_exposure",
    "view_factor_ground", "view_factor_sky", "view_factor_ground_ir", "view_factor_sky_ir", "sides")
SHADING_FIELDS = (
    "name", "class", "base_surface", "heat_transfer_algorithm", "transmittance_schedule", "min_schedule",
    "max_schedule", "solar_diffusing", "area_net", "area_gross", "area_sunlit", "azimuth", "tilt", "width",
    "height", "reveal", "outside_boundary", "ext_conv_coeff", "int_conv_coeff", "sun_exposure", "wind_exposure",
    "view_factor_ground", "view_factor_sky", "view_factor_ground_ir", "view_factor_sky_ir", "sides")
ZONE_FIELDS = (
    "name", "north_axis", "origin_x", "origin_y", "origin_z", "centroid_x", "centroid_y", "centroid_z", "type",
    "multiplier", "list_multiplier", "min_x", "max_x", "min_y", "max_y", "min_z", "max_z", "ceiling_height",
    "volume", "inside_convection", "outside_convection", "floor_area", "exterior_gross_wall_area",
    "exterior_net_wall_area", "exterior_window_area", "surfaces", "subsurfaces", "shading_subsurfaces",
    "part_of_total_floor_area")
_HEADERS = ("Zone Surfaces", "Shading Surfaces", "HeatTransfer Surface", "Shading Surface",
            "Frame/Divider Surface", "Zone Information", "Surface Geometry", "Building Information")
TABLES = {
    "EnvelopeSummary": ("Opaque Exterior", "Exterior Fenestration", "Exterior Door", "Opaque Interior",
                        "Interior Fenestration", "Interior Door"),
    "InputVerificationandResultsSummary": ("Window-Wall Ratio", "Skylight-Roof Ratio", "Zone Summary"),
    "AnnualBuildingUtilityPerformanceSummary": ("Building Area",),
}
_WWR_ROWS = {"Gross Wall Area": "gross_wall_area", "Above Ground Wall Area": "above_ground_wall_area",
             "Window Opening Area": "window_area", "Gross Window-Wall Ratio": "gross_ratio",
             "Above Ground Window-Wall Ratio": "above_ground_ratio"}


def number(text: str) -> Any:
    """A float when the text is one, else the stripped text (None when empty)."""
    text = text.strip()
    if not text:
        return None
    try:
        return float(text)
    except ValueError:
        return text


def _triples(values: list[str]) -> list[list[float]]:
    coords = [float(v) for v in values if v.strip()]
    return [coords[i:i + 3] for i in range(0, len(coords) - len(coords) % 3, 3)]


def parse_eio(text: str) -> dict[str, Any]:
    """The surface list, zone and geometry lines of an eplusout.eio text."""
    headers: dict[str, str] = {}
    surfaces: dict[str, dict[str, Any]] = {}
    zones: dict[str, dict[str, Any]] = {}
    rules: dict[str, Any] = {}
    building: dict[str, Any] = {}
    zone = None
    for line in text.splitlines():
        stripped = line.strip()
        if stripped.startswith("! <"):
            key = stripped[3:].split(">", 1)[0]
            if key in _HEADERS:
                headers[key] = stripped
            continue
        fields = [f.strip() for f in stripped.split(",")]
        tag = fields[0]
        if tag == "Zone Surfaces":
            zone = fields[1]
        elif tag == "Shading Surfaces":
            zone = None
        elif tag in ("HeatTransfer Surface", "Shading Surface"):
            names = HEAT_TRANSFER_FIELDS if tag == "HeatTransfer Surface" else SHADING_FIELDS
            record: dict[str, Any] = {"record": tag}
            for key, value in zip(names, fields[1:1 + len(names)]):
                record[key] = value if key in ("name", "class", "construction") else number(value)
            record["base_surface"] = record["base_surface"] or None
            record["zone"] = zone if tag == "HeatTransfer Surface" else None
            record["sides"] = int(record["sides"]) if isinstance(record["sides"], float) else record["sides"]
            record["vertices"] = _triples(fields[1 + len(names):])
            surfaces[record["name"].upper()] = record
        elif tag == "Zone Information":
            record = {key: number(value) for key, value in zip(ZONE_FIELDS, fields[1:])}
            record["name"] = fields[1]
            zones[fields[1].upper()] = record
        elif tag == "Surface Geometry":
            rules = dict(zip(("starting_corner", "vertex_direction", "coordinate_system",
                              "daylighting_coordinate_system", "rectangular_coordinate_system"), fields[1:]))
        elif tag == "Building Information":
            building = {key: number(value) for key, value in zip(
                ("name", "north_axis", "terrain", "loads_tolerance", "temperature_tolerance", "solar_distribution",
                 "max_warmup_days", "min_warmup_days"), fields[1:])}
            building["name"] = fields[1]
    return {"headers": headers, "surfaces": surfaces, "zones": zones, "geometry_rules": rules,
            "building": building}


_VRML_NAME = re.compile(r"^# (.*?)(?:Shape \{)?\s*$")
_VRML_POINT = re.compile(r"^\s*(-?[\d.eE+-]+)\s+(-?[\d.eE+-]+)\s+(-?[\d.eE+-]+),?\s*$")


def parse_vrml(text: str, groups: list[str]) -> dict[str, dict[str, Any]]:
    """Surfaces of an eplusout.wrl text: each is drawn after a comment "# <group>:<surface name>" (the group a
    zone name, "Fixed Shading" or "Building Shading"; for shades the engine leaves out the newline before
    "Shape {"). `groups` are the possible groups, longest matched first, so that names holding ":" split."""
    known = sorted({"Fixed Shading", "Building Shading", *groups}, key=len, reverse=True)
    found: dict[str, dict[str, Any]] = {}
    current: dict[str, Any] | None = None
    in_points = False
    for line in text.splitlines():
        match = _VRML_NAME.match(line)
        if match and not line.startswith("# Zone"):
            label = match.group(1)
            group = next((g for g in known if label.upper().startswith(g.upper() + ":")), None)
            if group is None:
                group, _, name = label.partition(":")
            else:
                name = label[len(group) + 1:]
            current = {"name": name, "group": group, "appearance": None, "vertices": []}
            found[name.upper()] = current
            in_points = False
            continue
        if current is None:
            continue
        stripped = line.strip()
        if stripped.startswith("appearance USE "):
            current["appearance"] = stripped.split()[-1]
        elif stripped.startswith("point ["):
            in_points = True
        elif in_points:
            point = _VRML_POINT.match(line)
            if point:
                current["vertices"].append([float(v) for v in point.groups()])
            else:
                in_points = False
    return found


def parse_sql(path: Path) -> dict[str, Any]:
    """The Surfaces and Zones tables (all columns, keyed by upper-cased name), the tabular reports of TABLES,
    the window-wall ratios and the building area."""
    connection = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        connection.row_factory = sqlite3.Row
        surfaces = {row["SurfaceName"].upper(): dict(row) for row in connection.execute(
            "SELECT * FROM Surfaces ORDER BY SurfaceIndex")}
        zones = {row["ZoneName"].upper(): dict(row) for row in connection.execute(
            "SELECT * FROM Zones ORDER BY ZoneIndex")}
        tables: dict[str, dict[str, dict[str, dict[str, Any]]]] = {}
        for report, names in TABLES.items():
            marks = ",".join("?" * len(names))
            for row in connection.execute(
                    "SELECT TableName, RowName, ColumnName, Units, Value FROM TabularDataWithStrings "
                    f"WHERE ReportName = ? AND ReportForString = 'Entire Facility' AND TableName IN ({marks}) "
                    "ORDER BY TabularDataIndex", (report, *names)):
                table = tables.setdefault(report, {}).setdefault(row["TableName"], {})
                table.setdefault(row["RowName"], {})[row["ColumnName"]] = number(row["Value"])
    finally:
        connection.close()
    ratio: dict[str, dict[str, Any]] = {}
    for row, columns in tables.get("InputVerificationandResultsSummary", {}).get("Window-Wall Ratio", {}).items():
        key = _WWR_ROWS.get(row)
        if key is None:
            continue
        for column, value in columns.items():
            side = column.split(" (", 1)[0]
            if key.endswith("ratio") and isinstance(value, float):
                value /= 100.0
            ratio.setdefault(side, {})[key] = value
    area = tables.get("AnnualBuildingUtilityPerformanceSummary", {}).get("Building Area", {})
    building_area = area.get("Total Building Area", {}).get("Area")
    return {"surfaces": surfaces, "zones": zones, "tables": tables, "window_wall_ratio": ratio,
            "building_area": building_area}


def _multipliers(tables: dict[str, Any]) -> dict[str, float]:
    """Window multipliers from the exterior fenestration table (multiplied area over one opening's area)."""
    found = {}
    rows = tables.get("EnvelopeSummary", {}).get("Exterior Fenestration", {})
    for name, columns in rows.items():
        one, many = columns.get("Area of One Opening"), columns.get("Area of Multiplied Openings")
        if isinstance(one, float) and isinstance(many, float) and one > 0:
            found[name.upper()] = round(many / one, 3)
    return found


def run_model(model_text: str, folder: Path) -> dict[str, Any]:
    """Run one model's design days in `folder` and parse what the engine wrote."""
    payload_dir()  # skips when the engine is not installed
    from tarvix.simulation import run

    folder.mkdir(parents=True, exist_ok=True)
    source = folder / "model.idf"
    source.write_text(model_text, encoding="utf-8")
    result = run(str(source), design_day=True, output_dir=folder / "run")
    summary = {"ok": result.ok, "warnings": result.warnings, "severe": result.severe, "fatal": result.fatal,
               "errors": [m.text for m in result.messages if m.severity in ("severe", "fatal")],
               "output_dir": str(result.output_dir)}
    out = Path(result.output_dir)
    eio = parse_eio((out / "eplusout.eio").read_text(errors="replace")) if (out / "eplusout.eio").is_file() \
        else {"headers": {}, "surfaces": {}, "zones": {}, "geometry_rules": {}, "building": {}}
    groups = [zone["name"] for zone in eio["zones"].values()]
    vrml = parse_vrml((out / "eplusout.wrl").read_text(errors="replace"), groups) \
        if (out / "eplusout.wrl").is_file() else {}
    sql = parse_sql(out / "eplusout.sql") if (out / "eplusout.sql").is_file() else {
        "surfaces": {}, "zones": {}, "tables": {}, "window_wall_ratio": {}, "building_area": None}
    multipliers = _multipliers(sql["tables"])
    by_index = {row["SurfaceIndex"]: row["SurfaceName"] for row in sql["surfaces"].values()}
    for key, surface in eio["surfaces"].items():
        surface["window_multiplier"] = multipliers.get(key)
        # The surface on the other side as the SQLite output links it: the surface list prints a
        # Ceiling:Interzone's own name there rather than the floor it faces.
        row = sql["surfaces"].get(key)
        index = row["ExtBoundCond"] if row else None
        surface["outside_surface"] = by_index.get(index) if isinstance(index, int) and index > 0 else None
    return {"run": summary, "eio": eio, "vrml": vrml, "sql": {"surfaces": sql["surfaces"], "zones": sql["zones"]},
            "tables": sql["tables"], "window_wall_ratio": sql["window_wall_ratio"],
            "building_area": sql["building_area"]}


def engine_geometry(model_text: str) -> dict[str, Any]:
    """What the engine reports of the geometry of `model_text` (run once per text in a session)."""
    found = _CACHE.get(model_text)
    if found is None:
        folder = Path(tempfile.mkdtemp(prefix="geometry-engine-"))
        atexit.register(shutil.rmtree, folder, ignore_errors=True)  # what was read is kept in the cache
        found = run_model(model_text, folder)
        _CACHE[model_text] = found
    return found
