// _voxstep_host: the CPU twins of the functions that, in Voxstep and
// Voxstep4, only accept CUDA tensors. Same names and arguments, CPU tensors.
// It sits above both modules: it binds functions of each.
#include "../Voxstep/voxstep.h"
#include "../Voxstep4/voxstep4.h"
#include "../common/bind.h"

namespace py = pybind11;
using vx::Checked;

VX_MODULE(_voxstep_host, m) {
  vx::prepare_module(m);
  py::options options;
  options.disable_function_signatures();

  m.def("Mat_average", &Checked<false, &vx::Mat_average>::call, "Average sampling for index");
  m.def("Set_weight_mat_id", &Checked<false, &vx::Set_weight_mat_id>::call, "Set_weight_mat_id");
  m.def("Set_weight_subcell", &Checked<false, &voxstep::Set_weight_subcell>::call,
        "Set_weight_subcell");
  m.def("Trilinear_interpolation", &Checked<false, &voxstep::Trilinear_interpolation>::call,
        "Trilinear_interpolation");
  m.def("Trilinear_reverse_interpolation",
        &Checked<false, &voxstep::Trilinear_reverse_interpolation>::call,
        "Trilinear_reverse_interpolation");
  m.def("Set_ER_subcell", &Checked<false, &voxstep4::Set_ER_subcell>::call, "Set_ER_subcell");
}
