// Placeholder until this feature is built.
#include "voxstep.h"

namespace voxstep {

void Update_E_Dispersion(Tn Ex, Tn Ey, Tn Ez, Tn Ex_prev, Tn Ey_prev, Tn Ez_prev, Tn weight_x, Tn weight_y, Tn weight_z, Tn id_map_x, Tn id_map_y, Tn id_map_z, Tn prev_id_map_x, Tn prev_id_map_y, Tn prev_id_map_z, Tn den1_x, Tn den1_y, Tn den1_z, Tn den2_x, Tn den2_y, Tn den2_z, Tn alpha, Tn beta, Tn aux1_x, Tn aux1_y, Tn aux1_z, Tn aux2_x, Tn aux2_y, Tn aux2_z, Tn unused) {
  TORCH_CHECK(false, "Update_E_Dispersion is not built yet");
}

}  // namespace voxstep
