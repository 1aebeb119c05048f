"""Drawings of a building's surfaces as SVG: an axonometric view, a plan or an elevation.

`to_svg(surfaces)` takes the records of `tarvix.geometry.surfaces(doc)` (anything with their
attributes: name, kind, zone, base_surface, construction, outside_boundary, vertices,
outward_normal) and returns the text of a self-contained SVG document.

The surfaces are painted back to front. Surfaces that face away from the eye, and the partitions
inside the building (their other side is another zone's surface), go first, drawn lighter; then
the surfaces facing the eye, by the depth of their centroid. Windows, doors and shades attached
to a surface follow it at once, nudged out along its normal, so their own wall never covers
them. Shades are two-sided. Each polygon is flat-shaded by the angle between its normal and a
light above and behind the eye's left shoulder.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Sequence
from html import escape as _escape
from typing import Any

from tarvix import _geometry

Vector = tuple[float, float, float]

VIEWS = ("axonometric", "plan", "north", "south", "east", "west")
COLOR_BY = ("kind", "zone", "construction", "boundary")

# For each view: towards the eye, the screen's right and the screen's up, in world coordinates
# (x east, y north, z up); the three are orthonormal with right x up = towards the eye.


def _unit(x: float, y: float, z: float) -> Vector:
    length = math.sqrt(x * x + y * y + z * z)
    return x / length, y / length, z / length


# The axonometric eye looks down at about 25 degrees from the south-east: steep enough to see the
# roof, low enough to see windows under their overhangs.
_LIFT = 0.65
_CAMERAS: dict[str, tuple[Vector, Vector, Vector]] = {
    "axonometric": (_unit(1.0, -1.0, _LIFT), _unit(1.0, 1.0, 0.0), _unit(-_LIFT, _LIFT, 2.0)),
    "plan": ((0.0, 0.0, 1.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0)),
    "south": ((0.0, -1.0, 0.0), (1.0, 0.0, 0.0), (0.0, 0.0, 1.0)),
    "north": ((0.0, 1.0, 0.0), (-1.0, 0.0, 0.0), (0.0, 0.0, 1.0)),
    "east": ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)),
    "west": ((-1.0, 0.0, 0.0), (0.0, -1.0, 0.0), (0.0, 0.0, 1.0)),
}
_CAPTIONS = {
    "axonometric": "axonometric view from the south-east",
    "plan": "plan, from above",
    "north": "north elevation",
    "south": "south elevation",
    "east": "east elevation",
    "west": "west elevation",
}

SIZE = 720.0  # pixels along the drawing's longer side
MARGIN = 24.0  # pixels around the drawing
NUDGE = 0.02  # metres: windows, doors and attached shades stand out of their base surface by this much
AMBIENT, DIFFUSE = 0.7, 0.3  # light: the share every surface gets, and the share that depends on its angle

# Colours by kind: (legend label, colour), and the group of each kind the engine reports.
_KIND_GROUPS = {
    "walls": "#e3d3b0",
    "roofs": "#b8553e",
    "floors": "#9a9a94",
    "windows": "#5aa5d6",
    "doors": "#8b5a2b",
    "shading": "#7b68a6",
    "other": "#c8c8c8",
}
_KIND_TO_GROUP = {
    "wall": "walls",
    "roof": "roofs",
    "ceiling": "roofs",
    "floor": "floors",
    "window": "windows",
    "glassdoor": "windows",
    "tubulardaylightdome": "windows",
    "tubulardaylightdiffuser": "windows",
    "door": "doors",
}
_BOUNDARY_COLORS = {
    "outdoors": "#f0b45a",
    "ground": "#8c6d46",
    "surface": "#9db6c8",
    "zone": "#a6c79c",
    "adiabatic": "#c79fd9",
    "foundation": "#6f5a3f",
    "othersidecoefficients": "#e38b8b",
    "othersideconditionsmodel": "#d96f8f",
}
# Colours for zones and constructions, in turn (and for boundaries not named above).
PALETTE = ("#4e79a7", "#f28e2b", "#59a14f", "#e15759", "#76b7b2", "#edc948", "#b07aa1", "#ff9da7",
           "#9c755f", "#86bcb6", "#d4a6c8", "#8cd17d", "#a0cbe8", "#ffbe7d", "#bab0ac", "#f1ce63")
NONE_COLOR = "#bdbdbd"
LEGEND_MAX = 24  # entries shown; the rest are counted on one more line


# What XML 1.0 text may not hold: the control characters other than tab, newline and carriage return, lone
# surrogates, and U+FFFE and U+FFFF.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def escape(text: str) -> str:
    """`text` as XML character data or an attribute value: markup escaped, and each character XML cannot
    hold at all replaced by U+FFFD, so the document always parses."""
    return _escape(_NOT_XML.sub("\ufffd", text))


def _group(kind: str) -> str:
    key = (kind or "").replace(" ", "").lower()
    if key in _KIND_TO_GROUP:
        return _KIND_TO_GROUP[key]
    if "shad" in key or key in ("overhang", "fin"):
        return "shading"
    return "other"


def _is_shade(surface: Any) -> bool:
    return _group(surface.kind) == "shading"


# ---------------------------------------------------------------------------
# Colours


def _rgb(color: str) -> tuple[int, int, int]:
    return int(color[1:3], 16), int(color[3:5], 16), int(color[5:7], 16)


def _hex(r: float, g: float, b: float) -> str:
    return "#%02x%02x%02x" % (min(255, max(0, round(r))), min(255, max(0, round(g))), min(255, max(0, round(b))))


def _shaded(color: tuple[int, int, int], light: float, toward_white: float) -> tuple[str, str]:
    """The fill and edge colours of a face of `color` lit by `light` (0..1), then mixed with white by
    `toward_white` (0..1)."""
    r, g, b = (c * light for c in color)
    if toward_white:
        r, g, b = (c + (255.0 - c) * toward_white for c in (r, g, b))
    return _hex(r, g, b), _hex(r * 0.55, g * 0.55, b * 0.55)


class _Colors:
    """The colour of each surface, and the legend, for one `color_by`."""

    def __init__(self, color_by: str, surfaces: Sequence[Any]) -> None:
        self.color_by = color_by
        self.attribute = {"zone": "zone", "construction": "construction"}.get(color_by, "outside_boundary")
        self.used: dict[str, str] = {}  # legend label -> colour, as first met
        self.assigned: dict[str | None, str] = {}
        if color_by in ("zone", "construction", "boundary"):
            keys = {self.key(s) for s in surfaces} - {None}
            fixed = _BOUNDARY_COLORS if color_by == "boundary" else {}
            turn = 0
            for key in sorted(keys, key=lambda k: (k.lower(), k)):  # type: ignore[union-attr]
                if key.lower() in fixed:  # type: ignore[union-attr]
                    self.assigned[key] = fixed[key.lower()]  # type: ignore[union-attr]
                else:
                    self.assigned[key] = PALETTE[turn % len(PALETTE)]
                    turn += 1

    def key(self, surface: Any) -> str | None:
        value: str | None = getattr(surface, self.attribute, None)
        return value

    def of(self, surface: Any) -> str:
        if self.color_by == "kind":
            group = _group(surface.kind)
            color = _KIND_GROUPS[group]
            self.used.setdefault(group, color)
            return color
        key = self.key(surface)
        if key is None:
            if self.color_by == "boundary":
                label = "(shading)" if _is_shade(surface) else "(none)"
            else:
                label = f"(no {self.color_by})"
            self.used.setdefault(label, NONE_COLOR)
            return NONE_COLOR
        color = self.assigned[key]
        self.used.setdefault(key, color)
        return color

    def legend(self) -> list[tuple[str, str]]:
        if self.color_by == "kind":
            return [(group, color) for group, color in _KIND_GROUPS.items() if group in self.used]
        named = sorted(((k, c) for k, c in self.used.items() if not k.startswith("(")),
                       key=lambda item: (item[0].lower(), item[0]))
        return named + [(k, c) for k, c in self.used.items() if k.startswith("(")]


# ---------------------------------------------------------------------------
# Geometry


def _normal(surface: Any, vertices: Sequence[Sequence[float]]) -> Vector:
    normal = getattr(surface, "outward_normal", None)
    if normal is not None:
        nx, ny, nz = normal
        length = math.sqrt(nx * nx + ny * ny + nz * nz)
        if length > 0.0:
            return nx / length, ny / length, nz / length
    return _geometry.newell_normal(vertices)


def _format(value: float) -> str:
    text = repr(round(value, 2) + 0.0)  # + 0.0: no "-0.0"
    return text[:-2] if text.endswith(".0") else text


class _Face:
    __slots__ = ("index", "surface", "points", "depth", "normal", "facing", "layer")

    def __init__(self, index: int, surface: Any, points: list[tuple[float, float]], depth: float,
                 normal: Vector, facing: float, layer: int) -> None:
        self.index = index
        self.surface = surface
        self.points = points
        self.depth = depth
        self.normal = normal
        self.facing = facing
        self.layer = layer


# ---------------------------------------------------------------------------
# The drawing


def _check(view: str, color_by: str) -> None:
    if view not in _CAMERAS:
        raise ValueError(f"unknown view {view!r}: the views are {', '.join(VIEWS)}")
    if color_by not in COLOR_BY:
        raise ValueError(f"unknown color_by {color_by!r}: the choices are {', '.join(COLOR_BY)}")


def to_svg(surfaces: Iterable[Any], *, view: str = "axonometric", color_by: str = "kind",
           title: str | None = None) -> str:
    """The surfaces drawn as an SVG document, one <polygon> per surface (its <title> the surface's
    name), with a legend of the colours in the top right corner.

    view: "axonometric" (from the south-east, above), "plan" (from above), or the elevation
    "north", "south", "east" or "west" (looking at that facade). color_by: "kind" (walls, roofs,
    floors, windows, doors, shading), "zone", "construction" or "boundary" (the outside boundary
    condition). title: the name of the building or document, for the drawing's <title> and caption."""
    _check(view, color_by)
    surfaces = list(surfaces)
    toward, right, up = _CAMERAS[view]
    tx, ty, tz = toward
    rx, ry, rz = right
    ux, uy, uz = up
    lx, ly, lz = (0.5 * tx + 0.7 * ux - 0.4 * rx, 0.5 * ty + 0.7 * uy - 0.4 * ry, 0.5 * tz + 0.7 * uz - 0.4 * rz)
    light_length = math.sqrt(lx * lx + ly * ly + lz * lz)
    lx, ly, lz = lx / light_length, ly / light_length, lz / light_length

    by_name: dict[str, int] = {}
    for index, surface in enumerate(surfaces):
        by_name.setdefault(str(surface.name).upper(), index)

    # The base surface each attached surface follows (None: drawn on its own); a base that is
    # itself attached (a shade over a window) hands its children on to its own base.
    parents: list[int | None] = []
    for index, surface in enumerate(surfaces):
        base = getattr(surface, "base_surface", None)
        parent = by_name.get(str(base).upper()) if base else None
        parents.append(None if parent == index else parent)
    for index, parent in enumerate(parents):
        steps = 0
        while parent is not None and parents[parent] is not None and steps < 8:
            parent = parents[parent]
            steps += 1
        if parent is not None and (parent == index or parents[parent] is not None):
            parent = None  # a loop of base surfaces
        parents[index] = parent

    all_vertices: list[list[Vector]] = [[(float(v[0]), float(v[1]), float(v[2])) for v in surface.vertices]
                                        for surface in surfaces]
    normals = [_normal(surface, vertices) for surface, vertices in zip(surfaces, all_vertices, strict=True)]
    # A plan of a building of several storeys draws each storey beside the one below, so that no zone hides
    # under the one above it (a plenum over its floor's zones, the floors over the ground floor).
    storeys, shifts = _storeys(surfaces, all_vertices, parents) if view == "plan" else ([], [0.0] * len(surfaces))
    faces: list[_Face] = []
    min_x = min_y = math.inf
    max_x = max_y = -math.inf
    for index, surface in enumerate(surfaces):
        vertices = all_vertices[index]
        nx, ny, nz = normals[index]
        facing = nx * tx + ny * ty + nz * tz
        shade = _is_shade(surface)
        if shade and facing < 0.0:  # two-sided: lit and seen from the side facing the eye
            nx, ny, nz, facing = -nx, -ny, -nz, -facing
        parent = parents[index]
        if parent is None:
            ox = oy = oz = 0.0
        else:  # out of the base surface, on its outer side
            ox, oy, oz = (NUDGE * c for c in normals[parent])
        points = []
        depth = 0.0
        shift = shifts[index]
        for x, y, z in vertices:
            x += ox
            y += oy
            z += oz
            sx = x * rx + y * ry + z * rz + shift
            sy = -(x * ux + y * uy + z * uz)
            depth += x * tx + y * ty + z * tz
            points.append((sx, sy))
            if sx < min_x:
                min_x = sx
            if sx > max_x:
                max_x = sx
            if sy < min_y:
                min_y = sy
            if sy > max_y:
                max_y = sy
        depth = depth / len(vertices) if vertices else 0.0
        boundary = (getattr(surface, "outside_boundary", None) or "").lower()
        inside = boundary in ("surface", "zone")
        layer = 0 if (facing < -1e-9 or inside) and not shade else 1
        faces.append(_Face(index, surface, points, depth, (nx, ny, nz), facing, layer))

    # Painting order: the surfaces on their own by layer then depth (nearest the eye last), each
    # followed by what is attached to it (windows and doors, then shades, by depth).
    children: dict[int, list[_Face]] = {}
    roots: list[_Face] = []
    for face in faces:
        parent = parents[face.index]
        if parent is None:
            roots.append(face)
        else:
            children.setdefault(parent, []).append(face)
    roots.sort(key=lambda f: (f.layer, f.depth, f.index))
    order: list[_Face] = []
    for face in roots:
        order.append(face)
        attached = children.get(face.index)
        if attached:
            attached.sort(key=lambda f: (_is_shade(f.surface), f.depth, f.index))
            order.extend(attached)

    if not faces or min_x == math.inf:
        min_x = min_y = 0.0
        max_x = max_y = 1.0
    extent = max(max_x - min_x, max_y - min_y)
    scale = SIZE / extent if extent > 0.0 else 1.0

    colors = _Colors(color_by, surfaces)
    base_rgb: dict[str, tuple[int, int, int]] = {}
    shades: dict[tuple[str, int, float], tuple[str, str]] = {}
    head_top = MARGIN + (38.0 if storeys else 22.0)  # room for the caption (and the storeys' labels)
    polygons = []
    for face in order:
        surface = face.surface
        color = colors.of(surface)
        rgb = base_rgb.get(color)
        if rgb is None:
            rgb = base_rgb[color] = _rgb(color)
        nx, ny, nz = face.normal
        cosine = nx * lx + ny * ly + nz * lz
        light = AMBIENT + DIFFUSE * max(0.0, cosine)
        behind = face.layer == 0
        toward_white = 0.55 if behind else 0.0
        if color_by != "kind" and parents[face.index] is not None and not _is_shade(surface):
            toward_white = max(toward_white, 0.35)  # panes stand out of a wall of their own colour
        shading = (color, round(light * 64.0), toward_white)  # in 64 steps of light: few colours in all
        found = shades.get(shading)
        if found is None:
            found = shades[shading] = _shaded(rgb, shading[1] / 64.0, toward_white)
        fill, edge = found
        corners = " ".join("%.2f,%.2f" % ((x - min_x) * scale + MARGIN, (y - min_y) * scale + head_top)
                          for x, y in face.points)
        extra = ' fill-opacity="0.6" class="behind"' if behind else ""
        polygons.append(f'<polygon points="{corners}" fill="{fill}" stroke="{edge}"{extra}>'
                        f"<title>{escape(str(surface.name))}</title></polygon>")

    width = (max_x - min_x) * scale + 2 * MARGIN
    height = (max_y - min_y) * scale + head_top + MARGIN
    legend, legend_width, legend_height = _legend(colors.legend(), width, head_top)
    total_width = width + legend_width
    total_height = max(height, head_top + legend_height + MARGIN)
    caption = f"{title}: {_CAPTIONS[view]}" if title else _CAPTIONS[view][0].upper() + _CAPTIONS[view][1:]
    w, h = _format(total_width), _format(total_height)
    return "\n".join([
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{w}" height="{h}" viewBox="0 0 {w} {h}">',
        f"<title>{escape(caption)}</title>",
        f'<rect width="{w}" height="{h}" fill="#ffffff"/>',
        f'<text x="{_format(MARGIN)}" y="{_format(MARGIN + 6)}" font-family="sans-serif" font-size="15" '
        f'fill="#333333">{escape(caption)}</text>',
        *(f'<text x="{_format((x - min_x) * scale + MARGIN)}" y="{_format(head_top - 6)}" font-family="sans-serif" '
          f'font-size="12" fill="#555555" class="storey">{escape(label)}</text>' for x, label in storeys),
        '<g class="surfaces" stroke-width="0.7" stroke-linejoin="round">',
        *polygons,
        "</g>",
        *legend,
        "</svg>",
        "",
    ])


