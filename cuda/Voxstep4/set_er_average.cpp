// Placeholder until this feature is built.
#include "voxstep4.h"

namespace voxstep4 {

void Set_ER_average(Tn er, Tn weight, Tn id_map, Tn prev_id_map, Tn er_table) {
  TORCH_CHECK(false, "Set_ER_average is not built yet");
}

}  // namespace voxstep4
