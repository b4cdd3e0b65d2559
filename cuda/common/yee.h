// The Yee grid written down once: staggering, thread-to-cell mapping and the
// absorbing-layer index rules that every field kernel shares.
//
// Field tensors are [s, m, i, j, k, c]. With cell (i, j, k) at integer
// coordinates:
//   Ex (i+1/2, j, k)     Hx (i, j+1/2, k+1/2)
//   Ey (i, j+1/2, k)     Hy (i+1/2, j, k+1/2)
//   Ez (i, j, k+1/2)     Hz (i+1/2, j+1/2, k)
// The magnetic update differences E forward (index, index+1); the electric
// update differences H backward (index-1, index). Electric samples at index 0
// of a transverse axis are skipped by the curl step and index N is never
// written: held at zero they form a conducting wall.
//
// Extents: NS, NM, Nx, NC from Ex (axes 0, 1, 2, 5), Ny from Ey axis 3, Nz
// from Ez axis 4. Minimum tensor extents:
//   Ex [NS, NM, Nx, Ny+1, Nz+1, NC]   Hx, Hy, Hz [NS, NM, Nx, Ny, Nz, NC]
//   Ey [NS, NM, Nx+1, Ny, Nz+1, NC]   psi_x [NS, NM, 2n_x, Ny, Nz, 2, NC] ...
//   Ez [NS, NM, Nx+1, Ny+1, Nz, NC]
#pragma once

#include "acc.h"

namespace vx {

// One thread of a kernel over a 3-D index space (field cells, current or
// monitor boxes, query points): position and batch coordinates.
struct Cell {
  int s, m, c;
  int i, j, k;
};

// t = blockIdx.x * 256 + threadIdx.x runs over Nx * Ny * Nz positions with k
// fastest; y = blockIdx.y = (s * NM + m) * NC + c. Returns false for threads
// past the last position.
VX_HD bool map_cell(int64_t t, int64_t y, int NM, int NC, int Nx, int Ny,
                    int Nz, Cell& cell) {
  if (!split3(t, Nx, Ny, Nz, cell.i, cell.j, cell.k)) return false;
  split_batch(y, NM, NC, cell.s, cell.m, cell.c);
  return true;
}

// Layer index of cell x on an axis of N cells with thickness n, or -1 when
// the cell is in no layer. Low layer: x < n, index x. High layer: x >= N - n,
// index x - N + 2n (so n ... 2n-1). The low test wins when 2n > N.
VX_HD int layer_index_h(int x, int N, int n) {
  if (x < n) return x;
  if (x >= N - n) return x - N + 2 * n;
  return -1;
}

// The electric update never counts index 0 as a layer cell: its backward
// difference would need index -1. (Only a layer at least as thick as the
// axis could otherwise reach it through the high-layer test.)
VX_HD int layer_index_e(int x, int N, int n) {
  if (x == 0) return -1;
  if (x < n) return x;
  if (x >= N - n) return x - N + 2 * n;
  return -1;
}

// The profiles and auxiliaries of one axis hold `limit` layer indices; a
// thickness on the device larger than that must not send a kernel past them.
VX_HD bool layer_usable(int L, int64_t limit) { return L >= 0 && L < limit; }

// What both curl updates take besides the fields: curl profiles, CPML
// auxiliaries, decay and gain profiles, layer thicknesses, and how many layer
// indices each axis's psi, b and g can all hold (computed on the host).
template <typename F>
struct CurlSet {
  Acc<float, 1> Cx, Cy, Cz;
  Acc<F, 7> psi_x, psi_y, psi_z;
  Acc<float, 1> bx, by, bz, gx, gy, gz;
  Acc<int32_t, 1> n_layer;
  int64_t lim_x, lim_y, lim_z;
};

}  // namespace vx
