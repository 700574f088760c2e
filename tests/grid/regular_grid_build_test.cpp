#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>
#include <set>
#include <string>

#include "errors/message_box.h"
#include "grid/regular_grid.h"
#include "grid/kernel.h"
#include "grid_test_mesh.h"

using grid_test::TestMesh;
using RAYTR::Grid;

namespace {

using CellSet = std::set<std::array<int, 3>>;

// The build factor and thread count the tests' builds use (each build gets its own settings).
float gFactor = 4.0f;
int gThreads = 0;

// Builds with the grid's own algorithm and the tests' factor and threads.
RAYTR::GridBuildResult BuildGrid(Grid& grid, grid_test::Triangle* triangles, int count,
                                 const ORVA_GRAPHICS::BoxTransform& box) {
    RAYTR::GridBuildSettings settings;
    settings.algorithm = grid.Algorithm();
    settings.factor = gFactor;
    settings.threads = gThreads;
    return grid.Build(triangles, count, box, settings);
}

class GridBuildTest : public ::testing::Test {
protected:
    void SetUp() override {
        gFactor = 4.0f;
        gThreads = 0;
    }
};

// The cells that hold triangle index.
CellSet CellsOf(const Grid& grid, unsigned index) {
    CellSet out;
    const auto& cells = grid.Cells();
    for (unsigned i = 0; i < cells.Dim(0); ++i)
        for (unsigned j = 0; j < cells.Dim(1); ++j)
            for (unsigned k = 0; k < cells.Dim(2); ++k) {
                const auto& cube = cells.at(i, j, k);
                if (std::find(cube.indices, cube.indices + cube.size, index) != cube.indices + cube.size)
                    out.insert({static_cast<int>(i), static_cast<int>(j), static_cast<int>(k)});
            }
    return out;
}

// One triangle with corners given in grid coordinates of a grid with cell size 1 and minimum 0:
// the build factor is set to the first edge's length, so the cell size is exactly 1.
void BuildUnitGrid(Grid& grid, TestMesh& mesh, std::array<float, 3> a, std::array<float, 3> b,
                   std::array<float, 3> c, float boxHigh) {
    mesh.vertices.reserve(3);
    mesh.AddVertex(a[0], a[1], a[2]);
    mesh.AddVertex(b[0], b[1], b[2]);
    mesh.AddVertex(c[0], c[1], c[2]);
    mesh.AddTriangle(0, 1, 2);
    mesh.box.minimum = {0.0f, 0.0f, 0.0f, 1.0f};
    mesh.box.maximum = {boxHigh, boxHigh, boxHigh, 1.0f};
    gFactor = ORVA_MATH::Length(mesh.vertices[0].position - mesh.vertices[1].position);
    BuildGrid(grid, mesh.triangles.data(), 1, mesh.box);
    ASSERT_EQ(grid.CellSize(), 1.0f);
}

}  // namespace

TEST_F(GridBuildTest, EveryGridKeepsItsOwnAlgorithm) {
    Grid grid, other;
    EXPECT_EQ(grid.Algorithm(), RAYTR::kFastAlgorithm);
    grid.SetAlgorithm(7);
    EXPECT_EQ(grid.Algorithm(), 7);
    EXPECT_EQ(other.Algorithm(), RAYTR::kFastAlgorithm);
    EXPECT_EQ(grid.Minimum().w, 1.0f);
    EXPECT_EQ(grid.Maximum().w, 1.0f);
    EXPECT_FALSE(grid.IsBuilding());
}

