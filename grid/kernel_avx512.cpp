// The grid's ray kernels for one instruction set (flags in CMakeLists.txt); see grid/kernel_impl.h.
// GCC 12's AVX-512 header functions (max, min, extract) pass their own _mm512_undefined_ps(),
// whose self-initialisation the compiler then reports as used uninitialised: the header's false
// alarm, silenced here only.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define REDOWL_KERNEL_WIDTH 16
#define REDOWL_KERNEL_NAME "avx512"
#define REDOWL_KERNEL_NAMESPACE RAYTR::kernel_avx512
#define REDOWL_KERNEL_TABLE kKernel_avx512
#include "grid/kernel_impl.h"
