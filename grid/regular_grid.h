#pragma once
// The uniform grid of cubic cells over a mesh's box, in the mesh's own coordinates.
//
// Build lays cells of edge (average first edge / gridBuildFactor) over the box and enters
// each triangle into the cells it touches, by one of two algorithms:
//   - FAST_ALGORITHM voxelises the triangle conservatively: the cells of its bounding box that
//     lie within the slab of its plane (every cell the triangle meets, and a few beside it);
//   - ACCURANCY_ALGORITHM tests every candidate cell with the separating-axis triangle-box
//     overlap test of T. Akenine-Moeller, "Fast 3D Triangle-Box Overlap Testing" (2001).
// The queries clip a ray to the box and walk exactly the cells that the clipped segment passes
// through, in order along the ray, with the 3D-DDA of J. Amanatides and A. Woo, "A Fast Voxel
// Traversal Algorithm for Ray Tracing" (Eurographics 1987), in the grid's own cell frame. The
// triangles of each cell are tested with the one-sided ray-triangle test of T. Moeller and
// B. Trumbore, "Fast, Minimum Storage Ray/Triangle Intersection" (1997):
//   - Intersect reports the nearest front-facing triangle with t_min < t < tMax;
//   - Occluded reports whether any front-facing triangle has t_min < t < tMax, and stops at
//     the first one.
// t_min is 1e-5 of the box diagonal (in distance along the ray), so a ray leaving a surface
// point does not meet that surface again through rounding, at any model size.
//
// The Cube / CellArray3D structure is the authoritative cell storage (build, copy, statistics,
// drawings). After a build, the queries read a compact read-only copy of it: one offset per
// cell into one array of four-triangle blocks holding each cell's triangles (corner A and two
// edges), so that the hot loop touches neither the cube objects nor the vertex array and tests
// four triangles with one set of vector instructions.

#include <iosfwd>
#include <list>
#include <memory>
#include <string>

#include "grid/build_threads.h"
#include "grid/cell_array.h"
#include "grid/ray_triangle.h"
#include "math/vector.h"
#include "mesh/vertex.h"
#include "grid/ray.h"

namespace RAYTR {

// Values of the process-wide grid algorithm flag.
inline constexpr int kFastAlgorithm = 1;
inline constexpr int kAccuracyAlgorithm = 0;

// Shared by every grid of the process; set by scene assembly, no lock (written only while no
// tracing runs). gridAlgorithm starts at kFastAlgorithm and every grid construction resets it
// to kFastAlgorithm; gridBuildFactor (cell edges per average first edge) starts at 4.0.
extern int gridAlgorithm;
extern float gridBuildFactor;

// The memory warning of a build: true, with the box text in text, when cellCount cells need
// more than 128 MiB at 16 bytes per cell (a cube record and a fill counter).
bool GridMemoryWarning(long long cellCount, std::string& text);

// The most cells a build makes: kCellsPerTriangle per triangle, at least kMinGridCells and at
// most kMaxGridCells (about 400 MiB of cubes and counters while building). Boxes or factors
// that ask for more get coarser cells (see Build).
inline constexpr int kCellsPerTriangle = 64;
inline constexpr long long kMinGridCells = 4096;
inline constexpr long long kMaxGridCells = 1LL << 23;
// No axis of a capped grid has more than this many cube roots of the budget in cells.
inline constexpr double kAxisCellsPerCubeRoot = 8.0;
double CellBudget(int triangleCount);

// One entry of the scratch list of the cells of the triangle being inserted.
struct CellCoord {
    int i, j, k;
};

template <int Dim, class Tri, class Index>
class BaseGrid {
public:
    // One cell: its triangle indices in increasing order. During a build size is the capacity
    // (the fill counter of the cell says how many are used); after it, the triangle count.
    class Cube : public CellIndexList {
    public:
        Cube() = default;
        Cube(const Cube&) = default;
        Cube& operator=(const Cube&) = default;
        virtual ~Cube() = default;
        virtual void Resize(unsigned n) { ResizeList(n); }
        // Appends triangleIndex, growing the array by 8 entries when counts[cellIndex] reached size.
        virtual void Add(unsigned triangleIndex, int cellIndex, unsigned* counts) {
            if (counts[cellIndex] >= size) Resize(size + 8);
            indices[counts[cellIndex]] = triangleIndex;
            ++counts[cellIndex];
        }
    };