TEST_F(GridBuildTest, WorkedExampleOfCellSizeAndResolution) {
    // Box extent (10, 5, 0), first edges of length 1.0 on average, factor 4.
    TestMesh mesh;
    mesh.vertices.reserve(6);
    mesh.AddVertex(0, 0, 0);
    mesh.AddVertex(1, 0, 0);
    mesh.AddVertex(0, 1, 0);
    mesh.AddVertex(9, 4, 0);
    mesh.AddVertex(9, 5, 0);
    mesh.AddVertex(10, 5, 0);
    mesh.AddTriangle(0, 1, 2);
    mesh.AddTriangle(3, 4, 5);
    mesh.ComputeBox();
    gFactor = 4.0f;
    Grid grid;
    BuildGrid(grid, mesh.triangles.data(), mesh.Count(), mesh.box);
    EXPECT_EQ(grid.CellSize(), 0.25f);
    EXPECT_EQ(grid.Resolution()[0], 42);
    EXPECT_EQ(grid.Resolution()[1], 22);
    EXPECT_EQ(grid.Resolution()[2], 2);  // flat axis counts as 0.1 long
    EXPECT_EQ(grid.Cells().Count(), 1848u);
    for (int axis = 0; axis < 3; ++axis) EXPECT_EQ(grid.InverseCellSize()[axis], 4.0f);
    EXPECT_FALSE(grid.IsBuilding());
    // Built cubes are trimmed to their counts and hold increasing indices.
    unsigned entries = 0;
    for (unsigned c = 0; c < grid.Cells().Count(); ++c) {
        const auto& cube = grid.Cells()[c];
        entries += cube.size;
        for (unsigned n = 1; n < cube.size; ++n) EXPECT_LT(cube.indices[n - 1], cube.indices[n]);
    }
    EXPECT_GT(entries, 2u);
    EXPECT_TRUE(CellsOf(grid, 0).count({0, 0, 0}));
    EXPECT_TRUE(CellsOf(grid, 1).count({40, 20, 0}));
}

TEST_F(GridBuildTest, FastAlgorithmCoversEveryCellOfTheExactTestAndLittleMore) {
    // The worked triangle: the exact test's twelve cells, all in the fast cover too.
    const CellSet twelve{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {0, 1, 0}, {1, 1, 0},
                         {2, 1, 0}, {3, 1, 0}, {0, 2, 0}, {1, 2, 0}, {0, 3, 0}, {2, 2, 0}};
    {
        TestMesh mesh;
        Grid grid;
        grid.SetAlgorithm(RAYTR::kAccuracyAlgorithm);
        BuildUnitGrid(grid, mesh, {0.2f, 0.2f, 0.2f}, {3.2f, 0.4f, 0.2f}, {0.3f, 2.6f, 0.2f}, 5.0f);
        EXPECT_EQ(CellsOf(grid, 0), twelve);
    }
    // Seeded random triangles of every size and slant against the separating-axis test on
    // every cell of the grid: the exact algorithm finds exactly the overlapping cells, and the
    // fast cover holds all of them within twice as many cells plus a few.
    std::mt19937 random(17);
    std::uniform_real_distribution<float> place(0.5f, 8.5f), size(-3.0f, 3.0f);
    size_t exactCells = 0, fastCells = 0;
    for (int n = 0; n < 400; ++n) {
        std::array<float, 3> a, b, c;
        const float scale = n % 4 == 0 ? 0.2f : 1.0f;
        for (int q = 0; q < 3; ++q) {
            a[q] = place(random);
            b[q] = std::clamp(a[q] + size(random) * scale, 0.0f, 9.0f);
            c[q] = std::clamp(a[q] + size(random) * scale, 0.0f, 9.0f);
        }
        CellSet cover[2];
        int resolution = 0;
        for (int algorithm : {RAYTR::kFastAlgorithm, RAYTR::kAccuracyAlgorithm}) {
            TestMesh mesh;
            Grid grid;
            grid.SetAlgorithm(algorithm);
            BuildUnitGrid(grid, mesh, a, b, c, 9.0f);
            if (grid.CellSize() != 1.0f) break;  // the factor could not make the cell exactly 1
            cover[algorithm] = CellsOf(grid, 0);
            resolution = grid.Resolution()[0];
        }
        if (cover[RAYTR::kAccuracyAlgorithm].empty()) continue;
        CellSet exact;
        // Cells are widened by a thousandth of their edge against rounding.
        const float half[3] = {0.501f, 0.501f, 0.501f};
        for (int x = 0; x < resolution; ++x)
            for (int y = 0; y < resolution; ++y)
                for (int z = 0; z < resolution; ++z) {
                    const float centre[3] = {float(x), float(y), float(z)};
                    if (RAYTR::KernelNamed("scalar")->overlap(&centre[0], &centre[1], &centre[2], 1, half, a.data(),
                                                              b.data(), c.data()) != 0)
                        exact.insert({x, y, z});
                }
        ASSERT_EQ(cover[RAYTR::kAccuracyAlgorithm], exact) << n;
        for (const auto& cell : exact)
            ASSERT_TRUE(cover[RAYTR::kFastAlgorithm].count(cell)) << n << ": " << cell[0] << " " << cell[1] << " " << cell[2];
        exactCells += exact.size();
        fastCells += cover[RAYTR::kFastAlgorithm].size();
    }
    EXPECT_GT(exactCells, 2000u);
    EXPECT_LT(fastCells, 2 * exactCells);
    std::printf("fast cover %zu cells, exact %zu\n", fastCells, exactCells);
}

