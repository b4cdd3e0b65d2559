// Kernel table of the complex-field module Voxstep4: one line per kernel, its
// name, argument block and per-cell body (the curl updates have theirs in
// yee.h, bound from common/curl.cpp). The GPU kernels (kernels.cu) and
// the host entry points vx::kernel::NAME (kernels.cpp) are generated from it.
#pragma once

#include "../common/dispersion_divide.h"
#include "../common/inject_j.h"
#include "../common/inject_plane.h"
#include "../common/yee.h"
#include "../common/mixing.h"
#include "../common/periodic.h"
#include "../common/subcell.h"

#define VOXSTEP4_KERNELS(X)                                                                      \
  X(Update_E_Dispersion_GPU, vx::DispersionDivideArgs<>, vx::dispersion_divide_cell)             \
  X(Inject_H_Plane_GPU, vx::PlaneSignalArgs<>, (vx::inject_plane_point<false>))                  \
  X(Inject_E_Plane_GPU, vx::PlaneSignalArgs<>, (vx::inject_plane_point<true>))                   \
  X(Inject_J_GPU, vx::InjectJArgs<vx::cfloat>, (vx::inject_j_point<vx::cfloat>))                 \
  X(Set_ER_average_GPU, vx::MixArgs<true>, (vx::mix_cell<true, false>))                          \
  X(Set_sigma_average_GPU, vx::MixArgs<false>, (vx::mix_cell<false, true>))                      \
  X(Set_ER_subcell_GPU, vx::ERSubcellArgs, vx::set_er_subcell_cell)                              \
  X(E_boundx, vx::PeriodicComplexArgs, (vx::periodic_cell<vx::cfloat, 0>))                       \
  X(E_boundy, vx::PeriodicComplexArgs, (vx::periodic_cell<vx::cfloat, 1>))

VOXSTEP4_KERNELS(VX_DECLARE_KERNEL)
