"""Point dipoles (``voxsim.dipoles``), extended and magnetic current blocks
(``sources.CurrentSource``), and time snapshots with their pictures
(``voxsim.snapshots``, ``voxsim.plot``): radiated powers against the closed
forms, independence of the sub-cell offset and of the orientation's
split, the Bloch copies of a dipole on a periodic face, a continuous wave's
steady state against the pulse's spectrum, duality of magnetic and
electric sheets, and a pulse's travel seen in snapshots."""
import math

import numpy as np
import pytest
import torch

import voxsim as vx
from voxsim import plot
from voxsim.boundaries import CPML
from voxsim.dipoles import PointDipole, vacuum_power
from voxsim.materials import COMPONENTS, MaterialGrid
from voxsim.monitors import DFTClock, FluxPlane
from voxsim.simulation import DecayProbe, Grid, MediumTable, run, uniform_grid
from voxsim.snapshots import Snapshots, intensity, load, on_points, plane_boxes
from voxsim.sources import ContinuousWave, CurrentSource, GaussianPulse

RES = 10                         # cells per a
F = np.linspace(0.3, 0.45, 4)    # c/a: 14 to 22 cells per wavelength
PULSE = GaussianPulse(0.375, 0.15)
CENTRE = (18, 18, 18)            # cells: the origin of the dipoles' positions
S2 = 1 / math.sqrt(2)


def report(label, measured, exact):
    err = np.asarray(measured) / np.asarray(exact) - 1
    print(f"{label}: max |error| {np.abs(err).max():.4f}  ({np.array2string(err, precision=4)})")
    return float(np.abs(err).max())


def box_grid(NS=1, inner=20, layers=8, periodic=False, kx=None, channels=1, eps_block=None,
             device="cpu"):
    """A vacuum grid: open (absorbing layers on all faces) or periodic in
    x and y with absorbing layers on z; ``eps_block`` = (slices, eps)
    paints a dielectric block."""
    units = vx.Units(RES)
    table = MediumTable()
    table.add(vx.Medium())
    if periodic:
        shape = (inner + 1, inner + 1, 40)
    else:
        shape = (inner + 2 * layers,) * 3
    mats = MaterialGrid(shape, 1, device)
    if eps_block is not None:
        table.add(vx.Medium(eps_block[1]))
        for c in COMPONENTS:
            mats.comp[c].id_map[(0, *eps_block[0])] = 1
            mats.comp[c].prev_id_map[(0, *eps_block[0])] = 1
    t = table.tables(units, device)
    mats.coefficients(t["perm"], t["cond"])
    return Grid(units, shape, NS, mats, t, CPML(thickness=layers), (periodic, periodic), kx,
                device, absorbing=(not periodic, not periodic, True), channels=channels)


# one batched open-box run, one dipole per excitation: (kind, position in a
# from CENTRE, orientation)
OPEN = {
    "electric on its sample": ("electric", (0, 0, 0.05), (0, 0, 1)),
    "electric off-grid a": ("electric", (0.031, 0.047, 0.012), (0, 0, 1)),
    "electric off-grid b": ("electric", (0.066, 0.018, 0.083), (0, 0, 1)),
    "electric along x": ("electric", (0.031, 0.047, 0.012), (1, 0, 0)),
    "electric along (1,1,0)/sqrt2": ("electric", (0.031, 0.047, 0.012), (S2, S2, 0)),
    "magnetic on its sample": ("magnetic", (0.05, 0.05, 0), (0, 0, 1)),
    "magnetic off-grid": ("magnetic", (0.066, 0.018, 0.083), (0, 0, 1)),
    "magnetic along (1,1,0)/sqrt2": ("magnetic", (0.031, 0.047, 0.012), (S2, S2, 0)),
}


@pytest.fixture(scope="module")
def open_powers():
    grid = box_grid(NS=len(OPEN))
    dipoles = [PointDipole(grid, PULSE, p, o, kind=k, origin=CENTRE, excitation=s)
               for s, (k, p, o) in enumerate(OPEN.values())]
    stats = run(grid, dipoles, dipoles, 4000, DecayProbe(1e-6, check_every=100, after_step=600))
    print(f"\n{stats.steps} steps, {stats.seconds:.1f} s, stopped by {stats.stopped_by}")
    assert stats.stopped_by == "decay"
    return {name: d.power(F, stats.steps)[s, 0] for s, (name, d) in enumerate(zip(OPEN, dipoles))}


