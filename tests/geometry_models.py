"""Small runnable models (version 25.2) for the tests of tarvix.geometry, as IDF text: design days only, no
HVAC, and the engine's geometry reports switched on (the surface list with vertices, the VRML drawing, the
SQLite output with its tabular reports), so that what the engine made of each model's geometry can be read
back and compared with tarvix's own reading of it.

MODELS maps a name to its text:
- "five_zone": the zones, surfaces, windows and zone shading of 5ZoneSupRetPlenRAB.idf (left out when the
  file is not in ../shared/data), its building north axis of 30 degrees kept;
- "rotated": a box with a building north axis of 30 degrees;
- "origins": two boxes, the second at zone origin (20, 5, 0) with a relative north of 45, Relative coordinates;
- "world": World coordinates with a building north axis and zone origins that the engine should not apply;
- "clockwise_lower_right": the box with its vertices entered clockwise from the lower right corner;
- "simple" / "simple_world": the rectangular surface classes and the simple shading classes, in zones with
  origins and relative norths, rectangular surfaces Relative and World;
- "multipliers": zone multipliers, a zone group's list multiplier, a zone left out of the floor area, user
  given volume, floor area and ceiling height, a zone without a roof and one without a floor;
- "windows": windows (multiplier 2), doors and glass doors on all four facades, a skylight, an underground
  wall;
- "frames": windows with a frame and dividers (one of them multiplied by 3), a frame alone, a simple Window with
  a frame, a glass door with dividers, a framed skylight;
- "plenums": outside boundaries that name a zone (a ceiling under a floorless plenum, a wall with a window, a
  floor over a roofless basement, a Wall:Interzone naming a corridor without its own wall there), for which
  the engine adds the reversed copies;
- "near_closed": zones whose faces nearly close a volume, one for each branch of the engine's volume rule.
"""

from pathlib import Path

SHARED = Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
FIVE_ZONE_SOURCE = SHARED / "5ZoneSupRetPlenRAB.idf"

GEOMETRY_OUTPUTS = """Output:Surfaces:List,DetailsWithVertices;
Output:Surfaces:Drawing,VRML;
Output:SQLite,SimpleAndTabular;
OutputControl:Table:Style,Comma;
Output:Table:SummaryReports,AllSummary;
"""

_COMMON = """Timestep,4;
SimulationControl,No,No,No,Yes,No,No,1;
Site:Location,Chicago Ohare Intl Ap,41.98,-87.92,-6.0,201.0;
SizingPeriod:DesignDay,Winter 99.6,1,21,WinterDesignDay,-20,0.0,DefaultMultipliers,,Wetbulb,-20,,,,,98934,4.9,270,
    No,No,No,ASHRAEClearSky,,,,,0.0;
SizingPeriod:DesignDay,Summer 1,7,21,SummerDesignDay,33.3,10.5,DefaultMultipliers,,Wetbulb,23.7,,,,,98934,5.2,230,
    No,No,No,ASHRAEClearSky,,,,,1.0;
ScheduleTypeLimits,Any Number;
Schedule:Constant,Always On,Any Number,1;
Material,Wall Layer,MediumRough,0.2,0.5,1400,1000,0.9,0.7,0.7;
Material,Roof Layer,MediumRough,0.15,0.3,1200,1000,0.9,0.7,0.7;
Material,Slab Layer,MediumRough,0.1,1.7,2200,900,0.9,0.7,0.7;
Material,Door Layer,MediumSmooth,0.05,0.15,600,1600,0.9,0.7,0.7;
WindowMaterial:SimpleGlazingSystem,Glazing,2.0,0.4;
Construction,Wall,Wall Layer;
Construction,Roof,Roof Layer;
Construction,Slab,Slab Layer;
Construction,Door,Door Layer;
Construction,Window,Glazing;
"""


