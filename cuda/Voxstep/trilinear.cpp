// Trilinear_interpolation, Trilinear_reverse_interpolation: resampling of
// complex [NS, NM, x, y, z, NC] data between a rectilinear grid and a
// tensor-product set of query points, and the transpose of that sampling.
#include <ATen/ATen.h>
#include <ATen/Context.h>

#include <array>
#include <stdexcept>

#include "../common/host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

namespace {

// Interval index of every query coordinate, by a dense comparison with every
// grid coordinate (d[a][b] = q[a] - g[b]).
//   nearest: the first b with the smallest |d|; a NaN query takes the last
//     node.
//   trilinear: (first b with d < 0) - 1, clamped to [0, ng - 2]; a query
//     with no greater grid coordinate (at or beyond the last one, or NaN)
//     takes the last interval, so its clamped weight selects the last node.
at::Tensor interval_index(const at::Tensor& q, const at::Tensor& g, bool nearest) {
  const int64_t ng = g.size(0);
  const at::Tensor d = q.unsqueeze(1) - g.unsqueeze(0);
  if (nearest) {
    const at::Tensor l = at::where(q.isnan(), ng - 1, d.abs().argmin(1));
    return l.to(at::kInt);
  }
  const at::Tensor above = d.lt(0);
  const at::Tensor first_above = above.to(at::kByte).argmax(1);
  const at::Tensor l = at::where(above.any(1), first_above - 1, ng - 2).clamp(0, ng - 2);
  return l.to(at::kInt);
}

void require_cuda(const char* device_message, std::initializer_list<const at::Tensor*> ts) {
  if (!at::hasCUDA()) throw std::runtime_error("CUDA not available.");
  for (const at::Tensor* t : ts)
    if (!t->is_cuda()) throw std::runtime_error(device_message);
}

void check_axis(const char* fn, const char* name, const at::Tensor& g, int64_t need) {
  TORCH_CHECK_VALUE(g.size(0) >= need, fn, ": ", name, " has ", g.size(0),
                    " coordinates but needs at least ", need,
                    need > 1 ? " (one interval)" : "");
}

// The grids, the queries and the sizes both kernels share.
template <typename Args>
void set_axes(vx::Call& call, Args& a, Tn grid_x, Tn grid_y, Tn grid_z, Tn query_x, Tn query_y, Tn query_z,
              int64_t NM, int64_t NC) {
  call.accessors<float, 1>(a.grid_x, a.grid_y, a.grid_z, grid_x, grid_y, grid_z);
  call.accessors<float, 1>(a.query_x, a.query_y, a.query_z, query_x, query_y, query_z);
  a.NM = static_cast<int>(NM);
  a.NC = static_cast<int>(NC);
  a.nqx = static_cast<int>(query_x.size(0));
  a.nqy = static_cast<int>(query_y.size(0));
  a.nqz = static_cast<int>(query_z.size(0));  // below 2^31: the launch limit is checked first
}

// The grid and query points along each axis, for the shape rules.
vx::Extents axis_extents(int64_t ngx, int64_t ngy, int64_t ngz, int64_t nqx, int64_t nqy,
                         int64_t nqz) {
  using vx::Ext;
  vx::Extents e;
  e.set(Ext::Gx, ngx).set(Ext::Gy, ngy).set(Ext::Gz, ngz);
  e.set(Ext::Qx, nqx).set(Ext::Qy, nqy).set(Ext::Qz, nqz);
  return e;
}

// The interval index of every query coordinate, per axis; the returned
// tensors must outlive the launch.
template <typename Args>
std::array<at::Tensor, 3> set_indices(Args& a, Tn grid_x, Tn grid_y, Tn grid_z, Tn query_x,
                                      Tn query_y, Tn query_z, bool nearest) {
  std::array<at::Tensor, 3> idx = {interval_index(query_x, grid_x, nearest),
                                   interval_index(query_y, grid_y, nearest),
                                   interval_index(query_z, grid_z, nearest)};
  a.index_x = vx::acc<int32_t, 1>(idx[0]);
  a.index_y = vx::acc<int32_t, 1>(idx[1]);
  a.index_z = vx::acc<int32_t, 1>(idx[2]);
  return idx;
}

}  // namespace

