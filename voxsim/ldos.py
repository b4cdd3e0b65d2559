"""Local density of states: the power a point electric dipole radiates in a
structure, over the same dipole in the homogeneous background (the Purcell
factor), over a band, in one run: ``dipole_power(shapes, dipoles,
frequencies, resolution, size)`` returns a ``DipolePower``.

The grid holds two structure slices driven by the same source: slice 0 is
the background alone, slice 1 the background with the shapes. It is open:
absorbing layers on all six faces (as for isolated objects); a shape that
reaches the edge of the domain goes on through the layers, so a mirror or a
substrate is a half-space.

The dipole. Each excitation (the grid's excitation axis) is one dipole: a
position (a) and an orientation (Dx, Dy, Dz). Component c is a current at
the electric sample of c nearest to the position (Ex sits at (i + ½, j, k),
Ey at (i, j + ½, k), Ez at (i, j, k + ½)), of moment D_c·g(t)·(cell volume),
g the pulse. The kernels' current enters as E ← E − J after the update's
division by the sample's ε + σ·dt/2 (``den``), so the value injected is
dt·J/den: the physical current is the same in both slices whatever the
medium at the source (a dipole of fixed current; its power in a medium of
index n is n times that in vacuum). A tie between two samples goes to the
higher index; ``DipolePower.samples`` says where each component went.

The power. Multiplying the electric update by (E(n) + E(n + 1))/2 shows
that the current of step n, which acts between E(n) and E(n + 1), does the
work −J(n)·(E(n) + E(n + 1))/2·dt on the discrete fields; the field's own
energy changes by the rest. So the emitted power is measured at the source
samples themselves, with that exact staggering: Ê(f) is the DFT of the
two-step mean of E and Ĵ(f) that of J, both at t = (n + ½)·dt, and
P(f) = −½·Re Σ Ê·Ĵ* over the source samples. A flux box around the dipole
would see the same power only up to its quadrature error in the steep
near field, and would cut through the structure (a mirror) wherever the
dipole is near one; the source-point form needs no room and is exact for
the discrete scheme. The reactive (imaginary) part of Ê·Ĵ* is the
lattice's self-field and is dropped.

Closed forms for the checks: a dipole of fixed current radiates
P0 = Z·k²·|Il|²/(12π) (peak amplitudes) in a medium of index n, Z = Z0/n,
k = n·k0, so P ∝ n; above a perfect mirror at height d, with x = 2kd,
P⊥/P0 = 1 + 3(sin x/x³ − cos x/x²) and
P∥/P0 = 1 − (3/2)(sin x/x + cos x/x² − sin x/x³) (the image dipole's field
at the source: equal for ⊥, opposite for ∥).

The run stops by the package's decay check on the dipoles' z planes
(``simulation.DecayProbe``): a run cut short warns
(``NotConvergedWarning``) and returns ``converged`` False; diverging fields
raise ``DivergenceError``. The fields at the source samples are copied into
a device buffer every step; nothing is read back until the end.
"""
from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass, field
from typing import Optional, Sequence, Tuple

import numpy as np
import torch


from . import kernels
from .boundaries import CPML
from .materials import COMPONENTS, MaterialGrid
from .media import Medium
from .rasterise import Frame, pieces
from .shapes import Shape
from .simulation import DecayProbe, Grid, MediumTable, RunStats, run
from .sources import Waveform, sample_waveform, waveform_steps
from .trust import stop_limit, warn_not_converged
from .units import Units, finite_number, require

CAP_PERIODS = 200     # safety cap: periods of the lowest frequency after the pulse


@dataclass(frozen=True)
class Dipole:
    """A point dipole at ``position`` (a) along ``orientation`` (any real
    vector; its length scales the current); ``kind`` "electric" or
    "magnetic" (the latter for one dipole's snapshot run, ``radiate``)."""

    position: Tuple[float, float, float] = (0.0, 0.0, 0.0)
    orientation: Tuple[float, float, float] = (0.0, 0.0, 1.0)
    kind: str = "electric"

    def __post_init__(self):
        from .dipoles import dipole_kind
        dipole_kind(self.kind)
        require(len(self.position) == 3, "position", "must have three coordinates")
        require(len(self.orientation) == 3, "orientation", "must have three components")
        p = [finite_number(v, "position") for v in self.position]
        o = [finite_number(v, "orientation") for v in self.orientation]
        require(any(o), "orientation", "must not be zero")
        object.__setattr__(self, "position", tuple(p))
        object.__setattr__(self, "orientation", tuple(o))


