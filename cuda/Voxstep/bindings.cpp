// Binding table of the real-field module Voxstep, in binding order.
#include "../common/bind.h"
#include "voxstep.h"

namespace py = pybind11;
using vx::Tn;

namespace {

// The checked functions refuse CPU tensors; their CPU twins live in the
// private module _voxstep_host.
auto mat_average(Tn bx, Tn by, Tn bz, Tn vox, Tn cx, Tn cy, Tn cz) {
  return vx::Mat_average(true, bx, by, bz, vox, cx, cy, cz);
}
void set_weight_mat_id(Tn bx, Tn by, Tn bz, Tn vox, Tn cx, Tn cy, Tn cz, int64_t mat_id,
                       Tn weight, Tn id_map, Tn prev_id_map) {
  vx::Set_weight_mat_id(true, bx, by, bz, vox, cx, cy, cz, mat_id, weight, id_map, prev_id_map);
}
auto set_weight_subcell(Tn bx, Tn by, Tn bz, Tn vox, Tn cx, Tn cy, Tn cz, Tn weight,
                        int64_t mat_id, Tn id_map, Tn prev_id_map, Tn normal, Tn er_table,
                        int64_t component) {
  return voxstep::Set_weight_subcell(true, bx, by, bz, vox, cx, cy, cz, weight, mat_id, id_map,
                                     prev_id_map, normal, er_table, component);
}
at::Tensor trilinear(Tn gx, Tn gy, Tn gz, Tn src, Tn qx, Tn qy, Tn qz, bool nearest) {
  return voxstep::Trilinear_interpolation(true, gx, gy, gz, src, qx, qy, qz, nearest);
}
at::Tensor trilinear_reverse(Tn gx, Tn gy, Tn gz, Tn vals, Tn qx, Tn qy, Tn qz) {
  return voxstep::Trilinear_reverse_interpolation(true, gx, gy, gz, vals, qx, qy, qz);
}

}  // namespace

VX_MODULE(Voxstep, m) {
  vx::prepare_module(m);
  py::options options;
  options.disable_function_signatures();

  m.def("Update_E_Dispersion", &voxstep::Update_E_Dispersion, "Update_E_Dispersion");
  m.def("Update_H", &voxstep::Update_H, "Update_H");
  m.def("Update_E", &voxstep::Update_E, "Update_E");
  m.def("Update_E_Periodic", &voxstep::Update_E_Periodic, "Update_E_Periodic");
  m.def("Inject_H", &voxstep::Inject_H, "Inject_H");
  m.def("Inject_E", &voxstep::Inject_E, "Inject_E");
  m.def("Inject_J", &voxstep::Inject_J, "Inject_J");
  m.def("get_id_range", &vx::get_id_range, "get_id_range");
  m.def("Mat_average", &mat_average, "Average sampling for index");
  m.def("Set_weight_mat_id", &set_weight_mat_id, "Set_weight_mat_id");
  m.def("Set_ER_average", &voxstep::Set_ER_average, "Set_ER_average");
  m.def("Set_weight_subcell", &set_weight_subcell, "Set_weight_subcell");
  m.def("Monitor_Update_E", &voxstep::Monitor_Update_E, "Monitor_Update_E");
  m.def("Trilinear_interpolation", &trilinear, "Trilinear_interpolation");
  m.def("Trilinear_reverse_interpolation", &trilinear_reverse,
        "Trilinear_reverse_interpolation");
}
