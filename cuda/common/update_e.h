// Electric update: per-thread body shared by the real (float) and complex
// (cfloat) modules. Each component is scaled by its per-cell factor and gets
// the curl of the backward-differenced H field (skipped on its index-0
// transverse faces), then the CPML auxiliaries of every axis the cell lies
// in add their terms, in the order x, y, z.
#pragma once

#include "yee.h"

namespace vx {

// KN: rank of the keep tensors, 4 ([m, i, j, k]) in the real module, 5
// ([m, i, j, k, c], one factor per channel) in the complex module.
template <typename F, int KN>
struct UpdateEArgs {
  Acc<F, 6> Ex, Ey, Ez, Hx, Hy, Hz;
  Acc<float, KN> keep_x, keep_y, keep_z;
  Acc<float, 4> loss_x, loss_y, loss_z;
  CurlSet<F> cs;
  int NM, NC, Nx, Ny, Nz;
};

// The argument blocks of the two modules (aliases keep commas out of the
// kernel macros).
using UpdateERealArgs = UpdateEArgs<float, 4>;
using UpdateEComplexArgs = UpdateEArgs<cfloat, 5>;

VX_HD float keep_at(const Acc<float, 4>& keep, int m, int i, int j, int k, int /*c*/) {
  return keep(m, i, j, k);
}
VX_HD float keep_at(const Acc<float, 5>& keep, int m, int i, int j, int k, int c) {
  return keep(m, i, j, k, c);
}

// The samples the curl step writes: both transverse indices nonzero.
VX_HD bool curl_writes_x(int /*i*/, int j, int k) { return j != 0 && k != 0; }
VX_HD bool curl_writes_y(int i, int /*j*/, int k) { return i != 0 && k != 0; }
VX_HD bool curl_writes_z(int i, int j, int /*k*/) { return i != 0 && j != 0; }

template <typename F, int KN>
VX_HD void update_e_cell(int64_t t, int64_t y, const UpdateEArgs<F, KN>& a) {
  Cell q;
  if (!map_cell(t, y, a.NM, a.NC, a.Nx, a.Ny, a.Nz, q)) return;
  const int s = q.s, m = q.m, i = q.i, j = q.j, k = q.k, c = q.c;

  const F hx = a.Hx(s, m, i, j, k, c);
  const F hy = a.Hy(s, m, i, j, k, c);
  const F hz = a.Hz(s, m, i, j, k, c);
  // Backward differences; index 0 of an axis has none (every use of one
  // below is guarded by a nonzero index along its axis).
  const F zero{};
  const F dxHy = i ? hy - a.Hy(s, m, i - 1, j, k, c) : zero;
  const F dxHz = i ? hz - a.Hz(s, m, i - 1, j, k, c) : zero;
  const F dyHx = j ? hx - a.Hx(s, m, i, j - 1, k, c) : zero;
  const F dyHz = j ? hz - a.Hz(s, m, i, j - 1, k, c) : zero;
  const F dzHx = k ? hx - a.Hx(s, m, i, j, k - 1, c) : zero;
  const F dzHy = k ? hy - a.Hy(s, m, i, j, k - 1, c) : zero;
  const float cx = a.cs.Cx(i), cy = a.cs.Cy(j), cz = a.cs.Cz(k);

  F ex = a.Ex(s, m, i, j, k, c);
  F ey = a.Ey(s, m, i, j, k, c);
  F ez = a.Ez(s, m, i, j, k, c);
  bool wx = false, wy = false, wz = false;

  if (curl_writes_x(i, j, k)) {
    const float f = keep_at(a.keep_x, m, i, j, k, c) - a.loss_x(m, i, j, k);
    ex = (f * ex + cy * dyHz) - cz * dzHy;
    wx = true;
  }
  if (curl_writes_y(i, j, k)) {
    const float f = keep_at(a.keep_y, m, i, j, k, c) - a.loss_y(m, i, j, k);
    ey = (f * ey + cz * dzHx) - cx * dxHz;
    wy = true;
  }
  if (curl_writes_z(i, j, k)) {
    const float f = keep_at(a.keep_z, m, i, j, k, c) - a.loss_z(m, i, j, k);
    ez = (f * ez + cx * dxHy) - cy * dyHx;
    wz = true;
  }

  // Layer terms carry the sign of the curl term that differences the same
  // H component along the layer's axis; they are added unscaled, also on the
  // index-0 faces of the other axes that the curl step skipped.
  const int Lx = layer_index_e(i, a.Nx, a.cs.n_layer(0));
  if (layer_usable(Lx, a.cs.lim_x)) {
    const float b = a.cs.bx(Lx), g = a.cs.gx(Lx);
    F& p0 = a.cs.psi_x(s, m, Lx, j, k, 0, c);
    p0 = b * p0 - g * dxHz;
    ey = ey + p0;
    F& p1 = a.cs.psi_x(s, m, Lx, j, k, 1, c);
    p1 = b * p1 + g * dxHy;
    ez = ez + p1;
    wy = wz = true;
  }
  const int Ly = layer_index_e(j, a.Ny, a.cs.n_layer(1));
  if (layer_usable(Ly, a.cs.lim_y)) {
    const float b = a.cs.by(Ly), g = a.cs.gy(Ly);
    F& p0 = a.cs.psi_y(s, m, i, Ly, k, 0, c);
    p0 = b * p0 - g * dyHx;
    ez = ez + p0;
    F& p1 = a.cs.psi_y(s, m, i, Ly, k, 1, c);
    p1 = b * p1 + g * dyHz;
    ex = ex + p1;
    wz = wx = true;
  }
  const int Lz = layer_index_e(k, a.Nz, a.cs.n_layer(2));
  if (layer_usable(Lz, a.cs.lim_z)) {
    const float b = a.cs.bz(Lz), g = a.cs.gz(Lz);
    F& p0 = a.cs.psi_z(s, m, i, j, Lz, 0, c);
    p0 = b * p0 - g * dzHy;
    ex = ex + p0;
    F& p1 = a.cs.psi_z(s, m, i, j, Lz, 1, c);
    p1 = b * p1 + g * dzHx;
    ey = ey + p1;
    wx = wy = true;
  }

  if (wx) a.Ex(s, m, i, j, k, c) = ex;
  if (wy) a.Ey(s, m, i, j, k, c) = ey;
  if (wz) a.Ez(s, m, i, j, k, c) = ez;
}

}  // namespace vx
