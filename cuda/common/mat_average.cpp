// Mat_average: the mean of a voxel map over the sample cell of every point
// of the object's index window.
#include <ATen/Dispatch.h>
#include <ATen/ops/zeros.h>

#include "material_api.h"
#include "material_host.h"
#include "kernels.h"


namespace vx {

std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor> Mat_average(
    bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x, Tn coord_y,
    Tn coord_z) {
  const char* fn = "Mat_average";
  require_cuda_inputs(gpu_checks, {&vox, &coord_x, &coord_y, &coord_z});
  const OverlapSetup o =
      overlap_setup(fn, box_x, box_y, box_z, vox, coord_x, coord_y, coord_z);
  // Default dtype, on the device of the voxel map.
  const at::Tensor averaged =
      at::zeros({o.NM, o.s.Wx, o.s.Wy, o.s.Wz}, at::TensorOptions().device(vox.device()));
  AT_DISPATCH_FLOATING_TYPES(averaged.scalar_type(), "Mat_Average_GPU", [&] {
    MatAverageArgs<scalar_t> a;
    a.averaged = acc<scalar_t, 4>(averaged);
    a.coord_x = acc<scalar_t, 1>(coord_x);
    a.coord_y = acc<scalar_t, 1>(coord_y);
    a.coord_z = acc<scalar_t, 1>(coord_z);
    a.vox = acc<scalar_t, 4>(vox);
    a.s = o.s;
    const int device = resolve_device(fn, {{"vox", &vox},
                                           {"coord_x", &coord_x},
                                           {"coord_y", &coord_y},
                                           {"coord_z", &coord_z}});
    kernel::Mat_Average_GPU(make_grid(fn, 1, o.NM, o.s.Wx, o.s.Wy, o.s.Wz, 1, device), a);
    if (device >= 0) synchronize_device(fn, device);
  });
  return {averaged, o.range_x, o.range_y, o.range_z};
}

}  // namespace vx
