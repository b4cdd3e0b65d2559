// The complex module's dispersive completion: divides the provisional field
// E* by a per-channel plus a channel-independent denominator.
#pragma once

#include "update_e.h"

namespace vx {

struct DispersionDivideArgs {
  Acc<cfloat, 6> Ex, Ey, Ez;
  Acc<float, 5> den1_x, den1_y, den1_z;
  Acc<float, 4> den2_x, den2_y, den2_z;
  int NM, NC, Nx, Ny, Nz;
};

VX_HD void divide_sample(const Acc<cfloat, 6>& E, const Acc<float, 5>& den1,
                         const Acc<float, 4>& den2, int s, int m, int i, int j, int k, int c) {
  const float d = den1(m, i, j, k, c) + den2(m, i, j, k);
  cfloat& e = E(s, m, i, j, k, c);
  e = {e.re / d, e.im / d};
}

VX_HD void dispersion_divide_cell(int64_t t, int64_t y, const DispersionDivideArgs& a) {
  Cell q;
  if (!map_cell(t, y, a.NM, a.NC, a.Nx, a.Ny, a.Nz, q)) return;
  const int s = q.s, m = q.m, i = q.i, j = q.j, k = q.k, c = q.c;
  if (curl_writes_x(i, j, k)) divide_sample(a.Ex, a.den1_x, a.den2_x, s, m, i, j, k, c);
  if (curl_writes_y(i, j, k)) divide_sample(a.Ey, a.den1_y, a.den2_y, s, m, i, j, k, c);
  if (curl_writes_z(i, j, k)) divide_sample(a.Ez, a.den1_z, a.den2_z, s, m, i, j, k, c);
}

}  // namespace vx
