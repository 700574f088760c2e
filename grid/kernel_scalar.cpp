// The grid's ray kernels for one instruction set (flags in CMakeLists.txt); see grid/kernel_impl.h.
#define REDOWL_KERNEL_WIDTH 1
#define REDOWL_KERNEL_NAME "scalar"
#define REDOWL_KERNEL_NAMESPACE RAYTR::kernel_scalar
#define REDOWL_KERNEL_TABLE kKernel_scalar
#include "grid/kernel_impl.h"
