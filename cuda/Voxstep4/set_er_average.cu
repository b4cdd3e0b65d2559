// Set_ER_average_GPU of the complex-field module.
#include "../common/launch_cuda.cuh"
#include "../common/mixing.h"

VX_DEFINE_KERNEL(Set_ER_average_GPU, vx::MixArgs<true>, (vx::mix_cell<true, false>))
