// Time to a clean picture: the settling traced image of a noisy PBR scene (metal, emission, a
// rough coat, the sky light, a soft light) against a reference of many passes, with the plain
// mean, with the denoiser, and with the denoiser and adaptive passes. For each: the RMS to the
// reference (grey levels) after 1, 4, 8, 16 and 64 passes, and the passes and seconds until it
// is at most 2. Pictures after 1, 4 and 16 passes are written to --pictures DIR.
//
//   denoise_bench [--size WxH] [--reference-passes N] [--model FILE] [--pictures DIR]
//                 [--zoom F] [--runs 0-3]
// The model by default: Assimp's ClearCoatTest glTF (/usr/share/assimp/models) with three of
// its base materials turned to metal; its labels glow. Needs an X display (Xvfb).
#include <GL/freeglut.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/png_image.h"
#include "app/viewer_objects.h"
#include "app/win_main.h"
#include "loaders/import.h"
#include "loaders/model_scene.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

const char* const kDefaultModel = "/usr/share/assimp/models/glTF2/ClearCoat-glTF/ClearCoatTest.gltf";

// A copy of the ClearCoat test with the base spheres of three rows turned to metal.
bool WriteNoisyModel(const std::string& dir, std::string& path) {
    const fs::path source(kDefaultModel);
    std::error_code ec;
    fs::create_directories(dir, ec);
    for (const auto& entry : fs::directory_iterator(source.parent_path(), ec))
        fs::copy_file(entry.path(), fs::path(dir) / entry.path().filename(), fs::copy_options::overwrite_existing, ec);
    std::ifstream in(source);
    std::stringstream text;
    text << in.rdbuf();
    std::string json = text.str();
    if (json.empty()) return false;
    for (const char* name : {"\"Simple_Base\"", "\"RoughVariations_Base\"", "\"BaseNorm_Base\""}) {
        const auto at = json.find(name);
        const auto metal = at == std::string::npos ? at : json.find("\"metallicFactor\" : 0", at);
        if (metal == std::string::npos) return false;
        json.replace(metal, std::strlen("\"metallicFactor\" : 0"), "\"metallicFactor\" : 1");
    }
    path = (fs::path(dir) / "NoisyClearCoat.gltf").string();
    std::ofstream(path) << json;
    return true;
}

