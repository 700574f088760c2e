// Construction of the ScreenTracer: the subscreen tiling, its mask rectangles, and the screens
// and thread counts that are refused.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "errors/errors.h"
#include "errors/message_box.h"
#include "raytracer/screen_tracer.h"
#include "tests/support/gl_context.h"

namespace {

using RAYTR::ScreenTracer;
using Rect = std::array<int, 4>;

const char* const kSubdivision = "The screen can not be subdivided because of wrong number subscreens";

Rect MaskRect(const RAYTR::WorkerRecord& r) { return {r.maskRowStart, r.maskColStart, r.maskRowEnd, r.maskColEnd}; }
Rect FullRect(const RAYTR::WorkerRecord& r) { return {r.fullRowStart, r.fullColStart, r.fullRowEnd, r.fullColEnd}; }

// Expects construction to throw Error with exactly one box carrying message.
void ExpectRefused(int w, int h, int n, const std::string& message) {
    TIRN_ERROR::BoxRecorder recorder;
    try {
        ScreenTracer tracer(w, h, n);
        ADD_FAILURE() << w << "x" << h << " n=" << n << " was accepted";
    } catch (const TIRN_ERROR::Error& e) {
        EXPECT_EQ(std::string(e.what()), message) << w << "x" << h << " n=" << n;
        ASSERT_EQ(recorder.Boxes().size(), 1u);
        EXPECT_EQ(recorder.Boxes()[0].first, "Error: ");
        EXPECT_EQ(recorder.Boxes()[0].second, message);
    }
}

class ScreenTilingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(redowl_test::EnsureGlContext()); }
};

}  // namespace

TEST_F(ScreenTilingTest, FourSubscreensOn512HaveTheKnownMaskRectangles) {
    ScreenTracer tracer(512, 512, 4);
    EXPECT_EQ(tracer.SubscreenSide(), 256);
    EXPECT_EQ(tracer.RunningWorkers(), 4);
    ASSERT_EQ(tracer.Workers().size(), 4u);
    const std::vector<Rect> mask = {{8, 8, 256, 256}, {8, 256, 256, 504}, {256, 8, 504, 256}, {256, 256, 504, 504}};
    const std::vector<Rect> full = {{0, 0, 256, 256}, {0, 256, 256, 512}, {256, 0, 512, 256}, {256, 256, 512, 512}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(MaskRect(tracer.Workers()[i]), mask[i]) << "worker " << i;
        EXPECT_EQ(FullRect(tracer.Workers()[i]), full[i]) << "worker " << i;
        EXPECT_EQ(tracer.Workers()[i].tracer, &tracer);
    }
}

TEST_F(ScreenTilingTest, SquareTilingsCoverTheScreenExactlyOnce) {
    // (side of screen, n, subscreen side)
    for (auto [size, n, side] : {std::tuple{512, 16, 128}, std::tuple{512, 64, 64}, std::tuple{512, 256, 32},
                                 std::tuple{96, 4, 48}, std::tuple{480, 16, 120}, std::tuple{16, 4, 8}}) {
        ScreenTracer tracer(size, size, n);
        EXPECT_EQ(tracer.SubscreenSide(), side) << size << " n=" << n;
        ASSERT_EQ(static_cast<int>(tracer.Workers().size()), n);
        EXPECT_EQ(tracer.RunningWorkers(), n);
        std::vector<int> cover(static_cast<std::size_t>(size * size), 0);
        for (const auto& r : tracer.Workers()) {
            EXPECT_EQ(r.fullRowEnd - r.fullRowStart, side);
            EXPECT_EQ(r.fullColEnd - r.fullColStart, side);
            for (int y = r.fullRowStart; y < r.fullRowEnd; ++y)
                for (int x = r.fullColStart; x < r.fullColEnd; ++x) ++cover[static_cast<std::size_t>(y * size + x)];
            // The mask rectangle is the full one less the 8-pixel frame of the screen.
            EXPECT_EQ(r.maskRowStart, r.fullRowStart == 0 ? 8 : r.fullRowStart);
            EXPECT_EQ(r.maskColStart, r.fullColStart == 0 ? 8 : r.fullColStart);
            EXPECT_EQ(r.maskRowEnd, r.fullRowEnd == size ? size - 8 : r.fullRowEnd);
            EXPECT_EQ(r.maskColEnd, r.fullColEnd == size ? size - 8 : r.fullColEnd);
        }
        for (int c : cover) ASSERT_EQ(c, 1) << size << " n=" << n;
    }
}

