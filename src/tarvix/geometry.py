"""The building's geometry exactly as the simulation engine resolves it: every surface in world coordinates
(through GlobalGeometryRules, the zones' origins and relative north and the building's north axis), the
areas, orientation and zone totals the engine reports, its window-wall ratio table and building area; edits
that move, turn, scale the building or set its window-wall ratio; and a drawing of it.

The reading is done in the core without the interpreter lock; each call reads the document as it is then
and returns records that no later edit changes."""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass

from tarvix import _geometry, idf as _idf

__all__ = [
    "Surface",
    "ZoneGeometry",
    "WallWindowArea",
    "surfaces",
    "zones",
    "window_wall_ratio",
    "building_area",
    "translate",
    "rotate",
    "scale",
    "set_window_wall_ratio",
    "ChangedWalls",
    "to_svg",
    "FACADES",
]

Surface = _geometry.Surface
ZoneGeometry = _geometry.ZoneGeometry

#: The columns of the engine's window-wall ratio table, in its order, with the azimuths each facade takes.
FACADES = ("Total", "North", "East", "South", "West")


@dataclass(frozen=True)
class WallWindowArea:
    """One column of the engine's window-wall ratio table: the gross area of the walls (tilt 60 to 120
    degrees) facing outdoors or the ground, of those facing outdoors, and of the windows on them, in m2 with
    the zone, zone-group and window multipliers applied; the ratios are fractions (the engine's table shows
    percent), 0.0 where there is no wall."""

    gross_wall_area: float
    above_ground_wall_area: float
    window_area: float

    @property
    def gross_ratio(self) -> float:
        return self.window_area / self.gross_wall_area if self.gross_wall_area else 0.0

    @property
    def above_ground_ratio(self) -> float:
        return self.window_area / self.above_ground_wall_area if self.above_ground_wall_area else 0.0


def surfaces(doc: _idf.IDF) -> list[Surface]:
    """Every heat-transfer surface, sub-surface and shading surface of the document, as the engine builds
    them: detailed and simple classes, windows, doors, overhangs and fins (a fin object gives a left and a
    right surface), in the order base surfaces, sub-surfaces, the surfaces the engine adds, shading.
    InternalMass objects are not surfaces of the building's shell and are left out. `base_surface` is None
    for a base surface (as the engine's surface list leaves it empty; its SQL Surfaces table links a base
    surface to itself).

    Where a surface's outside boundary is a zone rather than one of its surfaces, the engine adds the
    reversed copy of it (and of the windows and doors on it) to that zone, named "iz-" and the surface's
    name: a ceiling's copy is a floor, a floor's a ceiling, a wall's a wall. They are listed with
    `added_by_engine` True, counted in the zone, enclosure and building totals as the engine counts them,
    and are no objects of the document: `obj_idx` is that of the surface each copies, and the edits here
    leave them alone (they follow their originals)."""
    return _geometry.surfaces(doc)


def zones(doc: _idf.IDF) -> list[ZoneGeometry]:
    """Every zone's floor area, volume, ceiling height, exterior wall and window areas, multipliers and
    extent, as the engine computes them (a zone's own volume, floor area or ceiling height, when it gives
    one, wins), in document order."""
    return _geometry.zones(doc)


def window_wall_ratio(doc: _idf.IDF) -> dict[str, WallWindowArea]:
    """The engine's window-wall ratio table: {"Total", "North" (azimuth 315 to 45), "East" (45 to 135),
    "South" (135 to 225), "West" (225 to 315): WallWindowArea}."""
    found = _geometry.summary(doc)
    return {name: WallWindowArea(row.gross_wall_area, row.above_ground_wall_area, row.window_area)
            for name, row in zip(FACADES, found.facades)}


def building_area(doc: _idf.IDF) -> float:
    """The total floor area of the engine's "Building Area" table, m2: the zones that are part of the total
    floor area, with their zone and zone-group multipliers."""
    return _geometry.summary(doc).building_area


