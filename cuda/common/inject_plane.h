// Total-field/scattered-field plane source: per-thread body shared by the
// real module (one complex amplitude per step, channel halves) and the
// complex module (sampled signal with a per-point delay).
//
// Inject_H adds to Hx, Hy on plane k = kp; Inject_E to Ex, Ey on plane
// k = kp + 1. Position 0 of the field pair is fed by the second source
// (amplitude/signal, profile, delay), position 1 by the first. The window is
// mx <= i < Px - mx, my <= j < Py - my, and each component also skips the
// first row along one axis:
//   Hx -= v on i > mx     Hy += v on j > my
//   Ex += v on j > my     Ey -= v on i > mx
#pragma once

#include "yee.h"

namespace vx {

// A plane kernel's space is its window, (Px - 2 mx) x 1 x (Py - 2 my) points
// by NC channels: position (q.i, q.k) is plane point (mx + q.i, my + q.k), so
// that a row of the CPU's row loops runs along the plane's j, and the first
// row of the window along each axis is an index-0 face (has_below). The host
// keeps Px, Py below 65536, so the 16-bit plane indices never wrap.
using PlanePoint = Cell;

// Each argument block gives, per source (0 or 1), the part of its value that
// is the same for every channel of a point (term: false where the point gets
// nothing) and the value of one channel from it (value).

// Real module: complex amplitude A[s][c'] times profile P[s][i][j][c'],
// reduced to the real part on channels c < NC/2 and to the imaginary part
// (c' = c - NC/2) on the others. kC > 0: the CPU's packed layout (yee.h: accessors),
// fields [..., k, c] with kC channels, profiles [..., j, c'] with
// kC - kC/2.
template <int kC = 0>
struct PlaneAmpArgs {
  using Field = float;
  using Term = float;  // g
  ChanAcc<float, 6, kC> F0, F1;
  Acc<float, 1> coef;
  Acc<cfloat, 2> A1, A0;  // ampEx / ampHx feed F1; ampEy / ampHy feed F0
  Acc<cfloat, 4, TailIf<kC, kC - kC / 2, 1>> P1, P0;  // profiles, paired likewise
  int kp, mx, my, NM, NC;

  template <int kC2, int = 0>
  using WithChannels = PlaneAmpArgs<kC2>;
  static constexpr int kPacked = kC;
  static constexpr int kWidest = 4;  // two complex channels as four halves
  static constexpr bool kFaces = true;
  VX_HD int channels() const { return kC > 0 ? kC : NC; }

  VX_HD static float half_product(cfloat A, cfloat P, bool imag) {
    return imag ? A.re * P.im + A.im * P.re : A.re * P.re - A.im * P.im;
  }
  template <typename S>
  VX_HD float increment(const Acc<cfloat, 2>& A, const Acc<cfloat, 4, S>& P,
                        const PlanePoint& p, float g) const {
    const int h = channels() / 2;
    const bool imag = p.c >= h;
    const int cc = imag ? p.c - h : p.c;
    return g * half_product(ld(A(p.s, cc)), ld(P(p.s, p.i, p.j, cc)), imag);
  }
  template <int kSource>
  VX_HD bool term(const PlanePoint&, float g, float& t) const {
    t = g;
    return true;
  }
  template <int kSource>
  VX_HD float value(float t, const PlanePoint& p) const {
    return kSource == 0 ? increment(A0, P0, p, t) : increment(A1, P1, p, t);
  }
  VX_ACCESSORS(F0, F1, coef, A1, A0, P1, P0)
};

// Complex module: the signal S[s][.] sampled at tau = step - D[i][j] by
// linear interpolation, times g and the profile P[s][i][j][c]. A point whose
// tau is negative, NaN or at/after the last sample interval gets nothing.
// kC > 0: the CPU's packed layout, fields [..., k, c] and profiles
// [..., j, c] with kC channels, delays [i, j], signals [s, t].
template <int kC = 0>
struct PlaneSignalArgs {
  using Field = cfloat;
  using Term = cfloat;  // g times the interpolated signal
  ChanAcc<cfloat, 6, kC> F0, F1;
  Acc<float, 1> coef;
  LineAcc<cfloat, 2, kC> S1, S0;  // sigEx / sigHx feed F1; sigEy / sigHy feed F0
  ChanAcc<cfloat, 4, kC> P1, P0;
  LineAcc<float, 2, kC> D1, D0;
  int kp, mx, my, NM, NC, Nt, step;

