// Host-side extents and checks shared by the 6-D field functions.
#pragma once

#include "frame.h"

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

}  // namespace vx
