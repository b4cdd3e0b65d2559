"""Reflection and transmission spectra of layered stacks, batched.

``spectrum(stacks, frequencies, resolution, excitations)`` runs every stack
(the NM axis) under every excitation (the NS axis) in one batched run per
incident medium, and returns a ``Spectrum`` with R, T of shape
[excitation, structure, frequency].

Layout of the column along z (cells; npml = CPML thickness):
CPML | reflection plane k_R = npml + 2 | plane source between kp = k_R + 2
and kp + 1 | incident medium | first interface at z_top = kp + 3 + offset |
layers | substrate | transmission plane k_T (two cells past the deepest
stack) | CPML. Transversely the period is one cell (2 × 2 samples with their
ghost planes), periodic in y and Bloch-periodic in x.

Patterned stacks (a ``period``): transversely the grid is one unit cell,
Px × Py cells (px·resolution must be a whole number of cells; an axis along
which nothing varies keeps one cell), Bloch-periodic in x and periodic in
y, and the source and the monitor planes stand off the structure by a gap
in which every evanescent diffraction order decays by 100 in amplitude
(at most one period), so that they reach the CPML weakened. R and T are
then also resolved per diffraction order (``orders``): the order's power
through the plane (scattered field for R) over the incident flux, NaN
where the order does not propagate in that half-space.

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
import torch

from .boundaries import CPML
from .geometry import SMOOTHING, MaterialGrid, Slab, Stack
from .media import Medium
from .monitors import DFTClock, FluxPlane
from .orders import order_power, propagates, propagating_orders
from .shapes import Frame, background_piece, pieces
from .simulation import DecayProbe, Grid, MediumTable, PeerDiverged, RunStats, run
from .sources import GaussianPulse, PlaneWave, PlaneWaveSource, waveform_steps
from .trust import ENERGY_TOLERANCE, DivergenceError, EnergyBalanceWarning, NotConvergedWarning
from .units import InputError, Units, require

MIN_CELLS_PER_WAVELENGTH = 10.0
EVANESCENT_DECAY = 100.0        # amplitude factor of an evanescent order over the gap
MAX_GAP_PERIODS = 1.0
MAX_GAP_WAVELENGTHS = 2.0
CFS_ALPHA = 1.0                 # CPML at oblique incidence (``default_cpml``)
MAX_CPML_CELLS = 48
CAP_PERIODS = 2000.0            # safety cap: source + 2 transits + this many periods of f_min


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
        """R, T and 1 − R − T against frequency (one panel per excitation ×
        structure, at most 4 × 4), with the transfer-matrix curves; for a
        periodic structure a second row of panels with its strongest
        diffraction orders."""
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        NS, NM = self.R.shape[:2]
        ns, nm = min(NS, 4), min(NM, 4)
        rows = 2 * ns if self.R_orders is not None and len(self.orders) > 1 else ns
        fig, axes = plt.subplots(rows, nm, figsize=(5.5 * nm, 3.6 * rows), squeeze=False)
        ref = self.analytic() if analytic else None
        f = self.frequency
        for s in range(ns):
            for m in range(nm):
                if rows > ns:
                    self._plot_orders(axes[2 * s + 1][m], s, m)
                ax = axes[s * rows // ns][m]
                for y, name, col in ((self.R, "R", "C0"), (self.T, "T", "C1"),
                                     (self.A, "1 - R - T", "C2")):
                    ax.plot(f, y[s, m], "o", ms=2.5, color=col, label=f"{name} (FDTD)")
                if ref is not None and np.isfinite(ref[0][s, m]).any():
                    Ra, Ta = ref
                    for y, name, col in ((Ra, "R", "C0"), (Ta, "T", "C1"),
                                         (1 - Ra - Ta, "1 - R - T", "C2")):
                        ax.plot(f, y[s, m], "-", lw=1, color=col, label=f"{name} (transfer matrix)")
                ex = self.excitations[s]
                ax.set_title(title or f"{ex.polarization}, {ex.angle_deg:g} deg at f_c; structure {m}",
                             fontsize=9)
                ax.set_xlabel("frequency (c/a)")
                ax.set_ylim(-0.05, 1.05)
                ax.grid(alpha=0.3)
        axes[0][0].legend(fontsize=7, loc="best")
        fig.tight_layout()
        if path is not None:
            fig.savefig(path, dpi=120)
            plt.close(fig)
        return fig

    def _plot_orders(self, ax, s, m):
        f = self.frequency
        for j, (key, o) in enumerate(self.strongest_orders(s, m, 6)):
            i = self.orders.index(o)
            A = (self.R_orders if key == "R" else self.T_orders)[s, m, i]
            ax.plot(f, A, "-" if key == "T" else "--", marker=".", ms=3, color=f"C{j}",
                    label=f"{key} order ({o[0]}, {o[1]})")
        ax.set_title("strongest diffraction orders", fontsize=9)
        ax.set_xlabel("frequency (c/a)")
        ax.set_ylim(-0.05, 1.05)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=7, loc="best")


@dataclass(frozen=True)
class Layout:
    Nz: int
    k_R: int
    kp: int
    z_top: float
    z_bottom: np.ndarray
    k_T: int


def column_layout(stacks: Sequence[Stack], units: Units, cpml: CPML, offset: float,
                  depth: Optional[float] = None, gap=0) -> Layout:
    """z layout; ``gap`` (cells, or (above, below)) stands the source and
    the monitors off the structure, whose 3-D shapes may reach into the
    half-spaces."""
    gap_top, gap_bottom = (gap, gap) if np.isscalar(gap) else gap
    n = cpml.thickness
    k_R = n + 2
    kp = k_R + 2
    above = max([-s.extent()[0] for s in stacks] + [0.0])
    z_top = kp + 3 + gap_top + offset + math.ceil(float(units.cells(above)))
    z_bottom = z_top + units.cells([s.thickness for s in stacks])
    reach = z_top + units.cells([s.extent()[1] for s in stacks])
    deepest = max(float(reach.max()), z_top + float(units.cells(depth or 0.0)))
    k_T = int(math.ceil(deepest + 0.5)) + 1 + gap_bottom
    return Layout(k_T + 3 + n, k_R, kp, z_top, z_bottom, k_T)


@dataclass(frozen=True)
class Transverse:
    """The unit cell on the grid: ``cells`` (Px, Py) per period (1 along an
    axis on which nothing varies), ``period`` (px, py) in a or None."""

    cells: Tuple[int, int]
    period: Optional[Tuple[float, float]]

    @property
    def shape(self) -> Tuple[int, int]:
        return self.cells[0] + 1, self.cells[1] + 1

    def order_limit(self) -> Tuple[int, int]:
        return tuple((c - 1) // 2 for c in self.cells)


def transverse_layout(stacks: Sequence[Stack], units: Units) -> Transverse:
    period = stacks[0].period
    for i, st in enumerate(stacks):
        require(st.period == period, f"stacks[{i}].period",
                f"{st.period} differs from {period}: stacks of one batch share the unit cell")
    if period is None or not any(st.patterned for st in stacks):
        return Transverse((1, 1), period)
    cells = []
    for a in range(2):
        if all(st.invariant(a) for st in stacks):
            cells.append(1)
            continue
        c = period[a] * units.resolution
        require(abs(c - round(c)) < 1e-6 * max(1.0, c) and round(c) >= 2, f"period[{a}]",
                f"{period[a]:g} a is {c:.4g} cells at resolution {units.resolution:g}; the period "
                f"must be a whole number of cells (for example resolution "
                f"{max(2, round(c)) / period[a]:.6g})")
        cells.append(int(round(c)))
    return Transverse(tuple(cells), period)


def evanescent_gap(stacks, frequencies, units: Units, tv: Transverse, kx_list) -> Tuple[int, int]:
    """Cells (above, below) between the structure and the source / monitor
    planes, so that the evanescent fields of the band's frequencies reach
    the planes and the CPML weakened: in each half-space the
    slowest-decaying evanescent order (the diffraction orders of a
    periodic structure; the zero order of any structure beyond the
    critical angle) falls by EVANESCENT_DECAY in amplitude over the gap.
    At most ``max_gap`` (a): MAX_GAP_PERIODS periods of a periodic
    structure, MAX_GAP_WAVELENGTHS vacuum wavelengths of the lowest
    frequency for a layered one; at least 2 cells for a periodic structure,
    0 where nothing is evanescent."""
    f = np.asarray(frequencies, dtype=np.float64)
    k0 = 2 * math.pi * f
    patterned = tv.cells != (1, 1)
    if patterned:
        px, py = tv.period
        M, N = (min(c, 3) for c in tv.order_limit())
        cap = MAX_GAP_PERIODS * max(px, py)
    else:
        px = py = 1.0
        M = N = 0
        cap = MAX_GAP_WAVELENGTHS / float(f.min())
    out = []
    for side in ("incident", "substrate"):
        eps = {float(getattr(st, side).eps) for st in stacks}
        kappa = np.inf
        for kx in kx_list:
            for m in range(-M, M + 1):
                for n in range(-N, N + 1):
                    kt2 = (kx + 2 * math.pi * m / px) ** 2 + (2 * math.pi * n / py) ** 2
                    for e in eps:
                        k2 = kt2 - e * k0 ** 2
                        if (k2 > 0).any():
                            kappa = min(kappa, float(np.sqrt(k2[k2 > 0]).min()))
        dist = min(math.log(EVANESCENT_DECAY) / kappa, cap) if np.isfinite(kappa) else 0.0
        cells = int(math.ceil(dist * units.resolution))
        out.append(max(2, cells) if patterned else cells)
    if patterned:      # one standoff on both sides
        out = [max(out)] * 2
    return tuple(out)


def default_cpml(stacks, frequencies, units: Units, kx_list) -> CPML:
    """The CPML a run gets unless it names one: the plain layer (12 cells)
    at normal incidence. At oblique incidence (a Bloch wavevector kx) the
    complex-frequency-shifted layer, αmax = ``CFS_ALPHA``·ω of the lowest
    band frequency (cell units), 12/√cos θ cells thick (at most
    ``MAX_CPML_CELLS``), θ the most grazing propagation angle of the band in
    either half-space.

    Why: with kx fixed, a structure's bound modes (a film's guided modes,
    a metal's surface plasmon) and the fields near a half-space's cut-off
    lie below or at its light line; the pulse excites them a little, and
    their evanescent tails reach the absorber. The plain layer (σ only) does
    not damp such fields and, with a structure close to it, lets them grow
    (measured: a 50 nm ε 4 film in air at 80-85 deg, a Drude film lit from
    glass at 40 deg, growth by 10^15 and more). The frequency shift damps
    them (αmax = 0.5·ω still grew on the metal film at 40 deg; 1·ω and 2·ω
    did not); it reflects only below αmax, under the band. Grazing waves
    cross the layer at cos θ of their speed, hence the thicker layer
    (80 deg: the 12-cell layer cost 9e-3 in R, 24 cells 3e-3, the rest
    being the film's resolution)."""
    kx = np.asarray(kx_list, dtype=np.float64)
    if not np.any(kx != 0):
        return CPML()
    f = np.asarray(frequencies, dtype=np.float64)
    k0 = 2 * math.pi * f
    cos_min = 1.0
    for st in stacks:
        for med in (st.incident, st.substrate):
            k2 = float(med.eps) * k0[None, :] ** 2
            kz2 = k2 - kx[:, None] ** 2
            ok = kz2 > 0
            if ok.any():
                cos_min = min(cos_min, float(np.sqrt(kz2[ok] / np.broadcast_to(k2, kz2.shape)[ok]).min()))
    cells = int(min(MAX_CPML_CELLS, math.ceil(12 / math.sqrt(max(cos_min, 1e-6)))))
    omega = 2 * math.pi * float(f.min()) / units.resolution
    return CPML(thickness=cells, alpha_max=CFS_ALPHA * omega)


def densest_index(media: Sequence[Medium], frequencies) -> float:
    """max over media and frequencies of |n(f)|."""
    return float(max(np.abs(m.index(frequencies)).max() for m in media))


def check_resolution(stacks, frequencies, units: Units, field: str = "resolution"):
    """Fewest cells per wavelength, min over media and frequencies of
    resolution/(|n(f)|·f) (for a metal, |n| also sets the skin depth);
    below MIN_CELLS_PER_WAVELENGTH the run is refused."""
    f = np.atleast_1d(np.asarray(frequencies, dtype=np.float64))
    media = [m for st in stacks for m in st.media()]
    nf = np.array([np.abs(m.index(f)) * f for m in media])     # [media, NF]
    i, j = np.unravel_index(np.argmax(nf), nf.shape)
    cpw = units.resolution / nf[i, j]
    need = MIN_CELLS_PER_WAVELENGTH * nf[i, j]
    require(cpw >= MIN_CELLS_PER_WAVELENGTH, field,
            f"{units.resolution:g} cells per a gives {cpw:.1f} cells per wavelength in the densest "
            f"medium (|n| = {nf[i, j] / f[j]:.3g} at f = {f[j]:g}); at least "
            f"{MIN_CELLS_PER_WAVELENGTH:g} are needed (resolution >= {need:.3g})")
    return cpw


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
    if angle_deg:
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


def smoothing_mode(smoothing) -> str:
    """"subcell", "average" or "staircase" (True / False: subcell / average)."""
    if isinstance(smoothing, bool):
        return "subcell" if smoothing else "average"
    require(smoothing in SMOOTHING, "smoothing",
            f"must be one of {', '.join(SMOOTHING)}, got {smoothing!r}")
    return smoothing


def spectrum(stacks: Sequence[Stack], frequencies, resolution: float,
             excitations: Optional[Sequence[PlaneWave]] = None, *, courant: float = 0.5,
             cpml: Optional[CPML] = None, offset: float = 0.0, smoothing="subcell",
             decay_by: float = 1e-9, max_time: Optional[float] = None,
             steps: Optional[int] = None, depth: Optional[float] = None, device="cpu",
             progress: bool = False, split: str = "batch",
             memory_cap: Optional[float] = None, fields=None) -> Spectrum:
    """R and T of every stack under every excitation.

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
    (plain fill-fraction mix) or "staircase" (see ``geometry``), or one of
    them per stack, to compare them in one batched run. ``fields``: a
    ``fields.FieldRequest``; the DFT fields it asks for come back as
    ``Spectrum.fields`` (a ``fields.FieldResult``, over the incident
    amplitude; not under ``split="domains"``).
    """
    if isinstance(stacks, Stack):
        stacks = [stacks]
    stacks = list(stacks)
    require(len(stacks) > 0, "stacks", "at least one stack is needed")
    require(split in ("auto", "batch", "none", "domains"), "split",
            f"must be \"auto\", \"batch\", \"none\" or \"domains\", got {split!r}")
    f = np.atleast_1d(np.asarray(frequencies, dtype=np.float64))
    require(f.ndim == 1 and np.all(f > 0) and np.all(np.isfinite(f)), "frequency",
            "frequencies must be positive and finite")
    units = Units(resolution, courant)
    if isinstance(smoothing, (list, tuple)):
        require(len(smoothing) == len(stacks), "smoothing",
                f"{len(smoothing)} modes given for {len(stacks)} stacks")
        modes = [smoothing_mode(s_) for s_ in smoothing]
    else:
        modes = [smoothing_mode(smoothing)] * len(stacks)
    if excitations is None:
        excitations = [plane_wave(f, stack=stacks[0])]
    excitations = list(excitations)
    check_resolution(stacks, f, units)
    from .adjoint import attach, collect
    design = collect(stacks, modes)

    NS, NM, NF = len(excitations), len(stacks), len(f)
    R = np.full((NS, NM, NF), np.nan)
    T = np.full((NS, NM, NF), np.nan)
    stats, pml = [], 0.0
    groups = {}
    for m, st in enumerate(stacks):
        groups.setdefault((st.incident, st.period), []).append(m)
    results = []
    require(fields is None or len(groups) == 1, "fields",
            "one batch only: the stacks must share the incident medium and the period")
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
    limit = (f"steps={steps}" if steps is not None else
             f"max_time={max_time:g}" if max_time is not None else "the safety cap")
    for j, m in enumerate(idx):
        if conv[j]:
            continue
        need = float(np.max(st.steps_needed[:, j + 1]))
        more = (f"about {need * units.dt_a:.3g} a/c more are needed" if math.isfinite(need)
                else "the fields were not yet decaying")
        warnings.warn(f"structure {m}: stopped by {limit} after {st.steps * units.dt_a:.4g} a/c "
                      f"with its fields decayed to {np.max(st.decayed[:, j + 1]):.2g} of their "
                      f"peak (decay_by {sp.decay_by:.2g}); {more}; R and T may be wrong "
                      f"(raise max_time)", NotConvergedWarning, stacklevel=3)


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


def stack_frame(units: Units, lay: Layout, tv: Transverse, device) -> Frame:
    """The frame the shapes of a column are painted in: x, y from the cell's
    corner (sample 1), z from the first interface."""
    return Frame(units.resolution, (1.0, 1.0, lay.z_top), (*tv.shape, lay.Nz), tv.cells, device)


@dataclass
class MaterialPlan:
    """What ``build_materials`` paints, in order: ("paint", piece, id, mode,
    shape it came from), ("faces", m, lo, hi) and ("mend", m, ids) items,
    with the medium table and the grid's shape."""

    items: list
    table: MediumTable
    tables: dict
    shape: Tuple[int, int, int]
    NM: int
    modes: list
    frame: Frame


def material_plan(stacks, incident, units, lay: Layout, device, smoothing="subcell",
                  tv: Optional[Transverse] = None) -> MaterialPlan:
    """The painting of ``build_materials`` as a list of items (nothing
    painted yet)."""
    if isinstance(smoothing, (list, tuple)):
        modes = [smoothing_mode(s_) for s_ in smoothing]
    else:
        modes = [smoothing_mode(smoothing)] * len(stacks)
    tv = tv or Transverse((1, 1), None)
    NM = len(stacks) + 1
    shape = (*tv.shape, lay.Nz)
    frame = stack_frame(units, lay, tv, device)
    table = MediumTable()
    table.add(incident)                      # id 0: background (reference slice: all of it)
    items = []

    def add(obj, medium, m, source=None):
        obj.m = m
        items.append(("paint", obj, table.add(medium), modes[m - 1], source))

    for m, st in enumerate(stacks, start=1):
        slab = lambda lo, hi: Slab(lo, hi, m, NM, shape[:2], device)
        add(slab(float(lay.z_bottom[m - 1]), lay.Nz + 2.0), st.substrate, m)
        z = 0.0
        for layer in st.layers:
            z0, z1 = z, z + layer.thickness
            lo, hi = lay.z_top + float(units.cells(z0)), lay.z_top + float(units.cells(z1))
            if not layer.patterned:
                add(slab(lo, hi), layer.medium, m)
            else:
                items.append(("faces", m, lo, hi))             # neighbours across its faces
                first = len(items)
                solids = [sh.solid(z0, z1) for sh in layer.medium.shapes]
                bg = background_piece(solids, z0, z1, frame)
                if bg is not None:
                    add(bg, layer.medium.background, m)
                for sh, solid in zip(layer.medium.shapes, solids):
                    for piece in pieces(solid, frame):
                        add(piece, sh.medium, m)
                items.append(("mend", m, [it[2] for it in items[first:]]))
            z = z1
        for sh in st.shapes:
            for piece in pieces(sh, frame):
                add(piece, sh.medium, m, sh)
    return MaterialPlan(items, table, table.tables(units, device), shape, NM, modes, frame)


def paint_plan(plan: MaterialPlan, items=None, mats: Optional[MaterialGrid] = None,
               coefficients: bool = True) -> MaterialGrid:
    """Paints `items` (default: the plan's) onto `mats` (default: a new
    grid), then fills the coefficients."""
    if mats is None:
        mats = MaterialGrid(plan.shape, plan.NM, plan.frame.device)
    faces = getattr(mats, "_faces", [])
    for item in plan.items if items is None else items:
        kind = item[0]
        if kind == "faces":
            faces = mats.face_planes(item[1], item[2], item[3])
        elif kind == "mend":
            mats.repair_faces(item[1], faces, item[2], plan.tables["eps"], plan.modes[item[1] - 1])
        else:
            _, obj, mid, mode, _ = item
            mats.paint(obj, mid, plan.tables["eps"], mode)
    mats._faces = faces
    if coefficients:
        mats.coefficients(plan.tables["perm"], plan.tables["cond"])
    return mats


def build_materials(stacks, incident, units, lay: Layout, device, smoothing="subcell",
                    tv: Optional[Transverse] = None):
    """Paint the stacks into slices 1 … NM − 1 of the grid (slice 0: the
    incident medium everywhere), each slice in order: substrate, layers
    (a pattern's background where no shape is, then its shapes), 3-D
    shapes. Every painted piece gets its own id. ``smoothing``: one mode,
    or one per stack. Returns (materials, medium table, tables)."""
    plan = material_plan(stacks, incident, units, lay, device, smoothing, tv)
    return paint_plan(plan), plan.table, plan.tables


def node_permittivity(stack: Stack, frequencies, resolution: float, *, courant: float = 0.5,
                      cpml: CPML = CPML(), offset: float = 0.0, smoothing="subcell"):
    """The permittivity the scheme realises at every Ex node of the column
    of `stack` ([Nz, NF] complex; each node mixes its two media's discrete
    permittivities with its weight), with the first and last node of the
    uniform half-spaces around the stack: (eps, k_in, k_out, units). Input
    of ``analytic.yee_normal_incidence``."""
    units = Units(resolution, courant)
    lay = column_layout([stack], units, cpml, offset)
    mats, table, _ = build_materials([stack], stack.incident, units, lay, torch.device("cpu"),
                                     smoothing)
    x = mats.comp["x"]
    w = x.weight[1, 1, 1].double().numpy()
    own = x.id_map[1, 1, 1].long().numpy()
    prev = x.prev_id_map[1, 1, 1].long().numpy()
    disc = np.array([m.discrete_epsilon(frequencies, units) for m in table.media])   # [ids, NF]
    eps = w[:, None] * disc[own] + (1 - w[:, None]) * disc[prev]
    return eps, lay.kp, lay.k_T, units


@dataclass
class BatchResult:
    R: np.ndarray
    T: np.ndarray
    cpml_reflection: float
    stats: RunStats
    orders: List[Tuple[int, int]]
    R_orders: Optional[np.ndarray]
    T_orders: Optional[np.ndarray]
    adjoint: object = None     # adjoint.BatchAdjoint when the run has design parameters
    fields: object = None      # fields.FieldResult when the run was asked for DFT fields


def _run_split(stacks, index, incident, f, units, excitations, cpml, offset, smoothing,
               decay_by, max_time, steps, depth, device, progress, split,
               design=None, memory_cap=None, fields=None) -> BatchResult:
    """``_run_batch``, with the excitations shared out over the ranks of a
    process group (``distributed``) and the results gathered in order; the
    absorber and the standoff follow the whole sweep, as in one process.
    With ``split="domains"`` (or ``"auto"`` choosing it) the grid is cut
    into slabs instead (``domains``)."""
    from . import distributed
    rank, size = distributed.world()
    if fields is not None:
        # DFT fields are not cut into slabs nor gathered over ranks: each
        # rank runs the whole sweep
        require(split != "domains", "fields",
                "DFT fields are not recorded under --split domains: use --split none "
                "(or leave the fields out)")
        split = "none" if size > 1 else split
    if size > 1 and split in ("auto", "domains"):
        split = _choose_split(stacks, incident, f, units, excitations, cpml, offset, depth,
                              split, size, memory_cap, design)
    if split == "domains":
        from .domains import Slabs
        out = _run_batch(stacks, index, incident, f, units, excitations, cpml, offset,
                         smoothing, decay_by, max_time, steps, depth, device,
                         progress and rank == 0, agree=distributed.agreement(),
                         slabs=Slabs(rank, size))
        Slabs(rank, size).totals(out.stats)
        return out
    if size == 1 or split == "none" or design:
        return _run_batch(stacks, index, incident, f, units, excitations, cpml, offset,
                          smoothing, decay_by, max_time, steps, depth, device,
                          progress and rank == 0, design=design, fields=fields)
    kx_all = np.array([e.kx(incident) for e in excitations])
    if cpml is None:
        cpml = default_cpml(stacks, f, units, kx_all)
    if len(excitations) < size:     # too few to share: every rank runs the whole sweep
        return _run_batch(stacks, index, incident, f, units, excitations, cpml, offset,
                          smoothing, decay_by, max_time, steps, depth, device,
                          progress and rank == 0)
    mine = distributed.shard(len(excitations), rank, size)
    result = error = None
    try:
        result = _run_batch(stacks, index, incident, f, units, [excitations[s] for s in mine],
                            cpml, offset, smoothing, decay_by, max_time, steps, depth, device,
                            progress and rank == 0, layout_kx=kx_all, first=int(mine[0]),
                            agree=distributed.agreement())
    except Exception as e:         # every rank must reach the gather
        error = e
    chunks = distributed.all_gather((result, error))
    errors = [(r, e) for r, (_, e) in enumerate(chunks) if e is not None]
    errors.sort(key=lambda re: isinstance(re[1], PeerDiverged))     # the diverged rank's first
    for r, e in errors:
        if isinstance(e, DivergenceError):
            e.excitation += int(distributed.shard(len(excitations), r, size)[0])
        raise e
    return _merge([r for r, _ in chunks])


def _choose_split(stacks, incident, f, units, excitations, cpml, offset, depth, split, size,
                  memory_cap, design) -> str:
    """The split of a run over `size` ranks: ``domains.choose`` on this
    batch's grid; the adjoint (design parameters) is not cut."""
    from . import domains
    if design:
        require(split != "domains", "split",
                "--split domains does not carry the adjoint (design parameters): use "
                "--split batch or none")
        return "batch"
    tv = transverse_layout(stacks, units)
    kx_all = np.array([e.kx(incident) for e in excitations])
    if cpml is None:
        cpml = default_cpml(stacks, f, units, kx_all)
    gap = evanescent_gap(stacks, f, units, tv, kx_all)
    lay = column_layout(stacks, units, cpml, offset, depth, gap)
    media = {m for st in stacks for m in st.media()} | {incident}
    dispersive = any(m.coefficients(units).alpha != 0 or m.coefficients(units).beta != 0
                     for m in media)
    return domains.choose(split, size, len(excitations), (*tv.shape, lay.Nz), len(stacks) + 1,
                          cpml.thickness, dispersive, memory_cap)


def _merge(chunks: List[BatchResult]) -> BatchResult:
    """Batch results of consecutive excitation ranges as one."""
    if len(chunks) == 1:
        return chunks[0]
    cat = lambda xs: np.concatenate(xs, axis=0)
    st = [p.stats for p in chunks]
    stats = RunStats(max(s.steps for s in st), max(s.seconds for s in st),
                     sum(s.cell_updates for s in st),
                     "decay" if all(s.stopped_by == "decay" for s in st)
                     else next(s.stopped_by for s in st if s.stopped_by != "decay"))
    if all(s.converged is not None for s in st):
        stats.converged = cat([s.converged for s in st])
        stats.decayed = cat([s.decayed for s in st])
        stats.steps_needed = cat([s.steps_needed for s in st])
    out = BatchResult(cat([p.R for p in chunks]), cat([p.T for p in chunks]),
                      max(p.cpml_reflection for p in chunks), stats, [], None, None)
    if chunks[0].R_orders is not None:
        orders = sorted({o for p in chunks for o in p.orders},
                        key=lambda o: (abs(o[0]) + abs(o[1]), o[0], o[1]))
        Ro, To = [], []
        for p in chunks:
            shape = (p.R.shape[0], p.R.shape[1], len(orders), p.R.shape[2])
            r, t = np.full(shape, np.nan), np.full(shape, np.nan)
            for j, o in enumerate(p.orders):
                r[:, :, orders.index(o)] = p.R_orders[:, :, j]
                t[:, :, orders.index(o)] = p.T_orders[:, :, j]
            Ro.append(r)
            To.append(t)
        out.orders, out.R_orders, out.T_orders = orders, cat(Ro), cat(To)
    return out


def _run_batch(stacks, index, incident, f, units, excitations, cpml, offset, smoothing,
               decay_by, max_time, steps, depth, device, progress, layout_kx=None,
               first: int = 0, agree=None, design=None, slabs=None,
               fields=None) -> BatchResult:
    device = torch.device(device)
    tv = transverse_layout(stacks, units)
    kx_a = np.array([e.kx(incident) for e in excitations])
    if cpml is None:
        cpml = default_cpml(stacks, f, units, kx_a)
    gap = evanescent_gap(stacks, f, units, tv, kx_a if layout_kx is None else layout_kx)
    lay = column_layout(stacks, units, cpml, offset, depth, gap)
    NM = len(stacks) + 1
    shape = (*tv.shape, lay.Nz)
    mats, _, tables = build_materials(stacks, incident, units, lay, device, smoothing, tv)

    kx = kx_a / units.resolution
    if slabs is None:
        grid = Grid(units, shape, len(excitations), mats, tables, cpml, (True, True), kx, device)
        source = PlaneWaveSource(grid, excitations, incident, lay.kp)
    else:       # this rank's slab along z (``domains``); the whole maps are let go
        grid = slabs.grid(units, shape, len(excitations), mats, tables, cpml, (True, True), kx,
                          device)
        mats = None
        source = slabs.plane_source(grid, excitations, incident, lay.kp)
    clock = DFTClock(f, units, device)
    Flux = FluxPlane if slabs is None else slabs.flux_plane
    mon_R = Flux(grid, lay.k_R, clock)
    mon_T = Flux(grid, lay.k_T, clock)
    monitors = [mon_R, mon_T]
    design_dft = None
    if design:
        # the design region's fields, for the adjoint (``adjoint``)
        from .adjoint import design_region
        from .fields import FieldDFT
        plan = lambda: material_plan(stacks, incident, units, lay, device, smoothing, tv)
        paint = lambda: paint_plan(plan())
        boxes = design_region(paint, design, mats)
        if boxes:
            design_dft = FieldDFT(grid, clock, boxes)
            monitors.append(design_dft)
    if fields is not None:
        from . import fields as fd
        origin = (1.0, 1.0, lay.z_top)
        field_dft = fd.FieldDFT(grid, fd.DFTClock(fields.frequencies, units, device),
                                fd.request_boxes(grid, fields, origin,
                                                 (None, None, (lay.kp + 1, lay.k_T + 3))))
        monitors.append(field_dft)

    src_steps = max(waveform_steps(e.waveform, units) for e in excitations)
    # twice across the column at the slowest speed before the probe may stop
    transit = int(2 * lay.Nz * densest_index([m for s in stacks for m in s.media()], f) / units.dt)
    cap = src_steps + transit + units.steps(CAP_PERIODS / float(f.min()))
    if steps is not None:
        max_steps = int(steps)
    elif max_time is not None:
        max_steps = units.steps(max_time)
    else:
        max_steps = cap
    ex_names = [f"excitation {first + s} ({e.polarization}, {e.angle_deg:g} deg)"
                for s, e in enumerate(excitations)]
    label = lambda s, m: (f"{'the reference' if m == 0 else f'structure {index[m - 1]}'}, "
                          f"{ex_names[s]}")
    Probe = DecayProbe if slabs is None else slabs.probe
    probe = Probe(decay_by, check_every=200, planes=[lay.k_R, lay.k_T],
                  after_step=min(src_steps, max_steps) + transit, stop=steps is None,
                  quiet_from=source.stop_step(max_steps), label=label,
                  quarter=round(0.25 / (float(np.mean(f)) * units.dt_a)), agree=agree)
    stats = run(grid, [source], monitors, max_steps, probe, progress,
                desc=f"voxsim {NM - 1} structure(s) x {len(excitations)} excitation(s)")
    if stats.stopped_by == "max_steps" and max_time is None and steps is None:
        stats.stopped_by = "cap"

    flux_T = mon_T.flux()
    inc = flux_T[:, :1, :]
    fR = mon_R.fields()
    ref = [a[:, :1] for a in fR]
    flux_R = mon_R.flux(subtract=ref)
    weak = inc < 1e-6 * np.abs(inc).max(axis=2, keepdims=True)
    inc = np.where(weak, np.nan, inc)
    with np.errstate(divide="ignore", invalid="ignore"):
        R = -flux_R[:, 1:] / inc
        T = flux_T[:, 1:] / inc
        pml = -mon_R.flux()[:, 0] / inc[:, 0]
    pml = float(np.nanmax(np.abs(pml))) if np.isfinite(pml).any() else 0.0
    out = BatchResult(R, T, pml, stats, [], None, None)
    if tv.period is not None:
        _resolve_orders(out, stacks, incident, f, tv, kx_a, kx, fR, mon_T.fields(), ref, inc)
    if fields is not None:
        out.fields = fd.collect(field_dft, fields, origin, structure=1)
        out.fields.normalise(fd.incident_scale(out.fields.components, m=0), "incident")
    if design:
        from .adjoint import BatchAdjoint
        x = {} if design_dft is None else {k: v.cpu() / units.dt
                                           for k, v in design_dft.fields().items()}
        out.adjoint = BatchAdjoint(
            grid_args=dict(units=units, shape=shape, NS=len(excitations), materials=mats,
                           tables=tables, cpml=cpml, periodic=(True, True), kx=kx,
                           device=device),
            paint=paint, plan=plan, params=design, boxes=boxes, frame=stack_frame(units, lay, tv, device),
            f=f, units=units, kx=kx, kx_a=kx_a, waveform=excitations[0].waveform,
            planes=(lay.k_R, lay.k_T), fR=fR, fT=mon_T.fields(), inc=inc, x=x,
            max_steps=max_steps, after_step=probe.after_step, decay_by=decay_by,
            orders=list(out.orders))
    return out


def _resolve_orders(out: BatchResult, stacks, incident, f, tv: Transverse, kx_a, kx_cell, fR,
                    fT, ref, inc):
    """R and T per diffraction order, slice by slice (as the flux)."""
    lim = tv.order_limit()
    eps_sub = [float(st.substrate.eps) for st in stacks]
    orders = set()
    for k in kx_a:
        orders |= set(propagating_orders(f, tv.period, float(k), [float(incident.eps)] + eps_sub,
                                         limit=lim))
    orders = sorted(orders, key=lambda o: (abs(o[0]) + abs(o[1]), o[0], o[1]))
    NS, NMb, NF = len(kx_a), len(stacks), len(f)
    Ro = np.full((NS, NMb, len(orders), NF), np.nan)
    To = np.full_like(Ro, np.nan)
    kx_col = np.asarray(kx_cell, dtype=np.float64)[:, None]
    with np.errstate(divide="ignore", invalid="ignore"):
        for m in range(NMb):
            scat = [a[:, m + 1:m + 2] - b for a, b in zip(fR, ref)]
            tot = [a[:, m + 1:m + 2] for a in fT]
            PR = order_power(scat, kx_col, 0.0, orders)[:, 0]        # [NS, orders, NF]
            PT = order_power(tot, kx_col, 0.0, orders)[:, 0]
            Ro[:, m] = -PR / inc[:, 0][:, None, :]
            To[:, m] = PT / inc[:, 0][:, None, :]
            for s in range(NS):
                up = propagates(orders, f, tv.period, float(kx_a[s]), float(incident.eps))
                down = propagates(orders, f, tv.period, float(kx_a[s]), eps_sub[m])
                Ro[s, m] = np.where(up, Ro[s, m], np.nan)
                To[s, m] = np.where(down, To[s, m], np.nan)
    out.orders, out.R_orders, out.T_orders = orders, Ro, To
