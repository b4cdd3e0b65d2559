"""Shapes: fill fractions, periodic wrapping, surface normals and the subcell
means they produce through the modules' preparation functions."""
import math

import numpy as np
import pytest
import torch

import Voxstep
import _voxstep_host as host
from voxsim.media import Medium
from voxsim.rasterise import Frame, pieces
from voxsim.shapes import Box, Cylinder, Prism, Sphere, VoxelFill
from voxsim.units import InputError

GLASS = Medium(eps=2.25)
RES = 10.0
# a 30 x 30 cell unit cell: x = 0 at cell coordinate 1, period 30 cells
FRAME = Frame(RES, (1.0, 1.0, 5.0), (31, 31, 40), (30, 30))


def sample_coords(frame, comp):
    """Sample coordinates of component `comp`, one extra sample on each side so
    that every sample of the grid has a whole cell."""
    return [torch.arange(-1, N + 1, dtype=torch.float32) + (0.5 if a == comp else 0.0)
            for a, N in enumerate(frame.shape)]


def painted_fill(shape, frame, comp=0):
    """Cell-averaged fill of `shape` on the (padded) grid of component comp."""
    cs = sample_coords(frame, comp)
    full = torch.zeros(*[len(c) for c in cs], dtype=torch.float64)
    for p in pieces(shape, frame):
        fill, rx, ry, rz = host.Mat_average(*p.voxels(), *cs)
        full[rx[0]:rx[1] + 1, ry[0]:ry[1] + 1, rz[0]:rz[1] + 1] += fill[0].double()
    return full, cs


def period_volume(shape, frame, comp=0):
    """Σ fill over one period in x and y (cells³)."""
    full, cs = painted_fill(shape, frame, comp)
    sel = [(c >= 1) & (c < 1 + P) for c, P in zip(cs[:2], frame.period)]
    return float(full[sel[0]][:, sel[1]].sum())


VOLUMES = [
    ("sphere", lambda c: Sphere(c, 1.0, GLASS), 4 / 3 * math.pi),
    ("cube", lambda c: Box(c, [1.03, 1.03, 1.03], GLASS), 1.03**3),
    ("oblique cylinder", lambda c: Cylinder(c, 0.6, 1.1, GLASS, axis=[1, 1, 0.3]), math.pi * 0.396),
    ("cylinder along y", lambda c: Cylinder(c, 0.6, 1.1, GLASS, axis="y"), math.pi * 0.396),
    ("triangular prism", lambda c: Prism([[c[0] - .5, c[1] - .4], [c[0] + .7, c[1] - .2],
                                          [c[0], c[1] + .6]], 0.1, 0.9, GLASS), 0.44),
]


@pytest.mark.parametrize("name,make,volume", VOLUMES, ids=[v[0] for v in VOLUMES])
@pytest.mark.parametrize("center", [[1.5, 1.5, 1.5], [1.234, 1.61, 1.777], [0.05, 2.97, 1.5]],
                         ids=["aligned", "off-grid", "across the cell boundary"])
def test_painted_volume_matches_the_solid(name, make, volume, center):
    exact = volume * RES**3
    err = [abs(period_volume(make(center), FRAME, comp) / exact - 1) for comp in (0, 2)]
    print(f"{name}: relative volume error {max(err):.1e}")
    assert max(err) < 1e-3


def test_wrapped_shape_paints_ghost_samples_like_their_images():
    full, cs = painted_fill(Sphere([0.02, 1.5, 1.5], 0.6, GLASS), FRAME, comp=0)
    # Ex samples along x sit at i + 1/2; those one period apart must agree
    # (the padding samples at either end have half cells and are left out)
    x = cs[0]
    pairs = [(i, j) for i in range(1, len(x) - 1) for j in range(1, len(x) - 1) if x[j] == x[i] + 30]
    assert len(pairs) == 1          # x = 1/2 and x = 30 + 1/2
    for i, j in pairs:
        assert torch.allclose(full[i], full[j], atol=1e-6)
    assert float(full[1].sum()) > 1          # the shape does reach the boundary samples


