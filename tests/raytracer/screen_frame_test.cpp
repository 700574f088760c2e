// Frames of the ScreenTracer on a small scene: the frame protocol with the real tracer, the
// adaptive mask against a brute-force mask, the frame marker, the no-light shortcut, and the
// full-trace image (orientation and channel saturation).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/shading.h"
#include "tests/raytracer/screen_test_scene.h"
#include "tests/raytracer/screen_test_watchdog.h"
#include "tests/support/gl_context.h"

namespace {

using RAYTR::ScreenTracer;
using redowl_test::VECTOR;

class ScreenFrameTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(redowl_test::EnsureGlContext()); }
};

// The mask that MaskPixel gives for every pixel inside the 8-pixel frame.
std::vector<std::uint32_t> BruteForceMask(const ScreenTracer& tracer) {
    const int w = tracer.Width(), h = tracer.Height();
    std::vector<std::uint32_t> mask(static_cast<std::size_t>(w * h), ScreenTracer::kUntraced);
    for (int r = 8; r <= h - 8; ++r)
        for (int c = 8; c <= w - 8; ++c) mask[static_cast<std::size_t>(r * w + c)] = tracer.MaskPixel(r * w + c);
    return mask;
}

struct Agreement {
    long same = 0, total = 0, shadowed = 0;
    double Rate() const { return total ? double(same) / double(total) : 0.0; }
};

Agreement Compare(const ScreenTracer& tracer, const std::vector<std::uint32_t>& reference) {
    Agreement a;
    const int w = tracer.Width(), h = tracer.Height();
    for (int r = 8; r <= h - 8; ++r)
        for (int c = 8; c <= w - 8; ++c) {
            const int p = r * w + c;
            ++a.total;
            if (tracer.Buffer()[p] == reference[static_cast<std::size_t>(p)]) ++a.same;
            if (reference[static_cast<std::size_t>(p)] == ScreenTracer::kShadow) ++a.shadowed;
        }
    return a;
}

}  // namespace

TEST_F(ScreenFrameTest, EveryWorkerTracesItsSubscreenOncePerFrame) {
    redowl_test::Watchdog watchdog("tracer frames", 300);
    auto scene = redowl_test::MakeBoxOverFloorScene(VECTOR(0.0f, 6.0f, 2.0f, 0.0f));
    for (int n : {4, 16}) {
        ScreenTracer tracer(64, 64, n);
        tracer.AttachScene(scene.get());
        ASSERT_EQ(tracer.RunningWorkers(), n);
        for (int f = 1; f <= 1500; ++f) {
            if (f % 3 == 0)
                tracer.TraceFullFrame();
            else
                tracer.TraceFrame(nullptr);
            for (const auto& r : tracer.Workers()) ASSERT_EQ(r.framesTraced, static_cast<std::uint64_t>(f)) << "n=" << n;
        }
        EXPECT_FALSE(tracer.FullMode());
    }  // destroyed while the workers wait
}

TEST_F(ScreenFrameTest, OneSubscreenIsTracedOnTheCallingThread) {
    auto scene = redowl_test::MakeBoxOverFloorScene(VECTOR(0.0f, 6.0f, 2.0f, 0.0f));
    ScreenTracer single(128, 128, 1), team(128, 128, 4);
    single.AttachScene(scene.get());
    team.AttachScene(scene.get());
    single.TraceFrame(nullptr);
    team.TraceFrame(nullptr);
    EXPECT_EQ(single.RunningWorkers(), 0);
    EXPECT_EQ(single.Workers()[0].framesTraced, 1u);
    // Same lattice, same blocks: the two tilings agree except where shared borders were filled
    // in a different order.
    long differ = 0;
    for (int p = 0; p < 128 * 128; ++p) differ += single.Buffer()[p] != team.Buffer()[p];
    EXPECT_LE(differ, 128 * 128 / 200);
}

