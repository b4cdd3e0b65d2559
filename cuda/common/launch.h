// The seam between host wrappers (compiled with the C++ compiler, against
// torch) and kernels (compiled with nvcc, without torch): the index space of
// a launch, the position a kernel body is called with, the GPU's thread
// mapping, and the kernel-table declarations.
#pragma once

#include <cstdint>

#include "acc.h"

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
// 2^31 (frame.cpp), so t and every product fit.
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
// (defined by launch_cuda.cuh, returns nullptr or the CUDA error text) and the
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
