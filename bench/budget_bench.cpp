// The frame budget on the demo scene at 1920 x 1080 (or --size W H), whole frames of the
// viewer (tracing, reconstruction, copy to the window, swap) with software OpenGL:
//   1. the traced image while the light moves, 0.01 radians a frame: frames within the 50 ms
//      budget beside full traces of the same light angles, in turns (each keeps its own cost
//      history), with the medians, their ratio and the frames per second;
//   2. the view holding still: the lattice frame, the frames its fill-in needs and their time,
//      and whether the picture is then the full trace's byte for byte;
//   3. the hybrid frame's profile: the preview rasterised (glFinish), the depth read-back, the
//      mask, its upload and overlay, the swap; what is ours (tracing, upload) beside the rest;
//      with the whole mask and with the coarse mask of every second pixel, in turns;
//   4. the viewer's own hybrid frames while the light moves: how many the budget made coarse;
//   5. memory: the resident bytes the tracer and the renderer hold, from the process's resident
//      memory with them and after they are gone, per pixel beside their tables' size.
// Prints the load average beside the figures (the machine is shared).
//
//   budget_bench [--size W H] [--frames N]
// Needs an X display (Xvfb -screen 0 1920x1080x24).
#include <GL/freeglut.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/viewer_objects.h"
#include "app/win_main.h"
#include "loaders/demo_scene.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "render/render.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double, std::milli>(to - from).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

std::string Load() {
    char text[64] = "?";
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        double a = 0, b = 0, c = 0;
        if (std::fscanf(f, "%lf %lf %lf", &a, &b, &c) == 3) std::snprintf(text, sizeof text, "%.2f %.2f %.2f", a, b, c);
        std::fclose(f);
    }
    return text;
}

WIN_NMS::ViewerObjects viewer;
WIN_NMS::WIN_MAIN_CLASS& win = viewer.app;

// 1. Moving light, in turns: our frame (50 ms budget) and the full trace of the same angle;
// our budget keeps its costs in `ours`.
void TracedWhileMoving(int frames, WIN_NMS::FrameBudget& ours) {
    win.tracedImageMode = true;
    win.accumulation.enabled = false;  // every frame a new picture, as while the light moves
    win.frame.lightSpeed = 0.0f;
    WIN_NMS::FrameBudget full;
    full.budgetMs = 0.0;
    std::vector<double> oursMs, fullMs, oursTracing, oursShading, oursCopy, oursSwap, share;
    const std::string loadBefore = Load();
    for (int i = 0; i < frames; ++i) {
        win.frame.lightAngle = 1.0f + 0.01f * static_cast<float>(i);
        for (int turn = 0; turn < 2; ++turn) {
            WIN_NMS::FrameBudget& b = turn == 0 ? ours : full;
            std::swap(win.budget, b);
            win.display();
            std::swap(win.budget, b);
            if (i == 0) continue;  // the first frame warms caches and the driver
            if (turn == 0) {
                oursMs.push_back(1e3 * win.timings.frame);
                oursTracing.push_back(1e3 * win.timings.tracing);
                oursShading.push_back(1e3 * win.timings.shading);
                oursCopy.push_back(1e3 * win.timings.upload);
                oursSwap.push_back(1e3 * win.timings.swap);
                share.push_back(win.timings.tracedShare);
            } else {
                fullMs.push_back(1e3 * win.timings.frame);
            }
        }
    }
    const double o = Median(oursMs), f = Median(fullMs);
    std::printf("\n1. traced image while the light moves (%d frames each, in turns; load average %s before, %s after)\n",
                frames - 1, loadBefore.c_str(), Load().c_str());
    std::printf("   full trace: median frame %.1f ms (%.1f fps)\n", f, 1e3 / f);
    std::printf("   50 ms budget: median frame %.1f ms (%.1f fps), ratio %.3f (1/%.1f); median traced share %.4f\n", o,
                1e3 / o, o / f, f / o, Median(share));
    std::printf("     of which: lattice shading %.1f, reconstruction %.1f, copy to the window %.1f, swap %.1f ms\n",
                Median(oursShading), Median(oursTracing) - Median(oursShading), Median(oursCopy), Median(oursSwap));
}

