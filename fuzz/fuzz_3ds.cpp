// libFuzzer target: arbitrary bytes as a 3DS file, through the reader and MESH::LoadFrom3DS.
#include <cstdlib>
#include <cstdio>

#include "fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One mesh for the whole run: each load replaces its arrays, and the texture record that a
    // mesh owns keeps a GLU quadric for the life of the process.
    static Mesh* mesh = new Mesh;
    const std::string broken = redowl_fuzz::ModelInput(*mesh, data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "fuzz_3ds: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
