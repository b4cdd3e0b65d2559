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


// Accessors of the curl profiles, auxiliaries, layer profiles and n_layer.
template <typename F>
CurlSet<F> curl_set_accessors(Call& call, Tn Cx, Tn Cy, Tn Cz, Tn psi_x, Tn psi_y, Tn psi_z,
                              Tn bx, Tn by, Tn bz, Tn gx, Tn gy, Tn gz, Tn n_layer) {
  CurlSet<F> cs;
  call.accessors<float, 1>(cs.Cx, cs.Cy, cs.Cz, Cx, Cy, Cz);
  call.accessors<F, 7>(cs.psi_x, cs.psi_y, cs.psi_z, psi_x, psi_y, psi_z);
  call.accessors<float, 1>(cs.bx, cs.by, cs.bz, bx, by, bz);
  call.accessors<float, 1>(cs.gx, cs.gy, cs.gz, gx, gy, gz);
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

// What a curl update does after its own checks: the curl set's extent
// checks, the launch limits, the written layouts, then the launch.
template <typename Args, typename LaunchFn>
void launch_curl_update(const char* fn, Call& call, const FieldExtents& e, Args& a, Tn Cx,
                        Tn Cy, Tn Cz, Tn psi_x, Tn psi_y, Tn psi_z, Tn bx, Tn by, Tn bz, Tn gx,
                        Tn gy, Tn gz, Tn n_layer, LaunchFn launch) {
  check_curl_set(fn, e, a.cs, Cx, Cy, Cz, psi_x, psi_y, psi_z, bx, by, bz, gx, gy, gz, n_layer);
  const Grid g = field_grid(fn, e, call.device());
  call.check_written();
  set_field_extents(a, e);
  launch(g, a);
}

}  // namespace vx
