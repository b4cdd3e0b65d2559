// Update_E_Dispersion: the dispersive completion of the electric update, then
// the previous-value copies Ex_prev <- Ex, Ey_prev <- Ey, Ez_prev <- Ez.
#include "../common/dispersion_real.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

void Update_E_Dispersion(VX_PARAMS(VOXSTEP_ARGS_UPDATE_E_DISPERSION, kF32)) {
  const char* fn = "Update_E_Dispersion";
  // The previous-value tensors are checked with the others (device, type,
  // layout, shape below), so the copies after the kernel cannot fail.
  vx::Call call(fn, {VX_CHECKS(VOXSTEP_ARGS_UPDATE_E_DISPERSION, kF32)});
  const vx::FieldExtents e = vx::field_extents(Ex, Ey, Ez);
  const int device = call.device();
  vx::DispersionRealArgs<> a;
  call.accessors<float, 6>(a.Ex, a.Ey, a.Ez, Ex, Ey, Ez);
  call.accessors<float, 6>(a.Ex_prev, a.Ey_prev, a.Ez_prev, Ex_prev, Ey_prev, Ez_prev);
  call.accessors<float, 4>(a.weight_x, a.weight_y, a.weight_z, weight_x, weight_y, weight_z);
  call.accessors<uint8_t, 4>(a.id_map_x, a.id_map_y, a.id_map_z, id_map_x, id_map_y, id_map_z);
  call.accessors<uint8_t, 4>(a.prev_id_map_x, a.prev_id_map_y, a.prev_id_map_z, prev_id_map_x,
                            prev_id_map_y, prev_id_map_z);
  call.accessors<float, 4>(a.den1_x, a.den1_y, a.den1_z, den1_x, den1_y, den1_z);
  call.accessors<float, 4>(a.den2_x, a.den2_y, a.den2_z, den2_x, den2_y, den2_z);
  a.alpha = call.cacc<1>(alpha);
  a.beta = call.cacc<1>(beta);
  call.accessors<vx::cfloat, 6>(a.aux1_x, a.aux1_y, a.aux1_z, aux1_x, aux1_y, aux1_z);
  call.accessors<vx::cfloat, 6>(a.aux2_x, a.aux2_y, a.aux2_z, aux2_x, aux2_y, aux2_z);
  call.check_shapes(e.named());  // the previous values: exactly the fields' shapes
  const vx::Grid g = vx::field_grid(fn, e, device);
  call.check_written();
  vx::set_field_extents(a, e);
  vx::kernel::Update_E_Dispersion_GPU(g, a);

  // Same device and stream as the kernel: ordered after it, no host wait.
  vx::copy_field(Ex_prev, Ex);
  vx::copy_field(Ey_prev, Ey);
  vx::copy_field(Ez_prev, Ez);
}

}  // namespace voxstep
