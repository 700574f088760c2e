// redowl-snapshot: renders frames of the scene of ./release.cgf with the viewer's own scene
// assembly and frame code in a hidden window and writes what the window shows as PNG files,
// with the time each stage of each frame took. Starts a private Xvfb when there is no display.
// A batch program: errors go to standard error, never to a box, and end it with status 1.
//
//   redowl-snapshot [options] [DIR | FILE...]     (the options: app/command_line.cpp's table)
// With DIR it runs as if started there (the output paths included); with model files (up to
// three) it renders them in the surroundings a written scene would give them. Installed and run
// in a folder without release.cgf, it renders the user's copy of the demo as the viewer opens it
// (the output paths then stay relative to the folder it was started in). Without --out the
// picture goes to NAME.png (NAME: the first model file's, or the scene folder's), never over a
// file that is there: a number is added instead; its path is printed.
#include <GL/freeglut.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/config.h"
#include "app/config_check.h"
#include "app/start_folder.h"
#include "app/png_image.h"
#include "app/viewer_objects.h"
#include "app/win_main.h"
#include "app/window_title.h"
#include "grid/kernel.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"

namespace {

// The same process-wide objects as the viewer, in the same order (app/viewer_objects.h); Err.txt
// likewise only in the folder it runs in.
std::ofstream errorLog;
WIN_NMS::ViewerObjects viewer;
WIN_NMS::WIN_MAIN_CLASS& win = viewer.app;
CONFIG::Lexer& config = viewer.config;

pid_t xvfbPid = -1;

struct Options {
    bool traced = false;
    int frames = 1;
    bool fixedAngle = false;
    float lightAngle = 1.0f;
    float viewX = 0.0f;
    float viewY = 0.0f;
    float zoom = 1.0f;                   // --zoom: everything this many times nearer
    bool zoomAtGiven = false;
    float zoomAt[2] = {0.0f, 0.0f};      // --zoom-at: window point zoomed towards (default the centre)
    float pan[2] = {0.0f, 0.0f};         // --pan: a right-button drag, pixels right and down
    std::string out;
    std::string maskOut;
    std::string timings;
    int gridPresses = 0;  // --grid: F3 pressed once per occurrence
    int maskPresses = 0;  // --mask-view: F4 likewise
    bool stats = false;   // --stats: the F12 report after the last frame
    int samples = 0;      // --samples: the settling picture of this many passes (0: each frame new)
    double budgetMs = -1.0;  // --budget-ms: tracer.frame_budget_ms for this run (below 0: the file's)
    bool noMarker = false;   // --no-marker: the preview without the light's marker
    bool defaultOut = false;  // --out was not given: NAME.png
    WIN_NMS::ModelChoices choices;  // --size, --up, --texture
    std::vector<std::string> places;
};

struct FrameRecord {
    WIN_NMS::FrameTimings timings;
    float light[3] = {0.0f, 0.0f, 0.0f};
};

// With a reason: on standard error (status 2); without: --help, on standard output.
int Usage(const char* why) {
    if (why) std::fprintf(stderr, "redowl-snapshot: %s\n", why);
    std::fprintf(why ? stderr : stdout,
                 "usage: redowl-snapshot [options] [--] [DIR | FILE...]\n"
                 "       redowl-snapshot --help | --version\n"
                 "Renders the scene of release.cgf in the current folder, or in DIR, or up to three model files of\n"
                 "any format the viewer reads side by side, in a hidden window (a private Xvfb without a display),\n"
                 "and writes the picture as PNG. Without --light-angle the light moves as in the viewer (--samples\n"
                 "keeps it at its first angle). From the scene's first view, --view-x and --view-y turn it, --zoom\n"
                 "zooms, then --pan pans. Within a frame budget a moving frame that the frames before say would not\n"
                 "fit it is a lattice frame (traced) or masks every second pixel (hybrid); the first frame, with\n"
                 "nothing measured, is whole. Installed and run in a folder without release.cgf, it renders the\n"
                 "demo as the viewer opens it (the output paths stay relative to the folder it was started in).\n"
                 "Options:\n%s"
                 "Save a settled picture from a script: redowl-snapshot --samples 64 FILE --out picture.png\n",
                 WIN_NMS::OptionHelp(WIN_NMS::kSnapshotProgram).c_str());
    return 2;
}

bool ParseFloat(const char* text, float& value) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v)) return false;
    value = static_cast<float>(v);
    return true;
}

