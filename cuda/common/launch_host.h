// The CPU backend: runs a kernel body over its space in memory order, and the
// host entry point of each kernel-table line (GPU launcher or CPU loops).
//
// Row loops: the space is cut into rows (s, m, i) -- or (s, m, i, j) when
// those are too few for the threads -- spread over torch's intra-op threads;
// within a row the coordinates advance incrementally and the innermost loop
// runs over k and c, the stride-1 axes of every field. Argument blocks that
// offer a packed layout (WithChannels<kC>) run, when NC is 1 or 2 (or 4,
// where the block offers it) and every tensor fits that layout, with
// compile-time inner strides and positions that tell the body what the loop
// knows (yee.h: layer membership per axis, whether the cell lies on an
// index-0 face), so the plain interior vectorises and the absorbing-layer
// terms are taken only in the stretches that hold layer cells. A kernel that
// wants more fixed per row brings its own walk of a row (Row, cpu_row),
// built from the same steps, in its own header. Every other argument block
// goes through the plain Cell path.
//
// Block traversals: the GPU's thread decomposition, block by block (the
// backend's earlier traversal), kept for measurement and to check both GPU
// thread mappings on the CPU.
#pragma once

#include <ATen/Parallel.h>
#include <c10/util/SmallVector.h>

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "host.h"
#include "yee.h"

#if defined(__x86_64__) || defined(__SSE2__)
#include <xmmintrin.h>
#define VX_HAVE_MXCSR 1
#endif

#if defined(__clang__)
#define VX_IVDEP _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define VX_IVDEP _Pragma("GCC ivdep")
#else
#define VX_IVDEP
#endif

