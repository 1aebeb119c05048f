"""tarvix.geometry against the engine's own reports of the same models (its surface list, VRML drawing, SQL
Surfaces and Zones tables, window-wall ratio and building area tables), before and after the edits; then the
ways a caller can misuse it."""

import math
import pickle

import pytest
from geometry_engine import engine_geometry
from geometry_models import MODELS

from engine import payload_dir
from tarvix import _geometry, geometry
from tarvix.idd import IDD
from tarvix.idf import IDF


@pytest.fixture(scope="module")
def idd():
    return IDD.from_file(payload_dir() / "Energy+.idd")


def load(idd, name: str) -> IDF:
    if name not in MODELS:
        pytest.skip(f"model {name} needs ../shared/data/5ZoneSupRetPlenRAB.idf, which is absent")
    return IDF.from_string(idd, MODELS[name])


def close(ours: float, theirs: float, rel: float = 1e-6, absolute: float = 1e-9) -> bool:
    return abs(ours - theirs) <= max(absolute, rel * abs(theirs))


def mismatches(doc: IDF, report: dict) -> list[str]:
    """Every way tarvix's reading of `doc` differs from what the engine reported of it."""
    assert report["run"]["ok"], report["run"]
    found = []
    ours = {s.name.upper(): s for s in geometry.surfaces(doc)}
    for key, listed in report["eio"]["surfaces"].items():
        if key.startswith("MIR-"):  # the engine's mirror images of shading, for its own shadow calculation
            continue
        s = ours.get(key)
        if s is None:
            found.append(f"{key}: missing")
            continue
        drawn = report["vrml"].get(key)
        if drawn is None or len(drawn["vertices"]) != len(s.vertices) or any(
                abs(a - b) > 1e-4 for p, q in zip(drawn["vertices"], s.vertices) for a, b in zip(p, q)):
            found.append(f"{key}: vertices {s.vertices} vs {drawn and drawn['vertices']}")
        row = report["sql"]["surfaces"].get(key)
        if row is None:  # shading has no row there: the surface list at two decimals
            row = {"GrossArea": listed["area_gross"], "Area": listed["area_net"], "Azimuth": listed["azimuth"],
                   "Tilt": listed["tilt"], "ClassName": listed["class"]}
            rel, deg = 0.0, 0.006
        else:
            rel, deg = 1e-6, 1e-4
        for field, value in (("GrossArea", s.gross_area), ("Area", s.net_area)):
            if not close(value, row[field], rel, 0.006 if not rel else 1e-9):
                found.append(f"{key}: {field} {value} vs {row[field]}")
        for field, value in (("Azimuth", s.azimuth), ("Tilt", s.tilt)):
            if abs((value - row[field] + 180.0) % 360.0 - 180.0) > deg:
                found.append(f"{key}: {field} {value} vs {row[field]}")
        if (listed["base_surface"] or "").upper() != (s.base_surface or "").upper():
            found.append(f"{key}: base surface {s.base_surface} vs {listed['base_surface']}")
        if row["ClassName"] != s.kind:
            found.append(f"{key}: kind {s.kind} vs {row['ClassName']}")
    zones = {z.name.upper(): z for z in geometry.zones(doc)}
    for key, row in report["sql"]["zones"].items():
        z = zones[key]
        for field, value in (("FloorArea", z.floor_area), ("Volume", z.volume), ("CeilingHeight", z.ceiling_height),
                             ("ExtGrossWallArea", z.exterior_gross_wall_area),
                             ("ExtNetWallArea", z.exterior_net_wall_area), ("ExtWindowArea", z.exterior_window_area),
                             ("Multiplier", z.multiplier), ("ListMultiplier", z.list_multiplier),
                             *((f"Centroid{c}", z.centroid[i]) for i, c in enumerate("XYZ")),
                             *((f"Minimum{c}", z.min[i]) for i, c in enumerate("XYZ")),
                             *((f"Maximum{c}", z.max[i]) for i, c in enumerate("XYZ"))):
            if not close(value, row[field], 1e-6, 1e-6):
                found.append(f"zone {key}: {field} {value} vs {row[field]}")
        if z.part_of_total_floor_area != bool(row["IsPartOfTotalArea"]):
            found.append(f"zone {key}: part_of_total_floor_area")
    table = geometry.window_wall_ratio(doc)
    for facade, row in report["window_wall_ratio"].items():
        for field in ("gross_wall_area", "above_ground_wall_area", "window_area"):
            if abs(getattr(table[facade], field) - row[field]) > 0.006:  # the table has two decimals
                found.append(f"window-wall {facade}: {field} {getattr(table[facade], field)} vs {row[field]}")
    if abs(geometry.building_area(doc) - report["building_area"]) > 0.006:
        found.append(f"building area {geometry.building_area(doc)} vs {report['building_area']}")
    return found


