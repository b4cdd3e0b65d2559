// Material preparation shared by both modules: index windows, overlap
// averaging and painting objects into the material description.
#pragma once

#include <tuple>

#include "args.h"

namespace vx {

at::Tensor get_id_range(Tn box, Tn coord);

// gpu_checks: the public functions refuse CPU tensors with the fixed
// messages; the private CPU module passes false and runs on the CPU.
std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor> Mat_average(
    bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x, Tn coord_y,
    Tn coord_z);

void Set_weight_mat_id(bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x,
                       Tn coord_y, Tn coord_z, int64_t mat_id, Tn weight, Tn id_map,
                       Tn prev_id_map);

}  // namespace vx
