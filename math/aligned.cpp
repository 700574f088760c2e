#include "math/aligned.h"

#include <cstdlib>

namespace ORVA_MATH {

void* AlignedAlloc(std::size_t n) {
    // aligned_alloc wants a size that is a multiple of the alignment; 0 still gets a block.
    const std::size_t rounded = ((n == 0 ? 1 : n) + 15) & ~static_cast<std::size_t>(15);
    if (rounded < n) throw AlignedBadAlloc();
    void* p = std::aligned_alloc(16, rounded);
    if (!p) throw AlignedBadAlloc();
    return p;
}

void AlignedFree(void* p) noexcept {
    if (p) std::free(p);
}

}  // namespace ORVA_MATH
