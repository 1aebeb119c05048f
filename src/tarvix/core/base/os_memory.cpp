#include "core/base/os_memory.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__unix__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tarvix::os_memory {

namespace {

struct BlockHeader {
    size_t size;      // bytes after the header
    size_t mapped;    // 1: mapped, 0: from malloc
};
constexpr size_t kHeader = sizeof(BlockHeader);
constexpr size_t kMapFrom = size_t{4} << 20;

}  // namespace

void* allocate(size_t size) noexcept {
    if (size > SIZE_MAX - kHeader - 4096) return nullptr;
    BlockHeader* block = nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size >= kMapFrom) {
        void* mapped = mmap(nullptr, size + kHeader, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) return nullptr;
        madvise(mapped, size + kHeader, MADV_HUGEPAGE);
        block = static_cast<BlockHeader*>(mapped);
        block->mapped = 1;
    }
#endif
    if (!block) {
        block = static_cast<BlockHeader*>(std::malloc(size + kHeader));
        if (!block) return nullptr;
        block->mapped = 0;
    }
    block->size = size;
    return block + 1;
}

void release(void* ptr) noexcept {
    if (!ptr) return;
    BlockHeader* block = static_cast<BlockHeader*>(ptr) - 1;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (block->mapped) {
        munmap(block, block->size + kHeader);
        return;
    }
#endif
    std::free(block);
}

void* resize(void* ptr, size_t old_size, size_t size) noexcept {
    if (!ptr) return allocate(size);
    BlockHeader* block = static_cast<BlockHeader*>(ptr) - 1;
    if (size > SIZE_MAX - kHeader - 4096) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (block->mapped && size >= kMapFrom) {
        void* moved = mremap(block, block->size + kHeader, size + kHeader, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) return nullptr;
        madvise(moved, size + kHeader, MADV_HUGEPAGE);
        block = static_cast<BlockHeader*>(moved);
        block->size = size;
        return block + 1;
    }
    if (!block->mapped && size < kMapFrom) {
#else
    {
#endif
        BlockHeader* grown = static_cast<BlockHeader*>(std::realloc(block, size + kHeader));
        if (!grown) return nullptr;
        grown->size = size;
        return grown + 1;
    }
    void* fresh = allocate(size);
    if (!fresh) return nullptr;
    std::memcpy(fresh, ptr, std::min(old_size, size));
    release(ptr);
    return fresh;
}

void prefer_huge_pages(void* begin, size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size < kMapFrom) return;
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(begin) + size) & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)begin;
    (void)size;
#endif
}

void discard_pages(char* begin, char* end) noexcept {
#if defined(__unix__) && defined(MADV_DONTNEED)
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || end <= begin) return;
    const auto mask = static_cast<uintptr_t>(page) - 1;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + mask) & ~mask;
    const uintptr_t last = reinterpret_cast<uintptr_t>(end) & ~mask;
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
#else
    (void)begin;
    (void)end;
#endif
}

}  // namespace tarvix::os_memory
