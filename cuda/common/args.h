// The tensor arguments of one call, each named once by its own identifier,
// and the checks every bound function makes on them before anything else.
//
// Check order, the same in every wrapper:
//   1. devices: every tensor on the device of the first one (tensors read on
//      the host, such as positions and margins, may live on the CPU);
//   2. ranks and element types, in argument order (torch's exception type,
//      with the function and argument named);
//   3. extents (ValueError naming the argument), read by the wrapper;
//   4. launch limits and the 32-bit range of positions, planes and counts;
//   5. layouts of written tensors: no pending conjugate or negative bit, no
//      element stored twice, no memory shared with any other argument
//      (inputs may share memory with each other and may be expanded views;
//      their pending bits are resolved into a temporary).
// Steps 1 and 2 run when the Call is made, 3 and 4 in the wrapper, 5 in
// Call::check_written(), which every wrapper calls last, also on the paths
// that launch nothing. Nothing is launched or written before all five pass.
#pragma once

#include <ATen/core/Tensor.h>

#include <initializer_list>
#include <type_traits>
#include <vector>

#include "frame.h"

namespace vx {

enum class Role : unsigned char {
  In,    // read by the kernel on the call's device
  Out,   // written (and possibly read) by the kernel
  Host,  // small tensor read element by element on the host (any CPU/CUDA device)
};

// One tensor argument: its name, role, and the rank and element type its
// kernel accessor takes (rank -1 / Undefined: any).
struct Arg {
  const char* name;
  const at::Tensor* t;
  Role role;
  int rank;
  at::ScalarType dtype;
};

// Element types by the kernels' names for them; kField<F> is the field type.
constexpr at::ScalarType kF32 = at::kFloat;
constexpr at::ScalarType kC64 = at::kComplexFloat;
constexpr at::ScalarType kI32 = at::kInt;
constexpr at::ScalarType kU8 = at::kByte;
constexpr at::ScalarType kAny = at::ScalarType::Undefined;
template <typename F>
constexpr at::ScalarType kField = std::is_same<F, float>::value ? kF32 : kC64;

}  // namespace vx

// An argument named by its identifier: VX_IN(Ex, 6, vx::kF32).
#define VX_IN(T, RANK, DTYPE) ::vx::Arg{#T, &(T), ::vx::Role::In, RANK, DTYPE}
#define VX_OUT(T, RANK, DTYPE) ::vx::Arg{#T, &(T), ::vx::Role::Out, RANK, DTYPE}
#define VX_HOST(T) ::vx::Arg{#T, &(T), ::vx::Role::Host, -1, ::vx::kAny}

namespace vx {

// Runs checks 1 and 2 over the arguments of function `fn` on construction
// and check 5 on check_written(); hands out accessors (input views with
// pending bits resolved into temporaries that live as long as the Call).
class Call {
 public:
  Call(const char* fn, std::initializer_list<Arg> args);

  // Check 5: the layouts of the written tensors.
  void check_written() const;

  const char* fn() const { return fn_; }
  int device() const { return device_; }

  // The tensor a kernel may read for `t`: `t` itself, or its resolved copy.
  const at::Tensor& in(const at::Tensor& t);

  template <typename T, int N>
  Acc<T, N> acc(const at::Tensor& t) { return vx::acc<T, N>(in(t)); }
  template <int N>
  Acc<cfloat, N> cacc(const at::Tensor& t) { return vx::cacc<N>(in(t)); }
  template <typename F, int N>
  Acc<F, N> field_acc(const at::Tensor& t) { return vx::field_acc<F, N>(in(t)); }
  // The accessors of three tensors (the x, y, z members of a block); T is
  // float, int32_t, uint8_t or the field type (complex64 as cfloat).
  template <typename T, int N, typename A>
  void accessors(A& x, A& y, A& z, const at::Tensor& tx, const at::Tensor& ty,
                 const at::Tensor& tz) {
    x = field_acc<T, N>(tx);
    y = field_acc<T, N>(ty);
    z = field_acc<T, N>(tz);
  }

 private:
  const char* fn_;
  std::vector<Arg> args_;
  int device_;
  std::vector<at::Tensor> resolved_;  // pairs: original, resolved copy
};

// Checks 1 and 2 (returns the device), and check 5.
int check_devices_ranks_dtypes(const char* fn, c10::ArrayRef<Arg> args);
void check_written(const char* fn, c10::ArrayRef<Arg> args);

// Whether two tensors may share an element (torch's overlap helpers, then an
// exact test for layouts they leave undecided).
bool may_overlap(const at::Tensor& a, const at::Tensor& b);

// Whether a tensor stores two of its elements at one address.
bool overlaps_itself(const at::Tensor& t);

// A Python int or an element read on the host that the kernels take as a
// 32-bit integer: ValueError naming it when it does not fit.
int to_int32(const char* fn, const char* name, int64_t v);

// The first `count` (at most 3) elements, in row-major order, of a small
// tensor of integer-like values read on the host (margins, positions,
// ranges): any real or complex numeric type, on the CPU or a CUDA device,
// read by its values (pending conjugate and negative bits resolved; one copy
// from a GPU). Floating values are truncated towards zero. Raises ValueError
// naming `fn` and `name` when the tensor has fewer elements (`what` names
// them), or an element is NaN, infinite, complex with an imaginary part, or
// beyond the 64-bit range.
class HostInts {
 public:
  HostInts(const char* fn, const char* name, const at::Tensor& t, int count, const char* what);
  int64_t operator[](int i) const { return v_[i]; }

 private:
  int64_t v_[3] = {0, 0, 0};
};

}  // namespace vx
