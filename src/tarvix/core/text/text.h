// Byte-string helpers shared by the whole core: ASCII case folding,
// trimming, prefixes and suffixes, digit runs, strict UTF-8 validation and
// the reporting of internal failures. They work on bytes and treat only
// ASCII bytes specially, so UTF-8 sequences pass through unchanged.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace tarvix {

// ---------------------------------------------------------------------------
// Internal failures of operations that never raise.
//
// Such an operation catches its own failure (in practice only memory
// exhaustion), calls report_internal_failure() with its qualified name and
// carries on with an empty or partial result. While a FailureScope is open
// on the thread, reports are kept in its log, so that code which must not
// call back into the interpreter in the middle of its work (a writer walking
// a document, a parser running without the interpreter lock) can have them
// reported once it is done. Outside a scope a report goes to the hook that
// each extension module installs; without a hook (native tests, fuzzing) it
// is dropped.
enum class Failure { out_of_memory, zero_division };

class FailureLog {
public:
    struct Entry {
        const char* where;
        Failure kind;
    };

    // Keeps each distinct failure once; a log that is full keeps its entries.
    void add(const char* where, Failure kind) noexcept {
        for (size_t i = 0; i < count_; ++i)
            if (entries_[i].kind == kind && std::string_view(entries_[i].where) == where) return;
        if (count_ < kCapacity) entries_[count_++] = Entry{where, kind};
    }
    bool has(Failure kind) const noexcept {
        for (size_t i = 0; i < count_; ++i)
            if (entries_[i].kind == kind) return true;
        return false;
    }
    bool empty() const noexcept { return count_ == 0; }
    size_t size() const noexcept { return count_; }
    const Entry& operator[](size_t i) const noexcept { return entries_[i]; }
    void clear() noexcept { count_ = 0; }

private:
    static constexpr size_t kCapacity = 8;
    Entry entries_[kCapacity];
    size_t count_ = 0;
};

namespace detail {
inline thread_local FailureLog* active_failure_log = nullptr;
}

using InternalFailureHook = void (*)(const char* qualified_name, Failure kind);
inline InternalFailureHook internal_failure_hook = nullptr;

inline void report_internal_failure(const char* qualified_name, Failure kind = Failure::out_of_memory) noexcept {
    if (FailureLog* log = detail::active_failure_log)
        log->add(qualified_name, kind);
    else if (internal_failure_hook)
        internal_failure_hook(qualified_name, kind);
}

// Collects the thread's reports into `log` for its lifetime.
class FailureScope {
public:
    explicit FailureScope(FailureLog& log) noexcept : previous_(detail::active_failure_log) {
        detail::active_failure_log = &log;
    }
    ~FailureScope() { detail::active_failure_log = previous_; }
    FailureScope(const FailureScope&) = delete;
    FailureScope& operator=(const FailureScope&) = delete;

private:
    FailureLog* previous_;
};

// Allocation failures on demand, for tests of the edit paths: the steps of
// an edit that allocate pass an edit_fault_point() first, and once a test
// has armed the countdown, the point it runs out at throws std::bad_alloc
// (once). Disarmed (-1), a point costs one relaxed load.
namespace detail {
inline std::atomic<int64_t> edit_fault_countdown{-1};
}

inline void edit_fault_point() {
    if (detail::edit_fault_countdown.load(std::memory_order_relaxed) < 0) return;
    if (detail::edit_fault_countdown.fetch_sub(1, std::memory_order_relaxed) == 0) throw std::bad_alloc();
}

// Arms the countdown: `after` points pass, the next one fails; a negative
// `after` disarms it. Returns whether the previous arming had not fired yet.
inline bool arm_edit_fault(int64_t after) noexcept {
    const int64_t previous = detail::edit_fault_countdown.exchange(after < 0 ? -1 : after);
    return previous >= 0;
}

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
inline std::string trim_set(const std::string& s, std::string_view set, const char* qualified_name) noexcept {
    const size_t first = s.find_first_not_of(set.data(), 0, set.size());
    if (first == std::string::npos) return {};
    const size_t last = s.find_last_not_of(set.data(), std::string::npos, set.size());
    try {
        return s.substr(first, last - first + 1);
    } catch (const std::bad_alloc&) {
        report_internal_failure(qualified_name);
        return {};
    }
}
}  // namespace detail

inline std::string trim_string(const std::string& s) noexcept {
    return detail::trim_set(s, kWhitespace, "tarvix.utils.trim_string");
}

inline std::string trim_newlines(const std::string& s) noexcept {
    return detail::trim_set(s, kNewlines, "tarvix.utils.trim_newlines");
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
        report_internal_failure("tarvix.utils.cut_prefix");
        return {};
    }
}

inline CutResult cut_suffix(const std::string& s, const std::string& suffix) noexcept {
    try {
        if (has_suffix(s, suffix)) return {s.substr(0, s.size() - suffix.size()), true};
        return {s, false};
    } catch (const std::bad_alloc&) {
        report_internal_failure("tarvix.utils.cut_suffix");
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
