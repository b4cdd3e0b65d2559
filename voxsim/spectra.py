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

Slice 0 of the structure axis is the reference: the incident medium
everywhere. Its transmission plane gives the incident flux, and its
reflection plane (scattered-field side, where only the CPML's echo of the
transmitted wave arrives) gives the CPML's reflection, reported as a
self-check. For a structure m:
    R = −S_z[fields(m) − fields(0)] at k_R / S_inc,   T = S_z(m) at k_T / S_inc.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import List, Optional, Sequence

import numpy as np
import torch

from .boundaries import CPML
from .geometry import MaterialGrid, Slab, Stack
from .media import Medium
from .monitors import DFTClock, FluxPlane
from .simulation import DecayProbe, Grid, MediumTable, RunStats, run
from .sources import GaussianPulse, PlaneWave, PlaneWaveSource, waveform_steps
from .units import InputError, Units, require

MIN_CELLS_PER_WAVELENGTH = 10.0


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

    @property
    def A(self) -> np.ndarray:
        """Absorption 1 − R − T."""
        return 1 - self.R - self.T

    def analytic(self):
        """Transfer-matrix R, T on the same axes and frequencies."""
        from .analytic import transfer_matrix
        R = np.full(self.R.shape, np.nan)
        T = np.full(self.T.shape, np.nan)
        for s, ex in enumerate(self.excitations):
            for m, st in enumerate(self.stacks):
                R[s, m], T[s, m] = transfer_matrix(st, self.frequency, self.angle_deg[s],
                                                   ex.polarization)
        return R, T

    def plot(self, path=None, title=None, analytic=True):
        """R, T and 1 − R − T against frequency (one panel per excitation ×
        structure, at most 4 × 4), with the transfer-matrix curves."""
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        NS, NM = self.R.shape[:2]
        ns, nm = min(NS, 4), min(NM, 4)
        fig, axes = plt.subplots(ns, nm, figsize=(5.5 * nm, 3.6 * ns), squeeze=False)
        ref = self.analytic() if analytic else None
        f = self.frequency
        for s in range(ns):
            for m in range(nm):
                ax = axes[s][m]
                for y, name, col in ((self.R, "R", "C0"), (self.T, "T", "C1"),
                                     (self.A, "1 - R - T", "C2")):
                    ax.plot(f, y[s, m], "o", ms=2.5, color=col, label=f"{name} (FDTD)")
                if ref is not None:
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


@dataclass(frozen=True)
class Layout:
    Nz: int
    k_R: int
    kp: int
    z_top: float
    z_bottom: np.ndarray
    k_T: int


def column_layout(stacks: Sequence[Stack], units: Units, cpml: CPML, offset: float,
                  depth: Optional[float] = None) -> Layout:
    n = cpml.thickness
    k_R = n + 2
    kp = k_R + 2
    z_top = kp + 3 + offset
    z_bottom = z_top + units.cells([s.thickness for s in stacks])
    deepest = max(float(z_bottom.max()), z_top + float(units.cells(depth or 0.0)))
    k_T = int(math.ceil(deepest + 0.5)) + 1
    return Layout(k_T + 3 + n, k_R, kp, z_top, z_bottom, k_T)


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


def default_waveform(frequencies, angle_deg: float = 0.0) -> GaussianPulse:
    """A pulse centred on the band. At oblique incidence its spectrum must
    vanish at the cut-off f_c·sin θ (a mode there does not travel along z
    and never leaves the grid): the bandwidth is then at most
    (f_c − f_c·sin θ)/4.5, which narrows the usable band around f_c."""
    f = np.asarray(frequencies, dtype=np.float64)
    lo, hi = float(f.min()), float(f.max())
    fc = 0.5 * (lo + hi)
    fw = max(0.5 * (hi - lo), 0.1 * fc)
    if angle_deg:
        fw = min(fw, fc * (1 - math.sin(math.radians(angle_deg))) / 4.5)
    return GaussianPulse(fc, fw)


def plane_wave(frequencies, polarization: str = "s", angle_deg: float = 0.0) -> PlaneWave:
    """A plane wave with the default pulse for these frequencies."""
    return PlaneWave(default_waveform(frequencies, angle_deg), polarization, angle_deg)


