// The bucketed smooth normals against a plain transcription of their definition, bit for bit.
#include "loaders/normals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using namespace LOAD_3DS;

namespace {

// The definition, quadratic as written: for every vertex i, every vertex j within 0.0001 of it
// on each axis, and every face having j as a corner, add that face's normal.
std::vector<LPoint3> Reference(const std::vector<LPoint3>& v, const std::vector<LFace>& faces) {
    const int V = int(v.size());
    auto at = [&](int i) -> LPoint3 {
        if (i >= V) return {0, 0, 0};
        return v[std::size_t(i < 0 ? 0 : i)];
    };
    std::vector<LPoint3> out;
    for (int i = 0; i < V; ++i) {
        const LPoint3 P = v[std::size_t(i)];
        LPoint3 sum{0, 0, 0};
        for (int j = 0; j < V; ++j) {
            const LPoint3 Q = v[std::size_t(j)];
            if (!(std::fabs(Q.x - P.x) < 0.0001 && std::fabs(Q.y - P.y) < 0.0001 && std::fabs(Q.z - P.z) < 0.0001))
                continue;
            for (const LFace& f : faces)
                if (f.a == j || f.b == j || f.c == j) {
                    const LPoint3 A = at(f.a), B = at(f.b), C = at(f.c);
                    sum = Add(sum, Normalise(Cross(Subtract(B, C), Subtract(B, A))));
                }
        }
        out.push_back(Normalise(sum));
    }
    return out;
}

bool SameBits(const LPoint3& a, const LPoint3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(SmoothNormals, BitForBitEqualToTheDefinitionOnRandomMeshes) {
    std::mt19937 rng(20261207);
    for (int trial = 0; trial < 60; ++trial) {
        const int V = 20 + int(rng() % 300);
        const int F = 10 + int(rng() % 400);
        // A few base positions, each copied many times: exactly, or moved by multiples of a
        // step near the tolerance so that matches straddle the 0.0001 limit and the lattice.
        std::vector<LPoint3> bases;
        const int nb = 1 + int(rng() % 12);
        std::uniform_real_distribution<float> coord(-2.0f, 2.0f);
        for (int b = 0; b < nb; ++b) bases.push_back({coord(rng), coord(rng), coord(rng)});
        const float steps[] = {0.0f, 0.00003f, 0.00005f, 0.0000999f, 0.0001f, 0.00011f, 0.0002f};
        std::vector<LPoint3> v;
        for (int i = 0; i < V; ++i) {
            LPoint3 p = bases[rng() % bases.size()];
            if (rng() % 2) {
                p.x += steps[rng() % 7] * float(int(rng() % 5) - 2);
                p.y += steps[rng() % 7] * float(int(rng() % 3) - 1);
                p.z -= steps[rng() % 7];
            }
            v.push_back(p);
        }
        if (trial % 5 == 0) v[rng() % v.size()].x = std::numeric_limits<float>::quiet_NaN();
        if (trial % 7 == 0) v[rng() % v.size()].y = std::numeric_limits<float>::infinity();
        std::vector<LFace> faces;
        for (int f = 0; f < F; ++f) {
            LFace face{int(rng() % V), int(rng() % V), int(rng() % V)};
            if (f % 13 == 0) face.b = face.a;     // a corner twice (a face without area)
            if (f % 29 == 0) face.c = V + 3;      // a corner outside the vertex list
            faces.push_back(face);
        }
        const auto fast = SmoothNormals(v, faces);
        const auto slow = Reference(v, faces);
        ASSERT_EQ(fast.size(), slow.size());
        for (std::size_t i = 0; i < fast.size(); ++i)
            ASSERT_TRUE(SameBits(fast[i], slow[i]))
                << "trial " << trial << " vertex " << i << ": " << fast[i].x << " " << fast[i].y << " " << fast[i].z
                << " vs " << slow[i].x << " " << slow[i].y << " " << slow[i].z;
    }
}

TEST(SmoothNormals, ManyCopiesOfOnePositionShareOneSum) {
    // 5000 vertices at one point, each in its own face: every normal is the normalised sum of
    // all face normals, in face order.
    std::vector<LPoint3> v(5000, LPoint3{0.5f, 0.5f, 0.5f});
    std::vector<LFace> faces;
    for (int i = 0; i < 5000; ++i) {
        v.push_back({float(i % 7), 1.0f, 0.0f});
        v.push_back({0.0f, float(i % 3) + 2.0f, 1.0f});
        faces.push_back({i, 5000 + 2 * i, 5001 + 2 * i});
    }
    const auto fast = SmoothNormals(v, faces);
    LPoint3 sum{0, 0, 0};
    for (const LFace& f : faces) sum = Add(sum, FaceNormal(v, f));
    const LPoint3 expected = Normalise(sum);
    for (int i = 0; i < 5000; ++i) ASSERT_TRUE(SameBits(fast[std::size_t(i)], expected)) << i;
}

TEST(SmoothNormals, CrowdedPositionsSumTheSameFacesOnTheBoundedPath) {
    // 600 distinct positions within 0.00006 of each other: every pair matches.
    std::vector<LPoint3> v;
    std::vector<LFace> faces;
    for (int i = 0; i < 600; ++i) {
        v.push_back({1.0f + 1e-7f * float(i), 1.0f, 1.0f});
        v.push_back({2.0f, float(i % 5), 0.0f});
        v.push_back({0.0f, 2.0f, float(i % 3)});
        faces.push_back({3 * i, 3 * i + 1, 3 * i + 2});
    }
    const auto slow = Reference(v, faces);
    // Within the default allowance: the definition's order, bit for bit.
    const auto exact = SmoothNormals(v, faces);
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_TRUE(SameBits(exact[i], slow[i])) << i;
    // Each position's work (600 comparisons, 600 faces) beyond its own allowance of 4, but the
    // 600 positions share their matches and their allowance: one sum, still bit for bit.
    const auto shared = SmoothNormals(v, faces, 4);
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_TRUE(SameBits(shared[i], slow[i])) << i;
    // With less than the cluster's work the cluster goes through the tree: the same faces,
    // other rounding.
    const auto bounded = SmoothNormals(v, faces, 1);
    int differing = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        EXPECT_NEAR(bounded[i].x, slow[i].x, 1e-5f) << i;
        EXPECT_NEAR(bounded[i].y, slow[i].y, 1e-5f) << i;
        EXPECT_NEAR(bounded[i].z, slow[i].z, 1e-5f) << i;
        differing += !SameBits(bounded[i], slow[i]);
    }
    RecordProperty("differing_in_bits", differing);
}
