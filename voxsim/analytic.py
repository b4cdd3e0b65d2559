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


def yee_normal_incidence(eps, omega, dt: float, k_in: int, k_out: int):
    """Exact R, T of the discrete scheme itself at normal incidence: the
    time-harmonic solution of the Yee column (cell units) with permittivity
    eps[k, f] at Ex node k (``reflectance.node_permittivity``), uniform for
    k ≤ k_in and for k ≥ k_out. With the monitors' time weights the
    leapfrog turns ∂/∂t into −iω̃, ω̃ = 2·sin(ω·dt/2)/dt, so
    H_k = H_{k−1} + iω̃·ε_k·E_k and E_{k+1} = E_k + iω̃·H_k (H_k at k + ½);
    a uniform region carries e^{±iκk} with sin(κ/2) = ω̃·√ε/2. What the
    FDTD adds to this is only time truncation and rounding, so comparing
    with it separates a fault from the scheme's own dispersion."""
    eps = np.asarray(eps, dtype=np.complex128)
    omega = np.atleast_1d(np.asarray(omega, dtype=np.float64))
    R = np.empty(len(omega))
    T = np.empty(len(omega))
    for i, w in enumerate(omega):
        wt = 2 * np.sin(w * dt / 2) / dt
        e = eps[:, i]
        k1 = 2 * np.arcsin(wt * np.sqrt(e[k_in]) / 2 + 0j)
        k2 = 2 * np.arcsin(wt * np.sqrt(e[k_out]) / 2 + 0j)
        Z = lambda k: (np.exp(1j * k) - 1) / (1j * wt)    # H_k / E_k of a forward wave
        E = np.exp(1j * k2 * (k_out + 1))
        H = np.exp(1j * k2 * k_out) * Z(k2)
        for k in range(k_out, k_in - 1, -1):
            E_next = E
            E = E - 1j * wt * H
            H = H - 1j * wt * e[k] * E
        # E = E_{k_in}, E_next = E_{k_in + 1}
        A = np.array([[np.exp(1j * k1 * k_in), np.exp(-1j * k1 * k_in)],
                      [np.exp(1j * k1 * (k_in + 1)), np.exp(-1j * k1 * (k_in + 1))]])
        a, b = np.linalg.solve(A, [E, E_next])
        R[i] = abs(b / a) ** 2
        T[i] = Z(k2).real / (Z(k1).real * abs(a) ** 2)
    return R, T
