// The building's geometry as the simulation engine resolves it, free of the
// interpreter: every heat-transfer surface, sub-surface and shading surface
// of a document in world coordinates (through GlobalGeometryRules, the zones'
// origins and relative north and the building's north axis), with the areas,
// orientation and zone totals the engine reports, its window-wall ratio table
// and its building area.
//
// The model is a snapshot: it copies every text it keeps, so it stays valid
// whatever happens to the document afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/index_table.h"
#include "core/document/slot_host.h"
#include "core/schema/schema.h"

namespace tarvix::geometry {

struct Vec3 {
    double x = 0.0, y = 0.0, z = 0.0;
};

// The engine's surface classes, as its Surfaces report names them.
enum class SurfaceKind : uint8_t {
    wall,
    floor,
    roof,
    internal_mass,
    window,
    door,
    glass_door,
    tdd_dome,
    tdd_diffuser,
    shading,  // attached (zone) shading
    detached_building,
    detached_fixed,
};
inline constexpr size_t kSurfaceKinds = 12;
std::string_view kind_name(SurfaceKind kind) noexcept;
inline bool is_subsurface(SurfaceKind kind) noexcept {
    return kind >= SurfaceKind::window && kind <= SurfaceKind::tdd_diffuser;
}
inline bool is_shading(SurfaceKind kind) noexcept { return kind >= SurfaceKind::shading; }

// Texts the model keeps, numbered in the order they were added; kNoText for
// none. Equal texts (ASCII case ignored) share a number, so a zone or
// construction named by many surfaces is kept once.
inline constexpr uint32_t kNoText = UINT32_MAX;
class TextTable {
public:
    uint32_t add(std::string_view text);  // throws std::bad_alloc
    uint32_t add_unshared(std::string_view text);
    // Room for `count` texts of `bytes` in all.
    void reserve(size_t count, size_t bytes);
    std::string_view operator[](uint32_t id) const noexcept {
        const uint32_t begin = id ? ends_[id - 1] : 0;
        return {text_.data() + begin, ends_[id] - begin};
    }
    size_t size() const noexcept { return ends_.size(); }

private:
    std::string text_;
    std::vector<uint32_t> ends_;
    IndexTable shared_;  // the shared texts by the hashes of their upper-cased letters
};

struct Surface {
    uint32_t name = kNoText;
    uint32_t class_name = kNoText;
    uint32_t zone = kNoText;  // as written on the surface (or its base surface)
    uint32_t base_surface = kNoText;
    uint32_t construction = kNoText;
    uint32_t outside_boundary = kNoText;
    uint64_t slot = 0;
    SurfaceKind kind = SurfaceKind::wall;
    // Whether the net area counts the multiplier: the engine multiplies a
    // detailed window's or door's area, not a simple one's.
    bool multiplied_area = false;
    uint32_t first_vertex = 0;
    uint32_t vertex_count = 0;
    int32_t zone_idx = -1;  // index into Model::zones, -1 for none
    int32_t base_idx = -1;  // index into Model::surfaces of the base surface, -1 for none
    // The zone on the other side when the outside boundary is a zone (not
    // one of its surfaces): the engine adds the reversed copy of the surface
    // there. -1 for none.
    int32_t adjacent_zone_idx = -1;
    // Whether the engine added this surface: the reversed copy ("iz-" and the
    // name) of a surface whose outside boundary is a zone. It is no object of
    // the document; `slot` is that of the surface it copies.
    bool added = false;
    double multiplier = 1.0;
    double gross_area = 0.0;
    double net_area = 0.0;
    // A window's frame (around the opening) and dividers (within it), for one unit, m2.
    double frame_area = 0.0;
    double divider_area = 0.0;
    double azimuth = 0.0;
    double tilt = 0.0;
    Vec3 centroid;
    Vec3 normal;
};

struct Zone {
    uint32_t name = kNoText;
    uint64_t slot = 0;
    double floor_area = 0.0;
    double volume = 0.0;
    double ceiling_height = 0.0;
    double exterior_gross_wall_area = 0.0;
    double exterior_net_wall_area = 0.0;
    double exterior_window_area = 0.0;
    int64_t multiplier = 1;
    int64_t list_multiplier = 1;
    bool part_of_total_floor_area = true;
    Vec3 centroid;
    Vec3 min, max;
    // What the zone gives itself (the origin, relative north, user values).
    Vec3 origin;
    double relative_north = 0.0;
    double user_volume = -1.0, user_floor_area = -1.0, user_ceiling_height = -1.0;
};

// One column of the window-wall ratio table.
struct WallWindowArea {
    double gross_wall_area = 0.0;
    double above_ground_wall_area = 0.0;
    double window_area = 0.0;
};
inline constexpr size_t kFacades = 5;  // Total, North, East, South, West

// How an edit reaches an object's coordinates: its numbers are in a frame
// where world = turn(angle)(x, y) + offset (the turn clockwise seen from
// above by `angle` degrees, as a north axis turns), z + offset.z.
enum class FrameRole : uint8_t {
    vertices,   // fields: the number-of-vertices field, the vertices read
    rectangle,  // fields: starting x, y, z, azimuth, length, height (or width)
    relative,   // on a base surface or window: fields are lengths to scale
    point,      // fields: x, y, z
    zone,       // a zone's frame for detailed surfaces (no fields)
};
inline constexpr size_t kFrameFields = 10;
struct Frame {
    uint64_t slot = 0;
    FrameRole role = FrameRole::vertices;
    double angle = 0.0;
    Vec3 offset;
    int32_t fields[kFrameFields] = {};
    uint8_t field_count = 0;
};

struct Model {
    TextTable texts;
    std::vector<Surface> surfaces;
    std::vector<Vec3> vertices;
    std::vector<Zone> zones;
    WallWindowArea facades[kFacades];
    double building_area = 0.0;
    // Filled when asked for: the frame of each object with coordinates, and
    // the entry rules new vertices must follow.
    std::vector<Frame> frames;
    bool counterclockwise = true;
    int starting_corner = 1;  // 1 upper left, 2 lower left, 3 lower right, 4 upper right
};

// Reads the geometry of every object the slots hold (those of classes the
// schema lacks are passed over). Linear in the number of objects and
// vertices. Throws std::bad_alloc.
void read_model(const SlotSource& slots, const c_IDD& schema, Model& model, bool frames = false);

}  // namespace tarvix::geometry
