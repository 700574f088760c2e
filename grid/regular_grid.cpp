// The grid's build, copy, query, statistics and drawings (see regular_grid.h for the papers).

#include "grid/regular_grid.h"

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <xmmintrin.h>
#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "errors/errors.h"
#include "errors/message_box.h"
#include "grid/build_threads.h"
#include "grid/ray_triangle.h"
#include "grid/tri_box.h"

namespace RAYTR {

int gridAlgorithm = kFastAlgorithm;
float gridBuildFactor = 4.0f;
int gridBuildThreads = 0;

int BuildThreadCount(long long items, long long minItemsPerThread) {
    int threads = gridBuildThreads;
    if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
    threads = std::clamp(threads, 1, 64);
    const long long byWork = std::max(1LL, items / std::max(1LL, minItemsPerThread));
    return static_cast<int>(std::min<long long>(threads, byWork));
}

namespace {

using ORVA_MATH::VECTOR;

constexpr char kBuildTitle[] = "посторение сетки: ";
constexpr char kShrinkTitle[] = "освобождение лишней памяти(ячейки): ";
constexpr char kFinalTitle[] = "освобождение лишней памяти(оставшаяся память): ";

// trunc(g + 0.5) limited to 0 .. n - 1; NaN and negative values give 0.
inline int CellOfAxis(float g, int n) {
    const float h = g + 0.5f;
    if (!(h >= 1.0f)) return 0;
    if (h >= static_cast<float>(n)) return n - 1;
    return std::min(static_cast<int>(h), n - 1);
}

// Reports every 202nd item of a loop in the window title.
class StatusStep {
public:
    explicit StatusStep(const char* text) : text_(text) {}
    template <class Percent>
    void After(Percent percent) {
        if (counter_ > 200) {
            last_ = percent();
            TIRN_ERROR::SetStatusTitle(text_ + std::to_string(last_));
            counter_ = 0;
        } else {
            ++counter_;
        }
    }
    int Last() const { return last_; }

private:
    std::string text_;
    int counter_ = 0;
    int last_ = 0;
};

}  // namespace

double CellBudget(int triangleCount) {
    return std::clamp(static_cast<double>(kCellsPerTriangle) * std::max(triangleCount, 0), static_cast<double>(kMinGridCells),
                      static_cast<double>(kMaxGridCells));
}

bool GridMemoryWarning(long long cellCount, std::string& text) {
    const long long bytes = cellCount * 16;
    if (bytes <= 134217728LL) return false;
    text = "WARNING!, REQUIRED MEMORY: " + std::to_string(bytes) + " bytes";
    return true;
}

template <int Dim, class Tri, class Index>
BaseGrid<Dim, Tri, Index>::BaseGrid() {
    minimum.w = 1.0f;
    maximum.w = 1.0f;
    gridAlgorithm = kFastAlgorithm;
}

template <int Dim, class Tri, class Index>
BaseGrid<Dim, Tri, Index>::BaseGrid(const BaseGrid& other) : BaseGrid() {
    *this = other;
}

template <int Dim, class Tri, class Index>
BaseGrid<Dim, Tri, Index>::~BaseGrid() {
    delete[] counts;
}

template <int Dim, class Tri, class Index>
BaseGrid<Dim, Tri, Index>& BaseGrid<Dim, Tri, Index>::operator=(const BaseGrid& other) {
    if (this == &other) return *this;
    // The cells first; a source inside Build is refused after that, leaving them copied.
    cells.Assign(other.cells);
    if (other.counts != nullptr) {
        DropQueryLayout();
        throw TIRN_ERROR::Error("You can not copy incomplete greeds");
    }
    delete[] counts;
    counts = nullptr;
    for (int axis = 0; axis < 3; ++axis) {
        inverseCellSize[axis] = other.inverseCellSize[axis];
        resolution[axis] = other.resolution[axis];
        cellEdge_[axis] = other.cellEdge_[axis];
    }
    cellSize = other.cellSize;
    triangles = other.triangles;
    minimum = other.minimum;
    maximum = other.maximum;
    tMinDistance_ = other.tMinDistance_;
    // The query copy follows the cells.
    DropQueryLayout();
    if (other.queryStart_) {
        const unsigned cellCount = other.cells.Count();
        queryStart_.reset(new unsigned[cellCount + 1]);
        std::memcpy(queryStart_.get(), other.queryStart_.get(), (cellCount + 1) * sizeof(unsigned));
        queryBlockCount_ = other.queryBlockCount_;
        queryBlocks_.reset(new TriangleBlock[queryBlockCount_]);
        std::memcpy(static_cast<void*>(queryBlocks_.get()), other.queryBlocks_.get(),
                    queryBlockCount_ * sizeof(TriangleBlock));
    }
    return *this;
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::ClearCellList() {
    cellList.clear();
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::SetAlgorithm(int algorithm) {
    gridAlgorithm = algorithm;
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::DropQueryLayout() {
    queryStart_.reset();
    queryBlocks_.reset();
    queryBlockCount_ = 0;
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::Build(Tri* triangleArray, int triangleCount,
                                      const ORVA_GRAPHICS::BoxTransform& box) {
    DropQueryLayout();
    if (triangleCount < 0) triangleCount = 0;
    // 1. The box, exactly as the mesh computed it, and the triangle array.
    minimum = box.minimum;
    maximum = box.maximum;
    triangles = triangleArray;
    // 2. Sum of the first edges' lengths, rounded to float after every addition.
    float edgeSum = 0.0f;
    std::vector<float> firstEdges(static_cast<std::size_t>(triangleCount));
    for (int i = 0; i < triangleCount; ++i) {
        firstEdges[static_cast<std::size_t>(i)] =
            ORVA_MATH::Length(triangleArray[i].A->position - triangleArray[i].B->position);
        edgeSum += firstEdges[static_cast<std::size_t>(i)];
    }
    // t_min follows the model's size, because rounding of hit points grows with the
    // coordinates: 1e-5 of the box diagonal, but of at most 1,000 median first edges, so that
    // one stray vertex far away does not push t_min past the model's own surfaces.
    float size = ORVA_MATH::Length(maximum - minimum);
    if (!firstEdges.empty()) {
        auto middle = firstEdges.begin() + static_cast<std::ptrdiff_t>(firstEdges.size() / 2);
        std::nth_element(firstEdges.begin(), middle, firstEdges.end());
        if (*middle > 0.0f) size = std::min(size, 1000.0f * *middle);
    }
    tMinDistance_ = size < 1e30f ? 1e-5f * size : 0.0f;  // NaN box: 0
    std::vector<float>().swap(firstEdges);
    // 3. Cell edge: average first edge / build factor.
    cellSize = edgeSum / (static_cast<float>(triangleCount) * gridBuildFactor);
    // 4. Resolution per axis: trunc(2 + extent / cell size), a flat axis counting as 0.1 long.
    // A cell size that is zero, negative or NaN (no triangles, zero-length edges, a zero or
    // negative factor) gives no usable resolution: the grid is then one cell holding every
    // triangle. An infinite cell size (factor 0) is well defined: 2 x 2 x 2 cells, inverse 0.
    bool oneCell = !(cellSize > 0.0f);
    double perAxis[3] = {1.0, 1.0, 1.0};
    double extents[3] = {0.0, 0.0, 0.0};
    if (!oneCell) {
        for (int axis = 0; axis < 3; ++axis) {
            float extent = maximum[axis] - minimum[axis];
            if (extent < 0.00001f) extent = 0.1f;
            extents[axis] = extent;
            perAxis[axis] = std::trunc(2.0 + static_cast<double>(extent / cellSize));
            // A NaN or infinite box has no usable cells either.
            if (!(perAxis[axis] >= 1.0) || !std::isfinite(extent)) oneCell = true;
        }
    }
    if (oneCell) {
        for (int axis = 0; axis < 3; ++axis) {
            perAxis[axis] = 1.0;
            resolution[axis] = 1;
            inverseCellSize[axis] = 0.0f;
        }
    } else {
        for (int axis = 0; axis < 3; ++axis) inverseCellSize[axis] = 1.0f / cellSize;
    }
    // 5. The memory warning for the cells the configuration asks for (16 bytes per cell: its
    // cube record and its fill counter), the count formed in 64 bits.
    const double product = perAxis[0] * perAxis[1] * perAxis[2];
    const long long asked = product < 5e17 ? static_cast<long long>(product) : 500000000000000000LL;
    std::string warning;
    if (GridMemoryWarning(asked, warning)) TIRN_ERROR::ShowErrorBox("ALERT!", warning);
    // The cells actually made stay within a budget of kCellsPerTriangle per triangle (at least
    // kMinGridCells, at most kMaxGridCells): a box that is huge beside its triangles (one stray
    // vertex far away) or a large factor gets coarser cells instead of more memory than there
    // is. An axis longer than kAxisCellsPerCubeRoot cube roots of the budget first gets longer
    // cells along it, so that the other axes keep their resolution and no walk along it passes
    // more cells than that; then all axes are coarsened together until the count fits.
    if (!oneCell && product > CellBudget(triangleCount)) {
        const double budget = CellBudget(triangleCount);
        const double axisCap = std::floor(kAxisCellsPerCubeRoot * std::cbrt(budget));
        double inverse[3];
        auto along = [&](int axis) { return std::trunc(2.0 + extents[axis] * inverse[axis]); };
        auto count = [&] { return along(0) * along(1) * along(2); };
        for (int axis = 0; axis < 3; ++axis) {
            inverse[axis] = 1.0 / static_cast<double>(cellSize);
            if (along(axis) > axisCap) inverse[axis] = (axisCap - 2.0) / extents[axis];
        }
        for (int step = 0; step < 1000 && count() > budget; ++step) {
            const double coarser = step == 0 ? std::max(1.0, std::cbrt(count() / budget)) : 1.05;
            for (double& v : inverse) v /= coarser;
        }
        for (int axis = 0; axis < 3; ++axis) {
            perAxis[axis] = std::max(1.0, along(axis));
            inverseCellSize[axis] = static_cast<float>(inverse[axis]);
        }
    }
    const double built = perAxis[0] * perAxis[1] * perAxis[2];
    const long long cellCount = oneCell ? 1 : static_cast<long long>(built);
    if (cellCount > kMaxGridCells) throw std::bad_alloc();  // not reached: the budget holds
    if (!oneCell)
        for (int axis = 0; axis < 3; ++axis) resolution[axis] = static_cast<int>(perAxis[axis]);
    const int total = static_cast<int>(cellCount);
    // 6. Fill counters, all zero; their presence marks the grid as building.
    delete[] counts;
    counts = nullptr;
    counts = new unsigned[total]();
    // 7. The cubes, made without index arrays: every cell's count is known before its array
    // is made, so each non-empty cell is allocated once at its exact size.
    {
        const CellIndexList::BareConstruction bare;
        cells.SetDimensions(resolution[0], resolution[1], resolution[2]);
    }
    cellList.clear();
    const int algorithm = gridAlgorithm;
    if (triangleCount > 0 && algorithm != kFastAlgorithm && algorithm != kAccuracyAlgorithm)
        throw TIRN_ERROR::Error("ILLEGAL ALGORITM OF BUILDING REGULAR GRID");
    // 8. Every triangle's cells. Parts of consecutive triangles run at once, each listing its
    // (cell, triangle) entries in triangle order; the cells are then filled from the lists in
    // part order, so every cell holds its triangles in increasing order, as one thread would.
    struct Entries {
        std::vector<unsigned> cell, triangle;
    };
    const int insertParts = BuildThreadCount(triangleCount, 2048);
    std::vector<Entries> entries(static_cast<std::size_t>(insertParts));
    RunParts(insertParts, [&](int part) {
        Entries& mine = entries[static_cast<std::size_t>(part)];
        const int begin = static_cast<int>(PartBegin(triangleCount, insertParts, part));
        const int end = static_cast<int>(PartBegin(triangleCount, insertParts, part + 1));
        mine.cell.reserve(static_cast<std::size_t>(end - begin) * 8);
        mine.triangle.reserve(static_cast<std::size_t>(end - begin) * 8);
        for (int i = begin; i < end; ++i)
            CellsOfTriangle(triangleArray[i], algorithm, [&](unsigned c) {
                mine.cell.push_back(c);
                mine.triangle.push_back(static_cast<unsigned>(i));
            });
    });
    // The cells in slabs of the linear index, one per thread: each thread reads every list
    // in order and handles its own cells only (count, allocate, fill).
    const int fillParts = insertParts;
    RunParts(fillParts, [&](int part) {
        const unsigned lo = static_cast<unsigned>(PartBegin(total, fillParts, part));
        const unsigned hi = static_cast<unsigned>(PartBegin(total, fillParts, part + 1));
        for (const Entries& list : entries)
            for (unsigned c : list.cell)
                if (c >= lo && c < hi) ++counts[c];
        for (unsigned c = lo; c < hi; ++c) {
            if (counts[c] != 0) cells[c].Resize(counts[c]);
            counts[c] = 0;
        }
        for (const Entries& list : entries) {
            const std::size_t n = list.cell.size();
            for (std::size_t e = 0; e < n; ++e) {
                const unsigned c = list.cell[e];
                if (c >= lo && c < hi) cells[c].indices[counts[c]++] = list.triangle[e];
            }
        }
    });
    std::vector<Entries>().swap(entries);
    // The window title as a one-thread build reports it, one step per triangle.
    StatusStep buildStep(kBuildTitle);
    for (int i = 0; i < triangleCount; ++i)
        buildStep.After([&] {
            return static_cast<int>(static_cast<float>(i) / static_cast<float>(triangleCount) * 100.0);
        });
    // 9. Every cube already has its exact count (empty cells hold no array, size 0); the
    // shrink pass's title steps remain.
    StatusStep shrinkStep(kShrinkTitle);
    for (int k = 0; k < total; ++k)
        shrinkStep.After([&] { return static_cast<int>(static_cast<float>(k) / total * 100.0); });
    // 10. The final title with the last reported percentage.
    TIRN_ERROR::SetStatusTitle(kFinalTitle + std::to_string(shrinkStep.Last()));
    // 11. Built.
    delete[] counts;
    counts = nullptr;
    MakeQueryLayout();
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::MakeQueryLayout() {
    // Cell edges per axis for the walk: the cell size, unless a cell budget made the cells
    // longer along some axes.
    for (int axis = 0; axis < 3; ++axis) {
        const float inverse = inverseCellSize[axis];
        cellEdge_[axis] = inverse > 0.0f ? (inverse == 1.0f / cellSize ? cellSize : 1.0f / inverse) : 0.0f;
    }
    const unsigned cellCount = cells.Count();
    // Offsets: cell c's triangles are in blocks queryStart_[c] .. queryStart_[c + 1] - 1.
    queryStart_.reset(new unsigned[cellCount + 1]);
    unsigned blocks = 0;
    unsigned largestIndex = 0;
    for (unsigned c = 0; c < cellCount; ++c) {
        queryStart_[c] = blocks;
        blocks += (cells[c].size + 3) / 4;
        if (cells[c].size != 0) largestIndex = std::max(largestIndex, cells[c].indices[cells[c].size - 1]);
    }
    queryStart_[cellCount] = blocks;
    queryBlockCount_ = blocks;
    queryBlocks_.reset(new TriangleBlock[blocks]);
    if (blocks == 0) return;
    // Corner A and the two edges of every triangle once, in a flat array (the cells repeat
    // triangles, and the vertices are reached through pointers).
    const unsigned triangleCount = largestIndex + 1;
    struct Corners {
        float a[3], e1[3], e2[3];
    };
    std::unique_ptr<Corners[]> corners(new Corners[triangleCount]);
    const int triangleParts = BuildThreadCount(triangleCount, 8192);
    RunParts(triangleParts, [&](int part) {
        const unsigned end = static_cast<unsigned>(PartBegin(triangleCount, triangleParts, part + 1));
        for (unsigned i = static_cast<unsigned>(PartBegin(triangleCount, triangleParts, part)); i < end; ++i) {
            const Tri& t = triangles[i];
            const VECTOR& a = t.A->position;
            const VECTOR& b = t.B->position;
            const VECTOR& cc = t.C->position;
            Corners& k = corners[i];
            k.a[0] = a.x, k.a[1] = a.y, k.a[2] = a.z;
            k.e1[0] = b.x - a.x, k.e1[1] = b.y - a.y, k.e1[2] = b.z - a.z;
            k.e2[0] = cc.x - a.x, k.e2[1] = cc.y - a.y, k.e2[2] = cc.z - a.z;
        }
    });
    // Fill lane by lane in the cube's order; unused lanes hold zeros and no triangle.
    const int cellParts = BuildThreadCount(blocks, 16384);
    RunParts(cellParts, [&](int part) {
        const unsigned end = static_cast<unsigned>(PartBegin(cellCount, cellParts, part + 1));
        for (unsigned c = static_cast<unsigned>(PartBegin(cellCount, cellParts, part)); c < end; ++c) {
            const Cube& cube = cells[c];
            for (unsigned n = 0; n < (cube.size + 3) / 4 * 4; ++n) {
                TriangleBlock& block = queryBlocks_[queryStart_[c] + n / 4];
                const unsigned lane = n % 4;
                if (n >= cube.size) {
                    block.ax[lane] = block.ay[lane] = block.az[lane] = 0.0f;
                    block.e1x[lane] = block.e1y[lane] = block.e1z[lane] = 0.0f;
                    block.e2x[lane] = block.e2y[lane] = block.e2z[lane] = 0.0f;
                    block.index[lane] = kNoTriangle;
                    continue;
                }
                const Corners& k = corners[cube.indices[n]];
                block.ax[lane] = k.a[0];
                block.ay[lane] = k.a[1];
                block.az[lane] = k.a[2];
                block.e1x[lane] = k.e1[0];
                block.e1y[lane] = k.e1[1];
                block.e1z[lane] = k.e1[2];
                block.e2x[lane] = k.e2[0];
                block.e2y[lane] = k.e2[1];
                block.e2z[lane] = k.e2[2];
                block.index[lane] = cube.indices[n];
            }
        }
    });
}

template <int Dim, class Tri, class Index>
template <class Visit>
void BaseGrid<Dim, Tri, Index>::CellsOfTriangle(const Tri& triangle, int algorithm, Visit&& visit) const {
    // Corners in grid coordinates.
    auto toGrid = [&](const VECTOR& p) {
        return VECTOR{(p.x - minimum.x) * inverseCellSize[0], (p.y - minimum.y) * inverseCellSize[1],
                      (p.z - minimum.z) * inverseCellSize[2], 0.0f};
    };
    const VECTOR P = toGrid(triangle.A->position);
    const VECTOR Q = toGrid(triangle.B->position);
    const VECTOR R = toGrid(triangle.C->position);
    const int stride0 = cells.Stride0(), stride1 = cells.Stride1();
    auto linear = [&](int i, int j, int k) { return static_cast<unsigned>(i * stride0 + j * stride1 + k); };
    // Both algorithms produce every cell once (the cover's columns are distinct), so no
    // de-duplication is needed.
    if (algorithm == kFastAlgorithm) {
        CoverCells(P, Q, R, [&](int i, int j, int k) { visit(linear(i, j, k)); });
        return;
    }
    // Every cell whose cube (centre (x, y, z), half-size 0.5) the triangle overlaps by the
    // separating-axis test. The candidates are the fast algorithm's cover, which holds every
    // such cell (and lies inside the candidate range trunc(lo) .. trunc(hi + 1) of the plain
    // box sweep wherever the test can pass), so the result is the same with far fewer tests.
    const float t0[3] = {P.x, P.y, P.z}, t1[3] = {Q.x, Q.y, Q.z}, t2[3] = {R.x, R.y, R.z};
    const float half[3] = {0.5f, 0.5f, 0.5f};
#ifdef REDOWL_HAS_AVX2_PATH
    if (CpuHasAvx2()) {
        // Eight candidates at a time, visited in the cover's order.
        float cx[8], cy[8], cz[8];
        int n = 0;
        auto test = [&] {
            const int overlapping = TriangleBoxOverlap8(cx, cy, cz, half, t0, t1, t2);
            for (int i = 0; i < n; ++i)
                if (overlapping >> i & 1)
                    visit(linear(static_cast<int>(cx[i]), static_cast<int>(cy[i]), static_cast<int>(cz[i])));
            n = 0;
        };
        CoverCells(P, Q, R, [&](int x, int y, int z) {
            cx[n] = static_cast<float>(x), cy[n] = static_cast<float>(y), cz[n] = static_cast<float>(z);
            if (++n == 8) test();
        });
        if (n != 0) {
            for (int i = n; i < 8; ++i) cx[i] = cx[0], cy[i] = cy[0], cz[i] = cz[0];
            test();
        }
        return;
    }
#endif
    CoverCells(P, Q, R, [&](int x, int y, int z) {
        const float centre[3] = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
        if (TriangleBoxOverlap(centre, half, t0, t1, t2)) visit(linear(x, y, z));
    });
}

template <int Dim, class Tri, class Index>
template <class Visit>
void BaseGrid<Dim, Tri, Index>::CoverCells(const VECTOR& P, const VECTOR& Q, const VECTOR& R, Visit&& visit) const {
    // A conservative voxelisation: every cell the triangle meets, and a few next to it. The
    // cells of the triangle's bounding box are swept in columns along the axis on which the
    // triangle's plane is steepest (the largest normal component); in each column only the
    // cells within the plane's slab over the column's square are taken. That is the plane and
    // box-axis part of the separating-axis test, without its nine edge axes, computed as
    // ranges instead of per cell.
    const float p[3] = {P.x, P.y, P.z}, q[3] = {Q.x, Q.y, Q.z}, r[3] = {R.x, R.y, R.z};
    // A margin of a thousandth of the longest edge keeps the hits that the ray-triangle test's
    // 0.001 weight tolerance accepts just outside the triangle in cells holding it.
    const float longest = std::sqrt(std::max({ORVA_MATH::LengthSquared(P - Q), ORVA_MATH::LengthSquared(Q - R),
                                               ORVA_MATH::LengthSquared(R - P)}));
    const float margin = 1e-3f * (longest < 1e30f ? longest : 0.0f) + 1e-4f;
    int first[3], last[3];
    for (int axis = 0; axis < 3; ++axis) {
        first[axis] = CellOfAxis(std::min({p[axis], q[axis], r[axis]}) - margin, resolution[axis]);
        last[axis] = CellOfAxis(std::max({p[axis], q[axis], r[axis]}) + margin, resolution[axis]);
    }
    // The plane n . x = n . P; the column axis c is the one of the largest |n| component.
    const VECTOR n = ORVA_MATH::Cross(Q - P, R - P);
    const float an[3] = {std::fabs(n.x), std::fabs(n.y), std::fabs(n.z)};
    const int c = an[0] >= an[1] ? (an[0] >= an[2] ? 0 : 2) : (an[1] >= an[2] ? 1 : 2);
    const int a0 = c == 0 ? 1 : 0, a1 = c == 2 ? 1 : 2;
    const float nv[3] = {n.x, n.y, n.z};
    // Over a column's square of half-size 0.5 (plus the margin), the plane's coordinate along c
    // varies by at most spread around its value at the square's centre.
    const bool flatPlane = an[c] > 0.0f && an[c] < 1e30f;
    const float spread = flatPlane ? (an[a0] + an[a1]) * (0.5f + margin) / an[c] + margin : 0.0f;
    const float offset = nv[0] * p[0] + nv[1] * p[1] + nv[2] * p[2];
    int cell[3];
    for (cell[a0] = first[a0]; cell[a0] <= last[a0]; ++cell[a0])
        for (cell[a1] = first[a1]; cell[a1] <= last[a1]; ++cell[a1]) {
            int lo = first[c], hi = last[c];
            if (flatPlane) {
                const float centre = (offset - nv[a0] * static_cast<float>(cell[a0]) -
                                      nv[a1] * static_cast<float>(cell[a1])) / nv[c];
                lo = std::max(lo, CellOfAxis(centre - spread, resolution[c]));
                hi = std::min(hi, CellOfAxis(centre + spread, resolution[c]));
            }
            for (cell[c] = lo; cell[c] <= hi; ++cell[c]) visit(cell[0], cell[1], cell[2]);
        }
}

template <int Dim, class Tri, class Index>
unsigned BaseGrid<Dim, Tri, Index>::SkipIndex(const Tri* skip) const {
    // The triangle to skip as an index into our array (none when it is not one of ours).
    if (skip == nullptr || triangles == nullptr) return kNoTriangle;
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(skip), from = reinterpret_cast<std::uintptr_t>(triangles);
    if (at >= from && (at - from) % sizeof(Tri) == 0 && (at - from) / sizeof(Tri) < kNoTriangle)
        return static_cast<unsigned>((at - from) / sizeof(Tri));
    return kNoTriangle;
}

template <int Dim, class Tri, class Index>
bool BaseGrid<Dim, Tri, Index>::Usable(const Ray& ray, float& tMinimum) const {
    if (!queryStart_) return false;  // never built
    // A zero or undefined direction (or origin) hits nothing; t_min in units of the direction.
    const VECTOR& d = ray.direction;
    const float length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    if (!(length > 0.0f) || !(length < 1e30f) || !std::isfinite(ray.origin.x + ray.origin.y + ray.origin.z))
        return false;
    tMinimum = tMinDistance_ / length;
    return true;
}

template <int Dim, class Tri, class Index>
bool BaseGrid<Dim, Tri, Index>::ClipToBox(const float o[3], const float d[3], float tMinimum, float tMax, float& t0,
                                          float& t1, float invD[3]) const {
    // Slab test against [minimum, maximum]. A zero direction lane leaves its axis unconstrained
    // while the origin lies between the planes (0 * infinity is NaN there and is dropped).
    // (The clamps below give their bound when the value is NaN.)
    float tNear = -1e38f, tFar = 1e38f;
    for (int axis = 0; axis < 3; ++axis) {
        const float inv = invD[axis] = 1.0f / d[axis];
        const float l1 = (minimum[axis] - o[axis]) * inv, l2 = (maximum[axis] - o[axis]) * inv;
        const float n1 = l1 > -1e38f ? l1 : -1e38f, n2 = l2 > -1e38f ? l2 : -1e38f;
        const float f1 = l1 < 1e38f ? l1 : 1e38f, f2 = l2 < 1e38f ? l2 : 1e38f;
        tNear = std::max(tNear, std::min(n1, n2));
        tFar = std::min(tFar, std::max(f1, f2));
    }
    t0 = std::max(tNear, 0.0f);
    t1 = std::min(tFar, tMax);
    return t1 >= t0 && t1 > tMinimum;
}

template <int Dim, class Tri, class Index>
template <class Visit>
bool BaseGrid<Dim, Tri, Index>::WalkCells(const Ray& ray, float tMinimum, float tMax, Visit&& visit) const {
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    float t0, t1, invD[3];
    if (!ClipToBox(o, d, tMinimum, tMax, t0, t1, invD)) return false;
    // Cell frame: h = (p - minimum) * inverse cell size + 0.5, so cell i covers h in [i, i + 1)
    // (cellOf's cells centred on integer grid coordinates). Per axis: the start cell, the step,
    // the parameter of the next cell boundary and the parameter distance between boundaries.
    int cell[3], step[3], last[3];
    float tNext[3], tDelta[3];
    const int stride[3] = {cells.Stride0(), cells.Stride1(), 1};
    long long linear = 0;
    for (int axis = 0; axis < 3; ++axis) {
        const float ho = (o[axis] - minimum[axis]) * inverseCellSize[axis] + 0.5f;
        const float hd = d[axis] * inverseCellSize[axis];
        const float h = ho + hd * t0;
        const int n = resolution[axis];
        cell[axis] = h >= 1.0f ? (h < static_cast<float>(n) ? std::min(static_cast<int>(h), n - 1) : n - 1) : 0;
        // 1 / hd as (1 / d) times the cell edge: one division per axis for both tests.
        const float invHd = invD[axis] * cellEdge_[axis];
        if (hd > 0.0f) {
            step[axis] = 1;
            last[axis] = n;
            tNext[axis] = (static_cast<float>(cell[axis] + 1) - ho) * invHd;
            tDelta[axis] = invHd;
        } else if (hd < 0.0f) {
            step[axis] = -1;
            last[axis] = -1;
            tNext[axis] = (static_cast<float>(cell[axis]) - ho) * invHd;
            tDelta[axis] = -invHd;
        } else {
            step[axis] = 0;
            last[axis] = -1;
            tNext[axis] = tDelta[axis] = std::numeric_limits<float>::infinity();
        }
        linear += static_cast<long long>(cell[axis]) * stride[axis];
    }
    // Visit cells in order until the segment ends or leaves the grid; cells without triangles
    // are passed over. At an edge or a corner (equal boundary parameters) the axes step one
    // after the other, so every cell the ray touches there is visited too. (Kept in scalars
    // rather than arrays so that the loop runs in registers.)
    const unsigned* const start = queryStart_.get();
    float tx = tNext[0], ty = tNext[1], tz = tNext[2];
    int cx = cell[0], cy = cell[1], cz = cell[2];
    const long long sx = static_cast<long long>(step[0]) * stride[0], sy = static_cast<long long>(step[1]) * stride[1],
                    sz = step[2];
    for (;;) {
        const unsigned first = start[linear], end = start[linear + 1];
        if (tx < ty && tx < tz) {
            if (first != end && visit(first, end, tx)) return true;
            if (!(tx < t1)) return false;
            cx += step[0];
            if (cx == last[0]) return false;
            linear += sx;
            tx += tDelta[0];
        } else if (!(tx < ty) && ty < tz) {
            if (first != end && visit(first, end, ty)) return true;
            if (!(ty < t1)) return false;
            cy += step[1];
            if (cy == last[1]) return false;
            linear += sy;
            ty += tDelta[1];
        } else {
            if (first != end && visit(first, end, tz)) return true;
            if (!(tz < t1)) return false;
            cz += step[2];
            if (cz == last[2]) return false;
            linear += sz;
            tz += tDelta[2];
        }
    }
}

namespace {

// The nearest hit found so far by Intersect: ray parameter, weights u and v, the triangle's
// index, and the block and lane of its triangle (lane -1: none yet).
struct Nearest {
    float t, u, v;
    unsigned index;  // 0 before the first hit, so that nothing ties with the caller's limit
    unsigned block;
    int lane;
};

// The one filter bound that lets a hit equal to best.t through to TakeNearer (which decides
// ties), since the lane tests keep t < bound only.
// (The next float up, for the positive finite values a hit can have; hits lie above t_min > 0.)
inline float TieBound(const Nearest& best) {
    if (!(best.t > 0.0f) || !(best.t < std::numeric_limits<float>::max())) return best.t;
    std::uint32_t bits;
    std::memcpy(&bits, &best.t, sizeof bits);
    ++bits;
    float next;
    std::memcpy(&next, &bits, sizeof next);
    return next;
}

// Takes the passing lanes (mask bits) that come before the best so far in the order of
// (t, triangle index): the nearest hit, and of equally near ones the lowest triangle index,
// whatever the order or the width in which the triangles were tested (the packet queries keep
// the same order, so both give the same triangle).
inline void TakeNearer(int mask, const float* t, const float* u, const float* v, const TriangleBlock4* blocks,
                       unsigned firstBlock, int lanes, Nearest& best) {
    for (int lane = 0; lane < lanes; ++lane) {
        if (!(mask & (1 << lane))) continue;
        const unsigned block = firstBlock + static_cast<unsigned>(lane / 4);
        const unsigned index = blocks[block].index[lane % 4];
        if (!(t[lane] < best.t) && !(t[lane] == best.t && index < best.index)) continue;
        best.t = t[lane];
        best.u = u[lane];
        best.v = v[lane];
        best.index = index;
        best.block = block;
        best.lane = lane % 4;
    }
}

// One block of four lanes into the running best.
inline void NearestInBlock(const RayLanes& lanes, const TriangleBlock4* blocks, unsigned k, unsigned skip,
                           Nearest& best) {
    __m128 u, v, t;
    const int mask = RayTriangle4(lanes, blocks[k], _mm_set1_ps(TieBound(best)), skip, u, v, t);
    if (mask == 0) return;
    alignas(16) float ts[4], us[4], vs[4];
    _mm_store_ps(ts, t);
    _mm_store_ps(us, u);
    _mm_store_ps(vs, v);
    TakeNearer(mask, ts, us, vs, blocks, k, 4, best);
}

inline void NearestInCell4(const RayLanes& lanes, const TriangleBlock4* blocks, unsigned first, unsigned end,
                           unsigned skip, Nearest& best) {
    for (unsigned k = first; k < end; ++k) NearestInBlock(lanes, blocks, k, skip, best);
}

inline bool AnyInCell4(const RayLanes& lanes, const TriangleBlock4* blocks, unsigned first, unsigned end,
                       unsigned skip, __m128 limit) {
    for (unsigned k = first; k < end; ++k) {
        __m128 u, v, t;
        if (RayTriangle4(lanes, blocks[k], limit, skip, u, v, t) != 0) return true;
    }
    return false;
}

#ifdef REDOWL_HAS_AVX2_PATH
// The same, two blocks (eight triangles) at a time; a last odd block goes four lanes wide.
__attribute__((target("avx2"), noinline)) void NearestInCell8(const RayLanes& lanes, const float o[3],
                                                              const float d[3], float tMinimum,
                                                              const TriangleBlock4* blocks, unsigned first,
                                                              unsigned end, unsigned skip, Nearest& best) {
    unsigned k = first;
    for (; k + 1 < end; k += 2) {
        float u[8], v[8], t[8];
        const int mask = RayTriangle8(o, d, tMinimum, blocks + k, TieBound(best), skip, u, v, t);
        if (mask != 0) TakeNearer(mask, t, u, v, blocks, k, 8, best);
    }
    if (k < end) NearestInBlock(lanes, blocks, k, skip, best);
}

__attribute__((target("avx2"), noinline)) bool AnyInCell8(const RayLanes& lanes, const float o[3], const float d[3],
                                                          float tMinimum, const TriangleBlock4* blocks,
                                                          unsigned first, unsigned end, unsigned skip, float tMax) {
    unsigned k = first;
    for (; k + 1 < end; k += 2) {
        float u[8], v[8], t[8];
        if (RayTriangle8(o, d, tMinimum, blocks + k, tMax, skip, u, v, t) != 0) return true;
    }
    if (k < end) {
        __m128 u, v, t;
        return RayTriangle4(lanes, blocks[k], _mm_set1_ps(tMax), skip, u, v, t) != 0;
    }
    return false;
}
#endif

}  // namespace

template <int Dim, class Tri, class Index>
bool BaseGrid<Dim, Tri, Index>::Intersect(const Ray& ray, RayHit& hit, float tMax) const {
    return IntersectWidth(ray, hit, tMax, CpuHasWideTest());
}

template <int Dim, class Tri, class Index>
bool BaseGrid<Dim, Tri, Index>::IntersectWidth(const Ray& ray, RayHit& hit, float tMax, bool wide) const {
    float tMinimum = 0.0f;
    if (!Usable(ray, tMinimum)) return false;
    const unsigned skip = SkipIndex(hit.triangle);
    const TriangleBlock* const blocks = queryBlocks_.get();
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    const RayLanes lanes(o, d, tMinimum);
    Nearest best{tMax, 0.0f, 0.0f, 0, 0, -1};
    // Every triangle of a cell is tested; the nearest hit so far stays a candidate, and the
    // walk stops at the first cell whose exit lies beyond it (a hit beyond the exit of its cell
    // may have a nearer rival in a later cell, and one at the exit an equally near one). Cells of more than four triangles go
    // eight lanes wide where the processor can; the result is the same bit for bit.
    WalkCells(ray, tMinimum, tMax, [&](unsigned first, unsigned end, float tExit) {
#ifdef REDOWL_HAS_AVX2_PATH
        if (wide && end - first > 2) NearestInCell8(lanes, o, d, tMinimum, blocks, first, end, skip, best);
        else
#endif
            NearestInCell4(lanes, blocks, first, end, skip, best);
        return best.lane >= 0 && best.t < tExit;
    });
    if (best.lane < 0) return false;
    hit.triangle = triangles + blocks[best.block].index[best.lane];
    hit.b1 = best.u;
    hit.b2 = best.v;
    hit.b0 = (1.0f - best.v) - best.u;
    hit.t = best.t;
    return true;
}

template <int Dim, class Tri, class Index>
bool BaseGrid<Dim, Tri, Index>::Occluded(const Ray& ray, float tMax, const Tri* skipTriangle) const {
    return OccludedWidth(ray, tMax, skipTriangle, CpuHasWideTest());
}

template <int Dim, class Tri, class Index>
bool BaseGrid<Dim, Tri, Index>::OccludedWidth(const Ray& ray, float tMax, const Tri* skipTriangle, bool wide) const {
    float tMinimum = 0.0f;
    if (!Usable(ray, tMinimum)) return false;
    const unsigned skip = SkipIndex(skipTriangle);
    const TriangleBlock* const blocks = queryBlocks_.get();
    const __m128 limit = _mm_set1_ps(tMax);
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    const RayLanes lanes(o, d, tMinimum);
    return WalkCells(ray, tMinimum, tMax, [&](unsigned first, unsigned end, float) {
#ifdef REDOWL_HAS_AVX2_PATH
        if (wide && end - first > 2) return AnyInCell8(lanes, o, d, tMinimum, blocks, first, end, skip, tMax);
#endif
        return AnyInCell4(lanes, blocks, first, end, skip, limit);
    });
}

template <int Dim, class Tri, class Index>
std::size_t BaseGrid<Dim, Tri, Index>::MemoryBytes() const {
    std::size_t bytes = 0;
    const unsigned cellCount = cells.Count();
    for (unsigned c = 0; c < cellCount; ++c) bytes += sizeof(Cube) + cells[c].size * sizeof(unsigned);
    if (queryStart_) bytes += (cellCount + 1) * sizeof(unsigned);
    bytes += queryBlockCount_ * sizeof(TriangleBlock);
    return bytes;
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::PrintStatistics(std::ostream& out) {
    // 1. Cubes per size, the largest size, the sum as float and the average.
    std::map<unsigned, unsigned> table;
    unsigned largest = 0;
    float sum = 0.0f;
    const unsigned cellCount = cells.Count();
    for (unsigned c = 0; c < cellCount; ++c) {
        const unsigned size = cells[c].size;
        ++table[size];
        largest = std::max(largest, size);
        sum += static_cast<float>(size);
    }
    const float average = sum / static_cast<float>(cellCount);
    // 2. The algorithm line names the flag as it is now; an unknown flag writes nothing.
    const char* line;
    if (gridAlgorithm == kFastAlgorithm) line = "use FAST_ALGORITHM of build regular grid";
    else if (gridAlgorithm == kAccuracyAlgorithm) line = "use ACCURANCY_ALGORITHM of build regular grid";
    else throw TIRN_ERROR::Error("UNKNOWN_ALGORITHM of build regular grid");
    // 3. The report, every line flushed.
    out << line << std::endl;
    out << "Numbers of entries of triangles in voxel:" << std::endl;
    for (const auto& [size, number] : table) out << size << " : " << number << std::endl;
    out << std::endl;
    out << "Max number of triangles in voxel: " << largest << std::endl;
    out << "Average number of triangles in voxel: " << average << std::endl;
    out.flush();
}

template <int Dim, class Tri, class Index>
void REGULAR_GRID<Dim, Tri, Index>::DrawListedCells(const unsigned char colour[3]) {
    // Cell coordinates are added to minimum as they are, without the cell size.
    for (const CellCoord& cell : this->cellList) {
        glColor3ubv(colour);
        glPushMatrix();
        glTranslatef(this->minimum.x + cell.i, this->minimum.y + cell.j, this->minimum.z + cell.k);
        glutWireCube(1.0);
        glPopMatrix();
    }
}

template <int Dim, class Tri, class Index>
void REGULAR_GRID<Dim, Tri, Index>::DrawOccupiedCells(const unsigned char colour[3]) {
    // Each drawn cube is the cell's true extent (edge 1.0 where the inverse size is unusable).
    float s[3];
    for (int axis = 0; axis < 3; ++axis)
        s[axis] = this->inverseCellSize[axis] > 0.00001f ? 1.0f / this->inverseCellSize[axis] : 1.0f;
    const unsigned nx = this->cells.Dim(0), ny = this->cells.Dim(1), nz = this->cells.Dim(2);
    for (unsigned i = 0; i < nx; ++i)
        for (unsigned j = 0; j < ny; ++j)
            for (unsigned k = 0; k < nz; ++k) {
                if (this->cells.at(i, j, k).size == 0) continue;
                glColor3ubv(colour);
                glPushMatrix();
                glTranslatef(this->minimum.x + i * s[0], this->minimum.y + j * s[1], this->minimum.z + k * s[2]);
                glScalef(s[0], s[1], s[2]);
                glutWireCube(1.0);
                glPopMatrix();
            }
}

template class BaseGrid<3, ORVA_GRAPHICS::Triangle, unsigned int>;
template class REGULAR_GRID<3, ORVA_GRAPHICS::Triangle, unsigned int>;

}  // namespace RAYTR
