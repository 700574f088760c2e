// The OpenGL preview, its depth read-back and the overlay, drawn with the real renderer into the
// test window (software OpenGL under Xvfb), and checked against the screen tracer.

#include "render/render.h"

#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/camera.h"
#include "app/win_main.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/shading.h"
#include "tests/raytracer/screen_test_scene.h"
#include "tests/support/gl_context.h"

namespace {

using RAYTR::ScreenTracer;
using redowl_test::VECTOR;

constexpr int kSize = 512;

class RenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(redowl_test::EnsureGlContext(kSize, kSize));
        ASSERT_GE(glutGet(GLUT_WINDOW_WIDTH), kSize);
        ASSERT_GE(glutGet(GLUT_WINDOW_HEIGHT), kSize);
        glViewport(0, 0, kSize, kSize);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
    }
};

std::vector<std::uint8_t> ReadColour() {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(kSize * kSize * 3));
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, kSize, kSize, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
    return rgb;
}

// World point of mask element p from the depth buffer, as MaskPixel reconstructs it.
VECTOR DepthPoint(const ScreenTracer& tracer, int p) {
    const VECTOR r = tracer.Mask().Reconstruct(p);
    return ORVA_MATH::ColumnTransform(tracer.Camera().DepthToWorld(), VECTOR(-r.x, r.y, r.z, 1.0f));
}

struct MaskRates {
    double depthRate, rayRate;
};

// Adaptive mask against MaskPixel on every pixel, with and without depth; the brute-force
// values in `exact`.
double AdaptiveAgreement(ScreenTracer& tracer, RAYTR::DepthWords depth, std::vector<std::uint32_t>& exact) {
    tracer.TraceFrame(depth);
    exact.resize(kSize * kSize);
    long same = 0;
    for (int p = 0; p < kSize * kSize; ++p) {
        exact[p] = tracer.Mask().MaskPixel(p);
        same += tracer.Buffer()[p] == exact[p];
    }
    return double(same) / double(kSize * kSize);
}

}  // namespace

TEST_F(RenderTest, AnEmptySceneShowsTheBackgroundAndTheLightMarker) {
    RAYTR::Scene scene;
    redowl_test::SetAssemblyCamera(scene);
    scene.AddLight(redowl_test::AssemblyLight(VECTOR(0.0f, 0.0f, 0.0f, 0.0f)));
    Renderer render(kSize, kSize);
    render.AttachScene(&scene);
    EXPECT_EQ(render.Near(), 1.0f);
    EXPECT_EQ(render.Far(), 1000.0f);
    render.DrawPreview();
    const std::vector<std::uint8_t> rgb = ReadColour();
    // Dark blue in the corner, the white marker sphere at the centre (the light at the target).
    EXPECT_EQ(rgb[0], 0);
    EXPECT_EQ(rgb[1], 0);
    EXPECT_NEAR(rgb[2], 64, 1);
    const std::size_t centre = (static_cast<std::size_t>(kSize / 2) * kSize + kSize / 2) * 3;
    EXPECT_EQ(rgb[centre], 255);
    EXPECT_EQ(rgb[centre + 1], 255);
    EXPECT_EQ(rgb[centre + 2], 255);
    // The light position the preview used, and the depth: far everywhere but the marker.
    EXPECT_EQ(render.LightPosition()[3], 0.0f);  // as the scene's light: w = 0, a direction
    const std::uint32_t* depth = render.ReadDepthBuffer();
    EXPECT_EQ(depth, render.DepthBuffer());
    EXPECT_EQ(RAYTR::DepthFromWord(depth[0]), 1.0f);
    EXPECT_LT(RAYTR::DepthFromWord(depth[(kSize / 2) * kSize + kSize / 2]), 1.0f);
}

