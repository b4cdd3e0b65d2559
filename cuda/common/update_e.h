// Electric update: per-thread body shared by the real (float) and complex
// (cfloat) modules. Each component is scaled by its per-cell factor and gets
// the curl of the backward-differenced H field (skipped on its index-0
// transverse faces), then the CPML auxiliaries of every axis the cell lies
// in add their terms, in the order x, y, z.
#pragma once

#include "yee.h"

namespace vx {

// The per-cell maps' accessors: strides read at run time (kStep < 0), or,
// in the CPU's packed layouts, a step of kStep elements per cell along k --
// 1 for whole maps, 0 for the stride-0 expansions of one value that vacuum
// drivers pass.
template <int KN, int kC, int kStep>
struct MapLayout {
  using Keep = Acc<float, KN>;
  using Loss = Acc<float, 4>;
};
template <int kC, int kStep>
struct MapLayout<4, kC, kStep> {
  using Keep = std::conditional_t<(kC > 0 && kStep >= 0), Acc<float, 4, Tail<kStep>>, Acc<float, 4>>;
  using Loss = Keep;
};
template <int kC, int kStep>
struct MapLayout<5, kC, kStep> {
  using Keep = std::conditional_t<(kC > 0 && kStep >= 0), Acc<float, 5, Tail<kC * kStep, kStep>>,
                                  Acc<float, 5>>;
  using Loss = typename MapLayout<4, kC, kStep>::Keep;
};

// KN: rank of the keep tensors, 4 ([m, i, j, k]) in the real module, 5
// ([m, i, j, k, c], one factor per channel) in the complex module. kC > 0:
// the CPU's packed layout (acc.h), with the maps' step kStep.
template <typename F, int KN, int kC = 0, int kStep = -1>
struct UpdateEArgs {
  ChanAcc<F, 6, kC> Ex, Ey, Ez, Hx, Hy, Hz;
  typename MapLayout<KN, kC, kStep>::Keep keep_x, keep_y, keep_z;
  typename MapLayout<KN, kC, kStep>::Loss loss_x, loss_y, loss_z;
  CurlSet<F, kC> cs;
  int NM, NC, Nx, Ny, Nz;

  // Layout 0: whole maps; layout 1: maps expanded from one value.
  template <int kC2, int kLayout = 0>
  using WithChannels = UpdateEArgs<F, KN, kC2, kLayout == 0 ? 1 : 0>;
  static constexpr int kLayouts = 2;
  static constexpr int kPacked = kC;
  static constexpr bool kFaces = true;  // the body tests has_below
  static constexpr bool kLayered = true;
  VX_HD LayerIndex layer(int axis, int x) const {
    return cs.template rule<true>(axis, x, axis == 0 ? Nx : axis == 1 ? Ny : Nz);
  }
  VX_ACCESSORS(Ex, Ey, Ez, Hx, Hy, Hz, keep_x, keep_y, keep_z, loss_x, loss_y, loss_z, cs)
};

// The argument blocks of the two modules (aliases keep commas out of the
// kernel tables).
using UpdateERealArgs = UpdateEArgs<float, 4>;
using UpdateEComplexArgs = UpdateEArgs<cfloat, 5>;

template <typename S>
VX_HD float keep_at(const Acc<float, 4, S>& keep, int m, int i, int j, int k, int /*c*/) {
  return keep(m, i, j, k);
}
template <typename S>
VX_HD float keep_at(const Acc<float, 5, S>& keep, int m, int i, int j, int k, int c) {
  return keep(m, i, j, k, c);
}

// The samples the curl step writes: both transverse indices nonzero.
template <typename P>
VX_HD bool curl_writes_x(const P& q) { return has_below<1>(q) && has_below<2>(q); }
template <typename P>
VX_HD bool curl_writes_y(const P& q) { return has_below<0>(q) && has_below<2>(q); }
template <typename P>
VX_HD bool curl_writes_z(const P& q) { return has_below<0>(q) && has_below<1>(q); }

template <typename F, int KN, typename P, typename Args>
VX_HD void update_e_cell(const P& q, const Args& a) {
  const int s = q.s, m = q.m, i = q.i, j = q.j, k = q.k, c = q.c;

  const F hx = ld(a.Hx(s, m, i, j, k, c));
  const F hy = ld(a.Hy(s, m, i, j, k, c));
  const F hz = ld(a.Hz(s, m, i, j, k, c));
  // Backward differences; index 0 of an axis has none (every use of one
  // below is guarded by a nonzero index along its axis).
  const F zero{};
  const bool bx = has_below<0>(q), by = has_below<1>(q), bz = has_below<2>(q);
  const F dxHy = bx ? hy - ld(a.Hy(s, m, i - 1, j, k, c)) : zero;
  const F dxHz = bx ? hz - ld(a.Hz(s, m, i - 1, j, k, c)) : zero;
  const F dyHx = by ? hx - ld(a.Hx(s, m, i, j - 1, k, c)) : zero;
  const F dyHz = by ? hz - ld(a.Hz(s, m, i, j - 1, k, c)) : zero;
  const F dzHx = bz ? hx - ld(a.Hx(s, m, i, j, k - 1, c)) : zero;
  const F dzHy = bz ? hy - ld(a.Hy(s, m, i, j, k - 1, c)) : zero;
  const float cx = a.cs.Cx(i), cy = a.cs.Cy(j), cz = a.cs.Cz(k);

  F ex = ld(a.Ex(s, m, i, j, k, c));
  F ey = ld(a.Ey(s, m, i, j, k, c));
  F ez = ld(a.Ez(s, m, i, j, k, c));
  bool wx = false, wy = false, wz = false;

  if (curl_writes_x(q)) {
    const float f = keep_at(a.keep_x, m, i, j, k, c) - a.loss_x(m, i, j, k);
    ex = (f * ex + cy * dyHz) - cz * dzHy;
    wx = true;
  }
  if (curl_writes_y(q)) {
    const float f = keep_at(a.keep_y, m, i, j, k, c) - a.loss_y(m, i, j, k);
    ey = (f * ey + cz * dzHx) - cx * dxHz;
    wy = true;
  }
  if (curl_writes_z(q)) {
    const float f = keep_at(a.keep_z, m, i, j, k, c) - a.loss_z(m, i, j, k);
    ez = (f * ez + cx * dxHy) - cy * dyHx;
    wz = true;
  }

  // Layer terms carry the sign of the curl term that differences the same
  // H component along the layer's axis; they are added unscaled, also on the
  // index-0 faces of the other axes that the curl step skipped.
  if (add_layer_terms<0, true>(q, a, dxHz, dxHy, ey, ez)) wy = wz = true;
  if (add_layer_terms<1, true>(q, a, dyHx, dyHz, ez, ex)) wz = wx = true;
  if (add_layer_terms<2, true>(q, a, dzHy, dzHx, ex, ey)) wx = wy = true;

  if (wx) st(a.Ex(s, m, i, j, k, c), ex);
  if (wy) st(a.Ey(s, m, i, j, k, c), ey);
  if (wz) st(a.Ez(s, m, i, j, k, c), ez);
}

}  // namespace vx

// Kernel table of the electric update (launch.h), one line per module's field
// type; curl_kernels.cpp and curl_kernels.cu define them.
#define VX_UPDATE_E_KERNELS(X)                                                  \
  X(Update_E_GPU, vx::UpdateERealArgs, (vx::update_e_cell<float, 4>))           \
  X(Update_E_GPU, vx::UpdateEComplexArgs, (vx::update_e_cell<vx::cfloat, 5>))

VX_UPDATE_E_KERNELS(VX_DECLARE_KERNEL)
