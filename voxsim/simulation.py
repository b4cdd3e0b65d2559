"""The time-stepping engine: fields, coefficients and the kernel calls of one
step.

Module choice: ``Voxstep`` (float32 fields) with NC = 2 channel halves, the
real part in channel 0 and the imaginary part in channel 1. Its dispersive
completion holds one complex pole per material (the ``alpha``/``beta``
tables) and divides by a per-cell denominator, which is where the
permittivity lives; ``Voxstep4``'s completion only divides. It also has the
frequency-domain monitor. The halves carry the complex Bloch field that an
oblique plane wave needs (``Update_E_Periodic`` mixes them with the phase
factor); at normal incidence the source is real and the imaginary half stays
zero (its monitors are skipped).

Axes of every field: [s, m, i, j, k, c] = excitation (NS: polarisations,
angles), structure (NM: slice 0 is the reference), x, y, z cells, channel.
Magnetic fields are allocated one sample larger along x, y and z than the
updates use (the extra samples stay zero), so the electric-field monitor can
read them with the same box as the electric field.

One step, in the order the kernels rely on:
``Update_H`` → sources' magnetic side (``Inject_H``) → ``Update_E`` →
``Update_E_Dispersion`` → sources' electric side (``Inject_E``,
``Inject_J``) → ``Update_E_Periodic`` → monitors. Nothing in a step reads
back to the host; the decay probe does, every ``check_every`` steps.

Without any pole in the medium table the completion reduces to
E(n+1) = E*/(den1 + den2): the grid then divides with one torch op per
component (the same float32 quotient) and allocates neither the previous
field nor the auxiliaries; the kernel's general completion, which also
advances two complex auxiliaries per sample, costs more than the curl
update itself on the CPU.
"""
from __future__ import annotations

import time
from dataclasses import dataclass
from typing import List, Optional, Sequence

import numpy as np
import torch

from . import kernels
from .boundaries import CPML, bloch_table
from .materials import COMPONENTS, MaterialGrid
from .media import Medium
from .trust import DivergenceError
from .units import Units

NC = 2


class PeerDiverged(RuntimeError):
    """Another process of the same run diverged (that one raises
    ``DivergenceError``)."""


STALL_CHECKS = 10     # a slice below the floor that fell by < 10 % over this many checks has stalled
WINDOW = 5            # checks whose largest change is the slice's level (phase-blind)


class MediumTable:
    """Material ids and the per-id tables the kernels read."""

    def __init__(self):
        self.media: List[Medium] = []

    def add(self, medium: Medium) -> int:
        """A new id for `medium` (one per painted object: the subcell
        refinement acts on every sample its id owns)."""
        if len(self.media) >= 256:
            raise ValueError("more than 256 painted objects: material ids are 8-bit")
        self.media.append(medium)
        return len(self.media) - 1

    def tables(self, units: Units, device):
        co = [m.coefficients(units) for m in self.media]
        f32 = dict(dtype=torch.float32, device=device)
        c64 = dict(dtype=torch.complex64, device=device)
        return dict(
            perm=torch.tensor([c.permittivity for c in co], **f32),
            cond=torch.tensor([c.conductivity for c in co], **f32),
            alpha=torch.tensor([c.alpha for c in co], **c64),
            beta=torch.tensor([c.beta for c in co], **c64),
            eps=torch.tensor([m.eps for m in self.media], **f32),
        )


