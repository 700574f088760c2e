// The traced image within a frame budget: a lattice frame filled in is the full trace byte for
// byte, whatever the step, phase, size and thread count; while moving, no reconstructed pixel
// takes its colour from the other side of a silhouette; the bytes are the same for any thread
// count.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

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

std::vector<std::uint32_t> Copy(const ScreenTracer& t) { return {t.Buffer(), t.Buffer() + t.Width() * t.Height()}; }

// A lattice frame, then one phase per fill-in until complete; returns the fill-in calls.
int FillCompletely(ScreenTracer& t) {
    int calls = 0;
    while (!t.Complete()) {
        t.FillIn(1);
        ++calls;
    }
    return calls;
}

// The object a pixel's primary ray hits (its transform's address), 0 for none.
std::uintptr_t SurfaceKey(const ScreenTracer& t, int p) {
    RAYTR::RayHit hit;
    if (!RAYTR::ClosestHit(t.Camera().PixelRay(p / t.Width(), p % t.Width()), *t.AttachedScene(), hit)) return 0;
    return reinterpret_cast<std::uintptr_t>(hit.transform);
}

class ScreenLatticeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(redowl_test::EnsureGlContext());
        box = redowl_test::MakeBoxOverFloorScene(VECTOR(1.0f, 6.0f, 2.0f, 1.0f));
        box->eye = VECTOR(0.0f, 4.0f, 12.0f, 1.0f);
    }
    std::unique_ptr<RAYTR::Scene> box;
};

}  // namespace

TEST_F(ScreenLatticeTest, TheFillInReachesTheFullTraceByteForByte) {
    RAYTR::Scene* demo = redowl_test::DemoScene();
    ASSERT_NE(demo, nullptr);
    struct Case {
        RAYTR::Scene* scene;
        int width, height, threads, step, phase;
    };
    // Sizes that are no multiple of the step or of a tile, phases off the origin.
    const Case cases[] = {{box.get(), 77, 53, 1, 2, 3}, {box.get(), 130, 67, 4, 3, 5}, {demo, 96, 96, 3, 4, 11},
                          {demo, 71, 40, 2, 8, 63}, {box.get(), 5, 3, 2, 8, 9},
                          {demo, 101, 62, 3, 12, 77}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << ", step " << c.step << ", phase " << c.phase);
        ScreenTracer full(c.width, c.height, c.threads);
        full.AttachScene(c.scene);
        full.TraceFullFrame();
        ScreenTracer t(c.width, c.height, c.threads);
        t.AttachScene(c.scene);
        t.TraceLatticeFrame(c.step, c.phase);
        EXPECT_FALSE(t.Complete());
        {
            // No settling pass over pixels that are not their own yet.
            TIRN_ERROR::BoxRecorder recorder;
            EXPECT_THROW(t.AccumulatePass(), TIRN_ERROR::Error);
        }
        EXPECT_EQ(t.PhasesLeft(), c.step * c.step - 1);
        const int calls = FillCompletely(t);
        EXPECT_EQ(calls, c.step * c.step - 1);
        EXPECT_EQ(Copy(t), Copy(full));
        EXPECT_EQ(t.Samples(), 1);
        // The settling picture goes on from there as from the full trace.
        full.AccumulatePass();
        t.AccumulatePass();
        EXPECT_EQ(Copy(t), Copy(full));
    }
    // Filling in several phases at a time ends in the same picture.
    ScreenTracer full(90, 70, 2), t(90, 70, 2);
    full.AttachScene(demo);
    t.AttachScene(demo);
    full.TraceFullFrame();
    t.TraceLatticeFrame(4, 0);
    EXPECT_GT(t.FillIn(6), 0);
    EXPECT_EQ(t.PhasesLeft(), 9);
    t.FillIn(100);
    EXPECT_TRUE(t.Complete());
    EXPECT_EQ(Copy(t), Copy(full));
}

TEST_F(ScreenLatticeTest, EveryPixelIsTracedOnceInStepSquaredFramesOfTheLatticeOffsets) {
    const int k = 3;
    ScreenTracer t(40, 31, 2);
    t.AttachScene(box.get());
    std::vector<int> traced(40 * 31, 0);
    for (int phase = 0; phase < k * k; ++phase) {
        t.TraceLatticeFrame(k, phase);
        int lattice = 0;
        for (int p = 0; p < 40 * 31; ++p) {
            const int r = p / 40, c = p % 40;
            int dr = 0, dc = 0;
            RAYTR::TracedPicture::PhaseOffset(k, phase, dr, dc);
            EXPECT_EQ(RAYTR::TracedPicture::PhaseOf(k, dr, dc), phase);
            if (r % k == dr && c % k == dc) {
                ASSERT_EQ(t.Traced().ExactPixels()[p], 1) << p;
                ++traced[static_cast<std::size_t>(p)];
                ++lattice;
            }
        }
        EXPECT_LE(lattice, t.LastTracedPixels());
    }
    for (int p = 0; p < 40 * 31; ++p) EXPECT_EQ(traced[static_cast<std::size_t>(p)], 1) << p;
}

