// Set_ER_average of the complex-field module: one permittivity per sample
// point and channel, mixed from the per-channel table columns.
#include "../common/mixing_host.h"
#include "kernels.h"
#include "voxstep4.h"

namespace voxstep4 {

void Set_ER_average(Tn er, Tn weight, Tn id_map, Tn prev_id_map, Tn er_table) {
  vx::mix_host<true>("Set_ER_average", "er", er, weight, id_map, prev_id_map, "er_table",
                     er_table, vx::kernel::Set_ER_average_GPU);
}

}  // namespace voxstep4
