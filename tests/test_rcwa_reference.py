"""The RCWA oracle against the transfer matrix and against itself, before
any FDTD result is compared with it."""
import numpy as np
import pytest

tmm = pytest.importorskip("tmm")
pytest.importorskip("meent")

from rcwa_reference import order, raster, rcwa  # noqa: E402


@pytest.mark.parametrize("pol", ["s", "p"])
@pytest.mark.parametrize("angle", [0.0, 35.0])
def test_unpatterned_stack_matches_transfer_matrix(pol, angle):
    f = np.array([0.45, 0.8, 1.3])
    layers = [(0.3, 4.0), (0.17, 2.0)]
    got = rcwa(f, (0.7, 0.7), layers, 1.0, 2.25, pol, angle, harmonics=(3, 0))
    n = [1.0, 2.0, np.sqrt(2.0), 1.5]
    d = [np.inf, 0.3, 0.17, np.inf]
    ref = [tmm.coh_tmm(pol, n, d, np.radians(angle), 1 / fi) for fi in f]
    err = max(np.abs(got["R_total"] - [r["R"] for r in ref]).max(),
              np.abs(got["T_total"] - [r["T"] for r in ref]).max())
    print(f"RCWA vs transfer matrix, {pol} {angle} deg: {err:.1e}")
    assert err < 1e-10
    # only the zero order carries power
    assert abs(order(got, "T", 0) - got["T_total"]).max() < 1e-12


def test_grating_planar_and_crossed_forms_agree_with_x_and_y_swapped():
    x = (np.arange(40) + 0.5) / 40
    row = np.where(x < 0.3, 4.0, np.where(x < 0.45, 2.0, 1.0))   # no mirror symmetry
    planar = rcwa([0.8], (1, 1), [(0.4, row[None, :])], 1.0, 2.25, "s", harmonics=(6, 0))
    # the same grating along y, seen by E along x (p at normal incidence)
    crossed = rcwa([0.8], (1, 1), [(0.4, np.repeat(row[:, None], 4, axis=1))], 1.0, 2.25, "p",
                   harmonics=(1, 6))
    for m in (-1, 0, 1):
        for key in ("R", "T"):
            assert abs(order(planar, key, m) - order(crossed, key, 0, m))[0] < 1e-6
    assert abs(planar["R_total"] + planar["T_total"] - 1)[0] < 1e-9


def test_raster_paints_later_shapes_over_earlier_and_wraps():
    shapes = [{"kind": "rectangle", "center": [0.5, 0.5], "size": [2.0, 0.2], "eps": 4.0},
              {"kind": "circle", "center": [0.0, 0.5], "radius": 0.25, "eps": 2.0}]
    eps = raster(shapes, 1.0, (1.0, 1.0), (100, 100))
    assert eps[50, 0] == 2.0 and eps[50, 99] == 2.0          # circle wraps across x = 0
    assert eps[50, 50] == 4.0 and eps[0, 50] == 1.0
    area = (eps == 2.0).mean()
    assert abs(area - np.pi * 0.25**2) < 5e-3
