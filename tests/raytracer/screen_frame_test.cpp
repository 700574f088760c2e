// Frames of the ScreenTracer on a small scene: the frame protocol with the real tracer, the
// adaptive mask against a brute-force mask, the frame marker, the no-light shortcut, and the
// full-trace image (orientation and channel saturation).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>
#include <algorithm>
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

// The mask that MaskPixel gives for every pixel.
std::vector<std::uint32_t> BruteForceMask(const ScreenTracer& tracer) {
    const int w = tracer.Width(), h = tracer.Height();
    std::vector<std::uint32_t> mask(static_cast<std::size_t>(w * h));
    for (int p = 0; p < w * h; ++p) mask[static_cast<std::size_t>(p)] = tracer.Mask().MaskPixel(p);
    return mask;
}

std::vector<std::uint32_t> Copy(const ScreenTracer& tracer) {
    return {tracer.Buffer(), tracer.Buffer() + tracer.Width() * tracer.Height()};
}

}  // namespace

TEST_F(ScreenFrameTest, EveryTileIsDoneOncePerPassAndWorkersTakeThemInTurn) {
    redowl_test::Watchdog watchdog("tracer frames", 300);
    auto scene = redowl_test::MakeBoxOverFloorScene(VECTOR(0.0f, 6.0f, 2.0f, 0.0f));
    for (int n : {3, 16}) {
        ScreenTracer tracer(200, 136, n);  // 3 x 4 tiles
        tracer.AttachScene(scene.get());
        ASSERT_EQ(tracer.Tiles().size(), 12u);
        ASSERT_EQ(tracer.RunningWorkers(), std::min(n, 12));
        std::uint64_t passes = 0;
        for (int f = 1; f <= 600; ++f) {
            if (f % 3 == 0) {
                tracer.TraceFullFrame();
                passes += 2;  // every pixel, then the smoothing
            } else {
                tracer.TraceFrame(nullptr);
                passes += 2;  // the lattice, then the blocks
            }
            for (const auto& t : tracer.Tiles()) ASSERT_EQ(t.passesDone, passes) << "n=" << n << " frame " << f;
        }
        std::uint64_t taken = 0;
        for (const auto& r : tracer.Workers()) taken += r.tilesTaken;
        EXPECT_EQ(taken, passes * 12u);
    }  // destroyed while the workers wait
}

