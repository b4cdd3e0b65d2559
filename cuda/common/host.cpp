// The host layer's compiled part: the frame's checks, the checks of every
// call (devices, ranks and dtypes, shapes, written layouts), the field
// extents, and the module setup of the binding units (host.h).
#include <torch/csrc/utils/pybind.h>  // first: host.h's binding section

#include "host.h"

#include <ATen/ATen.h>
#include <ATen/MemoryOverlap.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/zeros.h>
#include <c10/core/ScalarType.h>
#include <c10/core/impl/DeviceGuardImplInterface.h>
#include <c10/util/Exception.h>
#include <c10/util/SmallVector.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>

// =============================================================================
// 1. The frame
// =============================================================================
// Host-side checks shared by every bound function.

namespace vx {

namespace {

std::string where(int device) {
  return device < 0 ? std::string("the CPU") : "cuda:" + std::to_string(device);
}

std::string shape_of(const at::Tensor& t) {
  std::ostringstream s;
  s << t.sizes();
  return s.str();
}

}  // namespace

int resolve_device(const char* fn, c10::ArrayRef<Named> tensors) {
  int device = -2;
  for (const Named& n : tensors) {
    const at::Device d = n.second->device();
    int here;
    if (d.is_cpu()) {
      here = -1;
    } else if (d.is_cuda()) {
      here = d.has_index() ? d.index() : 0;
    } else {
      TORCH_CHECK(false, fn, ": ", n.first, " is on ", d.str(),
                  "; only CPU and CUDA tensors are supported");
    }
    if (device == -2) {
      device = here;
      continue;
    }
    if (here == device) continue;
    if (device >= 0 && here < 0) throw std::runtime_error("Tensor is not on GPU.");
    TORCH_CHECK(false, fn, ": ", n.first, " is on ", where(here), " but the call runs on ",
                where(device), " (the device of its first tensor); every tensor it reads "
                "must be on that device");
  }
  return device < -1 ? -1 : device;
}

void require_extent(const char* fn, const char* name, const at::Tensor& t,
                    c10::ArrayRef<int64_t> mins) {
  int d = 0;
  for (int64_t need : mins) {
    if (need >= 0 && t.size(d) < need) {
      std::ostringstream want;
      want << "[";
      int e = 0;
      for (int64_t m : mins) want << (e++ ? ", " : "") << (m < 0 ? std::string("*") : std::to_string(m));
      want << "]";
      TORCH_CHECK_VALUE(false, fn, ": ", name, " has shape ", shape_of(t), " but needs at least ",
                        want.str(), " (axis ", d, " is ", t.size(d), ", needs ", need, ")");
    }
    ++d;
  }
}

void require_numel(const char* fn, const char* name, const at::Tensor& t, int64_t count) {
  TORCH_CHECK_VALUE(t.numel() >= count, fn, ": ", name, " has ", t.numel(),
                    " elements but needs at least ", count);
}

void check_grid(const char* fn, int64_t points, int64_t rows, const char* rows_what) {
  TORCH_CHECK_VALUE(points < (int64_t(1) << 31), fn, ": the launch covers ", points,
                    " points; the limit is 2^31 - 1");
  TORCH_CHECK_VALUE(rows <= 65535, fn, ": ", rows_what, " = ", rows,
                    " exceeds 65535, CUDA's limit on the second grid dimension");
}

void check_field_grid(const char* fn, int64_t NS, int64_t NM, int64_t NC, int64_t Nx,
                      int64_t Ny, int64_t Nz) {
  const std::pair<const char*, int64_t> extents[] = {
      {"Nx (Ex axis 2)", Nx}, {"Ny (Ey axis 3)", Ny}, {"Nz (Ez axis 4)", Nz}};
  for (const auto& e : extents)
    TORCH_CHECK_VALUE(e.second < 65536, fn, ": ", e.first, " = ", e.second,
                      " must be below 65536 (cell indices are 16-bit)");
  const int64_t points = mul_sat({Nx, Ny, Nz}), rows = mul_sat({NS, NM, NC});
  TORCH_CHECK_VALUE(points < (int64_t(1) << 31), fn, ": Nx*Ny*Nz = ", points,
                    " must be below 2^31");
  TORCH_CHECK_VALUE(rows <= 65535, fn, ": NS*NM*NC = ", rows,
                    " exceeds 65535, CUDA's limit on the second grid dimension");
}

Grid make_grid(const char* fn, int64_t NS, int64_t NM, int64_t N0, int64_t N1, int64_t N2,
               int64_t NC, int device) {
  const int64_t points = N0 * N1 * N2;
  TORCH_CHECK_VALUE(points * NC <= (int64_t(1) << 32), fn, ": the launch covers ", points,
                    " points x ", NC, " channels = ", points * NC,
                    " samples; one launch numbers at most 2^32");
  const auto i32 = [](int64_t v) { return static_cast<int>(v); };
  return Grid{Space{i32(NS), i32(NM), i32(N0), i32(N1), i32(N2), i32(NC)}, device};
}

namespace {
Traversal g_traversal = Traversal::kRows;
}  // namespace

Traversal cpu_traversal() { return g_traversal; }
void set_cpu_traversal(Traversal t) { g_traversal = t; }
int64_t mul_sat(int64_t a, int64_t b) {
  if (a < 0 || b < 0) return a < 0 ? a : b;  // negative counts are refused where they arise
  int64_t r;
  return __builtin_mul_overflow(a, b, &r) ? INT64_MAX : r;
}

int64_t mul_sat(std::initializer_list<int64_t> factors) {
  int64_t r = 1;
  for (int64_t f : factors) r = mul_sat(r, f);
  return r;
}

void raise_launch_error(const char* kernel, const char* error) {
  TORCH_CHECK(error == nullptr, kernel, " failed to launch: ", error);
}

void no_gpu_build(const char* fn) {
  TORCH_CHECK(false, fn, ": this build of the module has no GPU code; reinstall with "
              "a CUDA compiler present (VOXSTEP_CUDA=ON)");
}

OnDevice::OnDevice(int device)
    : guard_(c10::Device(c10::DeviceType::CUDA, static_cast<c10::DeviceIndex>(device))) {
  const c10::Device d(c10::DeviceType::CUDA, static_cast<c10::DeviceIndex>(device));
  stream_ = c10::impl::getDeviceGuardImpl(c10::DeviceType::CUDA)->getStream(d).native_handle();
}

#ifdef VOXSTEP_WITH_CUDA
// device_sync.cu: cudaDeviceSynchronize on the current device; nullptr or
// the CUDA error text.
const char* synchronize_current_device();

void synchronize_device(const char* fn, int device) {
  const OnDevice on(device);
  const char* error = synchronize_current_device();
  TORCH_CHECK(error == nullptr, fn, ": the GPU reported a fault while the call waited for it: ",
              error);
}
#else
void synchronize_device(const char*, int) {}
#endif

}  // namespace vx

