// A zone's volume as the engine finds it: whether its faces close a volume
// (within the engine's tolerance), and the tests of its fallbacks when they
// do not.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/geometry/geometry.h"

namespace tarvix::geometry::detail {

struct Point3 {
    int64_t x, y, z;
    auto operator<=>(const Point3&) const = default;
};

// Room the checks reuse from one zone to the next.
struct EncloseScratch {
    std::vector<Vec3> unique;
    std::vector<Vec3> face;
    std::vector<std::pair<uint32_t, uint32_t>> edges;
    std::vector<std::pair<Point3, Point3>> grid_edges;
    struct Corner {
        double x, y;
        uint32_t count;
    };
    std::vector<Corner> corners;
    std::vector<int32_t> twins;
};

// Whether the faces (a zone's walls, floors and roofs) close a volume.
bool encloses(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices, EncloseScratch& scratch);

// What the engine asks of a zone that does not close a volume before it
// takes floor (or ceiling) area times height.
struct ZoneShape {
    bool floor_matches_ceiling = false;  // seen from above, floors and ceilings have the same corners
    bool floors_level = true, ceilings_level = true, walls_upright = true;
    bool walls_level = true;  // every wall's top at the same height
};
ZoneShape shape_of(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices,
                   EncloseScratch& scratch);

// The last of the engine's ways to a volume: a wall facing some way, with a
// face of the same shape and area facing the other way, every corner of one
// as far from the matching corner of the other, gives the area of the faces
// facing that way times that distance (the first wall for which every face
// facing its way has such a twin). 0 when no wall does.
double opposite_walls_volume(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices,
                             EncloseScratch& scratch);

}  // namespace tarvix::geometry::detail
