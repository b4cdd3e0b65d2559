// The real-field module's functions (float32 fields, complex values carried
// as two channel halves): its table, from which the declarations below, the
// binding and the exported argument tables are made.
#pragma once

#include "../common/host.h"

// The argument lists of the functions only this module has (host.h).
#define VOXSTEP_ARGS_UPDATE_E_DISPERSION(X, T)                                                \
  X(Ex, Out, 6, kF32, VX_EX) X(Ey, Out, 6, kF32, VX_EY) X(Ez, Out, 6, kF32, VX_EZ)            \
  X(Ex_prev, Out, 6, kF32, "=Ex") X(Ey_prev, Out, 6, kF32, "=Ey")                             \
  X(Ez_prev, Out, 6, kF32, "=Ez") X(weight_x, In, 4, kF32, VX_MAP)                            \
  X(weight_y, In, 4, kF32, VX_MAP) X(weight_z, In, 4, kF32, VX_MAP)                           \
  X(id_map_x, In, 4, kU8, VX_MAP) X(id_map_y, In, 4, kU8, VX_MAP) X(id_map_z, In, 4, kU8, VX_MAP) \
  X(prev_id_map_x, In, 4, kU8, VX_MAP) X(prev_id_map_y, In, 4, kU8, VX_MAP)                   \
  X(prev_id_map_z, In, 4, kU8, VX_MAP) X(den1_x, In, 4, kF32, VX_MAP)                         \
  X(den1_y, In, 4, kF32, VX_MAP) X(den1_z, In, 4, kF32, VX_MAP) X(den2_x, In, 4, kF32, VX_MAP) \
  X(den2_y, In, 4, kF32, VX_MAP) X(den2_z, In, 4, kF32, VX_MAP) X(alpha, In, 1, kC64)         \
  X(beta, In, 1, kC64) X(aux1_x, Out, 6, kC64, VX_CELLS) X(aux1_y, Out, 6, kC64, VX_CELLS)    \
  X(aux1_z, Out, 6, kC64, VX_CELLS) X(aux2_x, Out, 6, kC64, VX_CELLS)                         \
  X(aux2_y, Out, 6, kC64, VX_CELLS) X(aux2_z, Out, 6, kC64, VX_CELLS)                         \
  X(unused, Unused, -1, kAny)
// The plane source: field pair, coef, amplitudes (A1 feeds field 1, A0 field
// 0), profiles, margin and plane index.
// NH complex channels: the halves of the NC field channels.
#define VOXSTEP_ARGS_PLANE(X, F0, F1, A1, A0, P1, P0)                                          \
  X(F0, Out, 6, kF32, VX_PLANE_FIELD) X(F1, Out, 6, kF32, VX_PLANE_FIELD)                      \
  X(coef, In, 1, kF32) X(A1, In, 2, kC64, "[NS, NH]") X(A0, In, 2, kC64, "[NS, NH]")           \
  X(P1, In, 4, kC64, "[NS, Wx, Wy, NH]") X(P0, In, 4, kC64, "[NS, Wx, Wy, NH]")                \
  X(margin, Host, -1, kAny) X(kp, Int, -1, kAny)
#define VOXSTEP_ARGS_INJECT_H(X, T) VOXSTEP_ARGS_PLANE(X, Hx, Hy, ampEx, ampEy, profEx, profEy)
#define VOXSTEP_ARGS_INJECT_E(X, T) VOXSTEP_ARGS_PLANE(X, Ex, Ey, ampHx, ampHy, profHx, profHy)
#define VOXSTEP_ARGS_SET_ER_AVERAGE(X, T) VX_ARGS_MIX(X, er, 4, er_table, 1)
#define VOXSTEP_ARGS_SET_WEIGHT_SUBCELL(X, T) VX_ARGS_SUBCELL(X, weight, 1)
// The box holds Bx x By x Bz nodes from (x0, y0, z0); each component has
// one sample fewer along its own axis, and none when the box is one node
// thick there. The fields hold NCf = NC channels, or one that every monitor
// channel reads.
#define VOXSTEP_ARGS_MONITOR_UPDATE_E(X, T)                                                    \
  X(Mx, Out, 6, kC64, "[NS, NM, Bx-1, By, Bz, NC] if Bx-1")                                    \
  X(My, Out, 6, kC64, "[NS, NM, Bx, By-1, Bz, NC] if By-1")                                    \
  X(Mz, Out, 6, kC64, "[NS, NM, Bx, By, Bz-1, NC] if Bz-1")                                    \
  X(Ex, In, 6, kF32, "[NS, NM, x0+Bx-1, y0+By, z0+Bz, NCf] if Bx-1")                           \
  X(Ey, In, 6, kF32, "[NS, NM, x0+Bx, y0+By-1, z0+Bz, NCf] if By-1")                           \
  X(Ez, In, 6, kF32, "[NS, NM, x0+Bx, y0+By, z0+Bz-1, NCf] if Bz-1")                           \
  X(w, In, 1, kC64, "[NC]") X(rx, Host, -1, kAny) X(ry, Host, -1, kAny) X(rz, Host, -1, kAny)