// The shown picture's channel bytes as floats.
std::vector<float> Shown(const RAYTR::ScreenTracer& t) {
    const std::size_t n = static_cast<std::size_t>(t.Width()) * t.Height();
    std::vector<float> v(n * 3);
    for (std::size_t p = 0; p < n; ++p) {
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

void Save(const RAYTR::ScreenTracer& t, const std::string& path) {
    WIN_NMS::Image image;
    image.width = t.Width();
    image.height = t.Height();
    image.channels = 3;
    image.pixels.resize(static_cast<std::size_t>(image.width) * image.height * 3);
    for (int r = 0; r < image.height; ++r)
        for (int c = 0; c < image.width; ++c) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(t.Buffer(0) + (image.height - 1 - r) * image.width + c);
            for (int k = 0; k < 3; ++k) image.pixels[(static_cast<std::size_t>(r) * image.width + c) * 3 + k] = bytes[k];
        }
    std::string error;
    if (!WIN_NMS::WritePng(path, image, &error)) std::fprintf(stderr, "denoise_bench: %s\n", error.c_str());
}

struct Run {
    const char* name;
    bool denoise, adaptive;
};

void Settle(RAYTR::ScreenTracer& t, const Run& run, const std::vector<float>& reference, const std::string& pictures,
            const std::string& size) {
    t.denoise = run.denoise;
    t.adaptiveSampling = run.adaptive;
    double traced = 0.0;  // seconds of the frame and its passes, the measures left out
    auto start = Clock::now();
    t.TraceFullFrame();
    traced += Since(start);
    int reached = 0;
    double reachedSeconds = 0.0;
    std::printf("%-22s", run.name);
    for (int n = 1; n <= 128; ++n) {
        if (n > 1) {
            start = Clock::now();
            t.AccumulatePass();
            traced += Since(start);
        }
        const double rms = Rms(Shown(t), reference);
        if (reached == 0 && rms <= 2.0) reached = n, reachedSeconds = traced;
        if (n == 1 || n == 4 || n == 8 || n == 16 || n == 64) std::printf(" | %5.2f", rms);
        if (!pictures.empty() && (n == 1 || n == 4 || n == 16))
            Save(t, pictures + "/" + size + "_" + std::to_string(n) + "_passes_" + (run.denoise ? "denoised" : "mean") +
                        (run.adaptive ? "_adaptive" : "") + ".png");
        if (reached != 0 && n >= 64) break;
    }
    if (reached != 0) std::printf(" | RMS 2 after %3d passes, %7.2f s\n", reached, reachedSeconds);
    else std::printf(" | RMS 2 not within 128 passes (%.2f s)\n", traced);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int width = 480, height = 270, referencePasses = 512;
    float zoom = 2.0f;
    int runs = 3;  // --runs: the first 1, 2 or 3 of mean, denoised, denoised and adaptive
    std::string model, pictures;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--size") && i + 1 < argc) std::sscanf(argv[++i], "%dx%d", &width, &height);
        else if (!std::strcmp(argv[i], "--reference-passes") && i + 1 < argc) referencePasses = std::max(16, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--model") && i + 1 < argc) model = argv[++i];
        else if (!std::strcmp(argv[i], "--pictures") && i + 1 < argc) pictures = argv[++i];
        else if (!std::strcmp(argv[i], "--zoom") && i + 1 < argc) zoom = static_cast<float>(std::atof(argv[++i]));
        else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        std::fprintf(stderr, "denoise_bench: needs an X display (try Xvfb)\n");
        return 1;
    }
    LOAD_3DS::SetImportHelper(REDOWL_IMPORT_HELPER);  // built in the top folder, not beside the benchmarks
    const std::string dir = fs::absolute(fs::path(REDOWL_BINARY_DIR) / "denoise_bench_scene").string();
    if (model.empty() && !WriteNoisyModel(dir + "_model", model)) {
        std::fprintf(stderr, "denoise_bench: cannot read %s\n", kDefaultModel);
        return 1;
    }
    std::string error;
    if (!LOAD_3DS::WriteModelScene(model, dir, false, &error)) {
        std::fprintf(stderr, "denoise_bench: %s\n", error.c_str());
        return 1;
    }
    if (!pictures.empty()) fs::create_directories(pictures);
    static WIN_NMS::ViewerObjects viewer;
    fs::current_path(dir);
    viewer.config.ReadFile("release.cgf");
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(width, height);
    glutCreateWindow("denoise_bench");
    glutDisplayFunc([] {});
    for (int i = 0; i < 10; ++i) glutMainLoopEvent();
    WIN_NMS::WIN_MAIN_CLASS& win = viewer.app;
    win.width = width, win.height = height;
    win.reshape(width, height);
    win.display();  // assembly
    win.frame.lightAngle = 1.0f;
    win.frame.lightSpeed = 0.0f;
    win.tracedImageMode = true;
    win.accumulation.enabled = false;
    win.ZoomAt(width * 0.5, height * 0.5, zoom);
    win.display();  // the camera of the zoomed view into the tracer
    RAYTR::ScreenTracer& t = *viewer.tracer;
    double load = -1.0;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = -1.0;
        std::fclose(f);
    }
    std::printf("%s at %d x %d, %d threads, load average %.2f\n", fs::path(model).filename().c_str(), t.Width(), t.Height(),
                t.ThreadCount(), load);
    const auto r0 = Clock::now();
    t.denoise = false;
    t.adaptiveSampling = false;
    t.TraceFullFrame();
    for (int n = 1; n < referencePasses; ++n) t.AccumulatePass();
    const std::vector<float> reference = Shown(t);
    std::printf("reference: the mean of %d passes, %.1f s\n", t.Samples(), Since(r0));
    // The filter alone, on the reference's sums: what showing a pass denoised adds to it.
    t.denoise = true;
    const auto f0 = Clock::now();
    for (int i = 0; i < 5; ++i) t.ShowAgain();
    std::printf("the denoiser: %.1f ms a picture\n", Since(f0) * 1e3 / 5.0);
    std::printf("%-22s |   RMS to the reference after 1, 4, 8, 16, 64 passes |\n", "picture");
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const Run all[3] = {{"mean", false, false}, {"denoised", true, false}, {"denoised, adaptive", true, true}};
    for (int i = 0; i < std::min(runs, 3); ++i) Settle(t, all[i], reference, pictures, size);
    return 0;
}
