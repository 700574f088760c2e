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
#include <map>
#include <new>
#include <ostream>
#include <string>

#include "errors/errors.h"
#include "errors/message_box.h"
#include "grid/cell_walk.h"
#include "grid/ray_triangle.h"
#include "grid/tri_box.h"

namespace RAYTR {

int gridAlgorithm = kFastAlgorithm;
float gridBuildFactor = 4.0f;

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
    }
    cellSize = other.cellSize;
    triangles = other.triangles;
    minimum = other.minimum;
    maximum = other.maximum;
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
    for (int i = 0; i < triangleCount; ++i)
        edgeSum += ORVA_MATH::Length(triangleArray[i].A->position - triangleArray[i].B->position);
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
    // 7. Fresh cubes of 8 entries each.
    cells.SetDimensions(resolution[0], resolution[1], resolution[2]);
    cellList.clear();
    // 8. Every triangle, in array order.
    StatusStep buildStep(kBuildTitle);
    for (int i = 0; i < triangleCount; ++i) {
        InsertTriangle(triangleArray[i], static_cast<unsigned>(i));
        buildStep.After([&] {
            return static_cast<int>(static_cast<float>(i) / static_cast<float>(triangleCount) * 100.0);
        });
    }
    // 9. Trim every cube to its count.
    StatusStep shrinkStep(kShrinkTitle);
    for (int k = 0; k < total; ++k) {
        cells[k].Resize(counts[k]);
        shrinkStep.After([&] { return static_cast<int>(static_cast<float>(k) / total * 100.0); });
    }
    // 10. The final title with the last reported percentage.
    TIRN_ERROR::SetStatusTitle(kFinalTitle + std::to_string(shrinkStep.Last()));
    // 11. Built.
    delete[] counts;
    counts = nullptr;
    MakeQueryLayout();
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::MakeQueryLayout() {
    const unsigned cellCount = cells.Count();
    // Offsets: cell c's triangles are in blocks queryStart_[c] .. queryStart_[c + 1] - 1.
    queryStart_.reset(new unsigned[cellCount + 1]);
    unsigned blocks = 0;
    for (unsigned c = 0; c < cellCount; ++c) {
        queryStart_[c] = blocks;
        blocks += (cells[c].size + 3) / 4;
    }
    queryStart_[cellCount] = blocks;
    queryBlockCount_ = blocks;
    queryBlocks_.reset(new TriangleBlock[blocks]);
    // Fill lane by lane in the cube's order; unused lanes hold zeros and no triangle.
    for (unsigned c = 0; c < cellCount; ++c) {
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
            const Tri& t = triangles[cube.indices[n]];
            const VECTOR& a = t.A->position;
            const VECTOR& b = t.B->position;
            const VECTOR& cc = t.C->position;
            block.ax[lane] = a.x;
            block.ay[lane] = a.y;
            block.az[lane] = a.z;
            block.e1x[lane] = b.x - a.x;
            block.e1y[lane] = b.y - a.y;
            block.e1z[lane] = b.z - a.z;
            block.e2x[lane] = cc.x - a.x;
            block.e2y[lane] = cc.y - a.y;
            block.e2z[lane] = cc.z - a.z;
            block.index[lane] = cube.indices[n];
        }
    }
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::InsertTriangle(const Tri& triangle, unsigned index) {
    // 1. Corners in grid coordinates.
    auto toGrid = [&](const VECTOR& p) {
        return VECTOR{(p.x - minimum.x) * inverseCellSize[0], (p.y - minimum.y) * inverseCellSize[1],
                      (p.z - minimum.z) * inverseCellSize[2], 0.0f};
    };
    const VECTOR P = toGrid(triangle.A->position);
    const VECTOR Q = toGrid(triangle.B->position);
    const VECTOR R = toGrid(triangle.C->position);
    // 2. The cells of the triangle, by the process-wide algorithm.
    if (gridAlgorithm == kFastAlgorithm) FastAlgorithm(P, Q, R);
    else if (gridAlgorithm == kAccuracyAlgorithm) AccuracyAlgorithm(P, Q, R);
    else throw TIRN_ERROR::Error("ILLEGAL ALGORITM OF BUILDING REGULAR GRID");
    // 3 and 4. Drop repeated cells (first occurrences keep their order) and add the triangle
    // to each remaining cell. Triangles arrive in increasing index order, so a cell already
    // holds this triangle exactly when its last used entry is this index.
    const int s0 = cells.Stride0(), s1 = cells.Stride1();
    for (auto it = cellList.begin(); it != cellList.end();) {
        const int c = it->i * s0 + it->j * s1 + it->k;
        Cube& cube = cells[static_cast<unsigned>(c)];
        if (counts[c] != 0 && cube.indices[counts[c] - 1] == index) {
            it = cellList.erase(it);
            continue;
        }
        cube.Add(index, c, counts);
        ++it;
    }
    // 5. The list is empty between insertions.
    cellList.clear();
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::AppendLine(const VECTOR& from, const VECTOR& to) {
    const int a[3] = {CellOfAxis(from.x, resolution[0]), CellOfAxis(from.y, resolution[1]),
                      CellOfAxis(from.z, resolution[2])};
    const int b[3] = {CellOfAxis(to.x, resolution[0]), CellOfAxis(to.y, resolution[1]),
                      CellOfAxis(to.z, resolution[2])};
    CellLine(a, b, [&](int i, int j, int k) {
        cellList.push_back(CellCoord{i, j, k});
        return false;
    });
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::FastAlgorithm(VECTOR P, VECTOR Q, VECTOR R) {
    // 1. Squared edge lengths.
    const float dPQ = ORVA_MATH::LengthSquared(P - Q);
    const float dPR = ORVA_MATH::LengthSquared(P - R);
    const float dQR = ORVA_MATH::LengthSquared(Q - R);
    // 2 and 3. Make P-R a longest edge and Q the corner opposite it.
    float m = dPR;
    if (dPR < dQR) {
        std::swap(P, Q);
        m = dQR;
    }
    if (m < dPQ) std::swap(Q, R);
    // 4. Foot of the height from Q on P-R.
    const VECTOR PR = R - P;
    const VECTOR F = P + PR * (ORVA_MATH::Dot(Q - P, PR) / ORVA_MATH::LengthSquared(PR));
    // 5. The three edges.
    AppendLine(P, Q);
    AppendLine(P, R);
    AppendLine(Q, R);
    // 6. The two right triangles on either side of the height.
    FillHalf(P, Q, F);
    FillHalf(R, Q, F);
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::FillHalf(const VECTOR& S, const VECTOR& Q, const VECTOR& F) {
    // 1. Unit step along the hypotenuse S-Q.
    const float L = ORVA_MATH::Length(Q - S);
    const VECTOR u = (Q - S) / L;
    // 2. Nothing to fill on a zero (or unusable) hypotenuse.
    if (!(L > 0.0f) || !(L < 16777216.0f)) return;
    // A leg S-F of zero length (or NaN) leaves no line to drop the feet on: skip every line.
    const VECTOR SF = F - S;
    const float sfSquared = ORVA_MATH::LengthSquared(SF);
    if (!(sfSquared > 0.0f)) return;
    // 3. Lines parallel to Q-F, one grid unit apart along S-Q.
    float e = 0.0f;
    do {
        const VECTOR p = S + u * e;
        const VECTOR f = S + SF * (ORVA_MATH::Dot(p - S, SF) / sfSquared);
        AppendLine(p, f);
        e = e + 1.0f;
    } while (e < L);
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::AccuracyAlgorithm(const VECTOR& P, const VECTOR& Q, const VECTOR& R) {
    // 1. The triangle's bounds in grid coordinates.
    const float lo[3] = {std::min({P.x, Q.x, R.x}), std::min({P.y, Q.y, R.y}), std::min({P.z, Q.z, R.z})};
    const float hi[3] = {std::max({P.x, Q.x, R.x}), std::max({P.y, Q.y, R.y}), std::max({P.z, Q.z, R.z})};
    // Candidate range trunc(lo) .. trunc(hi + 1) per axis, kept inside 0 .. n - 1.
    int first[3], last[3];
    for (int axis = 0; axis < 3; ++axis) {
        const double l = std::trunc(static_cast<double>(lo[axis]));
        const double h = std::trunc(static_cast<double>(hi[axis]) + 1.0);
        const double top = resolution[axis] - 1;
        first[axis] = l >= 0.0 ? static_cast<int>(std::min(l, top)) : 0;
        last[axis] = h >= 0.0 ? static_cast<int>(std::min(h, top)) : -1;
    }
    const float t0[3] = {P.x, P.y, P.z}, t1[3] = {Q.x, Q.y, Q.z}, t2[3] = {R.x, R.y, R.z};
    const float half[3] = {0.5f, 0.5f, 0.5f};
    // 2 and 3. Every candidate cell whose cube the triangle overlaps, x outermost.
    for (int x = first[0]; x <= last[0]; ++x)
        for (int y = first[1]; y <= last[1]; ++y)
            for (int z = first[2]; z <= last[2]; ++z) {
                const float centre[3] = {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
                if (TriangleBoxOverlap(centre, half, t0, t1, t2)) cellList.push_back(CellCoord{x, y, z});
            }
}

template <int Dim, class Tri, class Index>
bool BaseGrid<Dim, Tri, Index>::Intersect(const Ray& ray, RayHit& hit) const {
    if (!queryStart_) return false;  // never built
    // 1. Slab test, four lanes at once (w computed and ignored). _mm_max_ps / _mm_min_ps return
    // their second operand when the first is NaN, which is the clamp rule for 0 * infinity.
    const __m128 origin = _mm_load_ps(&ray.origin.x);
    const __m128 direction = _mm_load_ps(&ray.direction.x);
    const __m128 inv = _mm_div_ps(_mm_set1_ps(1.0f), direction);
    const __m128 l1 = _mm_mul_ps(_mm_sub_ps(_mm_load_ps(&minimum.x), origin), inv);
    const __m128 l2 = _mm_mul_ps(_mm_sub_ps(_mm_load_ps(&maximum.x), origin), inv);
    const __m128 low = _mm_set1_ps(-1e38f), high = _mm_set1_ps(1e38f);
    const __m128 nearV = _mm_min_ps(_mm_max_ps(l1, low), _mm_max_ps(l2, low));
    const __m128 farV = _mm_max_ps(_mm_min_ps(l1, high), _mm_min_ps(l2, high));
    alignas(16) float nearL[4], farL[4];
    _mm_store_ps(nearL, nearV);
    _mm_store_ps(farL, farV);
    const float tNear = std::max(std::max(nearL[0], nearL[1]), nearL[2]);
    const float tFar = std::min(std::min(farL[0], farL[1]), farL[2]);
    if (!(tFar >= tNear && tFar >= 0.0f)) return false;
    // 2. Entry and exit points (the origin when the parameter is not positive).
    const __m128 entry = tNear > 0.0f ? _mm_add_ps(origin, _mm_mul_ps(direction, _mm_set1_ps(tNear))) : origin;
    const __m128 exit = tFar > 0.0f ? _mm_add_ps(origin, _mm_mul_ps(direction, _mm_set1_ps(tFar))) : origin;
    // 3. Their cells: trunc(g + 0.5), clamped to 0 .. n - 1 (NaN becomes 0).
    const __m128 minV = _mm_load_ps(&minimum.x);
    const __m128 invCell = _mm_set_ps(0.0f, inverseCellSize[2], inverseCellSize[1], inverseCellSize[0]);
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128 zero = _mm_setzero_ps();
    const __m128 top = _mm_set_ps(0.0f, static_cast<float>(resolution[2] - 1), static_cast<float>(resolution[1] - 1),
                                  static_cast<float>(resolution[0] - 1));
    auto cellOf = [&](__m128 p, int out[3]) {
        __m128 g = _mm_add_ps(_mm_mul_ps(_mm_sub_ps(p, minV), invCell), half);
        g = _mm_min_ps(_mm_max_ps(g, zero), top);
        alignas(16) int c[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(c), _mm_cvttps_epi32(g));
        out[0] = c[0];
        out[1] = c[1];
        out[2] = c[2];
    };
    int a[3], b[3];
    cellOf(entry, a);
    cellOf(exit, b);
    // 4. The triangle to skip, as an index into our array (none when it is not one of ours).
    const Tri* const base = triangles;
    const Tri* const skip = hit.triangle;
    unsigned skipIndex = kNoTriangle;
    if (skip != nullptr && base != nullptr) {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(skip), from = reinterpret_cast<std::uintptr_t>(base);
        if (at >= from && (at - from) % sizeof(Tri) == 0 && (at - from) / sizeof(Tri) < kNoTriangle)
            skipIndex = static_cast<unsigned>((at - from) / sizeof(Tri));
    }
    const unsigned* const start = queryStart_.get();
    const TriangleBlock* const blocks = queryBlocks_.get();
    // Per-query constants of the triangle test, broadcast to four lanes.
    const __m128 ox = _mm_set1_ps(ray.origin.x), oy = _mm_set1_ps(ray.origin.y), oz = _mm_set1_ps(ray.origin.z);
    const __m128 dx = _mm_set1_ps(ray.direction.x), dy = _mm_set1_ps(ray.direction.y),
                 dz = _mm_set1_ps(ray.direction.z);
    const __m128 minDet = _mm_set1_ps(1e-6f), one = _mm_set1_ps(1.0f);
    const __m128 lowWeight = _mm_set1_ps(kAboveMinusThousandth), highWeight = _mm_set1_ps(1.001f);
    const __m128d highSum = _mm_set1_pd(static_cast<double>(1.001f));
    const __m128i none = _mm_set1_epi32(static_cast<int>(kNoTriangle));
    const __m128i skipped = _mm_set1_epi32(static_cast<int>(skipIndex));
    float b0 = hit.b0, b1 = hit.b1, b2 = hit.b2;
    const Tri* tested = nullptr;
    // 5. Walk from the entry cell to the exit cell; the first triangle that passes wins. Four
    // triangles of a cell are tested at once with the one-sided test's operations in its order;
    // the first passing lane is the first passing triangle, and a block without a hit leaves
    // the record as its last lanes' tests would have (last tested triangle, last u and v).
    const int stride[3] = {cells.Stride0(), cells.Stride1(), 1};
    const bool found = CellLineLinear(a, b, stride, [&](long long cell) {
        const unsigned end = start[cell + 1];
        for (unsigned k = start[cell]; k < end; ++k) {
            const TriangleBlock& block = blocks[k];
            const __m128i index = _mm_load_si128(reinterpret_cast<const __m128i*>(block.index));
            // Lanes that hold a triangle other than the skip triangle.
            const __m128 live = _mm_castsi128_ps(
                _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi32(index, none), _mm_cmpeq_epi32(index, skipped)),
                                 _mm_set1_epi32(-1)));
            const int liveMask = _mm_movemask_ps(live);
            if (liveMask == 0) continue;
            const __m128 e1x = _mm_load_ps(block.e1x), e1y = _mm_load_ps(block.e1y), e1z = _mm_load_ps(block.e1z);
            const __m128 e2x = _mm_load_ps(block.e2x), e2y = _mm_load_ps(block.e2y), e2z = _mm_load_ps(block.e2z);
            // p = d x e2; det = e1 . p.
            const __m128 px = _mm_sub_ps(_mm_mul_ps(dy, e2z), _mm_mul_ps(dz, e2y));
            const __m128 py = _mm_sub_ps(_mm_mul_ps(dz, e2x), _mm_mul_ps(dx, e2z));
            const __m128 pz = _mm_sub_ps(_mm_mul_ps(dx, e2y), _mm_mul_ps(dy, e2x));
            const __m128 det = _mm_add_ps(_mm_add_ps(_mm_mul_ps(e1x, px), _mm_mul_ps(e1y, py)), _mm_mul_ps(e1z, pz));
            const __m128 passDet = _mm_andnot_ps(_mm_cmplt_ps(det, minDet), live);
            const int detMask = _mm_movemask_ps(passDet);
            if (detMask == 0) {
                tested = base + block.index[31 - __builtin_clz(static_cast<unsigned>(liveMask))];
                continue;
            }
            const __m128 inv = _mm_div_ps(one, det);
            // s = o - A; u = (s . p) / det.
            const __m128 sx = _mm_sub_ps(ox, _mm_load_ps(block.ax));
            const __m128 sy = _mm_sub_ps(oy, _mm_load_ps(block.ay));
            const __m128 sz = _mm_sub_ps(oz, _mm_load_ps(block.az));
            const __m128 u =
                _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(sx, px), _mm_mul_ps(sy, py)), _mm_mul_ps(sz, pz)), inv);
            // q = s x e1; v = (d . q) / det.
            const __m128 qx = _mm_sub_ps(_mm_mul_ps(sy, e1z), _mm_mul_ps(sz, e1y));
            const __m128 qy = _mm_sub_ps(_mm_mul_ps(sz, e1x), _mm_mul_ps(sx, e1z));
            const __m128 qz = _mm_sub_ps(_mm_mul_ps(sx, e1y), _mm_mul_ps(sy, e1x));
            const __m128 v =
                _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, qx), _mm_mul_ps(dy, qy)), _mm_mul_ps(dz, qz)), inv);
            const __m128 uFails = _mm_or_ps(_mm_cmplt_ps(u, lowWeight), _mm_cmpgt_ps(u, highWeight));
            const __m128 passU = _mm_andnot_ps(uFails, passDet);
            // u + v in double against the widened 1.001f.
            const __m128d sumLow = _mm_add_pd(_mm_cvtps_pd(u), _mm_cvtps_pd(v));
            const __m128d sumHigh = _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(u, u)), _mm_cvtps_pd(_mm_movehl_ps(v, v)));
            const __m128 sumFails = _mm_shuffle_ps(_mm_castpd_ps(_mm_cmpgt_pd(sumLow, highSum)),
                                                   _mm_castpd_ps(_mm_cmpgt_pd(sumHigh, highSum)), _MM_SHUFFLE(2, 0, 2, 0));
            const __m128 vFails = _mm_or_ps(_mm_cmplt_ps(v, lowWeight), sumFails);
            const int hitMask = _mm_movemask_ps(_mm_andnot_ps(vFails, passU));
            const int uMask = _mm_movemask_ps(passU);
            alignas(16) float us[4], vs[4];
            _mm_store_ps(us, u);
            _mm_store_ps(vs, v);
            if (hitMask != 0) {
                // The first passing lane; the lanes before it failed and its own weights win.
                const int lane = __builtin_ctz(static_cast<unsigned>(hitMask));
                tested = base + block.index[lane];
                b1 = us[lane];
                b2 = vs[lane];
                b0 = (1.0f - b2) - b1;
                return true;
            }
            tested = base + block.index[31 - __builtin_clz(static_cast<unsigned>(liveMask))];
            b1 = us[31 - __builtin_clz(static_cast<unsigned>(detMask))];
            if (uMask != 0) b2 = vs[31 - __builtin_clz(static_cast<unsigned>(uMask))];
        }
        return false;
    });
    // The record keeps the last tested triangle and the weights of the last test either way.
    if (tested != nullptr) hit.triangle = tested;
    hit.b0 = b0;
    hit.b1 = b1;
    hit.b2 = b2;
    return found;
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
