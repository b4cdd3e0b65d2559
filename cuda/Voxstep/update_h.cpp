// Update_H: advances Hx, Hy, Hz and the magnetic CPML auxiliaries one step.
#include "../common/update_h_host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

void Update_H(Tn Hx, Tn Hy, Tn Hz, Tn Ex, Tn Ey, Tn Ez, Tn Cx, Tn Cy, Tn Cz, Tn psi_x,
              Tn psi_y, Tn psi_z, Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz, Tn n_layer,
              Tn /*never accessed*/) {
  vx::update_h_host<float>(
      "Update_H", Hx, Hy, Hz, Ex, Ey, Ez, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy,
      gz, n_layer, vx::kernel::Update_H_GPU);
}

}  // namespace voxstep
