// Set_ER_average: permittivity per sample point, mixed from the owner's and
// the displaced material's table values by the owner's weight.
#include "../common/mixing_host.h"
#include "kernels.h"
#include "voxstep.h"

namespace voxstep {

VX_DEFINE_MIX(Set_ER_average, VOXSTEP_ARGS_SET_ER_AVERAGE, kF32, false, Set_ER_average_GPU)

}  // namespace voxstep
