#include "core/document/refgraph.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "core/text/text.h"

namespace tarvix {

UpperKey::UpperKey(std::string_view value) : size_(value.size()) {
    char* target = small_;
    if (value.size() > sizeof small_) {
        large_.reset(new char[value.size()]);
        target = large_.get();
    }
    for (size_t i = 0; i < value.size(); ++i) target[i] = ascii_upper(value[i]);
    data_ = target;
}

namespace {}  // namespace

RefMap::RefMap() = default;
RefMap::~RefMap() = default;

PackedLoc RefMap::pack(FieldLoc loc) {
    PackedLoc out;
    if (pack_found(loc, out)) return out;
    if (aside_.size() >= INT32_MAX) throw std::bad_alloc();
    aside_.push_back(loc);
    return {UINT32_MAX, static_cast<int32_t>(aside_.size() - 1)};
}

bool RefMap::pack_found(FieldLoc loc, PackedLoc& out) const noexcept {
    if (loc.obj_idx < UINT32_MAX) {
        out = {static_cast<uint32_t>(loc.obj_idx), loc.field_idx};
        return true;
    }
    for (size_t i = 0; i < aside_.size(); ++i)
        if (aside_[i] == loc) {
            out = {UINT32_MAX, static_cast<int32_t>(i)};
            return true;
        }
    return false;
}

void RefMap::assign(RefMap&& other) noexcept {
    aside_ = std::move(other.aside_);
    entries_ = std::move(other.entries_);
    table_ = std::move(other.table_);
    free_ = std::exchange(other.free_, kNoTag);
    live_ = std::exchange(other.live_, 0);
    locs_ = std::move(other.locs_);
    locs_garbage_ = std::exchange(other.locs_garbage_, 0);
    keys_ = std::move(other.keys_);
    keys_garbage_ = std::exchange(other.keys_garbage_, 0);
    positions_ = std::move(other.positions_);
    free_positions_ = std::move(other.free_positions_);
    tag_names_ = std::move(other.tag_names_);
    tag_ids_ = std::move(other.tag_ids_);
    from_schema_ = std::move(other.from_schema_);
    tag_text_ = std::move(other.tag_text_);
}

void RefMap::clear() noexcept {
    entries_.clear();
    table_.clear();
    free_ = kNoTag;
    live_ = 0;
    locs_.clear();
    locs_garbage_ = 0;
    keys_.clear();
    keys_garbage_ = 0;
    positions_.clear();
    free_positions_.clear();
    aside_.clear();
}

void RefMap::shrink_to_fit() noexcept {
    if (free_ == kNoTag) entries_.shrink_to_fit();  // a free entry links others: the array stays as it is
    locs_.shrink_to_fit();
    keys_.shrink_to_fit();
}

// ---------------------------------------------------------------------------
// Tags

uint32_t RefMap::find_tag(std::string_view name, uint32_t schema_id) const noexcept {
    if (schema_id < from_schema_.size()) {
        const uint32_t tag = from_schema_[schema_id];
        if (tag != kNoTag && tag_names_[tag] == name) return tag;
    }
    const auto found = tag_ids_.find(name);
    return found == tag_ids_.end() ? kNoTag : found->second;
}

uint32_t RefMap::tag(std::string_view name, uint32_t schema_id) {
    uint32_t tag = find_tag(name, schema_id);
    if (tag == kNoTag) {
        if (tag_names_.size() >= kNoTag - 1) throw std::bad_alloc();
        tag_names_.reserve(tag_names_.size() + 1);
        tag_ids_.reserve(tag_ids_.size() + 1);
        const std::string_view kept = name.empty() ? std::string_view() : tag_text_.copy(name);
        tag = static_cast<uint32_t>(tag_names_.size());
        tag_ids_.emplace(kept, tag);  // room reserved: cannot fail
        tag_names_.push_back(kept);
    }
    if (schema_id != kNoTag && schema_id < (1u << 24)) {
        if (schema_id >= from_schema_.size()) from_schema_.resize(schema_id + 1, kNoTag);
        from_schema_[schema_id] = tag;
    }
    return tag;
}

// ---------------------------------------------------------------------------
// The table

uint64_t RefMap::value_hash(std::string_view key) noexcept {
    return siphash13_folded(process_hash_key(), 0, key.data(), key.size());
}

uint32_t RefMap::find_entry(uint32_t tag, std::string_view key, uint32_t hash) const noexcept {
    const uint32_t found = table_.find(hash, [&](uint32_t index) {
        const Entry& e = entries_[index];
        return e.tag == tag && equal_fold(key_of(e), key);
    });
    return found == IndexTable::kNone ? kNoTag : found;
}

void RefMap::reserve_entry(size_t key_size) {
    if (live_ >= kNoTag - 2) throw std::bad_alloc();
    table_.reserve(live_ + 1);
    if (free_ == kNoTag) entries_.ensure(entries_.size() + 1);
    if (key_size) {
        if (key_size >= kInPool || keys_.size() + key_size >= kNoTag) throw std::bad_alloc();
        keys_.ensure(keys_.size() + key_size);
    }
}

uint32_t RefMap::make_entry(uint32_t tag, std::string_view key, uint32_t hash) noexcept {
    Entry e{hash, tag, static_cast<uint32_t>(key.size()), 0, static_cast<uint32_t>(locs_.size()), 0, 0, 0};
    if (in_text(key)) {
        e.key_at = static_cast<uint32_t>(key.data() - text_);
    } else {
        e.key_at = static_cast<uint32_t>(keys_.size());
        e.key_len |= kInPool;
        for (char c : key) keys_.push_back(c);  // room reserved
    }
    uint32_t index;
    if (free_ != kNoTag) {
        index = free_;
        free_ = entries_[index].begin;
        entries_[index] = e;
    } else {
        index = static_cast<uint32_t>(entries_.size());
        entries_.push_back(e);  // room reserved
    }
    table_.insert(hash, index);
    ++live_;
    return index;
}

void RefMap::erase_entry(uint32_t index) noexcept {
    Entry& e = entries_[index];
    table_.erase(e.hash, index);
    drop_positions(e);
    locs_garbage_ += e.cap;
    if (e.key_len & kInPool) keys_garbage_ += e.key_len & ~kInPool;
    e.tag = kNoTag;
    e.count = e.cap = 0;
    e.begin = free_;
    free_ = index;
    --live_;
    if (live_ == 0) {
        clear();
        return;
    }
    if (locs_garbage_ > 4096 && locs_garbage_ * 2 > locs_.size()) compact_locs();
    if (keys_garbage_ > 4096 && keys_garbage_ * 2 > keys_.size()) compact_keys();
}

// ---------------------------------------------------------------------------
// Runs of locations

void RefMap::grow_run(uint32_t index, size_t extra) {
    Entry& e = entries_[index];
    const size_t needed = size_t{e.count} + extra;
    if (needed <= e.cap) return;
    if (needed >= kNoTag) throw std::bad_alloc();
    if (e.begin + e.cap == locs_.size()) {
        // The last run grows in place.
        const size_t cap = std::max<size_t>(needed, e.cap + e.cap / 2);
        if (e.begin + cap >= kNoTag) throw std::bad_alloc();
        locs_.ensure(e.begin + cap);
        while (locs_.size() < e.begin + cap) locs_.push_back(PackedLoc{0, 0});
        e.cap = static_cast<uint32_t>(cap);
        return;
    }
    const size_t cap = std::max<size_t>(needed, size_t{e.cap} * 2);
    if (locs_.size() + cap >= kNoTag) throw std::bad_alloc();
    locs_.ensure(locs_.size() + cap);
    const auto begin = static_cast<uint32_t>(locs_.size());
    for (uint32_t i = 0; i < e.count; ++i) locs_.push_back(locs_[e.begin + i]);
    while (locs_.size() < begin + cap) locs_.push_back(PackedLoc{0, 0});
    locs_garbage_ += e.cap;
    e.begin = begin;
    e.cap = static_cast<uint32_t>(cap);
}

void RefMap::compact_locs() noexcept {
    // Runs keep their order in the pool, so each moves down, never over
    // one not yet moved.
    std::vector<uint32_t> order;
    try {
        order.reserve(live_);
    } catch (const std::bad_alloc&) {
        return;  // stays as it is, room wasted until the next try
    }
    for (uint32_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].tag != kNoTag) order.push_back(i);
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return entries_[a].begin < entries_[b].begin; });
    uint32_t at = 0;
    for (const uint32_t i : order) {
        Entry& e = entries_[i];
        if (e.begin != at) std::memmove(locs_.data() + at, locs_.data() + e.begin, size_t{e.count} * sizeof(PackedLoc));
        e.begin = at;
        e.cap = e.count;
        at += e.count;
    }
    locs_.resize_down(at);
    locs_garbage_ = 0;
}

