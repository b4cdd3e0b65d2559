// Magnetic update: per-thread body shared by the real (float) and complex
// (cfloat) modules. H += curl terms of the forward-differenced E field, then
// the CPML auxiliaries of every axis the cell lies in, in the order x, y, z.
#pragma once

#include "yee.h"

namespace vx {

template <typename F>
struct UpdateHArgs {
  Acc<F, 6> Hx, Hy, Hz, Ex, Ey, Ez;
  CurlSet<F> cs;
  int NM, NC, Nx, Ny, Nz;
};

// kGroupByAxis: the complex module accumulates the curl terms grouped by
// difference axis (x, y, z) instead of by component; the sum is the same.
template <typename F, bool kGroupByAxis>
VX_HD void update_h_cell(int64_t t, int64_t y, const UpdateHArgs<F>& a) {
  Cell q;
  if (!map_cell(t, y, a.NM, a.NC, a.Nx, a.Ny, a.Nz, q)) return;
  const int s = q.s, m = q.m, i = q.i, j = q.j, k = q.k, c = q.c;

  // One address per tensor; neighbours are one stride away.
  const F* pEx = a.Ex.ptr(s, m, i, j, k, c);
  const F* pEy = a.Ey.ptr(s, m, i, j, k, c);
  const F* pEz = a.Ez.ptr(s, m, i, j, k, c);
  const F ex = pEx[0], ey = pEy[0], ez = pEz[0];
  const F dyEx = pEx[a.Ex.stride[3]] - ex;
  const F dzEx = pEx[a.Ex.stride[4]] - ex;
  const F dxEy = pEy[a.Ey.stride[2]] - ey;
  const F dzEy = pEy[a.Ey.stride[4]] - ey;
  const F dxEz = pEz[a.Ez.stride[2]] - ez;
  const F dyEz = pEz[a.Ez.stride[3]] - ez;
  const float cx = a.cs.Cx(i), cy = a.cs.Cy(j), cz = a.cs.Cz(k);

  F* pHx = a.Hx.ptr(s, m, i, j, k, c);
  F* pHy = a.Hy.ptr(s, m, i, j, k, c);
  F* pHz = a.Hz.ptr(s, m, i, j, k, c);
  F hx = *pHx, hy = *pHy, hz = *pHz;

  if (kGroupByAxis) {
    hy = hy + cx * dxEz;
    hz = hz - cx * dxEy;
    hz = hz + cy * dyEx;
    hx = hx - cy * dyEz;
    hx = hx + cz * dzEy;
    hy = hy - cz * dzEx;
  } else {
    hx = hx + (cz * dzEy - cy * dyEz);
    hy = hy + (cx * dxEz - cz * dzEx);
    hz = hz + (cy * dyEx - cx * dxEy);
  }

  // Layer terms carry the sign of the curl term that differences the same
  // E component along the layer's axis.
  const int Lx = layer_index_h(i, a.Nx, a.cs.n_layer(0));
  if (layer_usable(Lx, a.cs.lim_x)) {
    const float b = a.cs.bx(Lx), g = a.cs.gx(Lx);
    F* p = a.cs.psi_x.ptr(s, m, Lx, j, k, 0, c);
    F& p0 = p[0];
    p0 = b * p0 + g * dxEz;
    hy = hy + p0;
    F& p1 = p[a.cs.psi_x.stride[5]];
    p1 = b * p1 - g * dxEy;
    hz = hz + p1;
  }
  const int Ly = layer_index_h(j, a.Ny, a.cs.n_layer(1));
  if (layer_usable(Ly, a.cs.lim_y)) {
    const float b = a.cs.by(Ly), g = a.cs.gy(Ly);
    F* p = a.cs.psi_y.ptr(s, m, i, Ly, k, 0, c);
    F& p0 = p[0];
    p0 = b * p0 + g * dyEx;
    hz = hz + p0;
    F& p1 = p[a.cs.psi_y.stride[5]];
    p1 = b * p1 - g * dyEz;
    hx = hx + p1;
  }
  const int Lz = layer_index_h(k, a.Nz, a.cs.n_layer(2));
  if (layer_usable(Lz, a.cs.lim_z)) {
    const float b = a.cs.bz(Lz), g = a.cs.gz(Lz);
    F* p = a.cs.psi_z.ptr(s, m, i, j, Lz, 0, c);
    F& p0 = p[0];
    p0 = b * p0 + g * dzEy;
    hx = hx + p0;
    F& p1 = p[a.cs.psi_z.stride[5]];
    p1 = b * p1 - g * dzEx;
    hy = hy + p1;
  }

  *pHx = hx;
  *pHy = hy;
  *pHz = hz;
}

}  // namespace vx