TEST_F(GridBuildTest, TriangleInsideOneCellEntersItOnce) {
    TestMesh mesh;
    Grid grid;
    BuildUnitGrid(grid, mesh, {1.1f, 1.1f, 1.1f}, {1.3f, 1.2f, 1.1f}, {1.2f, 1.4f, 1.2f}, 4.0f);
    EXPECT_EQ(CellsOf(grid, 0), (CellSet{{1, 1, 1}}));
    EXPECT_EQ(grid.Cells().at(1, 1, 1).size, 1u);
}

TEST_F(GridBuildTest, AccuracyAlgorithmEntersBothCellsOfASharedFace) {
    TestMesh mesh;
    Grid grid;
    grid.SetAlgorithm(RAYTR::kAccuracyAlgorithm);
    // In the plane x = 2.5 of grid coordinates, inside cells y = 1, z = 1.
    BuildUnitGrid(grid, mesh, {2.5f, 0.8f, 0.8f}, {2.5f, 1.2f, 0.8f}, {2.5f, 0.8f, 1.2f}, 5.0f);
    EXPECT_EQ(CellsOf(grid, 0), (CellSet{{2, 1, 1}, {3, 1, 1}}));
}

TEST_F(GridBuildTest, IllegalAlgorithmLeavesTheGridBuildingAndItCannotBeCopied) {
    TIRN_ERROR::BoxRecorder recorder;
    TestMesh mesh;
    grid_test::MakeSphere(mesh, 1.0f, 8, 8);
    Grid building;
    building.SetAlgorithm(2);
    try {
        BuildGrid(building, mesh.triangles.data(), mesh.Count(), mesh.box);
        FAIL() << "an illegal algorithm must throw";
    } catch (const TIRN_ERROR::Error& e) {
        EXPECT_STREQ(e.what(), "ILLEGAL ALGORITM OF BUILDING REGULAR GRID");
    }
    EXPECT_TRUE(building.IsBuilding());
    Grid target;
    recorder.Clear();
    try {
        target = building;
        FAIL() << "copying an incomplete grid must throw";
    } catch (const TIRN_ERROR::Error& e) {
        EXPECT_STREQ(e.what(), "You can not copy incomplete greeds");
    }
    ASSERT_EQ(recorder.Boxes().size(), 1u);
    EXPECT_EQ(recorder.Boxes()[0].second, "You can not copy incomplete greeds");
    // The cells were copied before the refusal.
    EXPECT_EQ(target.Cells().Count(), building.Cells().Count());
}

TEST_F(GridBuildTest, CopyOfABuiltGridIsDeepAndSharesTheTriangles) {
    TestMesh mesh;
    grid_test::MakeSphere(mesh, 2.0f, 12, 16);
    Grid source;
    BuildGrid(source, mesh.triangles.data(), mesh.Count(), mesh.box);
    Grid copy;
    copy = source;
    Grid constructed(source);
    for (const Grid* g : {&copy, &constructed}) {
        EXPECT_EQ(g->Triangles(), source.Triangles());
        EXPECT_EQ(g->CellSize(), source.CellSize());
        ASSERT_EQ(g->Cells().Count(), source.Cells().Count());
        for (unsigned c = 0; c < source.Cells().Count(); ++c) {
            const auto& a = source.Cells()[c];
            const auto& b = g->Cells()[c];
            ASSERT_EQ(a.size, b.size);
            for (unsigned n = 0; n < a.size; ++n) ASSERT_EQ(a.indices[n], b.indices[n]);
            if (a.size != 0) {
                ASSERT_NE(a.indices, b.indices);
            }
        }
    }
    // Rebuilding the source leaves the copy as it was, and the copy still answers queries.
    TestMesh other;
    grid_test::MakeSphere(other, 1.0f, 4, 4);
    BuildGrid(source, other.triangles.data(), other.Count(), other.box);
    EXPECT_EQ(copy.Triangles(), mesh.triangles.data());
    RAYTR::GridHit hit;
    EXPECT_TRUE(copy.Intersect(RAYTR::Ray({0.1f, 0.2f, 10.0f, 1.0f}, {0.0f, 0.0f, -1.0f, 0.0f}), hit));
    EXPECT_GE(hit.triangle, mesh.triangles.data());
    EXPECT_LT(hit.triangle, mesh.triangles.data() + mesh.Count());
}

