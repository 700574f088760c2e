// The grid's ray kernels for one instruction set (flags in CMakeLists.txt); see grid/kernel_impl.h.
#define REDOWL_KERNEL_WIDTH 8
#define REDOWL_KERNEL_NAME "avx2"
#define REDOWL_KERNEL_NAMESPACE RAYTR::kernel_avx2
#define REDOWL_KERNEL_TABLE kKernel_avx2
#include "grid/kernel_impl.h"