def head(name: str, north: float = 0.0, coordinates: str = "Relative", *, starting: str = "UpperLeftCorner",
         direction: str = "Counterclockwise", rectangular: str = "Relative",
         solar: str = "FullInteriorAndExterior") -> str:
    """Version, Building, GlobalGeometryRules and the common objects (materials, constructions, design days)."""
    return (f"Version,25.2;\nBuilding,{name},{north:g},Suburbs,0.04,0.4,{solar},25,6;\n"
            f"GlobalGeometryRules,{starting},{direction},{coordinates},{coordinates},{rectangular};\n" + _COMMON)


def _fmt(v: float) -> str:
    return f"{v:g}"


def _polygon(vertices) -> str:
    return ", ".join(",".join(_fmt(c) for c in v) for v in vertices)


def box_faces(x0: float, y0: float, z0: float, dx: float, dy: float, dz: float) -> dict[str, list]:
    """The six faces of a box, each as vertices from the upper left corner (seen from outside),
    counterclockwise: "South", "East", "North", "West" walls, "Roof", "Floor"."""
    x1, y1, z1 = x0 + dx, y0 + dy, z0 + dz
    return {
        "South": [(x0, y0, z1), (x0, y0, z0), (x1, y0, z0), (x1, y0, z1)],
        "East": [(x1, y0, z1), (x1, y0, z0), (x1, y1, z0), (x1, y1, z1)],
        "North": [(x1, y1, z1), (x1, y1, z0), (x0, y1, z0), (x0, y1, z1)],
        "West": [(x0, y1, z1), (x0, y1, z0), (x0, y0, z0), (x0, y0, z1)],
        "Roof": [(x0, y1, z1), (x0, y0, z1), (x1, y0, z1), (x1, y1, z1)],
        "Floor": [(x0, y0, z0), (x0, y1, z0), (x1, y1, z0), (x1, y0, z0)],
    }


def clockwise_lower_right(vertices: list) -> list:
    """Vertices given upper-left-first counterclockwise, rewritten clockwise from the lower right corner."""
    reverse = list(reversed(vertices))
    return reverse[1:] + reverse[:1]


def box(zone: str, x0: float = 0.0, y0: float = 0.0, z0: float = 0.0, dx: float = 10.0, dy: float = 8.0,
        dz: float = 3.0, *, north: float = 0.0, origin=(0.0, 0.0, 0.0), window: bool = True, order=None,
        skip=(), zone_fields: str = "1,1,autocalculate,autocalculate") -> str:
    """A Zone and its six surfaces (BuildingSurface:Detailed) in zone coordinates, with a window in the south
    wall; `order` rewrites each polygon (e.g. clockwise_lower_right), `skip` leaves faces out."""
    order = order or (lambda vs: vs)
    lines = [f"Zone,{zone},{_fmt(north)},{_fmt(origin[0])},{_fmt(origin[1])},{_fmt(origin[2])},{zone_fields};"]
    kinds = {"Roof": ("Roof", "Roof", "Outdoors", "SunExposed,WindExposed"),
             "Floor": ("Floor", "Slab", "Ground", "NoSun,NoWind")}
    for face, vertices in box_faces(x0, y0, z0, dx, dy, dz).items():
        if face in skip:
            continue
        kind, construction, boundary, exposure = kinds.get(face, ("Wall", "Wall", "Outdoors",
                                                                  "SunExposed,WindExposed"))
        lines.append(f"BuildingSurface:Detailed,{zone} {face},{kind},{construction},{zone},,{boundary},,{exposure},"
                     f"autocalculate,{len(vertices)},\n    {_polygon(order(vertices))};")
    if window and "South" not in skip:
        wx0, wx1, wz0, wz1 = x0 + dx * 0.3, x0 + dx * 0.7, z0 + 0.8, z0 + dz - 0.5
        vertices = [(wx0, y0, wz1), (wx0, y0, wz0), (wx1, y0, wz0), (wx1, y0, wz1)]
        lines.append(f"FenestrationSurface:Detailed,{zone} South Window,Window,Window,{zone} South,,autocalculate,,1,"
                     f"4,\n    {_polygon(order(vertices))};")
    return "\n".join(lines) + "\n"


