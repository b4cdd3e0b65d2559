"""voxsim descriptions without time stepping: the media's coefficient
tables against the analytic permittivity, the refusals, the CPML profiles
and the material pipeline's averaging."""
import math

import numpy as np
import pytest
import torch

import voxsim as vx
from voxsim.boundaries import CPML
from voxsim.materials import MaterialGrid, Slab
from voxsim.shapes import Circle, Pattern
from voxsim.units import to_frequency

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


def test_complex_index_holds_at_its_frequency():
    m = vx.Medium.from_index(2.0, 0.1, 0.8)
    assert m.epsilon(0.8) == pytest.approx((2.0 + 0.1j) ** 2, rel=1e-14)
    assert m.epsilon(1.6).imag == pytest.approx(m.epsilon(0.8).imag / 2)   # a conductivity
    assert vx.Medium.from_index(1.5) == vx.Medium(2.25)


STACK = vx.Stack([vx.Layer(0.2, vx.Medium(4.0))])
GRATED = vx.Stack([vx.Layer(0.2, Pattern(vx.Medium(4.0), [Circle([0.5, 0.5], 0.2, vx.Medium(1.0))]))],
                  period=(1.0, 1.0))
SCENE = vx.Scene([vx.Sphere((0, 0, 0), 0.2, vx.Medium(4.0))])
wave = lambda angle, fc=1.0: vx.PlaneWave(vx.GaussianPulse(fc, 0.2), "p", angle)

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
    ("k above n", lambda: vx.Medium.from_index(1.0, 2.0, 1.0), "medium.k", "Drude"),
    ("k without a frequency", lambda: vx.Medium.from_index(2.0, 0.1), "medium.k", "frequency"),
    ("wavelength without a length unit", lambda: to_frequency([1.0], "wavelength"), "band",
     "length_unit"),
    ("unknown length unit", lambda: to_frequency([1.0], "energy_eV", "in"), "length_unit",
     "one of"),
    # the problem model: the checks the Python API and the JSON front end share
    ("no structure", lambda: vx.Simulation([], F, 40), "structures", "at least one"),
    ("not a stack", lambda: vx.Simulation([STACK, vx.Medium(2)], F, 40), "structures[1]",
     "must be a Stack"),
    ("bad frequencies", lambda: vx.Simulation(STACK, [0.5, -1], 40), "frequency", "positive"),
    ("too coarse", lambda: vx.Simulation(STACK, F, 8), "resolution", "cells per a"),
    ("not a plane wave", lambda: vx.Simulation(STACK, F, 40, [wave(0), "p"]), "sources[1]",
     "PlaneWave"),
    ("below cut-off", lambda: vx.Simulation(STACK, [0.5, 0.6], 40, [wave(0), wave(70, 2.0)]),
     "sources[1].angle_deg", "below the cut-off"),
    ("period of 20.2 cells", lambda: vx.Simulation(GRATED, [0.3, 0.5], 20.2), "period[0]", "whole number"),
    ("smoothing per stack", lambda: vx.Simulation([STACK] * 2, F, 40, smoothing=["average"]),
     "smoothing", "1 modes given for 2 stacks"),
    ("negative steps", lambda: vx.Simulation(STACK, F, 40, steps=-3), "steps", "positive"),
    ("fields over two batches", lambda: vx.Simulation([STACK, GRATED], F, 40, fields=object()),
     "fields", "one batch only"),
    ("two waves on a scene", lambda: vx.Simulation(SCENE, F, 40, [vx.TFSF(), vx.TFSF("y")]),
     "sources", "one TFSF"),
    ("TFSF along z", lambda: vx.TFSF("z"), "polarization", "\"x\" or \"y\""),
    ("lossy scene background", lambda: vx.Simulation(vx.Scene([], vx.Medium(2, 0.1)), F, 40),
     "background", "lossless"),
    ("scene padding", lambda: vx.Simulation(vx.Scene([], padding=-1), F, 40), "padding",
     "negative"),
    ("dipoles without a domain", lambda: vx.Simulation(vx.Scene(), F, 20, [vx.Dipole()]), "size",
     "domain"),
    ("flat domain", lambda: vx.Simulation(vx.Scene(size=[1, 1, 0]), F, 20, [vx.Dipole()]),
     "size[2]", "positive"),
    ("a dipole and a wave", lambda: vx.Simulation(SCENE, F, 40, [vx.Dipole(), vx.TFSF()]),
     "sources", "one TFSF plane wave, or dipoles"),
    # boundaries: what the model cannot run is refused by name
    ("boundaries not a mapping", lambda: vx.Simulation(STACK, F, 40, boundaries="x"),
     "boundaries", "must map axes"),
    ("no such axis", lambda: vx.Simulation(STACK, F, 40, boundaries={"w": "periodic"}),
     "boundaries.w", "not an axis"),
    ("no such face kind", lambda: vx.Simulation(STACK, F, 40, boundaries={"x": "pec"}),
     "boundaries.x", "one of"),
    ("stack open in x", lambda: vx.Simulation(STACK, F, 40, boundaries={"x": "absorbing"}),
     "boundaries.x", "Scene"),
    ("stack periodic in z", lambda: vx.Simulation(STACK, F, 40, boundaries={"z": "periodic"}),
     "boundaries.z", "absorbing z faces"),
    ("Bloch in y", lambda: vx.Simulation(STACK, F, 40, boundaries={"y": vx.Bloch(1.0)}),
     "boundaries.y", "x-z plane"),
    ("periodic under an oblique wave",
     lambda: vx.Simulation(STACK, F, 40, [wave(0), wave(20)], boundaries={"x": "periodic"}),
     "boundaries.x", "sources[1] is at 20 deg"),
    ("wave off the fixed Bloch k",
     lambda: vx.Simulation(STACK, F, 40, [wave(30)], boundaries={"x": vx.Bloch(3.0)}),
     "sources[0]", "3.14159 rad/a"),
    ("run without a wave at a fixed k",
     lambda: vx.Simulation(STACK, F, 40, boundaries={"x": vx.Bloch(3.0)}).run(), "sources",
     "resonances"),
    ("periodic scene", lambda: vx.Simulation(SCENE, F, 40, boundaries={"y": "periodic"}),
     "boundaries.y", "patterned layer"),
    ("probe above the stack",
     lambda: vx.Simulation(STACK, F, 40, monitors=[vx.Probe((0, 0, 0.3))]),
     "monitors[0].position[2]", "inside the structure"),
    ("probe in a run", lambda: vx.Simulation(STACK, F, 40, monitors=[vx.Probe((0, 0, 0.1))]).run(),
     "monitors[0]", "mode search"),
    ("probe off the object", lambda: vx.Simulation(SCENE, F, 40, monitors=[vx.Probe((2, 0, 0))]),
     "monitors[0].position[0]", "padding"),
    ("not a monitor", lambda: vx.Simulation(STACK, F, 40, monitors=["Ex"]), "monitors[0]",
     "a SnapshotPlane or a fields.FieldRequest"),
    ("snapshots of a stack", lambda: vx.Simulation(STACK, F, 40, monitors=[vx.SnapshotPlane()]),
     "monitors", "follows a dipole"),
    ("snapshots of two dipoles",
     lambda: vx.Simulation(vx.Scene(size=[1, 1, 1]), F, 20, [vx.Dipole(), vx.Dipole()],
                           monitors=[vx.SnapshotPlane()]), "sources", "one dipole"),
    ("snapshot plane", lambda: vx.SnapshotPlane("w"), "plane", "x, y or z"),
    ("magnetic dipoles' power",
     lambda: vx.Simulation(vx.Scene(size=[1, 1, 1]), F, 20, [vx.Dipole(kind="magnetic")]),
     "sources[0].kind", "alone with a SnapshotPlane"),
    ("s/p of an object", lambda: vx.Simulation(SCENE, [0.4, 0.6], 40).resonances(polarization="s"),
     "polarization", "stack's"),
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


