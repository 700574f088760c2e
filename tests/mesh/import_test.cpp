// Models of every format in the mesh classes: the file's materials (MTL colours and textures,
// 3DS material chunks, glTF nodes), points and lines dropped, node transforms applied, 32-bit
// indices, and a texture that cannot be had reported, not thrown.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string_view>

#include "errors/errors.h"
#include "loaders/bmp_writer.h"
#include "loaders/demo_scene.h"
#include "loaders/l3ds_writer.h"
#include "loaders/obj_material_files.h"
#include "loaders/ply_writer.h"
#include "loaders/texture.h"
#include "mesh/model_load.h"
#include "tests/loaders/model_files.h"

namespace {

using namespace ORVA_GRAPHICS;
using redowl_test::TempDir;

ModelOptions FileMaterials() {
    ModelOptions o;
    o.materials = Materials::File;
    return o;
}

// Two quads of material red and blue, and one textured quad, then a point and a line.
void WriteObj(const TempDir& dir, const std::string& mtl) {
    std::ofstream(dir.File("m.obj")) << "mtllib m.mtl\n"
                                        "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 2 0 0\nv 2 1 0\n"
                                        "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
                                        "usemtl red\nf 1 2 3 4\n"
                                        "usemtl wood\nf 2/1 5/2 6/3 3/4\n"
                                        "usemtl blue\nf 4 3 6\n"
                                        "usemtl red\np 1\nl 1 2\n";
    std::ofstream(dir.File("m.mtl")) << mtl;
}

const Material& MaterialNamed(const Mesh& m, const std::string& name) {
    for (const Material& x : m.materials)
        if (x.name == name) return x;
    ADD_FAILURE() << "no material " << name;
    return m.materials[0];
}

TEST(ImportTest, ObjWithMtlGivesEachTriangleItsMaterialSortedIntoBatches) {
    TempDir dir;
    const std::string mtl = "newmtl red\nKd 1 0 0\nnewmtl blue\nKd 0 0 1\nnewmtl wood\nKd 0.5 0.5 0.5\nmap_Kd C:\\Maps\\WOOD.BMP\n";
    WriteObj(dir, mtl);
    const unsigned char rgb[12] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    ASSERT_TRUE(LOAD_3DS::WriteBMP24(dir.File("wood.bmp"), 2, 2, rgb));
    Mesh mesh;
    const ModelLoadInfo info = LoadModel(mesh, dir.File("m.obj"), FileMaterials());
    EXPECT_EQ(mesh.triangleCount, 5u);        // two quads cut in two, one triangle
    EXPECT_EQ(info.droppedPrimitives, 2);      // the point and the line
    EXPECT_EQ(info.textures, 1);
    EXPECT_TRUE(info.notes.empty());
    const Material& red = MaterialNamed(mesh, "red");
    EXPECT_EQ(red.diffuse[0], 1.0f);
    EXPECT_EQ(red.diffuse[2], 0.0f);
    EXPECT_EQ(red.image, nullptr);
    const Material& wood = MaterialNamed(mesh, "wood");
    ASSERT_NE(wood.image, nullptr);  // found by its name alone, letter case ignored
    EXPECT_EQ(wood.image, &mesh.textures[std::size_t(wood.texture)]);
    EXPECT_EQ(wood.image->width, 2);
    // Batches cover the triangles in order, each of one material; every triangle's material
    // is the one of its batch.
    std::uint32_t next = 0;
    std::set<std::uint32_t> seen;
    for (const MaterialBatch& b : mesh.batches) {
        EXPECT_EQ(b.firstTriangle, next);
        EXPECT_TRUE(seen.insert(b.material).second);
        for (std::uint32_t t = b.firstTriangle; t < b.firstTriangle + b.triangleCount; ++t)
            EXPECT_EQ(mesh.MaterialOf(&mesh.triangles[t]), &mesh.materials[b.material]);
        next += b.triangleCount;
    }
    EXPECT_EQ(next, mesh.triangleCount);
    EXPECT_EQ(mesh.batches.size(), 3u);

    // Two colours swapped in the MTL file: the triangles change colour with them.
    WriteObj(dir, "newmtl red\nKd 0 0 1\nnewmtl blue\nKd 1 0 0\nnewmtl wood\nKd 0.5 0.5 0.5\nmap_Kd wood.bmp\n");
    Mesh swapped;
    LoadModel(swapped, dir.File("m.obj"), FileMaterials());
    EXPECT_EQ(MaterialNamed(swapped, "red").diffuse[2], 1.0f);
    EXPECT_EQ(MaterialNamed(swapped, "blue").diffuse[0], 1.0f);

    // Fixed materials: one material over texture record 0, no batches.
    Mesh fixed;
    LoadModel(fixed, dir.File("m.obj"), {});
    EXPECT_EQ(fixed.materials.size(), 1u);
    EXPECT_EQ(fixed.materials[0].image, &fixed.textures[0]);
    EXPECT_TRUE(fixed.batches.empty());
}

TEST(ImportTest, FilesWithoutMaterialsKeepTheClayColourAndAPlyMaterialIsTheFiles) {
    TempDir dir;
    const std::string header = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                               "property float z\nelement face 1\nproperty list uchar int vertex_indices\n";
    std::ofstream(dir.File("plain.ply")) << header << "end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
    std::ofstream(dir.File("red.ply")) << header
                                       << "element material 1\nproperty uchar diffuse_red\nproperty uchar diffuse_green\n"
                                          "property uchar diffuse_blue\nend_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n255 0 0\n";
    std::ofstream(dir.File("plain.stl")) << "solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\n"
                                            "vertex 0 1 0\nendloop\nendfacet\nendsolid s\n";
    std::ofstream(dir.File("plain.obj")) << "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
    for (const char* name : {"plain.ply", "plain.stl", "plain.obj"}) {
        Mesh mesh;
        LoadModel(mesh, dir.File(name), FileMaterials());
        ASSERT_EQ(mesh.materials.size(), 1u) << name;
        for (int k = 0; k < 3; ++k) EXPECT_EQ(mesh.materials[0].diffuse[k], LOAD_3DS::kClayColour[k]) << name;
    }
    Mesh red;
    LoadModel(red, dir.File("red.ply"), FileMaterials());
    ASSERT_EQ(red.materials.size(), 1u);
    EXPECT_EQ(red.materials[0].diffuse[0], 1.0f);
    EXPECT_EQ(red.materials[0].diffuse[1], 0.0f);
}

TEST(ImportTest, AMissingOrUnreadableTextureIsANoteAndTheColourIsUsed) {
    TempDir dir;
    WriteObj(dir, "newmtl red\nKd 1 0 0\nnewmtl blue\nKd 0 0 1\nnewmtl wood\nKd 0.25 0.5 0.75\nmap_Kd nowhere.jpg\n");
    Mesh mesh;
    ModelLoadInfo info;
    TIRN_ERROR::BoxRecorder boxes;
    ASSERT_NO_THROW(info = LoadModel(mesh, dir.File("m.obj"), FileMaterials()));
    EXPECT_TRUE(boxes.Boxes().empty());
    ASSERT_EQ(info.notes.size(), 1u);
    EXPECT_NE(info.notes[0].find("nowhere.jpg"), std::string::npos) << info.notes[0];
    const Material& wood = MaterialNamed(mesh, "wood");
    EXPECT_EQ(wood.image, nullptr);
    EXPECT_EQ(wood.diffuse[1], 0.5f);
    // A file that is there but is no image.
    std::ofstream(dir.File("nowhere.jpg")) << "not an image";
    info = LoadModel(mesh, dir.File("m.obj"), FileMaterials());
    ASSERT_EQ(info.notes.size(), 1u);
    EXPECT_EQ(MaterialNamed(mesh, "wood").image, nullptr);
}

// A material file that is not there, or materials used without one, is a line of the load
// report as a missing texture is; the scan that finds them reads the OBJ's lines whatever
// pieces the text comes in.
TEST(ImportTest, AMissingMaterialFileOrUsemtlWithoutMtllibIsANote) {
    TempDir dir;
    WriteObj(dir, "newmtl red\nKd 1 0 0\n");
    std::filesystem::remove(dir.File("m.mtl"));
    Mesh mesh;
    ModelLoadInfo info = LoadModel(mesh, dir.File("m.obj"), FileMaterials());
    EXPECT_EQ(info.notes, std::vector<std::string>{"material file m.mtl not found; its materials are not used"});
    for (const Material& m : mesh.materials) EXPECT_NE(m.diffuse[0], 1.0f) << m.name;
    // Fixed materials read no MTL: nothing to say.
    EXPECT_TRUE(LoadModel(mesh, dir.File("m.obj"), {}).notes.empty());
    std::ofstream(dir.File("bare.obj")) << "v 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl red\nf 1 2 3\n";
    info = LoadModel(mesh, dir.File("bare.obj"), FileMaterials());
    EXPECT_EQ(info.notes,
              std::vector<std::string>{"materials named (usemtl) without a material file (mtllib); they are not used"});

    // The scanner: one library that is there, one outside the folder, two on one line of which
    // one is missing; CRLF ends, blanks before the word, look-alike words and an overlong line.
    std::ofstream(dir.File("here.mtl")) << "newmtl a\n";
    const std::string text = "# mtllib comment.mtl\r\n  mtllib here.mtl\r\nmtllibs no.mtl\n\tmtllib ../m.obj\n"
                             "mtllib here.mtl other.mtl\nusemtlx\n" + std::string(5000, 'v') + " mtllib long.mtl\n"
                             "usemtl a\nf 1 2 3";
    std::ofstream(dir.File("scan.OBJ")) << text;
    EXPECT_EQ(LOAD_3DS::MaterialFileNotes(dir.File("scan.OBJ")),
              (std::vector<std::string>{"material file ../m.obj not found; its materials are not used",
                                        "material file other.mtl not found; its materials are not used"}));
    EXPECT_TRUE(LOAD_3DS::MaterialFileNotes(dir.File("here.mtl")).empty());  // not an OBJ
    std::mt19937 random(41);
    for (int round = 0; round < 50; ++round) {
        LOAD_3DS::ObjMaterialScanner scanner;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t n = std::min<std::size_t>(text.size() - at, random() % 40);
            scanner.Feed(std::string_view(text).substr(at, n));
            at += n;
        }
        scanner.Finish();
        EXPECT_EQ(scanner.Libraries(), (std::vector<std::string>{"here.mtl", "../m.obj", "here.mtl other.mtl"}));
        EXPECT_TRUE(scanner.UsesMaterials());
    }
}

