// Loading models with the per-model options: smoothing groups against a pairwise reference,
// merging all meshes, placement, the unchanged default, and the reader's smoothing chunk.
#include "mesh/model_load.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "errors/errors.h"
#include "loaders/l3ds_writer.h"
#include "loaders/normals.h"
#include "tests/loaders/model_files.h"

using namespace ORVA_GRAPHICS;
using LOAD_3DS::LFace;
using LOAD_3DS::LPoint3;
using redowl_test::TempDir;

namespace {

bool Same(const LPoint3& a, const LPoint3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// The definition, pairwise: corner k of face f sums f and every other face with a corner at the
// same position whose groups intersect f's; group 0 stays flat.
std::vector<LPoint3> PairwiseGroupNormals(const std::vector<LPoint3>& p, const std::vector<LFace>& faces,
                                          const std::vector<std::uint32_t>& groups) {
    std::vector<LPoint3> out;
    for (std::size_t f = 0; f < faces.size(); ++f)
        for (int v : {faces[f].a, faces[f].b, faces[f].c}) {
            if (groups[f] == 0) {
                out.push_back(LOAD_3DS::FaceNormal(p, faces[f]));
                continue;
            }
            LPoint3 sum{0, 0, 0};
            for (std::size_t g = 0; g < faces.size(); ++g) {
                const bool touches = Same(p[faces[g].a], p[v]) || Same(p[faces[g].b], p[v]) || Same(p[faces[g].c], p[v]);
                if (touches && (groups[f] & groups[g])) sum = LOAD_3DS::Add(sum, LOAD_3DS::FaceNormal(p, faces[g]));
            }
            out.push_back(LOAD_3DS::Normalise(sum));
        }
    return out;
}

void ExpectNear(const LPoint3& a, const LPoint3& b, float tol) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

LPoint3 Normal(const VERTEX& v) { return {v.normal.x, v.normal.y, v.normal.z}; }
LPoint3 Position(const VERTEX& v) { return {v.position.x, v.position.y, v.position.z}; }

}  // namespace

TEST(ModelLoad, GroupNormalsMatchThePairwiseDefinitionOnRandomMeshes) {
    std::mt19937 rng(12);
    for (int round = 0; round < 200; ++round) {
        // Few lattice positions, many repeated, so that faces meet in many ways.
        std::vector<LPoint3> p;
        const int n = 3 + int(rng() % 12);
        for (int i = 0; i < n; ++i) p.push_back({float(rng() % 3), float(rng() % 3), float(rng() % 2)});
        std::vector<LFace> faces;
        std::vector<std::uint32_t> groups;
        for (int f = 0; f < 1 + int(rng() % 10); ++f) {
            faces.push_back({int(rng() % n), int(rng() % n), int(rng() % n)});
            groups.push_back(rng() % 4 == 0 ? 0u : (1u << (rng() % 3)) | (rng() % 2 ? 1u << (rng() % 32) : 0u));
        }
        const std::vector<LPoint3> got = GroupCornerNormals(p, faces, groups);
        const std::vector<LPoint3> want = PairwiseGroupNormals(p, faces, groups);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t c = 0; c < got.size(); ++c) {
            SCOPED_TRACE(testing::Message() << "round " << round << " corner " << c);
            ExpectNear(got[c], want[c], 1e-5f);
        }
    }
}

