// Memory taken from and given back to the operating system directly: large
// blocks mapped on their own (and, on Linux, marked for huge pages, since
// filling tens of megabytes page by page costs more than writing them), and
// the whole pages of a range handed back while the range stays mapped.
#pragma once

#include <cstddef>

namespace tarvix::os_memory {

// Blocks from `allocate` are freed by `release` and resized by `resize`;
// blocks of at least 4 MiB are mapped, smaller ones come from malloc.
// Each returns null when the memory cannot be had.
void* allocate(size_t size) noexcept;
void* resize(void* block, size_t old_size, size_t size) noexcept;
void release(void* block) noexcept;

// Gives the whole pages inside [begin, end) back to the system; they read as
// zeros afterwards. Does nothing where the system cannot do it.
void discard_pages(char* begin, char* end) noexcept;

// Asks the system to back the whole huge pages inside [begin, begin + size)
// with huge pages, before they are first written: a large block someone
// else allocated (a str of tens of megabytes) then fills without a fault per
// small page. Does nothing for small ranges or where the system cannot.
void prefer_huge_pages(void* begin, size_t size) noexcept;

}  // namespace tarvix::os_memory
