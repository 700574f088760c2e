// The settling picture in the viewer's own frames: what restarts a picture, when the passes
// stop and the viewer rests, the title, the keys, and many resizes (the driver's textures and
// the process's memory stay flat; a window past the tracer's limits keeps a picture).
#include <GL/freeglut.h>
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/accumulation.h"
#include "app/config.h"
#include "app/png_image.h"
#include "app/viewer_objects.h"
#include "app/win_main.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "render/render.h"
#include "tests/app/process_support.h"
#include "tests/support/gl_context.h"

namespace {

using namespace redowl_test;
using WIN_NMS::Accumulation;
using Step = WIN_NMS::Accumulation::Step;

// Resident memory of this process, bytes.
long ResidentBytes() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

class SettlingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(EnsureGlContext()) << "these tests need an X display (the test command starts Xvfb)";
        glutReshapeWindow(512, 512);
        for (int i = 0; i < 5; ++i) glutMainLoopEvent();
        WriteDemo(dir.path());
        previous = fs::current_path();
        fs::current_path(dir.path());
    }
    void TearDown() override { fs::current_path(previous); }
    // The demo assembled at w x h with the light held at angle 1 (configuration: the demo's,
    // with `replace` put in place of `with` when given).
    void Assemble(int w, int h, const std::string& with = {}, const std::string& replace = {}) {
        if (!with.empty()) {
            std::ifstream in("release.cgf");
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const auto at = text.find(with);
            ASSERT_NE(at, std::string::npos) << with;
            text.replace(at, with.size(), replace);
            std::ofstream("release.cgf", std::ios::trunc) << text;
        }
        win.width = w;
        win.height = h;
        config.ReadFile("release.cgf");
        win.reshape(w, h);
        win.display();  // assembly
        win.frame.lightSpeed = 0.0f;
    }
    // Each frame's picture of a 96 x 96 window into shown, read before the swap.
    void CaptureShown(std::vector<unsigned char>& shown) {
        win.beforeSwap = [&shown] {
            shown.assign(96u * 96u * 3u, 0);
            glReadBuffer(GL_BACK);
            glPixelStorei(GL_PACK_ALIGNMENT, 1);
            glReadPixels(0, 0, 96, 96, GL_RGB, GL_UNSIGNED_BYTE, shown.data());
        };
    }
    TempDir dir;
    fs::path previous;
    WIN_NMS::ViewerObjects objects;
    CONFIG::Lexer& config = objects.config;
    WIN_NMS::WIN_MAIN_CLASS& win = objects.app;
};

}  // namespace

