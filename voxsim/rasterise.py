"""Rasterising shapes on the Yee grid: fill maps and surface normals of the
shapes of ``shapes``.

``Frame`` places a-units on the grid: cell coordinate u = origin + x·resolution
(cells of size 1, the kernels' convention), with periods in cells along the
periodic axes. ``pieces(shape, frame)`` renders a shape into what the material
pipeline paints: one ``Piece`` per group of periodic images that come within
a cell of each other (usually one), each a voxel box, a fill map on it and the
surface normals at given sample points.

Fill maps. The voxel box of a piece is cut into voxels whose edges lie on the
half-cell grid, so every voxel lies in exactly one sample cell of every field
component and the modules' cell averages of the fill are exact sums:
- along an axis on which the shape is an extrusion between two planes (z of a
  prism or of a layer pattern, the axis of a cylinder along x, y or z, every
  axis of a box) the piece has a single voxel whose faces are the shape's
  faces, so ⟨ε⟩ and ⟨1/ε⟩ over a cell cut by such a face are exact;
- along the other axes the pitch is 1/8 cell (1/4 when all three axes are
  curved); a voxel is classified from the signed distance at its centre, and
  voxels within half a diagonal of the surface are supersampled (4 points per
  curved axis), each point contributing the planar ramp
  clip(½ − d/w, 0, 1) with w its width across the local normal, which is
  exact for planes along the axes and second order for curved surfaces.
A voxel cut by a curved surface holds a fractional fill, and the subcell
average treats it as a mixed medium: ⟨1/ε⟩ over such a cell carries an error
of the order of the voxel pitch, which is why the pitch is a fraction of a
cell.

Normals are the gradient of the signed distance (analytic for the primitives,
including the nearest image across the cell boundary); for ``VoxelFill`` they
are the gradient of the fill smoothed over about a cell. Where a normal is
undefined (the gradient vanishes) +z is returned: such a sample lies wholly
inside or outside and its weight does not depend on the normal.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

import numpy as np
import torch

from .shapes import AXES, Box, Cylinder, Prism, Shape, Sphere, VoxelFill
from .units import require

PITCH_EXTRUDED = 8        # voxels per cell along the curved axes of an extrusion
PITCH_SOLID = 4           # voxels per cell when all three axes are curved
SUPERSAMPLE = 4           # points per curved axis in a boundary voxel
CHUNK = 1 << 20           # points per batch of distance evaluations


# ---------------------------------------------------------------------------
# Placement on the grid


@dataclass(frozen=True)
class Frame:
    """Cell coordinate u = origin + resolution·x per axis; ``shape`` the
    material grid's sample counts (Nx, Ny, Nz); ``period`` the period in
    cells along x and y (0: not periodic)."""

    resolution: float
    origin: Tuple[float, float, float]
    shape: Tuple[int, int, int]
    period: Tuple[int, int] = (0, 0)
    device: object = "cpu"

    def to_cells(self, p):
        return np.asarray(self.origin, dtype=np.float64) + np.asarray(p, dtype=np.float64) * self.resolution

    def extent(self, a: int) -> Tuple[float, float]:
        """The range of axis a that every sample cell lies in."""
        return -1.0, float(self.shape[a]) + 1.0


# ---------------------------------------------------------------------------
# Geometries in cell units: signed distance (negative inside) and normal


def _combine(q: torch.Tensor) -> torch.Tensor:
    """Signed distance of an intersection of slabs/cylinders from the per-part
    distances q [..., k]: ‖max(q, 0)‖ + min(max q, 0)."""
    return q.clamp(min=0).norm(dim=-1) + q.max(dim=-1).values.clamp(max=0)


class _Geometry:
    lo: np.ndarray
    hi: np.ndarray
    extruded: Tuple[bool, bool, bool] = (False, False, False)

    def sdf(self, p: torch.Tensor, active) -> torch.Tensor:
        """Signed distance; axes with active[a] False are treated as if the
        shape extended without end along them (used for extruded axes)."""
        raise NotImplementedError

    def normal(self, p: torch.Tensor) -> torch.Tensor:
        p = p.detach().clone().requires_grad_(True)
        with torch.enable_grad():
            d = self.sdf(p, (True, True, True))
            (g,) = torch.autograd.grad(d.sum(), p)
        return g

    def shifted(self, s: np.ndarray) -> "_Geometry":
        raise NotImplementedError


class _BoxGeometry(_Geometry):
    def __init__(self, c, half):
        self.c = np.asarray(c, dtype=np.float64)
        self.half = np.asarray(half, dtype=np.float64)
        self.lo, self.hi = self.c - self.half, self.c + self.half
        self.extruded = (True, True, True)

    def sdf(self, p, active):
        c = torch.as_tensor(self.c, dtype=p.dtype, device=p.device)
        h = torch.as_tensor(np.where(np.isfinite(self.half), self.half, 0), dtype=p.dtype,
                            device=p.device)
        q = (p - c).abs() - h
        keep = [a for a in range(3) if active[a] and np.isfinite(self.half[a])]
        if not keep:
            return torch.full(p.shape[:-1], -1e30, dtype=p.dtype, device=p.device)
        return _combine(q[..., keep])

    def shifted(self, s):
        return _BoxGeometry(self.c + s, self.half)


class _SphereGeometry(_Geometry):
    def __init__(self, c, r):
        self.c, self.r = np.asarray(c, dtype=np.float64), float(r)
        self.lo, self.hi = self.c - r, self.c + r

    def sdf(self, p, active):
        c = torch.as_tensor(self.c, dtype=p.dtype, device=p.device)
        return (p - c).norm(dim=-1) - self.r

    def shifted(self, s):
        return _SphereGeometry(self.c + s, self.r)


class _CylinderGeometry(_Geometry):
    def __init__(self, c, d, r, half_length):
        self.c, self.d, self.r, self.L = np.asarray(c, float), np.asarray(d, float), float(r), float(half_length)
        # bounding box of the two end discs
        ext = self.L * np.abs(self.d) + self.r * np.sqrt(np.clip(1 - self.d**2, 0, 1))
        self.lo, self.hi = self.c - ext, self.c + ext
        self.extruded = tuple(bool(abs(abs(v) - 1) < 1e-12) for v in self.d)

    def sdf(self, p, active):
        c = torch.as_tensor(self.c, dtype=p.dtype, device=p.device)
        d = torch.as_tensor(self.d, dtype=p.dtype, device=p.device)
        v = p - c
        t = (v * d).sum(-1)
        radial = (v - t[..., None] * d).norm(dim=-1) - self.r
        along = [a for a in range(3) if self.extruded[a]]
        if along and not active[along[0]]:
            return radial
        return _combine(torch.stack([radial, t.abs() - self.L], dim=-1))

    def shifted(self, s):
        return _CylinderGeometry(self.c + s, self.d, self.r, self.L)


class _PrismGeometry(_Geometry):
    def __init__(self, xy, z0, z1):
        self.xy = np.asarray(xy, dtype=np.float64)
        self.z0, self.z1 = float(z0), float(z1)
        self.lo = np.r_[self.xy.min(0), self.z0]
        self.hi = np.r_[self.xy.max(0), self.z1]
        self.extruded = (False, False, True)

    def sdf(self, p, active):
        a = torch.as_tensor(self.xy, dtype=p.dtype, device=p.device)        # [E, 2]
        b = torch.roll(a, -1, dims=0)
        q = p[..., None, :2]                                                 # [..., 1, 2]
        e = b - a
        t = (((q - a) * e).sum(-1) / (e * e).sum(-1)).clamp(0, 1)
        dist = (q - a - t[..., None] * e).norm(dim=-1).min(dim=-1).values
        # even-odd crossing test for the sign
        ya, yb = a[:, 1], b[:, 1]
        y = q[..., 1]
        cross = (ya > y) != (yb > y)
        xint = a[:, 0] + (y - ya) / torch.where(yb == ya, torch.ones_like(yb), yb - ya) * e[:, 0]
        inside = ((cross & (q[..., 0] < xint)).sum(-1) % 2) == 1
        d2 = torch.where(inside, -dist, dist)
        if not active[2]:
            return d2
        zc, hz = 0.5 * (self.z0 + self.z1), 0.5 * (self.z1 - self.z0)
        return _combine(torch.stack([d2, (p[..., 2] - zc).abs() - hz], dim=-1))

    def shifted(self, s):
        return _PrismGeometry(self.xy + s[:2], self.z0 + s[2], self.z1 + s[2])


class _Union(_Geometry):
    """Periodic images of one geometry that lie close together."""

    def __init__(self, parts: List[_Geometry]):
        self.parts = parts
        self.lo = np.min([g.lo for g in parts], axis=0)
        self.hi = np.max([g.hi for g in parts], axis=0)
        same = [all(np.isclose(g.lo[a], parts[0].lo[a]) and np.isclose(g.hi[a], parts[0].hi[a])
                    for g in parts) for a in range(3)]
        self.extruded = tuple(parts[0].extruded[a] and same[a] for a in range(3))

    def sdf(self, p, active):
        return torch.stack([g.sdf(p, active) for g in self.parts], dim=-1).min(dim=-1).values


# ---------------------------------------------------------------------------
# Pieces: what the material pipeline paints


@dataclass
class Piece:
    """One voxel box of a shape: ``box`` [(lo, hi)] × 3 in cell units,
    ``fill`` [Vx, Vy, Vz] float32 on the frame's device, and the normals."""

    box: List[Tuple[float, float]]
    fill: torch.Tensor
    geometry: Optional[_Geometry] = None
    smooth: Optional[torch.Tensor] = None        # VoxelFill: smoothed fill for normals
    smooth_box: Optional[List[Tuple[float, float]]] = None
    m: Optional[int] = None                      # structure slice (None: every slice)

    def box_tensors(self):
        dev = self.fill.device
        return [torch.tensor(b, dtype=torch.float32, device=dev) for b in self.box]

    def voxels(self, NM: int = 1):
        """(box_x, box_y, box_z, vox [NM, Vx, Vy, Vz]) for the modules."""
        vox = self.fill.unsqueeze(0)
        if NM != 1:
            vox = vox.expand(NM, *self.fill.shape).contiguous()
        return (*self.box_tensors(), vox)

    def normals(self, points: torch.Tensor) -> torch.Tensor:
        """Unit normals [..., 3] at sample points [..., 3] (cell units)."""
        if self.geometry is not None:
            g = _chunked(lambda q: self.geometry.normal(q), points.reshape(-1, 3), 3)
        else:
            g = _grid_gradient(self.smooth, self.smooth_box, points.reshape(-1, 3))
        n = g.norm(dim=-1, keepdim=True)
        z = torch.tensor([0.0, 0.0, 1.0], dtype=g.dtype, device=g.device)
        out = torch.where(n > 1e-6, g / n.clamp(min=1e-30), z)
        return out.reshape(*points.shape[:-1], 3).to(torch.float32)

    def window_normals(self, coords, window) -> torch.Tensor:
        """Normals [Wx, Wy, Wz, 3] at the sample points of an index window
        (``coords`` the three coordinate tensors, ``window`` the three
        [first, last] ranges the modules return)."""
        c = [coords[a][int(window[a][0]):int(window[a][1]) + 1].to(torch.float64) for a in range(3)]
        P = torch.stack(torch.meshgrid(*c, indexing="ij"), dim=-1)
        return self.normals(P)


