// The grid's build, copy, query copy and statistics (see regular_grid.h for the papers).

#include "grid/regular_grid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "errors/errors.h"
#include "grid/build_threads.h"

namespace RAYTR {

int BuildThreadCount(int requested, long long items, long long minItemsPerThread) {
    int threads = requested;
    if (threads <= 0) threads = static_cast<int>(std::thread::hardware_concurrency());
    threads = std::clamp(threads, 1, 64);
    const long long byWork = std::max(1LL, items / std::max(1LL, minItemsPerThread));
    return static_cast<int>(std::min<long long>(threads, byWork));
}

namespace {

using ORVA_MATH::VECTOR;

// Cells are widened by this many cell edges on every side when triangles are entered, so
// that the rounding of grid coordinates never leaves out a cell that a triangle touches (a hit
// found by the watertight test then always lies in a cell that holds its triangle).
constexpr float kCellMargin = 1e-3f;

// trunc(g + 0.5) limited to 0 .. n - 1; NaN and negative values give 0.
inline int CellOfAxis(float g, int n) {
    const float h = g + 0.5f;
    if (!(h >= 1.0f)) return 0;
    if (h >= static_cast<float>(n)) return n - 1;
    return std::min(static_cast<int>(h), n - 1);
}

// A stage's progress as the window titles have always shown it: a loop counts its items, and
// after each item, once the count has passed 200, it reports trunc(index / items * 100) (single
// precision) and counts again from 0. So the first report follows the item of index 201 and the
// next ones come every 202 items; a loop of at most 201 items reports nothing. A percentage
// equal to the one reported last is not reported again (the title would not change).
class Progress {
public:
    Progress(const GridBuildSettings& settings, GridBuildStage stage, long long items)
        : report_(settings.progress), stage_(stage), items_(items) {}
    // After the item of the given index (0-based).
    void After(long long index) {
        if (counter_ <= 200) {
            ++counter_;
            return;
        }
        counter_ = 0;
        if (!report_ || items_ <= 0) return;
        const int percent = static_cast<int>(static_cast<float>(index) / static_cast<float>(items_) * 100.0f);
        if (percent == last_) return;
        last_ = percent;
        report_(stage_, percent);
    }
    // The last percentage reported, 0 when none was.
    int Last() const { return last_ < 0 ? 0 : last_; }

private:
    const std::function<void(GridBuildStage, int)>& report_;
    GridBuildStage stage_;
    long long items_;
    int counter_ = 0;
    int last_ = -1;
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
void BaseGrid<Dim, Tri, Index>::AlignedFree::operator()(float* p) const {
    std::free(p);
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
    algorithm_ = other.algorithm_;
    leftOut_ = other.leftOut_;
    // The query copy follows the cells.
    DropQueryLayout();
    if (other.kernel_ != nullptr) {
        const unsigned cellCount = other.cells.Count();
        const int width = other.query_.width;
        queryStart_.reset(new std::uint32_t[cellCount + 1]);
        std::memcpy(queryStart_.get(), other.queryStart_.get(), (cellCount + 1) * sizeof(std::uint32_t));
        queryBlockCount_ = other.queryBlockCount_;
        const std::size_t floats = static_cast<std::size_t>(queryBlockCount_) * kBlockRows * width;
        queryBlocks_.reset(static_cast<float*>(std::aligned_alloc(64, (floats * sizeof(float) + 63) / 64 * 64 + 64)));
        if (!queryBlocks_) throw std::bad_alloc();
        std::memcpy(queryBlocks_.get(), other.queryBlocks_.get(), floats * sizeof(float));
        const std::size_t lanes = static_cast<std::size_t>(queryBlockCount_) * width;
        queryIndex_.reset(new std::uint32_t[lanes + 1]);
        std::memcpy(queryIndex_.get(), other.queryIndex_.get(), lanes * sizeof(std::uint32_t));
        const std::size_t macros = static_cast<std::size_t>(other.query_.macroResolution[0]) *
                                   other.query_.macroResolution[1] * other.query_.macroResolution[2];
        macroOccupied_.reset(new std::uint8_t[macros]);
        std::memcpy(macroOccupied_.get(), other.macroOccupied_.get(), macros);
        query_ = other.query_;
        kernel_ = other.kernel_;
        PointQueryAtArrays();
    }
    return *this;
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::SetAlgorithm(int algorithm) {
    algorithm_ = algorithm;
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::DropQueryLayout() {
    kernel_ = nullptr;
    query_ = GridQueryData();
    queryStart_.reset();
    queryBlocks_.reset();
    queryIndex_.reset();
    macroOccupied_.reset();
    queryBlockCount_ = 0;
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::PointQueryAtArrays() {
    query_.cellStart = queryStart_.get();
    query_.blocks = queryBlocks_.get();
    query_.blockIndex = queryIndex_.get();
    query_.macroOccupied = macroOccupied_.get();
}

template <int Dim, class Tri, class Index>
GridBuildResult BaseGrid<Dim, Tri, Index>::Build(Tri* triangleArray, int triangleCount,
                                                 const ORVA_GRAPHICS::BoxTransform& box) {
    GridBuildSettings settings;
    settings.algorithm = algorithm_;
    return Build(triangleArray, triangleCount, box, settings);
}

template <int Dim, class Tri, class Index>
GridBuildResult BaseGrid<Dim, Tri, Index>::Build(Tri* triangleArray, int triangleCount,
                                                 const GridBuildSettings& settings) {
    return BuildOver(triangleArray, triangleCount, nullptr, settings);
}

template <int Dim, class Tri, class Index>
GridBuildResult BaseGrid<Dim, Tri, Index>::Build(Tri* triangleArray, int triangleCount,
                                                 const ORVA_GRAPHICS::BoxTransform& box,
                                                 const GridBuildSettings& settings) {
    return BuildOver(triangleArray, triangleCount, &box, settings);
}

template <int Dim, class Tri, class Index>
GridBuildResult BaseGrid<Dim, Tri, Index>::BuildOver(Tri* triangleArray, int triangleCount,
                                                     const ORVA_GRAPHICS::BoxTransform* box,
                                                     const GridBuildSettings& settings) {
    GridBuildResult result;
    DropQueryLayout();
    if (triangleCount < 0) triangleCount = 0;
    algorithm_ = settings.algorithm;
    triangles = triangleArray;
    // The triangles a ray can hit: zero-area ones and repeats of an earlier one are left out
    // (neither changes an answer: nothing hits the first, the earlier twin wins every tie).
    const std::vector<unsigned> held = HeldTriangles(triangleArray, triangleCount);
    leftOut_ = static_cast<unsigned>(triangleCount) - static_cast<unsigned>(held.size());
    // 1. The box: the caller's, or that of the triangles held.
    if (box != nullptr) {
        minimum = box->minimum;
        maximum = box->maximum;
    } else {
        BoxOfTriangles(held);
    }
    // 2-3. The cell edge from the held triangles' first edges; 4-5. the resolution within the
    // cell budget, and the memory warning for what the settings asked for.
    cellSize = CellEdge(held, settings);
    const long long cellCount = ChooseResolution(static_cast<int>(held.size()), result);
    // The user hears of the memory asked for before the build, not after it.
    if (settings.warn)
        for (const std::string& warning : result.warnings) settings.warn(warning);
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
    const int algorithm = settings.algorithm;
    if (triangleCount > 0 && algorithm != kFastAlgorithm && algorithm != kAccuracyAlgorithm)
        throw TIRN_ERROR::Error("ILLEGAL ALGORITM OF BUILDING REGULAR GRID");
    // 8. Every held triangle's cells.
    const int lastFill = FillCells(held, settings);
    // 9-11. Every cube already has its exact count (empty cells hold no array, size 0): built.
    delete[] counts;
    counts = nullptr;
    MakeQueryLayout(settings.threads);
    // The last title ends with the last percentage the fill reported (0 when it reported none).
    if (settings.progress) settings.progress(GridBuildStage::kDone, lastFill);
    return result;
}

template <int Dim, class Tri, class Index>
std::vector<unsigned> BaseGrid<Dim, Tri, Index>::HeldTriangles(const Tri* triangleArray, int triangleCount) {
    // Each triangle's corners as bits. Only the same corners in the same order are a repeat:
    // the test of the same corners taken from another corner rounds differently (an answer
    // an ulp apart), so such a triangle stays.
    using Key = std::array<std::uint32_t, 9>;
    auto keyOf = [&](unsigned i) {
        const Tri& t = triangleArray[i];
        const VECTOR* corner[3] = {&t.A->position, &t.B->position, &t.C->position};
        Key key;
        for (int k = 0; k < 3; ++k)
            for (int axis = 0; axis < 3; ++axis) {
                const float c = (*corner[k])[axis];
                std::memcpy(&key[static_cast<std::size_t>(k * 3 + axis)], &c, sizeof c);
            }
        return key;
    };
    auto usable = [&](unsigned i) {
        const Tri& t = triangleArray[i];
        const VECTOR n = ORVA_MATH::Cross(t.B->position - t.A->position, t.C->position - t.A->position);
        const float sum = t.A->position.x + t.A->position.y + t.A->position.z + t.B->position.x + t.B->position.y +
                          t.B->position.z + t.C->position.x + t.C->position.y + t.C->position.z;
        return (n.x != 0.0f || n.y != 0.0f || n.z != 0.0f) && sum - sum == 0.0f;
    };
    // An open-addressed table of the triangles kept so far, by their keys' hash.
    std::size_t size = 16;
    while (size < 2 * static_cast<std::size_t>(triangleCount)) size *= 2;
    std::vector<std::uint32_t> table(size, 0);  // triangle index + 1, 0 for empty
    std::vector<unsigned> held;
    held.reserve(static_cast<std::size_t>(triangleCount));
    for (unsigned i = 0; i < static_cast<unsigned>(triangleCount); ++i) {
        if (!usable(i)) continue;
        const Key key = keyOf(i);
        std::uint64_t hash = 1469598103934665603ULL;
        for (std::uint32_t word : key) hash = (hash ^ word) * 1099511628211ULL;
        std::size_t slot = static_cast<std::size_t>(hash ^ (hash >> 29)) & (size - 1);
        bool repeated = false;
        for (; table[slot] != 0; slot = (slot + 1) & (size - 1))
            if (keyOf(table[slot] - 1) == key) {
                repeated = true;
                break;
            }
        if (repeated) continue;
        table[slot] = i + 1;
        held.push_back(i);
    }
    return held;
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::BoxOfTriangles(const std::vector<unsigned>& held) {
    minimum = VECTOR{0.0f, 0.0f, 0.0f, 1.0f};
    maximum = VECTOR{0.0f, 0.0f, 0.0f, 1.0f};
    bool first = true;
    for (unsigned i : held) {
        const Tri& t = triangles[i];
        for (const VECTOR* corner : {&t.A->position, &t.B->position, &t.C->position})
            for (int axis = 0; axis < 3; ++axis) {
                const float c = (*corner)[axis];
                if (first || c < minimum[axis]) minimum[axis] = c;
                if (first || c > maximum[axis]) maximum[axis] = c;
            }
        first = false;
    }
}

template <int Dim, class Tri, class Index>
float BaseGrid<Dim, Tri, Index>::CellEdge(const std::vector<unsigned>& held, const GridBuildSettings& settings) const {
    // The average first edge, the sum rounded to float after every addition, over the factor.
    float edgeSum = 0.0f;
    for (unsigned i : held) edgeSum += ORVA_MATH::Length(triangles[i].A->position - triangles[i].B->position);
    const float count = static_cast<float>(held.size());
    if (!settings.autoFactor) return edgeSum / (count * settings.factor);
    // The smallest cell edge that gives at most kAutoCellsPerTriangle cells per triangle (at
    // least one) by the resolution rule below, found by bisection: the count only falls as
    // the edge grows.
    if (held.empty() || !(edgeSum > 0.0f)) return 0.0f;
    double extent[3];
    for (int axis = 0; axis < 3; ++axis) {
        const float e = maximum[axis] - minimum[axis];
        extent[axis] = e < 0.00001f ? 0.1 : static_cast<double>(e);
    }
    const double target = std::max(1.0, kAutoCellsPerTriangle * count);
    auto cellsFor = [&](double edge) {
        return std::trunc(2.0 + extent[0] / edge) * std::trunc(2.0 + extent[1] / edge) * std::trunc(2.0 + extent[2] / edge);
    };
    double small = std::max({extent[0], extent[1], extent[2]}) * 1e-7, large = std::max({extent[0], extent[1], extent[2]});
    if (!(small > 0.0) || !std::isfinite(large)) return edgeSum / count;
    for (int step = 0; step < 100; ++step) {
        const double middle = std::sqrt(small * large);
        (cellsFor(middle) > target ? small : large) = middle;
    }
    return static_cast<float>(large);
}

template <int Dim, class Tri, class Index>
long long BaseGrid<Dim, Tri, Index>::ChooseResolution(int heldCount, GridBuildResult& result) {
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
    for (int axis = 0; axis < 3; ++axis) inverseCellSize[axis] = oneCell ? 0.0f : 1.0f / cellSize;
    if (oneCell)
        for (double& n : perAxis) n = 1.0;
    // 5. The memory warning for the cells the configuration asks for (16 bytes per cell: its
    // cube record and its fill counter), the count formed in 64 bits.
    const double product = perAxis[0] * perAxis[1] * perAxis[2];
    const long long asked = product < 5e17 ? static_cast<long long>(product) : 500000000000000000LL;
    std::string warning;
    if (GridMemoryWarning(asked, warning)) result.warnings.push_back(warning);
    // The cells actually made stay within a budget of kCellsPerTriangle per triangle (at least
    // kMinGridCells, at most kMaxGridCells): a box that is huge beside its triangles or a large
    // factor gets coarser cells instead of more memory than there is. An axis longer than
    // kAxisCellsPerCubeRoot cube roots of the budget first gets longer cells along it, so that
    // the other axes keep their resolution and no walk along it passes more cells than that;
    // then all axes are coarsened together until the count fits.
    if (!oneCell && product > CellBudget(heldCount)) {
        const double budget = CellBudget(heldCount);
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
    for (int axis = 0; axis < 3; ++axis) resolution[axis] = oneCell ? 1 : static_cast<int>(perAxis[axis]);
    return cellCount;
}

template <int Dim, class Tri, class Index>
int BaseGrid<Dim, Tri, Index>::FillCells(const std::vector<unsigned>& held, const GridBuildSettings& settings) {
    // Parts of consecutive triangles run at once, each listing its (cell, triangle) entries in
    // triangle order; the cells are then filled from the lists in part order, so every cell
    // holds its triangles in increasing order, as one thread would. Part 0 runs on the calling
    // thread and reports the progress.
    struct Entries {
        std::vector<unsigned> cell, triangle;
    };
    const long long heldCount = static_cast<long long>(held.size());
    const int total = static_cast<int>(cells.Count());
    const int insertParts = BuildThreadCount(settings.threads, heldCount, 2048);
    std::vector<Entries> entries(static_cast<std::size_t>(insertParts));
    Progress cellsProgress(settings, GridBuildStage::kCells, PartBegin(heldCount, insertParts, 1));
    RunParts(insertParts, [&](int part) {
        Entries& mine = entries[static_cast<std::size_t>(part)];
        const long long begin = PartBegin(heldCount, insertParts, part);
        const long long end = PartBegin(heldCount, insertParts, part + 1);
        mine.cell.reserve(static_cast<std::size_t>(end - begin) * 8);
        mine.triangle.reserve(static_cast<std::size_t>(end - begin) * 8);
        for (long long k = begin; k < end; ++k) {
            const unsigned i = held[static_cast<std::size_t>(k)];
            CellsOfTriangle(triangles[i], settings.algorithm, [&](unsigned c) {
                mine.cell.push_back(c);
                mine.triangle.push_back(i);
            });
            if (part == 0) cellsProgress.After(k);
        }
    });
    // The cells in slabs of the linear index, one per thread: each thread reads every list
    // in order and handles its own cells only (count, allocate, fill).
    const int fillParts = insertParts;
    Progress fillProgress(settings, GridBuildStage::kFill, PartBegin(total, fillParts, 1));
    RunParts(fillParts, [&](int part) {
        const unsigned lo = static_cast<unsigned>(PartBegin(total, fillParts, part));
        const unsigned hi = static_cast<unsigned>(PartBegin(total, fillParts, part + 1));
        for (const Entries& list : entries)
            for (unsigned c : list.cell)
                if (c >= lo && c < hi) ++counts[c];
        for (unsigned c = lo; c < hi; ++c) {
            if (counts[c] != 0) cells[c].Resize(counts[c]);
            counts[c] = 0;
            if (part == 0) fillProgress.After(c);
        }
        for (const Entries& list : entries) {
            const std::size_t n = list.cell.size();
            for (std::size_t e = 0; e < n; ++e) {
                const unsigned c = list.cell[e];
                if (c >= lo && c < hi) cells[c].indices[counts[c]++] = list.triangle[e];
            }
        }
    });
    return fillProgress.Last();
}

template <int Dim, class Tri, class Index>
void BaseGrid<Dim, Tri, Index>::MakeQueryLayout(int threads) {
    const KernelTable& kernel = Kernel();
    const int W = kernel.width;
    GridQueryData q;
    for (int axis = 0; axis < 3; ++axis) {
        q.minimum[axis] = minimum[axis];
        q.maximum[axis] = maximum[axis];
        q.inverseCell[axis] = inverseCellSize[axis];
        // Cell edges per axis for the walk: the cell size, unless a cell budget made the cells
        // longer along some axes.
        const float inverse = inverseCellSize[axis];
        q.cellEdge[axis] = inverse > 0.0f ? (inverse == 1.0f / cellSize ? cellSize : 1.0f / inverse) : 0.0f;
        q.resolution[axis] = static_cast<int>(cells.Dim(axis));
        q.macroResolution[axis] = (q.resolution[axis] + kMacroEdge - 1) >> kMacroShift;
    }
    q.stride[0] = cells.Stride0();
    q.stride[1] = cells.Stride1();
    q.stride[2] = 1;
    q.macroStride[0] = q.macroResolution[1] * q.macroResolution[2];
    q.macroStride[1] = q.macroResolution[2];
    q.macroStride[2] = 1;
    q.width = W;
    const unsigned cellCount = cells.Count();
    // Offsets: cell c's triangles are in blocks queryStart_[c] .. queryStart_[c + 1] - 1.
    queryStart_.reset(new std::uint32_t[cellCount + 1]);
    unsigned blocks = 0;
    unsigned largestIndex = 0;
    for (unsigned c = 0; c < cellCount; ++c) {
        queryStart_[c] = blocks;
        blocks += (cells[c].size + W - 1) / W;
        if (cells[c].size != 0) largestIndex = std::max(largestIndex, cells[c].indices[cells[c].size - 1]);
    }
    queryStart_[cellCount] = blocks;
    queryBlockCount_ = blocks;
    const std::size_t floats = static_cast<std::size_t>(blocks) * kBlockRows * W;
    queryBlocks_.reset(static_cast<float*>(std::aligned_alloc(64, (floats * sizeof(float) + 63) / 64 * 64 + 64)));
    if (!queryBlocks_) throw std::bad_alloc();
    queryIndex_.reset(new std::uint32_t[static_cast<std::size_t>(blocks) * W + 1]);
    // Occupancy of the macro cells.
    const std::size_t macros = static_cast<std::size_t>(q.macroResolution[0]) * q.macroResolution[1] * q.macroResolution[2];
    macroOccupied_.reset(new std::uint8_t[macros]());
    for (unsigned i = 0; i < cells.Dim(0); ++i)
        for (unsigned j = 0; j < cells.Dim(1); ++j)
            for (unsigned k = 0; k < cells.Dim(2); ++k)
                if (cells.at(i, j, k).size != 0)
                    macroOccupied_[(i >> kMacroShift) * q.macroStride[0] + (j >> kMacroShift) * q.macroStride[1] +
                                   (k >> kMacroShift)] = 1;
    query_ = q;
    kernel_ = &kernel;
    PointQueryAtArrays();
    if (blocks == 0) return;
    // The corners of every triangle once, in a flat array (the cells repeat triangles, and the
    // vertices are reached through pointers).
    const unsigned triangleCount = largestIndex + 1;
    std::unique_ptr<float[]> corners(new float[static_cast<std::size_t>(triangleCount) * 9]);
    const int triangleParts = BuildThreadCount(threads, triangleCount, 8192);
    RunParts(triangleParts, [&](int part) {
        const unsigned end = static_cast<unsigned>(PartBegin(triangleCount, triangleParts, part + 1));
        for (unsigned i = static_cast<unsigned>(PartBegin(triangleCount, triangleParts, part)); i < end; ++i) {
            const Tri& t = triangles[i];
            const VECTOR* corner[3] = {&t.A->position, &t.B->position, &t.C->position};
            for (int v = 0; v < 3; ++v)
                for (int axis = 0; axis < 3; ++axis) corners[static_cast<std::size_t>(i) * 9 + v * 3 + axis] = (*corner[v])[axis];
        }
    });
    // Fill lane by lane in the cube's order; unused lanes hold no number and no triangle.
    const float none = std::numeric_limits<float>::quiet_NaN();
    const int cellParts = BuildThreadCount(threads, blocks, 16384);
    RunParts(cellParts, [&](int part) {
        const unsigned end = static_cast<unsigned>(PartBegin(cellCount, cellParts, part + 1));
        for (unsigned c = static_cast<unsigned>(PartBegin(cellCount, cellParts, part)); c < end; ++c) {
            const Cube& cube = cells[c];
            unsigned n = 0;
            for (std::size_t block = queryStart_[c]; block < queryStart_[c + 1]; ++block) {
                float* rows = queryBlocks_.get() + block * kBlockRows * W;
                std::uint32_t* index = queryIndex_.get() + block * W;
                for (int lane = 0; lane < W; ++lane, ++n) {
                    if (n < cube.size) {
                        const float* corner = corners.get() + static_cast<std::size_t>(cube.indices[n]) * 9;
                        for (int row = 0; row < kBlockRows; ++row) rows[row * W + lane] = corner[row];
                        index[lane] = cube.indices[n];
                    } else {
                        for (int row = 0; row < kBlockRows; ++row) rows[row * W + lane] = none;
                        index[lane] = kNoTriangle;
                    }
                }
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
    // Every cell whose cube (centre (x, y, z), half-size 0.5 and the margin) the triangle
    // overlaps by the separating-axis test, sixteen candidates at a time in the kernel's
    // width. The candidates are the fast algorithm's cover, which holds every such cell, so
    // the result is that of the test on every cell with far fewer tests.
    const float t0[3] = {P.x, P.y, P.z}, t1[3] = {Q.x, Q.y, Q.z}, t2[3] = {R.x, R.y, R.z};
    const float half[3] = {0.5f + kCellMargin, 0.5f + kCellMargin, 0.5f + kCellMargin};
    const KernelTable& kernel = Kernel();
    alignas(64) float cx[16], cy[16], cz[16];
    int n = 0;
    auto test = [&] {
        const std::uint32_t overlapping = kernel.overlap(cx, cy, cz, n, half, t0, t1, t2);
        for (int i = 0; i < n; ++i)
            if (overlapping >> i & 1)
                visit(linear(static_cast<int>(cx[i]), static_cast<int>(cy[i]), static_cast<int>(cz[i])));
        n = 0;
    };
    CoverCells(P, Q, R, [&](int x, int y, int z) {
        cx[n] = static_cast<float>(x), cy[n] = static_cast<float>(y), cz[n] = static_cast<float>(z);
        if (++n == 16) test();
    });
    if (n != 0) test();
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
    // Twice the cells' own margin keeps every cell the exact algorithm enters (and every cell
    // a rounded grid coordinate may touch).
    const float margin = 2.0f * kCellMargin;
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
bool BaseGrid<Dim, Tri, Index>::Intersect(const Ray& ray, GridHit& hit, float tMax) const {
    if (!Queryable()) return false;
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    KernelHit found;
    if (!Nearest(PrepareRay(o, d), tMax, found)) return false;
    hit.t = found.t;
    hit.b0 = found.b0;
    hit.b1 = found.b1;
    hit.b2 = found.b2;
    hit.triangle = triangles + found.index;
    return true;
}

template <int Dim, class Tri, class Index>
bool BaseGrid<Dim, Tri, Index>::Occluded(const Ray& ray, float tMax) const {
    if (!Queryable()) return false;
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    return Any(PrepareRay(o, d), tMax);
}

template <int Dim, class Tri, class Index>
std::size_t BaseGrid<Dim, Tri, Index>::MemoryBytes() const {
    std::size_t bytes = 0;
    const unsigned cellCount = cells.Count();
    for (unsigned c = 0; c < cellCount; ++c) bytes += sizeof(Cube) + cells[c].size * sizeof(unsigned);
    if (queryStart_) bytes += (cellCount + 1) * sizeof(std::uint32_t);
    bytes += static_cast<std::size_t>(queryBlockCount_) * query_.width * (kBlockRows * sizeof(float) + sizeof(std::uint32_t));
    bytes += static_cast<std::size_t>(query_.macroResolution[0]) * query_.macroResolution[1] * query_.macroResolution[2];
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
    // 2. The algorithm line names the grid's algorithm; an unknown one writes nothing.
    const char* line;
    if (algorithm_ == kFastAlgorithm) line = "use FAST_ALGORITHM of build regular grid";
    else if (algorithm_ == kAccuracyAlgorithm) line = "use ACCURANCY_ALGORITHM of build regular grid";
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

template class BaseGrid<3, ORVA_GRAPHICS::Triangle, unsigned int>;
template class REGULAR_GRID<3, ORVA_GRAPHICS::Triangle, unsigned int>;

}  // namespace RAYTR