// "A,B": two finite numbers separated by a comma.
bool ParsePair(const char* text, float value[2]) {
    const char* comma = std::strchr(text, ',');
    if (comma == nullptr) return false;
    const std::string first(text, comma);
    return ParseFloat(first.c_str(), value[0]) && ParseFloat(comma + 1, value[1]);
}

// Stops the private X server at every way out (exit after an error box included).
void StopXvfb() {
    if (xvfbPid > 0) {
        kill(xvfbPid, SIGTERM);
        waitpid(xvfbPid, nullptr, 0);
        xvfbPid = -1;
    }
}

// Starts a private Xvfb and points DISPLAY at it. The server picks a free display number
// itself and writes it to a pipe (-displayfd), so two snapshots started side by side never
// share a server, and only the server started here is stopped. -noreset: a server that resets
// when its last client leaves would refuse connections during the reset.
bool StartXvfb() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    xvfbPid = pid;
    std::atexit(StopXvfb);
    // The display number and a newline, within 10 s; end of file means the server failed.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char c = 0;
        if (read(fds[0], &c, 1) != 1) break;
        if (c == '\n') {
            close(fds[0]);
            if (number.empty()) break;
            setenv("DISPLAY", (":" + number).c_str(), 1);
            return true;
        }
        if (c < '0' || c > '9' || number.size() > 6) break;
        number += c;
    }
    close(fds[0]);
    StopXvfb();
    return false;
}

// The shadow mask as the overlay lays it on the window: window pixel (x, y from the bottom)
// shows mask byte y * W + x (lit 255, shadow 0; with samples of a light's sphere the mean,
// grey in a penumbra). Row 0 at the top.
WIN_NMS::Image MaskOnWindow(const RAYTR::ScreenTracer& t) {
    const int w = t.Width();
    const int h = t.Height();
    WIN_NMS::Image image;
    image.width = w;
    image.height = h;
    image.channels = 1;
    image.pixels.resize(static_cast<std::size_t>(w) * h);
    const std::uint8_t* mask = t.MaskBytes();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.pixels[static_cast<std::size_t>(h - 1 - y) * w + x] = mask[static_cast<std::size_t>(y) * w + x];
    return image;
}

bool WriteTimings(const std::string& path, const Options& options, const std::vector<FrameRecord>& frames) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    const RAYTR::ScreenTracer& t = *viewer.tracer;
    std::fprintf(f, "{\n  \"mode\": \"%s\",\n  \"width\": %d,\n  \"height\": %d,\n  \"threads\": %d,\n",
                 options.traced ? "traced" : "hybrid", t.Width(), t.Height(), t.ThreadCount());
    std::fprintf(f, "  \"use_zbuffer\": %s,\n  \"frame_budget_ms\": %.1f,\n  \"assembly_s\": %.6f,\n  \"frames\": [\n",
                 t.useZBuffer ? "true" : "false", win.budget.budgetMs, win.timings.assembly);
    double sum = 0.0;
    int counted = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const FrameRecord& r = frames[i];
        std::fprintf(f,
                     "    {\"preview_s\": %.6f, \"depth_read_s\": %.6f, \"tracing_s\": %.6f, \"upload_s\": %.6f, "
                     "\"resize_s\": %.6f, \"swap_s\": %.6f, \"frame_s\": %.6f, \"kind\": \"%s\", \"lattice_step\": %d, "
                     "\"traced_share\": %.6f, \"shading_s\": %.6f, \"light\": [%.5f, %.5f, %.5f]}%s\n",
                     r.timings.preview, r.timings.depthRead, r.timings.tracing, r.timings.upload, r.timings.resize,
                     r.timings.swap, r.timings.frame, r.timings.kind, r.timings.latticeStep, r.timings.tracedShare, r.timings.shading, r.light[0],
                     r.light[1], r.light[2], i + 1 < frames.size() ? "," : "");
        // The first frame warms caches and the driver; the rate counts the others when there are.
        if (i > 0 || frames.size() == 1) {
            sum += r.timings.frame;
            ++counted;
        }
    }
    const double mean = counted > 0 ? sum / counted : 0.0;
    std::fprintf(f, "  ],\n  \"mean_frame_s\": %.6f,\n  \"frames_per_second\": %.2f\n}\n", mean, mean > 0.0 ? 1.0 / mean : 0.0);
    const bool ok = std::fflush(f) == 0;
    std::fclose(f);
    return ok;
}

