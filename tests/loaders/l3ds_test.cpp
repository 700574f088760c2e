// The 3DS reader: chunk rules, the strict end-of-buffer rule, names, lights, smooth normals on a
// cube, and files whose chunk trees are broken.
#include "loaders/l3ds.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "loaders/bmp_writer.h"
#include "loaders/l3ds_writer.h"
#include "model_files.h"

using namespace LOAD_3DS;
using redowl_test::Cube24;
using redowl_test::TempDir;

namespace {

// Exposes the primitive reads on a buffer of our choosing.
class BufferReader : public L3DS {
public:
    explicit BufferReader(std::vector<unsigned char> bytes) {
        buffer = std::move(bytes);
        size = std::int32_t(buffer.size());
    }
    using L3DS::Position;
    using L3DS::ReadByte;
    using L3DS::ReadCString;
    using L3DS::ReadF32;
    using L3DS::ReadI32;
    using L3DS::ReadU16;
    using L3DS::SeekTo;
    bool EndOfData() const { return endOfData; }
};

bool Load(L3DS& r, const std::vector<unsigned char>& bytes) { return r.LoadFromMemory(bytes.data(), bytes.size()); }

// An object chunk whose first sub-chunk has the given id.
void OtherObject(ChunkWriter& w, const std::string& name, std::uint16_t id) {
    w.Begin(0x4000);
    w.CString(name);
    w.Begin(id);
    w.F32(1.0f);
    w.End();
    w.End();
}

// main { editor { body } } followed by a keyframer chunk.
template <class F>
std::vector<unsigned char> Scene(F body) {
    ChunkWriter w;
    w.Begin(0x4D4D);
    w.Begin(0x3D3D);
    body(w);
    w.End();
    w.Begin(0xB000);
    w.End();
    w.End();
    return w.bytes;
}

bool Same(const LPoint3& a, const LPoint3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

}  // namespace

TEST(L3dsPrimitives, ReadsUpToTheLastByteOfTheBuffer) {
    BufferReader r({1, 2, 3, 4});
    EXPECT_EQ(r.ReadU16(), 0x0201);
    EXPECT_EQ(r.ReadU16(), 0x0403);  // ends on the last byte
    EXPECT_FALSE(r.EndOfData());
    EXPECT_EQ(r.Position(), 4);
    EXPECT_EQ(r.ReadByte(), 0);  // nothing left
    EXPECT_TRUE(r.EndOfData());
    r.SeekTo(0, L3DS::SEEK_START);
    EXPECT_FALSE(r.EndOfData());
    EXPECT_EQ(r.ReadI32(), 0x04030201);
    EXPECT_EQ(r.ReadF32(), 0.0f);
    EXPECT_TRUE(r.EndOfData());
    r.SeekTo(2, L3DS::SEEK_START);
    EXPECT_EQ(r.ReadI32(), 0);  // needs two bytes more than there are
    r.SeekTo(100, L3DS::SEEK_START);
    EXPECT_EQ(r.Position(), 3);
    r.SeekTo(-100, L3DS::SEEK_CURSOR);
    EXPECT_EQ(r.Position(), 0);
}

TEST(L3dsPrimitives, CStringKeepsAtMostMaximumMinusOneCharacters) {
    std::vector<unsigned char> bytes;
    for (int i = 0; i < 5; ++i) bytes.push_back('a' + i);
    bytes.push_back(0);
    bytes.push_back('z');
    bytes.push_back(9);
    {
        BufferReader r(bytes);
        char out[10];
        int length = -1;
        r.ReadCString(out, length, 10);
        EXPECT_EQ(length, 5);
        EXPECT_STREQ(out, "abcde");
        EXPECT_EQ(r.Position(), 6);  // terminator consumed
    }
    {
        BufferReader r(bytes);
        char out[4];
        int length = -1;
        r.ReadCString(out, length, 4);
        EXPECT_STREQ(out, "abc");
        EXPECT_EQ(r.Position(), 4);  // 'd' read and lost, the rest unread
    }
    {
        BufferReader r(bytes);
        r.SeekTo(7, L3DS::SEEK_START);  // at the last byte: read, then the end of the data
        char out[4] = "xy";
        int length = -1;
        r.ReadCString(out, length, 4);
        EXPECT_EQ(length, 1);
        EXPECT_STREQ(out, "\t");
    }
}

TEST(L3dsScene, TwoMeshesInFileOrderWithTheirData) {
    WriterMesh a = redowl_test::TriangleMesh("First");
    WriterMesh b = Cube24();
    b.name = "Second";
    b.uvs.clear();
    L3DS r;
    ASSERT_TRUE(Load(r, Encode3DS({a, b})));
    ASSERT_EQ(r.GetMeshCount(), 2);
    EXPECT_EQ(r.GetLightCount(), 0);
    EXPECT_EQ(r.GetMesh(0)->Name(), "First");
    EXPECT_EQ(r.GetMesh(1)->Name(), "Second");
    const LMesh& m = *r.GetMesh(0);
    ASSERT_EQ(m.GetVertexCount(), 3);
    ASSERT_EQ(m.GetFaceCount(), 1);
    EXPECT_EQ(m.GetTriangleCount(), 1);
    EXPECT_EQ(m.GetUVCount(), 3);
    EXPECT_EQ(m.GetNormalCount(), 3);
    EXPECT_TRUE(Same(m.GetVertex(1), {1, 0, 0}));
    EXPECT_EQ(m.GetUV(2).v, 1.0f);
    EXPECT_EQ(m.GetFace(0).c, 2);
    EXPECT_TRUE(Same(m.GetNormal(0), {0, 0, 1}));
    // Out-of-range reads: negative reads element 0, past the end reads zeros.
    EXPECT_TRUE(Same(m.GetVertex(-1), m.GetVertex(0)));
    EXPECT_TRUE(Same(m.GetVertex(3), {0, 0, 0}));
    EXPECT_EQ(m.GetUV(3).u, 0.0f);
    EXPECT_EQ(r.GetMesh(2), nullptr);
    EXPECT_EQ(r.GetMesh(-1), nullptr);
    EXPECT_EQ(r.GetMesh(1)->GetUVCount(), 0);
    // On an empty list every index reads zeros (ASan catches a read of element 0).
    EXPECT_EQ(r.GetMesh(1)->GetUV(-1).u, 0.0f);
    EXPECT_EQ(r.GetMesh(1)->GetUV(0).v, 0.0f);
    const LTri t = m.GetFaceFull(0);
    EXPECT_TRUE(Same(t.normal, {0, 0, 1}));
    char name[4];
    EXPECT_EQ(m.GetName(name, 4), 4);
    EXPECT_EQ(std::string(name, 4), "Firs");
}

TEST(L3dsScene, WrapperAndObjectRules) {
    // No 0x4D4D wrapper.
    {
        ChunkWriter w;
        w.Begin(0x3D3D);
        WriteMeshObject(w, redowl_test::TriangleMesh("T"));
        w.End();
        w.U16(0);
        L3DS r;
        EXPECT_FALSE(Load(r, w.bytes));
        EXPECT_EQ(r.GetMeshCount(), 0);
    }
    // 0x4D4D without editor data.
    {
        ChunkWriter w;
        w.Begin(0x4D4D);
        w.Begin(0x0002);
        w.I32(3);
        w.End();
        w.End();
        w.U16(0);
        L3DS r;
        EXPECT_FALSE(Load(r, w.bytes));
    }
    // A scene without objects is valid and empty.
    {
        L3DS r;
        EXPECT_TRUE(Load(r, Scene([](ChunkWriter&) {})));
        EXPECT_EQ(r.GetMeshCount(), 0);
    }
    // A camera object creates nothing; the objects after it are still read.
    {
        L3DS r;
        ASSERT_TRUE(Load(r, Scene([](ChunkWriter& w) {
            OtherObject(w, "Camera", 0x4700);
            WriteMeshObject(w, redowl_test::TriangleMesh("After"));
        })));
        ASSERT_EQ(r.GetMeshCount(), 1);
        EXPECT_EQ(r.GetMesh(0)->Name(), "After");
    }
    // Empty file and missing file.
    {
        TempDir dir;
        ASSERT_TRUE(WriteBytes(dir.File("empty.3ds"), {}));
        L3DS r;
        EXPECT_FALSE(r.LoadFromFile(dir.File("empty.3ds")));
        EXPECT_FALSE(r.LoadFromFile(dir.File("missing.3ds")));
        ASSERT_TRUE(Write3DS(dir.File("t.3ds"), {redowl_test::TriangleMesh("T")}));
        EXPECT_TRUE(r.LoadFromFile(dir.File("t.3ds")));
        EXPECT_TRUE(r.LoadFromFile(dir.File("t.3ds")));  // a second load replaces the first
        EXPECT_EQ(r.GetMeshCount(), 1);
    }
}

TEST(L3dsScene, AFileEndingWithItsMappingCoordinatesKeepsTheLastV) {
    // No trailing chunk: the last vertex's v ends on the file's last byte.
    ChunkWriter w;
    w.Begin(0x4D4D);
    w.Begin(0x3D3D);
    WriterMesh m = redowl_test::TriangleMesh("T");
    m.vertices[2] = {5.0f, 6.0f, 7.0f};
    w.Begin(0x4000);
    w.CString("T");
    w.Begin(0x4100);
    w.Begin(0x4110);
    w.U16(3);
    for (const LPoint3& p : m.vertices) {
        w.F32(p.x);
        w.F32(p.y);
        w.F32(p.z);
    }
    w.End();
    w.Begin(0x4140);
    w.U16(3);
    for (int i = 0; i < 3; ++i) {
        w.F32(0.25f * static_cast<float>(i));
        w.F32(0.5f + 0.125f * static_cast<float>(i));
    }
    w.End();
    w.End();
    w.End();
    w.End();
    w.End();
    L3DS r;
    ASSERT_TRUE(Load(r, w.bytes));
    ASSERT_EQ(r.GetMeshCount(), 1);
    ASSERT_EQ(r.GetMesh(0)->GetVertexCount(), 3);
    EXPECT_EQ(r.GetMesh(0)->GetVertex(2).z, 7.0f);
    ASSERT_EQ(r.GetMesh(0)->GetUVCount(), 3);
    EXPECT_EQ(r.GetMesh(0)->GetUV(2).u, 0.5f);
    EXPECT_EQ(r.GetMesh(0)->GetUV(2).v, 0.75f);
}

TEST(L3dsScene, LongObjectNamesKeep98Characters) {
    const std::string name98(98, 'n');
    L3DS r;
    ASSERT_TRUE(Load(r, Scene([&](ChunkWriter& w) {
        WriteMeshObject(w, redowl_test::TriangleMesh(name98));
        WriteMeshObject(w, redowl_test::TriangleMesh(std::string(120, 'm')));
        WriteMeshObject(w, redowl_test::TriangleMesh("Last"));
    })));
    // The 120-character name stops at 98; its rest is read as a chunk, which is no mesh.
    ASSERT_GE(r.GetMeshCount(), 2);
    EXPECT_EQ(r.GetMesh(0)->Name(), name98);
    EXPECT_EQ(r.GetMesh(r.GetMeshCount() - 1)->Name(), "Last");
    for (int i = 0; i < r.GetMeshCount(); ++i) EXPECT_LE(r.GetMesh(i)->Name().size(), 98u);
}

TEST(L3dsScene, LightsReadPositionColourAndSpotlight) {
    WriterLight omni;
    omni.name = "Omni";
    omni.position = {1, 2, 3};
    omni.colour = {0.5f, 0.25f, 1.0f};
    WriterLight spot;
    spot.name = "Spot";
    spot.position = {4, 5, 6};
    spot.spotlight = true;
    spot.target = {7, 8, 9};
    spot.hotspot = 30.0f;
    spot.falloff = 45.0f;
    L3DS r;
    ASSERT_TRUE(Load(r, Encode3DS({redowl_test::TriangleMesh("T")}, {omni, spot})));
    ASSERT_EQ(r.GetLightCount(), 2);
    EXPECT_EQ(r.GetMeshCount(), 1);
    const LLight& a = *r.GetLight(0);
    EXPECT_EQ(a.Name(), "Omni");
    EXPECT_TRUE(Same(a.GetPosition(), {1, 2, 3}));
    EXPECT_TRUE(Same(a.GetColour(), {0.5f, 0.25f, 1.0f}));
    EXPECT_FALSE(a.IsSpotlight());
    const LLight& b = *r.GetLight(1);
    EXPECT_TRUE(b.IsSpotlight());
    EXPECT_TRUE(Same(b.GetTarget(), {7, 8, 9}));
    EXPECT_EQ(b.GetHotspot(), 30.0f);
    EXPECT_EQ(b.GetFalloff(), 45.0f);
    EXPECT_EQ(r.GetLight(2), nullptr);
}

TEST(L3dsNormals, CubeOf24VerticesGetsSmoothCornerNormals) {
    const WriterMesh cube = Cube24();
    L3DS r;
    ASSERT_TRUE(Load(r, Encode3DS({cube})));
    const LMesh& m = *r.GetMesh(0);
    ASSERT_EQ(m.GetNormalCount(), 24);
    // Per position: the sum of the axis normals of every face touching a vertex there.
    for (int i = 0; i < 24; ++i) {
        const LPoint3 p = m.GetVertex(i);
        float count[3] = {0, 0, 0};
        for (int j = 0; j < 24; ++j) {
            if (!Same(m.GetVertex(j), p)) continue;
            for (const LFace& f : cube.faces)
                if (f.a == j || f.b == j || f.c == j) {
                    const int side = j / 4;  // sides in the order +x -x +y -y +z -z
                    count[side / 2] += side % 2 == 0 ? 1.0f : -1.0f;
                }
        }
        const LPoint3 n = m.GetNormal(i);
        const float len = std::sqrt(count[0] * count[0] + count[1] * count[1] + count[2] * count[2]);
        EXPECT_NEAR(n.x, count[0] / len, 1e-6) << i;
        EXPECT_NEAR(n.y, count[1] / len, 1e-6) << i;
        EXPECT_NEAR(n.z, count[2] / len, 1e-6) << i;
        // Every corner normal points out of its octant.
        EXPECT_GT(n.x * p.x, 0.0f);
        EXPECT_GT(n.y * p.y, 0.0f);
        EXPECT_GT(n.z * p.z, 0.0f);
    }
}

TEST(L3dsNormals, ToleranceOf0_0001MergesNearCopiesOnly) {
    // Two triangles touching a shared corner: merged when the copies are 0.00005 apart, kept
    // apart at 0.0002.
    for (float gap : {0.00005f, 0.0002f}) {
        WriterMesh m;
        m.name = "T";
        m.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {gap, 0, 0}, {gap, 0, -1}, {gap, 1, 0}};
        m.faces = {{0, 1, 2}, {3, 4, 5}};
        L3DS r;
        ASSERT_TRUE(Load(r, Encode3DS({m})));
        const LPoint3 n = r.GetMesh(0)->GetNormal(0);
        if (gap < 0.0001f) {
            const float s = 1.0f / std::sqrt(2.0f);
            EXPECT_NEAR(n.x, s, 1e-6);  // (0,0,1) + (1,0,0)
            EXPECT_NEAR(n.z, s, 1e-6);
        } else {
            EXPECT_TRUE(Same(n, {0, 0, 1}));
        }
    }
}

