// Set_weight_mat_id_GPU.
#include "launch_cuda.cuh"
#include "material_kernels.h"

VX_DEFINE_KERNEL(Set_weight_mat_id_GPU, vx::SetWeightMatIdArgs, vx::set_weight_mat_id_cell)
