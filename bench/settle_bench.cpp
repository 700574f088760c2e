// The settling picture's measures on the demo scene at 512 x 512, light held at angle 1 (the
// demo's light radius 0.3 and traced sky):
//   1. the root-mean-square difference of the shown picture to a 4,096-sample reference after
//      1, 16, 64 and 256 passes, and the seconds each took to reach (traced image and hybrid
//      mask, the tracer's threads as the demo configures them);
//   2. the processor time of the real viewer over 5 seconds while it rests on a converged
//      picture (started on the demo, light stopped with 'p', the title awaited).
// The frame rate while the view moves is frame_bench's.
//
//   settle_bench [--reference-passes N] [--viewer-only | --passes-only]
// Needs an X display (Xvfb) and, for the second part, xdotool and the built viewer.
#include <GL/freeglut.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
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

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The picture a mode shows, one float per channel byte.
std::vector<float> Shown(const RAYTR::ScreenTracer& t, bool traced) {
    const std::size_t n = static_cast<std::size_t>(t.Width()) * t.Height();
    std::vector<float> v(traced ? n * 3 : n);
    for (std::size_t p = 0; p < n; ++p) {
        if (!traced) {
            v[p] = t.MaskBytes()[p];
            continue;
        }
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(t.Buffer(0) + p);
        for (int c = 0; c < 3; ++c) v[p * 3 + c] = bytes[c];
    }
    return v;
}

double Rms(const std::vector<float>& a, const std::vector<float>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += double(a[i] - b[i]) * double(a[i] - b[i]);
    return std::sqrt(sum / double(a.size()));
}

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

double ProcessorSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) return -1.0;
    char state = 0;
    unsigned long utime = 0, stime = 0;
    if (std::sscanf(line.c_str() + close + 2, "%c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &state, &utime,
                    &stime) != 3)
        return -1.0;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

void Passes(WIN_NMS::ViewerObjects& viewer, bool traced, int referencePasses) {
    WIN_NMS::WIN_MAIN_CLASS& win = viewer.app;
    win.tracedImageMode = traced;
    win.accumulation.enabled = false;
    win.display();  // light, rotation and camera of the frame; the tracer's matrices
    RAYTR::ScreenTracer& t = *viewer.tracer;
    const auto frame = [&] {
        if (traced) t.TraceFullFrame();
        else t.TraceFrame(RAYTR::DepthWords{viewer.renderer->DepthBuffer()});
    };
    // The reference: the same passes, referencePasses of them.
    const auto r0 = Clock::now();
    frame();
    for (int n = 1; n < referencePasses; ++n) t.AccumulatePass();
    const double referenceSeconds = Since(r0);
    const std::vector<float> reference = Shown(t, traced);
    std::printf("%s, %d threads: reference of %d samples in %.1f s\n", traced ? "traced image" : "hybrid mask",
                t.ThreadCount(), t.Samples(), referenceSeconds);
    std::printf("  samples |  RMS to the reference (grey levels) | RMS x sqrt(samples) | seconds\n");
    const auto start = Clock::now();
    frame();
    for (int n = 1;; ++n) {
        if (n == 1 || n == 16 || n == 64 || n == 256) {
            const double seconds = Since(start);
            const double rms = Rms(Shown(t, traced), reference);
            std::printf("  %7d | %35.3f | %19.2f | %7.2f\n", n, rms, rms * std::sqrt(double(n)), seconds);
            if (n == 256) break;
        }
        t.AccumulatePass();
    }
    std::fflush(stdout);
}

void Resting(const std::string& demo) {
    const std::string viewerPath = std::string(REDOWL_BINARY_DIR) + "/redowl";
    if (!fs::exists(viewerPath) || Shell("command -v xdotool").empty()) {
        std::printf("viewer at rest: needs %s and xdotool\n", viewerPath.c_str());
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
        execl(viewerPath.c_str(), viewerPath.c_str(), demo.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto await = [&](const std::string& prefix, double seconds) {
        const auto t0 = Clock::now();
        while (Since(t0) < seconds) {
            const std::string id = Shell("xdotool search --pid " + std::to_string(pid) + " --name '^" + prefix + "' 2>/dev/null | head -1");
            if (!id.empty()) return id;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return std::string();
    };
    const std::string window = await("FPS=", 120.0);
    if (window.empty()) {
        std::printf("viewer at rest: no frame within 120 s\n");
    } else {
        Shell("xdotool key --window " + window + " p");
        const auto t0 = Clock::now();
        if (await("converged, ", 600.0).empty()) {
            std::printf("viewer at rest: not converged within 600 s\n");
        } else {
            const double settled = Since(t0);
            const std::string title = Shell("xdotool getwindowname " + window);
            const double c0 = ProcessorSeconds(pid);
            const auto w0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(5));
            const double cpu = ProcessorSeconds(pid) - c0, wall = Since(w0);
            std::printf("viewer at rest (\"%s\", %.1f s after 'p'): %.3f s of processor time in %.2f s = %.2f%% of one core\n",
                        title.c_str(), settled, cpu, wall, 100.0 * cpu / wall);
        }
        Shell("xdotool key --window " + window + " Escape");
    }
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
    int referencePasses = 4096;
    bool passes = true, viewerAtRest = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--reference-passes") && i + 1 < argc) referencePasses = std::max(256, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--viewer-only")) passes = false;
        else if (!std::strcmp(argv[i], "--passes-only")) viewerAtRest = false;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        std::fprintf(stderr, "settle_bench: needs an X display (try Xvfb)\n");
        return 1;
    }
    const std::string demo = fs::absolute(fs::path(REDOWL_BINARY_DIR) / "settle_bench_demo").string();
    std::string error;
    if (!LOAD_3DS::WriteDemoScene(demo, &error)) {
        std::fprintf(stderr, "settle_bench: cannot write the demo scene: %s\n", error.c_str());
        return 1;
    }
    double load[3] = {0.0, 0.0, 0.0};
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1.0;
        std::fclose(f);
    }
    std::printf("demo scene at 512 x 512, light at angle 1, load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    if (passes) {
        static WIN_NMS::ViewerObjects viewer;
        fs::current_path(demo);
        viewer.config.ReadFile("release.cgf");
        glutInit(&argc, argv);
        glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
        glutInitWindowSize(512, 512);
        glutCreateWindow("settle_bench");
        glutDisplayFunc([] {});
        for (int i = 0; i < 10; ++i) glutMainLoopEvent();
        WIN_NMS::WIN_MAIN_CLASS& win = viewer.app;
        win.width = win.height = 512;
        win.reshape(512, 512);
        win.display();  // assembly
        win.frame.lightAngle = 1.0f;
        win.frame.lightSpeed = 0.0f;
        Passes(viewer, true, referencePasses);
        Passes(viewer, false, referencePasses);
    }
    if (viewerAtRest) Resting(demo);
    return 0;
}