    BaseGrid();
    BaseGrid(const BaseGrid& other);  // a construction: resets gridAlgorithm too
    BaseGrid& operator=(const BaseGrid& other);
    virtual ~BaseGrid();

    // Slots 1..5, in this order.
    virtual void DrawListedCells(const unsigned char colour[3]) = 0;
    virtual void DrawOccupiedCells(const unsigned char colour[3]) = 0;
    virtual void ClearCellList();
    virtual void SetAlgorithm(int algorithm);
    virtual void PrintStatistics(std::ostream& out);

    // Builds the grid over triangles[0 .. triangleCount - 1] inside [box.minimum, box.maximum].
    // The triangle array and its vertices must stay unchanged while the grid is used.
    void Build(Tri* triangles, int triangleCount, const ORVA_GRAPHICS::BoxTransform& box);

    // Nearest front-facing triangle with t_min < t < tMax along the ray (t in units of the
    // ray's direction). On true, hit holds the triangle, its weights b0, b1, b2 and t; on false
    // hit is unchanged. hit.triangle on entry names a triangle to skip (null: none). A ray
    // whose direction is zero or not a number hits nothing. Allocates nothing, takes no lock;
    // any number of threads may query a built grid at once.
    bool Intersect(const Ray& ray, RayHit& hit, float tMax = 1e38f) const;

    // Whether some front-facing triangle other than skip has t_min < t < tMax: the shadow
    // query of the segment from ray.origin to ray.origin + tMax * ray.direction. Stops at the
    // first such triangle.
    bool Occluded(const Ray& ray, float tMax, const Tri* skip) const;

    // The same queries with the width of the triangle tests chosen by the caller: four lanes
    // (wide false) or eight where the processor has AVX2 (wide true; four lanes otherwise).
    // Both widths give the same result bit for bit; Intersect and Occluded take the wider.
    bool IntersectWidth(const Ray& ray, RayHit& hit, float tMax, bool wide) const;
    bool OccludedWidth(const Ray& ray, float tMax, const Tri* skip, bool wide) const;

    // Up to kPacketSize rays at once (bit i of active: rays[i] is traced), by the coherent grid
    // traversal of I. Wald, T. Ize, A. Kensler, A. Knoll and S. Parker, "Ray Tracing Animated
    // Scenes using Coherent Grid Traversal" (SIGGRAPH 2006): the packet walks the grid in
    // slices across its main axis; in each slice it takes the rectangle of cells that its rays
    // cross there and tests every triangle of those cells against all its rays at once (each
    // triangle once per packet). Ray i gets exactly what Intersect(rays[i], hits[i], tMax[i])
    // gives, bit for bit; returns the mask of the rays that hit. Rays whose direction along
    // the main axis has the other sign, and every ray on a processor without AVX2, take the
    // one-ray query.
    static constexpr int kPacketSize = 8;
    int IntersectPacket(const Ray* rays, int active, RayHit* hits, const float* tMax) const;
    // The mask of the rays i for which Occluded(rays[i], tMax[i], skip[i]) is true.
    int OccludedPacket(const Ray* rays, int active, const float* tMax, const Tri* const* skip) const;

    // The smallest distance along a ray at which the queries accept a hit.
    float MinimumDistance() const { return tMinDistance_; }

