"""Monitors: running DFTs of E and H on z-planes, and the Poynting flux.

A plane monitor at index k accumulates, for every frequency f of its list,
Ê = Σ_n E(n+1)·exp(iω(n+1)dt)·dt for Ex, Ey on plane k (z = k) and
Ĥ = Σ_n H(n+½)·exp(iω(n+½)dt)·dt for Hx, Hy on plane k (z = k + ½): each
field with the time it actually holds, which removes the half-step offset
of the leapfrog exactly.

The sum is taken a block of steps at a time (``FluxPlane``): every step
copies the plane's unique samples (i, j = 1 … N − 1) of the four
components into a small device ring; at the end of a block (up to 256
steps) the ring is folded into all frequencies by two matrix products.
The block's weights are W0[j, f]·exp(iω·n0·dt) for a block starting at
step n0, with the same W0 for every block, and over a band W0 has a low
numerical rank L (about 10 to 30 for 256 steps, ``DFTClock.basis``): the
samples [steps × plane] go through the L columns of an orthonormal basis U
of W0 (float32), and that [plane × L] result through Uᴴ·W0·exp(iω·n0·dt)
to all frequencies, added in place to complex128 accumulators (where the
real and imaginary halves of complex fields are combined). A step then
costs a copy of the plane, and the frequencies cost L·NF operations per
plane sample once per block instead of NF every step. The factorization
reproduces every weight to float32 rounding, so the sum is the same one,
only grouped differently; float32 rounding stays within a block, and the
result is closer to the exact sum than the step-by-step float32 one. A
block closes early wherever the sums are read (``fields``). The products
run slice by slice along NM on matrices laid out the same whatever NM is,
so a batched run reduces each structure exactly as a run of its own does.

``KernelFluxPlane`` is the step-by-step form through ``Monitor_Update_E``
with a box flat in z (rz = [k, k − 1]): the reference the blocked sum is
checked against. The magnetic components are passed in the electric slots
(Hx for Ex, Hy for Ey); the magnetic tensors are allocated one sample
larger along x, y and z (``simulation``), so the box the monitor reads for
the electric layout (one extra sample across each component) stays inside
them. Every field is passed as a one-channel view (real half, then
imaginary half when the fields are complex), so every monitor channel
reads that half.

Flux through the plane, per unit area, over the period's unique samples
(i, j = 1 … N − 1; the ghost rows are dropped):
S_z = ½·Re(Ê_x*·Ĥ_y − Ê_y*·Ĥ_x) averaged over the samples. Ex and Hy share
their (x, y) position, as do Ey and Hx; E at z = k with H at z = k + ½ is
the pairing whose frequency-domain flux the discrete scheme conserves
exactly in lossless media, so a flux measured in the substrate and one
measured in the incident medium compare without a staggering error.
"""
from __future__ import annotations

import numpy as np
import torch

from . import kernels

CHUNK = 256
BLOCK = 256                # steps per block at most
RING_BYTES = 64 << 20      # ring memory per plane and field (E or H) at most


