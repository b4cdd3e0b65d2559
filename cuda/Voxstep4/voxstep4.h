// The complex-field module's functions (complex64 fields, one complex field
// per channel).
#pragma once

#include <tuple>

#include "../common/field_host.h"
#include "../common/material_api.h"

namespace voxstep4 {

using vx::Tn;
using Windows = std::tuple<at::Tensor, at::Tensor, at::Tensor>;

void Update_E_Dispersion(Tn Ex, Tn Ey, Tn Ez, Tn den1_x, Tn den1_y, Tn den1_z, Tn den2_x,
                         Tn den2_y, Tn den2_z, Tn unused);

vx::UpdateHFn Update_H;  // field_host.h: the argument list
vx::UpdateEFn Update_E;

void Inject_H(Tn Hx, Tn Hy, Tn coef, Tn sigEx, Tn sigEy, Tn profEx, Tn profEy, Tn delayEx,
              Tn delayEy, Tn margin, int64_t kp, int64_t step);

void Inject_E(Tn Ex, Tn Ey, Tn coef, Tn sigHx, Tn sigHy, Tn profHx, Tn profHy, Tn delayHx,
              Tn delayHy, Tn margin, int64_t kp, int64_t step);

void Inject_J(Tn Ex, Tn Ey, Tn Ez, Tn Jx, Tn Jy, Tn Jz, Tn pos);

void Set_ER_average(Tn er, Tn weight, Tn id_map, Tn prev_id_map, Tn er_table);

void Set_sigma_average(Tn sigma, Tn weight, Tn id_map, Tn prev_id_map, Tn sigma_table);

Windows Set_ER_subcell(bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x,
                       Tn coord_y, Tn coord_z, Tn er, int64_t mat_id, Tn id_map,
                       Tn prev_id_map, Tn normal, Tn er_table, int64_t component);

void Update_E_Periodic(Tn Ex, Tn Ey, Tn Ez, Tn phase_x, Tn phase_y, Tn periodic,
                       bool positive_phase);

}  // namespace voxstep4
