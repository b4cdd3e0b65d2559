"""Pictures: fields on a plane with the structure's outline, and spectra.

``spectrum(sp, path)`` draws a ``reflectance.Spectrum`` (what
``Spectrum.plot`` calls): R, T and 1 − R − T with the transfer-matrix
curves, and the strongest diffraction orders of a periodic structure.

``field(values, coords, ...)`` draws one plane of a field: ``values`` a
tensor or array [bi, bj, bk] with one axis of length 1 (the plane) and
``coords`` its positions (x, y, z), or a 2-D [nu, nv] array with (u, v).
It takes plain arrays, so a snapshot (``snapshots.Snapshots.frame`` and
``coordinates``), a DFT field (``fields.FieldDFT.fields`` at one
frequency, positions in cells or a) or |E|² on common points
(``snapshots.intensity``) all draw the same way. ``quantity``: "real",
"imag", "abs" or "abs2" (|·|²); complex values default to "real".

``outline(grid, axis, index)`` reads the permittivity of the grid's slice
m on the plane of cell nodes ``index`` (the mean of the three components'
ε at the node's own samples) with its positions; given to ``field`` as
``outline=``, it is drawn as contour lines halfway between the media it
holds (the structure's edges; the mixed values of a smoothed surface are
not taken for media).
"""
from __future__ import annotations

from typing import Optional, Sequence

import numpy as np
import torch

from .snapshots import on_points
from .units import require

QUANTITIES = ("real", "imag", "abs", "abs2")


def _array(v) -> np.ndarray:
    return v.detach().cpu().numpy() if isinstance(v, torch.Tensor) else np.asarray(v)


def _plane(values, coords, at=None):
    """(2-D values, u, v, axis names, the plane's axis and position)."""
    v = _array(values)
    coords = [np.asarray(c, dtype=np.float64).ravel() for c in coords]
    if at is not None:
        require(v.ndim == 3 and len(coords) == 3, "at", "needs [bi, bj, bk] values with (x, y, z)")
        a = "xyz".index(at[0]) if isinstance(at[0], str) else int(at[0])
        pts = list(coords)
        pts[a] = np.array([float(at[1])])
        v, coords = on_points(v, coords, pts), pts
    if v.ndim == 2:
        require(len(coords) == 2 and v.shape == (len(coords[0]), len(coords[1])), "coords",
                f"2-D values {v.shape} need (u, v) positions of those lengths")
        return v, coords[0], coords[1], ("u", "v"), None, None
    require(v.ndim == 3 and len(coords) == 3, "values",
            f"must be [bi, bj, bk] with (x, y, z) positions, or 2-D, got shape {v.shape}")
    require(v.shape == tuple(len(c) for c in coords), "coords",
            f"lengths {[len(c) for c in coords]} do not match the values {v.shape}")
    flat = [a for a in range(3) if v.shape[a] == 1]
    require(len(flat) >= 1, "values", f"one axis must have length 1 (the plane), got {v.shape}")
    a = flat[-1]
    keep = [b for b in range(3) if b != a]
    return (np.take(v, 0, axis=a), coords[keep[0]], coords[keep[1]],
            ("xyz"[keep[0]], "xyz"[keep[1]]), a, float(coords[a][0]))


def _bulk_values(eps: np.ndarray) -> np.ndarray:
    """The media of an ε map: its values that fill at least 1 % of the
    plane (or its extremes), sorted. The mixed values a smoothed surface
    leaves on its samples are not media of their own: one contour between
    two neighbouring media is the edge."""
    vals, counts = np.unique(np.round(eps, 5), return_counts=True)
    bulk = vals[counts >= max(4, 0.01 * eps.size)]
    if len(bulk) < 2 and len(vals) > 1:
        bulk = np.array([vals[0], vals[-1]])
    return bulk


def outline(grid, axis, index: int, m: int = -1, origin=(0.0, 0.0, 0.0)):
    """(ε map [nu, nv], (u, v) positions in a) of slice m on the plane of
    cell nodes ``index`` across ``axis`` (0, 1, 2 or "x", "y", "z")."""
    a = "xyz".index(axis) if isinstance(axis, str) else int(axis)
    require(0 <= index < grid.shape[a], "index",
            f"must be in 0..{grid.shape[a] - 1}, got {index}")
    eps = sum(grid.maps[c].den1[m].double() for c in "xyz") / 3         # [Nx, Ny, Nz]
    eps = eps.select(a, index).cpu().numpy()
    keep = [b for b in range(3) if b != a]
    res = grid.units.resolution
    uv = tuple((np.arange(grid.shape[b]) - origin[b]) / res for b in keep)
    return eps, uv


