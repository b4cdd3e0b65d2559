// Placeholder until this feature is built.
#include "voxstep4.h"

namespace voxstep4 {

void Inject_H(Tn Hx, Tn Hy, Tn coef, Tn sigEx, Tn sigEy, Tn profEx, Tn profEy, Tn delayEx, Tn delayEy, Tn margin, int64_t kp, int64_t step) {
  TORCH_CHECK(false, "Inject_H is not built yet");
}

void Inject_E(Tn Ex, Tn Ey, Tn coef, Tn sigHx, Tn sigHy, Tn profHx, Tn profHy, Tn delayHx, Tn delayHy, Tn margin, int64_t kp, int64_t step) {
  TORCH_CHECK(false, "Inject_E is not built yet");
}

}  // namespace voxstep4
