// Internal failures of operations that never raise, and allocation failures
// on demand for tests.
//
// Such an operation catches its own failure (in practice only memory
// exhaustion), calls report_internal_failure() with its site and carries on
// with an empty or partial result. While a FailureScope is open on the
// thread, reports are kept in its log, so that code which must not call back
// into the interpreter in the middle of its work (a writer walking a
// document, a parser running without the interpreter lock) can have them
// reported once it is done. Outside a scope a report goes to the hook that
// each extension module installs; without a hook (native tests, fuzzing) it
// is dropped. The core knows sites only: the binding gives each the
// qualified name a caller sees (py/binding.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

namespace tarvix {

enum class Failure { out_of_memory, zero_division };

// Where a failure happened: one operation each.
enum class FailureSite : uint8_t {
    // text helpers
    trim_string,
    trim_newlines,
    cut_prefix,
    cut_suffix,
    get_current_time,
    // schema parser and lookups
    parse_idd,
    parse_field_property,
    parse_class_property,
    add_new_class,
    add_new_field,
    extract_prefix_suffix,
    fix_missing_begin_index,
    build_indices,
    get_field_name,
    find_field_index,
    // documents and their text
    register_target,
    register_referencer,
    generate_format_config,
    write_to_buffer,
    write_object_to_buffer,
};
inline constexpr size_t kFailureSiteCount = static_cast<size_t>(FailureSite::write_object_to_buffer) + 1;

class FailureLog {
public:
    struct Entry {
        FailureSite site;
        Failure kind;
    };

    // Keeps each distinct failure once; a log that is full keeps its entries.
    void add(FailureSite site, Failure kind) noexcept {
        for (size_t i = 0; i < count_; ++i)
            if (entries_[i].kind == kind && entries_[i].site == site) return;
        if (count_ < kCapacity) entries_[count_++] = Entry{site, kind};
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

using InternalFailureHook = void (*)(FailureSite site, Failure kind);
inline InternalFailureHook internal_failure_hook = nullptr;

inline void report_internal_failure(FailureSite site, Failure kind = Failure::out_of_memory) noexcept {
    if (FailureLog* log = detail::active_failure_log)
        log->add(site, kind);
    else if (internal_failure_hook)
        internal_failure_hook(site, kind);
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

}  // namespace tarvix
