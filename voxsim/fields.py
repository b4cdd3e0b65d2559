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

from dataclasses import dataclass
from typing import Dict, Optional, Sequence, Tuple

import numpy as np
import torch

from .monitors import BLOCK, RING_BYTES, BlockRing, DFTClock, fold
from .units import finite_number, require

NAMES = ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz")
OFFSETS = {"Ex": (0.5, 0, 0), "Ey": (0, 0.5, 0), "Ez": (0, 0, 0.5),
           "Hx": (0, 0.5, 0.5), "Hy": (0.5, 0, 0.5), "Hz": (0.5, 0.5, 0)}

Box = Tuple[Tuple[int, int], Tuple[int, int], Tuple[int, int]]


class FieldDFT(BlockRing):
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

    def _copy(self, slot: int):
        for ring, src, _ in self.copies:
            ring[slot].copy_(src)

    def _fold(self, b: int, factors):
        for m in range(self.acc.shape[0]):
            fold(self.ring[m, :b], self.U[:b], self.G, self.G_c, self.halves, self.acc[m],
                 factors[self.kind])

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




# -- fields asked of a run (the ``fields`` key of the job files) -------------

@dataclass(frozen=True)
class FieldRequest:
    """DFT fields (Ex, Ey, Ez) at ``frequencies`` (c/a) on the plane
    ``axis`` = ``at`` (a, in the structure's own coordinates), or over the
    whole volume inside the absorbing layers when ``axis`` is None."""

    frequencies: tuple
    axis: Optional[int] = None
    at: float = 0.0

    def __post_init__(self):
        f = [finite_number(v, "fields.frequencies") for v in self.frequencies]
        require(len(f) > 0 and all(v > 0 for v in f), "fields.frequencies",
                "need at least one frequency, all positive")
        object.__setattr__(self, "frequencies", tuple(f))
        if self.axis is not None:
            require(self.axis in (0, 1, 2), "fields.plane.axis", "must be x, y or z")
        object.__setattr__(self, "at", finite_number(self.at, "fields.plane.at"))


def parse_request(value, field: str = "fields") -> FieldRequest:
    """``{"frequencies": [f, ...], "plane": {"axis": "y", "at": 0.0}}``
    (``plane`` left out: the whole volume)."""
    from .config import _object
    d = _object(value, field, {"frequencies", "plane"}, ("frequencies",))
    f = d["frequencies"]
    require(isinstance(f, list) and len(f) > 0, f"{field}.frequencies",
            "must be a non-empty list of frequencies (c/a)")
    f = [finite_number(v, f"{field}.frequencies[{i}]") for i, v in enumerate(f)]
    for i, v in enumerate(f):
        require(v > 0, f"{field}.frequencies[{i}]", f"must be positive, got {v:g}")
    if "plane" not in d:
        return FieldRequest(tuple(f))
    p = _object(d["plane"], f"{field}.plane", {"axis", "at"}, ("axis",))
    require(p["axis"] in ("x", "y", "z"), f"{field}.plane.axis",
            f"must be \"x\", \"y\" or \"z\", got {p['axis']!r}")
    return FieldRequest(tuple(f), "xyz".index(p["axis"]),
                        finite_number(p.get("at", 0.0), f"{field}.plane.at"))


def interior(grid):
    """Node ranges (lo, hi) per axis inside the absorbing layers; along a
    periodic axis the unit cell's nodes 1 … N − 1 (node 0 is the wrap's
    copy)."""
    n = grid.cpml.thickness
    out = []
    for a, N in enumerate(grid.shape):
        if grid.absorbing[a]:
            out.append((n, N - n))
        else:
            out.append((1, max(N, 2)) if N > 1 else (0, 1))
    return out