TEST(AccumulationTest, AnyChangeOfTheViewRestartsAndPassesStopWhenDone) {
    RAYTR::Scene scene;
    RAYTR::LightSource light;
    light.position = ORVA_MATH::VECTOR(1.0f, 2.0f, 3.0f, 0.0f);
    scene.AddLight(light);
    Accumulation a;
    a.maxSamples = 5;
    const WIN_NMS::ViewState view = WIN_NMS::CaptureView(scene, 64, 48, false);
    EXPECT_EQ(a.Plan(view), Step::kFrame);
    a.FrameDone(1, true);
    EXPECT_EQ(a.Plan(view), Step::kPass);
    // Each thing a picture depends on, changed alone, makes a new picture.
    const std::vector<void (*)(RAYTR::Scene&)> changes = {
        [](RAYTR::Scene& s) { s.eye.z += 1.0f; },           [](RAYTR::Scene& s) { s.target.x += 0.5f; },
        [](RAYTR::Scene& s) { s.rotation(0, 1) = 0.1f; },   [](RAYTR::Scene& s) { s.lights[0].position.y -= 1.0f; },
        [](RAYTR::Scene& s) { s.lights[0].radius = 0.3f; }, [](RAYTR::Scene& s) { s.lights[0].position.w = 1.0f; },
        [](RAYTR::Scene& s) { s.farDistance = 100.0f; }};
    for (std::size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        RAYTR::Scene changed;
        changed.AddLight(light);
        changes[i](changed);
        EXPECT_EQ(a.Plan(WIN_NMS::CaptureView(changed, 64, 48, false)), Step::kFrame);
        a.FrameDone(1, true);
        EXPECT_EQ(a.Plan(view), Step::kFrame);  // and back
        a.FrameDone(1, true);
    }
    EXPECT_EQ(a.Plan(WIN_NMS::CaptureView(scene, 65, 48, false)), Step::kFrame);  // size
    EXPECT_EQ(a.Plan(WIN_NMS::CaptureView(scene, 65, 48, true)), Step::kFrame);   // mode
    RAYTR::Scene other;
    other.AddLight(light);
    EXPECT_EQ(a.Plan(WIN_NMS::CaptureView(other, 65, 48, true)), Step::kFrame);  // scene
    a.FrameDone(1, true);
    // Passes until max samples; then the picture is shown again without tracing.
    char title[96];
    for (int n = 2; n <= 5; ++n) {
        ASSERT_EQ(a.Plan(WIN_NMS::CaptureView(other, 65, 48, true)), Step::kPass);
        a.PassDone(n, 20.0f);
        a.Title(title, sizeof title, 60, false);
        EXPECT_EQ(std::string(title), "FPS=60, " + std::to_string(n) + " samples");
    }
    EXPECT_TRUE(a.Done());
    EXPECT_EQ(a.Plan(WIN_NMS::CaptureView(other, 65, 48, true)), Step::kShow);
    a.Title(title, sizeof title, 60, true);
    EXPECT_EQ(std::string(title), "converged, 5 samples");
    // A pass that moves nothing by more than half a grey level settles the picture early; a
    // picture that passes cannot change is done with its frame.
    EXPECT_EQ(a.Plan(view), Step::kFrame);
    a.FrameDone(1, true);
    a.Title(title, sizeof title, 48, false);
    EXPECT_EQ(std::string(title), "FPS=48");
    a.Plan(view);
    a.PassDone(2, 0.5f);
    EXPECT_TRUE(a.Done());
    a.Restart();
    EXPECT_EQ(a.Plan(view), Step::kFrame);
    a.FrameDone(1, false);
    EXPECT_EQ(a.Plan(view), Step::kShow);
    // Off: every display a new picture.
    a.enabled = false;
    EXPECT_EQ(a.Plan(view), Step::kFrame);
}

TEST_F(SettlingTest, KeysAreReadAndBadValuesRefusedWithTheirBox) {
    TIRN_ERROR::BoxRecorder recorder;
    config.ReadFile("release.cgf");
    const WIN_NMS::SettleKeys demo = WIN_NMS::ReadSettleKeys(config);  // the demo writes them
    EXPECT_EQ(demo.lightRadius, 0.3f);
    EXPECT_TRUE(demo.skyDome);
    EXPECT_EQ(demo.maxSamples, 256);
    EXPECT_EQ(demo.frameBudgetMs, 50.0);
    EXPECT_TRUE(demo.smooth);
    EXPECT_TRUE(demo.denoise);
    EXPECT_TRUE(demo.adaptive);
    // A file without the keys: every pixel of every frame, one sample, a point light.
    CONFIG::Lexer none;
    const WIN_NMS::SettleKeys absent = WIN_NMS::ReadSettleKeys(none);
    EXPECT_EQ(absent.lightRadius, 0.0f);
    EXPECT_FALSE(absent.skyDome);
    EXPECT_EQ(absent.maxSamples, 1);
    EXPECT_EQ(absent.frameBudgetMs, 0.0);
    EXPECT_TRUE(absent.smooth);
    EXPECT_FALSE(absent.denoise);
    EXPECT_FALSE(absent.adaptive);
    std::ofstream("rough.cgf", std::ios::trunc) << "tracer { smooth = 0 }\n";
    CONFIG::Lexer rough;
    rough.ReadFile("rough.cgf");
    EXPECT_FALSE(WIN_NMS::ReadSettleKeys(rough).smooth);
    for (const char* bad : {"scene { light_radius = -1 }", "scene { light_radius = 0.3x }", "tracer { sky = blue }",
                            "tracer { max_samples = 0 }", "tracer { max_samples = 12.5 }", "tracer { smooth = 2 }",
                            "tracer { denoise = yes }", "tracer { adaptive = 2 }"}) {
        SCOPED_TRACE(bad);
        std::ofstream("bad.cgf", std::ios::trunc) << bad << "\n";
        CONFIG::Lexer c;
        c.ReadFile("bad.cgf");
        EXPECT_THROW(WIN_NMS::ReadSettleKeys(c), TIRN_ERROR::Error);
    }
    EXPECT_EQ(recorder.Boxes().size(), 8u);
}

