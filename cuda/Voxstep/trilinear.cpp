// Placeholder until this feature is built.
#include "voxstep.h"

namespace voxstep {

at::Tensor Trilinear_interpolation(bool gpu_checks, Tn grid_x, Tn grid_y, Tn grid_z, Tn src, Tn query_x, Tn query_y, Tn query_z, bool nearest) {
  TORCH_CHECK(false, "Trilinear_interpolation is not built yet");
}

at::Tensor Trilinear_reverse_interpolation(bool gpu_checks, Tn grid_x, Tn grid_y, Tn grid_z, Tn vals, Tn query_x, Tn query_y, Tn query_z) {
  TORCH_CHECK(false, "Trilinear_reverse_interpolation is not built yet");
}

}  // namespace voxstep
