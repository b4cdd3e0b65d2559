// Set_ER_subcell: stores the anisotropically smoothed permittivity along one
// field component, per channel, at the points an object owns.
#include "../common/material_host.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

Windows Set_ER_subcell(bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x,
                       Tn coord_y, Tn coord_z, Tn er, int64_t mat_id, Tn id_map,
                       Tn prev_id_map, Tn normal, Tn er_table, int64_t component) {
  const char* fn = "Set_ER_subcell";
  vx::require_cuda_inputs(gpu_checks, {&vox, &coord_x, &coord_y, &coord_z});
  vx::Call call(fn, {VX_MATERIAL_ARGS(vx::kF32), VX_OUT(er, 5, vx::kF32),
                     VX_IN(id_map, 4, vx::kU8), VX_IN(prev_id_map, 4, vx::kU8),
                     VX_IN(normal, 5, vx::kF32), VX_IN(er_table, 2, vx::kF32)});
  const int64_t NC = er_table.size(1);
  const vx::OverlapSetup o =
      vx::overlap_setup(fn, box_x, box_y, box_z, vox, coord_x, coord_y, coord_z, NC);
  vx::ERSubcellArgs a;
  a.er = call.acc<float, 5>(er);
  a.normal = call.acc<float, 5>(normal);
  a.coord_x = call.acc<float, 1>(coord_x);
  a.coord_y = call.acc<float, 1>(coord_y);
  a.coord_z = call.acc<float, 1>(coord_z);
  a.vox = call.acc<float, 4>(vox);
  a.mat_id = static_cast<int>(mat_id & 0xFF);
  a.id_map = call.acc<uint8_t, 4>(id_map);
  a.prev_id_map = call.acc<uint8_t, 4>(prev_id_map);
  a.er_table = call.acc<float, 2>(er_table);
  a.component = vx::normal_axis(static_cast<int>(component > 2 || component < 0 ? 2 : component));
  a.NC = static_cast<int>(NC);
  a.s = o.s;
  const int device = call.device();
  const int64_t NM = o.NM, Lx = o.s.Lx, Ly = o.s.Ly, Lz = o.s.Lz;
  VX_REQUIRE_EXTENT(fn, er, {NM, Lx, Ly, Lz, NC});
  VX_REQUIRE_EXTENT(fn, id_map, {NM, Lx, Ly, Lz});
  VX_REQUIRE_EXTENT(fn, prev_id_map, {NM, Lx, Ly, Lz});
  VX_REQUIRE_EXTENT(fn, normal, {NM, Lx, Ly, Lz, 3});
  const vx::Grid g = vx::make_grid(fn, 1, NM, o.s.Wx, o.s.Wy, o.s.Wz, NC, device);
  call.check_written();
  vx::kernel::Set_ER_subcell_GPU(g, a);
  return {o.range_x, o.range_y, o.range_z};
}

}  // namespace voxstep4
