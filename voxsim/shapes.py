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

Their rendering on the grid (voxel fill maps and surface normals) is
``rasterise``'s.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Sequence, Tuple

import numpy as np
import torch

from .media import Medium
from .units import InputError, finite_number, require

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



@dataclass(frozen=True)
class Box(Shape):
    center: Sequence[float]
    size: Sequence[float]
    medium: Medium

    def __post_init__(self):
        object.__setattr__(self, "center", _vec(self.center, 3, "box.center"))
        object.__setattr__(self, "size", _positive_vec(self.size, 3, "box.size"))
        _medium(self.medium, "box.medium")



@dataclass(frozen=True)
class Sphere(Shape):
    center: Sequence[float]
    radius: float
    medium: Medium

    def __post_init__(self):
        object.__setattr__(self, "center", _vec(self.center, 3, "sphere.center"))
        object.__setattr__(self, "radius", _positive(self.radius, "sphere.radius"))
        _medium(self.medium, "sphere.medium")



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
