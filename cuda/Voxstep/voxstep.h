// The real-field module's functions (float32 fields, complex values carried
// as two channel halves).
#pragma once

#include <tuple>

#include "../common/field_host.h"
#include "../common/material_api.h"

namespace voxstep {

using vx::Tn;
using Windows = std::tuple<at::Tensor, at::Tensor, at::Tensor>;

void Update_E_Dispersion(Tn Ex, Tn Ey, Tn Ez, Tn Ex_prev, Tn Ey_prev, Tn Ez_prev, Tn weight_x,
                         Tn weight_y, Tn weight_z, Tn id_map_x, Tn id_map_y, Tn id_map_z,
                         Tn prev_id_map_x, Tn prev_id_map_y, Tn prev_id_map_z, Tn den1_x,
                         Tn den1_y, Tn den1_z, Tn den2_x, Tn den2_y, Tn den2_z, Tn alpha,
                         Tn beta, Tn aux1_x, Tn aux1_y, Tn aux1_z, Tn aux2_x, Tn aux2_y,
                         Tn aux2_z, Tn unused);

vx::UpdateHFn Update_H;  // field_host.h: the argument list
vx::UpdateEFn Update_E;

void Update_E_Periodic(Tn Ex, Tn Ey, Tn Ez, Tn phase_x, Tn phase_y, Tn periodic,
                       bool positive_phase);

void Inject_H(Tn Hx, Tn Hy, Tn coef, Tn ampEx, Tn ampEy, Tn profEx, Tn profEy, Tn margin,
              int64_t kp);

void Inject_E(Tn Ex, Tn Ey, Tn coef, Tn ampHx, Tn ampHy, Tn profHx, Tn profHy, Tn margin,
              int64_t kp);

void Inject_J(Tn Ex, Tn Ey, Tn Ez, Tn Jx, Tn Jy, Tn Jz, Tn pos);

void Set_ER_average(Tn er, Tn weight, Tn id_map, Tn prev_id_map, Tn er_table);

Windows Set_weight_subcell(bool gpu_checks, Tn box_x, Tn box_y, Tn box_z, Tn vox, Tn coord_x,
                           Tn coord_y, Tn coord_z, Tn weight, int64_t mat_id, Tn id_map,
                           Tn prev_id_map, Tn normal, Tn er_table, int64_t component);

void Monitor_Update_E(Tn Mx, Tn My, Tn Mz, Tn Ex, Tn Ey, Tn Ez, Tn w, Tn rx, Tn ry, Tn rz);

at::Tensor Trilinear_interpolation(bool gpu_checks, Tn grid_x, Tn grid_y, Tn grid_z, Tn src,
                                   Tn query_x, Tn query_y, Tn query_z, bool nearest);

at::Tensor Trilinear_reverse_interpolation(bool gpu_checks, Tn grid_x, Tn grid_y, Tn grid_z,
                                           Tn vals, Tn query_x, Tn query_y, Tn query_z);

}  // namespace voxstep
