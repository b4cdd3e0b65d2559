// Set_sigma_average: adds the conductivity mixed from the owner's and the
// displaced material's table values to every sample point.
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

void Set_sigma_average(Tn sigma, Tn weight, Tn id_map, Tn prev_id_map, Tn sigma_table) {
  const char* fn = "Set_sigma_average";
  const int64_t NM = sigma.size(0), Sx = sigma.size(1), Sy = sigma.size(2), Sz = sigma.size(3);
  vx::MixArgs<false> a;
  a.out = vx::acc<float, 4>(sigma);
  a.weight = vx::acc<float, 4>(weight);
  a.id_map = vx::acc<uint8_t, 4>(id_map);
  a.prev_id_map = vx::acc<uint8_t, 4>(prev_id_map);
  a.table = vx::acc<float, 1>(sigma_table);
  const int device = vx::resolve_device(fn, {{"sigma", &sigma},
                                             {"weight", &weight},
                                             {"id_map", &id_map},
                                             {"prev_id_map", &prev_id_map},
                                             {"sigma_table", &sigma_table}});
  vx::require_extent(fn, "weight", weight, {NM, Sx, Sy, Sz});
  vx::require_extent(fn, "id_map", id_map, {NM, Sx, Sy, Sz});
  vx::require_extent(fn, "prev_id_map", prev_id_map, {NM, Sx, Sy, Sz});
  vx::check_grid(fn, Sx * Sy * Sz, NM, "NM (sigma axis 0)");
  a.NC = 1;
  a.Sx = static_cast<int>(Sx);
  a.Sy = static_cast<int>(Sy);
  a.Sz = static_cast<int>(Sz);
  vx::kernel::Set_sigma_average_GPU(vx::make_grid(fn, 1, NM, Sx, Sy, Sz, 1, device), a);
}

}  // namespace voxstep4