@dataclass
class DipolePower:
    """Per dipole s and frequency f: ``power`` [NS, 2, NF] the power each
    slice's dipole radiates (background, structure; cell units: Z0 = c = 1,
    per unit current moment squared: P/|Ĵ|²), ``purcell`` [NS, NF] their
    ratio, ``reference`` [NS, NF] the closed-form power of the same dipole in
    the unbounded background (``power[:, 0]`` differs from it by the grid's
    own dispersion and the absorbing layers' reflection), the sample
    positions (a) each component was placed at, and the run's figures."""

    frequency: np.ndarray
    power: np.ndarray
    purcell: np.ndarray
    reference: np.ndarray
    converged: bool
    stats: RunStats
    samples: list = field(default_factory=list)


def mirror_purcell(x, orientation: str) -> np.ndarray:
    """Closed form P/P0 of a dipole above a perfect electric mirror, x = 2kd
    (``orientation`` "perpendicular" or "parallel" to the mirror)."""
    x = np.asarray(x, dtype=np.float64)
    s, c = np.sin(x), np.cos(x)
    if orientation == "perpendicular":
        return 1 + 3 * (s / x**3 - c / x**2)
    require(orientation == "parallel", "orientation", "must be \"perpendicular\" or \"parallel\"")
    return 1 - 1.5 * (s / x + c / x**2 - s / x**3)


def _sample(u, c: int):
    """Index of component c's sample nearest to cell coordinate u (a tie
    goes to the higher index)."""
    idx = [int(math.floor(u[a] - (0.5 if a == c else 0.0) + 0.5)) for a in range(3)]
    at = [idx[a] + (0.5 if a == c else 0.0) for a in range(3)]
    return idx, at


class _DipoleSource:
    """The dipoles' currents (one ``Inject_J`` per source sample, all
    excitations and slices at once) and the fields at those samples, every
    step, into a device buffer [steps, K, NM]."""

    def __init__(self, grid: Grid, waveform: Waveform, entries):
        # entries: (s, c, (i, j, k), amplitude)
        self.grid = grid
        self.waveform = waveform
        self.entries = entries
        at = {}
        for s, c, idx, a in entries:
            at.setdefault((c, tuple(idx)), []).append((s, a))
        self.sites = []
        for (c, idx), rows in at.items():
            mp = grid.maps[COMPONENTS[c]]
            den = (mp.den1[:, idx[0], idx[1], idx[2]] +
                   mp.den2[:, idx[0], idx[1], idx[2]]).double().cpu()      # [NM]
            amp = torch.zeros(grid.NS, grid.NM, dtype=torch.float64)
            for s, a in rows:
                amp[s] += a * grid.units.dt / den
            self.sites.append((c, idx, amp))
        self.buf = None

    def start(self, max_steps: int):
        g = self.grid
        T = min(waveform_steps(self.waveform, g.units), max_steps)
        self.source_steps = T
        self.g = sample_waveform(self.waveform, T, g.units)
        w = torch.tensor(self.g)
        # the kernel gives channel c the real half when c < NC/2: a
        # one-channel grid (NC/2 = 0) reads the imaginary half
        unit = 1j if g.NC // 2 == 0 else 1.0
        self.J = []
        for c, idx, amp in self.sites:
            j = (w[:, None, None] * amp[None] * unit).to(torch.complex64)      # [T, NS, NM]
            j = j[..., None, None, None].contiguous().to(g.device)
            zero = torch.zeros(g.NS, g.NM, 1, 1, 1, dtype=torch.complex64, device=g.device)
            self.J.append((c, torch.tensor(idx), j, zero))
        self.buf = torch.zeros(max_steps, len(self.entries), g.NM, dtype=torch.float32,
                               device=g.device)
        self._gather = []
        for c in range(3):
            rows = [q for q, e in enumerate(self.entries) if e[1] == c]
            if rows:
                dev = g.device
                ix = [torch.tensor([self.entries[q][2][a] for q in rows], device=dev)
                      for a in range(3)]
                s = torch.tensor([self.entries[q][0] for q in rows], device=dev)
                self._gather.append((c, torch.tensor(rows, device=dev), s, ix))

    def before_h(self, n):
        pass

    def after_h(self, n):
        pass

    def after_e(self, n: int):
        if n >= self.source_steps:
            return
        E = self.grid.E
        for c, pos, j, zero in self.J:
            J = [zero, zero, zero]
            J[c] = j[n]
            kernels.Inject_J(*E, *J, pos)

    def update(self, n: int):
        E = self.grid.E
        for c, rows, s, (i, j, k) in self._gather:
            self.buf[n].index_copy_(0, rows, E[c][s, :, i, j, k, 0])

    def power(self, steps: int, frequencies) -> np.ndarray:
        """−½·Re Σ Ê·Ĵ* per excitation and slice, [NS, NM, NF], per unit
        current, in cell units (the current's spectrum divided out)."""
        g = self.grid
        dt = g.units.dt
        e = self.buf[:steps].double().cpu().numpy()                # E(n + 1), [T, K, NM]
        mean = 0.5 * (e + np.concatenate([np.zeros_like(e[:1]), e[:-1]]))   # at (n + ½)·dt
        T = min(self.source_steps, steps)
        jt = self.g[:T]
        w = 2 * np.pi * np.asarray(frequencies) / g.units.resolution      # ω per cell time
        ph = np.exp(1j * np.outer((np.arange(steps) + 0.5) * dt, w)) * dt  # [T, NF]
        Eh = np.einsum("tkm,tf->kmf", mean, ph)
        Jh = jt @ ph[:T]                                                # [NF], unit moment
        P = np.zeros((g.NS, g.NM, len(w)))
        norm = np.zeros((g.NS, len(w)))
        for q, (s, c, idx, a) in enumerate(self.entries):
            P[s] += -0.5 * np.real(Eh[q] * np.conj(a * Jh)[None, :])
            norm[s] += a * a
        return P / (norm[:, None, :] * np.abs(Jh)[None, None, :] ** 2)


