// GPU kernels of the curl updates of both modules, from their kernel tables
// (update_h.h, update_e.h).
#include "launch_cuda.cuh"
#include "update_e.h"
#include "update_h.h"

VX_UPDATE_H_KERNELS(VX_DEFINE_GPU_KERNEL)
VX_UPDATE_E_KERNELS(VX_DEFINE_GPU_KERNEL)
