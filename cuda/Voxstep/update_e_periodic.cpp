// Update_E_Periodic: Bloch ghost planes of the tangential electric components
// along x, then y; complex channel c is the pair of channels c and c + NC/2.
#include "../common/periodic_host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

void Update_E_Periodic(Tn Ex, Tn Ey, Tn Ez, Tn phase_x, Tn phase_y, Tn periodic,
                       bool positive_phase) {
  vx::update_e_periodic_host<float>(
      "Update_E_Periodic", true, Ex, Ey, Ez, phase_x, phase_y, periodic, positive_phase,
      vx::kernel::E_boundx,
      vx::kernel::E_boundy);
}

}  // namespace voxstep
