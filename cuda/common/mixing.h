// Linear mixing of two per-id table values by the owner's weight,
//   out = w * table[owner] + (1 - w) * table[displaced]
// (one fused multiply-add of w and the owner's value onto the rest), for the
// three mixing kernels: Set_ER_average_GPU of both modules and
// Set_sigma_average_GPU (which adds the mixture to the old value).
#pragma once

#include "material.h"

namespace vx {

// kChannels = false: 4-D output [m, I, J, K], 1-D table, one channel.
// kChannels = true: 5-D output [m, I, J, K, c], 2-D table [id, c], NC
// channels. The space is Sx x Sy x Sz points, one batch row per m.
template <bool kChannels>
struct MixArgs {
  Acc<float, kChannels ? 5 : 4> out;
  Acc<float, 4> weight;
  Acc<uint8_t, 4> id_map, prev_id_map;
  Acc<float, kChannels ? 2 : 1> table;
  int NC;  // 1 without channels
  int Sx, Sy, Sz;
};

VX_HD float mix(float w, float own, float displaced) { return fmaf(w, own, (1.f - w) * displaced); }

template <bool kChannels, bool kAdd>
VX_HD void mix_cell(const Cell& q, const MixArgs<kChannels>& a) {
  const int I = q.i, J = q.j, K = q.k, m = q.m, c = q.c;
  const float w = a.weight(m, I, J, K);
  const int own = a.id_map(m, I, J, K);
  const int displaced = a.prev_id_map(m, I, J, K);
  float* out;
  float value;
  if constexpr (kChannels) {
    value = mix(w, table_value(a.table, own, c), table_value(a.table, displaced, c));
    out = &a.out(m, I, J, K, c);
  } else {
    value = mix(w, table_value(a.table, own), table_value(a.table, displaced));
    out = &a.out(m, I, J, K);
  }
  *out = kAdd ? *out + value : value;
}

}  // namespace vx