def field(values, coords, *, quantity: Optional[str] = None, at=None, outline=None, ax=None,
          path=None, title: Optional[str] = None, cmap: Optional[str] = None,
          units: str = "a", log: bool = False, vmax: Optional[float] = None):
    """Draw one plane of a field (see the module docstring). ``at`` =
    (axis, position): the plane, the values linearly interpolated onto it
    (for a component staggered across it; without ``at`` the values'
    axis of length 1 is the plane). ``outline`` = (ε map, (u, v)) from
    ``outline``. ``log``: a logarithmic colour scale over six decades
    (for "abs" and "abs2", whose near field at a source swamps the rest).
    ``vmax``: the colour scale's limit (default: for "real" and "imag"
    ±the 99.5th percentile of |value|).
    Saved to `path` when given. Returns the axes."""
    v, u, w, names, a, at = _plane(values, coords, at)
    if quantity is None:
        quantity = "real"
    require(quantity in QUANTITIES, "quantity", f"must be one of {', '.join(QUANTITIES)}")
    data = {"real": np.real, "imag": np.imag, "abs": np.abs,
            "abs2": lambda x: np.abs(x) ** 2}[quantity](v)
    import matplotlib
    if path is not None and ax is None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    if ax is None:
        _, ax = plt.subplots(figsize=(6, 5))
    signed = quantity in ("real", "imag")
    if signed:
        # the 99.5th percentile of |value|: a source's few near-field
        # samples saturate instead of washing out the waves around it
        lim = vmax or float(np.percentile(np.abs(data), 99.5)) or float(np.abs(data).max()) or 1.0
        mesh = ax.pcolormesh(u, w, data.T, shading="nearest", cmap=cmap or "RdBu_r",
                             vmin=-lim, vmax=lim)
    else:
        norm = None
        if log:
            from matplotlib.colors import LogNorm
            top = float(data.max()) or 1.0
            norm = LogNorm(vmin=top * 1e-6, vmax=top)
            data = np.maximum(data, top * 1e-6)
        mesh = ax.pcolormesh(u, w, data.T, shading="nearest", cmap=cmap or "magma", norm=norm)
    ax.figure.colorbar(mesh, ax=ax)
    if outline is not None:
        eps, (ou, ov) = outline
        eps = _array(eps)
        vals = _bulk_values(eps)
        if len(vals) > 1:
            mids = 0.5 * (vals[1:] + vals[:-1])
            ax.contour(ou, ov, eps.T, levels=mids, colors="k" if signed else "c",
                       linewidths=0.8)
    for x, lim in ((u, ax.set_xlim), (w, ax.set_ylim)):      # the field's extent, not the outline's
        half = 0.5 * (x[1] - x[0]) if len(x) > 1 else 0.5
        lim(x[0] - half, x[-1] + half)
    ax.set_xlabel(f"{names[0]} ({units})")
    ax.set_ylabel(f"{names[1]} ({units})")
    ax.set_aspect("equal")
    if title is None and a is not None:
        title = f"{quantity} at {'xyz'[a]} = {at:.4g} {units}"
    if title:
        ax.set_title(title)
    if path is not None:
        ax.figure.savefig(path, dpi=120, bbox_inches="tight")
    return ax


def spectrum(sp, path=None, title=None, analytic=True):
    """A ``reflectance.Spectrum``: R, T and 1 − R − T against frequency (one
    panel per excitation × structure, at most 4 × 4), with the
    transfer-matrix curves; for a periodic structure a second row of panels
    with its strongest diffraction orders."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    NS, NM = sp.R.shape[:2]
    ns, nm = min(NS, 4), min(NM, 4)
    rows = 2 * ns if sp.R_orders is not None and len(sp.orders) > 1 else ns
    fig, axes = plt.subplots(rows, nm, figsize=(5.5 * nm, 3.6 * rows), squeeze=False)
    ref = sp.analytic() if analytic else None
    f = sp.frequency
    for s in range(ns):
        for m in range(nm):
            if rows > ns:
                _orders_panel(sp, axes[2 * s + 1][m], s, m)
            ax = axes[s * rows // ns][m]
            for y, name, col in ((sp.R, "R", "C0"), (sp.T, "T", "C1"),
                                 (sp.A, "1 - R - T", "C2")):
                ax.plot(f, y[s, m], "o", ms=2.5, color=col, label=f"{name} (FDTD)")
            if ref is not None and np.isfinite(ref[0][s, m]).any():
                Ra, Ta = ref
                for y, name, col in ((Ra, "R", "C0"), (Ta, "T", "C1"),
                                     (1 - Ra - Ta, "1 - R - T", "C2")):
                    ax.plot(f, y[s, m], "-", lw=1, color=col, label=f"{name} (transfer matrix)")
            ex = sp.excitations[s]
            ax.set_title(title or f"{ex.polarization}, {ex.angle_deg:g} deg at f_c; structure {m}",
                         fontsize=9)
            ax.set_xlabel("frequency (c/a)")
            ax.set_ylim(-0.05, 1.05)
            ax.grid(alpha=0.3)
    axes[0][0].legend(fontsize=7, loc="best")
    return finish(fig, path)


def finish(fig, path=None):
    """Lay the figure out; with `path`, write it (PNG, 120 dpi) and let it
    go. Returns the figure."""
    import matplotlib.pyplot as plt
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=120)
        plt.close(fig)
    return fig

def _orders_panel(sp, ax, s, m):
    f = sp.frequency
    for j, (key, o) in enumerate(sp.strongest_orders(s, m, 6)):
        i = sp.orders.index(o)
        A = (sp.R_orders if key == "R" else sp.T_orders)[s, m, i]
        ax.plot(f, A, "-" if key == "T" else "--", marker=".", ms=3, color=f"C{j}",
                label=f"{key} order ({o[0]}, {o[1]})")
    ax.set_title("strongest diffraction orders", fontsize=9)
    ax.set_xlabel("frequency (c/a)")
    ax.set_ylim(-0.05, 1.05)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7, loc="best")


__all__: Sequence[str] = ("field", "outline", "spectrum", "QUANTITIES")
