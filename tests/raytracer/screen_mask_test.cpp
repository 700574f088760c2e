// The per-pixel pieces of the screen tracer with literal values: depth coefficients, ray tables,
// depth transposition and reconstruction, and the block refinement rules.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "tests/raytracer/screen_test_scene.h"
#include "tests/support/gl_context.h"

namespace {

using RAYTR::ScreenTracer;
using redowl_test::VECTOR;

class ScreenMaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(redowl_test::EnsureGlContext());
        // No objects and one light: every traced pixel is lit, so a 0 in the mask can only
        // come from a fill.
        scene.AddLight(redowl_test::AssemblyLight(VECTOR(0.0f, 5.0f, 5.0f, 0.0f)));
        redowl_test::SetAssemblyCamera(scene);
    }
    RAYTR::Scene scene;
};

}  // namespace

TEST_F(ScreenMaskTest, DepthCoefficientsFollowNearAndFar) {
    ScreenTracer tracer(16, 16, 1);
    tracer.AttachScene(&scene);
    EXPECT_FLOAT_EQ(tracer.DepthA(), 1000.0f / 999.0f);
    EXPECT_FLOAT_EQ(tracer.DepthB(), 1000.0f / 999.0f);
    scene.nearDistance = 2.0f;
    scene.farDistance = 100.0f;
    tracer.AttachScene(&scene);
    EXPECT_FLOAT_EQ(tracer.DepthA(), 200.0f / 98.0f);
    EXPECT_FLOAT_EQ(tracer.DepthB(), 102.0f / 196.0f + 0.5f);
    EXPECT_EQ(tracer.Near(), 2.0f);
    EXPECT_EQ(tracer.Far(), 100.0f);
}

TEST_F(ScreenMaskTest, RayTablesSpanTwentyTwoAndAHalfDegreesEachWay) {
    ScreenTracer tracer(512, 512, 4);
    tracer.AttachScene(&scene);
    const float tan225 = static_cast<float>(std::tan(0.39269909262657166));
    // The centre pixel looks straight down -z; the left edge and the top row at 22.5 degrees.
    const RAYTR::Ray& centre = tracer.Rays()[256 * 512 + 256];
    EXPECT_FLOAT_EQ(centre.direction.x, 0.0f);
    EXPECT_FLOAT_EQ(centre.direction.z, -1.0f);
    EXPECT_EQ(centre.direction.w, 1.0f);
    EXPECT_EQ(centre.origin.w, 1.0f);
    const VECTOR left = tracer.UnitZ()[256 * 512 + 0];
    EXPECT_FLOAT_EQ(left.x, tan225);
    EXPECT_FLOAT_EQ(left.z, 1.0f);
    const VECTOR top = tracer.UnitZ()[0 * 512 + 256];
    EXPECT_FLOAT_EQ(top.y, -tan225);
    // zPlane = -618.039 for W = 512: the unit z direction's w is (1 / length) / d.z.
    EXPECT_NEAR(1.0f / tracer.Rays()[256 * 512 + 256].direction.z, -1.0f, 1e-6f);
    EXPECT_NEAR(-1.0f / tracer.UnitZ()[256 * 512 + 256].w, 618.039f, 0.01f);
    // Every direction has unit length.
    for (int p = 0; p < 512 * 512; p += 997) {
        const VECTOR d = tracer.Rays()[p].direction;
        EXPECT_NEAR(ORVA_MATH::Length(d), 1.0f, 1e-5f);
    }
}

TEST_F(ScreenMaskTest, DepthIsTransposedAndReconstructedAsEyeDistance) {
    const int w = 64;
    ScreenTracer tracer(w, w, 4);
    tracer.AttachScene(&scene);
    std::vector<float> depth(static_cast<std::size_t>(w * w));
    for (int i = 0; i < w * w; ++i) depth[static_cast<std::size_t>(i)] = float(i) / float(w * w);
    const float* t = tracer.TransposeDepth(depth.data());
    for (int r = 0; r < w; ++r)
        for (int c = 0; c < w; ++c) ASSERT_EQ(t[r * w + c], depth[static_cast<std::size_t>(c * w + r)]);

    // Depth 0.5 lies 1.998 units in front of the eye; 0 at near, 1 at far (and lit there).
    std::fill(depth.begin(), depth.end(), 0.5f);
    depth[10 * w + 20] = 0.0f;   // window pixel x = 20, y = 10
    depth[30 * w + 40] = 1.0f;   // window pixel x = 40, y = 30
    tracer.useZBuffer = true;
    tracer.TraceFrame(depth.data());
    EXPECT_NEAR(tracer.Reconstruct(5 * w + 5).z, 1.998f, 0.0005f);
    EXPECT_NEAR(tracer.Reconstruct(20 * w + 10).z, 1.0f, 1e-5f);
    EXPECT_NEAR(tracer.Reconstruct(40 * w + 30).z, 1000.0f, 0.01f);
    EXPECT_EQ(tracer.MaskPixel(40 * w + 30), ScreenTracer::kLit);
}

