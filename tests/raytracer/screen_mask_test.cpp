// The per-pixel pieces of the screen tracer with literal values: depth coefficients, the
// camera's rays, depth reconstruction, and the block refinement rules.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
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
    const RAYTR::ScreenCamera& camera = tracer.Camera();
    EXPECT_FLOAT_EQ(camera.DepthA(), 1000.0f / 999.0f);
    EXPECT_FLOAT_EQ(camera.DepthB(), 1000.0f / 999.0f);
    scene.nearDistance = 2.0f;
    scene.farDistance = 100.0f;
    tracer.AttachScene(&scene);
    EXPECT_FLOAT_EQ(camera.DepthA(), 200.0f / 98.0f);
    EXPECT_FLOAT_EQ(camera.DepthB(), 102.0f / 196.0f + 0.5f);
    EXPECT_EQ(camera.Near(), 2.0f);
    EXPECT_EQ(camera.Far(), 100.0f);
}

TEST_F(ScreenMaskTest, RaysGoThroughPixelCentresAndSpanTwentyTwoAndAHalfDegreesEachWay) {
    ScreenTracer tracer(512, 512, 4);
    tracer.AttachScene(&scene);
    const RAYTR::ScreenCamera& camera = tracer.Camera();
    const float tan225 = static_cast<float>(std::tan(0.39269909262657166));
    // The window's centre lies between pixels 255 and 256: their rays are mirror images, half
    // a pixel to each side of -z. The window's edges are at 22.5 degrees, so the outermost
    // pixels' centres are half a pixel inside.
    const VECTOR right = camera.UnitZ(256, 256), leftOfCentre = camera.UnitZ(256, 255);
    EXPECT_FLOAT_EQ(right.x, -leftOfCentre.x);
    EXPECT_FLOAT_EQ(right.x, -tan225 * 0.5f / 256.0f);
    EXPECT_NEAR(camera.Direction(256, 256).z, -1.0f, 1e-5f);
    const VECTOR left = camera.UnitZ(256, 0);
    EXPECT_FLOAT_EQ(left.x, tan225 * 255.5f / 256.0f);
    EXPECT_FLOAT_EQ(left.z, 1.0f);
    const VECTOR top = camera.UnitZ(0, 256);
    EXPECT_FLOAT_EQ(top.y, -tan225 * 255.5f / 256.0f);
    // zPlane = -618.039 for H = 512: the unit z direction's w is (1 / length) / d.z.
    EXPECT_NEAR(-1.0f / camera.UnitZ(256, 256).w, 618.039f, 0.01f);
    // ScreenRay(r, c, 0) is the pixel's ray bit for bit; half a pixel off reaches its edge.
    tracer.TraceFrame(nullptr);  // the camera of a frame
    const RAYTR::Ray pixel = camera.PixelRay(3, 7), screen = camera.ScreenRay(3, 7.0f, 0.0f);
    EXPECT_EQ(0, std::memcmp(&pixel, &screen, sizeof pixel));
    EXPECT_EQ(pixel.origin.w, 1.0f);
    const RAYTR::Ray corner = camera.ScreenRay(0, -0.5f, -0.5f);  // the window's lower-left corner
    EXPECT_NEAR(corner.direction.x / std::fabs(corner.direction.z), -tan225, 1e-5f);
    EXPECT_NEAR(corner.direction.y / std::fabs(corner.direction.z), -tan225, 1e-5f);
    // Every direction has unit length.
    for (int p = 0; p < 512 * 512; p += 997) EXPECT_NEAR(ORVA_MATH::Length(camera.Direction(p / 512, p % 512)), 1.0f, 1e-5f);
}

TEST_F(ScreenMaskTest, NonSquareTablesMatchThePreviewsProjection) {
    // gluPerspective(45, 640 / 480): 22.5 degrees up and down, the same pixel pitch sideways.
    ScreenTracer tracer(640, 480, 1);
    tracer.AttachScene(&scene);
    const float tan225 = static_cast<float>(std::tan(0.39269909262657166));
    const VECTOR top = tracer.Camera().UnitZ(0, 320);
    EXPECT_FLOAT_EQ(top.y, -tan225 * 239.5f / 240.0f);
    const VECTOR left = tracer.Camera().UnitZ(240, 0);
    EXPECT_FLOAT_EQ(left.x, tan225 * 319.5f / 240.0f);
    EXPECT_FLOAT_EQ(left.y, tan225 * 0.5f / 240.0f);
}