def objects(text: str) -> list[list[str]]:
    """The objects of plain IDF text as lists of stripped fields (comments dropped)."""
    code = "\n".join(line.split("!", 1)[0] for line in text.splitlines())
    return [[f.strip() for f in chunk.split(",")] for chunk in code.split(";") if chunk.strip()]


def five_zone_parts(source_text: str, *, door: str = "Door", shading: bool = True) -> tuple[str, list[str], list[str]]:
    """The Building north axis, the zone names and the geometry objects (zones, surfaces, windows and doors
    with the simple constructions Wall, Roof, Slab, Window and `door`, zone shading when `shading`) of a
    five-zone example of version 8.0 text."""
    north = "0"
    zones: list[str] = []
    body = []
    constructions = {"WALL": "Wall", "ROOF": "Roof", "CEILING": "Roof", "FLOOR": "Slab"}
    for fields in objects(source_text):
        kind = fields[0].lower()
        if kind == "building":
            north = fields[2] or "0"
        elif kind == "zone":
            zones.append(fields[1])
            body.append(",".join(["Zone", *fields[1:10]]) + ";")
        elif kind == "buildingsurface:detailed":
            name, kind_, _, zone, *rest = fields[1:]
            # Floors and ceilings between zones share one construction (its reverse is itself).
            construction = "Roof" if rest[0].lower() == "surface" else constructions[kind_.upper()]
            body.append(",".join(["BuildingSurface:Detailed", name, kind_, construction, zone, "", *rest]) + ";")
        elif kind == "fenestrationsurface:detailed":
            name, kind_, _, base, obc, view, _shading, frame, multiplier, *rest = fields[1:]
            construction = door if kind_.upper() == "DOOR" else "Window"
            body.append(",".join(["FenestrationSurface:Detailed", name, kind_, construction, base, obc, view,
                                  frame, multiplier, *rest]) + ";")
        elif kind == "shading:zone:detailed" and shading:
            name, base, _schedule, *rest = fields[1:]
            body.append(",".join(["Shading:Zone:Detailed", name, base, "", *rest]) + ";")
    return north, zones, body


def five_zone(source_text: str) -> str:
    """The geometry of 5ZoneSupRetPlenRAB.idf (version 8.0 text) with simple constructions: its Building north
    axis, zones (with their ceiling heights and volumes), surfaces, windows and glass doors, zone shading."""
    north, _, body = five_zone_parts(source_text)
    return head("Five Zones", float(north)) + "\n".join(body) + "\n" + GEOMETRY_OUTPUTS


def rotated() -> str:
    return head("Rotated", 30) + box("Box Zone") + GEOMETRY_OUTPUTS


def origins() -> str:
    return (head("Origins", 0) + box("Near Zone") + box("Far Zone", north=45, origin=(20, 5, 0))
            + GEOMETRY_OUTPUTS)


def world() -> str:
    # The far zone's vertices are written where it stands; its origin and relative north, and the building's
    # north axis, are there to see which of them the engine applies to World coordinates.
    return (head("World", 30, "World") + box("Near Zone", north=15, origin=(3, 4, 0))
            + box("Far Zone", 20, 5, 0, north=45, origin=(20, 5, 0)) + GEOMETRY_OUTPUTS)


def clockwise() -> str:
    return (head("Clockwise", 0, starting="LowerRightCorner", direction="Clockwise")
            + box("Box Zone", order=clockwise_lower_right) + GEOMETRY_OUTPUTS)