def paint_component(shapes_ids, frame, comp, eps_table):
    """The pipeline on one component: Set_weight_mat_id in order, normals,
    Set_weight_subcell, Set_ER_average. Returns ε per sample [Lx, Ly, Lz]."""
    cs = sample_coords(frame, comp)
    L = [len(c) for c in cs]
    w = torch.ones(1, *L)
    ids = torch.zeros(1, *L, dtype=torch.uint8)
    prev = ids.clone()
    nrm = torch.zeros(1, *L, 3)
    for shape, mid in shapes_ids:
        for p in pieces(shape, frame):
            box_vox = p.voxels()
            host.Set_weight_mat_id(*box_vox, *cs, mid, w, ids, prev)
            _, rx, ry, rz = host.Mat_average(*box_vox, *cs)
            nrm[0, rx[0]:rx[1] + 1, ry[0]:ry[1] + 1, rz[0]:rz[1] + 1] = \
                p.window_normals(cs, (rx, ry, rz))
            host.Set_weight_subcell(*box_vox, *cs, w, mid, ids, prev, nrm, eps_table, comp)
    er = torch.empty(1, *L)
    Voxstep.Set_ER_average(er, w, ids, prev, eps_table)
    return er[0], cs


def test_faces_inside_cells_give_the_exact_anisotropic_means():
    """A slab whose faces fall inside cells: ε along the face is the
    arithmetic mean over the cell, across it the harmonic mean (exact, since
    the voxel faces are the slab's faces)."""
    frame = Frame(1.0, (0.0, 0.0, 0.0), (8, 8, 12), (0, 0))
    table = torch.tensor([1.0, 4.0] + [1.0] * 254)
    slab = Box([4.0, 4.0, 5.3], [20.0, 20.0, 3.0], Medium(eps=4.0))     # faces at z = 3.8, 6.8
    for comp in range(3):
        er, cs = paint_component([(slab, 1)], frame, comp, table)
        z = cs[2].double()
        lo, hi = (z - 0.5).clamp(3.8, 6.8), (z + 0.5).clamp(3.8, 6.8)
        f = hi - lo                                              # fill of each cell along z
        want = 1 / (f / 4 + (1 - f)) if comp == 2 else 1 + 3 * f
        got = er[4, 4, :].double()
        print(f"component {'xyz'[comp]}: largest relative error {((got - want) / want).abs().max():.1e}")
        assert torch.allclose(got, want, rtol=1e-4)


def test_later_shapes_override_earlier_ones():
    frame = Frame(1.0, (0.0, 0.0, 0.0), (10, 10, 10), (0, 0))
    table = torch.tensor([1.0, 4.0, 9.0] + [1.0] * 253)
    big = Box([5, 5, 5], [6, 6, 6], Medium(eps=4.0))
    small = Box([5, 5, 5], [2, 2, 2], Medium(eps=9.0))
    er, cs = paint_component([(big, 1), (small, 2)], frame, 0, table)
    assert er[6, 6, 6] == pytest.approx(9.0, rel=1e-4)     # sample (5, 5, 5) inside both
    assert er[4, 6, 6] == pytest.approx(4.0, rel=1e-4)     # inside the big one only
    er, _ = paint_component([(small, 2), (big, 1)], frame, 0, table)
    assert er[6, 6, 6] == pytest.approx(4.0, rel=1e-4)


