#include "core/document/refgraph.h"

#include <new>

#include "core/text/text.h"

namespace tarvix::idf {

UpperKey::UpperKey(std::string_view value) : size_(value.size()) {
    char* target = small_;
    if (value.size() > sizeof small_) {
        large_.reset(new char[value.size()]);
        target = large_.get();
    }
    for (size_t i = 0; i < value.size(); ++i) target[i] = ascii_upper(value[i]);
    data_ = target;
}

// ---------------------------------------------------------------------------
// RefEntry

void RefEntry::build_positions() {
    auto positions = std::make_unique<std::unordered_map<FieldLoc, Position, LocHash>>();
    positions->reserve(locs_.size());
    for (size_t i = 0; i < locs_.size(); ++i) {
        auto [it, inserted] = positions->try_emplace(locs_[i], Position{i, 1});
        if (!inserted) {
            ++it->second.copies;
            it->second.index = kUnknown;
        }
    }
    positions_ = std::move(positions);
}

void RefEntry::note_last() noexcept {
    if (!positions_) return;
    try {
        auto [it, inserted] = positions_->try_emplace(locs_.back(), Position{locs_.size() - 1, 1});
        if (!inserted) {
            ++it->second.copies;
            it->second.index = kUnknown;
        }
    } catch (const std::bad_alloc&) {
        positions_.reset();  // the entry stays whole; removals scan until the index is rebuilt
    }
}

void RefEntry::add(FieldLoc loc) {
    locs_.push_back(loc);
    note_last();
}

void RefEntry::take_all(RefEntry& other) noexcept {
    for (const FieldLoc& loc : other.locs_) {
        locs_.push_back(loc);
        note_last();
    }
    other.locs_.clear();
    other.positions_.reset();
}

size_t RefEntry::first_index_of(FieldLoc loc) const noexcept {
    for (size_t i = 0; i < locs_.size(); ++i)
        if (locs_[i] == loc) return i;
    return kUnknown;
}

bool RefEntry::remove(FieldLoc loc) noexcept {
    if (!positions_ && locs_.size() >= kIndexFrom) {
        try {
            build_positions();
        } catch (const std::bad_alloc&) {
            positions_.reset();
        }
    }
    size_t index;
    if (positions_) {
        const auto found = positions_->find(loc);
        if (found == positions_->end()) return false;
        Position& position = found->second;
        index = position.index == kUnknown ? first_index_of(loc) : position.index;
        if (index == kUnknown) return false;
        if (--position.copies == 0)
            positions_->erase(found);
        else
            position.index = kUnknown;  // another copy remains: found again when needed
    } else {
        index = first_index_of(loc);
        if (index == kUnknown) return false;
    }
    // Swap-remove: the last location takes the removed one's place.
    const size_t last = locs_.size() - 1;
    if (index != last) {
        const FieldLoc moved = locs_[last];
        locs_[index] = moved;
        if (positions_) {
            Position& position = positions_->find(moved)->second;
            position.index = position.copies == 1 ? index : kUnknown;
        }
    }
    locs_.pop_back();
    return true;
}

// ---------------------------------------------------------------------------
// RefMap

namespace {

// The entry of a value under one tag, found by its upper-cased key; when
// that key cannot be made (a long value, no memory) by comparing every key
// of the tag ignoring case, so that a removal never fails.
RefMap::Values::iterator locate(RefMap::Values& values, std::string_view value) noexcept {
    try {
        const UpperKey key(value);
        return values.find(key.view());
    } catch (const std::bad_alloc&) {
        for (auto it = values.begin(); it != values.end(); ++it)
            if (equal_fold(it->first, value)) return it;
        return values.end();
    }
}

}  // namespace

void RefMap::add(std::string_view tag, std::string_view value, FieldLoc loc, FailureSite site) noexcept {
    try {
        const UpperKey key(value);
        add_key(tag, key.view(), loc);
    } catch (const std::bad_alloc&) {
        report_internal_failure(site);
    }
}

void RefMap::add_key(std::string_view tag, std::string_view key, FieldLoc loc) {
    auto outer = tags_.find(tag);
    const bool new_tag = outer == tags_.end();
    if (new_tag) outer = tags_.emplace(std::string(tag), Values{}).first;
    try {
        auto inner = outer->second.find(key);
        const bool new_value = inner == outer->second.end();
        if (new_value) inner = outer->second.emplace(std::string(key), RefEntry{}).first;
        try {
            inner->second.add(loc);
        } catch (...) {
            if (new_value) outer->second.erase(inner);  // the last entry: erasing moves no other
            throw;
        }
    } catch (...) {
        if (new_tag) tags_.erase(outer);
        throw;
    }
}

void RefMap::remove(std::string_view tag, std::string_view value, FieldLoc loc) noexcept {
    const auto outer = tags_.find(tag);
    if (outer == tags_.end()) return;
    const auto inner = locate(outer->second, value);
    if (inner == outer->second.end()) return;
    inner->second.remove(loc);
    if (inner->second.empty()) {
        outer->second.erase(inner);
        if (outer->second.empty()) tags_.erase(outer);
    }
}

void RefMap::remove_key(std::string_view tag, std::string_view key, FieldLoc loc) noexcept {
    const auto outer = tags_.find(tag);
    if (outer == tags_.end()) return;
    const auto inner = outer->second.find(key);
    if (inner == outer->second.end()) return;
    inner->second.remove(loc);
    if (inner->second.empty()) {
        outer->second.erase(inner);
        if (outer->second.empty()) tags_.erase(outer);
    }
}

void RefMap::drop_if_empty(std::string_view tag, std::string_view key) noexcept {
    const auto outer = tags_.find(tag);
    if (outer == tags_.end()) return;
    const auto inner = outer->second.find(key);
    if (inner != outer->second.end() && inner->second.empty()) outer->second.erase(inner);
    if (outer->second.empty()) tags_.erase(outer);
}

bool RefMap::prepare_move(std::string_view tag, std::string_view from, std::string_view to) {
    const auto outer = tags_.find(tag);
    if (outer == tags_.end() || from == to) return false;
    Values& values = outer->second;
    const auto source = values.find(from);
    if (source == values.end()) return false;
    const size_t moving = source->second.locs().size();
    auto target = values.find(to);
    if (target == values.end()) {
        values.emplace(std::string(to), RefEntry{});  // the whole source entry moves in: no room needed
        return true;
    }
    target->second.reserve(target->second.locs().size() + moving);
    return false;
}

void RefMap::commit_move(std::string_view tag, std::string_view from, std::string_view to) noexcept {
    const auto outer = tags_.find(tag);
    if (outer == tags_.end() || from == to) return;
    Values& values = outer->second;
    const auto source = values.find(from);
    const auto target = values.find(to);
    if (source == values.end() || target == values.end()) return;
    if (target->second.empty())
        target->second = std::move(source->second);  // the whole entry, its position index included
    else
        target->second.take_all(source->second);
    values.erase(source);
}

bool RefMap::prepare_requeue(std::string_view tag, std::string_view key) {
    auto outer = tags_.find(tag);
    const bool new_tag = outer == tags_.end();
    if (new_tag) outer = tags_.emplace(std::string(tag), Values{}).first;
    try {
        auto inner = outer->second.find(key);
        const bool new_value = inner == outer->second.end();
        if (new_value) inner = outer->second.emplace(std::string(key), RefEntry{}).first;
        try {
            inner->second.reserve(inner->second.locs().size() + 1);
        } catch (...) {
            if (new_value) outer->second.erase(inner);
            throw;
        }
        return new_tag || new_value;
    } catch (...) {
        if (new_tag) tags_.erase(outer);
        throw;
    }
}

void RefMap::requeue(std::string_view tag, std::string_view key, FieldLoc loc) noexcept {
    const auto outer = tags_.find(tag);
    if (outer == tags_.end()) return;
    const auto inner = outer->second.find(key);
    if (inner == outer->second.end()) return;
    inner->second.remove(loc);
    inner->second.add(loc);  // within the room made: a location out, or room for one more
}

const std::vector<FieldLoc>* RefMap::find(std::string_view tag, std::string_view value) const noexcept {
    const auto outer = tags_.find(tag);
    if (outer == tags_.end()) return nullptr;
    auto& values = const_cast<Values&>(outer->second);
    const auto inner = locate(values, value);
    return inner == values.end() ? nullptr : &inner->second.locs();
}

}  // namespace tarvix::idf