def test_dipole_power_against_closed_forms(open_powers):
    """Electric and magnetic dipoles in vacuum, on their own samples and
    off the grid, radiate k²|Il|²/(12π) (Z0 = 1; duality gives the
    magnetic one the same) within the lattice's dispersion."""
    ref = vacuum_power(F, RES)
    assert np.allclose(ref, vacuum_power(F, RES, kind="magnetic"))
    worst = max(report(name, P, ref) for name, P in open_powers.items())
    assert worst < 0.02


def test_off_grid_and_orientation(open_powers):
    """The trilinear spreading keeps the power: off-grid dipoles match the
    one on its sample and each other, whatever the offset; a dipole along
    (1,1,0)/sqrt2 radiates what one along x does; the magnetic dipole's
    offset and orientation do not matter either."""
    P = open_powers
    on = P["electric on its sample"]
    assert report("electric off-grid a vs on-grid", P["electric off-grid a"], on) < 0.02
    assert report("electric off-grid b vs on-grid", P["electric off-grid b"], on) < 0.02
    assert report("offset a vs offset b", P["electric off-grid a"], P["electric off-grid b"]) < 0.01
    assert report("(1,1,0)/sqrt2 vs x", P["electric along (1,1,0)/sqrt2"],
                  P["electric along x"]) < 0.005
    m = P["magnetic on its sample"]
    assert report("magnetic off-grid vs on its sample", P["magnetic off-grid"], m) < 0.02
    assert report("magnetic (1,1,0)/sqrt2 vs on its sample",
                  P["magnetic along (1,1,0)/sqrt2"], m) < 0.02


def test_dipole_power_in_a_dielectric():
    """In ε = 2.25 (n = 1.5, the box and its layers filled) a dipole of
    fixed moment radiates n times its vacuum power when electric and n³
    times when magnetic (Z = Z0/n: P_e = Z·k²|Il|²/12π, P_m = k²|Kl|²/(12π·Z)),
    off the grid."""
    grid = box_grid(NS=2, inner=16, eps_block=((slice(None),) * 3, 2.25))
    dipoles = [PointDipole(grid, PULSE, (0.031, 0.047, 0.012), (0, 0, 1), kind=k,
                           origin=(16, 16, 16), excitation=s)
               for s, k in enumerate(("electric", "magnetic"))]
    stats = run(grid, dipoles, dipoles, 4000, DecayProbe(1e-6, check_every=100, after_step=600))
    assert stats.stopped_by == "decay"
    for s, d in enumerate(dipoles):
        exact = vacuum_power(F, RES, 1.5, d.kind)
        assert report(f"{d.kind} dipole in eps 2.25", d.power(F, stats.steps)[s, 0], exact) < 0.03


@pytest.mark.parametrize("kx", [0.0, 0.1], ids=["periodic", "Bloch"])
def test_dipole_across_a_periodic_face(kx, device):
    """A lattice of dipoles is translation invariant: a dipole whose
    samples straddle the periodic faces in x and y (wrapped, with its
    copies on both ghost planes and the Bloch factor) radiates exactly
    what the same dipole well inside does, electric and magnetic, with
    the fields of all three components."""
    L = 8
    grid = box_grid(NS=4, inner=L, periodic=True, kx=np.full(4, kx), channels=2, device=device)
    edge, inside = (0.3, 7.6, 20.2), (4.3, 3.6, 20.2)
    o = (1.0, 0.5, 0.7)
    dipoles = [PointDipole(grid, PULSE, np.array(u) / RES, o, kind=k, excitation=s)
               for s, (k, u) in enumerate([("electric", edge), ("electric", inside),
                                           ("magnetic", edge), ("magnetic", inside)])]
    stats = run(grid, dipoles, dipoles, 500)
    P = [d.power(F, stats.steps)[s, 0] for s, d in enumerate(dipoles)]
    assert all(np.all(p > 0) for p in P)
    assert report(f"electric across the faces, kx {kx}", P[0], P[1]) < 1e-4
    assert report(f"magnetic across the faces, kx {kx}", P[2], P[3]) < 1e-4


