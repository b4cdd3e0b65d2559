// The kernel side, written down once and compiled alike by the C++ compiler
// (CPU backend) and by nvcc (GPU kernels); nothing here depends on torch.
//
//   1. accessors and value types: strided tensor views, complex64 as two
//      floats, the loads and stores the bodies use;
//   2. the launch: index space, position, GPU thread mapping, kernel tables;
//   3. the Yee grid: staggering, absorbing-layer rules, what the CPU's row
//      loops tell a body about its cell;
//   4. the curl updates' per-cell bodies (magnetic, electric) and their
//      kernel tables;
//   5. with nvcc only: the GPU kernel around a body (VX_DEFINE_GPU_KERNEL).
// The CPU loops around a body are in launch_host.h.
#pragma once

#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

// =============================================================================
// 1. Accessors and value types
// =============================================================================
// Strided tensor views and the small value types every kernel body works with.
// Nothing here depends on torch, so kernel sources compile with nvcc alone.

#if defined(__CUDACC__)
#define VX_HD __host__ __device__ __forceinline__
#define VX_FORCE_INLINE  // the CPU row loops' own attribute (launch_host.h)
#define VX_UNROLL _Pragma("unroll")
#else
// Bodies must inline into the CPU's row loops for those to vectorise. An
// unoptimised build (the sanitizer build) has no vectoriser to feed: there
// every body stays out of line, compiled once per instantiation instead of
// again inside each row-loop variant that calls it.
#if defined(__OPTIMIZE__)
#define VX_FORCE_INLINE __attribute__((always_inline))
#else
#define VX_FORCE_INLINE
#endif
#define VX_HD inline VX_FORCE_INLINE
#define VX_UNROLL
#endif

namespace vx {

// What an accessor knows about its strides at compile time: nothing
// (Strided: any strided view), or the strides of its innermost axes,
// innermost last (Tail<2, 1>: [..., k, c] with two channels packed). The
// CPU's packed row loops use the second kind after checking the tensors.
struct Strided {};
template <int64_t... kTail>
struct Tail {};

template <typename S>
struct StrideTail {
  static constexpr int kCount = 0;
  VX_HD static constexpr int64_t at(int) { return 0; }
};
template <int64_t... kTail>
struct StrideTail<Tail<kTail...>> {
  static constexpr int kCount = sizeof...(kTail);
  VX_HD static constexpr int64_t at(int e) {
    constexpr int64_t v[] = {kTail...};
    return v[e];
  }
};

// A tensor handed to a kernel: data pointer plus 64-bit sizes and strides
// (counted in elements). With S = Strided any strided view works; nothing
// needs contiguity.
template <typename T, int N, typename S = Strided>
struct Acc {
  T* data;
  int64_t size[N];
  int64_t stride[N];

  // Stride of axis d: fixed by S for the innermost axes it names.
  VX_HD int64_t step(int d) const {
    using Tl = StrideTail<S>;
    return d >= N - Tl::kCount ? Tl::at(d - (N - Tl::kCount)) : stride[d];
  }

  template <typename... Ix>
  VX_HD T* ptr(Ix... ix) const {
    static_assert(sizeof...(Ix) == N, "index count must match the rank");
    const int64_t idx[N] = {static_cast<int64_t>(ix)...};
    int64_t off = 0;
    VX_UNROLL
    for (int d = 0; d < N; ++d) off += idx[d] * step(d);
    return data + off;
  }

  template <typename... Ix>
  VX_HD T& operator()(Ix... ix) const {
    return *ptr(ix...);
  }

