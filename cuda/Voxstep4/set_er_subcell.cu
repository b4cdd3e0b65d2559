// Set_ER_subcell_GPU.
#include "../common/launch_cuda.cuh"
#include "../common/subcell.h"

VX_DEFINE_KERNEL(Set_ER_subcell_GPU, vx::ERSubcellArgs, vx::set_er_subcell_cell)
