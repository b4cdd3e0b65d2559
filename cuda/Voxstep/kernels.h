// Kernel table of the real-field module Voxstep: one line per kernel, its
// name, argument block and per-cell body (the curl updates have theirs in
// yee.h, bound from common/curl.cpp). The GPU kernels (kernels.cu) and
// the host entry points vx::kernel::NAME (kernels.cpp) are generated from it.
#pragma once

#include "../common/dispersion_real.h"
#include "../common/inject_j.h"
#include "../common/inject_plane.h"
#include "../common/yee.h"
#include "../common/mixing.h"
#include "../common/periodic.h"
#include "../common/subcell.h"
#include "monitor.h"
#include "trilinear.h"

#define VOXSTEP_KERNELS(X)                                                                      \
  X(Update_E_Dispersion_GPU, vx::DispersionRealArgs<>, vx::dispersion_real_cell)                \
  X(E_boundx, vx::PeriodicRealArgs, (vx::periodic_cell<float, 0>))                              \
  X(E_boundy, vx::PeriodicRealArgs, (vx::periodic_cell<float, 1>))                              \
  X(Inject_H_Plane_GPU, vx::PlaneAmpArgs<>, (vx::inject_plane_point<false>))                    \
  X(Inject_E_Plane_GPU, vx::PlaneAmpArgs<>, (vx::inject_plane_point<true>))                     \
  X(Inject_J_GPU, vx::InjectJArgs<float>, (vx::inject_j_point<float>))                          \
  X(Set_ER_average_GPU, vx::MixArgs<false>, (vx::mix_cell<false, false>))                       \
  X(Set_weight_subcell_GPU, vx::WeightSubcellArgs, vx::set_weight_subcell_cell)                 \
  X(Monitor_Update_GPU_E, vx::MonitorArgs<>, vx::monitor_point)                                 \
  X(Trilinear_interpolation_GPU, vx::TrilinearArgs, vx::trilinear_point)                        \
  X(Trilinear_reverse_interpolation_GPU, vx::TrilinearReverseArgs, vx::trilinear_reverse_point)

VOXSTEP_KERNELS(VX_DECLARE_KERNEL)
