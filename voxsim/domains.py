"""Runs with the grid cut into slabs along z over the ranks of a process
group (``--split domains``; torch.distributed: gloo on the CPU, NCCL on
CUDA, launched by torchrun).

Layout. The stack grids are periodic in x and y and absorbing along z, so z
is cut: rank r owns the cells [k0, k1) of a balanced cut (``bounds``), the
last rank also the extra samples at k = Nz. Its local grid holds those
planes plus one halo plane at each internal boundary:

- below (ranks > 0): local plane 0 is global plane k0 − 1. The slab
  updates its H itself, as the rank below does (the same operands: E on
  k0 − 1 and k0, the absorber's terms of that cell, the TFSF plane's
  magnetic side if it lies there), since the electric update of plane k0
  differences H backward. Its Ex, Ey, which need H on k0 − 2, are received
  from the rank below after every step; its Ez needs H on k0 − 1 only and
  is updated here.
- above (ranks below the last): the extra sample k1 − k0 + 1 of Ex, Ey (the
  one every grid allocates and the electric update never writes) is global
  plane k1, received from the rank above after every step (the magnetic
  update differences E forward: H on k1 − 1 reads E on k1).

So one exchange per step: after the periodic wrap, Ex, Ey of the first
owned plane go down and those of the last owned plane go up (``isend`` /
``irecv``), and are waited for only at the next magnetic update: the
transfer overlaps the monitors, the decay check and the plane source's
auxiliary line. (The halo's H copy costs one plane of the magnetic update;
it saves the second message, and its latency, that a halo of H received
after the magnetic half step would need.)

Absorbers. The kernels apply the layers of an absorbing axis on both faces
of the grid they are given (layer index L: cell L low, cell L + N − 2n
high). A slab keeps the same call: its z profiles are the global ones
sliced (C = dt/κ), and b, g of each local layer index are those of the
global layer cell that lands there, or 0 (inert: ψ stays zero and adds
nothing) where the local cell is not a global layer cell. A global layer
cell always lands in a local layer (the low layer's cells lie within n of
the slab's start, the high layer's within n of its end), so any slab of one
cell or more works. The auxiliaries stop at the highest local layer index
in use (the kernels take the indices past them for no layer): the slab on
the low face keeps n planes of them, the one on the high face 2n (its low
n inert), the others none.

Materials are painted on the whole grid on every rank (the painting is the
one a single process does) and each rank keeps its slab of the maps: the
peak of the preparation is the whole grid's maps, the run holds 1/N of them.
The fields, the absorber's auxiliaries and the dispersion state, which are
what the memory goes to, are allocated per slab only.

Sources and monitors. The TFSF plane (H on plane kp, E on kp + 1) acts
where those planes are updated (its magnetic side also on the slab whose
lower halo is kp), each rank with its own copy of the 1-D auxiliary line
(tiny). A flux plane accumulates on its owner; after the run
its transformed fields are broadcast, and every rank computes R and T as
one process does. The decay probe's per-slice energies and plane changes
are summed over the ranks (one all-reduce per check) before its decisions,
so that the ranks stop at the same step.

Arithmetic. Each sample is updated with the same operations on the same
operands as in one process (the inert layer terms add exact zeros), so the
fields, the monitors' sums and R, T are those of one process bit for bit
at the same step count. The probe's sums (energy, plane changes) are
grouped per rank and differ from one process in rounding; only a check
that falls within that rounding of its threshold can stop the run one check
(200 steps) apart, by which point the fields have decayed by ``decay_by``.
"""
from __future__ import annotations

import math
from types import SimpleNamespace
from typing import List, Optional, Tuple

import numpy as np
import torch

from .materials import COMPONENTS, ComponentMaps
from .monitors import FluxPlane, _Plane
from .simulation import DecayProbe, Grid
from .sources import PlaneWaveSource
from .units import InputError

TAGS = {"down": 11, "up": 12}


def bounds(Nz: int, size: int) -> List[Tuple[int, int]]:
    """The owned cells [k0, k1) of each rank: contiguous, sizes differing by
    one at most."""
    if Nz < size:
        raise InputError("split", f"--split domains: {Nz} cells along z cannot be shared out "
                                  f"over {size} processes (one cell each at least)")
    edges = np.cumsum([0] + [len(p) for p in np.array_split(np.arange(Nz), size)])
    return [(int(a), int(b)) for a, b in zip(edges[:-1], edges[1:])]


