// Update_H: advances the complex Hx, Hy, Hz and magnetic CPML auxiliaries.
#include "../common/update_h_host.h"
#include "voxstep4.h"


namespace voxstep4 {

void Update_H(VX_PARAMS(VX_ARGS_UPDATE_H, kC64)) {
  vx::update_h_host<vx::cfloat>("Update_H", VX_NAMES(VX_ARGS_UPDATE_H, kC64));
}

}  // namespace voxstep4
