// Hostile geometry: crowded positions take the bounded path of the smooth normals, which must
// sum exactly the faces the definition names (only the rounding may differ), and the 3DS files
// built to defeat the position matching load whole.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "errors/errors.h"
#include "errors/message_box.h"
#include "loaders/l3ds_writer.h"
#include "loaders/normals.h"
#include "mesh/mesh.h"

using namespace LOAD_3DS;

namespace {

// Face lists per vertex, as the definition walks them (a face once per vertex).
std::vector<std::vector<int>> FacesOf(int V, const std::vector<LFace>& faces) {
    std::vector<std::vector<int>> of{std::size_t(V)};
    for (int f = 0; f < int(faces.size()); ++f) {
        const LFace& face = faces[std::size_t(f)];
        for (int c : {face.a, face.b, face.c})
            if (c >= 0 && c < V && (of[std::size_t(c)].empty() || of[std::size_t(c)].back() != f))
                of[std::size_t(c)].push_back(f);
    }
    return of;
}

// The definition for one vertex: every vertex j within 0.0001 on each axis, ascending, adds the
// normals of its faces, ascending.
LPoint3 Definition(const std::vector<LPoint3>& v, const std::vector<LFace>& faces,
                   const std::vector<std::vector<int>>& facesOf, int i) {
    const LPoint3 P = v[std::size_t(i)];
    LPoint3 sum{0, 0, 0};
    for (int j = 0; j < int(v.size()); ++j) {
        const LPoint3 Q = v[std::size_t(j)];
        if (!(std::fabs(Q.x - P.x) < 0.0001 && std::fabs(Q.y - P.y) < 0.0001 && std::fabs(Q.z - P.z) < 0.0001))
            continue;
        for (int f : facesOf[std::size_t(j)]) sum = Add(sum, FaceNormal(v, faces[std::size_t(f)]));
    }
    return Normalise(sum);
}

// Within tolerance on each axis; not-a-number where the definition gives not-a-number.
void ExpectClose(const LPoint3& got, const LPoint3& want, float tolerance, const std::string& where) {
    const float g[3] = {got.x, got.y, got.z}, w[3] = {want.x, want.y, want.z};
    for (int a = 0; a < 3; ++a) {
        if (std::isnan(w[a]))
            EXPECT_TRUE(std::isnan(g[a])) << where << " axis " << a;
        else
            EXPECT_NEAR(g[a], w[a], tolerance) << where << " axis " << a;
    }
}

}  // namespace

TEST(HostileGeometry, CrowdedPathSumsExactlyTheDefinitionsFaces) {
    // Clusters of copies moved by steps around the tolerance, so that matches straddle the
    // 0.0001 limit; an allowance of 0 sends every position through the bounded path. A missed
    // or extra match moves a normal by far more than the tolerance below.
    std::mt19937 rng(8);
    const float steps[] = {0.0f, 0.00003f, 0.00005f, 0.0000999f, 0.0001f, 0.000101f, 0.00015f, 0.0002f};
    for (int trial = 0; trial < 40; ++trial) {
        const int V = 30 + int(rng() % 250);
        const int F = 10 + int(rng() % 300);
        std::uniform_real_distribution<float> coord(-3.0f, 3.0f);
        std::vector<LPoint3> bases;
        for (int b = 0, nb = 1 + int(rng() % 6); b < nb; ++b) bases.push_back({coord(rng), coord(rng), coord(rng)});
        std::vector<LPoint3> v;
        for (int i = 0; i < V; ++i) {
            LPoint3 p = bases[rng() % bases.size()];
            p.x += steps[rng() % 8] * (rng() % 2 ? 1.0f : -1.0f);
            p.y += steps[rng() % 8];
            p.z -= steps[rng() % 8];
            v.push_back(p);
        }
        v[std::size_t(rng() % V)] = {NAN, 0.0f, 0.0f};  // matches nothing, itself included
        v[std::size_t(rng() % V)] = {3e38f, -3e38f, 1.0f};  // its faces' normals overflow
        std::vector<LFace> faces;
        for (int f = 0; f < F; ++f) {
            // Mostly faces between clusters, some degenerate, a few corners out of range.
            const int a = int(rng() % V), b = int(rng() % V), c = rng() % 50 == 0 ? V + 3 : int(rng() % V);
            faces.push_back({a, b, c});
        }
        const auto bounded = SmoothNormals(v, faces, 0);
        const auto exact = SmoothNormals(v, faces);
        const auto facesOf = FacesOf(V, faces);
        ASSERT_EQ(bounded.size(), v.size());
        for (int i = 0; i < V; ++i) {
            const LPoint3 want = Definition(v, faces, facesOf, i);
            const std::string where = "trial " + std::to_string(trial) + " vertex " + std::to_string(i);
            ExpectClose(bounded[std::size_t(i)], want, 2e-5f, where);
            ExpectClose(exact[std::size_t(i)], want, 0.0f, where);
            if (want.x == 0.0f && want.y == 0.0f && want.z == 0.0f) {
                // No face at any matching position: exactly zero, not a rounding residue.
                EXPECT_EQ(bounded[std::size_t(i)].x, 0.0f) << where;
                EXPECT_EQ(bounded[std::size_t(i)].y, 0.0f) << where;
                EXPECT_EQ(bounded[std::size_t(i)].z, 0.0f) << where;
            }
        }
        if (HasFailure()) return;
    }
}

