// Device-wide synchronisation for the few functions that wait for the GPU.
#include <cuda_runtime.h>

namespace vx {

void device_synchronize(int device) {
  int previous = -1;
  cudaGetDevice(&previous);
  if (previous != device) cudaSetDevice(device);
  cudaDeviceSynchronize();  // status deliberately ignored
  if (previous != device) cudaSetDevice(previous);
}

}  // namespace vx
