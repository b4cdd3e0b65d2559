// GPU kernels of the complex-field module, from its kernel table.
#include "../common/launch_cuda.cuh"
#include "kernels.h"

VOXSTEP4_KERNELS(VX_DEFINE_GPU_KERNEL)
