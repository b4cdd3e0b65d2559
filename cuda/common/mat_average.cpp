// Placeholder until this feature is built.
#include "material_api.h"

namespace vx {

std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor> Mat_average( bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x, Tn coord_y, Tn coord_z) {
  TORCH_CHECK(false, "Mat_average is not built yet");
}

}  // namespace vx
