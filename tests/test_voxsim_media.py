"""voxsim descriptions without time stepping: the media's coefficient
tables against the analytic permittivity, the refusals, the CPML profiles
and the material pipeline's averaging."""
import math

import numpy as np
import pytest
import torch

import voxsim as vx
from voxsim.boundaries import CPML
from voxsim.geometry import MaterialGrid, Slab

F = np.linspace(0.4, 1.6, 13)
MEDIA = {
    "conductor": vx.Medium(2.0, sigma=0.3),
    "lorentz": vx.Medium(1.5, 0.05, vx.Lorentz(1.0, 0.8, 0.1)),
    "drude": vx.Medium(1.0, 0.0, vx.Drude(2.0, 0.1)),
    "debye": vx.Medium(2.0, 0.0, vx.Debye(1.5, 0.3)),
}


@pytest.mark.parametrize("name", sorted(MEDIA))
def test_discrete_permittivity_tends_to_the_model(name):
    # The tables (alpha, beta, keep/den1, loss/den2) realise a permittivity
    # that converges to eps(f) at second order in dt.
    m = MEDIA[name]
    err = [np.abs(m.discrete_epsilon(F, vx.Units(r)) - m.epsilon(F)).max() for r in (40, 80)]
    print(f"{name}: |eps_disc - eps| = {err[0]:.2e} (40/a), {err[1]:.2e} (80/a)")
    assert err[0] / err[1] > 3.5
    assert err[0] < 1e-2 * np.abs(m.epsilon(F)).max()


def test_loss_has_positive_imaginary_part():
    for m in MEDIA.values():
        assert np.all(m.epsilon(F).imag > 0)
        assert np.all(m.discrete_epsilon(F, vx.Units(40)).imag > 0)
    c = vx.Medium(3.0).coefficients(vx.Units(40))
    assert (c.permittivity, c.conductivity, c.alpha, c.beta) == (3.0, 0.0, 0, 0)


REFUSED = [
    ("two poles", lambda: vx.Medium(2, 0, [vx.Drude(1, 0.1), vx.Debye(1, 1)]), "medium.pole",
     "at most one"),
    ("overdamped Lorentz", lambda: vx.Medium(2, 0, vx.Lorentz(1.0, 1.0, 2.5)), "medium.pole.gamma",
     "overdamped"),
    ("lossless Drude", lambda: vx.Medium(1, 0, vx.Drude(2.0, 0.0)), "medium.pole.gamma",
     "positive"),
    ("eps <= 0", lambda: vx.Medium(0.0), "medium.eps", "positive"),
    ("negative sigma", lambda: vx.Medium(2.0, -1.0), "medium.sigma", "negative"),
    ("unstable courant", lambda: vx.Units(40, 0.6), "courant", "stability"),
    ("lossy incident medium", lambda: vx.Stack([], vx.Medium(2.0, 0.1)), "incident", "lossless"),
    ("negative thickness", lambda: vx.Stack([vx.Layer(-0.1, vx.Medium(2))]),
     "layers[0].thickness", "positive"),
]


@pytest.mark.parametrize("case,make,field,words", REFUSED, ids=[r[0] for r in REFUSED])
def test_refusals_name_the_field(case, make, field, words):
    with pytest.raises(vx.InputError) as e:
        make()
    assert e.value.field == field
    assert words in str(e.value)


def test_courant_limit_is_the_3d_one():
    assert vx.Units(40, 1 / math.sqrt(3)).dt == pytest.approx(0.57735, rel=1e-5)


def test_cpml_profiles():
    N, n, dt = 60, 10, 0.5
    for magnetic in (False, True):
        C, b, g = CPML(thickness=n, kappa_max=2.0).profiles(N, dt, magnetic)
        assert C.shape == (N,) and b.shape == g.shape == (2 * n,)
        assert np.all(C[n + 1:N - n - 1] == dt) and np.all(C <= dt)
        assert np.all((b > 0) & (b <= 1)) and np.all(g <= 0)
        # grading rises towards the outer faces
        assert b[0] < b[n - 1] and b[-1] < b[n]
    # the electric low layer's index 0 is the wall; the deepest used cell is 1
    _, b, g = CPML(thickness=n).profiles(N, dt, False)
    assert g[1] < g[2] < 0


def paint_interface(z_interface, eps_lo=1.0, eps_hi=4.0, subcell=True):
    """A 2 x 2 x 20 column: eps_lo below z_interface, eps_hi above."""
    dev = torch.device("cpu")
    mats = MaterialGrid((2, 2, 20), 1, dev)
    table = torch.tensor([eps_lo, eps_hi])
    mats.paint(Slab(z_interface, 22.0, 0, 1, (2, 2), dev), 1, table if subcell else None)
    mats.coefficients(table, torch.zeros(2))
    return mats


def test_subcell_averages_tangential_arithmetic_normal_harmonic():
    z0 = 10.3
    mats = paint_interface(z0)
    # Ex node k = 10 has cell [9.5, 10.5]: 0.2 of it at eps 4
    ex = mats.comp["x"].den1[0, 1, 1]
    assert float(ex[10]) == pytest.approx(0.8 * 1 + 0.2 * 4, abs=2e-4)
    assert float(ex[9]) == pytest.approx(1.0) and float(ex[11]) == pytest.approx(4.0, abs=2e-4)
    # Ez node k = 10 sits at 10.5, cell [10, 11]: 0.7 at eps 4, harmonic mean
    ez = mats.comp["z"].den1[0, 1, 1]
    assert float(ez[10]) == pytest.approx(1 / (0.3 / 1 + 0.7 / 4), abs=2e-4)
    # staircase without subcell smoothing of Ez: plain fill fraction
    plain = paint_interface(z0, subcell=False).comp["z"].den1[0, 1, 1]
    assert float(plain[10]) == pytest.approx(0.3 + 0.7 * 4, abs=1e-5)


def test_equal_eps_neighbours_keep_the_fill_fraction():
    # media that differ only in loss: the subcell weight is undefined, the
    # fill fraction is used
    mats = paint_interface(10.3, eps_lo=2.0, eps_hi=2.0)
    assert float(mats.comp["z"].weight[0, 1, 1, 10]) == pytest.approx(0.7, abs=1e-5)
    assert float(mats.comp["x"].weight[0, 1, 1, 10]) == pytest.approx(0.2, abs=1e-5)


def test_painted_volume_equals_the_thickness():
    dev = torch.device("cpu")
    mats = MaterialGrid((2, 2, 40), 2, dev)
    mats.paint(Slab(5.37, 17.91, 0, 2, (2, 2), dev), 1)
    vol = mats.painted_volume[0] / 4          # 2 x 2 transverse samples
    assert float(vol[0]) == pytest.approx(17.91 - 5.37, abs=1e-4)
    assert float(vol[1]) == 0
