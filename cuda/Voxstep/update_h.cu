// Update_H_GPU: the real-field magnetic update.
#include "../common/launch_cuda.cuh"
#include "../common/update_h.h"

VX_DEFINE_KERNEL(Update_H_GPU, vx::UpdateHArgs<float>, (vx::update_h_cell<float, false>))