void RefMap::compact_keys() noexcept {
    PodVector<char> keys;
    try {
        keys.reserve(keys_.size() - keys_garbage_ + 1);
    } catch (const std::bad_alloc&) {
        return;
    }
    for (size_t i = 0; i < entries_.size(); ++i) {
        Entry& e = entries_[i];
        if (e.tag == kNoTag || !(e.key_len & kInPool)) continue;
        const std::string_view key = key_of(e);
        e.key_at = static_cast<uint32_t>(keys.size());
        for (char c : key) keys.push_back(c);
    }
    keys_ = std::move(keys);
    keys_garbage_ = 0;
}

void RefMap::append_loc(uint32_t index, PackedLoc loc) noexcept {
    Entry& e = entries_[index];
    locs_[e.begin + e.count++] = loc;
    note_last(e);
}

void RefMap::build_positions(Entry& e) {
    auto positions = std::make_unique<Positions>();
    positions->reserve(e.count);
    for (uint32_t i = 0; i < e.count; ++i) {
        auto [it, inserted] = positions->try_emplace(locs_[e.begin + i], Position{i, 1});
        if (!inserted) {
            ++it->second.copies;
            it->second.index = UINT32_MAX;
        }
    }
    uint32_t at;
    if (!free_positions_.empty()) {
        at = free_positions_.back();
        positions_[at] = std::move(positions);
        free_positions_.pop_back();
    } else {
        positions_.reserve(positions_.size() + 1);
        free_positions_.reserve(positions_.size() + 1);  // so that dropping never fails
        at = static_cast<uint32_t>(positions_.size());
        positions_.push_back(std::move(positions));
    }
    e.positions = at + 1;
}

