// The host layer every bound function goes through, in one header:
//
//   1. the frame: accessors of tensors, the device a call runs on, extent
//      and launch-limit checks, GPU device and stream, CPU traversal;
//   2. argument tables: each function's arguments declared once (name,
//      role, rank, dtype, shape rule), from which its parameters, checks,
//      messages, binding and exported description are made; the Call that
//      runs the checks;
//   3. the extents of the 6-D field functions;
//   4. the functions both modules share (material preparation, curl
//      updates);
//   5. binding, in units that include torch's pybind11 header first.
// host.cpp holds what is compiled once; the kernel side is yee.h, the CPU
// loops launch_host.h.
#pragma once

#include <ATen/core/Tensor.h>
#include <c10/core/DefaultDtype.h>
#include <c10/core/DeviceGuard.h>
#include <c10/util/ArrayRef.h>
#include <c10/util/Exception.h>
#include <c10/util/SmallVector.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "yee.h"

// =============================================================================
// 1. The frame
// =============================================================================
// Host side of the launch frame: accessors, device choice and pre-launch
// validation. The backends themselves are in launch_host.h (CPU loops, host
// entry points) and yee.h (GPU kernels, VX_DEFINE_GPU_KERNEL).

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
                    c10::ArrayRef<int64_t> mins);

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

// =============================================================================
// 2. Argument tables and the checks of a call
// =============================================================================
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

namespace vx {

enum class Role : unsigned char {
  In,      // read by the kernel on the call's device
  Out,     // written (and possibly read) by the kernel
  Host,    // small tensor read element by element on the host (any CPU/CUDA device)
  Unused,  // a tensor accepted and never accessed
  Int,     // a Python int
  Bool,    // a Python bool
};

// The extents a shape rule may name (host.h: argument tables), and their
// names in the rules.
// Besides the field and material extents: a box's first cells and extents
// (x0 ... Bz), the field channels a monitor reads (NCf), a plane source's
// window, plane index, complex channels and signal samples (Wx, Wy, k, NH,
// Nt), an interpolation's grid and query points (Gx ... Qz).
enum class Ext : int8_t {
  NS, NM, Nx, Ny, Nz, NC, NP, layers_x, layers_y, layers_z, Sx, Sy, Sz, Lx, Ly, Lz,
  x0, y0, z0, Bx, By, Bz, NCf, Wx, Wy, k, NH, Nt, Gx, Gy, Gz, Qx, Qy, Qz, kCount
};
constexpr const char* kExtNames[] = {
    "NS", "NM", "Nx", "Ny", "Nz", "NC", "NP", "layers_x", "layers_y", "layers_z", "Sx", "Sy",
    "Sz", "Lx", "Ly", "Lz", "x0", "y0", "z0", "Bx",       "By",       "Bz",       "NCf", "Wx",
    "Wy", "k",  "NH", "Nt", "Gx", "Gy", "Gz", "Qx",       "Qy",       "Qz"};
static_assert(sizeof(kExtNames) / sizeof(kExtNames[0]) == static_cast<int>(Ext::kCount));

// A shape rule read at compile time: per axis up to two extents plus a
// number, or any (*); a term that must be above zero for the rule to apply;
// or the name of the argument whose shape is required exactly.
struct ShapeRule {
  static constexpr int kMaxAxes = 8;
  static constexpr int8_t kNone = -1, kAny = -2;
  struct Term {
    int8_t ext = kNone;   // an Ext, kNone (the number alone) or kAny
    int8_t ext2 = kNone;  // a second Ext added, or kNone
    int64_t add = 0;
  };
  const char* same_as = nullptr;
  Term cond = {};  // ext kNone: no condition
  int n = 0;       // axes; 0 without a rule
  Term terms[kMaxAxes] = {};

