// Set_weight_subcell_GPU.
#include "../common/launch_cuda.cuh"
#include "../common/subcell.h"

VX_DEFINE_KERNEL(Set_weight_subcell_GPU, vx::WeightSubcellArgs, vx::set_weight_subcell_cell)