// 2. The view holds still: the lattice frame, then its fill-in, against the full trace.
void TracedHoldingStill(WIN_NMS::FrameBudget& ours) {
    RAYTR::ScreenTracer& tracer = *viewer.tracer;
    win.frame.lightAngle = 1.0f;
    win.accumulation.enabled = true;
    win.accumulation.maxSamples = 1;
    win.accumulation.Restart();
    std::swap(win.budget, ours);  // with the moving frames' costs
    win.display();
    const int step = tracer.LatticeStep();
    const auto fillStart = Clock::now();
    int fillFrames = 0;
    while (!tracer.Complete() && fillFrames < 1000) {
        win.display();
        ++fillFrames;
    }
    const double fillMs = Ms(fillStart, Clock::now());
    std::swap(win.budget, ours);
    const std::vector<std::uint32_t> filled(tracer.Buffer(), tracer.Buffer() + tracer.Width() * tracer.Height());
    WIN_NMS::FrameBudget full;
    full.budgetMs = 0.0;
    std::swap(win.budget, full);
    win.accumulation.enabled = false;
    win.display();
    std::swap(win.budget, full);
    const bool same = std::equal(filled.begin(), filled.end(), tracer.Buffer());
    std::printf("\n2. the view holds still (load average %s): lattice step %d, then %d fill-in frames in %.0f ms; "
                "the picture %s the full trace's byte for byte\n",
                Load().c_str(), step, fillFrames, fillMs, same ? "equals" : "DIFFERS FROM");
}

// 3. The hybrid frame, stage by stage, with the preview's rasterisation finished apart: the
// whole mask (a still frame, or a moving frame that fits the budget) and the coarse mask of
// every second pixel, in turns.
void HybridProfile(int frames) {
    RAYTR::ScreenTracer& tracer = *viewer.tracer;
    win.tracedImageMode = false;
    struct Stages {
        std::vector<double> preview, raster, depth, mask, upload, swap, total;
    } whole, moving;
    WIN_NMS::Renderer& renderer = *viewer.renderer;
    for (int i = 0; i < 2 * frames; ++i) {
        const bool coarse = i % 2 == 1;
        Stages& st = coarse ? moving : whole;
        win.frame.lightAngle = 1.0f + 0.01f * static_cast<float>(i / 2);
        win.display();  // the viewer's frame: light, camera
        const auto t0 = Clock::now();
        renderer.DrawPreview();
        const auto t1 = Clock::now();
        glFinish();
        const auto t2 = Clock::now();
        const RAYTR::DepthWords words{renderer.ReadDepthBuffer()};
        const auto t3 = Clock::now();
        if (coarse)
            tracer.TraceCoarseMask(words);
        else
            tracer.TraceFrame(words);
        const auto t4 = Clock::now();
        tracer.UploadTexture(0);
        tracer.BindTexture(0);
        renderer.DrawOverlay();
        const auto t5 = Clock::now();
        glutSwapBuffers();
        glFinish();
        const auto t6 = Clock::now();
        if (i < 2) continue;
        st.preview.push_back(Ms(t0, t1));
        st.raster.push_back(Ms(t1, t2));
        st.depth.push_back(Ms(t2, t3));
        st.mask.push_back(Ms(t3, t4));
        st.upload.push_back(Ms(t4, t5));
        st.swap.push_back(Ms(t5, t6));
        st.total.push_back(Ms(t0, t6));
    }
    std::printf("\n3. hybrid frame profile (%d frames each, in turns, load average %s): median ms\n", frames - 1, Load().c_str());
    double mine[2] = {0.0, 0.0};
    for (int k = 0; k < 2; ++k) {
        const Stages& st = k == 0 ? whole : moving;
        mine[k] = Median(st.mask) + Median(st.upload);
        const double share = mine[k] / Median(st.total);
        std::printf("   %s preview commands %.1f | preview rasterised (glFinish) %.1f | depth copy %.1f | mask %.1f | "
                    "upload and overlay %.1f | swap %.1f | whole %.1f\n",
                    k == 0 ? "whole mask: " : "coarse mask:", Median(st.preview), Median(st.raster), Median(st.depth),
                    Median(st.mask), Median(st.upload), Median(st.swap), Median(st.total));
        std::printf("      ours (mask tracing, upload) %.1f ms: %.0f%% of the frame; OpenGL (rasterising, read-back, swap): %.0f%%\n",
                    mine[k], 100.0 * share, 100.0 * (1.0 - share));
    }
    std::printf("   ours with the coarse / with the whole mask: %.2f\n", mine[1] / mine[0]);
}

