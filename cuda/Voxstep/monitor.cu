// Monitor_Update_GPU_E: the frequency-domain monitor of the electric field.
#include "../common/launch_cuda.cuh"
#include "monitor.h"

VX_DEFINE_KERNEL(Monitor_Update_GPU_E, vx::MonitorArgs, vx::monitor_point)