  // Whether the strides the view really has agree with those S fixes (an
  // axis of extent 0 or 1 is never stepped along, so any stride does).
  bool fits_tail() const {
    using Tl = StrideTail<S>;
    for (int e = 0; e < Tl::kCount; ++e) {
      const int d = N - Tl::kCount + e;
      if (size[d] > 1 && stride[d] != Tl::at(e)) return false;
    }
    return true;
  }
};

// Lists a struct's accessors and nested argument blocks, for the CPU's check
// that the tensors fit the compile-time layout: each_accessor(v) calls v on
// each member named. Every accessor of an argument block goes in its list.
#define VX_ACCESSORS(...)                       \
  template <typename V>                         \
  void each_accessor(V&& v) const {             \
    ::vx::visit_all(v, __VA_ARGS__);            \
  }

template <typename V, typename... X>
void visit_all(V& v, const X&... x) {
  (v(x), ...);
}

// The accessor kinds of the field kernels by the layout of their innermost
// axes, with kC channels packed at compile time (0: strides read at run time):
//   ChanAcc  [..., k, c]      fields, auxiliaries, per-channel maps
//   PairAcc  [..., k, 2, c]   absorbing-layer auxiliaries (psi)
//   LineAcc  [..., k]         per-cell maps, profiles along z
template <int kC, int64_t... kTail>
using TailIf = std::conditional_t<kC == 0, Strided, Tail<kTail...>>;
template <typename T, int N, int kC>
using ChanAcc = Acc<T, N, TailIf<kC, kC, 1>>;
template <typename T, int N, int kC>
using PairAcc = Acc<T, N, TailIf<kC, 2 * kC, kC, 1>>;
template <typename T, int N, int kC>
using LineAcc = Acc<T, N, TailIf<kC, 1>>;

// Thread-number decomposition, t = (i * N1 + j) * N2 + k, in 32-bit unsigned
// arithmetic: the host keeps every launch below 2^31 points (so t and N1 * N2
// fit) and 32-bit division is several times cheaper than 64-bit on the GPU.
// Returns false for threads past i = N0 - 1.
VX_HD bool split3(int64_t t, int N0, int N1, int N2, int& i, int& j, int& k) {
  const uint32_t u = static_cast<uint32_t>(t);
  const uint32_t n2 = static_cast<uint32_t>(N2);
  const uint32_t plane = static_cast<uint32_t>(N1) * n2;
  const uint32_t a = u / plane;
  if (a >= static_cast<uint32_t>(N0)) return false;
  const uint32_t r = u - a * plane;
  const uint32_t b = r / n2;
  i = static_cast<int>(a);
  j = static_cast<int>(b);
  k = static_cast<int>(r - b * n2);
  return true;
}

// Batch row y = (s * NM + m) * NC + c (at most 65535 rows).
VX_HD void split_batch(int64_t y, int NM, int NC, int& s, int& m, int& c) {
  const uint32_t v = static_cast<uint32_t>(y);
  const uint32_t q = v / static_cast<uint32_t>(NC);
  c = static_cast<int>(v - q * static_cast<uint32_t>(NC));
  s = static_cast<int>(q / static_cast<uint32_t>(NM));
  m = static_cast<int>(q - static_cast<uint32_t>(s) * static_cast<uint32_t>(NM));
}

// The quiet NaN the kernels store, with the same bits on the CPU and the GPU.
VX_HD float quiet_nan() {
#if defined(__CUDA_ARCH__)
  return __int_as_float(0x7fc00000);
#else
  return std::numeric_limits<float>::quiet_NaN();
#endif
}

// f(0), f(1), ... f(kN - 1), written out rather than looped over, so that the
// CPU's vectoriser sees the calls as one loop body.
template <typename F, int... kI>
VX_HD void unrolled_calls(std::integer_sequence<int, kI...>, F&& f) {
  (f(kI), ...);
}
template <int kN, typename F>
VX_HD void unrolled(F&& f) {
  unrolled_calls(std::make_integer_sequence<int, kN>{}, f);
}

// complex64 as the kernels see it: two floats, real part first (the memory
// layout of torch.complex64), aligned like it so that one 64-bit access moves
// a value.
struct alignas(8) cfloat {
  float re, im;
};

VX_HD cfloat operator+(cfloat a, cfloat b) { return {a.re + b.re, a.im + b.im}; }
VX_HD cfloat operator-(cfloat a, cfloat b) { return {a.re - b.re, a.im - b.im}; }
VX_HD cfloat operator*(float s, cfloat a) { return {s * a.re, s * a.im}; }
VX_HD cfloat operator*(cfloat a, float s) { return {s * a.re, s * a.im}; }
VX_HD cfloat& operator+=(cfloat& a, cfloat b) { a = a + b; return a; }
VX_HD cfloat& operator-=(cfloat& a, cfloat b) { a = a - b; return a; }
// Element-wise load and store: a complex sample moved as two floats, which
// the CPU's vectoriser handles where it refuses whole-struct copies.
VX_HD float ld(const float& x) { return x; }
VX_HD cfloat ld(const cfloat& x) { return {x.re, x.im}; }
VX_HD void st(float& x, float v) { x = v; }
VX_HD void st(cfloat& x, cfloat v) {
  x.re = v.re;
  x.im = v.im;
}
// Full complex product.
VX_HD cfloat cmul(cfloat a, cfloat b) {
  return {a.re * b.re - a.im * b.im, a.im * b.re + a.re * b.im};
}
VX_HD cfloat conj(cfloat a) { return {a.re, -a.im}; }

// -x where `flip` holds, else x: the sign bit toggled as negation toggles it
// (NaNs included), with no branch or select on the flag, which the CPU's
// vectoriser turns into one mask for the whole loop.
VX_HD float negate_if(bool flip, float x) {
  const uint32_t mask = static_cast<uint32_t>(flip) << 31;
#if defined(__CUDA_ARCH__)
  return __uint_as_float(__float_as_uint(x) ^ mask);
#else
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  bits ^= mask;
  std::memcpy(&x, &bits, sizeof bits);
  return x;
#endif
}
VX_HD cfloat conj_if(bool flip, cfloat a) { return {a.re, negate_if(flip, a.im)}; }

// Atomic float addition: hardware atomics on the GPU, a compare-and-swap
// loop on the CPU backend (which runs blocks on several threads).
VX_HD void atomic_add(float* p, float v) {
#if defined(__CUDA_ARCH__)
  atomicAdd(p, v);
#else
  float old;
  __atomic_load(p, &old, __ATOMIC_RELAXED);
  float want;
  do {
    want = old + v;
  } while (!__atomic_compare_exchange(p, &old, &want, true, __ATOMIC_RELAXED,
                                      __ATOMIC_RELAXED));
#endif
}

}  // namespace vx

