// Keyed hashing, and the hash maps keyed by text from input files (class
// names, field names, the names objects refer to). A file can choose its
// names freely; with a hash whose seed is public, names can be chosen so that
// they all land in one bucket and every look-up turns linear. SipHash-1-3
// under a key drawn at random once per process prevents that.
//
// The key travels inside each map's hasher, so a map built in one extension
// module is searched with the same key from another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvix {

struct HashKey {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
};

// The process's key, drawn from the operating system's random source on
// first use.
const HashKey& process_hash_key() noexcept;

uint64_t siphash13(const HashKey& key, const void* data, size_t size) noexcept;

// SipHash-1-3 of `word` (8 bytes) followed by `text` with its ASCII letters
// upper-cased, folding as it reads: names that differ only in case hash
// alike, and no folded copy is made.
uint64_t siphash13_folded(const HashKey& key, uint64_t word, const char* text, size_t size) noexcept;

struct StringHash {
    using is_transparent = void;
    HashKey key = process_hash_key();
    size_t operator()(std::string_view text) const noexcept { return siphash13(key, text.data(), text.size()); }
};

// Hash map keyed by byte strings, searchable with a string_view so that a
// look-up builds no temporary string. The entries sit back to back in one
// vector (iteration order: insertion order, except that erasing moves the
// last entry into the erased one's place) and an open-addressed table of
// entry numbers finds them; each entry's hash is kept, so growing never
// hashes a key again. Entries move when the map changes: hold no pointer to
// one across an insertion or an erasure. With string_view keys the map holds
// no copies: the text must outlive it.
template <class Value, class Key = std::string>
class StringMap {
public:
    using value_type = std::pair<Key, Value>;
    using iterator = value_type*;
    using const_iterator = const value_type*;

    StringMap() = default;

    size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    iterator begin() noexcept { return entries_.data(); }
    iterator end() noexcept { return entries_.data() + entries_.size(); }
    const_iterator begin() const noexcept { return entries_.data(); }
    const_iterator end() const noexcept { return entries_.data() + entries_.size(); }

    void clear() noexcept {
        entries_.clear();
        hashes_.clear();
        table_.clear();
    }

    void reserve(size_t count) {
        entries_.reserve(count);
        hashes_.reserve(count);
        if (table_capacity_for(count) > table_.size()) rebuild(table_capacity_for(count));
    }

    iterator find(std::string_view key) noexcept { return entry_at(position_of(key, hasher_(key))); }
    const_iterator find(std::string_view key) const noexcept { return const_cast<StringMap*>(this)->find(key); }

    // Inserts (key, value) unless the key is there; the entry and whether it
    // was inserted. Throws std::bad_alloc with the map unchanged.
    std::pair<iterator, bool> emplace(Key key, Value value) {
        const uint64_t hash = hasher_(key);
        if (const size_t at = position_of(key, hash); at != kNone) return {entry_at(at), false};
        return {insert_new(std::move(key), std::move(value), hash), true};
    }

    std::pair<iterator, bool> insert_or_assign(Key key, Value value) {
        const uint64_t hash = hasher_(key);
        if (const size_t at = position_of(key, hash); at != kNone) {
            iterator found = entry_at(at);
            found->second = std::move(value);
            return {found, false};
        }
        return {insert_new(std::move(key), std::move(value), hash), true};
    }

    void erase(iterator entry) noexcept {
        const size_t index = static_cast<size_t>(entry - entries_.data());
        remove_from_table(slot_of(index));
        const size_t last = entries_.size() - 1;
        if (index != last) {
            const size_t moved_slot = slot_of(last);
            entries_[index] = std::move(entries_[last]);
            hashes_[index] = hashes_[last];
            table_[moved_slot] = static_cast<uint32_t>(index + 1);
        }
        entries_.pop_back();
        hashes_.pop_back();
    }

    size_t erase(std::string_view key) noexcept {
        const iterator found = find(key);
        if (found == end()) return 0;
        erase(found);
        return 1;
    }

private:
    static constexpr size_t kNone = SIZE_MAX;

    // At most 7/8 of the table in use, and always a power of two.
    static size_t table_capacity_for(size_t count) {
        size_t capacity = 8;
        while (capacity - capacity / 8 <= count) capacity *= 2;
        return capacity;
    }

    iterator entry_at(size_t slot) noexcept { return slot == kNone ? end() : entries_.data() + table_[slot] - 1; }

    // The table slot holding the key, or kNone.
    size_t position_of(std::string_view key, uint64_t hash) const noexcept {
        if (table_.empty()) return kNone;
        const size_t mask = table_.size() - 1;
        for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const uint32_t entry = table_[slot];
            if (entry == 0) return kNone;
            if (hashes_[entry - 1] == hash && entries_[entry - 1].first == key) return slot;
        }
    }

    // The table slot of entry `index`.
    size_t slot_of(size_t index) const noexcept {
        const size_t mask = table_.size() - 1;
        size_t slot = hashes_[index] & mask;
        while (table_[slot] != index + 1) slot = (slot + 1) & mask;
        return slot;
    }

    iterator insert_new(Key key, Value value, uint64_t hash) {
        if (entries_.size() >= UINT32_MAX - 1) throw std::bad_alloc();
        const size_t wanted = table_capacity_for(entries_.size() + 1);
        if (wanted > table_.size()) rebuild(wanted);
        if (entries_.size() == entries_.capacity()) {
            const size_t grown = entries_.size() < 4 ? 4 : entries_.size() * 2;
            entries_.reserve(grown);
            hashes_.reserve(grown);
        }
        // Nothing below throws.
        entries_.emplace_back(std::move(key), std::move(value));
        hashes_.push_back(hash);
        const size_t mask = table_.size() - 1;
        size_t slot = hash & mask;
        while (table_[slot] != 0) slot = (slot + 1) & mask;
        table_[slot] = static_cast<uint32_t>(entries_.size());
        return &entries_.back();
    }

    void rebuild(size_t capacity) {
        std::vector<uint32_t> table(capacity, 0);
        const size_t mask = capacity - 1;
        for (size_t i = 0; i < entries_.size(); ++i) {
            size_t slot = hashes_[i] & mask;
            while (table[slot] != 0) slot = (slot + 1) & mask;
            table[slot] = static_cast<uint32_t>(i + 1);
        }
        table_.swap(table);
    }

    // Empties a table slot, moving later entries of the run back so that
    // every look-up still finds them without tombstones.
    void remove_from_table(size_t hole) noexcept {
        const size_t mask = table_.size() - 1;
        table_[hole] = 0;
        for (size_t slot = (hole + 1) & mask; table_[slot] != 0; slot = (slot + 1) & mask) {
            const size_t home = hashes_[table_[slot] - 1] & mask;
            // The entry may move to the hole when the hole lies between its
            // home slot and where it sits now (cyclically).
            const bool movable = hole <= slot ? (home <= hole || home > slot) : (home <= hole && home > slot);
            if (!movable) continue;
            table_[hole] = table_[slot];
            table_[slot] = 0;
            hole = slot;
        }
    }

    StringHash hasher_;
    std::vector<value_type> entries_;
    std::vector<uint64_t> hashes_;
    std::vector<uint32_t> table_;
};

// A map whose entries never move while they exist, for entries that other
// structures point to.
template <class Value>
using StableStringMap = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

}  // namespace tarvix