// One option with its value into options; returns the refusal, or null.
const char* ParseValued(const std::string& arg, const char* value, Options& options) {
    if (arg == "--frames" || arg == "--samples") {
        char* end = nullptr;
        const long n = std::strtol(value, &end, 10);
        const long most = arg == "--frames" ? 100000 : 1000000;
        if (end == value || *end != '\0' || n < 1 || n > most)
            return arg == "--frames" ? "--frames is a count from 1" : "--samples is a count from 1";
        (arg == "--frames" ? options.frames : options.samples) = static_cast<int>(n);
    } else if (arg == "--light-angle") {
        if (!ParseFloat(value, options.lightAngle)) return "--light-angle is a number (radians)";
        options.fixedAngle = true;
    } else if (arg == "--view-x") {
        if (!ParseFloat(value, options.viewX)) return "--view-x is a number (degrees)";
    } else if (arg == "--view-y") {
        if (!ParseFloat(value, options.viewY)) return "--view-y is a number (degrees)";
    } else if (arg == "--zoom") {
        if (!ParseFloat(value, options.zoom) || !(options.zoom > 0.0f)) return "--zoom is a factor above 0 (2: everything twice as near)";
    } else if (arg == "--zoom-at") {
        if (!ParsePair(value, options.zoomAt)) return "--zoom-at is a window point X,Y in pixels";
        options.zoomAtGiven = true;
    } else if (arg == "--pan") {
        if (!ParsePair(value, options.pan)) return "--pan is DX,DY in pixels";
    } else if (arg == "--budget-ms") {
        float ms = 0.0f;
        if (!ParseFloat(value, ms) || ms < 0.0f || ms > 10000.0f) return "--budget-ms is a time in milliseconds from 0 to 10000";
        options.budgetMs = ms;
    } else if (arg == "--out") {
        options.out = value;
    } else if (arg == "--mask-out") {
        options.maskOut = value;
    } else if (arg == "--timings") {
        options.timings = value;
    }
    return nullptr;
}

// The command line into options; returns the status to end with (-1: go on).
int ParseArguments(int argc, char** argv, Options& options) {
    const WIN_NMS::CommandLine line = WIN_NMS::ParseCommandLine(WIN_NMS::kSnapshotProgram, argc, argv);
    if (line.action == WIN_NMS::CommandLine::kHelp) return Usage(nullptr), 0;
    if (line.action == WIN_NMS::CommandLine::kVersion)
        return std::fputs(WIN_NMS::VersionText("redowl-snapshot").c_str(), stdout), 0;
    if (line.action == WIN_NMS::CommandLine::kBad) return Usage(line.why.c_str());
    std::string why;
    if (!WIN_NMS::ReadModelChoices(line, options.choices, &why)) return Usage(why.c_str());
    options.places = line.places;
    options.traced = options.choices.traced;
    options.noMarker = options.choices.noMarker;
    for (const auto& [name, value] : line.options) {
        // The views, as their keys pressed once per occurrence.
        if (name == "--grid") ++options.gridPresses;
        else if (name == "--mask-view") ++options.maskPresses;
        else if (name == "--stats") options.stats = true;
        else if (name == "--mode" || name == "--no-marker") continue;  // in options.choices
        else if (const char* refusal = ParseValued(name, value.c_str(), options)) return Usage(refusal);
    }
    if (options.traced && !options.maskOut.empty()) return Usage("--mask-out needs --mode hybrid (a traced frame has no mask)");
    options.defaultOut = line.Value("--out") == nullptr;
    return -1;
}