TEST_F(SettlingTest, ThePictureSettlesThenTheViewerRestsAndShowsItAgain) {
    // Every pixel of every frame (the frame budget's fill-in has its own test below).
    Assemble(96, 96, "threads_num = 4", "threads_num = 2\n    max_samples = 6\n    frame_budget_ms = 0");
    TIRN_ERROR::BoxRecorder recorder;
    std::vector<unsigned char> shown;
    CaptureShown(shown);
    for (const bool traced : {true, false}) {
        SCOPED_TRACE(traced ? "traced" : "hybrid");
        win.tracedImageMode = traced;
        for (int n = 1; n <= 6; ++n) {
            win.display();
            EXPECT_EQ(objects.tracer->Samples(), n);
            EXPECT_EQ(win.Resting(), n == 6);
        }
        EXPECT_TRUE(win.Resting());
        EXPECT_EQ(std::string(win.frame.title), "converged, 6 samples");
        // Shown again, not traced again: the same picture, the same samples; F11 saves it.
        const std::vector<unsigned char> settled = shown;
        win.special(WIN_NMS::kKeyF11, 0, 0);
        EXPECT_FALSE(win.Resting());  // the screenshot is taken by the next display
        win.display();
        EXPECT_EQ(objects.tracer->Samples(), 6);
        EXPECT_TRUE(shown == settled);
        EXPECT_TRUE(win.Resting());
        int saved = 0;
        for (const auto& entry : fs::directory_iterator(fs::current_path())) {
            if (entry.path().filename().string().rfind("redowl-", 0) != 0) continue;
            ++saved;
            WIN_NMS::Image image;
            ASSERT_TRUE(WIN_NMS::ReadPng(entry.path().string(), image));
            ASSERT_EQ(image.pixels.size(), settled.size());
            for (int y = 0; y < 96; ++y)  // PNG rows from the top, GL rows from the bottom
                EXPECT_EQ(0, std::memcmp(&image.pixels[static_cast<std::size_t>(95 - y) * 96 * 3],
                                         &settled[static_cast<std::size_t>(y) * 96 * 3], 96 * 3));
            fs::remove(entry.path());
        }
        EXPECT_EQ(saved, 1);
        // A moving light, or a turn of the scene, makes a new picture.
        win.frame.lightSpeed = 0.5f;
        EXPECT_FALSE(win.Resting());
        win.frame.lightSpeed = 0.0f;
        win.angleY += 1.0f;
        win.display();
        EXPECT_EQ(objects.tracer->Samples(), 1);
        for (int n = 2; n <= 6; ++n) win.display();
    }
    EXPECT_TRUE(recorder.Boxes().empty());
    win.beforeSwap = nullptr;
}

TEST_F(SettlingTest, ManyResizesKeepTexturesAndMemoryFlatAndAWindowPastTheLimitsKeepsAPicture) {
    Assemble(64, 64);
    TIRN_ERROR::BoxRecorder recorder;
    win.accumulation.enabled = false;
    // Each tracer's texture goes with it: the name of the one before is free again (or taken
    // by the new one).
    int kept = 0;
    const auto cycle = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const GLuint old = objects.tracer->TextureName(0);
            win.reshape(64 + i % 2 * 8, 64);
            win.display();
            const GLuint now = objects.tracer->TextureName(0);
            kept += now != old && glIsTexture(old) == GL_TRUE;
        }
    };
    cycle(20);  // the driver's and the allocator's first growth
    const long before = ResidentBytes();
    cycle(200);
    EXPECT_EQ(kept, 0) << "textures of tracers that are gone";
