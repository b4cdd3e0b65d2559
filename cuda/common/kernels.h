// Kernel table of the material preparation both modules bind: one line per
// kernel, its name, argument block and per-cell body. The GPU kernels
// (kernels.cu) and the host entry points vx::kernel::NAME (kernels.cpp) are
// generated from it.
#pragma once

#include "yee.h"
#include "material_kernels.h"

#define VX_COMMON_KERNELS(X)                                                     \
  X(Mat_Average_GPU, vx::MatAverageArgs<float>, (vx::mat_average_cell<float>))   \
  X(Mat_Average_GPU, vx::MatAverageArgs<double>, (vx::mat_average_cell<double>)) \
  X(Set_weight_mat_id_GPU, vx::SetWeightMatIdArgs, vx::set_weight_mat_id_cell)

VX_COMMON_KERNELS(VX_DECLARE_KERNEL)
