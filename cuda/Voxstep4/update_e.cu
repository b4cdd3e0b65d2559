// Update_E_GPU: the complex-field electric update.
#include "../common/launch_cuda.cuh"
#include "../common/update_e.h"

VX_DEFINE_KERNEL(Update_E_GPU, vx::UpdateEComplexArgs, (vx::update_e_cell<vx::cfloat, 5>))
