// Update_E_Periodic: Bloch ghost planes of the tangential complex electric
// components along x, then y; one complex phase factor per channel.
#include "../common/periodic_host.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

void Update_E_Periodic(Tn Ex, Tn Ey, Tn Ez, Tn phase_x, Tn phase_y, Tn periodic,
                       bool positive_phase) {
  vx::update_e_periodic_host<vx::cfloat>(
      "Update_E_Periodic", false, Ex, Ey, Ez, phase_x, phase_y, periodic, positive_phase,
      vx::kernel::E_boundx,
      vx::kernel::E_boundy);
}

}  // namespace voxstep4
