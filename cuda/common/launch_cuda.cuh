// Defines named __global__ kernels around a per-thread body and their
// launchers: 256 threads per block, default stream, status checked without
// synchronising.
#pragma once

#include <cuda_runtime.h>

#include "launch.h"

namespace vx {

// Launches on grid.device (switching the current device only when needed)
// and reports the launch status; never synchronises.
template <typename LaunchFn>
const char* launch_checked(const Grid& g, LaunchFn launch) {
  int previous = -1;
  if (cudaGetDevice(&previous) != cudaSuccess) return cudaGetErrorString(cudaGetLastError());
  if (previous != g.device) {
    cudaError_t e = cudaSetDevice(g.device);
    if (e != cudaSuccess) return cudaGetErrorString(e);
  }
  const dim3 grid(static_cast<unsigned>((g.points + kThreads - 1) / kThreads),
                  static_cast<unsigned>(g.rows), 1);
  launch(grid);
  const cudaError_t status = cudaGetLastError();
  if (previous != g.device) cudaSetDevice(previous);
  return status == cudaSuccess ? nullptr : cudaGetErrorString(status);
}

}  // namespace vx

// BODY(t, y, args): t = blockIdx.x * 256 + threadIdx.x, y = blockIdx.y.
#define VX_DEFINE_KERNEL(NAME, ARGS, BODY)                                         \
  __global__ void __launch_bounds__(256) NAME(const ARGS args) {                  \
    BODY(static_cast<int64_t>(blockIdx.x) * ::vx::kThreads + threadIdx.x,          \
         static_cast<int64_t>(blockIdx.y), args);                                  \
  }                                                                                \
  VX_DECLARE_KERNEL(NAME, ARGS) {                                                  \
    return ::vx::launch_checked(grid, [&](dim3 g) { NAME<<<g, ::vx::kThreads>>>(args); }); \
  }
