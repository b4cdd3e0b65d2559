// Update_E_Dispersion: divides the provisional complex field by the
// per-channel plus the shared denominator term.
#include "../common/dispersion_divide.h"
#include "../common/field_host.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

void Update_E_Dispersion(Tn Ex, Tn Ey, Tn Ez, Tn den1_x, Tn den1_y, Tn den1_z, Tn den2_x,
                         Tn den2_y, Tn den2_z, Tn /*never accessed*/) {
  const char* fn = "Update_E_Dispersion";
  const vx::FieldExtents e = vx::field_extents(Ex, Ey, Ez);
  vx::DispersionDivideArgs<> a;
  a.Ex = vx::cacc<6>(Ex);
  a.Ey = vx::cacc<6>(Ey);
  a.Ez = vx::cacc<6>(Ez);
  a.den1_x = vx::acc<float, 5>(den1_x);
  a.den1_y = vx::acc<float, 5>(den1_y);
  a.den1_z = vx::acc<float, 5>(den1_z);
  a.den2_x = vx::acc<float, 4>(den2_x);
  a.den2_y = vx::acc<float, 4>(den2_y);
  a.den2_z = vx::acc<float, 4>(den2_z);

  const int device = vx::resolve_device(
      fn, {{"Ex", &Ex}, {"Ey", &Ey}, {"Ez", &Ez}, {"den1_x", &den1_x}, {"den1_y", &den1_y},
           {"den1_z", &den1_z}, {"den2_x", &den2_x}, {"den2_y", &den2_y},
           {"den2_z", &den2_z}});
  vx::check_fields(fn, e, Ex, Ey, Ez, nullptr, nullptr, nullptr);
  const vx::Named den1s[] = {{"den1_x", &den1_x}, {"den1_y", &den1_y}, {"den1_z", &den1_z}};
  for (const vx::Named& d : den1s)
    vx::require_extent(fn, d.first, *d.second, {e.NM, e.Nx, e.Ny, e.Nz, e.NC});
  const vx::Named den2s[] = {{"den2_x", &den2_x}, {"den2_y", &den2_y}, {"den2_z", &den2_z}};
  for (const vx::Named& d : den2s)
    vx::require_extent(fn, d.first, *d.second, {e.NM, e.Nx, e.Ny, e.Nz});
  const vx::Grid g = vx::field_grid(fn, e, device);
  vx::set_field_extents(a, e);
  vx::kernel::Update_E_Dispersion_GPU(g, a);
}

}  // namespace voxstep4
