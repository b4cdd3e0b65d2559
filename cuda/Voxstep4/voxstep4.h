// The complex-field module's functions (complex64 fields, one complex field
// per channel): its table, from which the declarations below, the binding
// and the exported argument tables are made.
#pragma once

#include "../common/host.h"

// The argument lists of the functions only this module has (host.h).
#define VOXSTEP4_ARGS_UPDATE_E_DISPERSION(X, T)                                          \
  X(Ex, Out, 6, kC64, VX_EX) X(Ey, Out, 6, kC64, VX_EY) X(Ez, Out, 6, kC64, VX_EZ)      \
  X(den1_x, In, 5, kF32, VX_MAP_C) X(den1_y, In, 5, kF32, VX_MAP_C)                     \
  X(den1_z, In, 5, kF32, VX_MAP_C) X(den2_x, In, 4, kF32, VX_MAP)                       \
  X(den2_y, In, 4, kF32, VX_MAP) X(den2_z, In, 4, kF32, VX_MAP) X(unused, Unused, -1, kAny)
// The plane source: field pair, coef, sampled signals (S1 feeds field 1, S0
// field 0), profiles, delays, margin, plane index and time step.
// Nt signal samples.
#define VOXSTEP4_ARGS_PLANE(X, F0, F1, S1, S0, P1, P0, D1, D0)                                 \
  X(F0, Out, 6, kC64, VX_PLANE_FIELD) X(F1, Out, 6, kC64, VX_PLANE_FIELD)                      \
  X(coef, In, 1, kF32) X(S1, In, 2, kC64, "[NS, Nt]") X(S0, In, 2, kC64, "[NS, Nt]")           \
  X(P1, In, 4, kC64, "[NS, Wx, Wy, NC]") X(P0, In, 4, kC64, "[NS, Wx, Wy, NC]")                \
  X(D1, In, 2, kF32, "[Wx, Wy]") X(D0, In, 2, kF32, "[Wx, Wy]") X(margin, Host, -1, kAny)      \
  X(kp, Int, -1, kAny) X(step, Int, -1, kAny)
#define VOXSTEP4_ARGS_INJECT_H(X, T) \
  VOXSTEP4_ARGS_PLANE(X, Hx, Hy, sigEx, sigEy, profEx, profEy, delayEx, delayEy)
#define VOXSTEP4_ARGS_INJECT_E(X, T) \
  VOXSTEP4_ARGS_PLANE(X, Ex, Ey, sigHx, sigHy, profHx, profHy, delayHx, delayHy)
#define VOXSTEP4_ARGS_SET_ER_AVERAGE(X, T) VX_ARGS_MIX(X, er, 5, er_table, 2)
#define VOXSTEP4_ARGS_SET_SIGMA_AVERAGE(X, T) VX_ARGS_MIX(X, sigma, 4, sigma_table, 1)
#define VOXSTEP4_ARGS_SET_ER_SUBCELL(X, T) VX_ARGS_SUBCELL(X, er, 2)

// The module's functions in binding order (host.h: module tables).
#define VOXSTEP4_FUNCTIONS(X)                                                                  \
  X(voxstep4, Update_E_Dispersion, Plain, void, VOXSTEP4_ARGS_UPDATE_E_DISPERSION, kC64,       \
    "Update_E_Dispersion")                                                                     \
  X(vx_field, Update_H, Plain, void, VX_ARGS_UPDATE_H, kC64, "Update_H")                       \
  X(vx_field, Update_E, Plain, void, VX_ARGS_UPDATE_E, kC64, "Update_E")                       \
  X(voxstep4, Inject_H, Plain, void, VOXSTEP4_ARGS_INJECT_H, kC64, "Inject_H")                 \
  X(voxstep4, Inject_E, Plain, void, VOXSTEP4_ARGS_INJECT_E, kC64, "Inject_E")                 \
  X(voxstep4, Inject_J, Plain, void, VX_ARGS_INJECT_J, kC64, "Inject_J")                       \
  VX_MATERIAL_FUNCTIONS(X)                                                                     \
  X(voxstep4, Set_ER_average, Plain, void, VOXSTEP4_ARGS_SET_ER_AVERAGE, kC64,                 \
    "Set_ER_average")                                                                          \
  X(voxstep4, Set_sigma_average, Plain, void, VOXSTEP4_ARGS_SET_SIGMA_AVERAGE, kC64,           \
    "Set_sigma_average")                                                                       \
  X(voxstep4, Set_ER_subcell, Checked, vx::Windows, VOXSTEP4_ARGS_SET_ER_SUBCELL, kC64,        \
    "Set_ER_subcell")                                                                          \
  X(voxstep4, Update_E_Periodic, Plain, void, VX_ARGS_UPDATE_E_PERIODIC, kC64,                 \
    "Update_E_Periodic")

namespace voxstep4 {

using vx::Tn;

#define VX_DECLARE_voxstep4(...) VX_DECLARE_FUNCTION(__VA_ARGS__)
#define VX_FUNCTION_voxstep4(NAME, T) ::voxstep4::NAME
VOXSTEP4_FUNCTIONS(VX_DECLARE_IN_MODULE)

}  // namespace voxstep4
