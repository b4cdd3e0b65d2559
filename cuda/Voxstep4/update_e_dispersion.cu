// Update_E_Dispersion_GPU: the complex-field divide-only completion.
#include "../common/dispersion_divide.h"
#include "../common/launch_cuda.cuh"

VX_DEFINE_KERNEL(Update_E_Dispersion_GPU, vx::DispersionDivideArgs, vx::dispersion_divide_cell)
