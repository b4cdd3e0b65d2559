// Checks 1, 2 and 5 of every call (devices, ranks and element types, layouts of
// written tensors) and the overflow-safe arithmetic of the host checks.
#include "args.h"

#include <ATen/ATen.h>
#include <ATen/MemoryOverlap.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/zeros.h>
#include <c10/util/SmallVector.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <iomanip>
#include <numeric>
#include <sstream>

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

}  // namespace vx
