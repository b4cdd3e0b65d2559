// E_boundx, E_boundy: the real-field periodic boundary passes.
#include "../common/launch_cuda.cuh"
#include "../common/periodic.h"

VX_DEFINE_KERNEL(E_boundx, vx::PeriodicRealArgs, (vx::periodic_cell<float, 0>))
VX_DEFINE_KERNEL(E_boundy, vx::PeriodicRealArgs, (vx::periodic_cell<float, 1>))
