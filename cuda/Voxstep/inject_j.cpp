// Inject_J: subtracts a complex volume current from Ex, Ey, Ez, real part
// into the first half of the channels, imaginary part into the second.
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

void Inject_J(VX_PARAMS(VX_ARGS_INJECT_J, kF32)) {
  vx::inject_j_host<float>("Inject_J", VX_NAMES(VX_ARGS_INJECT_J, kF32), vx::kernel::Inject_J_GPU);
}

}  // namespace voxstep
