// Strided tensor views and the small value types every kernel body works with.
// Nothing here depends on torch, so kernel sources compile with nvcc alone.
#pragma once

#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

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
