// Host entry points (GPU launch or CPU loops) of the curl updates of both
// modules, from their kernel tables (update_h.h, update_e.h); in a unit of
// their own, apart from each module's other kernels.
#include "launch_host.h"
#include "update_e.h"
#include "update_h.h"

VX_UPDATE_H_KERNELS(VX_DEFINE_HOST_LAUNCH)
VX_UPDATE_E_KERNELS(VX_DEFINE_HOST_LAUNCH)
