#pragma once
// GrowArray: the system's growable array with an element count and a capacity.
//
// Every allocated element is constructed at once through T's own new[] (so element types
// derived from SSE_Aligned_Object come out 16-byte aligned); elements beyond Size() are
// default-constructed and hold no item. Lists grow by a fixed 16 elements, and the last
// allocated element never holds an item (Append grows when size + 1 reaches capacity).

#include <cstddef>
#include <memory>
#include <utility>

#include "errors/errors.h"

namespace RAYTR {

template <class T>
class GrowArray {
public:
    GrowArray() = default;
    explicit GrowArray(unsigned n) : data_(new T[n]), size_(n), capacity_(n) {}
    ~GrowArray() { delete[] data_; }

    // Deep copies: a copy holds its own elements, assigned from the source's.
    GrowArray(const GrowArray& other) { Assign(other); }
    GrowArray& operator=(const GrowArray& other) {
        if (this != &other) Assign(other);
        return *this;
    }
    GrowArray(GrowArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0u)),
          capacity_(std::exchange(other.capacity_, 0u)) {}
    GrowArray& operator=(GrowArray&& other) noexcept {
        if (this != &other) {
            delete[] data_;
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0u);
            capacity_ = std::exchange(other.capacity_, 0u);
        }
        return *this;
    }

    // Sets the capacity to n, keeping the first Size() elements. Asking for fewer elements
    // than are in use is refused (the array stays as it was); a value between the size and
    // the capacity shrinks the allocation.
    void Reserve(unsigned n) {
        // First allocation: n default elements, size unchanged.
        if (data_ == nullptr) {
            data_ = new T[n];
            capacity_ = n;
            return;
        }
        if (n < size_) throw TIRN_ERROR::Error("strange requirement to reserve less memory than already reserved");
        // The new array is filled before the old one goes: when an allocation or a copy fails,
        // the array stays as it was and nothing is leaked.
        std::unique_ptr<T[]> fresh(new T[n]);
        for (unsigned i = 0; i < size_; ++i) fresh[i] = data_[i];
        delete[] data_;
        data_ = fresh.release();
        capacity_ = n;
    }

    // Adds a copy of item at the end, growing by 16 elements when the last one would be used.
    void Append(const T& item) {
        // An item that is one of our own elements keeps its index across the reallocation.
        const T* source = &item;
        std::ptrdiff_t ownIndex = -1;
        if (data_ != nullptr && source >= data_ && source < data_ + capacity_) ownIndex = source - data_;
        if (size_ + 1 >= capacity_) Reserve(capacity_ + 16);
        if (ownIndex >= 0) source = data_ + ownIndex;
        if (source != data_ + size_) data_[size_] = *source;
        ++size_;
    }

    // Takes other's element count and assigns its elements; elements beyond the new size stay.
    void Assign(const GrowArray& other) {
        if (this == &other) return;
        if (size_ < other.size_) Reserve(other.size_);
        size_ = other.size_;
        for (unsigned i = 0; i < size_; ++i) data_[i] = other.data_[i];
    }

    T& operator[](unsigned i) { return data_[i]; }
    const T& operator[](unsigned i) const { return data_[i]; }
    unsigned Size() const { return size_; }
    unsigned Capacity() const { return capacity_; }
    T* Data() { return data_; }
    const T* Data() const { return data_; }

private:
    T* data_ = nullptr;
    unsigned size_ = 0;
    unsigned capacity_ = 0;
};

}  // namespace RAYTR