class DFTClock:
    """The weights exp(iωt)·dt of the electric (t = (n+1)·dt) and magnetic
    (t = (n+½)·dt) fields: per step, made on the device a chunk at a time
    (``weights``), and per block of steps in factored form (``basis``,
    ``factors``)."""

    def __init__(self, frequencies, units, device):
        self.omega = units.omega(np.asarray(frequencies, dtype=np.float64))
        self.dt = units.dt
        self.device = device
        self.base = -1
        self._omega = torch.tensor(self.omega, dtype=torch.float64, device=device)
        self._bases = {}
        self._factors_key = None

    def _load(self, base):
        if base != self.base:
            self.base = base
            steps = base + np.arange(CHUNK)
            self.wE = self._make(steps + 1.0)
            self.wH = self._make(steps + 0.5)

    def weights(self, n: int):
        """The weights of step n, complex64 [NF] each (E, H)."""
        self._load(n - n % CHUNK)
        return self.wE[n - self.base], self.wH[n - self.base]

    def basis(self, block: int):
        """The block weights in factored form. Over a block of steps n0 + j
        (j = 0 … block − 1) the electric weights are
        exp(iω(n0 + j + 1)dt)·dt = W0[j, f]·exp(iω·n0·dt), the same W0 for
        every block. Over a band, W0 is of low numerical rank (about 10 to
        30 for 256 steps): W0 = U·(Uᴴ·W0) with U [block, L] orthonormal, so
        a block of samples is multiplied by the L columns of U, then spread
        over the frequencies by Uᴴ·W0 and the block's phase (``factors``).
        U comes from the band sampled at Chebyshev nodes (the SVD of all
        frequencies costs more than the run of a small grid), columns kept
        down to 1e-12 of the largest; the product is checked against W0 to
        1e-9·dt per weight, far below float32 rounding of the sums, and the
        SVD of W0 itself is taken where that fails. Returns U as real
        [block, 2·L] (Re, Im interleaved) on the device, float32."""
        if block not in self._bases:
            # on the host in torch (whose thread pool the run already uses)
            t = torch.arange(1, block + 1, dtype=torch.float64) * self.dt
            omega = torch.tensor(self.omega)
            lo, hi = omega.min(), omega.max()
            nodes = 0.5 * (lo + hi) + 0.5 * (hi - lo) * torch.cos(
                torch.pi * (torch.arange(96, dtype=torch.float64) + 0.5) / 96)
            W0 = torch.polar(torch.full((block, len(omega)), self.dt, dtype=torch.float64),
                             torch.outer(t, omega))
            sample = W0 if len(omega) <= 96 else torch.polar(
                torch.full((block, 96), self.dt, dtype=torch.float64), torch.outer(t, nodes))
            for A in (sample, W0):
                U, S, _ = torch.linalg.svd(A, full_matrices=False)
                U = U[:, S > 1e-12 * S[0]]
                UhW = U.conj().T @ W0
                if (U @ UhW - W0).abs().max() <= 1e-9 * self.dt:
                    break
            L = U.shape[1]
            dev = self.device
            UhW = UhW.to(dev)
            # H holds t = (n + ½)·dt: half a step earlier than E
            half = torch.polar(torch.ones_like(omega), -0.5 * self.dt * omega).to(dev)
            U = torch.view_as_real(U.to(torch.complex64)).reshape(block, 2 * L).to(dev)
            self._bases[block] = (U, UhW, UhW * half)
        return self._bases[block][0]

    def factors(self, block: int, n0: int):
        """Uᴴ·W0·exp(iω·n0·dt) for E and for H, complex128 [L, NF] on the
        device, for the block of `block` steps (or its first steps) that
        starts at step n0; made on the device (no transfer)."""
        key = (block, n0)
        if self._factors_key != key:
            _, UhW_E, UhW_H = self._bases[block]
            phase = torch.polar(torch.ones_like(self._omega), self._omega * (n0 * self.dt))
            self._factors = (UhW_E * phase, UhW_H * phase)
            self._factors_key = key
        return self._factors

    def _make(self, t):
        phase = np.mod(np.outer(t * self.dt, self.omega), 2 * np.pi)
        w = np.exp(1j * phase) * self.dt
        return torch.tensor(w, dtype=torch.complex64, device=self.device)


class BlockRing:
    """A ring of up to ``block`` consecutive steps of samples, folded into
    DFT accumulators a block at a time. A subclass holds ``clock``,
    ``block``, and writes a step's samples (``_copy(slot)``) and folds the
    first b slots (``_fold(b, factors)``, factors of ``DFTClock.factors``)."""

    n0 = 0          # step of the ring's first sample
    count = 0       # samples in the ring

    def start(self, max_steps: int):
        self.flush()

    def update(self, n: int):
        if self.count and n != self.n0 + self.count:
            self.flush()            # a step was skipped: the ring's steps end here
        if not self.count:
            self.n0 = n
        self._copy(self.count)
        self.advance()

    def advance(self):
        self.count += 1
        if self.count == self.block:
            self.flush()

    def flush(self):
        """Fold the samples in the ring into the accumulators."""
        b = self.count
        if not b:
            return
        self._fold(b, self.clock.factors(self.block, self.n0))
        self.n0 += b
        self.count = 0