def request_boxes(grid, request: FieldRequest, origin, limits=None) -> Dict[str, Box]:
    """The E components' boxes of `request` on `grid` (``origin``: cell
    coordinates of the structure's zero): inside the absorbing layers, or
    inside ``limits`` (node ranges per axis, None for an axis: the
    layers); on a plane, a component staggered across it gets the samples
    on both sides."""
    rng = interior(grid)
    if limits is not None:
        rng = [r if l is None else tuple(l) for r, l in zip(rng, limits)]
    # along a periodic axis every component's samples 1 … N − 1 are the
    # unit cell's; elsewhere a staggered component's last sample would lie
    # past node hi − 1
    cut = [grid.absorbing[b] or (limits is not None and limits[b] is not None)
           for b in range(3)]
    if request.axis is not None:
        a = request.axis
        lo, hi = rng[a]
        idx = int(round(origin[a] + request.at * grid.units.resolution))
        require(lo <= idx < hi, "fields.plane.at",
                f"{request.at:g} a lies outside the domain "
                f"({(lo - origin[a]) / grid.units.resolution:.4g} … "
                f"{(hi - 1 - origin[a]) / grid.units.resolution:.4g} a)")
    boxes = {}
    for name in ("Ex", "Ey", "Ez"):
        field = grid.E["xyz".index(name[1])]
        box = []
        for b in range(3):
            size = field.shape[2 + b]
            lo, hi = rng[b]
            if request.axis == b:
                box.append((max(idx - 1, 0), min(idx + 1, size)) if OFFSETS[name][b]
                           else (idx, idx + 1))
            else:
                box.append((lo, min(hi - (1 if OFFSETS[name][b] and cut[b] else 0), size)))
        boxes[name] = tuple(box)
    return boxes