# ---------------------------------------------------------------------------
# Edits. Each object keeps its numbers in a frame the core names (its zone's origin and north, the building's
# north axis, or none, by GlobalGeometryRules); an edit takes each point to world coordinates, moves it there,
# and writes it back in the object's own frame, through the document's ordinary write path. Zone origins and
# north axes are left as they are.

_Point = tuple[float, float, float]
_Move = Callable[[_Point], _Point]


def _turn(degrees: float) -> tuple[float, float]:
    """Cosine and sine of the engine's turn by `degrees`: clockwise seen from above, as a north axis turns."""
    angle = math.radians(-degrees)
    return math.cos(angle), math.sin(angle)


class _Frame:
    __slots__ = ("c", "s", "offset")

    def __init__(self, angle: float, offset: _Point) -> None:
        self.c, self.s = _turn(angle)
        self.offset = offset

    def world(self, p: _Point) -> _Point:
        x, y, z = p
        ox, oy, oz = self.offset
        return (x * self.c - y * self.s + ox, x * self.s + y * self.c + oy, z + oz)

    def local(self, w: _Point) -> _Point:
        ox, oy, oz = self.offset
        x, y = w[0] - ox, w[1] - oy
        return (x * self.c + y * self.s, -x * self.s + y * self.c, w[2] - oz)


def _number(value: object) -> float:
    """A coordinate field's value as a number: empty (and autocalculate and the like) reads as 0."""
    number = _numeric(value)
    return 0.0 if number is None else number


def _text(value: float) -> str:
    """A number as written back: 12 significant digits, so that turning and moving leave no 1e-15 dust."""
    if abs(value) < 1e-9:
        value = 0.0
    return f"{value:.12g}"


def _check_number(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, not {number!r}")
    return number


def _frames(doc: _idf.IDF) -> _geometry.Frames:
    if not isinstance(doc, _idf.IDF):
        raise TypeError(f"doc must be tarvix.idf.IDF, not {type(doc).__name__}")
    return _geometry.frames(doc)


class _Writes:
    """The field values an edit will write, gathered before any is written: an edit whose numbers are not all
    finite raises ValueError and leaves the document as it was."""

    __slots__ = ("items", "what")

    def __init__(self, what: str) -> None:
        self.items: list[tuple[_idf.IDFObject, int | str, float]] = []
        self.what = what

    def add(self, obj: _idf.IDFObject, field: int | str, value: float) -> None:
        if not math.isfinite(value):
            raise ValueError(f"{self.what} would write {value!r} into field {field!r} of {obj.class_name} "
                             f"{obj[0]!r}; the document is left unchanged")
        self.items.append((obj, field, value))

    def apply(self) -> None:
        for obj, field, value in self.items:
            obj[field] = _text(value)


def _move_points(doc: _idf.IDF, move: _Move, turn_by: float = 0.0, factor: float | None = None,
                 writes: _Writes | None = None, what: str = "the edit") -> None:
    """Applies `move` (world point -> world point) to every coordinate of the document, adds `turn_by` to the
    azimuth of every rectangle, and multiplies the lengths of rectangles and of what sits on a surface or a
    window by `factor`. Every value is worked out first, then written: nothing is written when one of them
    is not finite. With `writes` given, the values are only added to it."""
    pending = _Writes(what) if writes is None else writes
    for found in _frames(doc).frames:
        obj, role, fields = found.object, found.role, found.fields
        if obj is None or role == "zone":
            continue
        frame = _Frame(found.angle, found.offset)
        if role == "vertices":
            count_field, count = fields
            for k in range(count):
                i = count_field + 1 + 3 * k
                _write_point(pending, obj, (i, i + 1, i + 2), frame, move)
        elif role == "point":
            _write_point(pending, obj, fields, frame, move)
        elif role == "rectangle":
            x, y, z, azimuth, length, height = fields
            _write_point(pending, obj, (x, y, z), frame, move)
            if turn_by and azimuth >= 0:
                pending.add(obj, azimuth, (_number(obj[azimuth]) + turn_by) % 360.0)
            if factor is not None:
                _scale_fields(pending, obj, (length, height), factor)
        elif role == "relative" and factor is not None:
            _scale_fields(pending, obj, fields, factor)
    if writes is None:
        pending.apply()


def _write_point(writes: _Writes, obj: _idf.IDFObject, fields: Sequence[int], frame: _Frame, move: _Move) -> None:
    if len(fields) != 3 or min(fields) < 0:
        return
    x, y, z = (_number(obj[i]) for i in fields)
    local = frame.local(move(frame.world((x, y, z))))
    for i, value in zip(fields, local):
        writes.add(obj, i, value)


def _numeric(value: object) -> float | None:
    """A field's value as a number, or None when it holds none (empty, autocalculate)."""
    if isinstance(value, bool):
        return None
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) else None


