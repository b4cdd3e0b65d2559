// Defines, for each line of a kernel table, the named __global__ kernel
// around its per-cell body and its launcher: 256 threads per block, the
// build's thread mapping (launch.h), on the grid's stream (the host entry
// point has made the grid's device current through torch's device guard),
// status checked without synchronising.
#pragma once

#include <cuda_runtime.h>

#include "launch.h"

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
