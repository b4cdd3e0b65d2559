// Placeholder until this feature is built.
#include "voxstep4.h"

namespace voxstep4 {

void Update_E_Dispersion(Tn Ex, Tn Ey, Tn Ez, Tn den1_x, Tn den1_y, Tn den1_z, Tn den2_x, Tn den2_y, Tn den2_z, Tn unused) {
  TORCH_CHECK(false, "Update_E_Dispersion is not built yet");
}

}  // namespace voxstep4
