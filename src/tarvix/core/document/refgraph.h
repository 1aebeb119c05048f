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

#include "core/base/failure.h"
#include "core/base/hash.h"

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

    void add(FieldLoc loc);                // throws std::bad_alloc, the entry unchanged
    void reserve(size_t count) { locs_.reserve(count); }  // throws std::bad_alloc
    // Appends the locations of `other` and empties it; cannot fail once
    // room for them was reserved.
    void take_all(RefEntry& other) noexcept;
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
    // failure at `site` and returns normally, the entry missing
    // (for loading, where such a failure is reported once the load is done).
    void add(std::string_view tag, std::string_view value, FieldLoc loc, FailureSite site) noexcept;

    // Removes the first equal location; erases entries that become empty.
    // Missing tags, values or locations are not an error.
    void remove(std::string_view tag, std::string_view value, FieldLoc loc) noexcept;

    // Locations under [tag][upper(value)], or null.
    const std::vector<FieldLoc>* find(std::string_view tag, std::string_view value) const noexcept;

    // The same under a key already upper-cased, for edits that must happen
    // whole (see GraphEdit): add_key throws std::bad_alloc with the map
    // unchanged; remove_key and drop_if_empty cannot fail.
    void add_key(std::string_view tag, std::string_view key, FieldLoc loc);
    void remove_key(std::string_view tag, std::string_view key, FieldLoc loc) noexcept;
    // Erases the entry [tag][key] (and the tag) when it holds nothing.
    void drop_if_empty(std::string_view tag, std::string_view key) noexcept;
    // Moving every location under [tag][from] after those under [tag][to]
    // (keys upper-cased, different) in one step however many move:
    // prepare_move makes the target entry and room in it (throws
    // std::bad_alloc; true when it made the entry, which drop_if_empty then
    // takes back if the move is abandoned); commit_move, with nothing added
    // to the target in between, cannot fail.
    bool prepare_move(std::string_view tag, std::string_view from, std::string_view to);
    void commit_move(std::string_view tag, std::string_view from, std::string_view to) noexcept;
    // Registering a location again at the end of [tag][key] (a value whose
    // text changed but not its key): prepare_requeue makes the entry and
    // room for one more (throws std::bad_alloc; true when it made the entry
    // or the tag); requeue then cannot fail.
    bool prepare_requeue(std::string_view tag, std::string_view key);
    void requeue(std::string_view tag, std::string_view key, FieldLoc loc) noexcept;

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
