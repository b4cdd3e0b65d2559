"""Sources: waveforms, the plane wave (total-field/scattered-field plane fed
by an auxiliary line) and volume currents.

Waveforms are real functions of time in a/c, sampled once per step at
t = (n + 1)·dt:
- ``GaussianPulse(frequency, bandwidth)``: sin(2πf(t − t0))·exp(−(t − t0)²/2w²)
  with w = 1/(2π·bandwidth) (the spectrum falls to e^{-1/2} at f ± bandwidth)
  and t0 = 5w; the sine carrier makes it free of a static part, so nothing
  is left behind when it has passed.
- ``ContinuousWave(frequency, ramp)``: sin(2πft) switched on over ``ramp``
  a/c with a raised cosine.
- ``Samples(values)``: one value per step, as given.

Plane wave. The plane of incidence is x–z and the in-plane wavevector points
along +x: s polarisation has E along y, p polarisation H along y. Oblique
incidence uses Bloch-periodic x with kx = 2π·f_c·n_inc·sin θ fixed at the
centre frequency f_c, so the angle depends on frequency:
sin θ(f) = (f_c / f)·sin θ, and frequencies with f < f_c·sin θ are below
cut-off (no propagating incident wave).

The incident field comes from an auxiliary line: the same kernels on a grid
with a one-cell period in x and y (the same Bloch phase per cell), filled
with the incident medium, driven by a current sheet (``Inject_J``) and
closed by CPML. Its fields are the grid's own plane wave in the same dt and
cell size, so the total-field/scattered-field plane cancels to rounding. The
amplitudes passed to ``Inject_H``/``Inject_E`` are views of the line's
fields (no copies, no host reads); the transverse profile is the Bloch
factor e^{i·kx·(i − 1)} relative to the line's sample at i = 1. Within a
step: line ``Update_H``; main ``Update_H``; ``Inject_H`` with the line's
E(n) at plane kp + 1; main ``Update_E`` and completion; ``Inject_E`` with
the line's H(n + ½) at plane kp + ½ and coefficient dt/ε_inc (it comes after
the completion's division); the line's ``Update_E``, current and wrap. Once
a pulse has passed the plane, the plane and the line stop: what is left in
the line is rounding noise, including a static part that the plane would
otherwise feed into the grid at every step.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional, Sequence

import numpy as np
import torch


from . import kernels
from .media import Medium
from .units import Units, finite_number, require


class Waveform:
    """A real signal; ``frequency`` (c/a), where present, is its centre."""

    def __call__(self, t):
        raise NotImplementedError

    def end_time(self) -> float:
        """Time (a/c) after which the waveform is zero."""
        return math.inf


@dataclass(frozen=True)
class GaussianPulse(Waveform):
    frequency: float
    bandwidth: float
    cutoff: float = 5.0

    def __post_init__(self):
        require(finite_number(self.frequency, "frequency") > 0, "frequency", "must be positive")
        require(finite_number(self.bandwidth, "bandwidth") > 0, "bandwidth", "must be positive")

    @property
    def width(self) -> float:
        return 1.0 / (2 * math.pi * self.bandwidth)

    def __call__(self, t):
        t = np.asarray(t, dtype=np.float64) - self.cutoff * self.width
        return np.sin(2 * np.pi * self.frequency * t) * np.exp(-t**2 / (2 * self.width**2))

    def end_time(self) -> float:
        return 2 * self.cutoff * self.width


@dataclass(frozen=True)
class ContinuousWave(Waveform):
    frequency: float
    ramp: float = 10.0

    def __call__(self, t):
        t = np.asarray(t, dtype=np.float64)
        env = np.where(t < self.ramp, 0.5 * (1 - np.cos(np.pi * np.clip(t, 0, None) / self.ramp)), 1.0)
        return np.sin(2 * np.pi * self.frequency * t) * env


class Samples(Waveform):
    """User samples, one per step (value at step n is ``values[n]``, zero
    after the last); ``frequency`` optional (needed for oblique incidence)."""

    def __init__(self, values, frequency: Optional[float] = None):
        self.values = np.asarray(values, dtype=np.float64)
        self.frequency = frequency

    def sample(self, steps: int, units: Units):
        out = np.zeros(steps)
        n = min(steps, len(self.values))
        out[:n] = self.values[:n]
        return out


def sample_waveform(w: Waveform, steps: int, units: Units) -> np.ndarray:
    if isinstance(w, Samples):
        return w.sample(steps, units)
    return w((np.arange(steps) + 1) * units.dt_a)


def waveform_steps(w: Waveform, units: Units) -> int:
    """Number of steps after which the waveform is zero (inf for CW)."""
    if isinstance(w, Samples):
        return len(w.values)
    end = w.end_time()
    return units.steps(end) if math.isfinite(end) else 2**62


def sampled(w: Waveform, steps: int, units: Units) -> np.ndarray:
    """The first `steps` samples of a current sheet's waveform: a finite
    waveform is shifted to sum to zero over its whole length first, so
    that a run cut short does not shift what it does inject."""
    full = waveform_steps(w, units)
    if full >= 2**61:
        return sample_waveform(w, steps, units)
    out = np.zeros(steps)
    g = zero_sum(sample_waveform(w, full, units))[:steps]
    out[:len(g)] = g
    return out


def zero_sum(g: np.ndarray) -> np.ndarray:
    """Samples along axis 0 shifted to sum to zero: a current sheet whose
    samples do not sum to zero leaves a static field in the line, which the
    plane source would then feed into the grid every step."""
    if len(g) == 0:
        return g
    return g - g.mean(axis=0, keepdims=True)


@dataclass(frozen=True)
class PlaneWave:
    """One excitation: polarisation ``"s"`` (E along y) or ``"p"`` (H along
    y), angle of incidence at the centre frequency (degrees, 0 ≤ θ < 90)."""

    waveform: Waveform
    polarization: str = "s"
    angle_deg: float = 0.0

    def __post_init__(self):
        require(self.polarization in ("s", "p"), "polarization",
                f"must be \"s\" or \"p\", got {self.polarization!r}")
        a = finite_number(self.angle_deg, "angle_deg")
        require(0 <= a < 90, "angle_deg", f"must be in [0, 90), got {a}")
        if a:
            require((getattr(self.waveform, "frequency", None) or 0) > 0,
                    "angle_deg", "oblique incidence needs a waveform with a centre frequency")

    def kx(self, incident: Medium) -> float:
        """In-plane wavenumber (rad per a)."""
        if not self.angle_deg:
            return 0.0
        return 2 * math.pi * self.waveform.frequency * math.sqrt(incident.eps) * \
            math.sin(math.radians(self.angle_deg))

    def angle(self, f, incident: Medium):
        """θ(f) in degrees (NaN below cut-off)."""
        f = np.asarray(f, dtype=np.float64)
        s = self.kx(incident) / (2 * np.pi * f * math.sqrt(incident.eps))
        with np.errstate(invalid="ignore"):
            return np.where(s < 1, np.degrees(np.arcsin(np.minimum(s, 1))), np.nan)


class PlaneWaveSource:
    """Total-field/scattered-field plane between planes kp and kp + 1 of the
    main grid; the total field is on the high-z side."""

    def __init__(self, grid, excitations: Sequence[PlaneWave], incident: Medium, kp: int,
                 depth: int = 0):
        from .simulation import uniform_grid
        self.grid = grid
        self.excitations = list(excitations)
        self.kp = kp
        self.eps_inc = incident.eps
        units, dev = grid.units, grid.device
        NS = len(self.excitations)
        assert NS == grid.NS
        self.kx_cell = np.array([e.kx(incident) for e in self.excitations]) / units.resolution
        n = grid.cpml.thickness
        self.k_src = n + 3
        self.k_line = self.k_src + 4
        self.depth = int(depth)            # line cells beyond the plane (a box's depth)
        Nz_line = self.k_line + 4 + n + self.depth
        self.line = uniform_grid(units, (2, 2, Nz_line), NS, incident, grid.cpml, self.kx_cell, dev)
        L = self.line
        c = lambda t: torch.view_as_complex(t).unsqueeze(1)
        k = self.k_line
        self.ampE = [c(L.E[0][:, 0, 1, 1, k + 1, :]), c(L.E[1][:, 0, 1, 1, k + 1, :])]
        self.ampH = [c(L.H[0][:, 0, 1, 1, k, :]), c(L.H[1][:, 0, 1, 1, k, :])]
        Nx, Ny, _ = grid.shape
        i = torch.arange(Nx, dtype=torch.float64) - 1
        prof = torch.exp(1j * torch.tensor(self.kx_cell)[:, None] * i[None, :])   # [NS, Nx]
        self.prof = prof[:, :, None, None].expand(NS, Nx, Ny, 1).to(torch.complex64).to(dev)
        self.margin = torch.tensor([0, 0])
        self.coef_h = grid.C_h[2]
        self.coef_e = (grid.C_e[2] / incident.eps).contiguous()
        # current sheet of the line: Jx for p, Jy for s, Bloch phase per cell
        pol = np.array([e.polarization for e in self.excitations])
        self.sheet = [torch.tensor((pol == "p").astype(np.float64)),
                      torch.tensor((pol == "s").astype(np.float64))]
        ii = torch.arange(2, dtype=torch.float64)
        self.sheet_phase = torch.exp(1j * torch.tensor(self.kx_cell)[:, None] * ii[None, :])
        self.J_zero = torch.zeros(NS, 1, 2, 2, 1, dtype=torch.complex64, device=dev)
        self.J_pos = torch.tensor([0, 0, self.k_src])

    def stop_step(self, max_steps: int) -> int:
        """The step from which the plane and its line are off. The line's
        wave passes the plane a few cells after the sheet; past that the
        incident field is rounding noise and static residue, which the plane
        would integrate for ever: the plane and the line stop."""
        units = self.grid.units
        steps = max(min(waveform_steps(e.waveform, units), max_steps) for e in self.excitations)
        delay = (self.k_line - self.k_src + 16 + self.depth) * math.sqrt(self.eps_inc) / units.dt
        return steps + int(delay) if steps < 2**61 else 2**62

    def start(self, max_steps: int):
        units = self.grid.units
        steps = [min(waveform_steps(e.waveform, units), max_steps) for e in self.excitations]
        self.source_steps = max(steps)
        self.active_steps = self.stop_step(max_steps)
        T = self.source_steps
        g = np.stack([sampled(e.waveform, T, units) for e in self.excitations], axis=1)
        g = torch.tensor(g)                                           # [T, NS]
        base = g[:, :, None] * self.sheet_phase[None]                 # [T, NS, 2]
        J = []
        for w in self.sheet:
            j = (base * w[None, :, None]).to(torch.complex64)
            J.append(j[:, :, None, :, None, None].expand(T, -1, 1, 2, 2, 1)
                     .contiguous().to(self.grid.device))
        self.J = J

    def before_h(self, n: int):
        if n < self.active_steps:
            self.line.update_h()

    def after_h(self, n: int):
        if n >= self.active_steps:
            return
        g = self.grid
        kernels.Inject_H(g.H[0], g.H[1], self.coef_h, self.ampE[0], self.ampE[1], self.prof,
                         self.prof, self.margin, self.kp)

    def after_e(self, n: int):
        if n >= self.active_steps:
            return
        g = self.grid
        kernels.Inject_E(g.E[0], g.E[1], self.coef_e, self.ampH[0], self.ampH[1], self.prof,
                         self.prof, self.margin, self.kp)
        self.advance_line(n)

    def advance_line(self, n: int):
        """The line's electric half step: update, current sheet, wrap."""
        L = self.line
        L.update_e()
        if n < self.source_steps:
            kernels.Inject_J(*L.E, self.J[0][n], self.J[1][n], self.J_zero, self.J_pos)
        L.wrap()