TEST(ModelLoad, CubeSidesInSixGroupsAreFlatInOneGroupRoundAndDefaultIsUnchanged) {
    TempDir dir;
    LOAD_3DS::WriterMesh six = redowl_test::Cube24();
    for (int f = 0; f < 12; ++f) six.smoothing.push_back(1u << (f / 2));
    LOAD_3DS::WriterMesh one = redowl_test::Cube24();
    one.smoothing.assign(12, 1u);
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("six.3ds"), {six}));
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("one.3ds"), {one}));

    ModelOptions groups;
    groups.smoothing = Smoothing::Groups;
    Mesh flat;
    LoadModel(flat, dir.File("six.3ds"), groups);
    ASSERT_EQ(flat.triangleCount, 12u);
    for (unsigned t = 0; t < flat.triangleCount; ++t) {
        const Triangle& tri = flat.triangles[t];
        const LPoint3 face = LOAD_3DS::Normalise(LOAD_3DS::Cross(LOAD_3DS::Subtract(Position(*tri.B), Position(*tri.A)),
                                                                 LOAD_3DS::Subtract(Position(*tri.C), Position(*tri.A))));
        for (const VERTEX* v : {tri.A, tri.B, tri.C}) ExpectNear(Normal(*v), face, 1e-6f);
    }

    // One group: the same normals as smoothing by position (the reader's), and no vertex split.
    Mesh round, byPosition;
    LoadModel(round, dir.File("one.3ds"), groups);
    byPosition.LoadFrom3DS(dir.File("one.3ds"));
    ASSERT_EQ(round.vertexCount, 24u);
    for (unsigned i = 0; i < 24; ++i) {
        ExpectNear(Position(round.vertices[i]), Position(byPosition.vertices[i]), 0.0f);
        ExpectNear(Normal(round.vertices[i]), Normal(byPosition.vertices[i]), 1e-6f);
    }

    // Without options the file loads exactly as LoadFrom3DS loads it, groups or not.
    Mesh viaOptions, plain;
    const ModelLoadInfo info = LoadModel(viaOptions, dir.File("six.3ds"), ModelOptions{});
    plain.LoadFrom3DS(dir.File("six.3ds"));
    EXPECT_EQ(info.meshesInFile, 1);
    ASSERT_EQ(viaOptions.vertexCount, plain.vertexCount);
    ASSERT_EQ(viaOptions.indexCount, plain.indexCount);
    for (unsigned i = 0; i < plain.vertexCount; ++i)
        EXPECT_EQ(std::memcmp(&viaOptions.vertices[i], &plain.vertices[i], 40), 0) << "vertex " << i;
    for (unsigned i = 0; i < plain.indexCount; ++i) EXPECT_EQ(viaOptions.indices[i], plain.indices[i]);
}

TEST(ModelLoad, AllMeshesMergeInFileCoordinatesAndPlacementFitsTurnsAndOffsets) {
    TempDir dir;
    LOAD_3DS::WriterMesh cube = redowl_test::Cube24();  // -1..1 on each axis
    LOAD_3DS::WriterMesh tri = redowl_test::TriangleMesh("T", 10.0f);  // (10,0,0) (11,0,0) (10,1,0)
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("two.3ds"), {cube, tri}));

    ModelOptions all;
    all.allMeshes = true;
    Mesh m;
    const ModelLoadInfo info = LoadModel(m, dir.File("two.3ds"), all);
    EXPECT_EQ(info.meshesInFile, 2);
    EXPECT_EQ(info.meshesUsed, 2);
    ASSERT_EQ(m.vertexCount, 27u);
    ASSERT_EQ(m.triangleCount, 13u);
    // The triangle keeps its own coordinates and points at its own vertices.
    EXPECT_EQ(Position(*m.triangles[12].A).x, 10.0f);
    EXPECT_EQ(Position(*m.triangles[12].C).y, 1.0f);
    EXPECT_EQ(m.indices[36], 24u);

    // z up: the triangle's +y side turns to -z; fit 5.5 over the merged box (x: -1..11, 12
    // units) and an offset.
    ModelOptions placed = all;
    placed.up = UpAxis::Z;
    placed.fit = 6.0f;
    placed.offset[1] = -2.0f;
    Mesh p;
    LoadModel(p, dir.File("two.3ds"), placed);
    float lo[3] = {1e9f, 1e9f, 1e9f}, hi[3] = {-1e9f, -1e9f, -1e9f};
    for (unsigned i = 0; i < p.vertexCount; ++i)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], p.vertices[i].position[k]);
            hi[k] = std::max(hi[k], p.vertices[i].position[k]);
        }
    EXPECT_NEAR(hi[0] - lo[0], 6.0f, 1e-5f);
    EXPECT_NEAR(lo[0] + hi[0], 0.0f, 1e-5f);
    EXPECT_NEAR(lo[1] + hi[1], -4.0f, 1e-5f);  // centred, then moved down by 2
    EXPECT_NEAR(hi[1] - lo[1], 1.0f, 1e-5f);    // the cube's 2 units of z, scaled by 0.5
    const VECTOR c = p.triangles[12].C->position;  // was (10, 1, 0): y turned to -z
    const VECTOR a = p.triangles[12].A->position;
    EXPECT_NEAR(c.z - a.z, -0.5f, 1e-5f);
    EXPECT_NEAR(c.y - a.y, 0.0f, 1e-5f);
    // Normals turn with the positions: the cube's +z side now faces +y.
    int top = 0;
    for (unsigned t = 0; t < 12; ++t) {
        const Triangle& tri = p.triangles[t];
        if (tri.A->position.y == hi[1] && tri.B->position.y == hi[1] && tri.C->position.y == hi[1]) {
            ++top;
            EXPECT_GT(tri.A->normal.y, 0.5f);
        }
    }
    EXPECT_EQ(top, 2);
}

