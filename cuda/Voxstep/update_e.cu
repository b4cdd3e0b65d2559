// Update_E_GPU: the real-field electric update.
#include "../common/launch_cuda.cuh"
#include "../common/update_e.h"

VX_DEFINE_KERNEL(Update_E_GPU, vx::UpdateERealArgs, (vx::update_e_cell<float, 4>))
