// Scene assembly and frames in this process, on the demo scene and on broken variants of it,
// with a current GL context: the order and values of assembly, the refusals and their texts,
// the light of the first frame, pausing and resuming the light, the frame rate title, and the
// frames after a resize (a renderer and a tracer of the new size, the mask over its pixels).
#include <GL/freeglut.h>
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/camera.h"
#include "app/config.h"
#include "app/viewer_objects.h"
#include "app/win_main.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "loaders/l3ds.h"
#include "loaders/l3ds_writer.h"
#include "raytracer/scene.h"
#include "raytracer/shading.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/tobject.h"
#include "render/render.h"
#include "tests/app/process_support.h"
#include "tests/support/gl_context.h"

namespace {

using namespace redowl_test;

// The working directory for the lifetime of the object (assembly opens relative paths).
class InDirectory {
public:
    explicit InDirectory(const fs::path& dir) : previous_(fs::current_path()) { fs::current_path(dir); }
    ~InDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

// The process-wide objects of the viewer, as locals.
struct Viewer {
    WIN_NMS::ViewerObjects objects;
    CONFIG::Lexer& config = objects.config;
    WIN_NMS::WIN_MAIN_CLASS& win = objects.app;

    Viewer() {
        win.width = 512;
        win.height = 512;
    }
    RAYTR::Scene* scene() const { return objects.scene.get(); }
    WIN_NMS::Renderer* renderer() const { return objects.renderer.get(); }
    RAYTR::ScreenTracer* tracer() const { return objects.tracer.get(); }
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

TEST_F(AssemblyTest, DemoSceneIsAssembledInOrderWithItsValues) {
    WriteDemo(dir.path());
    InDirectory in(dir.path());
    Viewer v;
    TIRN_ERROR::BoxRecorder recorder;
    v.config.ReadFile("release.cgf");
    v.win.AssembleScene();
    EXPECT_TRUE(recorder.Boxes().empty());

    ASSERT_NE(v.scene(), nullptr);
    ASSERT_NE(v.renderer(), nullptr);
    ASSERT_NE(v.tracer(), nullptr);
    const RAYTR::Scene& scene = *v.scene();
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
    // The light: white, a point for the preview as for the tracer, the application's attenuation.
    ASSERT_EQ(scene.lights.Size(), 1u);
    const RAYTR::LightSource& light = scene.lights[0];
    EXPECT_EQ(light.position.x, 3.0f);
    EXPECT_EQ(light.position.y, 3.0f);
    EXPECT_EQ(light.position.z, 5.0f);
    EXPECT_EQ(light.position.w, 1.0f);
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
    EXPECT_EQ(v.renderer()->Width(), 512);
    EXPECT_EQ(v.renderer()->Far(), 1000.0f);
    EXPECT_EQ(v.renderer()->AttachedScene(), v.scene());
    EXPECT_EQ(v.tracer()->Width(), 512);
    EXPECT_EQ(v.tracer()->ThreadCount(), 4);
    EXPECT_EQ(v.tracer()->AttachedScene(), v.scene());
    EXPECT_TRUE(v.tracer()->useZBuffer);
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
        {"tracer { threads_num = -2 }\n", "Error: ",
         "The ray tracer can not run -2 threads: tracer.threads_num must be 0 (one per hardware thread) or more"},
        {"scene { N_models = 1 model0 = data/none.3ds }\ntracer { threads_num = 4 }\n", "L3DS_Error: ", nullptr},
        {"scene { camera = orbit }\ntracer { threads_num = 4 }\n", "Error: ",
         "scene.camera is orbit, but it must be fixed or frame"},
        {"scene { frame_models = 0 }\ntracer { threads_num = 4 }\n", "Error: ",
         "scene.frame_models is 0, but it must be numbers of loaded models separated by commas, such as 0 or 0,3"},
        {"scene { N_models = -5 frame_models = 0 }\ntracer { threads_num = 4 }\n", "Error: ",
         "scene.N_models is -5, so 0 models are loaded, but scene.frame_models is 0: scene.N_models must be from 1 "
         "to 5 to load the models it names"},
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
    EXPECT_EQ(v.scene()->objects.Size(), 0u);
    EXPECT_EQ(v.renderer(), nullptr);

    // A window wider than the tracer takes is no refusal: the picture is the largest it takes.
    WriteDemo(dir.path());
    Viewer wide;
    wide.config.ReadFile("release.cgf");
    GLint largest = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &largest);
    wide.win.width = std::max<int>(largest, RAYTR::ScreenTracer::kMaxSide) + 100;
    wide.win.height = 30;
    EXPECT_NO_THROW(wide.win.AssembleScene());
    ASSERT_NE(wide.tracer(), nullptr);
    EXPECT_EQ(wide.tracer()->Width(), std::min<int>(largest, RAYTR::ScreenTracer::kMaxSide));
    EXPECT_EQ(wide.renderer()->Width(), wide.tracer()->Width());
    EXPECT_EQ(recorder.Boxes().size(), 1u);
}

// The demo with "scene.camera = frame": the first view shows the knot alone (the model the
// demo's frame_models names, placed by its transform) at two thirds of the window, and a frame
// puts the eye there; turned, f frames it again from there; Home gives the first view back.
TEST_F(AssemblyTest, AFramedFirstViewFAndHome) {
    WriteDemo(dir.path());
    std::string text = ReadAll(dir.path() / "release.cgf");
    text.replace(text.find("scene {"), 7, "scene {\n    camera = frame");
    std::ofstream(dir.path() / "release.cgf", std::ios::trunc) << text;
    InDirectory in(dir.path());
    Viewer v;
    v.config.ReadFile("release.cgf");
    v.win.reshape(512, 512);
    v.win.display();  // assembly
    const RAYTR::TObject& knot = v.scene()->objects[0];
    const auto cover = [&](const WIN_NMS::OrbitView& view) {
        double low[2] = {1e9, 1e9}, high[2] = {-1e9, -1e9};
        for (unsigned i = 0; i < knot.vertexCount; ++i) {
            const ORVA_MATH::VECTOR w = ORVA_MATH::Transform(knot.vertices[i].position, knot.box.transform);
            const WIN_NMS::WindowPoint p = WIN_NMS::Project(view, WIN_NMS::Vec3{w.x, w.y, w.z}, 512, 512);
            low[0] = std::min(low[0], p.x / 512), high[0] = std::max(high[0], p.x / 512);
            low[1] = std::min(low[1], p.y / 512), high[1] = std::max(high[1], p.y / 512);
        }
        return std::max(high[0] - low[0], high[1] - low[1]);
    };
    const WIN_NMS::OrbitView first = v.win.View();
    EXPECT_EQ(first.tilt, WIN_NMS::kFirstTilt);
    EXPECT_NEAR(cover(first), 2.0 / 3.0, 1e-4);
    v.win.display();
    const ORVA_MATH::VECTOR eye = RAYTR::EyeInWorld(*v.scene());
    EXPECT_NEAR(eye.y, WIN_NMS::EyeOf(first).y, 1e-4);
    EXPECT_NEAR(eye.z, WIN_NMS::EyeOf(first).z, 1e-4);

    v.win.angleY += 30.0f;
    v.win.keyboard('f', 0, 0);
    EXPECT_EQ(v.win.angleY, first.turn + 30.0f);
    EXPECT_NEAR(cover(v.win.View()), 2.0 / 3.0, 1e-4);
    v.win.special(WIN_NMS::kKeyHome, 0, 0);
    EXPECT_EQ(v.win.angleY, first.turn);
    EXPECT_EQ(v.win.View().distance, first.distance);
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
    EXPECT_EQ(v.scene()->objects.Size(), 0u);
    EXPECT_FALSE(v.tracer()->useZBuffer);
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
    const ORVA_MATH::VECTOR& p = v.scene()->lights[0].position;
    EXPECT_NEAR(p.x, 2.16121f, 2e-5f);
    EXPECT_NEAR(p.y, 2.54030f, 2e-5f);
    EXPECT_NEAR(p.z, 6.73177f, 2e-5f);
    EXPECT_EQ(p.w, 1.0f);
    EXPECT_EQ(p.x, 4.0f * static_cast<float>(std::cos(1.0)));
    EXPECT_EQ(p.z, 8.0f * static_cast<float>(std::sin(1.0)));
    // The angle moves on by the time since the first frame, not by a rate measured from the
    // program's start: the first frame is at angle 1.
    EXPECT_EQ(v.win.frame.lightAngle, 1.0f);
    EXPECT_EQ(v.win.frame.frameCount, 1u);
    // The title shows the rate as a whole number: the whole mask fits the budget.
    const std::vector<std::string> titles = recorder.Titles();
    ASSERT_EQ(titles.size(), 1u);
    EXPECT_EQ(titles[0], "FPS=" + std::to_string(static_cast<int>(v.win.frame.frameRate)));

    // An arrow key moves the light one unit and holds it; the angle stands still.
    const float angle = v.win.frame.lightAngle;
    const ORVA_MATH::VECTOR before = v.scene()->lights[0].position;
    v.win.special(WIN_NMS::kKeyLeft, 0, 0);
    v.win.special(WIN_NMS::kKeyPageDown, 0, 0);
    v.win.display();
    v.win.display();
    EXPECT_EQ(v.scene()->lights[0].position.x, before.x - 1.0f);
    EXPECT_EQ(v.scene()->lights[0].position.y, before.y);
    EXPECT_EQ(v.scene()->lights[0].position.z, before.z + 1.0f);
    EXPECT_EQ(v.win.frame.lightAngle, angle);
    // Other keys do not resume; 'p' does, from the angle where the light stopped.
    v.win.keyboard('x', 0, 0);
    v.win.special(WIN_NMS::kKeyF2, 0, 0);
    v.win.special(WIN_NMS::kKeyF2, 0, 0);
    EXPECT_TRUE(v.win.frame.lightPaused);
    v.win.keyboard(WIN_NMS::kResumeKey, 0, 0);
    v.win.display();
    EXPECT_EQ(v.scene()->lights[0].position.x, 4.0f * static_cast<float>(std::cos(static_cast<double>(angle))));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    v.win.display();
    EXPECT_GT(v.win.frame.lightAngle, angle);
    v.win.special(WIN_NMS::kKeyUp, 0, 0);
    v.win.keyboard(WIN_NMS::kResumeKeyAlt, 0, 0);  // Space resumes too
    EXPECT_FALSE(v.win.frame.lightPaused);
}

// Sets cub_less_elem_times in the scene folder's release.cgf.
void SetGridFactor(const std::string& value) {
    std::ifstream in("release.cgf");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t at = text.find("cub_less_elem_times = ");
    EXPECT_NE(at, std::string::npos);
    text.replace(at, text.find('\n', at) - at, "cub_less_elem_times = " + value);
    std::ofstream("release.cgf") << text;
}

// The demo's knot as the scene folder holds it, to be changed and written back.
LOAD_3DS::WriterMesh DemoKnot() {
    LOAD_3DS::L3DS file;
    EXPECT_TRUE(file.LoadFromFile("data/knot.3ds"));
    const LOAD_3DS::LMesh& knot = *file.GetMesh(0);
    LOAD_3DS::WriterMesh mesh;
    mesh.name = "knot";
    for (int i = 0; i < knot.GetVertexCount(); ++i) mesh.vertices.push_back(knot.GetVertex(i));
    for (int i = 0; i < knot.GetUVCount(); ++i) mesh.uvs.push_back(knot.GetUV(i));
    for (int i = 0; i < knot.GetFaceCount(); ++i) mesh.faces.push_back(knot.GetFace(i));
    return mesh;
}

TEST_F(AssemblyTest, AStrayVertexFarAwayWarnsAndTheModelStillTraces) {
    // The knot with one more triangle reaching x = 1e30: its box is huge beside its edges, so
    // the factor 0.75 asks for too much memory (auto would not). Its mask must be the knot's
    // own but for the thin sliver of that triangle.
    WriteDemo(dir.path());
    InDirectory in(dir.path());
    SetGridFactor("0.75");
    auto mask = [](bool stray) {
        if (stray) {
            LOAD_3DS::WriterMesh mesh = DemoKnot();
            mesh.vertices.push_back({1e30f, 0.0f, 0.0f});
            if (!mesh.uvs.empty()) mesh.uvs.push_back({0.0f, 0.0f});
            mesh.faces.push_back({0, 1, static_cast<int>(mesh.vertices.size()) - 1});
            EXPECT_TRUE(LOAD_3DS::Write3DS("data/knot.3ds", {mesh}));
        }
        Viewer v;
        TIRN_ERROR::BoxRecorder recorder;
        v.config.ReadFile("release.cgf");
        v.win.reshape(512, 512);
        v.win.display();  // assembly: the warning, then on
        EXPECT_EQ(recorder.Boxes().size(), stray ? 1u : 0u);
        if (stray && !recorder.Boxes().empty()) {
            EXPECT_EQ(recorder.Boxes()[0].first, "ALERT!");
        }
        v.win.frame.lightSpeed = 0.0f;
        v.win.budget.budgetMs = 0.0;  // the whole mask of every frame
        v.win.frame.lightAngle = 2.0f;  // the knot's shadow well in view on the floor
        v.win.display();
        EXPECT_EQ(recorder.Boxes().size(), stray ? 1u : 0u);
        const std::uint32_t* b = v.tracer()->Buffer(0);
        return std::vector<std::uint32_t>(b, b + 512 * 512);
    };
    const std::vector<std::uint32_t> plain = mask(false), stray = mask(true);
    long shadowed = 0, differ = 0;
    for (std::size_t p = 0; p < plain.size(); ++p) {
        shadowed += plain[p] == RAYTR::ScreenTracer::kShadow;
        differ += plain[p] != stray[p];
    }
    EXPECT_GT(shadowed, 1000);
    // The sliver shadows a thin line on the floor; without the knot traced, the whole shadow
    // would differ.
    EXPECT_LT(differ, shadowed / 2) << shadowed;
}

// The knot with what scans and exports carry: vertices that no face uses far away and a tenth
// more faces of zero area at one point. Its grid lays its cells over the faces alone (no
// "ALERT!" at the factor 0.75), leaves the zero-area ones out, and the mask is the plain
// knot's, whose grid (the demo's "cub_less_elem_times = auto") has about 0.4 cells per face.
TEST_F(AssemblyTest, UnusedFarVerticesAndZeroAreaFacesChangeNeitherTheGridsBoxNorTheMask) {
    WriteDemo(dir.path());
    InDirectory in(dir.path());
    auto assemble = [](bool dirty, unsigned* leftOut, double* cellsPerFace) {
        if (dirty) {
            LOAD_3DS::WriterMesh mesh = DemoKnot();
            for (float far : {400.0f, -400.0f}) {  // inside the far plane, which the mesh box sets
                mesh.vertices.push_back({far, far, 0.0f});
                if (!mesh.uvs.empty()) mesh.uvs.push_back({0.0f, 0.0f});
            }
            const std::size_t faces = mesh.faces.size();
            for (std::size_t i = 0; i < faces / 10; ++i) mesh.faces.push_back({7, 7, 7});
            EXPECT_TRUE(LOAD_3DS::Write3DS("data/knot.3ds", {mesh}));
            SetGridFactor("0.75");
        }
        Viewer v;
        TIRN_ERROR::BoxRecorder recorder;
        v.config.ReadFile("release.cgf");
        v.win.reshape(512, 512);
        v.win.display();
        EXPECT_TRUE(recorder.Boxes().empty());
        const RAYTR::Grid& grid = *v.scene()->objects[0].grid;
        *leftOut = grid.LeftOut();
        const int* r = grid.Resolution();
        *cellsPerFace = double(r[0]) * r[1] * r[2] / (v.scene()->objects[0].triangleCount - grid.LeftOut());
        v.win.frame.lightSpeed = 0.0f;
        v.win.budget.budgetMs = 0.0;
        v.win.frame.lightAngle = 2.0f;
        v.win.display();
        const std::uint32_t* b = v.tracer()->Buffer(0);
        return std::vector<std::uint32_t>(b, b + 512 * 512);
    };
    unsigned plainLeftOut = 0, dirtyLeftOut = 0;
    double plainCells = 0.0, dirtyCells = 0.0;  // cells per face held
    const std::vector<std::uint32_t> plain = assemble(false, &plainLeftOut, &plainCells);
    const std::vector<std::uint32_t> dirty = assemble(true, &dirtyLeftOut, &dirtyCells);
    EXPECT_EQ(plainLeftOut, 0u);
    EXPECT_GT(dirtyLeftOut, 1000u);
    EXPECT_GT(plainCells, 0.25);
    EXPECT_LT(plainCells, 0.5);
    EXPECT_TRUE(plain == dirty);
}

// The window's colour buffer after a frame (before the swap), RGB rows from the bottom.
std::vector<unsigned char> ReadBack(int w, int h) {
    std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 3);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

TEST_F(AssemblyTest, ResizedWindowsAreTracedAtTheirOwnSizeWithTheMaskOverItsPixels) {
    // The demo scene with three tracer threads; then other thread counts in the same frames.
    WriteDemo(dir.path());
    {
        std::ifstream in(dir.path() / "release.cgf");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto at = text.find("threads_num = 4");
        ASSERT_NE(at, std::string::npos);
        text.replace(at, 15, "threads_num = 3");
        std::ofstream(dir.path() / "release.cgf", std::ios::trunc) << text;
    }
    InDirectory in(dir.path());
    Viewer v;
    TIRN_ERROR::BoxRecorder recorder;
    v.config.ReadFile("release.cgf");
    v.win.reshape(512, 512);
    v.win.display();  // assembly
    v.win.frame.lightSpeed = 0.0f;  // the same light in every frame
    v.win.budget.budgetMs = 0.0;    // and the whole mask of every frame
    ASSERT_EQ(v.tracer()->ThreadCount(), 3);

    for (auto [w, h] : {std::pair{640, 480}, std::pair{600, 600}, std::pair{1280, 720}, std::pair{17, 17}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        glutReshapeWindow(w, h);
        for (int i = 0; i < 5; ++i) glutMainLoopEvent();
        ASSERT_EQ(glutGet(GLUT_WINDOW_WIDTH), w);
        v.win.reshape(w, h);
        for (const bool traced : {false, true}) {
            SCOPED_TRACE(traced ? "traced" : "hybrid");
            v.win.tracedImageMode = traced;
            std::vector<unsigned char> picture;
            std::vector<std::uint32_t> mask;
            v.win.beforeSwap = [&] {
                picture = ReadBack(w, h);
                mask.assign(v.tracer()->Buffer(0), v.tracer()->Buffer(0) + w * h);
            };
            v.win.display();
            v.win.beforeSwap = nullptr;
            ASSERT_EQ(v.tracer()->Width(), w);
            ASSERT_EQ(v.tracer()->Height(), h);
            ASSERT_EQ(v.renderer()->Width(), w);
            ASSERT_EQ(v.renderer()->Height(), h);
            EXPECT_EQ(v.tracer()->ThreadCount(), 3);
            EXPECT_TRUE(v.tracer()->useZBuffer);
            EXPECT_EQ(v.renderer()->Far(), 1000.0f);
            long shadowed = 0, brightShadow = 0, lit = 0;
            const std::uint8_t* shown = v.tracer()->ShownMaskBytes();
            for (int p = 0; p < w * h; ++p) {
                const unsigned char* px = &picture[static_cast<std::size_t>(p) * 3];
                const int brightest = std::max({px[0], px[1], px[2]});
                if (traced) {
                    lit += brightest > 40;
                } else if (mask[static_cast<std::size_t>(p)] == RAYTR::ScreenTracer::kShadow) {
                    ++shadowed;
                    // Every shadowed pixel is darkened on screen, to its ambient share of the
                    // preview (a surface facing away from the light stays as the preview has it).
                    brightShadow += shown[static_cast<std::size_t>(p)] == 255 && brightest > 120;
                } else {
                    ASSERT_EQ(mask[static_cast<std::size_t>(p)], RAYTR::ScreenTracer::kLit) << p % w << "," << p / w;
                    lit += brightest > 40;
                }
            }
            EXPECT_EQ(brightShadow, 0) << "of " << shadowed << " shadowed pixels";
            EXPECT_GT(lit, long(w) * h / 8) << "the picture shows the scene";
            if (!traced && w >= 600) {
                EXPECT_GT(shadowed, 10000) << "the knot casts its shadow";
            }
        }
    }
    // Other thread counts in the same window; a minimised window pauses without tracing.
    for (int n : {1, 0}) {
        v.objects.tracer = std::make_unique<RAYTR::ScreenTracer>(17, 17, n);
        v.objects.tracer->AttachScene(v.scene());
        v.win.display();
        EXPECT_EQ(v.tracer()->Width(), 17);
    }
    const RAYTR::ScreenTracer* before = v.tracer();
    const std::uint32_t frames = v.win.frame.frameCount;
    v.win.reshape(640, 0);
    v.win.display();
    EXPECT_EQ(v.tracer(), before);
    EXPECT_EQ(v.win.frame.frameCount, frames);
    EXPECT_TRUE(recorder.Boxes().empty());
    v.win.beforeSwap = nullptr;
    glutReshapeWindow(512, 512);
    for (int i = 0; i < 5; ++i) glutMainLoopEvent();
}

}  // namespace
