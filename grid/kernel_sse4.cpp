// The grid's ray kernels for one instruction set (flags in CMakeLists.txt); see grid/kernel_impl.h.
#define REDOWL_KERNEL_WIDTH 4
#define REDOWL_KERNEL_NAME "sse4"
#define REDOWL_KERNEL_NAMESPACE RAYTR::kernel_sse4
#define REDOWL_KERNEL_TABLE kKernel_sse4
#include "grid/kernel_impl.h"
