// Per-thread bodies of the two shared averaging kernels: Mat_Average_GPU
// (mean voxel value over a sample cell) and Set_weight_mat_id_GPU (paints an
// object's mean fill into the material description).
#pragma once

#include "material.h"

namespace vx {

template <typename T>
struct MatAverageArgs {
  Acc<T, 4> averaged;
  Acc<T, 1> coord_x, coord_y, coord_z;
  Acc<T, 4> vox;
  OverlapScalars s;
};

// The running sum is single precision in both variants; the double variant
// forms each term in double and rounds the sum back after every addition.
template <typename T>
VX_HD void mat_average_cell(const Cell& q, const MatAverageArgs<T>& a) {
  const WindowPoint p = window_point(q, a.s);
  const int m = q.m;
  const SampleCell cell = sample_cell(a.coord_x, a.coord_y, a.coord_z, a.s, p);
  float sum = 0.f;
  for_each_overlap<4>(cell, a.s, [&](int ix, int iy, int iz, float w) {
    sum = static_cast<float>(sum + a.vox(m, ix, iy, iz) * static_cast<T>(w));
  });
  a.averaged(m, p.i, p.j, p.k) = static_cast<T>(sum);
}

// Writes id_map and prev_id_map too.
struct SetWeightMatIdArgs : ObjectArgs {
  Acc<float, 4> weight;
};

// A positive mean fill gives the point to the object: the old owner becomes
// the displaced id and the fill the owner's weight. Anything else (zero,
// negative, NaN) leaves the point alone.
VX_HD void set_weight_mat_id_cell(const Cell& q, const SetWeightMatIdArgs& a) {
  const WindowPoint p = window_point(q, a.s);
  const int m = q.m;
  const SampleCell cell = sample_cell(a.coord_x, a.coord_y, a.coord_z, a.s, p);
  float fill = 0.f;
  for_each_overlap<4>(cell, a.s, [&](int ix, int iy, int iz, float w) {
    fill = fmaf(w, a.vox(m, ix, iy, iz), fill);
  });
  if (fill > 0.f) {
    a.prev_id_map(m, p.I, p.J, p.K) = a.id_map(m, p.I, p.J, p.K);
    a.id_map(m, p.I, p.J, p.K) = static_cast<uint8_t>(id_byte(a.mat_id));
    a.weight(m, p.I, p.J, p.K) = fill;
  }
}

}  // namespace vx