def _layer_index(x: int, N: int, n: int, electric: bool) -> int:
    """The kernels' layer rule along one axis (-1: no layer)."""
    if n <= 0 or (electric and x == 0):
        return -1
    if x < n:
        return x
    if x >= N - n:
        return x - N + 2 * n
    return -1


def slab_profiles(cpml, Nz: int, a: int, N: int, lo: int, dt: float, magnetic: bool):
    """(C, b, g, top) of the z axis for the local grid of N cells starting
    at global cell a, owned from local cell `lo` on: C sliced from the
    global profile, b and g of each local layer index from the owned global
    layer cell that lands there (0 elsewhere, the halo included), `top` one
    past the highest local layer index that any does land on (0: none)."""
    C, b, g = cpml.profiles(Nz, dt, magnetic)
    n = cpml.thickness
    bl, gl = np.zeros(2 * n), np.zeros(2 * n)
    top = 0
    for l in range(lo, N):
        Lg = _layer_index(a + l, Nz, n, not magnetic)
        if Lg < 0:
            continue
        L = _layer_index(l, N, n, not magnetic)
        assert L >= 0, "a global layer cell outside the slab's layers"
        bl[L], gl[L] = b[Lg], g[Lg]
        top = max(top, L + 1)
    return C[a:a + N], bl, gl, top


def estimate_bytes(shape, NS: int, NM: int, n_layer: int, dispersive: bool, NC: int = 2) -> int:
    """Field memory of one grid (E, H, the z absorber's auxiliaries, the
    dispersion state), bytes, as ``field_bytes`` counts it."""
    Nx, Ny, Nz = shape
    per = NS * NM * NC * 4
    e = (Nx * (Ny + 1) * (Nz + 1) + (Nx + 1) * Ny * (Nz + 1) + (Nx + 1) * (Ny + 1) * Nz)
    h = 3 * (Nx + 1) * (Ny + 1) * (Nz + 1)
    psi = 2 * Nx * Ny * 2 * n_layer * 2         # psi_h, psi_e of z: 2n planes, two slots
    total = (e + h + psi) * per
    if dispersive:
        total += e * per * 5                    # E_prev, two complex auxiliaries
    return total


def field_bytes(grid: Grid) -> int:
    """Bytes held by the fields of `grid`: E, H, the absorber's auxiliaries
    and the dispersion state."""
    ts = list(grid.E) + list(grid.H) + list(grid.psi_h) + list(grid.psi_e)
    if grid.dispersive:
        ts += list(grid.E_prev) + list(grid.aux1) + list(grid.aux2)
    return sum(t.numel() * t.element_size() for t in ts)


def choose(split: str, size: int, NS: int, shape, NM: int, n_layer: int, dispersive: bool,
           memory_cap: Optional[float] = None) -> str:
    """The split ``auto`` stands for: ``batch`` when every rank gets an
    excitation of the sweep and the whole grid with its share fits
    `memory_cap` (bytes per rank), else ``domains`` (``none`` on one rank;
    ``batch`` where the grid has fewer cells along z than ranks)."""
    if split != "auto":
        return split
    if size == 1:
        return "none"
    share = math.ceil(NS / size)
    whole = estimate_bytes(shape, share, NM, n_layer, dispersive)
    if NS >= size and (memory_cap is None or whole <= memory_cap):
        return "batch"
    return "domains" if shape[2] >= size else "batch"


