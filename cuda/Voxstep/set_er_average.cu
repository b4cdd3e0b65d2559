// Set_ER_average_GPU of the real-field module.
#include "../common/launch_cuda.cuh"
#include "../common/mixing.h"

VX_DEFINE_KERNEL(Set_ER_average_GPU, vx::MixArgs<false>, (vx::mix_cell<false, false>))
