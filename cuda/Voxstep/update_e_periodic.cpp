// Update_E_Periodic: Bloch ghost planes of the tangential electric components
// along x, then y; complex channel c is the pair of channels c and c + NC/2.
#include "../common/periodic_host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

void Update_E_Periodic(VX_PARAMS(VX_ARGS_UPDATE_E_PERIODIC, kF32)) {
  vx::update_e_periodic_host<float>("Update_E_Periodic", true,
                                   VX_NAMES(VX_ARGS_UPDATE_E_PERIODIC, kF32),
                                   vx::kernel::E_boundx, vx::kernel::E_boundy);
}

}  // namespace voxstep
