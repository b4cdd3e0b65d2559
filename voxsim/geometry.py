"""Geometry: layered stacks along z, and the material pipeline that paints
objects onto the Yee grid through the modules' preparation functions.

A ``Stack`` is an incident medium (above, z < first interface), layers in
the order the light meets them, and a substrate (below); both half-spaces
extend into the CPML. Thicknesses are in a.

The material pipeline works per electric component, on that component's own
sample grid (cell units: Ex at (i+½, j, k), Ey at (i, j+½, k), Ez at
(i, j, k+½)); each sample's cell is the box between the midpoints to its
neighbours, as the modules define it. For every object, in painting order (a
later object displaces an earlier one):

1. the object's fill fractions on a voxel box (``Paintable.voxels``);
2. ``Mat_average``: the fill averaged over each sample cell (kept as the
   object's painted volume, and as the plain weight, see 5);
3. ``Set_weight_mat_id``: owner id, displaced id and owner weight;
4. ``Set_weight_subcell`` with the object's surface normals: the weight
   becomes the one that mixes the two table permittivities into the
   anisotropic average ε_eff = 1/(n²⟨1/ε⟩ + (1 − n²)/⟨ε⟩) for this component
   (normal component harmonic, tangential arithmetic);
5. where the owner and the displaced medium have (nearly) the same ``eps``
   that weight is undefined (the kernel divides by the contrast), so it is
   put back to the plain fill fraction: such media differ only in loss or
   dispersion, which mix linearly.

Then ``Set_ER_average`` mixes the permittivity table (ε∞ + Re β) into
``keep``/``den1`` and ``Voxstep4.Set_sigma_average`` accumulates the
conductivity table (σ·dt/2) into ``loss``/``den2``; ``Update_E_Dispersion``
reads the same ids and weights for the pole auxiliaries. Only two media are
remembered per sample (owner and displaced): a layer thinner than a cell
between two others is approximated.

A layer is one voxel spanning the layer, so its interfaces are voxel faces
and the averages above are exact.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Sequence

import numpy as np
import torch

from .media import Medium
from .units import finite_number, require

COMPONENTS = "xyz"


@dataclass(frozen=True)
class Layer:
    thickness: float
    medium: Medium

    def validate(self, field: str) -> None:
        t = finite_number(self.thickness, f"{field}.thickness")
        require(t > 0, f"{field}.thickness", f"must be positive, got {t}")
        require(isinstance(self.medium, Medium), f"{field}.medium", "must be a Medium")


@dataclass(frozen=True)
class Stack:
    """Uniform layers between an incident half-space and a substrate
    (``None``: the incident medium). Both half-spaces must be lossless."""

    layers: Sequence[Layer] = ()
    incident: Medium = Medium()
    substrate: Optional[Medium] = None

    def __post_init__(self):
        object.__setattr__(self, "layers", tuple(self.layers))
        if self.substrate is None:
            object.__setattr__(self, "substrate", self.incident)
        for name in ("incident", "substrate"):
            m = getattr(self, name)
            require(isinstance(m, Medium), name, "must be a Medium")
            require(m.lossless, name,
                    "must be lossless (no sigma, no pole): R and T are fluxes in the half-spaces")
        for i, layer in enumerate(self.layers):
            require(isinstance(layer, Layer), f"layers[{i}]", "must be a Layer")
            layer.validate(f"layers[{i}]")

    @property
    def thickness(self) -> float:
        return float(sum(l.thickness for l in self.layers))

    def media(self) -> List[Medium]:
        return [self.incident, self.substrate] + [l.medium for l in self.layers]

    def with_layer(self, index: int, **changes) -> "Stack":
        """A copy with layer ``index`` changed (``thickness=``, ``medium=``)."""
        layers = list(self.layers)
        old = layers[index]
        layers[index] = Layer(changes.get("thickness", old.thickness),
                              changes.get("medium", old.medium))
        return Stack(layers, self.incident, self.substrate)


# ---------------------------------------------------------------------------
# The material pipeline


def prep_function(name: str, device: torch.device):
    """A preparation function on `device`: the public modules take CUDA
    tensors for these, their CPU twins live in ``_voxstep_host``."""
    import Voxstep
    if device.type == "cpu" and name in ("Mat_average", "Set_weight_mat_id", "Set_weight_subcell"):
        import _voxstep_host
        return getattr(_voxstep_host, name)
    return getattr(Voxstep, name)


class Paintable:
    """An object the pipeline can paint: a voxel box of fill fractions per
    structure slice, and its unit surface normal at given sample points."""

    def voxels(self):
        """(box_x, box_y, box_z, vox): boxes as 2-element float tensors in
        cell units, vox [NM, Vx, Vy, Vz] fill fractions."""
        raise NotImplementedError

    def normals(self, coords):
        """[NM, Lx, Ly, Lz, 3] unit normals (may be an expanded view)."""
        raise NotImplementedError


class Slab(Paintable):
    """Slab zlo < z < zhi (cell units) spanning x and y, in structure slice
    ``m`` of ``NM``. Its voxel box is the slab itself, one voxel, so the
    interfaces are voxel faces and the cell averages (plain, arithmetic
    and harmonic) are exact."""

    def __init__(self, zlo: float, zhi: float, m: int, NM: int, extent_xy, device):
        self.zlo, self.zhi = float(zlo), float(zhi)
        self.m, self.NM = m, NM
        self.extent_xy = extent_xy
        self.device = device

    def voxels(self):
        nx, ny = self.extent_xy
        vox = torch.zeros(self.NM, 1, 1, 1, device=self.device)
        vox[self.m] = 1.0
        t = lambda a, b: torch.tensor([a, b], dtype=torch.float32, device=self.device)
        return t(-1.0, nx + 1.0), t(-1.0, ny + 1.0), t(self.zlo, self.zhi), vox

    def normals(self, coords):
        n = torch.tensor([0.0, 0.0, 1.0], device=self.device)
        return n.expand(self.NM, len(coords[0]), len(coords[1]), len(coords[2]), 3)


@dataclass
class ComponentMaps:
    """Material description and coefficient maps of one electric component,
    all [NM, Nx, Ny, Nz]."""

    weight: torch.Tensor
    id_map: torch.Tensor
    prev_id_map: torch.Tensor
    den1: Optional[torch.Tensor] = None   # also keep
    den2: Optional[torch.Tensor] = None   # also loss


class MaterialGrid:
    """The per-component material description of an (Nx, Ny, Nz) grid with
    NM structure slices, painted object by object."""

    def __init__(self, shape, NM: int, device, background_id: int = 0):
        self.shape = tuple(int(s) for s in shape)
        self.NM = NM
        self.device = torch.device(device)
        Nx, Ny, Nz = self.shape
        self.comp = {}
        for c in COMPONENTS:
            self.comp[c] = ComponentMaps(
                weight=torch.ones(NM, Nx, Ny, Nz, device=self.device),
                id_map=torch.full((NM, Nx, Ny, Nz), background_id, dtype=torch.uint8,
                                  device=self.device),
                prev_id_map=torch.full((NM, Nx, Ny, Nz), background_id, dtype=torch.uint8,
                                       device=self.device))
        self.painted_volume = []   # per painted object: [NM] fill summed on the Ex grid

    def coords(self, c: str):
        """Sample coordinates (cell units) of component c along x, y, z."""
        Nx, Ny, Nz = self.shape
        axes = []
        for a, N in zip(COMPONENTS, self.shape):
            shift = 0.5 if a == c else 0.0
            axes.append(torch.arange(N, dtype=torch.float32, device=self.device) + shift)
        return axes

    def paint(self, obj: Paintable, mat_id: int, eps_table: Optional[torch.Tensor] = None):
        """Paint `obj` with material `mat_id`; with `eps_table` (ε per id,
        float32) the weights get anisotropic subcell smoothing."""
        Mat_average = prep_function("Mat_average", self.device)
        Set_weight_mat_id = prep_function("Set_weight_mat_id", self.device)
        Set_weight_subcell = prep_function("Set_weight_subcell", self.device)
        bx, by, bz, vox = obj.voxels()
        for ci, c in enumerate(COMPONENTS):
            cx, cy, cz = self.coords(c)
            maps = self.comp[c]
            fill, rx, ry, rz = Mat_average(bx, by, bz, vox, cx, cy, cz)
            if c == "x":
                self.painted_volume.append(fill.sum(dim=(1, 2, 3)).cpu())
            Set_weight_mat_id(bx, by, bz, vox, cx, cy, cz, mat_id, maps.weight, maps.id_map,
                              maps.prev_id_map)
            if eps_table is None:
                continue
            normal = obj.normals((cx, cy, cz))
            Set_weight_subcell(bx, by, bz, vox, cx, cy, cz, maps.weight, mat_id, maps.id_map,
                               maps.prev_id_map, normal, eps_table, ci)
            # Equal-eps neighbours: back to the plain fill fraction.
            win = (slice(None), slice(int(rx[0]), int(rx[1]) + 1),
                   slice(int(ry[0]), int(ry[1]) + 1), slice(int(rz[0]), int(rz[1]) + 1))
            own = maps.id_map[win]
            flat = (eps_table[own.long()] - eps_table[maps.prev_id_map[win].long()]).abs() < 1e-3
            redo = flat & (own == (mat_id & 0xFF))
            maps.weight[win] = torch.where(redo, fill, maps.weight[win])

    def coefficients(self, perm_table: torch.Tensor, cond_table: torch.Tensor):
        """Fill den1 (= keep) and den2 (= loss) of every component from the
        per-id permittivity and conductivity tables."""
        import Voxstep
        import Voxstep4
        for c in COMPONENTS:
            m = self.comp[c]
            m.den1 = torch.empty_like(m.weight)
            Voxstep.Set_ER_average(m.den1, m.weight, m.id_map, m.prev_id_map, perm_table)
            m.den2 = torch.zeros_like(m.weight)
            Voxstep4.Set_sigma_average(m.den2, m.weight, m.id_map, m.prev_id_map, cond_table)
