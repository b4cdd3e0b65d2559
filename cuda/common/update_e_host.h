// Host wrapper of the electric update, shared by both modules.
#pragma once

#include "field_host.h"
#include "update_e.h"

namespace vx {

// Reads the extents, checks devices, builds the accessors (torch's rank and
// dtype checks), checks extents, then hands the argument block to `launch`.
// KN = 4: keep tensors [m, i, j, k]; KN = 5: [m, i, j, k, c].
template <typename F, int KN, typename LaunchFn>
void update_e_host(const char* fn, Tn Ex, Tn Ey, Tn Ez, Tn Hx, Tn Hy, Tn Hz, Tn keep_x,
                   Tn keep_y, Tn keep_z, Tn loss_x, Tn loss_y, Tn loss_z, Tn Cx, Tn Cy, Tn Cz,
                   Tn psi_x, Tn psi_y, Tn psi_z, Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz,
                   Tn n_layer, LaunchFn launch) {
  const FieldExtents e = field_extents(Ex, Ey, Ez);
  const int device = resolve_device(
      fn, {{"Ex", &Ex}, {"Ey", &Ey}, {"Ez", &Ez}, {"Hx", &Hx}, {"Hy", &Hy}, {"Hz", &Hz},
           {"keep_x", &keep_x}, {"keep_y", &keep_y}, {"keep_z", &keep_z},
           {"loss_x", &loss_x}, {"loss_y", &loss_y}, {"loss_z", &loss_z}, {"Cx", &Cx},
           {"Cy", &Cy}, {"Cz", &Cz}, {"psi_x", &psi_x}, {"psi_y", &psi_y}, {"psi_z", &psi_z},
           {"bx", &bx}, {"by", &by}, {"bz", &bz}, {"gx", &gx}, {"gy", &gy}, {"gz", &gz},
           {"n_layer", &n_layer}});
  UpdateEArgs<F, KN> a;
  a.Ex = field_acc<F, 6>(Ex);
  a.Ey = field_acc<F, 6>(Ey);
  a.Ez = field_acc<F, 6>(Ez);
  a.Hx = field_acc<F, 6>(Hx);
  a.Hy = field_acc<F, 6>(Hy);
  a.Hz = field_acc<F, 6>(Hz);
  a.keep_x = acc<float, KN>(keep_x);
  a.keep_y = acc<float, KN>(keep_y);
  a.keep_z = acc<float, KN>(keep_z);
  a.loss_x = acc<float, 4>(loss_x);
  a.loss_y = acc<float, 4>(loss_y);
  a.loss_z = acc<float, 4>(loss_z);
  a.cs = curl_set_accessors<F>(Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz, n_layer);

  check_fields(fn, e, Ex, Ey, Ez, &Hx, &Hy, &Hz);
  const Named keeps[] = {{"keep_x", &keep_x}, {"keep_y", &keep_y}, {"keep_z", &keep_z}};
  for (const Named& kp : keeps) {
    if (KN == 5)
      require_extent(fn, kp.first, *kp.second, {e.NM, e.Nx, e.Ny, e.Nz, e.NC});
    else
      require_extent(fn, kp.first, *kp.second, {e.NM, e.Nx, e.Ny, e.Nz});
  }
  const Named losses[] = {{"loss_x", &loss_x}, {"loss_y", &loss_y}, {"loss_z", &loss_z}};
  for (const Named& ls : losses) require_extent(fn, ls.first, *ls.second, {e.NM, e.Nx, e.Ny, e.Nz});
  check_curl_set(fn, e, a.cs, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz, n_layer);
  const Grid g = field_grid(fn, e, device);
  set_field_extents(a, e);
  launch(g, a);
}

}  // namespace vx