TEST_F(RenderTest, PreviewAndTracerAgreeOnTheVisiblePoints) {
    RAYTR::Scene* scene = redowl_test::DemoScene();
    ASSERT_NE(scene, nullptr);
    scene->lights[0].position = redowl_test::FirstFrameLight();
    Renderer render(kSize, kSize);
    render.AttachScene(scene);
    ScreenTracer tracer(kSize, kSize, 4);
    tracer.AttachScene(scene);
    tracer.useZBuffer = true;
    // Straight on; turned as a mouse drag turns it; then, turned, zoomed three times nearer to
    // the knot's surface under a point off the window's centre and panned (the eye off the
    // axis it always had), and twenty times nearer still to the same point, so close that the
    // near plane moves in and the depth is read through it. (The scene is shared: its camera
    // is put back afterwards.)
    const VECTOR savedEye = scene->eye, savedTarget = scene->target;
    const float savedNear = scene->nearDistance, savedFar = scene->farDistance;
    WIN_NMS::WIN_MAIN_CLASS app;  // its camera arithmetic, without a window of its own
    app.ApplySize(kSize, kSize);
    std::vector<WIN_NMS::OrbitView> views(2);
    views[1].tilt = 20.0f;
    views[1].turn = 35.0f;
    // The knot's surface under window point (x, y), if the ray there meets the knot.
    const auto knotAt = [&](const WIN_NMS::OrbitView& view, double x, double y, WIN_NMS::Vec3& point) {
        WIN_NMS::Vec3 origin, direction;
        WIN_NMS::WindowRay(view, x, y, kSize, kSize, origin, direction);
        RAYTR::RayHit hit;
        const bool found = RAYTR::ClosestHit(
            RAYTR::Ray(VECTOR(float(origin.x), float(origin.y), float(origin.z), 1.0f),
                       VECTOR(float(direction.x), float(direction.y), float(direction.z), 0.0f)),
            *scene, hit);
        const VECTOR p = RAYTR::HitPointInWorld(hit);
        point = WIN_NMS::Vec3{p.x, p.y, p.z};
        return found && p.y > -4.9f;  // above the floor
    };
    double x = 300.5, y = 300.5;
    WIN_NMS::Vec3 onKnot;
    while (!knotAt(views[1], x, y, onKnot) && x > 256.0) x -= 4.0, y -= 4.0;
    ASSERT_TRUE(knotAt(views[1], x, y, onKnot));
    views.push_back(WIN_NMS::Pan(WIN_NMS::ZoomTowards(views[1], onKnot, 3.0, {}), 40.0, -25.0, kSize));
    views.push_back(WIN_NMS::ZoomTowards(views[2], onKnot, 20.0, {}));
    for (const WIN_NMS::OrbitView& view : views) {
        const float angles[2] = {view.tilt, view.turn};
        app.SetView(view);
        glMatrixMode(GL_MODELVIEW);
        app.PlaceCamera(*scene);
        render.DrawPreview();
        tracer.TraceFrame(RAYTR::DepthWords{render.ReadDepthBuffer()});
        // Every 4th pixel each way: where both see a surface, the points must coincide. The
        // depth is sampled at the pixel centre and the ray runs through its corner, so the
        // tolerance follows the pixel's footprint: 1% of the distance from the eye.
        const VECTOR eye = ORVA_MATH::ColumnTransform(tracer.Camera().CameraToWorld(), VECTOR(0.0f, 0.0f, 0.0f, 1.0f));
        long both = 0, close = 0, total = 0;
        double worst = 0.0;
        for (int r = 8; r < kSize - 8; r += 4)
            for (int c = 8; c < kSize - 8; c += 4) {
                const int p = r * kSize + c;
                ++total;
                RAYTR::RayHit hit;
                if (!tracer.Mask().PrimaryHit(p, hit)) continue;
                const VECTOR a = DepthPoint(tracer, p);
                const VECTOR b = RAYTR::HitPointInWorld(hit);
                // Beyond 40 units only the floor is seen, at angles so grazing that one pixel
                // covers more than 1% of the distance along it.
                if (ORVA_MATH::Length(b - eye) > 40.0f) continue;
                ++both;
                const double relative = ORVA_MATH::Length(a - b) / ORVA_MATH::Length(b - eye);
                if (relative < 0.01) ++close;
                if (relative > worst) worst = relative;
            }
        std::printf("view (%g, %g), %g from the centre: %ld of %ld traced points within 1%% of their distance "
                    "(worst %.3f)\n", angles[0], angles[1], view.distance, close, both, worst);
        EXPECT_GT(both, total / 4) << "the view must show the traced models";
        // Silhouettes: a ray just inside an edge may meet a depth sample just outside it.
        EXPECT_GE(double(close) / double(both), 0.97);
        EXPECT_EQ(render.Near(), scene->nearDistance);
        EXPECT_EQ(tracer.Camera().Near(), scene->nearDistance);
        EXPECT_EQ(tracer.Camera().Far(), scene->farDistance);
    }
    EXPECT_LT(scene->nearDistance, 0.2f);  // the last view came that close
    scene->eye = savedEye;
    scene->target = savedTarget;
    scene->nearDistance = savedNear;
    scene->farDistance = savedFar;
}