class Grid:
    """Fields, auxiliaries and coefficients of one Yee grid, and the kernel
    calls that advance it."""

    def __init__(self, units: Units, shape, NS: int, materials: MaterialGrid,
                 tables: dict, cpml: CPML, periodic=(True, True), kx=None, device="cpu",
                 absorbing=(False, False, True), channels: int = NC):
        self.units = units
        self.shape = Nx, Ny, Nz = tuple(shape)
        self.NS, self.NM = NS, materials.NM
        self.NC = NC_ = int(channels)
        self.device = dev = torch.device(device)
        self.cpml = cpml
        self.absorbing = tuple(bool(a) for a in absorbing)
        NM = self.NM
        f = dict(dtype=torch.float32, device=dev)
        z = lambda *s: torch.zeros(*s, **f)
        self.E = [z(NS, NM, Nx, Ny + 1, Nz + 1, NC_), z(NS, NM, Nx + 1, Ny, Nz + 1, NC_),
                  z(NS, NM, Nx + 1, Ny + 1, Nz, NC_)]
        self.H = [z(NS, NM, Nx + 1, Ny + 1, Nz + 1, NC_) for _ in range(3)]
        self.alpha, self.beta = tables["alpha"], tables["beta"]
        self.dispersive = bool((self.alpha != 0).any() or (self.beta != 0).any())
        if self.dispersive:
            self.E_prev = [e.clone() for e in self.E]
            self.aux1 = [torch.zeros(e.shape, dtype=torch.complex64, device=dev) for e in self.E]
            self.aux2 = [torch.zeros(e.shape, dtype=torch.complex64, device=dev) for e in self.E]
        else:
            # views of the samples the completion writes, and their divisors
            self.E_inner = [e[:, :, :Nx, :Ny, :Nz, :] for e in self.E]
            self.den = [(materials.comp[c].den1 + materials.comp[c].den2)[None, ..., None]
                        for c in COMPONENTS]
        # absorbing layers (thickness n) on the faces of the absorbing axes:
        # per axis the auxiliaries, the curl profile C = dt/κ and b, g
        n = cpml.thickness
        layer = [n if a else 0 for a in self.absorbing]
        sizes = [(Nx, Ny, Nz) for _ in range(3)]
        psi = lambda: [z(NS, NM, *[2 * layer[a] if b == a else sizes[a][b] for b in range(3)],
                         2, NC_) for a in range(3)]
        self.psi_h, self.psi_e = psi(), psi()
        dt = units.dt
        self.C_h, self.C_e = [], []
        self.b_h, self.g_h, self.b_e, self.g_e = [], [], [], []
        for magnetic, C, b, g in ((True, self.C_h, self.b_h, self.g_h),
                                  (False, self.C_e, self.b_e, self.g_e)):
            for a, N in enumerate((Nx, Ny, Nz)):
                if layer[a]:
                    Ca, ba, ga = cpml.profiles(N, dt, magnetic)
                    C.append(torch.tensor(Ca, **f))
                    b.append(torch.tensor(ba, **f))
                    g.append(torch.tensor(ga, **f))
                else:
                    C.append(torch.full((N,), dt, **f))
                    b.append(z(0))
                    g.append(z(0))
        self.n_layer = torch.tensor(layer, dtype=torch.int32, device=dev)
        self.unused = torch.empty(0, device=dev)
        # callables run between the curl update and the completion: a
        # current added there enters as (den1 + den2)·E(n+1) − … = J, the
        # row the adjoint run's sources need (``adjoint``)
        self.provisional_hooks = []

        self.maps = materials.comp

        self.periodic = tuple(bool(p) for p in periodic)
        self.kx = np.zeros(NS) if kx is None else np.asarray(kx, dtype=np.float64)
        self.complex_fields = bool(np.any(self.kx != 0))
        if any(self.periodic):
            self.phase_x = bloch_table(self.kx, Nx - 1, dev)
            self.phase_y = bloch_table(np.zeros(NS), Ny - 1, dev)
            self.periodic_flags = torch.tensor([int(p) for p in self.periodic], dtype=torch.int32,
                                               device=dev)

    @property
    def cells(self) -> int:
        Nx, Ny, Nz = self.shape
        return Nx * Ny * Nz

    def update_h(self):
        kernels.Update_H(*self.H, *self.E, *self.C_h, *self.psi_h, *self.b_h, *self.g_h,
                         self.n_layer, self.unused)

    def update_e(self):
        m = [self.maps[c] for c in COMPONENTS]
        keep = [x.den1 for x in m]
        loss = [x.den2 for x in m]
        kernels.Update_E(*self.E, *self.H, *keep, *loss, *self.C_e, *self.psi_e, *self.b_e,
                         *self.g_e, self.n_layer, self.unused)
        for hook in self.provisional_hooks:
            hook()
        if not self.dispersive:
            for e, d in zip(self.E_inner, self.den):
                e.div_(d)
            return
        kernels.Update_E_Dispersion(*self.E, *self.E_prev, *[x.weight for x in m],
                                    *[x.id_map for x in m], *[x.prev_id_map for x in m],
                                    *keep, *loss, self.alpha, self.beta, *self.aux1, *self.aux2,
                                    self.unused)

    def wrap(self):
        if any(self.periodic):
            kernels.Update_E_Periodic(*self.E, self.phase_x, self.phase_y, self.periodic_flags,
                                      True)

    def energy(self) -> torch.Tensor:
        """Σ E² + H² over the grid (a device scalar)."""
        return sum((t * t).sum() for t in self.E + self.H)


