// The packet queries give every ray exactly its one-ray answer.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "grid/regular_grid.h"
#include "grid_test_mesh.h"
#include "loaders/demo_scene.h"

namespace {

using grid_test::TestMesh;
using ORVA_GRAPHICS::Triangle;
using ORVA_MATH::VECTOR;
using RAYTR::Grid;
using RAYTR::Ray;
using RAYTR::RayHit;

constexpr int kP = Grid::kPacketSize;

// A point on a random triangle of the mesh (weights inside, and a little outside, the triangle).
VECTOR SurfacePoint(const TestMesh& mesh, std::mt19937& random, const Triangle** on) {
    const Triangle& t = mesh.triangles[random() % mesh.triangles.size()];
    std::uniform_real_distribution<float> w(-0.01f, 1.0f);
    float b1 = w(random), b2 = w(random);
    if (b1 + b2 > 1.0f) b1 = 1.0f - b1, b2 = 1.0f - b2;
    *on = &t;
    VECTOR p = t.A->position + (t.B->position - t.A->position) * b1 + (t.C->position - t.A->position) * b2;
    p.w = 1.0f;
    return p;
}

// Seeded packets of three kinds against the one-ray queries, over four meshes, both build
// algorithms and three cell sizes: camera packets (one eye, directions through a patch of a
// window of random size, from a few pixels to the whole box), shadow packets (surface points,
// each skipping its own triangle, toward one light, ending at it) and random rays (any origin
// and direction, so some rays go against the packet's main direction). Random masks of active
// rays and random limits.
TEST(GridPacketTest, EveryRayGetsItsOneRayAnswerBitForBit) {
    std::vector<TestMesh> meshes(4);
    grid_test::FromWriterMesh(LOAD_3DS::MakeTorusKnot(60, 8), meshes[0]);
    grid_test::MakeSphere(meshes[1], 1.5f, 20, 28);
    grid_test::FromWriterMesh(LOAD_3DS::MakeFloor(), meshes[2]);
    grid_test::FromWriterMesh(LOAD_3DS::MakeTorusKnot(), meshes[3]);
    long rays = 0, hits = 0, blocked = 0, wrong = 0;
    std::mt19937 random(41);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f), spread(0.0f, 1.0f);
    for (std::size_t m = 0; m < meshes.size(); ++m)
        for (int algorithm : {RAYTR::kFastAlgorithm, RAYTR::kAccuracyAlgorithm})
            for (float factor : {0.5f, 1.0f, 3.0f}) {
                const TestMesh& mesh = meshes[m];
                RAYTR::gridBuildFactor = factor;
                Grid grid;
                grid.SetAlgorithm(algorithm);
                grid.Build(const_cast<Triangle*>(mesh.triangles.data()), mesh.Count(), mesh.box);
                const VECTOR centre = (mesh.box.minimum + mesh.box.maximum) * 0.5f;
                const float size = ORVA_MATH::Length(mesh.box.maximum - mesh.box.minimum) + 1.0f;
                for (int n = 0; n < 600; ++n) {
                    Ray packet[kP];
                    RayHit one[kP], many[kP];
                    float limit[kP];
                    const Triangle* skip[kP] = {};
                    const int kind = n % 3;
                    const VECTOR eye = centre + VECTOR(unit(random), unit(random), unit(random), 0.0f) * (2.0f * size);
                    const float patch = size * std::pow(spread(random), 3.0f) * 0.5f;
                    const VECTOR aim = centre + VECTOR(unit(random), unit(random), unit(random), 0.0f) * (0.15f * size);
                    for (int i = 0; i < kP; ++i) {
                        limit[i] = spread(random) < 0.2f ? spread(random) * 2.0f : 1e38f;
                        if (kind == 0) {
                            const VECTOR to = aim + VECTOR((i % 4) * patch, (i / 4) * patch, 0.0f, 0.0f) * 0.25f;
                            packet[i] = Ray(eye, to - eye);
                        } else if (kind == 1) {
                            const VECTOR from = SurfacePoint(mesh, random, &skip[i]);
                            packet[i] = Ray(from, eye - from);
                            limit[i] = 1.0f;  // the light is origin + 1 * direction
                        } else {
                            packet[i] = Ray(centre + VECTOR(unit(random), unit(random), unit(random), 0.0f) * size,
                                            VECTOR(unit(random), unit(random), unit(random), 0.0f));
                        }
                        packet[i].origin.w = 1.0f;
                        packet[i].direction.w = 0.0f;
                        one[i].triangle = many[i].triangle = skip[i];
                    }
                    const int active = static_cast<int>(random() % 8 == 0 ? random() & 0xFF : 0xFF);
                    const int found = grid.IntersectPacket(packet, active, many, limit);
                    const int shadowed = grid.OccludedPacket(packet, active, limit, skip);
                    for (int i = 0; i < kP; ++i) {
                        if (!(active >> i & 1)) {
                            wrong += (found >> i & 1) + (shadowed >> i & 1);
                            continue;
                        }
                        ++rays;
                        const bool f = grid.Intersect(packet[i], one[i], limit[i]);
                        const bool b = grid.Occluded(packet[i], limit[i], skip[i]);
                        hits += f;
                        blocked += b;
                        const bool same = f == static_cast<bool>(found >> i & 1) &&
                                          b == static_cast<bool>(shadowed >> i & 1) &&
                                          (!f || (one[i].triangle == many[i].triangle && one[i].t == many[i].t &&
                                                  one[i].b0 == many[i].b0 && one[i].b1 == many[i].b1 &&
                                                  one[i].b2 == many[i].b2));
                        wrong += !same;
                    }
                }
            }
    std::printf("%ld rays, %ld hits, %ld blocked, %ld differ\n", rays, hits, blocked, wrong);
    EXPECT_GT(hits, rays / 5);
    EXPECT_EQ(blocked, hits);  // with one limit, blocked exactly when a hit comes before it
    EXPECT_EQ(wrong, 0);
}

}  // namespace
