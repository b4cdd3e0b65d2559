// Inject_H, Inject_E: the two halves of the total-field/scattered-field
// plane source, driven by one complex amplitude per step.
#include "../common/inject_plane.h"
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

namespace {

// Shared wrapper, after the checks of `call` (VOXSTEP_ARGS_PLANE): the field
// pair, coef, the amplitudes and profiles (position 3/5 feeds field 1,
// position 4/6 field 0), margin and kp, named in the messages as the
// function names them.
template <typename LaunchFn>
void inject_plane(vx::Call& call, bool electric, Tn F0, Tn F1, Tn coef, Tn A1, Tn A0, Tn P1,
                  Tn P0, Tn margin, int64_t kp, LaunchFn launch) {
  const char* fn = call.fn();
  const auto n = [&](int i) { return call.name(i); };
  const int64_t NM = F0.size(1), NC = F0.size(5), NS = F0.size(0);
  // Channels c and c + NC/2 carry the real and imaginary parts of A P.
  TORCH_CHECK_VALUE(NC != 1, fn, ": NC = 1 (", n(0), " axis 5), but the channel axis "
                    "must carry real and imaginary halves (channel c and c + NC/2), so NC must "
                    "be even; with one channel only the imaginary part would be injected");
  const int64_t Px = electric ? F0.size(2) : P1.size(1);
  const int64_t Py = electric ? F1.size(3) : P0.size(2);
  vx::PlaneAmpArgs<> a;
  a.F0 = call.acc<float, 6>(F0);
  a.F1 = call.acc<float, 6>(F1);
  a.coef = call.acc<float, 1>(coef);
  a.A1 = call.cacc<2>(A1);
  a.A0 = call.cacc<2>(A0);
  a.P1 = call.cacc<4>(P1);
  a.P0 = call.cacc<4>(P0);
  const vx::Margins mg = vx::read_margin(fn, margin);
  const int64_t k = int64_t(vx::to_int32(fn, "kp", kp)) + (electric ? 1 : 0);
  const bool any =
      vx::check_plane(fn, n(0), F0, n(1), F1, coef, kp, k, mg, NS, NM, NC, Px, Py);
  // Channels c < NC/2 read complex channel c, the others c - NC/2.
  if (any)
    call.check_shapes(
        vx::plane_extents(NS, NM, NC, mg, Px, Py, k).set(vx::Ext::NH, NC - NC / 2));
  vx::launch_plane(fn, call, a, any, kp, mg, NS, NM, NC, Px, Py, launch);
}

}  // namespace

void Inject_H(VX_PARAMS(VOXSTEP_ARGS_INJECT_H, kF32)) {
  vx::Call call("Inject_H", {VX_CHECKS(VOXSTEP_ARGS_INJECT_H, kF32)});
  inject_plane(call, false, VX_NAMES(VOXSTEP_ARGS_INJECT_H, kF32), vx::kernel::Inject_H_Plane_GPU);
}

void Inject_E(VX_PARAMS(VOXSTEP_ARGS_INJECT_E, kF32)) {
  vx::Call call("Inject_E", {VX_CHECKS(VOXSTEP_ARGS_INJECT_E, kF32)});
  inject_plane(call, true, VX_NAMES(VOXSTEP_ARGS_INJECT_E, kF32), vx::kernel::Inject_E_Plane_GPU);
}

}  // namespace voxstep
