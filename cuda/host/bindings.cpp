// _voxstep_host: the CPU twins of the functions that, in Voxstep and
// Voxstep4, only accept CUDA tensors (the Checked entries of both tables, in
// their order, each name once). Same names and arguments, CPU tensors. It
// sits above both modules: it binds functions of each.
#include <torch/csrc/utils/pybind.h>  // before host.h: its binding section

#include "../Voxstep/voxstep.h"
#include "../Voxstep4/voxstep4.h"

VX_MODULE(_voxstep_host, m) {
  vx::Module mod(m, "CPU twins of the functions that Voxstep and Voxstep4 run on CUDA tensors "
                 "only.", /*gpu_checks=*/false);
  mod.bind_checked_only();
  VOXSTEP_FUNCTIONS(VX_BIND)
  VOXSTEP4_FUNCTIONS(VX_BIND)
}