// =============================================================================
// 2. The checks of a call
// =============================================================================
// Checks 1, 2 and 5 of every call (devices, ranks and element types, layouts of
// written tensors) and the overflow-safe arithmetic of the host checks.

namespace vx {

namespace {

// torch's Python name of an element type (float32, complex64, ...).
std::string dtype_name(at::ScalarType t) { return std::string(c10::getDtypeNames(t).first); }

void check_rank_dtype(const char* fn, const Arg& a) {
  const at::Tensor& t = *a.t;
  if (a.rank >= 0)
    TORCH_CHECK(t.dim() == a.rank, fn, ": ", a.name, " must be ", a.rank, "-D but has ",
                t.dim(), " dimensions (TensorAccessor expected ", a.rank,
                " dims but tensor has ", t.dim(), ")");
  if (a.dtype != kAny)
    TORCH_CHECK(t.scalar_type() == a.dtype, fn, ": ", a.name, " must be ",
                dtype_name(a.dtype), " but is ", dtype_name(t.scalar_type()),
                " (expected scalar type ", c10::toString(a.dtype), " but found ",
                c10::toString(t.scalar_type()), ")");
}

// Byte range [lo, hi) that a view's elements occupy (numel > 0).
void byte_range(const at::Tensor& t, int64_t& lo, int64_t& hi) {
  const int64_t item = t.element_size();
  int64_t first = t.storage_offset(), last = t.storage_offset();
  for (int64_t d = 0; d < t.dim(); ++d) {
    const int64_t span = (t.size(d) - 1) * t.stride(d);
    (span < 0 ? first : last) += span;
  }
  lo = first * item;
  hi = (last + 1) * item;
}

// Largest byte span the exact overlap test marks out; beyond it a layout
// that torch's helpers cannot decide is accepted, as torch's own in-place
// operations accept it.
constexpr int64_t kExactSpan = int64_t(1) << 26;

// Marks the bytes of t's elements in `mask` (one byte per storage byte from
// byte `base`).
void mark(at::Tensor& mask, const at::Tensor& t, int64_t base) {
  const int64_t item = t.element_size();
  std::vector<int64_t> sizes(t.sizes().begin(), t.sizes().end());
  std::vector<int64_t> strides;
  for (int64_t s : t.strides()) strides.push_back(s * item);
  sizes.push_back(item);
  strides.push_back(1);
  mask.as_strided(sizes, strides, t.storage_offset() * item - base).fill_(1);
}

int64_t gcd_of_strides(const at::Tensor& t, int64_t g) {
  for (int64_t d = 0; d < t.dim(); ++d)
    if (t.size(d) > 1) g = std::gcd(g, t.stride(d) * t.element_size());
  return g;
}

}  // namespace

int to_int32(const char* fn, const char* name, int64_t v) {
  TORCH_CHECK_VALUE(v >= INT32_MIN && v <= INT32_MAX, fn, ": ", name, " = ", v,
                    " does not fit a 32-bit integer");
  return static_cast<int>(v);
}

namespace {

// A double as the user wrote it: whole numbers in full (2^63 as
// 9223372036854775808), others to 17 significant digits.
std::string show(double x) {
  std::ostringstream s;
  if (std::isfinite(x) && x == std::trunc(x) && std::fabs(x) < 1e21)
    s << std::fixed << std::setprecision(0) << x;
  else
    s << std::setprecision(17) << x;
  return s.str();
}

// Element `index` (row-major) of t as a 0-d view.
at::Tensor element(const at::Tensor& t, int64_t index) {
  at::Tensor e = t;
  for (int64_t d = 0; d < t.dim(); ++d) {
    int64_t inner = 1;
    for (int64_t r = d + 1; r < t.dim(); ++r) inner *= t.size(r);
    e = e.select(0, index / inner);
    index %= inner;
  }
  return e;
}

}  // namespace

HostInts::HostInts(const char* fn, const char* name, const at::Tensor& t, int count,
                   const char* what) {
  TORCH_INTERNAL_ASSERT(count >= 0 && count <= 3);
  TORCH_CHECK_VALUE(t.numel() >= count, fn, ": ", name, " has ", t.numel(),
                    " elements but needs at least ", count, " (", what, ")");
  if (count == 0) return;
  const at::ScalarType type = t.scalar_type();
  if (t.is_cpu() && !t.is_neg() && !t.is_conj() && (type == at::kLong || type == at::kInt)) {
    // The common case, read in place.
    for (int k = 0; k < count; ++k) {
      const at::Tensor e = element(t, k);
      v_[k] = type == at::kLong ? *e.const_data_ptr<int64_t>() : *e.const_data_ptr<int32_t>();
    }
    return;
  }
  // Anything else: the elements gathered by torch into one small CPU tensor
  // (which resolves pending bits), then read as 64-bit integers or doubles.
  std::vector<at::Tensor> elements;
  for (int k = 0; k < count; ++k) elements.push_back(element(t, k));
  at::Tensor v = at::stack(elements).cpu();
  if (v.is_complex()) {
    const at::Tensor parts = at::view_as_real(v).to(at::kDouble).contiguous();
    const double* z = parts.const_data_ptr<double>();
    for (int k = 0; k < count; ++k)
      TORCH_CHECK_VALUE(z[2 * k + 1] == 0, fn, ": ", name, "[", k, "] = ", show(z[2 * k]),
                        (z[2 * k + 1] < 0 ? "" : "+"), show(z[2 * k + 1]),
                        "j is not real; ", name, " holds whole numbers (", what, ")");
    v = at::real(v);
  }
  if (at::isIntegralType(v.scalar_type(), /*includeBool=*/true) &&
      v.scalar_type() != at::kUInt64) {
    const at::Tensor ints = v.to(at::kLong).contiguous();
    for (int k = 0; k < count; ++k) v_[k] = ints.const_data_ptr<int64_t>()[k];
    return;
  }
  // Floating values (and unsigned 64-bit ones, which may pass INT64_MAX):
  // compared as doubles before any conversion.
  const at::Tensor reals = v.to(at::kDouble).contiguous();
  for (int k = 0; k < count; ++k) {
    const double x = reals.const_data_ptr<double>()[k];
    TORCH_CHECK_VALUE(std::isfinite(x), fn, ": ", name, "[", k, "] is ", x, "; ", name,
                      " holds finite whole numbers (", what, ")");
    TORCH_CHECK_VALUE(x >= -0x1p63 && x < 0x1p63, fn, ": ", name, "[", k, "] = ", show(x),
                      " does not fit a 32-bit integer");
    v_[k] = static_cast<int64_t>(x);
  }
}

bool overlaps_itself(const at::Tensor& t) {
  if (t.numel() <= 1) return false;
  switch (at::has_internal_overlap(t)) {
    case at::MemOverlap::Yes: return true;
    case at::MemOverlap::No: return false;
    default: break;
  }
  // Dimensions nested by stride (each stride beyond the reach of the smaller
  // ones) cannot meet; anything else is marked out element by element.
  std::vector<std::pair<int64_t, int64_t>> dims;  // stride, size
  for (int64_t d = 0; d < t.dim(); ++d)
    if (t.size(d) > 1) dims.emplace_back(t.stride(d), t.size(d));
  std::sort(dims.begin(), dims.end());
  int64_t reach = 0;
  bool nested = true;
  for (const auto& [stride, size] : dims) {
    if (stride <= reach) nested = false;
    reach += stride * (size - 1);
  }
  if (nested) return false;
  if (t.numel() > kExactSpan) return true;  // refuse what cannot be decided cheaply
  at::Tensor offsets = at::zeros({1}, at::TensorOptions().dtype(at::kLong));
  for (const auto& [stride, size] : dims)
    offsets = (offsets.unsqueeze(1) +
               at::arange(size, offsets.options()).mul_(stride).unsqueeze(0)).flatten();
  const at::Tensor sorted = std::get<0>(offsets.sort());
  return sorted.slice(0, 1).eq(sorted.slice(0, 0, -1)).any().item<bool>();
}

bool may_overlap(const at::Tensor& a, const at::Tensor& b) {
  if (a.numel() == 0 || b.numel() == 0 || !a.has_storage() || !b.has_storage()) return false;
  if (!a.storage().is_alias_of(b.storage())) return false;
  int64_t alo, ahi, blo, bhi;
  byte_range(a, alo, ahi);
  byte_range(b, blo, bhi);
  if (ahi <= blo || bhi <= alo) return false;
  switch (at::get_overlap_status(a, b)) {
    case at::MemOverlapStatus::Full:
    case at::MemOverlapStatus::Partial: return true;
    case at::MemOverlapStatus::No: return false;
    default: break;
  }
  // Undecided by torch: views on one lattice that never meet (interleaved
  // components of one buffer) differ in their offset modulo the strides'
  // common divisor; otherwise mark out the shared span.
  const int64_t g = gcd_of_strides(b, gcd_of_strides(a, 0));
  if (g > 0) {
    const int64_t r = (((blo - alo) % g) + g) % g;  // b's first byte relative to a's lattice
    if (r >= a.element_size() && g - r >= b.element_size()) return false;
  }
  const int64_t lo = std::max(alo, blo), hi = std::min(ahi, bhi);
  const int64_t base = std::min(alo, blo), span = std::max(ahi, bhi) - base;
  if (span > kExactSpan) return false;
  at::Tensor ma = at::zeros({span}, at::TensorOptions().dtype(at::kByte));
  at::Tensor mb = at::zeros({span}, at::TensorOptions().dtype(at::kByte));
  mark(ma, a, base);
  mark(mb, b, base);
  return ma.narrow(0, lo - base, hi - lo).logical_and(mb.narrow(0, lo - base, hi - lo)).any().item<bool>();
}

int check_devices_ranks_dtypes(const char* fn, c10::ArrayRef<Arg> args) {
  std::vector<Named> kernel_side;
  kernel_side.reserve(args.size());
  for (const Arg& a : args) {
    // Sparse and other layouts have no strided storage to read or write.
    TORCH_CHECK(a.t->layout() == at::kStrided, fn, ": ", a.name, " has layout ",
                a.t->layout(), "; only dense (strided) tensors are accepted (pass ", a.name,
                ".to_dense())");
    if (a.role != Role::Host) {
      kernel_side.emplace_back(a.name, a.t);
      continue;
    }
    const at::Device d = a.t->device();
    TORCH_CHECK(d.is_cpu() || d.is_cuda(), fn, ": ", a.name, " is on ", d.str(),
                "; only CPU and CUDA tensors are supported");
  }
  const int device = resolve_device(fn, kernel_side);
  for (const Arg& a : args) check_rank_dtype(fn, a);
  return device;
}

namespace {

// The addresses a tensor's elements occupy, [lo, hi); empty without elements
// or storage. Tensors whose spans do not meet cannot share memory, which
// settles most pairs of arguments without looking at their storages.
struct AddressSpan {
  uintptr_t lo = 0, hi = 0;
  bool meets(const AddressSpan& o) const { return lo < o.hi && o.lo < hi; }
};

AddressSpan address_span(const at::Tensor& t) {
  if (t.numel() == 0 || !t.has_storage()) return {};
  int64_t lo, hi;
  byte_range(t, lo, hi);
  const int64_t start = t.storage_offset() * t.element_size();  // lo <= start < hi
  const uintptr_t at = reinterpret_cast<uintptr_t>(t.const_data_ptr());
  return {at - static_cast<uintptr_t>(start - lo), at + static_cast<uintptr_t>(hi - start)};
}

}  // namespace

void check_written(const char* fn, c10::ArrayRef<Arg> args) {
  c10::SmallVector<AddressSpan, 32> spans;
  for (const Arg& a : args) spans.push_back(address_span(*a.t));
  for (const Arg& w : args) {
    if (w.role != Role::Out) continue;
    const at::Tensor& t = *w.t;
    const AddressSpan& tw = spans[&w - args.data()];
    TORCH_CHECK(!t.is_conj(), fn, ": ", w.name, " is a conjugate view (conjugate bit set); "
                "the function writes it, so it must hold its own values (pass a tensor "
                "without the bit, e.g. from resolve_conj())");
    TORCH_CHECK(!t.is_neg(), fn, ": ", w.name, " is a negative view (negative bit set); "
                "the function writes it, so it must hold its own values (pass a tensor "
                "without the bit, e.g. from resolve_neg())");
    TORCH_CHECK(!overlaps_itself(t), fn, ": ", w.name, " has more than one element at a "
                "single memory location (an expanded or otherwise self-overlapping view); "
                "the function writes it, so pass a tensor that owns each element, e.g. a "
                "clone()");
    for (const Arg& o : args) {
      if (&o == &w || !tw.meets(spans[&o - args.data()])) continue;
      TORCH_CHECK(!may_overlap(t, *o.t), fn, ": ", w.name, " and ", o.name,
                  " share memory; the function writes ", w.name,
                  ", so it must not overlap any other argument");
    }
  }
}

namespace {

// The arguments in check order: the lead ones first, the others as listed.
std::vector<Arg> in_check_order(std::initializer_list<Arg> args) {
  std::vector<Arg> v(args);
  std::stable_partition(v.begin(), v.end(), [](const Arg& a) { return a.lead; });
  return v;
}

}  // namespace

Call::Call(const char* fn, std::initializer_list<Arg> args)
    : fn_(fn), args_(in_check_order(args)), device_(check_devices_ranks_dtypes(fn, args_)) {
  for (const Arg& a : args_)
    if (a.role == Role::In && (a.t->is_conj() || a.t->is_neg())) {
      resolved_.push_back(*a.t);
      resolved_.push_back(a.t->resolve_conj().resolve_neg());
    }
}

void Call::check_written() const { vx::check_written(fn_, args_); }

const at::Tensor& Call::in(const at::Tensor& t) {
  for (size_t i = 0; i < resolved_.size(); i += 2)
    if (resolved_[i].is_same(t)) return resolved_[i + 1];
  return t;
}

// ---------------------------------------------------------------------------
// Shape rules (host.h: argument tables).

void Call::check_shapes(const Extents& e) const {
  const auto check = [&](const Arg& a) {
    const ShapeRule& r = *a.shape;
    if (r.same_as) {  // the shape of another argument
      const Arg* other = nullptr;
      for (const Arg& o : args_)
        if (std::strcmp(o.name, r.same_as) == 0) {
          other = &o;
          break;
        }
      TORCH_INTERNAL_ASSERT(other, "a shape rule names an argument the call lacks");
      TORCH_CHECK_VALUE(a.t->sizes() == other->t->sizes(), fn_, ": ", a.name, " has shape ",
                        a.t->sizes(), " but must have the shape of ", other->name, ", ",
                        other->t->sizes());
      return;
    }
    if (r.n == 0 || (r.cond.ext != ShapeRule::kNone && e[r.cond] <= 0)) return;
    int64_t mins[ShapeRule::kMaxAxes];
    for (int d = 0; d < r.n; ++d) mins[d] = e[r.terms[d]];
    require_extent(fn_, a.name, *a.t, c10::ArrayRef<int64_t>(mins, r.n));
  };
  const auto is_source = [&](const Arg& a) {
    for (const at::Tensor* s : e.sources())
      if (s == a.t) return true;
    return false;
  };
  for (const at::Tensor* s : e.sources())
    for (const Arg& a : args_)
      if (s == a.t) check(a);
  for (const Arg& a : args_)
    if (!is_source(a)) check(a);
}

}  // namespace vx

