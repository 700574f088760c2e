// libFuzzer target: arbitrary bytes as a PLY file through Red Owl's own PLY reader (the import
// helper's reader of files that wind their faces as triangle strips), in this process, and a
// model it accepts through the viewer's load.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Mesh* mesh = new Mesh;  // one mesh for the run, as in the other model targets
    const std::string broken = redowl_fuzz::PlyInput(*mesh, data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "fuzz_ply: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
