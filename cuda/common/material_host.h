// Host side of the material-preparation functions: the public functions'
// CUDA checks, the index windows and the scalars of the overlap averaging.
#pragma once

#include <initializer_list>

#include "host.h"
#include "material.h"

namespace vx {

// The public functions (gpu_checks) need CUDA and refuse a CPU `vox` or
// coordinate tensor, with the fixed messages; the CPU twins skip this.
void require_cuda_inputs(bool gpu_checks, std::initializer_list<const at::Tensor*> tensors);

// Index window [first, last] of `coord` against `box` (a new int32 CPU
// tensor); fn and the names go into the messages.
at::Tensor id_window(const char* fn, const char* box_name, const at::Tensor& box,
                     const char* coord_name, const at::Tensor& coord);

// The three windows and the scalars of one object's averaging launch.
struct OverlapSetup {
  at::Tensor range_x, range_y, range_z;
  OverlapScalars s;
  int64_t NM;
  int64_t points;  // Wx * Wy * Wz
};

// Checks the boxes (two elements each) and the voxel map (4-D, no zero
// extent), computes the windows and scalars and checks the launch limits
// (rows = NM * rows_per_slice).
OverlapSetup overlap_setup(const char* fn, const at::Tensor& box_x, const at::Tensor& box_y,
                           const at::Tensor& box_z, const at::Tensor& vox,
                           const at::Tensor& coord_x, const at::Tensor& coord_y,
                           const at::Tensor& coord_z, int64_t rows_per_slice = 1);

// The extents of the maps an object is painted into (host.h: shape rules):
// NM and the sample counts Lx, Ly, Lz of its coordinates.
inline Extents painted_extents(const OverlapSetup& o) {
  Extents e;
  e.set(Ext::NM, o.NM).set(Ext::Lx, o.s.Lx).set(Ext::Ly, o.s.Ly).set(Ext::Lz, o.s.Lz);
  return e;
}

// The accessors and scalars of ObjectArgs, for one object's launch.
inline void set_object_args(Call& call, ObjectArgs& a, const OverlapSetup& o, Tn coord_x,
                            Tn coord_y, Tn coord_z, Tn vox, int64_t mat_id, Tn id_map,
                            Tn prev_id_map) {
  call.accessors<float, 1>(a.coord_x, a.coord_y, a.coord_z, coord_x, coord_y, coord_z);
  a.vox = call.acc<float, 4>(vox);
  a.mat_id = static_cast<int>(mat_id & 0xFF);
  a.id_map = call.acc<uint8_t, 4>(id_map);
  a.prev_id_map = call.acc<uint8_t, 4>(prev_id_map);
  a.s = o.s;
}

}  // namespace vx
