// redowl-snapshot on the demo scene: the reference pictures, the first frame's light and the
// timings in its JSON, the knot's shadow on the floor, a private X server when there is no display,
// and its refusals of bad options.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "app/png_image.h"
#include "tests/app/process_support.h"

namespace {

using namespace redowl_test;

constexpr auto kRunTimeout = std::chrono::seconds(300);
const fs::path kReferences = fs::path(REDOWL_SOURCE_DIR) / "tests" / "data" / "reference";

class SnapshotTest : public ::testing::Test {
protected:
    PrivateDisplay display;  // this test's own X server

    void SetUp() override {
        ASSERT_FALSE(Shell("command -v Xvfb").empty()) << "Xvfb is needed";
        ASSERT_TRUE(display.ok()) << "no private X server could be started";
        ASSERT_TRUE(fs::exists(SnapshotPath())) << SnapshotPath();
        WriteDemo(dir.path());
    }

    // Runs the snapshot program in the demo folder; true when it ended with status 0.
    bool Run(const std::vector<std::string>& args, bool withDisplay = true) {
        Child child(SnapshotPath(), args, dir.path(), withDisplay, true);
        int status = 0;
        if (!child.WaitForExit(kRunTimeout, &status)) return false;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    int Status(const std::vector<std::string>& args, bool withDisplay = true) {
        Child child(SnapshotPath(), args, dir.path(), withDisplay, true);
        int status = 0;
        if (!child.WaitForExit(kRunTimeout, &status) || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }
    WIN_NMS::Image Load(const std::string& name) {
        WIN_NMS::Image image;
        std::string error;
        EXPECT_TRUE(WIN_NMS::ReadPng((dir.path() / name).string(), image, &error)) << error;
        return image;
    }
    std::string Stderr() { return ReadAll(dir.path() / "stderr.txt"); }

    TempDir dir;
};

// Pixels of which some channel differs by more than `tolerance`.
int PixelsBeyond(const WIN_NMS::Image& a, const WIN_NMS::Image& b, int tolerance) {
    int count = 0;
    for (std::size_t p = 0; p < a.pixels.size(); p += a.channels) {
        bool beyond = false;
        for (int c = 0; c < a.channels; ++c) beyond = beyond || std::abs(int(a.pixels[p + c]) - int(b.pixels[p + c])) > tolerance;
        count += beyond;
    }
    return count;
}

TEST_F(SnapshotTest, PicturesMatchTheReferences) {
    // Software rasterisers differ in the last bits of texture filtering and edges (llvmpipe,
    // softpipe); the tracer's mask and image do not. A change that moves a shadow or a shape
    // changes thousands of pixels by far more than the tolerance.
    std::ifstream cases(kReferences / "cases.txt");
    ASSERT_TRUE(cases) << kReferences / "cases.txt";
    std::string line;
    int checked = 0;
    while (std::getline(cases, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string name, word;
        words >> name;
        std::vector<std::string> args;
        while (words >> word) args.push_back(word);
        const bool hybrid = line.find("--mode hybrid") != std::string::npos;
        args.insert(args.end(), {"--out", "window.png"});
        if (hybrid) args.insert(args.end(), {"--mask-out", "mask.png"});
        SCOPED_TRACE(name);
        ASSERT_TRUE(Run(args)) << Stderr();

        std::vector<std::pair<std::string, std::string>> pairs{{"window.png", name + ".png"}};
        if (hybrid) pairs.push_back({"mask.png", name + "_mask.png"});
        for (const auto& [made, reference] : pairs) {
            const WIN_NMS::Image got = Load(made);
            WIN_NMS::Image want;
            std::string error;
            ASSERT_TRUE(WIN_NMS::ReadPng((kReferences / reference).string(), want, &error)) << error;
            ASSERT_EQ(got.width, want.width) << reference;
            ASSERT_EQ(got.height, want.height) << reference;
            ASSERT_EQ(got.channels, want.channels) << reference;
            const int pixels = got.width * got.height;
            EXPECT_LE(PixelsBeyond(got, want, 24), pixels / 200) << reference << " differs (scripts/update-references)";
            EXPECT_LT(MeanDifference(got, want), 2.0) << reference;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 6);
}

TEST_F(SnapshotTest, FirstFrameLightTimingsAndTheKnotsShadowOnTheFloor) {
    ASSERT_TRUE(Run({"--frames", "3", "--timings", "t.json", "--out", "w.png", "--mask-out", "m.png"})) << Stderr();
    const std::string json = ReadAll(dir.path() / "t.json");
    // The light of the first frame is at angle 1: (4 cos 1, cos 1 + 2, 8 sin 1); the second
    // has moved on by 0.5 / 60 radians.
    const std::size_t first = json.find("\"light\": [2.16121, 2.54030, 6.73177]");
    EXPECT_NE(first, std::string::npos) << json;
    EXPECT_EQ(json.find("\"light\": [2.16121, 2.54030, 6.73177]", first + 1), std::string::npos) << json;
    for (const char* key : {"\"assembly_s\"", "\"preview_s\"", "\"depth_read_s\"", "\"tracing_s\"", "\"upload_s\"",
                            "\"frames_per_second\"", "\"mode\": \"hybrid\"", "\"width\": 512", "\"threads\": 4"})
        EXPECT_NE(json.find(key), std::string::npos) << key << " in " << json;

    // The floor around the knot (below the horizon, outside the knot's box) shows its shadow
    // wherever the light is (its angle after three frames depends on the measured rate): the
    // mask is black there and the window darker than on the lit floor, but not black.
    const WIN_NMS::Image window = Load("w.png");
    const WIN_NMS::Image mask = Load("m.png");
    ASSERT_EQ(window.width, 512);
    ASSERT_EQ(window.channels, 3);
    ASSERT_EQ(mask.channels, 1);
    long shadowed = 0, lit = 0;
    double shadowedSum = 0.0, litSum = 0.0;
    for (int y = 300; y < 504; ++y)
        for (int x = 8; x < 504; ++x) {
            if (x >= 140 && x < 370 && y < 470) continue;  // the knot
            const std::size_t i = static_cast<std::size_t>(y) * 512 + x;
            const double brightness = (window.pixels[3 * i] + window.pixels[3 * i + 1] + window.pixels[3 * i + 2]) / 3.0;
            if (mask.pixels[i] == 0) ++shadowed, shadowedSum += brightness;
            if (mask.pixels[i] == 255) ++lit, litSum += brightness;
        }
    ASSERT_GT(shadowed, 1000);
    ASSERT_GT(lit, 10000);
    // Darker, not black: the shadow keeps the preview's ambient share.
    EXPECT_LT(shadowedSum / shadowed, 0.8 * litSum / lit);
    EXPECT_GT(shadowedSum / shadowed, 0.1 * litSum / lit);
    // The sky above is lit, up to the window's edges: the mask covers every pixel.
    EXPECT_EQ(MeanBrightness(mask, 100, 20, 400, 100), 255.0);
    EXPECT_EQ(MeanBrightness(mask, 0, 0, 512, 7), 255.0);
}

TEST_F(SnapshotTest, TheBudgetDecidesFromTheMeasuredFramesAndAStillPictureIsEveryPixels) {
    // Nothing measured before the first frame: every pixel, in both modes. A budget of 1 ms
    // that no whole frame fits: the next moving frame masks every second pixel, or traces a
    // lattice.
    for (const char* mode : {"hybrid", "traced"}) {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(Run({"--mode", mode, "--frames", "2", "--light-angle", "1", "--budget-ms", "1", "--timings", "m.json"}))
            << Stderr();
        const std::string json = ReadAll(dir.path() / "m.json");
        const bool traced = std::string(mode) == "traced";
        const std::size_t first = json.find(traced ? "\"kind\": \"full\", \"lattice_step\": 1, \"traced_share\": 1.0"
                                                   : "\"kind\": \"hybrid\", \"lattice_step\": 1, \"traced_share\": 1.0");
        EXPECT_NE(first, std::string::npos) << json;
        EXPECT_NE(json.find(traced ? "\"kind\": \"lattice\"" : "\"kind\": \"hybrid\", \"lattice_step\": 2", first), std::string::npos)
            << json;
    }
    // With --samples the picture holds still from its first frame: whatever the budget, the
    // window and the mask of every pixel.
    ASSERT_TRUE(Run({"--mode", "hybrid", "--frames", "1", "--light-angle", "1", "--budget-ms", "0", "--out", "whole.png",
                     "--mask-out", "whole_mask.png"}))
        << Stderr();
    ASSERT_TRUE(Run({"--mode", "hybrid", "--samples", "1", "--light-angle", "1", "--budget-ms", "1", "--out",
                     "still.png", "--mask-out", "still_mask.png"}))
        << Stderr();
    EXPECT_TRUE(Load("whole.png").pixels == Load("still.png").pixels);
    EXPECT_TRUE(Load("whole_mask.png").pixels == Load("still_mask.png").pixels);
    ASSERT_TRUE(Run({"--mode", "traced", "--frames", "1", "--light-angle", "1", "--budget-ms", "0", "--out", "full.png"}))
        << Stderr();
    ASSERT_TRUE(Run({"--mode", "traced", "--samples", "1", "--light-angle", "1", "--budget-ms", "1", "--out", "still.png",
                     "--timings", "t.json"}))
        << Stderr();
    EXPECT_TRUE(Load("full.png").pixels == Load("still.png").pixels);
    EXPECT_NE(ReadAll(dir.path() / "t.json").find("\"frame_budget_ms\": 1.0"), std::string::npos);
}

TEST_F(SnapshotTest, ABrokenSceneWithADisplayIsReportedOnStandardErrorWithoutABox) {
    // A batch program never waits on a box, even where one could be shown.
    fs::remove(dir.path() / "data" / "SKY.bmp");
    EXPECT_EQ(Status({"--out", "w.png"}, true), 1);
    EXPECT_EQ(Stderr().rfind("File_Error: ", 0), 0u) << Stderr();
}

TEST_F(SnapshotTest, WithoutADisplayItStartsItsOwnServer) {
    ASSERT_TRUE(Run({"--mode", "traced", "--out", "w.png"}, false)) << Stderr();
    const WIN_NMS::Image window = Load("w.png");
    EXPECT_EQ(window.width, 512);
    EXPECT_EQ(window.channels, 3);
    EXPECT_GT(MeanBrightness(window, 0, 256, 512, 512), 20.0);  // something was drawn
}

TEST_F(SnapshotTest, ABrokenSceneWithoutADisplayIsReportedOnStandardErrorWithStatusOne) {
    // On its own hidden server nobody could dismiss a box: the report goes to standard error.
    fs::remove(dir.path() / "data" / "SKY.bmp");
    EXPECT_EQ(Status({"--out", "w.png"}, false), 1);
    EXPECT_EQ(Stderr().rfind("File_Error: ", 0), 0u) << Stderr();
    EXPECT_NE(Stderr().find("data/SKY.bmp"), std::string::npos) << Stderr();
    EXPECT_FALSE(fs::exists(dir.path() / "w.png"));
}

// --pan moves the picture as a right-button drag does: the knot, at the centre's depth, 40
// pixels down; --zoom brings it nearer (it then reaches up into the sky).
TEST_F(SnapshotTest, PanAndZoomMoveTheView) {
    ASSERT_TRUE(Run({"--light-angle", "1", "--out", "base.png"})) << Stderr();
    ASSERT_TRUE(Run({"--light-angle", "1", "--pan", "0,40", "--out", "pan.png"})) << Stderr();
    ASSERT_TRUE(Run({"--light-angle", "1", "--zoom", "2", "--zoom-at", "256,300", "--out", "zoom.png"})) << Stderr();
    const WIN_NMS::Image base = Load("base.png"), pan = Load("pan.png"), zoom = Load("zoom.png");
    // The shift down that best lays the panned picture over the knot's part of the first.
    int best = -1;
    double bestDifference = 1e30;
    for (int dy = 0; dy <= 80; ++dy) {
        double sum = 0.0;
        for (int y = 200; y < 420; ++y)
            for (int x = 150; x < 360; ++x)
                for (int c = 0; c < 3; ++c)
                    sum += std::abs(int(base.pixels[(y * 512 + x) * 3 + c]) - int(pan.pixels[((y + dy) * 512 + x) * 3 + c]));
        if (sum < bestDifference) bestDifference = sum, best = dy;
    }
    EXPECT_NEAR(best, 40, 2);
    // Blue over red just above the knot: sky in the first picture, the knot's top when zoomed.
    const auto skyness = [](const WIN_NMS::Image& i) { return MeanChannel(i, 2, 150, 180, 360, 240) - MeanChannel(i, 0, 150, 180, 360, 240); };
    EXPECT_LT(skyness(zoom), skyness(base) - 20.0);
}

// Model files side by side at the size asked for, without --out: the picture is the first model's
// name, never written over a file that is there, and its path is printed.
TEST_F(SnapshotTest, ModelFilesWithoutOutGoToTheirNameAndKeepWhatIsThere) {
    std::ofstream(dir.path() / "box.obj") << "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
                                             "f 1 4 3 2\nf 5 6 7 8\nf 1 2 6 5\nf 2 3 7 6\nf 3 4 8 7\nf 4 1 5 8\n";
    fs::copy_file(dir.path() / "box.obj", dir.path() / "tall.obj");
    const std::string mine = "the user's box.png";
    std::ofstream(dir.path() / "box.png") << mine;
    ASSERT_TRUE(Run({"--size", "160x120", "--up", "z", "box.obj", "tall.obj"})) << Stderr();
    EXPECT_EQ(ReadAll(dir.path() / "box.png"), mine);
    const std::string out = ReadAll(dir.path() / "stdout.txt");
    EXPECT_NE(out.find("picture: " + (dir.path() / "box-2.png").string() + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("model 3: tall.obj"), std::string::npos) << out;
    const WIN_NMS::Image picture = Load("box-2.png");
    EXPECT_EQ(picture.width, 160);
    EXPECT_EQ(picture.height, 120);
    // A missing model is named as one; --up goes with model files only.
    EXPECT_EQ(Status({"missing.obj"}), 1);
    EXPECT_EQ(Stderr(), "File_Error: Can not open file missing.obj\n");
    EXPECT_EQ(Status({"--up", "z"}), 2);
    EXPECT_EQ(Stderr().rfind("redowl-snapshot: --up goes with model files, not with a scene folder\n", 0), 0u);
}

TEST_F(SnapshotTest, RefusesBadOptions) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--mode", "fancy"},
                                               {"--frames", "0"},
                                               {"--frames", "2x"},
                                               {"--light-angle", "east"},
                                               {"--view-x"},
                                               {"--zoom", "0"},
                                               {"--zoom-at", "12"},
                                               {"--pan", "4,x"},
                                               {"--colour", "red"},
                                               {"--mode", "traced", "--mask-out", "m.png"}}) {
        SCOPED_TRACE(args[0]);
        EXPECT_EQ(Status(args), 2);
        EXPECT_NE(Stderr().find("usage: redowl-snapshot"), std::string::npos);
    }
    // Without a configuration: the viewer's own report (on standard error without a display,
    // before any X server is started for it), status 1.
    fs::remove(dir.path() / "release.cgf");
    EXPECT_EQ(Status({}, false), 1);
    EXPECT_EQ(Stderr(), "File_Error: Can not open file release.cgf in " + fs::canonical(dir.path()).string() + "\n");
}

}  // namespace

namespace {

// The inspection views as options: the traced share of the demo's mask frame lies between the
// lattice alone (one pixel in 64) and every pixel, and --stats prints the grid statistics of
// both traced models with the frame's timings.
TEST_F(SnapshotTest, ViewsPrintTheTracedShareAndTheStatistics) {
    ASSERT_TRUE(Run({"--frames", "2", "--light-angle", "1", "--grid", "--mask-view", "--mask-view", "--stats", "--out",
                     "v.png"}))
        << Stderr();
    const std::string out = ReadAll(dir.path() / "stdout.txt");
    const std::size_t at = out.find("\ntraced: ");  // a line of its own, not the load report's
    ASSERT_NE(at, std::string::npos) << out;
    const double share = std::atof(out.c_str() + at + 9);
    EXPECT_GT(share, 1.0 / 64.0) << out;
    EXPECT_LT(share, 1.0) << out;
    std::size_t algorithm = 0;
    for (std::size_t p = 0; (p = out.find("use ACCURANCY_ALGORITHM of build regular grid", p)) != std::string::npos; ++p)
        ++algorithm;
    EXPECT_EQ(algorithm, 2u) << out;  // the knot and the floor
    EXPECT_NE(out.find("Max number of triangles in voxel: "), std::string::npos) << out;
    EXPECT_NE(out.find("Frame (ms): preview "), std::string::npos) << out;
    EXPECT_EQ(Load("v.png").width, 512);
}

}  // namespace

namespace {

// The 24-bit BMP file's colours (red, green, blue), each once.
std::vector<std::array<int, 3>> BmpColours(const fs::path& file) {
    const std::string b = ReadAll(file);
    const auto u32 = [&](std::size_t at) {
        return std::uint32_t(std::uint8_t(b[at])) | std::uint32_t(std::uint8_t(b[at + 1])) << 8 |
               std::uint32_t(std::uint8_t(b[at + 2])) << 16 | std::uint32_t(std::uint8_t(b[at + 3])) << 24;
    };
    std::set<std::array<int, 3>> colours;
    if (b.size() < 54) return {};
    const std::size_t data = u32(10), w = u32(18), h = u32(22), row = (w * 3 + 3) / 4 * 4;
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w && data + y * row + x * 3 + 2 < b.size(); ++x) {
            const std::size_t at = data + y * row + x * 3;
            colours.insert({std::uint8_t(b[at + 2]), std::uint8_t(b[at + 1]), std::uint8_t(b[at])});
        }
    return {colours.begin(), colours.end()};
}

// A release.cgf of only the nine keys the viewer has read from the beginning, with the demo's
// models and a fine cell factor: the preview's light is directional (its sky shows its texture's
// own colours, where a point light 500 units from the dome would leave a third of them),
// hybrid shadows are black on these fixed materials as in the traced image, the F12 report
// gives the edge of the cells built (coarser than asked), and the memory warning is reported.
TEST_F(SnapshotTest, TheNineFirstKeysAloneGiveTheDirectionalLightAndBlackShadows) {
    std::ofstream(dir.path() / "release.cgf", std::ios::trunc)
        << "win { width = 512 height = 512 }\n"
           "scene { N_models = 3 model0 = data/knot.3ds model0_do_trace = 1 model1 = data/sky.3ds\n"
           "        model1_do_trace = 0 model2 = data/floor.3ds model2_do_trace = 1 }\n"
           "tracer { threads_num = 4 use_zbuffer_values = 1\n"
           "         regular_grid { algoritm_type = accurancy_algorithm cub_less_elem_times = 40 } }\n";
    ASSERT_TRUE(Run({"--frames", "2", "--light-angle", "1", "--no-marker", "--stats", "--out", "w.png", "--mask-out",
                     "m.png"}))
        << Stderr();
    EXPECT_NE(Stderr().find("WARNING!, REQUIRED MEMORY: "), std::string::npos) << Stderr();
    const std::string out = ReadAll(dir.path() / "stdout.txt");
    ASSERT_TRUE(Run({"--mode", "traced", "--light-angle", "1", "--out", "t.png"})) << Stderr();
    const WIN_NMS::Image window = Load("w.png"), mask = Load("m.png"), traced = Load("t.png");
    ASSERT_EQ(window.width, 512);
    const auto at = [](const WIN_NMS::Image& image, int x, int y, int c) {
        return int(image.pixels[(std::size_t(y) * image.width + x) * image.channels + std::min(c, image.channels - 1)]);
    };
    // The sky in the middle of row 100 (from the top), where it faces the light: each pixel
    // within a few levels of a texel.
    const std::vector<std::array<int, 3>> sky = BmpColours(dir.path() / "data" / "SKY.bmp");
    ASSERT_GT(sky.size(), 100u);
    for (int x = 160; x <= 352; x += 32) {
        int nearest = 1 << 30;
        for (const auto& t : sky) {
            int d = 0;
            for (int c = 0; c < 3; ++c) d = std::max(d, std::abs(t[c] - at(window, x, 100, c)));
            nearest = std::min(nearest, d);
        }
        EXPECT_LE(nearest, 6) << "sky pixel (" << x << ", 100): " << at(window, x, 100, 0) << ", " << at(window, x, 100, 1)
                              << ", " << at(window, x, 100, 2);
    }
    // Shadows: the preview times the mask, black where the mask is 0, as the traced image is.
    int shadow = 0, notBlack = 0;
    double tracedSum = 0.0;
    for (int y = 0; y < 512; ++y)
        for (int x = 0; x < 512; ++x) {
            if (at(mask, x, y, 0) != 0) continue;
            ++shadow;
            for (int c = 0; c < 3; ++c) {
                notBlack += at(window, x, y, c) > 1;
                tracedSum += at(traced, x, y, c);
            }
        }
    EXPECT_GT(shadow, 5000);
    EXPECT_EQ(notBlack, 0);
    EXPECT_LT(tracedSum / (3.0 * std::max(shadow, 1)), 8.0);
    // F12: the knot's grid of n cells per axis has cells of the edges e printed (one for all
    // axes, or one per axis), so that n = trunc(2 + extent / e) on each axis for the box of the
    // load report.
    double box[3] = {0, 0, 0}, edge[3] = {0, 0, 0};
    int n[3] = {0, 0, 0};
    const std::size_t load = out.find("box ");
    const std::size_t stats = out.find("Model 0: ");
    ASSERT_NE(load, std::string::npos) << out;
    ASSERT_NE(stats, std::string::npos) << out;
    ASSERT_EQ(std::sscanf(out.c_str() + load, "box %lg x %lg x %lg", &box[0], &box[1], &box[2]), 3) << out;
    const int read = std::sscanf(out.c_str() + out.find(", grid ", stats), ", grid %d x %d x %d cells of edge %lg x %lg x %lg",
                                 &n[0], &n[1], &n[2], &edge[0], &edge[1], &edge[2]);
    ASSERT_TRUE(read == 4 || read == 6) << out;
    if (read == 4) edge[1] = edge[2] = edge[0];
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(2.0 + box[k] / edge[k], n[k] + 0.5, 0.5 + 0.01 * n[k]) << out;
}

}  // namespace
