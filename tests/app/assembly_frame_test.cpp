// Scene assembly and frames in this process, on the demo scene and on broken variants of it,
// with a current GL context: the order and values of assembly, the refusals and their texts,
// the light of the first frame, pausing and resuming the light, the frame rate title, and the
// picture after a resize (fitted, with the same shadow mask as before the resize).
#include <GL/freeglut.h>
#include <GL/gl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/offscreen_target.h"
#include "app/win_main.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/tobject.h"
#include "render/render.h"
#include "tests/app/process_support.h"
#include "tests/support/gl_context.h"

namespace {

using namespace redowl_test;
using WIN_NMS::FittedRect;
using WIN_NMS::Rect;

// The working directory for the lifetime of the object (assembly opens relative paths).
class InDirectory {
public:
    explicit InDirectory(const fs::path& dir) : previous_(fs::current_path()) { fs::current_path(dir); }
    ~InDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

// The process-wide objects of the viewer, as locals; the application object goes first and
// deletes what assembly made.
struct Viewer {
    CONFIG::Lexer config;
    RAYTR::TObject models[WIN_NMS::kModelTableSize];
    RAYTR::Scene* scene = nullptr;
    WIN_NMS::Renderer* renderer = nullptr;
    RAYTR::ScreenTracer* tracer = nullptr;
    WIN_NMS::WIN_MAIN_CLASS win;

    Viewer() {
        win.SetProcessObjects({&config, models, &scene, &renderer, &tracer});
        win.width = 512;
        win.height = 512;
    }
};

class AssemblyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(EnsureGlContext()) << "these tests need an X display (the test command starts Xvfb)";
        glutReshapeWindow(512, 512);
        for (int i = 0; i < 5; ++i) glutMainLoopEvent();
    }
    TempDir dir;
};

TEST(FittedRectTest, KeepsTheAspectCentredInsideTheWindow) {
    auto same = [](Rect r, int x, int y, int w, int h) { return r.x == x && r.y == y && r.width == w && r.height == h; };
    EXPECT_TRUE(same(FittedRect(512, 512, 512, 512), 0, 0, 512, 512));
    EXPECT_TRUE(same(FittedRect(512, 512, 640, 480), 80, 0, 480, 480));   // bars left and right
    EXPECT_TRUE(same(FittedRect(512, 512, 300, 700), 0, 200, 300, 300));  // bars above and below
    EXPECT_TRUE(same(FittedRect(512, 256, 1000, 1000), 0, 250, 1000, 500));
    EXPECT_TRUE(same(FittedRect(512, 512, 1025, 1024), 0, 0, 1024, 1024)); // odd bar: origin truncates
    EXPECT_TRUE(same(FittedRect(512, 512, 640, 0), 0, 0, 0, 0));           // a zero-height window
    EXPECT_TRUE(same(FittedRect(0, 512, 640, 480), 0, 0, 0, 0));
    EXPECT_TRUE(same(FittedRect(512, 512, 100000, 1), 49999, 0, 1, 1));
}

