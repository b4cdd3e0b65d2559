"""Reflection and transmission spectra of layered stacks, batched.

``spectrum(stacks, frequencies, resolution, excitations)`` runs every stack
(the NM axis) under every excitation (the NS axis) in one batched run per
incident medium, and returns a ``Spectrum`` with R, T of shape
[excitation, structure, frequency].

Where everything sits on the grid is ``layout``'s; the painting of the
materials, ``painting``'s; one batched run, ``batch``'s (their names are
also reached from here).

Slice 0 of the structure axis is the reference: the incident medium
everywhere. Its transmission plane gives the incident flux, and its
reflection plane (scattered-field side, where only the CPML's echo of the
transmitted wave arrives) gives the CPML's reflection, reported as a
self-check. For a structure m:
    R = −S_z[fields(m) − fields(0)] at k_R / S_inc,   T = S_z(m) at k_T / S_inc.
"""
from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Tuple

import numpy as np

from .boundaries import CPML
from .geometry import Stack
from .sources import GaussianPulse, PlaneWave
from .trust import (ENERGY_TOLERANCE, EnergyBalanceWarning, NotConvergedWarning,  # noqa: F401
                    stop_limit, warn_not_converged)
from .units import Units, require
from .simulation import RunStats
# the batch runner and its pieces, also reached from here
from .batch import CAP_PERIODS, BatchResult, _run_batch, _run_split  # noqa: F401
from .layout import (Layout, Transverse, check_resolution, column_layout,  # noqa: F401
                     default_cpml, densest_index, evanescent_gap, transverse_layout)
from .painting import (MaterialPlan, build_materials, material_plan,  # noqa: F401
                       node_permittivity, paint_plan, smoothing_mode, stack_frame)


@dataclass
class Spectrum:
    """R, T with axes [excitation, structure, frequency]; ``angle_deg`` is
    θ(f) per excitation [excitation, frequency] (NaN below cut-off, where R
    and T are NaN too)."""

    frequency: np.ndarray
    R: np.ndarray
    T: np.ndarray
    angle_deg: np.ndarray
    excitations: List[PlaneWave]
    stacks: List[Stack]
    cpml_reflection: float
    stats: List[RunStats] = field(default_factory=list)
    resolution: float = 0.0
    orders: List[Tuple[int, int]] = field(default_factory=list)
    R_orders: Optional[np.ndarray] = None     # [excitation, structure, order, frequency]
    T_orders: Optional[np.ndarray] = None
    converged: Optional[np.ndarray] = None    # [structure]: its fields decayed before the stop
    decay_by: float = 1e-9

    @property
    def A(self) -> np.ndarray:
        """Absorption 1 − R − T."""
        return 1 - self.R - self.T

    def order(self, key: str, m: int, n: int = 0) -> np.ndarray:
        """R or T of diffraction order (m, n), [excitation, structure,
        frequency]."""
        i = self.orders.index((m, n))
        return (self.R_orders if key == "R" else self.T_orders)[:, :, i]

    def analytic(self):
        """Transfer-matrix R, T on the same axes and frequencies (NaN for
        patterned stacks, which have none)."""
        from .analytic import transfer_matrix
        R = np.full(self.R.shape, np.nan)
        T = np.full(self.T.shape, np.nan)
        for s, ex in enumerate(self.excitations):
            for m, st in enumerate(self.stacks):
                if st.patterned:
                    continue
                R[s, m], T[s, m] = transfer_matrix(st, self.frequency, self.angle_deg[s],
                                                   ex.polarization)
        return R, T

    def strongest_orders(self, s: int = 0, m: int = 0, count: int = 4):
        """The `count` strongest (key, order) pairs of one panel, by their
        largest power over the band (the zero orders first)."""
        if self.R_orders is None:
            return []
        found = []
        for key, A in (("T", self.T_orders), ("R", self.R_orders)):
            for i, o in enumerate(self.orders):
                peak = np.nanmax(A[s, m, i]) if np.isfinite(A[s, m, i]).any() else -1.0
                found.append((o != (0, 0), -peak, key, o))
        found.sort()
        return [(key, o) for _, peak, key, o in found[:count] if -peak > 0]

    def plot(self, path=None, title=None, analytic=True):
        """R, T and 1 − R − T against frequency (``plot.spectrum``)."""
        from .plot import spectrum
        return spectrum(self, path, title, analytic)


