"""Patterned layers and 3-D shapes against the RCWA oracle
(``rcwa_reference``), and the properties of the periodic pipeline that a
fault would break: batching, translation across the cell boundary, the
painted volume. Every physics test prints the error it measured. CPU,
small unit cells."""
import math

import numpy as np
import pytest

import voxsim as vx
from voxsim.shapes import Box, Circle, Pattern, Rectangle, Sphere
from voxsim.reflectance import check_resolution, plane_wave

pytest.importorskip("meent")
from rcwa_reference import order, raster, rcwa  # noqa: E402

AIR, GLASS, HIGH = vx.Medium(1.0), vx.Medium(2.25), vx.Medium(4.0)


@pytest.fixture(autouse=True, scope="module")
def one_thread():
    """These grids are small: one CPU thread steps them faster than two that
    meet at every op (and much faster on a busy machine)."""
    import torch
    n = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(n)


def grating_stack(ridge, x0, x1, thickness, substrate):
    """A lamellar grating of period 1: `ridge` from x0 to x1 (a rectangle
    spanning the cell in y) in air, on `substrate`."""
    rect = Rectangle([(x0 + x1) / 2, 0.5], [x1 - x0, 1.0], ridge)
    return vx.Stack([vx.Layer(thickness, Pattern(AIR, [rect]))], AIR, substrate, period=(1.0, 1.0))


def grating_reference(ridge, x0, x1, thickness, substrate, f, pol):
    row = raster([{"kind": "rectangle", "center": [(x0 + x1) / 2, 0.5], "size": [x1 - x0, 2.0],
                   "eps": ridge.eps}], 1.0, (1.0, 1.0), (20000, 1))
    return rcwa(f, (1.0, 1.0), [(thickness, row)], 1.0, substrate.eps, pol, harmonics=(30, 0))


def test_lamellar_grating_orders_match_rcwa():
    # glass ridges on glass: the first orders propagate in the substrate only
    # (0.667 < f < 1: both Rayleigh-Wood anomalies outside the band)
    f = np.array([0.76, 0.83, 0.9])
    st = grating_stack(GLASS, 0.25, 0.75, 0.3, GLASS)
    res = 41
    cpw = check_resolution([st], f, vx.Units(res))
    sp = vx.spectrum(st, f, res, [plane_wave(f, p, stack=st) for p in "sp"], decay_by=1e-7)
    assert sp.orders == [(0, 0), (-1, 0), (1, 0)]
    for s, pol in enumerate("sp"):
        ref = grating_reference(GLASS, 0.25, 0.75, 0.3, GLASS, f, pol)
        err = {}
        for key in "RT":
            for m in (-1, 0, 1):
                got = sp.order(key, m)[s, 0]
                if key == "R" and m:
                    assert np.isnan(got).all()           # evanescent in air
                    continue
                err[f"{key}{m:+d}"] = np.abs(got - order(ref, key, m)).max()
        worst = max(err, key=err.get)
        print(f"grating {pol}, {cpw:.0f} cells/wavelength: largest order error {err[worst]:.1e} "
              f"({worst}); orders T+1 {sp.order('T', 1)[s, 0].round(4)}, "
              f"{sp.stats[0].steps} steps, {sp.stats[0].cell_updates_per_s:.3g} cell updates/s")
        assert cpw >= 30 and err[worst] <= 1e-2
        # the orders add up to the flux totals; mirror symmetry: +1 = -1
        total = np.nansum(sp.T_orders[s, 0], axis=0)
        assert np.allclose(total, sp.T[s, 0], atol=1e-6)
        assert np.allclose(sp.order("T", 1)[s, 0], sp.order("T", -1)[s, 0], atol=1e-6)


def test_hole_array_total_transmission_matches_rcwa():
    # a square array of air holes in a free-standing eps = 4 slab, below the
    # first guided resonance (near f = 0.75) and below diffraction
    f = np.array([0.3, 0.4, 0.5])
    slab = vx.Stack([vx.Layer(0.25, Pattern(HIGH, [Circle([0.5, 0.5], 0.3, AIR)]))], AIR, AIR,
                    period=(1.0, 1.0))
    sp = vx.spectrum(slab, f, 20, decay_by=1e-7)
    eps = raster([{"kind": "circle", "center": [0.5, 0.5], "radius": 0.3, "eps": 1.0}], 4.0,
                 (1.0, 1.0), (100, 100))
    ref = rcwa(f, (1.0, 1.0), [(0.25, eps)], 1.0, 1.0, "s", harmonics=(4, 4))
    err = np.abs(sp.T[0, 0] - ref["T_total"]).max()
    print(f"hole array: T {sp.T[0, 0].round(4)} vs RCWA {ref['T_total'].round(4)}: largest "
          f"error {err:.1e}; |1-R-T| {np.abs(sp.A[0, 0]).max():.1e}")
    assert err <= 2e-2
    assert sp.orders == [(0, 0)]


