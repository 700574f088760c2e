#pragma once
// The uniform grid of cubic cells over a mesh's box, in the mesh's own coordinates.
//
// Build lays cells of edge (average first edge / build factor) over the box and enters each
// triangle into the cells it touches, by one of two algorithms:
//   - FAST_ALGORITHM voxelises the triangle conservatively: the cells of its bounding box that
//     lie within the slab of its plane (every cell the triangle meets, and a few beside it);
//   - ACCURANCY_ALGORITHM tests every candidate cell with the separating-axis triangle-box
//     overlap test of T. Akenine-Moeller, "Fast 3D Triangle-Box Overlap Testing" (2001), the
//     cell widened by a thousandth of its edge so that rounding never leaves a touched cell out.
// The queries run the ray kernels of grid/kernel.h over a compact read-only copy of the cells
// (each cell's triangles as blocks of the kernel's lane width, corners A, B, C, and a coarse
// occupancy of macro cells): the watertight one-sided ray-triangle test of Woop, Benthin and
// Wald (2013) along the cells the ray crosses, in order (the 3D-DDA of Amanatides and Woo,
// 1987), empty macro cells passed in one step:
//   - Intersect reports the nearest front-facing triangle with 0 < t < tMax;
//   - Occluded reports whether any front-facing triangle has 0 < t < tMax, and stops at the
//     first one.
// There is no minimum distance and no triangle to skip: a ray that leaves a surface starts
// from a point offset by the error bound of the hit point (raytracer/offset.h), and the test
// accepts t only beyond its own rounding error.
//
// The grid knows nothing of windows: build settings, progress and warnings travel with each
// build (GridBuildSettings, GridBuildResult).
//
// The Cube / CellArray3D structure is the authoritative cell storage (build, copy, statistics,
// the viewer's cell view).

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "grid/build_threads.h"
#include "grid/cell_array.h"
#include "grid/kernel.h"
#include "grid/ray.h"
#include "math/vector.h"
#include "mesh/vertex.h"

namespace RAYTR {

// Build algorithms.
inline constexpr int kFastAlgorithm = 1;
inline constexpr int kAccuracyAlgorithm = 0;

// Stages of a build, as its progress reports them.
enum class GridBuildStage { kCells, kFill, kDone };

// What one build is asked to do; every grid build gets its own (no process-wide settings).
struct GridBuildSettings {
    int algorithm = kFastAlgorithm;  // kFastAlgorithm or kAccuracyAlgorithm; other values are refused
    float factor = 4.0f;             // cell edges per average first edge
    // Instead of factor: cells of the edge that gives about kAutoCellsPerTriangle cells per
    // triangle over the box ("cub_less_elem_times = auto").
    bool autoFactor = false;
    int threads = 0;                 // threads of the build, 0: one per hardware thread
    // Called on the building thread with the stage and its percentage: after every 202nd item
    // of a stage's loop from the item of index 201 on (never for a loop of at most 201 items),
    // at most once per percentage and stage; then kDone with the fill's last percentage (0 when
    // it reported none). May be empty.
    std::function<void(GridBuildStage, int)> progress;
    // Called on the building thread with each warning (the memory the settings ask for) as soon
    // as it is known, before any cell is made; the warnings also come back in the result. May
    // be empty.
    std::function<void(const std::string&)> warn;
};

// What a build has to say besides its cells: warnings for the user (such as the memory the
// configuration asked for), each a complete sentence.
struct GridBuildResult {
    std::vector<std::string> warnings;
};

// The memory warning of a build: true, with the text, when cellCount cells need more than
// 128 MiB at 16 bytes per cell (a cube record and a fill counter).
bool GridMemoryWarning(long long cellCount, std::string& text);

// The most cells a build makes: kCellsPerTriangle per triangle, at least kMinGridCells and at
// most kMaxGridCells (about 400 MiB of cubes and counters while building). Boxes or factors
// that ask for more get coarser cells (see Build).
inline constexpr int kCellsPerTriangle = 64;
inline constexpr long long kMinGridCells = 4096;
inline constexpr long long kMaxGridCells = 1LL << 23;
// No axis of a capped grid has more than this many cube roots of the budget in cells.
inline constexpr double kAxisCellsPerCubeRoot = 8.0;
// The automatic cell size: about this many cells per triangle. The W-lane tests make a few
// triangles per cell cheap beside stepping through cells: on a knot, a bumpy sphere,
// scattered boxes and a floor (43,200 to 500,000 triangles) camera and shadow rays ran fastest
// at 0.1 to 0.6 cells per triangle.
inline constexpr double kAutoCellsPerTriangle = 0.4;
double CellBudget(int triangleCount);

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
    BaseGrid(const BaseGrid& other);
    BaseGrid& operator=(const BaseGrid& other);
    virtual ~BaseGrid();

    // The algorithm the next Build without settings uses, and the one the statistics name
    // (a Build with settings records its own). Rebuilds nothing.
    virtual void SetAlgorithm(int algorithm);
    virtual void PrintStatistics(std::ostream& out);
    int Algorithm() const { return algorithm_; }

