// Files that no code of ours wrote: 3DS files exported by assimp and read back by lib3ds, and BMP
// files written by ImageMagick. Our readers must agree with them.
#include <gtest/gtest.h>
#include <lib3ds/file.h>
#include <lib3ds/mesh.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "errors/errors.h"
#include "loaders/l3ds.h"
#include "loaders/texture.h"
#include "model_files.h"

using redowl_test::LastBox;
using redowl_test::TempDir;

namespace {

// A bumpy ring of quads in OBJ form with per-vertex mapping coordinates.
void WriteRingObj(const std::string& path, int around, int along) {
    std::ofstream obj(path);
    for (int i = 0; i < around; ++i)
        for (int j = 0; j <= along; ++j) {
            const double a = 2 * 3.14159265358979 * i / around;
            const double r = 2.0 + 0.3 * std::sin(5 * a) + 0.1 * j;
            obj << "v " << r * std::cos(a) << " " << 0.25 * j << " " << r * std::sin(a) << "\n";
            obj << "vt " << double(i) / around << " " << double(j) / along << "\n";
        }
    auto id = [&](int i, int j) { return (i % around) * (along + 1) + j + 1; };
    for (int i = 0; i < around; ++i)
        for (int j = 0; j < along; ++j) {
            const int a = id(i, j), b = id(i + 1, j), c = id(i + 1, j + 1), d = id(i, j + 1);
            obj << "f " << a << "/" << a << " " << b << "/" << b << " " << c << "/" << c << "\n";
            obj << "f " << a << "/" << a << " " << c << "/" << c << " " << d << "/" << d << "\n";
        }
}

struct Lib3dsFree {
    void operator()(Lib3dsFile* f) const { lib3ds_file_free(f); }
};

}  // namespace

TEST(CrossCheck3ds, AssimpExportReadByLib3dsAndByUsAgree) {
    TempDir dir;
    WriteRingObj(dir.File("ring.obj"), 24, 3);
    const std::string command =
        "assimp export '" + dir.File("ring.obj") + "' '" + dir.File("ring.3ds") + "' > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    std::unique_ptr<Lib3dsFile, Lib3dsFree> peer(lib3ds_file_load(dir.File("ring.3ds").c_str()));
    ASSERT_NE(peer, nullptr);
    ASSERT_NE(peer->meshes, nullptr);
    const Lib3dsMesh& theirs = *peer->meshes;

    LOAD_3DS::L3DS reader;
    ASSERT_TRUE(reader.LoadFromFile(dir.File("ring.3ds")));
    ASSERT_GE(reader.GetMeshCount(), 1);
    const LOAD_3DS::LMesh& ours = *reader.GetMesh(0);

    ASSERT_EQ(ours.GetVertexCount(), int(theirs.points));
    ASSERT_EQ(ours.GetFaceCount(), int(theirs.faces));
    ASSERT_EQ(ours.GetUVCount(), int(theirs.texels));
    EXPECT_GE(ours.GetFaceCount(), 24 * 3 * 2);
    EXPECT_GT(ours.GetUVCount(), 0);
    EXPECT_EQ(ours.Name(), theirs.name);
    for (int i = 0; i < ours.GetVertexCount(); ++i) {
        const LOAD_3DS::LPoint3 p = ours.GetVertex(i);
        EXPECT_EQ(p.x, theirs.pointL[i].pos[0]) << i;
        EXPECT_EQ(p.y, theirs.pointL[i].pos[1]) << i;
        EXPECT_EQ(p.z, theirs.pointL[i].pos[2]) << i;
    }
    for (int i = 0; i < ours.GetUVCount(); ++i) {
        EXPECT_EQ(ours.GetUV(i).u, theirs.texelL[i][0]) << i;
        EXPECT_EQ(ours.GetUV(i).v, theirs.texelL[i][1]) << i;
    }
    for (int f = 0; f < ours.GetFaceCount(); ++f) {
        const LOAD_3DS::LFace face = ours.GetFace(f);
        EXPECT_EQ(face.a, theirs.faceL[f].points[0]) << f;
        EXPECT_EQ(face.b, theirs.faceL[f].points[1]) << f;
        EXPECT_EQ(face.c, theirs.faceL[f].points[2]) << f;
    }
}

TEST(CrossCheckBmp, ImageMagickBmp3LoadsAndItsDefaultHeaderIsRefused) {
    TempDir dir;
    // A 3 x 2 image, top row first as PPM stores it.
    const unsigned char top[9] = {10, 20, 30, 1, 2, 3, 255, 0, 128};
    const unsigned char bottom[9] = {5, 6, 7, 8, 9, 10, 200, 100, 50};
    {
        std::ofstream ppm(dir.File("in.ppm"), std::ios::binary);
        ppm << "P6\n3 2\n255\n";
        ppm.write(reinterpret_cast<const char*>(top), 9);
        ppm.write(reinterpret_cast<const char*>(bottom), 9);
    }
    const std::string in = "'" + dir.File("in.ppm") + "'";
    ASSERT_EQ(std::system(("/usr/bin/convert " + in + " -type TrueColor 'BMP3:" + dir.File("v3.bmp") + "'").c_str()), 0);
    ASSERT_EQ(std::system(("/usr/bin/convert " + in + " -type TrueColor '" + dir.File("default.bmp") + "'").c_str()), 0);

    TEXTURE t;
    ASSERT_EQ(t.LoadBMP(dir.File("v3.bmp").c_str()), 1);
    ASSERT_EQ(t.width, 3);
    ASSERT_EQ(t.height, 2);
    EXPECT_EQ(0, std::memcmp(t.pixels, bottom, 9));  // bottom row first
    EXPECT_EQ(0, std::memcmp(t.pixels + 9, top, 9));

    TIRN_ERROR::BoxRecorder recorder;
    TEXTURE d;
    EXPECT_THROW(d.LoadBMP(dir.File("default.bmp").c_str()), TIRN_ERROR::Image_File_Error);
    EXPECT_EQ(LastBox(recorder).second,
              "Can not ReadFileHeader, perhaps the file " + dir.File("default.bmp") + " was damaged");
}
