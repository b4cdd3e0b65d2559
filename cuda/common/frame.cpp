// Host-side checks shared by every bound function.
#include "frame.h"

#include <c10/core/impl/DeviceGuardImplInterface.h>

#include <sstream>
#include <stdexcept>

namespace vx {

namespace {

std::string where(int device) {
  return device < 0 ? std::string("the CPU") : "cuda:" + std::to_string(device);
}

std::string shape_of(const at::Tensor& t) {
  std::ostringstream s;
  s << t.sizes();
  return s.str();
}

}  // namespace

int resolve_device(const char* fn, c10::ArrayRef<Named> tensors) {
  int device = -2;
  for (const Named& n : tensors) {
    const at::Device d = n.second->device();
    int here;
    if (d.is_cpu()) {
      here = -1;
    } else if (d.is_cuda()) {
      here = d.has_index() ? d.index() : 0;
    } else {
      TORCH_CHECK(false, fn, ": ", n.first, " is on ", d.str(),
                  "; only CPU and CUDA tensors are supported");
    }
    if (device == -2) {
      device = here;
      continue;
    }
    if (here == device) continue;
    if (device >= 0 && here < 0) throw std::runtime_error("Tensor is not on GPU.");
    TORCH_CHECK(false, fn, ": ", n.first, " is on ", where(here), " but the call runs on ",
                where(device), " (the device of its first tensor); every tensor it reads "
                "must be on that device");
  }
  return device < -1 ? -1 : device;
}

void require_extent(const char* fn, const char* name, const at::Tensor& t,
                    std::initializer_list<int64_t> mins) {
  int d = 0;
  for (int64_t need : mins) {
    if (need >= 0 && t.size(d) < need) {
      std::ostringstream want;
      want << "[";
      int e = 0;
      for (int64_t m : mins) want << (e++ ? ", " : "") << (m < 0 ? std::string("*") : std::to_string(m));
      want << "]";
      TORCH_CHECK_VALUE(false, fn, ": ", name, " has shape ", shape_of(t), " but needs at least ",
                        want.str(), " (axis ", d, " is ", t.size(d), ", needs ", need, ")");
    }
    ++d;
  }
}

void require_numel(const char* fn, const char* name, const at::Tensor& t, int64_t count) {
  TORCH_CHECK_VALUE(t.numel() >= count, fn, ": ", name, " has ", t.numel(),
                    " elements but needs at least ", count);
}

void check_grid(const char* fn, int64_t points, int64_t rows, const char* rows_what) {
  TORCH_CHECK_VALUE(points < (int64_t(1) << 31), fn, ": the launch covers ", points,
                    " points; the limit is 2^31 - 1");
  TORCH_CHECK_VALUE(rows <= 65535, fn, ": ", rows_what, " = ", rows,
                    " exceeds 65535, CUDA's limit on the second grid dimension");
}

void check_field_grid(const char* fn, int64_t NS, int64_t NM, int64_t NC, int64_t Nx,
                      int64_t Ny, int64_t Nz) {
  const std::pair<const char*, int64_t> extents[] = {
      {"Nx (Ex axis 2)", Nx}, {"Ny (Ey axis 3)", Ny}, {"Nz (Ez axis 4)", Nz}};
  for (const auto& e : extents)
    TORCH_CHECK_VALUE(e.second < 65536, fn, ": ", e.first, " = ", e.second,
                      " must be below 65536 (cell indices are 16-bit)");
  const int64_t points = mul_sat({Nx, Ny, Nz}), rows = mul_sat({NS, NM, NC});
  TORCH_CHECK_VALUE(points < (int64_t(1) << 31), fn, ": Nx*Ny*Nz = ", points,
                    " must be below 2^31");
  TORCH_CHECK_VALUE(rows <= 65535, fn, ": NS*NM*NC = ", rows,
                    " exceeds 65535, CUDA's limit on the second grid dimension");
}

Grid make_grid(const char* fn, int64_t NS, int64_t NM, int64_t N0, int64_t N1, int64_t N2,
               int64_t NC, int device) {
  const int64_t points = N0 * N1 * N2;
  TORCH_CHECK_VALUE(points * NC <= (int64_t(1) << 32), fn, ": the launch covers ", points,
                    " points x ", NC, " channels = ", points * NC,
                    " samples; one launch numbers at most 2^32");
  const auto i32 = [](int64_t v) { return static_cast<int>(v); };
  return Grid{Space{i32(NS), i32(NM), i32(N0), i32(N1), i32(N2), i32(NC)}, device};
}

namespace {
Traversal g_traversal = Traversal::kRows;
}  // namespace

Traversal cpu_traversal() { return g_traversal; }
void set_cpu_traversal(Traversal t) { g_traversal = t; }
int64_t mul_sat(int64_t a, int64_t b) {
  if (a < 0 || b < 0) return a < 0 ? a : b;  // negative counts are refused where they arise
  int64_t r;
  return __builtin_mul_overflow(a, b, &r) ? INT64_MAX : r;
}

int64_t mul_sat(std::initializer_list<int64_t> factors) {
  int64_t r = 1;
  for (int64_t f : factors) r = mul_sat(r, f);
  return r;
}

void raise_launch_error(const char* kernel, const char* error) {
  TORCH_CHECK(error == nullptr, kernel, " failed to launch: ", error);
}

void no_gpu_build(const char* fn) {
  TORCH_CHECK(false, fn, ": this build of the module has no GPU code; reinstall with "
              "a CUDA compiler present (VOXSTEP_CUDA=ON)");
}

OnDevice::OnDevice(int device)
    : guard_(c10::Device(c10::DeviceType::CUDA, static_cast<c10::DeviceIndex>(device))) {
  const c10::Device d(c10::DeviceType::CUDA, static_cast<c10::DeviceIndex>(device));
  stream_ = c10::impl::getDeviceGuardImpl(c10::DeviceType::CUDA)->getStream(d).native_handle();
}

#ifdef VOXSTEP_WITH_CUDA
// device_sync.cu: cudaDeviceSynchronize on the current device; nullptr or
// the CUDA error text.
const char* synchronize_current_device();

void synchronize_device(const char* fn, int device) {
  const OnDevice on(device);
  const char* error = synchronize_current_device();
  TORCH_CHECK(error == nullptr, fn, ": the GPU reported a fault while the call waited for it: ",
              error);
}
#else
void synchronize_device(const char*, int) {}
#endif

}  // namespace vx
