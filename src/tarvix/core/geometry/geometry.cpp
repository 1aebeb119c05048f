#include "core/geometry/geometry.h"

#include "core/geometry/builder.h"

namespace tarvix::geometry {
namespace detail {

void Builder::run() {
    const size_t nclasses = schema_.ordered_classes.size();
    // The rule of each class of the schema this reads, by class index.
    std::vector<uint32_t> rule_of(nclasses, UINT32_MAX);
    fields_.reserve(kClassCount);
    for (uint32_t k = 0; k < kClassCount; ++k) {
        const auto index = find_class_index(schema_, kClasses[k].name);
        fields_.emplace_back(index ? &schema_.ordered_classes[*index] : nullptr);
        if (index) rule_of[*index] = k;
    }
    const ClassDef* classes = schema_.ordered_classes.data();
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

}  // namespace detail

void read_model(const SlotSource& slots, const c_IDD& schema, Model& model, bool frames) {
    model = Model();
    detail::Builder(slots, schema, model, frames).run();
}

}  // namespace tarvix::geometry
