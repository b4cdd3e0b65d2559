// Placeholder until this feature is built.
#include "voxstep4.h"

namespace voxstep4 {

Windows Set_ER_subcell(bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x, Tn coord_y, Tn coord_z, Tn er, int64_t mat_id, Tn id_map, Tn prev_id_map, Tn normal, Tn er_table, int64_t component) {
  TORCH_CHECK(false, "Set_ER_subcell is not built yet");
}

}  // namespace voxstep4