@pytest.mark.parametrize("name", sorted(MODELS))
def test_reading_matches_the_engine(idd, name):
    doc = load(idd, name)
    assert mismatches(doc, engine_geometry(doc.format())) == []


def turned(degrees: float, origin: tuple[float, float], shift: tuple[float, float, float]):
    c, s = math.cos(math.radians(-degrees)), math.sin(math.radians(-degrees))

    def move(p):
        x, y = p[0] - origin[0], p[1] - origin[1]
        return (x * c - y * s + origin[0] + shift[0], x * s + y * c + origin[1] + shift[1], p[2] + shift[2])

    return move


EDITS = {
    "rotate+translate": (lambda doc: (geometry.rotate(doc, 30.0, origin=(3.0, 4.0)),
                                      geometry.translate(doc, 5.0, -2.0, 1.0)), turned(30.0, (3.0, 4.0), (5, -2, 1))),
    "scale": (lambda doc: geometry.scale(doc, 1.5), lambda p: (p[0] * 1.5, p[1] * 1.5, p[2] * 1.5)),
}


@pytest.mark.parametrize("name", ["five_zone", "simple", "world", "plenums"])
@pytest.mark.parametrize("edit", sorted(EDITS))
def test_edits_move_what_the_engine_reports(idd, name, edit):
    doc = load(idd, name)
    apply, move = EDITS[edit]
    before = {s.name: s for s in geometry.surfaces(doc)}
    apply(doc)
    after = {s.name: s for s in geometry.surfaces(doc)}
    assert after.keys() == before.keys()
    for key, s in before.items():
        expected = [move(p) for p in s.vertices]
        assert all(math.dist(p, q) < 1e-6 for p, q in zip(expected, after[key].vertices)), key
    assert mismatches(doc, engine_geometry(doc.format())) == []


@pytest.mark.parametrize(("name", "options"), [
    ("five_zone", {}),
    ("windows", {"orientation": "South"}),
    ("clockwise_lower_right", {"construction": "Window"}),
    ("origins", {"orientation": ["East", "West"], "construction": "Window", "sill_height": 0.0}),
])
def test_window_wall_ratio_set_is_what_the_engine_reports(idd, name, options):
    doc = load(idd, name)
    before = geometry.window_wall_ratio(doc)
    changed = geometry.set_window_wall_ratio(doc, 0.35, **options)
    assert changed
    table = geometry.window_wall_ratio(doc)
    wanted = options.get("orientation", geometry.FACADES[1:])
    found = geometry.surfaces(doc)
    walls = {s.name: s for s in found}
    glazed = {}
    for s in found:
        if s.kind == "Window" and s.base_surface in walls:
            glazed[s.base_surface] = glazed.get(s.base_surface, 0.0) + s.gross_area * s.multiplier
    for name in changed:
        assert glazed[name] == pytest.approx(0.35 * walls[name].gross_area, rel=1e-9)
    for facade in geometry.FACADES[1:]:
        if facade not in wanted:
            assert table[facade] == before[facade]
        elif not changed.skipped:
            assert table[facade].gross_ratio == pytest.approx(0.35, abs=1e-9)
    assert mismatches(doc, engine_geometry(doc.format())) == []


def test_edits_keep_the_users_layout(idd):
    text = "! a comment the edit must keep\n" + MODELS["origins"]
    doc = IDF.from_string(idd, text, keep_layout=True)
    geometry.translate(doc, 1.0, 0.0)
    kept = doc.format(keep_layout=True)
    assert kept.startswith("! a comment the edit must keep\n")
    changed = [(a, b) for a, b in zip(text.splitlines(), kept.splitlines()) if a != b]
    assert changed and all("," in a for a, _ in changed)
    assert len(kept.splitlines()) == len(text.splitlines())


