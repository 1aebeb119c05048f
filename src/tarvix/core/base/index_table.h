// The house's one open-addressed table. A cell holds an entry's number
// (plus one; 0 is an empty cell) beside 32 bits of its key's hash; probing
// is linear, the table a power of two long and at most 7/8 full, and an
// erasure moves later cells of its run back instead of leaving tombstones.
// The table keeps no keys: its owner keeps the entries and says, for a cell
// whose hash bits agree, whether the entry there is the one looked for.
// Owners hash with the process's keyed SipHash, so no input can choose its
// collisions and every operation stays linear in what it touches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "core/base/pod_vector.h"

namespace tarvix {

class IndexTable {
public:
    static constexpr uint32_t kNone = UINT32_MAX;
    // Entry numbers go up to kMaxEntries - 1.
    static constexpr uint32_t kMaxEntries = UINT32_MAX - 1;

    bool empty() const noexcept { return cells_.size() == 0; }
    size_t capacity() const noexcept { return cells_.size(); }
    void clear() noexcept { cells_ = PodVector<uint64_t>(); }

    // The length the table takes for `count` entries.
    static size_t capacity_for(size_t count) noexcept {
        size_t capacity = 16;
        while (capacity - capacity / 8 <= count) capacity *= 2;
        return capacity;
    }

    // Room for `count` entries in all: rebuilt longer when it has less.
    // Throws std::bad_alloc with the table unchanged.
    void reserve(size_t count) {
        if (count >= kMaxEntries) throw std::bad_alloc();
        const size_t wanted = capacity_for(count);
        if (wanted > cells_.size()) rebuild(wanted);
    }

    // The entry under `hash` that `matches(entry)` accepts, or kNone.
    template <class Matches>
    uint32_t find(uint32_t hash, Matches&& matches) const noexcept {
        if (cells_.size() == 0) return kNone;
        const size_t mask = cells_.size() - 1;
        const uint64_t want = uint64_t{hash} << 32;
        for (size_t at = hash & mask;; at = (at + 1) & mask) {
            const uint64_t cell = cells_[at];
            if (cell == 0) return kNone;
            if ((cell & ~kEntryBits) != want) continue;
            const auto entry = static_cast<uint32_t>((cell & kEntryBits) - 1);
            if (matches(entry)) return entry;
        }
    }

    // Notes `entry` under `hash`, within the room reserved (an entry not in
    // the table yet).
    void insert(uint32_t hash, uint32_t entry) noexcept {
        const size_t mask = cells_.size() - 1;
        size_t at = hash & mask;
        while (cells_[at] != 0) at = (at + 1) & mask;
        cells_[at] = uint64_t{hash} << 32 | (uint64_t{entry} + 1);
    }

    // Forgets `entry` (noted under `hash`), moving later cells of its run
    // back so that every look-up still finds them.
    void erase(uint32_t hash, uint32_t entry) noexcept {
        const size_t mask = cells_.size() - 1;
        size_t hole = cell_of(hash, entry);
        cells_[hole] = 0;
        for (size_t at = (hole + 1) & mask; cells_[at] != 0; at = (at + 1) & mask) {
            const size_t home = (cells_[at] >> 32) & mask;
            // The cell may move to the hole when the hole lies between its
            // home and where it sits now (cyclically).
            const bool movable = hole <= at ? (home <= hole || home > at) : (home <= hole && home > at);
            if (!movable) continue;
            cells_[hole] = cells_[at];
            cells_[at] = 0;
            hole = at;
        }
    }

    // The entry noted as `from` (under `hash`) is now numbered `to`.
    void renumber(uint32_t hash, uint32_t from, uint32_t to) noexcept {
        cells_[cell_of(hash, from)] = uint64_t{hash} << 32 | (uint64_t{to} + 1);
    }

    // For owners that fetch ahead of their probes: the home cell of `hash`
    // brought towards the cache, and the entry found there (kNone when it is
    // empty; any entry, not necessarily the one a key's probe ends at).
    void prefetch(uint32_t hash) const noexcept {
        if (cells_.size() != 0) __builtin_prefetch(&cells_[hash & (cells_.size() - 1)]);
    }
    uint32_t at_home(uint32_t hash) const noexcept {
        if (cells_.size() == 0) return kNone;
        const uint64_t cell = cells_[hash & (cells_.size() - 1)];
        return cell == 0 ? kNone : static_cast<uint32_t>((cell & kEntryBits) - 1);
    }

private:
    static constexpr uint64_t kEntryBits = 0xffffffffULL;

    size_t cell_of(uint32_t hash, uint32_t entry) const noexcept {
        const size_t mask = cells_.size() - 1;
        const uint64_t cell = uint64_t{hash} << 32 | (uint64_t{entry} + 1);
        size_t at = hash & mask;
        while (cells_[at] != cell) at = (at + 1) & mask;
        return at;
    }

    void rebuild(size_t capacity) {
        PodVector<uint64_t> cells;
        cells.reserve(capacity);
        for (size_t i = 0; i < capacity; ++i) cells.push_back(0);
        const size_t mask = capacity - 1;
        for (const uint64_t cell : cells_) {
            if (cell == 0) continue;
            size_t at = (cell >> 32) & mask;
            while (cells[at] != 0) at = (at + 1) & mask;
            cells[at] = cell;
        }
        cells_ = std::move(cells);
    }

    PodVector<uint64_t> cells_;
};

}  // namespace tarvix