// =============================================================================
// 3. The 6-D fields
// =============================================================================
// Host-side extents and checks shared by the 6-D field functions.

namespace vx {

Grid field_grid(const char* fn, const FieldExtents& e, int device) {
  check_field_grid(fn, e.NS, e.NM, e.NC, e.Nx, e.Ny, e.Nz);
  return make_grid(fn, e.NS, e.NM, e.Nx, e.Ny, e.Nz, e.NC, device);
}

}  // namespace vx

namespace vx {

void copy_field(const at::Tensor& dst, const at::Tensor& src) {
  constexpr int64_t kBlockLimit = 256 * 1024;  // bytes; larger copies use torch's threads
  const int64_t bytes = src.numel() * static_cast<int64_t>(src.element_size());
  if (dst.device().is_cpu() && src.device().is_cpu() && dst.dtype() == src.dtype() &&
      dst.sizes() == src.sizes() && dst.strides() == src.strides() && bytes <= kBlockLimit &&
      !dst.is_neg() && !src.is_neg() && !dst.is_conj() && !src.is_conj() &&
      dst.is_non_overlapping_and_dense() && src.is_non_overlapping_and_dense()) {
    // Dense and non-overlapping: the elements fill [data, data + bytes).
    if (bytes > 0) std::memmove(dst.data_ptr(), src.data_ptr(), static_cast<size_t>(bytes));
    return;
  }
  dst.copy_(src);
}

}  // namespace vx

