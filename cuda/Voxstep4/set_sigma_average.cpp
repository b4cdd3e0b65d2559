// Set_sigma_average: adds the conductivity mixed from the owner's and the
// displaced material's table values to every sample point.
#include "../common/mixing_host.h"
#include "kernels.h"
#include "voxstep4.h"

namespace voxstep4 {

VX_DEFINE_MIX(Set_sigma_average, VOXSTEP4_ARGS_SET_SIGMA_AVERAGE, kC64, false,
              Set_sigma_average_GPU)

}  // namespace voxstep4