TEST(L3dsMalformed, ChunkShorterThanItsHeaderFailsTheLoad) {
    for (std::int32_t badLength : {0, 5, -1, -100000}) {
        auto bytes = Encode3DS({redowl_test::TriangleMesh("T")});
        // The vertex chunk follows the 6-byte 0x4D4D, 0x0002 (10 bytes), 0x3D3D, 0x4000 "T\0"
        // and 0x4100 headers.
        const std::size_t at = 6 + 10 + 6 + 6 + 2 + 6;
        ASSERT_EQ(bytes[at], 0x10);
        ASSERT_EQ(bytes[at + 1], 0x41);
        for (int k = 0; k < 4; ++k) bytes[at + 2 + std::size_t(k)] = std::uint8_t(std::uint32_t(badLength) >> (8 * k));
        L3DS r;
        EXPECT_FALSE(Load(r, bytes)) << badLength;
    }
}

TEST(L3dsMalformed, CountsBeyondTheirChunkFailTheLoad) {
    for (std::uint16_t id : {0x4110, 0x4120, 0x4140}) {
        ChunkWriter w;
        w.Begin(0x4D4D);
        w.Begin(0x3D3D);
        w.Begin(0x4000);
        w.CString("T");
        w.Begin(0x4100);
        w.Begin(id);
        w.U16(0xFFFF);  // claims 65535 entries in a chunk of a few bytes
        w.F32(1.0f);
        w.End();
        w.End();
        w.End();
        w.End();
        w.Begin(0xB000);
        w.End();
        w.End();
        L3DS r;
        EXPECT_FALSE(Load(r, w.bytes)) << std::hex << id;
    }
}

