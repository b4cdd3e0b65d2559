// Set_ER_average of the complex-field module: one permittivity per sample
// point and channel, mixed from the per-channel table columns.
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

void Set_ER_average(Tn er, Tn weight, Tn id_map, Tn prev_id_map, Tn er_table) {
  const char* fn = "Set_ER_average";
  const int64_t NC = er_table.size(1);
  const int64_t NM = er.size(0), Sx = er.size(1), Sy = er.size(2), Sz = er.size(3);
  vx::MixArgs<true> a;
  a.out = vx::acc<float, 5>(er);
  a.weight = vx::acc<float, 4>(weight);
  a.id_map = vx::acc<uint8_t, 4>(id_map);
  a.prev_id_map = vx::acc<uint8_t, 4>(prev_id_map);
  a.table = vx::acc<float, 2>(er_table);
  const int device = vx::resolve_device(fn, {{"er", &er},
                                             {"weight", &weight},
                                             {"id_map", &id_map},
                                             {"prev_id_map", &prev_id_map},
                                             {"er_table", &er_table}});
  vx::require_extent(fn, "er", er, {-1, -1, -1, -1, NC});
  vx::require_extent(fn, "weight", weight, {NM, Sx, Sy, Sz});
  vx::require_extent(fn, "id_map", id_map, {NM, Sx, Sy, Sz});
  vx::require_extent(fn, "prev_id_map", prev_id_map, {NM, Sx, Sy, Sz});
  vx::check_grid(fn, Sx * Sy * Sz, NM * NC, "NM * NC (er axis 0 times er_table axis 1)");
  a.NC = static_cast<int>(NC);
  a.Sx = static_cast<int>(Sx);
  a.Sy = static_cast<int>(Sy);
  a.Sz = static_cast<int>(Sz);
  vx::kernel::Set_ER_average_GPU(vx::make_grid(fn, 1, NM, Sx, Sy, Sz, NC, device), a);
}

}  // namespace voxstep4
