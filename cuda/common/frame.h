// Host side of the launch frame: accessors, device choice, pre-launch
// validation and the two backends (GPU launcher or the CPU loop over the same
// block/thread space).
#pragma once

#include <ATen/Parallel.h>
#include <ATen/core/Tensor.h>
#include <c10/util/Exception.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "acc.h"
#include "launch.h"

#if defined(__x86_64__) || defined(__SSE2__)
#include <xmmintrin.h>
#define VX_HAVE_MXCSR 1
#endif

namespace vx {

// Every bound function takes its tensors by const reference.
using Tn = const at::Tensor&;

// Packed accessor through torch's own packed_accessor64, so a wrong rank or
// element type raises torch's own error before anything is launched.
template <typename T, int N>
Acc<T, N> acc(const at::Tensor& t) {
  auto p = t.packed_accessor64<T, N>();
  Acc<T, N> a;
  a.data = p.data();
  for (int d = 0; d < N; ++d) {
    a.size[d] = p.size(d);
    a.stride[d] = p.stride(d);
  }
  return a;
}

// complex64 tensors reach the kernels as pairs of floats.
template <int N>
Acc<cfloat, N> cacc(const at::Tensor& t) {
  auto p = t.packed_accessor64<c10::complex<float>, N>();
  Acc<cfloat, N> a;
  a.data = reinterpret_cast<cfloat*>(p.data());
  for (int d = 0; d < N; ++d) {
    a.size[d] = p.size(d);
    a.stride[d] = p.stride(d);
  }
  return a;
}

template <typename F, int N>
Acc<F, N> field_acc(const at::Tensor& t);
template <>
inline Acc<float, 6> field_acc<float, 6>(const at::Tensor& t) { return acc<float, 6>(t); }
template <>
inline Acc<float, 7> field_acc<float, 7>(const at::Tensor& t) { return acc<float, 7>(t); }
template <>
inline Acc<cfloat, 6> field_acc<cfloat, 6>(const at::Tensor& t) { return cacc<6>(t); }
template <>
inline Acc<cfloat, 7> field_acc<cfloat, 7>(const at::Tensor& t) { return cacc<7>(t); }

// A tensor argument with its name, for error messages.
using Named = std::pair<const char*, const at::Tensor*>;

// The device a call runs on: that of its first tensor (-1 for the CPU, else
// the CUDA index). Every other listed tensor must live there too.
int resolve_device(const char* fn, std::initializer_list<Named> tensors);

// Checks that `t` is at least `mins` along each axis (-1: axis not checked).
void require_extent(const char* fn, const char* name, const at::Tensor& t,
                    std::initializer_list<int64_t> mins);

// Checks that `t` has at least `count` elements.
void require_numel(const char* fn, const char* name, const at::Tensor& t, int64_t count);

// Limits of the 6-D field launch: extents below 65536, Nx*Ny*Nz below 2^31,
// NS*NM*NC at most 65535 (CUDA's limit on grid.y).
void check_field_grid(const char* fn, int64_t NS, int64_t NM, int64_t NC, int64_t Nx,
                      int64_t Ny, int64_t Nz);

// Limits of any launch: points below 2^31, rows at most 65535.
void check_grid(const char* fn, int64_t points, int64_t rows, const char* rows_what);

// Raises when a GPU launcher reported a failure.
void raise_launch_error(const char* kernel, const char* error);

// Raised when a CUDA tensor reaches a build without GPU code.
[[noreturn]] void no_gpu_build(const char* fn);

// Waits for every queued kernel on `device` (status ignored).
void device_synchronize(int device);

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

// The CPU backend: runs body(t, y, args) over the same (block, thread) space
// the GPU launch covers, blocks spread over torch's intra-op threads.
template <typename Args, typename Body>
void run_host(const Grid& g, const Args& args, Body body) {
  const int64_t blocks = (g.points + kThreads - 1) / kThreads;
  const int64_t total = blocks * g.rows;
  at::parallel_for(0, total, 1, [&](int64_t b0, int64_t b1) {
    FlushSubnormals ftz;
    for (int64_t b = b0; b < b1; ++b) {
      const int64_t y = b / blocks;
      const int64_t base = (b % blocks) * kThreads;
      for (int tid = 0; tid < kThreads; ++tid) body(base + tid, y, args);
    }
  });
}

}  // namespace vx

#ifdef VOXSTEP_WITH_CUDA
#define VX_GPU_LAUNCH(NAME, GRID, ARGS) \
  ::vx::raise_launch_error(#NAME, launch_##NAME(GRID, ARGS))
#else
#define VX_GPU_LAUNCH(NAME, GRID, ARGS) ::vx::no_gpu_build(#NAME)
#endif

// Runs kernel NAME (per-thread body BODY) on the grid's device: the GPU
// launcher for a CUDA index, the CPU loop otherwise. An empty grid launches
// nothing.
#define VX_LAUNCH(NAME, BODY, GRID, ARGS)                                              \
  do {                                                                                 \
    const ::vx::Grid vx_grid_ = (GRID);                                                \
    if (vx_grid_.points <= 0 || vx_grid_.rows <= 0) break;                             \
    if (vx_grid_.device >= 0) {                                                        \
      VX_GPU_LAUNCH(NAME, vx_grid_, ARGS);                                             \
    } else {                                                                           \
      ::vx::run_host(vx_grid_, ARGS,                                                   \
                     [](int64_t t_, int64_t y_, const auto& a_) { BODY(t_, y_, a_); }); \
    }                                                                                  \
  } while (0)
