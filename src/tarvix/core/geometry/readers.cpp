// The readers of each class's objects: zones, rules and frames, detailed and
// rectangular surfaces, windows and doors, shading, overhangs and fins.
#include "core/geometry/builder.h"

namespace tarvix::geometry::detail {

int32_t Builder::zone_named(std::string_view name) {
    if (name.empty()) return -1;
    // The texts only grow; a name not yet seen names no zone.
    const uint32_t id = text(name, recent_zone_);
    return id < zone_by_text_.size() ? zone_by_text_[id] : -1;
}

int32_t Builder::surface_named(std::string_view name) {
    if (name.empty()) return -1;
    const uint32_t id = text(name, recent_base_);
    return id < surface_by_text_.size() ? surface_by_text_[id] : -1;
}

void Builder::read_building(ValuesView values, Fields& f) { north_axis_ = number_at(values, f("north axis"), 0.0); }

void Builder::read_rules(ValuesView values, Fields& f) {
    const std::string_view corner = value_at(values, f("starting vertex position"));
    static constexpr std::string_view corners[] = {"UpperLeftCorner", "LowerLeftCorner", "LowerRightCorner",
                                                   "UpperRightCorner"};
    for (int k = 0; k < 4; ++k)
        if (is_word(corner, corners[k])) rules_.corner = k + 1;
    const std::string_view direction = value_at(values, f("vertex entry direction"));
    rules_.ccw = !(is_word(direction, "Clockwise") || is_word(direction, "CW"));
    const std::string_view system = value_at(values, f("coordinate system"));
    rules_.world = !is_word(system, "Relative");
    const std::string_view rect = value_at(values, f("rectangular surface coordinate system"));
    rules_.rect_world = is_word(rect, "World") || is_word(rect, "Absolute");
    const std::string_view daylight = value_at(values, f("daylighting reference point coordinate system"));
    rules_.daylight_world = is_word(daylight, "World") || is_word(daylight, "Absolute");
}

void Builder::read_zone(size_t slot, ValuesView values, Fields& f) {
    Zone zone;
    zone.name = text(value_at(values, 0));
    zone.slot = slot;
    zone.relative_north = number_at(values, f("direction of relative north"), 0.0);
    zone.origin = {number_at(values, f("x origin"), 0.0), number_at(values, f("y origin"), 0.0),
                   number_at(values, f("z origin"), 0.0)};
    const double multiplier = number_at(values, f("multiplier"), 1.0);
    zone.multiplier = multiplier >= 1.0 && multiplier < 1e15 ? static_cast<int64_t>(multiplier) : 1;
    zone.user_ceiling_height = number_at(values, f("ceiling height"), -1.0);
    zone.user_volume = number_at(values, f("volume"), -1.0);
    zone.user_floor_area = number_at(values, f("floor area"), -1.0);
    zone.part_of_total_floor_area = !is_word(value_at(values, f("part of total floor area")), "No");
    if (zone.name != kNoText) {
        if (zone_by_text_.size() <= zone.name) zone_by_text_.resize(model_.texts.size(), -1);
        if (zone_by_text_[zone.name] >= 0) return;  // the engine stops at a duplicate name
        zone_by_text_[zone.name] = static_cast<int32_t>(model_.zones.size());
    }
    model_.zones.push_back(zone);
    zone_turns_.push_back(Turn::by(zone.relative_north));
}

void Builder::read_zone_groups() {
    // ZoneList name -> its zones; each ZoneGroup multiplies the zones of its list.
    std::vector<std::vector<int32_t>> lists;
    std::vector<int32_t> list_by_text;
    for (const Pending& item : pending_[static_cast<size_t>(Source::zone_list)]) {
        const ObjectView object = view(item.slot);
        const uint32_t id = text(value_at(object.values, 0));
        if (id == kNoText) continue;
        if (list_by_text.size() <= id) list_by_text.resize(model_.texts.size(), -1);
        if (list_by_text[id] >= 0) continue;
        list_by_text[id] = static_cast<int32_t>(lists.size());
        std::vector<int32_t>& zones = lists.emplace_back();
        for (size_t k = 1; k < object.values.size(); ++k) {
            const int32_t zone = zone_named(trimmed(object.values[k]));
            if (zone >= 0) zones.push_back(zone);
        }
    }
    for (const Pending& item : pending_[static_cast<size_t>(Source::zone_group)]) {
        const ObjectView object = view(item.slot);
        Fields& f = fields(item.rule);
        const std::string_view list_name = value_at(object.values, f("zone list name"));
        if (list_name.empty()) continue;
        const uint32_t id = model_.texts.add(list_name);
        if (id >= list_by_text.size() || list_by_text[id] < 0) continue;
        const double multiplier = number_at(object.values, f("zone list multiplier"), 1.0);
        const int64_t m = multiplier >= 1.0 && multiplier < 1e15 ? static_cast<int64_t>(multiplier) : 1;
        for (int32_t zone : lists[static_cast<size_t>(list_by_text[id])])
            model_.zones[static_cast<size_t>(zone)].list_multiplier = m;
    }
}

void Builder::read_frames() {
    for (const Pending& item : pending_[static_cast<size_t>(Source::frame_divider)]) {
        const ObjectView object = view(item.slot);
        Fields& f = fields(item.rule);
        const uint32_t id = text(value_at(object.values, 0));
        if (id == kNoText) continue;
        if (frame_by_text_.size() <= id) frame_by_text_.resize(model_.texts.size(), -1);
        if (frame_by_text_[id] >= 0) continue;
        const auto at_least_zero = [](double v) { return v > 0.0 && v < 1e6 ? v : 0.0; };
        FrameDivider fd;
        fd.frame_width = at_least_zero(number_at(object.values, f("frame width"), 0.0));
        fd.divider_width = at_least_zero(number_at(object.values, f("divider width"), 0.0));
        fd.horizontal = std::trunc(at_least_zero(number_at(object.values, f("number of horizontal dividers"), 0.0)));
        fd.vertical = std::trunc(at_least_zero(number_at(object.values, f("number of vertical dividers"), 0.0)));
        frame_by_text_[id] = static_cast<int32_t>(frame_dividers_.size());
        frame_dividers_.push_back(fd);
    }
}

int32_t Builder::frame_named(ValuesView values, int32_t field) {
    const std::string_view name = value_at(values, field);
    if (name.empty() || frame_dividers_.empty()) return -1;
    const uint32_t id = text(name);
    return id < frame_by_text_.size() ? frame_by_text_[id] : -1;
}

Surface& Builder::start(size_t slot, uint32_t rule, ValuesView values, SurfaceKind kind) {
    Surface& s = model_.surfaces.emplace_back();
    s.slot = slot;
    s.kind = kind;
    if (class_text_[rule] == kNoText) class_text_[rule] = text(kClasses[rule].name);
    s.class_name = class_text_[rule];
    s.name = text(value_at(values, 0));
    s.first_vertex = static_cast<uint32_t>(model_.vertices.size());
    return s;
}

// Turns a point given in a zone's (or the building's) coordinates into world
// coordinates.
void Builder::place(Vec3& p, int32_t zone, SurfaceKind kind, bool world) const noexcept {
    if (world) return;  // only the building rotation for one standard's baseline would apply
    if (zone >= 0) {
        const Zone& z = model_.zones[static_cast<size_t>(zone)];
        zone_turns_[static_cast<size_t>(zone)].apply(p.x, p.y);
        p.x += z.origin.x;
        p.y += z.origin.y;
        p.z += z.origin.z;
        building_.apply(p.x, p.y);
    } else if (kind == SurfaceKind::detached_building) {
        building_.apply(p.x, p.y);
    }
}

void Builder::add_frame(size_t slot, FrameRole role, int32_t zone, SurfaceKind kind, bool world,
                        std::initializer_list<int32_t> fields) {
    if (!frames_) return;
    Frame frame;
    frame.slot = slot;
    frame.role = role;
    if (!world && zone >= 0) {
        frame.angle = north_axis_ + model_.zones[static_cast<size_t>(zone)].relative_north;
    } else if (!world && kind == SurfaceKind::detached_building) {
        frame.angle = north_axis_;
    }
    place(frame.offset, zone, kind, world);
    for (int32_t field : fields)
        if (frame.field_count < kFrameFields) frame.fields[frame.field_count++] = field;
    model_.frames.push_back(frame);
}

void Builder::read_daylighting(const Pending& item) {
    const ObjectView object = view(item.slot);
    Fields& f = fields(item.rule);
    int32_t zone_field = f("zone or space name");
    if (zone_field < 0) zone_field = f("zone name");
    const int32_t zone = zone_named(value_at(object.values, zone_field));
    add_frame(item.slot, FrameRole::point, zone, SurfaceKind::wall, rules_.daylight_world,
              {f("x-coordinate of reference point"), f("y-coordinate of reference point"),
               f("z-coordinate of reference point")});
}

void Builder::take_vertices(Surface& s, ValuesView values, int32_t count_field, int32_t zone, bool world) {
    const VertexJob job = reserve_vertices(s, values, count_field, zone, world, false);
    if (job.count) {
        fill_vertices(job);
    } else {
        finish(s, false);
    }
}

Builder::VertexJob Builder::reserve_vertices(Surface& s, ValuesView values, int32_t count_field, int32_t zone,
                                             bool world, bool check_orientation) {
    VertexJob job{static_cast<uint32_t>(&s - model_.surfaces.data()), 0, 0, zone, world, check_orientation};
    s.first_vertex = static_cast<uint32_t>(model_.vertices.size());
    s.vertex_count = 0;
    if (count_field < 0) return job;
    const size_t first = static_cast<size_t>(count_field) + 1;
    const size_t available = values.size() > first ? (values.size() - first) / 3 : 0;
    const double wanted = number_at(values, count_field, -1.0);
    size_t n = available;
    if (wanted >= 0.0 && wanted < static_cast<double>(available)) n = static_cast<size_t>(wanted);
    if (model_.vertices.size() + n > UINT32_MAX) throw std::bad_alloc();
    add_frame(s.slot, FrameRole::vertices, zone, s.kind, world, {count_field, static_cast<int32_t>(n)});
    model_.vertices.resize(model_.vertices.size() + n);
    s.vertex_count = static_cast<uint32_t>(n);
    job.first_field = static_cast<uint32_t>(first);
    job.count = static_cast<uint32_t>(n);
    return job;
}

// Reads the vertices a job made room for, in the order the engine stores
// them, in world coordinates, then the surface's areas and orientation.
// Touches only its own surface and vertices, so jobs run side by side.
void Builder::fill_vertices(const VertexJob& job) const noexcept {
    Surface& s = model_.surfaces[job.surface];
    const ValuesView values = view(s.slot).values;
    Vec3* v = model_.vertices.data() + s.first_vertex;
    const size_t n = job.count;
    for (size_t k = 0; k < n; ++k) {
        const auto i = static_cast<int32_t>(job.first_field + 3 * k);
        v[k] = {number_at(values, i, 0.0), number_at(values, i + 1, 0.0), number_at(values, i + 2, 0.0)};
    }
    // Clockwise entry: the first vertex stays, the rest are reversed.
    if (!rules_.ccw && n > 2) std::reverse(v + 1, v + n);
    // The starting corner: the first vertex entered goes to position
    // `corner` (the list turned, never searched for an upper left corner).
    if (n >= 3 && rules_.corner > 1 && !(n < 4 && rules_.corner == 4)) {
        const size_t shift = (n - static_cast<size_t>(rules_.corner) + 1) % n;
        std::rotate(v, v + shift, v + n);
    }
    for (size_t k = 0; k < n; ++k) place(v[k], job.zone, s.kind, job.world);
    // Coincident vertices (within 1 cm) are dropped while more than three
    // remain; the room they leave stays unused. One pass: each vertex is
    // compared with the last one kept, and moved down once.
    size_t count = n;
    if (count > 3 && length(v[count - 1] - v[0]) < 0.01) --count;
    size_t kept = std::min<size_t>(count, 1);
    for (size_t k = 1; k < count; ++k) {
        // `remaining`: how many vertices the list would hold were this one dropped
        const size_t remaining = count - (k - kept) - 1;
        if (remaining >= 3 && length(v[k] - v[kept - 1]) < 0.01) continue;
        v[kept++] = v[k];
    }
    s.vertex_count = static_cast<uint32_t>(kept);
    finish(s, job.check_orientation);
}

// Runs the vertex jobs, on a second thread as well when there are many.
void Builder::run_jobs() {
    split_work(jobs_.size(), [this](size_t begin, size_t end) noexcept {
        for (size_t k = begin; k < end; ++k) fill_vertices(jobs_[k]);
    });
    jobs_.clear();
}

// Area, normal, orientation and centroid from the vertices; with
// `check_orientation` a floor facing up or a roof facing down is turned over,
// as the engine does.
void Builder::finish(Surface& s, bool check_orientation) const noexcept {
    Vec3* v = model_.vertices.data() + s.first_vertex;
    const size_t n = s.vertex_count;
    Vec3 normal = newell_normal(v, n);
    if (check_orientation &&
        ((s.kind == SurfaceKind::roof && normal.z < -1e-6) || (s.kind == SurfaceKind::floor && normal.z > 1e-6))) {
        std::reverse(v, v + n);
        normal = newell_normal(v, n);
    }
    s.gross_area = length(newell_area(v, n));
    s.net_area = s.gross_area;
    azimuth_and_tilt(v, n, normal, s.azimuth, s.tilt);
    s.normal = {snap(normal.x), snap(normal.y), snap(normal.z)};
    s.centroid = centroid_of(v, n, s.gross_area);
}

Builder::Shape Builder::shape(size_t idx) const noexcept {
    const auto found = std::lower_bound(rect_shapes_.begin(), rect_shapes_.end(), idx,
                                        [](const auto& entry, size_t key) { return entry.first < key; });
    if (found != rect_shapes_.end() && found->first == idx) return found->second;
    Shape shape;
    const Surface& s = model_.surfaces[idx];
    if (s.vertex_count >= 3) {
        const Vec3* v = model_.vertices.data() + s.first_vertex;
        shape.trig = {std::sin(s.azimuth * kDegToRad), std::cos(s.azimuth * kDegToRad), std::sin(s.tilt * kDegToRad),
                      std::cos(s.tilt * kDegToRad)};
        shape.width = length(v[2] - v[1]);
        shape.height = length(v[1] - v[0]);
    }
    return shape;
}

void Builder::read_detailed(const Pending& item) {
    const ObjectView object = view(item.slot);
    Fields& f = fields(item.rule);
    const Source source = kClasses[item.rule].source;
    SurfaceKind kind = kClasses[item.rule].kind;
    if (source == Source::detailed) {
        const std::string_view type = value_at(object.values, f("surface type"));
        if (is_word(type, "Floor")) {
            kind = SurfaceKind::floor;
        } else if (is_word(type, "Roof") || is_word(type, "Ceiling")) {
            kind = SurfaceKind::roof;
        } else {
            kind = SurfaceKind::wall;
        }
    }
    Surface& s = start(item.slot, item.rule, object.values, kind);
    s.construction = text(value_at(object.values, f("construction name")), recent_construction_);
    const std::string_view zone_name = value_at(object.values, f("zone name"));
    s.zone = text(zone_name, recent_zone_);
    s.zone_idx = zone_named(zone_name);
    s.outside_boundary = text(value_at(object.values, f("outside boundary condition")), recent_boundary_);
    if (s.outside_boundary != kNoText && is_word(model_.texts[s.outside_boundary], "Zone"))
        s.adjacent_zone_idx = zone_named(value_at(object.values, f("outside boundary condition object")));
    const VertexJob job = reserve_vertices(s, object.values, f("number of vertices"), s.zone_idx, rules_.world, true);
    if (job.count) {
        jobs_.push_back(job);
    } else {
        finish(s, true);
    }
}

void Builder::rectangle(Surface& s, Vec3 llc, double azimuth, double tilt, double length, double height) {
    const double ca = std::cos(azimuth * kDegToRad), sa = std::sin(azimuth * kDegToRad);
    const double ct = std::cos(tilt * kDegToRad), st = std::sin(tilt * kDegToRad);
    const double xx[4] = {0.0, 0.0, length, length};
    const double yy[4] = {height, 0.0, 0.0, height};
    for (int k = 0; k < 4; ++k)
        model_.vertices.push_back(
            {llc.x - xx[k] * ca - yy[k] * ct * sa, llc.y + xx[k] * sa - yy[k] * ct * ca, llc.z + yy[k] * st});
    s.vertex_count = 4;
    const size_t idx = static_cast<size_t>(&s - model_.surfaces.data());
    finish(s, false);
    // The rectangle keeps the orientation it was built with for what is built on it.
    rect_shapes_.emplace_back(idx, Shape{{sa, ca, st, ct}, std::abs(length), std::abs(height)});
}

void Builder::read_rect(const Pending& item) {
    const ObjectView object = view(item.slot);
    Fields& f = fields(item.rule);
    const ClassRule& rule = kClasses[item.rule];
    Surface& s = start(item.slot, item.rule, object.values, rule.kind);
    s.construction = text(value_at(object.values, f("construction name")), recent_construction_);
    const std::string_view zone_name = value_at(object.values, f("zone name"));
    s.zone = text(zone_name, recent_zone_);
    s.zone_idx = zone_named(zone_name);
    s.outside_boundary = text(rule.boundary == "Zone" ? std::string_view("Zone") : rule.boundary);
    // An interzone surface names the surface on the other side, or only its zone.
    if (rule.boundary == "Zone")
        s.adjacent_zone_idx = zone_named(value_at(object.values, f("outside boundary condition object")));
    const double default_tilt = rule.source == Source::rect_wall   ? 90.0
                                : rule.source == Source::rect_roof ? 0.0
                                                                   : 180.0;
    double azimuth = number_at(object.values, f("azimuth angle"), rule.source == Source::rect_wall ? 0.0 : 90.0);
    const double tilt = number_at(object.values, f("tilt angle"), default_tilt);
    if (s.zone_idx < 0) {  // the engine builds no vertices for a surface without its zone
        finish(s, false);
        return;
    }
    const Zone& zone = model_.zones[static_cast<size_t>(s.zone_idx)];
    if (!rules_.world) azimuth += north_axis_ + zone.relative_north;
    Vec3 llc{number_at(object.values, f("starting x coordinate"), 0.0),
             number_at(object.values, f("starting y coordinate"), 0.0),
             number_at(object.values, f("starting z coordinate"), 0.0)};
    place(llc, s.zone_idx, s.kind, rules_.rect_world);
    int32_t height_field = f("height");
    if (height_field < 0) height_field = f("width");
    add_frame(item.slot, FrameRole::rectangle, s.zone_idx, s.kind, rules_.rect_world,
              {f("starting x coordinate"), f("starting y coordinate"), f("starting z coordinate"), f("azimuth angle"),
               f("length"), height_field});
    rectangle(s, llc, azimuth, tilt, number_at(object.values, f("length"), 0.0),
              number_at(object.values, height_field, 0.0));
}

void Builder::read_fenestration(const Pending& item) {
    const ObjectView object = view(item.slot);
    Fields& f = fields(item.rule);
    const std::string_view type = value_at(object.values, f("surface type"));
    SurfaceKind kind = SurfaceKind::window;
    if (is_word(type, "Door")) {
        kind = SurfaceKind::door;
    } else if (is_word(type, "TubularDaylightDome")) {
        kind = SurfaceKind::tdd_dome;
    }
    Surface& s = start(item.slot, item.rule, object.values, kind);
    s.construction = text(value_at(object.values, f("construction name")), recent_construction_);
    const std::string_view base_name = value_at(object.values, f("building surface name"));
    s.base_surface = text(base_name, recent_base_);
    s.base_idx = surface_named(base_name);
    if (s.base_idx >= 0) {
        const Surface& base = model_.surfaces[static_cast<size_t>(s.base_idx)];
        s.zone = base.zone;
        s.zone_idx = base.zone_idx;
        s.outside_boundary = base.outside_boundary;
    }
    const double multiplier = number_at(object.values, f("multiplier"), 1.0);
    s.multiplier = multiplier >= 1.0 ? std::trunc(multiplier) : 1.0;
    s.multiplied_area = kind == SurfaceKind::window || kind == SurfaceKind::door;
    if (kind == SurfaceKind::window) note_frame(s, frame_named(object.values, f("frame and divider name")));
    const VertexJob job = reserve_vertices(s, object.values, f("number of vertices"), s.zone_idx, rules_.world, false);
    if (job.count) {
        jobs_.push_back(job);
    } else {
        finish(s, false);
    }
}

// A rectangle on a base surface: (x, z) from the base's stored second vertex
// along its width and up its height.
void Builder::relative_rectangle(Surface& s, const Surface& base, double x, double z, double length, double height,
                                 double azimuth, double tilt) {
    const Trig b = shape(static_cast<size_t>(&base - model_.surfaces.data())).trig;
    Vec3 origin;
    if (base.vertex_count >= 2) origin = model_.vertices[base.first_vertex + 1];
    const Vec3 llc{origin.x - x * b.ca - z * b.ct * b.sa, origin.y + x * b.sa - z * b.ct * b.ca, origin.z + z * b.st};
    rectangle(s, llc, azimuth, tilt, length, height);
}

void Builder::read_rect_sub(const Pending& item) {
    const ObjectView object = view(item.slot);
    Fields& f = fields(item.rule);
    const ClassRule& rule = kClasses[item.rule];
    Surface& s = start(item.slot, item.rule, object.values, rule.kind);
    s.construction = text(value_at(object.values, f("construction name")), recent_construction_);
    const std::string_view base_name = value_at(object.values, f("building surface name"));
    s.base_surface = text(base_name, recent_base_);
    s.base_idx = surface_named(base_name);
    const double multiplier = number_at(object.values, f("multiplier"), 1.0);
    s.multiplier = multiplier >= 1.0 ? std::trunc(multiplier) : 1.0;
    // The engine's areas leave out the frame and divider a simple window names.
    add_frame(item.slot, FrameRole::relative, -1, s.kind, true,
              {f("starting x coordinate"), f("starting z coordinate"), f("length"), f("height")});
    if (s.base_idx < 0) {
        finish(s, false);
        return;
    }
    const size_t base_idx = static_cast<size_t>(s.base_idx);
    Surface& base = model_.surfaces[base_idx];
    s.zone = base.zone;
    s.zone_idx = base.zone_idx;
    s.outside_boundary = base.outside_boundary;
    const double azimuth = base.azimuth, tilt = base.tilt;
    Surface& sub = s;  // `base` stays valid: nothing is added between
    relative_rectangle(sub, base, number_at(object.values, f("starting x coordinate"), 0.0),
                       number_at(object.values, f("starting z coordinate"), 0.0),
                       number_at(object.values, f("length"), 0.0), number_at(object.values, f("height"), 0.0), azimuth,
                       tilt);
}

void Builder::read_shading_detailed(const Pending& item) {
    const ObjectView object = view(item.slot);
    Fields& f = fields(item.rule);
    const ClassRule& rule = kClasses[item.rule];
    Surface& s = start(item.slot, item.rule, object.values, rule.kind);
    int32_t zone = -1;
    if (rule.source == Source::zone_shading) {
        const std::string_view base_name = value_at(object.values, f("base surface name"));
        s.base_surface = text(base_name, recent_base_);
        s.base_idx = surface_named(base_name);
        if (s.base_idx >= 0) zone = model_.surfaces[static_cast<size_t>(s.base_idx)].zone_idx;
    }
    take_vertices(s, object.values, f("number of vertices"), zone, rules_.world);
}

void Builder::read_rect_shading(const Pending& item) {
    const ObjectView object = view(item.slot);
    Fields& f = fields(item.rule);
    const ClassRule& rule = kClasses[item.rule];
    Surface& s = start(item.slot, item.rule, object.values, rule.kind);
    double azimuth = number_at(object.values, f("azimuth angle"), 0.0);
    const double tilt = number_at(object.values, f("tilt angle"), 90.0);
    if (rule.kind == SurfaceKind::detached_building && !rules_.world) azimuth += north_axis_;
    Vec3 llc{number_at(object.values, f("starting x coordinate"), 0.0),
             number_at(object.values, f("starting y coordinate"), 0.0),
             number_at(object.values, f("starting z coordinate"), 0.0)};
    place(llc, -1, s.kind, rules_.rect_world);
    add_frame(item.slot, FrameRole::rectangle, -1, s.kind, rules_.rect_world,
              {f("starting x coordinate"), f("starting y coordinate"), f("starting z coordinate"), f("azimuth angle"),
               f("length"), f("height")});
    rectangle(s, llc, azimuth, tilt, number_at(object.values, f("length"), 0.0),
              number_at(object.values, f("height"), 0.0));
}

// Where a window's lower left corner sits on its base surface: along the
// base's width and up its height from the base's second vertex (both with
// at least two vertices).
Builder::OnBase Builder::on_base(size_t window) const noexcept {
    const Surface& win = model_.surfaces[window];
    const size_t base_idx = static_cast<size_t>(win.base_idx);
    const Surface& base = model_.surfaces[base_idx];
    const Trig b = shape(base_idx).trig;
    const Vec3 d = model_.vertices[win.first_vertex + 1] - model_.vertices[base.first_vertex + 1];
    return {-d.x * b.ca + d.y * b.sa, -d.x * b.sa * b.ct - d.y * b.ca * b.ct + d.z * b.st};
}

void Builder::read_overhang(const Pending& item, bool projection) {
    const ObjectView object = view(item.slot);
    Fields& f = fields(item.rule);
    const std::string_view window_name = value_at(object.values, f("window or door name"));
    const int32_t window = surface_named(window_name);
    add_frame(item.slot, FrameRole::relative, -1, SurfaceKind::shading, true,
              {f("height above window or door"), f("left extension from window/door width"),
               f("right extension from window/door width"), projection ? -1 : f("depth")});
    // The engine builds no overhang for a window it cannot find or place.
    if (window < 0) return;
    const size_t w = static_cast<size_t>(window);
    const int32_t base_idx = model_.surfaces[w].base_idx;
    if (base_idx < 0 || model_.surfaces[w].vertex_count < 2 ||
        model_.surfaces[static_cast<size_t>(base_idx)].vertex_count < 2)
        return;
    const double height_above = number_at(object.values, f("height above window or door"), 0.0);
    const double tilt_from = number_at(object.values, f("tilt angle from window/door"), 90.0);
    const double left = number_at(object.values, f("left extension from window/door width"), 0.0);
    const double right = number_at(object.values, f("right extension from window/door width"), 0.0);
    double depth = 0.0;
    if (projection) {
        depth = number_at(object.values, f("depth as fraction of window/door height"), 0.0) * shape(w).height;
    } else {
        depth = number_at(object.values, f("depth"), 0.0);
    }
    const double len = left + right + shape(w).width;
    if (len * depth <= 0.0) return;  // the engine leaves such an overhang out
    Surface& s = start(item.slot, item.rule, object.values, SurfaceKind::shading);
    s.base_surface = model_.surfaces[static_cast<size_t>(base_idx)].name;  // the engine names the window's base
    const Surface& win = model_.surfaces[w];
    const OnBase at = on_base(w);
    relative_rectangle(s, model_.surfaces[static_cast<size_t>(base_idx)], at.x - left,
                       at.z + shape(w).height + height_above, len, depth, win.azimuth, win.tilt + tilt_from);
}

void Builder::read_fin(const Pending& item, bool projection) {
    const ObjectView object = view(item.slot);
    Fields& f = fields(item.rule);
    const int32_t window = surface_named(value_at(object.values, f("window or door name")));
    const std::string_view name = value_at(object.values, 0);
    add_frame(item.slot, FrameRole::relative, -1, SurfaceKind::shading, true,
              {f("left extension from window/door"), f("left distance above top of window"),
               f("left distance below bottom of window"), projection ? -1 : f("left depth"),
               f("right extension from window/door"), f("right distance above top of window"),
               f("right distance below bottom of window"), projection ? -1 : f("right depth")});
    if (window < 0) return;
    const size_t w = static_cast<size_t>(window);
    const int32_t base_idx = model_.surfaces[w].base_idx;
    if (base_idx < 0 || model_.surfaces[w].vertex_count < 2 ||
        model_.surfaces[static_cast<size_t>(base_idx)].vertex_count < 2)
        return;
    static constexpr const char* names[2][6] = {
        {"left extension from window/door", "left distance above top of window", "left distance below bottom of window",
         "left tilt angle from window/door", "left depth as fraction of window/door width", "left depth"},
        {"right extension from window/door", "right distance above top of window",
         "right distance below bottom of window", "right tilt angle from window/door",
         "right depth as fraction of window/door width", "right depth"},
    };
    for (int side = 0; side < 2; ++side) {
        const char* const* n = names[side];
        const double extension = number_at(object.values, f(n[0]), 0.0);
        const double above = number_at(object.values, f(n[1]), 0.0);
        const double below = number_at(object.values, f(n[2]), 0.0);
        const double tilt_from = number_at(object.values, f(n[3]), 90.0);
        const double depth = projection ? number_at(object.values, f(n[4]), 0.0) * shape(w).width
                                        : number_at(object.values, f(n[5]), 0.0);
        const double fin_length = above + below + shape(w).height;
        if (fin_length * depth <= 0.0) continue;
        Surface& s = start(item.slot, item.rule, object.values, SurfaceKind::shading);
        s.name = text(std::string(name) + (side ? " Right" : " Left"));
        s.base_surface = model_.surfaces[static_cast<size_t>(base_idx)].name;
        const Surface& win = model_.surfaces[w];
        const OnBase at = on_base(w);
        const double x = side ? at.x + shape(w).width + extension : at.x - extension;
        relative_rectangle(s, model_.surfaces[static_cast<size_t>(base_idx)], x, at.z - below, -depth, fin_length,
                           win.azimuth - (180.0 - tilt_from), win.tilt);
    }
}

}  // namespace tarvix::geometry::detail