def uniform_grid(units: Units, shape, NS: int, medium: Medium, cpml: CPML, kx, device) -> Grid:
    """A grid filled with one medium (the auxiliary line of a plane wave)."""
    table = MediumTable()
    table.add(medium)
    mats = MaterialGrid(shape, 1, device)
    t = table.tables(units, device)
    mats.coefficients(t["perm"], t["cond"])
    return Grid(units, shape, NS, mats, t, cpml, (True, True), kx, device)


@dataclass
class RunStats:
    steps: int
    seconds: float
    cell_updates: float   # Yee cells × NS × NM × steps
    stopped_by: str       # "decay", "max_steps" (or the cap) or "steps" (a fixed count)
    converged: Optional[np.ndarray] = None   # [NS, NM]: the slice's fields decayed
    decayed: Optional[np.ndarray] = None     # [NS, NM]: decay reached (change / its peak)
    steps_needed: Optional[np.ndarray] = None  # [NS, NM]: estimate, 0 where decayed

    @property
    def steps_per_s(self) -> float:
        return self.steps / max(self.seconds, 1e-12)

    @property
    def cell_updates_per_s(self) -> float:
        return self.cell_updates / max(self.seconds, 1e-12)


class DecayProbe:
    """The run's periodic check (its only host synchronisation), every
    ``check_every`` steps, per excitation s and structure slice m:

    - decay: D[s, m] = Σ |X(n) − X(n − 1)|² over the six field components
      on the ``planes`` (z indices; the monitors' planes), the change of the
      fields over one step, plus the same change ``quarter`` steps earlier
      (a quarter period of the band's centre: the sum does not swing with
      the phase at which the check falls). A static field left behind by an oblique pulse
      (it has no frequency, adds nothing to a spectrum, and never decays)
      does not count; a ringing resonance does. The slice's level is the
      largest D of the last ``WINDOW`` checks (what remains of the swing
      for frequencies away from the centre). Slice [s, m] has decayed
      once D has fallen below ``decay_by`` times its peak after
      ``after_step``, or below ``floor`` times its peak and no longer
      falling (by less than 10 % over ``STALL_CHECKS`` checks: rounding
      noise, or a lossless bound mode below the light line that never
      leaves and lies outside the band). Without planes the grid's field energy is used.
      With ``stop`` the run ends once every slice has decayed.
    - divergence: the field energy W[s, m] = Σ E² + H² over the grid. A
      non-finite value, or W above ``growth`` times its peak at the step the
      sources stopped (``quiet_from``; a passive structure cannot gain
      energy once they have), raises ``DivergenceError`` naming the slice
      (``label(s, m)`` words it) and the step.

    After the run ``converged`` [NS, NM] says which slices decayed,
    ``decayed`` [NS, NM] the decay reached (D over its peak) and
    ``time_needed(units)`` estimates the time still needed."""

    def __init__(self, decay_by: float = 1e-9, check_every: int = 200, after_step: int = 0,
                 floor: float = 1e-7, planes: Sequence[int] = (), stop: bool = True,
                 quiet_from: Optional[int] = None, growth: float = 10.0, label=None,
                 quarter: int = 0, agree=None):
        self.decay_by = decay_by
        self.check_every = max(2, int(check_every))
        self.after_step = after_step
        self.floor = floor
        self.planes = list(planes)
        self.stop = stop
        self.quiet_from = quiet_from
        self.growth = growth
        self.label = label or (lambda s, m: f"excitation {s}, slice {m}")
        self.peak = None          # peak of D, [NS, NM]
        self.history = []         # (step, D [NS, NM]) per check
        self.levels = []          # max of D over the last WINDOW checks
        self.energy_peak = None   # peak of W up to quiet_from
        self.converged = None
        self.reason = None
        self.quarter = int(min(max(quarter, 0), self.check_every - 2))
        # agree(diverged, decayed) -> (any rank diverged, every rank decayed):
        # runs of one sweep on several processes stop together
        self.agree = agree
        self._before = self._early = self._shifted = None
        self._index = None

    @property
    def last(self):
        return self.history[-1][1] if self.history else None

    def _planes(self, grid):
        if self._index is None:
            self._index = torch.tensor(self.planes, dtype=torch.long, device=grid.device)
        return [t.index_select(4, self._index) for t in grid.E + grid.H]

    def _fields(self, grid):
        """The tensors whose energy W sums (a grid cut over processes
        counts its own samples)."""
        return grid.E + grid.H

    def _reduce(self, both: torch.Tensor) -> torch.Tensor:
        """[W, D] of this process as the decisions take them (a grid cut
        over processes sums them over its ranks)."""
        return both

    def _change(self, grid, before):
        dims = tuple(range(2, grid.E[0].dim()))
        return sum(((a - b) ** 2).sum(dim=dims, dtype=torch.float64)
                   for a, b in zip(self._planes(grid), before))

    def done(self, n: int, grid: Grid) -> bool:
        """Called after every step n; True to stop the run."""
        to_check = -(n + 1) % self.check_every
        if self.planes and 0 < to_check <= self.quarter + 1:
            # the change over one step a quarter period before the check
            # and just before it: together blind to the phase
            q = self.quarter
            if to_check == q and self._early is not None:
                self._shifted = self._change(grid, self._early)
            if to_check == q + 1:
                self._early = [t.clone() for t in self._planes(grid)]
            if to_check == 1:
                self._before = [t.clone() for t in self._planes(grid)]
        if to_check:
            return False
        dims = tuple(range(2, grid.E[0].dim()))
        W = sum(torch.linalg.vector_norm(t, dim=dims).double() ** 2 for t in self._fields(grid))
        if self.planes and self._before is not None:
            D = self._change(grid, self._before)
            if self.quarter and self._shifted is not None:
                D = D + self._shifted
            self._shifted = None
            both = torch.stack([W, D])
        else:
            both = torch.stack([W, W])
        W, D = self._reduce(both).cpu().numpy()
        try:
            self._divergence(n, W)
        except DivergenceError:
            if self.agree is not None:
                self.agree(True, False)
            raise
        self.history.append((n + 1, D))
        self.levels.append(np.max([d for _, d in self.history[-WINDOW:]], axis=0))
        self.peak = D.copy() if self.peak is None else np.maximum(self.peak, D)
        if n < self.after_step:
            self.converged = np.zeros(D.shape, dtype=bool)
            if self.agree is not None:
                self._agreed(n, False, False)
            return False
        level = self.levels[-1]
        decayed = level <= self.decay_by * self.peak
        if len(self.levels) > STALL_CHECKS:
            old = self.levels[-1 - STALL_CHECKS]
            decayed |= (level <= self.floor * self.peak) & (level >= 0.9 * old)
        self.converged = decayed
        done = bool(decayed.all())
        if self.agree is not None:
            done = self._agreed(n, False, done)
        if self.stop and done:
            self.reason = "decay"
            return True
        return False

    def _agreed(self, n: int, diverged: bool, done: bool) -> bool:
        """The ranks' joint verdict at this check: a peer's divergence stops
        this rank too."""
        any_diverged, all_done = self.agree(diverged, done)
        if any_diverged and not diverged:
            raise PeerDiverged(f"another process of the run diverged (step {n + 1})")
        return all_done

    def _divergence(self, n: int, W: np.ndarray):
        bad = ~np.isfinite(W)
        why = "turned non-finite"
        if not bad.any():
            quiet = self.quiet_from is None or n < self.quiet_from
            if self.energy_peak is None or quiet:
                self.energy_peak = W.copy() if self.energy_peak is None else np.maximum(
                    self.energy_peak, W)
                return
            bad = W > self.growth * self.energy_peak
            why = f"grew past {self.growth:g} times their energy when the sources stopped"
            if not bad.any():
                return
        s, m = (int(i) for i in np.argwhere(bad)[0])
        raise DivergenceError(f"the fields diverged ({self.label(s, m)}): they {why} "
                              f"(detected at step {n + 1})", n + 1, s, m)

    @property
    def decayed(self) -> Optional[np.ndarray]:
        """The level over its peak at the last check, [NS, NM]."""
        if not self.history:
            return None
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(self.peak > 0, self.levels[-1] / self.peak, 0.0)

    def steps_needed(self) -> np.ndarray:
        """Steps still needed per slice to reach ``decay_by``, from the decay
        rate over the last checks (0 where decayed, inf where not
        decaying)."""
        if not self.history or self.converged is None:
            return np.full((1, 1), np.inf)
        ratio = self.decayed
        need = np.zeros(ratio.shape)
        k = len(self.history) - 1
        if k < 1:
            need[~self.converged] = np.inf
            return need
        k = min(len(self.history) - 1, 2 * WINDOW)
        (n0, _), (n1, _) = self.history[-1 - k], self.history[-1]
        D0, D1 = self.levels[-1 - k], self.levels[-1]
        with np.errstate(divide="ignore", invalid="ignore"):
            rate = (np.log(np.maximum(D1, 1e-300)) - np.log(np.maximum(D0, 1e-300))) / (n1 - n0)
            steps = np.log(self.decay_by / np.maximum(ratio, 1e-300)) / rate
        need = np.where(rate < 0, steps, np.inf)
        need[self.converged] = 0.0
        return need


