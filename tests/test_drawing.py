"""Drawings of a building's surfaces as SVG, and `tarvix draw`."""

import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from pathlib import Path

import pytest

from tarvix import _drawing

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared" / "data"
FIVE_ZONE = SHARED / "5ZoneSupRetPlenRAB.idf"
SVG = "{http://www.w3.org/2000/svg}"


@dataclass
class Surface:
    """The attributes of tarvix.geometry's surfaces that a drawing reads."""

    name: str
    kind: str
    vertices: tuple
    zone: str | None = None
    base_surface: str | None = None
    construction: str | None = None
    outside_boundary: str | None = "Outdoors"
    class_name: str = "BuildingSurface:Detailed"

    @property
    def outward_normal(self):
        return _drawing._newell(self.vertices)


KINDS = {"WALL": "Wall", "FLOOR": "Floor", "ROOF": "Roof", "CEILING": "Roof", "WINDOW": "Window",
         "DOOR": "Door", "GLASSDOOR": "GlassDoor"}


def surfaces_of(text):
    """The surfaces of an IDF text whose vertices are world coordinates: its detailed building and
    fenestration surfaces and zone shades (the fields of the 8.0 schema)."""
    found = []
    objects = [[f.strip() for f in obj.split(",")] for obj in re.sub(r"!.*", "", text).split(";")]
    boundaries = {}
    for fields in objects:
        kind = fields[0].upper()
        if kind == "BUILDINGSURFACE:DETAILED":
            name, type_, construction, zone, boundary = fields[1:6]
            count, first = int(fields[10]), 11
            boundaries[name.upper()] = boundary
            found.append(dict(name=name, kind=KINDS[type_.upper()], construction=construction, zone=zone,
                              outside_boundary=boundary, count=count, first=first, fields=fields))
        elif kind == "FENESTRATIONSURFACE:DETAILED":
            name, type_, construction, base = fields[1:5]
            found.append(dict(name=name, kind=KINDS[type_.upper()], construction=construction, base_surface=base,
                              count=int(fields[10]), first=11, fields=fields))
        elif kind == "SHADING:ZONE:DETAILED":
            found.append(dict(name=fields[1], kind="Shading", base_surface=fields[2], outside_boundary=None,
                              count=int(fields[4]), first=5, fields=fields))
    zones = {d["name"].upper(): d.get("zone") for d in found}
    surfaces = []
    for d in found:
        fields, first, count = d.pop("fields"), d.pop("first"), d.pop("count")
        numbers = [float(v) for v in fields[first:first + 3 * count]]
        d["vertices"] = tuple(tuple(numbers[i:i + 3]) for i in range(0, len(numbers), 3))
        if d["kind"] != "Shading" and d.get("base_surface"):
            d["zone"] = zones.get(d["base_surface"].upper())
            d["outside_boundary"] = boundaries.get(d["base_surface"].upper())
        surfaces.append(Surface(**d))
    return surfaces


def box(name, zone, x0, y0, x1, y1, z1):
    """A closed box of walls, floor and roof, counter-clockwise seen from outside."""
    corners = [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]
    walls = [Surface(f"{name} wall {i}", "Wall", ((ax, ay, z1), (ax, ay, 0.0), (bx, by, 0.0), (bx, by, z1)), zone,
                     construction="Wall")
             for i, ((ax, ay), (bx, by)) in enumerate(zip(corners, corners[1:] + corners[:1]))]
    floor = Surface(f"{name} floor", "Floor", tuple((x, y, 0.0) for x, y in reversed(corners)), zone,
                    construction="Slab", outside_boundary="Ground")
    roof = Surface(f"{name} roof", "Roof", tuple((x, y, z1) for x, y in corners), zone, construction="Roof")
    return [*walls, floor, roof]


