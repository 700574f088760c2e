// redowl-demo-scene <dir>: writes the demo scene (release.cgf, data/*.bmp, data/*.3ds) into dir.
#include <cstdio>
#include <string>

#include "loaders/demo_scene.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: redowl-demo-scene <dir>\n");
        return 2;
    }
    std::string error;
    if (!LOAD_3DS::WriteDemoScene(argv[1], &error)) {
        std::fprintf(stderr, "redowl-demo-scene: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
