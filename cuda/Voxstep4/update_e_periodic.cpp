// Update_E_Periodic: Bloch ghost planes of the tangential complex electric
// components along x, then y; one complex phase factor per channel.
#include "../common/periodic_host.h"
#include "voxstep4.h"

VX_DECLARE_KERNEL(E_boundx, vx::PeriodicComplexArgs);
VX_DECLARE_KERNEL(E_boundy, vx::PeriodicComplexArgs);

namespace voxstep4 {

void Update_E_Periodic(Tn Ex, Tn Ey, Tn Ez, Tn phase_x, Tn phase_y, Tn periodic,
                       bool positive_phase) {
  vx::update_e_periodic_host<vx::cfloat>(
      "Update_E_Periodic", false, Ex, Ey, Ez, phase_x, phase_y, periodic, positive_phase,
      [](const vx::Grid& g, const vx::PeriodicComplexArgs& a) {
        VX_LAUNCH(E_boundx, (vx::periodic_cell<vx::cfloat, 0>), g, a);
      },
      [](const vx::Grid& g, const vx::PeriodicComplexArgs& a) {
        VX_LAUNCH(E_boundy, (vx::periodic_cell<vx::cfloat, 1>), g, a);
      });
}

}  // namespace voxstep4