namespace vx {

// Subnormal results are flushed to zero on the GPU; the CPU backend does the
// same while it runs a kernel body (and avoids the slow path subnormals take
// on x86 when absorbing layers decay fields towards zero).
struct FlushSubnormals {
#ifdef VX_HAVE_MXCSR
  unsigned int saved = _mm_getcsr();
  FlushSubnormals() { _mm_setcsr(saved | 0x8040u); }  // FTZ | DAZ
  ~FlushSubnormals() { _mm_setcsr(saved); }
#endif
};

// Elements a thread takes at least before the loops go parallel, so small
// calls stay on the calling thread.
// The plain per-cell path costs several times more per element.
constexpr int64_t kMinWorkPerThread = 16384;
constexpr int64_t kMinPlainWorkPerThread = 2048;

// ---------------------------------------------------------------------------
// The packed layout of an argument block.

template <typename Args, typename = void>
struct HasPackedLayout : std::false_type {};
template <typename Args>
struct HasPackedLayout<Args, std::void_t<typename Args::template WithChannels<1>>>
    : std::true_type {};

// What an argument block tells the row loops, each a static constexpr member
// it may declare: FACT<Args>::value is the member, or the default without it.
#define VX_ARGS_FACT(FACT, MEMBER, TYPE, DEFAULT)                  \
  template <typename Args, typename = void>                        \
  struct FACT : std::integral_constant<TYPE, DEFAULT> {};          \
  template <typename Args>                                         \
  struct FACT<Args, std::void_t<decltype(Args::MEMBER)>>           \
      : std::integral_constant<TYPE, Args::MEMBER> {};

// Channels the block fixes at compile time (0: none).
VX_ARGS_FACT(PackedChannels, kPacked, int, 0)
// The most channels it packs: 1 and 2 for every block, 4 where it says so
// (the real module's two complex channels as four halves).
VX_ARGS_FACT(WidestPacked, kWidest, int, 2)
// How many packed layouts it offers (WithChannels<kC, L> for L = 0 ..
// kLayouts - 1, tried in that order).
VX_ARGS_FACT(PackedLayouts, kLayouts, int, 1)
// The body takes absorbing-layer terms (the block then offers layer(axis, x)).
VX_ARGS_FACT(Layered, kLayered, bool, false)
// The body looks at the index-0 faces (has_below): its rows then take the
// face facts at compile time too, and the cell at k = 0 of every row is
// visited on its own.
VX_ARGS_FACT(Faces, kFaces, bool, false)
#undef VX_ARGS_FACT

// Checks every accessor an argument block lists against its compile-time
// strides.
struct TailCheck {
  bool ok = true;
  template <typename T, int N, typename S>
  void operator()(const Acc<T, N, S>& x) {
    ok = ok && x.fits_tail();
  }
  template <typename Block>
  void operator()(const Block& b) {
    b.each_accessor(*this);
  }
};

// The same argument block with kC channels packed. The two instantiations
// hold the same members in the same layout and differ only in the strides
// the compiler may assume, which the caller checks before use.
template <int kC, int kLayout, typename Args>
typename Args::template WithChannels<kC, kLayout> with_packed_layout(const Args& a) {
  using Packed = typename Args::template WithChannels<kC, kLayout>;
  static_assert(sizeof(Packed) == sizeof(Args) && std::is_trivially_copyable_v<Args> &&
                    std::is_trivially_copyable_v<Packed>,
                "a packed argument block must have the layout of the strided one");
  Packed p;
  std::memcpy(static_cast<void*>(&p), &a, sizeof(Args));
  return p;
}

// ---------------------------------------------------------------------------
// Row loops.

// Cells k0 <= k < k1 of a row: one visit per cell and channel, or with
// kChannels > 0 one per cell for all its channels; kStage: see staged_terms
// (yee.h), whose stash holds the terms of the chunk that starts at k0.
template <int kX, int kY, int kZ, int kBelow, int kC, int kPart, int kChannels, int kStage,
          typename Args, typename Body>
inline VX_FORCE_INLINE void run_cells(const Args& __restrict__ a, Body& body, int s, int m,
                                      int i, int j, int k0, int k1, const int (&shift)[3],
                                      cfloat* stash) {
  RowCell<kX, kY, kZ, kBelow, kPart, kChannels, kStage> q;
  q.s = s;
  q.m = m;
  q.i = i;
  q.j = j;
  q.shift[0] = shift[0];
  q.shift[1] = shift[1];
  q.shift[2] = shift[2];
  q.stash = stash;
  q.k_base = k0;
  if constexpr (kStage == 1) {
    // The terms are the same for every channel.
    q.c = 0;
    for (int k = k0; k < k1; ++k) {
      q.k = k;
      body(q, a);
    }
    return;
  }
  VX_IVDEP
  for (int k = k0; k < k1; ++k) {
    q.k = k;
    if constexpr (kChannels > 0) {
      q.c = 0;
      body(q, a);
      continue;
    }
    // The channels written out, not looped over: the vectoriser then sees
    // one loop over k with kC interleaved accesses per tensor.
    unrolled<kC>([&](int c) VX_FORCE_INLINE {
      q.c = c;
      body(q, a);
    });
  }
}

// One stretch k0 <= k < k1 of a row, all its cells alike for the layer rule
// and the facts kBelow (RowCell); shift: the layer index offsets of the row;
// kPart: the component this pass updates (-1: all); Visits: how its cells
// are visited (yee.h: CellVisits, or a kernel's own).
template <int kX, int kY, int kZ, int kBelow, int kC, int kPart, typename Visits, typename Args,
          typename Body>
void run_stretch(const Args& __restrict__ a, Body& body, int s, int m, int i, int j, int k0, int k1,
                 const int (&shift)[3]) {
  auto cells = [&](auto channels, auto stage, int c0, int c1, cfloat* stash) VX_FORCE_INLINE {
    run_cells<kX, kY, kZ, kBelow, kC, kPart, decltype(channels)::value, decltype(stage)::value>(
        a, body, s, m, i, j, c0, c1, shift, stash);
  };
  Visits::template run<kC>(cells, k0, k1);
}

// Cells j0 <= j < j1, 0 <= k < N2 of a row through the plain Cell path.
// With one point along k consecutive j lie a whole k-row apart in memory:
// the channels then go outermost, so that every load in the loop steps by
// one constant stride, which the hardware prefetchers follow (channels
// innermost alternate a short and a long step).
template <typename Args, typename Body>
void run_plain(const Args& a, Body& body, int NC, int s, int m, int i, int j0, int j1, int N2) {
  Cell q;
  q.s = s;
  q.m = m;
  q.i = i;
  if (N2 == 1) {
    q.k = 0;
    for (int c = 0; c < NC; ++c) {
      q.c = c;
      for (int j = j0; j < j1; ++j) {
        q.j = j;
        body(q, a);
      }
    }
    return;
  }
  for (int j = j0; j < j1; ++j) {
    q.j = j;
    for (int k = 0; k < N2; ++k) {
      q.k = k;
      for (int c = 0; c < NC; ++c) {
        q.c = c;
        body(q, a);
      }
    }
  }
}

// A stretch of cells along k with the same layer membership and index offset.
struct Stretch {
  int k0, k1;
  bool in;
  int shift;
};

constexpr int hint_of(bool in) { return in ? kInLayer : kNoLayer; }

// The stretches of k = k_first ... N2 - 1: by the kernel's own layer rule,
// or one stretch when the body has no layer terms.
using Stretches = c10::SmallVector<Stretch, 8>;  // a row holds at most a few

template <bool kLayered, typename Args>
Stretches z_stretches(const Args& a, int k_first, int N2) {
  Stretches out;
  if constexpr (!kLayered) {
    if (k_first < N2) out.push_back({k_first, N2, false, 0});
  } else {
    for (int k = k_first; k < N2; ++k) {
      const LayerIndex L = a.layer(2, k);
      const int shift = L.in ? L.L - k : 0;
      if (!out.empty() && out.back().in == L.in && out.back().shift == shift)
        out.back().k1 = k + 1;
      else
        out.push_back({k, k + 1, L.in, shift});
    }
  }
  return out;
}

// Runs one stretch with the facts the body uses fixed at compile time, kBits
// (row_bits, yee.h) added to them.
template <bool kLayered, bool kFaces, int kC, int kPart, int kBits, typename Visits,
          typename Args, typename Body>
void dispatch_stretch(const Args& a, Body& body, int s, int m, int i, int j, const Stretch& st,
                      bool in_x, bool in_y, const int (&shift)[3]) {
  using T = std::true_type;
  using F = std::false_type;
  auto go = [&](auto X, auto Y, auto Z, auto BI, auto BJ) {
    constexpr int hx = kLayered ? hint_of(decltype(X)::value) : kAskRule;
    constexpr int hy = kLayered ? hint_of(decltype(Y)::value) : kAskRule;
    constexpr int hz = kLayered ? hint_of(decltype(Z)::value) : kAskRule;
    constexpr int below =
        (kFaces ? decltype(BI)::value + 2 * decltype(BJ)::value + 4 : 7) | kBits;
    run_stretch<hx, hy, hz, below, kC, kPart, Visits>(a, body, s, m, i, j, st.k0, st.k1, shift);
  };
  if constexpr (kLayered && kFaces)
    with_flags(go, in_x, in_y, st.in, i > 0, j > 0);
  else if constexpr (kLayered)
    with_flags([&](auto X, auto Y, auto Z) { go(X, Y, Z, T{}, T{}); }, in_x, in_y, st.in);
  else if constexpr (kFaces)
    with_flags([&](auto BI, auto BJ) { go(F{}, F{}, F{}, BI, BJ); }, i > 0, j > 0);
  else
    go(F{}, F{}, F{}, T{}, T{});
}

// The cell at k = 0 of a row whose body looks at faces: layer membership
// along x and y fixed, along z by the rule. One cell in a row: the rows on
// an index-0 face (i or j zero) share a single variant that asks the face
// facts and the layer rule, so this cell adds few compiled copies of the
// body.
template <bool kLayered, int kC, int kPart, typename Visits, typename Args, typename Body>
void dispatch_k0(const Args& a, Body& body, int s, int m, int i, int j, bool in_x, bool in_y,
                 const int (&shift)[3]) {
  if (i == 0 || j == 0) {
    run_stretch<kAskRule, kAskRule, kAskRule, row_bits::kAskFaces, kC, kPart, Visits>(
        a, body, s, m, i, j, 0, 1, shift);
    return;
  }
  auto go = [&](auto X, auto Y) {
    constexpr int hx = kLayered ? hint_of(decltype(X)::value) : kAskRule;
    constexpr int hy = kLayered ? hint_of(decltype(Y)::value) : kAskRule;
    run_stretch<hx, hy, kAskRule, 3, kC, kPart, Visits>(a, body, s, m, i, j, 0, 1, shift);
  };
  if constexpr (kLayered)
    with_flags(go, in_x, in_y);
  else
    go(std::false_type{}, std::false_type{});
}

// What the row loops know of one call, worked out once before they start:
// the facts its argument block declares (compile-time members, above), how
// the space is cut into rows and shared among the threads, and the
// stretches every row is walked in.
template <typename Args>
struct RowPlan {
  static constexpr int kC = PackedChannels<Args>::value;  // 0: the plain Cell path
  static constexpr bool kLayered = kC > 0 && Layered<Args>::value;
  static constexpr bool kFaces = Faces<Args>::value;

