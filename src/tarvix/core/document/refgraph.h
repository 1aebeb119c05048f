// The reference graph of a document: for every tag and every value (ASCII
// letters in any case), where that value occurs. One RefMap holds the
// defining side (fields with reference tags), another the referring side
// (fields with object-list tags).
//
// A RefMap is one flat open-addressed table of entries keyed by (tag number,
// value): tags get their numbers from the schema (FieldDef::reference_ids),
// translated to the map's own numbers through a flat array, so a
// registration hashes only the value. The value is hashed and compared with
// its letters folded on the fly, so a key is never copied to be folded: a
// key registered from the loaded text is an offset into that text; any
// other key is copied once into the map's own key pool. Every entry's
// locations sit in one pooled array, each entry a run of it. The hash is
// SipHash-1-3 under the process's random key, so names cannot be chosen to
// collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/base/arena.h"
#include "core/base/failure.h"
#include "core/base/hash.h"
#include "core/base/index_table.h"
#include "core/base/pod_vector.h"

namespace tarvix {

// Where a value occurs: object index in the document and field index.
struct FieldLoc {
    size_t obj_idx;
    int32_t field_idx;
    bool operator==(const FieldLoc&) const = default;
};

// A location as an entry's run keeps it: an object index from UINT32_MAX
// up (only a restored state can bring one) is kept aside, the packed
// location then holding UINT32_MAX and its place there.
struct PackedLoc {
    uint32_t obj_idx;
    int32_t field_idx;
    FieldLoc loc(const FieldLoc* aside) const noexcept {
        return obj_idx == UINT32_MAX ? aside[field_idx] : FieldLoc{obj_idx, field_idx};
    }
    bool operator==(const PackedLoc&) const = default;
};

// The locations registered under one tag and value, in registration order
// except that a removal moves the last location into the removed one's
// place. Valid until the map changes.
class LocRange {
public:
    class iterator {
    public:
        iterator(const PackedLoc* at, const FieldLoc* aside) noexcept : at_(at), aside_(aside) {}
        FieldLoc operator*() const noexcept { return at_->loc(aside_); }
        iterator& operator++() noexcept {
            ++at_;
            return *this;
        }
        bool operator==(const iterator& other) const noexcept { return at_ == other.at_; }

    private:
        const PackedLoc* at_;
        const FieldLoc* aside_;
    };
    LocRange() noexcept = default;
    LocRange(const PackedLoc* begin, size_t size, const FieldLoc* aside) noexcept
        : begin_(begin), size_(size), aside_(aside) {}
    iterator begin() const noexcept { return iterator(begin_, aside_); }
    iterator end() const noexcept { return iterator(begin_ + size_, aside_); }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    FieldLoc operator[](size_t i) const noexcept { return begin_[i].loc(aside_); }

private:
    const PackedLoc* begin_ = nullptr;
    size_t size_ = 0;
    const FieldLoc* aside_ = nullptr;
};

class RefMap {
public:
    static constexpr uint32_t kNoTag = UINT32_MAX;

    RefMap();
    ~RefMap();
    RefMap(const RefMap&) = delete;
    RefMap& operator=(const RefMap&) = delete;
    // Takes every entry and tag of `other` (a restored state), keeping this
    // map's text.
    void assign(RefMap&& other) noexcept;

    // The text the loader registers values from: a value lying inside it is
    // kept as an offset, not copied. Set again when the text moves (its
    // first `size` bytes unchanged).
    void set_text(const char* base, size_t size) noexcept {
        text_ = base;
        text_size_ = size;
    }

    // The map's number of a tag (`schema_id`: the schema's number for it,
    // or kNoTag), made when missing (throws std::bad_alloc) or kNoTag.
    uint32_t tag(std::string_view name, uint32_t schema_id = kNoTag);
    uint32_t find_tag(std::string_view name, uint32_t schema_id = kNoTag) const noexcept;
    std::string_view tag_name(uint32_t tag) const noexcept { return tag_names_[tag]; }

