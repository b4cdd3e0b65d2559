// The complex module's dispersive completion: divides the provisional field
// E* by a per-channel plus a channel-independent denominator.
#pragma once

#include "yee.h"

namespace vx {

// kC > 0: the CPU's packed layout (yee.h: accessors).
template <int kC = 0>
struct DispersionDivideArgs {
  ChanAcc<cfloat, 6, kC> Ex, Ey, Ez;
  ChanAcc<float, 5, kC> den1_x, den1_y, den1_z;
  LineAcc<float, 4, kC> den2_x, den2_y, den2_z;
  int NM, NC, Nx, Ny, Nz;

  template <int kC2, int = 0>
  using WithChannels = DispersionDivideArgs<kC2>;
  static constexpr bool kFaces = true;  // the body tests has_below
  static constexpr int kPacked = kC;
  VX_ACCESSORS(Ex, Ey, Ez, den1_x, den1_y, den1_z, den2_x, den2_y, den2_z)
};

template <typename E6, typename D5, typename D4>
VX_HD void divide_sample(const E6& E, const D5& den1, const D4& den2, int s, int m, int i, int j,
                         int k, int c) {
  const float d = den1(m, i, j, k, c) + den2(m, i, j, k);
  cfloat& e = E(s, m, i, j, k, c);
  e = {e.re / d, e.im / d};
}

template <typename P, int kC>
VX_HD void dispersion_divide_cell(const P& q, const DispersionDivideArgs<kC>& a) {
  const int s = q.s, m = q.m, i = q.i, j = q.j, k = q.k, c = q.c;
  if (curl_writes_x(q)) divide_sample(a.Ex, a.den1_x, a.den2_x, s, m, i, j, k, c);
  if (curl_writes_y(q)) divide_sample(a.Ey, a.den1_y, a.den2_y, s, m, i, j, k, c);
  if (curl_writes_z(q)) divide_sample(a.Ez, a.den1_z, a.den2_z, s, m, i, j, k, c);
}

}  // namespace vx
