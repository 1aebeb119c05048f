#include "core/document/class_index.h"

#include <algorithm>
#include <new>

#include "core/document/refgraph.h"

namespace tarvix {

// ---------------------------------------------------------------------------
// NameIndex

void NameIndex::insert(std::string_view name, size_t slot) {
    const UpperKey key(name);
    auto found = slots_.find(key.view());
    if (found == slots_.end()) found = slots_.emplace(std::string(key.view()), std::set<size_t>{}).first;
    found->second.insert(slot);
}

void NameIndex::erase(std::string_view name, size_t slot) noexcept {
    try {
        const UpperKey key(name);
        const auto found = slots_.find(key.view());
        if (found == slots_.end()) return;
        found->second.erase(slot);
        if (found->second.empty()) slots_.erase(found);
    } catch (const std::bad_alloc&) {
        // Only a long name's key buffer can fail; the slot stays noted and is
        // checked again when it is found.
    }
}

size_t NameIndex::first(std::string_view name) const noexcept {
    try {
        const UpperKey key(name);
        const auto found = slots_.find(key.view());
        return found == slots_.end() || found->second.empty() ? SIZE_MAX : *found->second.begin();
    } catch (const std::bad_alloc&) {
        return SIZE_MAX;
    }
}

// ---------------------------------------------------------------------------
// ClassEntry

ClassEntry::ClassEntry(PodVector<size_t> slots) noexcept : slots_(std::move(slots)) {
    for (size_t i = 1; i < slots_.size(); ++i)
        if (slots_[i] <= slots_[i - 1]) ascending_ = false;
}

std::vector<size_t> ClassEntry::live() const {
    std::vector<size_t> out;
    out.reserve(size());
    for_each([&](size_t slot) { out.push_back(slot); });
    return out;
}

void ClassEntry::append(size_t slot) {
    if (removed_count_) removed_.ensure((slots_.size() + 1) / 64 + 1);
    slots_.push_back(slot);
    if (slots_.size() > 1 && slot <= slots_[slots_.size() - 2]) ascending_ = false;
    if (removed_count_ && removed_.size() < slots_.size() / 64 + 1) removed_.push_back(0);
}

size_t ClassEntry::find_position(size_t slot) const noexcept {
    size_t i = 0;
    if (ascending_) i = static_cast<size_t>(std::lower_bound(slots_.begin(), slots_.end(), slot) - slots_.begin());
    for (; i < slots_.size(); ++i) {
        if (slots_[i] == slot && !is_removed(i)) return i;
        if (ascending_ && slots_[i] > slot) break;
    }
    return SIZE_MAX;
}

bool ClassEntry::erase_first(size_t slot) noexcept {
    const size_t i = find_position(slot);
    if (i == SIZE_MAX) return false;
    if (removed_count_ == 0) {
        try {
            removed_.ensure(slots_.size() / 64 + 1);
        } catch (const std::bad_alloc&) {
            // No room for the marks: shift the entry instead.
            std::copy(slots_.begin() + i + 1, slots_.end(), slots_.begin() + i);
            slots_.pop_back();
            return true;
        }
        removed_.clear();
        for (size_t w = 0; w < slots_.size() / 64 + 1; ++w) removed_.push_back(0);
    }
    removed_[i / 64] |= uint64_t{1} << (i % 64);
    ++removed_count_;
    if (removed_count_ * 2 > slots_.size()) compact();
    return true;
}

void ClassEntry::compact() noexcept {
    size_t kept = 0;
    for (size_t i = 0; i < slots_.size(); ++i)
        if (!is_removed(i)) slots_[kept++] = slots_[i];
    slots_.resize_down(kept);
    removed_.clear();
    removed_count_ = 0;
}

// ---------------------------------------------------------------------------
// ClassIndex

ClassEntry& ClassIndex::get(std::string_view key) {
    auto found = entries_.find(key);
    if (found == entries_.end()) found = entries_.emplace(std::string(key), ClassEntry{}).first;
    return found->second;
}

size_t ClassIndex::object_count() const noexcept {
    size_t count = 0;
    for (const auto& [key, entry] : entries_) count += entry.size();
    return count;
}

}  // namespace tarvix