TEST(ImportTest, GltfNodesPlaceEachInstanceOfAMesh) {
    // One triangle, used by two nodes: one moved by 10 along x, one scaled by 2.
    const float positions[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    std::string bytes(reinterpret_cast<const char*>(positions), sizeof positions);
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string b64;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const unsigned n = (unsigned char)bytes[i] << 16 | (i + 1 < bytes.size() ? (unsigned char)bytes[i + 1] << 8 : 0) |
                           (i + 2 < bytes.size() ? (unsigned char)bytes[i + 2] : 0);
        b64 += table[n >> 18 & 63];
        b64 += table[n >> 12 & 63];
        b64 += i + 1 < bytes.size() ? table[n >> 6 & 63] : '=';
        b64 += i + 2 < bytes.size() ? table[n & 63] : '=';
    }
    TempDir dir;
    std::ofstream(dir.File("two.gltf"))
        << R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0,1]}],)"
        << R"("nodes":[{"mesh":0,"translation":[10,0,0]},{"mesh":0,"scale":[2,2,2]}],)"
        << R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},"material":0}]}],)"
        << R"("materials":[{"pbrMetallicRoughness":{"baseColorFactor":[0.2,0.4,0.6,1]}}],)"
        << R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[1,1,0]}],)"
        << R"("bufferViews":[{"buffer":0,"byteLength":36}],)"
        << R"("buffers":[{"byteLength":36,"uri":"data:application/octet-stream;base64,)" << b64 << R"("}]})";
    Mesh mesh;
    const ModelLoadInfo info = LoadModel(mesh, dir.File("two.gltf"), FileMaterials());
    ASSERT_EQ(mesh.triangleCount, 2u);
    EXPECT_EQ(info.meshesInFile, 1);
    float maxX = -1e9f, maxY = -1e9f;
    for (unsigned v = 0; v < mesh.vertexCount; ++v) {
        maxX = std::max(maxX, mesh.vertices[v].position.x);
        maxY = std::max(maxY, mesh.vertices[v].position.y);
    }
    EXPECT_FLOAT_EQ(maxX, 11.0f);  // the moved instance
    EXPECT_FLOAT_EQ(maxY, 2.0f);   // the scaled one
    EXPECT_NEAR(mesh.materials[mesh.batches[0].material].diffuse[1], 0.4f, 1e-6f);
}

