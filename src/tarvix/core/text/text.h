// Byte-string helpers shared by the whole core: ASCII case folding,
// trimming, prefixes and suffixes, digit runs and strict UTF-8 validation.
// They work on bytes and treat only ASCII bytes specially, so UTF-8
// sequences pass through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/failure.h"

namespace tarvix {

// ---------------------------------------------------------------------------
// Inline helpers

inline constexpr std::string_view kWhitespace = " \t\r\n";
inline constexpr std::string_view kNewlines = "\r\n";

inline char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline char ascii_upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

inline std::string to_lower(std::string s) noexcept {
    for (char& c : s) c = ascii_lower(c);
    return s;
}

inline std::string to_upper(std::string s) noexcept {
    for (char& c : s) c = ascii_upper(c);
    return s;
}

inline bool equal_fold(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

namespace detail {
inline std::string trim_set(const std::string& s, std::string_view set, FailureSite site) noexcept {
    const size_t first = s.find_first_not_of(set.data(), 0, set.size());
    if (first == std::string::npos) return {};
    const size_t last = s.find_last_not_of(set.data(), std::string::npos, set.size());
    try {
        return s.substr(first, last - first + 1);
    } catch (const std::bad_alloc&) {
        report_internal_failure(site);
        return {};
    }
}
}  // namespace detail

inline std::string trim_string(const std::string& s) noexcept {
    return detail::trim_set(s, kWhitespace, FailureSite::trim_string);
}

inline std::string trim_newlines(const std::string& s) noexcept {
    return detail::trim_set(s, kNewlines, FailureSite::trim_newlines);
}

inline bool has_prefix(std::string_view s, std::string_view prefix) noexcept { return s.starts_with(prefix); }

inline bool has_suffix(std::string_view s, std::string_view suffix) noexcept { return s.ends_with(suffix); }

// Result of cut_prefix / cut_suffix: the remaining bytes and whether the
// prefix or suffix was there.
using CutResult = std::pair<std::string, bool>;

inline CutResult cut_prefix(const std::string& s, const std::string& prefix) noexcept {
    try {
        if (has_prefix(s, prefix)) return {s.substr(prefix.size()), true};
        return {s, false};
    } catch (const std::bad_alloc&) {
        report_internal_failure(FailureSite::cut_prefix);
        return {};
    }
}

inline CutResult cut_suffix(const std::string& s, const std::string& suffix) noexcept {
    try {
        if (has_suffix(s, suffix)) return {s.substr(0, s.size() - suffix.size()), true};
        return {s, false};
    } catch (const std::bad_alloc&) {
        report_internal_failure(FailureSite::cut_suffix);
        return {};
    }
}

// Decimal value of a run of ASCII digits, or -1 when the run is empty, holds
// anything else, or does not fit a signed 32-bit int.
inline int64_t parse_digits_int32(std::string_view digits) noexcept {
    if (digits.empty()) return -1;
    int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return -1;
    }
    return value;
}

// ---------------------------------------------------------------------------
// Strict UTF-8 validation (no overlong forms, no surrogates, nothing above
// U+10FFFF), as the interpreter's strict decoder applies it.

// Whether every byte of `text` is ASCII; eight bytes at a time.
inline bool is_ascii(std::string_view text) noexcept {
    const char* p = text.data();
    size_t n = text.size();
    uint64_t bits = 0;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t chunk;
        __builtin_memcpy(&chunk, p, 8);
        bits |= chunk;
    }
    for (; n > 0; ++p, --n) bits |= static_cast<unsigned char>(*p);
    return (bits & 0x8080808080808080ULL) == 0;
}