TEST_F(ScreenLatticeTest, NoReconstructedPixelTakesItsColourFromTheOtherSideOfAnEdge) {
    // The demo's knot passes in front of itself and of the floor and the black sky; the box's
    // edges stand against the floor and the black background.
    RAYTR::Scene* demo = redowl_test::DemoScene();
    ASSERT_NE(demo, nullptr);
    struct Case {
        RAYTR::Scene* scene;
        int step, phase;
    };
    for (const Case& c : {Case{demo, 4, 0}, Case{demo, 3, 4}, Case{box.get(), 4, 7}, Case{demo, 8, 20}, Case{demo, 12, 30}}) {
        SCOPED_TRACE(testing::Message() << "step " << c.step << ", phase " << c.phase);
        const int w = 120, h = 96, k = c.step;
        ScreenTracer t(w, h, 2);
        t.AttachScene(c.scene);
        t.TraceLatticeFrame(k, c.phase);
        std::vector<std::uintptr_t> key(static_cast<std::size_t>(w * h));
        for (int p = 0; p < w * h; ++p) key[static_cast<std::size_t>(p)] = SurfaceKey(t, p);
        int reconstructed = 0, nearEdges = 0;
        for (int p = 0; p < w * h; ++p) {
            if (t.Traced().ExactPixels()[p] != 0) continue;
            ++reconstructed;
            const int r = p / w, col = p % w;
            // The colours of the traced pixels within a lattice step that show the pixel's own
            // object: the reconstruction must stay within their range.
            int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0}, found = 0;
            bool otherObjectNear = false;
            for (int rr = std::max(0, r - k); rr <= std::min(h - 1, r + k); ++rr)
                for (int cc = std::max(0, col - k); cc <= std::min(w - 1, col + k); ++cc) {
                    const int q = rr * w + cc;
                    if (t.Traced().ExactPixels()[q] == 0) continue;
                    if (key[static_cast<std::size_t>(q)] != key[static_cast<std::size_t>(p)]) {
                        otherObjectNear = true;
                        continue;
                    }
                    const auto* bytes = reinterpret_cast<const std::uint8_t*>(t.Buffer() + q);
                    for (int ch = 0; ch < 3; ++ch) {
                        lo[ch] = std::min<int>(lo[ch], bytes[ch]);
                        hi[ch] = std::max<int>(hi[ch], bytes[ch]);
                    }
                    ++found;
                }
            nearEdges += otherObjectNear ? 1 : 0;
            ASSERT_GT(found, 0) << "pixel " << r << ", " << col << " has no traced pixel of its object near and was not traced";
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(t.Buffer() + p);
            for (int ch = 0; ch < 3; ++ch) {
                EXPECT_GE(bytes[ch] + 1, lo[ch]) << "pixel " << r << ", " << col << " channel " << ch;
                EXPECT_LE(bytes[ch], hi[ch] + 1) << "pixel " << r << ", " << col << " channel " << ch;
            }
        }
        EXPECT_GT(reconstructed, w * h / 2);
        EXPECT_GT(nearEdges, 50);  // the scene has edges to test
    }
}

TEST_F(ScreenLatticeTest, TheSameBytesForAnyThreadCountMovingAndStill) {
    RAYTR::Scene* demo = redowl_test::DemoScene();
    ASSERT_NE(demo, nullptr);
    std::vector<std::uint32_t> moving[3], still[3];
    const int threads[3] = {1, 2, 7};
    for (int i = 0; i < 3; ++i) {
        ScreenTracer t(150, 100, threads[i]);
        t.AttachScene(demo);
        t.TraceLatticeFrame(3, 2);
        moving[i] = Copy(t);
        t.FillIn(3);
        t.FillIn(5);
        t.AccumulatePass();
        t.AccumulatePass();
        still[i] = Copy(t);
    }
    for (int i = 1; i < 3; ++i) {
        EXPECT_EQ(moving[i], moving[0]) << threads[i] << " threads";
        EXPECT_EQ(still[i], still[0]) << threads[i] << " threads";
    }
}
