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
uint64_t folded_hash(std::string_view text) noexcept {
    return siphash13_folded(process_hash_key(), 0, text.data(), text.size());
}
}  // namespace

void TextTable::grow() {
    std::vector<std::pair<uint32_t, uint32_t>> table(std::max<size_t>(64, table_.size() * 2), {0, 0});
    const size_t mask = table.size() - 1;
    for (const auto& entry : table_) {
        if (!entry.first) continue;
        size_t at = folded_hash((*this)[entry.first - 1]) & mask;
        while (table[at].first) at = (at + 1) & mask;
        table[at] = entry;
    }
    table_ = std::move(table);
}

void TextTable::reserve(size_t count, size_t bytes) {
    text_.reserve(text_.size() + bytes);
    ends_.reserve(ends_.size() + count);
    while ((shared_ + count) * 2 > table_.size()) grow();
}

uint32_t TextTable::add(std::string_view text) {
    if ((shared_ + 1) * 2 > table_.size()) grow();
    const size_t mask = table_.size() - 1;
    const uint64_t hash = folded_hash(text);
    const auto tag = static_cast<uint32_t>(hash >> 32);
    size_t at = hash & mask;
    while (const uint32_t entry = table_[at].first) {
        if (table_[at].second == tag && equal_fold((*this)[entry - 1], text)) return entry - 1;
        at = (at + 1) & mask;
    }
    const uint32_t id = add_unshared(text);
    table_[at] = {id + 1, tag};
    ++shared_;
    return id;
}

uint32_t TextTable::add_unshared(std::string_view text) {
    if (text_.size() + text.size() > UINT32_MAX || ends_.size() + 1 >= UINT32_MAX) throw std::bad_alloc();
    text_.append(text);
    ends_.push_back(static_cast<uint32_t>(text_.size()));
    return static_cast<uint32_t>(ends_.size() - 1);
}

}  // namespace tarvix::geometry