// Copies n bytes without a call for the short texts a document is made of:
// two overlapping words, reading and writing only the n bytes.
inline void copy_short(char* to, const char* from, size_t n) noexcept {
    if (n >= 8 && n <= 16) {
        uint64_t head, tail;
        __builtin_memcpy(&head, from, 8);
        __builtin_memcpy(&tail, from + n - 8, 8);
        __builtin_memcpy(to, &head, 8);
        __builtin_memcpy(to + n - 8, &tail, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t head, tail;
        __builtin_memcpy(&head, from, 4);
        __builtin_memcpy(&tail, from + n - 4, 4);
        __builtin_memcpy(to, &head, 4);
        __builtin_memcpy(to + n - 4, &tail, 4);
    } else if (n < 4) {
        for (size_t k = 0; k < n; ++k) to[k] = from[k];
    } else {
        __builtin_memcpy(to, from, n);
    }
}

// Offset of the first byte of the first invalid sequence in `text` (the byte
// the interpreter's decoder reports), or npos when the text is valid.
inline size_t find_invalid_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        // ASCII runs dominate real files: skip them eight bytes at a time.
        while (i + 8 <= n) {
            uint64_t chunk;
            __builtin_memcpy(&chunk, p + i, 8);
            if (chunk & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return i;
        }
        if (i + 1 >= n || p[i + 1] < lo || p[i + 1] > hi) return i;
        for (size_t k = 2; k < len; ++k)
            if (i + k >= n || (p[i + k] & 0xC0) != 0x80) return i;
        i += len;
    }
    return std::string_view::npos;
}

// ---------------------------------------------------------------------------
// Latin-1 to UTF-8

// Bytes of a Latin-1 text that take two bytes in UTF-8 (those above 0x7F).
inline size_t count_latin1_high_bytes(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t count = 0, i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t chunk;
        __builtin_memcpy(&chunk, p + i, 8);
        count += static_cast<size_t>(__builtin_popcountll(chunk & 0x8080808080808080ULL));
    }
    for (; i < n; ++i) count += p[i] >> 7;
    return count;
}

// Rewrites the Latin-1 text in buffer[0, size) as UTF-8 in buffer[0, size +
// high_bytes), back to front so that no byte is overwritten before it is
// read; each run of ASCII bytes moves in one piece.
inline void latin1_to_utf8_in_place(char* buffer, size_t size, size_t high_bytes) noexcept {
    auto* p = reinterpret_cast<unsigned char*>(buffer);
    size_t in = size;
    size_t out = size + high_bytes;
    while (out > in) {  // a byte above 0x7F still lies before `in`
        size_t run = in;  // the ASCII run ends at `in`; find where it starts
        while (run >= 8) {
            uint64_t chunk;
            __builtin_memcpy(&chunk, p + run - 8, 8);
            if (chunk & 0x8080808080808080ULL) break;
            run -= 8;
        }
        while (run > 0 && p[run - 1] < 0x80) --run;
        const size_t length = in - run;
        out -= length;
        __builtin_memmove(p + out, p + run, length);
        in = run;
        const unsigned char c = p[--in];  // above 0x7F: the loop condition says one is left
        p[--out] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        p[--out] = static_cast<unsigned char>(0xC0 | (c >> 6));
    }
}

// ---------------------------------------------------------------------------
// Digit runs

// First run of ASCII digits in `name` as a half-open range, or (-1, -1)
// (also when the run lies beyond what a signed 32-bit index can say).
using DigitRange = std::pair<int32_t, int32_t>;

inline DigitRange get_continuous_digits_indices(std::string_view name) noexcept {
    int32_t start = -1;
    for (size_t i = 0; i < name.size(); ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (digit && start < 0) {
            if (i > static_cast<size_t>(INT32_MAX)) return {-1, -1};
            start = static_cast<int32_t>(i);
        } else if (!digit && start >= 0) {
            return {start, static_cast<int32_t>(i)};
        }
    }
    if (start < 0 || name.size() > static_cast<size_t>(INT32_MAX)) return {-1, -1};
    return {start, static_cast<int32_t>(name.size())};
}

}  // namespace tarvix