def fold(rows, U, G, G_c, halves: int, acc, V):
    """acc += (rowsᵀ·U as complex, the halves combined Re + i·Im)·V: one
    block of real samples [b, rows] through the basis U [b, 2L] (into the
    scratch G, viewed complex as G_c [rows/halves, halves, L])."""
    torch.mm(rows.t(), U, out=G)
    g = G_c[:, 0].to(torch.complex128)
    if halves > 1:
        g = g + 1j * G_c[:, 1]
    acc.addmm_(g, V)


class _Plane:
    """What both forms share: the plane, the clock, and the flux from the
    transformed fields."""

    def __init__(self, grid, k: int, clock: DFTClock):
        self.grid = grid
        self.k = k
        self.clock = clock
        self.halves = 2 if grid.complex_fields else 1

    def start(self, max_steps: int):
        pass

    def fields(self):
        """(Ex, Ey, Hx, Hy), complex128 [NS, NM, Px, Py, NF] over the
        period's unique samples."""
        raise NotImplementedError

    def flux(self, subtract=None):
        """S_z per unit area, [NS, NM, NF] (float64 numpy); with `subtract`
        = (Ex, Ey, Hx, Hy) those fields are taken off first (broadcast)."""
        fields = self.fields()
        out = []
        # slice by slice: the same shapes whatever NM is, so a batched run
        # reduces each structure exactly as a run of its own does
        for m in range(fields[0].shape[1]):
            Ex, Ey, Hx, Hy = (a[:, m:m + 1] for a in fields)
            if subtract is not None:
                Ex, Ey, Hx, Hy = (a - b for a, b in zip((Ex, Ey, Hx, Hy), subtract))
            s = 0.5 * (Ex.conj() * Hy - Ey.conj() * Hx).real
            out.append(s.mean(dim=(2, 3)).numpy())
        return np.concatenate(out, axis=1)


