// libFuzzer target: arbitrary bytes as a model file of one of the formats assimp reads (the
// first byte picks the format), through the viewer's load with the file's materials.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Mesh* mesh = new Mesh;  // one mesh for the run, as in the 3DS target
    const std::string broken = redowl_fuzz::ImportInput(*mesh, data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "fuzz_import: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
