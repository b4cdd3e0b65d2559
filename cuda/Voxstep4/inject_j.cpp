// Placeholder until this feature is built.
#include "voxstep4.h"

namespace voxstep4 {

void Inject_J(Tn Ex, Tn Ey, Tn Ez, Tn Jx, Tn Jy, Tn Jz, Tn pos) {
  TORCH_CHECK(false, "Inject_J is not built yet");
}

}  // namespace voxstep4
