// The scene writer around a model whose files name paths out of its folder: it copies only
// what lies inside the model's folder and writes nothing outside the scene's folder, not even
// through a symbolic link placed in it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "loaders/bmp_writer.h"
#include "loaders/model_scene.h"
#include "tests/loaders/model_files.h"

namespace {

namespace fs = std::filesystem;
using redowl_test::TempDir;

// Every path below root, with its size, except those below `skip`.
std::set<std::string> Listing(const fs::path& root, const fs::path& skip = {}) {
    std::set<std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (!skip.empty() && it->path() == skip) {
            it.disable_recursion_pending();
            continue;
        }
        std::string entry = fs::relative(it->path(), root).string();
        if (it->is_regular_file()) entry.append(" ").append(std::to_string(it->file_size()));
        out.insert(entry);
    }
    return out;
}

// top/outside/{x.png, y.png}; top/a/model/{m.obj, m.mtl, tex/ok.bmp}: the MTL names the good
// texture, and three that leave the folder (two by "..", one absolute).
fs::path WriteModel(const TempDir& dir) {
    const fs::path top = dir.File("top");
    fs::create_directories(top / "outside");
    fs::create_directories(top / "a" / "model" / "tex");
    std::ofstream(top / "outside" / "x.png") << "x";
    std::ofstream(top / "outside" / "y.png") << "y";
    const unsigned char rgb[3] = {200, 100, 50};
    EXPECT_TRUE(LOAD_3DS::WriteBMP24((top / "a" / "model" / "tex" / "ok.bmp").string(), 1, 1, rgb));
    std::ofstream(top / "a" / "model" / "m.obj") << "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n"
                                                    "usemtl ok\nf 1 2 3\nusemtl up\nf 2 4 3\n"
                                                    "usemtl abs\nf 1 2 4\nusemtl deep\nf 1 4 3\n";
    std::ofstream(top / "a" / "model" / "m.mtl") << "newmtl ok\nmap_Kd tex/ok.bmp\n"
                                                    "newmtl up\nmap_Kd ../../outside/x.png\n"
                                                    "newmtl abs\nmap_Kd /etc/passwd\n"
                                                    "newmtl deep\nmap_Kd tex/../../../outside/y.png\n";
    return top;
}

TEST(SceneWriterTest, PathsOutOfTheModelsFolderAreNeitherCopiedNorWrittenTo) {
    TempDir dir;
    const fs::path top = WriteModel(dir);
    const fs::path scene = top / "a" / "scene";
    const std::set<std::string> before = Listing(top);
    std::string error;
    ASSERT_TRUE(LOAD_3DS::WriteModelScene((top / "a" / "model" / "m.obj").string(), scene.string(), false, &error)) << error;
    EXPECT_EQ(Listing(top, scene), before);
    const std::set<std::string> expected = {"release.cgf", "data", "data/m.obj", "data/m.mtl", "data/tex", "data/tex/ok.bmp",
                                            "data/texture1.bmp", "data/SKY.bmp", "data/sky.3ds", "data/floor.3ds"};
    std::set<std::string> written;
    for (const std::string& entry : Listing(scene)) written.insert(entry.substr(0, entry.find(' ')));
    EXPECT_EQ(written, expected);
}

TEST(SceneWriterTest, ALinkInTheScenesFolderIsNotFollowed) {
    TempDir dir;
    const fs::path top = WriteModel(dir);
    const fs::path model = top / "a" / "model" / "m.obj";
    const fs::path scene = top / "scene", trap = top / "trap";
    fs::create_directories(scene);
    fs::create_directories(trap);
    // data/ a link to a folder outside: refused, and nothing lands there.
    fs::create_directory_symlink(trap, scene / "data");
    std::string error;
    EXPECT_FALSE(LOAD_3DS::WriteModelScene(model.string(), scene.string(), false, &error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_empty(trap));
    // release.cgf a link to a file outside: the link is replaced by the scene's own file.
    fs::remove(scene / "data");
    std::ofstream(trap / "victim") << "keep";
    fs::create_symlink(trap / "victim", scene / "release.cgf");
    ASSERT_TRUE(LOAD_3DS::WriteModelScene(model.string(), scene.string(), false, &error)) << error;
    EXPECT_FALSE(fs::is_symlink(scene / "release.cgf"));
    std::ifstream victim(trap / "victim");
    std::string text;
    victim >> text;
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(Listing(trap), std::set<std::string>{"victim 4"});
}

}  // namespace

// Two models side by side: a 3DS file (z-up by convention, 2 wide, 4 deep, 1 high in the file)
// and one turned by the user's axis (-x: 6 wide, 3 high, 1.5 deep). Each is turned, put on the
// floor and placed along x with 1.5 between them, fronts at z = 0; the comment states the
// numbers written.
TEST(SceneWriterTest, ModelsStandOnTheFloorSideBySideAndTheCommentsSayHow) {
    LOAD_3DS::SceneModel flat, given;
    flat.file = "data/flat.3ds";
    flat.measure.lo[0] = flat.measure.lo[1] = flat.measure.lo[2] = 0.0f;
    flat.measure.hi[0] = 2.0f, flat.measure.hi[1] = 4.0f, flat.measure.hi[2] = 1.0f;
    flat.measure.declaredUp = LOAD_3DS::DeclaredUp(LOAD_3DS::UpAxis::Z);
    flat.measure.upSource = "3DS files are z-up";
    given = flat;
    given.file = "data/given.obj";
    given.upGiven = true;
    given.up = LOAD_3DS::UpAxis::NegX;
    const std::string text = LOAD_3DS::ModelSceneConfiguration({flat, given});
    for (const char* line :
         {"    N_models = 4\n", "    model0_up = z\n", "    model0_floor = -5\n", "    model0_offset = -3.75,0,-3\n",
          "    model3 = data/given.obj\n", "    model3_up = -x\n", "    model3_floor = -5\n",
          "    model3_offset = 2.25,0,-0.75\n", "    frame_models = 0,3\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    // Scaled by 1.5 to a largest side of 6: 3 wide, 1.5 high, 6 deep once z is up.
    EXPECT_NE(text.find("its z axis turned up (3DS files are z-up)"), std::string::npos) << text;
    EXPECT_NE(text.find("moved by -3.75,0,-3: 3 x 1.5 x 6 units"), std::string::npos) << text;
}