    // Adds a location under [tag][value]. Reports its own allocation
    // failure at `site` and returns normally, the entry missing
    // (for loading, where such a failure is reported once the load is done).
    void add(std::string_view tag, std::string_view value, FieldLoc loc, FailureSite site,
             uint32_t schema_id = kNoTag) noexcept;
    // Adding many at once, in order, as add() each: the table cells and
    // entries of the keys a few places ahead are fetched while one is probed
    // (else each is a cache miss in a large map). `tag` is the map's number,
    // `value_hash` the key's value_hash() (one per value, whatever its
    // tags); `hash` is filled here.
    struct Adding {
        uint32_t tag;
        uint32_t hash;
        std::string_view key;
        FieldLoc loc;
        uint64_t value_hash;
    };
    // The keyed hash of a value (its letters folded), from which the hash of
    // the value under each tag is made without reading it again. Every map
    // hashes under the process's key, so one value hash serves both maps.
    static uint64_t value_hash(std::string_view key) noexcept;
    void add_many(Adding* adding, size_t count, FailureSite site) noexcept;
    // Room in the table for `entries` in all, so that it is not rebuilt as
    // it fills (a hint: nothing happens when there is no memory for it).
    void reserve_table(size_t entries) noexcept;
    // Removes the first equal location; erases entries that become empty.
    // Missing tags, values or locations are not an error.
    void remove(std::string_view tag, std::string_view value, FieldLoc loc, uint32_t schema_id = kNoTag) noexcept;
    // Locations under [tag][value]; empty when none.
    LocRange find(std::string_view tag, std::string_view value, uint32_t schema_id = kNoTag) const noexcept;

    // The same by the map's tag numbers, for edits that must happen whole
    // (see GraphEdit): add_key throws std::bad_alloc with the map unchanged;
    // remove_key and drop_if_empty cannot fail.
    void add_key(uint32_t tag, std::string_view key, FieldLoc loc);
    void remove_key(uint32_t tag, std::string_view key, FieldLoc loc) noexcept;
    LocRange find_key(uint32_t tag, std::string_view key) const noexcept;
    // Erases the entry [tag][key] when it holds nothing.
    void drop_if_empty(uint32_t tag, std::string_view key) noexcept;
    // Moving every location under [tag][from] after those under [tag][to]
    // (keys different ignoring case) in one step however many move:
    // prepare_move makes the target entry and room in it (throws
    // std::bad_alloc; true when it made the entry, which drop_if_empty then
    // takes back if the move is abandoned); commit_move, with nothing added
    // to the target in between, cannot fail.
    bool prepare_move(uint32_t tag, std::string_view from, std::string_view to);
    void commit_move(uint32_t tag, std::string_view from, std::string_view to) noexcept;
    // Registering a location again at the end of [tag][key] (a value whose
    // text changed but not its key): prepare_requeue makes the entry and
    // room for one more (throws std::bad_alloc; true when it made the
    // entry); requeue then cannot fail.
    bool prepare_requeue(uint32_t tag, std::string_view key);
    void requeue(uint32_t tag, std::string_view key, FieldLoc loc) noexcept;

    // Every entry: each(tag name, key as registered (any case), locations).
    template <class Each>
    void for_each(Each&& each) const {
        for (size_t i = 0; i < entries_.size(); ++i) {
            const Entry& e = entries_[i];
            if (e.tag == kNoTag) continue;
            each(tag_names_[e.tag], key_of(e), LocRange(locs_.data() + e.begin, e.count, aside_.data()));
        }
    }
    size_t size() const noexcept { return live_; }
    // Gives back the room its arrays grew into (a load is done).
    void shrink_to_fit() noexcept;
    bool empty() const noexcept { return live_ == 0; }
    void clear() noexcept;

private:
    struct Entry {
        uint32_t hash;
        uint32_t tag;      // kNoTag: a free entry (`begin` then links the free list)
        uint32_t key_len;  // top bit: the key is in the pool, else in the text
        uint32_t key_at;
        uint32_t begin;    // the run in locs_
        uint32_t count;
        uint32_t cap;
        uint32_t positions;  // 1 + index into positions_, 0 for none
    };
    static constexpr uint32_t kInPool = 0x80000000u;
    static constexpr uint32_t kIndexFrom = 16;  // shorter runs are scanned on removal

