// Update_E_Dispersion_GPU: the real-field dispersive completion.
#include "../common/dispersion_real.h"
#include "../common/launch_cuda.cuh"

VX_DEFINE_KERNEL(Update_E_Dispersion_GPU, vx::DispersionRealArgs, vx::dispersion_real_cell)
