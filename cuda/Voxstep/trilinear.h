// Trilinear sampling of complex grid data at tensor-product query points and
// its adjoint: per-thread bodies of Trilinear_interpolation_GPU and
// Trilinear_reverse_interpolation_GPU. The interval index of every query
// coordinate comes from the host's search; the weights are clamped to
// [0, 1] and the eight corners are always visited in the order
//   (0,0,0) (1,0,0) (0,1,0) (0,0,1) (1,1,0) (0,1,1) (1,0,1) (1,1,1).
#pragma once

#include "../common/yee.h"

namespace vx {

struct TrilinearArgs {
  Acc<cfloat, 6> result;
  Acc<float, 1> query_x, query_y, query_z;
  Acc<int32_t, 1> index_x, index_y, index_z;
  Acc<cfloat, 6> src;
  Acc<float, 1> grid_x, grid_y, grid_z;
  int NM, NC, nqx, nqy, nqz;
  bool nearest;
};

struct TrilinearReverseArgs {
  Acc<float, 6> vals_re, vals_im;
  Acc<float, 1> query_x, query_y, query_z;
  Acc<int32_t, 1> index_x, index_y, index_z;
  Acc<float, 6> U, T;
  Acc<float, 1> grid_x, grid_y, grid_z;
  int NM, NC, nqx, nqy, nqz;
};

// Node index from the search, kept inside [lo, hi] so that no index value
// can send a thread outside the grid.
VX_HD int node_index(int32_t l, int64_t lo, int64_t hi) {
  int64_t v = l;
  if (v > hi) v = hi;
  if (v < lo) v = lo;
  return static_cast<int>(v);
}

// Position of q inside interval l of g, clamped to [0, 1] (minimum with 1
// first, so a NaN position becomes 1).
VX_HD float interval_weight(float q, const Acc<float, 1>& g, int l) {
  const float t = (q - g(l)) / (g(l + 1) - g(l));
  return fmaxf(0.0f, fminf(t, 1.0f));
}

struct CornerWeights {
  int ix, iy, iz;
  float w[8];
};

// Offsets of corner n (summation order) as bit n of a mask:
// dx 0,1,0,0,1,0,1,1  dy 0,0,1,0,1,1,0,1  dz 0,0,0,1,0,1,1,1.
VX_HD int corner_dx(int n) { return (0xD2 >> n) & 1; }
VX_HD int corner_dy(int n) { return (0xB4 >> n) & 1; }
VX_HD int corner_dz(int n) { return (0xE8 >> n) & 1; }

template <typename Args>
VX_HD CornerWeights corner_weights(const Args& a, const Cell& p) {
  CornerWeights cw;
  cw.ix = node_index(a.index_x(p.i), 0, a.grid_x.size[0] - 2);
  cw.iy = node_index(a.index_y(p.j), 0, a.grid_y.size[0] - 2);
  cw.iz = node_index(a.index_z(p.k), 0, a.grid_z.size[0] - 2);
  const float tx = interval_weight(a.query_x(p.i), a.grid_x, cw.ix);
  const float ty = interval_weight(a.query_y(p.j), a.grid_y, cw.iy);
  const float tz = interval_weight(a.query_z(p.k), a.grid_z, cw.iz);
  const float ux = 1.0f - tx, uy = 1.0f - ty, uz = 1.0f - tz;
  cw.w[0] = ux * uy * uz;
  cw.w[1] = tx * uy * uz;
  cw.w[2] = ux * ty * uz;
  cw.w[3] = ux * uy * tz;
  cw.w[4] = tx * ty * uz;
  cw.w[5] = ux * ty * tz;
  cw.w[6] = tx * uy * tz;
  cw.w[7] = tx * ty * tz;
  return cw;
}

// The space is the query set: nqx x nqy x nqz points by NC channels.
VX_HD void trilinear_point(const Cell& p, const TrilinearArgs& a) {
  const int s = p.s, m = p.m, c = p.c;
  cfloat& out = a.result(s, m, p.i, p.j, p.k, c);
  if (a.nearest) {
    const int ix = node_index(a.index_x(p.i), 0, a.grid_x.size[0] - 1);
    const int iy = node_index(a.index_y(p.j), 0, a.grid_y.size[0] - 1);
    const int iz = node_index(a.index_z(p.k), 0, a.grid_z.size[0] - 1);
    out = a.src(s, m, ix, iy, iz, c);
    return;
  }
  const CornerWeights cw = corner_weights(a, p);
  cfloat sum = {0.0f, 0.0f};
VX_UNROLL
  for (int n = 0; n < 8; ++n)
    sum += cw.w[n] * a.src(s, m, cw.ix + corner_dx(n), cw.iy + corner_dy(n), cw.iz + corner_dz(n), c);
  out = sum;
}

VX_HD void trilinear_reverse_point(const Cell& p, const TrilinearReverseArgs& a) {
  const int s = p.s, m = p.m, c = p.c;
  const CornerWeights cw = corner_weights(a, p);
  const float re = a.vals_re(s, m, p.i, p.j, p.k, c);
  const float im = a.vals_im(s, m, p.i, p.j, p.k, c);
VX_UNROLL
  for (int n = 0; n < 8; ++n)
    atomic_add(&a.U(s, m, cw.ix + corner_dx(n), cw.iy + corner_dy(n), cw.iz + corner_dz(n), c),
               cw.w[n] * re);
VX_UNROLL
  for (int n = 0; n < 8; ++n)
    atomic_add(&a.T(s, m, cw.ix + corner_dx(n), cw.iy + corner_dy(n), cw.iz + corner_dz(n), c),
               cw.w[n] * im);
}

}  // namespace vx
