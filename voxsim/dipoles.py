"""Point dipoles anywhere in a grid: electric or magnetic, any orientation,
any position, any waveform, on periodic (Bloch), absorbing or conducting
faces; and the power they radiate.

``PointDipole(grid, waveform, position, orientation, kind)``. The position
is in a, from ``origin`` (cells; default the grid's node (0, 0, 0)), so the
cell coordinate is u = origin + resolution·position. The orientation is a
3-vector (its length scales the moment; complex components need a grid
with complex fields). Moments are physical, in cell units (Z0 = c = 1,
lengths in cells, as ``ldos``): an electric dipole is a current moment
I·l = orientation·g(t), a magnetic one a magnetic current moment
K·l = orientation·g(t), g the waveform.

Each component c lives at its own Yee position (Ex at (i + ½, j, k), Hx at
(i, j + ½, k + ½), ...) and is spread over the 8 samples of that component
around u with the trilinear weights (a point on a sample puts everything
there: the on-grid case is the nearest-sample dipole of ``ldos``). The
weights are the transpose of trilinear sampling
(``Trilinear_reverse_interpolation`` of a unit value at u onto the eight
samples, once per component; its CPU twin in ``_voxstep_host`` on the
CPU), so the dipole's moment is kept and the field it sees is the
trilinear sample of the field at u.

Updates. An electric dipole acts as the kernels' currents do, after the
electric update's division by the sample's ε + σ·dt/2 (``den``), so the
value subtracted is dt·J/den and the current is the same whatever the
medium: E ← E − dt·J/den. A magnetic dipole acts right after the magnetic
update, H ← H − dt·M (μ = 1 everywhere; Faraday's law with a magnetic
current, ∂H/∂t = −∇×E − M). Both go through ``Inject_J`` (given the
magnetic tensors for M), one call per step for all components when their
samples fit a 4 × 4 × 4 box.

Periodic axes. The kernels' period is N − 1 cells (plane 0 repeats plane
N − 1 times the Bloch factor P = e^{−i·kx·(N − 1)}). A sample is wrapped
into the period, and the copies the grid keeps of it (index i and i ± (N −
1) within the stored planes) all receive the current, each with its Bloch
factor, so the copies stay the same field. On a non-periodic axis every
sample must lie inside, out of the absorbing layers and off the conducting
faces.

Power. With ``record`` (default) the source keeps, every step, the
trilinear sample at u of each of its components (on one copy of each
sample). ``power(frequencies)`` is P(f) = −½·Re Σ_c F̂_c·Ŝ_c* (F = E for
J, H for M), with the field at the update's own staggering: the two-step
mean of the field around the source's time, as ``ldos`` does, which makes
it exact for the discrete scheme. Per unit moment squared: [NS, NM, NF].
In an unbounded medium of index n the closed forms (cell units, k = n·ω)
are P_e = k²/(12π·n) and P_m = k²·n/(12π) (duality: Z = 1/n); in vacuum
both are k²/(12π) (``vacuum_power``).
"""
from __future__ import annotations

from typing import List, Optional

import numpy as np
import torch


from . import kernels
from .sources import Waveform, sample_waveform, waveform_steps
from .units import finite_number, require

KINDS = ("electric", "magnetic")
BOX = 4          # samples of one Inject_J call along each axis at most
CHUNK = 4096     # steps per record buffer


def offsets(kind: str) -> np.ndarray:
    """[3, 3]: the position of component c's sample (row) within the cell,
    per axis (column)."""
    eye = np.eye(3) * 0.5
    return eye if kind == "electric" else 0.5 - eye


def spread_weights(t, device) -> np.ndarray:
    """[2, 2, 2]: the weights that spread a unit value at the point t (its
    position in the cell of eight samples, each coordinate in [0, 1)) onto
    those samples, by the transpose of trilinear sampling
    (``Trilinear_reverse_interpolation``; its CPU twin on the CPU)."""
    device = torch.device(device)
    f32 = dict(dtype=torch.float32, device=device)
    nodes = [torch.tensor([0.0, 1.0], **f32)] * 3
    point = [torch.tensor([float(x)], **f32) for x in t]
    one = torch.ones(1, 1, 1, 1, 1, 1, dtype=torch.complex64, device=device)
    w = kernels.prep("Trilinear_reverse_interpolation", device)(*nodes, one, *point)
    return w[0, 0, :, :, :, 0].real.double().cpu().numpy()


def vacuum_power(frequencies, resolution: float, n: float = 1.0, kind: str = "electric"):
    """Closed-form power per unit moment squared of a dipole in an unbounded
    medium of index n, in cell units (see the module docstring)."""
    k = n * 2 * np.pi * np.asarray(frequencies, dtype=np.float64) / resolution
    return k**2 / (12 * np.pi) * (n if kind == "magnetic" else 1.0 / n)


def dipole_kind(kind, field: str = "kind") -> str:
    """"electric" or "magnetic", refused otherwise."""
    require(kind in KINDS, field, f"must be \"electric\" or \"magnetic\", got {kind!r}")
    return kind


