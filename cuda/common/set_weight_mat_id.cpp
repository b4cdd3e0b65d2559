// Placeholder until this feature is built.
#include "material_api.h"

namespace vx {

void Set_weight_mat_id(bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x, Tn coord_y, Tn coord_z, int64_t mat_id, Tn weight, Tn id_map, Tn prev_id_map) {
  TORCH_CHECK(false, "Set_weight_mat_id is not built yet");
}

}  // namespace vx
