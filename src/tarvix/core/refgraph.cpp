// The reference graph: for every tag and upper-cased value, where it occurs.
#include <new>

#include "core/document.h"

namespace tarvix::idf {
namespace {

// Upper-cased copy of a value in a buffer reused across calls, so a look-up
// of an existing value allocates nothing.
std::string_view upper_key(std::string_view value) {
    thread_local std::string buffer;
    buffer.assign(value);
    for (char& c : buffer) c = ascii_upper(c);
    return buffer;
}

}  // namespace

void register_ref(RefMap& refs, const std::string& tag, std::string_view value, FieldLoc loc,
                  const char* qualified_name) noexcept {
    try {
        auto outer = refs.find(tag);
        if (outer == refs.end()) outer = refs.emplace(tag, StringMap<std::vector<FieldLoc>>{}).first;
        const std::string_view key = upper_key(value);
        auto inner = outer->second.find(key);
        if (inner == outer->second.end()) inner = outer->second.emplace(std::string(key), std::vector<FieldLoc>{}).first;
        inner->second.push_back(loc);
    } catch (const std::bad_alloc&) {
        report_internal_failure(qualified_name);
    }
}

void unregister_ref(RefMap& refs, const std::string& tag, std::string_view value, FieldLoc loc) noexcept {
    const auto outer = refs.find(tag);
    if (outer == refs.end()) return;
    try {
        const auto inner = outer->second.find(upper_key(value));
        if (inner == outer->second.end()) return;
        std::vector<FieldLoc>& locs = inner->second;
        for (size_t i = 0; i < locs.size(); ++i) {
            if (locs[i] != loc) continue;
            locs[i] = locs.back();
            locs.pop_back();
            break;
        }
        if (locs.empty()) {
            outer->second.erase(inner);
            if (outer->second.empty()) refs.erase(outer);
        }
    } catch (const std::bad_alloc&) {
        // Only the key buffer can fail to grow; the entry stays.
    }
}

const std::vector<FieldLoc>* find_refs(const RefMap& refs, const std::string& tag, std::string_view value) {
    const auto outer = refs.find(tag);
    if (outer == refs.end()) return nullptr;
    const auto inner = outer->second.find(upper_key(value));
    return inner == outer->second.end() ? nullptr : &inner->second;
}

}  // namespace tarvix::idf