    // Read access.
    const ORVA_MATH::VECTOR& Minimum() const { return minimum; }
    const ORVA_MATH::VECTOR& Maximum() const { return maximum; }
    const int* Resolution() const { return resolution; }
    const float* InverseCellSize() const { return inverseCellSize; }
    float CellSize() const { return cellSize; }
    Tri* Triangles() const { return triangles; }
    // Points the grid at another array with the same triangles in the same order (the copy of
    // a mesh that owns this grid's copy); cells hold indices, so nothing else changes.
    void RebindTriangles(Tri* sameTrianglesElsewhere) { triangles = sameTrianglesElsewhere; }
    const CellArray3D<Cube>& Cells() const { return cells; }
    const std::list<CellCoord>& CellList() const { return cellList; }
    bool IsBuilding() const { return counts != nullptr; }
    // Bytes held by the cells (cube records and index arrays) and by the query copy.
    std::size_t MemoryBytes() const;

protected:
    // visit(linear cell index) for every cell that triangle enters by algorithm (each once).
    template <class Visit>
    void CellsOfTriangle(const Tri& triangle, int algorithm, Visit&& visit) const;
    // visit(i, j, k) for the cells of the conservative cover of the triangle P, Q, R (grid
    // coordinates): every cell it meets, and a few beside it.
    template <class Visit>
    void CoverCells(const ORVA_MATH::VECTOR& P, const ORVA_MATH::VECTOR& Q, const ORVA_MATH::VECTOR& R,
                    Visit&& visit) const;
    void MakeQueryLayout();
    void DropQueryLayout();
    // False for a grid that was never built and for a ray without a usable direction or
    // origin; otherwise tMinimum = t_min in units of the ray's direction.
    bool Usable(const Ray& ray, float& tMinimum) const;
    // The ray's segment inside the box: t0 = max(entry, 0), t1 = min(exit, tMax), and 1 / d per
    // axis; false when that segment is empty or ends at or before tMinimum.
    bool ClipToBox(const float o[3], const float d[3], float tMinimum, float tMax, float& t0, float& t1,
                   float invD[3]) const;
    // The cells of the ray's segment (tMinimum, tMax) inside the box, in order, those without
    // triangles passed over: visit(first block, end block, ray parameter where the ray leaves
    // the cell) returns true to stop the walk, which then returns true.
    template <class Visit>
    bool WalkCells(const Ray& ray, float tMinimum, float tMax, Visit&& visit) const;
    unsigned SkipIndex(const Tri* skip) const;
    // The packet walk of IntersectPacket (closest true) and OccludedPacket.
    template <bool Closest>
    int PacketQuery(const Ray* rays, int active, const float* tMax, const unsigned* skip, float* hitT, float* hitU,
                    float* hitV, unsigned* hitIndex) const;

    ORVA_MATH::VECTOR minimum;
    ORVA_MATH::VECTOR maximum;
    CellArray3D<Cube> cells;
    unsigned* counts = nullptr;
    int resolution[3] = {0, 0, 0};
    float inverseCellSize[3] = {0.0f, 0.0f, 0.0f};
    float cellSize = 0.0f;
    Tri* triangles = nullptr;
    std::list<CellCoord> cellList;

    // Compact read-only copy for the queries, made at the end of Build and of a copy: each
    // cell's triangles, in the cube's order, as blocks of four lanes.
    using TriangleBlock = TriangleBlock4;
    static constexpr unsigned kNoTriangle = 0xFFFFFFFFu;
    std::unique_ptr<unsigned[]> queryStart_;  // cells + 1 offsets into queryBlocks_
    std::unique_ptr<TriangleBlock[]> queryBlocks_;
    unsigned queryBlockCount_ = 0;
    float cellEdge_[3] = {0.0f, 0.0f, 0.0f};  // 1 / inverseCellSize per axis (0 where that is 0)
    float tMinDistance_ = 0.0f;  // 1e-5 of the model size (diagonal, at most 1,000 median edges)
};

template <int Dim, class Tri, class Index>
class REGULAR_GRID : public BaseGrid<Dim, Tri, Index> {
public:
    REGULAR_GRID() = default;
    REGULAR_GRID(const REGULAR_GRID&) = default;
    REGULAR_GRID& operator=(const REGULAR_GRID&) = default;
    ~REGULAR_GRID() override = default;

    // Wire cubes in the current model-view frame (a current OpenGL context is needed).
    void DrawListedCells(const unsigned char colour[3]) override;
    void DrawOccupiedCells(const unsigned char colour[3]) override;
};

using Grid = REGULAR_GRID<3, ORVA_GRAPHICS::Triangle, unsigned int>;

extern template class BaseGrid<3, ORVA_GRAPHICS::Triangle, unsigned int>;
extern template class REGULAR_GRID<3, ORVA_GRAPHICS::Triangle, unsigned int>;

}  // namespace RAYTR