  template <int kC2, int = 0>
  using WithChannels = PlaneSignalArgs<kC2>;
  static constexpr int kPacked = kC;
  static constexpr bool kFaces = true;
  // The CPU's row walk (launch_host.h): the signal is interpolated once per
  // point for all its channels.
  template <typename Row>
  static void cpu_row(const Row& r) {
    r.template walk<-1, CellVisits<true>>();
  }

  template <typename SS, typename SD>
  VX_HD bool delayed(const Acc<cfloat, 2, SS>& S, const Acc<float, 2, SD>& D,
                     const PlanePoint& p, float g, cfloat& t) const {
    const float tau = static_cast<float>(step) - D(p.i, p.j);
    if (!(tau >= 0.0f)) return false;  // before the first sample, or NaN
    if (!(tau < static_cast<float>(Nt - 1))) return false;
    // floor(tau) by truncation: tau is not negative here.
    const int q = static_cast<int>(tau);
    if (q + 1 >= Nt) return false;  // guards the float rounding of Nt - 1
    const float f = tau - static_cast<float>(q);
    const cfloat sigma = (1.0f - f) * ld(S(p.s, q)) + f * ld(S(p.s, q + 1));
    t = g * sigma;
    return true;
  }
  template <int kSource>
  VX_HD bool term(const PlanePoint& p, float g, cfloat& t) const {
    return kSource == 0 ? delayed(S0, D0, p, g, t) : delayed(S1, D1, p, g, t);
  }
  template <int kSource>
  VX_HD cfloat value(cfloat t, const PlanePoint& p) const {
    return cmul(t, ld(kSource == 0 ? P0(p.s, p.i, p.j, p.c) : P1(p.s, p.i, p.j, p.c)));
  }
  VX_ACCESSORS(F0, F1, coef, S1, S0, P1, P0, D1, D0)
};

// kElectric = false: Inject_H (plane kp); true: Inject_E (plane kp + 1).
// Channel q.c of the point, or where the CPU's row loops visit whole cells,
// all its channels.
template <bool kElectric, typename Q, typename Args>
VX_HD void inject_plane_point(const Q& q, const Args& a) {
  using F = typename Args::Field;
  using T = typename Args::Term;
  PlanePoint p{q.s, q.m, q.c, a.mx + q.i, a.my + q.k, 0};
  const int s = p.s, m = p.m, i = p.i, j = p.j;
  const int k = kElectric ? a.kp + 1 : a.kp;
  const float g = a.coef(k);
  // i > mx and j > my: past the window's first row along x and along y.
  const bool past_x = has_below<0>(q), past_y = has_below<2>(q);
  T t0{}, t1{};
  const bool on0 = (kElectric ? past_y : past_x) && a.template term<0>(p, g, t0);
  const bool on1 = (kElectric ? past_x : past_y) && a.template term<1>(p, g, t1);
  const auto channel = [&](int c) VX_FORCE_INLINE {
    p.c = c;
    // Addresses and values on every path (the window lies in both fields and
    // profiles), so that the CPU's loops set the addresses up outside the
    // tests; only the stores depend on them.
    F& f0 = a.F0(s, m, i, j, k, c);
    F& f1 = a.F1(s, m, i, j, k, c);
    const F v0 = a.template value<0>(t0, p);
    const F v1 = a.template value<1>(t1, p);
    if (on0) st(f0, kElectric ? ld(f0) + v0 : ld(f0) - v0);
    if (on1) st(f1, kElectric ? ld(f1) - v1 : ld(f1) + v1);
  };
  constexpr int kWhole = PositionFacts<Q>::kChannels;
  if constexpr (kWhole > 0) {
    unrolled<kWhole>(channel);
  } else {
    channel(q.c);
  }
}

}  // namespace vx
