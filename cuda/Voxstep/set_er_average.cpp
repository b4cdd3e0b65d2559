// Set_ER_average: permittivity per sample point, mixed from the owner's and
// the displaced material's table values by the owner's weight.
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

void Set_ER_average(Tn er, Tn weight, Tn id_map, Tn prev_id_map, Tn er_table) {
  const char* fn = "Set_ER_average";
  vx::Call call(fn, {VX_OUT(er, 4, vx::kF32), VX_IN(weight, 4, vx::kF32),
                     VX_IN(id_map, 4, vx::kU8), VX_IN(prev_id_map, 4, vx::kU8),
                     VX_IN(er_table, 1, vx::kF32)});
  const int64_t NM = er.size(0), Sx = er.size(1), Sy = er.size(2), Sz = er.size(3);
  vx::MixArgs<false> a;
  a.out = call.acc<float, 4>(er);
  a.weight = call.acc<float, 4>(weight);
  a.id_map = call.acc<uint8_t, 4>(id_map);
  a.prev_id_map = call.acc<uint8_t, 4>(prev_id_map);
  a.table = call.acc<float, 1>(er_table);
  const int device = call.device();
  VX_REQUIRE_EXTENT(fn, weight, {NM, Sx, Sy, Sz});
  VX_REQUIRE_EXTENT(fn, id_map, {NM, Sx, Sy, Sz});
  VX_REQUIRE_EXTENT(fn, prev_id_map, {NM, Sx, Sy, Sz});
  vx::check_grid(fn, vx::mul_sat({Sx, Sy, Sz}), NM, "NM (er axis 0)");
  const vx::Grid g = vx::make_grid(fn, 1, NM, Sx, Sy, Sz, 1, device);
  call.check_written();
  a.NC = 1;
  a.Sx = static_cast<int>(Sx);
  a.Sy = static_cast<int>(Sy);
  a.Sz = static_cast<int>(Sz);
  vx::kernel::Set_ER_average_GPU(g, a);
}

}  // namespace voxstep
