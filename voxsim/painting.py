"""Painting a batch of stacks: the plan of items (background slabs, layers,
patterns, 3-D shapes, voxel fills) in the order they are painted, and its
execution into a ``MaterialGrid`` on the grid of a ``Layout``."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Tuple

import numpy as np
import torch

from .boundaries import CPML
from .geometry import Stack
from .materials import MaterialGrid, Slab, smoothing_mode
from .layout import Layout, Transverse, column_layout
from .rasterise import Frame, background_piece, pieces
from .simulation import MediumTable
from .units import Units


def stack_frame(units: Units, lay: Layout, tv: Transverse, device) -> Frame:
    """The frame the shapes of a column are painted in: x, y from the cell's
    corner (sample 1), z from the first interface."""
    return Frame(units.resolution, (1.0, 1.0, lay.z_top), (*tv.shape, lay.Nz), tv.cells, device)


@dataclass
class MaterialPlan:
    """What ``build_materials`` paints, in order: ("paint", piece, id, mode,
    shape it came from), ("faces", m, lo, hi) and ("mend", m, ids) items,
    with the medium table and the grid's shape."""

    items: list
    table: MediumTable
    tables: dict
    shape: Tuple[int, int, int]
    NM: int
    modes: list
    frame: Frame


def material_plan(stacks, incident, units, lay: Layout, device, smoothing="subcell",
                  tv: Optional[Transverse] = None) -> MaterialPlan:
    """The painting of ``build_materials`` as a list of items (nothing
    painted yet)."""
    if isinstance(smoothing, (list, tuple)):
        modes = [smoothing_mode(s_) for s_ in smoothing]
    else:
        modes = [smoothing_mode(smoothing)] * len(stacks)
    tv = tv or Transverse((1, 1), None)
    NM = len(stacks) + 1
    shape = (*tv.shape, lay.Nz)
    frame = stack_frame(units, lay, tv, device)
    table = MediumTable()
    table.add(incident)                      # id 0: background (reference slice: all of it)
    items = []

    def add(obj, medium, m, source=None):
        obj.m = m
        items.append(("paint", obj, table.add(medium), modes[m - 1], source))

    for m, st in enumerate(stacks, start=1):
        slab = lambda lo, hi: Slab(lo, hi, m, NM, shape[:2], device)
        add(slab(float(lay.z_bottom[m - 1]), lay.Nz + 2.0), st.substrate, m)
        z = 0.0
        for layer in st.layers:
            z0, z1 = z, z + layer.thickness
            lo, hi = lay.z_top + float(units.cells(z0)), lay.z_top + float(units.cells(z1))
            if not layer.patterned:
                add(slab(lo, hi), layer.medium, m)
            else:
                items.append(("faces", m, lo, hi))             # neighbours across its faces
                first = len(items)
                solids = [sh.solid(z0, z1) for sh in layer.medium.shapes]
                bg = background_piece(solids, z0, z1, frame)
                if bg is not None:
                    add(bg, layer.medium.background, m)
                for sh, solid in zip(layer.medium.shapes, solids):
                    for piece in pieces(solid, frame):
                        add(piece, sh.medium, m)
                items.append(("mend", m, [it[2] for it in items[first:]]))
            z = z1
        for sh in st.shapes:
            for piece in pieces(sh, frame):
                add(piece, sh.medium, m, sh)
    return MaterialPlan(items, table, table.tables(units, device), shape, NM, modes, frame)


def paint_plan(plan: MaterialPlan, items=None, mats: Optional[MaterialGrid] = None,
               coefficients: bool = True) -> MaterialGrid:
    """Paints `items` (default: the plan's) onto `mats` (default: a new
    grid), then fills the coefficients."""
    if mats is None:
        mats = MaterialGrid(plan.shape, plan.NM, plan.frame.device)
    faces = getattr(mats, "_faces", [])
    for item in plan.items if items is None else items:
        kind = item[0]
        if kind == "faces":
            faces = mats.face_planes(item[1], item[2], item[3])
        elif kind == "mend":
            mats.repair_faces(item[1], faces, item[2], plan.tables["eps"], plan.modes[item[1] - 1])
        else:
            _, obj, mid, mode, _ = item
            mats.paint(obj, mid, plan.tables["eps"], mode)
    mats._faces = faces
    if coefficients:
        mats.coefficients(plan.tables["perm"], plan.tables["cond"])
    return mats


def build_materials(stacks, incident, units, lay: Layout, device, smoothing="subcell",
                    tv: Optional[Transverse] = None):
    """Paint the stacks into slices 1 … NM − 1 of the grid (slice 0: the
    incident medium everywhere), each slice in order: substrate, layers
    (a pattern's background where no shape is, then its shapes), 3-D
    shapes. Every painted piece gets its own id. ``smoothing``: one mode,
    or one per stack. Returns (materials, medium table, tables)."""
    plan = material_plan(stacks, incident, units, lay, device, smoothing, tv)
    return paint_plan(plan), plan.table, plan.tables


def node_permittivity(stack: Stack, frequencies, resolution: float, *, courant: float = 0.5,
                      cpml: CPML = CPML(), offset: float = 0.0, smoothing="subcell"):
    """The permittivity the scheme realises at every Ex node of the column
    of `stack` ([Nz, NF] complex; each node mixes its two media's discrete
    permittivities with its weight), with the first and last node of the
    uniform half-spaces around the stack: (eps, k_in, k_out, units). Input
    of ``analytic.yee_normal_incidence``."""
    units = Units(resolution, courant)
    lay = column_layout([stack], units, cpml, offset)
    mats, table, _ = build_materials([stack], stack.incident, units, lay, torch.device("cpu"),
                                     smoothing)
    x = mats.comp["x"]
    w = x.weight[1, 1, 1].double().numpy()
    own = x.id_map[1, 1, 1].long().numpy()
    prev = x.prev_id_map[1, 1, 1].long().numpy()
    disc = np.array([m.discrete_epsilon(frequencies, units) for m in table.media])   # [ids, NF]
    eps = w[:, None] * disc[own] + (1 - w[:, None]) * disc[prev]
    return eps, lay.kp, lay.k_T, units