  bool by_j;      // rows are (s, m, i, j), not (s, m, i)
  int64_t rows;   // how many
  int64_t grain;  // rows a thread takes at least
  Stretches z;    // packed path: the stretches of k (from 1 with faces: k = 0 goes alone)
};

template <typename Args>
RowPlan<Args> plan_rows(const Space& sp, const Args& a) {
  using Plan = RowPlan<Args>;
  Plan p;
  const int64_t outer = int64_t(sp.NS) * sp.NM * sp.N0;
  // Split rows along j too when (s, m, i) rows are fewer than the threads
  // could share.
  p.by_j = outer < 4 * int64_t(at::get_num_threads()) && sp.N1 > 1;
  p.rows = p.by_j ? outer * sp.N1 : outer;
  const int64_t per_row = (p.by_j ? 1 : int64_t(sp.N1)) * sp.N2 * sp.NC;
  const int64_t min_work = Plan::kC > 0 ? kMinWorkPerThread : kMinPlainWorkPerThread;
  p.grain = std::max<int64_t>(1, min_work / std::max<int64_t>(per_row, 1));
  if constexpr (Plan::kC > 0) p.z = z_stretches<Plan::kLayered>(a, Plan::kFaces ? 1 : 0, sp.N2);
  return p;
}

// One row of a call on the packed path, as a walk sees it: (s, m, i) and its
// j range, the argument block, the body and the call's plan, and the steps a
// walk is made of. walk() is the walk of most kernels; a kernel whose body
// wants more fixed per row (a row gate, its last cell apart, one pass per
// component, staged lookups) declares its own, as a static member template
// of its argument block, cpu_row(const Row&), built from the same steps.
template <typename Args, typename Body>
struct Row {
  using Plan = RowPlan<Args>;
  static constexpr int kC = Plan::kC;
  static constexpr bool kLayered = Plan::kLayered;
  static constexpr bool kFaces = Plan::kFaces;

