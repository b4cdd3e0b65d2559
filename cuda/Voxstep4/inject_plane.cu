// Inject_H_Plane_GPU, Inject_E_Plane_GPU: the complex-field plane source.
#include "../common/inject_plane.h"
#include "../common/launch_cuda.cuh"

VX_DEFINE_KERNEL(Inject_H_Plane_GPU, vx::PlaneSignalArgs, (vx::inject_plane_point<false, vx::PlaneSignalArgs>))
VX_DEFINE_KERNEL(Inject_E_Plane_GPU, vx::PlaneSignalArgs, (vx::inject_plane_point<true, vx::PlaneSignalArgs>))