TEST_F(RenderTest, AdaptiveMaskAgreesWithBruteForceOnTheDemoScene) {
    RAYTR::Scene* scene = redowl_test::DemoScene();
    ASSERT_NE(scene, nullptr);
    const float noTurn[2] = {0.0f, 0.0f};
    glMatrixMode(GL_MODELVIEW);
    scene->SetViewRotation(noTurn);
    Renderer render(kSize, kSize);
    render.AttachScene(scene);
    ScreenTracer tracer(kSize, kSize, 4);
    tracer.AttachScene(scene);
    // Light positions along the animation path (angle a: (4 cos a, cos a + 2, 8 sin a)).
    for (double a : {1.0, 2.5, 4.0, 5.5}) {
        const VECTOR light(4.0f * float(std::cos(a)), float(std::cos(a)) + 2.0f, 8.0f * float(std::sin(a)), 0.0f);
        scene->lights[0].position = light;
        render.DrawPreview();
        tracer.useZBuffer = true;
        // The depth as words, converted by the tracer, against the driver's own float values:
        // the same depths (bit for bit on a 32-bit depth buffer, within rounding on a 24-bit
        // one) and the same mask.
        std::vector<std::uint32_t> fromDepth, fromRays;
        const double depthRate = AdaptiveAgreement(tracer, RAYTR::DepthWords{render.ReadDepthBuffer()}, fromDepth);
        const std::vector<std::uint32_t> fromWords(tracer.Buffer(), tracer.Buffer() + kSize * kSize);
        std::vector<float> floats(static_cast<std::size_t>(kSize * kSize));
        glReadPixels(0, 0, kSize, kSize, GL_DEPTH_COMPONENT, GL_FLOAT, floats.data());
        float worst = 0.0f;
        for (int p = 0; p < kSize * kSize; ++p)
            worst = std::max(worst, std::fabs(RAYTR::DepthFromWord(render.DepthBuffer()[p]) - floats[p]));
        EXPECT_LE(worst, 1.2e-7f);
        tracer.TraceFrame(floats.data());
        long same = 0;
        for (int p = 0; p < kSize * kSize; ++p) same += tracer.Buffer()[p] == fromWords[static_cast<std::size_t>(p)];
        EXPECT_GE(double(same) / (kSize * kSize), 0.999);
        tracer.useZBuffer = false;
        const double rayRate = AdaptiveAgreement(tracer, RAYTR::DepthWords{}, fromRays);
        // A point read from the depth leaves the surface to the light's side as a ray's hit
        // does, so the two masks differ only where a pixel's depth and its ray see different
        // surfaces (silhouettes), not in specks of self-shadowing.
        long agree = 0;
        for (int p = 0; p < kSize * kSize; ++p) agree += fromDepth[p] == fromRays[p];
        const double depthVsRays = double(agree) / (kSize * kSize);
        std::printf("light angle %.1f: adaptive = brute force on %.4f (depth) and %.4f (primary rays); "
                    "depth = rays on %.4f\n", a, depthRate, rayRate, depthVsRays);
        EXPECT_GE(depthRate, 0.99);
        EXPECT_GE(rayRate, 0.99);
        EXPECT_GE(depthVsRays, 0.99);
    }
}

