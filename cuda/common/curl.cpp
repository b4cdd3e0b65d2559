// The curl updates both modules bind, Update_H and Update_E (host.h), and
// their kernels' host entry points (GPU launch or CPU loops), from the
// kernel tables in yee.h; the GPU kernels are in curl.cu.
#include <algorithm>

#include "host.h"
#include "launch_host.h"
#include "yee.h"

VX_UPDATE_H_KERNELS(VX_DEFINE_HOST_LAUNCH)
VX_UPDATE_E_KERNELS(VX_DEFINE_HOST_LAUNCH)

namespace vx {

namespace {

// Accessors of the curl profiles, auxiliaries, layer profiles and n_layer.
template <typename F>
CurlSet<F> curl_set_accessors(Call& call, Tn Cx, Tn Cy, Tn Cz, Tn psi_x, Tn psi_y, Tn psi_z,
                              Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz, Tn n_layer) {
  CurlSet<F> cs;
  call.accessors<float, 1>(cs.Cx, cs.Cy, cs.Cz, Cx, Cy, Cz);
  call.accessors<F, 7>(cs.psi_x, cs.psi_y, cs.psi_z, psi_x, psi_y, psi_z);
  call.accessors<float, 1>(cs.bx, cs.by, cs.bz, bx, by, bz);
  call.accessors<float, 1>(cs.gx, cs.gy, cs.gz, gx, gy, gz);
  cs.n_layer = call.acc<int32_t, 1>(n_layer);
  return cs;
}

// How many layer indices an axis's psi, b and g can all hold (psi's layer
// axis is kAxis + 2), which the kernel never exceeds; 0 when none.
int64_t layer_limit(int axis, Tn psi, Tn b, Tn g) {
  return std::max<int64_t>(0, std::min({psi.size(2 + axis), b.size(0), g.size(0)}));
}

// What a curl update does once its accessors are made: the shape checks
// (the table's rules, with the layer limits), the launch limits, the
// written layouts, then the launch.
template <typename Args, typename LaunchFn>
void launch_curl_update(const char* fn, Call& call, const FieldExtents& e, Args& a, Tn psi_x,
                        Tn psi_y, Tn psi_z, Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz,
                        LaunchFn launch) {
  a.cs.lim_x = layer_limit(0, psi_x, bx, gx);
  a.cs.lim_y = layer_limit(1, psi_y, by, gy);
  a.cs.lim_z = layer_limit(2, psi_z, bz, gz);
  Extents named = e.named();
  named.set(Ext::layers_x, a.cs.lim_x).set(Ext::layers_y, a.cs.lim_y);
  named.set(Ext::layers_z, a.cs.lim_z);
  call.check_shapes(named);
  const Grid g = field_grid(fn, e, call.device());
  call.check_written();
  set_field_extents(a, e);
  launch(g, a);
}

}  // namespace

template <typename F>
void Update_H(VX_PARAMS(VX_ARGS_UPDATE_H, kField<F>)) {
  const char* fn = "Update_H";
  Call call(fn, {VX_CHECKS(VX_ARGS_UPDATE_H, kField<F>)});
  const FieldExtents e = field_extents(Ex, Ey, Ez);
  UpdateHArgs<F> a;
  call.accessors<F, 6>(a.Hx, a.Hy, a.Hz, Hx, Hy, Hz);
  call.accessors<F, 6>(a.Ex, a.Ey, a.Ez, Ex, Ey, Ez);
  a.cs = curl_set_accessors<F>(call, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
                               n_layer);
  launch_curl_update(fn, call, e, a, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
                     [](const Grid& g, const UpdateHArgs<F>& a) { kernel::Update_H_GPU(g, a); });
}

// keep tensors: [m, i, j, k] (real fields) or [m, i, j, k, c] (complex).
template <typename F>
void Update_E(VX_PARAMS(VX_ARGS_UPDATE_E, kField<F>)) {
  const char* fn = "Update_E";
  constexpr int KN = VX_KEEP_RANK(kField<F>);
  Call call(fn, {VX_CHECKS(VX_ARGS_UPDATE_E, kField<F>)});
  const FieldExtents e = field_extents(Ex, Ey, Ez);
  UpdateEArgs<F, KN> a;
  call.accessors<F, 6>(a.Ex, a.Ey, a.Ez, Ex, Ey, Ez);
  call.accessors<F, 6>(a.Hx, a.Hy, a.Hz, Hx, Hy, Hz);
  call.accessors<float, KN>(a.keep_x, a.keep_y, a.keep_z, keep_x, keep_y, keep_z);
  call.accessors<float, 4>(a.loss_x, a.loss_y, a.loss_z, loss_x, loss_y, loss_z);
  a.cs = curl_set_accessors<F>(call, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
                               n_layer);
  launch_curl_update(
      fn, call, e, a, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
      [](const Grid& g, const UpdateEArgs<F, KN>& a) { kernel::Update_E_GPU(g, a); });
}

template void Update_H<float>(VX_PARAMS(VX_ARGS_UPDATE_H, kF32));
template void Update_H<cfloat>(VX_PARAMS(VX_ARGS_UPDATE_H, kC64));
template void Update_E<float>(VX_PARAMS(VX_ARGS_UPDATE_E, kF32));
template void Update_E<cfloat>(VX_PARAMS(VX_ARGS_UPDATE_E, kC64));

}  // namespace vx
