"""Frequency-domain fields over index boxes of a grid.

``FieldDFT`` accumulates, for every frequency f of its clock and every
chosen component over that component's box of samples,
Ê = Σ_n E(n+1)·exp(iω(n+1)dt)·dt (electric) or Ĥ = Σ_n H(n+½)·exp(iω(n+½)dt)·dt
(magnetic): the weights and the blocked low-rank sum of the flux planes
(``monitors``), so a box costs a copy per step and L·NF operations per
sample once per block. Complex fields (both channel halves) come back as
Re + i·Im; ``halves=1`` reads the real half only (a real run).

Boxes are given per component as index ranges ((i0, i1), (j0, j1), (k0, k1)),
half-open, in that component's own tensor; the sample (i, j, k) of a
component sits at (i + oₓ, j + o_y, k + o_z) cells with the Yee offsets
``OFFSETS`` (½ along the component's own axis for E, across the other
two for H). ``coordinates`` gives the positions in cells.
"""
from __future__ import annotations

from typing import Dict, Sequence, Tuple

import numpy as np
import torch

from .monitors import BLOCK, RING_BYTES, DFTClock

NAMES = ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz")
OFFSETS = {"Ex": (0.5, 0, 0), "Ey": (0, 0.5, 0), "Ez": (0, 0, 0.5),
           "Hx": (0, 0.5, 0.5), "Hy": (0.5, 0, 0.5), "Hz": (0.5, 0.5, 0)}

Box = Tuple[Tuple[int, int], Tuple[int, int], Tuple[int, int]]


class FieldDFT:
    """Running DFT of some components of a grid over their index boxes."""

    def __init__(self, grid, clock: DFTClock, boxes: Dict[str, Box], halves: int = None,
                 block: int = None):
        for name in boxes:
            if name not in NAMES:
                raise ValueError(f"component {name!r}: must be one of {', '.join(NAMES)}")
        self.grid, self.clock = grid, clock
        self.names = list(boxes)
        self.boxes = {n: tuple((int(a), int(b)) for a, b in boxes[n]) for n in self.names}
        h = halves if halves is not None else (2 if grid.complex_fields else 1)
        self.halves = h
        NS, NM = grid.NS, grid.NM
        self.sizes = {n: tuple(b - a for a, b in self.boxes[n]) for n in self.names}
        counts = [NS * int(np.prod(self.sizes[n])) * h for n in self.names]
        self.rows = sum(counts)
        if block is None:
            block = BLOCK
            while block > 1 and block * NM * self.rows * 4 > RING_BYTES:
                block //= 2
        self.block = int(block)
        dev = grid.device
        self.U = clock.basis(self.block)
        L = self.U.shape[1] // 2
        NF = len(clock.omega)
        self.ring = torch.zeros(NM, self.block, self.rows, dtype=torch.float32, device=dev)
        self.acc = torch.zeros(NM, self.rows // h, NF, dtype=torch.complex128, device=dev)
        self.G = torch.empty(self.rows, 2 * L, dtype=torch.float32, device=dev)
        self.G_c = torch.view_as_complex(self.G.view(self.rows // h, h, L, 2))
        # per component: (ring view [NM, block, NS, bi, bj, bk, h] -> its
        # step copy [NS, NM, ...]; the field box), electric or magnetic
        self.copies = []
        off = 0
        for n, cnt in zip(self.names, counts):
            field = (grid.E if n[0] == "E" else grid.H)["xyz".index(n[1])]
            (i0, i1), (j0, j1), (k0, k1) = self.boxes[n]
            src = field[:, :, i0:i1, j0:j1, k0:k1, :h]
            view = self.ring[:, :, off:off + cnt].unflatten(2, (NS, *self.sizes[n], h))
            self.copies.append((view.permute(1, 2, 0, 3, 4, 5, 6), src, n[0] == "H"))
            off += cnt
        self.electric = [c for c in self.copies if not c[2]]
        self.magnetic = [c for c in self.copies if c[2]]
        if self.electric and self.magnetic:
            raise ValueError("a FieldDFT holds electric or magnetic components, not both "
                             "(their time weights differ)")
        self.kind = 1 if self.magnetic else 0
        self.n0 = 0
        self.count = 0

    def start(self, max_steps: int):
        self.flush()

    def update(self, n: int):
        if self.count and n != self.n0 + self.count:
            self.flush()
        if not self.count:
            self.n0 = n
        for ring, src, _ in self.copies:
            ring[self.count].copy_(src)
        self.count += 1
        if self.count == self.block:
            self.flush()

    def flush(self):
        b = self.count
        if not b:
            return
        V = self.clock.factors(self.block, self.n0)[self.kind]
        for m in range(self.acc.shape[0]):
            torch.mm(self.ring[m, :b].t(), self.U[:b], out=self.G)
            G = self.G_c[:, 0].to(torch.complex128)
            if self.halves > 1:
                G = G + 1j * self.G_c[:, 1]
            self.acc[m].addmm_(G, V)
        self.n0 += b
        self.count = 0

    def fields(self) -> Dict[str, torch.Tensor]:
        """Per component, complex128 [NS, NM, bi, bj, bk, NF] (on the grid's
        device)."""
        self.flush()
        out, off = {}, 0
        NS = self.grid.NS
        for n in self.names:
            cnt = NS * int(np.prod(self.sizes[n]))
            a = self.acc[:, off:off + cnt].unflatten(1, (NS, *self.sizes[n]))
            out[n] = a.transpose(0, 1).clone()
            off += cnt
        return out

    def coordinates(self, name: str):
        """The sample positions of component `name` along x, y, z, in cells."""
        o = OFFSETS[name]
        return [np.arange(a, b) + o[d] for d, (a, b) in enumerate(self.boxes[name])]


def field_box_dft(grid, frequencies, boxes: Dict[str, Box], halves: int = None) -> FieldDFT:
    """A ``FieldDFT`` on its own clock at `frequencies` (c/a)."""
    return FieldDFT(grid, DFTClock(frequencies, grid.units, grid.device), boxes, halves)


__all__: Sequence[str] = ("FieldDFT", "field_box_dft", "OFFSETS")