void RefMap::drop_positions(Entry& e) noexcept {
    if (!e.positions) return;
    positions_[e.positions - 1].reset();
    free_positions_.push_back(e.positions - 1);  // room reserved when it was made
    e.positions = 0;
}

void RefMap::note_last(Entry& e) noexcept {
    if (!e.positions) return;
    Positions& positions = *positions_[e.positions - 1];
    try {
        auto [it, inserted] = positions.try_emplace(locs_[e.begin + e.count - 1], Position{e.count - 1, 1});
        if (!inserted) {
            ++it->second.copies;
            it->second.index = UINT32_MAX;
        }
    } catch (const std::bad_alloc&) {
        drop_positions(e);  // the run stays whole; removals scan until the index is rebuilt
    }
}

bool RefMap::remove_loc(uint32_t index, PackedLoc loc) noexcept {
    Entry& e = entries_[index];
    if (!e.positions && e.count >= kIndexFrom) {
        try {
            build_positions(e);
        } catch (const std::bad_alloc&) {
        }
    }
    PackedLoc* run = locs_.data() + e.begin;
    const auto scan = [&]() -> uint32_t {
        for (uint32_t i = 0; i < e.count; ++i)
            if (run[i] == loc) return i;
        return UINT32_MAX;
    };
    uint32_t at;
    if (e.positions) {
        Positions& positions = *positions_[e.positions - 1];
        const auto found = positions.find(loc);
        if (found == positions.end()) return false;
        Position& position = found->second;
        at = position.index == UINT32_MAX ? scan() : position.index;
        if (at == UINT32_MAX) return false;
        if (--position.copies == 0)
            positions.erase(found);
        else
            position.index = UINT32_MAX;  // another copy remains: found again when needed
    } else {
        at = scan();
        if (at == UINT32_MAX) return false;
    }
    // Swap-remove: the last location takes the removed one's place.
    const uint32_t last = e.count - 1;
    if (at != last) {
        const PackedLoc moved = run[last];
        run[at] = moved;
        if (e.positions) {
            Position& position = positions_[e.positions - 1]->find(moved)->second;
            position.index = position.copies == 1 ? at : UINT32_MAX;
        }
    }
    --e.count;
    return true;
}

// ---------------------------------------------------------------------------
// The operations

uint32_t RefMap::entry_with_room(uint32_t tag, std::string_view key, uint32_t hash, bool& made) {
    uint32_t index = find_entry(tag, key, hash);
    made = false;
    if (index == kNoTag) {
        reserve_entry(in_text(key) ? 0 : key.size());
        index = make_entry(tag, key, hash);
        made = true;
    }
    try {
        grow_run(index, 1);
    } catch (...) {
        if (made) erase_entry(index);
        throw;
    }
    return index;
}

void RefMap::add_key(uint32_t tag, std::string_view key, FieldLoc loc) {
    const PackedLoc packed = pack(loc);
    bool made;
    append_loc(entry_with_room(tag, key, made), packed);
}

void RefMap::add(std::string_view tag_name, std::string_view value, FieldLoc loc, FailureSite site,
                 uint32_t schema_id) noexcept {
    try {
        add_key(tag(tag_name, schema_id), value, loc);
    } catch (const std::bad_alloc&) {
        report_internal_failure(site);
    }
}

void RefMap::reserve_table(size_t entries) noexcept {
    try {
        table_.reserve(entries);
    } catch (const std::bad_alloc&) {
    }
}

