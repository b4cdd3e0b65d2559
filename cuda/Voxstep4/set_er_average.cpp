// Set_ER_average of the complex-field module: one permittivity per sample
// point and channel, mixed from the per-channel table columns.
#include "../common/mixing_host.h"
#include "kernels.h"
#include "voxstep4.h"

namespace voxstep4 {

VX_DEFINE_MIX(Set_ER_average, VOXSTEP4_ARGS_SET_ER_AVERAGE, kC64, true, Set_ER_average_GPU)

}  // namespace voxstep4
