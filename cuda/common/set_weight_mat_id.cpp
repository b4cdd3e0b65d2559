// Set_weight_mat_id: paints one object into the material description
// (owner id, displaced id and owner weight per sample point).
#include "args.h"
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
  const int64_t grid[] = {o.NM, o.s.Lx, o.s.Ly, o.s.Lz};
  VX_REQUIRE_EXTENT(fn, weight, {grid[0], grid[1], grid[2], grid[3]});
  VX_REQUIRE_EXTENT(fn, id_map, {grid[0], grid[1], grid[2], grid[3]});
  VX_REQUIRE_EXTENT(fn, prev_id_map, {grid[0], grid[1], grid[2], grid[3]});
  const Grid g = make_grid(fn, 1, o.NM, o.s.Wx, o.s.Wy, o.s.Wz, 1, device);
  call.check_written();
  kernel::Set_weight_mat_id_GPU(g, a);
}

}  // namespace vx