#if !defined(__SANITIZE_ADDRESS__)
    // (AddressSanitizer keeps freed blocks in quarantine, so memory grows there; its leak
    // checker watches that build instead.)
    EXPECT_LT(ResidentBytes() - before, 8l << 20) << "resident memory grew by " << (ResidentBytes() - before) << " bytes";
#endif
    // Wider than any texture the tracer may make: the largest picture it allows, no box.
    GLint largest = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &largest);
    const int wide = std::max<int>(largest, RAYTR::ScreenTracer::kMaxSide) + 100;
    win.reshape(wide, 40);
    win.display();
    EXPECT_EQ(objects.tracer->Width(), std::min<int>(largest, RAYTR::ScreenTracer::kMaxSide));
    EXPECT_EQ(objects.tracer->Height(), 40);
    EXPECT_TRUE(recorder.Boxes().empty());
    win.reshape(64, 64);
    win.display();
    EXPECT_EQ(objects.tracer->Width(), 64);
}

TEST_F(SettlingTest, WithABudgetTheTracedImageTracesALatticeThenFillsItInThenSettles) {
    Assemble(96, 96, "threads_num = 4", "threads_num = 2\n    max_samples = 3\n    frame_budget_ms = 50");
    ASSERT_EQ(win.budget.budgetMs, 50.0);
    win.tracedImageMode = true;
    // Nothing measured yet: every pixel, and the title is the rate alone.
    win.display();
    EXPECT_EQ(win.timings.latticeStep, 1);
    EXPECT_STREQ(win.timings.kind, "full");
    EXPECT_TRUE(objects.tracer->Complete());
    EXPECT_EQ(std::string(win.frame.title).find(','), std::string::npos) << win.frame.title;
    // Full traces that took 500 ms: a moving frame traces a lattice of every 4th pixel each way
    // (5 + 500 / 16 ms fits the 45 ms aimed at, 5 + 500 / 9 does not).
    for (int i = 0; i < WIN_NMS::kCostWindow; ++i) win.budget.traced.Record(WIN_NMS::FrameCost{96.0 * 96.0, 500.0, 5.0});
    win.angleY += 1.0f;
    win.display();
    EXPECT_EQ(win.timings.latticeStep, 4);
    EXPECT_STREQ(win.timings.kind, "lattice");
    EXPECT_NE(std::string(win.frame.title).find(", 1/16 of the pixels"), std::string::npos) << win.frame.title;
    EXPECT_FALSE(objects.tracer->Complete());
    EXPECT_FALSE(win.Resting());
    // The view holds still: the missing pixels first, then the passes, then rest.
    int fillFrames = 0;
    while (!objects.tracer->Complete() && fillFrames < 20) {
        win.display();
        EXPECT_STREQ(win.timings.kind, "fill-in");
        EXPECT_EQ(objects.tracer->Samples(), 1);
        ++fillFrames;
    }
    EXPECT_GE(fillFrames, 1);
    EXPECT_LE(fillFrames, 15);
    for (int n = 2; n <= 3; ++n) {
        EXPECT_FALSE(win.Resting());
        win.display();
        EXPECT_STREQ(win.timings.kind, "pass");
        EXPECT_EQ(objects.tracer->Samples(), n);
    }
    EXPECT_TRUE(win.Resting());
    // The F12 report names the budget and the frames' costs.
    std::ostringstream report;
    win.PrintStatistics(report);
    EXPECT_NE(report.str().find("frame budget: 50.0 ms"), std::string::npos) << report.str();
    // A turn of the scene: a new frame, its step now from the measured costs.
    win.angleY += 1.0f;
    win.display();
    EXPECT_EQ(objects.tracer->Samples(), 1);
    EXPECT_TRUE(std::strcmp(win.timings.kind, "lattice") == 0 || std::strcmp(win.timings.kind, "full") == 0) << win.timings.kind;
}