def _scale_fields(writes: _Writes, obj: _idf.IDFObject, fields: Sequence[int], factor: float) -> None:
    for i in fields:
        number = _numeric(obj[i]) if i >= 0 else None
        if number is not None:
            writes.add(obj, i, number * factor)


def translate(doc: _idf.IDF, dx: float, dy: float, dz: float = 0.0) -> None:
    """Move the whole model by (dx, dy, dz) metres in world coordinates: every surface, sub-surface, shading
    surface and daylighting reference point, whatever frame its numbers are in."""
    d = (_check_number("dx", dx), _check_number("dy", dy), _check_number("dz", dz))
    _move_points(doc, lambda w: (w[0] + d[0], w[1] + d[1], w[2] + d[2]), what=f"translate(doc, {d[0]!r}, {d[1]!r}, {d[2]!r})")


def rotate(doc: _idf.IDF, degrees: float, origin: tuple[float, float] = (0.0, 0.0)) -> None:
    """Turn the whole model by `degrees` clockwise seen from above (as azimuths count) about the vertical line
    through `origin` (x, y, world coordinates): the engine then reports every azimuth turned by `degrees`. The
    building's north axis and the zones' relative north are left as they are."""
    angle = _check_number("degrees", degrees)
    try:
        ox, oy = (_check_number("origin", v) for v in origin)
    except (TypeError, ValueError) as error:
        raise type(error)(f"origin must be two numbers (x, y): {error}") from None
    c, s = _turn(angle)

    def turn(w: _Point) -> _Point:
        x, y = w[0] - ox, w[1] - oy
        return (x * c - y * s + ox, x * s + y * c + oy, w[2])

    _move_points(doc, turn, turn_by=angle, what=f"rotate(doc, {angle!r})")


def scale(doc: _idf.IDF, factor: float) -> None:
    """Scale the whole model by `factor` about the world origin: every coordinate and length, and the
    volumes, floor areas and ceiling heights zones give themselves. ValueError, with the document left as it
    was, when a number would not be finite."""
    f = _check_number("factor", factor)
    if f <= 0.0:
        raise ValueError(f"factor must be positive, not {f!r}")
    writes = _Writes(f"scale(doc, {f!r})")
    _move_points(doc, lambda w: (w[0] * f, w[1] * f, w[2] * f), factor=f, writes=writes)
    for zone in doc["Zone"]:
        for field, power in (("Ceiling Height", 1), ("Volume", 3), ("Floor Area", 2)):
            try:
                value = _numeric(zone[field])
            except (KeyError, IndexError, ValueError):
                continue
            if value is not None and value > 0:
                try:
                    scaled = value * f**power
                except OverflowError:
                    scaled = math.inf
                writes.add(zone, field, scaled)
    writes.apply()


def _facade(azimuth: float) -> str:
    """The column of the window-wall ratio table a wall of this azimuth counts in (the table's own binning of
    the azimuth rounded to two decimals)."""
    az = round(azimuth * 100.0) / 100.0
    if az >= 315.0 or az < 45.0:
        return "North"
    if az < 135.0:
        return "East"
    if az < 225.0:
        return "South"
    return "West"


# The core's vector arithmetic: a - b, p + u * k, a . b.
_sub = _geometry.sub
_along = _geometry.along
_dot = _geometry.dot


