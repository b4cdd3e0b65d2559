// Set_ER_average: permittivity per sample point, mixed from the owner's and
// the displaced material's table values by the owner's weight.
#include "../common/mixing_host.h"
#include "kernels.h"
#include "voxstep.h"

namespace voxstep {

void Set_ER_average(Tn er, Tn weight, Tn id_map, Tn prev_id_map, Tn er_table) {
  vx::mix_host<false>("Set_ER_average", "er", er, weight, id_map, prev_id_map, "er_table",
                      er_table, vx::kernel::Set_ER_average_GPU);
}

}  // namespace voxstep