// NAME.png for a run without --out: the first model file's name, or the scene folder's (the
// current folder's, or "snapshot" for the user's demo), with a number added where a file of that
// name is there already.
std::string DefaultOut(const Options& options, WIN_NMS::StartPlace place, const std::filesystem::path& started) {
    namespace fs = std::filesystem;
    std::string name = "snapshot";
    std::error_code ec;
    if (place == WIN_NMS::StartPlace::kModelFile) name = fs::path(options.places[0]).stem().string();
    else if (place != WIN_NMS::StartPlace::kUserDemo) name = fs::current_path(ec).filename().string();
    if (name.empty()) name = "snapshot";
    const fs::path folder = place == WIN_NMS::StartPlace::kUserDemo ? started : fs::path(".");
    for (int k = 1; k < 1000; ++k) {
        std::string file = name;
        if (k > 1) file.append("-").append(std::to_string(k));
        const fs::path candidate = folder / file.append(".png");
        if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate.lexically_normal().string();
    }
    return (folder / (name + ".png")).lexically_normal().string();
}

// The hidden window of the scene's size, on the display or a private Xvfb; false when there is
// none.
bool OpenWindow(char** argv) {
    const char* display = std::getenv("DISPLAY");
    if ((!display || !*display) && !StartXvfb()) {
        std::fprintf(stderr, "redowl-snapshot: no display and Xvfb could not be started\n");
        return false;
    }
    int glutArgc = 1;  // the arguments are all the program's own
    glutInit(&glutArgc, argv);
    std::atexit([] { glutExit(); });
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    win.width = config.GetInt("win.width");
    win.height = config.GetInt("win.height");
    glutInitWindowSize(win.width, win.height);
    glutCreateWindow("RED OWL");
    glutHideWindow();
    glutDisplayFunc([] {});
    WIN_NMS::InstallWindowTitleSink();
    // Let the window system settle; the frames are then driven here, not by the event loop.
    for (int i = 0; i < 5; ++i) glutMainLoopEvent();
    win.reshape(win.width, win.height);
    return true;
}

// After assembly: the mode, the budget, the view from the first one (turned, zoomed, panned, as
// the mouse would), the views' keys, the light and the settling picture as options say.
void ApplyOptions(Options& options) {
    win.tracedImageMode = options.traced;
    win.showLightMarker = !options.noMarker;
    if (options.budgetMs >= 0.0) win.budget.budgetMs = options.budgetMs;
    win.angleX += options.viewX;
    win.angleY += options.viewY;
    if (options.zoom != 1.0f) {
        const bool centre = !options.zoomAtGiven;
        win.ZoomAt(centre ? 0.5 * win.width : options.zoomAt[0], centre ? 0.5 * win.height : options.zoomAt[1],
                   options.zoom);
    }
    if (options.pan[0] != 0.0f || options.pan[1] != 0.0f) win.PanBy(options.pan[0], options.pan[1]);
    for (int i = 0; i < options.gridPresses; ++i) win.special(WIN_NMS::kKeyF3, 0, 0);
    for (int i = 0; i < options.maskPresses; ++i) win.special(WIN_NMS::kKeyF4, 0, 0);
    if (options.fixedAngle) {
        win.frame.lightAngle = options.lightAngle;
        win.frame.lightSpeed = 0.0f;  // every frame at the same angle
    }
    // Without --samples every frame is a new picture, as while the view moves; with it, one
    // picture gets a pass per frame (the light held still) until it has its samples or settles.
    win.accumulation.enabled = options.samples > 0;
    if (options.samples > 0) {
        win.accumulation.maxSamples = options.samples;
        win.frame.lightSpeed = 0.0f;
        options.frames = options.samples;
    }
}

