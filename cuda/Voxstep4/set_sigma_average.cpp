// Set_sigma_average: adds the conductivity mixed from the owner's and the
// displaced material's table values to every sample point.
#include "../common/mixing_host.h"
#include "kernels.h"
#include "voxstep4.h"

namespace voxstep4 {

void Set_sigma_average(Tn sigma, Tn weight, Tn id_map, Tn prev_id_map, Tn sigma_table) {
  vx::mix_host<false>("Set_sigma_average", "sigma", sigma, weight, id_map, prev_id_map,
                      "sigma_table", sigma_table, vx::kernel::Set_sigma_average_GPU);
}

}  // namespace voxstep4
