// The Yee grid written down once: staggering, the absorbing-layer index rules
// that every field kernel shares, and what the CPU's row loops tell a body
// about the cell it visits.
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

#include "launch.h"

namespace vx {

// What the CPU's packed row loops know about a cell at compile time, per
// axis: nothing (ask the rule), that it lies in no absorbing layer, or that
// it lies in one at layer index coordinate + shift.
enum LayerHint { kAskRule, kNoLayer, kInLayer };

// A cell visited by the CPU's packed row loops, with what the loop fixes at
// compile time: the layer membership of each axis, whether i, j and k are
// at least 1 (bits 0, 1 and 2 of kBelow), whether k lies below the row's
// last index (bit 4, known only where bit 3 is set), the row gate (bits 5
// and 6, known only where bit 7 is set), for bodies whose components are
// independent, which component this pass over the row updates (-1: all),
// and for bodies that ask for whole cells (kWholeCells), how many channels
// one visit covers (0: channel q.c only); for staged bodies (kStaged), the
// stage of this visit (staged_terms).
template <int kX, int kY, int kZ, int kBelow, int kPart = -1, int kChannels = 0, int kStage = 0>
struct RowCell : Cell {
  int shift[3];
  cfloat* stash;  // staged bodies: the chunk's stored terms, cells k_base ...
  int k_base;
};

template <typename P>
struct PositionFacts {
  template <int kAxis>
  static constexpr int kHint = kAskRule;
  static constexpr bool kKnowsBelow = false;
  template <int kAxis>
  static constexpr bool kHasBelow = false;
  static constexpr int kPart = -1;
  static constexpr bool kKnowsTop = false;
  static constexpr bool kBelowTop = false;
  static constexpr bool kKnowsGate = false;
  static constexpr int kGate = 0;
  static constexpr int kChannels = 0;
  static constexpr int kStage = 0;
};
template <int kX, int kY, int kZ, int kBelow, int kPart_, int kChannels_, int kStage_>
struct PositionFacts<RowCell<kX, kY, kZ, kBelow, kPart_, kChannels_, kStage_>> {
  template <int kAxis>
  static constexpr int kHint = kAxis == 0 ? kX : kAxis == 1 ? kY : kZ;
  static constexpr bool kKnowsBelow = true;
  template <int kAxis>
  static constexpr bool kHasBelow = (kBelow >> kAxis) & 1;
  static constexpr int kPart = kPart_;
  static constexpr bool kKnowsTop = (kBelow >> 3) & 1;
  static constexpr bool kBelowTop = (kBelow >> 4) & 1;
  static constexpr bool kKnowsGate = (kBelow >> 7) & 1;
  static constexpr int kGate = (kBelow >> 5) & 3;
  static constexpr int kChannels = kChannels_;
  static constexpr int kStage = kStage_;
};

// Whether k < top, top being the last k index of the kernel's space (the
// CPU's row loops then know it for bodies that declare kTop).
template <typename P>
VX_HD bool below_top_k(const P& q, int top) {
  using Facts = PositionFacts<P>;
  if (Facts::kKnowsTop) return Facts::kBelowTop;
  return q.k < top;
}

// The row gate of a body that declares kGated (its args' gate(i, j)): what
// the CPU's row loops fixed for the row, else `value`, the body's own.
template <typename P>
VX_HD int gate_of(const P&, int value) {
  using Facts = PositionFacts<P>;
  if (Facts::kKnowsGate) return Facts::kGate;
  return value;
}

// Staged bodies (Args::kStaged): per-cell terms that need lookups the CPU's
// vectoriser cannot do (gathers from material tables) go through
// staged_terms. The CPU's row loops then run each stretch in chunks of
// kStageChunk cells, twice: first a scalar visit per cell that only
// computes and stores the terms (stage 1; staged_terms returns false and
// the body returns), then the visits that read them back and do the rest
// (stage 2), in a loop the compiler can vectorise. Everywhere else (GPU,
// plain path) the terms are computed in place (stage 0). The terms must not
// depend on the channel; kSlot (0 ... 2) keeps apart the terms of the
// components one visit updates. T is a struct of complex values, stored by
// member (one array per member, each value moved as one 64-bit access), so
// that stage 2 reads them with vector loads.
constexpr int kStageChunk = 64;
constexpr int kStageValues = 4;  // complex values per slot and cell

template <int kSlot, typename T, typename P, typename F>
VX_HD bool staged_terms(const P& q, T& t, F&& compute) {
  constexpr int kStage = PositionFacts<P>::kStage;
  if constexpr (kStage == 0) {
    t = compute();
    return true;
  } else {
    static_assert(std::is_trivially_copyable<T>::value && sizeof(T) % sizeof(cfloat) == 0 &&
                      sizeof(T) / sizeof(cfloat) <= kStageValues && kSlot >= 0 && kSlot < 3,
                  "staged terms: a struct of at most kStageValues complex values, slot 0 ... 2");
    constexpr int n = sizeof(T) / sizeof(cfloat);
    cfloat* at = q.stash + kSlot * kStageValues * kStageChunk + (q.k - q.k_base);
    cfloat v[n];
    if constexpr (kStage == 1) {
      t = compute();
      std::memcpy(v, &t, sizeof(T));
      for (int f = 0; f < n; ++f) st(at[f * kStageChunk], v[f]);
      return false;
    } else {
      for (int f = 0; f < n; ++f) v[f] = ld(at[f * kStageChunk]);
      std::memcpy(&t, v, sizeof(T));
      return true;
    }
  }
}

// Whether this visit of the cell updates component kComp (0, 1, 2 for x, y,
// z): always, except in the CPU's one-component passes (Args::kParts = 3),
// which keep the number of memory streams a row loop walks small.
template <int kComp, typename P>
VX_HD constexpr bool in_part(const P&) {
  return PositionFacts<P>::kPart < 0 || PositionFacts<P>::kPart == kComp;
}

// Whether the cell has a neighbour at index - 1 along kAxis.
template <int kAxis, typename P>
VX_HD bool has_below(const P& q) {
  using Facts = PositionFacts<P>;
  if (Facts::kKnowsBelow) return Facts::template kHasBelow<kAxis>;
  return (kAxis == 0 ? q.i : kAxis == 1 ? q.j : q.k) != 0;
}

// Layer index of cell x on an axis of N cells with thickness n, or -1 when
// the cell is in no layer. Low layer: x < n, index x. High layer: x >= N - n,
// index x - N + 2n (so n ... 2n-1). The low test wins when 2n > N. A
// thickness of zero or less is no layer (tested first: N - n and 2n would
// overflow for n near INT32_MIN; for 0 < n <= x < N neither can).
VX_HD int layer_index_h(int x, int N, int n) {
  if (n <= 0) return -1;
  if (x < n) return x;
  if (x >= N - n) return x - N + 2 * n;
  return -1;
}

// The electric update never counts index 0 as a layer cell: its backward
// difference would need index -1. (Only a layer at least as thick as the
// axis could otherwise reach it through the high-layer test.)
VX_HD int layer_index_e(int x, int N, int n) {
  if (x == 0 || n <= 0) return -1;
  if (x < n) return x;
  if (x >= N - n) return x - N + 2 * n;
  return -1;
}

// The profiles and auxiliaries of one axis hold `limit` layer indices; a
// thickness on the device larger than that must not send a kernel past them.
VX_HD bool layer_usable(int L, int64_t limit) { return L >= 0 && L < limit; }

// A cell's layer index along one axis and whether the layer terms apply.
struct LayerIndex {
  int L;
  bool in;
};

// What both curl updates take besides the fields: curl profiles, CPML
// auxiliaries, decay and gain profiles, layer thicknesses, and how many layer
// indices each axis's psi, b and g can all hold (computed on the host).
// kC > 0: the CPU's packed layout (acc.h).
template <typename F, int kC = 0>
struct CurlSet {
  Acc<float, 1> Cx, Cy;
  LineAcc<float, 1, kC> Cz;
  PairAcc<F, 7, kC> psi_x, psi_y, psi_z;
  Acc<float, 1> bx, by;
  LineAcc<float, 1, kC> bz;
  Acc<float, 1> gx, gy;
  LineAcc<float, 1, kC> gz;
  Acc<int32_t, 1> n_layer;
  int64_t lim_x, lim_y, lim_z;

