// Inject_H, Inject_E: the plane source of the complex module, driven by a
// sampled time signal interpolated at (step - delay) per plane point.
#include "../common/inject_plane.h"
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

namespace {

// Shared wrapper, after the checks of `call` (VOXSTEP4_ARGS_PLANE).
// Sources: S1/P1/D1 (positions 3, 5, 7) feed field 1, S0/P0/D0 (positions
// 4, 6, 8) feed field 0; the messages name them as the function does.
template <typename LaunchFn>
void inject_plane(vx::Call& call, bool electric, Tn F0, Tn F1, Tn coef, Tn S1, Tn S0, Tn P1,
                  Tn P0, Tn D1, Tn D0, Tn margin, int64_t kp, int64_t step, LaunchFn launch) {
  const char* fn = call.fn();
  const auto n = [&](int i) { return call.name(i); };
  const int64_t NS = F0.size(0), NM = F0.size(1), NC = F0.size(5);
  const int64_t Px = electric ? F0.size(2) : P1.size(1);
  const int64_t Py = electric ? F1.size(3) : P0.size(2);
  const int64_t Nt = S1.size(1);
  vx::PlaneSignalArgs<> a;
  a.F0 = call.cacc<6>(F0);
  a.F1 = call.cacc<6>(F1);
  a.coef = call.acc<float, 1>(coef);
  a.S1 = call.cacc<2>(S1);
  a.S0 = call.cacc<2>(S0);
  a.P1 = call.cacc<4>(P1);
  a.P0 = call.cacc<4>(P0);
  a.D1 = call.acc<float, 2>(D1);
  a.D0 = call.acc<float, 2>(D0);
  const vx::Margins mg = vx::read_margin(fn, margin);
  const int64_t k = int64_t(vx::to_int32(fn, "kp", kp)) + (electric ? 1 : 0);
  const int step32 = vx::to_int32(fn, "step", step);
  const int Nt32 = vx::to_int32(fn, "Nt (size 1 of the first signal)", Nt);
  const bool any =
      vx::check_plane(fn, n(0), F0, n(1), F1, coef, kp, k, mg, NS, NM, NC, Px, Py);
  // Both signals are read at samples up to Nt - 1, Nt taken from the first.
  if (any)
    call.check_shapes(vx::plane_extents(NS, NM, NC, mg, Px, Py, k).set(vx::Ext::Nt, Nt));
  a.Nt = Nt32;
  a.step = step32;
  vx::launch_plane(fn, call, a, any, kp, mg, NS, NM, NC, Px, Py, launch);
}

}  // namespace

void Inject_H(VX_PARAMS(VOXSTEP4_ARGS_INJECT_H, kC64)) {
  vx::Call call("Inject_H", {VX_CHECKS(VOXSTEP4_ARGS_INJECT_H, kC64)});
  inject_plane(call, false, VX_NAMES(VOXSTEP4_ARGS_INJECT_H, kC64),
               vx::kernel::Inject_H_Plane_GPU);
}

void Inject_E(VX_PARAMS(VOXSTEP4_ARGS_INJECT_E, kC64)) {
  vx::Call call("Inject_E", {VX_CHECKS(VOXSTEP4_ARGS_INJECT_E, kC64)});
  inject_plane(call, true, VX_NAMES(VOXSTEP4_ARGS_INJECT_E, kC64),
               vx::kernel::Inject_E_Plane_GPU);
}

}  // namespace voxstep4
