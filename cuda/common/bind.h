// What every module's binding table needs: torch's tensor caster and the
// translation of torch's exception types into the matching Python ones.
#pragma once

#include <torch/csrc/utils/pybind.h>

// pybind11 3 declares the modules single-interpreter (multi-phase
// initialisation); pybind11 2 has no such option.
#if PYBIND11_VERSION_MAJOR >= 3
#define VX_MODULE(name, m) PYBIND11_MODULE(name, m, pybind11::multiple_interpreters::not_supported())
#else
#define VX_MODULE(name, m) PYBIND11_MODULE(name, m)
#endif

#include "material_api.h"

namespace vx {

// Imports torch (so tensors convert) and registers the exception translation.
void prepare_module(pybind11::module_& m);

// A function whose first parameter is `bool gpu_checks`, with that fixed:
// the public modules bind Checked<true, &F>::call (CUDA tensors only), the
// CPU module Checked<false, &F>::call.
template <bool kGpuChecks, auto F>
struct Checked;
template <bool kGpuChecks, typename R, typename... A, R (*F)(bool, A...)>
struct Checked<kGpuChecks, F> {
  static R call(A... a) { return F(kGpuChecks, a...); }
};

// The material functions both public modules bind, in their binding order.
template <bool kGpuChecks>
void def_material(pybind11::module_& m) {
  m.def("get_id_range", &get_id_range, "get_id_range");
  m.def("Mat_average", &Checked<kGpuChecks, &Mat_average>::call, "Average sampling for index");
  m.def("Set_weight_mat_id", &Checked<kGpuChecks, &Set_weight_mat_id>::call,
        "Set_weight_mat_id");
}

}  // namespace vx

// Binds ns::NAME under its own name, with its name as docstring.
#define VX_DEF(m, ns, NAME) (m).def(#NAME, &ns::NAME, #NAME)
