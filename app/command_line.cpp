#include "app/command_line.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

// The build sets the version from the project's.
#ifndef REDOWL_VERSION
#define REDOWL_VERSION "unknown"
#endif

namespace WIN_NMS {

std::string VersionText(const char* program) { return std::string(program) + " " REDOWL_VERSION "\n"; }

namespace {
constexpr unsigned kOpening = kViewerProgram | kSnapshotProgram;  // the programs that open model files
}

const std::vector<OptionSpec>& OptionTable() {
    static const std::vector<OptionSpec> table = {
        {"--size", "WxH", kOpening, "The window's size in pixels, such as 800x600 (in place of the scene's win.width and win.height)."},
        {"--up", "AXIS", kOpening | kSceneProgram,
         "The model files' up axis, turned to point up: x, y, z, -x, -y or -z (without it: the axis the file declares, "
         "else z for 3DS, a guess from the box for STL and PLY, y for the rest)."},
        {"--texture", "IMAGE", kOpening,
         "An image (PNG, JPEG, BMP, TGA, GIF) laid over each model file that names no texture of its own, on the model's "
         "mapping coordinates."},
        {"--model", "FILE", kSceneProgram, "Writes a scene around the model FILE instead of the demo scene."},
        {"--keep-configuration", nullptr, kSceneProgram, "With --model: an existing DIR/release.cgf stays as it is."},
        {"--mode", "hybrid|traced", kOpening, "The display mode to start in (default hybrid; F2 in the viewer switches)."},
        {"--frames", "N", kSnapshotProgram, "Frames to render, each a new one-sample picture (default 1)."},
        {"--samples", "N", kSnapshotProgram,
         "One picture settled over up to N passes, as the viewer settles it while nothing moves (the light held still)."},
        {"--light-angle", "A", kSnapshotProgram, "The light at this angle of its path (radians), in every frame."},
        {"--view-x", "DEG", kSnapshotProgram, "Turns the first view as a vertical left-button drag would (degrees)."},
        {"--view-y", "DEG", kSnapshotProgram, "Turns the first view as a horizontal left-button drag would (degrees)."},
        {"--zoom", "F", kSnapshotProgram, "Everything F times nearer (below 1: farther), as the mouse wheel would."},
        {"--zoom-at", "X,Y", kSnapshotProgram, "The window point --zoom zooms towards (pixels from the top-left corner; default the centre)."},
        {"--pan", "DX,DY", kSnapshotProgram, "Moves the picture as a right-button drag of DX,DY pixels (right, down) would."},
        {"--out", "FILE.png", kSnapshotProgram,
         "The picture's file (default NAME.png, NAME being the first model file's or the scene folder's; a number is "
         "added rather than a file replaced; its name is printed)."},
        {"--mask-out", "FILE.png", kSnapshotProgram, "The shadow mask of the last hybrid frame, as the overlay lays it on the window."},
        {"--timings", "FILE.json", kSnapshotProgram, "The stage times of every frame."},
        {"--grid", nullptr, kSnapshotProgram, "Presses F3 (the grid view) once for each time it is given."},
        {"--mask-view", nullptr, kSnapshotProgram, "Presses F4 (the mask view) once for each time it is given."},
        {"--stats", nullptr, kSnapshotProgram, "Prints the F12 report after the last frame."},
        {"--budget-ms", "MS", kSnapshotProgram, "In place of tracer.frame_budget_ms (0: every pixel of every frame)."},
        {"--no-marker", nullptr, kOpening, "Leaves the light's marker (the white ball) out of the preview (m in the viewer shows it)."},
    };
    return table;
}

std::string OptionHelp(Program program) {
    constexpr std::size_t kColumn = 24, kWidth = 100;
    std::string out;
    for (const OptionSpec& o : OptionTable()) {
        if (!(o.programs & program)) continue;
        std::string head = std::string("  ") + o.name + (o.value ? std::string(" ") + o.value : std::string());
        head.resize(std::max(head.size() + 1, kColumn), ' ');
        std::string line = head;
        // The sentence word by word, continued under its first word.
        const std::string text = o.help;
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find(' ', at);
            if (end == std::string::npos) end = text.size();
            const std::string word = text.substr(at, end - at);
            if (line.size() + word.size() > kWidth && line.size() > kColumn) {
                line.pop_back();  // the blank after the last word
                out += line + "\n";
                line = std::string(kColumn, ' ');
            }
            line += word + " ";
            at = end + 1;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

const std::string* CommandLine::Value(const std::string& name) const {
    const std::string* found = nullptr;
    for (const auto& [n, v] : options)
        if (n == name) found = &v;
    return found;
}

int CommandLine::Count(const std::string& name) const {
    return int(std::count_if(options.begin(), options.end(), [&](const auto& o) { return o.first == name; }));
}

CommandLine ParseCommandLine(Program program, int argc, const char* const* argv) {
    CommandLine line;
    const auto refuse = [&line](const std::string& why) {
        if (line.why.empty()) line.action = CommandLine::kBad, line.why = why;
    };
    // --help and --version win over whatever else the line holds.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") return {CommandLine::kHelp, {}, {}, {}};
        if (arg == "--version") return {CommandLine::kVersion, {}, {}, {}};
    }
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsEnd && arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg.empty()) {
            refuse("an empty folder or file name");
            continue;
        }
        if (optionsEnd || arg.size() == 1 || arg[0] != '-') {  // "-" is a file of that name
            line.places.push_back(arg);
            continue;
        }
        // "--name=value" as GNU programs take it: the value is the rest of the word, even empty.
        const std::size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, equals);
        const auto spec = std::find_if(OptionTable().begin(), OptionTable().end(),
                                       [&](const OptionSpec& o) { return name == o.name && (o.programs & program); });
        if (spec == OptionTable().end()) {
            refuse("unknown option " + name);
            continue;
        }
        if (!spec->value) {
            if (equals != std::string::npos) refuse(name + " takes no value");
            else line.options.emplace_back(name, std::string());
        } else if (equals != std::string::npos) {
            line.options.emplace_back(name, arg.substr(equals + 1));
        } else if (i + 1 < argc) {
            line.options.emplace_back(name, argv[++i]);
        } else {
            refuse("missing value after " + name);
        }
    }
    return line;
}

