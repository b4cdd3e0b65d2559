// Host wrapper of the periodic boundary update, shared by both modules.
#pragma once

#include "field_host.h"
#include "periodic.h"

namespace vx {

template <typename F>
Acc<F, 2> phase_acc(const at::Tensor& t);
template <>
inline Acc<float, 2> phase_acc<float>(const at::Tensor& t) { return acc<float, 2>(t); }
template <>
inline Acc<cfloat, 2> phase_acc<cfloat>(const at::Tensor& t) { return cacc<2>(t); }

// `real_halves`: channel c and c + H carry one complex value (NCh = NC / 2),
// otherwise every channel is complex (NCh = NC). The x pass is queued before
// the y pass's accessors are built; every extent (and the grid) is checked
// before the x pass, so an extent error leaves every tensor untouched.
template <typename F, typename LaunchX, typename LaunchY>
void update_e_periodic_host(const char* fn, bool real_halves, Tn Ex, Tn Ey, Tn Ez, Tn phase_x,
                            Tn phase_y, Tn periodic, bool positive_phase, LaunchX launch_x,
                            LaunchY launch_y) {
  const FieldExtents e = field_extents(Ex, Ey, Ez);
  const int64_t NCh = real_halves ? e.NC / 2 : e.NC;
  const int64_t columns = real_halves ? 2 * NCh : NCh;

  PeriodicArgs<F> ax;
  ax.first = field_acc<F, 6>(Ey);
  ax.second = field_acc<F, 6>(Ez);
  ax.phase = phase_acc<F>(phase_x);
  ax.periodic = acc<int32_t, 1>(periodic);

  const int device = resolve_device(fn, {{"Ex", &Ex}, {"Ey", &Ey}, {"Ez", &Ez},
                                         {"phase_x", &phase_x}, {"phase_y", &phase_y},
                                         {"periodic", &periodic}});
  // Ex's rank is known to be 6 (its extents were read); phase_y's rank is
  // checked by its accessor after the x pass, so its extents are checked here
  // only when it has the right rank.
  check_fields(fn, e, Ex, Ey, Ez, nullptr, nullptr, nullptr);
  require_extent(fn, "phase_x", phase_x, {e.NS, columns});
  if (phase_y.dim() == 2) require_extent(fn, "phase_y", phase_y, {e.NS, columns});
  require_extent(fn, "periodic", periodic, {2});
  const std::pair<const char*, int64_t> extents[] = {
      {"Nx (Ex axis 2)", e.Nx}, {"Ny (Ey axis 3)", e.Ny}, {"Nz (Ez axis 4)", e.Nz}};
  for (const auto& x : extents)
    TORCH_CHECK_VALUE(x.second < 65536, fn, ": ", x.first, " = ", x.second,
                      " must be below 65536 (cell indices are 16-bit)");
  const char* rows_what = real_halves ? "NS*NM*(NC/2)" : "NS*NM*NC";
  const int64_t rows = e.NS * e.NM * NCh;
  check_grid(fn, (e.Ny + 1) * (e.Nz + 1), rows, rows_what);
  check_grid(fn, (e.Nx + 1) * (e.Nz + 1), rows, rows_what);
  // One call per face position (u, k) of the pass and complex channel; u = i.
  const Grid gx = make_grid(fn, e.NS, e.NM, e.Ny + 1, 1, e.Nz + 1, NCh, device);
  const Grid gy = make_grid(fn, e.NS, e.NM, e.Nx + 1, 1, e.Nz + 1, NCh, device);

  ax.NM = static_cast<int>(e.NM);
  ax.NCh = static_cast<int>(NCh);
  ax.Nx = static_cast<int>(e.Nx);
  ax.Ny = static_cast<int>(e.Ny);
  ax.Nz = static_cast<int>(e.Nz);
  ax.positive_phase = positive_phase;
  launch_x(gx, ax);

  PeriodicArgs<F> ay = ax;
  ay.first = field_acc<F, 6>(Ex);
  ay.second = field_acc<F, 6>(Ez);
  ay.phase = phase_acc<F>(phase_y);
  ay.periodic = acc<int32_t, 1>(periodic);
  launch_y(gy, ay);
}

}  // namespace vx
