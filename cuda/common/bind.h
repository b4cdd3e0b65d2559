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

namespace vx {

// Imports torch (so tensors convert) and registers the exception translation.
void prepare_module(pybind11::module_& m);

}  // namespace vx
