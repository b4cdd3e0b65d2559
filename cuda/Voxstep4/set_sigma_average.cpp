// Set_sigma_average: adds the conductivity mixed from the owner's and the
// displaced material's table values to every sample point.
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

void Set_sigma_average(Tn sigma, Tn weight, Tn id_map, Tn prev_id_map, Tn sigma_table) {
  const char* fn = "Set_sigma_average";
  vx::Call call(fn, {VX_OUT(sigma, 4, vx::kF32), VX_IN(weight, 4, vx::kF32),
                     VX_IN(id_map, 4, vx::kU8), VX_IN(prev_id_map, 4, vx::kU8),
                     VX_IN(sigma_table, 1, vx::kF32)});
  const int64_t NM = sigma.size(0), Sx = sigma.size(1), Sy = sigma.size(2), Sz = sigma.size(3);
  vx::MixArgs<false> a;
  a.out = call.acc<float, 4>(sigma);
  a.weight = call.acc<float, 4>(weight);
  a.id_map = call.acc<uint8_t, 4>(id_map);
  a.prev_id_map = call.acc<uint8_t, 4>(prev_id_map);
  a.table = call.acc<float, 1>(sigma_table);
  const int device = call.device();
  VX_REQUIRE_EXTENT(fn, weight, {NM, Sx, Sy, Sz});
  VX_REQUIRE_EXTENT(fn, id_map, {NM, Sx, Sy, Sz});
  VX_REQUIRE_EXTENT(fn, prev_id_map, {NM, Sx, Sy, Sz});
  vx::check_grid(fn, vx::mul_sat({Sx, Sy, Sz}), NM, "NM (sigma axis 0)");
  const vx::Grid g = vx::make_grid(fn, 1, NM, Sx, Sy, Sz, 1, device);
  call.check_written();
  a.NC = 1;
  a.Sx = static_cast<int>(Sx);
  a.Sy = static_cast<int>(Sy);
  a.Sz = static_cast<int>(Sz);
  vx::kernel::Set_sigma_average_GPU(g, a);
}

}  // namespace voxstep4
