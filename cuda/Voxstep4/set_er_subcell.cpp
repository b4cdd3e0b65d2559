// Set_ER_subcell: stores the anisotropically smoothed permittivity along one
// field component, per channel, at the points an object owns.
#include "../common/subcell_host.h"
#include "kernels.h"
#include "voxstep4.h"

namespace voxstep4 {

Windows Set_ER_subcell(bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x,
                       Tn coord_y, Tn coord_z, Tn er, int64_t mat_id, Tn id_map,
                       Tn prev_id_map, Tn normal, Tn er_table, int64_t component) {
  return vx::subcell_host<true>("Set_ER_subcell", gpu_checks, box_x, box_y, box_z, vox, coord_x,
                                coord_y, coord_z, "er", er, mat_id, id_map, prev_id_map, normal,
                                er_table, component, vx::kernel::Set_ER_subcell_GPU);
}

}  // namespace voxstep4
