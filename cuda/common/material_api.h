// Material preparation shared by both modules: index windows, overlap
// averaging and painting objects into the material description.
#pragma once

#include <tuple>

#include "args.h"

namespace vx {

using Windows = std::tuple<at::Tensor, at::Tensor, at::Tensor>;
using Averaged = std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor>;

// The material functions both public modules bind, in their binding order
// (a module table, args.h). Checked: the public functions refuse CPU
// tensors with the fixed messages; the private CPU module runs them on the
// CPU.
#define VX_MATERIAL_FUNCTIONS(X)                                                            \
  X(vx, get_id_range, Plain, at::Tensor, VX_ARGS_GET_ID_RANGE, kAny, "get_id_range")        \
  X(vx, Mat_average, Checked, Averaged, VX_ARGS_MAT_AVERAGE, kAny,                          \
    "Average sampling for index")                                                           \
  X(vx, Set_weight_mat_id, Checked, void, VX_ARGS_SET_WEIGHT_MAT_ID, kAny, "Set_weight_mat_id")

VX_MATERIAL_FUNCTIONS(VX_DECLARE_FUNCTION)

}  // namespace vx