// The frames, each recorded; the window and the mask of the last (with --samples: of every
// frame, the settling picture may be done before its last frame).
void RenderFrames(const Options& options, std::vector<FrameRecord>& records, WIN_NMS::Image& picture, WIN_NMS::Image& mask) {
    records.reserve(options.frames);
    int frameIndex = 0;
    win.beforeSwap = [&] {
        if (frameIndex + 1 != options.frames && options.samples == 0) return;
        if (!options.out.empty()) picture = WIN_NMS::ReadBackBuffer(win.width, win.height);
        if (!options.maskOut.empty()) mask = MaskOnWindow(*viewer.tracer);
    };
    // With --samples, the frames that complete a frame of fewer pixels (a traced lattice
    // frame's fill-in, a coarse hybrid frame's whole mask) come on top.
    int fillFrames = 0, incomplete = 0;
    for (frameIndex = 0; frameIndex < options.frames + incomplete; ++frameIndex) {
        win.display();
        if (options.samples > 0 && std::strcmp(win.timings.kind, "fill-in") == 0) ++fillFrames;
        if (options.samples > 0 && !viewer.tracer->Complete()) ++incomplete;
        FrameRecord r;
        r.timings = win.timings;
        const RAYTR::Scene& scene = *viewer.scene;
        r.light[0] = scene.lights[0].position.x;
        r.light[1] = scene.lights[0].position.y;
        r.light[2] = scene.lights[0].position.z;
        records.push_back(r);
        if (options.samples > 0 && win.accumulation.Done()) break;
    }
    win.beforeSwap = nullptr;
    if (options.samples > 0 && options.traced)
        std::printf("fill-in: %d frames after the lattice frame (step %d)\n", fillFrames, records.empty() ? 1 : records[0].timings.latticeStep);
    if (options.samples > 0)
        std::printf("samples: %d%s\n", win.accumulation.Samples(),
                    win.accumulation.Samples() < options.samples ? " (settled: a pass changed no pixel by half a grey level)" : "");
}

// The files options name; returns the status (1 when one could not be written).
int WriteOutputs(const Options& options, const std::vector<FrameRecord>& records, const WIN_NMS::Image& picture,
                 const WIN_NMS::Image& mask) {
    int status = 0;
    std::string error;
    if (!options.out.empty() && !WIN_NMS::WritePng(options.out, picture, &error)) {
        std::fprintf(stderr, "redowl-snapshot: %s\n", error.c_str());
        status = 1;
    }
    if (!options.maskOut.empty() && !WIN_NMS::WritePng(options.maskOut, mask, &error)) {
        std::fprintf(stderr, "redowl-snapshot: %s\n", error.c_str());
        status = 1;
    }
    if (!options.timings.empty() && !WriteTimings(options.timings, options, records)) {
        std::fprintf(stderr, "redowl-snapshot: cannot write %s\n", options.timings.c_str());
        status = 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string refusedIsa = RAYTR::CheckIsaEnvironment();
    if (!refusedIsa.empty()) {
        std::fprintf(stderr, "redowl-snapshot: %s\n", refusedIsa.c_str());
        return 1;
    }
    Options options;
    if (const int status = ParseArguments(argc, argv, options); status >= 0) return status;

    // Nobody may be there to answer a box: every report goes to standard error.
    TIRN_ERROR::SetBoxSink([](const std::string& caption, const std::string& text) {
        std::fprintf(stderr, "%s%s\n", caption.c_str(), text.c_str());
    });
    std::error_code ec;
    const std::filesystem::path started = std::filesystem::current_path(ec);
    try {
        const WIN_NMS::StartPlace place = WIN_NMS::OpenStartScene(options.places, options.choices, config, errorLog);
        if (place == WIN_NMS::StartPlace::kUserDemo) {
            // No folder was named: the pictures go where the program was started.
            for (std::string* path : {&options.out, &options.maskOut, &options.timings})
                if (!path->empty() && (*path)[0] != '/') *path = (started / *path).string();
        }
        if (options.defaultOut) options.out = DefaultOut(options, place, started);
    } catch (const TIRN_ERROR::File_Error&) {
        return 1;  // reported on standard error
    }
    CONFIG::ReportConfigurationWarnings(config, "release.cgf", stderr);
    if (!OpenWindow(argv)) return 1;

    win.display();  // scene assembly
    ApplyOptions(options);
    WIN_NMS::Image picture, mask;
    std::vector<FrameRecord> records;
    RenderFrames(options, records, picture, mask);

    if (win.views.mask != WIN_NMS::MaskView::kOff && !options.traced)
        std::printf("traced: %.6f of the pixels (%d of %d)\n", win.views.tracedShare, win.views.tracedPixels,
                    viewer.tracer->Width() * viewer.tracer->Height());
    if (options.stats) {
        std::fflush(stdout);
        win.PrintStatistics(std::cout);
    }
    const int status = WriteOutputs(options, records, picture, mask);
    if (status == 0 && options.defaultOut) {
        std::error_code ec;
        std::printf("picture: %s\n", std::filesystem::absolute(options.out, ec).lexically_normal().c_str());
    }
    return status;
}
