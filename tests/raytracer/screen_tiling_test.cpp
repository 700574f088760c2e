// Construction of the ScreenTracer: the tiles and their cover of pixels, blocks and lattice
// points at any size, the thread counts, and the screens and thread counts that are refused.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "errors/errors.h"
#include "errors/message_box.h"
#include "raytracer/screen_tracer.h"
#include "tests/support/gl_context.h"

namespace {

using RAYTR::ScreenTracer;

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

TEST_F(ScreenTilingTest, TilesCoverEveryPixelBlockAndLatticePointExactlyOnce) {
    for (auto [w, h] : {std::pair{512, 512}, std::pair{640, 480}, std::pair{17, 17}, std::pair{1, 1}, std::pair{8, 8},
                        std::pair{65, 9}, std::pair{1280, 720}, std::pair{3, 200}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        ScreenTracer tracer(w, h, 3);
        // Lattice lines every 8 pixels up to the first at or past the last pixel.
        const int rows = tracer.BlockRows(), cols = tracer.BlockCols();
        EXPECT_EQ(rows, std::max(1, (h - 1 + 7) / 8));
        EXPECT_EQ(cols, std::max(1, (w - 1 + 7) / 8));
        EXPECT_GE(rows * 8, h - 1);
        EXPECT_LT((rows - 1) * 8, std::max(h - 1, 1));
        std::vector<int> pixels(static_cast<std::size_t>(w * h), 0), blocks(static_cast<std::size_t>(rows * cols), 0);
        for (const auto& t : tracer.Tiles()) {
            ASSERT_LT(t.rowStart, t.rowEnd);
            ASSERT_LT(t.colStart, t.colEnd);
            ASSERT_LE(t.blockRowEnd - t.blockRowStart, RAYTR::Tiling::kTileBlocks);
            for (int y = t.rowStart; y < t.rowEnd; ++y)
                for (int x = t.colStart; x < t.colEnd; ++x) ++pixels[static_cast<std::size_t>(y * w + x)];
            for (int i = t.blockRowStart; i < t.blockRowEnd; ++i)
                for (int j = t.blockColStart; j < t.blockColEnd; ++j) ++blocks[static_cast<std::size_t>(i * cols + j)];
        }
        for (int c : pixels) ASSERT_EQ(c, 1);
        for (int c : blocks) ASSERT_EQ(c, 1);
        // Never more threads than tiles.
        const int running = std::min(3, static_cast<int>(tracer.Tiles().size()));
        EXPECT_EQ(tracer.RunningWorkers(), running > 1 ? running : 0);
    }
}

TEST_F(ScreenTilingTest, ThreadCountsFromOneUpAndZeroForTheHardware) {
    ScreenTracer one(512, 512, 1);
    EXPECT_EQ(one.RunningWorkers(), 0);  // traced on the calling thread
    EXPECT_EQ(one.Workers().size(), 1u);
    ScreenTracer three(640, 480, 3);
    EXPECT_EQ(three.ThreadCount(), 3);
    EXPECT_EQ(three.RunningWorkers(), 3);
    ScreenTracer hardware(640, 480, 0);
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    EXPECT_EQ(hardware.ThreadCount(), cores);
    EXPECT_EQ(hardware.RunningWorkers(), cores > 1 ? cores : 0);
    // Far more threads than tiles: one thread per tile is enough.
    ScreenTracer many(100, 100, 1 << 20);
    EXPECT_EQ(many.RunningWorkers(), static_cast<int>(many.Tiles().size()));
}

TEST_F(ScreenTilingTest, ConstructionStateHoldsTheMarkerAndTheDefaultDepthConstants) {
    ScreenTracer tracer(64, 48, 4);
    ASSERT_NE(tracer.Buffer(0), nullptr);
    EXPECT_EQ(tracer.Buffer(1), nullptr);
    EXPECT_EQ(tracer.Buffer(-1), nullptr);
    EXPECT_EQ(tracer.Buffer(8), nullptr);
    for (int p = 0; p < 64 * 48; ++p) ASSERT_EQ(tracer.Buffer()[p], ScreenTracer::kUntraced);
    for (int p = 0; p < 64 * 48; ++p) ASSERT_EQ(tracer.MaskBytes()[p], 254);
    EXPECT_FLOAT_EQ(tracer.Camera().DepthA(), 1.001001f);
    EXPECT_FLOAT_EQ(tracer.Camera().DepthB(), 1.001001f);
    EXPECT_FALSE(tracer.useZBuffer);
    EXPECT_EQ(tracer.Samples(), 0);
    EXPECT_NE(tracer.TextureName(0), 0u);
}

TEST_F(ScreenTilingTest, NegativeThreadCountsAndUnservableScreensAreRefused) {
    for (int n : {-1, -4}) {
        ExpectRefused(512, 512, n,
                      "The ray tracer can not run " + std::to_string(n) +
                          " threads: tracer.threads_num must be 0 (one per hardware thread) or more");
    }
    const auto side = [](int w, int h) {
        return "The window of " + std::to_string(w) + " x " + std::to_string(h) +
               " pixels can not be ray traced: each side must have from 1 to 8192 pixels";
    };
    for (auto [w, h] : {std::pair{0, 0}, std::pair{0, 10}, std::pair{10, -8}, std::pair{8193, 1}, std::pair{1, 65536}})
        ExpectRefused(w, h, 1, side(w, h));
    // 8192 x 8192 would need about 3.3 GiB of tables.
    EXPECT_GT(ScreenTracer::TableBytes(8192, 8192), ScreenTracer::kMemoryBudget);
    ExpectRefused(8192, 8192, 2,
                  "The window of 8192 x 8192 pixels needs " + std::to_string(ScreenTracer::TableBytes(8192, 8192) >> 20) +
                      " MiB for ray tracing, more than the 2048 MiB allowed: make the window smaller");
}
