"""Resonances of a stack: where its modes are and how long they live.

``resonances(stack, fmin, fmax, resolution)`` excites the structure with
broadband current sources at points of low symmetry inside it (so that no
mode sits on a node of every source), records E at other such points
every step, lets the run go until the fields there have decayed (the
run's usual decay check; a run stopped before is said, as for spectra),
and fits the ring-down after the sources stopped by harmonic inversion
(``harminv.find_modes``). A mode found at several probes is reported once,
from the probe that sees it best (highest signal-to-noise); modes
weaker than ``FLOOR`` times the strongest are dropped (the fields are
float32: below that lies rounding, which the fit would turn into modes).

Conventions as in the package: f in c/a, t in a/c, fields ∝ exp(−iωt);
Q = π f / γ with γ the amplitude decay rate (``harminv``). The structure is
the stack's column (one cell transversely for a layered stack, the unit
cell for a periodic one), with the CPML of ``reflectance.default_cpml`` on
z. Its x faces are Bloch-periodic with the in-plane wavevector ``kx``
(rad/a; 0, the Γ point, by default): the fields are then complex, and both
halves are probed (each a real signal holding the mode). A layered stack's
modes at kx are its dispersion at that wavevector: for a microcavity, the
TE (E along y) and TM lines split as kx grows.

Sources: electric point dipoles (``dipoles.PointDipole``), a Gaussian
pulse covering the window, with x and y components of different amplitude
(both polarisations). Probes: Ex and Ey at each probe point,
copied into a device buffer every step (no host read until the end).
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import List, Optional

import numpy as np
import torch

from .dipoles import PointDipole
from .geometry import Stack
from .harminv import Modes, find_modes
from .simulation import DecayProbe, Grid, RunStats, run
from .sources import GaussianPulse, waveform_steps
from .reflectance import (build_materials, check_resolution, column_layout, default_cpml,
                      densest_index, evanescent_gap, transverse_layout)
from .units import Units, finite_number, require

# Fractions of the structure's depth (and of the unit cell) at which sources
# and probes stand: away from the centre and from every simple fraction.
SOURCE_AT = (0.31, 0.73)
PROBE_AT = (0.19, 0.43, 0.61, 0.87)
MERGE = 1e-3          # modes closer than this (relative) at two probes are one
FLOOR = 1e-5          # modes weaker than this × the strongest are float32 rounding


class TimeProbe:
    """Electric components (Ex and Ey by default) of one slice at a few
    cells, every step, into a device buffer [steps, points, components]."""

    def __init__(self, grid: Grid, points, slice_index: int = 1, components=(0, 1)):
        self.grid = grid
        p = np.asarray(points, dtype=np.int64)
        dev = grid.device
        self.i, self.j, self.k = (torch.tensor(p[:, a], device=dev) for a in range(3))
        self.m = slice_index
        # (component, channel): the imaginary halves too where the fields are complex
        halves = (0, 1) if getattr(grid, "complex_fields", False) else (0,)
        self.reads = [(c, h) for c in components for h in halves]
        self.buf = None

    def start(self, max_steps: int):
        self.buf = torch.zeros(max_steps, len(self.i), len(self.reads),
                               dtype=torch.float32, device=self.grid.device)

    def update(self, n: int):
        for q, (c, h) in enumerate(self.reads):
            self.buf[n, :, q] = self.grid.E[c][0, self.m, self.i, self.j, self.k, h]

    def signals(self, steps: int) -> np.ndarray:
        """[steps, points, components] float64."""
        return self.buf[:steps].double().cpu().numpy()


@dataclass
class Resonances:
    """The modes found in [fmin, fmax] (``modes``: a ``harminv.Modes``),
    whether the run's fields decayed before it stopped, the run's figures,
    and the probe signals (after the sources) with their time step, for
    plots."""

    modes: Modes
    converged: bool
    stats: RunStats
    window: tuple
    signals: np.ndarray = field(repr=False)
    dt: float = 0.0
    t0: float = 0.0
    seen_by: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=int))
    fields: object = None           # fields.FieldResult when asked for

    def plot(self, path=None, title=None):
        """|spectrum| of the probes' ring-down over the window, with the
        modes marked (f and Q)."""
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        lo, hi = self.window
        fig, ax = plt.subplots(figsize=(7, 3.8))
        n = self.signals.shape[0]
        if n > 1:
            f = np.fft.rfftfreq(8 * n, self.dt)
            keep = (f >= lo) & (f <= hi)
            for p in range(self.signals.shape[1]):
                s = np.abs(np.fft.rfft(self.signals[:, p], 8 * n, axis=0)).sum(axis=1)
                ax.semilogy(f[keep], s[keep], lw=0.8, label=f"probe {p}")
        for fm, q in zip(self.modes.frequency, self.modes.Q):
            ax.axvline(fm, color="k", lw=0.6, ls="--")
            ax.annotate(f"f = {fm:.5g}\nQ = {q:.4g}", (fm, 1), xycoords=("data", "axes fraction"),
                        fontsize=7, ha="left", va="top")
        ax.set_xlabel("frequency (c/a)")
        ax.set_ylabel("|E| of the ring-down (arb.)")
        ax.set_title(title or "resonances", fontsize=9)
        if n > 1:                   # no ring-down recorded: nothing to label
            ax.legend(fontsize=7, loc="lower right")
        ax.grid(alpha=0.3)
        from .plot import finish
        return finish(fig, path)


class _RingDown:
    """A monitor fed only from step ``first`` on: the DFT of the ring-down
    after the sources stopped, where a mode's frequency shows the mode
    alone (not the sources' driven near field)."""

    def __init__(self, monitor, first: int):
        self.monitor, self.first = monitor, int(first)

    def start(self, max_steps: int):
        self.monitor.start(max_steps)

    def update(self, n: int):
        if n >= self.first:
            self.monitor.update(n)


def _points(fractions, lay, tv, z_lo, z_hi):
    Px, Py = tv.cells
    pts = []
    for a, fr in enumerate(fractions):
        k = int(round(z_lo + fr * (z_hi - z_lo)))
        i = 1 + int(round(((fr * 2.3 + 0.17 * a) % 1.0) * (Px - 1))) if Px > 1 else 1
        j = 1 + int(round(((fr * 3.7 + 0.29 * a) % 1.0) * (Py - 1))) if Py > 1 else 1
        pts.append((i, j, k))
    return pts


def resonances(stack: Stack, fmin: float, fmax: float, resolution: float, *,
               courant: float = 0.5, decay_by: float = 1e-6, max_time: Optional[float] = None,
               fields=None, kx: float = 0.0, polarization: Optional[str] = None, probes=None,
               device="cpu", progress: bool = False) -> Resonances:
    """The modes of `stack` with frequency in [fmin, fmax] (c/a): see the
    module notes. Stops when the fields at the probes have decayed by
    ``decay_by`` (squared change over a step, relative to its peak), else at
    ``max_time`` (a/c) or the safety cap (the pulse, two transits, 2000
    periods of fmin); a run stopped before decay warns
    (``NotConvergedWarning``) and returns ``converged`` False. ``fields``: a
    ``fields.FieldRequest``: the DFT fields of the ring-down after the
    sources stopped (``Resonances.fields``, not scaled: at a mode's
    frequency, its profile). ``kx``: the Bloch wavevector of the x faces
    (rad/a). ``polarization``: "s" (E along y, TE) or "p" (E in the x-z
    plane, TM) excites and probes that family alone; None both (their lines
    nearly coincide near normal incidence, where one is reported).
    ``probes``: the points (a; x, y in the unit cell, z from the top of the
    first layer) recorded instead of the low-symmetry ones."""
    fmin, fmax = _window(fmin, fmax)
    kx = finite_number(kx, "kx")
    require(polarization in (None, "s", "p"), "polarization",
            f"must be \"s\", \"p\" or None, got {polarization!r}")
    moment, seen = {None: ((0.6, 1.0, 0.0), (0, 1)), "s": ((0.0, 1.0, 0.0), (1,)),
                    "p": ((1.0, 0.0, 0.0), (0, 2))}[polarization]
    units = Units(resolution, courant)
    band = np.linspace(fmin, fmax, 9)
    check_resolution([stack], band, units)
    device = torch.device(device)
    tv = transverse_layout([stack], units)
    cpml = default_cpml([stack], band, units, [kx])
    gap = evanescent_gap([stack], band, units, tv, [kx])
    lay = column_layout([stack], units, cpml, 0.0, None, gap)
    mats, _, tables = build_materials([stack], stack.incident, units, lay, device, "subcell", tv)
    shape = (*tv.shape, lay.Nz)
    grid = Grid(units, shape, 1, mats, tables, cpml, (True, True), [kx / units.resolution],
                device)

    # inside the structure (or around its surface when it has no depth)
    z_lo, z_hi = lay.z_top, float(lay.z_bottom[0])
    if z_hi - z_lo < 4:
        z_lo, z_hi = z_lo - 2, z_lo + 2
    z_lo, z_hi = max(z_lo, lay.k_R + 1), min(z_hi, lay.k_T - 1)
    pulse = GaussianPulse(0.5 * (fmin + fmax), 0.5 * (fmax - fmin))
    # point dipoles, which drive every copy the periodic faces keep of their
    # samples with its Bloch factor (a current in one copy alone would leave
    # the copies out of step: a spurious field that does not see kx)
    sources = [PointDipole(grid, pulse, (np.asarray(p) + (0.5, 0.5, 0.0)) / units.resolution,
                           moment, record=False)
               for p in _points(SOURCE_AT, lay, tv, z_lo, z_hi)]
    if probes is None:
        probe_points = _points(PROBE_AT, lay, tv, z_lo, z_hi)
    else:           # the user's points, wrapped into the unit cell
        Px, Py = tv.cells
        probe_points = [(1 + int(round(x * resolution)) % Px, 1 + int(round(y * resolution)) % Py,
                         min(max(int(round(lay.z_top + z * resolution)), lay.k_R + 1), lay.k_T - 1))
                        for x, y, z in probes]
    probe = TimeProbe(grid, probe_points, components=seen)
    monitors = [probe]
    if fields is not None:
        from . import fields as fd
        origin = (1.0, 1.0, lay.z_top)
        field_dft = fd.FieldDFT(grid, fd.DFTClock(fields.frequencies, units, device),
                                fd.request_boxes(grid, fields, origin,
                                                 (None, None, (lay.k_R + 1, lay.k_T))))
        monitors.append(_RingDown(field_dft, waveform_steps(pulse, units)))

    src_steps = waveform_steps(pulse, units)
    transit = int(2 * lay.Nz * densest_index(stack.media(), band) / units.dt)
    out = _run_to_ring_down(grid, sources, monitors, probe, probe_points, src_steps, transit,
                            units, fmin, fmax, decay_by, max_time, progress,
                            ("the reference", "the structure"))
    if fields is not None:
        out.fields = fd.collect(field_dft, fields, origin, structure=1)
    return out


def _run_to_ring_down(grid, sources, monitors, probe, probe_points, src_steps, transit, units,
                      fmin, fmax, decay_by, max_time, progress, names):
    """Steps a resonance run to decay (or ``max_time``, or the safety cap:
    the pulse, the transits and 2000 periods of fmin) and fits its
    ring-down; ``names`` words slice 0 and slice 1 in messages."""
    if max_time is not None:
        max_steps = units.steps(max_time)
    else:
        max_steps = src_steps + transit + units.steps(2000.0 / fmin)
    check = DecayProbe(decay_by, check_every=200, planes=sorted({p[2] for p in probe_points}),
                       after_step=min(src_steps, max_steps) + transit, quiet_from=src_steps,
                       label=lambda s, m: names[min(m, 1)],
                       quarter=round(0.25 / (0.5 * (fmin + fmax) * units.dt_a)))
    stats = run(grid, sources, monitors, max_steps, check, progress,
                desc=f"voxsim resonances {fmin:g}-{fmax:g} c/a")
    return _ring_down(stats, probe, src_steps, units, fmin, fmax, decay_by, names[1])


def _ring_down(stats: RunStats, probe: TimeProbe, src_steps: int, units: Units, fmin: float,
               fmax: float, decay_by: float, what: str) -> Resonances:
    """The modes in the probes' signals after the sources stopped (slice 1's
    decay decides ``converged``; a run cut short warns)."""
    from .trust import warn_not_converged
    converged = bool(stats.converged[0, 1])
    if not converged:
        warn_not_converged(what, stats.steps * units.dt_a, float(stats.decayed[0, 1]),
                           float(stats.steps_needed[0, 1]) * units.dt_a, decay_by,
                           "weakly damped modes may be missed or their Q wrong", stacklevel=3)

    start = min(src_steps, stats.steps - 1)
    sig = probe.signals(stats.steps)[start:]
    t0 = (start + 1) * units.dt_a
    found = []
    if len(sig) >= 64:
        for p in range(sig.shape[1]):
            for c in range(sig.shape[2]):
                s = sig[:, p, c]
                if not np.any(s):
                    continue
                m = find_modes(s, units.dt_a, fmin, fmax, t0=t0)
                found += [(m.frequency[q], m.decay[q], m.Q[q], m.amplitude[q], m.error[q],
                           m.snr[q]) for q in range(len(m))]
    modes, seen = _merge(found)
    return Resonances(modes, converged, stats, (fmin, fmax), sig, units.dt_a, t0, seen)


def _window(fmin, fmax):
    """The search window [fmin, fmax] (c/a), refused unless 0 < fmin < fmax."""
    fmin, fmax = finite_number(fmin, "frequency.min"), finite_number(fmax, "frequency.max")
    require(0 < fmin < fmax, "frequency", f"need 0 < min < max, got [{fmin:g}, {fmax:g}]")
    return fmin, fmax


def _merge(found) -> tuple:
    """One record per mode, from the probe with the best signal-to-noise;
    also how many (probe, component) fits saw it."""
    if found:
        top = max(abs(r[3]) for r in found)
        found = [r for r in found if abs(r[3]) >= FLOOR * top]
    found = sorted(found, key=lambda r: -r[5])
    kept: List[list] = []
    for r in found:
        for k in kept:
            if abs(k[0][0] - r[0]) <= MERGE * abs(r[0]) + 3 * (k[0][4] + r[4]) * abs(r[0]):
                k[1] += 1
                break
        else:
            kept.append([r, 1])
    kept.sort(key=lambda k: k[0][0])
    cols = list(zip(*[k[0] for k in kept])) if kept else [[]] * 6
    arr = lambda i, dt=np.float64: np.asarray(cols[i], dtype=dt)
    modes = Modes(arr(0), arr(1), arr(2), arr(3, np.complex128), arr(4), arr(5))
    return modes, np.asarray([k[1] for k in kept], dtype=int)


# fractions of the object's bounding box (per axis) at which the dipoles and
# the probes of an isolated object stand: off every mirror plane and axis
OBJECT_SOURCES = ((0.31, 0.43, 0.62), (0.71, 0.27, 0.38))
OBJECT_PROBES = ((0.19, 0.58, 0.33), (0.64, 0.81, 0.71), (0.41, 0.23, 0.86), (0.87, 0.39, 0.17))
OBJECT_ORIENTATIONS = ((0.6, 1.0, 0.8), (1.0, -0.7, 0.5))


def object_resonances(shapes, fmin: float, fmax: float, resolution: float, *,
                      background=None, padding: Optional[float] = None, courant: float = 0.5,
                      decay_by: float = 1e-6, max_time: Optional[float] = None,
                      smoothing: str = "subcell", fields=None, probes=None, device="cpu",
                      progress: bool = False) -> Resonances:
    """The modes of an isolated object (`shapes` painted in order in
    ``background``) with frequency in [fmin, fmax] (c/a).

    The open box of the dipole runs (``ldos.open_box``): the shapes'
    bounding box, ``padding`` (a; default a quarter of the longest
    wavelength in the background, as for ``scatter``) on every side, then
    the absorbing layers. Broadband electric dipoles (``dipoles.PointDipole``,
    a Gaussian pulse covering the window, two of them at points of the
    bounding box off every mirror plane and axis, oblique orientations)
    drive the structure slice; Ex, Ey, Ez are recorded at four other such
    points; the run stops when the fields on the probes' planes have
    decayed by ``decay_by`` (else at ``max_time`` or the safety cap, with a
    ``NotConvergedWarning``); the ring-down is fitted as for stacks.
    Modes that lose energy mainly by radiation have the Q of the open
    object (the absorbing layers stand for free space). ``fields``: a
    ``fields.FieldRequest``: the DFT fields of the ring-down after the
    dipoles stopped (``Resonances.fields``, not scaled: at a mode's
    frequency, its profile). ``probes``: the points (a) recorded instead.
    """
    from .ldos import open_box
    from .media import Medium
    from .scatter import check_scatter, objects_bounds
    from .reflectance import smoothing_mode
    fmin, fmax = _window(fmin, fmax)
    background = Medium() if background is None else background
    shapes = list(shapes)
    require(len(shapes) > 0, "shapes", "need at least one shape")
    units = Units(resolution, courant)
    band = np.linspace(fmin, fmax, 9)
    padding = check_scatter(shapes, band, units, background, padding)
    lo, hi = objects_bounds(shapes)
    size = 2 * np.maximum(np.abs(lo), np.abs(hi)) + 2 * padding
    grid, frame, media = open_box(shapes, band, units, size, 1, background, None,
                                  smoothing_mode(smoothing), device)

    at = lambda fr: tuple(lo + np.asarray(fr) * (hi - lo))
    pulse = GaussianPulse(0.5 * (fmin + fmax), 0.5 * (fmax - fmin))
    sources = [PointDipole(grid, pulse, at(fr), o, origin=frame.origin, record=False)
               for fr, o in zip(OBJECT_SOURCES, OBJECT_ORIENTATIONS)]
    probe_points = [tuple(int(round(u)) for u in frame.to_cells(p)) for p in
                    (probes if probes is not None else [at(fr) for fr in OBJECT_PROBES])]
    probe = TimeProbe(grid, probe_points, components=(0, 1, 2))
    monitors = [probe]
    if fields is not None:
        from . import fields as fd
        field_dft = fd.FieldDFT(grid, fd.DFTClock(fields.frequencies, units, grid.device),
                                fd.request_boxes(grid, fields, frame.origin), halves=1)
        monitors.append(_RingDown(field_dft, waveform_steps(pulse, units)))

    src_steps = waveform_steps(pulse, units)
    n_max = max(float(np.abs(m.index(band)).max()) for m in media)
    transit = int(2 * max(grid.shape) * n_max / units.dt)
    out = _run_to_ring_down(grid, sources, monitors, probe, probe_points, src_steps, transit,
                            units, fmin, fmax, decay_by, max_time, progress,
                            ("the background", "the object"))
    if fields is not None:
        out.fields = fd.collect(field_dft, fields, frame.origin, structure=1)
    return out