_STOREY_GAP = 0.05  # metres between the lowest points of two zones on different storeys


def _storeys(surfaces: Sequence[Any], all_vertices: list[list[Vector]], parents: list[int | None]
             ) -> tuple[list[tuple[float, str]], list[float]]:
    """For a plan: where each storey's label goes (its left edge on the screen, its label), and how far right
    each surface is moved, so that the storeys stand side by side. A zone's storey is the height of its
    lowest vertex (zones within 5 cm share one); a surface that sits on another goes with it, one
    of no zone with the highest storey at or below its lowest point."""
    count = len(surfaces)
    zone_low: dict[str, float] = {}
    low = [min((v[2] for v in vertices), default=0.0) for vertices in all_vertices]
    for index, surface in enumerate(surfaces):
        zone = getattr(surface, "zone", None)
        if zone is not None and parents[index] is None and all_vertices[index]:
            key = str(zone).upper()
            zone_low[key] = min(zone_low.get(key, math.inf), low[index])
    levels: list[float] = []
    for z in sorted(zone_low.values()):
        if not levels or z - levels[-1] > _STOREY_GAP:
            levels.append(z)
    if len(levels) < 2:
        return [], [0.0] * count

    def level_of(z: float) -> int:
        found = 0
        for k, level in enumerate(levels):
            if level <= z + _STOREY_GAP:
                found = k
        return found

    storey = []
    for index, surface in enumerate(surfaces):
        parent = parents[index]
        owner = parent if parent is not None else index
        zone = getattr(surfaces[owner], "zone", None)
        key = str(zone).upper() if zone is not None else ""
        storey.append(level_of(zone_low[key] if key in zone_low else low[owner]))
    xs = [v[0] for vertices in all_vertices for v in vertices]
    left, right = (min(xs), max(xs)) if xs else (0.0, 1.0)
    step = (right - left) * 1.1 + 1.0
    labels = [(left + k * step, f"storey from z = {_format(level)} m") for k, level in enumerate(levels)]
    return labels, [storey[index] * step for index in range(count)]


def _legend(entries: list[tuple[str, str]], left: float, top: float) -> tuple[list[str], float, float]:
    """The legend's elements, placed right of the drawing from `top`, its width and height."""
    if not entries:
        return [], 0.0, 0.0
    shown = entries[:LEGEND_MAX]
    more = len(entries) - len(shown)
    row = 18.0
    labels = [label for label, _ in shown] + ([f"and {more} more"] if more else [])
    width = 14.0 + 8.0 + 7.2 * max(len(label) for label in labels) + MARGIN
    lines = [f'<g class="legend" font-family="sans-serif" font-size="12" fill="#333333" '
             f'transform="translate({_format(left)},{_format(top)})">']
    for i, (label, color) in enumerate(shown):
        y = i * row
        lines.append(f'<rect x="0" y="{_format(y)}" width="14" height="14" fill="{color}" stroke="#555555" '
                     f'stroke-width="0.5"/><text x="22" y="{_format(y + 11)}">{escape(label)}</text>')
    if more:
        lines.append(f'<text x="0" y="{_format(len(shown) * row + 11)}">and {more} more</text>')
    lines.append("</g>")
    return lines, width, row * len(labels)
