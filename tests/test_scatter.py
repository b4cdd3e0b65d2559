"""Isolated objects: absorbing layers on every face, the total-field /
scattered-field box, closed flux boxes and cross-sections against Mie
theory (miepython), and ``python -m voxsim scatter``."""
import json

import numpy as np
import pytest
import torch

from voxsim.boundaries import CPML
from voxsim.media import Drude, Lorentz, Medium
from voxsim.scatter import cross_sections, open_grid
from voxsim.shapes import Sphere
from voxsim.sources import GaussianPulse, sampled
from voxsim.units import Units

miepython = pytest.importorskip("miepython")


def mie(medium: Medium, radius: float, f, background: Medium = Medium()):
    """(σ_sca, σ_abs, σ_ext) in a² from Mie theory (miepython takes
    m = n − iκ for a lossy sphere: our ε has Im > 0)."""
    nb = np.sqrt(background.eps)
    m = np.conj(medium.index(f)) / nb
    qext, qsca, _, _ = miepython.efficiencies_mx(m, 2 * np.pi * radius * f * nb)
    A = np.pi * radius**2
    return qsca * A, (qext - qsca) * A, qext * A


def run_dipole(shape, src, probes, steps, units, cpml):
    """Ez at `probes` over time for a point current (Ez) at `src` in vacuum."""
    g = open_grid(units, shape, Medium(), cpml)
    J = torch.tensor(sampled(GaussianPulse(1.0, 0.5), steps, units), dtype=torch.float32)
    idx = tuple(torch.tensor(v) for v in zip(*probes))
    out = np.zeros((steps, len(probes)))
    Ez = g.E[2]
    for t in range(steps):
        g.update_h()
        g.update_e()
        Ez[0, 0, src[0], src[1], src[2], 0] -= J[t]
        out[t] = Ez[0, 0, idx[0], idx[1], idx[2], 0].numpy()
    return out


def test_absorber_on_every_face_reflects_little_at_normal_and_grazing_incidence():
    """A point source 2 cells from the low-y face of a grid closed by
    absorbing layers on all six faces, against the same run in a grid 30
    cells larger on every side (whose layers the pulse has not reached in
    the window): the difference at a probe 3 cells from the high-y face
    (normal incidence), at a probe 28 cells along x, also 2 cells from the
    low-y face (the reflection there arrives at 82 degrees) and at a probe 3
    cells from a corner."""
    units, cpml = Units(20), CPML(12)
    n = cpml.thickness
    small = (36 + 2 * n, 20 + 2 * n, 20 + 2 * n)
    src = (n + 4, n + 2, n + 10)
    probes = [(n + 4, n + 17, n + 10), (n + 32, n + 2, n + 10), (n + 33, n + 17, n + 17)]
    M, steps = 30, 260
    a = run_dipole(small, src, probes, steps, units, cpml)
    big = tuple(s + 2 * M for s in small)
    b = run_dipole(big, tuple(x + M for x in src), [tuple(x + M for x in q) for q in probes],
                   steps, units, cpml)
    err = np.abs(a - b).max(axis=0) / np.abs(b).max(axis=0)
    for name, e in zip(("normal", "grazing (82 deg)", "corner"), err):
        print(f"absorber reflection, {name}: {e:.2e} in amplitude, {e * e:.1e} in power")
    assert err[0] < 1e-3 and err[1] < 3e-3 and err[2] < 3e-3


@pytest.mark.parametrize("polarization", ["x", "y"])
def test_tfsf_box_leaks_nothing_and_flux_boxes_see_the_incident_power(polarization):
    """Without an object the scattered-field region stays empty: the power
    through the scattering box over the incident power crossing the
    TFSF box (≤ 1e-4); the absorption box, inside the total field, sees
    no net flux of the incident wave."""
    f = np.array([0.3, 0.45, 0.6])
    cs = cross_sections([], f, 20, polarization=polarization, padding=0, steps=500)
    (i0, i1), (j0, j1), _ = cs.layout.tfsf_box
    face = (i1 - i0) * (j1 - j0) / cs.resolution**2
    leak = np.abs(cs.scattering) / face
    net = np.abs(cs.absorption) / face
    print(f"TFSF leakage ({polarization}): {leak.max():.1e} of the incident power; net flux "
          f"through the absorption box {net.max():.1e}")
    assert leak.max() < 1e-4
    assert net.max() < 1e-4


