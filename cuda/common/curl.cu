// GPU kernels of the curl updates of both modules, from their kernel tables
// (yee.h); their host side is curl.cpp.
#include "yee.h"

VX_UPDATE_H_KERNELS(VX_DEFINE_GPU_KERNEL)
VX_UPDATE_E_KERNELS(VX_DEFINE_GPU_KERNEL)