// The interpolated values are checked first: src on the Gx x Gy x Gz grid,
// vals at the Qx x Qy x Qz query points.
#define VOXSTEP_ARGS_TRILINEAR(X, VALUES, RULE)                                                \
  X(grid_x, In, 1, kF32) X(grid_y, In, 1, kF32) X(grid_z, In, 1, kF32)                         \
  X(VALUES, Lead, 6, kC64, RULE) X(query_x, In, 1, kF32) X(query_y, In, 1, kF32)               \
  X(query_z, In, 1, kF32)
#define VOXSTEP_ARGS_TRILINEAR_INTERPOLATION(X, T) \
  VOXSTEP_ARGS_TRILINEAR(X, src, "[*, *, Gx, Gy, Gz, *]") X(nearest, Bool, -1, kAny)
#define VOXSTEP_ARGS_TRILINEAR_REVERSE_INTERPOLATION(X, T) \
  VOXSTEP_ARGS_TRILINEAR(X, vals, "[*, *, Qx, Qy, Qz, *]")

// The module's functions in binding order (host.h: module tables).
#define VOXSTEP_FUNCTIONS(X)                                                                   \
  X(voxstep, Update_E_Dispersion, Plain, void, VOXSTEP_ARGS_UPDATE_E_DISPERSION, kF32,         \
    "Update_E_Dispersion")                                                                     \
  X(vx_field, Update_H, Plain, void, VX_ARGS_UPDATE_H, kF32, "Update_H")                       \
  X(vx_field, Update_E, Plain, void, VX_ARGS_UPDATE_E, kF32, "Update_E")                       \
  X(voxstep, Update_E_Periodic, Plain, void, VX_ARGS_UPDATE_E_PERIODIC, kF32,                  \
    "Update_E_Periodic")                                                                       \
  X(voxstep, Inject_H, Plain, void, VOXSTEP_ARGS_INJECT_H, kF32, "Inject_H")                   \
  X(voxstep, Inject_E, Plain, void, VOXSTEP_ARGS_INJECT_E, kF32, "Inject_E")                   \
  X(voxstep, Inject_J, Plain, void, VX_ARGS_INJECT_J, kF32, "Inject_J")                        \
  VX_MATERIAL_FUNCTIONS(X)                                                                     \
  X(voxstep, Set_ER_average, Plain, void, VOXSTEP_ARGS_SET_ER_AVERAGE, kF32, "Set_ER_average") \
  X(voxstep, Set_weight_subcell, Checked, vx::Windows, VOXSTEP_ARGS_SET_WEIGHT_SUBCELL, kF32,  \
    "Set_weight_subcell")                                                                      \
  X(voxstep, Monitor_Update_E, Plain, void, VOXSTEP_ARGS_MONITOR_UPDATE_E, kF32,               \
    "Monitor_Update_E")                                                                        \
  X(voxstep, Trilinear_interpolation, Checked, at::Tensor,                                     \
    VOXSTEP_ARGS_TRILINEAR_INTERPOLATION, kF32, "Trilinear_interpolation")                     \
  X(voxstep, Trilinear_reverse_interpolation, Checked, at::Tensor,                             \
    VOXSTEP_ARGS_TRILINEAR_REVERSE_INTERPOLATION, kF32, "Trilinear_reverse_interpolation")

namespace voxstep {

using vx::Tn;

#define VX_DECLARE_voxstep(...) VX_DECLARE_FUNCTION(__VA_ARGS__)
#define VX_FUNCTION_voxstep(NAME, T) ::voxstep::NAME
VOXSTEP_FUNCTIONS(VX_DECLARE_IN_MODULE)

}  // namespace voxstep
