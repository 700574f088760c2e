#include "raytracer/tobject.h"

#include <new>
#include <utility>

namespace RAYTR {

// The grid keeps a pointer to the triangle array it was built over, and a grid copy keeps the
// source's pointer. A copied object must not answer hits with pointers into another object's
// triangles (which may be freed before the copy is traced), so the copy's grid is pointed at
// the copy's own array, which holds the same triangles in the same order.

TObject::TObject() : grid(new (std::nothrow) Grid) {}

TObject::TObject(const TObject& other) : ::Mesh(other), flags(other.flags), grid(new (std::nothrow) Grid) {
    try {
        CopyGridFrom(other);
    } catch (...) {
        // No destructor runs for an object whose constructor fails: the grid goes here.
        delete grid;
        grid = nullptr;
        throw;
    }
}

TObject& TObject::operator=(const TObject& other) {
    if (this == &other) return *this;
    ::Mesh::operator=(other);
    flags = other.flags;
    CopyGridFrom(other);
    return *this;
}

void TObject::CopyGridFrom(const TObject& other) {
    if (other.grid == nullptr) {
        // Nothing to copy: the target keeps an empty grid of its own.
        if (grid == nullptr) return;
        delete grid;
        grid = nullptr;
        grid = new (std::nothrow) Grid;
        return;
    }
    if (grid == nullptr) grid = new Grid;
    // Deep copy; refused by the grid while the source is being built.
    *grid = *other.grid;
    if (other.grid->Triangles() == other.triangles && other.triangles != nullptr)
        grid->RebindTriangles(triangles);
}

TObject::~TObject() { delete grid; }

void TObject::SwapWith(TObject& other) {
    ::Mesh::SwapWith(other);
    std::swap(flags, other.flags);
    std::swap(grid, other.grid);
}

void TObject::SetTransform(MATRIX M) {
    sphereCentre = M.Row(3);
    ::Mesh::SetTransform(M);
}

void TObject::PrepareForTracing() {
    // Box and sphere through the virtual table, the grid if it is missing, the box once more,
    // then the build over the mesh's own coordinates.
    ComputeBoundingBox();
    ComputeBoundingSphere();
    if (grid == nullptr) grid = new Grid;
    ComputeBoundingBox();
    grid->Build(triangles, static_cast<int>(triangleCount), box);
}

void TObject::SetGridAlgorithm(int algorithm) {
    if (grid != nullptr) grid->SetAlgorithm(algorithm);
    else gridAlgorithm = algorithm;
}

}  // namespace RAYTR