def box_cells(size, units: Units, cpml: CPML):
    """The open box's cell counts and the cell coordinate of the origin: the
    domain of ``size`` (a, at least 4 cells per axis) inside the layers."""
    n = cpml.thickness
    inner = [max(4, int(round(s * units.resolution))) for s in size]
    return tuple(N + 2 * n for N in inner), tuple(n + 0.5 * N for N in inner)


def open_box(shapes: Sequence[Shape], frequencies, units: Units, size, NS: int,
             background: Medium, cpml: Optional[CPML], smoothing: str, device):
    """The open box of the dipole runs: absorbing layers (``cpml``, 12
    cells by default) on all six faces around a domain of ``size`` (a)
    centred on the origin, two structure slices (0: `background`; 1: the
    shapes painted in order, pieces running on through the layers), one
    channel, NS excitations. Refuses too coarse a resolution. Returns the
    grid, its frame (cell coordinates of positions in a) and the media
    whose index sets the transit time (conductors left out)."""
    from .layout import check_media
    media = [background] + [s.medium for s in shapes if not s.medium.sigma]
    check_media(media, frequencies, units)
    cpml = cpml or CPML(thickness=12)
    shape, origin = box_cells(size, units, cpml)
    device = torch.device(device)
    frame = Frame(units.resolution, origin, shape, (0, 0), device)
    table = MediumTable()
    table.add(background)
    mats = MaterialGrid(shape, 2, device)
    objects = []
    for sh in shapes:
        mid = table.add(sh.medium)
        objects += [(dataclasses.replace(p, m=1), mid) for p in pieces(sh, frame)]
    tables = table.tables(units, device)
    for obj, mid in objects:
        mats.paint(obj, mid, tables["eps"], smoothing)
    mats.coefficients(tables["perm"], tables["cond"])
    grid = Grid(units, shape, NS, mats, tables, cpml, (False, False), None, device,
                absorbing=(True, True, True), channels=1)
    return grid, frame, media