def _rectangle_frame(wall: Surface) -> tuple[_Point, _Point, _Point, float, float] | None:
    """A rectangular wall's lower left corner, its unit vectors along the bottom and up the wall, its width
    and height; None for a wall that is not a rectangle."""
    v = wall.vertices
    if len(v) != 4:
        return None
    # The bottom edge: the lowest of the four, in the stored (counterclockwise from outside) order.
    k = min(range(4), key=lambda i: v[i][2] + v[(i + 1) % 4][2])
    lower_left, lower_right = v[k], v[(k + 1) % 4]
    edge = _sub(lower_right, lower_left)
    width = _geometry.length(edge)
    if width <= 0.0:
        return None
    u = (edge[0] / width, edge[1] / width, edge[2] / width)
    n = wall.outward_normal
    up = _geometry.cross(n, u)
    height = _dot(_sub(v[(k + 2) % 4], lower_left), up)
    # A rectangle: the far corners sit at (width, height) and (0, height) in the wall's plane.
    corners = ((width, height), (0.0, height))
    for (a, b), p in zip(corners, (v[(k + 2) % 4], v[(k + 3) % 4])):
        q = _along(_along(lower_left, u, a), up, b)
        if max(abs(c - d) for c, d in zip(p, q)) > 1e-6 * max(1.0, width, height):
            return None
    return lower_left, u, up, width, height


def _entered(stored: list[_Point], counterclockwise: bool, corner: int) -> list[_Point]:
    """The vertices to write so that the engine, under GlobalGeometryRules, stores them in `stored` order:
    its handling of the starting corner and of clockwise entry undone."""
    n = len(stored)
    shift = (n - corner + 1) % n if corner > 1 else 0
    entered = [stored[(j - shift) % n] for j in range(n)]
    if not counterclockwise:
        entered = [entered[0], *reversed(entered[1:])]
    return entered


_MARGIN = 0.02  # metres a window keeps from its wall's edges
_MIN_WINDOW_HEIGHT = 0.1  # metres of window a wall must have room for above its sill


class ChangedWalls(list[str]):
    """What set_window_wall_ratio() did: the names of the walls it changed (the list itself), and in
    `skipped` the walls of the facades asked for that it left as they were, each with the reason."""

    skipped: dict[str, str]

    def __init__(self, changed: Iterable[str] = (), skipped: dict[str, str] | None = None) -> None:
        super().__init__(changed)
        self.skipped = dict(skipped or {})


# The classes whose objects exist only for the window they name in their second field.
_WINDOW_SHADES = ("shading:overhang", "shading:overhang:projection", "shading:fin", "shading:fin:projection")


