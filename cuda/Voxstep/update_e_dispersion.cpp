// Update_E_Dispersion: the dispersive completion of the electric update, then
// the previous-value copies Ex_prev <- Ex, Ey_prev <- Ey, Ez_prev <- Ez.
#include "../common/dispersion_real.h"
#include "../common/field_host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

namespace {

// The previous-value copies need exactly the field's shape.
void require_same_shape(const char* fn, const char* name, const at::Tensor& t,
                        const char* field_name, const at::Tensor& field) {
  TORCH_CHECK_VALUE(t.sizes() == field.sizes(), fn, ": ", name, " has shape ", t.sizes(),
                    " but must have the shape of ", field_name, ", ", field.sizes());
}

}  // namespace

void Update_E_Dispersion(Tn Ex, Tn Ey, Tn Ez, Tn Ex_prev, Tn Ey_prev, Tn Ez_prev, Tn weight_x,
                         Tn weight_y, Tn weight_z, Tn id_map_x, Tn id_map_y, Tn id_map_z,
                         Tn prev_id_map_x, Tn prev_id_map_y, Tn prev_id_map_z, Tn den1_x,
                         Tn den1_y, Tn den1_z, Tn den2_x, Tn den2_y, Tn den2_z, Tn alpha,
                         Tn beta, Tn aux1_x, Tn aux1_y, Tn aux1_z, Tn aux2_x, Tn aux2_y,
                         Tn aux2_z, Tn /*never accessed*/) {
  const char* fn = "Update_E_Dispersion";
  const vx::FieldExtents e = vx::field_extents(Ex, Ey, Ez);
  vx::DispersionRealArgs<> a;
  a.Ex = vx::acc<float, 6>(Ex);
  a.Ey = vx::acc<float, 6>(Ey);
  a.Ez = vx::acc<float, 6>(Ez);
  a.Ex_prev = vx::acc<float, 6>(Ex_prev);
  a.Ey_prev = vx::acc<float, 6>(Ey_prev);
  a.Ez_prev = vx::acc<float, 6>(Ez_prev);
  a.weight_x = vx::acc<float, 4>(weight_x);
  a.weight_y = vx::acc<float, 4>(weight_y);
  a.weight_z = vx::acc<float, 4>(weight_z);
  a.id_map_x = vx::acc<uint8_t, 4>(id_map_x);
  a.id_map_y = vx::acc<uint8_t, 4>(id_map_y);
  a.id_map_z = vx::acc<uint8_t, 4>(id_map_z);
  a.prev_id_map_x = vx::acc<uint8_t, 4>(prev_id_map_x);
  a.prev_id_map_y = vx::acc<uint8_t, 4>(prev_id_map_y);
  a.prev_id_map_z = vx::acc<uint8_t, 4>(prev_id_map_z);
  a.den1_x = vx::acc<float, 4>(den1_x);
  a.den1_y = vx::acc<float, 4>(den1_y);
  a.den1_z = vx::acc<float, 4>(den1_z);
  a.den2_x = vx::acc<float, 4>(den2_x);
  a.den2_y = vx::acc<float, 4>(den2_y);
  a.den2_z = vx::acc<float, 4>(den2_z);
  a.alpha = vx::cacc<1>(alpha);
  a.beta = vx::cacc<1>(beta);
  a.aux1_x = vx::cacc<6>(aux1_x);
  a.aux1_y = vx::cacc<6>(aux1_y);
  a.aux1_z = vx::cacc<6>(aux1_z);
  a.aux2_x = vx::cacc<6>(aux2_x);
  a.aux2_y = vx::cacc<6>(aux2_y);
  a.aux2_z = vx::cacc<6>(aux2_z);

  const int device = vx::resolve_device(
      fn, {{"Ex", &Ex}, {"Ey", &Ey}, {"Ez", &Ez}, {"Ex_prev", &Ex_prev},
           {"Ey_prev", &Ey_prev}, {"Ez_prev", &Ez_prev}, {"weight_x", &weight_x},
           {"weight_y", &weight_y}, {"weight_z", &weight_z}, {"id_map_x", &id_map_x},
           {"id_map_y", &id_map_y}, {"id_map_z", &id_map_z},
           {"prev_id_map_x", &prev_id_map_x}, {"prev_id_map_y", &prev_id_map_y},
           {"prev_id_map_z", &prev_id_map_z}, {"den1_x", &den1_x}, {"den1_y", &den1_y},
           {"den1_z", &den1_z}, {"den2_x", &den2_x}, {"den2_y", &den2_y},
           {"den2_z", &den2_z}, {"alpha", &alpha}, {"beta", &beta}, {"aux1_x", &aux1_x},
           {"aux1_y", &aux1_y}, {"aux1_z", &aux1_z}, {"aux2_x", &aux2_x},
           {"aux2_y", &aux2_y}, {"aux2_z", &aux2_z}});
  vx::check_fields(fn, e, Ex, Ey, Ez, nullptr, nullptr, nullptr);
  require_same_shape(fn, "Ex_prev", Ex_prev, "Ex", Ex);
  require_same_shape(fn, "Ey_prev", Ey_prev, "Ey", Ey);
  require_same_shape(fn, "Ez_prev", Ez_prev, "Ez", Ez);
  const vx::Named maps[] = {
      {"weight_x", &weight_x},   {"weight_y", &weight_y},   {"weight_z", &weight_z},
      {"id_map_x", &id_map_x},   {"id_map_y", &id_map_y},   {"id_map_z", &id_map_z},
      {"prev_id_map_x", &prev_id_map_x}, {"prev_id_map_y", &prev_id_map_y},
      {"prev_id_map_z", &prev_id_map_z}, {"den1_x", &den1_x}, {"den1_y", &den1_y},
      {"den1_z", &den1_z},       {"den2_x", &den2_x},       {"den2_y", &den2_y},
      {"den2_z", &den2_z}};
  for (const vx::Named& mp : maps)
    vx::require_extent(fn, mp.first, *mp.second, {e.NM, e.Nx, e.Ny, e.Nz});
  // The kernel touches the auxiliaries only at cells below Nx, Ny, Nz.
  const vx::Named auxes[] = {{"aux1_x", &aux1_x}, {"aux1_y", &aux1_y}, {"aux1_z", &aux1_z},
                             {"aux2_x", &aux2_x}, {"aux2_y", &aux2_y}, {"aux2_z", &aux2_z}};
  for (const vx::Named& ax : auxes)
    vx::require_extent(fn, ax.first, *ax.second, {e.NS, e.NM, e.Nx, e.Ny, e.Nz, e.NC});
  const vx::Grid g = vx::field_grid(fn, e, device);
  vx::set_field_extents(a, e);
  vx::kernel::Update_E_Dispersion_GPU(g, a);

  // Same device and stream as the kernel: ordered after it, no host wait.
  Ex_prev.copy_(Ex);
  Ey_prev.copy_(Ey);
  Ez_prev.copy_(Ez);
}

}  // namespace voxstep
