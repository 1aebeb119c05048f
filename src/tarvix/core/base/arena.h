// A bump allocator for records that live exactly as long as their owner and
// must never move: text copies and runs of string views. Memory comes in
// chunks that are never reallocated, so every address handed out stays
// valid until the arena goes away; moving an arena keeps them valid too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <vector>

namespace tarvix {

class Arena {
public:
    Arena() = default;
    Arena(Arena&&) noexcept = default;
    Arena& operator=(Arena&&) noexcept = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // `size` bytes aligned for any scalar. Throws std::bad_alloc.
    void* allocate(size_t size) {
        constexpr size_t align = alignof(std::max_align_t);
        size = (size + align - 1) & ~(align - 1);
        if (size > room_) {
            const size_t chunk = std::max(size, kChunk);
            chunks_.reserve(chunks_.size() + 1);
            chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(chunk));
            next_ = chunks_.back().get();
            room_ = chunk;
        }
        void* out = next_;
        next_ += size;
        room_ -= size;
        return out;
    }

    // A copy of `text` that lives as long as the arena.
    std::string_view copy(std::string_view text) {
        if (text.empty()) return {};
        char* out = static_cast<char*>(allocate(text.size()));
        std::memcpy(out, text.data(), text.size());
        return {out, text.size()};
    }

    // A copy of a run of views (the views themselves, not the text).
    const std::string_view* copy(const std::string_view* first, size_t count) {
        if (count == 0) return nullptr;
        auto* out = static_cast<std::string_view*>(allocate(count * sizeof(std::string_view)));
        std::uninitialized_copy_n(first, count, out);
        return out;
    }

    void clear() noexcept {
        chunks_.clear();
        next_ = nullptr;
        room_ = 0;
    }

private:
    static constexpr size_t kChunk = 64 * 1024;
    std::vector<std::unique_ptr<std::byte[]>> chunks_;
    std::byte* next_ = nullptr;
    size_t room_ = 0;
};

}  // namespace tarvix