TEST_F(RenderTest, HiddenBackFacesAreSkippedWithoutChangingThePictureOrTheDepth) {
    RAYTR::Scene* scene = redowl_test::DemoScene();
    ASSERT_NE(scene, nullptr);
    Renderer render(kSize, kSize);
    render.AttachScene(scene);
    // The knot closes an outward surface; the sky dome faces inward; the floor is open.
    EXPECT_TRUE(render.ClosedOutward(0));
    EXPECT_FALSE(render.ClosedOutward(1));
    EXPECT_FALSE(render.ClosedOutward(2));
    const auto draw = [&](bool cull) {
        render.cullHiddenBackFaces = cull;
        render.DrawPreview();
        std::vector<std::uint8_t> picture = ReadColour();
        const std::uint32_t* depth = render.ReadDepthBuffer();
        return std::pair{picture, std::vector<std::uint32_t>(depth, depth + kSize * kSize)};
    };
    // Straight on, from below the floor, turned about both axes.
    const float views[3][2] = {{0.0f, 0.0f}, {-60.0f, 0.0f}, {25.0f, -40.0f}};
    for (const auto& angles : views) {
        glMatrixMode(GL_MODELVIEW);
        scene->SetViewRotation(angles);
        const auto all = draw(false);
        EXPECT_EQ(render.CulledLastPreview(), 0);
        const auto culled = draw(true);
        EXPECT_EQ(render.CulledLastPreview(), 1);
        // The picture too, but for a silhouette pixel now and then where a back face won the
        // depth (below) and the point light gives it a colour a level apart.
        int bytesApart = 0, furthest = 0;
        for (std::size_t i = 0; i < all.first.size(); ++i) {
            const int d = std::abs(int(all.first[i]) - int(culled.first[i]));
            bytesApart += d != 0;
            furthest = std::max(furthest, d);
        }
        EXPECT_LE(bytesApart, 8) << "view " << angles[0] << ", " << angles[1];
        EXPECT_LE(furthest, 1) << "view " << angles[0] << ", " << angles[1];
        // The depth too, but where a back face's rounded depth at a silhouette pixel comes out
        // a hair nearer than the front face's (it then won that pixel's depth, not its colour).
        int differ = 0;
        float worst = 0.0f;
        for (int p = 0; p < kSize * kSize; ++p) {
            if (all.second[p] == culled.second[p]) continue;
            ++differ;
            worst = std::max(worst, std::fabs(RAYTR::DepthFromWord(all.second[p]) - RAYTR::DepthFromWord(culled.second[p])));
        }
        EXPECT_LE(differ, 16) << "view " << angles[0] << ", " << angles[1];
        EXPECT_LT(worst, 1e-5f);
    }
    // An eye inside the knot's box sees its inside: every face is drawn.
    const VECTOR eye = scene->eye;
    scene->eye = VECTOR(0.0f, 0.0f, 0.5f, 0.0f);
    draw(true);
    EXPECT_EQ(render.CulledLastPreview(), 0);
    scene->eye = eye;
    const float noTurn[2] = {0.0f, 0.0f};
    scene->SetViewRotation(noTurn);
}