TEST(L3dsMalformed, TruncatedFilesKeepWhatWasReadAndHugeLengthsStop) {
    const auto full = Encode3DS({Cube24(), redowl_test::TriangleMesh("T")});
    // Every prefix parses without reading outside the buffer (the sanitizer build checks that).
    for (std::size_t n = 1; n <= full.size(); ++n) {
        L3DS r;
        Load(r, std::vector<unsigned char>(full.begin(), full.begin() + std::ptrdiff_t(n)));
        for (int i = 0; i < r.GetMeshCount(); ++i) EXPECT_LE(r.GetMesh(i)->GetVertexCount(), 24);
    }
    // Cut inside the second object: the first mesh is kept whole.
    L3DS r;
    ASSERT_TRUE(Load(r, std::vector<unsigned char>(full.begin(), full.end() - 40)));
    ASSERT_GE(r.GetMeshCount(), 1);
    EXPECT_EQ(r.GetMesh(0)->GetVertexCount(), 24);
    EXPECT_EQ(r.GetMesh(0)->GetFaceCount(), 12);
    // A length of 2^31 - 1 on the main chunk.
    auto huge = full;
    huge[2] = huge[3] = huge[4] = 0xFF;
    huge[5] = 0x7F;
    L3DS h;
    EXPECT_TRUE(Load(h, huge));
    EXPECT_EQ(h.GetMeshCount(), 2);
}

