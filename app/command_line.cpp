#include "app/command_line.h"

// The build sets the version from the project's.
#ifndef REDOWL_VERSION
#define REDOWL_VERSION "unknown"
#endif

namespace WIN_NMS {

std::string VersionText(const char* program) { return std::string(program) + " " REDOWL_VERSION "\n"; }

const char* ViewerUsage() {
    return "usage: redowl              opens the scene of release.cgf in the current folder; installed, in a\n"
           "                           folder without one: the demo scene, in a copy of the user's\n"
           "                           ($XDG_DATA_HOME/redowl/demo, by default ~/.local/share/redowl/demo)\n"
           "       redowl DIR          opens the scene of DIR/release.cgf, run as if started in DIR\n"
           "       redowl FILE         opens the model FILE (3DS, OBJ, PLY, STL, glTF, GLB, FBX, Collada,\n"
           "                           DirectX .x, ASE, LightWave, Blender, ...) on a floor under a sky,\n"
           "                           in its own materials, without writing anything\n"
           "       redowl --help       this text\n"
           "       redowl --version    the version\n"
           "A folder or file whose name starts with \"-\" follows \"--\". Err.txt is made only in the\n"
           "folder the viewer runs in (not for a FILE).\n"
           "A scene folder around a model: redowl-demo-scene --model FILE DIR.\n"
           "Pictures without a window: redowl-snapshot [options] [DIR | FILE].\n";
}

ViewerArguments ParseViewerArguments(int argc, const char* const* argv) {
    ViewerArguments result;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsEnd && arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (!optionsEnd && (arg == "--help" || arg == "-h")) return {ViewerArguments::kHelp, {}, {}};
        if (!optionsEnd && arg == "--version") return {ViewerArguments::kVersion, {}, {}};
        std::string bad;
        if (!optionsEnd && arg.size() > 1 && arg[0] == '-') bad = "unknown option " + arg;
        else if (arg.empty()) bad = "an empty folder or file name";
        else if (!result.place.empty()) bad = "a second folder or file " + arg;
        else result.place = arg;
        if (!bad.empty() && result.why.empty()) result.action = ViewerArguments::kBad, result.why = bad;
    }
    return result;
}

}  // namespace WIN_NMS