at::Tensor Trilinear_interpolation(bool gpu_checks,
                                   VX_PARAMS(VOXSTEP_ARGS_TRILINEAR_INTERPOLATION, kF32)) {
  const char* fn = "Trilinear_interpolation";
  if (gpu_checks)
    require_cuda("Tensor is not on GPU.",
                 {&src, &grid_x, &grid_y, &grid_z, &query_x, &query_y, &query_z});
  vx::Call call(fn, {VX_CHECKS(VOXSTEP_ARGS_TRILINEAR_INTERPOLATION, kF32)});
  const int64_t NS = src.size(0), NM = src.size(1), NC = src.size(5);
  const int64_t ngx = grid_x.size(0), ngy = grid_y.size(0), ngz = grid_z.size(0);
  const int64_t nqx = query_x.size(0), nqy = query_y.size(0), nqz = query_z.size(0);
  const int device = call.device();
  vx::TrilinearArgs a;
  a.src = call.cacc<6>(src);
  set_axes(call, a, grid_x, grid_y, grid_z, query_x, query_y, query_z, NM, NC);
  // Nearest mode needs one node per axis, trilinear mode one interval.
  const int64_t need = nearest ? 1 : 2;
  check_axis(fn, "grid_x", grid_x, need);
  check_axis(fn, "grid_y", grid_y, need);
  check_axis(fn, "grid_z", grid_z, need);
  call.check_shapes(axis_extents(ngx, ngy, ngz, nqx, nqy, nqz));
  vx::check_grid(fn, vx::mul_sat({nqx, nqy, nqz}), vx::mul_sat({NS, NM, NC}), "NS*NM*NC");

  at::Tensor result = at::zeros({NS, NM, nqx, nqy, nqz, NC}, src.options());
  const auto idx = set_indices(a, call.in(grid_x), call.in(grid_y), call.in(grid_z),
                               call.in(query_x), call.in(query_y), call.in(query_z), nearest);
  a.result = vx::cacc<6>(result);
  a.nearest = nearest;
  vx::kernel::Trilinear_interpolation_GPU(vx::make_grid(fn, NS, NM, nqx, nqy, nqz, NC, device), a);
  if (device >= 0) vx::synchronize_device(fn, device);
  return result;
}

at::Tensor Trilinear_reverse_interpolation(
    bool gpu_checks, VX_PARAMS(VOXSTEP_ARGS_TRILINEAR_REVERSE_INTERPOLATION, kF32)) {
  const char* fn = "Trilinear_reverse_interpolation";
  if (gpu_checks)
    require_cuda("Error: Tensor is not on GPU.",
                 {&vals, &grid_x, &grid_y, &grid_z, &query_x, &query_y, &query_z});
  vx::Call call(fn, {VX_CHECKS(VOXSTEP_ARGS_TRILINEAR_REVERSE_INTERPOLATION, kF32)});
  const int64_t NS = vals.size(0), NM = vals.size(1), NC = vals.size(5);
  const int64_t ngx = grid_x.size(0), ngy = grid_y.size(0), ngz = grid_z.size(0);
  const int64_t nqx = query_x.size(0), nqy = query_y.size(0), nqz = query_z.size(0);
  const int device = call.device();
  // Views of the resolved values: the imaginary part of a conjugate view
  // would be a negative view, which an accessor reads raw.
  const at::Tensor& v = call.in(vals);
  vx::TrilinearReverseArgs a;
  a.vals_re = vx::acc<float, 6>(at::real(v));
  a.vals_im = vx::acc<float, 6>(at::imag(v));
  set_axes(call, a, grid_x, grid_y, grid_z, query_x, query_y, query_z, NM, NC);
  check_axis(fn, "grid_x", grid_x, 2);
  check_axis(fn, "grid_y", grid_y, 2);
  check_axis(fn, "grid_z", grid_z, 2);
  call.check_shapes(axis_extents(ngx, ngy, ngz, nqx, nqy, nqz));
  vx::check_grid(fn, vx::mul_sat({nqx, nqy, nqz}), vx::mul_sat({NS, NM, NC}), "NS*NM*NC");

  const auto real_options = vals.options().dtype(at::kFloat);
  at::Tensor U = at::zeros({NS, NM, ngx, ngy, ngz, NC}, real_options);
  at::Tensor T = at::zeros({NS, NM, ngx, ngy, ngz, NC}, real_options);
  const auto idx = set_indices(a, call.in(grid_x), call.in(grid_y), call.in(grid_z),
                               call.in(query_x), call.in(query_y), call.in(query_z), false);
  a.U = vx::acc<float, 6>(U);
  a.T = vx::acc<float, 6>(T);
  vx::kernel::Trilinear_reverse_interpolation_GPU(
      vx::make_grid(fn, NS, NM, nqx, nqy, nqz, NC, device), a);
  if (device >= 0) vx::synchronize_device(fn, device);
  return at::complex(U, T);
}

}  // namespace voxstep
