"""The material grid: objects painted onto the Yee grid through the
modules' preparation functions.

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
   dispersion, which mix linearly; a sample wholly inside the object gets
   weight 1 (the kernel's regularised quotient leaves 1 − 1e-4/Δε).

Smoothing modes: ``"subcell"`` (the above), ``"average"`` (steps 1–3 only:
every component sees the plain fill-fraction mix) and ``"staircase"`` (a
sample takes the medium that fills at least half of its cell).

Every axis is padded with one sample on each side while painting, so each
sample of the grid has its whole cell (the modules give the first and last
sample of an axis half a cell, which would break the periodic images of the
edge samples); the maps the kernels read are views of the interior.

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

import math
from dataclasses import dataclass
from typing import Optional

import torch

from . import kernels
from .units import require

COMPONENTS = "xyz"
SMOOTHING = ("subcell", "average", "staircase")


prep_function = kernels.prep


class Paintable:
    """An object the pipeline can paint: a voxel box of fill fractions, the
    structure slice ``m`` it belongs to (None: every slice; then the voxel
    map has one slice per structure) and its unit surface normals at the
    sample points of an index window. ``rasterise.Piece`` is one."""

    m: Optional[int] = None

    def voxels(self):
        """(box_x, box_y, box_z, vox): boxes as 2-element float tensors in
        cell units, vox [1 or NM, Vx, Vy, Vz] fill fractions."""
        raise NotImplementedError

    def window_normals(self, coords, window) -> torch.Tensor:
        """[Wx, Wy, Wz, 3] unit normals at the window's sample points (may be
        an expanded view)."""
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
        vox = torch.ones(1, 1, 1, 1, device=self.device)
        t = lambda a, b: torch.tensor([a, b], dtype=torch.float32, device=self.device)
        return t(-2.0, nx + 2.0), t(-2.0, ny + 2.0), t(self.zlo, self.zhi), vox

    def window_normals(self, coords, window):
        n = torch.tensor([0.0, 0.0, 1.0], device=self.device)
        W = [int(w[1]) - int(w[0]) + 1 for w in window]
        return n.expand(*W, 3)


@dataclass
class ComponentMaps:
    """Material description and coefficient maps of one electric component,
    all [NM, Nx, Ny, Nz] (the first three are views of padded storage)."""

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
        padded = tuple(n + 2 for n in self.shape)
        inner = (slice(None), slice(1, -1), slice(1, -1), slice(1, -1))
        self._pad = {}
        self.comp = {}
        for c in COMPONENTS:
            w = torch.ones(NM, *padded, device=self.device)
            ids = torch.full((NM, *padded), background_id, dtype=torch.uint8, device=self.device)
            prev = ids.clone()
            self._pad[c] = (w, ids, prev)
            self.comp[c] = ComponentMaps(weight=w[inner], id_map=ids[inner], prev_id_map=prev[inner])
        self._normal = None
        self.painted_volume = []   # per painted object: [NM] fill summed on the Ex grid

    def copy(self) -> "MaterialGrid":
        """An independent copy of the painting so far (coefficients not
        included): painting can go on from here more than once."""
        new = MaterialGrid.__new__(MaterialGrid)
        new.shape, new.NM, new.device = self.shape, self.NM, self.device
        inner = (slice(None), slice(1, -1), slice(1, -1), slice(1, -1))
        new._pad, new.comp = {}, {}
        for c, tensors in self._pad.items():
            w, ids, prev = (t.clone() for t in tensors)
            new._pad[c] = (w, ids, prev)
            new.comp[c] = ComponentMaps(weight=w[inner], id_map=ids[inner], prev_id_map=prev[inner])
        new._normal = None if self._normal is None else self._normal.clone()
        new.painted_volume = list(self.painted_volume)
        return new

    def coords(self, c: str):
        """Sample coordinates (cell units) of component c along x, y, z,
        with the padding sample at each end (index 0 is position −1)."""
        axes = []
        for a, N in zip(COMPONENTS, self.shape):
            shift = 0.5 if a == c else 0.0
            axes.append(torch.arange(-1, N + 1, dtype=torch.float32, device=self.device) + shift)
        return axes

    def paint(self, obj: Paintable, mat_id: int, eps_table: Optional[torch.Tensor] = None,
              smoothing: Optional[str] = None):
        """Paint `obj` with material `mat_id` into its slice (``obj.m``) or
        every slice. ``smoothing``: "subcell" (needs `eps_table`, ε per id,
        float32; the default when it is given), "average" (the default
        without it) or "staircase"."""
        if smoothing is None:
            smoothing = "average" if eps_table is None else "subcell"
        smoothing = smoothing_mode(smoothing)
        require(smoothing != "subcell" or eps_table is not None, "smoothing",
                "subcell smoothing needs the permittivity table")
        Mat_average = prep_function("Mat_average", self.device)
        Set_weight_mat_id = prep_function("Set_weight_mat_id", self.device)
        Set_weight_subcell = prep_function("Set_weight_subcell", self.device)
        m = getattr(obj, "m", None)
        sl = slice(None) if m is None else slice(m, m + 1)
        bx, by, bz, vox = obj.voxels()
        mid = mat_id & 0xFF
        for ci, c in enumerate(COMPONENTS):
            cs = self.coords(c)
            w_all, ids_all, prev_all = self._pad[c]
            weight, ids, prev = w_all[sl], ids_all[sl], prev_all[sl]
            fill, rx, ry, rz = Mat_average(bx, by, bz, vox, *cs)
            lo = [int(r[0]) for r in (rx, ry, rz)]
            hi = [int(r[1]) for r in (rx, ry, rz)]
            if c == "x":
                self._record_volume(fill, lo, m)
            Set_weight_mat_id(bx, by, bz, vox, *cs, mat_id, weight, ids, prev)
            win = (slice(None),) + tuple(slice(a, b + 1) for a, b in zip(lo, hi))
            own = ids[win] == mid
            if smoothing == "staircase":
                weight[win] = torch.where(own, (fill >= 0.5).to(fill.dtype), weight[win])
            if smoothing != "subcell":
                continue
            normal = self._normals(obj, cs, (rx, ry, rz), lo, hi, weight.shape[0])
            Set_weight_subcell(bx, by, bz, vox, *cs, weight, mat_id, ids, prev, normal,
                               eps_table, ci)
            # Equal-eps neighbours: back to the plain fill fraction; samples
            # wholly inside: exactly the owner.
            flat = (eps_table[ids[win].long()] - eps_table[prev[win].long()]).abs() < 1e-3
            inside = fill >= 1 - 1e-6
            weight[win] = torch.where(own & (flat | inside), fill.clamp(max=1.0), weight[win])

    def _normals(self, obj, cs, window, lo, hi, n_slices):
        if self._normal is None:
            self._normal = torch.zeros(1, *[len(c) for c in cs], 3, device=self.device)
        win = (0,) + tuple(slice(a, b + 1) for a, b in zip(lo, hi))
        self._normal[win] = obj.window_normals(cs, window)
        return self._normal.expand(n_slices, *self._normal.shape[1:])

    def face_planes(self, m: int, z0: float, z1: float):
        """Before a patterned layer z0 < z < z1 (cell units) is painted into
        slice m: per component, the samples whose cells its faces cut, with
        the share of each cell inside the layer and the id the sample holds
        now (the neighbour's). Empty for a layer thinner than two cells."""
        if z1 - z0 < 2:
            return []
        out = []
        for c in COMPONENTS:
            shift = 0.5 if c == "z" else 0.0
            _, ids, _ = self._pad[c]
            for z, inside_above in ((z0, True), (z1, False)):
                K = int(math.floor(z - shift + 0.5)) + 1         # padded index of the cut cell
                zc = K - 1 + shift                               # its sample's position
                if not 0 <= K < ids.shape[3]:
                    continue
                share = (zc + 0.5 - z) if inside_above else (z - (zc - 0.5))
                if 1e-6 < share < 1 - 1e-6:
                    out.append((c, K, share, ids[m, :, :, K].clone()))
        return out

    def repair_faces(self, m: int, faces, layer_ids, eps_table: torch.Tensor, smoothing: str):
        """After painting a patterned layer: a face sample that ended up
        holding two of the layer's media (a shape's edge meets the face)
        forgot its neighbour across the face; it gets back (the layer medium
        that owns it, the neighbour), weighted by the share of its cell
        inside the layer: arithmetic for the components along the face,
        harmonic for z, as the subcell rule has it."""
        layer = torch.zeros(256, dtype=torch.bool, device=self.device)
        layer[torch.as_tensor(sorted(i & 0xFF for i in layer_ids), device=self.device)] = True
        for c, K, share, before in faces:
            w, ids, prev = (t[m, :, :, K] for t in self._pad[c])
            bad = layer[ids.long()] & layer[prev.long()] & ~layer[before.long()]
            if not bool(bad.any()):
                continue
            own = torch.where(w >= 0.5 * share, ids, prev)
            e_own = eps_table[own.long()].double()
            e_nb = eps_table[before.long()].double()
            if smoothing == "staircase":
                new_w = torch.full_like(e_own, float(share >= 0.5))
            elif smoothing == "subcell" and c == "z":
                harm = 1 / (share / e_own + (1 - share) / e_nb)
                flat = (e_own - e_nb).abs() < 1e-3
                new_w = torch.where(flat, torch.full_like(e_own, share),
                                    (harm - e_nb) / torch.where(flat, torch.ones_like(e_own), e_own - e_nb))
            else:
                new_w = torch.full_like(e_own, share)
            ids[bad] = own[bad]
            prev[bad] = before[bad]
            w[bad] = new_w[bad].to(w.dtype)

    def _record_volume(self, fill, lo, m):
        """Σ fill over the grid's own samples (the padding left out)."""
        W = fill.shape[1:]
        keep = []
        for a in range(3):
            idx = torch.arange(lo[a], lo[a] + W[a], device=fill.device)
            keep.append((idx >= 1) & (idx <= self.shape[a]))
        f = fill[:, keep[0]][:, :, keep[1]][:, :, :, keep[2]]
        vol = torch.zeros(self.NM)
        s = f.sum(dim=(1, 2, 3)).double().cpu().float()
        if m is None:
            vol[:] = s
        else:
            vol[m] = s[0]
        self.painted_volume.append(vol)

    def coefficients(self, perm_table: torch.Tensor, cond_table: torch.Tensor):
        """Fill den1 (= keep) and den2 (= loss) of every component from the
        per-id permittivity and conductivity tables."""
        for c in COMPONENTS:
            m = self.comp[c]
            m.den1 = torch.empty(m.weight.shape, device=self.device)
            kernels.Set_ER_average(m.den1, m.weight, m.id_map, m.prev_id_map, perm_table)
            m.den2 = torch.zeros(m.weight.shape, device=self.device)
            kernels.Set_sigma_average(m.den2, m.weight, m.id_map, m.prev_id_map, cond_table)


def smoothing_mode(smoothing) -> str:
    """"subcell", "average" or "staircase" (True / False: subcell / average)."""
    if isinstance(smoothing, bool):
        return "subcell" if smoothing else "average"
    require(smoothing in SMOOTHING, "smoothing",
            f"must be one of {', '.join(SMOOTHING)}, got {smoothing!r}")
    return smoothing