    // Builds the grid over triangles[0 .. triangleCount - 1] with the given settings, for the
    // ray kernels in use (Kernel()), over the box of the triangles it holds. Triangles of zero
    // area (their corners' (B - A) x (C - A) exactly zero), with a corner that is not a finite
    // point, or with the same corners in the same order as an earlier one are left out
    // (LeftOut()); nothing else changes any answer: no ray hits the first two, and the earlier
    // twin wins every tie. The cell edge is the held triangles' average first edge over the
    // factor. The triangle array and its vertices must stay unchanged while the grid is used.
    // Throws TIRN_ERROR::Error for an unknown algorithm; warnings come back in the result.
    GridBuildResult Build(Tri* triangles, int triangleCount, const GridBuildSettings& settings);
    // The same inside a given box [box.minimum, box.maximum] (the grid's frame is the caller's).
    GridBuildResult Build(Tri* triangles, int triangleCount, const ORVA_GRAPHICS::BoxTransform& box,
                          const GridBuildSettings& settings);
    // The same with the grid's own algorithm and the default factor 4.
    GridBuildResult Build(Tri* triangles, int triangleCount, const ORVA_GRAPHICS::BoxTransform& box);

    // Nearest front-facing triangle with 0 < t < tMax along the ray (t in units of the ray's
    // direction); of equally near ones the lowest triangle index. On true, hit holds t, the
    // weights and the triangle; on false it is unchanged. A ray whose direction is zero or not
    // a number hits nothing. Allocates nothing, takes no lock; any number of threads may query
    // a built grid at once.
    bool Intersect(const Ray& ray, GridHit& hit, float tMax = 1e38f) const;
    // Whether some front-facing triangle has 0 < t < tMax: the shadow query of the segment
    // from ray.origin to ray.origin + tMax * ray.direction. Stops at the first such triangle.
    bool Occluded(const Ray& ray, float tMax) const;
    // The same on a ray set up once (grid/kernel.h) in this grid's frame.
    bool Nearest(const RayPrep& ray, float tMax, KernelHit& hit) const {
        return kernel_ != nullptr && kernel_->nearest(query_, ray, tMax, hit);
    }
    bool Any(const RayPrep& ray, float tMax) const { return kernel_ != nullptr && kernel_->any(query_, ray, tMax); }

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
    bool IsBuilding() const { return counts != nullptr; }
    // Triangles of the last build left out of every cell (zero area, not finite, repeated).
    unsigned LeftOut() const { return leftOut_; }
    // Whether the queries can run (built, and not being rebuilt).
    bool Queryable() const { return kernel_ != nullptr && triangles != nullptr; }
    const KernelTable* QueryKernel() const { return kernel_; }
    const GridQueryData& QueryData() const { return query_; }
    // Bytes held by the cells (cube records and index arrays) and by the query copy.
    std::size_t MemoryBytes() const;

protected:
    // The steps of a build (box null: the held triangles' box).
    GridBuildResult BuildOver(Tri* triangles, int triangleCount, const ORVA_GRAPHICS::BoxTransform* box,
                              const GridBuildSettings& settings);
    // The indices of the triangles a ray can hit, each distinct one once, in increasing order.
    static std::vector<unsigned> HeldTriangles(const Tri* triangles, int triangleCount);
    void BoxOfTriangles(const std::vector<unsigned>& held);
    float CellEdge(const std::vector<unsigned>& held, const GridBuildSettings& settings) const;
    // Resolution and inverse cell size for the box and cell edge within the cell budget; the
    // memory warning into result. Returns the cell count.
    long long ChooseResolution(int heldCount, GridBuildResult& result);
    // Returns the last percentage its progress reported (0: none).
    int FillCells(const std::vector<unsigned>& held, const GridBuildSettings& settings);
    // visit(linear cell index) for every cell that triangle enters by algorithm (each once).
    template <class Visit>
    void CellsOfTriangle(const Tri& triangle, int algorithm, Visit&& visit) const;
    // visit(i, j, k) for the cells of the conservative cover of the triangle P, Q, R (grid
    // coordinates): every cell it meets, and a few beside it.
    template <class Visit>
    void CoverCells(const ORVA_MATH::VECTOR& P, const ORVA_MATH::VECTOR& Q, const ORVA_MATH::VECTOR& R,
                    Visit&& visit) const;
    void MakeQueryLayout(int threads);
    void DropQueryLayout();

    ORVA_MATH::VECTOR minimum;
    ORVA_MATH::VECTOR maximum;
    CellArray3D<Cube> cells;
    unsigned* counts = nullptr;
    int resolution[3] = {0, 0, 0};
    float inverseCellSize[3] = {0.0f, 0.0f, 0.0f};
    float cellSize = 0.0f;
    Tri* triangles = nullptr;
    int algorithm_ = kFastAlgorithm;
    unsigned leftOut_ = 0;

    // Compact read-only copy for the queries, made at the end of Build and of a copy, for the
    // kernels the grid was built for.
    struct AlignedFree {
        void operator()(float* p) const;
    };
    const KernelTable* kernel_ = nullptr;
    GridQueryData query_;
    std::unique_ptr<std::uint32_t[]> queryStart_;  // cells + 1 offsets into the blocks
    std::unique_ptr<float[], AlignedFree> queryBlocks_;
    std::unique_ptr<std::uint32_t[]> queryIndex_;
    std::unique_ptr<std::uint8_t[]> macroOccupied_;
    unsigned queryBlockCount_ = 0;
    void PointQueryAtArrays();
};

template <int Dim, class Tri, class Index>
class REGULAR_GRID : public BaseGrid<Dim, Tri, Index> {
public:
    REGULAR_GRID() = default;
    REGULAR_GRID(const REGULAR_GRID&) = default;
    REGULAR_GRID& operator=(const REGULAR_GRID&) = default;
    ~REGULAR_GRID() override = default;
};

using Grid = REGULAR_GRID<3, ORVA_GRAPHICS::Triangle, unsigned int>;

extern template class BaseGrid<3, ORVA_GRAPHICS::Triangle, unsigned int>;
extern template class REGULAR_GRID<3, ORVA_GRAPHICS::Triangle, unsigned int>;

}  // namespace RAYTR
