// Byte scanning for the tokenizer: the first byte of a small set, sixteen
// bytes at a time with SSE2 (every x86-64 machine has it), a byte at a time
// elsewhere and for the tail.
#pragma once

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarvix {

template <char... Stops>
inline const char* find_first_of(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    while (end - p >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hits = _mm_setzero_si128();
        ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(Stops)))), ...);
        const int mask = _mm_movemask_epi8(hits);
        if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        const char c = *p;
        if (((c == Stops) || ...)) return p;
    }
    return end;
}

// Where document text ends a value: at a delimiter, the comment mark or a
// line end. Every other byte, NUL included, belongs to the value.
inline const char* find_value_end(const char* p, const char* end) noexcept {
    return find_first_of<',', ';', '!', '\n', '\r'>(p, end);
}

}  // namespace tarvix
