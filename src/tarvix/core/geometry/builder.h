// The geometry reader's inside: the classes it reads and how, the field
// look-ups it shares, and the Builder that turns a document's objects into a
// Model (its readers, the engine's interzone copies and the totals live in
// files of their own).
#pragma once

#include <algorithm>
#include <cmath>
#include <exception>
#include <initializer_list>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/document/fields.h"
#include "core/geometry/geometry.h"
#include "core/geometry/vector.h"
#include "core/text/text.h"

namespace tarvix::geometry::detail {

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
inline constexpr size_t kSources = static_cast<size_t>(Source::count);

struct ClassRule {
    std::string_view name;
    Source source;
    std::string_view boundary;  // the outside boundary a simple class implies; empty: read or none
    SurfaceKind kind;
};

inline constexpr ClassRule kClasses[] = {
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
inline constexpr size_t kClassCount = sizeof kClasses / sizeof kClasses[0];

// One object to read: its slot, the rule of its class and the view of it.
struct Pending {
    size_t slot;
    uint32_t rule;
};

using Fields = FieldPositions;

inline std::string_view value_at(ValuesView values, int32_t index) noexcept { return field_text(values, index); }

// A number field: its value, or `fallback` when it is empty, not a number or
// a word such as autocalculate.
inline double number_at(ValuesView values, int32_t index, double fallback) noexcept {
    return field_number(value_at(values, index)).value_or(fallback);
}

inline bool is_word(std::string_view text, std::string_view word) noexcept { return equal_fold(text, word); }

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
    Builder(const SlotSource& slots, const c_IDD& schema, Model& model, bool frames)
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

    const SlotSource& slots_;
    const c_IDD& schema_;
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

}  // namespace tarvix::geometry::detail