def run(grid: Grid, sources: Sequence, monitors: Sequence, max_steps: int,
        probe: Optional[DecayProbe] = None, progress: bool = False, desc: str = "") -> RunStats:
    """Step `grid` until the probe says the fields decayed, or `max_steps`.
    Subnormal numbers are flushed to zero while the loop runs (as the
    kernels do inside their bodies): the torch ops of a step would otherwise
    crawl through the pulse's leading edge."""
    bar = None
    if progress:
        from tqdm import tqdm
        # the decay probe decides the end: no total, a running count
        bar = tqdm(desc=desc or "voxsim", unit="step", dynamic_ncols=True)
    per_step = grid.cells * grid.NS * grid.NM
    for s in sources:
        s.start(max_steps)
    for m in monitors:
        m.start(max_steps)
    stopped = "max_steps" if probe is None or probe.stop else "steps"
    t0 = time.perf_counter()
    n = 0
    last_bar = 0
    torch.set_flush_denormal(True)
    try:
        for n in range(max_steps):
            for s in sources:
                s.before_h(n)
            grid.update_h()
            for s in sources:
                s.after_h(n)
            grid.update_e()
            for s in sources:
                s.after_e(n)
            grid.wrap()
            for m in monitors:
                m.update(n)
            if probe is not None and probe.done(n, grid):
                stopped = probe.reason
                break
            if bar is not None and (n + 1) % 50 == 0:
                bar.update(n + 1 - last_bar)
                last_bar = n + 1
                rate = (n + 1) / max(time.perf_counter() - t0, 1e-9)
                bar.set_postfix_str(f"{rate * per_step:.3g} cell updates/s", refresh=False)
    finally:
        torch.set_flush_denormal(False)
    steps = n + 1
    if grid.device.type == "cuda":
        torch.cuda.synchronize(grid.device)
    seconds = time.perf_counter() - t0
    if bar is not None:
        bar.update(steps - last_bar)
        bar.set_postfix_str(f"{steps * per_step / seconds:.3g} cell updates/s, {stopped}")
        bar.close()
    out = RunStats(steps, seconds, float(steps) * per_step, stopped)
    if probe is not None and probe.converged is not None:
        out.converged, out.decayed = probe.converged.copy(), probe.decayed
        out.steps_needed = probe.steps_needed()
    elif probe is not None:           # stopped before the first check: nothing is known
        shape = (grid.NS, grid.NM)
        out.converged = np.zeros(shape, dtype=bool)
        out.decayed, out.steps_needed = np.ones(shape), np.full(shape, np.inf)
    return out
