// Host wrapper of the electric update, shared by both modules.
#pragma once

#include "field_host.h"
#include "update_e.h"

namespace vx {

// Checks the arguments (args.h), reads and checks the extents, then hands the
// argument block to `launch`.
// KN = 4: keep tensors [m, i, j, k]; KN = 5: [m, i, j, k, c].
template <typename F, int KN, typename LaunchFn>
void update_e_host(const char* fn, Tn Ex, Tn Ey, Tn Ez, Tn Hx, Tn Hy, Tn Hz, Tn keep_x,
                   Tn keep_y, Tn keep_z, Tn loss_x, Tn loss_y, Tn loss_z, Tn Cx, Tn Cy, Tn Cz,
                   Tn psi_x, Tn psi_y, Tn psi_z, Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz,
                   Tn n_layer, LaunchFn launch) {
  constexpr at::ScalarType T = kField<F>;
  Call call(fn, {VX_OUT(Ex, 6, T), VX_OUT(Ey, 6, T), VX_OUT(Ez, 6, T), VX_IN(Hx, 6, T),
                 VX_IN(Hy, 6, T), VX_IN(Hz, 6, T), VX_IN(keep_x, KN, kF32),
                 VX_IN(keep_y, KN, kF32), VX_IN(keep_z, KN, kF32), VX_IN(loss_x, 4, kF32),
                 VX_IN(loss_y, 4, kF32), VX_IN(loss_z, 4, kF32), VX_CURL_SET_ARGS(F)});
  const FieldExtents e = field_extents(Ex, Ey, Ez);
  UpdateEArgs<F, KN> a;
  call.accessors<F, 6>(a.Ex, a.Ey, a.Ez, Ex, Ey, Ez);
  call.accessors<F, 6>(a.Hx, a.Hy, a.Hz, Hx, Hy, Hz);
  call.accessors<float, KN>(a.keep_x, a.keep_y, a.keep_z, keep_x, keep_y, keep_z);
  call.accessors<float, 4>(a.loss_x, a.loss_y, a.loss_z, loss_x, loss_y, loss_z);
  a.cs = curl_set_accessors<F>(call, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
                               n_layer);

  check_fields(fn, e, Ex, Ey, Ez, &Hx, &Hy, &Hz);
  const int64_t keep_c = KN == 5 ? e.NC : -1;  // the channel axis of 5-D keep tensors
  VX_REQUIRE_EXTENT(fn, keep_x, {e.NM, e.Nx, e.Ny, e.Nz, keep_c});
  VX_REQUIRE_EXTENT(fn, keep_y, {e.NM, e.Nx, e.Ny, e.Nz, keep_c});
  VX_REQUIRE_EXTENT(fn, keep_z, {e.NM, e.Nx, e.Ny, e.Nz, keep_c});
  VX_REQUIRE_EXTENT(fn, loss_x, {e.NM, e.Nx, e.Ny, e.Nz});
  VX_REQUIRE_EXTENT(fn, loss_y, {e.NM, e.Nx, e.Ny, e.Nz});
  VX_REQUIRE_EXTENT(fn, loss_z, {e.NM, e.Nx, e.Ny, e.Nz});
  launch_curl_update(fn, call, e, a, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
                     n_layer, launch);
}

}  // namespace vx
