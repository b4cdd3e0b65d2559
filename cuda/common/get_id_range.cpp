// get_id_range and the host steps every overlap-averaging function shares.
#include <ATen/Context.h>
#include <ATen/ops/arange.h>
#include <ATen/ops/div.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/gt.h>
#include <ATen/ops/lt.h>
#include <ATen/ops/max.h>
#include <ATen/ops/min.h>
#include <ATen/ops/stack.h>
#include <ATen/ops/sub.h>
#include <ATen/ops/where.h>

#include <stdexcept>

#include "host.h"
#include "material_host.h"

namespace vx {

void require_cuda_inputs(bool gpu_checks, std::initializer_list<const at::Tensor*> tensors) {
  if (!gpu_checks) return;
  if (!at::hasCUDA()) throw std::runtime_error("Error: CUDA not available.");
  for (const at::Tensor* t : tensors)
    if (!t->is_cuda()) throw std::runtime_error("Error: Tensor is not on GPU.");
}

at::Tensor id_window(const char* fn, const char* box_name, const at::Tensor& box,
                     const char* coord_name, const at::Tensor& coord) {
  TORCH_CHECK_VALUE(box.numel() >= 1, fn, ": ", box_name, " is empty; it needs the box's ends");
  TORCH_CHECK_VALUE(coord.dim() == 1, fn, ": ", coord_name, " must be 1-D, got shape ",
                    coord.sizes());
  for (const auto& [name, t] : {std::pair<const char*, const at::Tensor*>{box_name, &box},
                                 {coord_name, &coord}})
    TORCH_CHECK(!t->is_complex() && t->scalar_type() != at::kBool, fn, ": ", name,
                " must hold real numbers but is ", c10::getDtypeNames(t->scalar_type()).first);
  const int64_t L = coord.size(0);
  TORCH_CHECK_VALUE(L <= INT32_MAX, fn, ": ", coord_name, " has ", L,
                    " coordinates; indices are 32-bit, so at most 2^31 - 1 fit");
  at::Tensor range = at::empty({2}, at::TensorOptions().dtype(at::kInt));
  int32_t* r = range.data_ptr<int32_t>();
  r[0] = 0;
  r[1] = static_cast<int32_t>(L - 1);
  if (L == 0) return range;

  // The box's ends read on the host (one copy of a CUDA box), both searches
  // on the coordinates' device, then one read back.
  const at::Tensor ends = box.reshape(-1).cpu();
  const at::Scalar lo = ends[0].item();
  const at::Scalar hi = ends[ends.numel() - 1].item();
  const at::Tensor index = at::arange(L, coord.options().dtype(at::kLong));
  const at::Tensor found =
      at::stack({at::where(at::lt(coord, lo), index, -1).max(),
                 at::where(at::gt(coord, hi), index, L).min()})
          .cpu();
  const int64_t below = found.data_ptr<int64_t>()[0];  // largest index under the box
  const int64_t above = found.data_ptr<int64_t>()[1];  // smallest index over the box
  if (below >= 0) r[0] = static_cast<int32_t>(below % 2 ? below - 1 : below);
  if (above < L) {
    const int64_t last = above % 2 ? above + 1 : above;
    r[1] = static_cast<int32_t>(last < L - 1 ? last : L - 1);
  }
  return range;
}

at::Tensor get_id_range(VX_PARAMS(VX_ARGS_GET_ID_RANGE, kAny)) {
  const char* fn = "get_id_range";
  check_devices_ranks_dtypes(fn, {VX_CHECKS(VX_ARGS_GET_ID_RANGE, kAny)});
  return id_window(fn, "box", box, "coord", coord);
}

namespace {

// Box origin and voxel pitch along one axis: the difference and the quotient
// are formed by the tensor library, then read as single precision.
void box_axis(const char* fn, const char* name, const at::Tensor& box, int64_t V, float& origin,
              float& pitch) {
  TORCH_CHECK_VALUE(box.numel() == 2, fn, ": ", name,
                    " must hold exactly two elements (the low and high end of the box), got ",
                    box.numel());
  const at::Tensor ends = box.reshape(-1).cpu();
  origin = ends[0].item<float>();
  pitch = at::div(at::sub(ends[1], ends[0]), static_cast<double>(V)).item<float>();
}

int window_size(const at::Tensor& range) {
  const int32_t* r = range.data_ptr<int32_t>();
  const int64_t w = static_cast<int64_t>(r[1]) - r[0] + 1;
  return w > 0 ? static_cast<int>(w) : 0;  // a reversed box gives an empty window
}

}  // namespace

OverlapSetup overlap_setup(const char* fn, const at::Tensor& box_x, const at::Tensor& box_y,
                           const at::Tensor& box_z, const at::Tensor& vox,
                           const at::Tensor& coord_x, const at::Tensor& coord_y,
                           const at::Tensor& coord_z, int64_t rows_per_slice) {
  TORCH_CHECK_VALUE(vox.dim() == 4, fn, ": vox must be 4-D [NM, Vx, Vy, Vz], got shape ",
                    vox.sizes());
  for (int d = 0; d < 4; ++d)
    TORCH_CHECK_VALUE(vox.size(d) > 0, fn, ": vox has shape ", vox.sizes(),
                      "; a voxel map needs at least one voxel along every axis");
  OverlapSetup o;
  OverlapScalars& s = o.s;
  TORCH_CHECK_VALUE(vox.size(1) <= INT32_MAX && vox.size(2) <= INT32_MAX &&
                        vox.size(3) <= INT32_MAX, fn, ": vox has shape ", vox.sizes(),
                    "; the voxel counts must fit 32-bit integers");
  o.range_x = id_window(fn, "box_x", box_x, "coord_x", coord_x);
  o.range_y = id_window(fn, "box_y", box_y, "coord_y", coord_y);
  o.range_z = id_window(fn, "box_z", box_z, "coord_z", coord_z);
  o.NM = vox.size(0);
  s.Vx = static_cast<int>(vox.size(1));
  s.Vy = static_cast<int>(vox.size(2));
  s.Vz = static_cast<int>(vox.size(3));
  box_axis(fn, "box_x", box_x, s.Vx, s.x0, s.dx);
  box_axis(fn, "box_y", box_y, s.Vy, s.y0, s.dy);
  box_axis(fn, "box_z", box_z, s.Vz, s.z0, s.dz);
  s.first_x = o.range_x.data_ptr<int32_t>()[0];
  s.first_y = o.range_y.data_ptr<int32_t>()[0];
  s.first_z = o.range_z.data_ptr<int32_t>()[0];
  s.Wx = window_size(o.range_x);
  s.Wy = window_size(o.range_y);
  s.Wz = window_size(o.range_z);
  s.Lx = static_cast<int>(coord_x.size(0));
  s.Ly = static_cast<int>(coord_y.size(0));
  s.Lz = static_cast<int>(coord_z.size(0));
  o.points = mul_sat({s.Wx, s.Wy, s.Wz});
  check_grid(fn, o.points, mul_sat(o.NM, rows_per_slice),
             rows_per_slice == 1 ? "NM (vox axis 0)" : "NM * NC");
  return o;
}

}  // namespace vx