@pytest.mark.parametrize("name, medium, radius, resolution, band, bound", [
    # ε = 2.25, x = 0.75 … 2.0, r = 9.6 cells, 20 cells per wavelength in the sphere at 0.8
    ("dielectric eps 2.25", Medium(2.25), 0.4, 24, (0.3, 0.8), 0.05),
    # ε = 4, x = 0.47 … 0.94, r = 6 cells, 20 cells per wavelength in the sphere at 0.6
    ("dielectric eps 4", Medium(4.0), 0.25, 24, (0.3, 0.6), 0.05),
    # a lossy dispersive sphere: ε(f) from 3.07 + 0.08i to 3.39 + 0.37i
    ("lorentz", Medium(2.25, 0.0, Lorentz(1.0, 0.75, 0.3)), 0.4, 24, (0.3, 0.6), 0.10),
    # a Drude metal: ε(f) from −2.2 + 6.4i to −1.2 + 2.5i
    ("drude", Medium(1.0, 0.0, Drude(1.0, 0.5)), 0.3, 32, (0.25, 0.45), 0.10),
])
def test_cross_sections_match_mie(name, medium, radius, resolution, band, bound):
    f = np.linspace(*band, 4 if medium.lossless else 3)
    cs = cross_sections([Sphere((0, 0, 0), radius, medium)], f, resolution, padding=0)
    sca, ab, ext = mie(medium, radius, f)
    x = 2 * np.pi * radius * f
    err = {"scattering": cs.scattering / sca - 1, "extinction": cs.extinction / ext - 1}
    if not medium.lossless:
        err["absorption"] = cs.absorption / ab - 1
    for k, e in err.items():
        print(f"{name}, {k}: " + ", ".join(f"x={a:.2f}: {b:+.3f}" for a, b in zip(x, e)))
    print(f"{name}: {cs.stats.steps} steps on {cs.layout.shape} cells, {cs.stats.seconds:.1f} s")
    assert cs.converged
    for e in err.values():
        assert np.abs(e).max() < bound
    if medium.lossless:
        assert np.abs(cs.absorption).max() < 1e-3 * cs.scattering.max()


SPHERE = {"resolution": 20, "frequency": {"min": 0.3, "max": 0.6, "count": 3},
          "background": {"eps": 1},
          "shapes": [{"kind": "sphere", "center": [0, 0, 0], "radius": 0.2,
                      "medium": {"eps": 2.25}}],
          "padding": 0}


def scatter_cli(tmp_path, data, capsys):
    from voxsim import cli
    path = tmp_path / "object.json"
    path.write_text(json.dumps(data))
    out = tmp_path / "out"
    code = cli.main(["scatter", str(path), "--out", str(out), "--quiet"])
    return code, out, capsys.readouterr()


def test_scatter_command_writes_cross_sections_and_says_when_not_converged(tmp_path, capsys):
    code, out, _ = scatter_cli(tmp_path, SPHERE, capsys)
    assert code == 0
    data = json.loads((out / "cross_sections.json").read_text())
    assert data["converged"] is True
    assert (out / "cross_sections.png").stat().st_size > 0
    sca, _, ext = mie(Medium(2.25), 0.2, np.array(data["frequency"]))
    err = np.abs(np.array(data["extinction"]) / ext - 1)
    with capsys.disabled():
        print(f"CLI sphere (r = 4 cells): extinction within {err.max():.3f} of Mie")
    assert err.max() < 0.15
    code, out, io = scatter_cli(tmp_path, dict(SPHERE, max_time=3), capsys)
    assert code == 3
    assert json.loads((out / "cross_sections.json").read_text())["converged"] is False
    assert "stopped by max_time=3" in io.err


@pytest.mark.parametrize("change, message", [
    ({"shapes": [{"kind": "sphere", "center": [0, 0], "radius": 0.2, "medium": {"eps": 2}}]},
     "shapes[0].center: must be 3 numbers"),
    ({"shapes": [{"kind": "cone", "medium": {"eps": 2}}]}, "shapes[0].kind: must be one of"),
    ({"shapes": [{"kind": "box", "center": [0, 0, 0], "size": [1, 1, -1],
                  "medium": {"eps": 2}}]}, "shapes[0].size[2]: must be positive"),
    ({"shapes": [{"kind": "sphere", "center": [0, 0, 0], "radius": 0.2,
                  "medium": {"eps": 2, "colour": 1}}]}, "shapes[0].medium.colour: unknown key"),
    ({"background": {"eps": 1, "sigma": 0.1}}, "background: must be lossless"),
    ({"polarization": "z"}, "polarization: must be \"x\" or \"y\""),
    ({"padding": -1}, "padding: must not be negative"),
    ({"resolution": 2}, "resolution: 2 cells per a gives"),
    ({"shapes": []}, "shapes: must be a non-empty list"),
])
def test_scatter_bad_input_names_the_field(change, message, tmp_path, capsys):
    code, out, io = scatter_cli(tmp_path, dict(SPHERE, **change), capsys)
    assert code == 2
    assert io.err.startswith(f"error: {message}"), io.err
    assert not out.exists()


def test_scatter_divergence_writes_nothing(tmp_path, capsys, monkeypatch):
    import voxsim.scatter
    from voxsim.trust import DivergenceError

    def diverging(*a, **k):
        raise DivergenceError("the fields diverged (the object)", 10)
    monkeypatch.setattr(voxsim.scatter, "run_objects", diverging)
    code, out, io = scatter_cli(tmp_path, SPHERE, capsys)
    assert code == 4 and "diverged" in io.err and not out.exists()


def test_shipped_sphere_example_is_valid():
    import os
    from voxsim.config import load_scatter_job
    job = load_scatter_job(os.path.join(os.path.dirname(__file__), "..", "examples", "sphere.json"))
    assert len(job.shapes) == 1 and job.polarization == "x"
