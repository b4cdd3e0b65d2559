// GPU kernels of the shared material preparation, from its kernel table.
#include "kernels.h"
#include "yee.h"

VX_COMMON_KERNELS(VX_DEFINE_GPU_KERNEL)