TEST(L3dsMalformed, SeededMutationsNeverCrashOrHang) {
    const auto full = Encode3DS({Cube24(), redowl_test::TriangleMesh("T")}, {WriterLight{}});
    std::mt19937 rng(1234);
    for (int trial = 0; trial < 3000; ++trial) {
        auto bytes = full;
        const int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits; ++e) bytes[rng() % bytes.size()] = std::uint8_t(rng());
        L3DS r;
        if (!Load(r, bytes)) continue;
        // Whatever loaded is bounded by what the file can hold.
        for (int i = 0; i < r.GetMeshCount(); ++i) {
            const LMesh& m = *r.GetMesh(i);
            EXPECT_LE(m.GetVertexCount(), 65535 * 2);
            EXPECT_EQ(m.GetNormalCount(), m.GetVertexCount());
        }
    }
}

TEST(L3dsMalformed, FaceCornersBeyondTheVerticesReadAsTheOrigin) {
    WriterMesh m = redowl_test::TriangleMesh("T");
    m.faces.push_back({0, 1, 500});
    L3DS r;
    ASSERT_TRUE(Load(r, Encode3DS({m})));
    const LMesh& mesh = *r.GetMesh(0);
    EXPECT_EQ(mesh.GetFace(1).c, 500);
    // The second face is (0,0,0), (1,0,0), (0,0,0): no area, so the normals stay those of face 0.
    EXPECT_TRUE(Same(mesh.GetNormal(0), {0, 0, 1}));
}
