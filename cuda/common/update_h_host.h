// Host wrapper of the magnetic update, shared by both modules.
#pragma once

#include "field_host.h"
#include "update_h.h"

namespace vx {

// Checks the arguments (args.h), reads and checks the extents, then hands the
// argument block to `launch`.
template <typename F, typename LaunchFn>
void update_h_host(const char* fn, Tn Hx, Tn Hy, Tn Hz, Tn Ex, Tn Ey, Tn Ez, Tn Cx, Tn Cy, Tn Cz,
                   Tn psi_x, Tn psi_y, Tn psi_z, Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz,
                   Tn n_layer, LaunchFn launch) {
  constexpr at::ScalarType T = kField<F>;
  Call call(fn, {VX_OUT(Hx, 6, T), VX_OUT(Hy, 6, T), VX_OUT(Hz, 6, T), VX_IN(Ex, 6, T),
                 VX_IN(Ey, 6, T), VX_IN(Ez, 6, T), VX_CURL_SET_ARGS(F)});
  const FieldExtents e = field_extents(Ex, Ey, Ez);
  UpdateHArgs<F> a;
  call.accessors<F, 6>(a.Hx, a.Hy, a.Hz, Hx, Hy, Hz);
  call.accessors<F, 6>(a.Ex, a.Ey, a.Ez, Ex, Ey, Ez);
  a.cs = curl_set_accessors<F>(call, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
                               n_layer);
  check_fields(fn, e, Ex, Ey, Ez, &Hx, &Hy, &Hz);
  launch_curl_update(fn, call, e, a, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
                     n_layer, launch);
}

}  // namespace vx
