// _voxstep_host: the CPU twins of the functions that, in Voxstep and
// Voxstep4, only accept CUDA tensors. Same names and arguments, CPU tensors.
#include "../Voxstep/voxstep.h"
#include "../Voxstep4/voxstep4.h"
#include "bind.h"

namespace py = pybind11;
using vx::Tn;

namespace {

auto mat_average(Tn bx, Tn by, Tn bz, Tn vox, Tn cx, Tn cy, Tn cz) {
  return vx::Mat_average(false, bx, by, bz, vox, cx, cy, cz);
}
void set_weight_mat_id(Tn bx, Tn by, Tn bz, Tn vox, Tn cx, Tn cy, Tn cz, int64_t mat_id,
                       Tn weight, Tn id_map, Tn prev_id_map) {
  vx::Set_weight_mat_id(false, bx, by, bz, vox, cx, cy, cz, mat_id, weight, id_map, prev_id_map);
}
auto set_weight_subcell(Tn bx, Tn by, Tn bz, Tn vox, Tn cx, Tn cy, Tn cz, Tn weight,
                        int64_t mat_id, Tn id_map, Tn prev_id_map, Tn normal, Tn er_table,
                        int64_t component) {
  return voxstep::Set_weight_subcell(false, bx, by, bz, vox, cx, cy, cz, weight, mat_id, id_map,
                                     prev_id_map, normal, er_table, component);
}
at::Tensor trilinear(Tn gx, Tn gy, Tn gz, Tn src, Tn qx, Tn qy, Tn qz, bool nearest) {
  return voxstep::Trilinear_interpolation(false, gx, gy, gz, src, qx, qy, qz, nearest);
}
at::Tensor trilinear_reverse(Tn gx, Tn gy, Tn gz, Tn vals, Tn qx, Tn qy, Tn qz) {
  return voxstep::Trilinear_reverse_interpolation(false, gx, gy, gz, vals, qx, qy, qz);
}
auto set_er_subcell(Tn bx, Tn by, Tn bz, Tn vox, Tn cx, Tn cy, Tn cz, Tn er, int64_t mat_id,
                    Tn id_map, Tn prev_id_map, Tn normal, Tn er_table, int64_t component) {
  return voxstep4::Set_ER_subcell(false, bx, by, bz, vox, cx, cy, cz, er, mat_id, id_map,
                                  prev_id_map, normal, er_table, component);
}

}  // namespace

VX_MODULE(_voxstep_host, m) {
  vx::prepare_module(m);
  py::options options;
  options.disable_function_signatures();

  m.def("Mat_average", &mat_average, "Average sampling for index");
  m.def("Set_weight_mat_id", &set_weight_mat_id, "Set_weight_mat_id");
  m.def("Set_weight_subcell", &set_weight_subcell, "Set_weight_subcell");
  m.def("Trilinear_interpolation", &trilinear, "Trilinear_interpolation");
  m.def("Trilinear_reverse_interpolation", &trilinear_reverse,
        "Trilinear_reverse_interpolation");
  m.def("Set_ER_subcell", &set_er_subcell, "Set_ER_subcell");
}
