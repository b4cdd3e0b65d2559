// Monitor_Update_E: running frequency-domain transform of Ex, Ey, Ez over a
// box, one complex weight per monitor channel and step.
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

namespace {

// First and last cell of the box along one axis (elements 0 and 1).
struct Range {
  int64_t first, last;
};

Range read_range(const char* fn, const char* name, Tn r) {
  TORCH_CHECK_VALUE(r.numel() >= 2, fn, ": ", name, " has ", r.numel(),
                    " elements but needs at least 2 (first and last cell)");
  const vx::HostInts h(r);
  Range out;
  out.first = h[0];
  out.last = h[1];
  TORCH_CHECK_VALUE(out.first >= 0 && out.last >= out.first - 2, fn, ": ", name,
                    " = (", out.first, ", ", out.last, ") must have a non-negative first cell "
                    "and a last cell no more than 2 below it");
  return out;
}

}  // namespace

void Monitor_Update_E(Tn Mx, Tn My, Tn Mz, Tn Ex, Tn Ey, Tn Ez, Tn w, Tn rx, Tn ry, Tn rz) {
  const char* fn = "Monitor_Update_E";
  const int64_t NS = Mx.size(0), NM = Mx.size(1), NCm = Mx.size(5);
  const int device = vx::resolve_device(fn, {{"Mx", &Mx}, {"My", &My}, {"Mz", &Mz}, {"Ex", &Ex},
                                             {"Ey", &Ey}, {"Ez", &Ez}, {"w", &w}});
  vx::MonitorArgs a;
  a.Mx = vx::cacc<6>(Mx);
  a.My = vx::cacc<6>(My);
  a.Mz = vx::cacc<6>(Mz);
  a.Ex = vx::acc<float, 6>(Ex);
  a.Ey = vx::acc<float, 6>(Ey);
  a.Ez = vx::acc<float, 6>(Ez);
  a.w = vx::cacc<1>(w);
  const Range X = read_range(fn, "rx", rx), Y = read_range(fn, "ry", ry),
              Z = read_range(fn, "rz", rz);
  const int64_t Bx = X.last - X.first + 2, By = Y.last - Y.first + 2, Bz = Z.last - Z.first + 2;
  const int64_t x0 = X.first, y0 = Y.first, z0 = Z.first;
  vx::check_grid(fn, Bx * By * Bz, NS * NM * NCm, "NS*NM*NCm");
  if (Bx == 0 || By == 0 || Bz == 0) return;  // an empty box: nothing to add

  // Monitor channel c reads field channel c, or channel 0 for every c when
  // Ex has fewer channels than the monitor.
  const int64_t NCf = Ex.size(5) < NCm ? std::min<int64_t>(NCm, 1) : NCm;
  vx::require_extent(fn, "w", w, {NCm});
  if (Bx > 1) {
    vx::require_extent(fn, "Mx", Mx, {NS, NM, Bx - 1, By, Bz, NCm});
    vx::require_extent(fn, "Ex", Ex, {NS, NM, x0 + Bx - 1, y0 + By, z0 + Bz, NCf});
  }
  if (By > 1) {
    vx::require_extent(fn, "My", My, {NS, NM, Bx, By - 1, Bz, NCm});
    vx::require_extent(fn, "Ey", Ey, {NS, NM, x0 + Bx, y0 + By - 1, z0 + Bz, NCf});
  }
  if (Bz > 1) {
    vx::require_extent(fn, "Mz", Mz, {NS, NM, Bx, By, Bz - 1, NCm});
    vx::require_extent(fn, "Ez", Ez, {NS, NM, x0 + Bx, y0 + By, z0 + Bz - 1, NCf});
  }
  a.x0 = static_cast<int>(x0);
  a.y0 = static_cast<int>(y0);
  a.z0 = static_cast<int>(z0);
  a.NM = static_cast<int>(NM);
  a.NCm = static_cast<int>(NCm);
  a.Bx = static_cast<int>(Bx);
  a.By = static_cast<int>(By);
  a.Bz = static_cast<int>(Bz);
  vx::kernel::Monitor_Update_GPU_E(vx::make_grid(fn, NS, NM, Bx, By, Bz, NCm, device), a);
}

}  // namespace voxstep
