// Host entry points (GPU launch or CPU loops) of the shared material
// preparation, from its kernel table.
#include "kernels.h"
#include "launch_host.h"

VX_COMMON_KERNELS(VX_DEFINE_HOST_LAUNCH)
