// The grid's ray kernels for one instruction set (flags in CMakeLists.txt); see grid/kernel_impl.h.
#define REDOWL_KERNEL_WIDTH 16
#define REDOWL_KERNEL_NAME "avx512"
#define REDOWL_KERNEL_NAMESPACE RAYTR::kernel_avx512
#define REDOWL_KERNEL_TABLE kKernel_avx512
#include "grid/kernel_impl.h"
