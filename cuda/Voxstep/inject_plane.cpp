// Inject_H, Inject_E: the two halves of the total-field/scattered-field
// plane source, driven by one complex amplitude per step.
#include "../common/inject_plane.h"
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

namespace {

// Shared wrapper: the field pair, coef, the amplitudes and profiles
// (position 3/5 feeds field 1, position 4/6 field 0), margin and kp, named
// as the function names them.
template <typename LaunchFn>
void inject_plane(const char* fn, bool electric, std::initializer_list<vx::Arg> args, Tn F0,
                  Tn F1, Tn coef, Tn A1, Tn A0, Tn P1, Tn P0, Tn margin, int64_t kp,
                  LaunchFn launch) {
  vx::Call call(fn, args);
  const vx::Arg* n = args.begin();  // n[i].name: the name of argument i
  const int64_t NM = F0.size(1), NC = F0.size(5), NS = F0.size(0);
  // Channels c and c + NC/2 carry the real and imaginary parts of A P.
  TORCH_CHECK_VALUE(NC != 1, fn, ": NC = 1 (", n[0].name, " axis 5), but the channel axis "
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
      vx::check_plane(fn, n[0].name, F0, n[1].name, F1, coef, kp, k, mg, NS, NM, NC, Px, Py);
  if (any) {
    // Channels c < NC/2 read complex channel c, the others c - NC/2.
    const int64_t ch = NC - NC / 2;
    const int64_t hx = Px - mg.mx, hy = Py - mg.my;
    vx::require_extent(fn, n[3].name, A1, {NS, ch});
    vx::require_extent(fn, n[4].name, A0, {NS, ch});
    vx::require_extent(fn, n[5].name, P1, {NS, hx, hy, ch});
    vx::require_extent(fn, n[6].name, P0, {NS, hx, hy, ch});
  }
  vx::launch_plane(fn, call, a, any, kp, mg, NS, NM, NC, Px, Py, launch);
}

// The argument list of either function, in call order.
#define VX_PLANE_ARGS(F0, F1, A1, A0, P1, P0)                                                \
  {VX_OUT(F0, 6, vx::kF32), VX_OUT(F1, 6, vx::kF32), VX_IN(coef, 1, vx::kF32),              \
   VX_IN(A1, 2, vx::kC64),  VX_IN(A0, 2, vx::kC64),  VX_IN(P1, 4, vx::kC64),                \
   VX_IN(P0, 4, vx::kC64),  VX_HOST(margin)}

}  // namespace

void Inject_H(Tn Hx, Tn Hy, Tn coef, Tn ampEx, Tn ampEy, Tn profEx, Tn profEy, Tn margin,
              int64_t kp) {
  inject_plane("Inject_H", false, VX_PLANE_ARGS(Hx, Hy, ampEx, ampEy, profEx, profEy), Hx, Hy,
               coef, ampEx, ampEy, profEx, profEy, margin, kp,
               vx::kernel::Inject_H_Plane_GPU);
}

void Inject_E(Tn Ex, Tn Ey, Tn coef, Tn ampHx, Tn ampHy, Tn profHx, Tn profHy, Tn margin,
              int64_t kp) {
  inject_plane("Inject_E", true, VX_PLANE_ARGS(Ex, Ey, ampHx, ampHy, profHx, profHy), Ex, Ey,
               coef, ampHx, ampHy, profHx, profHy, margin, kp,
               vx::kernel::Inject_E_Plane_GPU);
}

}  // namespace voxstep
