// Keyed hashing for every hash map whose keys come from input text (class
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
#include <string>
#include <string_view>
#include <unordered_map>

namespace tarvix {

struct HashKey {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
};

// The process's key, drawn from the operating system's random source on
// first use.
const HashKey& process_hash_key() noexcept;

uint64_t siphash13(const HashKey& key, const void* data, size_t size) noexcept;

struct StringHash {
    using is_transparent = void;
    HashKey key = process_hash_key();
    size_t operator()(std::string_view text) const noexcept { return siphash13(key, text.data(), text.size()); }
};

// Hash map keyed by byte strings, searchable with a string_view so that a
// look-up builds no temporary string.
template <class Value>
using StringMap = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

}  // namespace tarvix
