// Set_sigma_average_GPU.
#include "../common/launch_cuda.cuh"
#include "../common/mixing.h"

VX_DEFINE_KERNEL(Set_sigma_average_GPU, vx::MixArgs<false>, (vx::mix_cell<false, true>))
