// The complex-field module Voxstep4, bound from its table (voxstep4.h).
#include <torch/csrc/utils/pybind.h>  // before host.h: its binding section

#include "voxstep4.h"

VX_MODULE(Voxstep4, m) {
  vx::Module mod(m, "Voxstep4: Yee-grid FDTD kernels for complex64 fields.",
                 /*gpu_checks=*/true);
  VOXSTEP4_FUNCTIONS(VX_BIND)
}
