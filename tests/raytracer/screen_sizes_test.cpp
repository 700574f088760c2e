// Every window size up to 64 x 64 and a sample of larger ones, with thread counts from 0 to 5, in
// both modes and on both mask paths: the tracer covers every pixel and never leaves its buffers
// (the AddressSanitizer build checks the second part).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "tests/raytracer/screen_test_scene.h"
#include "tests/support/gl_context.h"

namespace {

using RAYTR::ScreenTracer;

void TraceEveryKind(RAYTR::Scene& scene, int w, int h, int n) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " n=" + std::to_string(n));
    ScreenTracer tracer(w, h, n);
    tracer.AttachScene(&scene);
    const std::vector<float> depth(static_cast<std::size_t>(w) * h, 0.99f);
    for (const bool useDepth : {false, true}) {
        tracer.useZBuffer = useDepth;
        tracer.TraceFrame(depth.data());
        for (int p = 0; p < w * h; ++p) {
            const std::uint32_t v = tracer.Buffer()[p];
            ASSERT_TRUE(v == ScreenTracer::kLit || v == ScreenTracer::kShadow) << "pixel " << p % w << "," << p / w;
        }
    }
    tracer.TraceFullFrame();
}

}  // namespace

TEST(ScreenSizesTest, EverySmallSizeAndASampleOfLargerOnesStayInsideTheirBuffers) {
    ASSERT_TRUE(redowl_test::EnsureGlContext());
    auto scene = redowl_test::MakeBoxOverFloorScene(redowl_test::VECTOR(0.0f, 6.0f, 2.0f, 0.0f));
    for (int w = 1; w <= 64; ++w)
        for (int h = 1; h <= 64; ++h) TraceEveryKind(*scene, w, h, (w + 2 * h) % 6);
    // Lattices that used to start past small screens, long thin ones and the largest sides.
    for (auto [w, h, n] : {std::tuple{8, 8, 4}, std::tuple{4, 4, 4}, std::tuple{9, 9, 9}, std::tuple{16, 16, 16},
                           std::tuple{65, 65, 3}, std::tuple{1000, 1, 2}, std::tuple{1, 1000, 3}, std::tuple{513, 257, 0},
                           std::tuple{8192, 2, 5}, std::tuple{3, 8192, 1}, std::tuple{640, 480, 7}})
        TraceEveryKind(*scene, w, h, n);
}
