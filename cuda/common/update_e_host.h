// Host wrapper of the electric update, shared by both modules.
#pragma once

#include "field_host.h"
#include "update_e.h"

namespace vx {

// Checks the arguments (args.h), reads and checks the extents, then launches
// the kernel of field type F.
// keep tensors: [m, i, j, k] (real fields) or [m, i, j, k, c] (complex).
template <typename F>
void update_e_host(const char* fn, VX_PARAMS(VX_ARGS_UPDATE_E, kField<F>)) {
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

  check_fields(fn, e, Ex, Ey, Ez, &Hx, &Hy, &Hz);
  const int64_t keep_c = KN == 5 ? e.NC : -1;  // the channel axis of 5-D keep tensors
  VX_REQUIRE_EXTENT(fn, keep_x, {e.NM, e.Nx, e.Ny, e.Nz, keep_c});
  VX_REQUIRE_EXTENT(fn, keep_y, {e.NM, e.Nx, e.Ny, e.Nz, keep_c});
  VX_REQUIRE_EXTENT(fn, keep_z, {e.NM, e.Nx, e.Ny, e.Nz, keep_c});
  VX_REQUIRE_EXTENT(fn, loss_x, {e.NM, e.Nx, e.Ny, e.Nz});
  VX_REQUIRE_EXTENT(fn, loss_y, {e.NM, e.Nx, e.Ny, e.Nz});
  VX_REQUIRE_EXTENT(fn, loss_z, {e.NM, e.Nx, e.Ny, e.Nz});
  launch_curl_update(fn, call, e, a, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
                     n_layer,
                     [](const Grid& g, const UpdateEArgs<F, KN>& a) { kernel::Update_E_GPU(g, a); });
}

}  // namespace vx
