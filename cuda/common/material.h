// Overlap averaging of an object's voxel map onto the sample grid, written
// once for every kernel of the material-preparation family: the index window,
// the sample cell of a point, the voxel index ranges, the overlap weights and
// the x-outer, z-inner visiting order.
//
// Sample cell of point I along x: from xlo to xhi, where
//   xlo = coord_x[0]       (I = 0)       else (coord_x[I-1] + coord_x[I]) / 2
//   xhi = coord_x[Lx - 1]  (I >= Lx - 1) else (coord_x[I] + coord_x[I+1]) / 2
// Voxel ix of the map covers [x0 + ix dx, x0 + (ix+1) dx). A cell overlaps
// voxels ix0 = floor((xlo - x0) / dx) ... ix1 = floor((xhi - x0) / dx); the
// overlap of voxel ix is (ix == ix1 ? xhi : edge(ix+1)) - (ix == ix0 ? xlo :
// edge(ix)), edges formed as one fused multiply-add dx * ix + x0. The weight
// of a voxel is wx * wy * wz / (cell volume); voxels outside the map are
// skipped, so the part of a cell outside the map counts as nothing.
//
// A cell of zero volume (an axis with a single sample point, or repeated
// coordinates) has no overlap weights: it takes the voxel that contains the
// sample point itself, with weight 1, or nothing when no voxel does.
#pragma once

#include <cstdint>
#include <limits>

#include "yee.h"