void RefMap::add_many(Adding* adding, size_t count, FailureSite site) noexcept {
    for (size_t i = 0; i < count; ++i) adding[i].hash = tagged(adding[i].value_hash, adding[i].tag);
    // Three stages ahead: the table cell of a key far ahead, the entry a
    // nearer key's cell leads to, and the key text of a nearer one still.
    constexpr size_t kCellAhead = 16;
    constexpr size_t kEntryAhead = 8;
    constexpr size_t kKeyAhead = 4;
    for (size_t i = 0; i < count; ++i) {
        if (i + kCellAhead < count) table_.prefetch(adding[i + kCellAhead].hash);
        if (i + kEntryAhead < count) {
            const uint32_t index = table_.at_home(adding[i + kEntryAhead].hash);
            if (index != IndexTable::kNone) __builtin_prefetch(&entries_[index]);
        }
        if (i + kKeyAhead < count && text_) {
            const uint32_t index = table_.at_home(adding[i + kKeyAhead].hash);
            if (index != IndexTable::kNone && !(entries_[index].key_len & kInPool))
                __builtin_prefetch(text_ + entries_[index].key_at);
        }
        const Adding& a = adding[i];
        try {
            const PackedLoc packed = pack(a.loc);
            bool made;
            append_loc(entry_with_room(a.tag, a.key, a.hash, made), packed);
        } catch (const std::bad_alloc&) {
            report_internal_failure(site);
        }
    }
}

void RefMap::remove_key(uint32_t tag, std::string_view key, FieldLoc loc) noexcept {
    PackedLoc packed;
    if (tag == kNoTag || !pack_found(loc, packed)) return;
    const uint32_t index = find_entry(tag, key);
    if (index == kNoTag) return;
    remove_loc(index, packed);
    if (entries_[index].count == 0) erase_entry(index);
}

void RefMap::remove(std::string_view tag_name, std::string_view value, FieldLoc loc, uint32_t schema_id) noexcept {
    remove_key(find_tag(tag_name, schema_id), value, loc);
}

LocRange RefMap::find_key(uint32_t tag, std::string_view key) const noexcept {
    if (tag == kNoTag) return {};
    const uint32_t index = find_entry(tag, key);
    if (index == kNoTag) return {};
    const Entry& e = entries_[index];
    return {locs_.data() + e.begin, e.count, aside_.data()};
}

LocRange RefMap::find(std::string_view tag_name, std::string_view value, uint32_t schema_id) const noexcept {
    return find_key(find_tag(tag_name, schema_id), value);
}

void RefMap::drop_if_empty(uint32_t tag, std::string_view key) noexcept {
    if (tag == kNoTag) return;
    const uint32_t index = find_entry(tag, key);
    if (index != kNoTag && entries_[index].count == 0) erase_entry(index);
}

bool RefMap::prepare_move(uint32_t tag, std::string_view from, std::string_view to) {
    if (tag == kNoTag || equal_fold(from, to)) return false;
    const uint32_t source = find_entry(tag, from);
    if (source == kNoTag) return false;
    const size_t moving = entries_[source].count;
    uint32_t target = find_entry(tag, to);
    bool made = false;
    if (target == kNoTag) {
        const uint32_t hash = hash_of(tag, to);
        reserve_entry(to.size());
        target = make_entry(tag, to, hash);  // an empty entry with no run
        made = true;
    }
    try {
        grow_run(target, moving);
    } catch (...) {
        if (made) erase_entry(target);
        throw;
    }
    return made;
}

void RefMap::commit_move(uint32_t tag, std::string_view from, std::string_view to) noexcept {
    if (tag == kNoTag || equal_fold(from, to)) return;
    const uint32_t source = find_entry(tag, from);
    const uint32_t target = find_entry(tag, to);
    if (source == kNoTag || target == kNoTag) return;
    Entry& s = entries_[source];
    for (uint32_t i = 0; i < s.count; ++i) append_loc(target, locs_[s.begin + i]);  // within the room made
    s.count = 0;
    erase_entry(source);
}

bool RefMap::prepare_requeue(uint32_t tag, std::string_view key) {
    if (tag == kNoTag) return false;
    bool made;
    entry_with_room(tag, key, made);
    return made;
}

void RefMap::requeue(uint32_t tag, std::string_view key, FieldLoc loc) noexcept {
    PackedLoc packed;
    if (tag == kNoTag || !pack_found(loc, packed)) return;
    const uint32_t index = find_entry(tag, key);
    if (index == kNoTag) return;
    remove_loc(index, packed);
    append_loc(index, packed);  // within the room made: a location out, or room for one more
}

}  // namespace tarvix