TEST_F(SettlingTest, AMovingHybridFrameIsCoarseOnlyWhenTheWholeWouldNotFitAndTheStillPictureIsTheWholeMasks) {
    Assemble(96, 96, "threads_num = 4", "threads_num = 2\n    max_samples = 3\n    frame_budget_ms = 50");
    win.tracedImageMode = false;
    std::vector<unsigned char> shown;
    CaptureShown(shown);
    // A whole frame that fits the budget: the whole mask while moving, and no suffix.
    win.angleY += 1.0f;
    win.display();
    EXPECT_EQ(win.timings.latticeStep, 1);
    EXPECT_TRUE(objects.tracer->Complete());
    EXPECT_EQ(std::string(win.frame.title).find(','), std::string::npos) << win.frame.title;
    // Whole frames that took 200 ms of tracing: the next moving frame masks every second
    // pixel; holding still, the whole mask, then the passes; its pictures, and those of every
    // pixel of every frame, after the same turn.
    std::vector<unsigned char> pictures[2][3];
    for (const double budget : {50.0, 0.0}) {
        win.budget.budgetMs = budget;
        for (int i = 0; i < WIN_NMS::kCostWindow; ++i) win.budget.hybrid.Record(WIN_NMS::FrameCost{96.0 * 96.0, 200.0, 5.0});
        auto& got = pictures[budget > 0.0 ? 0 : 1];
        win.angleY += 1.0f;
        win.display();
        if (budget > 0.0) {
            EXPECT_EQ(win.timings.latticeStep, 2);
            EXPECT_NE(std::string(win.frame.title).find(", 1/4 of the pixels"), std::string::npos) << win.frame.title;
            EXPECT_FALSE(objects.tracer->Complete());
            win.display();  // holding still: the whole mask
        }
        EXPECT_EQ(win.timings.latticeStep, 1);
        EXPECT_TRUE(objects.tracer->Complete());
        EXPECT_EQ(objects.tracer->Samples(), 1);
        got[0] = shown;
        for (int n = 2; n <= 3; ++n) {
            win.display();
            EXPECT_EQ(objects.tracer->Samples(), n);
            got[n - 1] = shown;
        }
        EXPECT_TRUE(win.Resting());
        win.angleY -= 1.0f;
        win.display();
    }
    for (int n = 0; n < 3; ++n) EXPECT_TRUE(pictures[0][n] == pictures[1][n]) << "sample " << n + 1;
    win.beforeSwap = nullptr;
}

TEST_F(SettlingTest, AReleaseCgfOfTheNineFirstKeysTitlesTheRateAndMasksEveryPixelOfEveryFrame) {
    std::ofstream("release.cgf", std::ios::trunc)
        << "win { width = 96 height = 96 }\n"
           "scene { N_models = 3\n"
           "        model0 = data/knot.3ds   model0_do_trace = 1\n"
           "        model1 = data/sky.3ds    model1_do_trace = 0\n"
           "        model2 = data/floor.3ds  model2_do_trace = 1 }\n"
           "tracer { threads_num = 2 use_zbuffer_values = 1\n"
           "         regular_grid { algoritm_type = accurancy_algorithm cub_less_elem_times = 0.75 } }\n";
    Assemble(96, 96);
    win.frame.lightSpeed = 0.5f;  // the light moves: every frame is a new one
    std::vector<std::uint8_t> moving, whole;
    win.beforeSwap = [&] {
        if (win.tracedImageMode) return;
        moving.assign(objects.tracer->MaskBytes(), objects.tracer->MaskBytes() + 96 * 96);
        // The whole mask of the same camera, light and depth, traced again.
        objects.tracer->TraceFrame(RAYTR::DepthWords{objects.renderer->DepthBuffer()});
        whole.assign(objects.tracer->MaskBytes(), objects.tracer->MaskBytes() + 96 * 96);
    };
    const std::regex rate("^FPS=[0-9]+$");
    for (const bool traced : {false, true}) {
        SCOPED_TRACE(traced ? "traced" : "hybrid");
        win.tracedImageMode = traced;
        for (int i = 0; i < 4; ++i) {
            win.display();
            EXPECT_TRUE(std::regex_match(std::string(win.frame.title), rate)) << win.frame.title;
            EXPECT_EQ(win.timings.latticeStep, 1);
            EXPECT_FALSE(win.Resting());
            if (!traced) {
                EXPECT_TRUE(moving == whole);
            }
        }
    }
    win.beforeSwap = nullptr;
}