// 4. The viewer's own moving hybrid frames within the 50 ms budget: which mask the budget
// chose, and the frames' medians.
void HybridWhileMoving(int frames) {
    win.tracedImageMode = false;
    win.accumulation.enabled = false;
    win.budget = WIN_NMS::FrameBudget{};
    win.budget.budgetMs = 50.0;
    std::vector<double> frameMs, tracingMs;
    int coarse = 0;
    for (int i = 0; i < frames; ++i) {
        win.frame.lightAngle = 2.0f + 0.01f * static_cast<float>(i);
        win.display();
        if (i == 0) continue;
        frameMs.push_back(1e3 * win.timings.frame);
        tracingMs.push_back(1e3 * win.timings.tracing);
        coarse += win.timings.latticeStep > 1;
    }
    std::printf("\n4. the viewer's hybrid frames while the light moves, 50 ms budget (%d frames, load average %s): "
                "%d coarse; median frame %.1f ms (%.1f fps), mask %.1f ms\n",
                frames - 1, Load().c_str(), coarse, Median(frameMs), 1e3 / Median(frameMs), Median(tracingMs));
}

// Resident memory of this process, bytes (VmRSS).
double ResidentBytes() {
    double kb = 0.0;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "VmRSS: %lf kB", &kb) == 1) break;
        std::fclose(f);
    }
    return kb * 1024.0;
}

// 5. After frames of both modes: what the tracer and the renderer hold resident, per pixel.
void Memory() {
    const int w = viewer.tracer->Width(), h = viewer.tracer->Height();
    const double pixels = static_cast<double>(w) * h;
    const double tables = static_cast<double>(RAYTR::ScreenTracer::TableBytes(w, h)) + 4.0 * pixels;  // and the depth copy
    malloc_trim(0);  // the heap's free blocks (the driver's, of the last frames) go first
    const double with = ResidentBytes();
    viewer.tracer.reset();
    viewer.renderer.reset();
    malloc_trim(0);
    const double without = ResidentBytes();
    std::printf("\n5. memory after frames of both modes: resident %.1f MB with the tracer and the renderer, %.1f MB "
                "without: %.1f bytes a pixel theirs (their tables: %.1f bytes a pixel)\n",
                with / 1048576.0, without / 1048576.0, (with - without) / pixels, tables / pixels);
}

}  // namespace

int main(int argc, char** argv) {
    int width = 1920, height = 1080, frames = 30;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--size") && i + 2 < argc) {
            width = std::atoi(argv[++i]);
            height = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) {
            frames = std::max(2, std::atoi(argv[++i]));
        }
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        std::fprintf(stderr, "budget_bench: needs an X display (try Xvfb)\n");
        return 1;
    }
    const std::string demo = fs::absolute(fs::path(REDOWL_BINARY_DIR) / "budget_bench_demo").string();
    std::string error;
    if (!LOAD_3DS::WriteDemoScene(demo, &error)) {
        std::fprintf(stderr, "budget_bench: cannot write the demo scene: %s\n", error.c_str());
        return 1;
    }
    fs::current_path(demo);
    viewer.config.ReadFile("release.cgf");
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(width, height);
    glutCreateWindow("budget_bench");
    glutDisplayFunc([] {});
    for (int i = 0; i < 10; ++i) glutMainLoopEvent();
    win.width = width;
    win.height = height;
    win.reshape(width, height);
    win.display();  // assembly
    const RAYTR::ScreenTracer& tracer = *viewer.tracer;
    std::printf("demo scene at %d x %d, %d threads, software OpenGL\n", tracer.Width(), tracer.Height(), tracer.ThreadCount());

    WIN_NMS::FrameBudget ours;
    ours.budgetMs = 50.0;
    TracedWhileMoving(frames, ours);
    TracedHoldingStill(ours);
    HybridProfile(frames);
    HybridWhileMoving(frames);
    Memory();
    return 0;
}