std::string ViewerUsage() {
    return "usage: redowl [options] [--] [DIR | FILE...]\n"
           "  redowl                 opens the scene of release.cgf in the current folder; installed, in a\n"
           "                         folder without one: the demo scene, in a copy of the user's\n"
           "                         ($XDG_DATA_HOME/redowl/demo, by default ~/.local/share/redowl/demo)\n"
           "  redowl DIR             opens the scene of DIR/release.cgf, run as if started in DIR\n"
           "  redowl FILE...         opens up to three model files (3DS, OBJ, PLY, STL, glTF, GLB, FBX,\n"
           "                         Collada, DirectX .x, ASE, LightWave, Blender, ...) side by side on a\n"
           "                         floor under a sky, in their own materials, without writing anything\n"
           "  redowl --help          this text\n"
           "  redowl --version       the version\n"
           "Options:\n" +
           OptionHelp(kViewerProgram) +
           "A folder or file whose name starts with \"-\" follows \"--\". Err.txt is made only in the\n"
           "folder the viewer runs in (not for a FILE). In the window, h shows the keys.\n"
           "A scene folder around a model: redowl-demo-scene --model FILE DIR.\n"
           "Pictures without a window: redowl-snapshot [options] [DIR | FILE...].\n";
}

bool ParseSize(const std::string& text, int& width, int& height) {
    const std::size_t x = text.find('x');
    if (x == std::string::npos || x == 0 || x + 1 >= text.size()) return false;
    const auto whole = [](const std::string& t, int& out) {
        if (t.empty() || t.size() > 6 || t.find_first_not_of("0123456789") != std::string::npos) return false;
        out = std::atoi(t.c_str());
        return out >= 1 && out <= kMaxWindowSide;
    };
    return whole(text.substr(0, x), width) && whole(text.substr(x + 1), height);
}

bool ReadModelChoices(const CommandLine& line, ModelChoices& choices, std::string* why) {
    const auto fail = [why](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    choices = ModelChoices{};
    if (const std::string* v = line.Value("--size"); v && !ParseSize(*v, choices.width, choices.height))
        return fail("--size is WxH in pixels from 1 to " + std::to_string(kMaxWindowSide) + ", such as 800x600, not " + *v);
    if (const std::string* v = line.Value("--up")) {
        if (!LOAD_3DS::ParseUpAxis(*v, choices.up)) return fail("--up is x, y, z, -x, -y or -z, not " + *v);
        choices.upGiven = true;
    }
    if (const std::string* v = line.Value("--mode")) {
        if (*v != "hybrid" && *v != "traced") return fail("--mode is hybrid or traced, not " + *v);
        choices.traced = *v == "traced";
    }
    choices.noMarker = line.Count("--no-marker") > 0;
    if (const std::string* v = line.Value("--texture")) {
        if (v->empty()) return fail("--texture needs an image file");
        choices.texture = *v;
    }
    if (line.places.size() > std::size_t(kMaxModelFiles))
        return fail("at most " + std::to_string(kMaxModelFiles) +
                    " model files at once (the scene's other two models are the sky and the floor)");
    std::error_code ec;
    bool files = !line.places.empty();
    for (const std::string& place : line.places)
        if (std::filesystem::is_directory(place, ec)) {
            if (line.places.size() > 1) return fail("a scene folder (" + place + ") is opened alone, without other folders or files");
            files = false;
        }
    if ((choices.upGiven || !choices.texture.empty()) && !files)
        return fail(std::string(choices.upGiven ? "--up" : "--texture") + " goes with model files, not with a scene folder");
    return true;
}

}  // namespace WIN_NMS
