// The seam between host wrappers (compiled with the C++ compiler, against
// torch) and GPU kernels (compiled with nvcc, without torch).
#pragma once

#include <cstdint>

namespace vx {

// One launch: `points` threads along grid.x (rounded up to blocks of 256),
// `rows` block rows along grid.y, on CUDA device `device`.
struct Grid {
  int64_t points;
  int64_t rows;
  int device;
};

constexpr int kThreads = 256;

}  // namespace vx

// Declares the GPU launcher of kernel NAME taking an argument block ARGS.
// The launcher returns nullptr, or the CUDA error text when the launch failed.
#define VX_DECLARE_KERNEL(NAME, ARGS) \
  const char* launch_##NAME(const ::vx::Grid& grid, const ARGS& args)
