// The real-field module Voxstep, bound from its table (voxstep.h).
#include <torch/csrc/utils/pybind.h>  // before host.h: its binding section

#include "voxstep.h"

VX_MODULE(Voxstep, m) {
  // The material and interpolation functions refuse CPU tensors; their CPU
  // twins live in the private module _voxstep_host.
  vx::Module mod(m, "Voxstep: Yee-grid FDTD kernels for float32 fields (complex values as two "
                 "channel halves).", /*gpu_checks=*/true);
  VOXSTEP_FUNCTIONS(VX_BIND)
}