def test_subcell_smoothing_converges_staircase_does_not():
    # a lamellar grating whose walls fall inside cells at every resolution,
    # p polarisation (E across the walls), subwavelength; the three smoothing
    # modes run side by side in one batch per resolution
    f = np.array([0.3, 0.35, 0.4])
    x0, x1, t = 0.2137, 0.6891, 0.5
    st = grating_stack(HIGH, x0, x1, t, AIR)
    ref = grating_reference(HIGH, x0, x1, t, AIR, f, "p")
    modes = ["subcell", "staircase", "average"]
    err = {m: [] for m in modes}
    resolutions = (10, 20, 40)
    for r in resolutions:
        sp = vx.spectrum([st] * 3, f, r, [plane_wave(f, "p", stack=st)], smoothing=modes,
                         decay_by=1e-8)
        for i, m in enumerate(modes):
            err[m].append(max(np.abs(sp.order("R", 0)[0, i] - order(ref, "R", 0)).max(),
                              np.abs(sp.order("T", 0)[0, i] - order(ref, "T", 0)).max()))
    for m in modes:
        print(f"{m:9s}: error " + " -> ".join(f"{e:.1e}" for e in err[m]) +
              f" at {resolutions} cells per a")
    sub, stair = err["subcell"], err["staircase"]
    assert sub[0] / sub[1] >= 3 and sub[1] / sub[2] >= 3
    # staircase: no steady fall, and far above the smoothed result
    assert stair[0] / stair[2] < 4 and stair[2] > 5 * sub[2]


def test_batched_radius_sweep_equals_separate_runs_bitwise():
    f = np.array([0.4, 0.5])
    stacks = [vx.Stack([vx.Layer(0.2, Pattern(HIGH, [Circle([0.5, 0.5], r, AIR)]))], AIR, GLASS,
                       period=(1.0, 1.0)) for r in (0.2, 0.3)]
    kw = dict(steps=200)
    batch = vx.spectrum(stacks, f, 12, **kw)
    for m, st in enumerate(stacks):
        one = vx.spectrum(st, f, 12, **kw)
        assert np.array_equal(batch.R[:, m], one.R[:, 0])
        assert np.array_equal(batch.T_orders[:, m], one.T_orders[:, 0], equal_nan=True)


def test_shapes_moved_across_the_cell_boundary_give_the_same_spectrum():
    # a hole and a 3-D box moved by half a period in x and y (whole cells)
    # wrap across the cell's edges and corner: the spectrum must not change
    f = np.array([0.4, 0.55])

    def stack(dx):
        hole = Circle([0.3 + dx, 0.4 + dx], 0.27, AIR)
        block = Box([0.6 + dx, 0.3 + dx, -0.1], [0.3, 0.5, 0.2], GLASS)
        return vx.Stack([vx.Layer(0.25, Pattern(HIGH, [hole]))], AIR, GLASS, period=(1.0, 1.0),
                        shapes=[block])

    sp = vx.spectrum([stack(0.0), stack(0.5)], f, 12, steps=600)
    print("moved across the boundary: |dR|, |dT| =",
          np.abs(sp.R[0, 0] - sp.R[0, 1]).max(), np.abs(sp.T[0, 0] - sp.T[0, 1]).max())
    assert np.allclose(sp.R[0, 0], sp.R[0, 1], atol=1e-5)
    assert np.allclose(sp.T[0, 0], sp.T[0, 1], atol=1e-5)