    // Where each location of a long run sits (see remove_at).
    struct Position {
        uint32_t index;  // UINT32_MAX: not known (the location sits in more than one place)
        uint32_t copies;
    };
    struct LocHash {
        HashKey key = process_hash_key();
        size_t operator()(const PackedLoc& loc) const noexcept {
            const uint64_t word = uint64_t{loc.obj_idx} << 32 | static_cast<uint32_t>(loc.field_idx);
            return siphash13(key, &word, sizeof word);
        }
    };
    using Positions = std::unordered_map<PackedLoc, Position, LocHash>;

    std::string_view key_of(const Entry& e) const noexcept {
        const uint32_t len = e.key_len & ~kInPool;
        return {(e.key_len & kInPool ? keys_.data() : text_) + e.key_at, len};
    }
    // The packed form of a location: made (throws std::bad_alloc), or found
    // (false when a location kept aside is not there).
    PackedLoc pack(FieldLoc loc);
    bool pack_found(FieldLoc loc, PackedLoc& out) const noexcept;
    bool in_text(std::string_view key) const noexcept {
        return text_ && key.data() >= text_ && key.data() + key.size() <= text_ + text_size_ &&
               static_cast<size_t>(key.data() - text_) < kNoTag && key.size() < kInPool;
    }
    uint32_t hash_of(uint32_t tag, std::string_view key) const noexcept { return tagged(value_hash(key), tag); }
    // The value's hash under a tag: a bijective mix of the two, so that for
    // one tag the values' hashes collide no more than their keyed hashes.
    static uint32_t tagged(uint64_t value_hash, uint32_t tag) noexcept {
        uint64_t x = value_hash + (uint64_t{tag} + 1) * 0x9E3779B97F4A7C15ULL;
        x ^= x >> 30;
        x *= 0xBF58476D1CE4E5B9ULL;
        x ^= x >> 27;
        x *= 0x94D049BB133111EBULL;
        x ^= x >> 31;
        return static_cast<uint32_t>(x);
    }
    uint32_t find_entry(uint32_t tag, std::string_view key, uint32_t hash) const noexcept;  // or kNoTag
    uint32_t find_entry(uint32_t tag, std::string_view key) const noexcept {
        return find_entry(tag, key, hash_of(tag, key));
    }
    // The entry [tag][key], made when missing (`made`), with room in its run
    // for one more location. Throws std::bad_alloc with the map unchanged.
    uint32_t entry_with_room(uint32_t tag, std::string_view key, bool& made) {
        return entry_with_room(tag, key, hash_of(tag, key), made);
    }
    uint32_t entry_with_room(uint32_t tag, std::string_view key, uint32_t hash, bool& made);
    // Makes room for one more entry (table and entries). Throws.
    void reserve_entry(size_t key_size);
    // Makes the entry, within the room reserved; cannot fail.
    uint32_t make_entry(uint32_t tag, std::string_view key, uint32_t hash) noexcept;
    void erase_entry(uint32_t index) noexcept;
    // Room in an entry's run for `extra` more locations. Throws.
    void grow_run(uint32_t index, size_t extra);
    void append_loc(uint32_t index, PackedLoc loc) noexcept;  // within the room made
    bool remove_loc(uint32_t index, PackedLoc loc) noexcept;
    void note_last(Entry& e) noexcept;
    void build_positions(Entry& e);
    void drop_positions(Entry& e) noexcept;
    void compact_locs() noexcept;
    void compact_keys() noexcept;

    const char* text_ = nullptr;
    size_t text_size_ = 0;

    PodVector<Entry> entries_;
    IndexTable table_;  // the live entries by the hashes of their keys
    uint32_t free_ = kNoTag;     // first free entry
    size_t live_ = 0;
    PodVector<PackedLoc> locs_;
    size_t locs_garbage_ = 0;
    PodVector<char> keys_;
    size_t keys_garbage_ = 0;
    std::vector<FieldLoc> aside_;  // locations whose object index does not fit a PackedLoc
    std::vector<std::unique_ptr<Positions>> positions_;
    std::vector<uint32_t> free_positions_;

    // Tags: names (copies), by name, and the schema's numbers translated.
    std::vector<std::string_view> tag_names_;
    StringMap<uint32_t, std::string_view> tag_ids_;
    std::vector<uint32_t> from_schema_;
    Arena tag_text_;
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

}  // namespace tarvix
