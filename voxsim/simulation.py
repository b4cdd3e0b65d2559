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

import math
import time
from dataclasses import dataclass
from typing import List, Optional, Sequence

import numpy as np
import torch

import Voxstep

from .boundaries import CPML, bloch_table
from .geometry import COMPONENTS, MaterialGrid
from .media import Medium
from .units import Units

NC = 2


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
                 tables: dict, cpml: CPML, periodic=(True, True), kx=None, device="cpu"):
        self.units = units
        self.shape = Nx, Ny, Nz = tuple(shape)
        self.NS, self.NM = NS, materials.NM
        self.device = dev = torch.device(device)
        self.cpml = cpml
        NM = self.NM
        f = dict(dtype=torch.float32, device=dev)
        z = lambda *s: torch.zeros(*s, **f)
        self.E = [z(NS, NM, Nx, Ny + 1, Nz + 1, NC), z(NS, NM, Nx + 1, Ny, Nz + 1, NC),
                  z(NS, NM, Nx + 1, Ny + 1, Nz, NC)]
        self.H = [z(NS, NM, Nx + 1, Ny + 1, Nz + 1, NC) for _ in range(3)]
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
        n = cpml.thickness
        psi = lambda: [z(NS, NM, 0, Ny, Nz, 2, NC), z(NS, NM, Nx, 0, Nz, 2, NC),
                       z(NS, NM, Nx, Ny, 2 * n, 2, NC)]
        self.psi_h, self.psi_e = psi(), psi()
        dt = units.dt
        self.C_h = [torch.full((Nx,), dt, **f), torch.full((Ny,), dt, **f)]
        self.C_e = [torch.full((Nx,), dt, **f), torch.full((Ny,), dt, **f)]
        self.b_h, self.g_h, self.b_e, self.g_e = [z(0), z(0)], [z(0), z(0)], [z(0), z(0)], [z(0), z(0)]
        for magnetic, C, b, g in ((True, self.C_h, self.b_h, self.g_h),
                                  (False, self.C_e, self.b_e, self.g_e)):
            Cz, bz, gz = cpml.profiles(Nz, dt, magnetic)
            C.append(torch.tensor(Cz, **f))
            b.append(torch.tensor(bz, **f))
            g.append(torch.tensor(gz, **f))
        self.n_layer = torch.tensor([0, 0, n], dtype=torch.int32, device=dev)
        self.unused = torch.empty(0, device=dev)

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
        Voxstep.Update_H(*self.H, *self.E, *self.C_h, *self.psi_h, *self.b_h, *self.g_h,
                         self.n_layer, self.unused)

    def update_e(self):
        m = [self.maps[c] for c in COMPONENTS]
        keep = [x.den1 for x in m]
        loss = [x.den2 for x in m]
        Voxstep.Update_E(*self.E, *self.H, *keep, *loss, *self.C_e, *self.psi_e, *self.b_e,
                         *self.g_e, self.n_layer, self.unused)
        if not self.dispersive:
            for e, d in zip(self.E_inner, self.den):
                e.div_(d)
            return
        Voxstep.Update_E_Dispersion(*self.E, *self.E_prev, *[x.weight for x in m],
                                    *[x.id_map for x in m], *[x.prev_id_map for x in m],
                                    *keep, *loss, self.alpha, self.beta, *self.aux1, *self.aux2,
                                    self.unused)

    def wrap(self):
        if any(self.periodic):
            Voxstep.Update_E_Periodic(*self.E, self.phase_x, self.phase_y, self.periodic_flags,
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
    stopped_by: str

    @property
    def steps_per_s(self) -> float:
        return self.steps / max(self.seconds, 1e-12)

    @property
    def cell_updates_per_s(self) -> float:
        return self.cell_updates / max(self.seconds, 1e-12)


class DecayProbe:
    """Stops the run once the field energy of the grid has fallen below
    ``decay_by`` times its largest sampled value, after ``after_step``; or
    once it has fallen below ``floor`` times the peak and stopped falling
    (a static residue at rounding level, which no longer changes a
    spectrum). The energy is read back every ``check_every`` steps (the
    run's only host synchronisation)."""

    def __init__(self, decay_by: float = 1e-9, check_every: int = 200, after_step: int = 0,
                 floor: float = 1e-7):
        self.decay_by = decay_by
        self.check_every = check_every
        self.after_step = after_step
        self.floor = floor
        self.peak = 0.0
        self.history = []
        self.reason = None

    @property
    def last(self):
        return self.history[-1] if self.history else None

    def done(self, n: int, grid: Grid) -> bool:
        if (n + 1) % self.check_every:
            return False
        e = float(grid.energy())
        if not math.isfinite(e):
            raise FloatingPointError(f"the fields diverged by step {n + 1}")
        self.history.append(e)
        self.peak = max(self.peak, e)
        if n < self.after_step:
            return False
        if e <= self.decay_by * self.peak:
            self.reason = "decay"
        elif (e <= self.floor * self.peak and len(self.history) > 4
              and e >= 0.95 * self.history[-4]):
            self.reason = "floor"
        return self.reason is not None


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
    stopped = "max_steps"
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
    return RunStats(steps, seconds, float(steps) * per_step, stopped)
