// Host wrapper of the magnetic update, shared by both modules.
#pragma once

#include "field_host.h"
#include "update_h.h"

namespace vx {


// Reads the extents, checks devices, builds the accessors (torch's rank and
// dtype checks), checks extents, then hands the argument block to `launch`.
template <typename F, typename LaunchFn>
void update_h_host(const char* fn, Tn Hx, Tn Hy, Tn Hz, Tn Ex, Tn Ey, Tn Ez, Tn Cx, Tn Cy, Tn Cz,
                   Tn psi_x, Tn psi_y, Tn psi_z, Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz,
                   Tn n_layer, LaunchFn launch) {
  const FieldExtents e = field_extents(Ex, Ey, Ez);
  const int device = resolve_device(
      fn, {{"Hx", &Hx}, {"Hy", &Hy}, {"Hz", &Hz}, {"Ex", &Ex}, {"Ey", &Ey}, {"Ez", &Ez},
           {"Cx", &Cx}, {"Cy", &Cy}, {"Cz", &Cz}, {"psi_x", &psi_x}, {"psi_y", &psi_y},
           {"psi_z", &psi_z}, {"bx", &bx}, {"by", &by}, {"bz", &bz}, {"gx", &gx},
           {"gy", &gy}, {"gz", &gz}, {"n_layer", &n_layer}});
  UpdateHArgs<F> a;
  a.Hx = field_acc<F, 6>(Hx);
  a.Hy = field_acc<F, 6>(Hy);
  a.Hz = field_acc<F, 6>(Hz);
  a.Ex = field_acc<F, 6>(Ex);
  a.Ey = field_acc<F, 6>(Ey);
  a.Ez = field_acc<F, 6>(Ez);
  a.cs = curl_set_accessors<F>(Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz, n_layer);

  check_fields(fn, e, Ex, Ey, Ez, &Hx, &Hy, &Hz);
  check_curl_set(fn, e, a.cs, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz, n_layer);
  const Grid g = field_grid(fn, e, device);
  set_field_extents(a, e);
  launch(g, a);
}

}  // namespace vx
