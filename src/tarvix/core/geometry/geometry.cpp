#include "core/geometry/geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <exception>
#include <system_error>
#include <thread>

#include "core/base/hash.h"
#include "core/text/number.h"
#include "core/text/text.h"

namespace tarvix::geometry {

std::string_view kind_name(SurfaceKind kind) noexcept {
    static constexpr std::string_view names[kSurfaceKinds] = {
        "Wall",
        "Floor",
        "Roof",
        "Internal Mass",
        "Window",
        "Door",
        "Glass Door",
        "TubularDaylightDome",
        "TubularDaylightDiffuser",
        "Shading",
        "Detached Shading:Building",
        "Detached Shading:Fixed",
    };
    return names[static_cast<size_t>(kind)];
}

// ---------------------------------------------------------------------------
// Texts

namespace {
uint64_t folded_hash(std::string_view text) noexcept {
    return siphash13_folded(process_hash_key(), 0, text.data(), text.size());
}
}  // namespace

void TextTable::grow() {
    std::vector<std::pair<uint32_t, uint32_t>> table(std::max<size_t>(64, table_.size() * 2), {0, 0});
    const size_t mask = table.size() - 1;
    for (const auto& entry : table_) {
        if (!entry.first) continue;
        size_t at = folded_hash((*this)[entry.first - 1]) & mask;
        while (table[at].first) at = (at + 1) & mask;
        table[at] = entry;
    }
    table_ = std::move(table);
}

void TextTable::reserve(size_t count, size_t bytes) {
    text_.reserve(text_.size() + bytes);
    ends_.reserve(ends_.size() + count);
    while ((shared_ + count) * 2 > table_.size()) grow();
}

uint32_t TextTable::add(std::string_view text) {
    if ((shared_ + 1) * 2 > table_.size()) grow();
    const size_t mask = table_.size() - 1;
    const uint64_t hash = folded_hash(text);
    const auto tag = static_cast<uint32_t>(hash >> 32);
    size_t at = hash & mask;
    while (const uint32_t entry = table_[at].first) {
        if (table_[at].second == tag && equal_fold((*this)[entry - 1], text)) return entry - 1;
        at = (at + 1) & mask;
    }
    const uint32_t id = add_unshared(text);
    table_[at] = {id + 1, tag};
    ++shared_;
    return id;
}

uint32_t TextTable::add_unshared(std::string_view text) {
    if (text_.size() + text.size() > UINT32_MAX || ends_.size() + 1 >= UINT32_MAX) throw std::bad_alloc();
    text_.append(text);
    ends_.push_back(static_cast<uint32_t>(text_.size()));
    return static_cast<uint32_t>(ends_.size() - 1);
}

// ---------------------------------------------------------------------------
// Vectors

namespace {

constexpr double kDegToRad = std::numbers::pi / 180.0;

Vec3 operator-(Vec3 a, Vec3 b) noexcept { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator+(Vec3 a, Vec3 b) noexcept { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator*(Vec3 a, double k) noexcept { return {a.x * k, a.y * k, a.z * k}; }
Vec3 cross(Vec3 a, Vec3 b) noexcept { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double dot(Vec3 a, Vec3 b) noexcept { return a.x * b.x + a.y * b.y + a.z * b.z; }
double length(Vec3 a) noexcept { return std::sqrt(dot(a, a)); }
Vec3 normalized(Vec3 a) noexcept {
    const double n = length(a);
    return n > 0.0 ? Vec3{a.x / n, a.y / n, a.z / n} : Vec3{};
}

// A rotation of the plane by -angle (clockwise seen from above for a
// positive angle), as the engine turns zones and the building.
struct Turn {
    double c = 1.0, s = 0.0;
    static Turn by(double degrees) noexcept { return {std::cos(-degrees * kDegToRad), std::sin(-degrees * kDegToRad)}; }
    void apply(double& x, double& y) const noexcept {
        const double nx = x * c - y * s;
        y = x * s + y * c;
        x = nx;
    }
};

// The area vector of a polygon (fan from its first vertex, halved).
Vec3 newell_area(const Vec3* v, size_t n) noexcept {
    Vec3 area;
    if (n < 3) return area;
    Vec3 e1 = v[1] - v[0];
    for (size_t k = 2; k < n; ++k) {
        const Vec3 e2 = v[k] - v[0];
        area = area + cross(e1, e2);
        e1 = e2;
    }
    return area * 0.5;
}

Vec3 newell_normal(const Vec3* v, size_t n) noexcept {
    Vec3 sum;
    for (size_t i = 0; i < n; ++i) {
        const Vec3& a = v[i];
        const Vec3& b = v[(i + 1) % n];
        sum.x += (a.y - b.y) * (a.z + b.z);
        sum.y += (a.z - b.z) * (a.x + b.x);
        sum.z += (a.x - b.x) * (a.y + b.y);
    }
    return normalized(sum);
}

// The engine's azimuth and tilt of a polygon with outward normal `n`: the
// compass bearing of the normal, or for an exactly horizontal surface the
// bearing of its edge from vertex 2 to vertex 3 turned by 90 degrees.
void azimuth_and_tilt(const Vec3* v, size_t count, Vec3 n, double& azimuth, double& tilt) noexcept {
    double r = 0.0;
    if (std::abs(n.z) < 1.0 - 1.12e-16) {
        r = std::atan2(n.x, -n.y);
    } else if (count >= 3) {
        const Vec3 edge = normalized(v[2] - v[1]);
        r = std::atan2(edge.y, edge.x);
    }
    tilt = std::acos(std::clamp(n.z, -1.0, 1.0)) / kDegToRad;
    double az = r / kDegToRad;
    az = std::fmod(450.0 - az, 360.0);
    az += 90.0;
    if (az < 0.0) az += 360.0;
    az = std::fmod(az, 360.0);
    if (std::abs(az - 360.0) < 0.001) {
        az = 0.0;
    } else if (std::abs(az - 180.0) < 1e-6) {
        az = 180.0;
    }
    if (std::abs(tilt - 180.0) < 1e-6) tilt = 180.0;
    azimuth = az;
}

double snap(double c) noexcept {
    if (std::abs(c - 1.0) < 1e-6) return 1.0;
    if (std::abs(c + 1.0) < 1e-6) return -1.0;
    if (std::abs(c) < 1e-6) return 0.0;
    return c;
}

// The engine's centroid of a surface: the mean of a triangle's corners; a
// quadrilateral's two triangles' means weighted by their areas (split along
// the other diagonal when the first split overlaps itself); the plain mean
// of the vertices of anything with more sides.
Vec3 centroid_of(const Vec3* v, size_t n, double gross_area) noexcept {
    const auto mean3 = [](Vec3 a, Vec3 b, Vec3 c) { return (a + b + c) * (1.0 / 3.0); };
    const auto area3 = [](Vec3 a, Vec3 b, Vec3 c) { return length(cross(b - a, c - a)) / 2.0; };
    if (n == 3) return mean3(v[0], v[1], v[2]);
    if (n == 4) {
        if (gross_area <= 0.0) return {};
        double a1 = area3(v[0], v[1], v[2]), a2 = area3(v[0], v[2], v[3]);
        double f1 = a1 / gross_area, f2 = a2 / gross_area;
        Vec3 c1 = mean3(v[0], v[1], v[2]), c2 = mean3(v[0], v[2], v[3]);
        if (f1 + f2 > 1.05) {
            a1 = area3(v[0], v[1], v[3]);
            a2 = area3(v[1], v[2], v[3]);
            f1 = a1 / (a1 + a2);
            f2 = a2 / (a1 + a2);
            c1 = mean3(v[0], v[1], v[3]);
            c2 = mean3(v[1], v[2], v[3]);
        }
        return c1 * f1 + c2 * f2;
    }
    Vec3 mean;
    for (size_t k = 0; k < n; ++k) mean = mean + v[k];
    return n ? mean * (1.0 / static_cast<double>(n)) : mean;
}

// ---------------------------------------------------------------------------
// Reading objects

using idf::ObjectView;
using idf::SlotState;
using idf::ValuesView;

// The classes read, in the order their objects are built: zones before
// their surfaces, base surfaces before what sits on them, windows before
// their overhangs and fins.
enum class Source : uint8_t {
    building,
    rules,
    zone,
    zone_list,
    zone_group,
    detailed,          // BuildingSurface:Detailed (its surface type names the class)
    wall_detailed,     // Wall:Detailed
    roof_detailed,     // RoofCeiling:Detailed
    floor_detailed,    // Floor:Detailed
    rect_wall,         // Wall:Exterior, :Adiabatic, :Underground, :Interzone
    rect_roof,         // Roof, Ceiling:Adiabatic, Ceiling:Interzone
    rect_floor,        // Floor:GroundContact, :Adiabatic, :Interzone
    fenestration,      // FenestrationSurface:Detailed
    rect_sub,          // Window, Door, GlazedDoor and their :Interzone forms
    zone_shading,      // Shading:Zone:Detailed
    site_shading,      // Shading:Site:Detailed
    building_shading,  // Shading:Building:Detailed
    rect_site_shading,
    rect_building_shading,
    overhang,
    overhang_projection,
    fin,
    fin_projection,
    daylighting,
    frame_divider,  // WindowProperty:FrameAndDivider
    count,
};
constexpr size_t kSources = static_cast<size_t>(Source::count);

struct ClassRule {
    std::string_view name;
    Source source;
    std::string_view boundary;  // the outside boundary a simple class implies; empty: read or none
    SurfaceKind kind;
};

constexpr ClassRule kClasses[] = {
    {"Building", Source::building, {}, SurfaceKind::wall},
    {"GlobalGeometryRules", Source::rules, {}, SurfaceKind::wall},
    {"Zone", Source::zone, {}, SurfaceKind::wall},
    {"ZoneList", Source::zone_list, {}, SurfaceKind::wall},
    {"ZoneGroup", Source::zone_group, {}, SurfaceKind::wall},
    {"BuildingSurface:Detailed", Source::detailed, {}, SurfaceKind::wall},
    {"Wall:Detailed", Source::wall_detailed, {}, SurfaceKind::wall},
    {"RoofCeiling:Detailed", Source::roof_detailed, {}, SurfaceKind::roof},
    {"Floor:Detailed", Source::floor_detailed, {}, SurfaceKind::floor},
    {"Wall:Exterior", Source::rect_wall, "Outdoors", SurfaceKind::wall},
    {"Wall:Adiabatic", Source::rect_wall, "Adiabatic", SurfaceKind::wall},
    {"Wall:Underground", Source::rect_wall, "Ground", SurfaceKind::wall},
    {"Wall:Interzone", Source::rect_wall, "Zone", SurfaceKind::wall},
    {"Roof", Source::rect_roof, "Outdoors", SurfaceKind::roof},
    {"Ceiling:Adiabatic", Source::rect_roof, "Adiabatic", SurfaceKind::roof},
    {"Ceiling:Interzone", Source::rect_roof, "Zone", SurfaceKind::roof},
    {"Floor:GroundContact", Source::rect_floor, "Ground", SurfaceKind::floor},
    {"Floor:Adiabatic", Source::rect_floor, "Adiabatic", SurfaceKind::floor},
    {"Floor:Interzone", Source::rect_floor, "Zone", SurfaceKind::floor},
    {"FenestrationSurface:Detailed", Source::fenestration, {}, SurfaceKind::window},
    {"Window", Source::rect_sub, {}, SurfaceKind::window},
    {"Door", Source::rect_sub, {}, SurfaceKind::door},
    {"GlazedDoor", Source::rect_sub, {}, SurfaceKind::window},
    {"Window:Interzone", Source::rect_sub, "Zone", SurfaceKind::window},
    {"Door:Interzone", Source::rect_sub, "Zone", SurfaceKind::door},
    {"GlazedDoor:Interzone", Source::rect_sub, "Zone", SurfaceKind::window},
    {"Shading:Zone:Detailed", Source::zone_shading, {}, SurfaceKind::shading},
    {"Shading:Site:Detailed", Source::site_shading, {}, SurfaceKind::detached_fixed},
    {"Shading:Building:Detailed", Source::building_shading, {}, SurfaceKind::detached_building},
    {"Shading:Site", Source::rect_site_shading, {}, SurfaceKind::detached_fixed},
    {"Shading:Building", Source::rect_building_shading, {}, SurfaceKind::detached_building},
    {"Shading:Overhang", Source::overhang, {}, SurfaceKind::shading},
    {"Shading:Overhang:Projection", Source::overhang_projection, {}, SurfaceKind::shading},
    {"Shading:Fin", Source::fin, {}, SurfaceKind::shading},
    {"Shading:Fin:Projection", Source::fin_projection, {}, SurfaceKind::shading},
    {"Daylighting:ReferencePoint", Source::daylighting, {}, SurfaceKind::wall},
    {"WindowProperty:FrameAndDivider", Source::frame_divider, {}, SurfaceKind::wall},
};
constexpr size_t kClassCount = sizeof kClasses / sizeof kClasses[0];

// One object to read: its slot, the rule of its class and the view of it.
struct Pending {
    size_t slot;
    uint32_t rule;
};

// Field positions by name, resolved once per class of the schema: the
// names are literals, so a look-up after the first compares one pointer.
class Fields {
public:
    Fields(const idd::ClassDef* cls) : cls_(cls) {}
    int32_t operator()(std::string_view lower_name) noexcept {
        for (const auto& [name, index] : known_)
            if (name == lower_name.data()) return index;
        int32_t index = -1;
        if (cls_) {
            const auto found = cls_->base_field_index_map.find(lower_name);
            if (found != cls_->base_field_index_map.end()) index = found->second;
        }
        if (known_.size() < kKnown) known_.emplace_back(lower_name.data(), index);
        return index;
    }

private:
    static constexpr size_t kKnown = 24;
    const idd::ClassDef* cls_;
    std::vector<std::pair<const char*, int32_t>> known_;
};

std::string_view trimmed(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::string_view value_at(ValuesView values, int32_t index) noexcept {
    return index < 0 ? std::string_view() : trimmed(values.at_or_empty(static_cast<size_t>(index)));
}

// A number field: its value, or `fallback` when it is empty, not a number or
// a word such as autocalculate.
double number_at(ValuesView values, int32_t index, double fallback) noexcept {
    const std::string_view text = value_at(values, index);
    if (text.empty()) return fallback;
    double out = 0.0;
    if (idf::read_short_decimal(text, out)) return out;
    const std::optional<double> read = idf::read_real(text);
    return read && std::isfinite(*read) ? *read : fallback;
}

bool is_word(std::string_view text, std::string_view word) noexcept { return equal_fold(text, word); }

struct Rules {
    int corner = 1;  // 1 upper left, 2 lower left, 3 lower right, 4 upper right
    bool ccw = true;
    bool world = true;
    bool rect_world = false;
    bool daylight_world = false;
};

// Runs fn(begin, end) over [0, count): in two halves on two threads when
// there is enough work and a second core, else at once here. An exception
// of either half reaches the caller once both are done.
template <class Fn>
void split_work(size_t count, Fn&& fn) {
    constexpr size_t kParallel = 4096;
    if (count < kParallel || std::thread::hardware_concurrency() < 2) {
        fn(size_t{0}, count);
        return;
    }
    const size_t half = count / 2;
    std::exception_ptr failure;
    std::thread other;
    try {
        other = std::thread([&] {
            try {
                fn(half, count);
            } catch (...) {
                failure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        fn(size_t{0}, count);  // no second thread to be had
        return;
    }
    try {
        fn(size_t{0}, half);
    } catch (...) {
        other.join();
        throw;
    }
    other.join();
    if (failure) std::rethrow_exception(failure);
}

class Builder {
public:
    Builder(const idf::SlotSource& slots, const idd::c_IDD& schema, Model& model, bool frames)
        : slots_(slots), schema_(schema), model_(model), frames_(frames) {
        std::fill(std::begin(class_text_), std::end(class_text_), kNoText);
    }

    void run();

private:
    // --- Input
    ObjectView view(size_t slot) const noexcept {
        ObjectView out;
        slots_.view(slot, out);
        return out;
    }
    Fields& fields(uint32_t rule) noexcept { return fields_[rule]; }
    uint32_t text(std::string_view value) { return value.empty() ? kNoText : model_.texts.add(value); }
    // The same for a field whose few values repeat from one object to the
    // next (a zone, a construction, a boundary): the last four are checked
    // first.
    struct Recent {
        std::string_view values[4];
        uint32_t ids[4] = {kNoText, kNoText, kNoText, kNoText};
        unsigned next = 0;
    };
    uint32_t text(std::string_view value, Recent& recent) {
        if (value.empty()) return kNoText;
        for (unsigned k = 0; k < 4; ++k)
            if (recent.ids[k] != kNoText && recent.values[k] == value) return recent.ids[k];
        const uint32_t id = text(value);
        recent.values[recent.next] = value;
        recent.ids[recent.next] = id;
        recent.next = (recent.next + 1) % 4;
        return id;
    }
    Recent recent_zone_, recent_construction_, recent_boundary_, recent_base_;

    void read_building(ValuesView values, Fields& f);
    void read_rules(ValuesView values, Fields& f);
    void read_zone(size_t slot, ValuesView values, Fields& f);
    void read_zone_groups();
    void read_frames();
    // The frame and divider a window names in field `field`, -1 for none.
    int32_t frame_named(ValuesView values, int32_t field);
    void note_frame(const Surface& s, int32_t frame) {
        if (frame < 0) return;
        const size_t idx = static_cast<size_t>(&s - model_.surfaces.data());
        if (window_frames_.size() <= idx) window_frames_.resize(idx + 1, -1);
        window_frames_[idx] = frame;
    }
    struct FrameDivider {
        double frame_width = 0.0, divider_width = 0.0;
        double horizontal = 0.0, vertical = 0.0;
    };
    std::vector<FrameDivider> frame_dividers_;
    std::vector<int32_t> frame_by_text_;

    // --- Surfaces
    Surface& start(size_t slot, uint32_t rule, ValuesView values, SurfaceKind kind);
    int32_t zone_named(std::string_view name);
    int32_t surface_named(std::string_view name);
    void place(Vec3& p, int32_t zone, SurfaceKind kind, bool world) const noexcept;
    // Records the frame of the object in `slot` that place() puts its numbers in.
    void add_frame(size_t slot, FrameRole role, int32_t zone, SurfaceKind kind, bool world,
                   std::initializer_list<int32_t> fields);
    void read_daylighting(const Pending& item);
    void read_detailed(const Pending& item);
    void read_rect(const Pending& item);
    void read_fenestration(const Pending& item);
    void read_rect_sub(const Pending& item);
    void read_shading_detailed(const Pending& item);
    void read_rect_shading(const Pending& item);
    void read_overhang(const Pending& item, bool projection);
    void read_fin(const Pending& item, bool projection);
    // Vertices as entered from field `first` on, in the order the engine
    // stores them, transformed to world coordinates.
    void take_vertices(Surface& s, ValuesView values, int32_t count_field, int32_t zone, bool world_rules);
    // The same in two steps: room for the vertices now, the reading as a job
    // run later with others (run_jobs).
    struct VertexJob {
        uint32_t surface;
        uint32_t first_field;
        uint32_t count;
        int32_t zone;
        bool world;
        bool check_orientation;
    };
    VertexJob reserve_vertices(Surface& s, ValuesView values, int32_t count_field, int32_t zone, bool world,
                               bool check_orientation);
    void fill_vertices(const VertexJob& job) const noexcept;
    void run_jobs();
    std::vector<VertexJob> jobs_;
    void rectangle(Surface& s, Vec3 llc, double azimuth, double tilt, double length, double height);
    void finish(Surface& s, bool check_orientation) const noexcept;
    void relative_rectangle(Surface& s, const Surface& base, double x, double z, double length, double height,
                            double azimuth, double tilt);

    // The reversed copies the engine adds in the zones that surfaces with a
    // zone for outside boundary name.
    void add_interzone_copies();

    // --- Totals
    void subtract_openings();
    void zone_totals();
    void zone_range(const std::vector<uint32_t>& first, const std::vector<uint32_t>& order, size_t begin,
                    size_t end) const;
    void facade_totals();

    const idf::SlotSource& slots_;
    const idd::c_IDD& schema_;
    Model& model_;
    Rules rules_;
    bool frames_;
    double north_axis_ = 0.0;
    Turn building_;
    std::vector<Turn> zone_turns_;
    std::vector<Fields> fields_;
    uint32_t class_text_[kClassCount];
    std::vector<int32_t> zone_by_text_, surface_by_text_;
    std::vector<Pending> pending_[kSources];
    std::vector<int32_t> window_frames_;  // by surface index: the window's frame and divider, -1 for none
    // Sine and cosine of each surface's azimuth and tilt as the engine keeps
    // them for the rectangles built on it.
    struct Trig {
        double sa = 0.0, ca = 1.0, st = 0.0, ct = 1.0;
    };
    // What rectangles built on a surface use: the sines and cosines, and a
    // window's width and height for its overhangs and fins. A rectangle
    // keeps those it was built with; a polygon's are worked out on first use.
    struct Shape {
        Trig trig;
        double width = 0.0, height = 0.0;
    };
    std::vector<std::pair<size_t, Shape>> rect_shapes_;  // by surface index, ascending
    Shape shape(size_t idx) const noexcept;
    struct OnBase {
        double x = 0.0, z = 0.0;
    };
    OnBase on_base(size_t window) const noexcept;
};

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

// Whether a zone's faces close a volume, as the engine decides it: points
// nearer than kNear on every axis are one vertex (the first one met stands
// for them all), and every edge between vertices so matched is shared by
// exactly two faces; failing that, once more with each edge cut at the zone's
// vertices that lie on it.
constexpr double kNear = 0.01;

bool near3(Vec3 a, Vec3 b) noexcept {
    return std::abs(a.x - b.x) < kNear && std::abs(a.y - b.y) < kNear && std::abs(a.z - b.z) < kNear;
}

// Zones with more vertices than this are judged by their edges matched
// exactly to the millimetre (the tolerant matching costs vertices squared).
constexpr size_t kToleranceLimit = 512;

struct Point3 {
    int64_t x, y, z;
    auto operator<=>(const Point3&) const = default;
};

Point3 grid(Vec3 v) noexcept {
    const auto q = [](double c) {
        const double r = std::round(c * 1000.0);
        return std::abs(r) < 9e15 ? static_cast<int64_t>(r) : int64_t{0};
    };
    return {q(v.x), q(v.y), q(v.z)};
}

// Room the check reuses from one zone to the next.
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

uint32_t vertex_index(const std::vector<Vec3>& unique, Vec3 v) noexcept {
    for (uint32_t i = 0; i < unique.size(); ++i)
        if (near3(unique[i], v)) return i;
    return 0;  // every vertex met is in the list
}

template <class T>
bool each_twice(std::vector<T>& edges) {
    std::sort(edges.begin(), edges.end());
    for (size_t i = 0; i < edges.size();) {
        size_t j = i;
        while (j < edges.size() && edges[j] == edges[i]) ++j;
        if (j - i != 2) return false;
        i = j;
    }
    return true;
}

void add_face_edges(const Vec3* v, size_t n, EncloseScratch& scratch) {
    for (size_t k = 0; k < n; ++k) {
        uint32_t a = vertex_index(scratch.unique, v[k]), b = vertex_index(scratch.unique, v[(k + 1) % n]);
        if (b < a) std::swap(a, b);
        scratch.edges.emplace_back(a, b);
    }
}

double distance_to_line(Vec3 a, Vec3 b, Vec3 p) noexcept { return length(cross(normalized(b - a), p - a)); }

// A face with the zone's vertices that lie on its edges put in (each edge is
// looked at again after a vertex goes in, as the engine does).
void with_collinear_vertices(const Vec3* v, size_t n, EncloseScratch& scratch) {
    std::vector<Vec3>& face = scratch.face;
    face.assign(v, v + n);
    size_t inserted = 0;
    for (size_t k = 0; k < face.size() && inserted <= scratch.unique.size();) {
        const Vec3 cur = face[k], next = face[(k + 1) % face.size()];
        const double span = length(next - cur);
        // A vertex on the edge lies within the edge's box grown by the tolerance.
        const Vec3 lo{std::min(cur.x, next.x) - kNear, std::min(cur.y, next.y) - kNear,
                      std::min(cur.z, next.z) - kNear};
        const Vec3 hi{std::max(cur.x, next.x) + kNear, std::max(cur.y, next.y) + kNear,
                      std::max(cur.z, next.z) + kNear};
        bool put = false;
        for (const Vec3& u : scratch.unique) {
            if (u.x < lo.x || u.x > hi.x || u.y < lo.y || u.y > hi.y || u.z < lo.z || u.z > hi.z) continue;
            if (near3(u, cur) || near3(u, next)) continue;
            if (distance_to_line(cur, next, u) < kNear &&
                std::abs(span - (length(u - cur) + length(next - u))) < kNear) {
                face.insert(face.begin() + static_cast<std::ptrdiff_t>(k + 1), u);
                ++inserted;
                put = true;
                break;
            }
        }
        if (!put) ++k;
    }
}

// For the largest zones: every edge, its ends matched to the millimetre,
// shared by exactly two faces.
bool encloses_exactly(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices,
                      EncloseScratch& scratch) {
    auto& edges = scratch.grid_edges;
    edges.clear();
    for (const Surface* f : faces) {
        const Vec3* v = vertices.data() + f->first_vertex;
        for (size_t k = 0, n = f->vertex_count; k < n; ++k) {
            Point3 a = grid(v[k]), b = grid(v[(k + 1) % n]);
            if (b < a) std::swap(a, b);
            edges.emplace_back(a, b);
        }
    }
    return each_twice(edges);
}

bool encloses(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices, EncloseScratch& scratch) {
    size_t count = 0;
    for (const Surface* f : faces) count += f->vertex_count;
    if (count > kToleranceLimit) return encloses_exactly(faces, vertices, scratch);
    std::vector<Vec3>& unique = scratch.unique;
    unique.clear();
    for (const Surface* f : faces)
        for (size_t k = 0; k < f->vertex_count; ++k) {
            const Vec3 v = vertices[f->first_vertex + k];
            bool seen = false;
            for (const Vec3& u : unique)
                if (near3(u, v)) {
                    seen = true;
                    break;
                }
            if (!seen) unique.push_back(v);
        }
    scratch.edges.clear();
    for (const Surface* f : faces) add_face_edges(vertices.data() + f->first_vertex, f->vertex_count, scratch);
    if (each_twice(scratch.edges)) return true;
    scratch.edges.clear();
    for (const Surface* f : faces) {
        with_collinear_vertices(vertices.data() + f->first_vertex, f->vertex_count, scratch);
        add_face_edges(scratch.face.data(), scratch.face.size(), scratch);
    }
    return each_twice(scratch.edges);
}

double min_z(const Vec3* v, size_t n) noexcept {
    double z = HUGE_VAL;
    for (size_t k = 0; k < n; ++k) z = std::min(z, v[k].z);
    return n ? z : 0.0;
}
double max_z(const Vec3* v, size_t n) noexcept {
    double z = -HUGE_VAL;
    for (size_t k = 0; k < n; ++k) z = std::max(z, v[k].z);
    return n ? z : 0.0;
}

// What the engine asks of a zone that does not close a volume before it
// takes floor (or ceiling) area times height.
struct ZoneShape {
    bool floor_matches_ceiling = false;  // seen from above, floors and ceilings have the same corners
    bool floors_level = true, ceilings_level = true, walls_upright = true;
    bool walls_level = true;  // every wall's top at the same height
};

ZoneShape shape_of(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices,
                   EncloseScratch& scratch) {
    ZoneShape shape;
    auto& corners = scratch.corners;
    corners.clear();
    bool first_wall = true;
    double top = 0.0;
    for (const Surface* f : faces) {
        const Vec3* v = vertices.data() + f->first_vertex;
        if (f->kind == SurfaceKind::wall) {
            shape.walls_upright = shape.walls_upright && std::abs(f->tilt - 90.0) <= 1.0;
            const double z = max_z(v, f->vertex_count);
            if (first_wall) top = z;
            first_wall = false;
            shape.walls_level = shape.walls_level && std::abs(z - top) <= 0.02;
            continue;
        }
        if (f->kind == SurfaceKind::floor) shape.floors_level = shape.floors_level && std::abs(f->tilt - 180.0) <= 1.0;
        if (f->kind == SurfaceKind::roof) shape.ceilings_level = shape.ceilings_level && std::abs(f->tilt) <= 1.0;
        if (corners.size() > kToleranceLimit) continue;
        for (size_t k = 0; k < f->vertex_count; ++k) {
            bool seen = false;
            for (auto& [x, y, count] : corners)
                if (std::abs(x - v[k].x) < kNear && std::abs(y - v[k].y) < kNear) {
                    ++count;
                    seen = true;
                    break;
                }
            if (!seen) corners.push_back({v[k].x, v[k].y, 1});
        }
    }
    shape.floor_matches_ceiling = !corners.empty() && corners.size() <= kToleranceLimit;
    for (const auto& c : corners) shape.floor_matches_ceiling = shape.floor_matches_ceiling && c.count % 2 == 0;
    return shape;
}

// The difference of two azimuths, in [0, 180].
double azimuth_difference(double a, double b) noexcept {
    double d = b - a;
    if (d > 180.0)
        d = 360.0 - d;
    else if (d < -180.0)
        d = 360.0 + d;
    return std::abs(d);
}

// The last of the engine's ways to a volume: a wall facing some way, with a
// face of the same shape and area facing the other way, every corner of one
// as far from the matching corner of the other, gives the area of the faces
// facing that way times that distance (the first wall for which every face
// facing its way has such a twin). 0 when no wall does.
double opposite_walls_volume(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices,
                             EncloseScratch& scratch) {
    constexpr size_t kFaceLimit = 1024;  // finding twins costs faces squared
    if (faces.size() > kFaceLimit) return 0.0;
    // Each face's twin (the first face that matches it), found once: -1 for none, -2 not looked for yet.
    std::vector<int32_t>& twins = scratch.twins;
    twins.assign(faces.size(), -2);
    const auto twin_of = [&](size_t i) {
        if (twins[i] != -2) return twins[i];
        const Surface* f = faces[i];
        const double opposite = std::fmod(f->azimuth + 180.0, 360.0);
        twins[i] = -1;
        for (size_t j = 0; j < faces.size(); ++j) {
            const Surface* g = faces[j];
            if (g->vertex_count == f->vertex_count && std::abs(g->net_area - f->net_area) < kNear &&
                std::abs(g->azimuth - opposite) < 1.0) {
                twins[i] = static_cast<int32_t>(j);
                break;
            }
        }
        return twins[i];
    };
    for (const Surface* wall : faces) {
        if (wall->kind != SurfaceKind::wall) continue;
        double area = 0.0, distance = 0.0;
        bool all = true;
        for (size_t i = 0; i < faces.size() && all; ++i) {
            const Surface* f = faces[i];
            if (azimuth_difference(f->azimuth, wall->azimuth) >= 1.0) continue;
            const int32_t twin = twin_of(i);
            if (twin < 0 || f->vertex_count == 0) {
                all = false;
                break;
            }
            area += f->net_area;
            const Vec3* a = vertices.data() + f->first_vertex;
            const Vec3* b = vertices.data() + faces[static_cast<size_t>(twin)]->first_vertex;
            const size_t n = f->vertex_count;
            distance = length(a[0] - b[n - 1]);
            for (size_t k = 1; k < n && all; ++k) all = std::abs(length(a[k] - b[n - 1 - k]) - distance) <= kNear;
        }
        if (all) return area * distance;
    }
    return 0.0;
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

void Builder::run() {
    const size_t nclasses = schema_.ordered_classes.size();
    // The rule of each class of the schema this reads, by class index.
    std::vector<uint32_t> rule_of(nclasses, UINT32_MAX);
    fields_.reserve(kClassCount);
    for (uint32_t k = 0; k < kClassCount; ++k) {
        const auto index = idd::find_class_index(schema_, kClasses[k].name);
        fields_.emplace_back(index ? &schema_.ordered_classes[*index] : nullptr);
        if (index) rule_of[*index] = k;
    }
    const idd::ClassDef* classes = schema_.ordered_classes.data();
    const size_t count = slots_.slot_count();
    for (size_t slot = 0; slot < count; ++slot) {
        ObjectView object;
        if (slots_.view(slot, object) != SlotState::object || !object.cls) continue;
        const size_t index = static_cast<size_t>(object.cls - classes);
        if (index >= nclasses || rule_of[index] == UINT32_MAX) continue;
        const uint32_t rule = rule_of[index];
        const Source source = kClasses[rule].source;
        if (source == Source::building) {
            if (pending_[static_cast<size_t>(source)].empty()) read_building(object.values, fields(rule));
        } else if (source == Source::rules) {
            if (pending_[static_cast<size_t>(source)].empty()) read_rules(object.values, fields(rule));
        } else if (source == Source::zone) {
            read_zone(slot, object.values, fields(rule));
            continue;
        }
        pending_[static_cast<size_t>(source)].push_back({slot, rule});
    }
    building_ = Turn::by(north_axis_);
    size_t expected = 0;
    for (size_t k = static_cast<size_t>(Source::detailed); k < static_cast<size_t>(Source::daylighting); ++k)
        expected += pending_[k].size();
    model_.surfaces.reserve(expected + pending_[static_cast<size_t>(Source::fin)].size() +
                            pending_[static_cast<size_t>(Source::fin_projection)].size());
    model_.texts.reserve(expected + model_.zones.size() + 64, 24 * expected);
    model_.vertices.reserve(4 * expected);
    read_zone_groups();
    read_frames();
    const auto each = [&](Source source, auto&& read) {
        for (const Pending& item : pending_[static_cast<size_t>(source)]) {
            read(item);
            const Surface& s = model_.surfaces.back();
            if (s.name != kNoText) {
                if (surface_by_text_.size() <= s.name) surface_by_text_.resize(model_.texts.size(), -1);
                if (surface_by_text_[s.name] < 0)
                    surface_by_text_[s.name] = static_cast<int32_t>(model_.surfaces.size() - 1);
            }
        }
    };
    const auto detailed = [&](const Pending& item) { read_detailed(item); };
    const auto rect = [&](const Pending& item) { read_rect(item); };
    for (Source source : {Source::detailed, Source::wall_detailed, Source::roof_detailed, Source::floor_detailed})
        each(source, detailed);
    for (Source source : {Source::rect_wall, Source::rect_roof, Source::rect_floor}) each(source, rect);
    each(Source::fenestration, [&](const Pending& item) { read_fenestration(item); });
    // What follows builds on the geometry of these.
    run_jobs();
    each(Source::rect_sub, [&](const Pending& item) { read_rect_sub(item); });
    add_interzone_copies();
    for (Source source : {Source::zone_shading, Source::site_shading, Source::building_shading})
        each(source, [&](const Pending& item) { read_shading_detailed(item); });
    for (Source source : {Source::rect_site_shading, Source::rect_building_shading})
        each(source, [&](const Pending& item) { read_rect_shading(item); });
    // Overhangs and fins may leave a window without a shading surface (or make two).
    for (const Pending& item : pending_[static_cast<size_t>(Source::overhang)]) read_overhang(item, false);
    for (const Pending& item : pending_[static_cast<size_t>(Source::overhang_projection)]) read_overhang(item, true);
    for (const Pending& item : pending_[static_cast<size_t>(Source::fin)]) read_fin(item, false);
    for (const Pending& item : pending_[static_cast<size_t>(Source::fin_projection)]) read_fin(item, true);
    if (frames_) {
        for (const Pending& item : pending_[static_cast<size_t>(Source::daylighting)]) read_daylighting(item);
        for (size_t z = 0; z < model_.zones.size(); ++z)
            add_frame(model_.zones[z].slot, FrameRole::zone, static_cast<int32_t>(z), SurfaceKind::wall, rules_.world,
                      {});
    }
    model_.counterclockwise = rules_.ccw;
    model_.starting_corner = rules_.corner;
    subtract_openings();
    zone_totals();
    facade_totals();
}

}  // namespace

void read_model(const idf::SlotSource& slots, const idd::c_IDD& schema, Model& model, bool frames) {
    model = Model();
    Builder(slots, schema, model, frames).run();
}

}  // namespace tarvix::geometry
