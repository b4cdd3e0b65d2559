// Set_weight_subcell: rewrites the weights of the points an object owns so
// that mixing the two table values reproduces the anisotropically smoothed
// permittivity along one field component.
#include "../common/subcell_host.h"
#include "kernels.h"
#include "voxstep.h"

namespace voxstep {

Windows Set_weight_subcell(bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x,
                           Tn coord_y, Tn coord_z, Tn weight, int64_t mat_id, Tn id_map,
                           Tn prev_id_map, Tn normal, Tn er_table, int64_t component) {
  return vx::subcell_host<false>("Set_weight_subcell", gpu_checks, box_x, box_y, box_z, vox,
                                 coord_x, coord_y, coord_z, "weight", weight, mat_id, id_map,
                                 prev_id_map, normal, er_table, component,
                                 vx::kernel::Set_weight_subcell_GPU);
}

}  // namespace voxstep
