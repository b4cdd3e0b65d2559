// Binding table of the real-field module Voxstep, in binding order.
#include "../common/bind.h"
#include "voxstep.h"

namespace py = pybind11;

VX_MODULE(Voxstep, m) {
  vx::prepare_module(m);
  py::options options;
  options.disable_function_signatures();

  // The material and interpolation functions refuse CPU tensors; their CPU
  // twins live in the private module _voxstep_host.
  VX_DEF(m, voxstep, Update_E_Dispersion);
  VX_DEF(m, voxstep, Update_H);
  VX_DEF(m, voxstep, Update_E);
  VX_DEF(m, voxstep, Update_E_Periodic);
  VX_DEF(m, voxstep, Inject_H);
  VX_DEF(m, voxstep, Inject_E);
  VX_DEF(m, voxstep, Inject_J);
  vx::def_material<true>(m);
  VX_DEF(m, voxstep, Set_ER_average);
  m.def("Set_weight_subcell", &vx::Checked<true, &voxstep::Set_weight_subcell>::call,
        "Set_weight_subcell");
  VX_DEF(m, voxstep, Monitor_Update_E);
  m.def("Trilinear_interpolation", &vx::Checked<true, &voxstep::Trilinear_interpolation>::call,
        "Trilinear_interpolation");
  m.def("Trilinear_reverse_interpolation",
        &vx::Checked<true, &voxstep::Trilinear_reverse_interpolation>::call,
        "Trilinear_reverse_interpolation");
}