TEST_F(RenderTest, OverlayMultipliesThePreviewByTheMask) {
    RAYTR::Scene* scene = redowl_test::DemoScene();
    ASSERT_NE(scene, nullptr);
    const float noTurn[2] = {0.0f, 0.0f};
    glMatrixMode(GL_MODELVIEW);
    scene->SetViewRotation(noTurn);
    Renderer render(kSize, kSize);
    render.AttachScene(scene);
    ScreenTracer tracer(kSize, kSize, 4);
    tracer.AttachScene(scene);

    render.DrawPreview();
    const std::vector<std::uint8_t> preview = ReadColour();
    GLfloat projectionBefore[16];
    glGetFloatv(GL_PROJECTION_MATRIX, projectionBefore);

    // Mask element r*W + c covers window pixel (c, r): lit left of x = 200, shadow right of it.
    auto overlay = [&](auto value) {
        render.DrawPreview();
        // The texture goes up from the shown bytes, which the blocks write beside the words.
        std::uint8_t* bytes = tracer.ShownMaskBytes();
        for (int r = 0; r < kSize; ++r)
            for (int c = 0; c < kSize; ++c) bytes[r * kSize + c] = static_cast<std::uint8_t>(value(r, c) >> 24);
        tracer.UploadTexture(0);
        tracer.BindTexture(0);
        render.DrawOverlay();
        return ReadColour();
    };
    const std::vector<std::uint8_t> ones = overlay([](int, int) { return ScreenTracer::kLit; });
    const std::vector<std::uint8_t> zeros = overlay([](int, int) { return ScreenTracer::kShadow; });
    const std::vector<std::uint8_t> split =
        overlay([](int, int c) { return c < 200 ? ScreenTracer::kLit : ScreenTracer::kShadow; });

    long changed = 0, lit = 0;
    for (std::size_t i = 0; i < preview.size(); ++i) {
        changed += std::abs(int(ones[i]) - int(preview[i])) > 1;
        lit += zeros[i] != 0;
    }
    EXPECT_EQ(changed, 0) << "an all-ones mask must leave the preview unchanged";
    EXPECT_EQ(lit, 0) << "an all-zeros mask must turn the window black";
    // The split runs along window x: columns left of 200 keep the preview, the rest is black.
    long wrong = 0;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x)
            for (int k = 0; k < 3; ++k) {
                const std::size_t i = (static_cast<std::size_t>(y) * kSize + x) * 3 + k;
                if (x < 200)
                    wrong += std::abs(int(split[i]) - int(preview[i])) > 1;
                else
                    wrong += split[i] != 0;
            }
    EXPECT_EQ(wrong, 0);

    // The overlay leaves no lasting state behind.
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(mode, GL_MODELVIEW);
    GLfloat projectionAfter[16];
    glGetFloatv(GL_PROJECTION_MATRIX, projectionAfter);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(projectionAfter[i], projectionBefore[i]);

    // Entered with state other than a frame leaves (lighting and depth test off, blending on
    // with another function, another colour), it leaves that state as it found it.
    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ONE);
    glColor4f(0.25f, 0.5f, 0.75f, 1.0f);
    render.DrawOverlay();
    EXPECT_FALSE(glIsEnabled(GL_LIGHTING));
    EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(glIsEnabled(GL_BLEND));
    GLint source = 0, destination = 0;
    glGetIntegerv(GL_BLEND_SRC, &source);
    glGetIntegerv(GL_BLEND_DST, &destination);
    EXPECT_EQ(source, GL_ONE);
    EXPECT_EQ(destination, GL_ONE);
    GLfloat colour[4];
    glGetFloatv(GL_CURRENT_COLOR, colour);
    EXPECT_EQ(colour[0], 0.25f);
    EXPECT_EQ(colour[2], 0.75f);
    glEnable(GL_LIGHTING);
    glEnable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
}

