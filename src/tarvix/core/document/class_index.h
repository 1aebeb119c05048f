// The per-class index of a document: for each class key (the class name
// with ASCII letters upper-cased), the slots of its objects in creation
// order. Removing an object marks its place and the entry is compacted once
// half of it is marked, so removing objects one at a time costs constant
// time each, not a shift of the whole entry.
//
// An entry can also keep a name index (upper-cased first value -> slots), so
// that finding an object of a large class by its name is a hash look-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/hash.h"
#include "core/base/pod_vector.h"

namespace tarvix {

// Slots of a class by their first value, upper-cased; each set in slot order.
// Objects without any value are not in it.
class NameIndex {
public:
    void insert(std::string_view name, size_t slot);  // throws std::bad_alloc
    void erase(std::string_view name, size_t slot) noexcept;
    // The smallest slot noted under the name, or SIZE_MAX.
    size_t first(std::string_view name) const noexcept;

private:
    StringMap<std::set<size_t>> slots_;
};

class ClassEntry {
public:
    ClassEntry() = default;
    explicit ClassEntry(PodVector<size_t> slots) noexcept;

    // Live slots, in order.
    size_t size() const noexcept { return slots_.size() - removed_count_; }
    bool empty() const noexcept { return size() == 0; }
    template <class Each>
    void for_each(Each&& each) const {
        for (size_t i = 0; i < slots_.size(); ++i)
            if (!is_removed(i)) each(slots_[i]);
    }
    std::vector<size_t> live() const;  // throws std::bad_alloc

    void append(size_t slot);          // throws std::bad_alloc
    bool erase_first(size_t slot) noexcept;  // false when the slot is not in the entry

    // True while the slots are strictly increasing, as they are when objects
    // are only loaded and added (a restored entry may be in any order).
    bool ascending() const noexcept { return ascending_; }

    NameIndex* names() const noexcept { return names_.get(); }
    void set_names(std::unique_ptr<NameIndex> names) noexcept { names_ = std::move(names); }

private:
    bool is_removed(size_t i) const noexcept { return removed_count_ && (removed_[i / 64] >> (i % 64) & 1); }
    size_t find_position(size_t slot) const noexcept;
    void compact() noexcept;

    PodVector<size_t> slots_;
    PodVector<uint64_t> removed_;  // a bit per position, once something is removed
    size_t removed_count_ = 0;
    bool ascending_ = true;
    std::unique_ptr<NameIndex> names_;
};

class ClassIndex {
public:
    using Entries = StableStringMap<ClassEntry>;  // entries are pointed to (Document caches them)

    ClassEntry* find(std::string_view key) noexcept {
        const auto found = entries_.find(key);
        return found == entries_.end() ? nullptr : &found->second;
    }
    const ClassEntry* find(std::string_view key) const noexcept {
        const auto found = entries_.find(key);
        return found == entries_.end() ? nullptr : &found->second;
    }
    // The entry of a key, made empty when missing. Entries never move while
    // they exist.
    ClassEntry& get(std::string_view key);  // throws std::bad_alloc
    void erase(std::string_view key) noexcept {
        if (const auto found = entries_.find(key); found != entries_.end()) {
            entries_.erase(found);
            ++generation_;
        }
    }
    // Replaces every entry (a restored state).
    void assign(Entries entries) noexcept {
        entries_ = std::move(entries);
        ++generation_;
    }
    // Changes whenever an entry may have gone away, so that pointers to
    // entries kept elsewhere can be checked.
    uint64_t generation() const noexcept { return generation_; }

    // Number of live slots over all entries.
    size_t object_count() const noexcept;

    const Entries& entries() const noexcept { return entries_; }
    void drop_names() noexcept {
        for (auto& [key, entry] : entries_) entry.set_names(nullptr);
    }

private:
    Entries entries_;
    uint64_t generation_ = 0;
};

}  // namespace tarvix
