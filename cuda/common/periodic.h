// Periodic (Bloch) boundary: rewrites the ghost planes 0 and N of the
// tangential electric components along x (pass 0) or y (pass 1) from the
// interior planes N - 1 and 1 times the phase factor. Shared by the real
// module (F = float: complex channel c is the pair of channels c and c + H)
// and the complex module (F = cfloat: one complex value per channel).
#pragma once

#include "yee.h"

namespace vx {

// One pass: `first` is Ey (x pass) or Ex (y pass), `second` is Ez. NCh is H
// (real module, NC / 2) or NC (complex module). kC > 0: the CPU's packed
// layout (acc.h) with kC complex channels, so 2 kC field channels in the
// real module.
template <typename F, int kC = 0>
struct PeriodicArgs {
  ChanAcc<F, 6, (std::is_same<F, float>::value ? 2 : 1) * kC> first, second;
  Acc<F, 2> phase;
  Acc<int32_t, 1> periodic;
  int NM, NCh, Nx, Ny, Nz;
  bool positive_phase;

  template <int kC2, int = 0>
  using WithChannels = PeriodicArgs<F, kC2>;
  static constexpr int kPacked = kC;
  int axis;  // of the pass these arguments are for: 0 (x) or 1 (y)
  // The row gate: bit 0, the pass runs (the periodic axis has an interior
  // plane to copy from -- an empty one has none -- and its flag is set);
  // bit 1, face position u = i holds a sample of `first`.
  VX_HD int gate(int u, int = 0) const {
    const int N = axis == 0 ? Nx : Ny, Nu = axis == 0 ? Ny : Nx;
    return (N >= 1 && periodic(axis) != 0 ? 1 : 0) | (u < Nu ? 2 : 0);
  }

  // The CPU's row walk (launch_host.h): the row gate fixed for each line,
  // the last cell apart.
  template <typename Row>
  static void cpu_row(const Row& r) {
    gated_top_pass<-1>(r);
  }
  VX_ACCESSORS(first, second, phase, periodic)
};

// The complex value of channel c: the pair of halves, or the sample itself.
template <typename S>
VX_HD cfloat load_channel(const Acc<float, 6, S>& f, int s, int m, int i, int j, int k, int c,
                          int H) {
  return {f(s, m, i, j, k, c), f(s, m, i, j, k, c + H)};
}
template <typename S>
VX_HD cfloat load_channel(const Acc<cfloat, 6, S>& f, int s, int m, int i, int j, int k, int c,
                          int) {
  return ld(f(s, m, i, j, k, c));
}
template <typename S>
VX_HD void store_channel(const Acc<float, 6, S>& f, int s, int m, int i, int j, int k, int c,
                         int H, cfloat z) {
  f(s, m, i, j, k, c) = z.re;
  f(s, m, i, j, k, c + H) = z.im;
}
template <typename S>
VX_HD void store_channel(const Acc<cfloat, 6, S>& f, int s, int m, int i, int j, int k, int c,
                         int, cfloat z) {
  st(f(s, m, i, j, k, c), z);
}

// Phase factor of excitation s and channel c: cos in column c and sin in
// column c + H, or one complex entry. Used as stored, not normalised.
VX_HD cfloat phase_entry(const Acc<float, 2>& t, int s, int c, int H) {
  return {t(s, c), t(s, c + H)};
}
VX_HD cfloat phase_entry(const Acc<cfloat, 2>& t, int s, int c, int) { return ld(t(s, c)); }

// Ghost rule along the pass's axis at face position (u, k), u being j for
// the x pass and i for the y pass: plane 0 <- P * plane N - 1, then
// plane N <- conj(P) * plane 1.
template <typename F, int kAxis, typename Field>
VX_HD void apply_ghosts(const Field& f, int s, int m, int u, int k, int c, int H, int N,
                        cfloat P) {
  if (kAxis == 0) {
    const cfloat A = load_channel(f, s, m, N - 1, u, k, c, H);
    store_channel(f, s, m, 0, u, k, c, H, cmul(P, A));
    const cfloat B = load_channel(f, s, m, 1, u, k, c, H);
    store_channel(f, s, m, N, u, k, c, H, cmul(conj(P), B));
  } else {
    const cfloat A = load_channel(f, s, m, u, N - 1, k, c, H);
    store_channel(f, s, m, u, 0, k, c, H, cmul(P, A));
    const cfloat B = load_channel(f, s, m, u, 1, k, c, H);
    store_channel(f, s, m, u, N, k, c, H, cmul(conj(P), B));
  }
}

// kAxis 0: E_boundx, one call per (j, k), 0 <= j <= Ny, 0 <= k <= Nz.
// kAxis 1: E_boundy, one call per (i, k), 0 <= i <= Nx, 0 <= k <= Nz.
// The space is (Nu + 1) x 1 x (Nz + 1) points by NCh channels: u = q.i.
template <typename F, int kAxis, typename Pos, int kC>
VX_HD void periodic_cell(const Pos& q, const PeriodicArgs<F, kC>& a) {
  const int N = kAxis == 0 ? a.Nx : a.Ny;  // extent of the periodic axis
  const int u = q.i, k = q.k, s = q.s, m = q.m, c = q.c;
  // a.axis is kAxis: the host sets it for the pass.
  const int gate = gate_of(q, a.gate(u));
  if (!(gate & 1)) return;

  const cfloat P0 = phase_entry(a.phase, s, c, a.NCh);
  const cfloat P = conj_if(!a.positive_phase, P0);
  if (gate & 2) apply_ghosts<F, kAxis>(a.first, s, m, u, k, c, a.NCh, N, P);
  // The space's last k is Nz, which Ez does not have.
  if (below_top_k(q, a.Nz)) apply_ghosts<F, kAxis>(a.second, s, m, u, k, c, a.NCh, N, P);
}

}  // namespace vx

namespace vx {

// Argument blocks of the two modules (aliases keep commas out of the kernel
// tables).
using PeriodicRealArgs = PeriodicArgs<float>;
using PeriodicComplexArgs = PeriodicArgs<cfloat>;

}  // namespace vx
