// Volume current source: E -= J over a box placed at (x0, y0, z0), per-thread
// body shared by the real module (real part into channels c < NC/2,
// imaginary part into the others) and the complex module (complex
// subtraction on every channel).
#pragma once

#include "acc.h"

namespace vx {

template <typename F>
struct InjectJArgs {
  Acc<F, 6> Ex, Ey, Ez;
  Acc<cfloat, 5> Jx, Jy, Jz;
  int x0, y0, z0, NM, NC, Bx, By, Bz;
};

// One thread of a box kernel: box position and batch coordinates.
struct BoxPoint {
  int s, m, c;
  int i, j, k;
};

// t runs over Bx * By * Bz positions (i = t / (By Bz), j = (t mod By Bz) / Bz,
// k = t mod Bz); y = (s * NM + m) * NC + c. Returns false past the box.
VX_HD bool map_box_point(int64_t t, int64_t y, int NM, int NC, int Bx, int By, int Bz,
                         BoxPoint& p) {
  const int64_t plane = static_cast<int64_t>(By) * Bz;
  const int64_t i = t / plane;
  const int64_t j = (t % plane) / Bz;
  const int64_t k = t % Bz;
  if (i >= Bx || j >= By || k >= Bz) return false;
  p.i = static_cast<int>(i);
  p.j = static_cast<int>(j);
  p.k = static_cast<int>(k);
  p.s = static_cast<int>(y / (static_cast<int64_t>(NM) * NC));
  p.m = static_cast<int>((y / NC) % NM);
  p.c = static_cast<int>(y % NC);
  return true;
}

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

template <typename F>
VX_HD void inject_j_point(int64_t t, int64_t y, const InjectJArgs<F>& a) {
  BoxPoint p;
  if (!map_box_point(t, y, a.NM, a.NC, a.Bx, a.By, a.Bz, p)) return;
  const int s = p.s, m = p.m, i = p.i, j = p.j, k = p.k, c = p.c;
  const int X = a.x0 + i, Y = a.y0 + j, Z = a.z0 + k;
  a.Ex(s, m, X, Y, Z, c) -= SourceOf<F>::part(a.Jx(s, m, i, j, k), c, a.NC);
  a.Ey(s, m, X, Y, Z, c) -= SourceOf<F>::part(a.Jy(s, m, i, j, k), c, a.NC);
  a.Ez(s, m, X, Y, Z, c) -= SourceOf<F>::part(a.Jz(s, m, i, j, k), c, a.NC);
}

}  // namespace vx