def simple(rectangular: str = "Relative") -> str:
    """Rectangular surface classes in three zones sharing an origin (2, 3, 0) and relative north 20 (the upper
    one at z origin 3): A (10 x 8 x 3) with B (6 x 8 x 3) to its west and C (10 x 8 x 3) above it."""
    # With World rectangular coordinates the engine leaves the zones' origins out of the starting corners, so
    # the zones no longer close and its interior solar distribution check fails: that model uses FullExterior.
    solar = "FullInteriorAndExterior" if rectangular == "Relative" else "FullExterior"
    text = head("Simple", 10, "Relative", rectangular=rectangular, solar=solar)
    text += """Zone,Zone A,20,2,3,0,1,1,autocalculate,autocalculate;
Zone,Zone B,20,2,3,0,1,1,autocalculate,autocalculate;
Zone,Zone C,20,2,3,3,1,1,autocalculate,autocalculate;
Wall:Exterior,A South Wall,Wall,Zone A,,180,90,0,0,0,10,3;
Wall:Exterior,A East Wall,Wall,Zone A,,90,90,10,0,0,8,3;
Wall:Adiabatic,A North Wall,Wall,Zone A,,0,90,10,8,0,10,3;
Wall:Interzone,A West Wall,Wall,Zone A,,B East Wall,270,90,0,8,0,8,3;
Floor:GroundContact,A Floor,Slab,Zone A,,90,180,0,0,0,8,10;
Ceiling:Interzone,A Ceiling,Roof,Zone A,,C Floor,180,0,0,0,3,10,8;
Window,A South Window,Window,A South Wall,,2,1,1,2,1.5;
Door,A South Door,Door,A South Wall,1,5.5,0,1,2.1;
GlazedDoor,A South Glass Door,Window,A South Wall,,1,7.5,0,1.5,2.1;
Window,A East Window,Window,A East Wall,,1,1,1,2,1.5;
Window,A East Window 2,Window,A East Wall,,1,5,1,2,1.5;
Window:Interzone,A West Window,Window,A West Wall,B East Window,1,1,1,2,1.2;
Door:Interzone,A West Door,Door,A West Wall,B East Door,1,5,0,1,2.1;
Shading:Overhang,A East Overhang,A East Window,0.2,90,0.1,0.1,0.6;
Shading:Fin,A East Fins,A East Window,0.1,0.1,0.1,90,0.4,0.1,0.1,0.1,90,0.4;
Shading:Overhang:Projection,A East Overhang 2,A East Window 2,0.2,90,0.1,0.1,0.5;
Shading:Fin:Projection,A East Fins 2,A East Window 2,0.1,0.1,0.1,90,0.3,0.1,0.1,0.1,90,0.3;
Wall:Exterior,B South Wall,Wall,Zone B,,180,90,-6,0,0,6,3;
Wall:Interzone,B East Wall,Wall,Zone B,,A West Wall,90,90,0,0,0,8,3;
Wall:Exterior,B North Wall,Wall,Zone B,,0,90,0,8,0,6,3;
Wall:Underground,B West Wall,Wall,Zone B,,270,90,-6,8,0,8,3;
Floor:Adiabatic,B Floor,Slab,Zone B,,90,180,-6,0,0,8,6;
Roof,B Roof,Roof,Zone B,,180,0,-6,0,3,6,8;
Window:Interzone,B East Window,Window,B East Wall,A West Window,1,5,1,2,1.2;
Door:Interzone,B East Door,Door,B East Wall,A West Door,1,2,0,1,2.1;
Wall:Exterior,C South Wall,Wall,Zone C,,180,90,0,0,0,10,3;
Wall:Exterior,C East Wall,Wall,Zone C,,90,90,10,0,0,8,3;
Wall:Exterior,C North Wall,Wall,Zone C,,0,90,10,8,0,10,3;
Wall:Exterior,C West Wall,Wall,Zone C,,270,90,0,8,0,8,3;
Floor:Interzone,C Floor,Roof,Zone C,,A Ceiling,90,180,0,0,0,8,10;
Ceiling:Adiabatic,C Ceiling,Roof,Zone C,,180,0,0,0,3,10,8;
Shading:Site,Site Wall,180,90,-5,-10,0,30,4;
Shading:Building,Building Canopy,180,0,0,-3,3,10,2;
Shading:Site:Detailed,Site Tree,,4,
    20,-5,6, 20,-5,0, 24,-5,0, 24,-5,6;
Shading:Building:Detailed,Building Screen,,4,
    12,-1,3, 12,-1,0, 12,9,0, 12,9,3;
"""
    return text + GEOMETRY_OUTPUTS