TEST(ModelLoad, RefusalsKeepTheMeshAndBrokenSmoothingChunksCostOnlyTheGroups) {
    TempDir dir;
    TIRN_ERROR::BoxRecorder recorder;
    Mesh m;
    ModelOptions all;
    all.allMeshes = true;
    EXPECT_THROW(LoadModel(m, dir.File("missing.3ds"), all), TIRN_ERROR::L3DS_Error);
    EXPECT_EQ(redowl_test::LastBox(recorder).second, "Can not load " + dir.File("missing.3ds"));
    LOAD_3DS::WriterMesh bad = redowl_test::TriangleMesh("B", 0.0f);
    bad.faces = {{0, 1, 3}};
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("bad.3ds"), {redowl_test::Cube24(), bad}));
    EXPECT_THROW(LoadModel(m, dir.File("bad.3ds"), all), TIRN_ERROR::L3DS_Error);
    EXPECT_EQ(redowl_test::LastBox(recorder).second, "Face index out of range in " + dir.File("bad.3ds"));
    EXPECT_EQ(m.vertices, nullptr);
    // A 3DS file is known by its first chunk under any name: the same refusal as a .3ds file's.
    std::filesystem::copy_file(dir.File("bad.3ds"), dir.File("bad.model"));
    EXPECT_TRUE(Is3DSFile(dir.File("bad.model")));
    EXPECT_THROW(LoadModel(m, dir.File("bad.model"), all), TIRN_ERROR::L3DS_Error);
    EXPECT_EQ(redowl_test::LastBox(recorder).second, "Face index out of range in " + dir.File("bad.model"));
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("cube.bin"), {redowl_test::Cube24()}));
    EXPECT_NO_THROW(LoadModel(m, dir.File("cube.bin"), all));
    EXPECT_EQ(m.triangleCount, 12u);
    std::ofstream(dir.File("cube.obj")) << "v 0 0 0\n";
    EXPECT_FALSE(Is3DSFile(dir.File("cube.obj")));
    EXPECT_FALSE(Is3DSFile(dir.File("missing.obj")));

    // A smoothing chunk shorter than its faces: the masks it holds are read, the rest are 0.
    LOAD_3DS::WriterMesh cube = redowl_test::Cube24();
    cube.smoothing.assign(12, 5u);
    std::vector<unsigned char> bytes = LOAD_3DS::Encode3DS({cube});
    // The 0x4150 chunk is the last child of the face chunk: cut its length by two masks.
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        if (bytes[i] == 0x50 && bytes[i + 1] == 0x41) at = i;
    ASSERT_NE(at, 0u);
    bytes[at + 2] -= 8;
    LOAD_3DS::L3DS reader;
    ASSERT_TRUE(reader.LoadFromMemory(bytes.data(), bytes.size()));
    const LOAD_3DS::LMesh& read = *reader.GetMesh(0);
    EXPECT_EQ(read.GetFaceCount(), 12);
    EXPECT_TRUE(read.HasSmoothingGroups());
    EXPECT_EQ(read.GetSmoothingGroup(9), 5u);
    EXPECT_EQ(read.GetSmoothingGroup(10), 0u);
    EXPECT_EQ(read.GetVertexCount(), 24);
}

