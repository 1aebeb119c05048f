// Field values of one object: the texts back to back in one buffer, each
// value's end offset beside them. ValuesView reads either kind of storage
// the document uses: an object's own FieldValues, or a run of the buffer
// that a loaded document keeps all its values in.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarvix {

// A read-only view of an object's values; valid until the storage changes.
class ValuesView {
public:
    ValuesView() noexcept = default;
    ValuesView(const char* base, const uint32_t* ends, size_t count) noexcept
        : base_(base), ends_(ends), count_(count) {}

    size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    std::string_view operator[](size_t i) const noexcept {
        const uint32_t begin = i ? ends_[i - 1] : 0;
        return {base_ + begin, ends_[i] - begin};
    }
    // Value i, or the empty text past the last value.
    std::string_view at_or_empty(size_t i) const noexcept { return i < count_ ? (*this)[i] : std::string_view(); }
    // Index of the last non-empty value plus one (0 when all are empty).
    size_t used() const noexcept {
        size_t n = count_;
        while (n > 0 && ends_[n - 1] == (n > 1 ? ends_[n - 2] : 0)) --n;
        return n;
    }

private:
    const char* base_ = nullptr;
    const uint32_t* ends_ = nullptr;
    size_t count_ = 0;
};

// Values an object owns. Growing or replacing a value that would take the
// buffer past 4 GiB throws std::length_error; running out of memory throws
// std::bad_alloc. Either way the values are unchanged.
class FieldValues {
public:
    FieldValues() = default;
    explicit FieldValues(ValuesView view) {
        ends_.reserve(view.size());
        for (size_t i = 0; i < view.size(); ++i) push_back(view[i]);
    }

    size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    ValuesView view() const noexcept { return {text_.data(), ends_.data(), ends_.size()}; }
    std::string_view operator[](size_t i) const noexcept { return view()[i]; }
    std::string_view back() const noexcept { return (*this)[size() - 1]; }

    void reserve(size_t count) { ends_.reserve(count); }
    void clear() noexcept {
        text_.clear();
        ends_.clear();
    }

    void push_back(std::string_view value) {
        check_room(value.size());
        ends_.push_back(static_cast<uint32_t>(text_.size() + value.size()));
        try {
            text_.append(value);
        } catch (...) {
            ends_.pop_back();
            throw;
        }
    }

    // Grows with empty values or drops values from the end.
    void resize(size_t count) {
        if (count < ends_.size()) {
            text_.resize(count ? ends_[count - 1] : 0);
            ends_.resize(count);
        } else {
            ends_.resize(count, static_cast<uint32_t>(text_.size()));
        }
    }

    void pop_back() noexcept {
        ends_.pop_back();
        text_.resize(ends_.empty() ? 0 : ends_.back());
    }

    // Replaces value i (which must exist), shifting the values after it.
    void set(size_t i, std::string_view value) {
        const uint32_t begin = i ? ends_[i - 1] : 0;
        const uint32_t old_size = ends_[i] - begin;
        if (value.size() > old_size) check_room(value.size() - old_size);
        text_.replace(begin, old_size, value);
        const int64_t delta = static_cast<int64_t>(value.size()) - old_size;
        for (size_t k = i; k < ends_.size(); ++k) ends_[k] = static_cast<uint32_t>(ends_[k] + delta);
    }

    // Makes room for `extra` more bytes of text and `count` values in all,
    // so that set_prepared() within that room cannot fail. Throws as set
    // does, the values unchanged.
    void prepare(size_t extra, size_t count) {
        check_room(extra);
        text_.reserve(text_.size() + extra);
        ends_.reserve(std::max(count, ends_.size()));
    }
    // Sets value i, growing with empty values when it lies beyond them,
    // within the room prepare() made.
    void set_prepared(size_t i, std::string_view value) noexcept {
        if (i >= ends_.size()) ends_.resize(i + 1, static_cast<uint32_t>(text_.size()));
        const uint32_t begin = i ? ends_[i - 1] : 0;
        const uint32_t old_size = ends_[i] - begin;
        text_.replace(begin, old_size, value);
        const int64_t delta = static_cast<int64_t>(value.size()) - old_size;
        for (size_t k = i; k < ends_.size(); ++k) ends_[k] = static_cast<uint32_t>(ends_[k] + delta);
    }

private:
    void check_room(size_t extra) const {
        if (extra > UINT32_MAX - text_.size()) throw std::length_error("field values too long");
    }
    std::string text_;
    std::vector<uint32_t> ends_;
};

}  // namespace tarvix