def multipliers() -> str:
    text = head("Multipliers", 0)
    text += box("Triple Zone", zone_fields="1,3,autocalculate,autocalculate")
    text += box("Listed Zone 1", 0, 20, 0)
    text += box("Listed Zone 2", 20, 20, 0)
    text += "ZoneList,Listed Zones,Listed Zone 1,Listed Zone 2;\nZoneGroup,Listed Group,Listed Zones,2;\n"
    text += box("Excluded Zone", 20, 0, 0, zone_fields="1,1,autocalculate,autocalculate,autocalculate,,,No")
    text += box("Given Zone", 40, 0, 0, zone_fields="1,1,3.5,300,90")
    text += box("Open Zone", 40, 20, 0, skip=("Roof",))
    text += box("Floorless Zone", 60, 0, 0, skip=("Floor",))
    return text + GEOMETRY_OUTPUTS


def windows() -> str:
    """A 12 x 10 x 4 box with on each facade a window (multiplier 2), a door and a glass door, a skylight in the
    roof, and a half-buried west wall (one of its parts underground)."""
    text = head("Windows", 0)
    text += "Zone,Glazed Zone,0,0,0,0,1,1,autocalculate,autocalculate;\n"
    faces = box_faces(0, 0, 0, 12, 10, 4)
    for face in ("South", "East", "North", "Roof", "Floor"):
        kind, construction, boundary, exposure = {
            "Roof": ("Roof", "Roof", "Outdoors", "SunExposed,WindExposed"),
            "Floor": ("Floor", "Slab", "Ground", "NoSun,NoWind")}.get(
                face, ("Wall", "Wall", "Outdoors", "SunExposed,WindExposed"))
        text += (f"BuildingSurface:Detailed,{face} Wall,{kind},{construction},Glazed Zone,,{boundary},,{exposure},"
                 f"autocalculate,4,\n    {_polygon(faces[face])};\n") if face not in ("Roof", "Floor") else (
                 f"BuildingSurface:Detailed,{face},{kind},{construction},Glazed Zone,,{boundary},,{exposure},"
                 f"autocalculate,4,\n    {_polygon(faces[face])};\n")
    # The west wall in two parts: an underground one below z = 1 and an exposed one above it.
    text += ("BuildingSurface:Detailed,West Wall,Wall,Wall,Glazed Zone,,Outdoors,,SunExposed,WindExposed,"
             "autocalculate,4,\n    0,10,4, 0,10,1, 0,0,1, 0,0,4;\n")
    text += ("BuildingSurface:Detailed,West Basement Wall,Wall,Wall,Glazed Zone,,Ground,,NoSun,NoWind,"
             "autocalculate,4,\n    0,10,1, 0,10,0, 0,0,0, 0,0,1;\n")
    # Along each wall (u runs from the wall's left edge seen from outside): window at u 1..4 (z 1..2.5), door
    # at u 5..6 (z 0..2.1), glass door at u 7..8.5 (z 0..2.2). The west wall's sub-surfaces start at z 1.
    walls = {"South": ((0, 0), (1, 0)), "East": ((12, 0), (0, 1)), "North": ((12, 10), (-1, 0)),
             "West": ((0, 10), (0, -1))}
    for face, ((ox, oy), (ux, uy)) in walls.items():
        base = 1 if face == "West" else 0
        for kind, construction, u0, u1, z0, z1, multiplier in (
                ("Window", "Window", 1, 4, 1, 2.5, 2), ("Door", "Door", 5, 6, 0, 2.1, 1),
                ("GlassDoor", "Window", 7, 8.5, 0, 2.2, 1)):
            z0, z1 = z0 + base, z1 + base
            a = (ox + ux * u0, oy + uy * u0)
            b = (ox + ux * u1, oy + uy * u1)
            vertices = [(*a, z1), (*a, z0), (*b, z0), (*b, z1)]
            text += (f"FenestrationSurface:Detailed,{face} {kind},{kind},{construction},{face} Wall,,autocalculate,,"
                     f"{multiplier},4,\n    {_polygon(vertices)};\n")
    text += ("FenestrationSurface:Detailed,Skylight,Window,Window,Roof,,autocalculate,,1,4,\n"
             "    4,6,4, 4,4,4, 8,4,4, 8,6,4;\n")
    return text + GEOMETRY_OUTPUTS