class SlabGrid(Grid):
    """The slab of rank `rank` of a grid of global `shape` cut along z at
    `cuts` ([k0, k1) per rank, contiguous from 0 to Nz; ``bounds`` by
    default), with the halo exchange in its steps."""

    def __init__(self, units, shape, NS, materials, tables, cpml, periodic=(True, True), kx=None,
                 device="cpu", rank: int = 0, size: int = 1, cuts=None):
        import torch.distributed as dist
        Nx, Ny, Nz = self.global_shape = tuple(shape)
        self.rank, self.size = rank, size
        self.cuts = [tuple(int(k) for k in c) for c in (cuts or bounds(Nz, size))]
        edges = [k for c in self.cuts for k in c]
        if (len(self.cuts) != size or edges[0] != 0 or edges[-1] != Nz
                or any(b <= a for a, b in self.cuts) or edges[2::2] != edges[1:-1:2]):
            raise ValueError(f"cuts {self.cuts} do not share {Nz} planes out over {size} "
                             f"slabs of one cell or more")
        self.k0, self.k1 = self.cuts[rank]
        self.lo = 1 if rank > 0 else 0            # local index of the first owned plane
        self.last = rank == size - 1
        self.a = self.k0 - self.lo                # global plane of local plane 0
        N = self.k1 - self.a
        sl = slice(self.a, self.a + N)
        local = SimpleNamespace(NM=materials.NM, comp={})
        for c in COMPONENTS:
            m = materials.comp[c]
            cut = lambda t: None if t is None else t[..., sl].contiguous()
            local.comp[c] = ComponentMaps(cut(m.weight), cut(m.id_map), cut(m.prev_id_map),
                                          cut(m.den1), cut(m.den2))
        super().__init__(units, (Nx, Ny, N), NS, local, tables, cpml, periodic, kx, device,
                         absorbing=(False, False, True))
        # The z profiles of the slab: the global ones sliced, inert where the
        # local layer cells are not global ones (the magnetic side includes
        # the lower halo plane, whose H the slab updates itself). The
        # auxiliaries and b, g hold the local layer indices up to the highest
        # one a global layer cell lands on: the kernels treat the indices
        # past them as no layer (a slab on the low face only keeps n planes
        # of auxiliaries, one touching no layer none).
        f = dict(dtype=torch.float32, device=self.device)
        prof = [slab_profiles(cpml, Nz, self.a, N, 0 if magnetic else self.lo, units.dt, magnetic)
                for magnetic in (True, False)]
        top = max(p[3] for p in prof)
        for (Cz, bz, gz, _), C, b, g, psi in zip(prof, (self.C_h, self.C_e), (self.b_h, self.b_e),
                                                (self.g_h, self.g_e), (self.psi_h, self.psi_e)):
            C[2], b[2], g[2] = (torch.tensor(v, **f) for v in (Cz, bz[:top], gz[:top]))
            psi[2] = psi[2][:, :, :, :, :top].contiguous()
        if not top:
            self.n_layer[2] = 0
        self._dist = dist
        self._pending = []
        # messages: Ex, Ey of the first owned plane down, of the last one up
        # (flat buffers, one per direction and way)
        self._split = [e[:, :, :, :, 0].numel() for e in self.E[:2]]
        self._buf = {(d, w): torch.empty(sum(self._split), **f)
                     for d in ("down", "up") for w in ("out", "in")}

    # -- where planes live ------------------------------------------------
    def owns(self, k: int) -> bool:
        """Global plane k is this rank's (the extra samples at k = Nz are
        the last rank's)."""
        return self.k0 <= k < self.k1 or (self.last and k == self.k1)

    def computes_h(self, k: int) -> bool:
        """H on global plane k is updated here (the owned planes and the
        lower halo, whose copy each slab keeps)."""
        return self.a <= k < self.k1

    def owner(self, k: int) -> int:
        for r, (k0, k1) in enumerate(self.cuts):
            if k0 <= k < k1:
                return r
        return self.size - 1

    def local(self, k: int) -> int:
        return k - self.a

    @property
    def cells(self) -> int:
        Nx, Ny, _ = self.shape
        return Nx * Ny * (self.k1 - self.k0)

    def owned(self) -> List[torch.Tensor]:
        """The owned planes of E and H (views)."""
        hi = self.lo + self.k1 - self.k0 + (1 if self.last else 0)
        return [t[:, :, :, :, self.lo:hi] for t in self.E + self.H]

    # -- the half steps with their exchange ------------------------------
    def update_h(self):
        self.finish()
        super().update_h()

    def wrap(self):
        super().wrap()
        self._post()

    def _planes(self, k: int):
        """The tangential E of local plane k (what a message carries)."""
        return [e[:, :, :, :, k] for e in self.E[:2]]

    def _post(self):
        """Sends the first owned E plane down and the last one up, and posts
        the receipt of the halo planes."""
        dist, buf = self._dist, self._buf
        for direction, peer, k, back in (("down", self.rank - 1, self.lo, "up"),
                                          ("up", self.rank + 1, self.shape[2] - 1, "down")):
            if not 0 <= peer < self.size:
                continue
            out = buf[direction, "out"]
            for t, part in zip(self._planes(k), out.split(self._split)):
                part.view(t.shape).copy_(t)
            self._pending.append(dist.isend(out, peer, tag=TAGS[direction]))
            self._pending.append(dist.irecv(buf[back, "in"], peer, tag=TAGS[back]))

    def finish(self):
        """Waits for the E planes in flight and puts the received ones in
        the halo planes."""
        if not self._pending:
            return
        for req in self._pending:
            req.wait()
        self._pending = []
        for direction, k, ok in (("down", self.shape[2], not self.last),
                                 ("up", 0, self.rank > 0)):
            if ok:
                for t, part in zip(self._planes(k), self._buf[direction, "in"].split(self._split)):
                    t.copy_(part.view(t.shape))


