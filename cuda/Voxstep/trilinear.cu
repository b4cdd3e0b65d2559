// Trilinear_interpolation_GPU, Trilinear_reverse_interpolation_GPU.
#include "../common/launch_cuda.cuh"
#include "trilinear.h"

VX_DEFINE_KERNEL(Trilinear_interpolation_GPU, vx::TrilinearArgs, vx::trilinear_point)
VX_DEFINE_KERNEL(Trilinear_reverse_interpolation_GPU, vx::TrilinearReverseArgs, vx::trilinear_reverse_point)