  // A malformed rule or an unknown extent stops the compilation (the throw
  // is not a constant expression).
  static constexpr ShapeRule parse(const char* r) {
    ShapeRule out;
    if (r[0] == '\0') return out;
    if (r[0] == '=') {
      out.same_as = r + 1;
      return out;
    }
    int p = 0;
    auto skip = [&] {
      while (r[p] == ' ') ++p;
    };
    auto word_end = [&](int b) {
      while ((r[b] >= 'a' && r[b] <= 'z') || (r[b] >= 'A' && r[b] <= 'Z') ||
             (r[b] >= '0' && r[b] <= '9') || r[b] == '_')
        ++b;
      return b;
    };
    auto number = [&](int b, int e) {
      int64_t v = 0;
      for (int q = b; q < e; ++q) {
        if (r[q] < '0' || r[q] > '9') throw "bad number in a shape rule";
        v = 10 * v + (r[q] - '0');
      }
      return v;
    };
    auto extent = [&](int b, int e) -> int8_t {
      for (int x = 0; x < static_cast<int>(Ext::kCount); ++x) {
        const char* n = kExtNames[x];
        int q = 0;
        while (b + q < e && n[q] == r[b + q]) ++q;
        if (b + q == e && n[q] == '\0') return static_cast<int8_t>(x);
      }
      throw "unknown extent in a shape rule";
    };
    // extent [+ extent] [+- number ...], or a number
    auto term = [&](Term& t) {
      const int e = word_end(p);
      if (e == p) throw "empty term in a shape rule";
      if (r[p] >= '0' && r[p] <= '9')
        t.add = number(p, e);
      else
        t.ext = extent(p, e);
      p = e;
      for (skip(); r[p] == '+' || r[p] == '-'; skip()) {
        const bool plus = r[p++] == '+';
        skip();
        const int e2 = word_end(p);
        if (e2 > p && !(r[p] >= '0' && r[p] <= '9')) {
          if (!plus || t.ext == kNone || t.ext2 != kNone) throw "a term adds at most two extents";
          t.ext2 = extent(p, e2);
        } else {
          t.add += plus ? number(p, e2) : -number(p, e2);
        }
        p = e2;
      }
    };
    skip();
    if (r[p++] != '[') throw "a shape rule starts with [";
    for (;;) {
      if (out.n == kMaxAxes) throw "too many axes in a shape rule";
      Term& t = out.terms[out.n++];
      skip();
      if (r[p] == '*') {
        t.ext = kAny;
        ++p;
      } else {
        term(t);
      }
      skip();
      if (r[p] == ',') {
        ++p;
        continue;
      }
      if (r[p++] != ']') throw "a shape rule's axes end with ]";
      break;
    }
    skip();
    if (r[p] == '\0') return out;
    if (!(r[p] == 'i' && r[p + 1] == 'f' && r[p + 2] == ' ')) throw "expected if";
    p += 3;
    skip();
    term(out.cond);
    if (out.cond.ext == kNone) throw "a condition names an extent";
    skip();
    if (r[p] != '\0') throw "trailing text in a shape rule";
    return out;
  }
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
  const ShapeRule* shape;  // the shape rule (n == 0: none), below
  bool lead = false;
};

// One argument as the argument table declares it (Python scalars included).
struct ArgInfo {
  const char* name;
  Role role;
  int rank;
  at::ScalarType dtype;
  const char* shape;
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
// once: LIST(X, T) expands X(name, role, rank, dtype[, shape]) per argument
// in call order, T being the module's field type (kF32 or kC64). Roles:
//   Out     a tensor the function writes (and may read)
//   In      a tensor read on the call's device
//   Lead    as In, checked first: its device is the call's
//   Host    a small tensor of any shape and numeric type read on the host
//   Unused  a tensor accepted and never accessed
//   Int, Bool  Python scalars
// rank -1 and dtype kAny accept any. The shape rule, where one is given,
// states the least extents the tensor needs in terms of the extents the
// wrapper reads from its tensors (Extents, below):
//   "[NS, NM, Nx, Ny+1, Nz+1, NC]"  one term per axis: an extent, an extent
//                                   plus or minus a number, a number, or *
//                                   (any); a 4-D tensor may carry a trailing
//                                   * that its message shows
//   "[NS, NM, x0+Bx-1, ...]"        a term may add two extents
//   "[...] if E", "[...] if Bx-1"   checked only when the term is above zero
//   "=Ex"                           exactly the shape of argument Ex
// A tensor without a rule is checked by its wrapper, or takes any shape.
// From a list come the function's parameters (VX_PARAMS), the checks of its
// tensors (VX_CHECKS: devices, ranks, element types, shapes, written layouts
// and overlaps, with the names in the messages) and the description the
// module exports as `_arguments` (VX_DESCRIBE), from which the type stubs
// and the tests' tables are made.

#define VX_TYPE_In ::vx::Tn
#define VX_TYPE_Lead ::vx::Tn
#define VX_TYPE_Out ::vx::Tn
#define VX_TYPE_Host ::vx::Tn
#define VX_TYPE_Unused ::vx::Tn
#define VX_TYPE_Int int64_t
#define VX_TYPE_Bool bool

#define VX_DROP_FIRST_(first, ...) __VA_ARGS__
#define VX_DROP_FIRST(...) VX_DROP_FIRST_(__VA_ARGS__)

// The shape rule of an entry as written ("" without one), and read at
// compile time (a static ShapeRule of its own).
#define VX_SHAPE(...) ::vx::shape_rule(__VA_ARGS__)
#define VX_RULE(...)                                                                 \
  [] {                                                                               \
    static constexpr ::vx::ShapeRule rule_ = ::vx::ShapeRule::parse(VX_SHAPE(__VA_ARGS__)); \
    return &rule_;                                                                   \
  }()
namespace vx {
constexpr const char* shape_rule() { return ""; }
constexpr const char* shape_rule(const char* rule) { return rule; }
}  // namespace vx

#define VX_PARAM_(n, role, rank, dtype, ...) , VX_TYPE_##role n
#define VX_NAME_(n, role, rank, dtype, ...) , n
// The C++ parameter list: `Tn Hx, Tn Hy, ..., int64_t kp`.
#define VX_PARAMS(LIST, T) VX_DROP_FIRST(LIST(VX_PARAM_, T))
// The parameter names, to forward them: `Hx, Hy, ..., kp`.
#define VX_NAMES(LIST, T) VX_DROP_FIRST(LIST(VX_NAME_, T))

#define VX_CHECK_In(n, rank, dtype, shape) \
  ::vx::Arg{#n, &(n), ::vx::Role::In, rank, ::vx::dtype, shape},
#define VX_CHECK_Lead(n, rank, dtype, shape) \
  ::vx::Arg{#n, &(n), ::vx::Role::In, rank, ::vx::dtype, shape, true},
#define VX_CHECK_Out(n, rank, dtype, shape) \
  ::vx::Arg{#n, &(n), ::vx::Role::Out, rank, ::vx::dtype, shape},
#define VX_CHECK_Host(n, rank, dtype, shape) \
  ::vx::Arg{#n, &(n), ::vx::Role::Host, -1, ::vx::kAny, shape},
#define VX_CHECK_Unused(n, rank, dtype, shape)
#define VX_CHECK_Int(n, rank, dtype, shape)
#define VX_CHECK_Bool(n, rank, dtype, shape)
#define VX_CHECK_(n, role, rank, dtype, ...) VX_CHECK_##role(n, rank, dtype, VX_RULE(__VA_ARGS__))
// The checked tensors, for a Call: `{VX_CHECKS(LIST, T)}`.
#define VX_CHECKS(LIST, T) LIST(VX_CHECK_, T)

#define VX_ROLE_In In
#define VX_ROLE_Lead In
#define VX_ROLE_Out Out
#define VX_ROLE_Host Host
#define VX_ROLE_Unused Unused
#define VX_ROLE_Int Int
#define VX_ROLE_Bool Bool
#define VX_DESCRIBE_(n, role, rank, dtype, ...) \
  ::vx::ArgInfo{#n, ::vx::Role::VX_ROLE_##role, rank, ::vx::dtype, VX_SHAPE(__VA_ARGS__)},
// Every argument as the table declares it: `{VX_DESCRIBE(LIST, T)}`.
#define VX_DESCRIBE(LIST, T) LIST(VX_DESCRIBE_, T)

// Shape rules of the 6-D field functions (FieldExtents): the staggered
// components, cell-centred values, per-cell maps (with a channel axis: _C).
#define VX_EX "[NS, NM, Nx, Ny+1, Nz+1, NC]"
#define VX_EY "[NS, NM, Nx+1, Ny, Nz+1, NC]"
#define VX_EZ "[NS, NM, Nx+1, Ny+1, Nz, NC]"
#define VX_CELLS "[NS, NM, Nx, Ny, Nz, NC]"
#define VX_MAP "[NM, Nx, Ny, Nz]"
#define VX_MAP_C "[NM, Nx, Ny, Nz, NC]"

// The lists both modules share.

// The curl profiles, CPML auxiliaries, layer profiles and thicknesses. psi's
// layer axis is not checked (the thickness lives on the device); its other
// axes only when psi, b and g can all hold a layer index (layers_x: how
// many they can, which the kernel never exceeds).
#define VX_ARGS_CURL_SET(X, T)                                                         \
  X(Cx, In, 1, kF32, "[Nx]") X(Cy, In, 1, kF32, "[Ny]") X(Cz, In, 1, kF32, "[Nz]")    \
  X(psi_x, Out, 7, T, "[NS, NM, *, Ny, Nz, 2, NC] if layers_x")                        \
  X(psi_y, Out, 7, T, "[NS, NM, Nx, *, Nz, 2, NC] if layers_y")                        \
  X(psi_z, Out, 7, T, "[NS, NM, Nx, Ny, *, 2, NC] if layers_z")                        \
  X(bx, In, 1, kF32) X(by, In, 1, kF32) X(bz, In, 1, kF32) X(gx, In, 1, kF32)          \
  X(gy, In, 1, kF32) X(gz, In, 1, kF32) X(n_layer, In, 1, kI32, "[3]")

#define VX_ARGS_UPDATE_H(X, T)                                                         \
  X(Hx, Out, 6, T, VX_CELLS) X(Hy, Out, 6, T, VX_CELLS) X(Hz, Out, 6, T, VX_CELLS)     \
  X(Ex, In, 6, T, VX_EX) X(Ey, In, 6, T, VX_EY) X(Ez, In, 6, T, VX_EZ)                 \
  VX_ARGS_CURL_SET(X, T) X(unused, Unused, -1, kAny)

// keep_*: one factor per cell (4-D) in the real module, per cell and channel
// (5-D) in the complex one.
#define VX_KEEP_RANK(T) (::vx::T == ::vx::kC64 ? 5 : 4)
#define VX_KEEP_SHAPE(T) (::vx::T == ::vx::kC64 ? VX_MAP_C : "[NM, Nx, Ny, Nz, *]")
#define VX_ARGS_UPDATE_E(X, T)                                                          \
  X(Ex, Out, 6, T, VX_EX) X(Ey, Out, 6, T, VX_EY) X(Ez, Out, 6, T, VX_EZ)               \
  X(Hx, In, 6, T, VX_CELLS) X(Hy, In, 6, T, VX_CELLS) X(Hz, In, 6, T, VX_CELLS)         \
  X(keep_x, In, VX_KEEP_RANK(T), kF32, VX_KEEP_SHAPE(T))                                \
  X(keep_y, In, VX_KEEP_RANK(T), kF32, VX_KEEP_SHAPE(T))                                \
  X(keep_z, In, VX_KEEP_RANK(T), kF32, VX_KEEP_SHAPE(T))                                \
  X(loss_x, In, 4, kF32, VX_MAP) X(loss_y, In, 4, kF32, VX_MAP)                         \
  X(loss_z, In, 4, kF32, VX_MAP) VX_ARGS_CURL_SET(X, T) X(unused, Unused, -1, kAny)

// phase columns NP: NC complex channels, or the real module's NC/2 complex
// values in 2 * (NC/2) channels.
#define VX_ARGS_UPDATE_E_PERIODIC(X, T)                                                  \
  X(Ex, Out, 6, T, VX_EX) X(Ey, Out, 6, T, VX_EY) X(Ez, Out, 6, T, VX_EZ)                \
  X(phase_x, In, 2, T, "[NS, NP]") X(phase_y, In, 2, T, "[NS, NP]")                      \
  X(periodic, In, 1, kI32, "[2]") X(positive_phase, Bool, -1, kAny)

// A plane source's fields: the window runs up to the far margin (Wx, Wy),
// on plane k.
#define VX_PLANE_FIELD "[NS, NM, Wx, Wy, k+1, NC]"

// The box: Bx x By x Bz cells from pos = (x0, y0, z0).
#define VX_BOX_END "[NS, NM, x0+Bx, y0+By, z0+Bz, NC]"
#define VX_BOX "[NS, NM, Bx, By, Bz]"
#define VX_ARGS_INJECT_J(X, T)                                                                 \
  X(Ex, Out, 6, T, VX_BOX_END) X(Ey, Out, 6, T, VX_BOX_END) X(Ez, Out, 6, T, VX_BOX_END)       \
  X(Jx, In, 5, kC64, VX_BOX) X(Jy, In, 5, kC64, VX_BOX) X(Jz, In, 5, kC64, VX_BOX)             \
  X(pos, Host, -1, kAny)

// The box, voxel-map and coordinate arguments every material function takes
// first; their ranks are checked (ValueError) by overlap_setup. T: the map's
// and coordinates' element type.
#define VX_ARGS_OBJECT(X, T)                                                        \
  X(box_x, Host, -1, kAny) X(box_y, Host, -1, kAny) X(box_z, Host, -1, kAny)        \
  X(vox, In, -1, T) X(coord_x, In, -1, T) X(coord_y, In, -1, T) X(coord_z, In, -1, T)

// The painted maps: NM and the sample counts Lx, Ly, Lz of the object's
// coordinates (overlap_setup).
#define VX_PAINTED "[NM, Lx, Ly, Lz]"
#define VX_ARGS_GET_ID_RANGE(X, T) X(box, Host, -1, kAny) X(coord, In, -1, kAny)
#define VX_ARGS_MAT_AVERAGE(X, T) VX_ARGS_OBJECT(X, default_float())
#define VX_ARGS_SET_WEIGHT_MAT_ID(X, T)                                                  \
  VX_ARGS_OBJECT(X, kF32) X(mat_id, Int, -1, kAny) X(weight, Out, 4, kF32, VX_PAINTED)   \
  X(id_map, Out, 4, kU8, VX_PAINTED) X(prev_id_map, Out, 4, kU8, VX_PAINTED)

// Set_ER_average / Set_sigma_average: the written map OUT (its extents NM,
// Sx, Sy, Sz are the call's) and its TABLE; the complex module's er has a
// channel axis as long as er_table's second (NC).
#define VX_ARGS_MIX(X, OUT, OUT_RANK, TABLE, TABLE_RANK)                                  \
  X(OUT, Out, OUT_RANK, kF32, OUT_RANK == 5 ? "[*, *, *, *, NC]" : "")                    \
  X(weight, In, 4, kF32, "[NM, Sx, Sy, Sz]") X(id_map, In, 4, kU8, "[NM, Sx, Sy, Sz]")    \
  X(prev_id_map, In, 4, kU8, "[NM, Sx, Sy, Sz]") X(TABLE, In, TABLE_RANK, kF32)

// Set_weight_subcell / Set_ER_subcell: the written map OUT (with a channel
// axis NC, er_table's second, when TABLE_RANK is 2).
#define VX_ARGS_SUBCELL(X, OUT, TABLE_RANK)                                              \
  VX_ARGS_OBJECT(X, kF32)                                                                \
  X(OUT, Out, TABLE_RANK + 3, kF32, TABLE_RANK == 2 ? "[NM, Lx, Ly, Lz, NC]" : VX_PAINTED) \
  X(mat_id, Int, -1, kAny) X(id_map, In, 4, kU8, VX_PAINTED)                             \
  X(prev_id_map, In, 4, kU8, VX_PAINTED) X(normal, In, 5, kF32, "[NM, Lx, Ly, Lz, 3]")   \
  X(er_table, In, TABLE_RANK, kF32) X(component, Int, -1, kAny)

// Module tables: MODULE_FUNCTIONS(X) expands X(namespace, name, kind, return
// type, argument list, field type, docstring) per function in binding order;
// kind Checked: the C++ function takes `bool gpu_checks` first (the public
// modules bind it with true, _voxstep_host with false), Plain: it does not.
// Namespace: the module's own (its function), vx (a function both modules
// share), or vx_field (a template both modules share, vx::NAME<F> with F the
// module's field type).
#define VX_KIND_PARAMS_Plain(LIST, T) VX_PARAMS(LIST, T)
#define VX_KIND_PARAMS_Checked(LIST, T) bool gpu_checks, VX_PARAMS(LIST, T)
// The declaration of one function of a table.
#define VX_DECLARE_FUNCTION(ns, NAME, KIND, RET, LIST, T, DOC) \
  RET NAME(VX_KIND_PARAMS_##KIND(LIST, T));
// The declarations of a module's own entries, in its namespace ns:
// MODULE_FUNCTIONS(VX_DECLARE_IN_MODULE) with VX_DECLARE_<ns> defined as
// VX_DECLARE_FUNCTION (the material entries are declared in vx).
#define VX_DECLARE_vx(...)
#define VX_DECLARE_vx_field(...)
#define VX_DECLARE_IN_MODULE(ns, ...) VX_DECLARE_##ns(ns, __VA_ARGS__)
// The C++ function of a table entry (VX_FUNCTION_<ns> of a module's own
// namespace is defined with its table).
#define VX_FUNCTION_vx(NAME, T) ::vx::NAME
#define VX_FUNCTION_vx_field(NAME, T) ::vx::NAME<::vx::FieldType<::vx::T>>

namespace vx {

// The extents a function's shape rules refer to, read by its wrapper from
// its tensors and values. `sources`: the arguments whose rules are checked
// first, in that order (those the extents are read from, or a wrapper's
// own order); the others follow in table order.
class Extents {
 public:
  explicit Extents(std::initializer_list<const at::Tensor*> sources = {}) : sources_(sources) {}
  Extents& set(Ext x, int64_t value) {
    values_[static_cast<int>(x)] = value;
    set_ |= uint64_t(1) << static_cast<int>(x);
    return *this;
  }
  // The value of extent x (a rule naming an extent the wrapper has not set
  // is an internal error), and of a rule's term.
  int64_t operator[](int8_t x) const {
    TORCH_INTERNAL_ASSERT((set_ >> x) & 1, "a shape rule names extent ", kExtNames[x],
                          ", which its wrapper does not set");
    return values_[x];
  }
  int64_t operator[](const ShapeRule::Term& t) const {
    if (t.ext == ShapeRule::kAny) return -1;  // any extent (require_extent)
    return t.add + (t.ext == ShapeRule::kNone ? 0 : (*this)[t.ext]) +
           (t.ext2 == ShapeRule::kNone ? 0 : (*this)[t.ext2]);
  }
  c10::ArrayRef<const at::Tensor*> sources() const { return sources_; }

 private:
  int64_t values_[static_cast<int>(Ext::kCount)] = {};
  uint64_t set_ = 0;
  static_assert(static_cast<int>(Ext::kCount) <= 64);
  c10::SmallVector<const at::Tensor*, 8> sources_;
};

// Runs checks 1 and 2 over the arguments of function `fn` on construction,
// check 3 from the table's shape rules on check_shapes() and check 5 on
// check_written(); hands out accessors (input views with pending bits
// resolved into temporaries that live as long as the Call).
class Call {
 public:
  Call(const char* fn, std::initializer_list<Arg> args);

  // Check 3 for the arguments with a shape rule: those the extents are read
  // from first, then the others in check order (ValueError naming the
  // argument, its shape and the least one the rule gives).
  void check_shapes(const Extents& e) const;

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

// =============================================================================
// 3. The 6-D fields
// =============================================================================
namespace vx {

// The extents of the 6-D field functions: NS, NM, Nx, NC from Ex (axes 0, 1,
// 2, 5), Ny from Ey axis 3, Nz from Ez axis 4, read in that order.
struct FieldExtents {
  int64_t NS, NM, NC, Nx, Ny, Nz;
  const at::Tensor* from[3];  // Ex, Ey, Ez

  // The same, named for the shape rules.
  Extents named() const {
    Extents e({from[0], from[1], from[2]});
    e.set(Ext::NS, NS).set(Ext::NM, NM).set(Ext::Nx, Nx).set(Ext::Ny, Ny).set(Ext::Nz, Nz);
    e.set(Ext::NC, NC);
    return e;
  }
};

inline FieldExtents field_extents(const at::Tensor& Ex, const at::Tensor& Ey,
                                  const at::Tensor& Ez) {
  FieldExtents e;
  e.NS = Ex.size(0);
  e.NM = Ex.size(1);
  e.Nx = Ex.size(2);
  e.NC = Ex.size(5);
  e.Ny = Ey.size(3);
  e.Nz = Ez.size(4);
  e.from[0] = &Ex;
  e.from[1] = &Ey;
  e.from[2] = &Ez;
  return e;
}

// The launch over every cell and batch row, after the grid limits.
Grid field_grid(const char* fn, const FieldExtents& e, int device);

// dst <- src for two tensors of one shape and dtype, after the kernels on
// their device. Small dense CPU tensors with the same strides are copied as
// one block (the cost of torch's copy_ on a few kilobytes is mostly its
// dispatch); everything else goes through copy_.
void copy_field(const at::Tensor& dst, const at::Tensor& src);

// The integer extents every 6-D field kernel takes.
template <typename Args>
void set_field_extents(Args& a, const FieldExtents& e) {
  a.NM = static_cast<int>(e.NM);
  a.NC = static_cast<int>(e.NC);
  a.Nx = static_cast<int>(e.Nx);
  a.Ny = static_cast<int>(e.Ny);
  a.Nz = static_cast<int>(e.Nz);
}

}  // namespace vx

// =============================================================================
// 4. The curl updates both modules bind
// =============================================================================

namespace vx {

// Update_H and Update_E of field type F (float: Voxstep, cfloat: Voxstep4),
// defined in curl.cpp; a module table binds them through its entries of
// namespace vx_field.
template <typename F>
void Update_H(VX_PARAMS(VX_ARGS_UPDATE_H, kField<F>));
template <typename F>
void Update_E(VX_PARAMS(VX_ARGS_UPDATE_E, kField<F>));

// A module table's element type as the field type of those templates.
template <at::ScalarType kT>
using FieldType = std::conditional_t<kT == kC64, cfloat, float>;

}  // namespace vx

// =============================================================================
// 5. Binding (units that include <torch/csrc/utils/pybind.h> before this header)
// =============================================================================
#if defined(PYBIND11_VERSION_MAJOR)

// What every module's binding table needs: torch's tensor caster (from the
// unit's own include), the translation of torch's exception types into the
// matching Python ones, and the binding of a module table's functions with
// their argument tables.

// pybind11 3 declares the modules single-interpreter (multi-phase
// initialisation); pybind11 2 has no such option.
#if PYBIND11_VERSION_MAJOR >= 3
#define VX_MODULE(name, m) PYBIND11_MODULE(name, m, pybind11::multiple_interpreters::not_supported())
#else
#define VX_MODULE(name, m) PYBIND11_MODULE(name, m)
#endif

namespace vx {

// A function whose first parameter is `bool gpu_checks`, with that fixed:
// the public modules bind Checked<true, &F>::call (CUDA tensors only), the
// CPU module Checked<false, &F>::call.
template <bool kGpuChecks, auto F>
struct Checked;
template <bool kGpuChecks, typename R, typename... A, R (*F)(bool, A...)>
struct Checked<kGpuChecks, F> {
  static R call(A... a) { return F(kGpuChecks, a...); }
};

// The Python annotation of a return type, for the type stub.
template <typename R>
struct Annotation;
template <>
struct Annotation<void> {
  static std::string text() { return "None"; }
};
template <>
struct Annotation<at::Tensor> {
  static std::string text() { return "Tensor"; }
};
template <typename... R>
struct Annotation<std::tuple<R...>> {
  static std::string text() {
    std::string s = "tuple[";
    ((s += Annotation<R>::text() + ", "), ...);
    return s.substr(0, s.size() - 2) + "]";
  }
};
template <typename R, typename... A>
std::string annotation(R (*)(A...)) {
  return Annotation<R>::text();
}

// A module under construction: imports torch, registers the exception
// translation, sets the docstring and binds functions (pybind11's generated
// signatures off: each docstring is the table's); exports the argument
// tables of the functions it binds as the read-only `_arguments`
// (name -> ((argument, role, rank, dtype, shape), ...), role "w" written,
// "r" read, "h" read on the host, "u" unused, "int" / "bool" Python scalars;
// rank and dtype None when any is accepted, shape the table's shape rule or
// None) and `_returns` (name -> annotation).
class __attribute__((visibility("hidden"))) Module {
 public:
  Module(pybind11::module_& m, const char* doc, bool gpu_checks);

  // Binds one function of a module table (after bind_checked_only(): only
  // Checked ones, each name once).
  template <bool kChecked, auto F>
  void def(const char* name, const char* doc, std::initializer_list<ArgInfo> args) {
    if (only_checked_ && (!kChecked || pybind11::hasattr(m_, name))) return;
    if constexpr (kChecked) {
      if (gpu_checks_)
        m_.def(name, &Checked<true, F>::call, doc);
      else
        m_.def(name, &Checked<false, F>::call, doc);
      record(name, annotation(&Checked<true, F>::call), args);
    } else {
      m_.def(name, F, doc);
      record(name, annotation(F), args);
    }
  }
  void bind_checked_only() { only_checked_ = true; }

 private:
  void record(const char* name, const std::string& returns, std::initializer_list<ArgInfo> args);
  pybind11::module_& m_;
  pybind11::options options_;
  bool gpu_checks_;
  bool only_checked_ = false;
  pybind11::dict arguments_, returns_;
};

}  // namespace vx

#define VX_KIND_CHECKED_Plain false
#define VX_KIND_CHECKED_Checked true
// Binds one entry of a module table: MODULE_FUNCTIONS(VX_BIND) with a
// vx::Module named `mod` in scope.
#define VX_BIND(ns, NAME, KIND, RET, LIST, T, DOC)                     \
  mod.def<VX_KIND_CHECKED_##KIND, &VX_FUNCTION_##ns(NAME, T)>(#NAME, DOC, \
                                                             {VX_DESCRIBE(LIST, T)});

#endif  // PYBIND11_VERSION_MAJOR
