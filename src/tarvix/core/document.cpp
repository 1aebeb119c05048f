#include "core/document.h"

#include <algorithm>
#include <new>

#include "core/text.h"

namespace tarvix::idf {

Document::~Document() {
    for (Slot& slot : slots_) delete slot.owned;
}

void Document::set_schema(const idd::c_IDD* schema) noexcept {
    schema_ = schema;
    entry_cache_.clear();
}

std::optional<uint32_t> Document::find_class(std::string_view class_name) const {
    if (!schema_) return std::nullopt;
    const UpperKey key(class_name);
    const auto found = schema_->class_map.find(key.view());
    if (found == schema_->class_map.end() || found->second >= schema_->ordered_classes.size()) return std::nullopt;
    return found->second;
}

// ---------------------------------------------------------------------------
// Slots

const ClassDef* Document::class_def(size_t slot) const noexcept {
    if (!schema_ || slot >= slots_.size()) return nullptr;
    const uint32_t class_idx = slots_[slot].class_idx;
    return class_idx < schema_->ordered_classes.size() ? &schema_->ordered_classes[class_idx] : nullptr;
}

ValuesView Document::values(size_t slot) const noexcept {
    const Slot& s = slots_[slot];
    if (s.owned) return s.owned->view();
    return ValuesView(text_base_ + s.text_begin, ends_.data() + s.ends_begin, s.count);
}

SlotState Document::view(size_t slot, ObjectView& out) const noexcept {
    if (!live(slot)) return SlotState::empty;
    out.cls = class_def(slot);
    out.class_name = out.cls ? std::string_view(out.cls->name) : std::string_view();
    out.values = values(slot);
    return SlotState::object;
}

FieldValues& Document::own_values(size_t slot) {
    Slot& s = slots_[slot];
    if (!s.owned) s.owned = new FieldValues(values(slot));
    return *s.owned;
}

ClassEntry* Document::entry_of(uint32_t class_idx, bool create) {
    if (entry_cache_generation_ != index_.generation()) {
        entry_cache_.clear();
        entry_cache_generation_ = index_.generation();
    }
    if (class_idx < entry_cache_.size() && entry_cache_[class_idx]) return entry_cache_[class_idx];
    if (!schema_ || class_idx >= schema_->ordered_classes.size()) return nullptr;
    const UpperKey key(schema_->ordered_classes[class_idx].name);
    ClassEntry* entry = create ? &index_.get(key.view()) : index_.find(key.view());
    if (entry) {
        if (entry_cache_.size() <= class_idx) entry_cache_.resize(schema_->ordered_classes.size(), nullptr);
        entry_cache_[class_idx] = entry;
    }
    return entry;
}

NameIndex* Document::names_of(size_t slot) noexcept {
    try {
        ClassEntry* entry = entry_of(slots_[slot].class_idx, false);
        return entry ? entry->names() : nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void Document::drop_name_indices() noexcept {
    index_.drop_names();
}

// ---------------------------------------------------------------------------
// The graph

void Document::register_value(const FieldDef& field, std::string_view value, FieldLoc loc) noexcept {
    for (const std::string_view tag : field.references()) targets_.add(tag, value, loc, "tarvix.idf.IDF.register_target");
    for (const std::string_view tag : field.object_lists())
        referencers_.add(tag, value, loc, "tarvix.idf.IDF.register_referencer");
}

void Document::unregister_value(const FieldDef& field, std::string_view value, FieldLoc loc) noexcept {
    for (const std::string_view tag : field.references()) targets_.remove(tag, value, loc);
    for (const std::string_view tag : field.object_lists()) referencers_.remove(tag, value, loc);
}

void Document::register_all(const ClassDef& cls, ValuesView values, size_t slot) noexcept {
    const size_t count = std::min(values.size(), static_cast<size_t>(INT32_MAX) + 1);
    for (size_t i = 0; i < count; ++i) {
        const std::string_view value = values[i];
        if (value.empty()) continue;
        const FieldDef* field = idd::get_field_def(&cls, i);
        if (field && (!field->references().empty() || !field->object_lists().empty()))
            register_value(*field, value, FieldLoc{slot, static_cast<int32_t>(i)});
    }
}

void Document::unregister_all(const ClassDef* cls, ValuesView values, size_t slot) noexcept {
    if (!cls) return;
    const size_t count = std::min(values.size(), static_cast<size_t>(INT32_MAX) + 1);
    for (size_t i = 0; i < count; ++i) {
        const std::string_view value = values[i];
        if (value.empty()) continue;
        const FieldDef* field = idd::get_field_def(cls, i);
        if (field && (!field->references().empty() || !field->object_lists().empty()))
            unregister_value(*field, value, FieldLoc{slot, static_cast<int32_t>(i)});
    }
}

// ---------------------------------------------------------------------------
// Edits

namespace {

// What an object is found by: its first value, when it has any.
struct NameKey {
    bool present = false;
    std::string text;
    explicit NameKey(ValuesView values) : present(!values.empty()) {
        if (present) text.assign(values[0]);
    }
    bool same(ValuesView values) const { return present == !values.empty() && (!present || text == values[0]); }
};

}  // namespace

size_t Document::add_object(uint32_t class_idx) {
    FieldValues values;
    const ClassDef* cls = schema_ && class_idx < schema_->ordered_classes.size() ? &schema_->ordered_classes[class_idx]
                                                                                 : nullptr;
    if (cls && cls->min_fields > 0) values.resize(static_cast<size_t>(cls->min_fields));
    return add_object(class_idx, std::move(values));
}

size_t Document::add_object(uint32_t class_idx, FieldValues values) {
    auto owned = std::make_unique<FieldValues>(std::move(values));
    ClassEntry* entry = entry_of(class_idx, true);
    const size_t slot = slots_.size();
    slots_.push_back(Slot{0, 0, 0, class_idx, 1, nullptr});
    try {
        if (entry) entry->append(slot);
        if (NameIndex* names = entry ? entry->names() : nullptr; names && !owned->empty())
            names->insert((*owned)[0], slot);
    } catch (...) {
        slots_.pop_back();
        if (entry) entry->set_names(nullptr);
        throw;
    }
    slots_.back().owned = owned.release();
    return slot;
}

void write_value(FieldValues& values, size_t field_idx, std::string_view value, const ClassDef* cls, Document* graph,
                 size_t slot) {
    const size_t count = values.size();
    if (field_idx < count && values[field_idx] == value) return;
    if (field_idx >= count && value.empty()) return;
    if (field_idx >= count) values.resize(field_idx + 1);
    const FieldDef* field =
        graph && cls && field_idx <= static_cast<size_t>(INT32_MAX) ? idd::get_field_def(cls, field_idx) : nullptr;
    if (field && field->references().empty() && field->object_lists().empty()) field = nullptr;
    const FieldLoc loc{slot, static_cast<int32_t>(field_idx)};
    const std::string_view old = values[field_idx];
    if (field && !old.empty()) graph->unregister_value(*field, old, loc);
    try {
        values.set(field_idx, value);
    } catch (...) {
        if (field && !old.empty()) graph->register_value(*field, old, loc);  // `old` is untouched when the set fails
        throw;
    }
    if (field && !value.empty()) graph->register_value(*field, value, loc);
}

void Document::set_value(size_t slot, size_t field_idx, std::string_view value, const ClassDef* cls,
                         bool update_graph) {
    const ValuesView current = values(slot);
    if (field_idx < current.size() && current[field_idx] == value) return;
    if (field_idx >= current.size() && value.empty()) return;

    NameIndex* names = (field_idx == 0 || current.empty()) ? names_of(slot) : nullptr;
    std::optional<NameKey> old_name;
    if (names) old_name.emplace(current);

    FieldValues& own = own_values(slot);
    write_value(own, field_idx, value, cls ? cls : class_def(slot), update_graph ? this : nullptr, slot);

    if (names && !old_name->same(own.view())) {
        if (old_name->present) names->erase(old_name->text, slot);
        try {
            if (!own.empty()) names->insert(own[0], slot);
        } catch (const std::bad_alloc&) {
            if (ClassEntry* entry = entry_of(slots_[slot].class_idx, false)) entry->set_names(nullptr);
        }
    }
}

namespace {

bool has_tag(idd::Views tags, std::string_view tag) noexcept {
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

// Whether tag `t` of a definition's list appeared before it in the list.
bool repeats_earlier(idd::Views tags, size_t t) noexcept { return has_tag(tags.first(t), tags[t]); }

}  // namespace

int32_t name_field_index(const ClassDef& cls) noexcept {
    const size_t count = std::min(cls.fields.size(), static_cast<size_t>(INT32_MAX));
    for (size_t i = 0; i < count; ++i)
        if (!cls.fields[i].references().empty()) return static_cast<int32_t>(i);
    return -1;
}

void referring_fields(const RefMap& referencers, const FieldDef& field, std::string_view name,
                      std::vector<FieldLoc>& out) {
    out.clear();
    const idd::Views tags = field.references();
    size_t sources = 0;
    for (size_t t = 0; t < tags.size(); ++t) {
        if (repeats_earlier(tags, t)) continue;  // it would find the same entry again
        const std::vector<FieldLoc>* locs = referencers.find(tags[t], name);
        if (!locs || locs->empty()) continue;
        out.insert(out.end(), locs->begin(), locs->end());
        ++sources;
    }
    const auto before = [](const FieldLoc& a, const FieldLoc& b) {
        return a.obj_idx != b.obj_idx ? a.obj_idx < b.obj_idx : a.field_idx < b.field_idx;
    };
    // An entry holds its locations in the order they were registered, which
    // ascends unless a removal moved one; sorting is needed only then, or to
    // merge the entries of several tags (a field under two of them sits in
    // both).
    if (sources > 1 || !std::is_sorted(out.begin(), out.end(), before)) std::sort(out.begin(), out.end(), before);
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

void Document::move_registrations(const ClassDef* cls, FieldLoc loc, std::string_view from, std::string_view to,
                                  idd::Views skipped) noexcept {
    const FieldDef* field = loc.field_idx >= 0 ? idd::get_field_def(cls, static_cast<size_t>(loc.field_idx)) : nullptr;
    if (!field) return;
    for (const std::string_view tag : field->references()) {
        targets_.remove(tag, from, loc);
        targets_.add(tag, to, loc, "tarvix.idf.IDFObject.rename");
    }
    for (const std::string_view tag : field->object_lists()) {
        if (has_tag(skipped, tag)) continue;
        referencers_.remove(tag, from, loc);
        referencers_.add(tag, to, loc, "tarvix.idf.IDFObject.rename");
    }
}

void Document::rename_referrers(const FieldDef& name_field, std::string_view old, std::string_view new_name,
                                const std::vector<FieldLoc>& locs, bool whole, RenameWriter& writer) {
    // The same name in another case: every registration stays where it is.
    const bool same_key = equal_fold(old, new_name);
    size_t written = 0;
    try {
        for (; written < locs.size(); ++written) writer.write(locs[written], new_name);
    } catch (...) {
        // The fields written so far take their registrations along; the
        // others keep the old name and theirs.
        if (!same_key)
            for (size_t i = 0; i < written; ++i)
                move_registrations(writer.class_of(locs[i]), locs[i], old, new_name, {});
        throw;
    }
    if (same_key) return;
    const idd::Views tags = whole ? name_field.references() : idd::Views{};
    for (const FieldLoc& loc : locs) move_registrations(writer.class_of(loc), loc, old, new_name, tags);
    for (size_t t = 0; t < tags.size(); ++t)
        if (!repeats_earlier(tags, t)) referencers_.move_value(tags[t], old, new_name, "tarvix.idf.IDFObject.rename");
}

namespace {

// A rename's writes into the Document's own slots.
class SlotWriter final : public RenameWriter {
public:
    explicit SlotWriter(Document& doc) noexcept : doc_(doc) {}
    const ClassDef* class_of(const FieldLoc& loc) const noexcept override { return doc_.class_def(loc.obj_idx); }
    void write(const FieldLoc& loc, std::string_view value) override {
        doc_.set_value(loc.obj_idx, static_cast<size_t>(loc.field_idx), value, nullptr, false);
    }

private:
    Document& doc_;
};

}  // namespace

size_t Document::rename(size_t slot, size_t name_idx, std::string_view new_name) {
    const ClassDef* cls = class_def(slot);
    const FieldDef* field =
        cls && name_idx <= static_cast<size_t>(INT32_MAX) ? idd::get_field_def(cls, name_idx) : nullptr;
    const std::string old(values(slot).at_or_empty(name_idx));  // a copy: writing moves the values
    std::vector<FieldLoc> locs;
    if (field && !old.empty()) referring_fields(referencers_, *field, old, locs);

    // Only fields that still hold the old name are written; when every
    // location registered under it does, its entries can move whole.
    const FieldLoc name_loc{slot, static_cast<int32_t>(name_idx)};
    bool whole = true;
    size_t kept = 0;
    for (const FieldLoc& loc : locs) {
        if (loc == name_loc) continue;  // the name itself, written with its own registrations
        const bool present = loc.field_idx >= 0 && live(loc.obj_idx);
        const std::string_view value =
            present ? values(loc.obj_idx).at_or_empty(static_cast<size_t>(loc.field_idx)) : std::string_view();
        if (!equal_fold(value, old)) {
            whole = false;  // a registration the values no longer bear out
            continue;
        }
        if (value != new_name) locs[kept++] = loc;
    }
    locs.resize(kept);

    set_value(slot, name_idx, new_name);
    if (!locs.empty()) {
        SlotWriter writer(*this);
        rename_referrers(*field, old, new_name, locs, whole, writer);
    }
    return locs.size();
}

void Document::trim(size_t slot) noexcept {
    Slot& s = slots_[slot];
    const ValuesView before = values(slot);
    if (before.empty() || !before[before.size() - 1].empty()) return;
    NameIndex* names = names_of(slot);
    const bool had_name = !before.empty();
    if (s.owned) {
        while (!s.owned->empty() && s.owned->back().empty()) s.owned->pop_back();
    } else {
        s.count = static_cast<uint32_t>(before.used());
    }
    // Only an object whose values were all empty loses its name: "" -> none.
    if (names && had_name && values(slot).empty()) names->erase({}, slot);
}

void Document::reserve_values(size_t slot, size_t count) { own_values(slot).reserve(count); }

void Document::release(size_t slot) noexcept {
    if (slot >= slots_.size()) return;
    Slot& s = slots_[slot];
    delete s.owned;
    s.owned = nullptr;
    s.count = 0;
    s.live = 0;
}

void Document::remove_object(size_t slot) noexcept {
    if (!live(slot)) return;
    const ValuesView current = values(slot);
    if (NameIndex* names = names_of(slot); names && !current.empty()) names->erase(current[0], slot);
    try {
        if (ClassEntry* entry = entry_of(slots_[slot].class_idx, false)) entry->erase_first(slot);
    } catch (const std::bad_alloc&) {
    }
    unregister_all(class_def(slot), current, slot);
    release(slot);
}

size_t Document::remove_class(std::string_view class_key) noexcept {
    ClassEntry* entry = index_.find(class_key);
    if (!entry || entry->empty()) return 0;
    size_t removed = 0;
    entry->for_each([&](size_t slot) {
        if (!live(slot)) return;
        unregister_all(class_def(slot), values(slot), slot);
        release(slot);
        ++removed;
    });
    index_.erase(class_key);
    return removed;
}

// ---------------------------------------------------------------------------
// Queries

size_t Document::find_by_name(std::string_view class_key, std::string_view name) noexcept {
    ClassEntry* entry = index_.find(class_key);
    if (!entry || entry->empty()) return SIZE_MAX;
    if (entry->ascending()) {
        // In class order the slots ascend, so the first match is the
        // smallest slot noted under the name.
        if (!entry->names()) {
            try {
                auto names = std::make_unique<NameIndex>();
                entry->for_each([&](size_t slot) {
                    if (!live(slot)) return;
                    const ValuesView current = values(slot);
                    if (!current.empty()) names->insert(current[0], slot);
                });
                entry->set_names(std::move(names));
            } catch (const std::bad_alloc&) {
            }
        }
        if (const NameIndex* names = entry->names()) {
            const size_t slot = names->first(name);
            if (slot == SIZE_MAX) return SIZE_MAX;
            if (live(slot) && !values(slot).empty() && equal_fold(values(slot)[0], name)) return slot;
        }
    }
    size_t found = SIZE_MAX;
    entry->for_each([&](size_t slot) {
        if (found != SIZE_MAX || !live(slot)) return;
        const ValuesView current = values(slot);
        if (!current.empty() && equal_fold(current[0], name)) found = slot;
    });
    return found;
}

size_t Document::first_target(const FieldDef& field, std::string_view value) const noexcept {
    for (const std::string_view tag : field.object_lists()) {
        const std::vector<FieldLoc>* locs = targets_.find(tag, value);
        if (!locs) continue;
        for (const FieldLoc& loc : *locs)
            if (live(loc.obj_idx)) return loc.obj_idx;
    }
    return SIZE_MAX;
}

void Document::referencing(const FieldDef& field, std::string_view value, std::vector<size_t>& out) const {
    for (const std::string_view tag : field.references()) {
        const std::vector<FieldLoc>* locs = referencers_.find(tag, value);
        if (!locs) continue;
        for (const FieldLoc& loc : *locs)
            if (live(loc.obj_idx)) out.push_back(loc.obj_idx);
    }
}

}  // namespace tarvix::idf
