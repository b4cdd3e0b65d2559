// Inject_J: subtracts a complex volume current from the complex Ex, Ey, Ez
// on every channel.
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

void Inject_J(Tn Ex, Tn Ey, Tn Ez, Tn Jx, Tn Jy, Tn Jz, Tn pos) {
  vx::inject_j_host<vx::cfloat>("Inject_J", Ex, Ey, Ez, Jx, Jy, Jz, pos,
                                vx::kernel::Inject_J_GPU);
}

}  // namespace voxstep4