TEST(HostileGeometry, CrowdedSingleMatchKeepsTheDefinitionsSum) {
    // A fan: vertex 0 is a corner of every face, far more than the allowance, so its position
    // takes the bounded path; it matches only itself, whose faces are summed in order.
    std::vector<LPoint3> v{{0.0f, 0.0f, 0.0f}};
    std::vector<LFace> faces;
    for (int i = 1; i <= 5000; ++i) {
        const double t = 6.283185307179586 * i / 5000.0;
        v.push_back({float(std::cos(t)), float(std::sin(t)), float(0.1 * std::sin(7 * t))});
    }
    for (int i = 1; i < 5000; ++i) faces.push_back({0, i, i + 1});
    const auto n = SmoothNormals(v, faces, 64);
    LPoint3 sum{0, 0, 0};
    for (const LFace& f : faces) sum = Add(sum, FaceNormal(v, f));
    const LPoint3 want = Normalise(sum);
    ExpectClose(n[0], want, 1e-6f, "fan centre");
}

namespace {

constexpr int kVertices = 65535;

// Loads the mesh through the viewer's path; the file must not be refused.
void LoadWhole(const WriterMesh& m, Mesh& mesh) {
    const std::string path = ::testing::TempDir() + "redowl_hostile_" + m.name + ".3ds";
    ASSERT_TRUE(Write3DS(path, {m}));
    TIRN_ERROR::BoxRecorder recorder;
    EXPECT_NO_THROW(mesh.LoadFrom3DS(path));
    std::remove(path.c_str());
    EXPECT_TRUE(recorder.Boxes().empty());
    ASSERT_EQ(mesh.vertexCount, unsigned(m.vertices.size()));
}

}  // namespace

TEST(HostileGeometry, CoincidentPositionsAndSharedCornersLoad) {
    WriterMesh same;
    same.name = "Coincident";
    same.vertices.assign(kVertices, LPoint3{1.0f, 2.0f, 3.0f});
    for (int i = 0; i < kVertices; ++i) same.faces.push_back({i, (i + 1) % kVertices, (i + 2) % kVertices});
    Mesh a;
    LoadWhole(same, a);
    // Every face is degenerate: every normal is exactly zero.
    for (unsigned i = 0; i < a.vertexCount; ++i) {
        ASSERT_EQ(a.vertices[i].normal.x, 0.0f);
        ASSERT_EQ(a.vertices[i].normal.y, 0.0f);
        ASSERT_EQ(a.vertices[i].normal.z, 0.0f);
    }

    WriterMesh fan;
    fan.name = "Fan";
    fan.vertices.push_back({0.0f, 0.0f, 0.0f});
    for (int i = 1; i < kVertices; ++i) {
        const double t = 6.283185307179586 * i / kVertices;
        fan.vertices.push_back({float(10 * std::cos(t)), float(10 * std::sin(t)), 0.0f});
    }
    for (int i = 1; i + 1 < kVertices; ++i) fan.faces.push_back({0, i, i + 1});
    Mesh b;
    LoadWhole(fan, b);
    // A flat counter-clockwise fan: +z everywhere, the centre included.
    for (unsigned i = 0; i + 1 < b.vertexCount; ++i) ASSERT_NEAR(b.vertices[i].normal.z, 1.0f, 1e-6f) << i;
}

TEST(HostileGeometry, PositionsCrowdedInATinyCubeLoadWithTheDefinitionsFaces) {
    WriterMesh cube;
    cube.name = "Cube";
    std::mt19937 rng(65535);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < kVertices; ++i)
        cube.vertices.push_back({1.0f + 0.0002f * unit(rng), 1.0f + 0.0002f * unit(rng), 1.0f + 0.0002f * unit(rng)});
    // Faces between the cluster and three far corners, so that face normals vary.
    const LPoint3 far[3] = {{5, 0, 0}, {0, 5, 0}, {0, 0, 5}};
    for (const LPoint3& p : far) cube.vertices[std::size_t(rng() % kVertices)] = p;
    for (int i = 0; i + 2 < kVertices; i += 2) cube.faces.push_back({i, i + 1, int(rng() % kVertices)});
    Mesh mesh;
    LoadWhole(cube, mesh);
    // A sample of vertices against the definition.
    const auto facesOf = FacesOf(kVertices, cube.faces);
    for (int s = 0; s < 12; ++s) {
        const int i = int(rng() % kVertices);
        const LPoint3 want = Definition(cube.vertices, cube.faces, facesOf, i);
        const ORVA_MATH::VECTOR& got = mesh.vertices[i].normal;
        ExpectClose({got.x, got.y, got.z}, want, 1e-4f, "vertex " + std::to_string(i));
    }
}
