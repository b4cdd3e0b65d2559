// The real module's dispersive completion: turns the provisional field E*
// left by the electric update into E(n+1) and advances the two complex
// auxiliaries (owning and displaced material) of every sample it writes.
#pragma once


#include "yee.h"

namespace vx {

// How the CPU's row loops visit a stretch of cells (CellVisits, yee.h) for
// the staged body: in chunks of kStageChunk cells, each cell once for all
// its channels, first to stage its terms, then to use them.
struct StagedVisits {
  template <int kC, typename Cells>
  static void run(Cells& cells, int k0, int k1) {
    alignas(64) cfloat stash[3 * kStageValues * kStageChunk];
    for (int c0 = k0; c0 < k1; c0 += kStageChunk) {
      const int c1 = k1 - c0 < kStageChunk ? k1 : c0 + kStageChunk;
      cells(std::integral_constant<int, kC>{}, std::integral_constant<int, 1>{}, c0, c1, stash);
      cells(std::integral_constant<int, kC>{}, std::integral_constant<int, 2>{}, c0, c1, stash);
    }
  }
};

// kC > 0: the CPU's packed layout (yee.h: accessors).
template <int kC = 0>
struct DispersionRealArgs {
  ChanAcc<float, 6, kC> Ex, Ey, Ez, Ex_prev, Ey_prev, Ez_prev;
  LineAcc<float, 4, kC> weight_x, weight_y, weight_z;
  LineAcc<uint8_t, 4, kC> id_map_x, id_map_y, id_map_z;
  LineAcc<uint8_t, 4, kC> prev_id_map_x, prev_id_map_y, prev_id_map_z;
  LineAcc<float, 4, kC> den1_x, den1_y, den1_z, den2_x, den2_y, den2_z;
  LineAcc<cfloat, 1, kC> alpha, beta;  // material tables, indexed by id
  ChanAcc<cfloat, 6, kC> aux1_x, aux1_y, aux1_z, aux2_x, aux2_y, aux2_z;
  int NM, NC, Nx, Ny, Nz;