def test_json_and_python_refuse_alike():
    """The JSON front end builds the same model: its refusal is the
    model's, with the same field and message."""
    from voxsim.config import parse_job
    job = {"resolution": 20.2, "frequency": {"min": 0.3, "max": 0.5, "count": 2},
           "incident": {"eps": 1}, "period": [1, 1], "angle_deg": 10,
           "layers": [{"thickness": 0.2, "pattern": {"background": {"eps": 4}, "shapes": [
               {"kind": "circle", "center": [0.5, 0.5], "radius": 0.2, "medium": {"eps": 1}}]}}]}
    with pytest.raises(vx.InputError) as js:
        parse_job(job)
    with pytest.raises(vx.InputError) as py:
        vx.Simulation(GRATED, [0.3, 0.5], 20.2)
    assert js.value.field == py.value.field == "period[0]"
    assert js.value.message == py.value.message
    sim = parse_job({**job, "resolution": 20}).simulation
    assert sim.boundaries == {"x": "bloch", "y": "periodic", "z": "absorbing"}
    fixed = parse_job({**job, "resolution": 20, "angle_deg": 0, "boundaries": {"x": {"bloch": 0}}})
    assert fixed.simulation.boundaries["x"] == vx.Bloch(0.0) and fixed.simulation.bloch_k == 0
    no_angle = {key: v for key, v in job.items() if key != "angle_deg"}
    k = parse_job({**no_angle, "resolution": 20, "boundaries": {"x": {"bloch": 2.5}}}).simulation
    assert k.bloch_k == 2.5 and k.sources == []          # the resonance search's job
    with pytest.raises(vx.InputError, match="^angle_deg: its in-plane wavevector 0.436"):
        parse_job({**job, "resolution": 20, "boundaries": {"x": {"bloch": 2.5}}})

    assert [s.angle_deg for s in sim.sources] == [10]
    scene = vx.Simulation(SCENE, F, 40)
    assert scene.boundaries == dict.fromkeys("xyz", "absorbing")
    assert scene.modes == ["staircase"] and scene.padding > 0


