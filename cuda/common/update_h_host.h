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
  a.Cx = acc<float, 1>(Cx);
  a.Cy = acc<float, 1>(Cy);
  a.Cz = acc<float, 1>(Cz);
  a.psi_x = field_acc<F, 7>(psi_x);
  a.psi_y = field_acc<F, 7>(psi_y);
  a.psi_z = field_acc<F, 7>(psi_z);
  a.bx = acc<float, 1>(bx);
  a.by = acc<float, 1>(by);
  a.bz = acc<float, 1>(bz);
  a.gx = acc<float, 1>(gx);
  a.gy = acc<float, 1>(gy);
  a.gz = acc<float, 1>(gz);
  a.n_layer = acc<int32_t, 1>(n_layer);

  check_fields(fn, e, Ex, Ey, Ez, &Hx, &Hy, &Hz);
  check_curl_profiles(fn, e, Cx, Cy, Cz);
  a.lim_x = check_layer_axis(fn, e, 0, psi_x, bx, gx);
  a.lim_y = check_layer_axis(fn, e, 1, psi_y, by, gy);
  a.lim_z = check_layer_axis(fn, e, 2, psi_z, bz, gz);
  check_n_layer(fn, n_layer);
  const Grid g = field_grid(fn, e, device);
  a.NM = static_cast<int>(e.NM);
  a.NC = static_cast<int>(e.NC);
  a.Nx = static_cast<int>(e.Nx);
  a.Ny = static_cast<int>(e.Ny);
  a.Nz = static_cast<int>(e.Nz);
  launch(g, a);
}

}  // namespace vx