def test_continuous_wave_reaches_the_pulse_power(open_powers):
    """A continuous-wave dipole settles to a steady amplitude, and the power
    it then gives the fields (the mean of −J·Ē over whole periods) is
    what the pulse's spectrum says at that frequency."""
    f = float(F[2])
    grid = box_grid()
    name = "electric on its sample"
    _, p, o = OPEN[name]
    cw = ContinuousWave(f, ramp=5.0)
    d = PointDipole(grid, cw, p, o, origin=CENTRE)
    steps = 800
    run(grid, [d], [d], steps)
    period = round(1 / (f * grid.units.dt_a))          # 50 steps
    e = d.samples(steps)[:, 2, 0, 0].real               # Ez at the dipole, E(n + 1)
    mean = 0.5 * (e + np.concatenate([[0.0], e[:-1]]))  # at (n + ½)·dt
    g = cw(np.arange(1, steps + 1) * grid.units.dt_a)
    late = slice(steps - 8 * period, steps)
    peaks = np.abs(e[late]).reshape(8, period).max(axis=1)
    print(f"\nCW amplitude over the last 8 periods: {np.array2string(peaks, precision=5)}")
    assert peaks.max() / peaks.min() - 1 < 0.005
    P_cw = float(np.mean(-g[late] * mean[late]))
    assert report(f"CW power vs the pulse's at f = {f}", P_cw, open_powers[name][2]) < 0.01


def test_magnetic_sheet_is_dual_to_the_electric_one():
    """A sheet of magnetic current M_x given as a [3, 2, 2, 1] block on the
    magnetic side radiates the same flux both ways as a sheet of J_y of the
    same strength (duality, Z0 = 1)."""
    units = vx.Units(40)
    f = np.linspace(0.8, 1.2, 5)
    flux = []
    for magnetic in (False, True):
        grid = uniform_grid(units, (2, 2, 80), 1, vx.Medium(), CPML(), np.zeros(1), "cpu")
        block = np.zeros((3, 2, 2, 1))
        block[0 if magnetic else 1] = 1.0
        src = CurrentSource(grid, GaussianPulse(1.0, 0.3), (0, 0, 40), amplitude=block,
                            magnetic=magnetic)
        clock = DFTClock(f, units, "cpu")
        up, down = FluxPlane(grid, 55, clock), FluxPlane(grid, 25, clock)
        run(grid, [src], [up, down], 4000, DecayProbe(after_step=400))
        flux.append((up.flux()[0, 0], -down.flux()[0, 0]))
    (eu, ed), (mu, md) = flux
    assert np.all(eu > 0)
    assert report("magnetic sheet up vs down", mu, md) < 1e-3
    assert report("magnetic sheet vs electric sheet", mu, eu) < 1e-3


def test_refused_placements_and_blocks():
    grid = box_grid()
    with pytest.raises(vx.InputError, match="position"):       # in the absorbing layers
        PointDipole(grid, PULSE, (0, 0, 1.3), origin=CENTRE)
    with pytest.raises(vx.InputError, match="orientation"):
        PointDipole(grid, PULSE, (0, 0, 0), (0, 0, 0), origin=CENTRE)
    with pytest.raises(vx.InputError, match="orientation"):    # no imaginary half here
        PointDipole(grid, PULSE, (0, 0, 0), (0, 1j, 0), origin=CENTRE)
    with pytest.raises(vx.InputError, match="kind"):
        PointDipole(grid, PULSE, (0, 0, 0), kind="electrical", origin=CENTRE)
    with pytest.raises(vx.InputError, match="size"):
        CurrentSource(grid, PULSE, (3, 3, 3), (2, 2, 2), amplitude=np.ones((3, 2, 2, 1)))
    with pytest.raises(vx.InputError, match="position: the box"):
        CurrentSource(grid, PULSE, (38, 3, 3), (4, 1, 1))