def frames() -> str:
    """A 12 x 10 x 4 box whose windows have frames and dividers (WindowProperty:FrameAndDivider)."""
    text = head("Frames", 0)
    text += ("WindowProperty:FrameAndDivider,Framed And Divided,0.05,0.02,0.02,5.0,1.2,0.8,0.8,0.9,DividedLite,0.03,2,1,"
             "0.01,0.01,5.0,1.2,0.8,0.8,0.9;\n"
             "WindowProperty:FrameAndDivider,Frame Only,0.08,0.02,0.02,5.0,1.2,0.8,0.8,0.9;\n"
             "WindowProperty:FrameAndDivider,Dividers Only,0,0,0,5.0,1.2,0.8,0.8,0.9,Suspended,0.02,1,3,0,0,5.0,1.2,"
             "0.8,0.8,0.9;\n")
    text += "Zone,Framed Zone,0,0,0,0,1,1,autocalculate,autocalculate;\n"
    faces = box_faces(0, 0, 0, 12, 10, 4)
    for face, vertices in faces.items():
        kind, construction, boundary, exposure = {
            "Roof": ("Roof", "Roof", "Outdoors", "SunExposed,WindExposed"),
            "Floor": ("Floor", "Slab", "Ground", "NoSun,NoWind")}.get(
                face, ("Wall", "Wall", "Outdoors", "SunExposed,WindExposed"))
        text += (f"BuildingSurface:Detailed,{face} Face,{kind},{construction},Framed Zone,,{boundary},,{exposure},"
                 f"autocalculate,4,\n    {_polygon(vertices)};\n")
    text += ("FenestrationSurface:Detailed,South Divided,Window,Window,South Face,,autocalculate,Framed And Divided,3,"
             "4,\n    1,0,2.5, 1,0,1, 3,0,1, 3,0,2.5;\n"
             "FenestrationSurface:Detailed,South Plain,Window,Window,South Face,,autocalculate,,1,4,\n"
             "    5,0,2.5, 5,0,1, 7,0,1, 7,0,2.5;\n"
             "FenestrationSurface:Detailed,East Framed,Window,Window,East Face,,autocalculate,Frame Only,1,4,\n"
             "    12,2,3, 12,2,1, 12,6,1, 12,6,3;\n"
             "FenestrationSurface:Detailed,West Glass Door,GlassDoor,Window,West Face,,autocalculate,Dividers Only,1,"
             "4,\n    0,8,2.2, 0,8,0, 0,6,0, 0,6,2.2;\n"
             "Window,North Simple,Window,North Face,Framed And Divided,1,2,1,3,1.5;\n"
             "FenestrationSurface:Detailed,Framed Skylight,Window,Window,Roof Face,,autocalculate,Frame Only,1,4,\n"
             "    4,6,4, 4,4,4, 8,4,4, 8,6,4;\n")
    return text + GEOMETRY_OUTPUTS


def _surface(name: str, kind: str, construction: str, zone: str, boundary: str, other: str, vertices) -> str:
    exposure = "SunExposed,WindExposed" if boundary == "Outdoors" else "NoSun,NoWind"
    return (f"BuildingSurface:Detailed,{name},{kind},{construction},{zone},,{boundary},{other},{exposure},"
            f"autocalculate,{len(vertices)},\n    {_polygon(vertices)};\n")


