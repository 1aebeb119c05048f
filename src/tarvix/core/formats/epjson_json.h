// What the three parts of epJSON (the schema, the writer, the reader) share:
// yyjson helpers, the hash of a large object's members, and the writer's
// allocator.
#pragma once

#include "core/formats/epjson.h"

#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "core/base/os_memory.h"
#include "core/text/number.h"
#include "core/document/refgraph.h"
#include "core/text/text.h"
#include "yyjson.h"

namespace tarvix::epjson::detail {

inline std::string_view str_of(yyjson_val* val) noexcept {
    return yyjson_is_str(val) ? std::string_view(yyjson_get_str(val), yyjson_get_len(val)) : std::string_view();
}

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Lists longer than this get a map of their upper-cased words.
constexpr uint32_t kScannedWords = 16;

// A byte-order mark, which some editors put before JSON text.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

inline std::string_view without_mark(std::string_view text) noexcept {
    return text.starts_with(kByteOrderMark) ? text.substr(kByteOrderMark.size()) : text;
}

inline yyjson_val* member(yyjson_val* obj, std::string_view key) noexcept {
    return yyjson_obj_getn(obj, key.data(), key.size());
}

// The members of one JSON object, found by key. yyjson finds a member by
// scanning the object, so looking up every field of a class of many fields
// that way would cost the square of its size: a large object is hashed once.
class Members {
public:
    explicit Members(yyjson_val* obj) : obj_(obj) {
        if (yyjson_obj_size(obj) <= kScannedWords) return;
        map_.reserve(yyjson_obj_size(obj));
        size_t idx, max;
        yyjson_val *key, *val;
        yyjson_obj_foreach(obj, idx, max, key, val) map_.emplace(str_of(key), val);  // the first of a repeated key
    }
    yyjson_val* get(std::string_view key) const noexcept {
        if (map_.empty()) return member(obj_, key);
        const auto found = map_.find(key);
        return found == map_.end() ? nullptr : found->second;
    }

private:
    yyjson_val* obj_;
    StringMap<yyjson_val*, std::string_view> map_;
};

// The writer's allocator: the value pool of a big document and its text are
// large blocks.
inline void* block_malloc(void*, size_t size) noexcept { return os_memory::allocate(size); }
inline void* block_realloc(void*, void* ptr, size_t old_size, size_t size) noexcept {
    return os_memory::resize(ptr, old_size, size);
}
inline void block_free(void*, void* ptr) noexcept { os_memory::release(ptr); }
inline constexpr yyjson_alc kBlockAllocator = {block_malloc, block_realloc, block_free, nullptr};

struct YyDocFree {
    void operator()(yyjson_mut_doc* doc) const noexcept { yyjson_mut_doc_free(doc); }
    void operator()(yyjson_doc* doc) const noexcept { yyjson_doc_free(doc); }
};
using MutDoc = std::unique_ptr<yyjson_mut_doc, YyDocFree>;
using ReadDoc = std::unique_ptr<yyjson_doc, YyDocFree>;

inline bool is_blank(std::string_view text) noexcept {
    return text.find_first_not_of(kWhitespace) == std::string_view::npos;
}

inline std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    out.append(text);
    out.push_back('\'');
    return out;
}

// is_decimal, telling besides how far the number may reach: below
// 10^magnitude (see epjson_schema.cpp).
bool decimal_form(std::string_view text, bool& json_ready, int& magnitude) noexcept;

}  // namespace tarvix::epjson::detail
