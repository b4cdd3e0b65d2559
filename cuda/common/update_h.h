// Magnetic update: per-cell body shared by the real (float) and complex
// (cfloat) modules. H += curl terms of the forward-differenced E field, then
// the CPML auxiliaries of every axis the cell lies in, in the order x, y, z.
#pragma once

#include "yee.h"

namespace vx {

// kC > 0: the CPU's packed layout (acc.h).
template <typename F, int kC = 0>
struct UpdateHArgs {
  ChanAcc<F, 6, kC> Hx, Hy, Hz, Ex, Ey, Ez;
  CurlSet<F, kC> cs;
  int NM, NC, Nx, Ny, Nz;

  template <int kC2, int = 0>
  using WithChannels = UpdateHArgs<F, kC2>;
  static constexpr int kPacked = kC;
  static constexpr bool kLayered = true;
  VX_HD LayerIndex layer(int axis, int x) const {
    return cs.template rule<false>(axis, x, axis == 0 ? Nx : axis == 1 ? Ny : Nz);
  }
  VX_ACCESSORS(Hx, Hy, Hz, Ex, Ey, Ez, cs)
};

// kGroupByAxis: the complex module accumulates the curl terms grouped by
// difference axis (x, y, z) instead of by component; the sum is the same.
template <typename F, bool kGroupByAxis, typename P, typename Args>
VX_HD void update_h_cell(const P& q, const Args& a) {
  const int s = q.s, m = q.m, i = q.i, j = q.j, k = q.k, c = q.c;

  const F ex = a.Ex(s, m, i, j, k, c), ey = a.Ey(s, m, i, j, k, c), ez = a.Ez(s, m, i, j, k, c);
  const F dyEx = a.Ex(s, m, i, j + 1, k, c) - ex;
  const F dzEx = a.Ex(s, m, i, j, k + 1, c) - ex;
  const F dxEy = a.Ey(s, m, i + 1, j, k, c) - ey;
  const F dzEy = a.Ey(s, m, i, j, k + 1, c) - ey;
  const F dxEz = a.Ez(s, m, i + 1, j, k, c) - ez;
  const F dyEz = a.Ez(s, m, i, j + 1, k, c) - ez;
  const float cx = a.cs.Cx(i), cy = a.cs.Cy(j), cz = a.cs.Cz(k);

  F hx = a.Hx(s, m, i, j, k, c), hy = a.Hy(s, m, i, j, k, c), hz = a.Hz(s, m, i, j, k, c);

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
  const LayerIndex Lx = layer_of<0>(q, a, i);
  if (Lx.in) {
    const float b = a.cs.bx(Lx.L), g = a.cs.gx(Lx.L);
    F& p0 = a.cs.psi_x(s, m, Lx.L, j, k, 0, c);
    p0 = b * p0 + g * dxEz;
    hy = hy + p0;
    F& p1 = a.cs.psi_x(s, m, Lx.L, j, k, 1, c);
    p1 = b * p1 - g * dxEy;
    hz = hz + p1;
  }
  const LayerIndex Ly = layer_of<1>(q, a, j);
  if (Ly.in) {
    const float b = a.cs.by(Ly.L), g = a.cs.gy(Ly.L);
    F& p0 = a.cs.psi_y(s, m, i, Ly.L, k, 0, c);
    p0 = b * p0 + g * dyEx;
    hz = hz + p0;
    F& p1 = a.cs.psi_y(s, m, i, Ly.L, k, 1, c);
    p1 = b * p1 - g * dyEz;
    hx = hx + p1;
  }
  const LayerIndex Lz = layer_of<2>(q, a, k);
  if (Lz.in) {
    const float b = a.cs.bz(Lz.L), g = a.cs.gz(Lz.L);
    F& p0 = a.cs.psi_z(s, m, i, j, Lz.L, 0, c);
    p0 = b * p0 + g * dzEy;
    hx = hx + p0;
    F& p1 = a.cs.psi_z(s, m, i, j, Lz.L, 1, c);
    p1 = b * p1 - g * dzEx;
    hy = hy + p1;
  }

  a.Hx(s, m, i, j, k, c) = hx;
  a.Hy(s, m, i, j, k, c) = hy;
  a.Hz(s, m, i, j, k, c) = hz;
}

}  // namespace vx
