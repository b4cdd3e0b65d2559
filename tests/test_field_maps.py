"""DFT fields asked of a run (the "fields" key: spectrum, scatter,
resonances) against closed forms — a slab's standing wave, Mie's near
field — and the resonances of isolated objects against the Mie pole of a
sphere's magnetic dipole; the files the commands write."""
import json
import sys
from pathlib import Path

import numpy as np
import pytest

import voxsim as vx
from voxsim import cli
from voxsim.fields import FieldRequest, FieldResult
from voxsim.resonance import object_resonances

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def slab_intensity(eps, d, f, z):
    """|E/E0|² of a plane wave at normal incidence on a slab (0 < z < d) in
    air, from the continuity of E and dE/dz at both faces."""
    k0, k = 2 * np.pi * f, 2 * np.pi * f * np.sqrt(eps)
    # unknowns r, A, B, t: E = e^{ik0z} + r e^{-ik0z} | A e^{ikz} + B e^{-ikz} | t e^{ik0(z-d)}
    e, ed = np.exp(1j * k * d), np.exp(-1j * k * d)
    M = np.array([[1, -1, -1, 0], [-k0, -k, k, 0],
                  [0, e, ed, -1], [0, k * e, -k * ed, -k0]], dtype=complex)
    r, A, B, t = np.linalg.solve(M, np.array([-1, -k0, 0, 0], dtype=complex))
    E = np.where(z < 0, np.exp(1j * k0 * z) + r * np.exp(-1j * k0 * z),
                 np.where(z < d, A * np.exp(1j * k * z) + B * np.exp(-1j * k * z),
                          t * np.exp(1j * k0 * (z - d))))
    return np.abs(E) ** 2


def slab(eps=4.0, d=0.3):
    return vx.Stack([vx.Layer(d, vx.Medium(eps))], vx.Medium(1.0), vx.Medium(1.0))


def test_stack_fields_match_the_slab_standing_wave():
    f = (0.7, 0.9)
    sp = vx.spectrum(slab(), [0.6, 0.8, 1.0], 40, fields=FieldRequest(f, axis=1, at=0.0))
    r = sp.fields
    assert r.normalised == "incident" and r.structure == 1
    for q, fq in enumerate(f):
        ref, (_, _, z) = r.intensity(0, q, m=0)
        v, _ = r.intensity(0, q)
        exact = slab_intensity(4.0, 0.3, fq, z)
        err = np.abs(v.ravel() - exact)
        away = np.abs(z) > 0.05
        away &= np.abs(z - 0.3) > 0.05             # the smoothed faces' own cells
        print(f"f = {fq}: |E/E0|² against the closed form: largest |diff| {err.max():.3f} "
              f"(away from the faces {err[away].max():.3f}), reference slice "
              f"{ref.min():.4f}..{ref.max():.4f}")
        assert np.allclose(ref, 1, atol=2e-3)
        assert err[away].max() < 0.02 and err.max() < 0.05


def test_scatter_fields_are_over_the_incident_amplitude():
    """An object of the background's own ε: the total-field box holds the
    incident wave alone, |E/E0|² = 1."""
    from voxsim.scatter import cross_sections
    with pytest.warns(vx.NotConvergedWarning):
        cs = cross_sections([vx.Sphere((0, 0, 0), 0.3, vx.Medium(1.0))], [0.4, 0.5, 0.6], 10,
                            max_time=25, fields=FieldRequest((0.45, 0.5), axis=1, at=0.0))
    for q in range(2):
        v, _ = cs.fields.intensity(0, q)
        print(f"f = {cs.fields.frequency[q]}: |E/E0|² in {v.min():.4f}..{v.max():.4f}")
        assert np.abs(v - 1).max() < 2e-3


def test_fields_refused_under_domains_and_checked():
    with pytest.raises(vx.InputError, match="domains"):
        vx.spectrum(slab(), [0.8], 20, fields=FieldRequest((0.8,)), split="domains")
    with pytest.raises(vx.InputError, match="fields.plane.at"):
        vx.spectrum(slab(), [0.8], 20, fields=FieldRequest((0.8,), axis=2, at=40.0))


def run_cli(tmp_path, command, data, code):
    path = tmp_path / "job.json"
    path.write_text(json.dumps(data))
    out = tmp_path / "out"
    assert cli.main([command, str(path), "--out", str(out), "--quiet"]) == code
    return out


STACK = {"resolution": 20, "frequency": {"min": 0.6, "max": 1.0, "count": 3},
         "incident": {"eps": 1}, "layers": [{"thickness": 0.3, "medium": {"eps": 4}}]}
SPHERE = {"resolution": 10, "frequency": {"min": 0.3, "max": 0.5, "count": 2},
          "padding": 0.2, "max_time": 10,
          "shapes": [{"kind": "sphere", "center": [0, 0, 0], "radius": 0.3,
                      "medium": {"eps": 4}}]}