TEST_F(GridBuildTest, MemoryWarningBoundary) {
    std::string text = "unchanged";
    EXPECT_FALSE(RAYTR::GridMemoryWarning(8388608, text));  // exactly 134217728 bytes
    EXPECT_EQ(text, "unchanged");
    EXPECT_TRUE(RAYTR::GridMemoryWarning(8388609, text));
    EXPECT_EQ(text, "WARNING!, REQUIRED MEMORY: 134217744 bytes");
    // Beyond 32-bit products the number is still right.
    EXPECT_TRUE(RAYTR::GridMemoryWarning(200000000, text));
    EXPECT_EQ(text, "WARNING!, REQUIRED MEMORY: 3200000000 bytes");
    // A build returns its warning as a value and shows nothing; a small build has none.
    TIRN_ERROR::BoxRecorder recorder;
    TestMesh mesh;
    grid_test::MakeSphere(mesh, 1.0f, 6, 6);
    Grid grid;
    EXPECT_TRUE(BuildGrid(grid, mesh.triangles.data(), mesh.Count(), mesh.box).warnings.empty());
    gFactor = 1000.0f;  // asks for far more cells than the budget makes
    const RAYTR::GridBuildResult large = BuildGrid(grid, mesh.triangles.data(), mesh.Count(), mesh.box);
    ASSERT_EQ(large.warnings.size(), 1u);
    EXPECT_EQ(large.warnings[0].rfind("WARNING!, REQUIRED MEMORY: ", 0), 0u);
    EXPECT_TRUE(recorder.Boxes().empty());
    EXPECT_TRUE(recorder.Titles().empty());
    // The warning reaches settings.warn before the cells are made (before any progress), and the
    // grid built is the coarser one the budget allows.
    std::vector<std::string> events;
    RAYTR::GridBuildSettings settings;
    settings.factor = 1000.0f;
    settings.warn = [&](const std::string& w) { events.push_back(w); };
    settings.progress = [&](RAYTR::GridBuildStage, int) { events.push_back("progress"); };
    grid.Build(mesh.triangles.data(), mesh.Count(), mesh.box, settings);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0], large.warnings[0]);
    EXPECT_EQ(std::count(events.begin(), events.end(), large.warnings[0]), 1);
    EXPECT_GT(1.0f / grid.InverseCellSize()[0], grid.CellSize());
}

TEST_F(GridBuildTest, ProgressGoesToTheCallbackInOrderAndEndsDone) {
    TestMesh mesh;
    grid_test::MakeSphere(mesh, 1.0f, 40, 60);
    for (int threads : {1, 2}) {
        std::vector<std::pair<RAYTR::GridBuildStage, int>> seen;
        RAYTR::GridBuildSettings settings;
        settings.threads = threads;
        settings.progress = [&](RAYTR::GridBuildStage stage, int percent) { seen.emplace_back(stage, percent); };
        TIRN_ERROR::BoxRecorder recorder;
        Grid grid;
        grid.Build(mesh.triangles.data(), mesh.Count(), mesh.box, settings);
        EXPECT_TRUE(recorder.Titles().empty());  // the grid sets no title itself
        ASSERT_GE(seen.size(), 3u);
        EXPECT_LE(seen.size(), 203u);  // at most once per percent and stage
        // The end carries the fill's last percentage.
        ASSERT_EQ(seen.back().first, RAYTR::GridBuildStage::kDone);
        ASSERT_EQ(seen[seen.size() - 2].first, RAYTR::GridBuildStage::kFill);
        EXPECT_EQ(seen.back().second, seen[seen.size() - 2].second);
        for (size_t i = 1; i < seen.size(); ++i) {
            ASSERT_LE(seen[i - 1].first, seen[i].first);
            if (seen[i - 1].first == seen[i].first) {
                ASSERT_LT(seen[i - 1].second, seen[i].second);
            }
        }
        EXPECT_EQ(seen.front().first, RAYTR::GridBuildStage::kCells);
    }
}

