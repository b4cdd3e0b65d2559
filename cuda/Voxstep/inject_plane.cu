// Inject_H_Plane_GPU, Inject_E_Plane_GPU: the real-field plane source.
#include "../common/inject_plane.h"
#include "../common/launch_cuda.cuh"

VX_DEFINE_KERNEL(Inject_H_Plane_GPU, vx::PlaneAmpArgs, (vx::inject_plane_point<false, vx::PlaneAmpArgs>))
VX_DEFINE_KERNEL(Inject_E_Plane_GPU, vx::PlaneAmpArgs, (vx::inject_plane_point<true, vx::PlaneAmpArgs>))