  template <int kC2, int = 0>
  using WithChannels = DispersionRealArgs<kC2>;
  static constexpr bool kFaces = true;  // the body tests has_below
  static constexpr int kPacked = kC;
  // The CPU's row walk (launch_host.h): the components are independent, so
  // one pass each; every cell visited once for all its channels, its table
  // lookups staged.
  template <typename Row>
  static void cpu_row(const Row& r) {
    r.template walk<0, StagedVisits>();
    r.template walk<1, StagedVisits>();
    r.template walk<2, StagedVisits>();
  }
  VX_ACCESSORS(Ex, Ey, Ez, Ex_prev, Ey_prev, Ez_prev, weight_x, weight_y, weight_z, id_map_x,
               id_map_y, id_map_z, prev_id_map_x, prev_id_map_y, prev_id_map_z, den1_x, den1_y,
               den1_z, den2_x, den2_y, den2_z, alpha, beta, aux1_x, aux1_y, aux1_z, aux2_x,
               aux2_y, aux2_z)
};

// A material table entry; an id the table does not cover reads as NaN (the
// tables need only hold the ids in use, and a stray id shows in the field).
template <typename S>
VX_HD cfloat table_entry(const Acc<cfloat, 1, S>& table, int id) {
  if (id < table.size[0]) return table(id);
  return {quiet_nan(), quiet_nan()};
}

// One component's maps and state, all read at [m, i, j, k] / [s, m, i, j, k, c].
template <int kC>
struct DispersionComponent {
  const ChanAcc<float, 6, kC>& E;
  const ChanAcc<float, 6, kC>& P;
  const LineAcc<float, 4, kC>& weight;
  const LineAcc<uint8_t, 4, kC>& id_map;
  const LineAcc<uint8_t, 4, kC>& prev_id_map;
  const LineAcc<float, 4, kC>& den1;
  const LineAcc<float, 4, kC>& den2;
  const ChanAcc<cfloat, 6, kC>& aux1;
  const ChanAcc<cfloat, 6, kC>& aux2;
};

// Re((1 + alpha) * psi).
VX_HD float re_one_plus(cfloat alpha, cfloat psi) {
  return (1.0f + alpha.re) * psi.re - alpha.im * psi.im;
}

// What a sample's update takes from its cell, the same for every channel.
struct DispersionCellTerms {
  cfloat ap, aq;    // alpha of the owning and displaced material
  cfloat wbp, wbq;  // their beta, weighted by the cell's share
  float den;
};

// The material table entries of a cell: what the CPU's row loops stage.
struct DispersionEntries {
  cfloat ap, aq, bp, bq;  // alpha and beta of the owning and displaced material
};

template <int kC>
VX_HD DispersionEntries dispersion_entries(const DispersionComponent<kC>& d,
                                           const LineAcc<cfloat, 1, kC>& alpha,
                                           const LineAcc<cfloat, 1, kC>& beta, int m, int i, int j,
                                           int k) {
  const int p = d.id_map(m, i, j, k);
  const int q = d.prev_id_map(m, i, j, k);
  return {table_entry(alpha, p), table_entry(alpha, q), table_entry(beta, p),
          table_entry(beta, q)};
}

template <int kC>
VX_HD DispersionCellTerms dispersion_cell_terms(const DispersionComponent<kC>& d,
                                                const DispersionEntries& t, int m, int i, int j,
                                                int k) {
  const float w = d.weight(m, i, j, k);
  return {t.ap, t.aq, w * t.bp, (1.0f - w) * t.bq, d.den1(m, i, j, k) + d.den2(m, i, j, k)};
}

template <int kC>
VX_HD void disperse_channel(const DispersionComponent<kC>& d, const DispersionCellTerms& t, int s,
                            int m, int i, int j, int k, int c) {
  float& e = d.E(s, m, i, j, k, c);
  cfloat& psi1 = d.aux1(s, m, i, j, k, c);
  cfloat& psi2 = d.aux2(s, m, i, j, k, c);
  const cfloat old1 = ld(psi1), old2 = ld(psi2);

  const float num = (e - re_one_plus(t.ap, old1)) - re_one_plus(t.aq, old2);
  const float en = num / t.den;
  e = en;
  // The previous-value tensor still holds E(n): the copies run after the kernel.
  const float dE = en - d.P(s, m, i, j, k, c);
  st(psi1, cmul(t.ap, old1) + t.wbp * dE);
  st(psi2, cmul(t.aq, old2) + t.wbq * dE);
}

// Channel c of the sample, or, where the CPU's row loops visit whole cells,
// all its channels with the cell's terms read once.
template <int kComp, int kC, typename P>
VX_HD void disperse_sample(const P& pos, const DispersionComponent<kC>& d,
                           const LineAcc<cfloat, 1, kC>& alpha,
                           const LineAcc<cfloat, 1, kC>& beta, int s, int m, int i, int j, int k,
                           int c) {
  // The table lookups: staged on the CPU (a scalar pass ahead of this one).
  DispersionEntries e;
  const auto lookup = [&]() { return dispersion_entries(d, alpha, beta, m, i, j, k); };
  if (!staged_terms<kComp>(pos, e, lookup)) return;
  const DispersionCellTerms t = dispersion_cell_terms(d, e, m, i, j, k);
  constexpr int kWhole = PositionFacts<P>::kChannels;
  if constexpr (kWhole > 0) {
    unrolled<kWhole>([&](int cc) { disperse_channel(d, t, s, m, i, j, k, cc); });
  } else {
    disperse_channel(d, t, s, m, i, j, k, c);
  }
}

template <typename P, int kC>
VX_HD void dispersion_real_cell(const P& q, const DispersionRealArgs<kC>& a) {
  const int s = q.s, m = q.m, i = q.i, j = q.j, k = q.k, c = q.c;
  if (curl_writes_x(q) && in_part<0>(q))
    disperse_sample<0, kC>(q,
                           {a.Ex, a.Ex_prev, a.weight_x, a.id_map_x, a.prev_id_map_x, a.den1_x,
                            a.den2_x, a.aux1_x, a.aux2_x},
                           a.alpha, a.beta, s, m, i, j, k, c);
  if (curl_writes_y(q) && in_part<1>(q))
    disperse_sample<1, kC>(q,
                           {a.Ey, a.Ey_prev, a.weight_y, a.id_map_y, a.prev_id_map_y, a.den1_y,
                            a.den2_y, a.aux1_y, a.aux2_y},
                           a.alpha, a.beta, s, m, i, j, k, c);
  if (curl_writes_z(q) && in_part<2>(q))
    disperse_sample<2, kC>(q,
                           {a.Ez, a.Ez_prev, a.weight_z, a.id_map_z, a.prev_id_map_z, a.den1_z,
                            a.den2_z, a.aux1_z, a.aux2_z},
                           a.alpha, a.beta, s, m, i, j, k, c);
}

}  // namespace vx
