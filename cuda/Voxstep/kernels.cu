// GPU kernels of the real-field module, from its kernel table.
#include "../common/yee.h"
#include "kernels.h"

VOXSTEP_KERNELS(VX_DEFINE_GPU_KERNEL)
