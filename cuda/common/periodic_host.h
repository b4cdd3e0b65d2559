// Host wrapper of the periodic boundary update, shared by both modules.
#pragma once

#include "host.h"
#include "periodic.h"

namespace vx {

// `real_halves`: channel c and c + H carry one complex value (NCh = NC / 2),
// otherwise every channel is complex (NCh = NC). The tensors of both passes
// and every extent and grid limit are checked before the x pass is queued,
// so a call that raises leaves every tensor untouched; the x pass then runs
// before the y pass.
template <typename F, typename LaunchX, typename LaunchY>
void update_e_periodic_host(const char* fn, bool real_halves,
                            VX_PARAMS(VX_ARGS_UPDATE_E_PERIODIC, kField<F>), LaunchX launch_x,
                            LaunchY launch_y) {
  Call call(fn, {VX_CHECKS(VX_ARGS_UPDATE_E_PERIODIC, kField<F>)});
  const FieldExtents e = field_extents(Ex, Ey, Ez);
  // A single real channel has no imaginary half to carry the Bloch phase.
  TORCH_CHECK_VALUE(!real_halves || e.NC != 1, fn, ": NC = 1 (Ex axis 5), but the channel axis "
                    "must carry real and imaginary halves (channel c and c + NC/2), so NC must "
                    "be even; with one channel the boundary would not be updated at all");
  const int64_t NCh = real_halves ? e.NC / 2 : e.NC;
  const int64_t columns = real_halves ? 2 * NCh : NCh;
  call.check_shapes(e.named().set(Ext::NP, columns));
  const std::pair<const char*, int64_t> extents[] = {
      {"Nx (Ex axis 2)", e.Nx}, {"Ny (Ey axis 3)", e.Ny}, {"Nz (Ez axis 4)", e.Nz}};
  for (const auto& x : extents)
    TORCH_CHECK_VALUE(x.second < 65536, fn, ": ", x.first, " = ", x.second,
                      " must be below 65536 (cell indices are 16-bit)");
  const char* rows_what = real_halves ? "NS*NM*(NC/2)" : "NS*NM*NC";
  const int64_t rows = mul_sat({e.NS, e.NM, NCh});
  check_grid(fn, (e.Ny + 1) * (e.Nz + 1), rows, rows_what);
  check_grid(fn, (e.Nx + 1) * (e.Nz + 1), rows, rows_what);
  // One call per face position (u, k) of the pass and complex channel; u = i.
  const Grid gx = make_grid(fn, e.NS, e.NM, e.Ny + 1, 1, e.Nz + 1, NCh, call.device());
  const Grid gy = make_grid(fn, e.NS, e.NM, e.Nx + 1, 1, e.Nz + 1, NCh, call.device());
  call.check_written();

  PeriodicArgs<F> ax;
  ax.first = call.field_acc<F, 6>(Ey);
  ax.second = call.field_acc<F, 6>(Ez);
  ax.phase = call.field_acc<F, 2>(phase_x);
  ax.periodic = call.acc<int32_t, 1>(periodic);
  ax.NM = static_cast<int>(e.NM);
  ax.NCh = static_cast<int>(NCh);
  ax.Nx = static_cast<int>(e.Nx);
  ax.Ny = static_cast<int>(e.Ny);
  ax.Nz = static_cast<int>(e.Nz);
  ax.positive_phase = positive_phase;
  ax.axis = 0;
  PeriodicArgs<F> ay = ax;
  ay.axis = 1;
  ay.first = call.field_acc<F, 6>(Ex);
  ay.second = call.field_acc<F, 6>(Ez);
  ay.phase = call.field_acc<F, 2>(phase_y);
  launch_x(gx, ax);
  launch_y(gy, ay);
}

}  // namespace vx