TEST(ImportTest, AModelOfMoreThan65535VerticesKeepsEveryIndex) {
    TempDir dir;
    const LOAD_3DS::WriterMesh knot = LOAD_3DS::MakeTorusKnot(300, 250);  // 75,551 vertices
    ASSERT_TRUE(LOAD_3DS::WritePLY(dir.File("knot.ply"), knot));
    Mesh mesh;
    LoadModel(mesh, dir.File("knot.ply"), {});
    ASSERT_EQ(mesh.vertexCount, knot.vertices.size());
    ASSERT_EQ(mesh.triangleCount, knot.faces.size());
    for (unsigned t = 0; t < mesh.triangleCount; t += 997)
        EXPECT_EQ(mesh.indices[3 * t + 2], unsigned(knot.faces[t].c));
    // The same mesh as 3DS objects of at most 65,535 vertices, read back whole.
    ASSERT_TRUE(LOAD_3DS::Write3DS(dir.File("knot.3ds"), {knot}));
    Mesh split;
    ModelOptions all;
    all.allMeshes = true;
    const ModelLoadInfo info = LoadModel(split, dir.File("knot.3ds"), all);
    EXPECT_EQ(info.meshesInFile, 3);  // 150,000 faces: at most 65,535 an object
    EXPECT_EQ(split.triangleCount, knot.faces.size());
}

