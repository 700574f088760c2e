// redowl-big-model [--segments N] [--sides N] OUT.ply: writes the big test model, the demo's
// torus knot finely subdivided (by default 2,000,000 triangles, 38 MB), as binary PLY.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "loaders/ply_writer.h"

int main(int argc, char** argv) {
    int segments = 2000, sides = 500;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const bool value = i + 1 < argc;
        if (std::strcmp(argv[i], "--segments") == 0 && value) segments = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--sides") == 0 && value) sides = std::atoi(argv[++i]);
        else if (argv[i][0] != '-' && out.empty()) out = argv[i];
        else out.clear(), i = argc;
    }
    if (out.empty() || segments < 3 || sides < 3 || segments > 100000 || sides > 100000) {
        std::fprintf(stderr, "usage: redowl-big-model [--segments N] [--sides N] OUT.ply\n"
                             "writes a torus knot of 2 * segments * sides triangles (default 2000 x 500)\n");
        return 2;
    }
    if (!LOAD_3DS::WritePLY(out, LOAD_3DS::MakeBigKnot(segments, sides))) {
        std::fprintf(stderr, "redowl-big-model: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