def test_normals_are_the_analytic_ones():
    frame = Frame(1.0, (0.0, 0.0, 0.0), (40, 40, 40), (0, 0))
    g = torch.Generator().manual_seed(1)
    pts = 20 + 8 * (torch.rand(500, 3, generator=g, dtype=torch.float64) - 0.5)
    (sph,) = pieces(Sphere([20, 20, 20], 5.0, GLASS), frame)
    radial = (pts - 20) / (pts - 20).norm(dim=1, keepdim=True)
    assert torch.allclose(sph.normals(pts).double(), radial, atol=1e-5)
    # cylinder along (1, 1, 0): normals near the mantle are radial, off the axis
    (cyl,) = pieces(Cylinder([20, 20, 20], 4.0, 30.0, GLASS, axis=[1, 1, 0]), frame)
    n = cyl.normals(pts).double()
    axis = torch.tensor([1.0, 1.0, 0.0], dtype=torch.float64) / math.sqrt(2)
    assert (n @ axis).abs().max() < 1e-5
    # prism: the normal of the nearest edge (a square seen from outside its right edge)
    (pr,) = pieces(Prism([[10, 10], [30, 10], [30, 30], [10, 30]], 10, 30, GLASS), frame)
    assert torch.allclose(pr.normals(torch.tensor([[31.0, 20.0, 20.0]]))[0],
                          torch.tensor([1.0, 0.0, 0.0]))
    # a voxel array of a sphere: the gradient of its smoothed fill, within a few degrees
    c = (torch.arange(64, dtype=torch.float64) + 0.5) / 64 * 16 + 12
    X, Y, Z = torch.meshgrid(c, c, c, indexing="ij")
    ball = (((X - 20) ** 2 + (Y - 20) ** 2 + (Z - 20) ** 2) < 25).float()
    (vp,) = pieces(VoxelFill(ball, [12, 12, 12], [16, 16, 16], GLASS), frame)
    surf = 20 + 5 * radial
    cos = (vp.normals(surf).double() * radial).sum(1)
    print(f"voxel-array normals: largest angle {math.degrees(math.acos(float(cos.min()))):.1f} deg")
    assert float(cos.min()) > math.cos(math.radians(6))


def test_voxel_array_keeps_its_volume_and_wraps_across_the_cell():
    g = torch.Generator().manual_seed(2)
    fill = torch.rand(15, 10, 8, generator=g)
    vol = float(fill.double().sum()) * (1.5 * RES / 15) * (1.0 * RES / 10) * (0.8 * RES / 8)
    for origin in ([0.7, 0.9, 0.5], [2.4, 2.5, 0.5]):       # inside; across both edges
        got = period_volume(VoxelFill(fill, origin, [1.5, 1.0, 0.8], GLASS), FRAME)
        assert got == pytest.approx(vol, rel=1e-5)
    with pytest.raises(InputError, match="voxels.size"):
        pieces(VoxelFill(fill, [2.4, 2.5, 0.5], [1.45, 1.0, 0.8], GLASS), FRAME)


@pytest.mark.parametrize("make,field", [
    (lambda: Sphere([0, 0, 0], -1.0, GLASS), "sphere.radius"),
    (lambda: Sphere([0, 0], 1.0, GLASS), "sphere.center"),
    (lambda: Box([0, 0, 0], [1, 0, 1], GLASS), "box.size[1]"),
    (lambda: Box([0, 0, 0], [1, 1, 1], 2.25), "box.medium"),
    (lambda: Cylinder([0, 0, 0], 1.0, 1.0, GLASS, axis="w"), "cylinder.axis"),
    (lambda: Cylinder([0, 0, 0], 1.0, 1.0, GLASS, axis=[0, 0, 0]), "cylinder.axis"),
    (lambda: Prism([[0, 0], [1, 0], [2, 0]], 0, 1, GLASS), "prism.vertices"),
    (lambda: Prism([[0, 0], [1, 0], [0, 1]], 1, 1, GLASS), "prism.zmax"),
    (lambda: VoxelFill(np.full((2, 2, 2), 1.5), [0, 0, 0], [1, 1, 1], GLASS), "voxels.fill"),
    (lambda: VoxelFill(np.ones((2, 2)), [0, 0, 0], [1, 1, 1], GLASS), "voxels.fill"),
])
def test_bad_descriptions_name_the_field(make, field):
    with pytest.raises(InputError) as e:
        make()
    assert e.value.field == field
