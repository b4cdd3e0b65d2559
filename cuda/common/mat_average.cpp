// Mat_average: the mean of a voxel map over the sample cell of every point
// of the object's index window.
#include <ATen/Dispatch.h>
#include <ATen/ops/zeros.h>
#include <c10/core/DefaultDtype.h>

#include "host.h"
#include "material_host.h"
#include "kernels.h"


namespace vx {

Averaged Mat_average(bool gpu_checks, VX_PARAMS(VX_ARGS_MAT_AVERAGE, kAny)) {
  const char* fn = "Mat_average";
  require_cuda_inputs(gpu_checks, {&vox, &coord_x, &coord_y, &coord_z});
  // The map and coordinates are of the default floating type (the result's).
  Call call(fn, {VX_CHECKS(VX_ARGS_MAT_AVERAGE, kAny)});
  const OverlapSetup o =
      overlap_setup(fn, box_x, box_y, box_z, vox, coord_x, coord_y, coord_z);
  // Default dtype, on the device of the voxel map.
  const at::Tensor averaged =
      at::zeros({o.NM, o.s.Wx, o.s.Wy, o.s.Wz}, at::TensorOptions().device(vox.device()));
  AT_DISPATCH_FLOATING_TYPES(averaged.scalar_type(), "Mat_Average_GPU", [&] {
    MatAverageArgs<scalar_t> a;
    a.averaged = acc<scalar_t, 4>(averaged);
    a.coord_x = call.acc<scalar_t, 1>(coord_x);
    a.coord_y = call.acc<scalar_t, 1>(coord_y);
    a.coord_z = call.acc<scalar_t, 1>(coord_z);
    a.vox = call.acc<scalar_t, 4>(vox);
    a.s = o.s;
    const int device = call.device();
    kernel::Mat_Average_GPU(make_grid(fn, 1, o.NM, o.s.Wx, o.s.Wy, o.s.Wz, 1, device), a);
    if (device >= 0) synchronize_device(fn, device);
  });
  return {averaged, o.range_x, o.range_y, o.range_z};
}

}  // namespace vx
