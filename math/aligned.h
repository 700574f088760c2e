#pragma once
// 16-byte aligned heap allocation for every class that holds VECTOR or MATRIX members.

#include <cstddef>
#include <new>

namespace ORVA_MATH {

// Allocates n bytes aligned to 16; throws std::bad_alloc whose what() is
// "_aligned_malloc(): unsufficient memory" when the allocator returns nothing.
void* AlignedAlloc(std::size_t n);
void AlignedFree(void* p) noexcept;

class AlignedBadAlloc : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "_aligned_malloc(): unsufficient memory"; }
};

struct SSE_Aligned_Object {
    static void* operator new(std::size_t n) { return AlignedAlloc(n); }
    static void* operator new[](std::size_t n) { return AlignedAlloc(n); }
    static void operator delete(void* p) noexcept { AlignedFree(p); }
    static void operator delete[](void* p) noexcept { AlignedFree(p); }
    // Placement forms stay usable for containers that construct in place.
    static void* operator new(std::size_t, void* where) noexcept { return where; }
    static void operator delete(void*, void*) noexcept {}
};

}  // namespace ORVA_MATH
