// Inject_J: subtracts a complex volume current from Ex, Ey, Ez, real part
// into the first half of the channels, imaginary part into the second.
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

void Inject_J(Tn Ex, Tn Ey, Tn Ez, Tn Jx, Tn Jy, Tn Jz, Tn pos) {
  vx::inject_j_host<float>("Inject_J", Ex, Ey, Ez, Jx, Jy, Jz, pos,
                           vx::kernel::Inject_J_GPU);
}

}  // namespace voxstep