def test_records_are_snapshots_and_read_only(idd):
    doc = load(idd, "origins")
    found = geometry.surfaces(doc)
    zones = geometry.zones(doc)  # the model surfaces() read, while its records live
    doc["Zone"][1]["X Origin"] = 30.0
    moved = geometry.zones(doc)  # the document changed: read again
    assert moved[1].min[0] != zones[1].min[0] and moved[0].min == zones[0].min
    first = found[0]
    name, vertices = first.name, first.vertices
    geometry.translate(doc, 10.0, 0.0)
    doc.remove_object(doc["Zone"][0])
    del doc
    assert (first.name, first.vertices) == (name, vertices) and zones[0].floor_area > 0
    with pytest.raises(AttributeError):
        first.name = "x"
    for kind in (geometry.Surface, geometry.ZoneGeometry):
        with pytest.raises(TypeError):
            kind()
        with pytest.raises(TypeError):
            kind.__new__(kind)
    with pytest.raises(TypeError):
        pickle.dumps(first)
    assert repr(first).startswith("Surface(name=")


def test_interzone_copies_are_flagged_and_no_objects_of_the_document(idd):
    doc = IDF.from_string(idd, MODELS["plenums"])
    found = geometry.surfaces(doc)
    added = {s.name: s for s in found if s.added_by_engine}
    assert sorted(added) == ["iz-A Ceiling", "iz-B Floor", "iz-B Interior Window", "iz-B North", "iz-B West"]
    assert all(s.name.startswith("iz-") == s.added_by_engine for s in found)
    ceiling = added["iz-A Ceiling"]
    assert (ceiling.kind, ceiling.zone, list(doc)[ceiling.obj_idx][0]) == ("Floor", "Plenum", "A Ceiling")
    assert added["iz-B Interior Window"].base_surface == "iz-B West"
    assert "iz-" not in geometry.to_svg(doc)
    geometry.rotate(doc, 30.0)  # the copies follow their originals
    assert len(doc) == len(IDF.from_string(idd, MODELS["plenums"]))
    assert sum(s.added_by_engine for s in geometry.surfaces(doc)) == 5


@pytest.mark.parametrize(("call", "error"), [
    (lambda doc: geometry.surfaces("not a document"), TypeError),
    (lambda doc: geometry.zones(IDF.__new__(IDF)), RuntimeError),
    (lambda doc: geometry.translate(doc, "1", 0), TypeError),
    (lambda doc: geometry.translate(doc, math.nan, 0), ValueError),
    (lambda doc: geometry.rotate(doc, 10, origin=(1,)), ValueError),
    (lambda doc: geometry.scale(doc, 0), ValueError),
    (lambda doc: geometry.set_window_wall_ratio(doc, 1.0), ValueError),
    (lambda doc: geometry.set_window_wall_ratio(doc, 0.3, orientation="Up"), ValueError),
    (lambda doc: geometry.set_window_wall_ratio(doc, 0.3, construction=3), TypeError),
    (lambda doc: geometry.set_window_wall_ratio(doc, 0.99, sill_height=2.9), ValueError),
])
def test_misuse_raises(idd, call, error):
    with pytest.raises(error):
        call(load(idd, "windows"))


def test_records_of_the_geometry_module_and_what_it_takes(idd):
    doc = load(idd, "windows")
    assert [f"{t.__module__}.{t.__qualname__}" for t in (geometry.Surface, geometry.ZoneGeometry)] == [
        "tarvix.geometry.Surface", "tarvix.geometry.ZoneGeometry"]
    summary, layout = _geometry.summary(doc), _geometry.frames(doc)
    assert type(summary) is _geometry.Summary and type(summary.facades[0]) is _geometry.FacadeAreas
    assert summary.facades[0].window_area == geometry.window_wall_ratio(doc)["Total"].window_area
    assert type(layout) is _geometry.Frames and {type(f) for f in layout.frames} == {_geometry.Frame}
    for call in (_geometry.surfaces, _geometry.zones, _geometry.summary, _geometry.frames):
        with pytest.raises(TypeError, match=r"\(\) argument 'doc' must be tarvix.idf.IDF, not str$"):
            call("not a document")
        with pytest.raises(RuntimeError, match="^IDF is not initialized$"):
            call(IDF.__new__(IDF))