def set_window_wall_ratio(
    doc: _idf.IDF,
    ratio: float,
    *,
    orientation: str | Iterable[str] | None = None,
    construction: str | None = None,
    sill_height: float = 0.8,
) -> ChangedWalls:
    """Give each exterior wall (outdoors, tilt 60 to 120 degrees, as the engine's window-wall ratio table
    counts walls) facing `orientation` ("North", "East", "South", "West", or several; None: all) one
    centred rectangular window of `ratio` times its area, replacing its windows (glass doors included, which
    the engine counts as windows; doors stay): the engine's table then shows that ratio. The window stands on
    a sill `sill_height` metres above the wall's bottom edge and reaches up to 2 cm below its top, as wide as
    that makes it; when it would be wider than the wall it keeps 2 cm from the sides and its sill comes down.
    It takes the name and construction of the first window it replaces (so what refers to that window still
    does), else "<wall> Window" and `construction` (None: that of the document's first window). The other
    windows replaced go with their overhangs and fins, and their names leave every WindowShadingControl
    (a control left with no window goes too). A ratio of 0 takes the windows away.

    Walls that are not rectangles, and walls too low for the sill and 10 cm of window above it (a plenum's,
    say), are left as they are and listed in the result's `skipped` with the reason. The edit is all or
    nothing: ValueError (a window that does not fit, no construction to give it, an object other than those
    above naming a window that would go) leaves the document unchanged. Returns the names of the walls
    changed, as a list with `skipped` beside it."""
    value = _check_number("ratio", ratio)
    if not 0.0 <= value < 1.0:
        raise ValueError(f"ratio must be at least 0 and less than 1, not {value!r}")
    sill = _check_number("sill_height", sill_height)
    if sill < 0.0:
        raise ValueError(f"sill_height must not be negative, not {sill!r}")
    if orientation is None:
        wanted = set(FACADES[1:])
    else:
        names = [orientation] if isinstance(orientation, str) else list(orientation)
        for name in names:
            if name not in FACADES[1:]:
                raise ValueError(f"orientation must be one of 'North', 'East', 'South', 'West', not {name!r}")
        wanted = set(names)
    if construction is not None and not isinstance(construction, str):
        raise TypeError(f"construction must be a str or None, not {type(construction).__name__}")
    layout = _frames(doc)
    zone_frames = {f.object[0].upper(): _Frame(f.angle, f.offset) for f in layout.frames
                   if f.role == "zone" and f.object is not None and isinstance(f.object[0], str)}
    found = surfaces(doc)
    windows_on: dict[str, list[Surface]] = {}
    for s in found:
        if s.kind == "Window" and s.base_surface:
            windows_on.setdefault(s.base_surface.upper(), []).append(s)
    skipped: dict[str, str] = {}
    plans = []
    for wall in found:
        if wall.kind != "Wall" or (wall.outside_boundary or "").lower() != "outdoors":
            continue
        if not 60.0 <= wall.tilt <= 120.0 or _facade(wall.azimuth) not in wanted:
            continue
        shape = _rectangle_frame(wall)
        if shape is None:
            skipped[wall.name] = "not a rectangle"
            continue
        if wall.zone is None or wall.zone.upper() not in zone_frames:
            skipped[wall.name] = "not in a zone of the document"
            continue
        if value > 0.0 and shape[4] - sill - _MARGIN < _MIN_WINDOW_HEIGHT:
            skipped[wall.name] = (f"{shape[4]:.3g} m high: too low for a sill of {sill:g} m and a window above "
                                  "it")
            continue
        plans.append((wall, shape, windows_on.get(wall.name.upper(), [])))
    objects = _objects_by_index(layout.frames)
    # Without a construction given, a wall without windows takes that of the document's first window.
    fallback = construction or next((s.construction for s in found if s.kind == "Window" and s.construction), None)
    # Every window is worked out before anything changes.
    edits = []
    for wall, (lower_left, u, up, width, height), old in plans:
        area = value * width * height
        window_construction = old[0].construction if old and old[0].construction else fallback
        if area > 0.0 and window_construction is None:
            raise ValueError(
                f"set_window_wall_ratio() needs a construction for the window of wall '{wall.name}', which has no "
                "window to take one from: give construction=")
        corners = None
        if area > 0.0:
            h = height - sill - _MARGIN
            w = area / h if h > 0.0 else math.inf
            bottom = sill
            if w > width - 2 * _MARGIN:
                w = width - 2 * _MARGIN
                h = area / w if w > 0.0 else math.inf
                bottom = height - _MARGIN - h
                if w <= 0.0 or bottom < _MARGIN:
                    raise ValueError(f"a window of ratio {value!r} does not fit on wall '{wall.name}'")
            start = _along(_along(lower_left, u, (width - w) / 2.0), up, bottom)
            lower_right = _along(start, u, w)
            # Stored as the engine stores a window: upper left first, counterclockwise seen from outside.
            corners = [_along(start, up, h), start, lower_right, _along(lower_right, up, h)]
        name = old[0].name if old else f"{wall.name} Window"
        removed = [objects[window.obj_idx] for window in old if window.obj_idx in objects]
        kept_name = name.upper() if old and corners is not None else None
        values: list[object] | None = None
        if corners is not None:
            frame = zone_frames[wall.zone.upper()]  # type: ignore[union-attr]
            values = [name, "Window", window_construction, wall.name, "", "autocalculate", "", 1, 4]
            for p in _entered(corners, layout.counterclockwise, layout.starting_corner):
                values.extend(_text(c) for c in frame.local(p))
        edits.append((wall.name, removed, kept_name, values))
    # What else goes with the windows that go: their shades, their names in shading controls.
    gone = {str(obj[0]).upper() for _, removed, kept, _ in edits for obj in removed
            if isinstance(obj[0], str) and str(obj[0]).upper() != kept}
    shades, controls = _window_references(doc, [obj for _, removed, _, _ in edits for obj in removed], gone)
    for _, removed, _, _ in edits:
        for obj in removed:
            doc.remove_object(obj)
    for obj in shades:
        doc.remove_object(obj)
    for obj, names in controls:
        if names:
            _set_control_windows(obj, names)
        else:
            doc.remove_object(obj)
    changed = ChangedWalls(skipped=skipped)
    for wall_name, _, _, values in edits:
        if values is not None:
            doc.add_object("FenestrationSurface:Detailed", values)
        changed.append(wall_name)
    return changed


