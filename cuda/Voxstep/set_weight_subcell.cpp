// Set_weight_subcell: rewrites the weights of the points an object owns so
// that mixing the two table values reproduces the anisotropically smoothed
// permittivity along one field component.
#include "../common/subcell_host.h"
#include "kernels.h"
#include "voxstep.h"

namespace voxstep {

VX_DEFINE_SUBCELL(Set_weight_subcell, VOXSTEP_ARGS_SET_WEIGHT_SUBCELL, kF32, false,
                  Set_weight_subcell_GPU)

}  // namespace voxstep
