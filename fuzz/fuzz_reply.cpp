// libFuzzer target: arbitrary bytes as the import helper's reply, read in this process as the
// viewer reads the helper's pipe, and a whole reply's model through the viewer's load.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Mesh* mesh = new Mesh;  // one mesh for the run, as in the other model targets
    const std::string broken = redowl_fuzz::ReplyInput(*mesh, data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "fuzz_reply: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