@pytest.mark.parametrize("command,data,code,normalised", [
    ("spectrum", STACK, 0, "incident"),
    ("scatter", SPHERE, 3, "incident"),
    ("resonances", SPHERE, 3, "source"),
    ("resonances", STACK, 0, "source"),
])
def test_commands_write_fields(tmp_path, command, data, code, normalised):
    data = dict(data, fields={"frequencies": [0.4, 0.45], "plane": {"axis": "y", "at": 0.0}})
    out = run_cli(tmp_path, command, data, code)
    r = FieldResult.load(out / "fields.npz")
    assert list(r.frequency) == [0.4, 0.45] and r.normalised == normalised
    assert r.plane == (1, 0.0) and r.outline is not None
    for n, v in r.components.items():
        assert v.shape[-1] == 2 and v.shape[3] in (1, 2)          # the plane y = 0
        assert [len(c) for c in r.coordinates[n]] == list(v.shape[2:5])
        assert np.all(np.isfinite(v))
    assert (out / "field.png").stat().st_size > 5000
    if command == "resonances":
        modes = json.loads((out / "modes.json").read_text())
        assert modes["converged"] is (code == 0)
        assert modes["window"] == [data["frequency"]["min"], data["frequency"]["max"]]


def test_volume_fields_and_bad_requests(tmp_path, capsys):
    out = run_cli(tmp_path, "spectrum", dict(STACK, fields={"frequencies": [0.8]}), 0)
    r = FieldResult.load(out / "fields.npz")
    assert r.plane is None and r.components["Ey"].shape[4] > 10      # the whole column
    for bad, msg in (({"frequencies": []}, "fields.frequencies"),
                     ({"frequencies": [0.8], "plane": {"axis": "w"}}, "fields.plane.axis"),
                     ({"frequencies": [0.8], "plane": {"axis": "z", "at": 50}},
                      "fields.plane.at"),
                     ({"frequencies": [-1]}, "fields.frequencies[0]")):
        for command, data in (("spectrum", STACK), ("scatter", SPHERE), ("resonances", SPHERE)):
            run_cli(tmp_path, command, dict(data, fields=bad), 2)
            assert msg in capsys.readouterr().err


@pytest.mark.slow
def test_object_resonance_matches_the_mie_magnetic_dipole():
    """ε = 12, r = 0.5 a: the lowest Mie mode (b1) against its pole, found
    by a quadratic fit of 1/b1 near the peak, and the extinction peak."""
    import miepython
    m, radius = np.sqrt(12.0), 0.5
    f = np.linspace(0.2729, 0.2809, 21)
    b1 = np.array([miepython.an_bn(m, 2 * np.pi * radius * x, 0)[1][0] for x in f])
    roots = np.roots(np.polyfit(f, 1 / b1, 2))
    pole = roots[np.argmin(np.abs(roots - 0.277))]
    f_pole, Q_pole = pole.real, pole.real / (2 * abs(pole.imag))
    fe = np.linspace(0.25, 0.30, 2001)
    f_ext = fe[np.argmax(miepython.efficiencies(m, 2 * radius, 1 / fe)[0])]
    r = object_resonances([vx.Sphere((0, 0, 0), radius, vx.Medium(12.0))], 0.22, 0.33, 12,
                          padding=0.5, decay_by=1e-5)
    assert r.converged and len(r.modes) >= 1
    k = int(np.argmax(np.abs(r.modes.amplitude)))
    fm, Q = r.modes.frequency[k], r.modes.Q[k]
    print(f"FDTD (r = 6 cells): f = {fm:.5f}, Q = {Q:.2f}; Mie b1 pole f = {f_pole:.5f} "
          f"({fm / f_pole - 1:+.2%}), Q = {Q_pole:.2f} ({Q / Q_pole - 1:+.1%}); extinction "
          f"peak {f_ext:.5f} ({fm / f_ext - 1:+.2%}); {r.stats.steps} steps")
    assert abs(fm / f_pole - 1) < 0.02 and abs(fm / f_ext - 1) < 0.015
    assert abs(Q / Q_pole - 1) < 0.1


@pytest.mark.slow
def test_fields_example_against_closed_forms(tmp_path):
    """examples/fields.py at small settings: the cavity's mode at its design
    frequency with the field piled up in the spacer, and the sphere's near
    field against Mie."""
    sys.path.insert(0, str(EXAMPLES))
    try:
        import fields as example
    finally:
        sys.path.remove(str(EXAMPLES))
    c, s = example.main(["--small", "--out", str(tmp_path)])
    centre = sum(l.thickness for l in example.cavity(3).layers) / 2
    assert abs(c["f"] - 1) < 0.01 and abs(c["peak_z"] - centre) < 0.2 and c["peak"] > 3
    assert s["rms"] < 0.04 and s["max"] < 0.15
    for p in (c["path"], s["path"]):
        assert Path(p).stat().st_size > 10000


def test_shipped_resonator_example_is_valid():
    from voxsim.config import load_scatter_job
    job = load_scatter_job(EXAMPLES / "sphere_resonator.json")
    assert job.fields == FieldRequest((0.2778,), axis=2, at=0.0) and job.padding == 0.5