// =============================================================================
// 2. The launch
// =============================================================================
// The seam between host wrappers (compiled with the C++ compiler, against
// torch) and kernels (compiled with nvcc, without torch): the index space of
// a launch, the position a kernel body is called with, the GPU's thread
// mapping, and the kernel-table declarations.

namespace vx {

// The index space of one launch: batch (s, m), points (i, j, k) with k
// fastest, and channels c (the stride-1 axis of every field). Every body is
// called once per position of its space.
struct Space {
  int NS, NM;
  int N0, N1, N2;
  int NC;
  VX_HD int64_t points() const { return int64_t(N0) * N1 * N2; }
  VX_HD bool empty() const { return NS <= 0 || NM <= 0 || N0 <= 0 || N1 <= 0 || N2 <= 0 || NC <= 0; }
};

// Where a launch runs: -1 for the CPU, else the CUDA device index, and the
// stream it is queued on (torch's current stream of that device, as its
// native handle; set by the host entry point).
struct Grid {
  Space space;
  int device;
  void* stream = nullptr;
};

// The position a body is called with. A plain Cell says nothing beyond its
// coordinates; the CPU's row loops pass richer positions (yee.h).
struct Cell {
  int s, m, c;
  int i, j, k;
};

constexpr int kThreads = 256;

// GPU thread mappings of a space onto blockIdx.x * 256 + threadIdx.x (t) and
// blockIdx.y (y):
//   channel-fastest (default): t runs over points x channels with c fastest,
//     y = s * NM + m; a warp reads consecutive channels of consecutive cells.
//   points-only (the earlier mapping, kept for measurement): t runs over the
//     points, y = (s * NM + m) * NC + c.
// 32-bit arithmetic: the host keeps points x NC at most 2^32 and points below
// 2^31 (host.cpp), so t and every product fit.
enum class Mapping { kChannelFastest, kPointsOnly };

#ifdef VX_POINTS_ONLY_MAPPING
constexpr Mapping kGpuMapping = Mapping::kPointsOnly;
#else
constexpr Mapping kGpuMapping = Mapping::kChannelFastest;
#endif

// Blocks along x and rows along y of a space under a mapping.
template <Mapping kMap>
VX_HD int64_t grid_blocks(const Space& sp) {
  const int64_t threads = kMap == Mapping::kChannelFastest ? sp.points() * sp.NC : sp.points();
  return (threads + kThreads - 1) / kThreads;
}
template <Mapping kMap>
VX_HD int64_t grid_rows(const Space& sp) {
  return kMap == Mapping::kChannelFastest ? int64_t(sp.NS) * sp.NM
                                          : int64_t(sp.NS) * sp.NM * sp.NC;
}

// Position of thread `thread` of block (block, row); false past the space.
template <Mapping kMap>
VX_HD bool map_thread(const Space& sp, uint32_t block, uint32_t thread, uint32_t row, Cell& q) {
  const uint32_t t = block * static_cast<uint32_t>(kThreads) + thread;
  if (kMap == Mapping::kChannelFastest) {
    const uint32_t nc = static_cast<uint32_t>(sp.NC);
    const uint32_t p = t / nc;
    if (!split3(p, sp.N0, sp.N1, sp.N2, q.i, q.j, q.k)) return false;
    q.c = static_cast<int>(t - p * nc);
    int unused;
    split_batch(row, 1, sp.NM, q.s, unused, q.m);  // row = s * NM + m
  } else {
    if (!split3(t, sp.N0, sp.N1, sp.N2, q.i, q.j, q.k)) return false;
    split_batch(row, sp.NM, sp.NC, q.s, q.m, q.c);
  }
  return true;
}

}  // namespace vx