TEST_F(ScreenFrameTest, AdaptiveMaskAgreesWithBruteForceAndKeepsTheFrameMarker) {
    for (VECTOR light : {VECTOR(0.0f, 6.0f, 2.0f, 0.0f), VECTOR(3.0f, 4.0f, 1.0f, 0.0f), VECTOR(-4.0f, 5.0f, 4.0f, 0.0f)}) {
        auto scene = redowl_test::MakeBoxOverFloorScene(light);
        ScreenTracer tracer(256, 256, 4);
        tracer.AttachScene(scene.get());
        tracer.TraceFrame(nullptr);
        const std::vector<std::uint32_t> reference = BruteForceMask(tracer);
        const Agreement a = Compare(tracer, reference);
        EXPECT_GE(a.Rate(), 0.99) << "light " << light.x << "," << light.y << "," << light.z;
        EXPECT_GT(a.shadowed, 300) << "the scene must show a shadow for the comparison to mean anything";
        // Inside: only lit or shadowed; the 8-pixel frame keeps the marker.
        for (int r = 0; r < 256; ++r)
            for (int c = 0; c < 256; ++c) {
                const std::uint32_t v = tracer.Buffer()[r * 256 + c];
                const bool inside = r >= 8 && r <= 248 && c >= 8 && c <= 248;
                if (inside)
                    ASSERT_TRUE(v == ScreenTracer::kLit || v == ScreenTracer::kShadow) << r << "," << c;
                else
                    ASSERT_EQ(v, ScreenTracer::kUntraced) << r << "," << c;
            }
    }
}

TEST_F(ScreenFrameTest, ASceneWithoutLightsGivesAnAllLitMaskWithoutTracing) {
    auto scene = std::make_unique<RAYTR::Scene>();
    scene->AddObject(*redowl_test::MakeFloor(-2.0f, 20.0f));
    redowl_test::SetAssemblyCamera(*scene);
    ScreenTracer tracer(64, 64, 4);
    tracer.AttachScene(scene.get());
    tracer.TraceFrame(nullptr);
    for (int p = 0; p < 64 * 64; ++p) ASSERT_EQ(tracer.Buffer()[p], ScreenTracer::kLit);
    for (const auto& r : tracer.Workers()) EXPECT_EQ(r.framesTraced, 0u);
    EXPECT_EQ(tracer.MaskPixel(32 * 64 + 32), ScreenTracer::kLit);
}

TEST_F(ScreenFrameTest, FullTraceShowsTheBottomOfTheSceneInRowZeroAndSaturatesBrightChannels) {
    // A strong light close to the floor: shaded channels well above 1.0 around it.
    auto scene = redowl_test::MakeBoxOverFloorScene(VECTOR(0.0f, -1.0f, 8.0f, 0.0f));
    scene->lights[0].ambient = 6.0f;
    const int size = 128;
    ScreenTracer tracer(size, size, 4);
    tracer.AttachScene(scene.get());
    const auto* image = reinterpret_cast<const std::uint8_t*>(tracer.TraceFullFrame());
    EXPECT_FALSE(tracer.FullMode());

    // Row 0 is the bottom of the window, which looks down at the floor; the top row looks
    // over it into the empty background.
    long bottomLit = 0, topLit = 0;
    for (int c = 0; c < size; ++c) {
        bottomLit += image[4 * c] + image[4 * c + 1] + image[4 * c + 2] > 0;
        const int top = (size - 1) * size + c;
        topLit += image[4 * top] + image[4 * top + 1] + image[4 * top + 2] > 0;
    }
    EXPECT_EQ(bottomLit, size);
    EXPECT_EQ(topLit, 0);

    // Every pixel is the conversion of Shade along the same ray: red x, green z, blue y,
    // truncated, limited to 255.
    long saturated = 0;
    auto expectByte = [](float c) -> int {
        const float v = c * 255.0f;
        return v > 0.0f ? (v >= 255.0f ? 255 : static_cast<int>(v)) : 0;
    };
    for (int r = 0; r < size; ++r)
        for (int c = 0; c < size; ++c) {
            const int p = r * size + c;
            RAYTR::Ray ray = tracer.Rays()[p];
            const VECTOR d = ray.direction;
            ray.direction = VECTOR(d.x, -d.y, -d.z, d.w);
            RAYTR::RayHit hit;
            const VECTOR colour = RAYTR::Shade(RAYTR::CarryRay(ray, tracer.CameraToWorld()), hit, 1, *scene);
            ASSERT_EQ(image[4 * p], expectByte(colour.x)) << r << "," << c;
            ASSERT_EQ(image[4 * p + 1], expectByte(colour.z)) << r << "," << c;
            ASSERT_EQ(image[4 * p + 2], expectByte(colour.y)) << r << "," << c;
            if (colour.x > 1.0f) {
                ++saturated;
                ASSERT_EQ(image[4 * p], 255);
            }
        }
    EXPECT_GT(saturated, 50) << "the light must drive some channels above 1.0";
}
