// Magnetic update: per-cell body shared by the real (float) and complex
// (cfloat) modules. H += curl terms of the forward-differenced E field, then
// the CPML auxiliaries of every axis the cell lies in, in the order x, y, z.
#pragma once

#include "launch.h"
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

  const F ex = ld(a.Ex(s, m, i, j, k, c)), ey = ld(a.Ey(s, m, i, j, k, c)), ez = ld(a.Ez(s, m, i, j, k, c));
  const F dyEx = ld(a.Ex(s, m, i, j + 1, k, c)) - ex;
  const F dzEx = ld(a.Ex(s, m, i, j, k + 1, c)) - ex;
  const F dxEy = ld(a.Ey(s, m, i + 1, j, k, c)) - ey;
  const F dzEy = ld(a.Ey(s, m, i, j, k + 1, c)) - ey;
  const F dxEz = ld(a.Ez(s, m, i + 1, j, k, c)) - ez;
  const F dyEz = ld(a.Ez(s, m, i, j + 1, k, c)) - ez;
  const float cx = a.cs.Cx(i), cy = a.cs.Cy(j), cz = a.cs.Cz(k);

  F hx = ld(a.Hx(s, m, i, j, k, c)), hy = ld(a.Hy(s, m, i, j, k, c)), hz = ld(a.Hz(s, m, i, j, k, c));

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
  add_layer_terms<0, false>(q, a, dxEz, dxEy, hy, hz);
  add_layer_terms<1, false>(q, a, dyEx, dyEz, hz, hx);
  add_layer_terms<2, false>(q, a, dzEy, dzEx, hx, hy);

  st(a.Hx(s, m, i, j, k, c), hx);
  st(a.Hy(s, m, i, j, k, c), hy);
  st(a.Hz(s, m, i, j, k, c), hz);
}

}  // namespace vx

// Kernel table of the magnetic update (launch.h), one line per module's field
// type; curl_kernels.cpp and curl_kernels.cu define them.
#define VX_UPDATE_H_KERNELS(X)                                                       \
  X(Update_H_GPU, vx::UpdateHArgs<float>, (vx::update_h_cell<float, false>))         \
  X(Update_H_GPU, vx::UpdateHArgs<vx::cfloat>, (vx::update_h_cell<vx::cfloat, true>))

VX_UPDATE_H_KERNELS(VX_DECLARE_KERNEL)
