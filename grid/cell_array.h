#pragma once
// Storage of the grid's cells: the index list of one cell and CellArray3D, the grid's
// three-dimensional array of cells with k varying fastest.

#include <algorithm>
#include <cstring>

#include "grid/grow_array.h"

namespace RAYTR {

// The triangle indices of one cell. There is no separate capacity: during a build the grid's
// fill counter for the cell says how many of the size entries are in use.
class CellIndexList {
public:
    CellIndexList() : indices(bareConstruction_ ? nullptr : new unsigned[8]), size(bareConstruction_ ? 0 : 8) {}
    ~CellIndexList() { delete[] indices; }
    CellIndexList(const CellIndexList& other) : indices(new unsigned[other.size]), size(other.size) {
        std::copy(other.indices, other.indices + other.size, indices);
    }
    CellIndexList& operator=(const CellIndexList& other) {
        if (this == &other) return *this;
        if (size != other.size) ResizeList(other.size);
        if (other.size != 0) std::copy(other.indices, other.indices + other.size, indices);
        return *this;
    }

    // Replaces the array by one of n entries holding the first min(size, n) old entries.
    void ResizeList(unsigned n) {
        // No array yet: allocate n entries.
        if (indices == nullptr) {
            indices = new unsigned[n];
            size = n;
            return;
        }
        if (n == size) return;
        // The new array is filled before the old one goes: a failed allocation leaves the list
        // as it was.
        const unsigned kept = std::min(size, n);
        unsigned* fresh = new unsigned[n];
        std::copy(indices, indices + kept, fresh);
        delete[] indices;
        indices = fresh;
        size = n;
    }

    unsigned* indices;
    unsigned size;

    // While one of these lives, lists made on this thread start without an array (null, size
    // 0): a build that knows every cell's count first allocates each non-empty cell once
    // instead of giving every cell 8 entries and trimming them again.
    class BareConstruction {
    public:
        BareConstruction() { bareConstruction_ = true; }
        ~BareConstruction() { bareConstruction_ = false; }
        BareConstruction(const BareConstruction&) = delete;
        BareConstruction& operator=(const BareConstruction&) = delete;
    };

private:
    static inline thread_local bool bareConstruction_ = false;
};

// Cells (i, j, k) at element i * stride0 + j * stride1 + k of an owned GrowArray.
template <class Cell>
class CellArray3D {
public:
    CellArray3D() : cubes_(new GrowArray<Cell>(0u)) {}
    ~CellArray3D() { delete cubes_; }
    CellArray3D(const CellArray3D& other) : cubes_(new GrowArray<Cell>(0u)) { Assign(other); }
    CellArray3D& operator=(const CellArray3D& other) {
        Assign(other);
        return *this;
    }

    // Discards every cube and creates d0 * d1 * d2 new ones. The old cubes go first, so that
    // their memory serves the new ones; when the new ones cannot be made the array is left
    // empty (0 x 0 x 0 cubes), never without its cube array.
    void SetDimensions(unsigned d0, unsigned d1, unsigned d2) {
        Clear();
        *cubes_ = GrowArray<Cell>(d0 * d1 * d2);
        SetShape(d0, d1, d2);
    }

    // Deep copy: a target with fewer cubes is recreated at other's count; one with more keeps
    // its extra cubes beyond the new element count. A failed allocation leaves it empty.
    void Assign(const CellArray3D& other) {
        if (this == &other) return;
        if (cubes_->Size() < other.cubes_->Size()) {
            Clear();
            *cubes_ = GrowArray<Cell>(other.cubes_->Size());
        }
        cubes_->Assign(*other.cubes_);
        SetShape(other.dims_[0], other.dims_[1], other.dims_[2]);
    }

    Cell& at(unsigned i, unsigned j, unsigned k) { return (*cubes_)[i * strides_[0] + j * strides_[1] + k]; }
    const Cell& at(unsigned i, unsigned j, unsigned k) const {
        return (*cubes_)[i * strides_[0] + j * strides_[1] + k];
    }
    Cell& operator[](unsigned linear) { return (*cubes_)[linear]; }
    const Cell& operator[](unsigned linear) const { return (*cubes_)[linear]; }

    unsigned Count() const { return cubes_->Size(); }
    unsigned Dim(int axis) const { return dims_[axis]; }
    int Stride0() const { return strides_[0]; }
    int Stride1() const { return strides_[1]; }
    const GrowArray<Cell>& Cubes() const { return *cubes_; }

private:
    void Clear() {
        *cubes_ = GrowArray<Cell>();
        SetShape(0, 0, 0);
    }
    void SetShape(unsigned d0, unsigned d1, unsigned d2) {
        dims_[0] = d0;
        dims_[1] = d1;
        dims_[2] = d2;
        strides_[0] = static_cast<int>(d1 * d2);
        strides_[1] = static_cast<int>(d2);
    }

    GrowArray<Cell>* cubes_;
    unsigned dims_[3] = {0, 0, 0};
    int strides_[2] = {0, 0};
};

}  // namespace RAYTR