// =============================================================================
// 5. Module setup
// =============================================================================
// Shared module setup: torch import and exception translation.

namespace py = pybind11;

namespace vx {

namespace {

const char* role_name(Role r) {
  switch (r) {
    case Role::Out: return "w";
    case Role::In: return "r";
    case Role::Host: return "h";
    case Role::Unused: return "u";
    case Role::Int: return "int";
    case Role::Bool: return "bool";
  }
  return "?";
}

}  // namespace

void Module::record(const char* name, const std::string& returns,
                    std::initializer_list<ArgInfo> args) {
  py::list described;
  for (const ArgInfo& a : args) {
    const py::object rank = a.rank < 0 ? py::object(py::none()) : py::object(py::int_(a.rank));
    const py::object dtype =
        a.dtype == kAny ? py::object(py::none())
                        : py::object(py::str(std::string(c10::getDtypeNames(a.dtype).first)));
    const py::object shape =
        a.shape[0] ? py::object(py::str(a.shape)) : py::object(py::none());
    described.append(py::make_tuple(a.name, role_name(a.role), rank, dtype, shape));
  }
  arguments_[name] = py::tuple(described);
  returns_[name] = returns;
}

Module::Module(py::module_& m, const char* doc, bool gpu_checks) : m_(m), gpu_checks_(gpu_checks) {
  m.doc() = doc;
  options_.disable_function_signatures();
  // Live read-only views of the tables def() fills.
  const py::object proxy = py::module_::import("types").attr("MappingProxyType");
  m.attr("_arguments") = proxy(arguments_);
  m.attr("_returns") = proxy(returns_);
  py::module_::import("torch");
  // torch's errors reach Python as their Python counterparts, with the
  // message alone (no C++ backtrace).
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const c10::IndexError& e) {
      PyErr_SetString(PyExc_IndexError, e.what_without_backtrace());
    } catch (const c10::ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what_without_backtrace());
    } catch (const c10::TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what_without_backtrace());
    } catch (const c10::NotImplementedError& e) {
      PyErr_SetString(PyExc_NotImplementedError, e.what_without_backtrace());
    } catch (const c10::Error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what_without_backtrace());
    }
  });
  // Private: the CPU traversal of this module's kernels ("rows", "blocks",
  // "blocks-points"; "" only reads it), for benchmarks and tests.
  m.def("_cpu_traversal", [](const std::string& name) {
    static const char* names[] = {"rows", "blocks", "blocks-points"};
    const std::string previous = names[static_cast<int>(cpu_traversal())];
    if (!name.empty()) {
      int t = 0;
      while (t < 3 && name != names[t]) ++t;
      TORCH_CHECK_VALUE(t < 3, "_cpu_traversal: unknown traversal '", name,
                        "' (rows, blocks, blocks-points)");
      set_cpu_traversal(static_cast<Traversal>(t));
    }
    return previous;
  });
}

}  // namespace vx
