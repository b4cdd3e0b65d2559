// Host side of the launch frame: accessors, device choice and pre-launch
// validation. The backends themselves are in launch_host.h (CPU loops, host
// entry points) and launch_cuda.cuh (GPU kernels).
#pragma once

#include <ATen/core/Tensor.h>
#include <c10/core/DeviceGuard.h>
#include <c10/util/ArrayRef.h>
#include <c10/util/Exception.h>

#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>

#include "acc.h"
#include "launch.h"

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

// A field-typed accessor: float, or complex64 as pairs of floats.
template <typename F, int N>
Acc<F, N> field_acc(const at::Tensor& t) {
  if constexpr (std::is_same<F, cfloat>::value) {
    return cacc<N>(t);
  } else {
    return acc<F, N>(t);
  }
}

// A tensor argument with its name, for error messages.
using Named = std::pair<const char*, const at::Tensor*>;

// The device a call runs on: that of its first tensor (-1 for the CPU, else
// the CUDA index). Every other listed tensor must live there too.
int resolve_device(const char* fn, c10::ArrayRef<Named> tensors);

// a * b of extents and counts (non-negative), saturated at INT64_MAX: a
// product of huge (expanded or empty) extents fails the limit it is checked
// against instead of wrapping.
int64_t mul_sat(int64_t a, int64_t b);
int64_t mul_sat(std::initializer_list<int64_t> factors);

// Checks that `t` is at least `mins` along each axis (-1: axis not checked).
void require_extent(const char* fn, const char* name, const at::Tensor& t,
                    std::initializer_list<int64_t> mins);

// require_extent with the argument named by its identifier.
#define VX_REQUIRE_EXTENT(FN, T, ...) ::vx::require_extent(FN, #T, T, __VA_ARGS__)

// Checks that `t` has at least `count` elements.
void require_numel(const char* fn, const char* name, const at::Tensor& t, int64_t count);

// Limits of the 6-D field launch: extents below 65536, Nx*Ny*Nz below 2^31,
// NS*NM*NC at most 65535 (CUDA's limit on grid.y).
void check_field_grid(const char* fn, int64_t NS, int64_t NM, int64_t NC, int64_t Nx,
                      int64_t Ny, int64_t Nz);

// Limits of any launch: points below 2^31, rows at most 65535 (pass counts
// formed with mul_sat).
void check_grid(const char* fn, int64_t points, int64_t rows, const char* rows_what);

// The launch over batch NS x NM, points N0 x N1 x N2 and NC channels on
// `device`, after the last limit of the GPU's thread numbering: points x NC
// at most 2^32 (the callers have checked the others).
Grid make_grid(const char* fn, int64_t NS, int64_t NM, int64_t N0, int64_t N1, int64_t N2,
               int64_t NC, int device);

// Raises when a GPU launcher reported a failure.
void raise_launch_error(const char* kernel, const char* error);

// Raised when a CUDA tensor reaches a build without GPU code.
[[noreturn]] void no_gpu_build(const char* fn);

// CUDA device `device` made current through torch's device guard for the
// object's lifetime, and torch's current stream on it (its native handle).
// Device-generic torch APIs only: the host code needs no CUDA headers.
class OnDevice {
 public:
  explicit OnDevice(int device);
  void* stream() const { return stream_; }

 private:
  c10::DeviceGuard guard_;
  void* stream_;
};

// Waits for everything queued on CUDA device `device` (device-wide); a
// fault raises naming `fn`.
void synchronize_device(const char* fn, int device);

// How the CPU backend walks a space (launch_host.h): row loops in memory
// order, or the GPU's thread decomposition block by block under either
// mapping. A process-wide setting of each module, for measurement and tests.
enum class Traversal { kRows, kBlocks, kBlocksPointsOnly };
Traversal cpu_traversal();
void set_cpu_traversal(Traversal t);

}  // namespace vx