@dataclass
class FieldResult:
    """DFT fields of a run: per component complex [NS, NM, bi, bj, bk, NF]
    (excitation, structure slice), their positions (a) along x, y, z, the
    frequencies (c/a), which slice holds the structure, the outline
    (ε map, (u, v) in a) of the plane drawn, and how the fields are scaled
    (``normalised``: "incident" — over the incident plane wave's amplitude
    at each frequency, so |E|² is the intensity enhancement — or "source",
    the raw transform Σ E·exp(iωt)·dt of ``FieldDFT``, time in cell units,
    of a run driven by the sources' pulse)."""

    frequency: np.ndarray
    components: Dict[str, np.ndarray]
    coordinates: Dict[str, tuple]
    structure: int
    outline: Optional[tuple] = None
    normalised: str = "source"
    plane: Optional[tuple] = None          # (axis, position in a) or None (volume)

    def normalise(self, scale, how: str) -> None:
        """Divide every component by ``scale`` [NS, NF]."""
        scale = np.asarray(scale)[:, None, None, None, None, :]
        for n in self.components:
            self.components[n] = self.components[n] / scale
        self.normalised = how

    def intensity(self, s: int = 0, f: int = 0, m: Optional[int] = None):
        """(|E|² [nx, ny, nz] on common points, (x, y, z) a) of excitation s,
        frequency index f, slice m (default: the structure)."""
        from .snapshots import intensity
        m = self.structure if m is None else m
        return intensity({n: (v[s, m, ..., f], self.coordinates[n])
                          for n, v in self.components.items()})

    def save(self, path) -> None:
        """To an .npz: per component ``NAME`` and ``NAME_x``, ``NAME_y``,
        ``NAME_z`` (a); ``frequency``; ``structure``; ``normalised``;
        ``outline_eps``, ``outline_u``, ``outline_v`` when there is one."""
        out = {"frequency": np.asarray(self.frequency), "structure": np.int64(self.structure),
               "normalised": np.array(self.normalised)}
        for n, v in self.components.items():
            out[n] = v
            for a, x in zip("xyz", self.coordinates[n]):
                out[f"{n}_{a}"] = x
        if self.plane is not None:
            out["plane"] = np.array([float(self.plane[0]), float(self.plane[1])])
        if self.outline is not None:
            out["outline_eps"] = self.outline[0]
            out["outline_u"], out["outline_v"] = self.outline[1]
        np.savez_compressed(path, **out)

    @classmethod
    def load(cls, path) -> "FieldResult":
        with np.load(path) as z:
            comps = {n: z[n] for n in ("Ex", "Ey", "Ez") if n in z.files}
            coords = {n: tuple(z[f"{n}_{a}"] for a in "xyz") for n in comps}
            outline = None
            if "outline_eps" in z.files:
                outline = (z["outline_eps"], (z["outline_u"], z["outline_v"]))
            plane = None
            if "plane" in z.files:
                plane = (int(z["plane"][0]), float(z["plane"][1]))
            return cls(z["frequency"], comps, coords, int(z["structure"]), outline,
                       str(z["normalised"]), plane)

    def plot(self, path=None, s: int = 0, f: int = 0, title: Optional[str] = None, log=False):
        """|E|² of excitation s at frequency index f with the structure's
        outline: a map on the plane (for a volume, the plane y = 0), or a
        curve with the permittivity beside it where the plane is one
        sample wide (a layered stack's column). Returns the axes."""
        from . import plot as vplot
        values, pts = self.intensity(s, f)
        a = self.plane[0] if self.plane is not None else 1
        if self.plane is None:          # a volume: the plane y = 0
            j = int(np.argmin(np.abs(pts[a])))
            values = np.take(values, [j], axis=a)
            pts = [p if b != a else p[[j]] for b, p in enumerate(pts)]
        what = "|E/E0|²" if self.normalised == "incident" else "|E|²"
        title = title or f"{what} at f = {self.frequency[f]:.5g} c/a"
        keep = [b for b in range(3) if b != a]
        long = [b for b in keep if len(pts[b]) > 1]
        if len(long) == 2:
            return vplot.field(values, pts, quantity="abs", outline=self.outline, path=path,
                               title=title, log=log)
        return self._plot_line(values, pts, long[0] if long else 2, path, title, what)

    def _plot_line(self, values, pts, b, path, title, what):
        import matplotlib
        if path is not None:
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, ax = plt.subplots(figsize=(7, 3.8))
        ax.plot(pts[b], values.reshape(-1), "C3", lw=1.2, label=what)
        ax.set_xlabel(f"{'xyz'[b]} (a)")
        ax.set_ylabel(what)
        if self.outline is not None:
            eps, (ou, ov) = self.outline
            eps = np.asarray(eps)
            axis_uv = [c for c in range(3) if c != (self.plane[0] if self.plane else 1)]
            # the outline's ε along the line (its middle row across it)
            line, x = (eps[eps.shape[0] // 2], ov) if axis_uv[1] == b else (eps[:, 0], ou)
            lo, hi = pts[b][0], pts[b][-1]
            inside = (x >= lo) & (x <= hi)
            tw = ax.twinx()
            tw.step(x[inside], line[inside], "k", lw=0.7, where="mid", label="ε")
            tw.set_ylabel("ε (outline)")
        ax.set_title(title, fontsize=9)
        ax.grid(alpha=0.3)
        from .plot import finish
        finish(fig, path)
        return ax


def collect(dft: FieldDFT, request: FieldRequest, origin, structure: int,
            scale=None, normalised: str = "source") -> FieldResult:
    """The ``FieldResult`` of a run's ``FieldDFT`` (boxes from
    ``request_boxes``): positions in a from ``origin``; ``scale`` [NS, NF]
    divides the fields (the incident amplitude)."""
    from .plot import outline
    grid = dft.grid
    res = grid.units.resolution
    raw = dft.fields()
    comps, coords = {}, {}
    for n, v in raw.items():
        v = v.cpu().numpy()              # Σ E·exp(iωt)·dt, t and dt in cell units
        if scale is not None:
            v = v / np.asarray(scale)[:, None, None, None, None, :]
        comps[n] = v
        coords[n] = tuple((c - o) / res for c, o in zip(dft.coordinates(n), origin))
    a = request.axis if request.axis is not None else 1
    idx = int(round(origin[a] + request.at * res)) if request.axis is not None else \
        int(round(origin[a]))
    idx = min(max(idx, 0), grid.shape[a] - 1)
    line = outline(grid, a, idx, m=structure, origin=origin)
    plane = (request.axis, request.at) if request.axis is not None else None
    return FieldResult(np.asarray(request.frequencies), comps, coords, structure, line,
                       normalised, plane)


def incident_scale(result_components: Dict[str, np.ndarray], m: int = 0) -> np.ndarray:
    """[NS, NF] amplitude of a plane wave in slice m (a uniform medium: the
    reference), from its fields: √Σ_c median |E_c|²."""
    total = 0.0
    for v in result_components.values():
        a = np.abs(v[:, m]) ** 2                                   # [NS, bi, bj, bk, NF]
        total = total + np.median(a.reshape(a.shape[0], -1, a.shape[-1]), axis=1)
    return np.sqrt(total)


__all__: Sequence[str] = ("FieldDFT", "field_box_dft", "OFFSETS", "FieldRequest", "FieldResult",
                          "parse_request", "request_boxes", "collect")
