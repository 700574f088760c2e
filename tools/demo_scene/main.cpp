// redowl-demo-scene DIR: writes the demo scene (release.cgf, data/*.bmp, data/*.3ds) into DIR.
// redowl-demo-scene --model FILE [--keep-configuration] DIR: writes a scene around the 3DS model
// FILE instead; --keep-configuration leaves an existing DIR/release.cgf as it is.
#include <cstdio>
#include <cstring>
#include <string>

#include "loaders/demo_scene.h"
#include "loaders/model_scene.h"

namespace {
int Usage() {
    std::fprintf(stderr,
                 "usage: redowl-demo-scene DIR\n"
                 "       redowl-demo-scene --model FILE.3ds [--keep-configuration] DIR\n");
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    std::string model, dir;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--model") == 0) {
            if (i + 1 >= argc || !model.empty()) return Usage();
            model = argv[++i];
        } else if (std::strcmp(argv[i], "--keep-configuration") == 0) {
            keep = true;
        } else if (argv[i][0] == '-' || !dir.empty()) {
            return Usage();
        } else {
            dir = argv[i];
        }
    }
    if (dir.empty() || (keep && model.empty())) return Usage();
    std::string error;
    const bool ok = model.empty() ? LOAD_3DS::WriteDemoScene(dir, &error)
                                  : LOAD_3DS::WriteModelScene(model, dir, keep, &error);
    if (!ok) {
        std::fprintf(stderr, "redowl-demo-scene: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
