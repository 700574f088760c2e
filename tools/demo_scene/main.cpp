// redowl-demo-scene DIR: writes the demo scene (release.cgf, data/*.bmp, data/*.3ds) into DIR.
// redowl-demo-scene --model FILE [--keep-configuration] DIR: writes a scene around the model
// FILE (of any format the viewer reads) instead; --keep-configuration leaves an existing
// DIR/release.cgf as it is.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/command_line.h"
#include "loaders/demo_scene.h"
#include "loaders/model_scene.h"

namespace {
constexpr const char* kUsage =
    "usage: redowl-demo-scene DIR                        writes the demo scene into DIR\n"
    "       redowl-demo-scene --model FILE [--keep-configuration] DIR\n"
    "                                                    writes a scene around the model FILE (3DS, OBJ,\n"
    "                                                    PLY, STL, glTF, GLB, FBX, Collada, ...) into DIR,\n"
    "                                                    with a copy of the model and the files it needs;\n"
    "                                                    --keep-configuration keeps an existing\n"
    "                                                    DIR/release.cgf\n"
    "       redowl-demo-scene --help | --version\n"
    "Then open the scene with: redowl DIR\n";

int Usage(const char* why) {
    std::fprintf(stderr, "redowl-demo-scene: %s\n%s", why, kUsage);
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    std::string model, dir;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs(WIN_NMS::VersionText("redowl-demo-scene").c_str(), stdout);
            return 0;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--model") {
            if (i + 1 >= argc || !model.empty()) return Usage(i + 1 >= argc ? "missing file after --model" : "a second --model");
            model = argv[++i];
        } else if (arg == "--keep-configuration") {
            keep = true;
        } else if (arg.empty() || arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (!dir.empty()) {
            return Usage(("a second folder " + arg).c_str());
        } else {
            dir = arg;
        }
    }
    if (dir.empty()) return Usage("no folder to write into");
    if (keep && model.empty()) return Usage("--keep-configuration needs --model");
    std::string error;
    const bool ok = model.empty() ? LOAD_3DS::WriteDemoScene(dir, &error)
                                  : LOAD_3DS::WriteModelScene(model, dir, keep, &error);
    if (!ok) {
        std::fprintf(stderr, "redowl-demo-scene: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
