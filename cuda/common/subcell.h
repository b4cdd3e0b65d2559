// Anisotropic subcell smoothing of the permittivity at a point an object
// owns, shared by Set_weight_subcell_GPU (turns the result back into a mixing
// weight) and Set_ER_subcell_GPU (stores it per channel).
//
// Over the sample cell, voxel by voxel with fill f and overlap weight w, the
// object's permittivity e_obj is mixed with the displaced one:
//   e = f * e_obj + (1 - f) * e_prev,  S_w += w,  S_e += w e,  S_inv += w / e.
// The part of the cell outside the voxel map is displaced material:
//   r = 1 - S_w,  A = r e_prev + S_e (mean),  B = S_inv + r / e_prev (mean
//   inverse),  e_eff = 1 / (B n^2 + (1 - n^2) / A)
// with n the normal's component along the field direction.
#pragma once

#include "material.h"

namespace vx {

VX_HD float subcell_permittivity(const SampleCell& cell, const OverlapScalars& s,
                                 const Acc<float, 4>& vox, int m, float e_obj, float e_prev,
                                 float n) {
  float S_w = 0.f, S_e = 0.f, S_inv = 0.f;
  for_each_overlap<2>(cell, s, [&](int ix, int iy, int iz, float w) {
    const float f = vox(m, ix, iy, iz);
    const float e = fmaf(f, e_obj, (1.f - f) * e_prev);
    S_w += w;
    S_e += w * e;
    S_inv += w / e;
  });
  const float r = 1.f - S_w;
  const float A = r * e_prev + S_e;
  const float B = S_inv + r / e_prev;
  const float n2 = n * n;
  return 1.f / (B * n2 + (1.f - n2) / A);
}

// Field direction: 0 -> x, 1 -> y, anything else -> z.
VX_HD int normal_axis(int component) { return component == 0 ? 0 : component == 1 ? 1 : 2; }

// kChannels = false: the weight map [m, I, J, K] and a 1-D table;
// kChannels = true: the permittivity [m, I, J, K, c] and a table [id, c].
template <bool kChannels>
struct SubcellArgs : ObjectArgs {
  Acc<float, kChannels ? 5 : 4> out;
  Acc<float, 5> normal;
  Acc<float, kChannels ? 2 : 1> er_table;
  int component;
  int NC;  // 1 without channels
};
using WeightSubcellArgs = SubcellArgs<false>;
using ERSubcellArgs = SubcellArgs<true>;

// The stored owner byte is compared with the low 8 bits of mat_id, the form
// Set_weight_mat_id stored it in. A non-positive table value has no smoothing:
// the weight is only rounded (halves away from zero).
VX_HD void set_weight_subcell_cell(const Cell& q, const WeightSubcellArgs& a) {
  const WindowPoint p = window_point(q, a.s);
  const int m = q.m;
  const int owner = a.id_map(m, p.I, p.J, p.K);
  if (owner != id_byte(a.mat_id)) return;
  float& weight = a.out(m, p.I, p.J, p.K);
  const float e_own = table_value(a.er_table, owner);
  const float e_prev = table_value(a.er_table, a.prev_id_map(m, p.I, p.J, p.K));
  if (e_own <= 0.f || e_prev <= 0.f) {
    weight = roundf(weight);
    return;
  }
  const SampleCell cell = sample_cell(a.coord_x, a.coord_y, a.coord_z, a.s, p);
  const float e_eff = subcell_permittivity(cell, a.s, a.vox, m, e_own, e_prev,
                                           a.normal(m, p.I, p.J, p.K, normal_axis(a.component)));
  const float lo = e_own < e_prev ? e_own : e_prev;
  const float hi = e_own < e_prev ? e_prev : e_own;
  weight = fabsf(e_eff - e_prev) / ((hi + 0.0001f) - lo);
}

// Per channel: a non-positive owner or displaced permittivity stores the
// owner's value (the averages are meaningless there, and a zero one would
// divide by zero); otherwise the smoothed permittivity.
VX_HD void set_er_subcell_cell(const Cell& q, const ERSubcellArgs& a) {
  const WindowPoint p = window_point(q, a.s);
  const int m = q.m, c = q.c;
  const int owner = a.id_map(m, p.I, p.J, p.K);
  if (owner != id_byte(a.mat_id)) return;
  float& er = a.out(m, p.I, p.J, p.K, c);
  const float e_own = table_value(a.er_table, owner, c);
  if (e_own <= 0.f) {
    er = e_own;
    return;
  }
  const float e_prev = table_value(a.er_table, a.prev_id_map(m, p.I, p.J, p.K), c);
  if (e_prev <= 0.f) {
    er = e_own;
    return;
  }
  const SampleCell cell = sample_cell(a.coord_x, a.coord_y, a.coord_z, a.s, p);
  er = subcell_permittivity(cell, a.s, a.vox, m, e_own, e_prev,
                            a.normal(m, p.I, p.J, p.K, normal_axis(a.component)));
}

}  // namespace vx
