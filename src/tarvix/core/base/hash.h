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

#include "core/base/index_table.h"

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
// last entry into the erased one's place) and the house's IndexTable of
// entry numbers finds them; each entry's hash is kept, so no key is hashed
// again. Entries move when the map changes: hold no pointer to
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
        table_.reserve(count);
        entries_.reserve(count);
        hashes_.reserve(count);
    }

    iterator find(std::string_view key) noexcept { return entry_at(index_of(key, hash_of(key))); }
    const_iterator find(std::string_view key) const noexcept { return const_cast<StringMap*>(this)->find(key); }

    std::pair<iterator, bool> emplace(Key key, Value value) {
        const uint32_t hash = hash_of(key);
        if (const uint32_t at = index_of(key, hash); at != IndexTable::kNone) return {entry_at(at), false};
        return {insert_new(std::move(key), std::move(value), hash), true};
    }

    std::pair<iterator, bool> insert_or_assign(Key key, Value value) {
        const uint32_t hash = hash_of(key);
        if (const uint32_t at = index_of(key, hash); at != IndexTable::kNone) {
            iterator found = entry_at(at);
            found->second = std::move(value);
            return {found, false};
        }
        return {insert_new(std::move(key), std::move(value), hash), true};
    }

    // Erasing moves the last entry into the erased one's place.
    void erase(iterator entry) noexcept {
        const auto index = static_cast<uint32_t>(entry - entries_.data());
        table_.erase(hashes_[index], index);
        const auto last = static_cast<uint32_t>(entries_.size() - 1);
        if (index != last) {
            table_.renumber(hashes_[last], last, index);
            entries_[index] = std::move(entries_[last]);
            hashes_[index] = hashes_[last];
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
    uint32_t hash_of(std::string_view key) const noexcept { return static_cast<uint32_t>(hasher_(key)); }

    iterator entry_at(uint32_t index) noexcept { return index == IndexTable::kNone ? end() : entries_.data() + index; }

    uint32_t index_of(std::string_view key, uint32_t hash) const noexcept {
        return table_.find(hash, [&](uint32_t index) { return entries_[index].first == key; });
    }

    iterator insert_new(Key key, Value value, uint32_t hash) {
        if (entries_.size() >= IndexTable::kMaxEntries - 1) throw std::bad_alloc();
        table_.reserve(entries_.size() + 1);
        if (entries_.size() == entries_.capacity()) {
            const size_t grown = entries_.size() < 4 ? 4 : entries_.size() * 2;
            entries_.reserve(grown);
            hashes_.reserve(grown);
        }
        // Nothing below throws.
        entries_.emplace_back(std::move(key), std::move(value));
        hashes_.push_back(hash);
        table_.insert(hash, static_cast<uint32_t>(entries_.size() - 1));
        return &entries_.back();
    }

    StringHash hasher_;
    std::vector<value_type> entries_;
    std::vector<uint32_t> hashes_;
    IndexTable table_;
};

// A map whose entries never move while they exist, for entries that other
// structures point to.
template <class Value>
using StableStringMap = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

}  // namespace tarvix
