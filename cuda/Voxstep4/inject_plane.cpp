// Inject_H, Inject_E: the plane source of the complex module, driven by a
// sampled time signal interpolated at (step - delay) per plane point.
#include "../common/inject_plane.h"
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep4.h"


namespace voxstep4 {

namespace {

struct Named {
  const char* name;
  Tn t;
};

// Shared wrapper. Sources: S1/P1/D1 (positions 3, 5, 7) feed field 1,
// S0/P0/D0 (positions 4, 6, 8) feed field 0.
template <typename LaunchFn>
void inject_plane(const char* fn, bool electric, Named F0, Named F1, Tn coef, Named S1,
                  Named S0, Named P1, Named P0, Named D1, Named D0, Tn margin, int64_t kp,
                  int64_t step, LaunchFn launch) {
  const int64_t NS = F0.t.size(0), NM = F0.t.size(1), NC = F0.t.size(5);
  const int64_t Px = electric ? F0.t.size(2) : P1.t.size(1);
  const int64_t Py = electric ? F1.t.size(3) : P0.t.size(2);
  const int64_t Nt = S1.t.size(1);
  const int device = vx::resolve_device(
      fn, {{F0.name, &F0.t}, {F1.name, &F1.t}, {"coef", &coef}, {S1.name, &S1.t},
           {S0.name, &S0.t}, {P1.name, &P1.t}, {P0.name, &P0.t}, {D1.name, &D1.t},
           {D0.name, &D0.t}});
  vx::PlaneSignalArgs a;
  a.F0 = vx::cacc<6>(F0.t);
  a.F1 = vx::cacc<6>(F1.t);
  a.coef = vx::acc<float, 1>(coef);
  a.S1 = vx::cacc<2>(S1.t);
  a.S0 = vx::cacc<2>(S0.t);
  a.P1 = vx::cacc<4>(P1.t);
  a.P0 = vx::cacc<4>(P0.t);
  a.D1 = vx::acc<float, 2>(D1.t);
  a.D0 = vx::acc<float, 2>(D0.t);
  const vx::Margins mg = vx::read_margin(fn, margin);
  const int64_t k = electric ? kp + 1 : kp;
  const int step32 = vx::to_int32(fn, "step", step);
  const int Nt32 = vx::to_int32(fn, "Nt (size 1 of the first signal)", Nt);
  if (!vx::check_plane(fn, F0.name, F0.t, F1.name, F1.t, coef, kp, k, mg, NS, NM, NC, Px, Py))
    return;  // no point in the window: nothing to write
  const int64_t hx = Px - mg.mx, hy = Py - mg.my;
  // Both signals are read at samples up to Nt - 1, Nt taken from the first.
  vx::require_extent(fn, S1.name, S1.t, {NS, Nt});
  vx::require_extent(fn, S0.name, S0.t, {NS, Nt});
  vx::require_extent(fn, P1.name, P1.t, {NS, hx, hy, NC});
  vx::require_extent(fn, P0.name, P0.t, {NS, hx, hy, NC});
  vx::require_extent(fn, D1.name, D1.t, {hx, hy});
  vx::require_extent(fn, D0.name, D0.t, {hx, hy});
  a.kp = static_cast<int>(kp);
  a.mx = static_cast<int>(mg.mx);
  a.my = static_cast<int>(mg.my);
  a.NM = static_cast<int>(NM);
  a.NC = static_cast<int>(NC);
  a.Px = static_cast<int>(Px);
  a.Py = static_cast<int>(Py);
  a.Nt = Nt32;
  a.step = step32;
  launch(vx::make_grid(fn, NS, NM, Px, Py, 1, NC, device), a);
}

}  // namespace

void Inject_H(Tn Hx, Tn Hy, Tn coef, Tn sigEx, Tn sigEy, Tn profEx, Tn profEy, Tn delayEx,
              Tn delayEy, Tn margin, int64_t kp, int64_t step) {
  inject_plane("Inject_H", false, {"Hx", Hx}, {"Hy", Hy}, coef, {"sigEx", sigEx},
               {"sigEy", sigEy}, {"profEx", profEx}, {"profEy", profEy}, {"delayEx", delayEx},
               {"delayEy", delayEy}, margin, kp, step,
               [](const vx::Grid& g, const vx::PlaneSignalArgs& a) {
                 vx::kernel::Inject_H_Plane_GPU(g, a);
               });
}

void Inject_E(Tn Ex, Tn Ey, Tn coef, Tn sigHx, Tn sigHy, Tn profHx, Tn profHy, Tn delayHx,
              Tn delayHy, Tn margin, int64_t kp, int64_t step) {
  inject_plane("Inject_E", true, {"Ex", Ex}, {"Ey", Ey}, coef, {"sigHx", sigHx},
               {"sigHy", sigHy}, {"profHx", profHx}, {"profHy", profHy}, {"delayHx", delayHx},
               {"delayHy", delayHy}, margin, kp, step,
               [](const vx::Grid& g, const vx::PlaneSignalArgs& a) {
                 vx::kernel::Inject_E_Plane_GPU(g, a);
               });
}

}  // namespace voxstep4
