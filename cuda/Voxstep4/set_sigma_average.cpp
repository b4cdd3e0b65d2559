// Placeholder until this feature is built.
#include "voxstep4.h"

namespace voxstep4 {

void Set_sigma_average(Tn sigma, Tn weight, Tn id_map, Tn prev_id_map, Tn sigma_table) {
  TORCH_CHECK(false, "Set_sigma_average is not built yet");
}

}  // namespace voxstep4