TEST_F(AssemblyTest, DemoSceneIsAssembledInOrderWithItsValues) {
    WriteDemo(dir.path());
    InDirectory in(dir.path());
    Viewer v;
    TIRN_ERROR::BoxRecorder recorder;
    v.config.ReadFile("release.cgf");
    v.win.AssembleScene();
    EXPECT_TRUE(recorder.Boxes().empty());

    ASSERT_NE(v.scene, nullptr);
    ASSERT_NE(v.renderer, nullptr);
    ASSERT_NE(v.tracer, nullptr);
    const RAYTR::Scene& scene = *v.scene;
    // Models in table order, traced ones with all four flag bits.
    ASSERT_EQ(scene.objects.Size(), 3u);
    EXPECT_EQ(scene.objects[0].flags, 15u);
    EXPECT_EQ(scene.objects[1].flags, 3u);
    EXPECT_EQ(scene.objects[2].flags, 15u);
    EXPECT_GT(scene.objects[0].triangleCount, 1000u);
    // The fixed textures and places of models 0 to 2.
    EXPECT_EQ(scene.objects[0].textures[0].fileName, "data/texture1.bmp");
    EXPECT_EQ(scene.objects[1].textures[0].fileName, "data/SKY.bmp");
    EXPECT_EQ(scene.objects[2].textures[0].fileName, "data/texture1.bmp");
    EXPECT_FLOAT_EQ(scene.objects[0].box.transform.m[13], -1.65f);
    EXPECT_FLOAT_EQ(scene.objects[2].box.transform.m[13], -5.0f);
    EXPECT_FLOAT_EQ(scene.objects[1].box.transform.m[13], 0.0f);
    // The light: white, directional for the preview, the application's attenuation.
    ASSERT_EQ(scene.lights.Size(), 1u);
    const RAYTR::LightSource& light = scene.lights[0];
    EXPECT_EQ(light.position.x, 3.0f);
    EXPECT_EQ(light.position.y, 3.0f);
    EXPECT_EQ(light.position.z, 5.0f);
    EXPECT_EQ(light.position.w, 0.0f);
    EXPECT_EQ(light.r + light.g + light.b, 3 * 255);
    EXPECT_NEAR(light.colour.x, 0.57735f, 1e-5f);
    EXPECT_NEAR(light.colour.z, 0.57735f, 1e-5f);
    EXPECT_EQ(light.ambient, 1.0f);
    EXPECT_EQ(light.a1, 0.01f);
    EXPECT_EQ(light.a2, 0.001f);
    // The camera.
    EXPECT_EQ(scene.eye.z, 15.0f);
    EXPECT_EQ(scene.eye.w, 0.0f);
    EXPECT_EQ(scene.target.x + scene.target.y + scene.target.z, 0.0f);
    // Renderer and tracer at the window's size, the depth switch on.
    EXPECT_EQ(v.renderer->Width(), 512);
    EXPECT_EQ(v.renderer->Far(), 1000.0f);
    EXPECT_EQ(v.renderer->AttachedScene(), v.scene);
    EXPECT_EQ(v.tracer->Width(), 512);
    EXPECT_EQ(v.tracer->ThreadCount(), 4);
    EXPECT_EQ(v.tracer->AttachedScene(), v.scene);
    EXPECT_TRUE(v.tracer->useZBuffer);
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
    // Titles: the grid builds of the two traced models, then the two initialisation texts last.
    const std::vector<std::string> titles = recorder.Titles();
    ASSERT_GE(titles.size(), 4u);
    EXPECT_EQ(titles[titles.size() - 2], "Инициализация рендера");
    EXPECT_EQ(titles.back(), "Инициализация рэйтрейсера");
    EXPECT_GE(v.win.timings.assembly, 0.0);
}

TEST_F(AssemblyTest, RefusalsShowTheirBoxes) {
    WriteDemo(dir.path());
    InDirectory in(dir.path());
    struct Case {
        const char* configuration;
        const char* caption;
        const char* text;  // null: not compared
    };
    const Case cases[] = {
        {"scene { N_models = 7 }\ntracer { threads_num = 4 }\n", "Error: ",
         "scene.N_models is 7, but at most 5 models can be loaded"},
        {"tracer { threads_num = 3 }\n", "Error: ", "The screen can not be subdivided because of wrong number subscreens"},
        {"tracer { threads_num = 0 }\n", "Error: ", "The screen can not be subdivided because of wrong number subscreens"},
        {"scene { N_models = 1 model0 = data/none.3ds }\ntracer { threads_num = 4 }\n", "L3DS_Error: ", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configuration);
        std::ofstream("release.cgf", std::ios::trunc) << c.configuration;
        Viewer v;
        TIRN_ERROR::BoxRecorder recorder;
        v.config.ReadFile("release.cgf");
        EXPECT_THROW(v.win.AssembleScene(), TIRN_ERROR::Error);
        const auto boxes = recorder.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].first, c.caption);
        if (c.text) {
            EXPECT_EQ(boxes[0].second, c.text);
        }
    }
    // The fixed textures are loaded with no models configured.
    std::ofstream("release.cgf", std::ios::trunc) << "tracer { threads_num = 4 }\n";
    fs::remove("data/SKY.bmp");
    Viewer v;
    TIRN_ERROR::BoxRecorder recorder;
    v.config.ReadFile("release.cgf");
    EXPECT_THROW(v.win.AssembleScene(), TIRN_ERROR::File_Error);
    ASSERT_EQ(recorder.Boxes().size(), 1u);
    EXPECT_EQ(recorder.Boxes()[0].first, "File_Error: ");
    EXPECT_EQ(v.scene->objects.Size(), 0u);
    EXPECT_EQ(v.renderer, nullptr);
}