namespace vx {

// Scalars every kernel of the family receives, in kernel-parameter order.
struct OverlapScalars {
  int first_x, first_y, first_z;  // window origin on the sample grid
  float x0, y0, z0, dx, dy, dz;   // voxel map origin and pitch
  int Wx, Wy, Wz;                 // window sizes
  int Vx, Vy, Vz;                 // voxel counts
  int Lx, Ly, Lz;                 // coordinate lengths
};

// What the kernels that paint or refine one object read besides their own
// outputs: the coordinates, the voxel map, the object's id (its low byte is
// what the id maps store), the owner and displaced id maps, the scalars.
struct ObjectArgs {
  Acc<float, 1> coord_x, coord_y, coord_z;
  Acc<float, 4> vox;
  int mat_id;
  Acc<uint8_t, 4> id_map, prev_id_map;
  OverlapScalars s;
};

// One call's window point: window-local (i, j, k), sample-grid (I, J, K).
struct WindowPoint {
  int i, j, k;
  int I, J, K;
};

// The kernels of the family run over the window: Wx x Wy x Wz points, one
// batch row per m (and per channel where they have channels).
VX_HD WindowPoint window_point(const Cell& q, const OverlapScalars& s) {
  return {q.i, q.j, q.k, s.first_x + q.i, s.first_y + q.j, s.first_z + q.k};
}

// A cell's extent along one axis and the voxel indices it reaches.
struct AxisSpan {
  float lo, hi;
  int i0, i1;
};

struct SampleCell {
  AxisSpan x, y, z;
  float volume;  // 1 for a zero-volume cell (sampled at its point)
};

// Correctly rounded single-precision division, also on the GPU, where the
// modules are compiled with fast division: the voxel index of a coordinate
// and the overlap weights that decide whether an object claims a point must
// come out as on the CPU, or id_map and prev_id_map would differ at voxel
// edges. (The time-step kernels keep the fast division.)
VX_HD float div_rn(float a, float b) {
#if defined(__CUDA_ARCH__)
  return __fdiv_rn(a, b);
#else
  return a / b;
#endif
}

// floor(q) as an int, clamped to [-1, V] first: a huge, infinite or NaN
// quotient (a degenerate box) can never become an index the loops would
// follow past the map. Clamping keeps the meaning: -1 and V are outside the
// map, exactly like any index beyond them.
VX_HD int voxel_floor(float q, int V) {
  const float f = floorf(q);
  if (!(f > -1.f)) return -1;
  if (f > static_cast<float>(V)) return V;
  return static_cast<int>(f);
}

// Bounds of the sample cell of point I along one axis (single precision; a
// double coordinate's midpoint is formed in double, then rounded).
template <typename T>
VX_HD void cell_bounds(const Acc<T, 1>& coord, int L, int I, float& lo, float& hi) {
  lo = I == 0 ? static_cast<float>(coord(0))
              : static_cast<float>((coord(I - 1) + coord(I)) / T(2));
  hi = I >= L - 1 ? static_cast<float>(coord(L - 1))
                  : static_cast<float>((coord(I) + coord(I + 1)) / T(2));
}

VX_HD AxisSpan axis_span(float lo, float hi, float origin, float pitch, int V) {
  return {lo, hi, voxel_floor(div_rn(lo - origin, pitch), V),
          voxel_floor(div_rn(hi - origin, pitch), V)};
}

// A zero-extent span at point x: the voxel that contains it.
VX_HD AxisSpan point_span(float x, float origin, float pitch, int V) {
  const int i = voxel_floor(div_rn(x - origin, pitch), V);
  return {x, x, i, i};
}

template <typename T>
VX_HD SampleCell sample_cell(const Acc<T, 1>& coord_x, const Acc<T, 1>& coord_y,
                             const Acc<T, 1>& coord_z, const OverlapScalars& s,
                             const WindowPoint& p) {
  float xlo, xhi, ylo, yhi, zlo, zhi;
  cell_bounds(coord_x, s.Lx, p.I, xlo, xhi);
  cell_bounds(coord_y, s.Ly, p.J, ylo, yhi);
  cell_bounds(coord_z, s.Lz, p.K, zlo, zhi);
  SampleCell c;
  c.volume = (xhi - xlo) * (yhi - ylo) * (zhi - zlo);
  if (c.volume > 0.f) {
    c.x = axis_span(xlo, xhi, s.x0, s.dx, s.Vx);
    c.y = axis_span(ylo, yhi, s.y0, s.dy, s.Vy);
    c.z = axis_span(zlo, zhi, s.z0, s.dz, s.Vz);
  } else {
    c.volume = 1.f;
    c.x = point_span(static_cast<float>(coord_x(p.I)), s.x0, s.dx, s.Vx);
    c.y = point_span(static_cast<float>(coord_y(p.J)), s.y0, s.dy, s.Vy);
    c.z = point_span(static_cast<float>(coord_z(p.K)), s.z0, s.dz, s.Vz);
  }
  return c;
}

// Overlap of voxel v with the span along one axis (1 for a point span).
VX_HD float overlap_length(int v, const AxisSpan& a, float origin, float pitch) {
  if (a.lo == a.hi) return 1.f;
  const float lo = v == a.i0 ? a.lo : fmaf(pitch, static_cast<float>(v), origin);
  const float hi = v == a.i1 ? a.hi : fmaf(pitch, static_cast<float>(v + 1), origin);
  return hi - lo;
}

// Calls fn(ix, iy, iz, w) for every in-map voxel the cell overlaps, x outer,
// z inner, ascending, with w = wx * wy * wz / volume. Nothing when ix0 > ix1.
template <int kUnrollZ, typename Fn>
VX_HD void for_each_overlap(const SampleCell& c, const OverlapScalars& s, Fn&& fn) {
  if (c.x.i0 > c.x.i1) return;
  const int xb = c.x.i0 > 0 ? c.x.i0 : 0, xe = c.x.i1 < s.Vx - 1 ? c.x.i1 : s.Vx - 1;
  const int yb = c.y.i0 > 0 ? c.y.i0 : 0, ye = c.y.i1 < s.Vy - 1 ? c.y.i1 : s.Vy - 1;
  const int zb = c.z.i0 > 0 ? c.z.i0 : 0, ze = c.z.i1 < s.Vz - 1 ? c.z.i1 : s.Vz - 1;
  for (int ix = xb; ix <= xe; ++ix) {
    const float wx = overlap_length(ix, c.x, s.x0, s.dx);
    for (int iy = yb; iy <= ye; ++iy) {
      const float wxy = wx * overlap_length(iy, c.y, s.y0, s.dy);
#if defined(__CUDA_ARCH__)
#pragma unroll (kUnrollZ)
#endif
      for (int iz = zb; iz <= ze; ++iz)
        fn(ix, iy, iz, div_rn(wxy * overlap_length(iz, c.z, s.z0, s.dz), c.volume));
    }
  }
}

// Per-id tables: an id past the end of the table reads NaN (quiet_nan), so a
// caller's missing entry shows in the result instead of reading foreign
// memory.
VX_HD float table_value(const Acc<float, 1>& table, int id) {
  return id < table.size[0] ? table(id) : quiet_nan();
}

VX_HD float table_value(const Acc<float, 2>& table, int id, int c) {
  return id < table.size[0] ? table(id, c) : quiet_nan();
}

// The material byte an id is stored as.
VX_HD int id_byte(int mat_id) { return mat_id & 0xFF; }

}  // namespace vx