def test_hostile_geometry_is_read_in_linear_time(idd):
    """Vertex counts that lie, coordinates that are not numbers, one zone with thousands of surfaces, names
    shared by many surfaces: a clear result, not a crash or a quadratic walk."""
    faces = []
    for k in range(3000):
        x = float(k)
        faces.append(f"BuildingSurface:Detailed,S{k % 7},Wall,Wall,Z,,Outdoors,,SunExposed,WindExposed,,"
                     f"{'1e300' if k % 5 == 0 else 4},{x},0,3, {x},0,0, {x + 1},0,0, nan,0,3;")
    text = ("Version,25.2;\nBuilding,B,1e308;\nGlobalGeometryRules,UpperLeftCorner,Counterclockwise,Relative;\n"
            "Zone,Z,inf,1e308;\n" + "\n".join(faces) + "\nFenestrationSurface:Detailed,W,Window,Window,S1;\n")
    doc = IDF.from_string(idd, text)
    found = geometry.surfaces(doc)
    assert len(found) == 3001 and geometry.zones(doc)[0].volume > 0
    assert all(len(s.vertices) <= 4 for s in found)


def test_window_wall_ratio_is_all_or_nothing_and_leaves_no_dangling_name(idd):
    doc = load(idd, "windows")
    text = doc.format()
    with pytest.raises(ValueError, match="does not fit"):
        geometry.set_window_wall_ratio(doc, 0.99, sill_height=2.9)
    assert doc.format() == text
    doc.add_object("Shading:Overhang", ["Glass Door Overhang", "south glassdoor", 0.1, 90, 0.1, 0.1, 0.5])
    doc.add_object("WindowShadingControl", ["Shades", "Glazed Zone", 1, "InteriorShade", "", "AlwaysOn", "", "",
                                            "No", "No", "", "", "", "", "", "Sequential", "SOUTH GLASSDOOR",
                                            "South Window", "South glassdoor"])
    doc.add_object("WindowShadingControl", ["Door Shades", "Glazed Zone", 2, "InteriorShade", "", "AlwaysOn", "", "",
                                            "No", "No", "", "", "", "", "", "Sequential", "South GlassDoor"])
    changed = geometry.set_window_wall_ratio(doc, 0.3, orientation="South")
    assert list(changed) == ["South Wall"] and changed.skipped == {}
    assert not doc["Shading:Overhang"]
    (control,) = doc["WindowShadingControl"]
    assert control[0] == "Shades" and [v for v in control.get_values()[16:] if v] == ["South Window"]
    names = {s.name.upper() for s in geometry.surfaces(doc)}
    assert "SOUTH WINDOW" in names and "SOUTH GLASSDOOR" not in names


def test_window_wall_ratio_skips_walls_too_low_for_a_window(idd):
    doc = load(idd, "windows")
    doc.add_object("Zone", ["Plenum"])
    doc.add_object("BuildingSurface:Detailed", ["Plenum South", "Wall", "Wall", "Plenum", "", "Outdoors", "",
                                                "SunExposed", "WindExposed", "autocalculate", 4,
                                                0, 0, 4.6, 0, 0, 4, 12, 0, 4, 12, 0, 4.6])
    changed = geometry.set_window_wall_ratio(doc, 0.3, orientation="South")
    assert list(changed) == ["South Wall"] and "too low" in changed.skipped["Plenum South"]
    assert not [s for s in geometry.surfaces(doc) if s.base_surface == "Plenum South"]


@pytest.mark.parametrize("edit", [
    lambda doc: geometry.scale(doc, 1e300),
    lambda doc: geometry.translate(doc, 1.7e308, 0.0),
])
def test_edits_that_overflow_leave_the_document_unchanged(idd, edit):
    doc = load(idd, "simple")
    edit(doc)
    text = doc.format()
    with pytest.raises(ValueError, match="left unchanged"):
        edit(doc)
    assert doc.format() == text
    assert all(math.isfinite(c) for s in geometry.surfaces(doc) for p in s.vertices for c in p)


def test_coincident_vertices_are_dropped_in_one_pass(idd):
    """A long run of coincident vertices (a quadratic removal takes minutes here)."""
    count = 200_000
    points = [f"{k // 2 * 1e-6:.6f},{k % 2 * 1e-4},0" for k in range(count)]  # every vertex twice, all within 1 cm
    points += ["5,5,0", "0,5,0"]
    text = ("Version,25.2;\nZone,Z;\nBuildingSurface:Detailed,Big,Floor,Slab,Z,,Ground,,NoSun,NoWind,,"
            f"{len(points)},{','.join(points)};\n")
    doc = IDF.from_string(idd, text)
    (floor,) = geometry.surfaces(doc)
    assert 3 <= len(floor.vertices) <= 16  # one vertex kept per centimetre of the run, and the far corners