TEST_F(AssemblyTest, NegativeModelCountLoadsNothing) {
    WriteDemo(dir.path(), "scene { N_models = -4 }\ntracer { threads_num = 1 }\n");
    InDirectory in(dir.path());
    Viewer v;
    TIRN_ERROR::BoxRecorder recorder;
    v.config.ReadFile("release.cgf");
    v.win.display();  // assembly
    EXPECT_TRUE(recorder.Boxes().empty());
    EXPECT_FALSE(v.win.frame.firstFrame);
    EXPECT_EQ(v.scene->objects.Size(), 0u);
    EXPECT_FALSE(v.tracer->useZBuffer);
    v.win.display();  // a frame of an empty scene
    EXPECT_EQ(v.win.frame.frameCount, 1u);
}

TEST_F(AssemblyTest, FirstFrameLightPauseResumeAndRateTitle) {
    WriteDemo(dir.path());
    InDirectory in(dir.path());
    Viewer v;
    TIRN_ERROR::BoxRecorder recorder;
    v.config.ReadFile("release.cgf");
    v.win.display();  // assembly only: no frame counted
    EXPECT_EQ(v.win.frame.frameCount, 0u);
    EXPECT_EQ(v.win.frame.lightAngle, 1.0f);
    recorder.Clear();

    v.win.display();  // the first frame
    const ORVA_MATH::VECTOR& p = v.scene->lights[0].position;
    EXPECT_NEAR(p.x, 2.16121f, 2e-5f);
    EXPECT_NEAR(p.y, 2.54030f, 2e-5f);
    EXPECT_NEAR(p.z, 6.73177f, 2e-5f);
    EXPECT_EQ(p.w, 0.0f);
    EXPECT_EQ(p.x, 4.0f * static_cast<float>(std::cos(1.0)));
    EXPECT_EQ(p.z, 8.0f * static_cast<float>(std::sin(1.0)));
    // The angle moves on by speed / rate: 0.5 / 60 before any rate was measured.
    EXPECT_EQ(v.win.frame.lightAngle, 1.0f + 0.5f / 60.0f);
    EXPECT_EQ(v.win.frame.frameCount, 1u);
    // The title shows the rate as a whole number.
    const std::vector<std::string> titles = recorder.Titles();
    ASSERT_EQ(titles.size(), 1u);
    EXPECT_EQ(titles[0], "FPS=" + std::to_string(static_cast<int>(v.win.frame.frameRate)));

    // An arrow key moves the light one unit and holds it; the angle stands still.
    const float angle = v.win.frame.lightAngle;
    const ORVA_MATH::VECTOR before = v.scene->lights[0].position;
    v.win.special(WIN_NMS::kKeyLeft, 0, 0);
    v.win.special(WIN_NMS::kKeyPageDown, 0, 0);
    v.win.display();
    v.win.display();
    EXPECT_EQ(v.scene->lights[0].position.x, before.x - 1.0f);
    EXPECT_EQ(v.scene->lights[0].position.y, before.y);
    EXPECT_EQ(v.scene->lights[0].position.z, before.z + 1.0f);
    EXPECT_EQ(v.win.frame.lightAngle, angle);
    // Other keys do not resume; 'p' does, from the angle where the light stopped.
    v.win.keyboard('x', 0, 0);
    v.win.special(WIN_NMS::kKeyF2, 0, 0);
    v.win.special(WIN_NMS::kKeyF2, 0, 0);
    EXPECT_TRUE(v.win.frame.lightPaused);
    v.win.keyboard(WIN_NMS::kResumeKey, 0, 0);
    v.win.display();
    EXPECT_EQ(v.scene->lights[0].position.x, 4.0f * static_cast<float>(std::cos(static_cast<double>(angle))));
    EXPECT_GT(v.win.frame.lightAngle, angle);
    v.win.special(WIN_NMS::kKeyUp, 0, 0);
    v.win.keyboard(WIN_NMS::kResumeKeyAlt, 0, 0);  // Space resumes too
    EXPECT_FALSE(v.win.frame.lightPaused);
}

