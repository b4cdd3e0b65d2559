// Placeholder until this feature is built.
#include "voxstep.h"

namespace voxstep {

void Inject_H(Tn Hx, Tn Hy, Tn coef, Tn ampEx, Tn ampEy, Tn profEx, Tn profEy, Tn margin, int64_t kp) {
  TORCH_CHECK(false, "Inject_H is not built yet");
}

void Inject_E(Tn Ex, Tn Ey, Tn coef, Tn ampHx, Tn ampHy, Tn profHx, Tn profHy, Tn margin, int64_t kp) {
  TORCH_CHECK(false, "Inject_E is not built yet");
}

}  // namespace voxstep