def plenums() -> str:
    """Surfaces whose outside boundary is a zone, for which the engine adds reversed copies ("iz-" and the name)
    in that zone: a 10 x 10 x 3 zone whose ceiling names the return plenum above it (1 m high, no floor of its
    own); a zone beside it whose west wall (with an interior window) names the first zone, which has no east wall
    of its own; that zone's floor names a basement below it that has no roof; and a Wall:Interzone naming a
    zone (a corridor that has no wall of its own there)."""
    text = head("Plenums", 0)
    a = box_faces(0, 0, 0, 10, 10, 3)
    text += box("A", 0, 0, 0, 10, 10, 3, skip=("Roof", "East"))
    text += _surface("A Ceiling", "Ceiling", "Roof", "A", "Zone", "Plenum", a["Roof"])
    text += box("Plenum", 0, 0, 3, 10, 10, 1, window=False, skip=("Floor",))
    b = box_faces(10, 0, 0, 10, 10, 3)
    text += box("B", 10, 0, 0, 10, 10, 3, skip=("West", "Floor", "North"))
    text += _surface("B West", "Wall", "Wall", "B", "Zone", "A", b["West"])
    text += _surface("B Floor", "Floor", "Slab", "B", "Zone", "Basement", b["Floor"])
    text += ("FenestrationSurface:Detailed,B Interior Window,Window,Window,B West,,autocalculate,,1,4,\n"
             "    10,7,2.5, 10,7,1, 10,3,1, 10,3,2.5;\n")
    text += "Wall:Interzone,B North,Wall,B,,Corridor,0,90,20,10,0,10,3;\n"
    text += box("Corridor", 10, 10, 0, 10, 5, 3, window=False, skip=("South",))
    text += box("Basement", 10, 0, -3, 10, 10, 3, window=False, skip=("Roof",))
    return text + GEOMETRY_OUTPUTS


def near_closed() -> str:
    """Zones whose faces nearly close a volume, each taking one of the engine's branches: a box whose south wall
    stands 2 mm off the floor's edge (the engine's tolerance joins the gap), one whose south wall stands 5 cm off
    (too far: floor area times height), one whose south wall stops 3 cm short of a corner (a gap), open boxes
    without a floor (roof area times height) or a roof (floor area times height), and four walls alone (a wall's
    area times the distance to the one facing it)."""
    text = head("Near Closed", 0)
    for index, (zone, offset) in enumerate((("Gap 2mm", 0.002), ("Gap 5cm", 0.05))):
        x0 = 20.0 * index
        text += box(zone, x0, 0, 0, 10, 10, 3, window=False, skip=("South",))
        south = [(x0, offset, 3), (x0, offset, 0), (x0 + 10, offset, 0), (x0 + 10, offset, 3)]
        text += _surface(f"{zone} South", "Wall", "Wall", zone, "Outdoors", "", south)
    text += box("Short Wall", 40, 0, 0, 10, 10, 3, window=False, skip=("South",))
    text += _surface("Short Wall South", "Wall", "Wall", "Short Wall", "Outdoors", "",
                     [(40, 0, 3), (40, 0, 0), (49.97, 0, 0), (49.97, 0, 3)])
    text += box("No Floor", 60, 0, 0, 10, 10, 3, window=False, skip=("Floor",))
    text += box("No Roof", 80, 0, 0, 10, 10, 3, window=False, skip=("Roof",))
    text += box("Walls Only", 100, 0, 0, 10, 8, 3, window=False, skip=("Roof", "Floor"))
    return text + GEOMETRY_OUTPUTS


def models() -> dict[str, str]:
    found = {}
    if FIVE_ZONE_SOURCE.is_file():
        found["five_zone"] = five_zone(FIVE_ZONE_SOURCE.read_text(encoding="latin-1"))
    found.update({
        "rotated": rotated(),
        "origins": origins(),
        "world": world(),
        "clockwise_lower_right": clockwise(),
        "simple": simple("Relative"),
        "simple_world": simple("World"),
        "multipliers": multipliers(),
        "windows": windows(),
        "frames": frames(),
        "plenums": plenums(),
        "near_closed": near_closed(),
    })
    return found


MODELS = models()
