// Host wrapper of the magnetic update, shared by both modules.
#pragma once

#include "field_host.h"
#include "update_h.h"

namespace vx {

// Checks the arguments (args.h), reads and checks the extents, then launches
// the kernel of field type F.
template <typename F>
void update_h_host(const char* fn, VX_PARAMS(VX_ARGS_UPDATE_H, kField<F>)) {
  Call call(fn, {VX_CHECKS(VX_ARGS_UPDATE_H, kField<F>)});
  const FieldExtents e = field_extents(Ex, Ey, Ez);
  UpdateHArgs<F> a;
  call.accessors<F, 6>(a.Hx, a.Hy, a.Hz, Hx, Hy, Hz);
  call.accessors<F, 6>(a.Ex, a.Ey, a.Ez, Ex, Ey, Ez);
  a.cs = curl_set_accessors<F>(call, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
                               n_layer);
  check_fields(fn, e, Ex, Ey, Ez, &Hx, &Hy, &Hz);
  launch_curl_update(fn, call, e, a, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz,
                     n_layer,
                     [](const Grid& g, const UpdateHArgs<F>& a) { kernel::Update_H_GPU(g, a); });
}

}  // namespace vx
