"""Voxstep: Yee-grid FDTD kernels for float32 fields (complex values as two channel halves)."""
from torch import Tensor

def Update_E_Dispersion(Ex: Tensor, Ey: Tensor, Ez: Tensor, Ex_prev: Tensor, Ey_prev: Tensor, Ez_prev: Tensor, weight_x: Tensor, weight_y: Tensor, weight_z: Tensor, id_map_x: Tensor, id_map_y: Tensor, id_map_z: Tensor, prev_id_map_x: Tensor, prev_id_map_y: Tensor, prev_id_map_z: Tensor, den1_x: Tensor, den1_y: Tensor, den1_z: Tensor, den2_x: Tensor, den2_y: Tensor, den2_z: Tensor, alpha: Tensor, beta: Tensor, aux1_x: Tensor, aux1_y: Tensor, aux1_z: Tensor, aux2_x: Tensor, aux2_y: Tensor, aux2_z: Tensor, unused: Tensor, /) -> None:
    """Update_E_Dispersion"""

def Update_H(Hx: Tensor, Hy: Tensor, Hz: Tensor, Ex: Tensor, Ey: Tensor, Ez: Tensor, Cx: Tensor, Cy: Tensor, Cz: Tensor, psi_x: Tensor, psi_y: Tensor, psi_z: Tensor, bx: Tensor, by: Tensor, bz: Tensor, gx: Tensor, gy: Tensor, gz: Tensor, n_layer: Tensor, unused: Tensor, /) -> None:
    """Update_H"""

def Update_E(Ex: Tensor, Ey: Tensor, Ez: Tensor, Hx: Tensor, Hy: Tensor, Hz: Tensor, keep_x: Tensor, keep_y: Tensor, keep_z: Tensor, loss_x: Tensor, loss_y: Tensor, loss_z: Tensor, Cx: Tensor, Cy: Tensor, Cz: Tensor, psi_x: Tensor, psi_y: Tensor, psi_z: Tensor, bx: Tensor, by: Tensor, bz: Tensor, gx: Tensor, gy: Tensor, gz: Tensor, n_layer: Tensor, unused: Tensor, /) -> None:
    """Update_E"""

def Update_E_Periodic(Ex: Tensor, Ey: Tensor, Ez: Tensor, phase_x: Tensor, phase_y: Tensor, periodic: Tensor, positive_phase: bool, /) -> None:
    """Update_E_Periodic"""

def Inject_H(Hx: Tensor, Hy: Tensor, coef: Tensor, ampEx: Tensor, ampEy: Tensor, profEx: Tensor, profEy: Tensor, margin: Tensor, kp: int, /) -> None:
    """Inject_H"""

def Inject_E(Ex: Tensor, Ey: Tensor, coef: Tensor, ampHx: Tensor, ampHy: Tensor, profHx: Tensor, profHy: Tensor, margin: Tensor, kp: int, /) -> None:
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

def Set_weight_subcell(box_x: Tensor, box_y: Tensor, box_z: Tensor, vox: Tensor, coord_x: Tensor, coord_y: Tensor, coord_z: Tensor, weight: Tensor, mat_id: int, id_map: Tensor, prev_id_map: Tensor, normal: Tensor, er_table: Tensor, component: int, /) -> tuple[Tensor, Tensor, Tensor]:
    """Set_weight_subcell"""

def Monitor_Update_E(Mx: Tensor, My: Tensor, Mz: Tensor, Ex: Tensor, Ey: Tensor, Ez: Tensor, w: Tensor, rx: Tensor, ry: Tensor, rz: Tensor, /) -> None:
    """Monitor_Update_E"""

def Trilinear_interpolation(grid_x: Tensor, grid_y: Tensor, grid_z: Tensor, src: Tensor, query_x: Tensor, query_y: Tensor, query_z: Tensor, nearest: bool, /) -> Tensor:
    """Trilinear_interpolation"""

def Trilinear_reverse_interpolation(grid_x: Tensor, grid_y: Tensor, grid_z: Tensor, vals: Tensor, query_x: Tensor, query_y: Tensor, query_z: Tensor, /) -> Tensor:
    """Trilinear_reverse_interpolation"""