def default_waveform(frequencies, angle_deg: float = 0.0, stack: Optional[Stack] = None) -> GaussianPulse:
    """A pulse centred on the band. At oblique incidence its spectrum must
    vanish at the cut-off f_c·sin θ (a mode there does not travel along z
    and never leaves the grid): the bandwidth is then at most
    (f_c − f_c·sin θ)/4.5, which narrows the usable band around f_c. For a
    periodic `stack` the diffraction orders' cut-offs outside the band
    (Rayleigh–Wood anomalies, where an order grazes the interface, rings and
    leaves slowly) are kept three widths away, as far as the band (within
    two widths of its centre) allows."""
    f = np.asarray(frequencies, dtype=np.float64)
    lo, hi = float(f.min()), float(f.max())
    fc = 0.5 * (lo + hi)
    fw = max(0.5 * (hi - lo), 0.1 * fc)
    if 0 < angle_deg < 90:       # (other angles are refused by PlaneWave)
        fw = min(fw, fc * (1 - math.sin(math.radians(angle_deg))) / 4.5)
    if stack is not None and stack.patterned:
        kx = 2 * math.pi * fc * math.sqrt(stack.incident.eps) * math.sin(math.radians(angle_deg))
        outside = [c for c in order_cutoffs(stack, kx) if c < lo or c > hi]
        if outside:
            near = min(abs(c - fc) for c in outside)
            fw = min(fw, max(near / 3, 0.25 * (hi - lo)))
    return GaussianPulse(fc, fw)


def order_cutoffs(stack: Stack, kx: float, orders: int = 3) -> List[float]:
    """Frequencies (c/a) at which a diffraction order |m|, |n| <= `orders`
    other than (0, 0) starts to propagate in the incident medium or the
    substrate of a periodic stack, for in-plane wavevector kx (rad/a)."""
    px, py = stack.period
    ny = 0 if stack.invariant(1) else orders
    nx = 0 if stack.invariant(0) else orders
    out = []
    for m in range(-nx, nx + 1):
        for n in range(-ny, ny + 1):
            if (m, n) == (0, 0):
                continue
            kt = math.hypot(kx + 2 * math.pi * m / px, 2 * math.pi * n / py)
            for med in (stack.incident, stack.substrate):
                out.append(kt / (2 * math.pi * math.sqrt(med.eps)))
    return out


def plane_wave(frequencies, polarization: str = "s", angle_deg: float = 0.0,
               stack: Optional[Stack] = None) -> PlaneWave:
    """A plane wave with the default pulse for these frequencies (and, for
    a periodic `stack`, kept off its Wood anomalies)."""
    return PlaneWave(default_waveform(frequencies, angle_deg, stack), polarization, angle_deg)


def spectrum(stacks: Sequence[Stack], frequencies, resolution: float,
             excitations: Optional[Sequence[PlaneWave]] = None, *, courant: float = 0.5,
             cpml: Optional[CPML] = None, offset: float = 0.0, smoothing="subcell",
             decay_by: float = 1e-9, max_time: Optional[float] = None,
             steps: Optional[int] = None, depth: Optional[float] = None, device="cpu",
             progress: bool = False, split: str = "batch",
             memory_cap: Optional[float] = None, fields=None) -> Spectrum:
    """R and T of every stack under every excitation: the arguments make a
    ``model.Simulation`` (validated there, as the JSON front end's are) and
    this is ``Simulation(...).run(device=..., progress=..., split=...,
    memory_cap=...)``.

    ``excitations``: plane waves (default: s polarisation at normal
    incidence, a Gaussian pulse covering the frequencies). Stacks that share
    an incident medium and a period run as one batch (slice 0 the
    reference); others run in separate batches.

    Stop: when the fields at the monitor planes have decayed by
    ``decay_by`` (the squared change of the fields over a step, relative to
    its peak; see ``simulation.DecayProbe``), else at ``max_time`` (a/c),
    else at the safety cap: the source's duration, two transits of the
    column at the slowest speed, and ``CAP_PERIODS`` periods of the lowest
    frequency. ``steps`` runs exactly that many steps. A structure whose
    fields had not decayed when the run stopped is marked in
    ``Spectrum.converged`` and a ``NotConvergedWarning`` names it, the
    decay reached and the time still needed. Fields that diverge raise
    ``DivergenceError``; a lossless structure whose |1 − R − T| exceeds
    1e-2 gives an ``EnergyBalanceWarning``. ``cpml`` None: ``default_cpml``
    (the frequency-shifted layer at oblique incidence). In a process group
    of several ranks (``distributed``; torchrun) ``split="batch"`` shares
    the excitations out over the ranks and gathers the results on every
    rank; ``"none"`` runs everything on every rank; ``"domains"`` cuts the
    grid into slabs along z, one per rank (``domains``; the same results,
    each rank holding 1/N of the fields); ``"auto"`` takes batch where every
    rank gets an excitation and the whole grid with its share of them fits
    ``memory_cap`` (bytes of fields per rank), domains otherwise. ``depth`` (a) reserves
    room for stacks up to that thickness, so that runs of different stacks
    share one grid. Frequencies below cut-off, or where the incident
    spectrum is below 1e-6 of its peak (in power), come back as NaN.
    ``smoothing``: "subcell" (anisotropic subcell averages), "average"
    (plain fill-fraction mix) or "staircase" (see ``materials``), or one of
    them per stack, to compare them in one batched run. ``fields``: a
    ``fields.FieldRequest``; the DFT fields it asks for come back as
    ``Spectrum.fields`` (a ``fields.FieldResult``, over the incident
    amplitude; not under ``split="domains"``).
    """
    from .model import Simulation
    sim = Simulation(stacks, frequencies, resolution, excitations, courant=courant, cpml=cpml,
                     offset=offset, smoothing=smoothing, decay_by=decay_by, max_time=max_time,
                     steps=steps, depth=depth, fields=fields)
    return run_stacks(sim, device=device, progress=progress, split=split, memory_cap=memory_cap)


