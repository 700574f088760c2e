#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <algorithm>
#include <map>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "errors/message_box.h"
#include "grid/kernel.h"
#include "grid/regular_grid.h"
#include "grid_test_mesh.h"
#include "loaders/demo_scene.h"

using grid_test::TestMesh;
using ORVA_GRAPHICS::Triangle;
using ORVA_MATH::VECTOR;
using RAYTR::Grid;
using RAYTR::Ray;
using RAYTR::GridHit;

namespace {

class GridIntersectTest : public ::testing::Test {};

// A grid over mesh with an algorithm and a build factor.
void BuildGrid(Grid& grid, TestMesh& mesh, float factor = 4.0f, int algorithm = RAYTR::kFastAlgorithm,
               RAYTR::GridBuildResult* result = nullptr) {
    RAYTR::GridBuildSettings settings;
    settings.algorithm = algorithm;
    settings.factor = factor;
    const RAYTR::GridBuildResult built = grid.Build(mesh.triangles.data(), mesh.Count(), mesh.box, settings);
    if (result) *result = built;
}

Ray MakeRay(float ox, float oy, float oz, float dx, float dy, float dz) {
    return Ray(VECTOR{ox, oy, oz, 1.0f}, VECTOR{dx, dy, dz, 0.0f});
}

// A mesh from corner triples (x, y, z of A, B, C per triangle).
void FromCorners(TestMesh& mesh, const std::vector<std::array<float, 9>>& corners) {
    mesh.vertices.reserve(corners.size() * 3);
    for (const auto& c : corners) {
        const int a = mesh.AddVertex(c[0], c[1], c[2]);
        mesh.AddVertex(c[3], c[4], c[5]);
        mesh.AddVertex(c[6], c[7], c[8]);
        mesh.AddTriangle(a, a + 1, a + 2);
    }
    mesh.ComputeBox();
}

// Several meshes as one (one vertex array, triangles re-pointed into it).
void Merge(const std::vector<const TestMesh*>& parts, TestMesh& out) {
    size_t total = 0;
    for (const TestMesh* part : parts) total += part->vertices.size();
    out.vertices.reserve(total);
    for (const TestMesh* part : parts) {
        const int offset = static_cast<int>(out.vertices.size());
        for (const ORVA_GRAPHICS::VERTEX& v : part->vertices) out.vertices.push_back(v);
        for (const Triangle& t : part->triangles)
            out.AddTriangle(offset + static_cast<int>(t.A - part->vertices.data()),
                            offset + static_cast<int>(t.B - part->vertices.data()),
                            offset + static_cast<int>(t.C - part->vertices.data()));
    }
    out.ComputeBox();
}

float Length3(const VECTOR& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

// Rays of four kinds, a quarter each: from outside the box at it, from inside it, leaving a
// surface point, and through cell edges and corners (some along axes and diagonals, so that
// boundary parameters tie).
std::vector<Ray> MakeRays(const TestMesh& mesh, const Grid& grid, int count, unsigned seed) {
    std::vector<Ray> rays;
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, mesh.Count() - 1), sign(-1, 1);
    const VECTOR lo = mesh.box.minimum, hi = mesh.box.maximum;
    const float diagonal = Length3(hi - lo);
    auto inBox = [&] {
        return VECTOR{lo.x + (hi.x - lo.x) * unit(random), lo.y + (hi.y - lo.y) * unit(random),
                      lo.z + (hi.z - lo.z) * unit(random), 1.0f};
    };
    auto randomDirection = [&] { return VECTOR{gauss(random), gauss(random), gauss(random), 0.0f}; };
    for (int n = 0; n < count; ++n) {
        VECTOR o, d;
        switch (n % 4) {
            case 0: {  // outside, aimed at a point of the box
                VECTOR around = randomDirection();
                ORVA_MATH::Normalise(around);
                o = ORVA_MATH::Midpoint(lo, hi) + around * diagonal;
                d = inBox() - o;
                break;
            }
            case 1:  // inside
                o = inBox();
                d = randomDirection();
                break;
            case 2: {  // leaving a surface point
                const Triangle& t = mesh.triangles[pick(random)];
                float u = unit(random), v = unit(random);
                if (u + v > 1.0f) {
                    u = 1.0f - u;
                    v = 1.0f - v;
                }
                o = t.A->position + (t.B->position - t.A->position) * u + (t.C->position - t.A->position) * v;
                d = randomDirection();
                break;
            }
            default: {  // through a cell corner (or an edge: one coordinate free)
                const float size = grid.CellSize();
                const int* r = grid.Resolution();
                float g[3];
                for (int axis = 0; axis < 3; ++axis)
                    g[axis] = static_cast<float>(std::uniform_int_distribution<int>(0, r[axis] - 1)(random)) + 0.5f;
                if (n % 8 == 7) g[n % 3] = unit(random) * static_cast<float>(r[n % 3]);
                const VECTOR point{lo.x + g[0] * size, lo.y + g[1] * size, lo.z + g[2] * size, 1.0f};
                if (n % 16 == 3) {
                    d = VECTOR{float(sign(random)), float(sign(random)), float(sign(random)), 0.0f};
                    if (d.x == 0 && d.y == 0 && d.z == 0) d.x = 1;
                } else {
                    d = randomDirection();
                }
                o = point - d * (unit(random) * diagonal / Length3(d));
                break;
            }
        }
        o.w = 1.0f;
        d.w = 0.0f;
        rays.emplace_back(o, d);
    }
    return rays;
}

struct Tally {
    long rays = 0, closestWrong = 0, shadowWrong = 0, hits = 0, blocked = 0;
};

// Both queries against brute force over all triangles with the same triangle test, on one
// grid: the same triangle and bit for bit the same t and weights, and the same shadow answer
// for a segment ending near the nearest hit (either side of it) or beyond the box. The rays
// are made around rayMesh (the mesh itself unless given).
void Check(const TestMesh& mesh, const Grid& grid, int count, unsigned seed, Tally& tally,
           const TestMesh* rayMesh = nullptr) {
    const std::vector<Ray> rays = MakeRays(rayMesh ? *rayMesh : mesh, grid, count, seed);
    std::mt19937 random(seed + 1);
    std::uniform_real_distribution<float> spread(0.5f, 1.5f);
    for (const Ray& ray : rays) {
        const float length = Length3(ray.direction);
        const grid_test::Nearest nearest = grid_test::BruteForceNearest(mesh, ray);
        GridHit hit;
        const bool found = grid.Intersect(ray, hit);
        ++tally.rays;
        if (nearest.index < 0) {
            tally.closestWrong += found;
        } else {
            ++tally.hits;
            bool same = found && hit.t == nearest.t && hit.triangle == &mesh.triangles[static_cast<size_t>(nearest.index)];
            if (same) {
                float b0, b1, b2, t;
                grid_test::OneSided(ray, *hit.triangle, &b0, &b1, &b2, &t);
                same = hit.b0 == b0 && hit.b1 == b1 && hit.b2 == b2;
            }
            tally.closestWrong += !same;
        }
        const TestMesh& around = rayMesh ? *rayMesh : mesh;
        const float end = nearest.index < 0 ? 2.0f * Length3(around.box.maximum - around.box.minimum) / length
                                            : nearest.t * spread(random);
        const bool blocked = grid.Occluded(ray, end);
        tally.blocked += blocked;
        tally.shadowWrong += blocked != (nearest.t < end);  // some triangle before the end
    }
}

// A closed mesh's edges shared by two triangles (by corner positions), each with its two faces.
struct SharedEdge {
    VECTOR a, b;
    VECTOR normal;  // the sum of the two faces' unit normals
};

std::vector<SharedEdge> SharedEdges(const TestMesh& mesh) {
    std::map<std::array<float, 6>, std::pair<VECTOR, int>> open;  // edge -> (first face's normal, count)
    std::vector<SharedEdge> edges;
    for (const Triangle& t : mesh.triangles) {
        const ORVA_GRAPHICS::VERTEX* corners[3] = {t.A, t.B, t.C};
        VECTOR n = ORVA_MATH::Cross(t.B->position - t.A->position, t.C->position - t.A->position);
        n.w = 0.0f;
        if (Length3(n) == 0.0f) continue;
        n = n / Length3(n);
        for (int k = 0; k < 3; ++k) {
            VECTOR p = corners[k]->position, q = corners[(k + 1) % 3]->position;
            std::array<float, 6> key{p.x, p.y, p.z, q.x, q.y, q.z};
            std::array<float, 6> flipped{q.x, q.y, q.z, p.x, p.y, p.z};
            const auto it = open.find(flipped);
            if (it != open.end()) {
                edges.push_back(SharedEdge{p, q, it->second.first + n});
                open.erase(it);
            } else {
                open[key] = {n, 1};
            }
        }
    }
    return edges;
}

}  // namespace