TEST_F(ScreenTilingTest, OneSubscreenRunsNoThread) {
    ScreenTracer tracer(512, 512, 1);
    EXPECT_EQ(tracer.SubscreenSide(), 512);
    EXPECT_EQ(tracer.RunningWorkers(), 0);
    ASSERT_EQ(tracer.Workers().size(), 1u);
    EXPECT_EQ(MaskRect(tracer.Workers()[0]), (Rect{8, 8, 504, 504}));
    EXPECT_EQ(FullRect(tracer.Workers()[0]), (Rect{0, 0, 512, 512}));
}

TEST_F(ScreenTilingTest, ConstructionStateHoldsTheMarkerAndTheDefaultDepthConstants) {
    ScreenTracer tracer(64, 64, 4);
    ASSERT_NE(tracer.Buffer(0), nullptr);
    for (int i = 1; i < ScreenTracer::kBufferCount; ++i) EXPECT_EQ(tracer.Buffer(i), nullptr);
    EXPECT_EQ(tracer.Buffer(-1), nullptr);
    EXPECT_EQ(tracer.Buffer(8), nullptr);
    for (int p = 0; p < 64 * 64; ++p) ASSERT_EQ(tracer.Buffer()[p], ScreenTracer::kUntraced);
    EXPECT_FLOAT_EQ(tracer.DepthA(), 1.001001f);
    EXPECT_FLOAT_EQ(tracer.DepthB(), 1.001001f);
    EXPECT_FALSE(tracer.useZBuffer);
    EXPECT_FALSE(tracer.FullMode());
    EXPECT_NE(tracer.TextureName(0), 0u);
    // Every Ray starts with both w lanes 1.0.
    EXPECT_EQ(tracer.Rays()[0].origin.w, 1.0f);
    EXPECT_EQ(tracer.Rays()[64 * 64 - 1].direction.w, 1.0f);
}

TEST_F(ScreenTilingTest, ThreadCountsWithoutAnExactSquareTilingAreRefused) {
    // 262144 mod 9 != 0; n = 2 and 8 divide W*H by n^2 but no square side gives n tiles.
    for (int n : {3, 2, 8, 5, 0, -1, -4, 1 << 20}) ExpectRefused(512, 512, n, kSubdivision);
    // W*H must be a multiple of n^2: 480 x 480 with n = 25 is refused although 5 x 5 squares of
    // 96 would fit.
    ExpectRefused(480, 480, 25, kSubdivision);
    // 640 x 480 with n = 4 passes the divisibility test but would tile six subscreens.
    ExpectRefused(640, 480, 4, kSubdivision);
    ExpectRefused(640, 480, 1, kSubdivision);
    ExpectRefused(640, 480, 0, kSubdivision);
}

TEST_F(ScreenTilingTest, NonSquareOrEmptyScreensAreRefused) {
    // 1024 x 512 tiles into two 512-squares, but the transposed mask needs W == H.
    const std::string shape = "The screen can not be ray traced: its width and height must be equal";
    ExpectRefused(1024, 512, 2, shape);
    ExpectRefused(512, 1024, 2, shape);
    ExpectRefused(0, 0, 1, shape);
    ExpectRefused(-8, -8, 1, shape);
    ExpectRefused(65536, 65536, 1, shape);  // more pixels than a 32-bit index reaches
}
