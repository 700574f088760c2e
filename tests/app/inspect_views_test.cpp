// The inspection keys in this process on the demo scene: F3 and F4 change the picture through
// their cycles and give back the normal picture at the end, F4 puts the traced share in the
// title, F11 writes a PNG of the window's size, F12 prints the statistics.
#include <GL/freeglut.h>
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <set>
#include <regex>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/inspect_views.h"
#include "app/png_image.h"
#include "app/win_main.h"
#include "errors/message_box.h"
#include "app/viewer_objects.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/tobject.h"
#include "render/render.h"
#include "tests/app/process_support.h"
#include "tests/support/gl_context.h"

namespace {

using namespace redowl_test;

// Mean absolute difference per channel value of two RGB read-backs of the same size.
double Difference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    if (a.size() != b.size() || a.empty()) return -1.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
    return sum / static_cast<double>(a.size());
}

class InspectViewsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(EnsureGlContext()) << "these tests need an X display (the test command starts Xvfb)";
        glutReshapeWindow(512, 512);
        for (int i = 0; i < 5; ++i) glutMainLoopEvent();
        WriteDemo(dir.path());
        previous = fs::current_path();
        fs::current_path(dir.path());
        win.width = 512;
        win.height = 512;
        config.ReadFile("release.cgf");
        win.reshape(512, 512);
        win.display();  // assembly
        win.frame.lightSpeed = 0.0f;
        // Every frame a new one-sample picture of every pixel, so that frames with and without
        // a view compare.
        win.accumulation.enabled = false;
        win.budget.budgetMs = 0.0;
        win.beforeSwap = [this] {
            picture.resize(512u * 512u * 3u);
            glReadBuffer(GL_BACK);
            glPixelStorei(GL_PACK_ALIGNMENT, 1);
            glReadPixels(0, 0, 512, 512, GL_RGB, GL_UNSIGNED_BYTE, picture.data());
        };
    }
    void TearDown() override { fs::current_path(previous); }

    // One frame after pressing the special key (0: none); the picture it showed.
    std::vector<unsigned char> FrameAfter(int key) {
        if (key != 0) win.special(key, 0, 0);
        win.display();
        return picture;
    }

    TempDir dir;
    fs::path previous;
    TIRN_ERROR::BoxRecorder recorder;
    WIN_NMS::ViewerObjects objects;
    CONFIG::Lexer& config = objects.config;
    WIN_NMS::WIN_MAIN_CLASS& win = objects.app;
    std::vector<unsigned char> picture;
};

TEST_F(InspectViewsTest, ViewsChangeThePictureAndGiveItBack) {
    const std::vector<unsigned char> normal = FrameAfter(0);
    EXPECT_LT(Difference(FrameAfter(0), normal), 0.01);  // frames repeat exactly

    // F3: cells, cells by count, off.
    const std::vector<unsigned char> cells = FrameAfter(WIN_NMS::kKeyF3);
    const std::vector<unsigned char> byCount = FrameAfter(WIN_NMS::kKeyF3);
    EXPECT_GT(Difference(cells, normal), 2.0);
    EXPECT_GT(Difference(byCount, cells), 2.0);
    EXPECT_LT(Difference(FrameAfter(WIN_NMS::kKeyF3), normal), 0.01);

    // F4: the mask alone (white where lit, black in shadow: a grey picture), the mask with its
    // traced pixels marked (coloured), off.
    recorder.Clear();
    const std::vector<unsigned char> mask = FrameAfter(WIN_NMS::kKeyF4);
    int grey = 0, lit = 0, shadow = 0;
    for (std::size_t i = 0; i < mask.size(); i += 3) {
        grey += mask[i] == mask[i + 1] && mask[i + 1] == mask[i + 2];
        lit += mask[i] >= 254;
        shadow += mask[i] == 0;
    }
    EXPECT_EQ(grey, 512 * 512);
    EXPECT_EQ(lit + shadow, 512 * 512);
    EXPECT_GT(shadow, 5000);
    const std::vector<unsigned char> marked = FrameAfter(WIN_NMS::kKeyF4);
    EXPECT_GT(Difference(marked, mask), 2.0);
    int tracedColour = 0;
    for (std::size_t i = 0; i < marked.size(); i += 3)
        tracedColour += marked[i] == WIN_NMS::InspectViews::kTracedLit[0] && marked[i + 1] == WIN_NMS::InspectViews::kTracedLit[1];
    // At least the lattice: every 8th pixel both ways inside the 8-pixel frame.
    EXPECT_GE(tracedColour, 63 * 63 / 2);
    // The title carries the share: "FPS=<n>, traced <share>% of the pixels".
    const std::vector<std::string> titles = recorder.Titles();
    ASSERT_FALSE(titles.empty());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(titles.back(), m, std::regex("FPS=[0-9]+, traced ([0-9.]+)% of the pixels"))) << titles.back();
    const double share = std::stod(m[1].str()) / 100.0;
    EXPECT_GT(share, 1.0 / 64.0);
    EXPECT_LT(share, 1.0);
    EXPECT_NEAR(share, win.views.tracedShare, 0.0001);
    EXPECT_LT(Difference(FrameAfter(WIN_NMS::kKeyF4), normal), 0.01);
    EXPECT_EQ(objects.tracer->TracedMarks(), nullptr);  // marking stops with the view
    EXPECT_TRUE(recorder.Boxes().empty());
}