  const Space& sp;
  const Args& a;
  Body& body;
  const Plan& plan;
  int s, m, i, j0, j1;

  // The cells (i, j, *): layer membership along x and y, index offsets.
  struct Line {
    int j;
    bool in_x, in_y;
    int shift[3];
  };

  // Calls f(line) for every j of the row.
  template <typename F>
  void each_line(F&& f) const {
    for (int j = j0; j < j1; ++j) {
      LayerIndex Lx{-1, false}, Ly{-1, false};
      if constexpr (kLayered) {
        Lx = a.layer(0, i);
        Ly = a.layer(1, j);
      }
      Line L{j, Lx.in, Ly.in, {Lx.in ? Lx.L - i : 0, Ly.in ? Ly.L - j : 0, 0}};
      f(L);
    }
  }

  // The k = 0 cell of a body that looks at faces (nothing for others).
  template <int kPart = -1, typename Visits = CellVisits<false>>
  void face_cell(const Line& L) const {
    if constexpr (kFaces)
      if (sp.N2 > 0)
        dispatch_k0<kLayered, kC, kPart, Visits>(a, body, s, m, i, L.j, L.in_x, L.in_y, L.shift);
  }

  // One stretch of the line, kBits (row_bits) fixed for all its cells.
  template <int kPart = -1, int kBits = 0, typename Visits = CellVisits<false>>
  void stretch(Line& L, const Stretch& st) const {
    L.shift[2] = st.shift;
    dispatch_stretch<kLayered, kFaces, kC, kPart, kBits, Visits>(a, body, s, m, i, L.j, st,
                                                                  L.in_x, L.in_y, L.shift);
  }

