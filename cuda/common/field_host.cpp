// Host-side extents and checks shared by the 6-D field functions.
#include "field_host.h"

#include <algorithm>
#include <cstring>

namespace vx {

void check_fields(const char* fn, const FieldExtents& e, const at::Tensor& Ex,
                  const at::Tensor& Ey, const at::Tensor& Ez, const at::Tensor* Hx,
                  const at::Tensor* Hy, const at::Tensor* Hz) {
  require_extent(fn, "Ex", Ex, {e.NS, e.NM, e.Nx, e.Ny + 1, e.Nz + 1, e.NC});
  require_extent(fn, "Ey", Ey, {e.NS, e.NM, e.Nx + 1, e.Ny, e.Nz + 1, e.NC});
  require_extent(fn, "Ez", Ez, {e.NS, e.NM, e.Nx + 1, e.Ny + 1, e.Nz, e.NC});
  const std::pair<const char*, const at::Tensor*> hs[] = {{"Hx", Hx}, {"Hy", Hy}, {"Hz", Hz}};
  for (const auto& h : hs)
    if (h.second) require_extent(fn, h.first, *h.second, {e.NS, e.NM, e.Nx, e.Ny, e.Nz, e.NC});
}

void check_curl_profiles(const char* fn, const FieldExtents& e, const at::Tensor& Cx,
                         const at::Tensor& Cy, const at::Tensor& Cz) {
  require_extent(fn, "Cx", Cx, {e.Nx});
  require_extent(fn, "Cy", Cy, {e.Ny});
  require_extent(fn, "Cz", Cz, {e.Nz});
}

int64_t check_layer_axis(const char* fn, const FieldExtents& e, int axis,
                         const at::Tensor& psi, const at::Tensor& b, const at::Tensor& g) {
  static const char* psi_names[] = {"psi_x", "psi_y", "psi_z"};
  const int64_t lim = std::min({psi.size(2 + axis), b.size(0), g.size(0)});
  if (lim <= 0) return 0;
  int64_t mins[7] = {e.NS, e.NM, e.Nx, e.Ny, e.Nz, 2, e.NC};
  mins[2 + axis] = -1;
  require_extent(fn, psi_names[axis], psi,
                 {mins[0], mins[1], mins[2], mins[3], mins[4], mins[5], mins[6]});
  return lim;
}

void check_n_layer(const char* fn, const at::Tensor& n_layer) {
  require_extent(fn, "n_layer", n_layer, {3});
}

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