// Declares, for one line NAME, ARGS, BODY of a kernel table, the GPU launcher
// (defined by VX_DEFINE_GPU_KERNEL, returns nullptr or the CUDA error text) and the
// host entry point every wrapper calls (defined by launch_host.h: the GPU
// launcher for a CUDA device, the CPU traversal otherwise).
#define VX_DECLARE_KERNEL(NAME, ARGS, BODY)                     \
  namespace vx {                                                \
  namespace gpu {                                               \
  const char* NAME(const ::vx::Grid& grid, const ARGS& args);   \
  }                                                             \
  namespace kernel {                                            \
  void NAME(const ::vx::Grid& grid, const ARGS& args);          \
  }                                                             \
  }

// =============================================================================
// 3. The Yee grid
// =============================================================================
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

namespace vx {

// What the CPU's packed row loops know about a cell at compile time, per
// axis: nothing (ask the rule), that it lies in no absorbing layer, or that
// it lies in one at layer index coordinate + shift.
enum LayerHint { kAskRule, kNoLayer, kInLayer };

// A cell visited by the CPU's packed row loops, with what the loop fixes at
// compile time: the layer membership of each axis, kBelow's facts
// (row_bits), for bodies whose components are independent, which component
// this pass over the row updates (-1: all), how many channels one visit
// covers (0: channel q.c only; CellVisits), and for staged bodies, the stage
// of this visit (staged_terms).
template <int kX, int kY, int kZ, int kBelow, int kPart = -1, int kChannels = 0, int kStage = 0>
struct RowCell : Cell {
  int shift[3];
  cfloat* stash;  // staged bodies: the chunk's stored terms, cells k_base ...
  int k_base;
};

// The bits of RowCell's kBelow: whether i, j and k are at least 1 (for i
// and j only where kAskFaces is clear: the k = 0 cell of a row on an
// index-0 face asks), whether k lies below the row's last index (known only
// with kKnowsTop), the row gate (known only with kKnowsGate). The walks a
// kernel brings for its rows (launch_host.h) set the top and gate bits.
namespace row_bits {
constexpr int kAboveI = 1, kAboveJ = 2, kAboveK = 4;
constexpr int kKnowsTop = 8, kBelowTop = 16;
constexpr int kGate0 = 32, kGate1 = 64, kKnowsGate = 128;
constexpr int kAskFaces = 256;
}  // namespace row_bits

// Calls f(std::bool_constant<flags>...) with the run-time flags as
// compile-time ones.
template <typename F>
void with_flags(F&& f) {
  f();
}
template <typename F, typename... B>
void with_flags(F&& f, bool first, B... rest) {
  if (first)
    with_flags([&](auto... t) { f(std::true_type{}, t...); }, rest...);
  else
    with_flags([&](auto... t) { f(std::false_type{}, t...); }, rest...);
}

// How the CPU's row loops visit the cells of a stretch: one visit per cell
// and channel, or (kWhole) one per cell for all its channels, so that a
// body reads its per-cell values once (PositionFacts::kChannels). cells is
// the loops' own: cells(channels, stage, k0, k1, stash). A kernel may bring
// its own visits (dispersion_real.h stages its table lookups).
template <bool kWhole>
struct CellVisits {
  template <int kC, typename Cells>
  static void run(Cells& cells, int k0, int k1) {
    cells(std::integral_constant<int, kWhole ? kC : 0>{}, std::integral_constant<int, 0>{}, k0,
          k1, nullptr);
  }
};

template <typename P>
struct PositionFacts {
  template <int kAxis>
  static constexpr int kHint = kAskRule;
  template <int kAxis>
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
  template <int kAxis>
  static constexpr bool kKnowsBelow = kAxis == 2 || !(kBelow & row_bits::kAskFaces);
  template <int kAxis>
  static constexpr bool kHasBelow = (kBelow >> kAxis) & 1;
  static constexpr int kPart = kPart_;
  static constexpr bool kKnowsTop = kBelow & row_bits::kKnowsTop;
  static constexpr bool kBelowTop = kBelow & row_bits::kBelowTop;
  static constexpr bool kKnowsGate = kBelow & row_bits::kKnowsGate;
  static constexpr int kGate = (kBelow / row_bits::kGate0) & 3;
  static constexpr int kChannels = kChannels_;
  static constexpr int kStage = kStage_;
};

// Whether k < top, top being the last k index of the kernel's space (fixed
// at compile time where the kernel's row walk splits off the last cell).
template <typename P>
VX_HD bool below_top_k(const P& q, int top) {
  using Facts = PositionFacts<P>;
  if (Facts::kKnowsTop) return Facts::kBelowTop;
  return q.k < top;
}

// A body's row gate (two bits that depend on i and j only): what the
// kernel's CPU row walk fixed for the row, else `value`, the body's own.
template <typename P>
VX_HD int gate_of(const P&, int value) {
  using Facts = PositionFacts<P>;
  if (Facts::kKnowsGate) return Facts::kGate;
  return value;
}

// A CPU row walk (launch_host.h: Row, cpu_row) for a body that asks
// gate_of (its args' gate(i, j)) and below_top_k: pass kPart over each line
// of the row with the line's gate fixed and its last cell apart.
template <int kPart, typename Row>
void gated_top_pass(const Row& r) {
  static_assert(!Row::kLayered && !Row::kFaces, "a line is one stretch");
  const int top = r.sp.N2 - 1;
  r.each_line([&](auto& L) {
    const int g = r.a.gate(r.i, L.j);
    with_flags([&](auto G0, auto G1) {
      constexpr int gate = row_bits::kKnowsGate | (decltype(G0)::value ? row_bits::kGate0 : 0) |
                           (decltype(G1)::value ? row_bits::kGate1 : 0);
      if (top > 0)
        r.template stretch<kPart, gate | row_bits::kKnowsTop | row_bits::kBelowTop>(
            L, {0, top, false, 0});
      r.template stretch<kPart, gate | row_bits::kKnowsTop>(L, {top, top + 1, false, 0});
    }, (g & 1) != 0, (g & 2) != 0);
  });
}

// Staged bodies: per-cell terms that need lookups the CPU's
// vectoriser cannot do (gathers from material tables) go through
// staged_terms. The kernel's CPU row walk then runs each stretch in chunks of
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
// z): always, except in the one-component passes of a kernel's CPU row walk,
// which keep the number of memory streams a row loop walks small.
template <int kComp, typename P>
VX_HD constexpr bool in_part(const P&) {
  return PositionFacts<P>::kPart < 0 || PositionFacts<P>::kPart == kComp;
}

// Whether the cell has a neighbour at index - 1 along kAxis.
template <int kAxis, typename P>
VX_HD bool has_below(const P& q) {
  using Facts = PositionFacts<P>;
  if (Facts::template kKnowsBelow<kAxis>) return Facts::template kHasBelow<kAxis>;
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
// kC > 0: the CPU's packed layout (yee.h: accessors).
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

// =============================================================================
// 4a. The magnetic update
// =============================================================================
// Magnetic update: per-cell body shared by the real (float) and complex
// (cfloat) modules. H += curl terms of the forward-differenced E field, then
// the CPML auxiliaries of every axis the cell lies in, in the order x, y, z.

namespace vx {

// kC > 0: the CPU's packed layout (yee.h: accessors).
template <typename F, int kC = 0>
struct UpdateHArgs {
  ChanAcc<F, 6, kC> Hx, Hy, Hz, Ex, Ey, Ez;
  CurlSet<F, kC> cs;
  int NM, NC, Nx, Ny, Nz;

  template <int kC2, int = 0>
  using WithChannels = UpdateHArgs<F, kC2>;
  static constexpr int kPacked = kC;
  static constexpr bool kLayered = true;
  VX_HD LayerIndex layer(int axis, int x) const {
    return cs.template rule<false>(axis, x, axis == 0 ? Nx : axis == 1 ? Ny : Nz);
  }
  VX_ACCESSORS(Hx, Hy, Hz, Ex, Ey, Ez, cs)
};

// kGroupByAxis: the complex module accumulates the curl terms grouped by
// difference axis (x, y, z) instead of by component; the sum is the same.
template <typename F, bool kGroupByAxis, typename P, typename Args>
VX_HD void update_h_cell(const P& q, const Args& a) {
  const int s = q.s, m = q.m, i = q.i, j = q.j, k = q.k, c = q.c;

  const F ex = ld(a.Ex(s, m, i, j, k, c)), ey = ld(a.Ey(s, m, i, j, k, c)), ez = ld(a.Ez(s, m, i, j, k, c));
  const F dyEx = ld(a.Ex(s, m, i, j + 1, k, c)) - ex;
  const F dzEx = ld(a.Ex(s, m, i, j, k + 1, c)) - ex;
  const F dxEy = ld(a.Ey(s, m, i + 1, j, k, c)) - ey;
  const F dzEy = ld(a.Ey(s, m, i, j, k + 1, c)) - ey;
  const F dxEz = ld(a.Ez(s, m, i + 1, j, k, c)) - ez;
  const F dyEz = ld(a.Ez(s, m, i, j + 1, k, c)) - ez;
  const float cx = a.cs.Cx(i), cy = a.cs.Cy(j), cz = a.cs.Cz(k);

  F hx = ld(a.Hx(s, m, i, j, k, c)), hy = ld(a.Hy(s, m, i, j, k, c)), hz = ld(a.Hz(s, m, i, j, k, c));

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
  add_layer_terms<0, false>(q, a, dxEz, dxEy, hy, hz);
  add_layer_terms<1, false>(q, a, dyEx, dyEz, hz, hx);
  add_layer_terms<2, false>(q, a, dzEy, dzEx, hx, hy);

  st(a.Hx(s, m, i, j, k, c), hx);
  st(a.Hy(s, m, i, j, k, c), hy);
  st(a.Hz(s, m, i, j, k, c), hz);
}

}  // namespace vx

// Kernel table of the magnetic update (VX_DECLARE_KERNEL), one line per field
// type; curl.cpp and curl.cu define them.
#define VX_UPDATE_H_KERNELS(X)                                                       \
  X(Update_H_GPU, vx::UpdateHArgs<float>, (vx::update_h_cell<float, false>))         \
  X(Update_H_GPU, vx::UpdateHArgs<vx::cfloat>, (vx::update_h_cell<vx::cfloat, true>))

VX_UPDATE_H_KERNELS(VX_DECLARE_KERNEL)

// =============================================================================
// 4b. The electric update
// =============================================================================
// Electric update: per-thread body shared by the real (float) and complex
// (cfloat) modules. Each component is scaled by its per-cell factor and gets
// the curl of the backward-differenced H field (skipped on its index-0
// transverse faces), then the CPML auxiliaries of every axis the cell lies
// in add their terms, in the order x, y, z.

namespace vx {

// The per-cell maps' accessors: strides read at run time (kStep < 0), or,
// in the CPU's packed layouts, a step of kStep elements per cell along k --
// 1 for whole maps, 0 for the stride-0 expansions of one value that vacuum
// drivers pass.
template <int KN, int kC, int kStep>
struct MapLayout {
  using Keep = Acc<float, KN>;
  using Loss = Acc<float, 4>;
};
template <int kC, int kStep>
struct MapLayout<4, kC, kStep> {
  using Keep = std::conditional_t<(kC > 0 && kStep >= 0), Acc<float, 4, Tail<kStep>>, Acc<float, 4>>;
  using Loss = Keep;
};
template <int kC, int kStep>
struct MapLayout<5, kC, kStep> {
  using Keep = std::conditional_t<(kC > 0 && kStep >= 0), Acc<float, 5, Tail<kC * kStep, kStep>>,
                                  Acc<float, 5>>;
  using Loss = typename MapLayout<4, kC, kStep>::Keep;
};

// KN: rank of the keep tensors, 4 ([m, i, j, k]) in the real module, 5
// ([m, i, j, k, c], one factor per channel) in the complex module. kC > 0:
// the CPU's packed layout (yee.h: accessors), with the maps' step kStep.
template <typename F, int KN, int kC = 0, int kStep = -1>
struct UpdateEArgs {
  ChanAcc<F, 6, kC> Ex, Ey, Ez, Hx, Hy, Hz;
  typename MapLayout<KN, kC, kStep>::Keep keep_x, keep_y, keep_z;
  typename MapLayout<KN, kC, kStep>::Loss loss_x, loss_y, loss_z;
  CurlSet<F, kC> cs;
  int NM, NC, Nx, Ny, Nz;

  // Layout 0: whole maps; layout 1: maps expanded from one value.
  template <int kC2, int kLayout = 0>
  using WithChannels = UpdateEArgs<F, KN, kC2, kLayout == 0 ? 1 : 0>;
  static constexpr int kLayouts = 2;
  static constexpr int kPacked = kC;
  static constexpr bool kFaces = true;  // the body tests has_below
  static constexpr bool kLayered = true;
  VX_HD LayerIndex layer(int axis, int x) const {
    return cs.template rule<true>(axis, x, axis == 0 ? Nx : axis == 1 ? Ny : Nz);
  }
  VX_ACCESSORS(Ex, Ey, Ez, Hx, Hy, Hz, keep_x, keep_y, keep_z, loss_x, loss_y, loss_z, cs)
};

// The argument blocks of the two modules (aliases keep commas out of the
// kernel tables).
using UpdateERealArgs = UpdateEArgs<float, 4>;
using UpdateEComplexArgs = UpdateEArgs<cfloat, 5>;

template <typename S>
VX_HD float keep_at(const Acc<float, 4, S>& keep, int m, int i, int j, int k, int /*c*/) {
  return keep(m, i, j, k);
}
template <typename S>
VX_HD float keep_at(const Acc<float, 5, S>& keep, int m, int i, int j, int k, int c) {
  return keep(m, i, j, k, c);
}

// The samples the curl step writes: both transverse indices nonzero.
template <typename P>
VX_HD bool curl_writes_x(const P& q) { return has_below<1>(q) && has_below<2>(q); }
template <typename P>
VX_HD bool curl_writes_y(const P& q) { return has_below<0>(q) && has_below<2>(q); }
template <typename P>
VX_HD bool curl_writes_z(const P& q) { return has_below<0>(q) && has_below<1>(q); }

template <typename F, int KN, typename P, typename Args>
VX_HD void update_e_cell(const P& q, const Args& a) {
  const int s = q.s, m = q.m, i = q.i, j = q.j, k = q.k, c = q.c;

  const F hx = ld(a.Hx(s, m, i, j, k, c));
  const F hy = ld(a.Hy(s, m, i, j, k, c));
  const F hz = ld(a.Hz(s, m, i, j, k, c));
  // Backward differences; index 0 of an axis has none (every use of one
  // below is guarded by a nonzero index along its axis).
  const F zero{};
  const bool bx = has_below<0>(q), by = has_below<1>(q), bz = has_below<2>(q);
  const F dxHy = bx ? hy - ld(a.Hy(s, m, i - 1, j, k, c)) : zero;
  const F dxHz = bx ? hz - ld(a.Hz(s, m, i - 1, j, k, c)) : zero;
  const F dyHx = by ? hx - ld(a.Hx(s, m, i, j - 1, k, c)) : zero;
  const F dyHz = by ? hz - ld(a.Hz(s, m, i, j - 1, k, c)) : zero;
  const F dzHx = bz ? hx - ld(a.Hx(s, m, i, j, k - 1, c)) : zero;
  const F dzHy = bz ? hy - ld(a.Hy(s, m, i, j, k - 1, c)) : zero;
  const float cx = a.cs.Cx(i), cy = a.cs.Cy(j), cz = a.cs.Cz(k);

  F ex = ld(a.Ex(s, m, i, j, k, c));
  F ey = ld(a.Ey(s, m, i, j, k, c));
  F ez = ld(a.Ez(s, m, i, j, k, c));
  bool wx = false, wy = false, wz = false;

  if (curl_writes_x(q)) {
    const float f = keep_at(a.keep_x, m, i, j, k, c) - a.loss_x(m, i, j, k);
    ex = (f * ex + cy * dyHz) - cz * dzHy;
    wx = true;
  }
  if (curl_writes_y(q)) {
    const float f = keep_at(a.keep_y, m, i, j, k, c) - a.loss_y(m, i, j, k);
    ey = (f * ey + cz * dzHx) - cx * dxHz;
    wy = true;
  }
  if (curl_writes_z(q)) {
    const float f = keep_at(a.keep_z, m, i, j, k, c) - a.loss_z(m, i, j, k);
    ez = (f * ez + cx * dxHy) - cy * dyHx;
    wz = true;
  }

  // Layer terms carry the sign of the curl term that differences the same
  // H component along the layer's axis; they are added unscaled, also on the
  // index-0 faces of the other axes that the curl step skipped.
  if (add_layer_terms<0, true>(q, a, dxHz, dxHy, ey, ez)) wy = wz = true;
  if (add_layer_terms<1, true>(q, a, dyHx, dyHz, ez, ex)) wz = wx = true;
  if (add_layer_terms<2, true>(q, a, dzHy, dzHx, ex, ey)) wx = wy = true;

  if (wx) st(a.Ex(s, m, i, j, k, c), ex);
  if (wy) st(a.Ey(s, m, i, j, k, c), ey);
  if (wz) st(a.Ez(s, m, i, j, k, c), ez);
}

}  // namespace vx

// Kernel table of the electric update (VX_DECLARE_KERNEL), one line per field
// type; curl.cpp and curl.cu define them.
#define VX_UPDATE_E_KERNELS(X)                                                  \
  X(Update_E_GPU, vx::UpdateERealArgs, (vx::update_e_cell<float, 4>))           \
  X(Update_E_GPU, vx::UpdateEComplexArgs, (vx::update_e_cell<vx::cfloat, 5>))

VX_UPDATE_E_KERNELS(VX_DECLARE_KERNEL)

// =============================================================================
// 5. GPU kernels (nvcc only)
// =============================================================================
#if defined(__CUDACC__)

#include <cuda_runtime.h>

// Defines, for each line of a kernel table, the named __global__ kernel
// around its per-cell body and its launcher: 256 threads per block, the
// build's thread mapping (section 2), on the grid's stream (the host entry
// point has made the grid's device current through torch's device guard),
// status checked without synchronising.

namespace vx {

// Queues the launch and reports its status; never synchronises.
template <typename LaunchFn>
const char* launch_checked(const Grid& g, LaunchFn launch) {
  const dim3 grid(static_cast<unsigned>(grid_blocks<kGpuMapping>(g.space)),
                  static_cast<unsigned>(grid_rows<kGpuMapping>(g.space)), 1);
  launch(grid, static_cast<cudaStream_t>(g.stream));
  const cudaError_t status = cudaGetLastError();
  return status == cudaSuccess ? nullptr : cudaGetErrorString(status);
}

}  // namespace vx

// The kernel NAME calls BODY(position, args) once per position of its space.
#define VX_DEFINE_GPU_KERNEL(NAME, ARGS, BODY)                                              \
  __global__ void __launch_bounds__(256) NAME(const ::vx::Space space, const ARGS args) {   \
    ::vx::Cell q;                                                                           \
    if (::vx::map_thread<::vx::kGpuMapping>(space, blockIdx.x, threadIdx.x, blockIdx.y, q)) \
      BODY(q, args);                                                                        \
  }                                                                                         \
  const char* ::vx::gpu::NAME(const ::vx::Grid& grid, const ARGS& args) {                   \
    return ::vx::launch_checked(grid, [&](dim3 g, cudaStream_t st) {                        \
      ::NAME<<<g, ::vx::kThreads, 0, st>>>(grid.space, args);                               \
    });                                                                                     \
  }

#endif  // __CUDACC__
