"""Time snapshots of the fields: chosen components over index boxes, every
N steps, kept as tensors with their sample positions and times; saved to
and read from .npz; and the fields of several staggered components brought
onto common points (|E|² on a plane).

``Snapshots(grid, boxes, every)`` is a monitor of ``simulation.run``. Boxes
are per component, as ``fields.FieldDFT`` takes them: half-open index
ranges ((i0, i1), (j0, j1), (k0, k1)) in the component's own tensor, the
sample (i, j, k) sitting at (i, j, k) + ``fields.OFFSETS[name]`` cells.
``plane_boxes(grid, axis, index)`` makes the boxes of a whole plane through
the cell nodes at ``index``: the components staggered across the plane get
the samples on both sides, so that ``on_points`` can bring every component
onto the plane's nodes.

After step n the electric fields hold time (n + 1)·dt and the magnetic
ones (n + ½)·dt (``times``). Frames come back as [T, NS, NM, bi, bj, bk]:
complex64 (real + i·imaginary half) on a grid with complex fields, else the
real half, float32. Positions are in a, measured from ``origin`` (cells),
so that they match the positions given to shapes and dipoles when the same
origin is used.

The copies stay on the grid's device (no host read inside the run) unless
``device`` says otherwise.
"""
from __future__ import annotations

from typing import Dict, Optional, Sequence, Tuple

import numpy as np
import torch

from .fields import NAMES, OFFSETS
from .units import require

Box = Tuple[Tuple[int, int], Tuple[int, int], Tuple[int, int]]


def plane_boxes(grid, axis, index: int,
                names: Sequence[str] = ("Ex", "Ey", "Ez")) -> Dict[str, Box]:
    """Boxes of `names` covering the plane of cell nodes ``index`` across
    ``axis`` (0, 1, 2 or "x", "y", "z"), over the grid's whole extent."""
    a = "xyz".index(axis) if isinstance(axis, str) else int(axis)
    N = grid.shape[a]
    require(0 <= index < N, "index", f"must be in 0..{N - 1}, got {index}")
    boxes = {}
    for n in names:
        require(n in NAMES, "names", f"{n!r} is not one of {', '.join(NAMES)}")
        off = OFFSETS[n]
        box = []
        for b, Nb in enumerate(grid.shape):
            if b != a:
                box.append((0, Nb))
            elif off[b]:             # staggered across the plane: both sides
                box.append((max(index - 1, 0), min(index + 1, Nb)))
            else:
                box.append((index, index + 1))
        boxes[n] = tuple(box)
    return boxes


