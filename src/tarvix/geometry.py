"""The building's geometry exactly as the simulation engine resolves it: every surface in world coordinates
(through GlobalGeometryRules, the zones' origins and relative north and the building's north axis), the
areas, orientation and zone totals the engine reports, its window-wall ratio table and building area; edits
that move, turn, scale the building or set its window-wall ratio; and a drawing of it.

The reading is done in the core without the interpreter lock; each call reads the document as it is then
and returns records that no later edit changes."""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass

from tarvix import idf as _idf

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
    "to_svg",
    "FACADES",
]

Surface = _idf._Surface
ZoneGeometry = _idf._ZoneGeometry

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
    right surface), in the order base surfaces, sub-surfaces, shading."""
    return _idf._geometry_surfaces(doc)


def zones(doc: _idf.IDF) -> list[ZoneGeometry]:
    """Every zone's floor area, volume, ceiling height, exterior wall and window areas, multipliers and
    extent, as the engine computes them (a zone's own volume, floor area or ceiling height, when it gives
    one, wins), in document order."""
    return _idf._geometry_zones(doc)


def window_wall_ratio(doc: _idf.IDF) -> dict[str, WallWindowArea]:
    """The engine's window-wall ratio table: {"Total", "North" (azimuth 315 to 45), "East" (45 to 135),
    "South" (135 to 225), "West" (225 to 315): WallWindowArea}."""
    facades, _ = _idf._geometry_summary(doc)
    return {name: WallWindowArea(*row) for name, row in zip(FACADES, facades)}


def building_area(doc: _idf.IDF) -> float:
    """The total floor area of the engine's "Building Area" table, m2: the zones that are part of the total
    floor area, with their zone and zone-group multipliers."""
    return _idf._geometry_summary(doc)[1]
