// Host-side extents and checks shared by the 6-D field functions.
#pragma once

#include "args.h"
#include "frame.h"
#include "yee.h"

namespace vx {

struct FieldExtents {
  int64_t NS, NM, NC, Nx, Ny, Nz;
};

// NS, NM, Nx, NC from Ex (axes 0, 1, 2, 5), Ny from Ey axis 3, Nz from Ez
// axis 4, read in that order.
inline FieldExtents field_extents(const at::Tensor& Ex, const at::Tensor& Ey,
                                  const at::Tensor& Ez) {
  FieldExtents e;
  e.NS = Ex.size(0);
  e.NM = Ex.size(1);
  e.Nx = Ex.size(2);
  e.NC = Ex.size(5);
  e.Ny = Ey.size(3);
  e.Nz = Ez.size(4);
  return e;
}

// The six components cover their staggered extents; `with_h` also checks the
// three magnetic components.
void check_fields(const char* fn, const FieldExtents& e, const at::Tensor& Ex,
                  const at::Tensor& Ey, const at::Tensor& Ez, const at::Tensor* Hx,
                  const at::Tensor* Hy, const at::Tensor* Hz);

// Curl profiles Cx, Cy, Cz cover Nx, Ny, Nz.
void check_curl_profiles(const char* fn, const FieldExtents& e, const at::Tensor& Cx,
                         const at::Tensor& Cy, const at::Tensor& Cz);

// One axis of absorbing layers (axis 0, 1, 2 for x, y, z). The thickness
// lives on the device, so only the non-layer axes of psi are checked here
// (and only when psi can hold any layer index at all); returns how many
// layer indices psi, b and g can all hold, which the kernel never exceeds.
int64_t check_layer_axis(const char* fn, const FieldExtents& e, int axis,
                         const at::Tensor& psi, const at::Tensor& b, const at::Tensor& g);

// n_layer holds n_x, n_y, n_z.
void check_n_layer(const char* fn, const at::Tensor& n_layer);

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

// The curl-set arguments of the call's argument list, in argument order.
#define VX_CURL_SET_ARGS(F)                                                                 \
  VX_IN(Cx, 1, ::vx::kF32), VX_IN(Cy, 1, ::vx::kF32), VX_IN(Cz, 1, ::vx::kF32),             \
      VX_OUT(psi_x, 7, ::vx::kField<F>), VX_OUT(psi_y, 7, ::vx::kField<F>),                 \
      VX_OUT(psi_z, 7, ::vx::kField<F>), VX_IN(bx, 1, ::vx::kF32), VX_IN(by, 1, ::vx::kF32), \
      VX_IN(bz, 1, ::vx::kF32), VX_IN(gx, 1, ::vx::kF32), VX_IN(gy, 1, ::vx::kF32),          \
      VX_IN(gz, 1, ::vx::kF32), VX_IN(n_layer, 1, ::vx::kI32)

// Accessors of the curl profiles, auxiliaries, layer profiles and n_layer.
template <typename F>
CurlSet<F> curl_set_accessors(Call& call, Tn Cx, Tn Cy, Tn Cz, Tn psi_x, Tn psi_y, Tn psi_z,
                              Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz, Tn n_layer) {
  CurlSet<F> cs;
  cs.Cx = call.acc<float, 1>(Cx);
  cs.Cy = call.acc<float, 1>(Cy);
  cs.Cz = call.acc<float, 1>(Cz);
  cs.psi_x = call.field_acc<F, 7>(psi_x);
  cs.psi_y = call.field_acc<F, 7>(psi_y);
  cs.psi_z = call.field_acc<F, 7>(psi_z);
  cs.bx = call.acc<float, 1>(bx);
  cs.by = call.acc<float, 1>(by);
  cs.bz = call.acc<float, 1>(bz);
  cs.gx = call.acc<float, 1>(gx);
  cs.gy = call.acc<float, 1>(gy);
  cs.gz = call.acc<float, 1>(gz);
  cs.n_layer = call.acc<int32_t, 1>(n_layer);
  return cs;
}

// Extent checks of the same tensors; fills in the layer limits.
template <typename F>
void check_curl_set(const char* fn, const FieldExtents& e, CurlSet<F>& cs, Tn Cx, Tn Cy, Tn Cz,
                    Tn psi_x, Tn psi_y, Tn psi_z, Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz,
                    Tn n_layer) {
  check_curl_profiles(fn, e, Cx, Cy, Cz);
  cs.lim_x = check_layer_axis(fn, e, 0, psi_x, bx, gx);
  cs.lim_y = check_layer_axis(fn, e, 1, psi_y, by, gy);
  cs.lim_z = check_layer_axis(fn, e, 2, psi_z, bz, gz);
  check_n_layer(fn, n_layer);
}

}  // namespace vx