@pytest.mark.parametrize("smoothing", ["subcell", "average", "staircase"])
def test_painted_volume_of_sphere_and_cube(smoothing):
    """Σ fill fractions of a sphere and a cube painted by the material grid
    equal their volumes whatever the smoothing (which only changes how the
    fill turns into ε); with plain averaging, so does Σ (ε − 1)/(ε_s − 1)."""
    import torch
    from voxsim.materials import MaterialGrid
    from voxsim.rasterise import Frame, pieces
    N = 25
    frame = Frame(10.0, (1.0, 1.0, 1.0), (N, N, N), (N - 1, N - 1))
    solids = [Sphere([1.21, 1.13, 1.17], 0.73, HIGH), Box([1.17, 1.23, 1.11], [0.87, 0.87, 0.87], HIGH)]
    table = torch.tensor([1.0, 4.0, 4.0])
    mats = MaterialGrid((N, N, N), 2, "cpu")
    for m, solid in enumerate(solids):
        for piece in pieces(solid, frame):
            piece.m = m
            mats.paint(piece, 1 + m, table, smoothing)
    mats.coefficients(table, torch.zeros(3))
    painted = sum(mats.painted_volume)
    for m, (name, want) in enumerate((("sphere", 4 / 3 * math.pi * 7.3**3), ("cube", 8.7**3))):
        got = float(painted[m])
        print(f"{smoothing}: {name} painted volume {got:.3f} cells, exact {want:.3f}")
        assert abs(got / want - 1) < 1e-3
        if smoothing == "average":
            eps_vol = float((mats.comp["x"].den1[m].double() - 1).sum() / 3)
            assert abs(eps_vol / want - 1) < 1e-3


def test_layer_face_inside_a_cell_keeps_the_two_media_it_holds():
    """A sample cut by the bottom face of a grating layer holds the ridge (or
    the background) above and the substrate below: those two media, not the
    background twice (ridge and substrate are both glass here)."""
    from voxsim.reflectance import build_materials, column_layout, transverse_layout
    units = vx.Units(10)
    st = grating_stack(GLASS, 0.25, 0.75, 0.33, GLASS)           # bottom face at 3.3 cells
    tv = transverse_layout([st], units)
    lay = column_layout([st], units, vx.CPML(), 0.0, None, 4)
    mats, _, _ = build_materials([st], AIR, units, lay, "cpu", "subcell", tv)
    k = int(lay.z_top + 3.3)                                     # Ex sample at z = k, cell [k-1/2, k+1/2]
    above = (lay.z_top + 3.3) - (k - 0.5)                        # share of the cell above the face
    ex = mats.comp["x"].den1[1, :, 1, k]                         # Ex sample i: x = (i - 1/2)/10 a
    ridge_i, groove_i = 1 + 5, 1 + 0                             # x = 0.55 a and x = 0.05 a
    print(f"face sample: ridge column eps {float(ex[ridge_i]):.4f}, groove column "
          f"{float(ex[groove_i]):.4f}")
    assert float(ex[ridge_i]) == pytest.approx(2.25, abs=1e-3)
    assert float(ex[groove_i]) == pytest.approx(above * 1.0 + (1 - above) * 2.25, abs=1e-3)


def test_dispersive_pattern_of_one_medium_is_the_uniform_layer():
    # a lossy Lorentz layer drawn as a pattern (background and two shapes,
    # one across the cell's corner, all of the same medium): several ids per
    # sample, each with its pole auxiliaries, and the layer's faces cut by
    # the shapes' edges, must add up to the uniform layer (which the
    # transfer-matrix tests check)
    lor = vx.Medium(1.5, 0.02, vx.Lorentz(0.9, 0.6, 0.08))
    f = np.linspace(0.6, 1.2, 7)
    pattern = Pattern(lor, [Circle([0.0, 0.0], 0.03, lor),
                            Rectangle([0.05, 0.05], [0.03, 0.04], lor, 30)])
    stacks = [vx.Stack([vx.Layer(0.2, lor)], AIR, GLASS),
              vx.Stack([vx.Layer(0.2, pattern)], AIR, GLASS, period=(0.1, 0.1))]
    uni, pat = (vx.spectrum(st, f, 30, steps=1500) for st in stacks)
    d = max(np.abs(uni.R - pat.R).max(), np.abs(uni.T - pat.T).max())
    print(f"dispersive pattern of one medium against the uniform layer: {d:.1e}; absorption "
          f"{np.nanmin(pat.A[0, 0]):.3f}..{np.nanmax(pat.A[0, 0]):.3f}")
    assert d <= 2e-4 and np.nanmin(pat.A[0, 0]) > 1e-3