class Snapshots:
    """Copies of components over their boxes after every ``every``-th
    step, from step ``first`` on; ``halves`` 1 keeps the real half only
    (default: both on a grid with complex fields)."""

    def __init__(self, grid, boxes: Dict[str, Box], every: int = 10, first: int = 0,
                 halves: Optional[int] = None, origin=(0.0, 0.0, 0.0), device=None):
        require(int(every) >= 1, "every", f"must be at least 1, got {every}")
        require(len(boxes) > 0, "boxes", "need at least one component")
        self.grid = grid
        self.every, self.first = int(every), int(first)
        self.halves = halves if halves is not None else (2 if grid.complex_fields else 1)
        require(self.halves in (1, 2) and self.halves <= max(grid.NC, 1), "halves",
                f"must be 1 or 2 (and at most the grid's channels), got {halves}")
        self.origin = np.asarray(origin, dtype=np.float64)
        self.device = torch.device(device) if device is not None else grid.device
        self.boxes, self.views = {}, {}
        for n, box in boxes.items():
            require(n in NAMES, "boxes", f"{n!r} is not one of {', '.join(NAMES)}")
            box = tuple((int(lo), int(hi)) for lo, hi in box)
            require(len(box) == 3, "boxes", f"{n}: needs three index ranges")
            field = (grid.E if n[0] == "E" else grid.H)["xyz".index(n[1])]
            for a, (lo, hi) in enumerate(box):
                require(0 <= lo < hi <= field.shape[2 + a], "boxes",
                        f"{n}: range {lo}..{hi} along {'xyz'[a]} is empty or leaves the "
                        f"component's samples (0..{field.shape[2 + a]})")
            (i0, i1), (j0, j1), (k0, k1) = box
            self.boxes[n] = box
            self.views[n] = field[:, :, i0:i1, j0:j1, k0:k1, :]
        self.steps = []
        self._frames = {n: [] for n in self.boxes}

    def start(self, max_steps: int):
        pass

    def update(self, n: int):
        if n < self.first or (n - self.first) % self.every:
            return
        self.steps.append(n)
        H = self.grid.NC // 2
        for name, v in self.views.items():
            if self.halves == 2:
                c = torch.complex(v[..., 0], v[..., H])
            else:
                c = v[..., 0].clone()
            self._frames[name].append(c.to(self.device))

    # -- results --------------------------------------------------------

    @property
    def names(self):
        return list(self.boxes)

    def frames(self, name: str) -> torch.Tensor:
        """All frames of `name`, [T, NS, NM, bi, bj, bk]."""
        require(name in self.boxes, "name", f"{name!r} was not recorded ({', '.join(self.boxes)})")
        require(len(self.steps) > 0, "name", "no snapshot was taken")
        return torch.stack(self._frames[name])

    def frame(self, name: str, t: int = -1, s: int = 0, m: int = 0) -> torch.Tensor:
        """Snapshot t of `name` for excitation s and slice m, [bi, bj, bk]."""
        require(name in self.boxes, "name", f"{name!r} was not recorded ({', '.join(self.boxes)})")
        return self._frames[name][t][s, m]

    def coordinates(self, name: str):
        """Positions (a) of `name`'s samples along x, y, z."""
        o = OFFSETS[name]
        res = self.grid.units.resolution
        return [(np.arange(lo, hi) + o[a] - self.origin[a]) / res
                for a, (lo, hi) in enumerate(self.boxes[name])]

    def times(self, name: str) -> np.ndarray:
        """Time (a/c) each snapshot of `name` holds."""
        shift = 1.0 if name[0] == "E" else 0.5
        return (np.asarray(self.steps, dtype=np.float64) + shift) * self.grid.units.dt_a

    def save(self, path) -> None:
        """Every frame to an .npz: per component ``NAME`` [T, NS, NM, bi,
        bj, bk], ``NAME_x``, ``NAME_y``, ``NAME_z`` (a), ``NAME_t`` (a/c),
        and ``steps``."""
        out = {"steps": np.asarray(self.steps, dtype=np.int64)}
        for n in self.boxes:
            out[n] = self.frames(n).cpu().numpy()
            for a, x in zip("xyz", self.coordinates(n)):
                out[f"{n}_{a}"] = x
            out[f"{n}_t"] = self.times(n)
        np.savez_compressed(path, **out)


def load(path) -> Dict[str, tuple]:
    """An .npz written by ``Snapshots.save``: per component (frames,
    (x, y, z), t)."""
    with np.load(path) as z:
        return {n: (z[n], tuple(z[f"{n}_{a}"] for a in "xyz"), z[f"{n}_t"])
                for n in NAMES if n in z.files}


def _weights(q: np.ndarray, g: np.ndarray) -> np.ndarray:
    """W[a, b]: linear-interpolation weight of sample b at point a along one
    axis (clamped at the ends; one sample: all weight on it)."""
    W = np.zeros((len(q), len(g)))
    if len(g) == 1:
        W[:, 0] = 1.0
        return W
    l = np.clip(np.searchsorted(g, q, side="right") - 1, 0, len(g) - 2)
    t = np.clip((q - g[l]) / (g[l + 1] - g[l]), 0.0, 1.0)
    W[np.arange(len(q)), l] = 1 - t
    W[np.arange(len(q)), l + 1] = t
    return W


def on_points(values, coords, points):
    """`values` [..., bi, bj, bk] given at the tensor-product positions
    ``coords`` (x, y, z), linearly interpolated to the tensor-product
    ``points`` (x, y, z); [..., len(px), len(py), len(pz)], numpy."""
    v = values.cpu().numpy() if isinstance(values, torch.Tensor) else np.asarray(values)
    W = [_weights(np.asarray(p, np.float64), np.asarray(g, np.float64))
         for p, g in zip(points, coords)]
    return np.einsum("ia,jb,kc,...abc->...ijk", *W, v)


def intensity(components: Dict[str, tuple], points=None):
    """Σ |F|² over ``components`` (name → (values [..., bi, bj, bk],
    (x, y, z))), each brought onto ``points`` (default: the positions
    common to all of them: along each axis the unstaggered components'
    positions, or those of the first component). Returns (values,
    points)."""
    require(len(components) > 0, "components", "need at least one")
    if points is None:
        pts = []
        for a in range(3):
            plain = [c for n, (_, c) in components.items() if not OFFSETS.get(n, (0, 0, 0))[a]]
            ref = plain[0] if plain else next(iter(components.values()))[1]
            pts.append(np.asarray(ref[a], np.float64))
        points = pts
    total = 0.0
    for values, coords in components.values():
        total = total + np.abs(on_points(values, coords, points)) ** 2
    return total, points


__all__: Sequence[str] = ("Snapshots", "plane_boxes", "load", "on_points", "intensity")
