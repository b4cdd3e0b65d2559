// Placeholder until this feature is built.
#include "material_api.h"

namespace vx {

at::Tensor get_id_range(Tn box, Tn coord) {
  TORCH_CHECK(false, "get_id_range is not built yet");
}

}  // namespace vx
