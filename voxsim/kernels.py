"""The kernel calls: the one module of voxsim that imports the extension.

Everything else in the package reaches the compiled functions through the
names below, so what voxsim asks of the kernels is listed here once.

- The step runs on ``Voxstep`` (float32 fields, a complex value as two
  channel halves; see ``simulation``): ``Update_H``, ``Update_E``,
  ``Update_E_Dispersion``, ``Update_E_Periodic``, the plane-wave and current
  sources ``Inject_H``, ``Inject_E``, ``Inject_J`` and the field monitor
  ``Monitor_Update_E``.
- The material tables: ``Set_ER_average`` (den1 from the permittivity
  table) and ``Set_sigma_average`` (den2 from the conductivity table; taken
  from ``Voxstep4``, whose version accumulates in the real den2 voxsim
  keeps).
- Preparation functions whose public versions take CUDA tensors only
  (``Mat_average``, ``Set_weight_mat_id``, ``Set_weight_subcell``,
  ``Trilinear_reverse_interpolation``) come from their CPU twins in
  ``_voxstep_host`` on the CPU: ``prep(name, device)``.

Every function runs where its first tensor lives and checks its arguments
before it writes anything; the callers allocate every tensor.
"""
from __future__ import annotations

import Voxstep
import Voxstep4
import _voxstep_host
import torch

Update_H = Voxstep.Update_H
Update_E = Voxstep.Update_E
Update_E_Dispersion = Voxstep.Update_E_Dispersion
Update_E_Periodic = Voxstep.Update_E_Periodic
Inject_H = Voxstep.Inject_H
Inject_E = Voxstep.Inject_E
Inject_J = Voxstep.Inject_J
Monitor_Update_E = Voxstep.Monitor_Update_E
Set_ER_average = Voxstep.Set_ER_average
Set_sigma_average = Voxstep4.Set_sigma_average

HOST_TWINS = ("Mat_average", "Set_weight_mat_id", "Set_weight_subcell",
              "Trilinear_reverse_interpolation")


def prep(name: str, device) -> object:
    """The preparation function `name` for tensors on `device`: the CPU twin
    where the public one takes CUDA tensors only."""
    if name not in HOST_TWINS:
        raise KeyError(f"{name}: not a preparation function voxsim calls "
                       f"({', '.join(HOST_TWINS)})")
    return getattr(_voxstep_host if torch.device(device).type == "cpu" else Voxstep, name)