def dipole_power(shapes: Sequence[Shape], dipoles: Sequence[Dipole], frequencies, resolution: float,
         size, *, background: Medium = Medium(), courant: float = 0.5,
         cpml: Optional[CPML] = None, waveform: Optional[Waveform] = None,
         decay_by: float = 1e-8, max_time: Optional[float] = None,
         smoothing: str = "subcell", device="cpu", progress: bool = False) -> DipolePower:
    """Power radiated by each of `dipoles` near `shapes` (painted in order
    in `background`), over the same dipole in the background alone, at
    `frequencies` (c/a), in one run. ``size`` (a, three lengths): the domain
    around the origin, −size/2 … size/2 per axis, inside the absorbing
    layers (``cpml``, 12 cells by default); shapes are clipped to the grid
    and run on through the layers. Conducting shapes (``sigma`` > 0) are
    taken as mirrors: their skin depth is not resolved and not checked.
    Stops when the fields on the dipoles' planes have decayed by
    ``decay_by``, else at ``max_time`` (a/c) or the safety cap. The problem
    is checked as a ``model.Simulation`` (dipoles as its ``sources``)."""
    from .model import Scene, Simulation
    dipoles = list(dipoles)
    require(len(dipoles) > 0, "dipoles", "need at least one dipole")
    for i, d in enumerate(dipoles):
        require(isinstance(d, Dipole), f"dipoles[{i}]", "must be a Dipole")
    sim = Simulation(Scene(shapes, background, size=size), frequencies, resolution, dipoles,
                     courant=courant, cpml=cpml, smoothing=smoothing, decay_by=decay_by,
                     max_time=max_time)
    return run_dipoles(sim, waveform, device=device, progress=progress)


def run_dipoles(sim, waveform: Optional[Waveform] = None, *, device="cpu",
                progress: bool = False) -> DipolePower:
    """``dipole_power`` of a validated ``model.Simulation`` (a scene around
    electric dipoles); ``waveform`` None: a pulse covering the band."""
    from .reflectance import default_waveform
    scene, f, units, dipoles = sim.structures, sim.frequencies, sim.units, sim.sources
    shapes, background, size, cpml = scene.shapes, scene.background, sim.size, sim.cpml
    decay_by, max_time = sim.decay_by, sim.max_time

    grid, frame, media = open_box(shapes, f, units, size, len(dipoles), background, cpml,
                                  sim.modes[0], device)
    shape, origin, n = grid.shape, frame.origin, grid.cpml.thickness

    entries, samples = [], []
    for s, d in enumerate(dipoles):
        u = frame.to_cells(d.position)
        placed = {}
        for c in range(3):
            a = d.orientation[c]
            if not a:
                continue
            idx, at = _sample(u, c)
            ok = all(n <= idx[b] < shape[b] - n for b in range(3))
            require(ok, f"dipoles[{s}].position", "lies outside the domain (in the absorbing "
                    "layers or beyond)")
            entries.append((s, c, idx, a))
            placed["xyz"[c]] = tuple((np.array(at) - np.array(origin)) / units.resolution)
        samples.append(placed)

    if waveform is None:
        waveform = default_waveform(f)
    source = _DipoleSource(grid, waveform, entries)
    src_steps = waveform_steps(waveform, units)
    n_max = max(float(np.abs(m.index(f)).max()) for m in media)
    transit = int(2 * max(shape) * n_max / units.dt)
    cap = src_steps + transit + units.steps(CAP_PERIODS / float(f.min()))
    max_steps = units.steps(max_time) if max_time is not None else cap
    probe = DecayProbe(decay_by, check_every=100, planes=sorted({e[2][2] for e in entries}),
                       after_step=min(src_steps, max_steps) + transit // 2,
                       quiet_from=src_steps,
                       label=lambda s, m: f"dipole {s}, " + ("the background" if m == 0
                                                             else "the structure"),
                       quarter=round(0.25 / (float(np.mean(f)) * units.dt_a)))
    stats = run(grid, [source], [source], max_steps, probe, progress, desc="voxsim ldos")
    if stats.stopped_by == "max_steps" and max_time is None:
        stats.stopped_by = "cap"
    P = source.power(stats.steps, f)
    k = 2 * np.pi * f / units.resolution * math.sqrt(background.eps)
    ref = np.broadcast_to(k**2 / (12 * np.pi * math.sqrt(background.eps)), (len(dipoles), len(f)))
    converged = bool(stats.converged is not None and stats.converged.all())
    if not converged:
        need = float(np.max(stats.steps_needed)) if stats.steps_needed is not None else math.inf
        warn_not_converged("dipole power", stats.steps * units.dt_a, float(np.max(stats.decayed)),
                           need * units.dt_a, decay_by, "the powers may be wrong",
                           stop_limit(max_time), "the fields at the dipoles")
    with np.errstate(divide="ignore", invalid="ignore"):
        purcell = P[:, 1] / P[:, 0]
    return DipolePower(f, P, purcell, np.array(ref), converged, stats, samples)
