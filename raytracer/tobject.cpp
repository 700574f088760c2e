#include "raytracer/tobject.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

namespace RAYTR {

// The grid keeps a pointer to the triangle array it was built over, and a grid copy keeps the
// source's pointer. A copied object must not answer hits with pointers into another object's
// triangles (which may be freed before the copy is traced), so the copy's grid is pointed at
// the copy's own array, which holds the same triangles in the same order.

TObject::TObject() : grid(new (std::nothrow) Grid) {}

TObject::TObject(const TObject& other)
    : ::Mesh(other), flags(other.flags), grid(new (std::nothrow) Grid), gridSettings(other.gridSettings),
      world_(other.world_) {
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
    gridSettings = other.gridSettings;
    world_ = other.world_;
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
    std::swap(gridSettings, other.gridSettings);
    std::swap(world_, other.world_);
}

void TObject::SetTransform(MATRIX M) {
    sphereCentre = M.Row(3);
    ::Mesh::SetTransform(M);
    UpdateWorldFrame();
}

void TObject::ComputeBoundingBox() {
    ::Mesh::ComputeBoundingBox();
    UpdateWorldFrame();
}

void TObject::UpdateWorldFrame() {
    const MATRIX& m = box.transform;
    world_.translationOnly = m(0, 0) == 1.0f && m(1, 1) == 1.0f && m(2, 2) == 1.0f && m(0, 1) == 0.0f &&
                             m(0, 2) == 0.0f && m(1, 0) == 0.0f && m(1, 2) == 0.0f && m(2, 0) == 0.0f &&
                             m(2, 1) == 0.0f;
    const MATRIX& inverse = box.inverse;
    float rows = 0.0f, inverseRows = 0.0f, shift = 0.0f;
    for (int j = 0; j < 3; ++j) {
        // Row vectors times the matrix: world coordinate j sums column j.
        rows = std::max(rows, std::fabs(m(0, j)) + std::fabs(m(1, j)) + std::fabs(m(2, j)));
        inverseRows = std::max(inverseRows, std::fabs(inverse(0, j)) + std::fabs(inverse(1, j)) + std::fabs(inverse(2, j)));
        shift = std::max(shift, std::fabs(m(3, j)));
    }
    world_.magnification = rows;
    world_.translation = shift;
    world_.conditioning = world_.translationOnly ? 1.0f : std::max(1.0f, rows * inverseRows);
    // The eight corners of the box in world coordinates (row vectors times the transform).
    for (int axis = 0; axis < 3; ++axis) {
        world_.minimum[axis] = INFINITY;
        world_.maximum[axis] = -INFINITY;
    }
    for (int corner = 0; corner < 8; ++corner) {
        const VECTOR p((corner & 1) ? box.maximum.x : box.minimum.x, (corner & 2) ? box.maximum.y : box.minimum.y,
                       (corner & 4) ? box.maximum.z : box.minimum.z, 1.0f);
        const VECTOR w = ORVA_MATH::Transform(p, m);
        for (int axis = 0; axis < 3; ++axis) {
            world_.minimum[axis] = std::min(world_.minimum[axis], w[axis]);
            world_.maximum[axis] = std::max(world_.maximum[axis], w[axis]);
        }
    }
    // Widened by a millionth of the extent and of the distance from the origin, so that the
    // rounding of the carry never culls a ray that the grid would answer.
    for (int axis = 0; axis < 3; ++axis) {
        const float pad = 1e-6f * ((world_.maximum[axis] - world_.minimum[axis]) +
                                   std::max(std::fabs(world_.minimum[axis]), std::fabs(world_.maximum[axis]))) +
                          1e-30f;
        world_.minimum[axis] -= pad;
        world_.maximum[axis] += pad;
        // A box that is not a number culls nothing.
        if (!(world_.minimum[axis] <= world_.maximum[axis])) {
            world_.minimum[axis] = -INFINITY;
            world_.maximum[axis] = INFINITY;
        }
    }
}

GridBuildResult TObject::PrepareForTracing() {
    // Box and sphere through the virtual table, the grid if it is missing, the box once more,
    // then the build over the mesh's own coordinates (over the box of the triangles the grid
    // holds, which may be smaller than the mesh's: vertices that no triangle uses, triangles
    // left out).
    ComputeBoundingBox();
    ComputeBoundingSphere();
    if (grid == nullptr) grid = new Grid;
    ComputeBoundingBox();
    return grid->Build(triangles, static_cast<int>(triangleCount), gridSettings);
}

void TObject::SetGridAlgorithm(int algorithm) {
    gridSettings.algorithm = algorithm;
    if (grid != nullptr) grid->SetAlgorithm(algorithm);
}

}  // namespace RAYTR
