// Host side of the sources shared by both modules: the small integer tensors
// read back before a launch (margins, box position), the plane and window
// checks of the plane sources, and the whole wrapper of the current source.
#pragma once

#include <ATen/Dispatch.h>

#include <algorithm>

#include "frame.h"
#include "inject_j.h"

namespace vx {

// A small integer tensor of any shape and numeric type read on the host: a
// CUDA tensor is copied once (one synchronisation, however many elements are
// read), a CPU one is read in place. Elements convert as item<int64_t>()
// converts them.
class HostInts {
 public:
  explicit HostInts(const at::Tensor& t) : t_(t.is_cpu() ? t : t.to(at::kCPU)) {}

  // Element `index` in row-major order.
  int64_t operator[](int64_t index) const {
    int64_t offset = 0;
    for (int64_t d = t_.dim() - 1; d >= 0; --d) {
      const int64_t n = t_.size(d);
      offset += (index % n) * t_.stride(d);
      index /= n;
    }
    int64_t v = 0;
    AT_DISPATCH_ALL_TYPES_AND_COMPLEX_AND3(
        at::kBool, at::kHalf, at::kBFloat16, t_.scalar_type(), "HostInts", [&] {
          v = c10::Scalar(static_cast<const scalar_t*>(t_.const_data_ptr())[offset])
                  .to<int64_t>();
        });
    return v;
  }

 private:
  at::Tensor t_;
};

struct Margins {
  int64_t mx, my;
};

// margin: element 0 = mx, element 1 = my, read in the order 1, 0.
inline Margins read_margin(const char* fn, const at::Tensor& margin) {
  TORCH_CHECK_VALUE(margin.numel() >= 2, fn, ": margin has ", margin.numel(),
                    " elements but needs at least 2 (mx, my)");
  const HostInts m(margin);
  Margins r;
  r.my = m[1];
  r.mx = m[0];
  TORCH_CHECK_VALUE(r.mx >= 0 && r.my >= 0, fn, ": margin (mx, my) = (", r.mx, ", ", r.my,
                    ") must not be negative");
  return r;
}

// The plane of a plane source: plane k (kp for Inject_H, kp + 1 for
// Inject_E) inside both fields and coef, window extents Px, Py within the
// 16-bit plane indices, the batch rows within the launch limit. Returns
// whether the window holds any point; if it does, both fields cover it.
inline bool check_plane(const char* fn, const char* n0, const at::Tensor& F0, const char* n1,
                        const at::Tensor& F1, const at::Tensor& coef, int64_t kp, int64_t k,
                        const Margins& mg, int64_t NS, int64_t NM, int64_t NC, int64_t Px,
                        int64_t Py) {
  const int64_t nz = std::min(F0.size(4), F1.size(4));
  TORCH_CHECK_VALUE(kp >= 0 && k < nz, fn, ": kp = ", kp, " puts the source on plane k = ", k,
                    ", outside the z extent of ", n0, " and ", n1, " (", nz, ")");
  TORCH_CHECK_VALUE(k < coef.size(0), fn, ": kp = ", kp, " reads coef[", k,
                    "] but coef has ", coef.size(0), " elements");
  TORCH_CHECK_VALUE(Px < 65536 && Py < 65536, fn, ": the source window is ", Px, " x ", Py,
                    " points; plane indices are 16-bit, so each extent must be below 65536");
  check_grid(fn, Px * Py, NS * NM * NC, "NS*NM*NC");
  if (Px - mg.mx <= mg.mx || Py - mg.my <= mg.my) return false;
  const int64_t hx = Px - mg.mx, hy = Py - mg.my;
  require_extent(fn, n0, F0, {NS, NM, hx, hy, k + 1, NC});
  require_extent(fn, n1, F1, {NS, NM, hx, hy, k + 1, NC});
  return true;
}

// Python ints arrive as int64; the kernels take 32-bit integers.
inline int to_int32(const char* fn, const char* name, int64_t v) {
  TORCH_CHECK_VALUE(v >= INT32_MIN && v <= INT32_MAX, fn, ": ", name, " = ", v,
                    " does not fit a 32-bit integer");
  return static_cast<int>(v);
}

// Inject_J of either module: sizes, accessors, devices, the box position
// (elements 0, 1, 2 of pos) and every extent the box touches, then launch.
template <typename F, typename LaunchFn>
void inject_j_host(const char* fn, Tn Ex, Tn Ey, Tn Ez, Tn Jx, Tn Jy, Tn Jz, Tn pos,
                   LaunchFn launch) {
  const int64_t NS = Ex.size(0), NM = Ex.size(1), NC = Ex.size(5);
  const int64_t Bx = Jx.size(2), By = Jy.size(3), Bz = Jz.size(4);
  const int device = resolve_device(
      fn, {{"Ex", &Ex}, {"Ey", &Ey}, {"Ez", &Ez}, {"Jx", &Jx}, {"Jy", &Jy}, {"Jz", &Jz}});
  InjectJArgs<F> a;
  a.Ex = field_acc<F, 6>(Ex);
  a.Ey = field_acc<F, 6>(Ey);
  a.Ez = field_acc<F, 6>(Ez);
  a.Jx = cacc<5>(Jx);
  a.Jy = cacc<5>(Jy);
  a.Jz = cacc<5>(Jz);

  TORCH_CHECK_VALUE(pos.numel() >= 3, fn, ": pos has ", pos.numel(),
                    " elements but needs at least 3 (x0, y0, z0)");
  const HostInts p(pos);
  const int64_t x0 = p[0], y0 = p[1], z0 = p[2];
  TORCH_CHECK_VALUE(x0 >= 0 && y0 >= 0 && z0 >= 0, fn, ": pos (x0, y0, z0) = (", x0, ", ", y0,
                    ", ", z0, ") must not be negative");
  check_grid(fn, Bx * By * Bz, NS * NM * NC, "NS*NM*NC");
  if (Bx > 0 && By > 0 && Bz > 0) {
    TORCH_CHECK_VALUE(x0 + Bx <= 65536 && y0 + By <= 65536 && z0 + Bz <= 65536, fn,
                      ": the box at pos (", x0, ", ", y0, ", ", z0, ") with extents (", Bx, ", ",
                      By, ", ", Bz, ") leaves the 16-bit field index range");
    const int64_t hi[3] = {x0 + Bx, y0 + By, z0 + Bz};
    require_extent(fn, "Ex", Ex, {NS, NM, hi[0], hi[1], hi[2], NC});
    require_extent(fn, "Ey", Ey, {NS, NM, hi[0], hi[1], hi[2], NC});
    require_extent(fn, "Ez", Ez, {NS, NM, hi[0], hi[1], hi[2], NC});
    require_extent(fn, "Jx", Jx, {NS, NM, Bx, By, Bz});
    require_extent(fn, "Jy", Jy, {NS, NM, Bx, By, Bz});
    require_extent(fn, "Jz", Jz, {NS, NM, Bx, By, Bz});
  }
  a.x0 = static_cast<int>(x0);
  a.y0 = static_cast<int>(y0);
  a.z0 = static_cast<int>(z0);
  a.NM = static_cast<int>(NM);
  a.NC = static_cast<int>(NC);
  a.Bx = static_cast<int>(Bx);
  a.By = static_cast<int>(By);
  a.Bz = static_cast<int>(Bz);
  launch(make_grid(fn, NS, NM, Bx, By, Bz, NC, device), a);
}

}  // namespace vx
