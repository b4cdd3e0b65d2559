// Set_weight_mat_id: paints one object into the material description
// (owner id, displaced id and owner weight per sample point).
#include "host.h"
#include "material_host.h"
#include "kernels.h"


namespace vx {

void Set_weight_mat_id(bool gpu_checks, VX_PARAMS(VX_ARGS_SET_WEIGHT_MAT_ID, kAny)) {
  const char* fn = "Set_weight_mat_id";
  require_cuda_inputs(gpu_checks, {&vox, &coord_x, &coord_y, &coord_z});
  Call call(fn, {VX_CHECKS(VX_ARGS_SET_WEIGHT_MAT_ID, kAny)});
  const OverlapSetup o =
      overlap_setup(fn, box_x, box_y, box_z, vox, coord_x, coord_y, coord_z);
  SetWeightMatIdArgs a;
  set_object_args(call, a, o, coord_x, coord_y, coord_z, vox, mat_id, id_map, prev_id_map);
  a.weight = call.acc<float, 4>(weight);
  const int device = call.device();
  call.check_shapes(painted_extents(o));
  const Grid g = make_grid(fn, 1, o.NM, o.s.Wx, o.s.Wy, o.s.Wz, 1, device);
  call.check_written();
  kernel::Set_weight_mat_id_GPU(g, a);
}

}  // namespace vx
