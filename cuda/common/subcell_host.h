// Host wrapper of the two subcell-smoothing functions (Set_weight_subcell of
// Voxstep, Set_ER_subcell of Voxstep4), shared by both modules.
#pragma once

#include <tuple>

#include "host.h"
#include "material_host.h"
#include "subcell.h"

namespace vx {

// After the CUDA checks and those of `call` (made from the function's
// VX_ARGS_SUBCELL list), checks the extents, then hands the argument block
// to `launch`; returns the three index windows. `out` is the written map
// (named in the messages as the function names it: weight, er); with
// kChannels it has a channel axis as long as the table's second.
template <bool kChannels, typename LaunchFn>
Windows subcell_host(Call& call, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x, Tn coord_y,
                     Tn coord_z, Tn out, int64_t mat_id, Tn id_map, Tn prev_id_map, Tn normal,
                     Tn er_table, int64_t component, LaunchFn launch) {
  constexpr int kOut = kChannels ? 5 : 4, kTable = kChannels ? 2 : 1;
  const char* fn = call.fn();
  const int64_t NC = kChannels ? er_table.size(1) : 1;
  const OverlapSetup o =
      overlap_setup(fn, box_x, box_y, box_z, vox, coord_x, coord_y, coord_z, NC);
  SubcellArgs<kChannels> a;
  set_object_args(call, a, o, coord_x, coord_y, coord_z, vox, mat_id, id_map, prev_id_map);
  a.out = call.acc<float, kOut>(out);
  a.normal = call.acc<float, 5>(normal);
  a.er_table = call.acc<float, kTable>(er_table);
  a.component = normal_axis(static_cast<int>(component > 2 || component < 0 ? 2 : component));
  a.NC = static_cast<int>(NC);
  const int device = call.device();
  call.check_shapes(painted_extents(o).set(Ext::NC, NC));
  const Grid g = make_grid(fn, 1, o.NM, o.s.Wx, o.s.Wy, o.s.Wz, NC, device);
  call.check_written();
  launch(g, a);
  return {o.range_x, o.range_y, o.range_z};
}

}  // namespace vx

// The definition of subcell function NAME of a module table (argument list
// LIST, a VX_ARGS_SUBCELL) through KERNEL: the public functions' CUDA
// checks come first.
#define VX_DEFINE_SUBCELL(NAME, LIST, T, kChannels, KERNEL)                             \
  ::vx::Windows NAME(bool gpu_checks, VX_PARAMS(LIST, T)) {                               \
    ::vx::require_cuda_inputs(gpu_checks, {&vox, &coord_x, &coord_y, &coord_z});          \
    ::vx::Call call(#NAME, {VX_CHECKS(LIST, T)});                                         \
    return ::vx::subcell_host<kChannels>(call, VX_NAMES(LIST, T), ::vx::kernel::KERNEL); \
  }