def test_snapshots_follow_a_pulse_and_draw(tmp_path):
    """Snapshots of a current sheet's pulse in a column: the centre of E_y²
    moves at the lattice's group velocity between snapshots (their times
    and positions agree with the physics); the frames survive the .npz; |E|² comes onto the
    plane's nodes; the picture is drawn with the block's outline."""
    units = vx.Units(20)
    n = 1.5
    grid = uniform_grid(units, (2, 2, 200), 1, vx.Medium(n * n), CPML(), np.zeros(1), "cpu")
    src = CurrentSource(grid, GaussianPulse(1.0, 0.5), (0, 0, 40), (2, 2, 1), (0, 1, 0))
    snap = Snapshots(grid, {"Ey": ((1, 2), (1, 2), (0, 200)), "Hx": ((1, 2), (1, 2), (0, 200))},
                     every=60, first=199, origin=(0, 0, 40))
    run(grid, [src], [snap], 320)
    assert snap.steps == [199, 259, 319]
    ey = snap.frames("Ey")[:, 0, 0, 0, 0].numpy()               # [T, z]
    z = snap.coordinates("Ey")[2]
    t = snap.times("Ey")
    up = z > 0.5                                                 # the wave going up
    centre = [float(np.sum(z[up] * row[up] ** 2) / np.sum(row[up] ** 2)) for row in ey]
    speed = (centre[2] - centre[0]) / (t[2] - t[0])
    # the lattice's group velocity at the carrier (1-D Yee in a medium:
    # n·sin(ω·dt/2)/dt = sin(k/2), cells), 3 % below c/n at 13 cells per λ
    w, dt = units.omega(1.0), units.dt
    k = 2 * math.asin(n * math.sin(w * dt / 2) / dt)
    vg = math.cos(k / 2) / (n * math.cos(w * dt / 2))
    print(f"\npulse centre at z = {np.round(centre, 4)} a, speed {speed:.4f} c "
          f"(the lattice's group velocity {vg:.4f} c, c/n = {1 / n:.4f})")
    assert abs(speed / vg - 1) < 0.01
    assert np.allclose(snap.times("Hx") - t, -0.5 * units.dt_a)

    path = tmp_path / "snap.npz"
    snap.save(path)
    back = load(path)
    assert np.array_equal(back["Ey"][0], snap.frames("Ey").numpy())
    assert np.array_equal(back["Hx"][2], snap.times("Hx"))

    # linear fields come onto other points exactly
    x, y, zz = [np.array([0.5, 1.5, 2.5])] * 3
    lin = x[:, None, None] + 2 * y[None, :, None] - zz[None, None, :]
    q = [np.array([0.7, 2.0]), np.array([1.0]), np.array([0.5, 2.5])]
    want = q[0][:, None, None] + 2 * q[1][None, :, None] - q[2][None, None, :]
    assert np.allclose(on_points(lin, (x, y, zz), q), want)

    grid = box_grid(inner=12, eps_block=((slice(18, 22), slice(8, 20), slice(None)), 4.0))
    centre = (14, 14, 14)
    d = PointDipole(grid, PULSE, (0, 0, 0.05), origin=(11, 14, 14))
    snap = Snapshots(grid, plane_boxes(grid, "z", 14), every=50, origin=centre)
    run(grid, [d], [snap], 100)
    I, pts = intensity({c: (snap.frame(c), snap.coordinates(c)) for c in ("Ex", "Ey", "Ez")})
    assert I.shape == (28, 28, 1) and np.allclose(pts[2], 0.0) and I.max() > 0
    ax = plot.field(I, pts, quantity="abs2", log=True, path=tmp_path / "E2.png",
                    outline=plot.outline(grid, "z", 14, origin=centre))
    assert (tmp_path / "E2.png").stat().st_size > 0 and len(ax.collections) >= 2
    plot.field(snap.frame("Ez"), snap.coordinates("Ez"), at=("z", 0.0),
                  path=tmp_path / "Ez.png")
    assert (tmp_path / "Ez.png").stat().st_size > 0


def test_dipole_command(tmp_path, capsys):
    """``python -m voxsim dipole``: a bad file is refused with one line and
    exit 2; a run cut short writes power.json (the two slices agree without
    shapes), snapshots.npz and field.png, and exits 3."""
    import json

    from voxsim.cli import main
    job = {"resolution": 10, "frequency": {"min": 0.3, "max": 0.45, "count": 3},
           "size": [0.8, 0.8, 0.8], "max_time": 4.0,
           "dipole": {"position": [0.03, 0.05, 0.01], "orientation": [1, 0, 1],
                      "kind": "magnetic"},
           "snapshots": {"plane": "y", "every": 10}}
    bad = dict(job, dipole={"position": [0, 0], "orientation": [0, 0, 1]})
    for name, data in (("bad.json", bad), ("job.json", job)):
        (tmp_path / name).write_text(json.dumps(data))
    assert main(["dipole", str(tmp_path / "bad.json"), "--out", str(tmp_path / "x")]) == 2
    assert capsys.readouterr().err.strip() == ("error: dipole.position: must be a list of "
                                               "three numbers")
    out = tmp_path / "out"
    code = main(["dipole", str(tmp_path / "job.json"), "--out", str(out), "--quiet"])
    assert code == 3 and "before the fields" in capsys.readouterr().err
    res = json.loads((out / "power.json").read_text())
    assert res["converged"] is False and res["ratio"] == [1.0, 1.0, 1.0]
    snaps = load(out / "snapshots.npz")
    frames, (x, y, z), t = snaps["Ey"]
    assert frames.shape[:3] == (8, 1, 2) and frames.shape[4] == 2 and len(t) == 8
    assert (out / "field.png").stat().st_size > 0