def little_house():
    surfaces = box("Hall", "Hall", 0.0, 0.0, 10.0, 6.0, 3.0)
    surfaces.insert(0, Surface("South window", "Window", ((2, 0, 2), (2, 0, 1), (5, 0, 1), (5, 0, 2)), "Hall",
                               base_surface="Hall wall 0", construction="Glass"))
    surfaces.append(Surface("Porch roof", "Shading", ((6, -1.5, 2.4), (6, 0, 2.4), (9, 0, 2.4), (9, -1.5, 2.4)),
                            base_surface="Hall wall 0", outside_boundary=None))
    return surfaces


def polygons(text):
    return ET.fromstring(text).iter(f"{SVG}polygon")


def names(text):
    return [p.find(f"{SVG}title").text for p in polygons(text)]


@pytest.mark.parametrize("view", _drawing.VIEWS)
@pytest.mark.parametrize("color_by", _drawing.COLOR_BY)
def test_every_surface_is_one_polygon_with_its_name(view, color_by):
    surfaces = little_house()
    text = _drawing.to_svg(surfaces, view=view, color_by=color_by, title="Little <house>")
    root = ET.fromstring(text)
    assert root.find(f"{SVG}title").text.startswith("Little <house>")
    assert float(root.get("width")) > 0 and float(root.get("height")) > 0
    assert root.get("viewBox") == f"0 0 {root.get('width')} {root.get('height')}"
    assert sorted(names(text)) == sorted(s.name for s in surfaces)
    for polygon in polygons(text):
        for number in re.split(r"[ ,]", polygon.get("points")):
            assert re.fullmatch(r"-?\d+(\.\d{1,2})?", number), number
    assert root.find(f"{SVG}g[@class='legend']") is not None


@pytest.mark.parametrize("view", _drawing.VIEWS)
def test_windows_and_shades_follow_their_wall(view):
    order = names(_drawing.to_svg(little_house(), view=view))
    assert order.index("Hall wall 0") < order.index("South window") < order.index("Porch roof")


def test_surfaces_facing_away_go_first_and_lighter():
    text = _drawing.to_svg(little_house(), view="south")
    order = names(text)
    assert order.index("Hall wall 2") < order.index("Hall wall 0")  # the north wall, behind
    behind = {p.find(f"{SVG}title").text for p in polygons(text) if p.get("class") == "behind"}
    assert "Hall wall 2" in behind and "Hall wall 0" not in behind


@pytest.mark.parametrize("keyword, value, choices", [("view", "isometric", _drawing.VIEWS),
                                                      ("color_by", "colour", _drawing.COLOR_BY)])
def test_unknown_choices_are_refused(keyword, value, choices):
    with pytest.raises(ValueError, match=f"unknown {keyword} '{value}'") as raised:
        _drawing.to_svg(little_house(), **{keyword: value})
    assert all(choice in str(raised.value) for choice in choices)


def test_no_surfaces_draws_an_empty_drawing():
    assert list(polygons(_drawing.to_svg([]))) == []


@pytest.mark.skipif(not FIVE_ZONE.is_file(), reason="../shared/data/5ZoneSupRetPlenRAB.idf is absent")
def test_the_five_zone_model_draws_its_windows_over_their_walls():
    surfaces = surfaces_of(FIVE_ZONE.read_text(encoding="cp1252"))
    assert len(surfaces) == 50 + 6 + 2
    order = names(_drawing.to_svg(surfaces, title="5ZoneSupRetPlenRAB"))
    assert len(order) == len(surfaces)
    for surface in surfaces:
        if surface.base_surface:
            assert order.index(surface.base_surface) < order.index(surface.name)


