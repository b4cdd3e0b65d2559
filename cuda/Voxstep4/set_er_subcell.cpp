// Set_ER_subcell: stores the anisotropically smoothed permittivity along one
// field component, per channel, at the points an object owns.
#include "../common/subcell_host.h"
#include "kernels.h"
#include "voxstep4.h"

namespace voxstep4 {

VX_DEFINE_SUBCELL(Set_ER_subcell, VOXSTEP4_ARGS_SET_ER_SUBCELL, kC64, true, Set_ER_subcell_GPU)

}  // namespace voxstep4
