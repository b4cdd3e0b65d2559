// Update_E_Periodic: Bloch ghost planes of the tangential complex electric
// components along x, then y; one complex phase factor per channel.
#include "../common/periodic_host.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

void Update_E_Periodic(VX_PARAMS(VX_ARGS_UPDATE_E_PERIODIC, kC64)) {
  vx::update_e_periodic_host<vx::cfloat>("Update_E_Periodic", false,
                                   VX_NAMES(VX_ARGS_UPDATE_E_PERIODIC, kC64),
                                   vx::kernel::E_boundx, vx::kernel::E_boundy);
}

}  // namespace voxstep4
