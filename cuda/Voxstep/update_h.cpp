// Update_H: advances Hx, Hy, Hz and the magnetic CPML auxiliaries one step.
#include "../common/update_h_host.h"
#include "voxstep.h"


namespace voxstep {

void Update_H(VX_PARAMS(VX_ARGS_UPDATE_H, kF32)) {
  vx::update_h_host<float>("Update_H", VX_NAMES(VX_ARGS_UPDATE_H, kF32));
}

}  // namespace voxstep