class SlabPlaneSource(PlaneWaveSource):
    """The TFSF plane between global planes kp and kp + 1 on a slab: the
    magnetic side wherever H on kp is updated (its owner, and the slab above
    whose lower halo it is), the electric side where kp + 1 is owned, the
    auxiliary line wherever either is."""

    def __init__(self, grid: SlabGrid, excitations, incident, kp: int, depth: int = 0):
        super().__init__(grid, excitations, incident, grid.local(kp), depth)
        self.own_h, self.own_e = grid.computes_h(kp), grid.owns(kp + 1)

    def before_h(self, n: int):
        if self.own_h or self.own_e:
            super().before_h(n)

    def after_h(self, n: int):
        if self.own_h:
            super().after_h(n)

    def after_e(self, n: int):
        if self.own_e:
            super().after_e(n)
        elif self.own_h and n < self.active_steps:
            self.advance_line(n)


class SlabFlux(_Plane):
    """A flux plane at global index k: accumulated on its owner, its fields
    broadcast to every rank when read (after the run)."""

    def __init__(self, grid: SlabGrid, k: int, clock, block=None):
        super().__init__(grid, k, clock)
        self.src = grid.owner(k)
        self.inner = FluxPlane(grid, grid.local(k), clock, block) if grid.owns(k) else None
        self._fields = None

    def start(self, max_steps: int):
        if self.inner is not None:
            self.inner.start(max_steps)

    def update(self, n: int):
        if self.inner is not None:
            self.inner.update(n)

    def fields(self):
        if self._fields is None:
            import torch.distributed as dist
            self.grid.finish()
            box = [self.inner.fields() if self.inner is not None else None]
            dist.broadcast_object_list(box, src=self.src)
            self._fields = box[0]
        return self._fields


class SlabProbe(DecayProbe):
    """The decay probe on a slab: its planes and energies over the owned
    samples, summed over the ranks before each decision."""

    def _planes(self, grid):
        if self._index is None:
            mine = [grid.local(k) for k in self.planes if grid.owns(k)]
            self._index = torch.tensor(mine, dtype=torch.long, device=grid.device)
        return [t.index_select(4, self._index) for t in grid.E + grid.H]

    def _fields(self, grid):
        return grid.owned()

    def _reduce(self, both: torch.Tensor) -> torch.Tensor:
        import torch.distributed as dist
        both = both.contiguous()
        dist.all_reduce(both, op=dist.ReduceOp.SUM)
        return both


class Slabs:
    """The cut of one run over the ranks: makes the slab grid and the
    pieces placed on it (``batch._run_batch``'s hooks)."""

    def __init__(self, rank: int, size: int, cuts=None):
        self.rank, self.size, self.cuts = rank, size, cuts

    def grid(self, units, shape, NS, materials, tables, cpml, periodic, kx, device) -> SlabGrid:
        return SlabGrid(units, shape, NS, materials, tables, cpml, periodic, kx, device,
                        self.rank, self.size, self.cuts)

    plane_source = SlabPlaneSource
    flux_plane = SlabFlux
    probe = SlabProbe

    def totals(self, stats):
        """Run statistics of the whole grid: cell updates summed over the
        ranks, the slowest rank's time."""
        from . import distributed
        parts = distributed.all_gather((stats.cell_updates, stats.seconds))
        stats.cell_updates = float(sum(c for c, _ in parts))
        stats.seconds = max(s for _, s in parts)
        return stats
