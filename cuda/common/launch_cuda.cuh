// Defines, for each line of a kernel table, the named __global__ kernel
// around its per-cell body and its launcher: 256 threads per block, the
// build's thread mapping (launch.h), status checked without synchronising.
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
  const dim3 grid(static_cast<unsigned>(grid_blocks<kGpuMapping>(g.space)),
                  static_cast<unsigned>(grid_rows<kGpuMapping>(g.space)), 1);
  launch(grid);
  const cudaError_t status = cudaGetLastError();
  if (previous != g.device) cudaSetDevice(previous);
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
    return ::vx::launch_checked(grid, [&](dim3 g) { ::NAME<<<g, ::vx::kThreads>>>(grid.space, args); }); \
  }