class PointDipole:
    """One point dipole; a source of ``simulation.run`` and, for its power
    record, also one of its monitors (pass it in both lists).

    ``excitation``: None drives every excitation s of the grid; an index
    drives that excitation alone (several dipoles in one batched run, one
    per excitation). The same moment drives every structure slice."""

    def __init__(self, grid, waveform: Waveform, position, orientation=(0.0, 0.0, 1.0),
                 kind: str = "electric", origin=(0.0, 0.0, 0.0), excitation: Optional[int] = None,
                 record: bool = True):
        dipole_kind(kind)
        require(len(position) == 3, "position", "must have three coordinates")
        require(len(orientation) == 3, "orientation", "must have three components")
        require(len(origin) == 3, "origin", "must have three coordinates")
        self.grid = grid
        self.waveform = waveform
        self.kind = kind
        self.position = tuple(finite_number(p, "position") for p in position)
        o = np.array([complex(v) for v in orientation])
        require(bool(np.all(np.isfinite(o))), "orientation", "must be finite")
        require(bool(np.any(o != 0)), "orientation", "must not be zero")
        if not getattr(grid, "complex_fields", False):
            require(not np.any(o.imag), "orientation",
                    "has imaginary parts, which a grid without complex fields (kx = 0) does "
                    "not carry")
        self.orientation = o
        if excitation is not None:
            require(0 <= int(excitation) < grid.NS, "excitation",
                    f"must be in 0..{grid.NS - 1}, got {excitation}")
            excitation = int(excitation)
        self.excitation = excitation
        self.record = bool(record)
        self.u = np.array([finite_number(v, "origin") for v in origin]) + \
            np.array(self.position) * grid.units.resolution
        self.entries = self._entries()
        self.boxes = self._boxes()

    # -- placement ------------------------------------------------------

    def _copies(self, a: int, idx: int, half: bool):
        """Stored indices of sample idx along axis a, each with the number
        of periods q it was moved by (F[idx + qL] = e^{i·kx·qL}·F[idx])."""
        g = self.grid
        N = g.shape[a]
        periodic = a < 2 and g.periodic[a]
        if not periodic:
            if g.absorbing[a]:
                lo, hi = g.cpml.thickness, N - 1 - g.cpml.thickness
            else:        # the conducting face's tangential E (index 0, N) is held at zero
                lo, hi = (0, N - 1) if half else (1, N - 1)
            require(lo <= idx <= hi, "position",
                    f"{self.position} puts a sample at index {idx} along {'xyz'[a]}, outside "
                    f"{lo}..{hi} (in the absorbing layers, on a conducting face or beyond)")
            return [(idx, 0)]
        L = N - 1
        base = 0 if half else 1            # one full period of stored samples
        canon = (idx - base) % L + base
        out = [(canon, (idx - canon) // L)]
        for q in (-1, 1):
            j = canon + q * L
            if 0 <= j <= N - 1:
                out.append((j, (idx - j) // L))
        return out

    def _entries(self):
        """(component, (i, j, k), weight, Bloch periods along x, primary):
        every stored sample that receives part of the moment."""
        off = offsets(self.kind)
        out = []
        for c in range(3):
            if self.orientation[c] == 0:
                continue
            v = self.u - off[c]
            b = np.floor(v).astype(int)
            W = spread_weights(v - b, self.grid.device)
            for d in zip(*np.nonzero(W)):
                idx = tuple(int(b[a] + d[a]) for a in range(3))
                copies = [self._copies(a, idx[a], off[c, a] > 0) for a in range(3)]
                first = True
                # only x carries a Bloch phase (the grid's y faces are
                # periodic with ky = 0): the copies along y are plain
                for cx, qx in copies[0]:
                    for cy, _ in copies[1]:
                        for cz, _ in copies[2]:
                            out.append((c, (cx, cy, cz), float(W[d]), -qx, first))
                            first = False
        return out

    def _boxes(self):
        """The entries grouped into boxes of at most BOX samples per axis."""
        boxes: List[list] = []
        for e in self.entries:
            for box in boxes:
                pts = [b[1] for b in box] + [e[1]]
                if all(max(p[a] for p in pts) - min(p[a] for p in pts) < BOX for a in range(3)):
                    box.append(e)
                    break
            else:
                boxes.append([e])
        return boxes

    # -- run hooks ------------------------------------------------------

    def start(self, max_steps: int):
        g = self.grid
        units = g.units
        T = min(waveform_steps(self.waveform, units), max_steps)
        self.source_steps = T
        self.g = sample_waveform(self.waveform, T, units)
        self._w = self.g.tolist()
        kx = np.asarray(g.kx, dtype=np.float64)
        L = g.shape[0] - 1
        # a one-channel grid feeds channel 0 from J's imaginary half
        unit = 1j if g.NC // 2 == 0 else 1.0
        s_mask = np.ones(g.NS)
        if self.excitation is not None:
            s_mask = np.zeros(g.NS)
            s_mask[self.excitation] = 1.0
        self._calls = []
        for box in self.boxes:
            lo = [min(e[1][a] for e in box) for a in range(3)]
            size = [max(e[1][a] for e in box) - lo[a] + 1 for a in range(3)]
            J = np.zeros((3, g.NS, g.NM, *size), dtype=np.complex128)
            for c, idx, w, q, _ in box:
                amp = self.orientation[c] * w * units.dt * unit * s_mask
                amp = amp * np.exp(1j * kx * q * L)                           # [NS]
                if self.kind == "electric":
                    mp = g.maps["xyz"[c]]
                    den = (mp.den1[:, idx[0], idx[1], idx[2]] +
                           mp.den2[:, idx[0], idx[1], idx[2]]).double().cpu().numpy()   # [NM]
                    amp = amp[:, None] / den[None, :]
                else:
                    amp = np.broadcast_to(amp[:, None], (g.NS, g.NM))
                r = tuple(idx[a] - lo[a] for a in range(3))
                J[(c, slice(None), slice(None)) + r] += amp
            J = [torch.tensor(j, dtype=torch.complex64, device=g.device) for j in J]
            self._calls.append((J, [torch.empty_like(j) for j in J], torch.tensor(lo)))
        self._chunks = []
        if self.record:
            # one stored copy of each sample, its field taken back to the
            # dipole's own period (F[i + qL] = e^{i·kx·qL}·F[i])
            self._gather = []
            dev = g.device
            for c in range(3):
                rows = [e for e in self.entries if e[0] == c and e[4]]
                if rows:
                    ix = [torch.tensor([e[1][a] for e in rows], device=dev) for a in range(3)]
                    w = np.array([e[2] for e in rows])[None, :] * \
                        np.exp(-1j * kx[:, None] * np.array([e[3] for e in rows])[None, :] * L)
                    self._gather.append((c, ix, torch.tensor(w, dtype=torch.complex64,
                                                             device=dev)))
    def _fields(self):
        return self.grid.E if self.kind == "electric" else self.grid.H

    def _inject(self, n: int):
        if n >= self.source_steps:
            return
        w = self._w[n]
        if w == 0.0:
            return
        F = self._fields()
        for J, now, pos in self._calls:
            for out, j in zip(now, J):
                torch.mul(j, w, out=out)
            kernels.Inject_J(*F, *now, pos)

    def before_h(self, n: int):
        pass

    def after_h(self, n: int):
        if self.kind == "magnetic":
            self._inject(n)

    def after_e(self, n: int):
        if self.kind == "electric":
            self._inject(n)

    def update(self, n: int):
        """The trilinear sample of the field at u, per component, after
        step n: E(n + 1) or H(n + ½)."""
        if not self.record:
            return
        g = self.grid
        if n % CHUNK == 0:
            self._chunks.append(torch.zeros(CHUNK, 3, g.NS, g.NM, dtype=torch.complex64,
                                            device=g.device))
        row = self._chunks[-1][n % CHUNK]
        F = self._fields()
        for c, (i, j, k), w in self._gather:
            v = F[c][:, :, i, j, k, :]                                  # [NS, NM, K, NC]
            if g.complex_fields:
                z = torch.complex(v[..., 0], v[..., g.NC // 2])
            else:
                z = v[..., 0].to(torch.complex64)
            row[c] = torch.einsum("smk,sk->sm", z, w)

    # -- results --------------------------------------------------------

    def samples(self, steps: Optional[int] = None) -> np.ndarray:
        """The recorded field at the dipole, [steps, 3, NS, NM], complex
        (real on a grid without complex fields)."""
        require(self.record and bool(self._chunks), "record", "nothing was recorded")
        rec = torch.cat(self._chunks).cpu().numpy().astype(np.complex128)
        return rec[:steps]

    def power(self, frequencies, steps: int) -> np.ndarray:
        """−½·Re Σ_c F̂_c·Ŝ_c* per excitation and slice, per unit moment
        squared, [NS, NM, NF] (cell units); ``steps`` the run's steps
        (``RunStats.steps``)."""
        g = self.grid
        dt = g.units.dt
        f = self.samples(steps)                                  # [T, 3, NS, NM]
        mean = 0.5 * (f + np.concatenate([np.zeros_like(f[:1]), f[:-1]]))
        w = g.units.omega(np.atleast_1d(frequencies))
        ph = np.exp(1j * np.outer((np.arange(steps) + 0.5) * dt, w)) * dt   # [T, NF]
        Fh = np.einsum("tcsm,tf->csmf", mean, ph)
        T = min(self.source_steps, steps)
        gh = np.asarray(self.g[:T]) @ ph[:T]                    # [NF], unit moment
        o = self.orientation
        S = o[:, None] * gh[None, :]                             # [3, NF]
        mask = np.ones(g.NS) if self.excitation is None else np.eye(g.NS)[self.excitation]
        P = -0.5 * np.real(np.einsum("csmf,cf->smf", Fh, np.conj(S)))
        P = P / (np.sum(np.abs(o) ** 2) * np.abs(gh)[None, None, :] ** 2)
        return P * mask[:, None, None]
