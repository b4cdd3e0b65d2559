// Placeholder until this feature is built.
#include "voxstep4.h"

namespace voxstep4 {

void Update_E_Periodic(Tn Ex, Tn Ey, Tn Ez, Tn phase_x, Tn phase_y, Tn periodic, bool positive_phase) {
  TORCH_CHECK(false, "Update_E_Periodic is not built yet");
}

}  // namespace voxstep4
