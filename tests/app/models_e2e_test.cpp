// Real-world 3DS files (Debian's assimp-testmodels) through redowl-demo-scene --model and a
// hybrid snapshot: every model is visible and lit, stands on the floor, and every object of a
// multi-object file is loaded and lies inside the view.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
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

TEST_F(ModelFilesTest, EveryPackagedModelIsVisibleLitAndWhole) {
    ASSERT_TRUE(display.ok()) << "no private X server could be started";
    std::istringstream list(Shell("dpkg -L assimp-testmodels 2>/dev/null | grep -i '\\.3ds$'"));
    std::vector<std::string> files;
    for (std::string line; std::getline(list, line);)
        if (!line.empty()) files.push_back(line);
    // A missing package must fail the test, not shrink it (scripts/setup installs it).
    ASSERT_GE(files.size(), 9u) << "assimp-testmodels is not installed";

    int rendered = 0;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        TempDir dir;
        const fs::path scene = dir.path() / "scene";
        const int written = RunProgram(DemoScenePath(), {"--model", file, "scene"}, dir.path(), false);
        if (file.find("/invalid/") != std::string::npos) {
            // The package's deliberately broken files: refused with the viewer's message.
            EXPECT_EQ(written, 1);
            EXPECT_EQ(ReadAll(dir.path() / "stderr.txt"), "redowl-demo-scene: Can not load " + file + "\n");
            continue;
        }
        ASSERT_EQ(written, 0) << ReadAll(dir.path() / "stderr.txt");
        ExpectEveryObjectInView(scene);

        // A small window keeps the test short; 128 splits into the 4 tracer squares. The fixed
        // camera, so that moving the model away below (which a framing camera would follow)
        // leaves the same view without it.
        Replace(scene / "release.cgf", "camera = frame", "camera = fixed");
        Replace(scene / "release.cgf", "width = 512", "width = 128");
        Replace(scene / "release.cgf", "height = 512", "height = 128");
        const std::vector<std::string> args{"--frames", "2", "--light-angle", "1", "--out", "with.png",
                                            "--mask-out", "mask.png", "scene"};
        ASSERT_EQ(RunProgram(SnapshotPath(), args, dir.path(), true), 0) << ReadAll(dir.path() / "stderr.txt");
        // The folder argument: the run happened in scene/, Err.txt included.
        EXPECT_TRUE(fs::exists(scene / "Err.txt"));
        EXPECT_FALSE(fs::exists(dir.path() / "Err.txt"));
        const std::string report = ReadAll(dir.path() / "stdout.txt");
        EXPECT_NE(report.find("model 0: data/" + fs::path(file).filename().string()), std::string::npos) << report;
        EXPECT_NE(report.find("3 models (2 traced)"), std::string::npos) << report;

        // The same scene with the model far below the floor, out of sight and shadow.
        std::string offsetLine;
        {
            std::istringstream cfg(ReadAll(scene / "release.cgf"));
            for (std::string line; std::getline(cfg, line);)
                if (line.find("model0_offset = ") != std::string::npos) offsetLine = line;
        }
        ASSERT_FALSE(offsetLine.empty());
        Replace(scene / "release.cgf", offsetLine, "    model0_offset = 0,-1000,0");
        std::vector<std::string> without = args;
        without[5] = "without.png";
        without[7] = "mask_without.png";
        ASSERT_EQ(RunProgram(SnapshotPath(), without, dir.path(), true), 0) << ReadAll(dir.path() / "stderr.txt");

        const WIN_NMS::Image a = Load(scene / "with.png");
        const WIN_NMS::Image b = Load(scene / "without.png");
        const WIN_NMS::Image mask = Load(scene / "mask.png");
        ASSERT_EQ(a.pixels.size(), b.pixels.size());
        ASSERT_EQ(a.width, 128);
        int differing = 0, litModel = 0;
        const int pixels = a.width * a.height;
        for (int p = 0; p < pixels; ++p) {
            int delta = 0, brightness = 0;
            for (int c = 0; c < 3; ++c) {
                delta = std::max(delta, std::abs(int(a.pixels[3 * p + c]) - int(b.pixels[3 * p + c])));
                brightness += a.pixels[3 * p + c];
            }
            if (delta <= 16) continue;
            ++differing;
            // Lit by the tracer's light and brightly shaded: the model's own lit side.
            if (mask.pixels[p] >= 254 && brightness > 3 * 100) ++litModel;
        }
        const double share = double(differing) / pixels;
        EXPECT_GE(share, 0.03);
        EXPECT_LE(share, 0.85);
        EXPECT_GE(litModel, differing / 10) << litModel << " lit of " << differing;
        ++rendered;
    }
    EXPECT_GE(rendered, 9);
}

}  // namespace
