// GPU kernels of the complex-field module, from its kernel table.
#include "../common/yee.h"
#include "kernels.h"

VOXSTEP4_KERNELS(VX_DEFINE_GPU_KERNEL)
