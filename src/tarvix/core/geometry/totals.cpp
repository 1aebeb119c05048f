// What the engine adds and adds up once every surface is read: the reversed
// copies of surfaces that face a zone, the openings taken from their base
// surfaces, each zone's totals (floor area, ceiling height, volume) and the
// facades' window-wall areas.
#include "core/geometry/builder.h"
#include "core/geometry/volume.h"

namespace tarvix::geometry::detail {

// ---------------------------------------------------------------------------
// The engine's interzone copies

// A surface whose outside boundary is a zone (not one of its surfaces) gets a
// twin in that zone: "iz-" and its name, its vertices reversed, a roof turned
// floor and a floor turned roof. The sub-surfaces on it get twins on the twin.
// The engine adds them after every surface entered, base surfaces first.
void Builder::add_interzone_copies() {
    const size_t entered = model_.surfaces.size();
    std::vector<int32_t> twin(entered, -1);
    size_t vertices = 0, count = 0;
    for (const Surface& s : model_.surfaces)
        if (s.adjacent_zone_idx >= 0 || (s.base_idx >= 0 && is_subsurface(s.kind))) {
            vertices += s.vertex_count;
            ++count;
        }
    if (!count) return;
    model_.surfaces.reserve(entered + count + pending_[static_cast<size_t>(Source::fin)].size() +
                            pending_[static_cast<size_t>(Source::fin_projection)].size() + 64);
    model_.vertices.reserve(model_.vertices.size() + vertices);
    const auto copy = [&](size_t i, int32_t zone, int32_t base) {
        Surface s = model_.surfaces[i];
        s.added = true;
        s.adjacent_zone_idx = -1;
        s.zone_idx = zone;
        s.zone = model_.zones[static_cast<size_t>(zone)].name;
        s.name = text(std::string("iz-").append(model_.texts[model_.surfaces[i].name]));
        if (s.kind == SurfaceKind::roof) {
            s.kind = SurfaceKind::floor;
        } else if (s.kind == SurfaceKind::floor) {
            s.kind = SurfaceKind::roof;
        }
        s.base_idx = base;
        if (base >= 0) s.base_surface = model_.surfaces[static_cast<size_t>(base)].name;
        s.first_vertex = static_cast<uint32_t>(model_.vertices.size());
        for (uint32_t k = s.vertex_count; k-- > 0;)
            model_.vertices.push_back(model_.vertices[model_.surfaces[i].first_vertex + k]);
        finish(s, false);
        const int32_t frame = i < window_frames_.size() ? window_frames_[i] : -1;
        twin[i] = static_cast<int32_t>(model_.surfaces.size());
        model_.surfaces.push_back(s);
        note_frame(model_.surfaces.back(), frame);
    };
    for (size_t i = 0; i < entered; ++i) {
        const Surface& s = model_.surfaces[i];
        if (s.adjacent_zone_idx >= 0 && !is_subsurface(s.kind) && !is_shading(s.kind) && s.name != kNoText)
            copy(i, s.adjacent_zone_idx, -1);
    }
    for (size_t i = 0; i < entered; ++i) {
        const Surface& s = model_.surfaces[i];
        if (!is_subsurface(s.kind) || s.base_idx < 0 || s.name == kNoText) continue;
        const int32_t base = twin[static_cast<size_t>(s.base_idx)];
        if (base >= 0) copy(i, model_.surfaces[static_cast<size_t>(base)].zone_idx, base);
    }
}

// ---------------------------------------------------------------------------
// Totals

void Builder::subtract_openings() {
    for (size_t i = 0; i < model_.surfaces.size(); ++i) {
        Surface& s = model_.surfaces[i];
        if (!is_subsurface(s.kind)) continue;
        // A frame widens the opening on all four sides; dividers take glass from the window itself.
        const int32_t frame = i < window_frames_.size() ? window_frames_[i] : -1;
        if (frame >= 0 && s.vertex_count == 4) {
            const FrameDivider& fd = frame_dividers_[static_cast<size_t>(frame)];
            const Vec3* v = model_.vertices.data() + s.first_vertex;
            const double w = length(v[2] - v[1]), h = length(v[1] - v[0]);
            const double fw = fd.frame_width, dw = fd.divider_width;
            s.frame_area = (w + 2.0 * fw) * (h + 2.0 * fw) - w * h;
            if (dw > 0.0)
                s.divider_area = std::max(
                    0.0, dw * (fd.horizontal * w + fd.vertical * h - fd.horizontal * fd.vertical * dw));
        }
        const double opening = s.multiplied_area ? s.gross_area * s.multiplier : s.gross_area;
        s.net_area = s.multiplied_area ? (s.gross_area - s.divider_area) * s.multiplier : s.gross_area - s.divider_area;
        if (s.base_idx >= 0)
            model_.surfaces[static_cast<size_t>(s.base_idx)].net_area -= opening +
                                                                         s.frame_area *
                                                                             (s.multiplied_area ? s.multiplier : 1.0);
    }
}

namespace {

enum class Boundary { outdoors, ground, other };

Boundary boundary_of(const TextTable& texts, uint32_t id) noexcept {
    if (id == kNoText) return Boundary::other;
    const std::string_view b = texts[id];
    if (equal_fold(b, "Outdoors") || equal_fold(b, "OtherSideConditionsModel")) return Boundary::outdoors;
    if (equal_fold(b, "Ground") || equal_fold(b, "GroundFCfactorMethod") || equal_fold(b, "Foundation"))
        return Boundary::ground;
    return Boundary::other;
}

}  // namespace

void Builder::zone_totals() {
    const size_t nz = model_.zones.size();
    // The zone's surfaces, in document order, grouped by zone (one pass to count, one to place).
    std::vector<uint32_t> first(nz + 1, 0);
    for (const Surface& s : model_.surfaces)
        if (s.zone_idx >= 0 && !is_shading(s.kind)) ++first[static_cast<size_t>(s.zone_idx) + 1];
    for (size_t i = 0; i < nz; ++i) first[i + 1] += first[i];
    std::vector<uint32_t> order(first[nz]);
    {
        std::vector<uint32_t> at(first.begin(), first.end() - 1);
        for (uint32_t i = 0; i < model_.surfaces.size(); ++i) {
            const Surface& s = model_.surfaces[i];
            if (s.zone_idx >= 0 && !is_shading(s.kind)) order[at[static_cast<size_t>(s.zone_idx)]++] = i;
        }
    }
    split_work(nz, [&](size_t begin, size_t end) { zone_range(first, order, begin, end); });
}

// The totals of zones [begin, end): each touches only its own zone.
void Builder::zone_range(const std::vector<uint32_t>& first, const std::vector<uint32_t>& order, size_t begin,
                         size_t end) const {
    std::vector<const Surface*> faces;
    EncloseScratch scratch;
    for (size_t zi = begin; zi < end; ++zi) {
        Zone& zone = model_.zones[zi];
        double floor_area = 0.0, ceiling_area = 0.0, gross_floor_area = 0.0, gross_ceiling_area = 0.0;
        double centroid_weight = 0.0;
        bool any = false;
        Vec3 centroid;
        faces.clear();
        for (uint32_t k = first[zi]; k < first[zi + 1]; ++k) {
            const Surface& s = model_.surfaces[order[k]];
            const Vec3* v = model_.vertices.data() + s.first_vertex;
            for (size_t j = 0; j < s.vertex_count; ++j) {
                if (!any) zone.min = zone.max = v[j];
                any = true;
                zone.min = {std::min(zone.min.x, v[j].x), std::min(zone.min.y, v[j].y), std::min(zone.min.z, v[j].z)};
                zone.max = {std::max(zone.max.x, v[j].x), std::max(zone.max.y, v[j].y), std::max(zone.max.z, v[j].z)};
            }
            const Boundary boundary = boundary_of(model_.texts, s.outside_boundary);
            if (is_subsurface(s.kind)) {
                if (boundary == Boundary::outdoors && s.kind == SurfaceKind::window)
                    zone.exterior_window_area += s.gross_area;
                continue;
            }
            if (s.kind == SurfaceKind::floor) {
                floor_area += s.net_area;
                gross_floor_area += s.gross_area;
            } else if (s.kind == SurfaceKind::roof) {
                ceiling_area += s.net_area;
                gross_ceiling_area += s.gross_area;
            } else if (s.kind == SurfaceKind::wall && boundary == Boundary::outdoors) {
                zone.exterior_gross_wall_area += s.gross_area;
                zone.exterior_net_wall_area += s.net_area;
            }
            if (s.kind == SurfaceKind::wall || s.kind == SurfaceKind::floor || s.kind == SurfaceKind::roof) {
                centroid = centroid + s.centroid * s.gross_area;
                centroid_weight += s.gross_area;
                faces.push_back(&s);
            }
        }
        if (centroid_weight > 0.0) zone.centroid = centroid * (1.0 / centroid_weight);
        zone.floor_area = zone.user_floor_area > 0.0 ? zone.user_floor_area : floor_area;
        // The ceiling height: the mid-heights of the roofs, weighted by their
        // areas, less those of the floors, else the walls' extent.
        double ceil_avg = 0.0, floor_avg = 0.0, wall_max = -99999.0, wall_min = 99999.0;
        for (const Surface* s : faces) {
            const Vec3* v = model_.vertices.data() + s->first_vertex;
            const double mid = (min_z(v, s->vertex_count) + max_z(v, s->vertex_count)) / 2.0;
            if (s->kind == SurfaceKind::roof && gross_ceiling_area > 0.0) {
                ceil_avg += mid * (s->gross_area / gross_ceiling_area);
            } else if (s->kind == SurfaceKind::floor && gross_floor_area > 0.0) {
                floor_avg += mid * (s->gross_area / gross_floor_area);
            } else if (s->kind == SurfaceKind::wall) {
                wall_max = std::max(wall_max, max_z(v, s->vertex_count));
                wall_min = std::min(wall_min, min_z(v, s->vertex_count));
            }
        }
        double height = gross_ceiling_area > 0.0 && gross_floor_area > 0.0 ? ceil_avg - floor_avg : wall_max - wall_min;
        if (height <= 0.0) height = wall_max - wall_min;
        const bool height_entered = zone.user_ceiling_height > 0.0;
        zone.ceiling_height = height_entered ? zone.user_ceiling_height : height > 0.0 ? height : 0.0;
        double calculated = 0.0;
        if (encloses(faces, model_.vertices, scratch)) {
            for (const Surface* s : faces) {
                const Vec3* v = model_.vertices.data() + s->first_vertex;
                if (s->vertex_count >= 3) calculated += dot(newell_area(v, s->vertex_count), v[1]) / 3.0;
            }
        } else {
            const double floor = zone.floor_area > 0.0 ? zone.floor_area : gross_floor_area;
            const double ceiling = ceiling_area > 0.0 ? ceiling_area : gross_ceiling_area;
            const double h = zone.ceiling_height;
            const ZoneShape shape = shape_of(faces, model_.vertices, scratch);
            if (floor > 0.0 && h > 0.0 && shape.floor_matches_ceiling) {
                calculated = floor * h;
            } else if (shape.floors_level && shape.walls_upright && shape.walls_level && floor > 0.0 && h > 0.0) {
                calculated = floor * h;
            } else if (shape.ceilings_level && shape.walls_upright && shape.walls_level && ceiling > 0.0 && h > 0.0) {
                calculated = ceiling * h;
            } else {
                calculated = opposite_walls_volume(faces, model_.vertices, scratch);
            }
        }
        if (zone.user_volume > 0.0) {
            zone.volume = zone.user_volume;
        } else if (height_entered) {
            zone.volume = zone.floor_area > 0.0 ? zone.floor_area * zone.ceiling_height : calculated;
        } else {
            zone.volume = calculated;
        }
        if (zone.volume <= 0.0) zone.volume = 10.0;
    }
}

void Builder::facade_totals() {
    for (const Surface& s : model_.surfaces) {
        if (s.zone_idx < 0 || is_shading(s.kind)) continue;
        const Boundary boundary = boundary_of(model_.texts, s.outside_boundary);
        if (boundary == Boundary::other) continue;
        if (s.tilt < 60.0 || s.tilt > 120.0) continue;
        const bool opaque = s.kind == SurfaceKind::wall || s.kind == SurfaceKind::floor || s.kind == SurfaceKind::roof;
        const bool window = s.kind == SurfaceKind::window || s.kind == SurfaceKind::tdd_dome;
        if (!opaque && !window) continue;
        const Zone& zone = model_.zones[static_cast<size_t>(s.zone_idx)];
        double mult = static_cast<double>(zone.multiplier) * static_cast<double>(zone.list_multiplier);
        if (window) mult *= s.multiplier;
        const double az = std::round(s.azimuth * 100.0) / 100.0;
        const size_t facade = (az >= 315.0 || az < 45.0) ? 1 : az < 135.0 ? 2 : az < 225.0 ? 3 : 4;
        for (size_t column : {size_t{0}, facade}) {
            WallWindowArea& a = model_.facades[column];
            if (opaque) {
                a.gross_wall_area += s.gross_area * mult;
                if (boundary == Boundary::outdoors) a.above_ground_wall_area += s.gross_area * mult;
            } else {
                a.window_area += (s.gross_area + s.frame_area) * mult;
            }
        }
    }
    for (const Zone& zone : model_.zones)
        if (zone.part_of_total_floor_area)
            model_.building_area += zone.floor_area * static_cast<double>(zone.multiplier) *
                                    static_cast<double>(zone.list_multiplier);
}

}  // namespace tarvix::geometry::detail