TEST_F(InspectViewsTest, ScreenshotIsAPngOfTheWindowAndStatisticsArePrinted) {
    FrameAfter(0);
    ::testing::internal::CaptureStdout();
    win.special(WIN_NMS::kKeyF11, 0, 0);
    const std::vector<unsigned char> shown = FrameAfter(0);
    win.special(WIN_NMS::kKeyF12, 0, 0);
    const std::string out = ::testing::internal::GetCapturedStdout();

    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("Screenshot saved: (redowl-[0-9]{8}-[0-9]{6}\\.png) \\(512 x 512\\)")))
        << out;
    WIN_NMS::Image image;
    std::string error;
    ASSERT_TRUE(WIN_NMS::ReadPng(m[1].str(), image, &error)) << error;
    EXPECT_EQ(image.width, 512);
    EXPECT_EQ(image.height, 512);
    ASSERT_EQ(image.channels, 3);
    // The file holds what the window showed (PNG rows from the top, GL rows from the bottom).
    std::vector<unsigned char> flipped(shown.size());
    for (int y = 0; y < 512; ++y)
        std::copy_n(shown.begin() + (511 - y) * 512 * 3, 512 * 3, flipped.begin() + y * 512 * 3);
    EXPECT_LT(Difference(image.pixels, flipped), 0.01);
    EXPECT_FALSE(win.views.screenshotPending);

    // F12: both traced models with their statistics, then the timings of the frame.
    EXPECT_NE(out.find("Model 0: "), std::string::npos) << out;
    EXPECT_NE(out.find("Model 2: 72 triangles"), std::string::npos) << out;
    EXPECT_EQ(out.find("Model 1: "), std::string::npos) << out;  // the sky is not traced
    EXPECT_NE(out.find("use ACCURANCY_ALGORITHM of build regular grid"), std::string::npos) << out;
    EXPECT_NE(out.find("Frame (ms): preview "), std::string::npos) << out;
}

// The viewing aids: h shows the controls until the next key, m hides the light's marker, 7 and
// 1 frame the framed models from above and in front, u turns them to the next up axis where
// they stand, and six turns bring them back as they were.
TEST_F(InspectViewsTest, ViewingAidsChangeThePictureAndGiveItBack) {
    const std::vector<unsigned char> normal = FrameAfter(0);
    win.keyboard('h', 0, 0);
    const std::vector<unsigned char> help = FrameAfter(0);
    EXPECT_GT(Difference(help, normal), 1.0);
    // The panel darkens the upper-left corner (GL rows from the bottom).
    const std::size_t corner = (std::size_t(512 - 20) * 512 + 20) * 3;
    EXPECT_LT(help[corner] + 0, normal[corner] + 0);
    win.keyboard('x', 0, 0);  // any key
    EXPECT_LT(Difference(FrameAfter(0), normal), 0.01);

    win.keyboard('m', 0, 0);
    const double marker = Difference(FrameAfter(0), normal);
    EXPECT_GT(marker, 0.0);
    EXPECT_LT(marker, 1.0);
    win.keyboard('m', 0, 0);
    EXPECT_LT(Difference(FrameAfter(0), normal), 0.01);

    win.keyboard('7', 0, 0);
    EXPECT_EQ(win.angleX, 90.0f);
    EXPECT_GT(Difference(FrameAfter(0), normal), 2.0);
    win.keyboard('1', 0, 0);
    EXPECT_EQ(win.angleX, 0.0f);
    EXPECT_EQ(win.angleY, 0.0f);

    // u: the knot (model 0, the one f frames) stands on its lowest point as before.
    RAYTR::TObject& knot = objects.scene->objects[0];
    const auto lowest = [&] {
        float y = 1e30f;
        for (unsigned v = 0; v < knot.vertexCount; ++v)
            y = std::min(y, ORVA_MATH::Transform(knot.vertices[v].position, knot.box.transform).y);
        return y;
    };
    const float before = lowest();
    const ORVA_MATH::MATRIX loaded = knot.box.transform;
    ::testing::internal::CaptureStdout();
    win.keyboard('u', 0, 0);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("model 0: its z axis turned up (u)"), std::string::npos);
    EXPECT_NEAR(lowest(), before, 1e-4f);
    EXPECT_GT(Difference(FrameAfter(0), normal), 2.0);
    for (int k = 0; k < 5; ++k) win.keyboard('u', 0, 0);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(knot.box.transform.m[i], loaded.m[i], 1e-5f) << i;
    EXPECT_TRUE(recorder.Boxes().empty());
}

}  // namespace

