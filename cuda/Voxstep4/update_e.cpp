// Update_E: advances the complex Ex, Ey, Ez (per-channel keep factor) and the
// electric CPML auxiliaries one step.
#include "../common/update_e_host.h"
#include "voxstep4.h"


namespace voxstep4 {

void Update_E(VX_PARAMS(VX_ARGS_UPDATE_E, kC64)) {
  vx::update_e_host<vx::cfloat>("Update_E", VX_NAMES(VX_ARGS_UPDATE_E, kC64));
}

}  // namespace voxstep4