  // Every line: its face cell, then its stretches.
  template <int kPart = -1, typename Visits = CellVisits<false>>
  void walk() const {
    each_line([&](Line& L) {
      face_cell<kPart, Visits>(L);
      for (const Stretch& st : plan.z) stretch<kPart, 0, Visits>(L, st);
    });
  }
};

template <typename Args, typename R, typename = void>
struct OwnRowWalk : std::false_type {};
template <typename Args, typename R>
struct OwnRowWalk<Args, R, std::void_t<decltype(Args::cpu_row(std::declval<const R&>()))>>
    : std::true_type {};

template <typename Args, typename Body>
void run_rows(const Space& sp, const Args& a, Body body) {
  using Plan = RowPlan<Args>;
  using R = Row<Args, Body>;
  const Plan plan = plan_rows(sp, a);
  const bool by_j = plan.by_j;

  at::parallel_for(0, plan.rows, plan.grain, [&](int64_t r0, int64_t r1) {
    FlushSubnormals ftz;
    for (int64_t r = r0; r < r1; ++r) {
      int64_t rest = r;
      int j0 = 0, j1 = sp.N1;
      if (by_j) {
        j0 = static_cast<int>(rest % sp.N1);
        j1 = j0 + 1;
        rest /= sp.N1;
      }
      const int i = static_cast<int>(rest % sp.N0);
      rest /= sp.N0;
      const int m = static_cast<int>(rest % sp.NM);
      const int s = static_cast<int>(rest / sp.NM);
      if constexpr (Plan::kC == 0) {
        run_plain(a, body, sp.NC, s, m, i, j0, j1, sp.N2);
      } else {
        const R row{sp, a, body, plan, s, m, i, j0, j1};
        if constexpr (OwnRowWalk<Args, R>::value)
          Args::cpu_row(row);
        else
          row.walk();
      }
    }
  });
}

// ---------------------------------------------------------------------------
// Block traversals: the GPU's decomposition, 256 threads per block.

template <Mapping kMap, typename Args, typename Body>
void run_blocks(const Space& sp, const Args& a, Body body) {
  const int64_t blocks = grid_blocks<kMap>(sp);
  const int64_t rows = grid_rows<kMap>(sp);
  at::parallel_for(0, blocks * rows, 1, [&](int64_t b0, int64_t b1) {
    FlushSubnormals ftz;
    for (int64_t b = b0; b < b1; ++b) {
      const uint32_t row = static_cast<uint32_t>(b / blocks);
      const uint32_t block = static_cast<uint32_t>(b % blocks);
      for (int t = 0; t < kThreads; ++t) {
        Cell q;
        if (map_thread<kMap>(sp, block, static_cast<uint32_t>(t), row, q)) body(q, a);
      }
    }
  });
}

// ---------------------------------------------------------------------------

template <int kC, int kLayout = 0, typename Args, typename Body>
bool run_packed(const Space& sp, const Args& a, Body& body) {
  const auto p = with_packed_layout<kC, kLayout>(a);
  TailCheck check;
  p.each_accessor(check);
  if (check.ok) {
    run_rows(sp, p, body);
    return true;
  }
  if constexpr (kLayout + 1 < PackedLayouts<Args>::value)
    return run_packed<kC, kLayout + 1>(sp, a, body);
  return false;
}

// Runs body(position, args) once per position of the space on the CPU.
template <typename Args, typename Body>
void run_cpu(const Space& sp, const Args& a, Body body) {
  switch (cpu_traversal()) {
    case Traversal::kBlocks:
      run_blocks<Mapping::kChannelFastest>(sp, a, body);
      return;
    case Traversal::kBlocksPointsOnly:
      run_blocks<Mapping::kPointsOnly>(sp, a, body);
      return;
    case Traversal::kRows:
      break;
  }
  if constexpr (HasPackedLayout<Args>::value) {
    if (sp.NC == 1 && run_packed<1>(sp, a, body)) return;
    if (sp.NC == 2 && run_packed<2>(sp, a, body)) return;
    if constexpr (WidestPacked<Args>::value >= 4)
      if (sp.NC == 4 && run_packed<4>(sp, a, body)) return;
  }
  run_rows(sp, a, body);
}

}  // namespace vx

#ifdef VOXSTEP_WITH_CUDA
#define VX_GPU_CALL(NAME, GRID, ARGS)                              \
  do {                                                             \
    const ::vx::OnDevice on_device_((GRID).device);                \
    ::vx::Grid g_ = (GRID);                                        \
    g_.stream = on_device_.stream();                               \
    ::vx::raise_launch_error(#NAME, ::vx::gpu::NAME(g_, ARGS));    \
  } while (0)
#else
#define VX_GPU_CALL(NAME, GRID, ARGS) ::vx::no_gpu_build(#NAME)
#endif

// The host entry point of kernel NAME: nothing for an empty space, the GPU
// launcher for a CUDA device (made current by torch's device guard, on
// torch's current stream of it), the CPU loops otherwise.
#define VX_DEFINE_HOST_LAUNCH(NAME, ARGS, BODY)                                         \
  void ::vx::kernel::NAME(const ::vx::Grid& grid, const ARGS& args) {                   \
    if (grid.space.empty()) return;                                                     \
    if (grid.device >= 0) {                                                             \
      VX_GPU_CALL(NAME, grid, args);                                                    \
      return;                                                                           \
    }                                                                                   \
    ::vx::run_cpu(grid.space, args,                                                     \
                  [](const auto& q_, const auto& a_) VX_FORCE_INLINE {                  \
                    BODY(q_, a_);                                                       \
                  });                                                                   \
  }
