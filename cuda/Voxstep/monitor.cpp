// Placeholder until this feature is built.
#include "voxstep.h"

namespace voxstep {

void Monitor_Update_E(Tn Mx, Tn My, Tn Mz, Tn Ex, Tn Ey, Tn Ez, Tn w, Tn rx, Tn ry, Tn rz) {
  TORCH_CHECK(false, "Monitor_Update_E is not built yet");
}

}  // namespace voxstep
