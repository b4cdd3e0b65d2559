// Inject_H, Inject_E: the two halves of the total-field/scattered-field
// plane source, driven by one complex amplitude per step.
#include "../common/inject_plane.h"
#include "../common/source_host.h"
#include "kernels.h"
#include "voxstep.h"


namespace voxstep {

namespace {

// Shared wrapper: n0/n1 name the field pair, na*/np* the amplitudes and
// profiles (position 3/5 feeds field 1, position 4/6 field 0).
template <typename LaunchFn>
void inject_plane(const char* fn, bool electric, const char* n0, Tn F0, const char* n1, Tn F1,
                  Tn coef, const char* na1, Tn A1, const char* na0, Tn A0, const char* np1,
                  Tn P1, const char* np0, Tn P0, Tn margin, int64_t kp, LaunchFn launch) {
  const int64_t NM = F0.size(1), NC = F0.size(5), NS = F0.size(0);
  const int64_t Px = electric ? F0.size(2) : P1.size(1);
  const int64_t Py = electric ? F1.size(3) : P0.size(2);
  const int device = vx::resolve_device(
      fn, {{n0, &F0}, {n1, &F1}, {"coef", &coef}, {na1, &A1}, {na0, &A0}, {np1, &P1}, {np0, &P0}});
  vx::PlaneAmpArgs a;
  a.F0 = vx::acc<float, 6>(F0);
  a.F1 = vx::acc<float, 6>(F1);
  a.coef = vx::acc<float, 1>(coef);
  a.A1 = vx::cacc<2>(A1);
  a.A0 = vx::cacc<2>(A0);
  a.P1 = vx::cacc<4>(P1);
  a.P0 = vx::cacc<4>(P0);
  const vx::Margins mg = vx::read_margin(fn, margin);
  const int64_t k = electric ? kp + 1 : kp;
  if (vx::check_plane(fn, n0, F0, n1, F1, coef, kp, k, mg, NS, NM, NC, Px, Py)) {
    // Channels c < NC/2 read complex channel c, the others c - NC/2.
    const int64_t ch = NC - NC / 2;
    const int64_t hx = Px - mg.mx, hy = Py - mg.my;
    vx::require_extent(fn, na1, A1, {NS, ch});
    vx::require_extent(fn, na0, A0, {NS, ch});
    vx::require_extent(fn, np1, P1, {NS, hx, hy, ch});
    vx::require_extent(fn, np0, P0, {NS, hx, hy, ch});
  } else {
    return;  // no point in the window: nothing to write
  }
  a.kp = static_cast<int>(kp);
  a.mx = static_cast<int>(mg.mx);
  a.my = static_cast<int>(mg.my);
  a.NM = static_cast<int>(NM);
  a.NC = static_cast<int>(NC);
  a.Px = static_cast<int>(Px);
  a.Py = static_cast<int>(Py);
  launch(vx::make_grid(fn, NS, NM, Px, Py, 1, NC, device), a);
}

}  // namespace

void Inject_H(Tn Hx, Tn Hy, Tn coef, Tn ampEx, Tn ampEy, Tn profEx, Tn profEy, Tn margin,
              int64_t kp) {
  inject_plane("Inject_H", false, "Hx", Hx, "Hy", Hy, coef, "ampEx", ampEx, "ampEy", ampEy,
               "profEx", profEx, "profEy", profEy, margin, kp,
               [](const vx::Grid& g, const vx::PlaneAmpArgs& a) {
                 vx::kernel::Inject_H_Plane_GPU(g, a);
               });
}

void Inject_E(Tn Ex, Tn Ey, Tn coef, Tn ampHx, Tn ampHy, Tn profHx, Tn profHy, Tn margin,
              int64_t kp) {
  inject_plane("Inject_E", true, "Ex", Ex, "Ey", Ey, coef, "ampHx", ampHx, "ampHy", ampHy,
               "profHx", profHx, "profHy", profHy, margin, kp,
               [](const vx::Grid& g, const vx::PlaneAmpArgs& a) {
                 vx::kernel::Inject_E_Plane_GPU(g, a);
               });
}

}  // namespace voxstep
