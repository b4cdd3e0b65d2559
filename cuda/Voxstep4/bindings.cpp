// Binding table of the complex-field module Voxstep4, in binding order.
#include "../common/bind.h"
#include "voxstep4.h"

namespace py = pybind11;

VX_MODULE(Voxstep4, m) {
  vx::prepare_module(m);
  py::options options;
  options.disable_function_signatures();

  VX_DEF(m, voxstep4, Update_E_Dispersion);
  VX_DEF(m, voxstep4, Update_H);
  VX_DEF(m, voxstep4, Update_E);
  VX_DEF(m, voxstep4, Inject_H);
  VX_DEF(m, voxstep4, Inject_E);
  VX_DEF(m, voxstep4, Inject_J);
  vx::def_material<true>(m);
  VX_DEF(m, voxstep4, Set_ER_average);
  VX_DEF(m, voxstep4, Set_sigma_average);
  m.def("Set_ER_subcell", &vx::Checked<true, &voxstep4::Set_ER_subcell>::call, "Set_ER_subcell");
  VX_DEF(m, voxstep4, Update_E_Periodic);
}