  // The layer rule of axis `axis` (0, 1, 2) at coordinate x of N cells.
  template <bool kElectric>
  VX_HD LayerIndex rule(int axis, int x, int N) const {
    const int n = n_layer(axis);
    const int L = kElectric ? layer_index_e(x, N, n) : layer_index_h(x, N, n);
    return {L, layer_usable(L, axis == 0 ? lim_x : axis == 1 ? lim_y : lim_z)};
  }

  VX_ACCESSORS(Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz, n_layer)
};

// The layer index of a cell along kAxis: as the position knows it, else by
// the kernel's own rule (a.layer, which the CPU's row loops also use to sort
// cells into segments).
template <int kAxis, typename P, typename Args>
VX_HD LayerIndex layer_of(const P& q, const Args& a, int x) {
  constexpr int h = PositionFacts<P>::template kHint<kAxis>;
  if constexpr (h == kNoLayer) {
    return {-1, false};
  } else if constexpr (h == kInLayer) {
    return {x + q.shift[kAxis], true};
  } else {
    return a.layer(kAxis, x);
  }
}

// One of three per-axis members (x, y, z) of a block.
template <int kAxis, typename X, typename Y, typename Z>
VX_HD const auto& axis_member(const X& x, const Y& y, const Z& z) {
  if constexpr (kAxis == 0) {
    return x;
  } else if constexpr (kAxis == 1) {
    return y;
  } else {
    return z;
  }
}

// The two absorbing-layer auxiliaries of axis kAxis at a cell in that axis's
// layers: psi(.., 0) <- b psi - g d0 and psi(.., 1) <- b psi + g d1 for the
// electric update, the opposite signs for the magnetic one (each carries the
// sign of the curl term that differences the same component along the
// axis); each result is added to its field value f0, f1. Returns whether the
// cell lies in the layers.
template <int kAxis, bool kElectric, typename F, typename P, typename Args>
VX_HD bool add_layer_terms(const P& q, const Args& a, const F& d0, const F& d1, F& f0, F& f1) {
  const LayerIndex L = layer_of<kAxis>(q, a, kAxis == 0 ? q.i : kAxis == 1 ? q.j : q.k);
  if (!L.in) return false;
  const int i = kAxis == 0 ? L.L : q.i, j = kAxis == 1 ? L.L : q.j, k = kAxis == 2 ? L.L : q.k;
  const float b = axis_member<kAxis>(a.cs.bx, a.cs.by, a.cs.bz)(L.L);
  const float g = axis_member<kAxis>(a.cs.gx, a.cs.gy, a.cs.gz)(L.L);
  const auto& psi = axis_member<kAxis>(a.cs.psi_x, a.cs.psi_y, a.cs.psi_z);
  F& r0 = psi(q.s, q.m, i, j, k, 0, q.c);
  F& r1 = psi(q.s, q.m, i, j, k, 1, q.c);
  if constexpr (kElectric) {
    const F p0 = b * ld(r0) - g * d0;
    st(r0, p0);
    f0 = f0 + p0;
    const F p1 = b * ld(r1) + g * d1;
    st(r1, p1);
    f1 = f1 + p1;
  } else {
    const F p0 = b * ld(r0) + g * d0;
    st(r0, p0);
    f0 = f0 + p0;
    const F p1 = b * ld(r1) - g * d1;
    st(r1, p1);
    f1 = f1 + p1;
  }
  return true;
}

}  // namespace vx
