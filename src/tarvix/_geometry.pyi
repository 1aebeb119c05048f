# Type stubs for the extension module tarvix._geometry: the geometry of a
# document as the engine resolves it, which tarvix.geometry wraps.

from collections.abc import Sequence
from typing import Any, Literal, TypeAlias, final

from tarvix.idf import IDF, IDFObject

_Point: TypeAlias = tuple[float, float, float]

@final
class Surface:
    """One surface, sub-surface or shading surface as the engine resolves it (read-only)."""

    def __repr__(self) -> str: ...

    @property
    def name(self) -> str:
        """The surface's name (a fin's has ' Left' or ' Right' added)."""
    @property
    def class_name(self) -> str:
        """The class of the object that makes the surface."""
    @property
    def obj_idx(self) -> int:
        """Index of that object in the document."""
    @property
    def kind(self) -> str:
        """The engine's surface class: 'Wall', 'Floor', 'Roof', 'Window', 'Door', 'Shading', ..."""
    @property
    def zone(self) -> str | None:
        """The zone the surface bounds (a sub-surface's: its base's), or None."""
    @property
    def base_surface(self) -> str | None:
        """The surface a sub-surface or zone shading sits on (an overhang's or fin's: its window's), None
        for a base surface."""
    @property
    def construction(self) -> str | None:
        """The construction's name, or None."""
    @property
    def outside_boundary(self) -> str | None:
        """The outside boundary condition ('Outdoors', 'Ground', 'Surface', ...; a sub-surface's: its
        base's), or None."""
    @property
    def multiplier(self) -> float:
        """How many identical sub-surfaces this one stands for."""
    @property
    def vertices(self) -> tuple[_Point, ...]:
        """World coordinates (x, y, z) of the vertices, in the order the engine stores them."""
    @property
    def gross_area(self) -> float:
        """Area of the polygon, m2 (one unit of a multiplied sub-surface)."""
    @property
    def net_area(self) -> float:
        """Area as the engine reports it, m2: less the sub-surfaces on it; times the multiplier of a
        window or door."""
    @property
    def azimuth(self) -> float:
        """Degrees clockwise from true north of the outward normal, as the engine reports it."""
    @property
    def tilt(self) -> float:
        """Degrees between the outward normal and straight up."""
    @property
    def centroid(self) -> _Point:
        """The engine's centroid of the surface (x, y, z)."""
    @property
    def outward_normal(self) -> _Point:
        """Unit outward normal (x, y, z)."""
    @property
    def added_by_engine(self) -> bool:
        """Whether the engine adds this surface: the reversed copy ('iz-' and the name) of a surface
        whose outside boundary is a zone, placed in that zone; it is no object of the document (obj_idx
        is that of the surface it copies)."""

@final
class ZoneGeometry:
    """One zone's areas, volume and extent as the engine computes them (read-only)."""

    def __repr__(self) -> str: ...

    @property
    def name(self) -> str: ...
    @property
    def floor_area(self) -> float:
        """Floor area, m2, for one zone (multipliers not applied)."""
    @property
    def volume(self) -> float:
        """Volume, m3, for one zone."""
    @property
    def ceiling_height(self) -> float:
        """Ceiling height, m."""
    @property
    def exterior_gross_wall_area(self) -> float:
        """Gross area of the walls facing outdoors, m2."""
    @property
    def exterior_net_wall_area(self) -> float:
        """Net area of the walls facing outdoors, m2."""
    @property
    def exterior_window_area(self) -> float:
        """Area of the exterior windows, m2 (one unit each)."""
    @property
    def multiplier(self) -> int: ...
    @property
    def list_multiplier(self) -> int:
        """The multiplier of the zone group the zone is in."""
    @property
    def part_of_total_floor_area(self) -> bool:
        """Whether the zone counts in the building's area."""
    @property
    def centroid(self) -> _Point:
        """Area-weighted mean of the centroids of its walls, floors and roofs."""
    @property
    def min(self) -> _Point:
        """Least x, y and z of the zone's vertices."""
    @property
    def max(self) -> _Point:
        """Greatest x, y and z of the zone's vertices."""

def surfaces(doc: IDF, /) -> list[Surface]:
    """The surfaces of a document as Surface records."""

def zones(doc: IDF, /) -> list[ZoneGeometry]:
    """The zones of a document as ZoneGeometry records."""

class FacadeAreas(tuple[Any, ...]):
    """One column of the engine's window-wall ratio table, multipliers applied (read-only)."""

    @property
    def gross_wall_area(self) -> float: ...
    @property
    def above_ground_wall_area(self) -> float: ...
    @property
    def window_area(self) -> float: ...

class Summary(tuple[Any, ...]):
    """The engine's window-wall ratio table and building area (read-only)."""

    @property
    def facades(self) -> tuple[FacadeAreas, ...]:
        """The columns Total, North, East, South and West."""
    @property
    def building_area(self) -> float: ...

class Frame(tuple[Any, ...]):
    """Where the numbers of one object with coordinates live (read-only): world = the turn by
    `angle` (clockwise seen from above) of its (x, y), plus `offset`."""

    @property
    def object(self) -> IDFObject | None: ...
    @property
    def obj_idx(self) -> int: ...
    @property
    def role(self) -> Literal["vertices", "rectangle", "relative", "point", "zone"]: ...
    @property
    def angle(self) -> float: ...
    @property
    def offset(self) -> _Point: ...
    @property
    def fields(self) -> tuple[int, ...]: ...

class Frames(tuple[Any, ...]):
    """The frame of each object with coordinates, and the document's vertex rules, for edits
    (read-only)."""

    @property
    def counterclockwise(self) -> bool: ...
    @property
    def starting_corner(self) -> int:
        """1 upper left, 2 lower left, 3 lower right, 4 upper right."""
    @property
    def frames(self) -> list[Frame]: ...

def summary(doc: IDF, /) -> Summary:
    """The engine's window-wall ratio table and building area."""

def frames(doc: IDF, /) -> Frames:
    """The frame of each object with coordinates, for edits."""

# The core's vector arithmetic: the same sums and products, in the same order, as the geometry
# reader works them out. A point is any sequence of three numbers.
def sub(a: Sequence[float], b: Sequence[float], /) -> _Point:
    """The point a - b."""

def along(p: Sequence[float], u: Sequence[float], k: float, /) -> _Point:
    """The point p + u * k."""

def dot(a: Sequence[float], b: Sequence[float], /) -> float:
    """The dot product of a and b."""

def cross(a: Sequence[float], b: Sequence[float], /) -> _Point:
    """The cross product a x b."""

def length(a: Sequence[float], /) -> float:
    """The length of a."""

def newell_normal(points: Sequence[Sequence[float]], /) -> _Point:
    """The unit normal of a polygon by Newell's method, (0, 0, 0) when it has no area."""
