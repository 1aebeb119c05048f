#include "core/refgraph.h"

#include <new>

#include "core/text.h"

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

void RefEntry::take_all(RefEntry& other) {
    locs_.reserve(locs_.size() + other.locs_.size());
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

void RefMap::add(std::string_view tag, std::string_view value, FieldLoc loc, const char* qualified_name) noexcept {
    try {
        auto outer = tags_.find(tag);
        if (outer == tags_.end()) outer = tags_.emplace(std::string(tag), Values{}).first;
        const UpperKey key(value);
        auto inner = outer->second.find(key.view());
        if (inner == outer->second.end()) inner = outer->second.emplace(std::string(key.view()), RefEntry{}).first;
        inner->second.add(loc);
    } catch (const std::bad_alloc&) {
        report_internal_failure(qualified_name);
    }
}

void RefMap::remove(std::string_view tag, std::string_view value, FieldLoc loc) noexcept {
    const auto outer = tags_.find(tag);
    if (outer == tags_.end()) return;
    try {
        const UpperKey key(value);
        const auto inner = outer->second.find(key.view());
        if (inner == outer->second.end()) return;
        inner->second.remove(loc);
        if (inner->second.empty()) {
            outer->second.erase(inner);
            if (outer->second.empty()) tags_.erase(outer);
        }
    } catch (const std::bad_alloc&) {
        // Only a long value's key buffer can fail to grow; the entry stays.
    }
}

void RefMap::move_value(std::string_view tag, std::string_view from, std::string_view to,
                        const char* qualified_name) noexcept {
    const auto outer = tags_.find(tag);
    if (outer == tags_.end()) return;
    Values& values = outer->second;
    try {
        const UpperKey from_key(from);
        const UpperKey to_key(to);
        if (from_key.view() == to_key.view() || values.find(from_key.view()) == values.end()) return;
        // The target entry is made first: inserting may move the entries.
        auto target = values.find(to_key.view());
        if (target == values.end()) {
            target = values.emplace(std::string(to_key.view()), RefEntry{}).first;
            const auto source = values.find(from_key.view());
            target->second = std::move(source->second);  // the whole entry, its position index included
            values.erase(source);
            return;
        }
        const auto source = values.find(from_key.view());
        target->second.take_all(source->second);
        values.erase(source);
    } catch (const std::bad_alloc&) {
        report_internal_failure(qualified_name);
    }
}

const std::vector<FieldLoc>* RefMap::find(std::string_view tag, std::string_view value) const noexcept {
    const auto outer = tags_.find(tag);
    if (outer == tags_.end()) return nullptr;
    try {
        const UpperKey key(value);
        const auto inner = outer->second.find(key.view());
        return inner == outer->second.end() ? nullptr : &inner->second.locs();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace tarvix::idf
