"""Analytic reference: the transfer-matrix method for layered stacks.

Uses the ``tmm`` package (S. Byrnes; pure Python on NumPy, MIT, maintained
on PyPI): it handles complex, dispersive indices at any angle and both
polarisations, with the exp(−iωt) convention of this package (loss is
Im n > 0), and its R and T are the power fractions the flux monitors
measure (T includes the Re(n·cos θ) factors). A well-tested independent
implementation is a better oracle than one written next to the code it
checks; the stacks here have few layers and a few hundred frequencies, so
its per-frequency Python loop costs milliseconds.

Each frequency takes its own angle: oblique runs fix the in-plane
wavevector at the centre frequency, so θ(f) changes across the band
(``sources.PlaneWave.angle``); NaN angles (below cut-off) give NaN.
"""
from __future__ import annotations

import numpy as np

from .geometry import Stack


def transfer_matrix(stack: Stack, frequencies, angle_deg=0.0, polarization: str = "s"):
    """(R, T) arrays over `frequencies` (c/a); `angle_deg` scalar or per
    frequency, the angle in the incident medium."""
    import tmm

    f = np.atleast_1d(np.asarray(frequencies, dtype=np.float64))
    ang = np.broadcast_to(np.asarray(angle_deg, dtype=np.float64), f.shape)
    d = [np.inf] + [l.thickness for l in stack.layers] + [np.inf]
    media = [stack.incident] + [l.medium for l in stack.layers] + [stack.substrate]
    n = np.array([m.index(f) for m in media])   # [layers, NF]
    R = np.full(f.shape, np.nan)
    T = np.full(f.shape, np.nan)
    for i in range(len(f)):
        if not np.isfinite(ang[i]):
            continue
        r = tmm.coh_tmm(polarization, n[:, i], d, np.radians(ang[i]), 1.0 / f[i])
        R[i], T[i] = r["R"], r["T"]
    return R, T
