// Inject_J_GPU: the complex-field current source.
#include "../common/inject_j.h"
#include "../common/launch_cuda.cuh"

VX_DEFINE_KERNEL(Inject_J_GPU, vx::InjectJArgs<vx::cfloat>, (vx::inject_j_point<vx::cfloat>))
