#include <algorithm>

#include "core/base/hash.h"
#include "core/geometry/geometry.h"
#include "core/text/text.h"

namespace tarvix::geometry {

std::string_view kind_name(SurfaceKind kind) noexcept {
    static constexpr std::string_view names[kSurfaceKinds] = {
        "Wall",
        "Floor",
        "Roof",
        "Internal Mass",
        "Window",
        "Door",
        "Glass Door",
        "TubularDaylightDome",
        "TubularDaylightDiffuser",
        "Shading",
        "Detached Shading:Building",
        "Detached Shading:Fixed",
    };
    return names[static_cast<size_t>(kind)];
}

// ---------------------------------------------------------------------------
// Texts

namespace {
uint32_t folded_hash(std::string_view text) noexcept {
    return static_cast<uint32_t>(siphash13_folded(process_hash_key(), 0, text.data(), text.size()));
}
}  // namespace

void TextTable::reserve(size_t count, size_t bytes) {
    text_.reserve(text_.size() + bytes);
    ends_.reserve(ends_.size() + count);
    shared_.reserve(ends_.size() + count);
}

uint32_t TextTable::add(std::string_view text) {
    const uint32_t hash = folded_hash(text);
    const uint32_t found = shared_.find(hash, [&](uint32_t id) { return equal_fold((*this)[id], text); });
    if (found != IndexTable::kNone) return found;
    shared_.reserve(ends_.size() + 1);
    const uint32_t id = add_unshared(text);
    shared_.insert(hash, id);
    return id;
}

uint32_t TextTable::add_unshared(std::string_view text) {
    if (text_.size() + text.size() > UINT32_MAX || ends_.size() + 1 >= UINT32_MAX) throw std::bad_alloc();
    text_.append(text);
    ends_.push_back(static_cast<uint32_t>(text_.size()));
    return static_cast<uint32_t>(ends_.size() - 1);
}

}  // namespace tarvix::geometry
