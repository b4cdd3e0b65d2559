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
  const vx::HostInts h(fn, name, r, 2, "first and last cell");
  Range out;
  out.first = h[0];
  out.last = h[1];
  TORCH_CHECK_VALUE(out.first >= 0 && out.last >= out.first - 2, fn, ": ", name,
                    " = (", out.first, ", ", out.last, ") must have a non-negative first cell "
                    "and a last cell no more than 2 below it");
  // Both ends within 32 bits: the box extent last - first + 2 cannot wrap.
  TORCH_CHECK_VALUE(out.first <= INT32_MAX && out.last <= INT32_MAX, fn, ": ", name, " = (",
                    out.first, ", ", out.last, ") does not fit a 32-bit integer");
  return out;
}

}  // namespace

void Monitor_Update_E(VX_PARAMS(VOXSTEP_ARGS_MONITOR_UPDATE_E, kF32)) {
  const char* fn = "Monitor_Update_E";
  vx::Call call(fn, {VX_CHECKS(VOXSTEP_ARGS_MONITOR_UPDATE_E, kF32)});
  const int64_t NS = Mx.size(0), NM = Mx.size(1), NCm = Mx.size(5);
  const int device = call.device();
  vx::MonitorArgs<> a;
  call.accessors<vx::cfloat, 6>(a.Mx, a.My, a.Mz, Mx, My, Mz);
  call.accessors<float, 6>(a.Ex, a.Ey, a.Ez, Ex, Ey, Ez);
  a.w = call.cacc<1>(w);
  const Range X = read_range(fn, "rx", rx), Y = read_range(fn, "ry", ry),
              Z = read_range(fn, "rz", rz);
  const int64_t Bx = X.last - X.first + 2, By = Y.last - Y.first + 2, Bz = Z.last - Z.first + 2;
  const int64_t x0 = X.first, y0 = Y.first, z0 = Z.first;
  vx::check_grid(fn, vx::mul_sat({Bx, By, Bz}), vx::mul_sat({NS, NM, NCm}), "NS*NM*NCm");
  const bool empty = Bx == 0 || By == 0 || Bz == 0;  // an empty box: nothing to add
  if (!empty) {
    const std::pair<const char*, int64_t> ends[] = {
        {"rx", x0 + Bx}, {"ry", y0 + By}, {"rz", z0 + Bz}};
    for (const auto& end : ends)
      TORCH_CHECK_VALUE(end.second <= INT32_MAX, fn, ": the box along ", end.first,
                        " ends at node ", end.second - 1, ", beyond the 32-bit index range");
    // Monitor channel c reads field channel c, or channel 0 for every c when
    // Ex has fewer channels than the monitor.
    const int64_t NCf = Ex.size(5) < NCm ? std::min<int64_t>(NCm, 1) : NCm;
    using vx::Ext;
    call.check_shapes(vx::Extents({&w, &Mx, &Ex, &My, &Ey, &Mz, &Ez})
                          .set(Ext::NS, NS).set(Ext::NM, NM).set(Ext::NC, NCm)
                          .set(Ext::NCf, NCf).set(Ext::x0, x0).set(Ext::y0, y0)
                          .set(Ext::z0, z0).set(Ext::Bx, Bx).set(Ext::By, By)
                          .set(Ext::Bz, Bz));
  }
  const vx::Grid g = vx::make_grid(fn, NS, NM, Bx, By, Bz, NCm, device);
  call.check_written();
  if (empty) return;
  a.x0 = static_cast<int>(x0);
  a.y0 = static_cast<int>(y0);
  a.z0 = static_cast<int>(z0);
  a.NM = static_cast<int>(NM);
  a.NCm = static_cast<int>(NCm);
  a.Bx = static_cast<int>(Bx);
  a.By = static_cast<int>(By);
  a.Bz = static_cast<int>(Bz);
  vx::kernel::Monitor_Update_GPU_E(g, a);
}

}  // namespace voxstep
