#include "core/document/document.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "core/text/text.h"

namespace tarvix {

Document::~Document() {
    for (Slot& slot : slots_) delete slot.owned;
}

uint64_t Document::next_generation() noexcept {
    static std::atomic<uint64_t> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

void Document::set_schema(const c_IDD* schema) noexcept {
    touch();
    schema_ = schema;
    entry_cache_.clear();
}

std::optional<uint32_t> Document::find_class(std::string_view class_name) const {
    if (!schema_) return std::nullopt;
    return find_class_index(*schema_, class_name);
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
    touch();  // every change of a value comes through here first
    Slot& s = slots_[slot];
    if (!s.owned) {
        edit_fault_point();
        s.owned = new FieldValues(values(slot));
    }
    return *s.owned;
}

ClassEntry* Document::entry_of(uint32_t class_idx, bool create) {
    if (entry_cache_generation_ != index_.generation()) {
        entry_cache_.clear();
        entry_cache_generation_ = index_.generation();
    }
    if (class_idx < entry_cache_.size() && entry_cache_[class_idx]) return entry_cache_[class_idx];
    if (!schema_ || class_idx >= schema_->ordered_classes.size()) return nullptr;
    const ClassKey key(schema_->ordered_classes[class_idx].name);
    ClassEntry* entry = create ? &index_.get(key.view()) : index_.find(key.view());
    if (entry) {
        try {
            if (entry_cache_.size() <= class_idx) entry_cache_.resize(schema_->ordered_classes.size(), nullptr);
            entry_cache_[class_idx] = entry;
        } catch (const std::bad_alloc&) {
            // Not kept; found again next time.
        }
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

void Document::drop_name_indices() noexcept { index_.drop_names(); }

// ---------------------------------------------------------------------------
// The graph

void Document::register_value(const FieldDef& field, std::string_view value, FieldLoc loc) noexcept {
    const Views references = field.references();
    for (size_t k = 0; k < references.size(); ++k)
        targets_.add(references[k], value, loc, FailureSite::register_target, field.reference_id(k));
    const Views object_lists = field.object_lists();
    for (size_t k = 0; k < object_lists.size(); ++k)
        referencers_.add(object_lists[k], value, loc, FailureSite::register_referencer, field.object_list_id(k));
}

void Document::unregister_value(const FieldDef& field, std::string_view value, FieldLoc loc) noexcept {
    const Views references = field.references();
    for (size_t k = 0; k < references.size(); ++k) targets_.remove(references[k], value, loc, field.reference_id(k));
    const Views object_lists = field.object_lists();
    for (size_t k = 0; k < object_lists.size(); ++k)
        referencers_.remove(object_lists[k], value, loc, field.object_list_id(k));
}

void Document::register_all(const ClassDef& cls, ValuesView values, size_t slot) noexcept {
    each_registered(cls, values, slot, [&](const FieldDef& field, std::string_view value, FieldLoc loc) {
        register_value(field, value, loc);
    });
}

void Document::register_values(const ClassDef& cls, ValuesView values, size_t slot) {
    GraphEdit edit(*this);
    edit.add_all(cls, values, slot);
    edit.prepare();
    edit.commit();
}

void Document::unregister_all(const ClassDef* cls, ValuesView values, size_t slot) noexcept {
    if (!cls) return;
    const size_t count = std::min(values.size(), static_cast<size_t>(INT32_MAX) + 1);
    for (size_t i = 0; i < count; ++i) {
        const std::string_view value = values[i];
        if (value.empty()) continue;
        const FieldDef* field = get_field_def(cls, i);
        if (field && (!field->references().empty() || !field->object_lists().empty()))
            unregister_value(*field, value, FieldLoc{slot, static_cast<int32_t>(i)});
    }
}

// ---------------------------------------------------------------------------
// Staged graph changes

namespace {

bool has_tag(Views tags, std::string_view tag) noexcept {
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

// Whether tag `t` of a definition's list appeared before it in the list.
bool repeats_earlier(Views tags, size_t t) noexcept { return has_tag(tags.first(t), tags[t]); }

}  // namespace

GraphEdit::~GraphEdit() {
    if (committed_) return;
    // Newest first, so that each entry erased is the last of its map and
    // nothing else moves.
    for (auto it = pending_.rbegin(); it != pending_.rend(); ++it)
        if (it->made) map(it->kind).drop_if_empty(it->tag, keys_[it->to_key]);
    for (auto it = added_.rbegin(); it != added_.rend(); ++it)
        map(it->kind).remove_key(it->tag, keys_[it->key], it->loc);
}

RefMap& GraphEdit::map(Kind kind) noexcept {
    return kind == Kind::target || kind == Kind::requeue_target ? doc_.targets() : doc_.referencers();
}

uint32_t GraphEdit::key_of(std::string_view value) {
    // An edit names a value or two, over and over.
    for (size_t i = keys_.size(); i-- > 0 && i + 2 >= keys_.size();)
        if (equal_fold(keys_[i], value)) return static_cast<uint32_t>(i);
    edit_fault_point();
    std::string key(value);
    for (char& c : key) c = ascii_upper(c);
    keys_.push_back(std::move(key));
    return static_cast<uint32_t>(keys_.size() - 1);
}

void GraphEdit::stage(std::vector<Change>& list, const FieldDef& field, std::string_view value, FieldLoc loc,
                      Views skipped, bool apply) {
    const Views references = field.references();
    const Views object_lists = field.object_lists();
    if (value.empty() || (references.empty() && object_lists.empty())) return;
    const uint32_t key = key_of(value);
    list.reserve(list.size() + references.size() + object_lists.size());
    const auto one = [&](Kind kind, std::string_view name, uint32_t schema_id) {
        RefMap& refs = map(kind);
        const uint32_t tag = apply ? refs.tag(name, schema_id) : refs.find_tag(name, schema_id);
        if (tag == RefMap::kNoTag) return;  // a removal under a tag nothing was ever registered under
        if (apply) {
            edit_fault_point();
            refs.add_key(tag, keys_[key], loc);
        }
        list.push_back(Change{kind, tag, key, 0, loc});  // room reserved above
    };
    for (size_t k = 0; k < references.size(); ++k) one(Kind::target, references[k], field.reference_id(k));
    for (size_t k = 0; k < object_lists.size(); ++k)
        if (!has_tag(skipped, object_lists[k])) one(Kind::referencer, object_lists[k], field.object_list_id(k));
}

void GraphEdit::add(const FieldDef& field, std::string_view value, FieldLoc loc, Views skipped) {
    stage(added_, field, value, loc, skipped, true);
}

void GraphEdit::remove(const FieldDef& field, std::string_view value, FieldLoc loc, Views skipped) {
    stage(removed_, field, value, loc, skipped, false);
}

void GraphEdit::replace(const FieldDef& field, std::string_view old, std::string_view value, FieldLoc loc) {
    if (old.empty() || value.empty() || !equal_fold(old, value)) {
        add(field, value, loc);
        remove(field, old, loc);
        return;
    }
    const uint32_t key = key_of(value);
    const Views references = field.references();
    const Views object_lists = field.object_lists();
    pending_.reserve(pending_.size() + references.size() + object_lists.size());
    for (size_t k = 0; k < references.size(); ++k)
        pending_.push_back(
            Change{Kind::requeue_target, doc_.targets().tag(references[k], field.reference_id(k)), key, key, loc});
    for (size_t k = 0; k < object_lists.size(); ++k)
        pending_.push_back(Change{Kind::requeue_referencer,
                                  doc_.referencers().tag(object_lists[k], field.object_list_id(k)), key, key, loc});
}

void GraphEdit::add_all(const ClassDef& cls, ValuesView values, size_t slot) {
    const size_t count = std::min(values.size(), static_cast<size_t>(INT32_MAX) + 1);
    for (size_t i = 0; i < count; ++i) {
        const FieldDef* field = values[i].empty() ? nullptr : get_field_def(&cls, i);
        if (field) add(*field, values[i], FieldLoc{slot, static_cast<int32_t>(i)});
    }
}

void GraphEdit::move_entry(std::string_view tag, std::string_view from, std::string_view to) {
    const uint32_t from_key = key_of(from);
    const uint32_t to_key = key_of(to);
    if (from_key == to_key) return;
    const uint32_t number = doc_.referencers().find_tag(tag);
    if (number == RefMap::kNoTag) return;  // nothing registered under the tag: nothing moves
    pending_.push_back(Change{Kind::move, number, from_key, to_key, FieldLoc{0, 0}});
}

void GraphEdit::prepare() {
    // After every addition, so the room made in a target is what it needs.
    for (Change& change : pending_) {
        edit_fault_point();
        change.made = change.kind == Kind::move
                          ? doc_.referencers().prepare_move(change.tag, keys_[change.key], keys_[change.to_key])
                          : map(change.kind).prepare_requeue(change.tag, keys_[change.key]);
    }
    prepared_ = true;
}

void GraphEdit::commit() noexcept {
    for (const Change& change : removed_) map(change.kind).remove_key(change.tag, keys_[change.key], change.loc);
    if (prepared_)
        for (const Change& change : pending_) {
            if (change.kind == Kind::move)
                doc_.referencers().commit_move(change.tag, keys_[change.key], keys_[change.to_key]);
            else
                map(change.kind).requeue(change.tag, keys_[change.key], change.loc);
        }
    committed_ = true;
}

// ---------------------------------------------------------------------------
// Edits

size_t Document::add_object(uint32_t class_idx) {
    FieldValues values;
    const ClassDef* cls = schema_ && class_idx < schema_->ordered_classes.size() ? &schema_->ordered_classes[class_idx]
                                                                                 : nullptr;
    if (cls && cls->min_fields > 0) values.resize(static_cast<size_t>(cls->min_fields));
    return add_object(class_idx, std::move(values));
}

size_t Document::add_object(uint32_t class_idx, FieldValues values, bool registered) {
    const ClassDef* cls = schema_ && class_idx < schema_->ordered_classes.size() ? &schema_->ordered_classes[class_idx]
                                                                                 : nullptr;
    return add_object(*this, cls, class_idx, std::move(values), registered);
}

size_t Document::add_object(SlotHost& host, const ClassDef* cls, uint32_t class_idx, FieldValues values,
                            bool registered) {
    edit_fault_point();
    const size_t slot = host.slot_count();
    GraphEdit edit(*this);
    if (registered && cls) edit.add_all(*cls, values.view(), slot);
    edit.prepare();
    // The slots' class indices mean the schema's classes, when there is one;
    // without, the class is found by its name.
    ClassEntry* entry = nullptr;
    if (schema_) {
        entry = entry_of(class_idx, true);
    } else if (cls) {
        const ClassKey key(cls->name);
        entry = &index_.get(key.view());
    }
    edit_fault_point();
    host.append(class_idx, std::move(values));
    if (entry) {
        try {
            entry->append(slot);
        } catch (...) {
            host.unappend();
            throw;
        }
        ObjectView added;
        if (NameIndex* names = entry->names();
            names && host.view(slot, added) == SlotState::object && !added.values.empty()) {
            try {
                edit_fault_point();
                names->insert(added.values[0], slot);
            } catch (const std::bad_alloc&) {
                entry->set_names(nullptr);  // rebuilt on the next search
            }
        }
    }
    edit.commit();
    return slot;
}

void Document::append(uint32_t class_idx, FieldValues values) {
    touch();
    auto owned = std::make_unique<FieldValues>(std::move(values));
    slots_.push_back(Slot{0, 0, 0, class_idx, 1, nullptr});
    slots_.back().owned = owned.release();
}

void Document::unappend() noexcept {
    touch();
    delete slots_.back().owned;
    slots_.pop_back();
}

void write_value(FieldValues& values, size_t field_idx, std::string_view value, const ClassDef* cls, Document* graph,
                 size_t slot) {
    const size_t count = values.size();
    if (field_idx < count && values[field_idx] == value) return;
    if (field_idx >= count && value.empty()) return;
    const std::string_view old = values.view().at_or_empty(field_idx);
    const FieldDef* field = graph && cls && field_idx <= static_cast<size_t>(INT32_MAX) ? get_field_def(cls, field_idx)
                                                                                        : nullptr;
    if (field && field->references().empty() && field->object_lists().empty()) field = nullptr;
    std::optional<GraphEdit> edit;
    if (field) {
        edit.emplace(*graph);
        edit->replace(*field, old, value, FieldLoc{slot, static_cast<int32_t>(field_idx)});
        edit->prepare();
    }
    edit_fault_point();
    values.prepare(value.size() > old.size() ? value.size() - old.size() : 0, field_idx + 1);
    if (edit) edit->commit();
    values.set_prepared(field_idx, value);
}

void Document::prepare_value(size_t slot, size_t extra, size_t count) {
    edit_fault_point();
    own_values(slot).prepare(extra, count);
}

void Document::store_prepared(size_t slot, size_t field_idx, std::string_view value) noexcept {
    FieldValues& own = *slots_[slot].owned;
    const bool had_values = !own.empty();
    NameIndex* names = (field_idx == 0 || !had_values) ? names_of(slot) : nullptr;
    if (names && had_values) names->erase(own[0], slot);
    own.set_prepared(field_idx, value);
    if (!names) return;
    try {
        edit_fault_point();
        names->insert(own[0], slot);
    } catch (const std::bad_alloc&) {
        if (ClassEntry* entry = entry_of(slots_[slot].class_idx, false)) entry->set_names(nullptr);
    }
}

void Document::set_value(size_t slot, size_t field_idx, std::string_view value, const ClassDef* cls,
                         bool update_graph) {
    const ValuesView current = values(slot);
    if (field_idx < current.size() && current[field_idx] == value) return;
    if (field_idx >= current.size() && value.empty()) return;
    const std::string_view old = current.at_or_empty(field_idx);
    const FieldDef* field = update_graph && field_idx <= static_cast<size_t>(INT32_MAX)
                                ? get_field_def(cls ? cls : class_def(slot), field_idx)
                                : nullptr;
    if (field && field->references().empty() && field->object_lists().empty()) field = nullptr;
    std::optional<GraphEdit> edit;
    if (field) {
        edit.emplace(*this);
        edit->replace(*field, old, value, FieldLoc{slot, static_cast<int32_t>(field_idx)});
        edit->prepare();
    }
    const size_t old_size = old.size();
    prepare_value(slot, value.size() > old_size ? value.size() - old_size : 0, field_idx + 1);
    if (edit) edit->commit();
    store_prepared(slot, field_idx, value);
}

int32_t name_field_index(const ClassDef& cls) noexcept {
    const size_t count = std::min(cls.fields.size(), static_cast<size_t>(INT32_MAX));
    for (size_t i = 0; i < count; ++i)
        if (!cls.fields[i].references().empty()) return static_cast<int32_t>(i);
    return -1;
}

void referring_fields(const RefMap& referencers, const FieldDef& field, std::string_view name,
                      std::vector<FieldLoc>& out) {
    out.clear();
    const Views tags = field.references();
    size_t sources = 0;
    for (size_t t = 0; t < tags.size(); ++t) {
        if (repeats_earlier(tags, t)) continue;  // it would find the same entry again
        const LocRange locs = referencers.find(tags[t], name, field.reference_id(t));
        if (locs.empty()) continue;
        out.reserve(out.size() + locs.size());
        for (const FieldLoc loc : locs) out.push_back(loc);
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

void Document::rename_fields(FieldLoc name_loc, const FieldDef* name_field, std::string_view old,
                             std::string_view new_name, const std::vector<FieldLoc>& locs, bool whole, SlotHost& host) {
    const auto name_idx = static_cast<size_t>(name_loc.field_idx);
    // Room first, object by object (the locations ascend; the name field's
    // object may hold referring fields too): each field written grows by
    // the same number of bytes.
    const size_t growth = new_name.size() > old.size() ? new_name.size() - old.size() : 0;
    size_t name_done = 0;
    for (size_t i = 0; i < locs.size();) {
        size_t j = i;
        size_t count = 0;
        while (j < locs.size() && locs[j].obj_idx == locs[i].obj_idx) {
            count = std::max(count, static_cast<size_t>(locs[j].field_idx) + 1);
            ++j;
        }
        size_t fields = j - i;
        if (locs[i].obj_idx == name_loc.obj_idx) {
            ++fields;
            count = std::max(count, name_idx + 1);
            name_done = 1;
        }
        host.prepare(locs[i].obj_idx, growth * fields, count);
        i = j;
    }
    if (!name_done)
        host.prepare(name_loc.obj_idx, new_name.size() > old.size() ? new_name.size() - old.size() : 0, name_idx + 1);

    GraphEdit edit(*this);
    // The same name in another case: every registration stays where it is.
    if (name_field && !equal_fold(old, new_name)) {
        edit.add(*name_field, new_name, name_loc);
        edit.remove(*name_field, old, name_loc);
        const Views tags = whole ? name_field->references() : Views{};
        for (const FieldLoc& loc : locs) {
            ObjectView object;
            const ClassDef* cls = host.view(loc.obj_idx, object) == SlotState::object ? object.cls : nullptr;
            const FieldDef* field = cls ? get_field_def(cls, static_cast<size_t>(loc.field_idx)) : nullptr;
            if (!field) continue;
            edit.add(*field, new_name, loc, tags);
            edit.remove(*field, old, loc, tags);
        }
        for (size_t t = 0; t < tags.size(); ++t)
            if (!repeats_earlier(tags, t)) edit.move_entry(tags[t], old, new_name);
    }
    edit.prepare();
    // Nothing fails from here on.
    edit.commit();
    host.write(name_loc.obj_idx, name_idx, new_name);
    for (const FieldLoc& loc : locs) host.write(loc.obj_idx, static_cast<size_t>(loc.field_idx), new_name);
}

namespace {

// The values of the object that sits in a slot of `host`, or nothing.
bool values_in(const SlotHost& host, size_t slot, ValuesView& out) noexcept {
    ObjectView object;
    if (slot >= host.slot_count() || host.view(slot, object) != SlotState::object) return false;
    out = object.values;
    return true;
}

}  // namespace

size_t Document::rename(SlotHost& host, size_t slot, size_t name_idx, std::string_view new_name) {
    ObjectView renamed;
    if (host.view(slot, renamed) != SlotState::object) return 0;
    const ClassDef* cls = renamed.cls;
    const FieldDef* field = cls && name_idx <= static_cast<size_t>(INT32_MAX) ? get_field_def(cls, name_idx) : nullptr;
    const std::string old(renamed.values.at_or_empty(name_idx));  // a copy: writing moves the values
    std::vector<FieldLoc> locs;
    if (field && !old.empty()) referring_fields(referencers_, *field, old, locs);

    // Only fields that still hold the old name are written; when every
    // location registered under it does, its entries can move whole.
    const FieldLoc name_loc{slot, static_cast<int32_t>(name_idx)};
    bool whole = true;
    size_t kept = 0;
    for (const FieldLoc& loc : locs) {
        if (loc == name_loc) continue;  // the name itself, written with its own registrations
        ValuesView values;
        const bool present = loc.field_idx >= 0 && values_in(host, loc.obj_idx, values);
        const std::string_view value = present ? values.at_or_empty(static_cast<size_t>(loc.field_idx))
                                               : std::string_view();
        if (!equal_fold(value, old)) {
            whole = false;  // a registration the values no longer bear out
            continue;
        }
        if (value != new_name) locs[kept++] = loc;
    }
    locs.resize(kept);
    if (old == new_name && locs.empty()) return 0;
    rename_fields(name_loc, field, old, new_name, locs, whole, host);
    return locs.size();
}

std::optional<FieldLoc> Document::name_holder(const SlotHost& host, const FieldDef& field, std::string_view name,
                                              size_t slot) const noexcept {
    const Views references = field.references();
    for (size_t k = 0; k < references.size(); ++k)
        for (const FieldLoc loc : targets_.find(references[k], name, field.reference_id(k))) {
            ValuesView values;
            if (loc.obj_idx == slot || loc.field_idx < 0 || !values_in(host, loc.obj_idx, values)) continue;
            if (equal_fold(values.at_or_empty(static_cast<size_t>(loc.field_idx)), name)) return loc;
        }
    return std::nullopt;
}

void Document::trim(size_t slot) noexcept {
    touch();
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
    touch();
    Slot& s = slots_[slot];
    delete s.owned;
    s.owned = nullptr;
    s.count = 0;
    s.live = 0;
}

void Document::remove_object(size_t slot) noexcept {
    if (!live(slot)) return;
    ClassEntry* entry = nullptr;
    try {
        entry = entry_of(slots_[slot].class_idx, false);
    } catch (const std::bad_alloc&) {
    }
    remove_object(*this, slot, entry);
}

ClassEntry* Document::entry_of_object(const SlotHost& host, size_t slot) {
    ObjectView view;
    if (host.view(slot, view) != SlotState::object) return nullptr;
    const ClassKey key(view.class_name);
    return index_.find(key.view());
}

void Document::remove_object(SlotHost& host, size_t slot, ClassEntry* entry) noexcept {
    ObjectView view;
    if (host.view(slot, view) != SlotState::object) return;
    if (entry) {
        if (NameIndex* names = entry->names(); names && !view.values.empty()) names->erase(view.values[0], slot);
        entry->erase_first(slot);
    }
    unregister_all(view.cls, view.values, slot);
    host.vacate(slot);
}

size_t Document::remove_class(std::string_view class_key) noexcept { return remove_class(*this, class_key); }

size_t Document::remove_class(SlotHost& host, std::string_view class_key) noexcept {
    ClassEntry* entry = index_.find(class_key);
    if (!entry || entry->empty()) return 0;
    size_t removed = 0;
    entry->for_each([&](size_t slot) {
        ObjectView view;
        if (host.view(slot, view) != SlotState::object) return;
        unregister_all(view.cls, view.values, slot);
        host.vacate(slot);
        ++removed;
    });
    index_.erase(class_key);
    return removed;
}

// ---------------------------------------------------------------------------
// Queries

namespace {
constexpr size_t kGraphScanMost = 8;  // locations of one name looked through before a class gets its name index
}  // namespace

size_t Document::find_by_name(std::string_view class_key, std::string_view name) noexcept {
    ClassEntry* entry = index_.find(class_key);
    if (!entry || entry->empty()) return SIZE_MAX;
    if (entry->ascending()) {
        // In class order the slots ascend, so the first match is the
        // smallest slot noted under the name. Where the first field names
        // the object under a reference tag, the graph already notes every
        // object under its name: no index to build.
        // (Only where no two classes of the schema share a name: an entry
        // then holds the objects of one class.)
        const bool one_class_a_key = schema_ && schema_->class_map.size() == schema_->ordered_classes.size();
        const ClassDef* cls = one_class_a_key && !name.empty() ? tarvix::find_class(*schema_, class_key) : nullptr;
        const FieldDef* first = cls ? get_field_def(cls, 0) : nullptr;
        const auto class_idx = cls ? static_cast<uint32_t>(cls - schema_->ordered_classes.data()) : 0u;
        // A name many objects share (repeats of one model) would be a long
        // scan each time: the class then gets its index as below.
        const LocRange named = first && !first->references().empty() && !entry->names()
                                   ? targets_.find(first->references()[0], name, first->reference_id(0))
                                   : LocRange();
        if (first && !first->references().empty() && !entry->names() && named.size() <= kGraphScanMost) {
            size_t found = SIZE_MAX;
            for (const FieldLoc loc : named) {
                if (loc.field_idx != 0 || loc.obj_idx >= found || !live(loc.obj_idx) ||
                    slots_[loc.obj_idx].class_idx != class_idx)
                    continue;
                const ValuesView current = values(loc.obj_idx);
                if (!current.empty() && equal_fold(current[0], name)) found = loc.obj_idx;
            }
            return found;
        }
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

size_t Document::find_by_name(const SlotHost& host, std::string_view class_key, std::string_view name) noexcept {
    if (&host == this) return find_by_name(class_key, name);
    const ClassEntry* entry = index_.find(class_key);
    if (!entry) return SIZE_MAX;
    size_t found = SIZE_MAX;
    entry->for_each([&](size_t slot) {
        ValuesView values;
        if (found == SIZE_MAX && values_in(host, slot, values) && !values.empty() && equal_fold(values[0], name))
            found = slot;
    });
    return found;
}

size_t Document::first_target(const SlotHost& host, const FieldDef& field, std::string_view value) const noexcept {
    const Views object_lists = field.object_lists();
    for (size_t k = 0; k < object_lists.size(); ++k)
        for (const FieldLoc loc : targets_.find(object_lists[k], value, field.object_list_id(k)))
            if (host.occupied(loc.obj_idx)) return loc.obj_idx;
    return SIZE_MAX;
}

void Document::referencing(const SlotHost& host, const FieldDef& field, std::string_view value,
                           std::vector<size_t>& out) const {
    const Views references = field.references();
    for (size_t k = 0; k < references.size(); ++k)
        for (const FieldLoc loc : referencers_.find(references[k], value, field.reference_id(k)))
            if (host.occupied(loc.obj_idx)) out.push_back(loc.obj_idx);
}

}  // namespace tarvix
