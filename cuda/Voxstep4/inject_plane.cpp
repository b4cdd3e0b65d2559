// Inject_H, Inject_E: the plane source of the complex module, driven by a
// sampled time signal interpolated at (step - delay) per plane point.
#include "../common/inject_plane.h"
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

namespace {

// Shared wrapper. Sources: S1/P1/D1 (positions 3, 5, 7) feed field 1,
// S0/P0/D0 (positions 4, 6, 8) feed field 0; `args` names them as the
// function does.
template <typename LaunchFn>
void inject_plane(const char* fn, bool electric, std::initializer_list<vx::Arg> args, Tn F0,
                  Tn F1, Tn coef, Tn S1, Tn S0, Tn P1, Tn P0, Tn D1, Tn D0, Tn margin,
                  int64_t kp, int64_t step, LaunchFn launch) {
  vx::Call call(fn, args);
  const vx::Arg* n = args.begin();  // n[i].name: the name of argument i
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
      vx::check_plane(fn, n[0].name, F0, n[1].name, F1, coef, kp, k, mg, NS, NM, NC, Px, Py);
  if (any) {
    const int64_t hx = Px - mg.mx, hy = Py - mg.my;
    // Both signals are read at samples up to Nt - 1, Nt taken from the first.
    vx::require_extent(fn, n[3].name, S1, {NS, Nt});
    vx::require_extent(fn, n[4].name, S0, {NS, Nt});
    vx::require_extent(fn, n[5].name, P1, {NS, hx, hy, NC});
    vx::require_extent(fn, n[6].name, P0, {NS, hx, hy, NC});
    vx::require_extent(fn, n[7].name, D1, {hx, hy});
    vx::require_extent(fn, n[8].name, D0, {hx, hy});
  }
  a.Nt = Nt32;
  a.step = step32;
  vx::launch_plane(fn, call, a, any, kp, mg, NS, NM, NC, Px, Py, launch);
}

// The argument list of either function, in call order.
#define VX_PLANE_ARGS(F0, F1, S1, S0, P1, P0, D1, D0)                                        \
  {VX_OUT(F0, 6, vx::kC64), VX_OUT(F1, 6, vx::kC64), VX_IN(coef, 1, vx::kF32),              \
   VX_IN(S1, 2, vx::kC64),  VX_IN(S0, 2, vx::kC64),  VX_IN(P1, 4, vx::kC64),                \
   VX_IN(P0, 4, vx::kC64),  VX_IN(D1, 2, vx::kF32),  VX_IN(D0, 2, vx::kF32),                \
   VX_HOST(margin)}

}  // namespace

void Inject_H(Tn Hx, Tn Hy, Tn coef, Tn sigEx, Tn sigEy, Tn profEx, Tn profEy, Tn delayEx,
              Tn delayEy, Tn margin, int64_t kp, int64_t step) {
  inject_plane("Inject_H", false,
               VX_PLANE_ARGS(Hx, Hy, sigEx, sigEy, profEx, profEy, delayEx, delayEy), Hx, Hy,
               coef, sigEx, sigEy, profEx, profEy, delayEx, delayEy, margin, kp, step,
               vx::kernel::Inject_H_Plane_GPU);
}

void Inject_E(Tn Ex, Tn Ey, Tn coef, Tn sigHx, Tn sigHy, Tn profHx, Tn profHy, Tn delayHx,
              Tn delayHy, Tn margin, int64_t kp, int64_t step) {
  inject_plane("Inject_E", true,
               VX_PLANE_ARGS(Ex, Ey, sigHx, sigHy, profHx, profHy, delayHx, delayHy), Ex, Ey,
               coef, sigHx, sigHy, profHx, profHy, delayHx, delayHy, margin, kp, step,
               vx::kernel::Inject_E_Plane_GPU);
}

}  // namespace voxstep4