def spectrum(stacks: Sequence[Stack], frequencies, resolution: float,
             excitations: Optional[Sequence[PlaneWave]] = None, *, courant: float = 0.5,
             cpml: CPML = CPML(), offset: float = 0.0, subcell: bool = True,
             decay_by: float = 1e-9, max_time: Optional[float] = None,
             steps: Optional[int] = None, depth: Optional[float] = None, device="cpu",
             progress: bool = False) -> Spectrum:
    """R and T of every stack under every excitation.

    ``excitations``: plane waves (default: s polarisation at normal
    incidence, a Gaussian pulse covering the frequencies). Stacks that share
    an incident medium run as one batch (slice 0 the reference); stacks with
    different incident media run in separate batches. The run stops when the
    fields have decayed by ``decay_by`` (energy), after ``max_time`` (a/c),
    or after exactly ``steps`` steps (no decay probe). ``depth`` (a) reserves
    room for stacks up to that thickness, so that runs of different stacks
    share one grid. Frequencies below cut-off, or where the incident
    spectrum is below 1e-6 of its peak (in power), come back as NaN.
    """
    if isinstance(stacks, Stack):
        stacks = [stacks]
    stacks = list(stacks)
    require(len(stacks) > 0, "stacks", "at least one stack is needed")
    f = np.atleast_1d(np.asarray(frequencies, dtype=np.float64))
    require(f.ndim == 1 and np.all(f > 0) and np.all(np.isfinite(f)), "frequency",
            "frequencies must be positive and finite")
    units = Units(resolution, courant)
    if excitations is None:
        excitations = [plane_wave(f)]
    excitations = list(excitations)
    check_resolution(stacks, f, units)

    NS, NM, NF = len(excitations), len(stacks), len(f)
    R = np.full((NS, NM, NF), np.nan)
    T = np.full((NS, NM, NF), np.nan)
    stats, pml = [], 0.0
    groups = {}
    for m, st in enumerate(stacks):
        groups.setdefault(st.incident, []).append(m)
    for incident, idx in groups.items():
        r, t, p, s = _run_batch([stacks[m] for m in idx], incident, f, units, excitations, cpml,
                                offset, subcell, decay_by, max_time, steps, depth, device,
                                progress)
        R[:, idx], T[:, idx] = r, t
        pml = max(pml, p)
        stats.append(s)
    angle = np.stack([e.angle(f, stacks[0].incident) for e in excitations])
    below = np.isnan(angle)[:, None, :]
    R = np.where(below, np.nan, R)
    T = np.where(below, np.nan, T)
    return Spectrum(f, R, T, angle, excitations, stacks, pml, stats, units.resolution)


def build_materials(stacks, incident, units, lay: Layout, device, subcell: bool):
    """Paint the stacks into slices 1 … NM − 1 of a 2 × 2 × Nz column
    (slice 0: the incident medium everywhere). Returns (materials,
    medium table, tables)."""
    NM = len(stacks) + 1
    shape = (2, 2, lay.Nz)
    table = MediumTable()
    table.add(incident)                      # id 0: background (reference slice: all of it)
    objects = []
    for m, st in enumerate(stacks, start=1):
        z = lay.z_top
        pieces = []
        for layer in st.layers:
            dz = float(units.cells(layer.thickness))
            pieces.append((z, z + dz, layer.medium))
            z += dz
        pieces.insert(0, (z, lay.Nz + 2.0, st.substrate))   # substrate first, layers over it
        for lo, hi, medium in pieces:
            objects.append((Slab(lo, hi, m, NM, shape[:2], device), table.add(medium)))
    tables = table.tables(units, device)
    mats = MaterialGrid(shape, NM, device)
    for obj, mid in objects:
        mats.paint(obj, mid, tables["eps"] if subcell else None)
    mats.coefficients(tables["perm"], tables["cond"])
    return mats, table, tables


def node_permittivity(stack: Stack, frequencies, resolution: float, *, courant: float = 0.5,
                      cpml: CPML = CPML(), offset: float = 0.0, subcell: bool = True):
    """The permittivity the scheme realises at every Ex node of the column
    of `stack` ([Nz, NF] complex; each node mixes its two media's discrete
    permittivities with its weight), with the first and last node of the
    uniform half-spaces around the stack: (eps, k_in, k_out, units). Input
    of ``analytic.yee_normal_incidence``."""
    units = Units(resolution, courant)
    lay = column_layout([stack], units, cpml, offset)
    mats, table, _ = build_materials([stack], stack.incident, units, lay, torch.device("cpu"),
                                     subcell)
    x = mats.comp["x"]
    w = x.weight[1, 1, 1].double().numpy()
    own = x.id_map[1, 1, 1].long().numpy()
    prev = x.prev_id_map[1, 1, 1].long().numpy()
    disc = np.array([m.discrete_epsilon(frequencies, units) for m in table.media])   # [ids, NF]
    eps = w[:, None] * disc[own] + (1 - w[:, None]) * disc[prev]
    return eps, lay.kp, lay.k_T, units


def _run_batch(stacks, incident, f, units, excitations, cpml, offset, subcell, decay_by,
               max_time, steps, depth, device, progress):
    device = torch.device(device)
    lay = column_layout(stacks, units, cpml, offset, depth)
    NM = len(stacks) + 1
    shape = (2, 2, lay.Nz)
    mats, _, tables = build_materials(stacks, incident, units, lay, device, subcell)

    kx = np.array([e.kx(incident) for e in excitations]) / units.resolution
    grid = Grid(units, shape, len(excitations), mats, tables, cpml, (True, True), kx, device)
    source = PlaneWaveSource(grid, excitations, incident, lay.kp)
    clock = DFTClock(f, units, device)
    mon_R = FluxPlane(grid, lay.k_R, clock)
    mon_T = FluxPlane(grid, lay.k_T, clock)

    src_steps = max(waveform_steps(e.waveform, units) for e in excitations)
    # twice across the column at the slowest speed before the probe may stop
    transit = int(2 * lay.Nz * densest_index([m for s in stacks for m in s.media()], f) / units.dt)
    if steps is not None:
        max_steps, probe = int(steps), None
    else:
        if max_time is None:
            max_steps = src_steps + transit + units.steps(400.0 / float(f.min()))
        else:
            max_steps = units.steps(max_time)
        probe = DecayProbe(decay_by, check_every=200,
                           after_step=min(src_steps, max_steps) + transit)
    stats = run(grid, [source], [mon_R, mon_T], max_steps, probe, progress,
                desc=f"voxsim {NM - 1} structure(s) x {len(excitations)} excitation(s)")

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
    pml = float(np.nanmax(np.abs(pml))) if pml.size else 0.0
    return R, T, pml, stats
