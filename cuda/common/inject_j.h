// Volume current source: E -= J over a box placed at (x0, y0, z0), per-thread
// body shared by the real module (real part into channels c < NC/2,
// imaginary part into the others) and the complex module (complex
// subtraction on every channel).
#pragma once

#include "yee.h"

namespace vx {

// kC > 0: the CPU's packed layout (yee.h: accessors): fields [..., k, c] with kC
// channels, currents [..., k].
template <typename F, int kC = 0>
struct InjectJArgs {
  ChanAcc<F, 6, kC> Ex, Ey, Ez;
  LineAcc<cfloat, 5, kC> Jx, Jy, Jz;
  int x0, y0, z0, NM, NC, Bx, By, Bz;

  template <int kC2, int = 0>
  using WithChannels = InjectJArgs<F, kC2>;
  static constexpr int kPacked = kC;
  static constexpr int kWidest = 4;
  // The channel count, fixed at compile time in the packed layout.
  VX_HD int channels() const { return kC > 0 ? kC : NC; }
  VX_ACCESSORS(Ex, Ey, Ez, Jx, Jy, Jz)
};

// What channel c of a field receives from the complex source value J.
template <typename F>
struct SourceOf;
template <>
struct SourceOf<float> {
  VX_HD static float part(cfloat J, int c, int NC) { return c < NC / 2 ? J.re : J.im; }
};
template <>
struct SourceOf<cfloat> {
  VX_HD static cfloat part(cfloat J, int, int) { return J; }
};

// The space is the box: Bx x By x Bz points by NC channels.
template <typename F, typename P, int kC>
VX_HD void inject_j_point(const P& p, const InjectJArgs<F, kC>& a) {
  const int s = p.s, m = p.m, i = p.i, j = p.j, k = p.k, c = p.c;
  const int X = a.x0 + i, Y = a.y0 + j, Z = a.z0 + k;
  const int NC = a.channels();
  F& ex = a.Ex(s, m, X, Y, Z, c);
  F& ey = a.Ey(s, m, X, Y, Z, c);
  F& ez = a.Ez(s, m, X, Y, Z, c);
  st(ex, ld(ex) - SourceOf<F>::part(ld(a.Jx(s, m, i, j, k)), c, NC));
  st(ey, ld(ey) - SourceOf<F>::part(ld(a.Jy(s, m, i, j, k)), c, NC));
  st(ez, ld(ez) - SourceOf<F>::part(ld(a.Jz(s, m, i, j, k)), c, NC));
}

}  // namespace vx
