// libFuzzer target: arbitrary bytes as a BMP texture file.
#include <cstdlib>
#include <cstdio>

#include "fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One record for the whole run: each load frees the previous pixels, and a record keeps
    // its GLU quadric for the life of the process.
    static TEXTURE* texture = new TEXTURE;
    const std::string broken = redowl_fuzz::ImageInput(*texture, data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "fuzz_bmp: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
