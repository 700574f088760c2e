#include <gtest/gtest.h>

#include <cstring>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "errors/message_box.h"
#include "grid/ray_triangle.h"
#include "grid/regular_grid.h"
#include "grid_test_mesh.h"
#include "loaders/demo_scene.h"

using grid_test::TestMesh;
using ORVA_GRAPHICS::Triangle;
using ORVA_MATH::VECTOR;
using RAYTR::Grid;
using RAYTR::Ray;
using RAYTR::RayHit;

namespace {

class GridIntersectTest : public ::testing::Test {
protected:
    void SetUp() override { savedFactor_ = RAYTR::gridBuildFactor; }
    void TearDown() override { RAYTR::gridBuildFactor = savedFactor_; }
    float savedFactor_ = 4.0f;
};

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
// surface point (skipping its triangle), and through cell edges and corners (some along axes
// and diagonals, so that boundary parameters tie).
void MakeRays(const TestMesh& mesh, const Grid& grid, int count, unsigned seed, std::vector<Ray>& rays,
              std::vector<const Triangle*>& skips) {
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
        const Triangle* skip = nullptr;
        VECTOR o, d;
        switch (n % 4) {
            case 0: {  // outside, aimed at a point of the box
                VECTOR around = randomDirection();
                ORVA_MATH::Normalise(around);
                o = ORVA_MATH::Midpoint(lo, hi) + around * diagonal;
                const VECTOR target = inBox();
                d = target - o;
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
                skip = &t;
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
        skips.push_back(skip);
    }
}

struct Tally {
    long rays = 0, closestWrong = 0, shadowWrong = 0, hits = 0, blocked = 0;
};

// Both queries against brute force over all triangles on one grid; the rays are made around
// rayMesh (the mesh itself unless given).
void Check(const TestMesh& mesh, const Grid& grid, int count, unsigned seed, Tally& tally,
           const TestMesh* rayMesh = nullptr) {
    std::vector<Ray> rays;
    std::vector<const Triangle*> skips;
    MakeRays(rayMesh ? *rayMesh : mesh, grid, count, seed, rays, skips);
    std::mt19937 random(seed + 1);
    std::uniform_real_distribution<float> spread(0.5f, 1.5f);
    for (size_t i = 0; i < rays.size(); ++i) {
        const float length = Length3(rays[i].direction);
        const float tMin = grid.MinimumDistance() / length;
        const float nearest = grid_test::BruteForceNearest(mesh, rays[i], skips[i], tMin);
        // Closest hit: same answer, t within 1e-5 relative.
        RayHit hit;
        hit.triangle = skips[i];
        const bool found = grid.Intersect(rays[i], hit);
        ++tally.rays;
        if (std::isinf(nearest)) {
            tally.closestWrong += found;
        } else {
            ++tally.hits;
            const bool close = found && std::fabs(hit.t - nearest) <= 1e-5f * nearest;
            tally.closestWrong += !close;
        }
        // A reported hit is a real one: the scalar test gives exactly its weights and t.
        if (found) {
            float b0, b1, b2, t;
            ASSERT_TRUE(grid_test::OneSided(rays[i], *hit.triangle, &b0, &b1, &b2, &t));
            ASSERT_EQ(hit.b1, b1);
            ASSERT_EQ(hit.b2, b2);
            ASSERT_EQ(hit.t, t);
            ASSERT_NE(hit.triangle, skips[i]);
        }
        // Shadow segment ending near the nearest hit (either side of it) or anywhere in the box.
        const TestMesh& around = rayMesh ? *rayMesh : mesh;
        const float end = std::isinf(nearest) ? 2.0f * Length3(around.box.maximum - around.box.minimum) / length
                                              : nearest * spread(random);
        const bool blocked = grid.Occluded(rays[i], end, skips[i]);
        tally.blocked += blocked;
        tally.shadowWrong += blocked != (nearest < end);
    }
}

}  // namespace

TEST(RayTriangleTest, WorkedCasesToleranceAndTheFourLaneTestAgreesWithTheScalarOne) {
    TestMesh mesh;
    FromCorners(mesh, {{0, 0, 0, 1, 0, 0, 0, 1, 0}});  // facing +z
    const Triangle& t = mesh.triangles[0];
    float b0 = -7, b1 = -7, b2 = -7, dist = -7;
    ASSERT_TRUE(grid_test::OneSided(MakeRay(0.25f, 0.25f, 1, 0, 0, -1), t, &b0, &b1, &b2, &dist));
    EXPECT_EQ(b0, 0.5f);
    EXPECT_EQ(b1, 0.25f);
    EXPECT_EQ(b2, 0.25f);
    EXPECT_EQ(dist, 1.0f);
    EXPECT_FALSE(grid_test::OneSided(MakeRay(0.25f, 0.25f, -1, 0, 0, 1), t, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(grid_test::OneSided(MakeRay(1.0005f, 0, 1, 0, 0, -1), t, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(grid_test::OneSided(MakeRay(1.01f, 0, 1, 0, 0, -1), t, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(grid_test::OneSided(MakeRay(0.2f, 0.2f, 0, 1, 0, 0), t, nullptr, nullptr, nullptr, nullptr));
    // The lower bound is the double -0.001: the float -0.001f lies just below it and fails.
    EXPECT_FALSE(grid_test::OneSided(MakeRay(-0.001f, 0.5f, 1, 0, 0, -1), t, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(grid_test::OneSided(MakeRay(-0.0009f, 0.5f, 1, 0, 0, -1), t, nullptr, nullptr, nullptr, nullptr));

    // Four random triangles per block, random rays: each lane decides, and computes u, v and t,
    // exactly as the scalar test; the skip index and the (tMin, tMax) range apply per lane.
    std::mt19937 random(11);
    std::uniform_real_distribution<float> coordinate(-1.0f, 1.0f);
    int hits = 0;
    for (int n = 0; n < 20000; ++n) {
        RAYTR::TriangleBlock4 block;
        float a[4][3], e1[4][3], e2[4][3];
        for (int lane = 0; lane < 4; ++lane) {
            for (int q = 0; q < 3; ++q) {
                a[lane][q] = coordinate(random);
                e1[lane][q] = coordinate(random);
                e2[lane][q] = coordinate(random);
            }
            block.ax[lane] = a[lane][0], block.ay[lane] = a[lane][1], block.az[lane] = a[lane][2];
            block.e1x[lane] = e1[lane][0], block.e1y[lane] = e1[lane][1], block.e1z[lane] = e1[lane][2];
            block.e2x[lane] = e2[lane][0], block.e2y[lane] = e2[lane][1], block.e2z[lane] = e2[lane][2];
            block.index[lane] = static_cast<unsigned>(lane);
        }
        const float o[3] = {coordinate(random) * 3, coordinate(random) * 3, coordinate(random) * 3};
        // Aimed near a point of one lane's triangle (t = 1 there), often just beside it.
        const int aim = n % 4;
        const float wu = coordinate(random) * 0.6f + 0.3f, wv = coordinate(random) * 0.6f + 0.3f;
        float d[3];
        for (int q = 0; q < 3; ++q) d[q] = a[aim][q] + e1[aim][q] * wu + e2[aim][q] * wv - o[q];
        const float tMin = 0.05f, tMax = 0.5f + 0.5f * static_cast<float>(n % 3);
        const unsigned skip = static_cast<unsigned>(n % 5);  // 4: no lane skipped
        const RAYTR::RayLanes lanes(o, d, tMin);
        __m128 u4 = _mm_setzero_ps(), v4 = u4, t4 = u4;
        const int mask = RAYTR::RayTriangle4(lanes, block, _mm_set1_ps(tMax), skip, u4, v4, t4);
        alignas(16) float us[4], vs[4], ts[4];
        _mm_store_ps(us, u4);
        _mm_store_ps(vs, v4);
        _mm_store_ps(ts, t4);
        for (int lane = 0; lane < 4; ++lane) {
            float u = 0, v = 0, s = 0;
            const bool scalar = RAYTR::RayTriangleStageOf(o, d, a[lane], e1[lane], e2[lane], u, v, s) == RAYTR::kHit &&
                                s > tMin && s < tMax && static_cast<unsigned>(lane) != skip;
            ASSERT_EQ(scalar, (mask >> lane & 1) != 0) << n << " lane " << lane;
            if (scalar) {
                ++hits;
                EXPECT_EQ(us[lane], u);
                EXPECT_EQ(vs[lane], v);
                EXPECT_EQ(ts[lane], s);
            }
        }
    }
    EXPECT_GT(hits, 1000);
}

TEST_F(GridIntersectTest, FacesSkipMissesAndUnusableRays) {
    TestMesh mesh;
    FromCorners(mesh, {{0, 0, 0, 1, 0, 0, 0, 1, 0}});
    Grid grid;
    grid.Build(mesh.triangles.data(), 1, mesh.box);
    RayHit hit;
    ASSERT_TRUE(grid.Intersect(MakeRay(0.25f, 0.25f, 2, 0, 0, -2), hit));
    EXPECT_EQ(hit.triangle, &mesh.triangles[0]);
    EXPECT_EQ(hit.b0, 0.5f);
    EXPECT_EQ(hit.t, 1.0f);  // in units of the direction
    EXPECT_TRUE(grid.Occluded(MakeRay(0.25f, 0.25f, 2, 0, 0, -2), 1.5f, nullptr));
    EXPECT_FALSE(grid.Occluded(MakeRay(0.25f, 0.25f, 2, 0, 0, -2), 0.9f, nullptr));  // ends before
    // A hit limit at or before the triangle.
    RayHit limited;
    EXPECT_FALSE(grid.Intersect(MakeRay(0.25f, 0.25f, 2, 0, 0, -2), limited, 1.0f));
    // Back face, skip triangle, box missed, box behind: false, record unchanged.
    RayHit kept;
    kept.b0 = 3;
    kept.t = 4;
    EXPECT_FALSE(grid.Intersect(MakeRay(0.25f, 0.25f, -1, 0, 0, 1), kept));
    EXPECT_FALSE(grid.Intersect(MakeRay(5, 5, 1, 0, 0, -1), kept));
    EXPECT_FALSE(grid.Intersect(MakeRay(0.25f, 0.25f, 1, 0, 0, 1), kept));
    EXPECT_EQ(kept.b0, 3.0f);
    EXPECT_EQ(kept.t, 4.0f);
    EXPECT_EQ(kept.triangle, nullptr);
    RayHit skip;
    skip.triangle = &mesh.triangles[0];
    EXPECT_FALSE(grid.Intersect(MakeRay(0.25f, 0.25f, 1, 0, 0, -1), skip));
    EXPECT_FALSE(grid.Occluded(MakeRay(0.25f, 0.25f, 1, 0, 0, -1), 5.0f, &mesh.triangles[0]));
    // Zero and NaN directions, NaN origins: no hit (a NaN ray used to "hit" with NaN weights).
    const float nan = std::nanf("");
    for (const Ray& bad : {MakeRay(0.25f, 0.25f, 1, 0, 0, 0), MakeRay(0.25f, 0.25f, 1, nan, 0, -1),
                           MakeRay(nan, 0.25f, 1, 0, 0, -1), MakeRay(0.25f, 0.25f, 0, nan, nan, nan)}) {
        RayHit h;
        EXPECT_FALSE(grid.Intersect(bad, h));
        EXPECT_FALSE(grid.Occluded(bad, 1e30f, nullptr));
    }
}

// Three rays that the former query (first triangle in the cells of an integer line from the
// entry cell to the exit cell, no distance test) answered wrongly. Each grid has cells of
// edge 1 with the box's low corner at the origin (three triangles whose first edges are 1
// long, build factor 1), so grid coordinates are world coordinates.
TEST_F(GridIntersectTest, CornerCrossingBehindTheOriginAndANearerHitInTheNextCell) {
    RAYTR::gridBuildFactor = 1.0f;
    for (int algorithm : {RAYTR::kFastAlgorithm, RAYTR::kAccuracyAlgorithm}) {
        {
            // Box [0, 4] x [0, 2] x [0, 1]. The ray passes the corner (0.5, 0.5) of cells
            // (0,0), (1,0), (0,1), (1,1) and crosses (0,0), (1,1), (2,1), (3,1), (4,1); the
            // integer line from (0,0) to (4,1) goes through (1,0) instead of (1,1). Triangle 0
            // lies in cell (1,1) only, facing the ray.
            TestMesh mesh;
            FromCorners(mesh, {{1, 0.55f, 0, 1, 0.55f, 1, 1, 0.95f, 0.5f},
                               {0, 0, 0, 0, 0, 1, 0.1f, 0, 0.5f},
                               {4, 2, 0, 4, 2, 1, 3.9f, 2, 0.5f}});
            Grid grid;
            grid.SetAlgorithm(algorithm);
            grid.Build(mesh.triangles.data(), mesh.Count(), mesh.box);
            ASSERT_EQ(grid.CellSize(), 1.0f);
            const Ray ray = MakeRay(-1, 0.125f, 0.3f, 4, 1, 0);
            RayHit hit;
            ASSERT_TRUE(grid.Intersect(ray, hit)) << algorithm;
            EXPECT_EQ(hit.triangle, &mesh.triangles[0]);
            EXPECT_FLOAT_EQ(hit.t, 0.5f);
            EXPECT_TRUE(grid.Occluded(ray, 1.0f, nullptr));
        }
        {
            // Box [0, 3] x [0, 0.6] x [0, 1]. Triangle 0 leans along the ray: it reaches into the
            // entry cell (0,0,1) but the ray meets it at x = 2 (t = 3). Triangle 1, at x = 1 in
            // the second cell, is nearer (t = 2).
            TestMesh mesh;
            FromCorners(mesh, {{0, 0.5f, 1, 0, 0.5f, 0, 3, 0.2f, 0.5f},
                               {1, 0.1f, 0, 1, 0.1f, 1, 1, 0.6f, 0.5f},
                               {0, 0, 0, 0, 0, 1, 0.1f, 0, 0.5f}});
            Grid grid;
            grid.SetAlgorithm(algorithm);
            grid.Build(mesh.triangles.data(), mesh.Count(), mesh.box);
            ASSERT_EQ(grid.CellSize(), 1.0f);
            ASSERT_NE(grid.Cells().at(0, 0, 1).size, 0u);
            RayHit hit;
            ASSERT_TRUE(grid.Intersect(MakeRay(-1, 0.3f, 0.55f, 1, 0, 0), hit)) << algorithm;
            EXPECT_EQ(hit.triangle, &mesh.triangles[1]);
            EXPECT_FLOAT_EQ(hit.t, 2.0f);
        }
    }
    {
        // Every triangle in one cell (factor 0). From z = 0.5 going up, triangle 0 (z = 0) lies
        // behind the origin; the hit is triangle 1 at z = 1, and a segment ending before it is
        // free.
        RAYTR::gridBuildFactor = 0.0f;
        TestMesh mesh;
        FromCorners(mesh, {{0, 0, 0, 0, 1, 0, 1, 0, 0}, {0, 0, 1, 0, 1, 1, 1, 0, 1}});
        Grid grid;
        grid.Build(mesh.triangles.data(), mesh.Count(), mesh.box);
        const Ray ray = MakeRay(0.25f, 0.25f, 0.5f, 0, 0, 1);
        RayHit hit;
        ASSERT_TRUE(grid.Intersect(ray, hit));
        EXPECT_EQ(hit.triangle, &mesh.triangles[1]);
        EXPECT_EQ(hit.t, 0.5f);
        EXPECT_FALSE(grid.Occluded(ray, 0.4f, nullptr));
    }
}

// Both queries against brute force over all triangles: 24 grids (4 scenes, both algorithms,
// factors 0.25 to 4) with 4,200 rays each, and the full demo knot at its configured factor.
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
                RAYTR::gridBuildFactor = factor;
                Grid grid;
                grid.SetAlgorithm(algorithm);
                grid.Build(scenes[s].triangles.data(), scenes[s].Count(), scenes[s].box);
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
        RAYTR::gridBuildFactor = 0.75f;  // the demo's release.cgf
        Grid grid;
        grid.SetAlgorithm(RAYTR::kAccuracyAlgorithm);
        grid.Build(knot.triangles.data(), knot.Count(), knot.box);
        Tally one;
        Check(knot, grid, 1200, 99, one);
        std::printf("demo knot: %ld rays, %ld hits, wrong closest %ld, wrong shadow %ld\n", one.rays, one.hits,
                    one.closestWrong, one.shadowWrong);
        tally.rays += one.rays, tally.hits += one.hits, tally.blocked += one.blocked;
        tally.closestWrong += one.closestWrong, tally.shadowWrong += one.shadowWrong;
    }
    ASSERT_GE(tally.rays, 100000);
    EXPECT_GT(tally.hits, tally.rays / 4);
    EXPECT_GT(tally.blocked, tally.rays / 8);
    EXPECT_LE(tally.closestWrong * 10000, tally.rays);
    EXPECT_LE(tally.shadowWrong * 10000, tally.rays);
}

TEST_F(GridIntersectTest, SeveralThreadsOnOneGridGetTheSingleThreadAnswers) {
    TestMesh mesh;
    grid_test::MakeSphere(mesh, 2.0f, 24, 32);
    Grid grid;
    grid.Build(mesh.triangles.data(), mesh.Count(), mesh.box);
    std::vector<Ray> rays;
    std::vector<const Triangle*> skips;
    MakeRays(mesh, grid, 8000, 3, rays, skips);
    struct Answer {
        bool found, blocked;
        const Triangle* triangle;
        float b0, b1, b2, t;
        bool operator==(const Answer&) const = default;
    };
    auto answer = [&](size_t i) {
        RayHit hit;
        hit.triangle = skips[i];
        const bool found = grid.Intersect(rays[i], hit);
        return Answer{found, grid.Occluded(rays[i], 1.0f, skips[i]), hit.triangle, hit.b0, hit.b1, hit.b2, hit.t};
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

TEST(RayTriangleTest, FloatLowerBoundEqualsTheDoubleOne) {
    // Float by float across -0.001: the four-lane test compares with the float constant.
    float x = -0.0010005f;
    int below = 0, above = 0;
    for (int n = 0; n < 20000; ++n, x = std::nextafterf(x, 0.0f)) {
        ASSERT_EQ(x < -0.001, x < RAYTR::kAboveMinusThousandth) << x;
        (x < -0.001 ? below : above)++;
    }
    EXPECT_GT(below, 100);
    EXPECT_GT(above, 100);
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
            RAYTR::gridBuildFactor = c.factor;
            TIRN_ERROR::BoxRecorder recorder;
            Grid grid;
            grid.SetAlgorithm(algorithm);
            grid.Build(c.mesh->triangles.data(), c.mesh->Count(), c.mesh->box);  // no std::bad_alloc
            // The warning still tells what the configuration asked for.
            ASSERT_EQ(recorder.Boxes().size(), 1u);
            EXPECT_EQ(recorder.Boxes()[0].first, "ALERT!");
            const double budget = RAYTR::CellBudget(c.mesh->Count());
            EXPECT_LE(grid.Cells().Count(), budget);
            EXPECT_GT(grid.Cells().Count(), budget / 8) << "coarser, not collapsed";
            for (int axis = 0; axis < 3; ++axis)
                EXPECT_LE(grid.Resolution()[axis], RAYTR::kAxisCellsPerCubeRoot * std::cbrt(budget));
            // The coarser grid still answers like brute force, on rays around the sphere.
            Tally tally;
            Check(*c.mesh, grid, 2000, 11, tally, &sphere);
            ASSERT_GT(tally.hits, 300);
            EXPECT_LE(tally.closestWrong * 1000, tally.rays);
            EXPECT_LE(tally.shadowWrong * 1000, tally.rays);
        }
    }
}

TEST_F(GridIntersectTest, EightLaneTestsGiveTheFourLaneAnswers) {
    if (!RAYTR::CpuHasWideTest()) GTEST_SKIP() << "no AVX2 on this processor";
    // Coarse cells (factor 0.25) over a sphere and a knot, so that many cells hold three or more
    // blocks and go eight lanes wide; every answer must equal the four-lane one bit for bit.
    std::vector<TestMesh> meshes(2);
    grid_test::MakeSphere(meshes[0], 2.0f, 40, 64);
    grid_test::FromWriterMesh(LOAD_3DS::MakeTorusKnot(60, 8), meshes[1]);
    long wideCells = 0, hits = 0, blocked = 0, mismatches = 0;
    for (TestMesh& mesh : meshes)
        for (float factor : {0.25f, 1.0f}) {
            RAYTR::gridBuildFactor = factor;
            Grid grid;
            grid.SetAlgorithm(RAYTR::kAccuracyAlgorithm);
            grid.Build(mesh.triangles.data(), mesh.Count(), mesh.box);
            for (unsigned c = 0; c < grid.Cells().Count(); ++c) wideCells += grid.Cells()[c].size > 8;
            std::vector<Ray> rays;
            std::vector<const Triangle*> skips;
            MakeRays(mesh, grid, 6000, 11, rays, skips);
            for (size_t i = 0; i < rays.size(); ++i) {
                RayHit narrow, wide;
                narrow.triangle = wide.triangle = skips[i];
                const bool a = grid.IntersectWidth(rays[i], narrow, 1e38f, false);
                const bool b = grid.IntersectWidth(rays[i], wide, 1e38f, true);
                const bool sa = grid.OccludedWidth(rays[i], 1.0f, skips[i], false);
                const bool sb = grid.OccludedWidth(rays[i], 1.0f, skips[i], true);
                hits += a, blocked += sa;
                if (a != b || sa != sb || narrow.triangle != wide.triangle ||
                    std::memcmp(&narrow.b0, &wide.b0, 4 * sizeof(float)) != 0)
                    ++mismatches;
            }
        }
    EXPECT_GT(wideCells, 100);
    EXPECT_GT(hits, 2000);
    EXPECT_GT(blocked, 1000);
    EXPECT_EQ(mismatches, 0);
}
