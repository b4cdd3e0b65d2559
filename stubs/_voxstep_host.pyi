"""CPU twins of the functions that Voxstep and Voxstep4 run on CUDA tensors only."""
from torch import Tensor

def Mat_average(box_x: Tensor, box_y: Tensor, box_z: Tensor, vox: Tensor, coord_x: Tensor, coord_y: Tensor, coord_z: Tensor, /) -> tuple[Tensor, Tensor, Tensor, Tensor]:
    """Average sampling for index"""

def Set_weight_mat_id(box_x: Tensor, box_y: Tensor, box_z: Tensor, vox: Tensor, coord_x: Tensor, coord_y: Tensor, coord_z: Tensor, mat_id: int, weight: Tensor, id_map: Tensor, prev_id_map: Tensor, /) -> None:
    """Set_weight_mat_id"""

def Set_weight_subcell(box_x: Tensor, box_y: Tensor, box_z: Tensor, vox: Tensor, coord_x: Tensor, coord_y: Tensor, coord_z: Tensor, weight: Tensor, mat_id: int, id_map: Tensor, prev_id_map: Tensor, normal: Tensor, er_table: Tensor, component: int, /) -> tuple[Tensor, Tensor, Tensor]:
    """Set_weight_subcell"""

def Trilinear_interpolation(grid_x: Tensor, grid_y: Tensor, grid_z: Tensor, src: Tensor, query_x: Tensor, query_y: Tensor, query_z: Tensor, nearest: bool, /) -> Tensor:
    """Trilinear_interpolation"""

def Trilinear_reverse_interpolation(grid_x: Tensor, grid_y: Tensor, grid_z: Tensor, vals: Tensor, query_x: Tensor, query_y: Tensor, query_z: Tensor, /) -> Tensor:
    """Trilinear_reverse_interpolation"""

def Set_ER_subcell(box_x: Tensor, box_y: Tensor, box_z: Tensor, vox: Tensor, coord_x: Tensor, coord_y: Tensor, coord_z: Tensor, er: Tensor, mat_id: int, id_map: Tensor, prev_id_map: Tensor, normal: Tensor, er_table: Tensor, component: int, /) -> tuple[Tensor, Tensor, Tensor]:
    """Set_ER_subcell"""
