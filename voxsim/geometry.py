"""Geometry: layered stacks along z (the structures of a stack run).

A ``Stack`` is an incident medium (above, z < first interface), layers in
the order the light meets them, and a substrate (below); both half-spaces
extend into the CPML. Thicknesses are in a. A layer holds a ``Medium`` or a
``Pattern`` (``shapes``); a stack with patterned layers or 3-D ``shapes``
needs a ``period`` (px, py) in a, repeats its unit cell in x and y, and
paints, per structure slice: the substrate, each layer (a pattern's
background where no shape is, then its shapes extruded over the layer),
then the 3-D shapes, in that order. A sample on a patterned layer's face
where a shape's edge meets the face would hold three media; it keeps the
layer medium that owns most of it and the neighbour across the face
(``repair_faces``). Shapes use the stack's frame: x, y in the unit cell, z from
the first interface towards the substrate.

The painting of these onto the Yee grid is ``materials``' (the material
grid and the preparation functions) and ``painting``' (the plan).
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple, Union

import numpy as np

from .media import Medium
from .shapes import Pattern, Shape, solid_spans
from .units import finite_number, require

@dataclass(frozen=True)
class Layer:
    """A layer of ``thickness`` (a) holding a ``Medium``, or a ``Pattern``
    (a background and shapes)."""

    thickness: float
    medium: Union[Medium, Pattern]

    def validate(self, field: str) -> None:
        t = finite_number(self.thickness, f"{field}.thickness")
        require(t > 0, f"{field}.thickness", f"must be positive, got {t}")
        require(isinstance(self.medium, (Medium, Pattern)), f"{field}.medium",
                "must be a Medium or a Pattern")

    @property
    def patterned(self) -> bool:
        return isinstance(self.medium, Pattern)

    def media(self) -> List[Medium]:
        return self.medium.media() if self.patterned else [self.medium]


@dataclass(frozen=True)
class Stack:
    """Uniform layers between an incident half-space and a substrate
    (``None``: the incident medium). Both half-spaces must be lossless."""

    layers: Sequence[Layer] = ()
    incident: Medium = Medium()
    substrate: Optional[Medium] = None
    period: Optional[Tuple[float, float]] = None
    shapes: Sequence[Shape] = ()

    def __post_init__(self):
        object.__setattr__(self, "layers", tuple(self.layers))
        object.__setattr__(self, "shapes", tuple(self.shapes))
        for i, sh in enumerate(self.shapes):
            require(isinstance(sh, Shape), f"shapes[{i}]",
                    f"must be a Box, Sphere, Cylinder, Prism or VoxelFill, got {type(sh).__name__}")
        if self.period is not None:
            try:
                items = [finite_number(v, f"period[{i}]") for i, v in enumerate(self.period)]
            except TypeError:
                items = []
            require(len(items) == 2, "period", f"must be [px, py], got {self.period!r}")
            for i, v in enumerate(items):
                require(v > 0, f"period[{i}]", f"must be positive, got {v}")
            object.__setattr__(self, "period", tuple(items))
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
        require(self.period is not None or not self.patterned, "period",
                "required (the unit cell [px, py]) for patterned layers and shapes")

    @property
    def thickness(self) -> float:
        return float(sum(l.thickness for l in self.layers))

    @property
    def patterned(self) -> bool:
        return bool(self.shapes) or any(l.patterned for l in self.layers)

    def media(self) -> List[Medium]:
        out = [self.incident, self.substrate]
        for l in self.layers:
            out += l.media()
        return out + [sh.medium for sh in self.shapes]

    def extent(self) -> Tuple[float, float]:
        """(top, bottom) z in a of everything painted: the layers, and 3-D
        shapes reaching into the half-spaces."""
        top, bottom = 0.0, self.thickness
        for sh in self.shapes:
            lo, hi = shape_z_range(sh)
            top, bottom = min(top, lo), max(bottom, hi)
        return top, bottom

    def invariant(self, axis: int) -> bool:
        """True when nothing varies along x (axis 0) or y (axis 1)."""
        if not self.patterned:
            return True
        p = self.period[axis]
        return all(l.medium.spans(axis, p) for l in self.layers if l.patterned) and \
            all(solid_spans(sh, axis, p) for sh in self.shapes)

    def with_layer(self, index: int, **changes) -> "Stack":
        """A copy with layer ``index`` changed (``thickness=``, ``medium=``)."""
        layers = list(self.layers)
        old = layers[index]
        layers[index] = Layer(changes.get("thickness", old.thickness),
                              changes.get("medium", old.medium))
        return Stack(layers, self.incident, self.substrate, self.period, self.shapes)


def shape_z_range(shape: Shape) -> Tuple[float, float]:
    """z extent (a) of a 3-D shape."""
    from .shapes import Box, Cylinder, Prism, Sphere, VoxelFill
    if isinstance(shape, Box):
        return shape.center[2] - shape.size[2] / 2, shape.center[2] + shape.size[2] / 2
    if isinstance(shape, Sphere):
        return shape.center[2] - shape.radius, shape.center[2] + shape.radius
    if isinstance(shape, Cylinder):
        d = np.array(shape.axis)
        ext = shape.height / 2 * abs(d[2]) + shape.radius * math.sqrt(max(0.0, 1 - d[2] ** 2))
        return shape.center[2] - ext, shape.center[2] + ext
    if isinstance(shape, Prism):
        return shape.zmin, shape.zmax
    if isinstance(shape, VoxelFill):
        return shape.origin[2], shape.origin[2] + shape.size[2]
    raise TypeError(type(shape).__name__)
