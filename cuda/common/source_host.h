// Host side of the sources shared by both modules: the small integer tensors
// read back before a launch (margins, box position), the plane and window
// checks of the plane sources, and the whole wrapper of the current source.
#pragma once

#include <algorithm>

#include "host.h"
#include "inject_j.h"

namespace vx {

struct Margins {
  int64_t mx, my;
};

// margin: element 0 = mx, element 1 = my.
inline Margins read_margin(const char* fn, const at::Tensor& margin) {
  const HostInts m(fn, "margin", margin, 2, "mx, my");
  Margins r;
  r.my = m[1];
  r.mx = m[0];
  TORCH_CHECK_VALUE(r.mx >= 0 && r.my >= 0, fn, ": margin (mx, my) = (", r.mx, ", ", r.my,
                    ") must not be negative");
  to_int32(fn, "margin[0] (mx)", r.mx);
  to_int32(fn, "margin[1] (my)", r.my);
  return r;
}

// The plane of a plane source: plane k (kp for Inject_H, kp + 1 for
// Inject_E) inside both fields and coef, window extents Px, Py within the
// 16-bit plane indices, the batch rows within the launch limit. Returns
// whether the window holds any point (the tensors' shapes are then checked
// with plane_extents).
inline bool check_plane(const char* fn, const char* n0, const at::Tensor& F0, const char* n1,
                        const at::Tensor& F1, const at::Tensor& coef, int64_t kp, int64_t k,
                        const Margins& mg, int64_t NS, int64_t NM, int64_t NC, int64_t Px,
                        int64_t Py) {
  const int64_t nz = std::min(F0.size(4), F1.size(4));
  // k is kp or kp + 1: kp is within 32 bits here, so k cannot wrap.
  TORCH_CHECK_VALUE(kp >= 0 && k < nz, fn, ": kp = ", kp, " puts the source on plane k = ", k,
                    ", outside the z extent of ", n0, " and ", n1, " (", nz, ")");
  TORCH_CHECK_VALUE(k < coef.size(0), fn, ": kp = ", kp, " reads coef[", k,
                    "] but coef has ", coef.size(0), " elements");
  TORCH_CHECK_VALUE(Px < 65536 && Py < 65536, fn, ": the source window is ", Px, " x ", Py,
                    " points; plane indices are 16-bit, so each extent must be below 65536");
  check_grid(fn, Px * Py, mul_sat({NS, NM, NC}), "NS*NM*NC");
  return Px - mg.mx > mg.mx && Py - mg.my > mg.my;
}

// The extents of a plane source's shape rules: the window up to the far
// margin (Wx, Wy) and the plane k.
inline Extents plane_extents(int64_t NS, int64_t NM, int64_t NC, const Margins& mg, int64_t Px,
                             int64_t Py, int64_t k) {
  Extents e;
  e.set(Ext::NS, NS).set(Ext::NM, NM).set(Ext::NC, NC);
  e.set(Ext::Wx, Px - mg.mx).set(Ext::Wy, Py - mg.my).set(Ext::k, k);
  return e;
}

// The launch of a plane source after its checks: the launch limits (of the
// whole plane), the written layouts, then (when the window holds any point)
// the integer extents of the block and the launch over the window
// (inject_plane.h).
template <typename Args, typename LaunchFn>
void launch_plane(const char* fn, Call& call, Args& a, bool any, int64_t kp, const Margins& mg,
                  int64_t NS, int64_t NM, int64_t NC, int64_t Px, int64_t Py, LaunchFn launch) {
  Grid g = make_grid(fn, NS, NM, Px, Py, 1, NC, call.device());
  call.check_written();
  if (!any) return;  // no point in the window: nothing to write
  a.kp = static_cast<int>(kp);
  a.mx = static_cast<int>(mg.mx);
  a.my = static_cast<int>(mg.my);
  a.NM = static_cast<int>(NM);
  a.NC = static_cast<int>(NC);
  g.space.N0 = static_cast<int>(Px - 2 * mg.mx);
  g.space.N1 = 1;
  g.space.N2 = static_cast<int>(Py - 2 * mg.my);
  launch(g, a);
}

// Inject_J of either module: arguments, the box position (elements 0, 1, 2
// of pos) and every extent the box touches, then launch.
template <typename F, typename LaunchFn>
void inject_j_host(const char* fn, VX_PARAMS(VX_ARGS_INJECT_J, kField<F>), LaunchFn launch) {
  Call call(fn, {VX_CHECKS(VX_ARGS_INJECT_J, kField<F>)});
  const int64_t NS = Ex.size(0), NM = Ex.size(1), NC = Ex.size(5);
  const int64_t Bx = Jx.size(2), By = Jy.size(3), Bz = Jz.size(4);
  InjectJArgs<F> a;
  call.accessors<F, 6>(a.Ex, a.Ey, a.Ez, Ex, Ey, Ez);
  call.accessors<cfloat, 5>(a.Jx, a.Jy, a.Jz, Jx, Jy, Jz);

  const HostInts p(fn, "pos", pos, 3, "x0, y0, z0");
  const int64_t x0 = p[0], y0 = p[1], z0 = p[2];
  TORCH_CHECK_VALUE(x0 >= 0 && y0 >= 0 && z0 >= 0, fn, ": pos (x0, y0, z0) = (", x0, ", ", y0,
                    ", ", z0, ") must not be negative");
  to_int32(fn, "pos[0] (x0)", x0);
  to_int32(fn, "pos[1] (y0)", y0);
  to_int32(fn, "pos[2] (z0)", z0);
  check_grid(fn, mul_sat({Bx, By, Bz}), mul_sat({NS, NM, NC}), "NS*NM*NC");
  if (Bx > 0 && By > 0 && Bz > 0) {
    // Compared before adding: positions and extents are below 2^31 here.
    TORCH_CHECK_VALUE(x0 + Bx <= 65536 && y0 + By <= 65536 && z0 + Bz <= 65536, fn,
                      ": the box at pos (", x0, ", ", y0, ", ", z0, ") with extents (", Bx, ", ",
                      By, ", ", Bz, ") leaves the 16-bit field index range");
    call.check_shapes(Extents()
                          .set(Ext::NS, NS).set(Ext::NM, NM).set(Ext::NC, NC)
                          .set(Ext::x0, x0).set(Ext::y0, y0).set(Ext::z0, z0)
                          .set(Ext::Bx, Bx).set(Ext::By, By).set(Ext::Bz, Bz));
  }
  const Grid g = make_grid(fn, NS, NM, Bx, By, Bz, NC, call.device());
  call.check_written();
  a.x0 = static_cast<int>(x0);
  a.y0 = static_cast<int>(y0);
  a.z0 = static_cast<int>(z0);
  a.NM = static_cast<int>(NM);
  a.NC = static_cast<int>(NC);
  a.Bx = static_cast<int>(Bx);
  a.By = static_cast<int>(By);
  a.Bz = static_cast<int>(Bz);
  launch(g, a);
}

}  // namespace vx
