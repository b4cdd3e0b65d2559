// Frequency-domain monitor: per-thread body of Monitor_Update_GPU_E. Adds
// w[c] * E over a box of Bx x By x Bz node positions at (x0, y0, z0) to the
// complex accumulators; each component is sampled at one position fewer along
// its own axis. With fewer field channels than monitor channels every
// monitor channel reads field channel 0.
#pragma once

#include "../common/yee.h"

namespace vx {

// kC > 0: the CPU's packed layout (yee.h: accessors): accumulators and fields
// [..., k, c] with kC channels each (layout 0), or fields with one channel
// that every monitor channel reads (layout 1).
template <int kC = 0, int kLayout = 0>
struct MonitorArgs {
  ChanAcc<cfloat, 6, kC> Mx, My, Mz;
  ChanAcc<float, 6, kLayout == 1 ? 1 : kC> Ex, Ey, Ez;
  Acc<cfloat, 1> w;
  int x0, y0, z0, NM, NCm, Bx, By, Bz;

  template <int kC2, int kLayout2 = 0>
  using WithChannels = MonitorArgs<kC2, kLayout2>;
  static constexpr int kPacked = kC;
  static constexpr int kWidest = 4;
  static constexpr int kLayouts = 2;
  // The row gate: bit 0, the row holds samples of Mx (i < Bx - 1); bit 1,
  // of My (j < By - 1).
  VX_HD int gate(int i, int j) const { return (i < Bx - 1 ? 1 : 0) | (j < By - 1 ? 2 : 0); }
  // The CPU's row walk (launch_host.h): the components are independent, so
  // one pass each, over two memory streams instead of six; in each, the row
  // gate fixed for each line and the last cell apart.
  template <typename Row>
  static void cpu_row(const Row& r) {
    gated_top_pass<0>(r);
    gated_top_pass<1>(r);
    gated_top_pass<2>(r);
  }
  // The field channel monitor channel c reads (the rule, not the layout,
  // decides: a one-channel view may still fit layout 0).
  VX_HD int field_channel(int c) const { return Ex.size[5] < NCm ? 0 : c; }
  VX_ACCESSORS(Mx, My, Mz, Ex, Ey, Ez, w)
};

VX_HD void accumulate(cfloat& M, cfloat w, float e) {
  M.re += w.re * e;
  M.im += w.im * e;
}

// The space is the box: Bx x By x Bz points by NCm channels.
template <typename P, typename Args>
VX_HD void monitor_point(const P& p, const Args& a) {
  const int s = p.s, m = p.m, i = p.i, j = p.j, k = p.k, c = p.c;
  const int cf = a.field_channel(c);
  const int X = a.x0 + i, Y = a.y0 + j, Z = a.z0 + k;
  const cfloat w = ld(a.w(c));
  const int gate = gate_of(p, a.gate(i, j));
  if (in_part<0>(p) && (gate & 1)) accumulate(a.Mx(s, m, i, j, k, c), w, a.Ex(s, m, X, Y, Z, cf));
  if (in_part<1>(p) && (gate & 2)) accumulate(a.My(s, m, i, j, k, c), w, a.Ey(s, m, X, Y, Z, cf));
  if (in_part<2>(p) && below_top_k(p, a.Bz - 1))
    accumulate(a.Mz(s, m, i, j, k, c), w, a.Ez(s, m, X, Y, Z, cf));
}

}  // namespace vx