// A stage reports after the item of index 201 and every 202 items after it: 201 triangles give
// no title of the cells, 202 give one, at 99 per cent; with no fill report the end says 0.
TEST_F(GridBuildTest, ProgressComesAfterEvery202ItemsFromIndex201) {
    for (int n : {201, 202}) {
        TestMesh mesh;
        mesh.vertices.reserve(3 * std::size_t(n));
        for (int i = 0; i < n; ++i)
            mesh.AddTriangle(mesh.AddVertex(float(i), 0, 0), mesh.AddVertex(float(i) + 1, 0, 0), mesh.AddVertex(float(i), 1, 0));
        mesh.ComputeBox();
        std::vector<std::pair<RAYTR::GridBuildStage, int>> cells, fill;
        int done = -1;
        RAYTR::GridBuildSettings settings;
        settings.threads = 1;
        settings.factor = 0.01f;  // a few cells: the fill reports nothing
        settings.progress = [&](RAYTR::GridBuildStage stage, int percent) {
            if (stage == RAYTR::GridBuildStage::kDone) done = percent;
            else (stage == RAYTR::GridBuildStage::kCells ? cells : fill).emplace_back(stage, percent);
        };
        Grid grid;
        grid.Build(mesh.triangles.data(), mesh.Count(), mesh.box, settings);
        SCOPED_TRACE(n);
        ASSERT_LE(grid.Cells().Count(), 201u);
        EXPECT_TRUE(fill.empty());
        EXPECT_EQ(cells.size(), n == 202 ? 1u : 0u);
        if (!cells.empty()) {
            EXPECT_EQ(cells[0].second, 99);
        }
        EXPECT_EQ(done, 0);
    }
}

TEST_F(GridBuildTest, BuildFactorZeroPutsEveryTriangleInTheFirstCell) {
    for (int algorithm : {RAYTR::kFastAlgorithm, RAYTR::kAccuracyAlgorithm}) {
        TestMesh mesh;
        grid_test::MakeSphere(mesh, 1.0f, 6, 8);
        gFactor = 0.0f;
        Grid grid;
        grid.SetAlgorithm(algorithm);
        BuildGrid(grid, mesh.triangles.data(), mesh.Count(), mesh.box);
        EXPECT_EQ(grid.Resolution()[0], 2);
        EXPECT_EQ(grid.Resolution()[1], 2);
        EXPECT_EQ(grid.Resolution()[2], 2);
        EXPECT_EQ(grid.InverseCellSize()[0], 0.0f);
        ASSERT_EQ(grid.Cells().at(0, 0, 0).size, static_cast<unsigned>(mesh.Count()));
        for (unsigned c = 1; c < 8; ++c) EXPECT_EQ(grid.Cells()[c].size, 0u);
    }
}

TEST_F(GridBuildTest, DegenerateCellSizesGiveOneCellHoldingEveryTriangle) {
    // No triangles at all.
    {
        TestMesh mesh;
        mesh.box.minimum = {0, 0, 0, 1};
        mesh.box.maximum = {1, 1, 1, 1};
        Grid grid;
        BuildGrid(grid, nullptr, 0, mesh.box);
        EXPECT_EQ(grid.Cells().Count(), 1u);
        RAYTR::GridHit hit;
        EXPECT_FALSE(grid.Intersect(RAYTR::Ray({0.5f, 0.5f, 5.0f, 1.0f}, {0, 0, -1, 0}), hit));
    }
    // Only zero-area triangles: left out, and the grid is one empty cell.
    {
        TestMesh mesh;
        mesh.vertices.reserve(6);
        mesh.AddVertex(0, 0, 0);
        mesh.AddVertex(1, 0, 0);
        mesh.AddVertex(0, 1, 0);
        mesh.AddTriangle(0, 0, 1);
        mesh.AddTriangle(0, 0, 2);
        mesh.ComputeBox();
        Grid grid;
        BuildGrid(grid, mesh.triangles.data(), mesh.Count(), mesh.box);
        EXPECT_EQ(grid.LeftOut(), 2u);
        EXPECT_EQ(grid.Cells().Count(), 1u);
        EXPECT_EQ(grid.Cells()[0].size, 0u);
    }
    // A negative build factor.
    {
        TestMesh mesh;
        grid_test::MakeSphere(mesh, 1.0f, 6, 8);
        gFactor = -2.0f;
        Grid grid;
        BuildGrid(grid, mesh.triangles.data(), mesh.Count(), mesh.box);
        ASSERT_EQ(grid.Cells().Count(), 1u);
        EXPECT_EQ(grid.Cells()[0].size, static_cast<unsigned>(mesh.Count()));
        RAYTR::GridHit hit;
        EXPECT_TRUE(grid.Intersect(RAYTR::Ray({0.0f, 0.1f, 5.0f, 1.0f}, {0, 0, -1, 0}), hit));
    }
}