@pytest.mark.skipif(shutil.which("chromium") is None, reason="chromium is not installed")
@pytest.mark.skipif(not FIVE_ZONE.is_file(), reason="../shared/data/5ZoneSupRetPlenRAB.idf is absent")
def test_chromium_renders_the_drawing(tmp_path):
    svg = tmp_path / "five-zone.svg"
    svg.write_text(_drawing.to_svg(surfaces_of(FIVE_ZONE.read_text(encoding="cp1252"))), encoding="utf-8")
    png = tmp_path / "five-zone.png"
    # The browser runs as itself: not under the sanitizers a test build may preload into this process.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}
    subprocess.run(["chromium", "--headless", "--disable-gpu", "--no-sandbox", f"--screenshot={png}",
                    "--window-size=900,700", svg.as_uri()], capture_output=True, timeout=120, env=env)
    assert png.is_file() and png.stat().st_size > 1000


# ---------------------------------------------------------------------------
# tarvix draw

OFFICE_IDD = ROOT / "examples" / "data" / "building.idd"


def tarvix(*args, status=0):
    proc = subprocess.run([sys.executable, "-m", "tarvix", *map(str, args)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == status, f"status {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc


@pytest.mark.skipif(not FIVE_ZONE.is_file(), reason="../shared/data/5ZoneSupRetPlenRAB.idf is absent")
def test_draw_writes_the_drawing(tmp_path):
    out = tmp_path / "building.svg"
    tarvix("draw", FIVE_ZONE, "-o", out, "--view", "south", "--color-by", "zone",
           "--idd", SHARED / "Energy+V8_0_0.idd")
    assert len(list(polygons(out.read_text(encoding="utf-8")))) == 50 + 6 + 2
    again = tarvix("draw", FIVE_ZONE, "-o", out, "--idd", SHARED / "Energy+V8_0_0.idd", status=1)
    assert "--force" in again.stderr
    tarvix("draw", FIVE_ZONE, "-o", out, "--force", "--idd", SHARED / "Energy+V8_0_0.idd")


def test_draw_refuses_an_unknown_view(tmp_path):
    proc = tarvix("draw", "model.idf", "-o", tmp_path / "x.svg", "--view", "up", status=2)
    assert "axonometric" in proc.stderr


def test_a_plan_shows_every_zone_of_every_storey():
    """A plenum over two zones and a shallow one under them: the plan draws the storeys side by side, so
    every zone shows."""
    surfaces = [*box("West", "West", 0.0, 0.0, 5.0, 6.0, 3.0), *box("East", "East", 5.0, 0.0, 10.0, 6.0, 3.0)]
    plenum = box("Plenum", "Plenum", 0.0, 0.0, 10.0, 6.0, 0.6)
    for s in plenum:
        s.vertices = tuple((x, y, z + 3.0) for x, y, z in s.vertices)
    under = box("Under", "Under", 0.0, 0.0, 10.0, 6.0, 0.45)
    for s in under:
        s.vertices = tuple((x, y, z - 0.45) for x, y, z in s.vertices)
    text = _drawing.to_svg([*surfaces, *plenum, *under], view="plan", color_by="zone")
    seen = {}
    for polygon in polygons(text):
        xs = [float(v) for v in re.split(r"[ ,]", polygon.get("points"))[::2]]
        seen[polygon.find(f"{SVG}title").text] = (min(xs), max(xs))
    assert seen["Plenum roof"][0] > seen["East roof"][1] > seen["West roof"][1] > seen["Under roof"][1]
    labels = [t.text for t in ET.fromstring(text).iter(f"{SVG}text") if t.get("class") == "storey"]
    assert labels == ["storey from z = -0.45 m", "storey from z = 0 m", "storey from z = 3 m"]


@pytest.mark.parametrize("where", ["name", "title", "zone"])
def test_control_characters_leave_the_svg_well_formed(where):
    surfaces = little_house()
    bad = "bad\x01\x08\x0b\x1f\ufffe<&>name"
    if where == "name":
        surfaces[0].name = bad
    elif where == "zone":
        for s in surfaces:
            s.zone = bad
    text = _drawing.to_svg(surfaces, color_by="zone", title=bad if where == "title" else None)
    root = ET.fromstring(text)
    assert "<&>name" in "".join(root.itertext())