// A 3DS file with two materials (a colour, and a texture given by a Windows path) and a
// two-triangle mesh: face 0 of material Skin, face 1 of none.
std::vector<unsigned char> ThreeDSWithMaterials() {
    LOAD_3DS::ChunkWriter w;
    w.Begin(0x4D4D);
    w.Begin(0x3D3D);
    auto material = [&](const std::string& name, std::vector<unsigned char> rgb, const std::string& map) {
        w.Begin(0xAFFF);
        w.Begin(0xA000);
        w.CString(name);
        w.End();
        w.Begin(0xA020);
        w.Begin(0x0011);
        w.Raw(rgb.data(), 3);
        w.End();
        w.End();
        if (!map.empty()) {
            w.Begin(0xA200);
            w.Begin(0xA300);
            w.CString(map);
            w.End();
            w.End();
        }
        w.End();
    };
    material("Green", {0, 255, 0}, "");
    material("Skin", {255, 255, 255}, "C:\\3dsmax\\maps\\SKIN.BMP");
    w.Begin(0x4000);
    w.CString("Quad");
    w.Begin(0x4100);
    w.Begin(0x4110);
    w.U16(4);
    for (float f : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 1.f, 1.f, 0.f, 0.f, 1.f, 0.f}) w.F32(f);
    w.End();
    w.Begin(0x4120);
    w.U16(2);
    for (std::uint16_t x : {0, 1, 2, 0, 0, 2, 3, 0}) w.U16(x);
    w.Begin(0x4130);
    w.CString("Skin");
    w.U16(1);
    w.U16(0);
    w.End();
    w.End();
    w.End();
    w.End();
    w.End();
    w.End();
    return std::move(w.bytes);
}

TEST(ImportTest, ThreeDSMaterialChunksColourAndTextureTheFaces) {
    TempDir dir;
    ASSERT_TRUE(LOAD_3DS::WriteBytes(dir.File("quad.3ds"), ThreeDSWithMaterials()));
    const unsigned char pink[3] = {250, 120, 160};
    ASSERT_TRUE(LOAD_3DS::WriteBMP24(dir.File("skin.bmp"), 1, 1, pink));
    Mesh mesh;
    const ModelLoadInfo info = LoadModel(mesh, dir.File("quad.3ds"), FileMaterials());
    ASSERT_EQ(mesh.triangleCount, 2u);
    EXPECT_EQ(info.textures, 1);
    // Face 0 wears Skin's texture; face 1, of no material, the plain clay colour.
    const Material* skin = nullptr;
    const Material* plain = nullptr;
    for (unsigned t = 0; t < 2; ++t) {
        const Material* m = mesh.MaterialOf(&mesh.triangles[t]);
        ASSERT_NE(m, nullptr);
        (m->name == "Skin" ? skin : plain) = m;
    }
    ASSERT_TRUE(skin && plain);
    ASSERT_NE(skin->image, nullptr);
    EXPECT_EQ(skin->image->pixels[0], 250);
    EXPECT_EQ(plain->image, nullptr);
    EXPECT_FLOAT_EQ(plain->diffuse[0], 214.0f / 255.0f);
    // The material Green is defined but used by no face: no batch.
    EXPECT_EQ(mesh.batches.size(), 2u);
    // Fixed materials, the default for 3DS files: today's one texture, the file's materials unread.
    Mesh fixed;
    LoadModel(fixed, dir.File("quad.3ds"), {});
    EXPECT_EQ(fixed.materials.size(), 1u);
    EXPECT_TRUE(fixed.batches.empty());
}

}  // namespace
