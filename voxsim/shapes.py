"""Shapes: solids with a medium, and their voxel fill and surface normals on
the Yee grid.

Shapes are small immutable descriptions in a (the package's length unit):
``Box`` (axis-aligned), ``Sphere``, ``Cylinder`` (along x, y, z or any
direction), ``Prism`` (a polygon in x–y extruded along z) and ``VoxelFill``
(fill fractions in [0, 1] from a NumPy array or torch tensor over a box). In
a periodic structure x and y are measured inside the unit cell (0 ≤ x < px)
and a shape that crosses the cell boundary wraps; z is measured along the
stacking axis from the first interface, increasing towards the substrate.
Shapes are painted in the order given: a later one overrides an earlier one
where they overlap.

A patterned layer is a ``Pattern``: a background medium and 2-D shapes
(``Circle``, ``Rectangle`` with ``angle_deg``, ``Polygon``; coordinates in a
inside the unit cell), each extruded over the layer's thickness into a
cylinder, box or prism. A rectangle spanning the cell along y (at angle 0)
makes a 1-D grating: the structure does not vary along y, and the grid then
keeps a single cell across y (likewise for x).

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
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Tuple

import numpy as np
import torch

from .media import Medium
from .units import InputError, finite_number, require

PITCH_EXTRUDED = 8        # voxels per cell along the curved axes of an extrusion
PITCH_SOLID = 4           # voxels per cell when all three axes are curved
SUPERSAMPLE = 4           # points per curved axis in a boundary voxel
CHUNK = 1 << 20           # points per batch of distance evaluations
AXES = "xyz"


def _vec(value, n: int, name: str) -> Tuple[float, ...]:
    try:
        items = list(value)
    except TypeError:
        items = None
    require(items is not None and len(items) == n, name, f"must be {n} numbers, got {value!r}")
    return tuple(finite_number(v, f"{name}[{i}]") for i, v in enumerate(items))


def _positive(value, name: str) -> float:
    v = finite_number(value, name)
    require(v > 0, name, f"must be positive, got {v}")
    return v


def _positive_vec(value, n: int, name: str) -> Tuple[float, ...]:
    return tuple(_positive(v, f"{name}[{i}]") for i, v in enumerate(_vec(value, n, name)))


def _medium(m, name: str = "medium") -> Medium:
    require(isinstance(m, Medium), name, f"must be a Medium, got {type(m).__name__}")
    return m


# ---------------------------------------------------------------------------
# Descriptions (a units)


class Shape:
    """A solid with a medium; see the module docstring for coordinates."""

    medium: Medium

    def _cell_geometry(self, frame: "Frame") -> "_Geometry":
        raise NotImplementedError


@dataclass(frozen=True)
class Box(Shape):
    center: Sequence[float]
    size: Sequence[float]
    medium: Medium

    def __post_init__(self):
        object.__setattr__(self, "center", _vec(self.center, 3, "box.center"))
        object.__setattr__(self, "size", _positive_vec(self.size, 3, "box.size"))
        _medium(self.medium, "box.medium")

    def _cell_geometry(self, frame):
        c = frame.to_cells(self.center)
        half = np.array(self.size) * frame.resolution / 2
        for a in range(2):   # a box spanning the period along x or y is a layer along it
            if frame.period[a] and 2 * half[a] >= frame.period[a] - 1e-9:
                half[a] = np.inf
        return _BoxGeometry(c, half)


@dataclass(frozen=True)
class Sphere(Shape):
    center: Sequence[float]
    radius: float
    medium: Medium

    def __post_init__(self):
        object.__setattr__(self, "center", _vec(self.center, 3, "sphere.center"))
        object.__setattr__(self, "radius", _positive(self.radius, "sphere.radius"))
        _medium(self.medium, "sphere.medium")

    def _cell_geometry(self, frame):
        return _SphereGeometry(frame.to_cells(self.center), self.radius * frame.resolution)


@dataclass(frozen=True)
class Cylinder(Shape):
    """Circular cylinder of ``radius`` and ``height`` centred on ``center``;
    ``axis`` is "x", "y", "z" or a direction vector."""

    center: Sequence[float]
    radius: float
    height: float
    medium: Medium
    axis: object = "z"

    def __post_init__(self):
        object.__setattr__(self, "center", _vec(self.center, 3, "cylinder.center"))
        object.__setattr__(self, "radius", _positive(self.radius, "cylinder.radius"))
        object.__setattr__(self, "height", _positive(self.height, "cylinder.height"))
        _medium(self.medium, "cylinder.medium")
        if isinstance(self.axis, str):
            require(self.axis in AXES, "cylinder.axis", f"must be x, y, z or a vector, got {self.axis!r}")
            d = np.eye(3)[AXES.index(self.axis)]
        else:
            d = np.array(_vec(self.axis, 3, "cylinder.axis"))
            require(np.linalg.norm(d) > 0, "cylinder.axis", "must not be the zero vector")
        object.__setattr__(self, "axis", tuple(float(v) for v in d / np.linalg.norm(d)))

    def _cell_geometry(self, frame):
        return _CylinderGeometry(frame.to_cells(self.center), np.array(self.axis),
                                 self.radius * frame.resolution, self.height * frame.resolution / 2)


@dataclass(frozen=True)
class Prism(Shape):
    """A simple polygon in the x–y plane (``vertices`` [[x, y], ...], either
    orientation), extruded from ``zmin`` to ``zmax``."""

    vertices: Sequence[Sequence[float]]
    zmin: float
    zmax: float
    medium: Medium

    def __post_init__(self):
        try:
            v = [_vec(p, 2, f"prism.vertices[{i}]") for i, p in enumerate(self.vertices)]
        except TypeError:
            v = None
        require(v is not None and len(v) >= 3, "prism.vertices", "needs at least 3 [x, y] vertices")
        v = np.array(v)
        area = 0.5 * np.sum(v[:, 0] * np.roll(v[:, 1], -1) - np.roll(v[:, 0], -1) * v[:, 1])
        require(abs(area) > 1e-12, "prism.vertices", "the polygon has no area")
        object.__setattr__(self, "vertices", tuple(map(tuple, v)))
        zmin = finite_number(self.zmin, "prism.zmin")
        zmax = finite_number(self.zmax, "prism.zmax")
        require(zmax > zmin, "prism.zmax", f"must exceed zmin = {zmin}, got {zmax}")
        object.__setattr__(self, "zmin", zmin)
        object.__setattr__(self, "zmax", zmax)
        _medium(self.medium, "prism.medium")

    def _cell_geometry(self, frame):
        v = np.array(self.vertices, dtype=np.float64)
        xy = frame.to_cells(np.c_[v, np.zeros(len(v))])[:, :2]
        z0, z1 = frame.to_cells([0, 0, self.zmin])[2], frame.to_cells([0, 0, self.zmax])[2]
        return _PrismGeometry(xy, z0, z1)


@dataclass(frozen=True)
class VoxelFill(Shape):
    """User fill fractions ``fill`` [Vx, Vy, Vz] (NumPy or torch, values in
    [0, 1]) over the box from ``origin`` to ``origin + size``."""

    fill: object
    origin: Sequence[float]
    size: Sequence[float]
    medium: Medium

    def __post_init__(self):
        # a fill tensor that requires grad is a design parameter (``adjoint``);
        # the painting reads a copy of its values
        grad = self.fill if isinstance(self.fill, torch.Tensor) and self.fill.requires_grad else None
        object.__setattr__(self, "grad_fill", grad)
        f = torch.as_tensor(self.fill).detach().to("cpu", torch.float32).clone()
        require(f.dim() == 3 and min(f.shape) > 0, "voxels.fill",
                f"must be a 3-D array [Vx, Vy, Vz], got shape {tuple(f.shape)}")
        require(bool(torch.isfinite(f).all()) and float(f.min()) >= 0 and float(f.max()) <= 1,
                "voxels.fill", "values must be finite fill fractions in [0, 1]")
        object.__setattr__(self, "fill", f.contiguous())
        object.__setattr__(self, "origin", _vec(self.origin, 3, "voxels.origin"))
        object.__setattr__(self, "size", _positive_vec(self.size, 3, "voxels.size"))
        _medium(self.medium, "voxels.medium")

    # VoxelFill is rendered directly, not through a distance function.
    def _cell_geometry(self, frame):
        raise TypeError("VoxelFill has no distance function")


# ---------------------------------------------------------------------------
# Patterns of a layer (2-D shapes, a units, inside the unit cell)


class Shape2D:
    medium: Medium

    def solid(self, zmin: float, zmax: float) -> Shape:
        """The shape extruded from zmin to zmax."""
        raise NotImplementedError

    def spans(self, axis: int, period: float) -> bool:
        """True when the shape covers every x (axis 0) or y (axis 1) of the
        cell for its whole extent along the other axis."""
        return False


@dataclass(frozen=True)
class Circle(Shape2D):
    center: Sequence[float]
    radius: float
    medium: Medium

    def __post_init__(self):
        object.__setattr__(self, "center", _vec(self.center, 2, "circle.center"))
        object.__setattr__(self, "radius", _positive(self.radius, "circle.radius"))
        _medium(self.medium, "circle.medium")

    def solid(self, zmin, zmax):
        return Cylinder((*self.center, 0.5 * (zmin + zmax)), self.radius, zmax - zmin,
                        self.medium, "z")


@dataclass(frozen=True)
class Rectangle(Shape2D):
    """Rectangle of ``size`` (w, h) centred on ``center``, turned by
    ``angle_deg`` counter-clockwise."""

    center: Sequence[float]
    size: Sequence[float]
    medium: Medium
    angle_deg: float = 0.0

    def __post_init__(self):
        object.__setattr__(self, "center", _vec(self.center, 2, "rectangle.center"))
        object.__setattr__(self, "size", _positive_vec(self.size, 2, "rectangle.size"))
        object.__setattr__(self, "angle_deg", finite_number(self.angle_deg, "rectangle.angle_deg"))
        _medium(self.medium, "rectangle.medium")

    def _aligned_size(self):
        """(w, h) along x and y when the sides are along the axes, else None."""
        q = self.angle_deg / 90.0
        if abs(q - round(q)) > 1e-12:
            return None
        w, h = self.size
        return (h, w) if round(q) % 2 else (w, h)

    def solid(self, zmin, zmax):
        aligned = self._aligned_size()
        if aligned is not None:
            return Box((*self.center, 0.5 * (zmin + zmax)), (*aligned, zmax - zmin), self.medium)
        a = math.radians(self.angle_deg)
        c, s_ = math.cos(a), math.sin(a)
        w, h = self.size[0] / 2, self.size[1] / 2
        corners = [(self.center[0] + u * c - v * s_, self.center[1] + u * s_ + v * c)
                   for u, v in ((-w, -h), (w, -h), (w, h), (-w, h))]
        return Prism(corners, zmin, zmax, self.medium)

    def spans(self, axis, period):
        aligned = self._aligned_size()
        return aligned is not None and aligned[axis] >= period - 1e-12


@dataclass(frozen=True)
class Polygon(Shape2D):
    vertices: Sequence[Sequence[float]]
    medium: Medium

    def __post_init__(self):
        try:
            p = Prism(self.vertices, 0.0, 1.0, self.medium)      # validates
        except InputError as e:
            raise e.under("polygon", "prism") from None
        object.__setattr__(self, "vertices", p.vertices)

    def solid(self, zmin, zmax):
        return Prism(self.vertices, zmin, zmax, self.medium)


@dataclass(frozen=True)
class Pattern:
    """A layer's cross-section: ``background`` and ``shapes`` painted over
    it in order."""

    background: Medium
    shapes: Sequence[Shape2D] = ()

    def __post_init__(self):
        _medium(self.background, "pattern.background")
        object.__setattr__(self, "shapes", tuple(self.shapes))
        for i, sh in enumerate(self.shapes):
            require(isinstance(sh, Shape2D), f"pattern.shapes[{i}]",
                    f"must be a Circle, Rectangle or Polygon, got {type(sh).__name__}")

    def media(self) -> List[Medium]:
        return [self.background] + [sh.medium for sh in self.shapes]

    def spans(self, axis: int, period: float) -> bool:
        return all(sh.spans(axis, period) for sh in self.shapes)


def solid_spans(shape: Shape, axis: int, period: float) -> bool:
    """True when a 3-D shape covers every x (axis 0) or y (axis 1) of the
    cell over its extent: the structure does not vary along that axis."""
    return isinstance(shape, Box) and shape.size[axis] >= period - 1e-12


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
    geom = shape._cell_geometry(frame)
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
        for cluster in _image_clusters(sh._cell_geometry(frame), frame):
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