class CurrentSource:
    """A volume current in the main grid through ``Inject_J``: E ← E − J(t)
    in a box of cells starting at ``position`` (cell indices), with complex
    amplitudes per component ``amplitude``: either (Ax, Ay, Az), the same in
    every cell of a box of ``size`` cells, or a user block [3, Bx, By, Bz]
    (array or tensor; ``size`` may then be left out, else it must match),
    one amplitude per component and cell. Each amplitude is the value
    subtracted per step per unit waveform, as given (no dt or ε applied;
    ``dipoles.PointDipole`` takes physical moments). A transverse Bloch
    factor e^{i·kx·i} (i the cell index) is taken from the grid's kx.

    ``magnetic=True`` drives the magnetic side instead, H ← H − M(t) right
    after the magnetic update (the same kernel on the H tensors).

    The block is kept once on the device and scaled by the waveform's
    sample every step (a continuous wave costs no memory per step)."""

    def __init__(self, grid, waveform: Waveform, position, size=None, amplitude=(0, 1, 0),
                 magnetic: bool = False):
        self.grid = grid
        self.waveform = waveform
        self.magnetic = bool(magnetic)
        self.pos = torch.tensor([int(p) for p in position])
        require(len(self.pos) == 3, "position", "must have three cell indices")
        block = amplitude
        if isinstance(block, torch.Tensor):
            block = block.detach().cpu().numpy()
        block = np.asarray(block)
        require(block.ndim in (1, 4) and block.shape[0] == 3, "amplitude",
                f"must be (Ax, Ay, Az) or a [3, Bx, By, Bz] block, got shape {block.shape}")
        if block.ndim == 1:
            require(size is not None and len(size) == 3, "size", "must have three cell counts")
            self.size = tuple(int(s) for s in size)
            require(all(s > 0 for s in self.size), "size", f"must be positive, got {self.size}")
            block = np.broadcast_to(block[:, None, None, None], (3, *self.size))
        else:
            self.size = tuple(block.shape[1:])
            if size is not None:
                require(tuple(int(s) for s in size) == self.size, "size",
                        f"{tuple(size)} does not match the amplitude block {self.size}")
            require(all(s > 0 for s in self.size), "amplitude", "the block must not be empty")
        require(bool(np.all(np.isfinite(block))), "amplitude", "must be finite")
        self.block = block.astype(np.complex128)
        self.amplitude = amplitude
        # the box must lie inside the field tensors: the kernel does not check
        F = grid.H if self.magnetic else grid.E
        for a in range(3):
            lo, hi = int(self.pos[a]), int(self.pos[a]) + self.size[a]
            room = min(int(t.shape[2 + a]) for t in F)
            require(0 <= lo and hi <= room, "position",
                    f"the box {lo}..{hi - 1} along {'xyz'[a]} leaves the grid (0..{room - 1})")
        # Without complex fields (kx = 0) the monitors read the real half
        # only, and a one-channel grid has no imaginary half at all: an
        # imaginary part would be lost without a word.
        if not getattr(grid, "complex_fields", False):
            require(not np.any(self.block.imag), "amplitude",
                    f"{_short(amplitude)} has imaginary parts, which a grid without complex "
                    "fields (kx = 0) does not carry: give real amplitudes (a phase shift is a "
                    "delayed waveform)")

    def start(self, max_steps: int):
        g = self.grid
        units = g.units
        T = min(waveform_steps(self.waveform, units), max_steps)
        self.source_steps = T
        self.w = sample_waveform(self.waveform, T, units).tolist()
        Bx = self.size[0]
        i = np.arange(Bx, dtype=np.float64) + int(self.pos[0])
        phase = np.exp(1j * np.asarray(g.kx, dtype=np.float64)[:, None] * i[None, :])   # [NS, Bx]
        # With one channel per sample the kernel feeds channel 0 from the
        # imaginary half of J (its halves split at NC/2 = 0): the real
        # current goes there.
        half = 1j if getattr(g, "NC", 2) == 1 else 1.0
        self.J = []
        for a in self.block:
            j = phase[:, :, None, None] * a[None] * half                      # [NS, Bx, By, Bz]
            j = torch.tensor(j, dtype=torch.complex64)[:, None]
            self.J.append(j.expand(g.NS, g.NM, *self.size).contiguous().to(g.device))
        self._now = [torch.empty_like(j) for j in self.J]

    def _inject(self, n: int, fields):
        if n < self.source_steps:
            w = self.w[n]
            for out, j in zip(self._now, self.J):
                torch.mul(j, w, out=out)
            kernels.Inject_J(*fields, *self._now, self.pos)

    def before_h(self, n):
        pass

    def after_h(self, n: int):
        if self.magnetic:
            self._inject(n, self.grid.H)

    def after_e(self, n: int):
        if not self.magnetic:
            self._inject(n, self.grid.E)


def _short(amplitude) -> str:
    """The amplitude as the message shows it (a block by its shape)."""
    a = np.asarray(amplitude.detach().cpu() if isinstance(amplitude, torch.Tensor) else amplitude)
    return str(tuple(amplitude)) if a.ndim == 1 else f"the block {tuple(a.shape)}"
