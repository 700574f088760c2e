// Real-world 3DS files (Debian's assimp-testmodels) through redowl-demo-scene --model and a
// hybrid snapshot: every model is visible and lit, stands on the floor, and every object of a
// multi-object file is loaded and lies inside the view.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <map>
#include <strings.h>
#include <sstream>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/model_keys.h"
#include "app/png_image.h"
#include "loaders/l3ds.h"
#include "mesh/model_load.h"
#include "tests/app/process_support.h"

namespace {

using namespace redowl_test;

constexpr auto kRunTimeout = std::chrono::seconds(300);

std::string DemoScenePath() { return REDOWL_BINARY_DIR "/redowl-demo-scene"; }

// Runs a program in dir; its exit status, or -1 when it did not end normally in time.
int RunProgram(const std::string& program, const std::vector<std::string>& args, const fs::path& dir, bool gl) {
    Child child(program, args, dir, gl, gl);
    int status = 0;
    if (!child.WaitForExit(kRunTimeout, &status) || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

void Replace(const fs::path& file, const std::string& from, const std::string& to) {
    std::string text = ReadAll(file);
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from << " in " << file;
    text.replace(at, from.size(), to);
    std::ofstream(file, std::ios::binary) << text;
}

WIN_NMS::Image Load(const fs::path& file) {
    WIN_NMS::Image image;
    std::string error;
    EXPECT_TRUE(WIN_NMS::ReadPng(file.string(), image, &error)) << error;
    return image;
}

// Each object of the file in the scene's merged model: its triangles are all there, in file
// order, and every corner (moved as model 0 is) projects inside the camera's 45-degree view.
void ExpectEveryObjectInView(const fs::path& scene) {
    CONFIG::Lexer config;
    config.ReadFile((scene / "release.cgf").string());
    const std::string file = (scene / config.GetString("scene.model0")).string();
    Mesh mesh;
    const ORVA_GRAPHICS::ModelLoadInfo info = ORVA_GRAPHICS::LoadModel(mesh, file, WIN_NMS::ReadModelOptions(config, 0));
    LOAD_3DS::L3DS reader;
    ASSERT_TRUE(reader.LoadFromFile(file));
    EXPECT_EQ(info.meshesInFile, reader.GetMeshCount());
    unsigned first = 0;
    int used = 0;
    const float tanHalf = std::tan(22.5f * 3.14159265f / 180.0f);
    float bottom = 1e30f;
    for (int k = 0; k < reader.GetMeshCount(); ++k) {
        const LOAD_3DS::LMesh& m = *reader.GetMesh(k);
        if (m.GetVertexCount() == 0) continue;
        ++used;
        SCOPED_TRACE(m.Name());
        const unsigned count = unsigned(m.GetFaceCount());
        ASSERT_LE(first + count, mesh.triangleCount);
        for (unsigned t = first; t < first + count; ++t)
            for (const ORVA_GRAPHICS::VERTEX* v : {mesh.triangles[t].A, mesh.triangles[t].B, mesh.triangles[t].C}) {
                const float x = v->position.x, y = v->position.y - 1.65f, z = v->position.z;
                const float depth = 15.0f - z;
                ASSERT_GT(depth, 1.0f);
                EXPECT_LE(std::abs(x) / (depth * tanHalf), 1.0f);
                EXPECT_LE(std::abs(y) / (depth * tanHalf), 1.0f);
                bottom = std::min(bottom, y);
            }
        first += count;
    }
    EXPECT_EQ(info.meshesUsed, used);
    EXPECT_EQ(first, mesh.triangleCount);  // nothing else was merged in
    EXPECT_NEAR(bottom, -5.0f, 1e-3f);     // standing on the floor
}

class ModelFilesTest : public ::testing::Test {
protected:
    PrivateDisplay display;  // this test's own X server
};

// Mean of the pixels where a and b differ by more than 16 in some channel, and their count.
int Differing(const WIN_NMS::Image& a, const WIN_NMS::Image& b, double mean[3]) {
    int differing = 0;
    mean[0] = mean[1] = mean[2] = 0.0;
    for (int p = 0; p < a.width * a.height; ++p) {
        int delta = 0;
        for (int c = 0; c < 3; ++c) delta = std::max(delta, std::abs(int(a.pixels[3 * p + c]) - int(b.pixels[3 * p + c])));
        if (delta <= 16) continue;
        ++differing;
        for (int c = 0; c < 3; ++c) mean[c] += a.pixels[3 * p + c];
    }
    for (int c = 0; c < 3; ++c) mean[c] /= std::max(differing, 1);
    return differing;
}

// The writer's scene of a model at 128 x 128, and its snapshot; "" when both worked, else why.
std::string SceneAndSnapshot(const fs::path& work, const std::string& model, const std::string& out,
                             const std::string& mode = "hybrid") {
    const fs::path scene = work / "scene";
    if (RunProgram(DemoScenePath(), {"--model", model, "scene"}, work, false) != 0) return ReadAll(work / "stderr.txt");
    // The fixed camera, so that moving a model away below (which a framing camera would
    // follow) leaves the same view without it.
    Replace(scene / "release.cgf", "camera = frame", "camera = fixed");
    Replace(scene / "release.cgf", "width = 512", "width = 128");
    Replace(scene / "release.cgf", "height = 512", "height = 128");
    const std::vector<std::string> args{"--frames", "2", "--light-angle", "1", "--mode", mode, "--out", out, "scene"};
    if (RunProgram(SnapshotPath(), args, work, true) != 0) return ReadAll(work / "stderr.txt");
    return {};
}

TEST_F(ModelFilesTest, EveryPackagedModelOfEveryFormatIsVisibleAndInView) {
    ASSERT_TRUE(display.ok()) << "no private X server could be started";
    std::istringstream list(Shell("dpkg -L assimp-testmodels 2>/dev/null | grep -iE "
                                  "'/models/(3DS|OBJ|PLY|STL|glTF2|FBX|Collada|X)/.*\\.(3ds|obj|ply|stl|gltf|glb|fbx|dae|x)$'"));
    std::vector<std::string> files;
    for (std::string line; std::getline(list, line);)
        if (!line.empty()) files.push_back(line);
    // A missing package must fail the test, not shrink it (scripts/setup installs it).
    ASSERT_GE(files.size(), 100u) << "assimp-testmodels is not installed";

    // The surroundings alone: a model far below the floor, out of sight and shadow.
    TempDir empty;
    ASSERT_EQ(SceneAndSnapshot(empty.path(), "/usr/share/assimp/models/OBJ/box.obj", "with.png"), "");
    {
        const fs::path cfg = empty.path() / "scene" / "release.cgf";
        std::istringstream text(ReadAll(cfg));
        for (std::string line; std::getline(text, line);)
            if (line.find("model0_offset = ") != std::string::npos) Replace(cfg, line, "    model0_offset = 0,-1000,0");
        ASSERT_EQ(RunProgram(SnapshotPath(), {"--frames", "2", "--light-angle", "1", "--out", "without.png", "scene"},
                             empty.path(), true),
                  0);
    }
    const WIN_NMS::Image without = Load(empty.path() / "scene" / "without.png");

    int rendered = 0, refused = 0;
    std::map<std::string, int> perFormat;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        TempDir dir;
        const std::string why = SceneAndSnapshot(dir.path(), file, "with.png");
        if (!why.empty()) {
            // A file assimp or our reader refuses (the package holds deliberately broken and
            // point-only files): refused with the viewer's message, never a crash.
            EXPECT_TRUE(why.rfind("redowl-demo-scene: Can not load ", 0) == 0 ||
                        why.rfind("redowl-demo-scene: There are no ", 0) == 0)
                << why;
            ++refused;
            continue;
        }
        const fs::path scene = dir.path() / "scene";
        // Every object of a 3DS file loaded, standing on the floor, each corner in view.
        if (strcasecmp(fs::path(file).extension().string().c_str(), ".3ds") == 0) ExpectEveryObjectInView(scene);
        const std::string report = ReadAll(dir.path() / "stdout.txt");
        EXPECT_NE(report.find("model 0: data/"), std::string::npos) << report;
        EXPECT_NE(report.find("3 models (2 traced)"), std::string::npos) << report;
        const WIN_NMS::Image a = Load(scene / "with.png");
        ASSERT_EQ(a.pixels.size(), without.pixels.size());
        double mean[3];
        const double share = double(Differing(a, without, mean)) / (a.width * a.height);
        // Visible, and in view: not over the whole window. A flat model (a single triangle or
        // polygon) may lie on the floor or stand edge-on to the fixed camera: in view only.
        float box[3] = {0.0f, 0.0f, 0.0f};
        const std::size_t at = report.find("triangles, box ");
        ASSERT_NE(at, std::string::npos) << report;
        std::sscanf(report.c_str() + at, "triangles, box %f x %f x %f", &box[0], &box[1], &box[2]);
        unsigned triangles = 0;
        const std::size_t counts = report.rfind("vertices, ", at);
        ASSERT_NE(counts, std::string::npos) << report;
        std::sscanf(report.c_str() + counts, "vertices, %u", &triangles);
        const bool flat = triangles <= 2 || std::min({box[0], box[1], box[2]}) < 0.02f * std::max({box[0], box[1], box[2]});
        if (!flat) {
            EXPECT_GE(share, 0.001);
        }
        EXPECT_LE(share, 0.85);
        ++rendered;
        ++perFormat[fs::path(file).extension().string()];
    }
    std::printf("%d models shown, %d refused\n", rendered, refused);
    EXPECT_GE(rendered, 90);
    for (const char* ext : {".3ds", ".obj", ".ply", ".stl", ".gltf", ".glb", ".fbx", ".dae", ".x"}) {
        int n = 0;
        for (const auto& [e, count] : perFormat)
            if (strcasecmp(e.c_str(), ext) == 0) n += count;
        EXPECT_GT(n, 0) << "no " << ext << " model shown";
    }
}

TEST_F(ModelFilesTest, ATexturesPixelsAndTheMaterialsColoursReachBothModes) {
    ASSERT_TRUE(display.ok()) << "no private X server could be started";
    // The spider: OBJ with an MTL and JPEG textures.
    TempDir dir;
    ASSERT_EQ(SceneAndSnapshot(dir.path(), "/usr/share/assimp/models/OBJ/spider.obj", "textured.png"), "");
    const fs::path scene = dir.path() / "scene";
    ASSERT_TRUE(fs::exists(scene / "data" / "spider.mtl"));
    ASSERT_TRUE(fs::exists(scene / "data" / "SpiderTex.jpg"));
    const std::vector<std::string> traced{"--frames", "2", "--light-angle", "1", "--mode", "traced", "--out", "traced.png", "scene"};
    ASSERT_EQ(RunProgram(SnapshotPath(), traced, dir.path(), true), 0);
    // Every texture replaced by a flat grey image of the same size and format.
    for (const char* name : {"SpiderTex.jpg", "drkwood2.jpg", "engineflare1.jpg", "wal67ar_small.jpg", "wal69ar_small.jpg"})
        ASSERT_EQ(std::system(("convert " + (scene / "data" / name).string() + " -fill 'rgb(128,128,128)' -colorize 100 " +
                               (scene / "data" / name).string())
                                  .c_str()),
                  0);
    const std::vector<std::string> grey{"--frames", "2", "--light-angle", "1", "--out", "grey.png", "scene"};
    ASSERT_EQ(RunProgram(SnapshotPath(), grey, dir.path(), true), 0);
    const WIN_NMS::Image a = Load(scene / "textured.png"), b = Load(scene / "grey.png");
    double mean[3];
    EXPECT_GT(Differing(a, b, mean), 200) << "the texture's pixels did not reach the picture";

    // The preview and the traced image give a flat-coloured model the same colour: a red box
    // and a green one, both modes. The lit colour's hue is the material's in both.
    for (const char* colour : {"1 0 0", "0 1 0"}) {
        SCOPED_TRACE(colour);
        TempDir box;
        std::ofstream(box.path() / "box.obj") << "mtllib box.mtl\nusemtl c\n"
                                                 "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
                                                 "f 1 4 3 2\nf 5 6 7 8\nf 1 2 6 5\nf 2 3 7 6\nf 3 4 8 7\nf 4 1 5 8\n";
        std::ofstream(box.path() / "box.mtl") << "newmtl c\nKd " << colour << "\n";
        ASSERT_EQ(SceneAndSnapshot(box.path(), (box.path() / "box.obj").string(), "hybrid.png"), "");
        ASSERT_EQ(RunProgram(SnapshotPath(), {"--frames", "2", "--light-angle", "1", "--mode", "traced", "--out", "traced.png", "scene"},
                             box.path(), true),
                  0);
        const WIN_NMS::Image h = Load(box.path() / "scene" / "hybrid.png");
        const WIN_NMS::Image t = Load(box.path() / "scene" / "traced.png");
        const int c = colour[0] == '1' ? 0 : 1;  // the material's channel
        // Pixels of the material's hue (nothing else in the scene is red or green: the floor is
        // beige and teal, the sky blue), in both modes; none of the other hue.
        auto dominant = [](const WIN_NMS::Image& image, int k) {
            int n = 0;
            for (int p = 0; p < image.width * image.height; ++p) {
                const int v[3] = {image.pixels[3 * p], image.pixels[3 * p + 1], image.pixels[3 * p + 2]};
                n += v[k] > 2 * v[(k + 1) % 3] + 20 && v[k] > 2 * v[(k + 2) % 3] + 20;
            }
            return n;
        };
        EXPECT_GT(dominant(h, c), 300);
        EXPECT_GT(dominant(t, c), 300);
        EXPECT_LT(dominant(h, 1 - c), 10);
        EXPECT_LT(dominant(t, 1 - c), 10);
    }
}

// An image laid over a model with --texture is the same matte surface as that image named by
// the model's MTL: the traced pictures agree (the fixed shading's mirror bounce made it chrome).
TEST_F(ModelFilesTest, ATextureGivenOnTheCommandLineIsTheMatteSurfaceAnMtlWouldMakeIt) {
    ASSERT_TRUE(display.ok()) << "no private X server could be started";
    TempDir dir;
    const std::string box = "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
                            "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nf 1/1 4/4 3/3 2/2\nf 5/1 6/2 7/3 8/4\nf 1/1 2/2 6/3 5/4\n"
                            "f 2/1 3/2 7/3 6/4\nf 3/1 4/2 8/3 7/4\nf 4/1 1/2 5/3 8/4\n";
    std::ofstream(dir.path() / "given.obj") << box;
    std::ofstream(dir.path() / "named.obj") << "mtllib named.mtl\nusemtl t\n" << box;
    std::ofstream(dir.path() / "named.mtl") << "newmtl t\nKd 1 1 1\nmap_Kd tex.png\n";
    ASSERT_EQ(std::system(("convert -size 8x8 xc:'rgb(90,160,70)' '" + (dir.path() / "tex.png").string() + "'").c_str()), 0);
    const std::vector<std::string> common{"--mode", "traced", "--samples", "4", "--light-angle", "1", "--budget-ms", "0", "--size", "256x256"};
    std::vector<std::string> given = common, named = common;
    for (const char* a : {"--texture", "tex.png", "--out", "given.png", "given.obj"}) given.push_back(a);
    for (const char* a : {"--out", "named.png", "named.obj"}) named.push_back(a);
    ASSERT_EQ(RunProgram(SnapshotPath(), given, dir.path(), true), 0);
    ASSERT_EQ(RunProgram(SnapshotPath(), named, dir.path(), true), 0);
    EXPECT_LT(MeanDifference(Load(dir.path() / "given.png"), Load(dir.path() / "named.png")), 0.5);
}

}  // namespace
