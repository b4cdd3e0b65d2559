// E_boundx, E_boundy: the complex-field periodic boundary passes.
#include "../common/launch_cuda.cuh"
#include "../common/periodic.h"

VX_DEFINE_KERNEL(E_boundx, vx::PeriodicComplexArgs, (vx::periodic_cell<vx::cfloat, 0>))
VX_DEFINE_KERNEL(E_boundy, vx::PeriodicComplexArgs, (vx::periodic_cell<vx::cfloat, 1>))