TEST_F(ScreenMaskTest, DepthIsReadInWindowOrderAndReconstructedAsEyeDistance) {
    const int w = 64, h = 40;
    ScreenTracer tracer(w, h, 4);
    tracer.AttachScene(&scene);
    std::vector<float> depth(static_cast<std::size_t>(w * h), 0.5f);
    // Depth 0.5 lies 1.998 units in front of the eye; 0 at near, 1 at far (and lit there).
    depth[10 * w + 20] = 0.0f;   // window pixel x = 20, y = 10
    depth[30 * w + 40] = 1.0f;   // window pixel x = 40, y = 30
    tracer.useZBuffer = true;
    tracer.TraceFrame(depth.data());
    EXPECT_NEAR(tracer.Mask().Reconstruct(5 * w + 5).z, 1.998f, 0.0005f);
    EXPECT_NEAR(tracer.Mask().Reconstruct(10 * w + 20).z, 1.0f, 1e-5f);
    EXPECT_NEAR(tracer.Mask().Reconstruct(30 * w + 40).z, 1000.0f, 0.01f);
    EXPECT_EQ(tracer.Mask().MaskPixel(30 * w + 40), ScreenTracer::kLit);
}

TEST_F(ScreenMaskTest, BlocksAreFilledFromAgreeingCornersAndRefinedWhereTheyDiffer) {
    const int w = 64, h = 48;  // one tile of 8 x 6 blocks
    ScreenTracer tracer(w, h, 1);
    tracer.AttachScene(&scene);
    ASSERT_EQ(tracer.Tiles().size(), 1u);
    tracer.TraceFrame(nullptr);  // every pixel traces lit: a 0 can only come from a fill
    std::uint32_t* b = tracer.Buffer();
    std::uint32_t* lattice = tracer.Mask().Lattice();
    const int stride = tracer.BlockCols() + 1;
    // Block (2, 2) gets four shadowed corners; lattice point (1, 5) alone is shadowed too.
    for (int i : {2, 3})
        for (int j : {2, 3}) lattice[i * stride + j] = ScreenTracer::kShadow;
    lattice[1 * stride + 5] = ScreenTracer::kShadow;
    tracer.Mask().RefineTile(0);
    // The block's inside is filled without tracing. Its edges are shared with blocks whose
    // corners differ: those trace them (lit), and a traced value is never overwritten by a fill.
    // Around the lone point every block refines down to single pixels, which all trace lit.
    long shadowed = 0;
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            const bool inside = r > 16 && r < 24 && c > 16 && c < 24;
            const bool corner = (r == 16 || r == 24) && (c == 16 || c == 24);
            const bool expected = inside || corner || (r == 8 && c == 40);
            ASSERT_EQ(b[r * w + c], expected ? ScreenTracer::kShadow : ScreenTracer::kLit) << r << "," << c;
            ASSERT_EQ(tracer.MaskBytes()[r * w + c], expected ? 0 : 255);
            shadowed += expected;
        }
    EXPECT_EQ(shadowed, 49 + 4 + 1);
}

TEST_F(ScreenMaskTest, TheLastBlocksOwnTheClosingEdgesAndStopAtTheWindow) {
    // 20 x 17: lattice columns 0, 8, 16 and 24 (clamped to 19), rows 0, 8 and 16.
    const int w = 20, h = 17;
    ScreenTracer tracer(w, h, 1);
    tracer.AttachScene(&scene);
    ASSERT_EQ(tracer.BlockCols(), 3);
    ASSERT_EQ(tracer.BlockRows(), 2);
    std::uint32_t* b = tracer.Buffer();
    std::uint32_t* lattice = tracer.Mask().Lattice();
    const int stride = tracer.BlockCols() + 1;
    for (int i = 0; i < (tracer.BlockRows() + 1) * stride; ++i) lattice[i] = ScreenTracer::kShadow;
    for (int i = 0; i < w * h; ++i) b[i] = ScreenTracer::kUntraced;
    for (int t = 0; t < static_cast<int>(tracer.Tiles().size()); ++t) tracer.Mask().RefineTile(t);
    for (int p = 0; p < w * h; ++p) ASSERT_EQ(b[p], ScreenTracer::kShadow) << p % w << "," << p / w;
}