// The window's colour buffer after a frame (before the swap), RGB rows from the bottom.
std::vector<unsigned char> ReadBack(int w, int h) {
    std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 3);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

TEST_F(AssemblyTest, AfterAResizeThePictureIsFittedAndTheMaskUnchanged) {
    WriteDemo(dir.path());
    InDirectory in(dir.path());
    Viewer v;
    TIRN_ERROR::BoxRecorder recorder;
    v.config.ReadFile("release.cgf");
    v.win.reshape(512, 512);
    v.win.display();
    v.win.frame.lightSpeed = 0.0f;  // the same light in every frame

    for (const bool traced : {false, true}) {
        SCOPED_TRACE(traced ? "traced" : "hybrid");
        v.win.tracedImageMode = traced;
        glutReshapeWindow(512, 512);
        for (int i = 0; i < 5; ++i) glutMainLoopEvent();
        v.win.reshape(512, 512);
        std::vector<unsigned char> direct;
        std::vector<std::uint32_t> mask;
        v.win.beforeSwap = [&] {
            direct = ReadBack(512, 512);
            mask.assign(v.tracer->Buffer(0), v.tracer->Buffer(0) + 512 * 512);
        };
        v.win.display();

        // A wider, lower window: the 512 x 512 picture scaled to 480 x 480 between two bars.
        glutReshapeWindow(640, 480);
        for (int i = 0; i < 5; ++i) glutMainLoopEvent();
        v.win.reshape(640, 480);
        std::vector<unsigned char> fitted;
        std::vector<std::uint32_t> fittedMask;
        v.win.beforeSwap = [&] {
            fitted = ReadBack(640, 480);
            fittedMask.assign(v.tracer->Buffer(0), v.tracer->Buffer(0) + 512 * 512);
        };
        v.win.display();
        ASSERT_EQ(fitted.size(), 640u * 480u * 3u);
        // The mask is traced on the same depths as before: the projection kept near and far.
        if (!traced) {
            EXPECT_TRUE(mask == fittedMask) << "the shadow mask changed with the window size";
        }
        // Bars in the background colour.
        for (int y : {0, 240, 479})
            for (int x : {0, 79, 560, 639}) {
                const unsigned char* px = &fitted[(static_cast<std::size_t>(y) * 640 + x) * 3];
                EXPECT_EQ(px[0], 0);
                EXPECT_EQ(px[1], 0);
                EXPECT_NEAR(px[2], 64, 1);
            }
        // Inside: the direct picture sampled at the matching place.
        double difference = 0.0;
        int n = 0;
        for (int y = 8; y < 472; y += 4)
            for (int x = 88; x < 552; x += 4) {
                const int sx = static_cast<int>((x - 80 + 0.5) * 512.0 / 480.0);
                const int sy = static_cast<int>((y + 0.5) * 512.0 / 480.0);
                for (int c = 0; c < 3; ++c)
                    difference += std::abs(int(fitted[(static_cast<std::size_t>(y) * 640 + x) * 3 + c]) -
                                           int(direct[(static_cast<std::size_t>(sy) * 512 + sx) * 3 + c]));
                n += 3;
            }
        EXPECT_LT(difference / n, 12.0);

        // A zero-height window: nothing to show, nothing divided by zero.
        v.win.reshape(640, 0);
        v.win.beforeSwap = nullptr;
        v.win.display();
        EXPECT_TRUE(recorder.Boxes().empty());
    }
    v.win.beforeSwap = nullptr;
    glutReshapeWindow(512, 512);
    for (int i = 0; i < 5; ++i) glutMainLoopEvent();
}

}  // namespace
