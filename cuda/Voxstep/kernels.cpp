// Host entry points (GPU launch or CPU loops) of the real-field module, from
// its kernel table.
#include "../common/launch_host.h"
#include "kernels.h"

VOXSTEP_KERNELS(VX_DEFINE_HOST_LAUNCH)
