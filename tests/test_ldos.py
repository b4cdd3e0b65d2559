"""Power radiated by point dipoles, over the same dipole in the background
(``voxsim.ldos``): against the closed forms of a homogeneous dielectric and
of a perfect mirror (image dipoles), and the run's verdicts."""
import warnings

import numpy as np
import pytest

from voxsim.boundaries import CPML
from voxsim.ldos import Dipole, dipole_power, mirror_purcell
from voxsim.media import Medium
from voxsim.model import Scene, Simulation
from voxsim.shapes import Box
from voxsim.trust import NotConvergedWarning
from voxsim.units import InputError

RES = 10                  # cells per a
DOMAIN = (2.4, 2.4, 2.4)  # a, inside 8-cell absorbing layers
LAYERS = CPML(thickness=8)
TOL = 0.02


def report(label, measured, exact):
    err = measured / exact - 1
    print(f"{label}: max |error| {np.abs(err).max():.4f}  ({np.array2string(err, precision=4)})")
    return np.abs(err).max()


def half_space_below(z_face, medium):
    """Everything below z_face (a), through the layers."""
    return Box((0.0, 0.0, z_face - 50.0), (100.0, 100.0, 100.0), medium)


def test_dielectric_gives_the_index(device):
    """A dipole of fixed current radiates n times its vacuum power in a
    medium of index n; the background slice itself matches the closed form
    Z0·k²·|Il|²/(12π). Along z and along a diagonal (three samples)."""
    f = np.linspace(0.3, 0.45, 4)
    eps = 2.25
    r = dipole_power([half_space_below(50.0, Medium(eps=eps))],
             [Dipole((0, 0, 0), (0, 0, 1)), Dipole((0, 0, 0), (1, 1, 1))],
             f, RES, DOMAIN, cpml=LAYERS, device=device)
    print(f"\n{r.stats.steps} steps, {r.stats.seconds:.1f} s, stopped by {r.stats.stopped_by}")
    assert r.converged and r.stats.stopped_by == "decay"
    assert report("vacuum power vs closed form", r.power[:, 0], r.reference) < TOL
    assert report("P(eps)/P(vacuum) vs n", r.purcell, np.sqrt(eps)) < TOL


def test_mirror_both_orientations(device):
    """Dipoles above a perfect electric mirror (a conductor far past the
    skin-depth limit, staircased so its surface is the node plane of the
    tangential E), perpendicular and parallel, at two heights each, over a
    band: against the image-dipole closed forms."""
    f = np.linspace(0.3, 0.5, 6)
    h = 0.8                      # the mirror's node plane at z = −h (a)
    pec = half_space_below(-h + 0.25 / RES, Medium(sigma=1e7))
    dipoles = [Dipole((0, 0, 0.05), (0, 0, 1)), Dipole((0.05, 0, 0), (1, 0, 0)),
               Dipole((0, 0, -0.35), (0, 0, 1)), Dipole((0.05, 0, -0.4), (1, 0, 0))]
    r = dipole_power([pec], dipoles, f, RES, DOMAIN, cpml=LAYERS, smoothing="staircase",
             device=device)
    print(f"\n{r.stats.steps} steps, {r.stats.seconds:.1f} s, stopped by {r.stats.stopped_by}")
    assert r.converged
    worst = 0.0
    for s, d in enumerate(dipoles):
        axis = "z" if d.orientation[2] else "x"
        height = r.samples[s][axis][2] + h
        kind = "perpendicular" if axis == "z" else "parallel"
        exact = mirror_purcell(4 * np.pi * f * height, kind)
        worst = max(worst, report(f"{kind} at d = {height:.2f} a", r.purcell[s], exact))
    assert worst < TOL


def test_mirror_closed_forms_limits():
    """Touching the mirror: the perpendicular dipole and its image double
    the power, the parallel one is cancelled; far away both tend to 1."""
    x = np.array([1e-3, 400.0])
    assert np.allclose(mirror_purcell(x, "perpendicular"), [2.0, 1.0], atol=1e-2)
    assert np.allclose(mirror_purcell(x, "parallel"), [0.0, 1.0], atol=1e-2)


def test_cut_short_and_bad_input():
    """A run stopped before its fields decayed warns and says so, one that
    ran to decay is silent (no structure: the two slices agree); a dipole
    in the absorbing layers and a zero orientation are refused."""
    small = (1.0, 1.0, 1.0)
    with pytest.warns(NotConvergedWarning, match="max_time"):
        r = dipole_power([], [Dipole()], [0.4, 0.5], RES, small, cpml=LAYERS, max_time=3.0)
    assert not r.converged and r.stats.stopped_by == "max_steps"
    with pytest.raises(InputError, match="position"):
        dipole_power([], [Dipole((0.0, 0.0, 0.9))], [0.4], RES, small, cpml=LAYERS)
    with pytest.raises(InputError, match="orientation"):
        Dipole((0, 0, 0), (0, 0, 0))
    with warnings.catch_warnings():          # through the problem model, as a script would
        warnings.simplefilter("error")
        r = Simulation(Scene(size=small), [0.4, 0.5], RES, [Dipole()], cpml=LAYERS).run()
    assert r.converged and np.array_equal(r.purcell, np.ones((1, 2)))


@pytest.mark.slow
def test_dielectric_error_is_the_lattice_dispersion():
    """The dielectric's residual error is the lattice's: it falls by about
    four when the cells halve (second order in k·Δ)."""
    f = np.array([0.35, 0.45])
    eps = 2.25
    err = []
    for res in (RES, 2 * RES):
        r = dipole_power([half_space_below(50.0, Medium(eps=eps))], [Dipole((0, 0, 0), (0, 0, 1))],
                         f, res, DOMAIN, cpml=LAYERS)
        print(f"\nresolution {res}: {r.stats.steps} steps, {r.stats.seconds:.1f} s")
        err.append(report(f"P(eps)/P(vacuum) vs n, resolution {res}", r.purcell, np.sqrt(eps)))
    print(f"error ratio {err[0] / err[1]:.2f}")
    assert err[1] < 0.005 and 3 < err[0] / err[1] < 5
