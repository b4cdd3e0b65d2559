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

#include "launch.h"

namespace vx {

// A plane kernel's space is Px x Py x 1 points by NC channels; its points
// are (q.i, q.j). The host keeps Px, Py below 65536, so the 16-bit plane
// indices never wrap.
using PlanePoint = Cell;

// Whether a plane point lies in the window mx <= i < Px - mx, my <= j < Py - my.
VX_HD bool in_window(const PlanePoint& p, int Px, int Py, int mx, int my) {
  return p.i >= mx && p.i < Px - mx && p.j >= my && p.j < Py - my;
}

// Real module: complex amplitude A[s][c'] times profile P[s][i][j][c'],
// reduced to the real part on channels c < NC/2 and to the imaginary part
// (c' = c - NC/2) on the others.
struct PlaneAmpArgs {
  using Field = float;
  Acc<float, 6> F0, F1;
  Acc<float, 1> coef;
  Acc<cfloat, 2> A1, A0;  // ampEx / ampHx feed F1; ampEy / ampHy feed F0
  Acc<cfloat, 4> P1, P0;  // profiles, paired likewise
  int kp, mx, my, NM, NC, Px, Py;

  VX_HD static float half_product(cfloat A, cfloat P, bool imag) {
    return imag ? A.re * P.im + A.im * P.re : A.re * P.re - A.im * P.im;
  }
  VX_HD float increment(const Acc<cfloat, 2>& A, const Acc<cfloat, 4>& P,
                        const PlanePoint& p, float g) const {
    const int h = NC / 2;
    const bool imag = p.c >= h;
    const int cc = imag ? p.c - h : p.c;
    return g * half_product(A(p.s, cc), P(p.s, p.i, p.j, cc), imag);
  }
  VX_HD bool source0(const PlanePoint& p, float g, float& v) const {
    v = increment(A0, P0, p, g);
    return true;
  }
  VX_HD bool source1(const PlanePoint& p, float g, float& v) const {
    v = increment(A1, P1, p, g);
    return true;
  }
};

// Complex module: the signal S[s][.] sampled at tau = step - D[i][j] by
// linear interpolation, times g and the profile P[s][i][j][c]. A point whose
// tau is negative, NaN or at/after the last sample interval gets nothing.
struct PlaneSignalArgs {
  using Field = cfloat;
  Acc<cfloat, 6> F0, F1;
  Acc<float, 1> coef;
  Acc<cfloat, 2> S1, S0;  // sigEx / sigHx feed F1; sigEy / sigHy feed F0
  Acc<cfloat, 4> P1, P0;
  Acc<float, 2> D1, D0;
  int kp, mx, my, NM, NC, Px, Py, Nt, step;

  VX_HD bool increment(const Acc<cfloat, 2>& S, const Acc<cfloat, 4>& P,
                       const Acc<float, 2>& D, const PlanePoint& p, float g,
                       cfloat& v) const {
    const float tau = static_cast<float>(step) - D(p.i, p.j);
    if (!(tau >= 0.0f)) return false;  // before the first sample, or NaN
    if (!(tau < static_cast<float>(Nt - 1))) return false;
    const int q = static_cast<int>(floorf(tau));
    if (q + 1 >= Nt) return false;  // guards the float rounding of Nt - 1
    const float f = tau - static_cast<float>(q);
    const cfloat sigma = (1.0f - f) * S(p.s, q) + f * S(p.s, q + 1);
    v = cmul(g * sigma, P(p.s, p.i, p.j, p.c));
    return true;
  }
  VX_HD bool source0(const PlanePoint& p, float g, cfloat& v) const {
    return increment(S0, P0, D0, p, g, v);
  }
  VX_HD bool source1(const PlanePoint& p, float g, cfloat& v) const {
    return increment(S1, P1, D1, p, g, v);
  }
};

// kElectric = false: Inject_H (plane kp); true: Inject_E (plane kp + 1).
template <bool kElectric, typename Args>
VX_HD void inject_plane_point(const PlanePoint& p, const Args& a) {
  if (!in_window(p, a.Px, a.Py, a.mx, a.my)) return;
  const int s = p.s, m = p.m, i = p.i, j = p.j, c = p.c;
  const int k = kElectric ? a.kp + 1 : a.kp;
  const float g = a.coef(k);
  typename Args::Field v;
  if (kElectric) {
    if (j > a.my && a.source0(p, g, v)) a.F0(s, m, i, j, k, c) += v;
    if (i > a.mx && a.source1(p, g, v)) a.F1(s, m, i, j, k, c) -= v;
  } else {
    if (i > a.mx && a.source0(p, g, v)) a.F0(s, m, i, j, k, c) -= v;
    if (j > a.my && a.source1(p, g, v)) a.F1(s, m, i, j, k, c) += v;
  }
}

}  // namespace vx
