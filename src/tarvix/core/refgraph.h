// The reference graph of a document: for every tag and every upper-cased
// value, where that value occurs. One RefMap holds the defining side (fields
// with reference tags), another the referring side (fields with object-list
// tags).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/hash.h"

namespace tarvix::idf {

// Where a value occurs: object index in the document and field index.
struct FieldLoc {
    size_t obj_idx;
    int32_t field_idx;
    bool operator==(const FieldLoc&) const = default;
};

// The locations registered under one tag and value, in registration order
// except that a removal moves the last location into the removed one's place.
// Removal is constant time however many locations share the value: a long
// entry keeps an index of where each location sits.
class RefEntry {
public:
    RefEntry() = default;
    explicit RefEntry(std::vector<FieldLoc> locs) noexcept : locs_(std::move(locs)) {}
    RefEntry(RefEntry&&) noexcept = default;
    RefEntry& operator=(RefEntry&&) noexcept = default;
    RefEntry(const RefEntry& other) : locs_(other.locs_) {}
    RefEntry& operator=(const RefEntry& other) {
        locs_ = other.locs_;
        positions_.reset();
        return *this;
    }

    const std::vector<FieldLoc>& locs() const noexcept { return locs_; }
    bool empty() const noexcept { return locs_.empty(); }

    void add(FieldLoc loc);                // throws std::bad_alloc
    // Appends the locations of `other` and empties it. Throws
    // std::bad_alloc with both unchanged.
    void take_all(RefEntry& other);
    bool remove(FieldLoc loc) noexcept;    // the first equal location; false when there is none

private:
    struct LocHash {
        HashKey key = process_hash_key();
        size_t operator()(const FieldLoc& loc) const noexcept {
            const uint64_t words[2] = {loc.obj_idx, static_cast<uint32_t>(loc.field_idx)};
            return siphash13(key, words, sizeof words);
        }
    };
    // Where a location sits, when it sits in one place only; `copies` counts
    // how often it is registered (more than once only for a field whose
    // definition repeats a tag).
    struct Position {
        size_t index;
        size_t copies;
    };
    static constexpr size_t kUnknown = SIZE_MAX;
    static constexpr size_t kIndexFrom = 16;  // shorter entries are scanned

    size_t first_index_of(FieldLoc loc) const noexcept;
    void note_last() noexcept;  // enters the last location in the position index, when there is one
    void build_positions();

    std::vector<FieldLoc> locs_;
    std::unique_ptr<std::unordered_map<FieldLoc, Position, LocHash>> positions_;
};

// tag -> upper-cased value -> locations.
class RefMap {
public:
    using Values = StringMap<RefEntry>;
    using Tags = StringMap<Values>;

    // Adds a location under [tag][upper(value)]. Reports its own allocation
    // failure under `qualified_name` and returns normally, the entry missing.
    void add(std::string_view tag, std::string_view value, FieldLoc loc, const char* qualified_name) noexcept;

    // Removes the first equal location; erases entries that become empty.
    // Missing tags, values or locations are not an error.
    void remove(std::string_view tag, std::string_view value, FieldLoc loc) noexcept;

    // Locations under [tag][upper(value)], or null.
    const std::vector<FieldLoc>* find(std::string_view tag, std::string_view value) const noexcept;

    // Moves every location under [tag][upper(from)] to [tag][upper(to)],
    // after those already there: one step however many locations move.
    // Reports its own allocation failure under `qualified_name`; the
    // locations then stay where they were.
    void move_value(std::string_view tag, std::string_view from, std::string_view to,
                    const char* qualified_name) noexcept;

    const Tags& tags() const noexcept { return tags_; }
    Tags& tags() noexcept { return tags_; }
    bool empty() const noexcept { return tags_.empty(); }

private:
    Tags tags_;
};

// The value with ASCII letters upper-cased, in a buffer on the stack for
// short values (names nearly always are).
class UpperKey {
public:
    explicit UpperKey(std::string_view value);
    std::string_view view() const noexcept { return {data_, size_}; }

private:
    char small_[128];
    std::unique_ptr<char[]> large_;
    const char* data_;
    size_t size_;
};

}  // namespace tarvix::idf