def _chunked(fn, pts: torch.Tensor, width: Optional[int] = None):
    outs = [fn(pts[i:i + CHUNK]) for i in range(0, max(len(pts), 1), CHUNK)]
    return torch.cat(outs) if outs else pts.new_zeros((0,) if width is None else (0, width))


def pieces(shape: Shape, frame: Frame) -> List[Piece]:
    """Render `shape` on `frame`: one piece per cluster of periodic images."""
    if isinstance(shape, VoxelFill):
        return _voxel_pieces(shape, frame)
    geom = cell_geometry(shape, frame)
    out = []
    for cluster in _image_clusters(geom, frame):
        g = cluster[0] if len(cluster) == 1 else _Union(cluster)
        out.append(_render(g, frame))
    return [p for p in out if p is not None]


def background_piece(solids: Sequence[Shape], zmin: float, zmax: float,
                     frame: Frame) -> Optional[Piece]:
    """The part of the layer zmin < z < zmax (a) that none of `solids` (the
    layer's shapes extruded over it) covers: what a pattern's background
    fills. Painting it instead of the whole layer leaves a sample that
    straddles the layer's face inside a shape with the shape and the
    neighbouring layer, the two media it really holds."""
    z0, z1 = frame.to_cells([0, 0, zmin])[2], frame.to_cells([0, 0, zmax])[2]
    layer = _BoxGeometry([0.0, 0.0, 0.5 * (z0 + z1)], [np.inf, np.inf, 0.5 * (z1 - z0)])
    holes = []
    for sh in solids:
        for cluster in _image_clusters(cell_geometry(sh, frame), frame):
            holes += cluster
    return _render(_Complement(layer, holes), frame) if holes else _render(layer, frame)