class FluxPlane(BlockRing, _Plane):
    """DFT of the transverse E and H on plane k of a grid, summed a block of
    steps at a time. `block` caps the steps per block; by default the
    largest power of two up to ``BLOCK`` whose ring fits in
    ``RING_BYTES``."""

    def __init__(self, grid, k: int, clock: DFTClock, block: int | None = None):
        super().__init__(grid, k, clock)
        NS, NM = grid.NS, grid.NM
        Nx, Ny, _ = grid.shape
        NF = len(clock.omega)
        h = self.halves
        # per slice m and step: rows (component, s, i, j, half); a slice's
        # block is one [steps, rows] matrix laid out the same whatever NM is
        self.rows = 2 * NS * (Nx - 1) * (Ny - 1) * h
        if block is None:
            block = BLOCK
            while block > 1 and block * NM * self.rows * 4 > RING_BYTES:
                block //= 2
        if not isinstance(block, (int, np.integer)) or block < 1:
            raise ValueError(f"block must be a positive number of steps, got {block!r}")
        self.block = int(block)
        dev = grid.device
        self.U = clock.basis(self.block)
        L = self.U.shape[1] // 2
        # ring[field][m, step, component, s, i, j, half]; field 0 = E, 1 = H
        self.ring = [torch.zeros(NM, self.block, 2, NS, Nx - 1, Ny - 1, h, dtype=torch.float32,
                                 device=dev) for _ in range(2)]
        self.ring_rows = [r.view(NM, self.block, self.rows) for r in self.ring]
        # accumulators[field][m, component, s, i, j, f] (complex128: the
        # halves of complex fields combined, Re + i·Im)
        self.acc = [torch.zeros(NM, 2, NS, Nx - 1, Ny - 1, NF, dtype=torch.complex128,
                                device=dev) for _ in range(2)]
        self.acc_rows = [a.view(NM, self.rows // h, NF) for a in self.acc]
        # one slice's block through U: rows × (Re, Im) per column of U
        self.G = torch.empty(self.rows, 2 * L, dtype=torch.float32, device=dev)
        self.G_c = torch.view_as_complex(self.G.view(self.rows // h, h, L, 2))
        # the copies of a step, per component: the ring as [step, NS, NM, i,
        # j, half] and the plane samples as [NS, NM, i, j, half]
        sl = (slice(None), slice(None), slice(1, Nx), slice(1, Ny), k, slice(0, h))
        planes = [t[sl] for t in (grid.E[0], grid.E[1], grid.H[0], grid.H[1])]
        self.copies = [(r[:, :, c].permute(1, 2, 0, 3, 4, 5), planes[2 * f + c])
                       for f, r in enumerate(self.ring) for c in range(2)]

    def _copy(self, slot: int):
        for ring, plane in self.copies:
            ring[slot].copy_(plane)

    def _fold(self, b: int, factors):
        for ring, acc, V in zip(self.ring_rows, self.acc_rows, factors):
            for m in range(acc.shape[0]):
                fold(ring[m, :b], self.U[:b], self.G, self.G_c, self.halves, acc[m], V)

    def fields(self):
        self.flush()
        # [m, component, s, i, j, f] -> per component [s, m, i, j, f]
        return [acc[:, c].transpose(0, 1).to("cpu", copy=True) for acc in self.acc
                for c in range(2)]


class KernelFluxPlane(_Plane):
    """The same DFT accumulated every step through ``Monitor_Update_E``
    (one call per field half and per E or H, cost ∝ frequencies per
    step)."""

    def __init__(self, grid, k: int, clock: DFTClock):
        super().__init__(grid, k, clock)
        NS, NM = grid.NS, grid.NM
        Nx, Ny, _ = grid.shape
        NF = len(clock.omega)
        c64 = dict(dtype=torch.complex64, device=grid.device)
        # accumulators [half][NS, NM, x, y, 1, NF] in the monitor's layout
        self.ME = [(torch.zeros(NS, NM, Nx - 1, Ny, 1, NF, **c64),
                    torch.zeros(NS, NM, Nx, Ny - 1, 1, NF, **c64)) for _ in range(self.halves)]
        self.MH = [(torch.zeros(NS, NM, Nx - 1, Ny, 1, NF, **c64),
                    torch.zeros(NS, NM, Nx, Ny - 1, 1, NF, **c64)) for _ in range(self.halves)]
        self.Mz = [torch.zeros(NS, NM, Nx, Ny, 0, NF, **c64) for _ in range(4)]
        self.rx = torch.tensor([1, Nx - 1])
        self.ry = torch.tensor([1, Ny - 1])
        self.rz = torch.tensor([k, k - 1])
        self.views = []
        for h in range(self.halves):
            E = [t[..., h:h + 1] for t in grid.E]
            H = [t[..., h:h + 1] for t in grid.H]
            self.views.append((E, H))

    def update(self, n: int):
        wE, wH = self.clock.weights(n)
        for h, (E, H) in enumerate(self.views):
            kernels.Monitor_Update_E(*self.ME[h], self.Mz[2 * h], *E, wE, self.rx, self.ry, self.rz)
            kernels.Monitor_Update_E(*self.MH[h], self.Mz[2 * h + 1], H[0], H[1], E[2], wH,
                                     self.rx, self.ry, self.rz)

    def fields(self):
        out = []
        Nx, Ny = self.grid.shape[:2]
        for M in (self.ME, self.MH):
            for a in range(2):
                z = M[0][a].to(torch.complex128)
                if len(M) > 1:
                    z = z + 1j * M[1][a].to(torch.complex128)
                out.append(z[:, :, :Nx - 1, :Ny - 1, 0, :].cpu())
        return out
