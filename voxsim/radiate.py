"""One point dipole among shapes in an open box: the power it radiates over
a band, time snapshots of the fields on a plane through it, and the |E|²
picture there at the band's centre; the job behind ``python -m voxsim
dipole DIPOLE.json --out DIR``.

The box is the one ``ldos`` uses: absorbing layers on all six faces, two
structure slices driven by the same dipole (slice 0 the background alone,
slice 1 with the shapes painted in order), shapes that reach the edge run
on through the layers. The dipole is a ``dipoles.PointDipole`` (electric
or magnetic, any orientation, anywhere: off-grid positions are spread
trilinearly). ``ratio`` = power with the shapes over power in the
background, both measured on the same lattice (its dispersion cancels),
and ``reference`` the closed-form background power.

Snapshots: the three electric components on the plane of cell nodes
nearest to the dipole across ``plane`` (x, y or z), every ``every`` steps
(default: eight per period of the band's centre), both slices
(``snapshots.Snapshots``). The picture: |E|² of the structure slice on
that plane at the centre frequency (a running DFT, ``fields.FieldDFT``),
with the shapes' outline.

DIPOLE.json:

| key | required | meaning |
|---|---|---|
| ``resolution`` | yes | cells per a |
| ``frequency`` | yes | ``{"min", "max", "count"}`` (c/a) |
| ``size`` | yes | [sx, sy, sz] (a): the domain around the origin, inside the layers |
| ``dipole`` | yes | ``{"position": [x, y, z], "orientation": [ox, oy, oz], "kind": "electric" or "magnetic"}`` (a; kind optional, electric) |
| ``shapes`` | no | the solids of OBJECT.json (sphere, box, cylinder) |
| ``background`` | no | MEDIUM, lossless (default vacuum) |
| ``snapshots`` | no | ``{"plane": "x", "y" or "z", "every": steps}`` (default z, eight per period) |
| ``courant``, ``max_time``, ``decay_by`` | no | as in STACK.json (decay_by default 1e-8) |
"""
from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Optional, Sequence

import numpy as np

from .boundaries import CPML
from .dipoles import PointDipole, vacuum_power
from .fields import FieldDFT
from .ldos import open_box
from .media import Medium
from .monitors import DFTClock
from .shapes import Shape
from .simulation import DecayProbe, RunStats, run
from .sources import waveform_steps
from .snapshots import Snapshots, intensity, plane_boxes
from .trust import NotConvergedWarning
from .units import InputError, require

CAP_PERIODS = 200     # safety cap: periods of the lowest frequency after the pulse
JOB_KEYS = {"resolution", "frequency", "size", "dipole", "shapes", "background", "snapshots",
            "courant", "max_time", "decay_by"}


@dataclass
class Radiation:
    """``power`` [2, NF]: background and structure slices (cell units, per
    unit moment squared), ``ratio`` [NF] their quotient, ``reference`` [NF]
    the closed form in the background; the snapshots, the |E|² picture's
    data (``picture``: (values, (x, y, z) in a) at ``picture_frequency``),
    the run's figures."""

    frequency: np.ndarray
    power: np.ndarray
    ratio: np.ndarray
    reference: np.ndarray
    snapshots: Snapshots
    picture: tuple
    picture_frequency: float
    outline: tuple
    converged: bool
    stats: RunStats

    def plot(self, path=None, title=None):
        """|E|² on the snapshot plane at the centre frequency, with the
        shapes' outline (logarithmic scale)."""
        from . import plot
        values, pts = self.picture
        title = title or f"|E|² at f = {self.picture_frequency:.4g} c/a"
        return plot.field(values, pts, quantity="abs", log=True, outline=self.outline,
                          path=path, title=title)


def radiate(shapes: Sequence[Shape], position, orientation, frequencies, resolution: float,
            size, *, kind: str = "electric", background: Medium = Medium(),
            plane: str = "z", every: Optional[int] = None, courant: float = 0.5,
            cpml: Optional[CPML] = None, decay_by: float = 1e-8,
            max_time: Optional[float] = None, smoothing: str = "subcell", device="cpu",
            progress: bool = False) -> Radiation:
    """The dipole at ``position`` (a) along ``orientation`` near `shapes`,
    in a domain of ``size`` (a) around the origin (see the module
    docstring): the ``model.Simulation`` of one ``ldos.Dipole`` with a
    ``model.SnapshotPlane``, run."""
    return simulation(shapes, position, orientation, frequencies, resolution, size, kind=kind,
                      background=background, plane=plane, every=every, courant=courant,
                      cpml=cpml, decay_by=decay_by, max_time=max_time,
                      smoothing=smoothing).run(device=device, progress=progress)


def simulation(shapes, position, orientation, frequencies, resolution, size, *,
               kind="electric", background=Medium(), plane="z", every=None, courant=0.5,
               cpml=None, decay_by=1e-8, max_time=None, smoothing="subcell"):
    """The problem of ``radiate`` as a ``model.Simulation`` (checked)."""
    from .ldos import Dipole
    from .model import Scene, Simulation, SnapshotPlane
    try:
        dipole = Dipole(position, orientation, kind)
    except InputError as e:
        raise e.under("dipole") from None
    try:
        snaps = SnapshotPlane(plane, every)
    except InputError as e:
        raise e.under("snapshots") from None
    return Simulation(Scene(list(shapes), background, size=size), frequencies, resolution,
                      [dipole], courant=courant, cpml=cpml, smoothing=smoothing,
                      decay_by=decay_by, max_time=max_time, monitors=[snaps])