class _Complement(_Geometry):
    """`outer` less the union of `holes` (all extruded along z like it)."""

    def __init__(self, outer: _Geometry, holes: List[_Geometry]):
        self.outer, self.holes = outer, holes
        self.lo, self.hi = outer.lo, outer.hi
        self.extruded = (False, False, outer.extruded[2] and all(h.extruded[2] for h in holes))

    def sdf(self, p, active):
        inner = torch.stack([h.sdf(p, active) for h in self.holes], dim=-1).min(dim=-1).values
        return torch.maximum(self.outer.sdf(p, active), -inner)


def _image_clusters(geom: _Geometry, frame: Frame) -> List[List[_Geometry]]:
    shifts = [[0.0], [0.0]]
    for a in range(2):
        P = frame.period[a]
        if P and np.isfinite(geom.lo[a]):
            lo_ext, hi_ext = frame.extent(a)
            k0 = int(math.floor((lo_ext - geom.hi[a]) / P))
            k1 = int(math.ceil((hi_ext - geom.lo[a]) / P))
            shifts[a] = [k * P for k in range(k0, k1 + 1)
                         if geom.hi[a] + k * P > lo_ext and geom.lo[a] + k * P < hi_ext]
    images = [geom.shifted(np.array([sx, sy, 0.0])) if (sx or sy) else geom
              for sx in shifts[0] for sy in shifts[1]]
    # group images whose boxes come within 1.5 cells of each other
    n = len(images)
    parent = list(range(n))

    def find(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for i in range(n):
        for j in range(i + 1, n):
            gi, gj = images[i], images[j]
            if all(gi.lo[a] - 1.5 < gj.hi[a] and gj.lo[a] - 1.5 < gi.hi[a] for a in range(3)):
                parent[find(i)] = find(j)
    groups = {}
    for i in range(n):
        groups.setdefault(find(i), []).append(images[i])
    return list(groups.values())


def _render(g: _Geometry, frame: Frame) -> Optional[Piece]:
    curved = [not g.extruded[a] for a in range(3)]
    pitch = PITCH_SOLID if all(curved) else PITCH_EXTRUDED
    box, n = [], []
    for a in range(3):
        lo_ext, hi_ext = frame.extent(a)
        lo, hi = max(g.lo[a], lo_ext), min(g.hi[a], hi_ext)
        if not hi > lo:
            return None
        if curved[a]:   # snap outward to the half-cell grid
            lo, hi = math.floor(2 * lo) / 2, math.ceil(2 * hi) / 2
            n.append(int(round((hi - lo) * pitch)))
        else:
            n.append(1)
        box.append((float(lo), float(hi)))
    dev = torch.device(frame.device)
    active = tuple(curved)
    centers = [torch.linspace(b[0], b[1], k + 1, dtype=torch.float64, device=dev) for b, k in zip(box, n)]
    centers = [0.5 * (c[1:] + c[:-1]) for c in centers]
    P = torch.stack(torch.meshgrid(*centers, indexing="ij"), dim=-1).reshape(-1, 3)
    d = _chunked(lambda q: g.sdf(q, active), P)
    h = torch.tensor([(b[1] - b[0]) / k if c else 0.0 for b, k, c in zip(box, n, curved)],
                     dtype=torch.float64, device=dev)
    half_diag = 0.5 * float(h.norm())
    fill = (d < 0).to(torch.float64)
    edge = torch.nonzero(d.abs() < half_diag + 1e-9).squeeze(1)
    if len(edge):
        fill[edge] = _supersample(g, P[edge], h, active)
    fill = fill.reshape(*n).to(torch.float32)
    if not bool((fill > 0).any()):
        return None
    return Piece(box, fill.contiguous(), geometry=g)


def _supersample(g: _Geometry, centers, h, active):
    S = SUPERSAMPLE
    offs = [((torch.arange(S, dtype=torch.float64, device=centers.device) + 0.5) / S - 0.5) * h[a]
            if active[a] else torch.zeros(1, dtype=torch.float64, device=centers.device)
            for a in range(3)]
    O = torch.stack(torch.meshgrid(*offs, indexing="ij"), dim=-1).reshape(-1, 3)     # [K, 3]
    delta = h / S

    def one(c):
        q = (c[:, None, :] + O[None]).reshape(-1, 3)
        d = g.sdf(q, active).reshape(len(c), -1)
        nrm = g.normal(c)                        # the voxel's normal serves its points
        nrm = nrm / nrm.norm(dim=-1, keepdim=True).clamp(min=1e-12)
        w = (nrm.abs() * delta).sum(-1).clamp(min=1e-12)      # ramp width across the surface
        return (0.5 - d / w[:, None]).clamp(0, 1).mean(dim=1)

    step = max(1, CHUNK // len(O))
    return torch.cat([one(centers[i:i + step]) for i in range(0, len(centers), step)])


# ---------------------------------------------------------------------------
# User voxel arrays


def _voxel_pieces(shape: VoxelFill, frame: Frame) -> List[Piece]:
    dev = torch.device(frame.device)
    fill = shape.fill.to(dev)
    lo = frame.to_cells(shape.origin)
    hi = frame.to_cells(np.add(shape.origin, shape.size))
    V = np.array(fill.shape)
    pitch = (hi - lo) / V
    # periodic wrap: tile the array over the grid's range when it crosses the
    # cell boundary (the period must then be a whole number of voxels)
    for a in range(2):
        P = frame.period[a]
        lo_ext, hi_ext = frame.extent(a)
        if not P or (hi[a] - P <= lo_ext and lo[a] + P >= hi_ext):
            continue   # no image reaches the grid
        k = P / pitch[a]
        require(abs(k - round(k)) < 1e-6 and hi[a] - lo[a] <= P + 1e-9, "voxels.size",
                f"a voxel array that crosses the cell boundary along {AXES[a]} must span at most "
                f"one period with a whole number of voxels per period ({k:.4g} here)")
        k = int(round(k))
        pad = torch.zeros(*[k if b == a else fill.shape[b] for b in range(3)], device=dev)
        sl = [slice(None)] * 3
        sl[a] = slice(0, fill.shape[a])
        pad[tuple(sl)] = fill
        first = int(math.floor((lo_ext - lo[a]) / P))
        last = int(math.ceil((hi_ext - lo[a]) / P))
        fill = torch.cat([pad] * (last - first), dim=a)
        lo[a] = lo[a] + first * P
        hi[a] = lo[a] + (last - first) * P
    box = [(float(lo[a]), float(hi[a])) for a in range(3)]
    smooth, sbox = _smoothed(fill, box)
    return [Piece(box, fill.contiguous(), smooth=smooth, smooth_box=sbox)]


def _smoothed(fill: torch.Tensor, box):
    """The fill blurred by a box filter about one cell wide (at least one
    voxel), padded by its width with zeros, and the padded box."""
    f = fill[None, None].to(torch.float64)
    pads, sbox = [], []
    for a in range(3):
        pitch = (box[a][1] - box[a][0]) / fill.shape[a]
        w = max(1, int(round(1.0 / pitch)))
        pads.append(w)
        sbox.append((box[a][0] - w * pitch, box[a][1] + w * pitch))
    f = torch.nn.functional.pad(f, (pads[2], pads[2], pads[1], pads[1], pads[0], pads[0]))
    for a, w in enumerate(pads):
        k = 2 * (w // 2) + 1
        shape = [1, 1, 1, 1, 1]
        shape[2 + a] = k
        kern = torch.ones(shape, dtype=f.dtype, device=f.device) / k
        padding = [0, 0, 0]
        padding[a] = k // 2
        f = torch.nn.functional.conv3d(f, kern, padding=padding)
    return f[0, 0], sbox


def _grid_gradient(f: torch.Tensor, box, pts: torch.Tensor) -> torch.Tensor:
    """−∇f (pointing out of the filled region) at points, by central
    differences on the voxel lattice and trilinear interpolation."""
    spacing = [(box[a][1] - box[a][0]) / f.shape[a] for a in range(3)]
    grads = torch.gradient(f, spacing=spacing)
    G = -torch.stack(grads, dim=0)[None]                                      # [1, 3, Vx, Vy, Vz]
    # grid_sample wants (x, y, z) ↔ (W, H, D), normalised to [-1, 1] on voxel centres
    norm = []
    for a in range(3):
        c0 = box[a][0] + 0.5 * spacing[a]
        c1 = box[a][1] - 0.5 * spacing[a]
        norm.append(2 * (pts[:, a] - c0) / max(c1 - c0, 1e-12) - 1)
    grid = torch.stack([norm[2], norm[1], norm[0]], dim=-1).to(G.dtype)[None, None, None]
    out = torch.nn.functional.grid_sample(G, grid, mode="bilinear", padding_mode="border",
                                          align_corners=True)
    return out[0, :, 0, 0, :].T


def cell_geometry(shape: Shape, frame: Frame) -> _Geometry:
    """The signed-distance description of a shape in cell coordinates."""
    if isinstance(shape, Box):
        c = frame.to_cells(shape.center)
        half = np.array(shape.size) * frame.resolution / 2
        for a in range(2):   # a box spanning the period along x or y is a layer along it
            if frame.period[a] and 2 * half[a] >= frame.period[a] - 1e-9:
                half[a] = np.inf
        return _BoxGeometry(c, half)
    if isinstance(shape, Sphere):
        return _SphereGeometry(frame.to_cells(shape.center), shape.radius * frame.resolution)
    if isinstance(shape, Cylinder):
        return _CylinderGeometry(frame.to_cells(shape.center), np.array(shape.axis),
                                 shape.radius * frame.resolution,
                                 shape.height * frame.resolution / 2)
    if isinstance(shape, Prism):
        v = np.array(shape.vertices, dtype=np.float64)
        xy = frame.to_cells(np.c_[v, np.zeros(len(v))])[:, :2]
        z0, z1 = frame.to_cells([0, 0, shape.zmin])[2], frame.to_cells([0, 0, shape.zmax])[2]
        return _PrismGeometry(xy, z0, z1)
    # a VoxelFill is rendered directly, not through a distance function
    raise TypeError(f"{type(shape).__name__} has no distance function")
