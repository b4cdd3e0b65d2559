// Magnetic update: per-thread body shared by the real (float) and complex
// (cfloat) modules. H += curl terms of the forward-differenced E field, then
// the CPML auxiliaries of every axis the cell lies in, in the order x, y, z.
#pragma once

#include "yee.h"

namespace vx {

template <typename F>
struct UpdateHArgs {
  Acc<F, 6> Hx, Hy, Hz, Ex, Ey, Ez;
  Acc<float, 1> Cx, Cy, Cz;
  Acc<F, 7> psi_x, psi_y, psi_z;
  Acc<float, 1> bx, by, bz, gx, gy, gz;
  Acc<int32_t, 1> n_layer;
  int NM, NC, Nx, Ny, Nz;
  // Layer indices each axis's psi, b and g can hold (host-computed).
  int64_t lim_x, lim_y, lim_z;
};

// kGroupByAxis: the complex module accumulates the curl terms grouped by
// difference axis (x, y, z) instead of by component; the sum is the same.
template <typename F, bool kGroupByAxis>
VX_HD void update_h_cell(int64_t t, int64_t y, const UpdateHArgs<F>& a) {
  Cell q;
  if (!map_cell(t, y, a.NM, a.NC, a.Nx, a.Ny, a.Nz, q)) return;
  const int s = q.s, m = q.m, i = q.i, j = q.j, k = q.k, c = q.c;

  const F ex = a.Ex(s, m, i, j, k, c);
  const F ey = a.Ey(s, m, i, j, k, c);
  const F ez = a.Ez(s, m, i, j, k, c);
  const F dyEx = a.Ex(s, m, i, j + 1, k, c) - ex;
  const F dzEx = a.Ex(s, m, i, j, k + 1, c) - ex;
  const F dxEy = a.Ey(s, m, i + 1, j, k, c) - ey;
  const F dzEy = a.Ey(s, m, i, j, k + 1, c) - ey;
  const F dxEz = a.Ez(s, m, i + 1, j, k, c) - ez;
  const F dyEz = a.Ez(s, m, i, j + 1, k, c) - ez;
  const float cx = a.Cx(i), cy = a.Cy(j), cz = a.Cz(k);

  F hx = a.Hx(s, m, i, j, k, c);
  F hy = a.Hy(s, m, i, j, k, c);
  F hz = a.Hz(s, m, i, j, k, c);

  if (kGroupByAxis) {
    hy = hy + cx * dxEz;
    hz = hz - cx * dxEy;
    hz = hz + cy * dyEx;
    hx = hx - cy * dyEz;
    hx = hx + cz * dzEy;
    hy = hy - cz * dzEx;
  } else {
    hx = hx + (cz * dzEy - cy * dyEz);
    hy = hy + (cx * dxEz - cz * dzEx);
    hz = hz + (cy * dyEx - cx * dxEy);
  }

  // Layer terms carry the sign of the curl term that differences the same
  // E component along the layer's axis.
  const int Lx = layer_index_h(i, a.Nx, a.n_layer(0));
  if (layer_usable(Lx, a.lim_x)) {
    const float b = a.bx(Lx), g = a.gx(Lx);
    F& p0 = a.psi_x(s, m, Lx, j, k, 0, c);
    p0 = b * p0 + g * dxEz;
    hy = hy + p0;
    F& p1 = a.psi_x(s, m, Lx, j, k, 1, c);
    p1 = b * p1 - g * dxEy;
    hz = hz + p1;
  }
  const int Ly = layer_index_h(j, a.Ny, a.n_layer(1));
  if (layer_usable(Ly, a.lim_y)) {
    const float b = a.by(Ly), g = a.gy(Ly);
    F& p0 = a.psi_y(s, m, i, Ly, k, 0, c);
    p0 = b * p0 + g * dyEx;
    hz = hz + p0;
    F& p1 = a.psi_y(s, m, i, Ly, k, 1, c);
    p1 = b * p1 - g * dyEz;
    hx = hx + p1;
  }
  const int Lz = layer_index_h(k, a.Nz, a.n_layer(2));
  if (layer_usable(Lz, a.lim_z)) {
    const float b = a.bz(Lz), g = a.gz(Lz);
    F& p0 = a.psi_z(s, m, i, j, Lz, 0, c);
    p0 = b * p0 + g * dzEy;
    hx = hx + p0;
    F& p1 = a.psi_z(s, m, i, j, Lz, 1, c);
    p1 = b * p1 - g * dzEx;
    hy = hy + p1;
  }

  a.Hx(s, m, i, j, k, c) = hx;
  a.Hy(s, m, i, j, k, c) = hy;
  a.Hz(s, m, i, j, k, c) = hz;
}

}  // namespace vx
