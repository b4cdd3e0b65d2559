// Inject_J: subtracts a complex volume current from the complex Ex, Ey, Ez
// on every channel.
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

void Inject_J(VX_PARAMS(VX_ARGS_INJECT_J, kC64)) {
  vx::inject_j_host<vx::cfloat>("Inject_J", VX_NAMES(VX_ARGS_INJECT_J, kC64), vx::kernel::Inject_J_GPU);
}

}  // namespace voxstep4
