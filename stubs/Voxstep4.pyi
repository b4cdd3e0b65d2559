"""Voxstep4: Yee-grid FDTD kernels for complex64 fields."""
from torch import Tensor

def Update_E_Dispersion(Ex: Tensor, Ey: Tensor, Ez: Tensor, den1_x: Tensor, den1_y: Tensor, den1_z: Tensor, den2_x: Tensor, den2_y: Tensor, den2_z: Tensor, unused: Tensor, /) -> None:
    """Update_E_Dispersion"""

def Update_H(Hx: Tensor, Hy: Tensor, Hz: Tensor, Ex: Tensor, Ey: Tensor, Ez: Tensor, Cx: Tensor, Cy: Tensor, Cz: Tensor, psi_x: Tensor, psi_y: Tensor, psi_z: Tensor, bx: Tensor, by: Tensor, bz: Tensor, gx: Tensor, gy: Tensor, gz: Tensor, n_layer: Tensor, unused: Tensor, /) -> None:
    """Update_H"""

def Update_E(Ex: Tensor, Ey: Tensor, Ez: Tensor, Hx: Tensor, Hy: Tensor, Hz: Tensor, keep_x: Tensor, keep_y: Tensor, keep_z: Tensor, loss_x: Tensor, loss_y: Tensor, loss_z: Tensor, Cx: Tensor, Cy: Tensor, Cz: Tensor, psi_x: Tensor, psi_y: Tensor, psi_z: Tensor, bx: Tensor, by: Tensor, bz: Tensor, gx: Tensor, gy: Tensor, gz: Tensor, n_layer: Tensor, unused: Tensor, /) -> None:
    """Update_E"""

def Inject_H(Hx: Tensor, Hy: Tensor, coef: Tensor, sigEx: Tensor, sigEy: Tensor, profEx: Tensor, profEy: Tensor, delayEx: Tensor, delayEy: Tensor, margin: Tensor, kp: int, step: int, /) -> None:
    """Inject_H"""

def Inject_E(Ex: Tensor, Ey: Tensor, coef: Tensor, sigHx: Tensor, sigHy: Tensor, profHx: Tensor, profHy: Tensor, delayHx: Tensor, delayHy: Tensor, margin: Tensor, kp: int, step: int, /) -> None:
    """Inject_E"""

def Inject_J(Ex: Tensor, Ey: Tensor, Ez: Tensor, Jx: Tensor, Jy: Tensor, Jz: Tensor, pos: Tensor, /) -> None:
    """Inject_J"""

def get_id_range(box: Tensor, coord: Tensor, /) -> Tensor:
    """get_id_range"""

def Mat_average(box_x: Tensor, box_y: Tensor, box_z: Tensor, vox: Tensor, coord_x: Tensor, coord_y: Tensor, coord_z: Tensor, /) -> tuple[Tensor, Tensor, Tensor, Tensor]:
    """Average sampling for index"""

def Set_weight_mat_id(box_x: Tensor, box_y: Tensor, box_z: Tensor, vox: Tensor, coord_x: Tensor, coord_y: Tensor, coord_z: Tensor, mat_id: int, weight: Tensor, id_map: Tensor, prev_id_map: Tensor, /) -> None:
    """Set_weight_mat_id"""

def Set_ER_average(er: Tensor, weight: Tensor, id_map: Tensor, prev_id_map: Tensor, er_table: Tensor, /) -> None:
    """Set_ER_average"""

def Set_sigma_average(sigma: Tensor, weight: Tensor, id_map: Tensor, prev_id_map: Tensor, sigma_table: Tensor, /) -> None:
    """Set_sigma_average"""

def Set_ER_subcell(box_x: Tensor, box_y: Tensor, box_z: Tensor, vox: Tensor, coord_x: Tensor, coord_y: Tensor, coord_z: Tensor, er: Tensor, mat_id: int, id_map: Tensor, prev_id_map: Tensor, normal: Tensor, er_table: Tensor, component: int, /) -> tuple[Tensor, Tensor, Tensor]:
    """Set_ER_subcell"""

def Update_E_Periodic(Ex: Tensor, Ey: Tensor, Ez: Tensor, phase_x: Tensor, phase_y: Tensor, periodic: Tensor, positive_phase: bool, /) -> None:
    """Update_E_Periodic"""