TEST(RayTriangleTest, WorkedCasesNoToleranceAndSharedEdges) {
    TestMesh mesh;
    FromCorners(mesh, {{0, 0, 0, 1, 0, 0, 0, 1, 0}, {1, 0, 0, 1, 1, 0, 0, 1, 0}});  // a square facing +z
    float b0, b1, b2, t;
    // Front side: the weights and t of the worked example.
    ASSERT_TRUE(grid_test::OneSided(MakeRay(0.25f, 0.25f, 1, 0, 0, -1), mesh.triangles[0], &b0, &b1, &b2, &t));
    EXPECT_EQ(b0, 0.5f);
    EXPECT_EQ(b1, 0.25f);
    EXPECT_EQ(b2, 0.25f);
    EXPECT_EQ(t, 1.0f);
    // Back side, and no tolerance outside the triangle any more.
    EXPECT_FALSE(grid_test::OneSided(MakeRay(0.25f, 0.25f, -1, 0, 0, 1), mesh.triangles[0], nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(grid_test::OneSided(MakeRay(1.0005f, 0, 1, 0, 0, -1), mesh.triangles[0], nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(grid_test::OneSided(MakeRay(-0.0005f, 0.5f, 1, 0, 0, -1), mesh.triangles[0], nullptr, nullptr, nullptr, nullptr));
    // On the shared diagonal both faces count; just beside it, exactly one (at any scale: no
    // absolute threshold, so a model in small units is hit as well).
    for (float scale : {1e-6f, 1.0f, 1e6f}) {
        const float x = 0.3f * scale, y = 0.7f * scale;
        int hits = 0;
        for (const Triangle& tri : mesh.triangles) {
            TestMesh scaled;
            FromCorners(scaled, {{tri.A->position.x * scale, tri.A->position.y * scale, 0, tri.B->position.x * scale,
                                  tri.B->position.y * scale, 0, tri.C->position.x * scale, tri.C->position.y * scale, 0}});
            hits += grid_test::OneSided(MakeRay(x, y, scale, 0, 0, -scale), scaled.triangles[0], nullptr, nullptr, nullptr, nullptr);
        }
        EXPECT_EQ(hits, 2) << scale;
        hits = 0;
        for (const Triangle& tri : mesh.triangles) {
            TestMesh scaled;
            FromCorners(scaled, {{tri.A->position.x * scale, tri.A->position.y * scale, 0, tri.B->position.x * scale,
                                  tri.B->position.y * scale, 0, tri.C->position.x * scale, tri.C->position.y * scale, 0}});
            hits += grid_test::OneSided(MakeRay(std::nextafterf(x, 0.0f), y, scale, 0, 0, -scale), scaled.triangles[0],
                                        nullptr, nullptr, nullptr, nullptr);
        }
        EXPECT_EQ(hits, 1) << scale;
    }
    // A ray in the triangle's plane and a hit at the origin itself count as nothing.
    EXPECT_FALSE(grid_test::OneSided(MakeRay(-1, 0.5f, 0, 1, 0, 0), mesh.triangles[0], nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(grid_test::OneSided(MakeRay(0.25f, 0.25f, 0, 0, 0, -1), mesh.triangles[0], nullptr, nullptr, nullptr, nullptr));
}

TEST_F(GridIntersectTest, FacesMissesAndUnusableRays) {
    TestMesh mesh;
    FromCorners(mesh, {{0, 0, 0, 1, 0, 0, 0, 1, 0}});
    Grid grid;
    BuildGrid(grid, mesh);
    GridHit hit;
    ASSERT_TRUE(grid.Intersect(MakeRay(0.25f, 0.25f, 2, 0, 0, -2), hit));
    EXPECT_EQ(hit.triangle, &mesh.triangles[0]);
    EXPECT_EQ(hit.b0, 0.5f);
    EXPECT_EQ(hit.t, 1.0f);  // in units of the direction
    EXPECT_TRUE(grid.Occluded(MakeRay(0.25f, 0.25f, 2, 0, 0, -2), 1.5f));
    EXPECT_FALSE(grid.Occluded(MakeRay(0.25f, 0.25f, 2, 0, 0, -2), 0.9f));  // ends before
    // A hit limit at or before the triangle.
    GridHit limited;
    EXPECT_FALSE(grid.Intersect(MakeRay(0.25f, 0.25f, 2, 0, 0, -2), limited, 1.0f));
    // Back face, box missed, box behind: false, record unchanged.
    GridHit kept;
    kept.b0 = 3;
    kept.t = 4;
    EXPECT_FALSE(grid.Intersect(MakeRay(0.25f, 0.25f, -1, 0, 0, 1), kept));
    EXPECT_FALSE(grid.Intersect(MakeRay(5, 5, 1, 0, 0, -1), kept));
    EXPECT_FALSE(grid.Intersect(MakeRay(0.25f, 0.25f, 1, 0, 0, 1), kept));
    EXPECT_EQ(kept.b0, 3.0f);
    EXPECT_EQ(kept.t, 4.0f);
    EXPECT_EQ(kept.triangle, nullptr);
    // Zero and NaN directions, NaN origins: no hit.
    const float nan = std::nanf("");
    for (const Ray& bad : {MakeRay(0.25f, 0.25f, 1, 0, 0, 0), MakeRay(0.25f, 0.25f, 1, nan, 0, -1),
                           MakeRay(nan, 0.25f, 1, 0, 0, -1), MakeRay(0.25f, 0.25f, 0, nan, nan, nan)}) {
        GridHit h;
        EXPECT_FALSE(grid.Intersect(bad, h));
        EXPECT_FALSE(grid.Occluded(bad, 1e30f));
    }
    // A grid never built answers nothing.
    Grid empty;
    EXPECT_FALSE(empty.Intersect(MakeRay(0.25f, 0.25f, 2, 0, 0, -2), hit));
}

// Rays that a walk along an integer line of cells, or one that stops at the first triangle
// found, answer wrongly. Each grid has cells of edge 1 with the box's low corner at the origin
// (triangles whose first edges are 1 long, build factor 1), so grid coordinates are world
// coordinates.
TEST_F(GridIntersectTest, CornerCrossingBehindTheOriginAndANearerHitInTheNextCell) {
    for (int algorithm : {RAYTR::kFastAlgorithm, RAYTR::kAccuracyAlgorithm}) {
        {
            // The ray passes the corner (0.5, 0.5) of four cells; triangle 0 lies in cell
            // (1,1) only, facing the ray.
            TestMesh mesh;
            FromCorners(mesh, {{1, 0.55f, 0, 1, 0.55f, 1, 1, 0.95f, 0.5f},
                               {0, 0, 0, 0, 0, 1, 0.1f, 0, 0.5f},
                               {4, 2, 0, 4, 2, 1, 3.9f, 2, 0.5f}});
            Grid grid;
            BuildGrid(grid, mesh, 1.0f, algorithm);
            ASSERT_EQ(grid.CellSize(), 1.0f);
            const Ray ray = MakeRay(-1, 0.125f, 0.3f, 4, 1, 0);
            GridHit hit;
            ASSERT_TRUE(grid.Intersect(ray, hit)) << algorithm;
            EXPECT_EQ(hit.triangle, &mesh.triangles[0]);
            EXPECT_FLOAT_EQ(hit.t, 0.5f);
            EXPECT_TRUE(grid.Occluded(ray, 1.0f));
        }
        {
            // Triangle 0 leans along the ray: it reaches into the entry cell but the ray meets
            // it at x = 2 (t = 3). Triangle 1, at x = 1 in the second cell, is nearer (t = 2).
            TestMesh mesh;
            FromCorners(mesh, {{0, 0.5f, 1, 0, 0.5f, 0, 3, 0.2f, 0.5f},
                               {1, 0.1f, 0, 1, 0.1f, 1, 1, 0.6f, 0.5f},
                               {0, 0, 0, 0, 0, 1, 0.1f, 0, 0.5f}});
            Grid grid;
            BuildGrid(grid, mesh, 1.0f, algorithm);
            ASSERT_EQ(grid.CellSize(), 1.0f);
            GridHit hit;
            ASSERT_TRUE(grid.Intersect(MakeRay(-1, 0.3f, 0.55f, 1, 0, 0), hit)) << algorithm;
            EXPECT_EQ(hit.triangle, &mesh.triangles[1]);
            EXPECT_FLOAT_EQ(hit.t, 2.0f);
        }
    }
    {
        // Every triangle in one cell (factor 0). From z = 0.5 going up, triangle 0 (z = 0) lies
        // behind the origin; the hit is triangle 1 at z = 1, and a segment ending before it is
        // free.
        TestMesh mesh;
        FromCorners(mesh, {{0, 0, 0, 0, 1, 0, 1, 0, 0}, {0, 0, 1, 0, 1, 1, 1, 0, 1}});
        Grid grid;
        BuildGrid(grid, mesh, 0.0f);
        const Ray ray = MakeRay(0.25f, 0.25f, 0.5f, 0, 0, 1);
        GridHit hit;
        ASSERT_TRUE(grid.Intersect(ray, hit));
        EXPECT_EQ(hit.triangle, &mesh.triangles[1]);
        EXPECT_EQ(hit.t, 0.5f);
        EXPECT_FALSE(grid.Occluded(ray, 0.4f));
    }
}

// Both queries against brute force over all triangles, exactly: 24 grids (4 scenes, both
// algorithms, factors 0.25 to 4) with 4,200 rays each, and the demo knot at its factor. The
// scenes include wide empty space (the spheres, the soup, the flat floor), which the walk
// passes in macro cells.
TEST_F(GridIntersectTest, NearestHitAndShadowSegmentsAgreeWithBruteForce) {
    std::vector<TestMesh> scenes(4);
    const char* names[4] = {"knot", "spheres", "soup", "floor"};
    grid_test::FromWriterMesh(LOAD_3DS::MakeTorusKnot(60, 8), scenes[0]);
    {
        TestMesh a, b, c;
        grid_test::MakeSphere(a, 1.5f, 20, 28, -1.8f, -0.2f, 0.1f);
        grid_test::MakeSphere(b, 1.2f, 16, 24, 1.7f, 0.3f, -0.2f);
        grid_test::MakeSphere(c, 0.4f, 8, 12, 0.0f, 1.6f, 0.0f);
        Merge({&a, &b, &c}, scenes[1]);
    }
    {
        std::mt19937 random(5);
        std::uniform_real_distribution<float> place(-5.0f, 5.0f), offset(-1.5f, 1.5f);
        std::vector<std::array<float, 9>> corners;
        for (int n = 0; n < 300; ++n) {
            std::array<float, 9> c;
            for (int q = 0; q < 3; ++q) c[q] = place(random);
            for (int q = 3; q < 9; ++q) c[q] = c[q % 3] + offset(random) * (n % 10 == 0 ? 3.0f : 1.0f);
            corners.push_back(c);
        }
        FromCorners(scenes[2], corners);
    }
    grid_test::FromWriterMesh(LOAD_3DS::MakeFloor(), scenes[3]);

    Tally tally;
    unsigned seed = 100;
    for (int s = 0; s < 4; ++s)
        for (int algorithm : {RAYTR::kFastAlgorithm, RAYTR::kAccuracyAlgorithm})
            for (float factor : {0.25f, 1.0f, 4.0f}) {
                Grid grid;
                BuildGrid(grid, scenes[s], factor, algorithm);
                Tally one;
                Check(scenes[s], grid, 4200, ++seed, one);
                std::printf("%-7s algorithm %d factor %.2f: %ld rays, %ld hits, %ld blocked, wrong closest %ld, "
                            "wrong shadow %ld\n",
                            names[s], algorithm, factor, one.rays, one.hits, one.blocked, one.closestWrong,
                            one.shadowWrong);
                tally.rays += one.rays, tally.hits += one.hits, tally.blocked += one.blocked;
                tally.closestWrong += one.closestWrong, tally.shadowWrong += one.shadowWrong;
            }
    {
        TestMesh knot;
        grid_test::FromWriterMesh(LOAD_3DS::MakeTorusKnot(), knot);
        Grid grid;
        BuildGrid(grid, knot, 0.75f, RAYTR::kAccuracyAlgorithm);  // the demo's release.cgf
        Tally one;
        Check(knot, grid, 400, 99, one);
        std::printf("demo knot: %ld rays, %ld hits, wrong closest %ld, wrong shadow %ld\n", one.rays, one.hits,
                    one.closestWrong, one.shadowWrong);
        tally.rays += one.rays, tally.hits += one.hits, tally.blocked += one.blocked;
        tally.closestWrong += one.closestWrong, tally.shadowWrong += one.shadowWrong;
    }
    ASSERT_GE(tally.rays, 100000);
    EXPECT_GT(tally.hits, tally.rays / 4);
    EXPECT_GT(tally.blocked, tally.rays / 8);
    EXPECT_EQ(tally.closestWrong, 0);
    EXPECT_EQ(tally.shadowWrong, 0);
}

// Long walks: a flat grid of about 600 x 300 cells, rays from about 2000 cells away running
// along x that cross a y boundary of the cells a hundredth of a cell before or after an x
// boundary, 350 to 580 cells into the grid. Where they do, each passes for a short stretch
// through a corner cell, and a tiny triangle facing it sits there, farther than the cells'
// margin from every other cell. A walk whose boundary parameters drift by more than that
// stretch takes the other way round the corner and misses it. Tiny back-facing triangles on a
// 4-unit lattice keep every macro cell occupied, so the walk goes cell by cell.
TEST_F(GridIntersectTest, LongWalksPastCellCornersAgreeWithBruteForce) {
    constexpr double kX = 640.0, kY = 320.0, kZ = 3.0;
    constexpr int kRays = 600;
    TestMesh mesh;
    std::vector<std::array<float, 9>> corners;
    // A tiny triangle at p facing +x: rays along +x meet its back.
    auto backFacing = [&](float x, float y, float z) {
        corners.push_back({x, y, z, x, y, z + 0.01f, x, y + 0.01f, z});
    };
    backFacing(0.0f, 0.0f, 0.0f);
    backFacing(static_cast<float>(kX), static_cast<float>(kY) - 0.01f, static_cast<float>(kZ) - 0.01f);
    for (float x = 2.0f; x < kX; x += 4.0f)
        for (float y = 2.0f; y < kY; y += 4.0f) backFacing(x, y, 1.0f);
    const size_t firstTrap = corners.size();
    for (int n = 0; n < kRays; ++n) backFacing(1.0f, 1.0f, 2.5f);  // placeholders, moved below
    FromCorners(mesh, corners);
    // Cells of about 0.85 units before the cell budget (64 per triangle) makes them a little
    // larger, the same along every axis.
    constexpr float kFactor = 0.012f;
    std::vector<Ray> rays;
    // Aims the rays and places the traps for the cells of a grid (query data q).
    auto place = [&](const RAYTR::GridQueryData& q) {
        // Cell coordinates h = (p - minimum) * inverse cell + 0.5 (cell i spans [i, i + 1)), exact.
        auto toH = [&](int axis, double p) { return (p - q.minimum[axis]) * q.inverseCell[axis] + 0.5; };
        auto fromH = [&](int axis, double h) { return (h - 0.5) / q.inverseCell[axis] + q.minimum[axis]; };
        std::mt19937 random(2024);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        rays.clear();
        for (int n = 0; n < kRays; ++n) {
            // Direction (1, s, tiny z), from x = -2000 cells.
            const double s = (n % 2 ? 1.0 : -1.0) * (0.3 + 0.15 * unit(random));
            const float d[3] = {1.0f, static_cast<float>(s), static_cast<float>((unit(random) - 0.5) * 1e-4)};
            const double slope = d[1] * static_cast<double>(q.inverseCell[1]) / q.inverseCell[0];  // dhy / dhx
            const double B = 350.0 + std::floor(unit(random) * 230.0);  // the x boundary
            const double delta = (n % 4 < 2 ? 1.0 : -1.0) * (0.02 + 0.02 * unit(random));  // cells before it
            // hy crosses the integer C at hx = B - delta, C such that the ray enters the grid
            // through its face x = 0 a few rows from the side: the origin's y from
            // hy(B) = C + slope * delta.
            const double rise = std::floor(std::fabs(slope) * B) + 5.0;
            const double C = slope > 0.0 ? rise : q.resolution[1] - rise;
            const double ox = fromH(0, toH(0, 0.0) - 2000.0);
            const double tB = (fromH(0, B) - ox) / d[0];
            const double oy = fromH(1, C + slope * delta) - tB * d[1];
            const float o[3] = {static_cast<float>(ox), static_cast<float>(oy), static_cast<float>(fromH(2, 1.5))};
            // The trap: on the float ray, midway along the stretch in the corner cell, narrower
            // across the ray than its clearance from the other cells less their margin (a
            // thousandth of a cell), and tall (within the cell's height).
            const double tMid = (fromH(0, B - delta / 2.0) - o[0]) / d[0];
            const double p[3] = {o[0] + tMid * d[0], o[1] + tMid * d[1], o[2] + tMid * d[2]};
            const double clearance = std::min(std::fabs(delta), std::fabs(slope * delta)) / 2.0 / q.inverseCell[0];
            const double half = 0.5 * (clearance - 1e-3 / q.inverseCell[0]);
            // Across the ray, horizontally: (-d.y, d.x) normalised.
            const double across[2] = {-d[1] / std::hypot(d[0], d[1]), d[0] / std::hypot(d[0], d[1])};
            // Corners counter-clockwise seen from the origin: the lower two (a first edge as
            // short as the others', which set the cell size), then the top.
            const double high = 0.3 / q.inverseCell[2];
            const double offsets[3][3] = {{half * across[0], half * across[1], -high},
                                          {-half * across[0], -half * across[1], -high},
                                          {0.0, 0.0, high}};
            for (size_t k = 0; k < 3; ++k) {
                ORVA_GRAPHICS::VERTEX& corner = mesh.vertices[(firstTrap + static_cast<size_t>(n)) * 3 + k];
                for (int axis = 0; axis < 3; ++axis) corner.position[axis] = static_cast<float>(p[axis] + offsets[k][axis]);
            }
            rays.push_back(MakeRay(o[0], o[1], o[2], d[0], d[1], d[2]));
        }
    };
    // The traps change the average edge and so the cells a little: placed again until the
    // cells they were placed for are the grid's.
    Grid grids[2];
    BuildGrid(grids[0], mesh, kFactor, RAYTR::kAccuracyAlgorithm);
    int built = 0;
    for (int round = 0; round < 8; ++round) {
        place(grids[built].QueryData());
        BuildGrid(grids[1 - built], mesh, kFactor, RAYTR::kAccuracyAlgorithm);
        const bool same = std::memcmp(grids[0].QueryData().inverseCell, grids[1].QueryData().inverseCell,
                                      sizeof(float) * 3) == 0;
        built = 1 - built;
        if (same) break;
    }
    const Grid& traps = grids[built];
    ASSERT_GT(traps.Resolution()[0], 590);
    ASSERT_GT(traps.Resolution()[1], 250);
    int alone = 0, hits = 0, wrong = 0;
    for (int n = 0; n < kRays; ++n) {
        const grid_test::Nearest nearest = grid_test::BruteForceNearest(mesh, rays[static_cast<size_t>(n)]);
        hits += nearest.index == static_cast<int>(firstTrap) + n;
        GridHit hit;
        const bool found = traps.Intersect(rays[static_cast<size_t>(n)], hit);
        const bool same = nearest.index < 0 ? !found
                                            : found && hit.triangle == &mesh.triangles[static_cast<size_t>(nearest.index)];
        wrong += !same;
        // The trap lies in one cell only (the corner cell), or the case tests nothing.
        const unsigned index = static_cast<unsigned>(firstTrap) + static_cast<unsigned>(n);
        int cellsHolding = 0;
        for (unsigned c = 0; c < traps.Cells().Count(); ++c) {
            const auto& cube = traps.Cells()[c];
            cellsHolding += std::find(cube.indices, cube.indices + cube.size, index) != cube.indices + cube.size;
        }
        alone += cellsHolding == 1;
    }
    std::printf("%d long walks past cell corners: %d meet their trap first, %d traps in one cell only, %d wrong\n",
                kRays, hits, alone, wrong);
    EXPECT_GT(hits, kRays * 9 / 10);
    EXPECT_GT(alone, kRays * 9 / 10);
    EXPECT_EQ(wrong, 0);
}

// A mesh as scans and CAD exports have them: a sphere with zero-area triangles (many at one
// point, some along a line), exact repeats of its triangles, repeats from another corner and
// the reverse of some (which stay: the first is tested with another rounding, the second is
// the other side), and vertices that no triangle uses far away. The
// grid leaves out exactly the zero-area and repeated ones, lays its cells over the triangles
// it holds (the stray vertices count for nothing), and answers as brute force over every
// triangle does.
TEST_F(GridIntersectTest, ZeroAreaAndRepeatedTrianglesAreLeftOutAndChangeNoAnswer) {
    TestMesh sphere;
    grid_test::MakeSphere(sphere, 1.0f, 16, 24);
    TestMesh mesh;
    mesh.vertices.reserve(sphere.vertices.size() + 4);
    mesh.vertices = sphere.vertices;
    const int point = mesh.AddVertex(0.3f, 0.2f, 0.1f);
    const int onLine = mesh.AddVertex(0.6f, 0.2f, 0.1f);
    mesh.AddVertex(1e4f, -3e4f, 5e3f);  // used by no triangle
    const int lineEnd = mesh.AddVertex(0.9f, 0.2f, 0.1f);
    auto index = [&](const ORVA_GRAPHICS::VERTEX* v) { return static_cast<int>(v - sphere.vertices.data()); };
    unsigned expectedLeftOut = 0;
    for (size_t i = 0; i < sphere.triangles.size(); ++i) {
        const Triangle& t = sphere.triangles[i];
        mesh.AddTriangle(index(t.A), index(t.B), index(t.C));
        if (i % 5 == 0) mesh.AddTriangle(point, point, point), ++expectedLeftOut;
        if (i % 23 == 0) mesh.AddTriangle(point, onLine, lineEnd), ++expectedLeftOut;
        if (i % 7 == 0 && i > 0) {  // repeats of an earlier triangle
            const Triangle& e = sphere.triangles[i / 2];
            mesh.AddTriangle(index(e.A), index(e.B), index(e.C));
            ++expectedLeftOut;
            mesh.AddTriangle(index(e.B), index(e.C), index(e.A));
        }
        if (i % 11 == 0) mesh.AddTriangle(index(t.A), index(t.C), index(t.B));  // the back side
    }
    mesh.ComputeBox();
    for (int algorithm : {RAYTR::kFastAlgorithm, RAYTR::kAccuracyAlgorithm}) {
        RAYTR::GridBuildSettings settings;
        settings.algorithm = algorithm;
        settings.factor = 1.0f;
        Grid grid, clean;
        grid.Build(mesh.triangles.data(), mesh.Count(), settings);
        clean.Build(sphere.triangles.data(), sphere.Count(), settings);
        EXPECT_EQ(grid.LeftOut(), expectedLeftOut);
        EXPECT_EQ(clean.LeftOut(), 0u);
        for (int axis = 0; axis < 3; ++axis) {
            EXPECT_EQ(grid.Minimum()[axis], sphere.box.minimum[axis]);
            EXPECT_EQ(grid.Maximum()[axis], sphere.box.maximum[axis]);
            EXPECT_EQ(grid.Resolution()[axis], clean.Resolution()[axis]);
        }
        Tally tally;
        Check(mesh, grid, 3000, 77, tally, &sphere);
        EXPECT_GT(tally.hits, 500);
        EXPECT_EQ(tally.closestWrong, 0);
        EXPECT_EQ(tally.shadowWrong, 0);
    }
}

// Watertightness: 1,000,000 rays from in front of both faces of a shared edge, aimed exactly
// at a point of the edge (a third of them at its end vertices), on closed meshes at scales
// 1e-4, 1 and 1e4. Each must meet the surface no later than that point: 0 misses.
TEST_F(GridIntersectTest, NoRaySlipsThroughSharedEdgesOrVerticesOfClosedMeshes) {
    constexpr int kRays = 1000000;
    std::vector<TestMesh> shapes(2);
    grid_test::FromWriterMesh(LOAD_3DS::MakeTorusKnot(48, 6), shapes[0]);
    grid_test::MakeSphere(shapes[1], 1.0f, 10, 14);
    long rays = 0, misses = 0;
    unsigned seed = 7;
    const float scales[3] = {1e-4f, 1.0f, 1e4f};
    for (TestMesh& shape : shapes)
        for (float scale : scales) {
            TestMesh mesh = shape;
            for (ORVA_GRAPHICS::VERTEX& v : mesh.vertices) {
                v.position.x *= scale, v.position.y *= scale, v.position.z *= scale;
            }
            for (size_t i = 0; i < mesh.triangles.size(); ++i) {  // re-point into the copy
                mesh.triangles[i].A = &mesh.vertices[static_cast<size_t>(shape.triangles[i].A - shape.vertices.data())];
                mesh.triangles[i].B = &mesh.vertices[static_cast<size_t>(shape.triangles[i].B - shape.vertices.data())];
                mesh.triangles[i].C = &mesh.vertices[static_cast<size_t>(shape.triangles[i].C - shape.vertices.data())];
            }
            mesh.ComputeBox();
            const std::vector<SharedEdge> edges = SharedEdges(mesh);
            ASSERT_GT(edges.size(), 100u);
            Grid grid;
            BuildGrid(grid, mesh, 1.0f, seed % 2 ? RAYTR::kAccuracyAlgorithm : RAYTR::kFastAlgorithm);
            std::mt19937 random(++seed);
            std::uniform_real_distribution<float> unit(0.0f, 1.0f), jitter(-0.3f, 0.3f);
            std::uniform_int_distribution<size_t> pick(0, edges.size() - 1);
            const float size = Length3(mesh.box.maximum - mesh.box.minimum);
            const int count = kRays / static_cast<int>(shapes.size() * 3);
            for (int n = 0; n < count; ++n) {
                const SharedEdge& e = edges[pick(random)];
                const int kind = n % 3;
                VECTOR point = kind == 0 ? e.a : kind == 1 ? e.b : e.a + (e.b - e.a) * unit(random);
                point.w = 1.0f;
                VECTOR normal = e.normal / Length3(e.normal);
                VECTOR side = ORVA_MATH::Cross(normal, e.b - e.a);
                side = side / Length3(side);
                VECTOR along = (e.b - e.a) / Length3(e.b - e.a);
                const float distance = size * (0.05f + unit(random));
                VECTOR origin = point + (normal + side * (jitter(random) * 0.2f) + along * jitter(random)) * distance;
                origin.w = 1.0f;
                VECTOR d = point - origin;
                d.w = 0.0f;
                GridHit hit;
                const bool found = grid.Intersect(Ray(origin, d), hit);
                ++rays;
                if (!found || hit.t > 1.0f + 1e-5f) ++misses;
            }
        }
    std::printf("%ld rays at shared edges and vertices, %ld misses\n", rays, misses);
    EXPECT_GE(rays, kRays - 6);
    EXPECT_EQ(misses, 0);
}

// Every kernel this processor runs (scalar, SSE4, AVX2, AVX-512) gives the scalar kernel's
// answers bit for bit: the same triangle, t and weights, the same shadow answers, and the same
// cells in an exact build.
TEST_F(GridIntersectTest, EveryKernelWidthGivesTheScalarAnswersBitForBit) {
    const RAYTR::KernelTable* scalar = RAYTR::KernelNamed("scalar");
    ASSERT_NE(scalar, nullptr);
    const RAYTR::KernelTable& chosen = RAYTR::Kernel();
    TestMesh mesh;
    grid_test::FromWriterMesh(LOAD_3DS::MakeTorusKnot(60, 8), mesh);
    int widths = 0;
    for (const char* name : {"sse4", "avx2", "avx512"}) {
        const RAYTR::KernelTable* wide = RAYTR::KernelNamed(name);
        if (wide == nullptr) continue;  // not on this processor
        ++widths;
        for (float factor : {0.25f, 1.0f, 3.0f}) {
            Grid grids[2];
            RAYTR::UseKernel(*scalar);
            BuildGrid(grids[0], mesh, factor, RAYTR::kAccuracyAlgorithm);
            RAYTR::UseKernel(*wide);
            BuildGrid(grids[1], mesh, factor, RAYTR::kAccuracyAlgorithm);
            RAYTR::UseKernel(chosen);
            ASSERT_EQ(grids[0].QueryKernel(), scalar);
            ASSERT_EQ(grids[1].QueryKernel(), wide);
            for (unsigned c = 0; c < grids[0].Cells().Count(); ++c) {
                ASSERT_EQ(grids[0].Cells()[c].size, grids[1].Cells()[c].size) << name;
                for (unsigned k = 0; k < grids[0].Cells()[c].size; ++k)
                    ASSERT_EQ(grids[0].Cells()[c].indices[k], grids[1].Cells()[c].indices[k]);
            }
            const std::vector<Ray> rays = MakeRays(mesh, grids[0], 6000, 40 + widths);
            for (const Ray& ray : rays) {
                GridHit a, b;
                const bool fa = grids[0].Intersect(ray, a), fb = grids[1].Intersect(ray, b);
                ASSERT_EQ(fa, fb) << name;
                ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << name;
                for (float end : {0.5f, 2.0f, 50.0f}) ASSERT_EQ(grids[0].Occluded(ray, end), grids[1].Occluded(ray, end));
            }
        }
    }
    std::printf("kernels compared with the scalar one: %d (chosen: %s)\n", widths, chosen.name);
}

TEST_F(GridIntersectTest, SeveralThreadsOnOneGridGetTheSingleThreadAnswers) {
    TestMesh mesh;
    grid_test::MakeSphere(mesh, 2.0f, 24, 32);
    Grid grid;
    BuildGrid(grid, mesh);
    const std::vector<Ray> rays = MakeRays(mesh, grid, 8000, 3);
    struct Answer {
        bool found, blocked;
        const Triangle* triangle;
        float b0, b1, b2, t;
        bool operator==(const Answer&) const = default;
    };
    auto answer = [&](size_t i) {
        GridHit hit;
        const bool found = grid.Intersect(rays[i], hit);
        return Answer{found, grid.Occluded(rays[i], 1.0f), hit.triangle, hit.b0, hit.b1, hit.b2, hit.t};
    };
    std::vector<Answer> expected;
    for (size_t i = 0; i < rays.size(); ++i) expected.push_back(answer(i));
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < rays.size(); ++i) {
                const size_t k = (i * 7 + static_cast<size_t>(t) * 977) % rays.size();
                if (!(answer(k) == expected[k])) ++mismatches;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(GridIntersectTest, HostileExtentsAndLargeFactorsGetACoarserGridThatStillFindsTheHits) {
    // A sphere of radius 1, then the same sphere with one stray triangle reaching x = 1e30.
    TestMesh sphere;
    grid_test::MakeSphere(sphere, 1.0f, 24, 48);
    TestMesh hostile;
    hostile.vertices.reserve(sphere.vertices.size() + 1);  // triangles point into the array
    grid_test::MakeSphere(hostile, 1.0f, 24, 48);
    const int far = hostile.AddVertex(1e30f, 0.0f, 0.0f);
    hostile.AddTriangle(0, 1, far);
    hostile.ComputeBox();
    struct Case {
        TestMesh* mesh;
        float factor;
    };
    for (const Case& c : {Case{&hostile, 0.75f}, Case{&sphere, 60.0f}}) {
        SCOPED_TRACE(c.factor);
        for (int algorithm : {RAYTR::kFastAlgorithm, RAYTR::kAccuracyAlgorithm}) {
            Grid grid;
            RAYTR::GridBuildResult result;
            BuildGrid(grid, *c.mesh, c.factor, algorithm, &result);  // no std::bad_alloc
            // The warning still tells what the configuration asked for.
            ASSERT_EQ(result.warnings.size(), 1u);
            EXPECT_EQ(result.warnings[0].rfind("WARNING!, REQUIRED MEMORY: ", 0), 0u);
            const double budget = RAYTR::CellBudget(c.mesh->Count());
            EXPECT_LE(grid.Cells().Count(), budget);
            EXPECT_GT(grid.Cells().Count(), budget / 8) << "coarser, not collapsed";
            for (int axis = 0; axis < 3; ++axis)
                EXPECT_LE(grid.Resolution()[axis], RAYTR::kAxisCellsPerCubeRoot * std::cbrt(budget));
            // The coarser grid still answers exactly like brute force, on rays around the sphere.
            Tally tally;
            Check(*c.mesh, grid, 2000, 11, tally, &sphere);
            ASSERT_GT(tally.hits, 300);
            EXPECT_EQ(tally.closestWrong, 0);
            EXPECT_EQ(tally.shadowWrong, 0);
        }
    }
}

// REDOWL_ISA names the kernels to use; a name that is no kernel is refused with a message that
// says what may be named, and one the processor cannot run names what it lacks.
TEST(KernelChoiceTest, RefusesUnknownAndUnrunnableInstructionSets) {
    const char* saved = std::getenv("REDOWL_ISA");
    const std::string keep = saved ? saved : "";
    setenv("REDOWL_ISA", "avx1024", 1);
    EXPECT_EQ(RAYTR::CheckIsaEnvironment(),
              "REDOWL_ISA=avx1024 names no ray kernel: use scalar, sse4, avx2 or avx512");
    for (const char* name : {"scalar", "sse4", "avx2", "avx512"}) {
        setenv("REDOWL_ISA", name, 1);
        const std::string message = RAYTR::CheckIsaEnvironment();
        EXPECT_EQ(message.empty(), RAYTR::KernelNamed(name) != nullptr) << name;
        if (!message.empty()) {
            EXPECT_NE(message.find("cannot run"), std::string::npos) << message;
        }
    }
    EXPECT_NE(RAYTR::KernelNamed("scalar"), nullptr);  // every processor runs the scalar kernels
    EXPECT_EQ(RAYTR::KernelNamed("scalar")->width, 1);
    if (saved) setenv("REDOWL_ISA", keep.c_str(), 1);
    else unsetenv("REDOWL_ISA");
}