TEST_F(ScreenMaskTest, UniformBlocksAreFilledWithoutTracing) {
    const int w = 64;
    ScreenTracer tracer(w, w, 1);
    tracer.AttachScene(&scene);
    tracer.TraceFrame(nullptr);
    std::uint32_t* b = tracer.Buffer();
    const int p = 16 * w + 16;
    // Four shadowed corners: the 9 x 9 block becomes 0 although every pixel would trace lit.
    for (const int q : {p, p + 8, p + 8 * w, p + 8 * w + 8}) b[q] = ScreenTracer::kShadow;
    tracer.Refine(p, 8, 0);
    for (int r = 0; r <= 8; ++r)
        for (int c = 0; c <= 8; ++c) ASSERT_EQ(b[p + r * w + c], ScreenTracer::kShadow) << r << "," << c;
    // Neighbours of the block are untouched.
    EXPECT_EQ(b[p + 9], ScreenTracer::kLit);
    // Four lit corners: lit.
    for (int r = 0; r <= 8; ++r)
        for (int c = 0; c <= 8; ++c) b[p + r * w + c] = ScreenTracer::kUntraced;
    for (const int q : {p, p + 8, p + 8 * w, p + 8 * w + 8}) b[q] = ScreenTracer::kLit;
    tracer.Refine(p, 8, 0);
    for (int r = 0; r <= 8; ++r)
        for (int c = 0; c <= 8; ++c) ASSERT_EQ(b[p + r * w + c], ScreenTracer::kLit);
}

TEST_F(ScreenMaskTest, DisagreeingCornersAreRefinedDownToSinglePixels) {
    const int w = 64;
    ScreenTracer tracer(w, w, 1);
    tracer.AttachScene(&scene);
    tracer.TraceFrame(nullptr);
    std::uint32_t* b = tracer.Buffer();
    const int p = 24 * w + 24;
    for (int r = 0; r <= 8; ++r)
        for (int c = 0; c <= 8; ++c) b[p + r * w + c] = ScreenTracer::kUntraced;
    for (const int q : {p + 8, p + 8 * w, p + 8 * w + 8}) b[q] = ScreenTracer::kLit;
    b[p] = ScreenTracer::kShadow;
    tracer.Refine(p, 8, 0);
    // Everything but the shadowed corner traces lit; nothing is left untraced.
    for (int r = 0; r <= 8; ++r)
        for (int c = 0; c <= 8; ++c)
            ASSERT_EQ(b[p + r * w + c], r == 0 && c == 0 ? ScreenTracer::kShadow : ScreenTracer::kLit) << r << "," << c;
}

TEST_F(ScreenMaskTest, ABlockEndingAtTheLastPixelFillsOneColumnLess) {
    const int w = 16;
    ScreenTracer tracer(w, w, 1);
    tracer.AttachScene(&scene);
    std::uint32_t* b = tracer.Buffer();
    for (int i = 0; i < w * w; ++i) b[i] = ScreenTracer::kUntraced;
    const int p = 7 * w + 7;  // its bottom-right corner is pixel 255, the last one
    for (const int q : {p, p + 8, p + 8 * w, p + 8 * w + 8}) b[q] = ScreenTracer::kShadow;
    tracer.Refine(p, 8, 0);
    for (int r = 7; r <= 15; ++r) {
        for (int c = 7; c <= 14; ++c) ASSERT_EQ(b[r * w + c], ScreenTracer::kShadow) << r << "," << c;
        const std::uint32_t last = b[r * w + 15];
        const bool corner = r == 7 || r == 15;
        EXPECT_EQ(last, corner ? ScreenTracer::kShadow : ScreenTracer::kUntraced) << r;
    }
}
