// libFuzzer target: arbitrary bytes as a model file of one of the formats assimp reads (the
// first byte picks the format), through the viewer's load with the file's materials: the
// import helper (built beside this build's programs) reads it, and the viewer's side takes
// its reply.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LOAD_3DS::SetImportHelper(REDOWL_IMPORT_HELPER);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Mesh* mesh = new Mesh;  // one mesh for the run, as in the 3DS target
    const std::string broken = redowl_fuzz::ImportInput(*mesh, data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "fuzz_import: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
