// Inject_J: subtracts a complex volume current from the complex Ex, Ey, Ez
// on every channel.
#include "../common/source_host.h"
#include "voxstep4.h"

VX_DECLARE_KERNEL(Inject_J_GPU, vx::InjectJArgs<vx::cfloat>);

namespace voxstep4 {

void Inject_J(Tn Ex, Tn Ey, Tn Ez, Tn Jx, Tn Jy, Tn Jz, Tn pos) {
  vx::inject_j_host<vx::cfloat>("Inject_J", Ex, Ey, Ez, Jx, Jy, Jz, pos,
                                [](const vx::Grid& g, const vx::InjectJArgs<vx::cfloat>& a) {
                                  VX_LAUNCH(Inject_J_GPU, (vx::inject_j_point<vx::cfloat>), g, a);
                                });
}

}  // namespace voxstep4
