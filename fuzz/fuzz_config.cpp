// libFuzzer target: arbitrary text as the configuration file.
#include <cstdlib>
#include <cstdio>

#include "fuzz/fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string broken = redowl_fuzz::ConfigInput(data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "fuzz_config: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
