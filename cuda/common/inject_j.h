// Volume current source: E -= J over a box placed at (x0, y0, z0), per-thread
// body shared by the real module (real part into channels c < NC/2,
// imaginary part into the others) and the complex module (complex
// subtraction on every channel).
#pragma once

#include "yee.h"

namespace vx {

template <typename F>
struct InjectJArgs {
  Acc<F, 6> Ex, Ey, Ez;
  Acc<cfloat, 5> Jx, Jy, Jz;
  int x0, y0, z0, NM, NC, Bx, By, Bz;
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
template <typename F>
VX_HD void inject_j_point(const Cell& p, const InjectJArgs<F>& a) {
  const int s = p.s, m = p.m, i = p.i, j = p.j, k = p.k, c = p.c;
  const int X = a.x0 + i, Y = a.y0 + j, Z = a.z0 + k;
  a.Ex(s, m, X, Y, Z, c) -= SourceOf<F>::part(a.Jx(s, m, i, j, k), c, a.NC);
  a.Ey(s, m, X, Y, Z, c) -= SourceOf<F>::part(a.Jy(s, m, i, j, k), c, a.NC);
  a.Ez(s, m, X, Y, Z, c) -= SourceOf<F>::part(a.Jz(s, m, i, j, k), c, a.NC);
}

}  // namespace vx