def run_radiation(sim, *, device="cpu", progress: bool = False) -> Radiation:
    """``radiate`` of a validated ``model.Simulation``."""
    from .reflectance import default_waveform
    scene, f, units, d = sim.structures, sim.frequencies, sim.units, sim.sources[0]
    shapes, background, size, cpml = list(scene.shapes), scene.background, sim.size, sim.cpml
    position, orientation, kind = d.position, d.orientation, d.kind
    plane, every = sim.snapshots.plane, sim.snapshots.every
    decay_by, max_time, smoothing = sim.decay_by, sim.max_time, sim.modes[0]
    grid, frame, media = open_box(shapes, f, units, size, 1, background, cpml, smoothing, device)
    shape, origin = grid.shape, frame.origin

    waveform = default_waveform(f)
    dipole = PointDipole(grid, waveform, position, orientation, kind=kind, origin=origin)
    a = "xyz".index(plane)
    index = int(round(dipole.u[a]))
    fc = float(np.mean(f))
    if every is None:
        every = max(1, round(1 / (8 * fc * units.dt_a)))
    snaps = Snapshots(grid, plane_boxes(grid, a, index), every=int(every), origin=origin)
    dft = FieldDFT(grid, DFTClock([fc], units, grid.device), plane_boxes(grid, a, index),
                   halves=1)

    src_steps = waveform_steps(waveform, units)
    n_max = max(float(np.abs(m.index(f)).max()) for m in media)
    transit = int(2 * max(shape) * n_max / units.dt)
    cap = src_steps + transit + units.steps(CAP_PERIODS / float(f.min()))
    max_steps = units.steps(max_time) if max_time is not None else cap
    probe = DecayProbe(decay_by, check_every=100, planes=[int(round(dipole.u[2]))],
                       after_step=min(src_steps, max_steps) + transit // 2,
                       quiet_from=src_steps,
                       label=lambda s, m: "the background" if m == 0 else "the structure",
                       quarter=round(0.25 / (fc * units.dt_a)))
    stats = run(grid, [dipole], [dipole, snaps, dft], max_steps, probe, progress,
                desc="voxsim dipole")
    if stats.stopped_by == "max_steps" and max_time is None:
        stats.stopped_by = "cap"
    P = dipole.power(f, stats.steps)[0]                                  # [2, NF]
    n_bg = math.sqrt(background.eps)
    ref = vacuum_power(f, units.resolution, n_bg, kind)
    converged = bool(stats.converged is not None and stats.converged.all())
    if not converged:
        warnings.warn(f"the run stopped at {stats.steps * units.dt_a:.4g} a/c before the fields "
                      f"at the dipole decayed (decay_by {decay_by:.2g}); the powers may be wrong "
                      f"(raise max_time)", NotConvergedWarning, stacklevel=3)
    fields = dft.fields()
    comps = {}
    for name in ("Ex", "Ey", "Ez"):
        xyz = [(c - o) / units.resolution for c, o in zip(dft.coordinates(name), origin)]
        comps[name] = (fields[name][0, 1, ..., 0].cpu(), xyz)
    values, pts = intensity(comps)
    keep = [np.abs(x) <= 0.5 * L + 1e-9 for x, L in zip(pts, size)]   # inside the layers
    keep[a] = np.ones(len(pts[a]), dtype=bool)
    picture = (values[np.ix_(*keep)], [x[k] for x, k in zip(pts, keep)])
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = P[1] / P[0]
    from .plot import outline
    return Radiation(f, P, ratio, ref, snaps, picture, fc,
                     outline(grid, a, index, m=1, origin=origin), converged, stats)


def parse_dipole_job(data) -> dict:
    """Validate a decoded DIPOLE.json: the arguments of ``radiate`` and, in
    ``simulation``, the checked ``model.Simulation`` (nothing runs). The
    JSON's shape is checked here, the values by the model."""
    from .config import BAND_KEYS, _object, parse_band, parse_medium, parse_solid, parse_stop
    d = _object(data, "", JOB_KEYS | BAND_KEYS, ("resolution", "size", "dipole"))
    freqs, _ = parse_band(d)
    f_ref = 0.5 * float(freqs[0] + freqs[-1])
    max_time, decay_by = parse_stop(d, 1e-8)
    dp = _object(d["dipole"], "dipole", {"position", "orientation", "kind"},
                 ("position", "orientation"))
    for k in ("position", "orientation"):
        require(isinstance(dp[k], list) and len(dp[k]) == 3, f"dipole.{k}",
                "must be a list of three numbers")
    background = (parse_medium(d["background"], "background", f_ref) if "background" in d
                  else Medium())
    shapes = d.get("shapes", [])
    require(isinstance(shapes, list), "shapes", "must be a list")
    shapes = [parse_solid(sh, f"shapes[{i}]", f_ref) for i, sh in enumerate(shapes)]
    sn = _object(d.get("snapshots", {}), "snapshots", {"plane", "every"})
    job = dict(shapes=shapes, position=dp["position"], orientation=dp["orientation"],
               frequencies=freqs, resolution=d["resolution"], size=d["size"],
               kind=dp.get("kind", "electric"), background=background,
               plane=sn.get("plane", "z"), every=sn.get("every"), courant=d.get("courant", 0.5),
               decay_by=decay_by, max_time=max_time)
    sim = simulation(**job)
    dipole = sim.sources[0]
    job.update(position=list(dipole.position), orientation=list(dipole.orientation),
               size=sim.size, resolution=sim.units.resolution, courant=sim.units.courant,
               simulation=sim)
    return job
