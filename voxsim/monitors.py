"""Monitors: running DFTs of E and H on z-planes, and the Poynting flux.

A plane monitor at index k accumulates, for every frequency f of its list,
Ê = Σ_n E(n+1)·exp(iω(n+1)dt)·dt for Ex, Ey on plane k (z = k) and
Ĥ = Σ_n H(n+½)·exp(iω(n+½)dt)·dt for Hx, Hy on plane k (z = k + ½): each
field with the time it actually holds, which removes the half-step offset
of the leapfrog exactly. One monitor channel per frequency.

Both go through ``Monitor_Update_E`` with a box flat in z (rz = [k, k − 1]).
The magnetic components are passed in the electric slots (Hx for Ex, Hy for
Ey); the magnetic tensors are allocated one sample larger along x, y and z
(``simulation``), so the box the monitor reads for the electric layout
(one extra sample across each component) stays inside them. Every field
is passed as a one-channel view (real half, then imaginary half when the
fields are complex), so every monitor channel reads that half.

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

import Voxstep

CHUNK = 256


class DFTClock:
    """The per-step weights exp(iωt)·dt of the electric (t = (n+1)·dt) and
    magnetic (t = (n+½)·dt) fields, made on the device a chunk at a time."""

    def __init__(self, frequencies, units, device):
        self.omega = units.omega(np.asarray(frequencies, dtype=np.float64))
        self.dt = units.dt
        self.device = device
        self.base = -1

    def weights(self, n: int):
        base = n - n % CHUNK
        if base != self.base:
            self.base = base
            steps = base + np.arange(CHUNK)
            self.wE = self._make(steps + 1.0)
            self.wH = self._make(steps + 0.5)
        return self.wE[n - base], self.wH[n - base]

    def _make(self, t):
        phase = np.mod(np.outer(t * self.dt, self.omega), 2 * np.pi)
        w = np.exp(1j * phase) * self.dt
        return torch.tensor(w, dtype=torch.complex64, device=self.device)


class FluxPlane:
    """DFT of the transverse E and H on plane k of a grid."""

    def __init__(self, grid, k: int, clock: DFTClock):
        self.grid = grid
        self.k = k
        self.clock = clock
        NS, NM = grid.NS, grid.NM
        Nx, Ny, _ = grid.shape
        NF = len(clock.omega)
        halves = 2 if grid.complex_fields else 1
        c64 = dict(dtype=torch.complex64, device=grid.device)
        # accumulators [half][NS, NM, x, y, 1, NF] in the monitor's layout
        self.ME = [(torch.zeros(NS, NM, Nx - 1, Ny, 1, NF, **c64),
                    torch.zeros(NS, NM, Nx, Ny - 1, 1, NF, **c64)) for _ in range(halves)]
        self.MH = [(torch.zeros(NS, NM, Nx - 1, Ny, 1, NF, **c64),
                    torch.zeros(NS, NM, Nx, Ny - 1, 1, NF, **c64)) for _ in range(halves)]
        self.Mz = [torch.zeros(NS, NM, Nx, Ny, 0, NF, **c64) for _ in range(4)]
        self.rx = torch.tensor([1, Nx - 1])
        self.ry = torch.tensor([1, Ny - 1])
        self.rz = torch.tensor([k, k - 1])
        self.views = []
        for h in range(halves):
            E = [t[..., h:h + 1] for t in grid.E]
            H = [t[..., h:h + 1] for t in grid.H]
            self.views.append((E, H))

    def start(self, max_steps: int):
        pass

    def update(self, n: int):
        wE, wH = self.clock.weights(n)
        for h, (E, H) in enumerate(self.views):
            Voxstep.Monitor_Update_E(*self.ME[h], self.Mz[2 * h], *E, wE, self.rx, self.ry, self.rz)
            Voxstep.Monitor_Update_E(*self.MH[h], self.Mz[2 * h + 1], H[0], H[1], E[2], wH,
                                     self.rx, self.ry, self.rz)

    def fields(self):
        """(Ex, Ey, Hx, Hy), complex128 [NS, NM, Px, Py, NF] over the
        period's unique samples."""
        out = []
        for M in (self.ME, self.MH):
            comps = []
            for a in range(2):
                z = M[0][a].to(torch.complex128)
                if len(M) > 1:
                    z = z + 1j * M[1][a].to(torch.complex128)
                Nx, Ny = self.grid.shape[:2]
                comps.append(z[:, :, :Nx - 1, :Ny - 1, 0, :].cpu())
            out += comps
        return out

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
