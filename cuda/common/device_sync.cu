// Device-wide synchronisation for the few functions that wait for the GPU.
#include <cuda_runtime.h>

namespace vx {

// Waits for the current device (torch's device guard has made the call's
// device current); nullptr, or the text of the fault that surfaced.
const char* synchronize_current_device() {
  const cudaError_t status = cudaDeviceSynchronize();
  return status == cudaSuccess ? nullptr : cudaGetErrorString(status);
}

}  // namespace vx
