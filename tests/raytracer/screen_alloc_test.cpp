// A frame allocates nothing: the global operator new of this test program counts the
// allocations made from any thread while counting is switched on. (The OpenGL calls of a frame
// allocate, if at all, inside the driver with malloc, outside the count; except llvmpipe's
// shader compiler, LLVM, which uses operator new: the first frames meet every state first.)
//
// Only in builds without a sanitizer: replacing operator new there would take the sanitizers'
// own allocation checks away from every other test of the program.

// GCC announces its sanitizers with __SANITIZE_*__, clang through __has_feature.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define REDOWL_SANITIZED_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define REDOWL_SANITIZED_BUILD 1
#endif

#if !defined(REDOWL_SANITIZED_BUILD)

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "raytracer/screen_tracer.h"
#include "render/render.h"
#include "tests/raytracer/screen_test_scene.h"
#include "tests/support/gl_context.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* CountedAllocation(std::size_t n) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return CountedAllocation(n); }
void* operator new[](std::size_t n) { return CountedAllocation(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

TEST(ScreenAllocTest, FramesOfEveryKindAllocateNothing) {
    ASSERT_TRUE(redowl_test::EnsureGlContext());
    auto scene = redowl_test::MakeBoxOverFloorScene(redowl_test::VECTOR(0.0f, 6.0f, 2.0f, 0.0f));
    scene->lights[0].radius = 0.5f;  // passes of the settling picture in both modes
    std::vector<float> depth(160 * 136, 0.9995f);
    for (int n : {1, 4, 16}) {
        RAYTR::ScreenTracer tracer(160, 136, n);
        tracer.AttachScene(scene.get());
        // The counter itself must see allocations.
        counting = true;
        int* volatile probe = new int(1);  // volatile: the allocation may not be elided
        delete probe;
        counting = false;
        ASSERT_EQ(allocations.exchange(0), 1);

        counting = true;
        for (int f = 0; f < 20; ++f) {
            tracer.useZBuffer = false;
            tracer.TraceFrame(nullptr);
            tracer.useZBuffer = true;
            tracer.TraceFrame(depth.data());
            tracer.AccumulatePass();
            tracer.TraceFullFrame();
            tracer.AccumulatePass();
        }
        counting = false;
        EXPECT_EQ(allocations.exchange(0), 0) << "n=" << n;
        for (const auto& t : tracer.Tiles()) EXPECT_EQ(t.passesDone, 160u);  // 2 + 2 + 1 + 2 + 1 per round
        // Within the frame budget: lattice frames of every step, filled in, then passes.
        counting = true;
        for (int step = 2; step <= 8; ++step) {
            tracer.TraceLatticeFrame(step, step * 5);
            tracer.FillIn(2);
            tracer.FillIn(100);
            tracer.AccumulatePass();
        }
        counting = false;
        EXPECT_EQ(allocations.exchange(0), 0) << "n=" << n << ", lattice frames";
    }
}

// The hybrid frame as the display draws it: preview, depth words, mask, upload and overlay;
// the first moving frame makes the coarse mask's tables, the later ones allocate nothing.
TEST(ScreenAllocTest, AHybridFrameThroughTheRendererAllocatesNothing) {
    ASSERT_TRUE(redowl_test::EnsureGlContext());
    auto scene = redowl_test::MakeBoxOverFloorScene(redowl_test::VECTOR(0.0f, 6.0f, 2.0f, 0.0f));
    Renderer render(160, 136);
    render.AttachScene(scene.get());
    RAYTR::ScreenTracer tracer(160, 136, 4);
    tracer.AttachScene(scene.get());
    tracer.useZBuffer = true;
    // Moving frames (every second pixel's mask) and still ones in turns.
    int frames = 0;
    const auto frame = [&] {
        render.DrawPreview();
        const RAYTR::DepthWords depth{render.ReadDepthBuffer()};
        if (frames++ % 2 == 0)
            tracer.TraceCoarseMask(depth);
        else
            tracer.TraceFrame(depth);
        tracer.UploadTexture(0);
        tracer.BindTexture(0);
        render.DrawOverlay();
    };
    // The first upload makes the texture's storage, and the driver compiles (with LLVM, whose
    // allocations this program's operator new counts) a shader for each state it meets first;
    // after a few frames every state of the frame has been met.
    for (int f = 0; f < 3; ++f) frame();
    counting = true;
    for (int f = 0; f < 10; ++f) frame();
    counting = false;
    EXPECT_EQ(allocations.exchange(0), 0);
}

#endif  // no sanitizer
