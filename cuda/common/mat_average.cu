// Mat_Average_GPU: single- and double-precision variants.
#include "launch_cuda.cuh"
#include "material_kernels.h"

VX_DEFINE_KERNEL(Mat_Average_GPU, vx::MatAverageArgs<float>, (vx::mat_average_cell<float>))
VX_DEFINE_KERNEL(Mat_Average_GPU, vx::MatAverageArgs<double>, (vx::mat_average_cell<double>))
