// A vector of plain records that grows with realloc. For the large arrays of
// a loaded document (a record per object, an offset per value) this matters:
// the C library grows a large block in place or by remapping its pages, so
// growing never holds the old and the new array at once, as copying into a
// new allocation would.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace tarvix {

template <class T>
class PodVector {
    static_assert(std::is_trivially_copyable_v<T>, "PodVector holds plain records only");

public:
    PodVector() noexcept = default;
    PodVector(const PodVector& other) { *this = other; }
    PodVector(PodVector&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    PodVector& operator=(const PodVector& other) {
        if (this != &other) {
            clear();
            reserve(other.size_);
            if (other.size_) std::memcpy(data_, other.data_, other.size_ * sizeof(T));
            size_ = other.size_;
        }
        return *this;
    }
    PodVector& operator=(PodVector&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~PodVector() { std::free(data_); }

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    size_t capacity() const noexcept { return capacity_; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](size_t i) noexcept { return data_[i]; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }
    T& back() noexcept { return data_[size_ - 1]; }
    const T& back() const noexcept { return data_[size_ - 1]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

    void reserve(size_t capacity) {
        if (capacity <= capacity_) return;
        if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* grown = std::realloc(data_, capacity * sizeof(T));
        if (!grown) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
    }

    // Room for `size` records, growing by half again at least, so that
    // growing one record at a time stays linear.
    void ensure(size_t size) {
        if (size <= capacity_) return;
        const size_t grown = capacity_ < 16 ? 16 : capacity_ + capacity_ / 2;
        reserve(size > grown ? size : grown);
    }

    void push_back(const T& value) {
        ensure(size_ + 1);
        data_[size_++] = value;
    }

    void pop_back() noexcept { --size_; }
    void resize_down(size_t size) noexcept {
        if (size < size_) size_ = size;
    }
    void clear() noexcept { size_ = 0; }

    // Gives back the unused capacity (never fails: a failed shrink keeps it).
    void shrink_to_fit() noexcept {
        if (capacity_ == size_) return;
        if (size_ == 0) {
            std::free(data_);
            data_ = nullptr;
            capacity_ = 0;
            return;
        }
        if (void* shrunk = std::realloc(data_, size_ * sizeof(T))) {
            data_ = static_cast<T*>(shrunk);
            capacity_ = size_;
        }
    }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace tarvix