// A cube with a flag beyond one face, stored with that face towards each of the six axes: loaded
// with that axis up it stands the same way (the flag on top, over the cube's middle), its faces
// still wound outward, and its lowest point on the floor given.
TEST(ModelLoad, EachUpAxisStandsTheMarkedFaceOnTopAndTheModelOnTheFloor) {
    TempDir dir;
    const float axes[6][3] = {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}, {0, -1, 0}, {0, 0, -1}, {-1, 0, 0}};
    for (int k = 0; k < LOAD_3DS::kUpAxisCount; ++k) {
        const UpAxis axis = UpAxis(k);
        SCOPED_TRACE(LOAD_3DS::UpAxisName(axis));
        const float* a = axes[k];
        // Two directions across the axis for the flag's other corners.
        const float u[3] = {a[1] != 0 ? 1.0f : 0.0f, a[1] == 0 ? 1.0f : 0.0f, 0.0f};
        LOAD_3DS::WriterMesh flag;
        flag.name = "Flag";
        flag.vertices = {{2.0f * a[0], 2.0f * a[1], 2.0f * a[2]},
                         {1.5f * a[0] + 0.2f * u[0], 1.5f * a[1] + 0.2f * u[1], 1.5f * a[2] + 0.2f * u[2]},
                         {1.5f * a[0] - 0.2f * u[0], 1.5f * a[1] - 0.2f * u[1], 1.5f * a[2] - 0.2f * u[2]}};
        flag.faces = {{0, 1, 2}};
        const std::string file = dir.File("flag" + std::to_string(k) + ".3ds");
        ASSERT_TRUE(LOAD_3DS::Write3DS(file, {redowl_test::Cube24(), flag}));
        ModelOptions o;
        o.allMeshes = true;
        o.up = axis;
        o.onFloor = true;
        o.floorY = -3.0f;
        Mesh m;
        LoadModel(m, file, o);
        ASSERT_EQ(m.triangleCount, 13u);
        float lowest = 1e9f, highest = -1e9f;
        for (unsigned i = 0; i < m.vertexCount; ++i) {
            lowest = std::min(lowest, m.vertices[i].position.y);
            highest = std::max(highest, m.vertices[i].position.y);
        }
        EXPECT_EQ(lowest, -3.0f);
        EXPECT_EQ(highest, 0.0f);  // the flag's tip, 2 above the cube's centre at -2
        const VECTOR tip = m.triangles[12].A->position;
        EXPECT_EQ(tip.y, highest);
        EXPECT_EQ(tip.x, 0.0f);
        EXPECT_EQ(tip.z, 0.0f);
        for (unsigned t = 0; t < 12; ++t) {  // outward from the cube's centre (0, -2, 0)
            const Triangle& tri = m.triangles[t];
            const LPoint3 n = LOAD_3DS::FaceNormal({Position(*tri.A), Position(*tri.B), Position(*tri.C)}, {0, 1, 2});
            const LPoint3 c{(tri.A->position.x + tri.B->position.x + tri.C->position.x) / 3.0f,
                            (tri.A->position.y + tri.B->position.y + tri.C->position.y) / 3.0f + 2.0f,
                            (tri.A->position.z + tri.B->position.z + tri.C->position.z) / 3.0f};
            EXPECT_GT(n.x * c.x + n.y * c.y + n.z * c.z, 0.0f) << "face " << t;
        }
    }
}

// Faces that use under a tenth of the vertices (a reader that lost a face element) are a line of
// the load report.
TEST(ModelLoad, FacesThatUseFewOfTheVerticesAreReported) {
    TempDir dir;
    LOAD_3DS::WriterMesh sparse = redowl_test::TriangleMesh("S");
    for (int k = 0; k < 40; ++k) sparse.vertices.push_back({float(k), 2.0f, 0.0f});
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("sparse.3ds"), {sparse}));
    Mesh m;
    const ModelLoadInfo info = LoadModel(m, dir.File("sparse.3ds"), ModelOptions{});
    ASSERT_EQ(info.notes.size(), 1u);
    EXPECT_EQ(info.notes[0], "its faces use 3 of its 43 vertices (under 10%): faces of the file may not have been read");
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("cube.3ds"), {redowl_test::Cube24()}));
    EXPECT_TRUE(LoadModel(m, dir.File("cube.3ds"), ModelOptions{}).notes.empty());
}
