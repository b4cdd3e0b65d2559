// What every module's binding table needs: torch's tensor caster and the
// translation of torch's exception types into the matching Python ones.
#pragma once

#include <torch/csrc/utils/pybind.h>

namespace vx {

// Imports torch (so tensors convert) and registers the exception translation.
void prepare_module(pybind11::module_& m);

}  // namespace vx
