// The demo scene's shadows stay on the ground: at every light angle and in a turned view, no
// pixel whose visible surface is the sky dome is in shadow, while the floor shows the knot's
// shadow. The visible surface of each mask pixel comes from the preview's depth, carried into
// the scene's frame as the tracer does it.
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <cstdint>
#include <vector>

#include "app/config.h"
#include "app/viewer_objects.h"
#include "app/win_main.h"
#include "errors/message_box.h"
#include "math/matrix.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/tobject.h"
#include "render/render.h"
#include "tests/app/process_support.h"
#include "tests/support/gl_context.h"

namespace {

using namespace redowl_test;

// The demo written to a temporary folder and assembled in a 512 x 512 window, the light held
// still and every frame traced whole; the working folder is the demo's while the test runs.
class DemoShadowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(EnsureGlContext()) << "this test needs an X display (the test command starts Xvfb)";
        glutReshapeWindow(512, 512);
        for (int i = 0; i < 5; ++i) glutMainLoopEvent();
        WriteDemo(dir_.path());
        previous_ = fs::current_path();
        fs::current_path(dir_.path());
        objects_ = std::make_unique<WIN_NMS::ViewerObjects>();
        WIN_NMS::WIN_MAIN_CLASS& win = objects_->app;
        win.width = 512;
        win.height = 512;
        objects_->config.ReadFile("release.cgf");
        win.reshape(512, 512);
        win.display();  // assembly
        win.frame.lightSpeed = 0.0f;
        win.budget.budgetMs = 0.0;  // the whole mask of every frame
    }
    void TearDown() override {
        objects_.reset();
        if (!previous_.empty()) fs::current_path(previous_);
    }

    TempDir dir_;
    fs::path previous_;
    TIRN_ERROR::BoxRecorder recorder_;
    std::unique_ptr<WIN_NMS::ViewerObjects> objects_;
};

TEST_F(DemoShadowTest, ShadowsFallOnTheFloorAndNeverOnTheSky) {
    WIN_NMS::ViewerObjects& objects = *objects_;
    WIN_NMS::WIN_MAIN_CLASS& win = objects.app;
    {
        const float views[2][2] = {{0.0f, 0.0f}, {25.0f, -40.0f}};
        for (const auto& view : views)
            for (int angle = 0; angle <= 5; ++angle) {
                SCOPED_TRACE(::testing::Message() << "light angle " << angle << ", view " << view[0] << ", " << view[1]);
                win.frame.lightAngle = static_cast<float>(angle);
                win.angleX = view[0];
                win.angleY = view[1];
                win.display();
                const RAYTR::ScreenTracer* tracer = objects.tracer.get();
                const std::uint32_t* mask = tracer->Buffer(0);
                int sky = 0, skyShadow = 0, floorShadow = 0;
                for (int r = 0; r < 512; ++r)
                    for (int c = 0; c < 512; ++c) {
                        const int p = r * 512 + c;
                        const ORVA_MATH::VECTOR d = tracer->Mask().Reconstruct(p);
                        if (d.z >= 0.99f * tracer->Camera().Far()) continue;  // nothing drawn
                        const ORVA_MATH::VECTOR w =
                            ORVA_MATH::ColumnTransform(tracer->Camera().DepthToWorld(), ORVA_MATH::VECTOR(-d.x, d.y, d.z, 1.0f));
                        const bool shadow = mask[p] == RAYTR::ScreenTracer::kShadow;
                        if (std::fabs(w.y + 5.0f) < 0.05f) {
                            floorShadow += shadow;
                        } else if (std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z) > 60.0f) {
                            ++sky;
                            skyShadow += shadow;
                        }
                    }
                EXPECT_GT(sky, 10000);  // the sky is in the picture
                EXPECT_EQ(skyShadow, 0);
                EXPECT_GT(floorShadow, 500);
            }
        EXPECT_TRUE(recorder_.Boxes().empty());
    }
}

// The knot is smooth-shaded over flat facets: where the light grazes it, the facets shadow their
// neighbours unless the shadow ray is lifted as the traced image's is. The mask read from the
// preview's depth agrees with the mask of primary rays (which lift) but for a few pixels at
// silhouettes; without the lift some hundred teeth along the terminator differed.
TEST_F(DemoShadowTest, TheMaskFromDepthLiftsTheTerminatorAsThePrimaryRaysDo) {
    WIN_NMS::ViewerObjects& objects = *objects_;
    WIN_NMS::WIN_MAIN_CLASS& win = objects.app;
    {
        for (float angle : {0.3f, 1.0f, 2.2f}) {
            SCOPED_TRACE(::testing::Message() << "light angle " << angle);
            win.frame.lightAngle = angle;
            win.display();  // the preview of this light, whose depth the mask reads
            const RAYTR::DepthWords depth{objects.renderer->ReadDepthBuffer()};
            std::vector<std::uint32_t> masks[2];
            for (bool fromDepth : {true, false}) {
                objects.tracer->useZBuffer = fromDepth;
                objects.tracer->TraceFrame(fromDepth ? depth : RAYTR::DepthWords{nullptr});
                const std::uint32_t* mask = objects.tracer->Buffer(0);
                masks[fromDepth].assign(mask, mask + 512 * 512);
            }
            int differ = 0, shadow = 0;
            for (std::size_t p = 0; p < masks[0].size(); ++p) {
                differ += masks[0][p] != masks[1][p];
                shadow += masks[0][p] == RAYTR::ScreenTracer::kShadow;
            }
            EXPECT_GT(shadow, 2000);
            EXPECT_LT(differ, 50);
        }
        EXPECT_TRUE(recorder_.Boxes().empty());
    }
}

}  // namespace