TEST_F(ScreenFrameTest, ResultsAreIdenticalForAnyThreadCount) {
    auto scene = redowl_test::MakeBoxOverFloorScene(VECTOR(0.0f, 6.0f, 2.0f, 0.0f));
    for (auto [w, h] : {std::pair{256, 256}, std::pair{200, 136}, std::pair{17, 17}, std::pair{131, 67}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        // A depth buffer made of the traced distances, so that the depth path has work too.
        std::vector<float> depth(static_cast<std::size_t>(w * h), 0.999f);
        std::vector<std::uint32_t> mask, withDepth, image;
        for (int n : {1, 3, 0, 7}) {
            ScreenTracer tracer(w, h, n);
            tracer.AttachScene(scene.get());
            for (int repeat = 0; repeat < 3; ++repeat) {
                tracer.TraceFrame(nullptr);
                const auto m = Copy(tracer);
                tracer.useZBuffer = true;
                tracer.TraceFrame(depth.data());
                tracer.useZBuffer = false;
                const auto d = Copy(tracer);
                tracer.TraceFullFrame();
                const auto i = Copy(tracer);
                if (mask.empty()) {
                    mask = m, withDepth = d, image = i;
                    continue;
                }
                ASSERT_TRUE(m == mask) << "n=" << n;
                ASSERT_TRUE(d == withDepth) << "n=" << n;
                ASSERT_TRUE(i == image) << "n=" << n;
            }
        }
        if (w * h > 20000) {
            EXPECT_GT(std::count(mask.begin(), mask.end(), ScreenTracer::kShadow), 100) << "a shadow to compare";
        }
    }
}

TEST_F(ScreenFrameTest, AdaptiveMaskCoversTheWindowAndAgreesWithBruteForce) {
    for (VECTOR light : {VECTOR(0.0f, 6.0f, 2.0f, 0.0f), VECTOR(3.0f, 4.0f, 1.0f, 0.0f), VECTOR(-4.0f, 5.0f, 4.0f, 0.0f)}) {
        auto scene = redowl_test::MakeBoxOverFloorScene(light);
        for (auto [w, h] : {std::pair{256, 256}, std::pair{250, 170}}) {
            ScreenTracer tracer(w, h, 4);
            tracer.AttachScene(scene.get());
            tracer.TraceFrame(nullptr);
            const std::vector<std::uint32_t> reference = BruteForceMask(tracer);
            long same = 0, shadowed = 0;
            for (int p = 0; p < w * h; ++p) {
                const std::uint32_t v = tracer.Buffer()[p];
                // Every pixel, the window's edges included, is traced or filled.
                ASSERT_TRUE(v == ScreenTracer::kLit || v == ScreenTracer::kShadow) << p % w << "," << p / w;
                ASSERT_EQ(tracer.MaskBytes()[p], v >> 24) << "the texture's byte of " << p % w << "," << p / w;
                same += v == reference[static_cast<std::size_t>(p)];
                shadowed += reference[static_cast<std::size_t>(p)] == ScreenTracer::kShadow;
            }
            EXPECT_GE(double(same) / (w * h), 0.99) << "light " << light.x << "," << light.y << "," << light.z;
            EXPECT_GT(shadowed, 150) << "the scene must show a shadow for the comparison to mean anything";
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
    for (const auto& t : tracer.Tiles()) EXPECT_EQ(t.passesDone, 0u);
    EXPECT_EQ(tracer.Mask().MaskPixel(32 * 64 + 32), ScreenTracer::kLit);
}

TEST_F(ScreenFrameTest, FullTraceShowsTheBottomOfTheSceneInRowZeroAndSaturatesBrightChannels) {
    // A strong light close to the floor: shaded channels well above 1.0 around it.
    auto scene = redowl_test::MakeBoxOverFloorScene(VECTOR(0.0f, -1.0f, 8.0f, 0.0f));
    scene->lights[0].ambient = 6.0f;
    const int size = 128, height = 96;
    ScreenTracer tracer(size, height, 4);
    tracer.AttachScene(scene.get());
    const auto* image = reinterpret_cast<const std::uint8_t*>(tracer.TraceFullFrame());

    // Row 0 is the bottom of the window, which looks down at the floor; the top row looks
    // over it into the empty background.
    long bottomLit = 0, topLit = 0;
    for (int c = 0; c < size; ++c) {
        bottomLit += image[4 * c] + image[4 * c + 1] + image[4 * c + 2] > 0;
        const int top = (height - 1) * size + c;
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
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < size; ++c) {
            const int p = r * size + c;
            RAYTR::RayHit hit;
            const VECTOR colour = RAYTR::Shade(tracer.Camera().PixelRay(r, c), hit, 1, *scene);
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

// The marks of traced pixels: every lattice point and at least the refined shadow edge is
// marked, the frame is not, and marking changes no mask value.
TEST_F(ScreenFrameTest, TracedPixelsAreMarkedWithoutChangingTheMask) {
    auto scene = redowl_test::MakeBoxOverFloorScene(VECTOR(0.0f, 8.0f, 2.0f, 0.0f));
    ScreenTracer tracer(256, 256, 4);
    tracer.AttachScene(scene.get());
    tracer.TraceFrame(nullptr);
    const std::vector<std::uint32_t> plain(tracer.Buffer(), tracer.Buffer() + 256 * 256);
    EXPECT_EQ(tracer.TracedMarks(), nullptr);

    tracer.MarkTracedPixels(true);
    for (int frame = 0; frame < 2; ++frame) {  // the second frame starts from cleared marks
        tracer.TraceFrame(nullptr);
        ASSERT_NE(tracer.TracedMarks(), nullptr);
        const std::uint8_t* marks = tracer.TracedMarks();
        // Marking changes no pixel of the mask.
        long differ = 0;
        for (int p = 0; p < 256 * 256; ++p) differ += plain[p] != tracer.Buffer()[p];
        EXPECT_EQ(differ, 0);
        int marked = 0, edges = 0, edgesMarked = 0;
        for (int r = 0; r < 256; ++r)
            for (int c = 0; c < 256; ++c) {
                const int p = r * 256 + c;
                marked += marks[p];
                // Every lattice point is traced (the last row and column close the lattice).
                if ((r % 8 == 0 || r == 255) && (c % 8 == 0 || c == 255)) {
                    ASSERT_EQ(marks[p], 1) << r << "," << c;
                }
                // A pixel whose right or upper neighbour differs lies on a shadow edge, which
                // the refinement reaches down to single pixels (or a lattice point decides).
                for (const int q : {c + 1 < 256 ? p + 1 : p, r + 1 < 256 ? p + 256 : p})
                    if (plain[p] != plain[q]) {
                        ++edges;
                        edgesMarked += marks[p] | marks[q];
                    }
            }
        EXPECT_GT(edges, 50) << "the scene must show a shadow edge";
        EXPECT_GE(edgesMarked, edges * 9 / 10);
        EXPECT_GT(marked, 33 * 33);
        EXPECT_LT(marked, 256 * 256 / 4);
    }
    tracer.MarkTracedPixels(false);
    EXPECT_EQ(tracer.TracedMarks(), nullptr);
}
