// libFuzzer target: arbitrary bytes as a scene an assimp reader might hand over (built directly,
// no reader runs), through our conversion and the viewer's load with the file's materials.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Mesh* mesh = new Mesh;  // one mesh for the run, as in the other model targets
    const std::string broken = redowl_fuzz::SceneInput(*mesh, data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "fuzz_scene: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