TEST_F(GridBuildTest, FlatMeshUsesATenthForItsFlatAxis) {
    TestMesh mesh;
    mesh.vertices.reserve(3);
    mesh.AddVertex(0, 0, 0);
    mesh.AddVertex(1, 0, 0);
    mesh.AddVertex(0, 1, 0);
    mesh.AddTriangle(0, 1, 2);
    mesh.ComputeBox();
    gFactor = 20.0f;  // cell size 0.05: trunc(2 + 0.1 / 0.05), within the budget
    Grid grid;
    BuildGrid(grid, mesh.triangles.data(), 1, mesh.box);
    EXPECT_EQ(grid.Resolution()[2], static_cast<int>(2.0 + 0.1f / grid.CellSize()));
    EXPECT_GE(grid.Resolution()[2], 3);
}

TEST_F(GridBuildTest, CellCoordinatesStayInsideTheGridForTrianglesOutsideTheBox) {
    // A box that does not contain the triangle: coordinates are clamped, nothing leaves the array.
    for (int algorithm : {RAYTR::kFastAlgorithm, RAYTR::kAccuracyAlgorithm}) {
        TestMesh mesh;
        mesh.vertices.reserve(3);
        mesh.AddVertex(-3, -2, 0.5f);
        mesh.AddVertex(4, 1, 0.5f);
        mesh.AddVertex(1, 6, 0.7f);
        mesh.AddTriangle(0, 1, 2);
        mesh.box.minimum = {0, 0, 0, 1};
        mesh.box.maximum = {1, 1, 1, 1};
        gFactor = 4.0f;
        Grid grid;
        grid.SetAlgorithm(algorithm);
        BuildGrid(grid, mesh.triangles.data(), 1, mesh.box);  // ASan would catch a stray index
        unsigned entries = 0;
        for (unsigned c = 0; c < grid.Cells().Count(); ++c) entries += grid.Cells()[c].size;
        EXPECT_GT(entries, 0u);
    }
}

TEST_F(GridBuildTest, AnyThreadCountBuildsTheSameCells) {
    // A seeded soup big enough to be split among threads: every thread count gives the cells
    // of the one-thread build, each with its triangles in increasing order.
    TestMesh mesh;
    std::mt19937 random(5);
    std::uniform_real_distribution<float> place(0.0f, 20.0f), size(-1.5f, 1.5f);
    const int triangleCount = 12000;
    mesh.vertices.reserve(3 * triangleCount);
    for (int n = 0; n < triangleCount; ++n) {
        const float x = place(random), y = place(random), z = place(random);
        mesh.AddVertex(x, y, z);
        mesh.AddVertex(x + size(random), y + size(random), z + size(random));
        mesh.AddVertex(x + size(random), y + size(random), z + size(random));
        mesh.AddTriangle(3 * n, 3 * n + 1, 3 * n + 2);
    }
    mesh.box.minimum = {-1.5f, -1.5f, -1.5f, 1.0f};
    mesh.box.maximum = {21.5f, 21.5f, 21.5f, 1.0f};
    const int savedThreads = gThreads;
    for (int algorithm : {RAYTR::kFastAlgorithm, RAYTR::kAccuracyAlgorithm}) {
        Grid reference;
        for (int threads : {1, 2, 3, 5}) {
            gThreads = threads;
            gFactor = 1.0f;
            Grid grid;
            grid.SetAlgorithm(algorithm);
            BuildGrid(grid, mesh.triangles.data(), triangleCount, mesh.box);
            if (threads == 1) {
                reference = grid;
                continue;
            }
            const auto& a = reference.Cells();
            const auto& b = grid.Cells();
            ASSERT_EQ(a.Count(), b.Count());
            size_t entries = 0;
            for (unsigned c = 0; c < a.Count(); ++c) {
                ASSERT_EQ(a[c].size, b[c].size) << algorithm << " " << threads << " cell " << c;
                ASSERT_TRUE(std::equal(a[c].indices, a[c].indices + a[c].size, b[c].indices)) << c;
                ASSERT_TRUE(std::is_sorted(b[c].indices, b[c].indices + b[c].size)) << c;
                entries += b[c].size;
            }
            EXPECT_GT(entries, static_cast<size_t>(triangleCount));
        }
    }
    gThreads = savedThreads;
}
