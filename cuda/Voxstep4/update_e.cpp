// Update_E: advances the complex Ex, Ey, Ez (per-channel keep factor) and the
// electric CPML auxiliaries one step.
#include "../common/update_e_host.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

void Update_E(Tn Ex, Tn Ey, Tn Ez, Tn Hx, Tn Hy, Tn Hz, Tn keep_x, Tn keep_y, Tn keep_z,
              Tn loss_x, Tn loss_y, Tn loss_z, Tn Cx, Tn Cy, Tn Cz, Tn psi_x, Tn psi_y,
              Tn psi_z, Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz, Tn n_layer,
              Tn /*never accessed*/) {
  vx::update_e_host<vx::cfloat, 5>(
      "Update_E", Ex, Ey, Ez, Hx, Hy, Hz, keep_x, keep_y, keep_z, loss_x, loss_y, loss_z, Cx,
      Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz, n_layer,
      vx::kernel::Update_E_GPU);
}

}  // namespace voxstep4
