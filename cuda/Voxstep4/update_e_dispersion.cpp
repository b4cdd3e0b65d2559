// Update_E_Dispersion: divides the provisional complex field by the
// per-channel plus the shared denominator term.
#include "../common/dispersion_divide.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

void Update_E_Dispersion(VX_PARAMS(VOXSTEP4_ARGS_UPDATE_E_DISPERSION, kC64)) {
  const char* fn = "Update_E_Dispersion";
  vx::Call call(fn, {VX_CHECKS(VOXSTEP4_ARGS_UPDATE_E_DISPERSION, kC64)});
  const vx::FieldExtents e = vx::field_extents(Ex, Ey, Ez);
  const int device = call.device();
  vx::DispersionDivideArgs<> a;
  call.accessors<vx::cfloat, 6>(a.Ex, a.Ey, a.Ez, Ex, Ey, Ez);
  call.accessors<float, 5>(a.den1_x, a.den1_y, a.den1_z, den1_x, den1_y, den1_z);
  call.accessors<float, 4>(a.den2_x, a.den2_y, a.den2_z, den2_x, den2_y, den2_z);
  call.check_shapes(e.named());
  const vx::Grid g = vx::field_grid(fn, e, device);
  call.check_written();
  vx::set_field_extents(a, e);
  vx::kernel::Update_E_Dispersion_GPU(g, a);
}

}  // namespace voxstep4
