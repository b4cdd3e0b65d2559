// Inject_J: subtracts a complex volume current from Ex, Ey, Ez, real part
// into the first half of the channels, imaginary part into the second.
#include "../common/source_host.h"
#include "voxstep.h"

VX_DECLARE_KERNEL(Inject_J_GPU, vx::InjectJArgs<float>);

namespace voxstep {

void Inject_J(Tn Ex, Tn Ey, Tn Ez, Tn Jx, Tn Jy, Tn Jz, Tn pos) {
  vx::inject_j_host<float>("Inject_J", Ex, Ey, Ez, Jx, Jy, Jz, pos,
                           [](const vx::Grid& g, const vx::InjectJArgs<float>& a) {
                             VX_LAUNCH(Inject_J_GPU, (vx::inject_j_point<float>), g, a);
                           });
}

}  // namespace voxstep
