// Frequency-domain monitor: per-thread body of Monitor_Update_GPU_E. Adds
// w[c] * E over a box of Bx x By x Bz node positions at (x0, y0, z0) to the
// complex accumulators; each component is sampled at one position fewer along
// its own axis. With fewer field channels than monitor channels every
// monitor channel reads field channel 0.
#pragma once

#include "../common/inject_j.h"

namespace vx {

struct MonitorArgs {
  Acc<cfloat, 6> Mx, My, Mz;
  Acc<float, 6> Ex, Ey, Ez;
  Acc<cfloat, 1> w;
  int x0, y0, z0, NM, NCm, Bx, By, Bz;
};

VX_HD void accumulate(cfloat& M, cfloat w, float e) {
  M.re += w.re * e;
  M.im += w.im * e;
}

// The space is the box: Bx x By x Bz points by NCm channels.
VX_HD void monitor_point(const Cell& p, const MonitorArgs& a) {
  const int s = p.s, m = p.m, i = p.i, j = p.j, k = p.k, c = p.c;
  const int cf = a.Ex.size[5] < a.NCm ? 0 : c;
  const int X = a.x0 + i, Y = a.y0 + j, Z = a.z0 + k;
  const cfloat w = a.w(c);
  if (i < a.Bx - 1) accumulate(a.Mx(s, m, i, j, k, c), w, a.Ex(s, m, X, Y, Z, cf));
  if (j < a.By - 1) accumulate(a.My(s, m, i, j, k, c), w, a.Ey(s, m, X, Y, Z, cf));
  if (k < a.Bz - 1) accumulate(a.Mz(s, m, i, j, k, c), w, a.Ez(s, m, X, Y, Z, cf));
}

}  // namespace vx