def _objects_by_index(frames: list[_geometry.Frame]) -> dict[int, _idf.IDFObject]:
    return {f.obj_idx: f.object for f in frames if f.object is not None}


def _control_windows(control: _idf.IDFObject) -> tuple[int, list[str]]:
    """The first field of a WindowShadingControl's list of windows, and the names in it."""
    names = [name.lower() for name in control.field_names]
    first = next((i for i, n in enumerate(names) if n.startswith("fenestration surface")), len(names))
    values = control.get_values()
    return first, [str(v) for v in values[first:] if isinstance(v, str) and v.strip()]


def _set_control_windows(control: _idf.IDFObject, names: list[str]) -> None:
    stored = control.get_values()
    first, _ = _control_windows(control)
    # The names kept move up; the fields they leave are emptied and trimmed away.
    for k, value in enumerate([*names, *[""] * (len(stored) - first - len(names))]):
        control[first + k] = value


def _window_references(doc: _idf.IDF, removed: list[_idf.IDFObject], gone: set[str]
                       ) -> tuple[list[_idf.IDFObject], list[tuple[_idf.IDFObject, list[str]]]]:
    """The overhangs and fins of the windows named in `gone` (upper-cased) of those `removed`, and the shading
    controls that name any of them with the names they keep; ValueError when an object of another class
    names one."""
    if not gone:
        return [], []
    shades: list[_idf.IDFObject] = []
    controls: list[tuple[_idf.IDFObject, list[str]]] = []
    for class_name in _WINDOW_SHADES:
        for obj in doc[class_name]:
            if isinstance(obj[1], str) and obj[1].upper() in gone:
                shades.append(obj)
    for obj in doc["WindowShadingControl"]:
        _, names = _control_windows(obj)
        keep = [n for n in names if n.upper() not in gone]
        if len(keep) != len(names):
            controls.append((obj, keep))
    for window in removed:
        name = window[0]
        if not isinstance(name, str) or name.upper() not in gone:
            continue
        for other in window.get_referencing_objects(0):
            if other.class_name.lower() in (*_WINDOW_SHADES, "windowshadingcontrol"):
                continue
            raise ValueError(f"set_window_wall_ratio() would take away window '{name}', which "
                             f"{other.class_name} '{other[0]}' names; the document is left unchanged")
    return shades, controls


def to_svg(doc: _idf.IDF, *, view: str = "axonometric", color_by: str = "kind", title: str | None = None) -> str:
    """SVG text of a drawing of the building: its surfaces as the engine places them, hidden ones behind,
    windows and doors on top of their walls. `view`: "axonometric" (from the south-east, above), "plan"
    (from above), or the elevation "north", "south", "east" or "west" (looking at that facade); `color_by`:
    "kind", "zone", "construction" or "boundary" (the outside boundary condition)."""
    from tarvix import _drawing

    # The engine's interzone copies lie on their originals.
    drawn = [s for s in surfaces(doc) if not s.added_by_engine]
    svg: str = _drawing.to_svg(drawn, view=view, color_by=color_by, title=title)
    return svg
