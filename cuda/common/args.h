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
#include <c10/core/DefaultDtype.h>

#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <vector>

#include "frame.h"

namespace vx {

enum class Role : unsigned char {
  In,      // read by the kernel on the call's device
  Out,     // written (and possibly read) by the kernel
  Host,    // small tensor read element by element on the host (any CPU/CUDA device)
  Unused,  // a tensor accepted and never accessed
  Int,     // a Python int
  Bool,    // a Python bool
};

// One tensor argument: its name, role, and the rank and element type its
// kernel accessor takes (rank -1 / Undefined: any). `lead`: checked before
// the others, its device is the call's.
struct Arg {
  const char* name;
  const at::Tensor* t;
  Role role;
  int rank;
  at::ScalarType dtype;
  bool lead = false;
};

// One argument as the argument table declares it (Python scalars included).
struct ArgInfo {
  const char* name;
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
// The floating type torch creates tensors with (Mat_average's map and result).
inline at::ScalarType default_float() { return c10::get_default_dtype_as_scalartype(); }

}  // namespace vx

// ---------------------------------------------------------------------------
// Argument tables. Every bound function's arguments are one list, declared
// once: LIST(X, T) expands X(name, role, rank, dtype) per argument in call
// order, T being the module's field type (kF32 or kC64). Roles:
//   Out     a tensor the function writes (and may read)
//   In      a tensor read on the call's device
//   Lead    as In, checked first: its device is the call's
//   Host    a small tensor of any shape and numeric type read on the host
//   Unused  a tensor accepted and never accessed
//   Int, Bool  Python scalars
// rank -1 and dtype kAny accept any. From a list come the function's
// parameters (VX_PARAMS), the checks of its tensors (VX_CHECKS: devices,
// ranks, element types, written layouts and overlaps, with the names in the
// messages) and the description the module exports as `_arguments`
// (VX_DESCRIBE), from which the type stubs and the tests' tables are made.

#define VX_TYPE_In ::vx::Tn
#define VX_TYPE_Lead ::vx::Tn
#define VX_TYPE_Out ::vx::Tn
#define VX_TYPE_Host ::vx::Tn
#define VX_TYPE_Unused ::vx::Tn
#define VX_TYPE_Int int64_t
#define VX_TYPE_Bool bool

#define VX_DROP_FIRST_(first, ...) __VA_ARGS__
#define VX_DROP_FIRST(...) VX_DROP_FIRST_(__VA_ARGS__)

#define VX_PARAM_(n, role, rank, dtype) , VX_TYPE_##role n
#define VX_NAME_(n, role, rank, dtype) , n
// The C++ parameter list: `Tn Hx, Tn Hy, ..., int64_t kp`.
#define VX_PARAMS(LIST, T) VX_DROP_FIRST(LIST(VX_PARAM_, T))
// The parameter names, to forward them: `Hx, Hy, ..., kp`.
#define VX_NAMES(LIST, T) VX_DROP_FIRST(LIST(VX_NAME_, T))

#define VX_CHECK_In(n, rank, dtype) ::vx::Arg{#n, &(n), ::vx::Role::In, rank, ::vx::dtype},
#define VX_CHECK_Lead(n, rank, dtype) \
  ::vx::Arg{#n, &(n), ::vx::Role::In, rank, ::vx::dtype, true},
#define VX_CHECK_Out(n, rank, dtype) ::vx::Arg{#n, &(n), ::vx::Role::Out, rank, ::vx::dtype},
#define VX_CHECK_Host(n, rank, dtype) ::vx::Arg{#n, &(n), ::vx::Role::Host, -1, ::vx::kAny},
#define VX_CHECK_Unused(n, rank, dtype)
#define VX_CHECK_Int(n, rank, dtype)
#define VX_CHECK_Bool(n, rank, dtype)
#define VX_CHECK_(n, role, rank, dtype) VX_CHECK_##role(n, rank, dtype)
// The checked tensors, for a Call: `{VX_CHECKS(LIST, T)}`.
#define VX_CHECKS(LIST, T) LIST(VX_CHECK_, T)

#define VX_ROLE_In In
#define VX_ROLE_Lead In
#define VX_ROLE_Out Out
#define VX_ROLE_Host Host
#define VX_ROLE_Unused Unused
#define VX_ROLE_Int Int
#define VX_ROLE_Bool Bool
#define VX_DESCRIBE_(n, role, rank, dtype) \
  ::vx::ArgInfo{#n, ::vx::Role::VX_ROLE_##role, rank, ::vx::dtype},
// Every argument as the table declares it: `{VX_DESCRIBE(LIST, T)}`.
#define VX_DESCRIBE(LIST, T) LIST(VX_DESCRIBE_, T)

// The lists both modules share.

// The curl profiles, CPML auxiliaries, layer profiles and thicknesses.
#define VX_ARGS_CURL_SET(X, T)                                                   \
  X(Cx, In, 1, kF32) X(Cy, In, 1, kF32) X(Cz, In, 1, kF32) X(psi_x, Out, 7, T)  \
  X(psi_y, Out, 7, T) X(psi_z, Out, 7, T) X(bx, In, 1, kF32) X(by, In, 1, kF32) \
  X(bz, In, 1, kF32) X(gx, In, 1, kF32) X(gy, In, 1, kF32) X(gz, In, 1, kF32)   \
  X(n_layer, In, 1, kI32)

#define VX_ARGS_UPDATE_H(X, T)                                                      \
  X(Hx, Out, 6, T) X(Hy, Out, 6, T) X(Hz, Out, 6, T) X(Ex, In, 6, T) X(Ey, In, 6, T) \
  X(Ez, In, 6, T) VX_ARGS_CURL_SET(X, T) X(unused, Unused, -1, kAny)

// keep_*: one factor per cell (4-D) in the real module, per cell and channel
// (5-D) in the complex one.
#define VX_KEEP_RANK(T) (::vx::T == ::vx::kC64 ? 5 : 4)
#define VX_ARGS_UPDATE_E(X, T)                                                        \
  X(Ex, Out, 6, T) X(Ey, Out, 6, T) X(Ez, Out, 6, T) X(Hx, In, 6, T) X(Hy, In, 6, T)   \
  X(Hz, In, 6, T) X(keep_x, In, VX_KEEP_RANK(T), kF32)                                 \
  X(keep_y, In, VX_KEEP_RANK(T), kF32) X(keep_z, In, VX_KEEP_RANK(T), kF32)            \
  X(loss_x, In, 4, kF32) X(loss_y, In, 4, kF32) X(loss_z, In, 4, kF32)                 \
  VX_ARGS_CURL_SET(X, T) X(unused, Unused, -1, kAny)

#define VX_ARGS_UPDATE_E_PERIODIC(X, T)                                            \
  X(Ex, Out, 6, T) X(Ey, Out, 6, T) X(Ez, Out, 6, T) X(phase_x, In, 2, T)           \
  X(phase_y, In, 2, T) X(periodic, In, 1, kI32) X(positive_phase, Bool, -1, kAny)

#define VX_ARGS_INJECT_J(X, T)                                                          \
  X(Ex, Out, 6, T) X(Ey, Out, 6, T) X(Ez, Out, 6, T) X(Jx, In, 5, kC64) X(Jy, In, 5, kC64) \
  X(Jz, In, 5, kC64) X(pos, Host, -1, kAny)

// The box, voxel-map and coordinate arguments every material function takes
// first; their ranks are checked (ValueError) by overlap_setup. T: the map's
// and coordinates' element type.
#define VX_ARGS_OBJECT(X, T)                                                        \
  X(box_x, Host, -1, kAny) X(box_y, Host, -1, kAny) X(box_z, Host, -1, kAny)        \
  X(vox, In, -1, T) X(coord_x, In, -1, T) X(coord_y, In, -1, T) X(coord_z, In, -1, T)

#define VX_ARGS_GET_ID_RANGE(X, T) X(box, Host, -1, kAny) X(coord, In, -1, kAny)
#define VX_ARGS_MAT_AVERAGE(X, T) VX_ARGS_OBJECT(X, default_float())
#define VX_ARGS_SET_WEIGHT_MAT_ID(X, T)                                                  \
  VX_ARGS_OBJECT(X, kF32) X(mat_id, Int, -1, kAny) X(weight, Out, 4, kF32)               \
  X(id_map, Out, 4, kU8) X(prev_id_map, Out, 4, kU8)

// Set_ER_average / Set_sigma_average: the written map OUT and its TABLE; the
// complex module's er has a channel axis as long as er_table's second.
#define VX_ARGS_MIX(X, OUT, OUT_RANK, TABLE, TABLE_RANK)                              \
  X(OUT, Out, OUT_RANK, kF32) X(weight, In, 4, kF32) X(id_map, In, 4, kU8)              \
  X(prev_id_map, In, 4, kU8) X(TABLE, In, TABLE_RANK, kF32)

// Set_weight_subcell / Set_ER_subcell: the written map OUT (with a channel
// axis when TABLE_RANK is 2).
#define VX_ARGS_SUBCELL(X, OUT, TABLE_RANK)                                             \
  VX_ARGS_OBJECT(X, kF32) X(OUT, Out, TABLE_RANK + 3, kF32) X(mat_id, Int, -1, kAny)   \
  X(id_map, In, 4, kU8) X(prev_id_map, In, 4, kU8) X(normal, In, 5, kF32)              \
  X(er_table, In, TABLE_RANK, kF32) X(component, Int, -1, kAny)

// Module tables: MODULE_FUNCTIONS(X) expands X(namespace, name, kind, return
// type, argument list, field type, docstring) per function in binding order;
// kind Checked: the C++ function takes `bool gpu_checks` first (the public
// modules bind it with true, _voxstep_host with false), Plain: it does not.
#define VX_KIND_PARAMS_Plain(LIST, T) VX_PARAMS(LIST, T)
#define VX_KIND_PARAMS_Checked(LIST, T) bool gpu_checks, VX_PARAMS(LIST, T)
// The declaration of one function of a table.
#define VX_DECLARE_FUNCTION(ns, NAME, KIND, RET, LIST, T, DOC) \
  RET NAME(VX_KIND_PARAMS_##KIND(LIST, T));
// The declarations of a module's own entries, in its namespace ns:
// MODULE_FUNCTIONS(VX_DECLARE_IN_MODULE) with VX_DECLARE_<ns> defined as
// VX_DECLARE_FUNCTION (the material entries are declared in vx).
#define VX_DECLARE_vx(...)
#define VX_DECLARE_IN_MODULE(ns, ...) VX_DECLARE_##ns(ns, __VA_ARGS__)

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
  // The name of checked argument i (in check order).
  const char* name(size_t i) const { return args_[i].name; }
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

// ---------------------------------------------------------------------------
// Material preparation shared by both modules: index windows, overlap
// averaging and painting objects into the material description.

namespace vx {

using Windows = std::tuple<at::Tensor, at::Tensor, at::Tensor>;
using Averaged = std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor>;

// The material functions both public modules bind, in their binding order
// (a module table, above). Checked: the public functions refuse CPU
// tensors with the fixed messages; the private CPU module runs them on the
// CPU.
#define VX_MATERIAL_FUNCTIONS(X)                                                            \
  X(vx, get_id_range, Plain, at::Tensor, VX_ARGS_GET_ID_RANGE, kAny, "get_id_range")        \
  X(vx, Mat_average, Checked, Averaged, VX_ARGS_MAT_AVERAGE, kAny,                          \
    "Average sampling for index")                                                           \
  X(vx, Set_weight_mat_id, Checked, void, VX_ARGS_SET_WEIGHT_MAT_ID, kAny, "Set_weight_mat_id")

VX_MATERIAL_FUNCTIONS(VX_DECLARE_FUNCTION)

}  // namespace vx
