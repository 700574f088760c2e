// redowl-big-model [--segments N] [--sides N] [--degenerate PERCENT] OUT.ply: writes the big
// test model, the demo's torus knot finely subdivided (by default 2,000,000 triangles, 38 MB),
// as binary PLY; with --degenerate, PERCENT more faces of zero area at one point, the middle of
// the knot's box, which many rays pass (as scans and CAD exports carry such faces).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "loaders/ply_writer.h"

int main(int argc, char** argv) {
    int segments = 2000, sides = 500;
    double degenerate = 0.0;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const bool value = i + 1 < argc;
        if (std::strcmp(argv[i], "--segments") == 0 && value) segments = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--sides") == 0 && value) sides = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--degenerate") == 0 && value) degenerate = std::atof(argv[++i]);
        else if (argv[i][0] != '-' && out.empty()) out = argv[i];
        else out.clear(), i = argc;
    }
    if (out.empty() || segments < 3 || sides < 3 || segments > 100000 || sides > 100000 || !(degenerate >= 0.0) ||
        degenerate > 1000.0) {
        std::fprintf(stderr, "usage: redowl-big-model [--segments N] [--sides N] [--degenerate PERCENT] OUT.ply\n"
                             "writes a torus knot of 2 * segments * sides triangles (default 2000 x 500), and\n"
                             "PERCENT of that more triangles of zero area at one point (0 to 1000, default 0)\n");
        return 2;
    }
    LOAD_3DS::WriterMesh mesh = LOAD_3DS::MakeBigKnot(segments, sides);
    const std::size_t extra = static_cast<std::size_t>(static_cast<double>(mesh.faces.size()) * degenerate / 100.0);
    if (extra > 0) {
        float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
        for (const LOAD_3DS::LPoint3& p : mesh.vertices)
            for (int k = 0; k < 3; ++k) {
                const float c = k == 0 ? p.x : k == 1 ? p.y : p.z;
                lo[k] = c < lo[k] ? c : lo[k];
                hi[k] = c > hi[k] ? c : hi[k];
            }
        mesh.vertices.push_back({(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2});
        const int middle = static_cast<int>(mesh.vertices.size()) - 1;
        for (std::size_t i = 0; i < extra; ++i) mesh.faces.push_back({middle, middle, middle});
    }
    if (!LOAD_3DS::WritePLY(out, mesh)) {
        std::fprintf(stderr, "redowl-big-model: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