TEST_F(RenderTest, TracedImageIsCopiedUnchangedAndClippedToTheImage) {
    Renderer render(kSize, kSize);
    glEnable(GL_TEXTURE_2D);  // as after assembly: the copy must not be textured
    // A pattern whose every pixel differs from its neighbours, rows from the bottom.
    const int w = 300, h = 200;
    std::vector<std::uint32_t> image(static_cast<std::size_t>(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::uint8_t bytes[4] = {std::uint8_t(x), std::uint8_t(y), std::uint8_t(x ^ y), 255};
            std::memcpy(&image[static_cast<std::size_t>(y * w + x)], bytes, 4);
        }
    glClearColor(0.0f, 0.0f, 0.25f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    // A window larger than the image: only the image's 300 x 200 pixels are drawn.
    ORVA_GRAPHICS::DrawTracedImage(image.data(), w, h, kSize, kSize);
    std::vector<std::uint8_t> rgb = ReadColour();
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            const std::uint8_t* px = &rgb[(static_cast<std::size_t>(y) * kSize + x) * 3];
            if (x < w && y < h) {
                ASSERT_EQ(px[0], std::uint8_t(x)) << x << "," << y;
                ASSERT_EQ(px[1], std::uint8_t(y)) << x << "," << y;
                ASSERT_EQ(px[2], std::uint8_t(x ^ y)) << x << "," << y;
            } else {
                ASSERT_EQ(px[0], 0) << x << "," << y;
                ASSERT_NEAR(px[2], 64, 1) << x << "," << y;
            }
        }
    // A window smaller than the image: clipped to the window's 100 x 50.
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    ORVA_GRAPHICS::DrawTracedImage(image.data(), w, h, 100, 50);
    rgb = ReadColour();
    EXPECT_EQ(rgb[(static_cast<std::size_t>(49) * kSize + 99) * 3], 99);
    EXPECT_EQ(rgb[(static_cast<std::size_t>(50) * kSize + 99) * 3], 0);
    EXPECT_EQ(rgb[(static_cast<std::size_t>(49) * kSize + 100) * 3], 0);
    // The state is as before.
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
    GLint rowLength = -1;
    glGetIntegerv(GL_UNPACK_ROW_LENGTH, &rowLength);
    EXPECT_EQ(rowLength, 0);
}

// The full trace of the demo: the same bytes for 1, 4 and 16 workers, and only a few pixels,
// those that stood out from their neighbours in the plain one-ray-per-pixel image, smoothed,
// which leaves fewer one-pixel specks (redowl-speck-count's rule: below 0.6 of the darker or above 1.6
// times the brighter neighbour of a pair, beside 40).
TEST_F(RenderTest, FullTraceIsTheSameForAnyWorkerCountAndSmoothsOnlyPixelsThatStandOut) {
    RAYTR::Scene* scene = redowl_test::DemoScene();
    ASSERT_NE(scene, nullptr);
    const float noTurn[2] = {0.0f, 0.0f};
    glMatrixMode(GL_MODELVIEW);
    scene->SetViewRotation(noTurn);
    scene->lights[0].position = redowl_test::FirstFrameLight();
    constexpr int size = 256;
    std::vector<std::uint32_t> frames[3];
    int k = 0;
    for (int n : {1, 4, 16}) {
        ScreenTracer tracer(size, size, n);
        tracer.AttachScene(scene);
        const std::uint32_t* image = tracer.TraceFullFrame();
        frames[k++].assign(image, image + size * size);
    }
    EXPECT_EQ(frames[0], frames[1]);
    EXPECT_EQ(frames[0], frames[2]);
    // The plain image: one Shade per pixel's ray (the frame set the camera matrices).
    ScreenTracer tracer(size, size, 1);
    tracer.AttachScene(scene);
    tracer.TraceFullFrame();
    std::vector<float> plain(size * size), final(size * size);
    auto luminance = [](std::uint32_t word) {
        std::uint8_t b[4];
        std::memcpy(b, &word, 4);
        return 0.299f * b[0] + 0.587f * b[1] + 0.114f * b[2];
    };
    long changed = 0;
    for (int p = 0; p < size * size; ++p) {
        RAYTR::RayHit hit;
        const VECTOR c = RAYTR::Shade(tracer.Camera().PixelRay(p / size, p % size), hit, 1, *scene);
        auto byte = [](float v) { return v * 255.0f > 0.0f ? (v * 255.0f >= 255.0f ? 255 : int(v * 255.0f)) : 0; };
        plain[p] = 0.299f * byte(c.x) + 0.587f * byte(c.z) + 0.114f * byte(c.y);
        final[p] = luminance(frames[0][p]);
        changed += plain[p] != final[p];
    }
    auto specks = [&](const std::vector<float>& l, float low, float high, float floor) {
        auto out = [&](float v, float a, float b) {
            return (std::min(a, b) > floor && v < low * std::min(a, b)) || (v > floor && v > high * std::max(a, b));
        };
        long count = 0;
        for (int r = 1; r + 1 < size; ++r)
            for (int c = 1; c + 1 < size; ++c) {
                const int p = r * size + c;
                count += out(l[p], l[p - 1], l[p + 1]) || out(l[p], l[p - size], l[p + size]);
            }
        return count;
    };
    // Every smoothed pixel stood out in the plain image (the tracer's wider rule: 0.8, 1.25, 30).
    for (int r = 1; r + 1 < size; ++r)
        for (int c = 1; c + 1 < size; ++c) {
            const int p = r * size + c;
            if (plain[p] == final[p]) continue;
            auto out = [&](float v, float a, float b) {
                return (std::min(a, b) > 30.0f && v < 0.8f * std::min(a, b)) || (v > 30.0f && v > 1.25f * std::max(a, b));
            };
            EXPECT_TRUE(out(plain[p], plain[p - 1], plain[p + 1]) || out(plain[p], plain[p - size], plain[p + size]))
                << r << "," << c;
        }
    const long before = specks(plain, 0.6f, 1.6f, 40.0f), after = specks(final, 0.6f, 1.6f, 40.0f);
    std::printf("full trace %dx%d: %ld pixels smoothed, specks %ld -> %ld\n", size, size, changed, before, after);
    EXPECT_GT(changed, 0);
    EXPECT_LT(changed, size * size / 20);
    EXPECT_LT(after * 2, before);
}

TEST_F(RenderTest, AMovingFramesMaskIsTheWindowsOwnAtEverySecondPixelAndKeepsShadowsOnTheirSurfaces) {
    RAYTR::Scene* scene = redowl_test::DemoScene();
    ASSERT_NE(scene, nullptr);
    const float noTurn[2] = {0.0f, 0.0f};
    glMatrixMode(GL_MODELVIEW);
    scene->SetViewRotation(noTurn);
    // Odd sides: the coarse screen's last row and column are the window's last.
    const int w = 301, h = 217;
    Renderer render(w, h);
    render.AttachScene(scene);
    render.DrawPreview();
    const std::vector<std::uint32_t> depth(render.ReadDepthBuffer(), render.ReadDepthBuffer() + w * h);
    ScreenTracer whole(w, h, 3), moving(w, h, 3), alone(w, h, 1);
    for (ScreenTracer* t : {&whole, &moving, &alone}) {
        t->AttachScene(scene);
        t->useZBuffer = true;
    }
    whole.TraceFrame(RAYTR::DepthWords{depth.data()});
    const std::vector<std::uint8_t> full(whole.MaskBytes(), whole.MaskBytes() + w * h);
    moving.TraceCoarseMask(RAYTR::DepthWords{depth.data()});
    alone.TraceCoarseMask(RAYTR::DepthWords{depth.data()});
    EXPECT_EQ(moving.MaskStep(), 2);
    EXPECT_FALSE(moving.Complete());
    ASSERT_EQ(moving.Mask().CoarseWidth(), 151);
    ASSERT_EQ(moving.Mask().CoarseHeight(), 109);

    // Its pixel (r, c) is the window's (2r, 2c): the same mask value, its surface's normal from
    // the depth two pixels away.
    int compared = 0;
    for (int r = 0; r < moving.Mask().CoarseHeight(); ++r)
        for (int c = 0; c < moving.Mask().CoarseWidth(); ++c)
            if ((r * 7 + c) % 11 == 0) {
                ASSERT_EQ(moving.Mask().MaskValue(2 * r, 2 * c, 2), whole.Mask().MaskPixel(2 * r * w + 2 * c)) << r << ", " << c;
                ++compared;
            }
    EXPECT_GT(compared, 1000);

    // Every window pixel: the whole mask's value but near the whole mask's edges (a shadow's
    // edge found at half the resolution), never far from them (a shadow carried onto another
    // surface, or the coarse mask laid off its pixels); the same for any thread count.
    const std::uint8_t* shown = moving.MaskBytes();
    EXPECT_EQ(0, std::memcmp(shown, alone.MaskBytes(), static_cast<std::size_t>(w) * h));
    const auto nearEdge = [&](int y, int x) {
        for (int dy = -3; dy <= 3; ++dy)
            for (int dx = -3; dx <= 3; ++dx) {
                const int yy = std::clamp(y + dy, 0, h - 1), xx = std::clamp(x + dx, 0, w - 1);
                if (full[yy * w + xx] != full[y * w + x]) return true;
            }
        return false;
    };
    int differ = 0, farFromEdges = 0, shadowed = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            shadowed += full[y * w + x] == 0;
            if (shown[y * w + x] == full[y * w + x]) continue;
            ++differ;
            farFromEdges += !nearEdge(y, x);
        }
    EXPECT_GT(shadowed, w * h / 50);  // the scene has shadows to compare
    EXPECT_LT(differ, w * h / 50);
    EXPECT_LE(farFromEdges, w * h / 2000);

    // A settling pass would add to a mask with pixels that are not their own: the picture
    // refuses it. The next still frame traces the whole mask again: the full mask's bytes.
    {
        TIRN_ERROR::BoxRecorder recorder;
        EXPECT_THROW(moving.AccumulatePass(), TIRN_ERROR::Error);
        EXPECT_EQ(recorder.Boxes().size(), 1u);
    }
    moving.TraceFrame(RAYTR::DepthWords{depth.data()});
    EXPECT_EQ(moving.MaskStep(), 1);
    EXPECT_TRUE(moving.Complete());
    EXPECT_EQ(0, std::memcmp(moving.MaskBytes(), full.data(), full.size()));
    EXPECT_EQ(moving.AccumulatePass(), 0.0f);  // a point light: the same mask in every pass
    EXPECT_EQ(moving.Samples(), 2);
}
