// Host wrapper of the three mixing functions (Set_ER_average of both modules,
// Set_sigma_average), shared by both modules.
#pragma once

#include <string>

#include "host.h"
#include "mixing.h"

namespace vx {

// After the checks of `call` (made from the function's VX_ARGS_MIX list),
// checks the extents, then hands the argument block to `launch`. `out` and
// `table` are the written map and the table (named in the messages as the
// function names them: er / er_table, sigma / sigma_table); with kChannels
// the map has a channel axis as long as the table's second.
template <bool kChannels, typename LaunchFn>
void mix_host(Call& call, Tn out, Tn weight, Tn id_map, Tn prev_id_map, Tn table,
              LaunchFn launch) {
  constexpr int kOut = kChannels ? 5 : 4, kTable = kChannels ? 2 : 1;
  const char *fn = call.fn(), *out_name = call.name(0), *table_name = call.name(4);
  const int64_t NC = kChannels ? table.size(1) : 1;
  const int64_t NM = out.size(0), Sx = out.size(1), Sy = out.size(2), Sz = out.size(3);
  MixArgs<kChannels> a;
  a.out = call.acc<float, kOut>(out);
  a.weight = call.acc<float, 4>(weight);
  a.id_map = call.acc<uint8_t, 4>(id_map);
  a.prev_id_map = call.acc<uint8_t, 4>(prev_id_map);
  a.table = call.acc<float, kTable>(table);
  const int device = call.device();
  call.check_shapes(
      Extents({&out}).set(Ext::NM, NM).set(Ext::Sx, Sx).set(Ext::Sy, Sy).set(Ext::Sz, Sz)
          .set(Ext::NC, NC));
  const std::string rows =
      kChannels ? std::string("NM * NC (") + out_name + " axis 0 times " + table_name + " axis 1)"
                : std::string("NM (") + out_name + " axis 0)";
  check_grid(fn, mul_sat({Sx, Sy, Sz}), mul_sat(NM, NC), rows.c_str());
  const Grid g = make_grid(fn, 1, NM, Sx, Sy, Sz, NC, device);
  call.check_written();
  a.NC = static_cast<int>(NC);
  a.Sx = static_cast<int>(Sx);
  a.Sy = static_cast<int>(Sy);
  a.Sz = static_cast<int>(Sz);
  launch(g, a);
}

}  // namespace vx

// The definition of mixing function NAME of a module table (argument list
// LIST, a VX_ARGS_MIX) through KERNEL.
#define VX_DEFINE_MIX(NAME, LIST, T, kChannels, KERNEL)                 \
  void NAME(VX_PARAMS(LIST, T)) {                                         \
    ::vx::Call call(#NAME, {VX_CHECKS(LIST, T)});                         \
    ::vx::mix_host<kChannels>(call, VX_NAMES(LIST, T), ::vx::kernel::KERNEL); \
  }