def run_stacks(sim, *, device="cpu", progress=False, split="batch", memory_cap=None) -> Spectrum:
    """The run of a validated ``model.Simulation`` (``spectrum``'s body)."""
    require(split in ("auto", "batch", "none", "domains"), "split",
            f"must be \"auto\", \"batch\", \"none\" or \"domains\", got {split!r}")
    stacks, f, units, excitations, modes = (sim.structures, sim.frequencies, sim.units,
                                            sim.sources, sim.modes)
    cpml, offset, decay_by, max_time, steps, depth, fields = (
        sim.cpml, sim.offset, sim.decay_by, sim.max_time, sim.steps, sim.depth, sim.fields)
    from .adjoint import attach, collect
    design = collect(stacks, modes)

    NS, NM, NF = len(excitations), len(stacks), len(f)
    R = np.full((NS, NM, NF), np.nan)
    T = np.full((NS, NM, NF), np.nan)
    stats, pml = [], 0.0
    groups = sim.groups()
    results = []
    for (incident, _), idx in groups.items():
        out = _run_split([stacks[m] for m in idx], idx, incident, f, units, excitations, cpml,
                         offset, [modes[m] for m in idx], decay_by, max_time, steps, depth,
                         device, progress, split, design, memory_cap, fields)
        R[:, idx], T[:, idx] = out.R, out.T
        pml = max(pml, out.cpml_reflection)
        stats.append(out.stats)
        results.append((idx, out))
    angle = np.stack([e.angle(f, stacks[0].incident) for e in excitations])
    below = np.isnan(angle)[:, None, :]
    R = np.where(below, np.nan, R)
    T = np.where(below, np.nan, T)
    sp = Spectrum(f, R, T, angle, excitations, stacks, pml, stats, units.resolution)
    sp.converged = np.ones(NM, dtype=bool)
    sp.decay_by = decay_by
    sp.fields = results[0][1].fields if fields is not None else None
    for idx, out in results:
        _report_decay(sp, idx, out.stats, units, max_time, steps)
    if any(st.period is not None for st in stacks):
        orders = sorted({o for _, out in results for o in out.orders},
                        key=lambda o: (abs(o[0]) + abs(o[1]), o[0], o[1]))
        sp.orders = orders
        sp.R_orders = np.full((NS, NM, len(orders), NF), np.nan)
        sp.T_orders = np.full((NS, NM, len(orders), NF), np.nan)
        for idx, out in results:
            for j, o in enumerate(out.orders):
                i = orders.index(o)
                sp.R_orders[:, idx, i] = np.where(below, np.nan, out.R_orders[:, :, j])
                sp.T_orders[:, idx, i] = np.where(below, np.nan, out.T_orders[:, :, j])
    _check_energy(sp)
    if design:
        attach(sp, design, [(idx, out.adjoint) for idx, out in results], progress)
    return sp


def _report_decay(sp: Spectrum, idx, st: RunStats, units: Units, max_time, steps):
    """Marks the structures of one batch that stopped before their fields
    decayed, and warns about each."""
    if st.converged is None:
        return
    conv = st.converged[:, 1:].all(axis=0)            # per structure, every excitation
    sp.converged[idx] = conv
    for j, m in enumerate(idx):
        if not conv[j]:
            warn_not_converged(f"structure {m}", st.steps * units.dt_a,
                               float(np.max(st.decayed[:, j + 1])),
                               float(np.max(st.steps_needed[:, j + 1])) * units.dt_a,
                               sp.decay_by, "R and T may be wrong", stop_limit(max_time, steps),
                               stacklevel=3)


def _check_energy(sp: Spectrum):
    """Lossless structures: |1 − R − T| above ENERGY_TOLERANCE warns."""
    for m, st in enumerate(sp.stacks):
        if not all(med.lossless for med in st.media()):
            continue
        A = np.abs(1 - sp.R[:, m] - sp.T[:, m])
        if not np.isfinite(A).any():
            continue
        s, k = np.unravel_index(np.nanargmax(A), A.shape)
        if A[s, k] > ENERGY_TOLERANCE:
            warnings.warn(f"structure {m} has no loss, but |1 - R - T| = {A[s, k]:.2e} at "
                          f"f = {sp.frequency[k]:.4g} (excitation {s}): energy does not balance "
                          f"(resolution, absorber or decay)", EnergyBalanceWarning, stacklevel=3)
