// Update_H_GPU: the complex-field magnetic update (curl terms grouped by
// difference axis).
#include "../common/launch_cuda.cuh"
#include "../common/update_h.h"

VX_DEFINE_KERNEL(Update_H_GPU, vx::UpdateHArgs<vx::cfloat>, (vx::update_h_cell<vx::cfloat, true>))
