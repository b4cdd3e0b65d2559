// Binding table of the complex-field module Voxstep4, in binding order.
#include "../common/bind.h"
#include "voxstep4.h"

namespace py = pybind11;
using vx::Tn;

namespace {

auto mat_average(Tn bx, Tn by, Tn bz, Tn vox, Tn cx, Tn cy, Tn cz) {
  return vx::Mat_average(true, bx, by, bz, vox, cx, cy, cz);
}
void set_weight_mat_id(Tn bx, Tn by, Tn bz, Tn vox, Tn cx, Tn cy, Tn cz, int64_t mat_id,
                       Tn weight, Tn id_map, Tn prev_id_map) {
  vx::Set_weight_mat_id(true, bx, by, bz, vox, cx, cy, cz, mat_id, weight, id_map, prev_id_map);
}
auto set_er_subcell(Tn bx, Tn by, Tn bz, Tn vox, Tn cx, Tn cy, Tn cz, Tn er, int64_t mat_id,
                    Tn id_map, Tn prev_id_map, Tn normal, Tn er_table, int64_t component) {
  return voxstep4::Set_ER_subcell(true, bx, by, bz, vox, cx, cy, cz, er, mat_id, id_map,
                                  prev_id_map, normal, er_table, component);
}

}  // namespace

VX_MODULE(Voxstep4, m) {
  vx::prepare_module(m);
  py::options options;
  options.disable_function_signatures();

  m.def("Update_E_Dispersion", &voxstep4::Update_E_Dispersion, "Update_E_Dispersion");
  m.def("Update_H", &voxstep4::Update_H, "Update_H");
  m.def("Update_E", &voxstep4::Update_E, "Update_E");
  m.def("Inject_H", &voxstep4::Inject_H, "Inject_H");
  m.def("Inject_E", &voxstep4::Inject_E, "Inject_E");
  m.def("Inject_J", &voxstep4::Inject_J, "Inject_J");
  m.def("get_id_range", &vx::get_id_range, "get_id_range");
  m.def("Mat_average", &mat_average, "Average sampling for index");
  m.def("Set_weight_mat_id", &set_weight_mat_id, "Set_weight_mat_id");
  m.def("Set_ER_average", &voxstep4::Set_ER_average, "Set_ER_average");
  m.def("Set_sigma_average", &voxstep4::Set_sigma_average, "Set_sigma_average");
  m.def("Set_ER_subcell", &set_er_subcell, "Set_ER_subcell");
  m.def("Update_E_Periodic", &voxstep4::Update_E_Periodic, "Update_E_Periodic");
}