def test_plan_places_the_monitors_without_running():
    """The flux planes of a stack straddle it (reflection behind the
    source); a scene's absorption box sits inside the TFSF box, the
    scattering box outside; user probes and dipoles are listed where put."""
    sim = vx.Simulation(STACK, F, 40, monitors=[vx.Probe((0.1, 0.2, 0.1))])
    (g,) = sim.plan()
    at = {m.get("name", m["kind"]): m.get("at") for m in g["monitors"]}
    assert at["reflection"] < at["source plane"] < 0 < STACK.thickness < at["transmission"]
    assert at["time probe"] == [0.1, 0.2, 0.1] and g["cells"][:2] == [2, 2]  # one cell, periodic
    (b,) = vx.Simulation(SCENE, F, 40).plan()
    box = {m.get("name", m["kind"]): np.array(m["box"]) for m in b["monitors"]}
    r = SCENE.shapes[0].radius
    assert np.all(box["absorption"][:, 0] < -r) and np.all(box["absorption"][:, 1] > r)
    for inner, outer in (("absorption", "TFSF box"), ("TFSF box", "scattering")):
        assert np.all(box[outer][:, 0] < box[inner][:, 0])
        assert np.all(box[outer][:, 1] > box[inner][:, 1])
    (d,) = vx.Simulation(vx.Scene(size=[1, 1, 1]), F, 20, [vx.Dipole((0.1, 0, 0))],
                         monitors=[vx.SnapshotPlane("y")]).plan()
    assert d["cells"] == [44] * 3 and d["monitors"][0]["at"] == [0.1, 0, 0]
