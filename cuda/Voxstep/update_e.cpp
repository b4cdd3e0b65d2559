// Placeholder until this feature is built.
#include "voxstep.h"

namespace voxstep {

void Update_E(Tn Ex, Tn Ey, Tn Ez, Tn Hx, Tn Hy, Tn Hz, Tn keep_x, Tn keep_y, Tn keep_z, Tn loss_x, Tn loss_y, Tn loss_z, Tn Cx, Tn Cy, Tn Cz, Tn psi_x, Tn psi_y, Tn psi_z, Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz, Tn n_layer, Tn unused) {
  TORCH_CHECK(false, "Update_E is not built yet");
}

}  // namespace voxstep
