// Faces as the file means them: a closed mesh wound inside out is turned at load (and says so),
// and faces meant to be seen from both sides get turned copies.
#include "mesh/winding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "mesh/model_load.h"
#include "tests/loaders/model_files.h"

namespace {

using namespace ORVA_GRAPHICS;
using redowl_test::TempDir;

// A unit cube as OBJ triangles, outward, or each triangle's corners in the opposite order.
void WriteCube(const std::string& path, bool inward) {
    std::ofstream out(path);
    for (int i = 0; i < 8; ++i) out << "v " << (i & 1) << " " << ((i >> 1) & 1) << " " << ((i >> 2) & 1) << "\n";
    // Counter-clockwise seen from outside.
    const int quads[6][4] = {{1, 3, 4, 2}, {5, 6, 8, 7}, {1, 2, 6, 5}, {3, 7, 8, 4}, {1, 5, 7, 3}, {2, 4, 8, 6}};
    for (const auto& q : quads)
        for (const int t : {0, 1}) {
            const int a = q[0], b = q[t + 1], c = q[t + 2];
            out << "f " << a << " " << (inward ? c : b) << " " << (inward ? b : c) << "\n";
        }
}

struct Corner {
    float p[3], n[3];
    bool operator<(const Corner& o) const { return std::lexicographical_compare(p, p + 3, o.p, o.p + 3); }
};

// Each triangle as its corners from the lowest position on, in winding order: the same faces
// with the same winding give the same list, whatever vertex order the file has.
std::vector<std::vector<Corner>> Faces(const Mesh& mesh) {
    std::vector<std::vector<Corner>> faces;
    for (unsigned t = 0; t < mesh.triangleCount; ++t) {
        std::vector<Corner> f;
        for (const VERTEX* v : {mesh.triangles[t].A, mesh.triangles[t].B, mesh.triangles[t].C})
            f.push_back({{v->position.x, v->position.y, v->position.z}, {v->normal.x, v->normal.y, v->normal.z}});
        std::rotate(f.begin(), std::min_element(f.begin(), f.end()), f.end());
        faces.push_back(f);
    }
    std::sort(faces.begin(), faces.end(), [](const auto& a, const auto& b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
    });
    return faces;
}

TEST(WindingTest, ACubeWoundInwardsLoadsAsTheCubeWoundOutwardsWithTheReportLine) {
    TempDir dir;
    WriteCube(dir.File("out.obj"), false);
    WriteCube(dir.File("in.obj"), true);
    ModelOptions options;
    options.materials = Materials::File;
    Mesh outward, inward;
    const ModelLoadInfo outInfo = LoadModel(outward, dir.File("out.obj"), options);
    const ModelLoadInfo inInfo = LoadModel(inward, dir.File("in.obj"), options);
    EXPECT_TRUE(outInfo.notes.empty());
    ASSERT_EQ(inInfo.notes.size(), 1u);
    EXPECT_EQ(inInfo.notes[0], "faces wind inwards: turned");
    const auto a = Faces(outward), b = Faces(inward);
    ASSERT_EQ(a.size(), 12u);
    ASSERT_EQ(b.size(), a.size());
    for (std::size_t f = 0; f < a.size(); ++f)
        for (int k = 0; k < 3; ++k)
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(a[f][k].p[c], b[f][k].p[c]);
                EXPECT_NEAR(a[f][k].n[c], b[f][k].n[c], 1e-6f);
            }
    // Outward after the turn: what the preview culls by and rays hit by.
    std::vector<std::uint32_t> corners(inward.indices, inward.indices + inward.indexCount);
    EXPECT_EQ(SurfaceClosure(&inward.vertices[0].position.x, sizeof(VERTEX) / sizeof(float), inward.vertexCount,
                             corners.data(), inward.triangleCount),
              Closure::Outward);
    // The load keeps what it found for the preview: the faces' closure as they are left, also
    // in copies; nothing after arrays change, nor where the load did not look.
    const auto closureOf = [](const Mesh& mesh) {
        std::vector<std::uint32_t> c(mesh.indices, mesh.indices + mesh.indexCount);
        return SurfaceClosure(&mesh.vertices[0].position.x, sizeof(VERTEX) / sizeof(float), mesh.vertexCount, c.data(),
                              mesh.triangleCount);
    };
    for (const Mesh* m : {&outward, &inward}) {
        ASSERT_TRUE(m->closure.has_value());
        EXPECT_EQ(*m->closure, closureOf(*m));
        EXPECT_EQ(Mesh(*m).closure, m->closure);
    }
    Mesh changed(outward);
    changed.TransformVertices(ORVA_MATH::MATRIX::Identity());
    EXPECT_FALSE(changed.closure.has_value());
    // The scenes' own models keep their winding: a dome seen from inside stays as it is.
    Mesh fixed;
    EXPECT_TRUE(LoadModel(fixed, dir.File("in.obj"), ModelOptions{}).notes.empty());
    EXPECT_FALSE(fixed.closure.has_value());

    // Both sides: every face gets a turned copy over vertices whose normals are reversed.
    options.sides = Sides::Both;
    Mesh both;
    LoadModel(both, dir.File("out.obj"), options);
    ASSERT_EQ(both.triangleCount, 24u);
    EXPECT_FALSE(both.closure.has_value());
    for (unsigned t = 0; t < 12; ++t) {
        const Triangle& front = both.triangles[t];
        bool found = false;
        for (unsigned u = 12; u < 24 && !found; ++u) {
            const Triangle& back = both.triangles[u];
            found = back.A->position.x == front.A->position.x && back.A->position.y == front.A->position.y &&
                    back.A->position.z == front.A->position.z && back.B->position.x == front.C->position.x &&
                    back.B->position.y == front.C->position.y && back.B->position.z == front.C->position.z &&
                    back.A->normal.x == -front.A->normal.x && back.A->normal.y == -front.A->normal.y &&
                    back.A->normal.z == -front.A->normal.z;
        }
        EXPECT_TRUE(found) << "triangle " << t;
    }
}

}  // namespace