namespace {

// The F3 lines of one grid lie where the grid has its cells: cell i spans grid coordinates
// i - 0.5 to i + 0.5 (centred on whole grid coordinates), and the lines are the edges of
// exactly the occupied cells, each once.
TEST(InspectCellLinesTest, LinesAreTheEdgesOfTheGridsOwnOccupiedCells) {
    std::vector<ORVA_GRAPHICS::VERTEX> vertices(6);
    const float corners[6][3] = {{0.2f, 0.3f, 0.1f}, {1.2f, 0.3f, 0.1f}, {0.3f, 2.6f, 0.1f},
                                 {3.0f, 2.0f, 1.0f}, {3.0f, 3.0f, 1.0f}, {4.0f, 2.0f, 1.2f}};
    for (int i = 0; i < 6; ++i) vertices[i].position = ORVA_MATH::VECTOR(corners[i][0], corners[i][1], corners[i][2], 1.0f);
    std::vector<ORVA_GRAPHICS::Triangle> triangles(2);
    for (int t = 0; t < 2; ++t) {
        triangles[t].A = &vertices[3 * t];
        triangles[t].B = &vertices[3 * t + 1];
        triangles[t].C = &vertices[3 * t + 2];
    }
    ORVA_GRAPHICS::BoxTransform box;
    box.minimum = ORVA_MATH::VECTOR(0.2f, 0.3f, 0.1f, 1.0f);
    box.maximum = ORVA_MATH::VECTOR(4.0f, 3.0f, 1.2f, 1.0f);
    RAYTR::GridBuildSettings settings;
    settings.algorithm = RAYTR::kAccuracyAlgorithm;
    settings.factor = 2.0f;
    RAYTR::Grid grid;
    grid.Build(triangles.data(), 2, box, settings);
    const float s = grid.CellSize();
    const WIN_NMS::InspectViews::CellLines lines = WIN_NMS::InspectViews::OccupiedCellLines(grid);
    ASSERT_EQ(lines.positions.size() % 6, 0u);
    // Every end of a line is a cell corner, minimum + (i - 0.5) s on each axis.
    std::set<std::array<long, 3>> ends;
    for (size_t k = 0; k < lines.positions.size(); k += 3) {
        std::array<long, 3> corner;
        for (int axis = 0; axis < 3; ++axis) {
            const double g = (lines.positions[k + axis] - box.minimum[axis]) / s + 0.5;
            corner[axis] = std::lround(g);
            ASSERT_NEAR(g, static_cast<double>(corner[axis]), 1e-3) << "a line end off the cell corners";
        }
        ends.insert(corner);
    }
    // The corners are exactly those of the occupied cells, and the number of edges is that of
    // the occupied cells' distinct edges.
    std::set<std::array<long, 3>> expected;
    std::set<std::array<long, 4>> edges;
    const auto& cells = grid.Cells();
    for (unsigned i = 0; i < cells.Dim(0); ++i)
        for (unsigned j = 0; j < cells.Dim(1); ++j)
            for (unsigned k = 0; k < cells.Dim(2); ++k) {
                if (cells.at(i, j, k).size == 0) continue;
                for (long c = 0; c < 8; ++c) expected.insert({long(i) + (c & 1), long(j) + (c >> 1 & 1), long(k) + (c >> 2 & 1)});
                for (long axis = 0; axis < 3; ++axis)
                    for (long a = 0; a < 2; ++a)
                        for (long b = 0; b < 2; ++b) {
                            std::array<long, 4> e{long(i), long(j), long(k), axis};
                            e[axis == 0 ? 1 : 0] += a;
                            e[axis == 2 ? 1 : 2] += b;
                            edges.insert(e);
                        }
            }
    EXPECT_EQ(ends, expected);
    EXPECT_EQ(lines.positions.size() / 6, edges.size());
    // Each triangle's corners lie inside the drawn cells' union.
    for (const auto& v : vertices) {
        bool inside = false;
        for (unsigned i = 0; i < cells.Dim(0) && !inside; ++i)
            for (unsigned j = 0; j < cells.Dim(1) && !inside; ++j)
                for (unsigned k = 0; k < cells.Dim(2) && !inside; ++k) {
                    if (cells.at(i, j, k).size == 0) continue;
                    const double g[3] = {(v.position.x - box.minimum.x) / s, (v.position.y - box.minimum.y) / s,
                                         (v.position.z - box.minimum.z) / s};
                    inside = std::fabs(g[0] - i) <= 0.5 && std::fabs(g[1] - j) <= 0.5 && std::fabs(g[2] - k) <= 0.5;
                }
        EXPECT_TRUE(inside);
    }
}

}  // namespace
