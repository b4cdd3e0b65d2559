// Update_E: advances Ex, Ey, Ez and the electric CPML auxiliaries one step.
#include "../common/update_e_host.h"
#include "voxstep.h"


namespace voxstep {

void Update_E(VX_PARAMS(VX_ARGS_UPDATE_E, kF32)) {
  vx::update_e_host<float>("Update_E", VX_NAMES(VX_ARGS_UPDATE_E, kF32));
}

}  // namespace voxstep
