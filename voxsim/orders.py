"""Diffraction orders: the power per order carried through a z-plane of a
periodic structure, from the DFT fields of a plane monitor.

Over a unit cell of Px × Py cells a Bloch field with in-plane wavevector
(kx, ky) (radians per cell) is a sum of plane waves, the orders (m, n), with
in-plane wavevectors kx_m = kx + 2πm/Px and ky_n = ky + 2πn/Py. Each
tangential component F sampled at positions (x_i, y_j) of its own
(staggered) lattice gives its order amplitudes by a 2-D Fourier transform:

    F_mn = (1 / Px·Py) Σ_ij F(x_i, y_j) · exp(−i(kx_m·x_i + ky_n·y_j)),

so the Bloch factor is taken out before the FFT and the half-cell offsets
of the lattice only turn phases. The power per unit area of order (m, n)
through the plane is

    S_mn = ½·Re(conj(Ex_mn)·Hy_mn − conj(Ey_mn)·Hx_mn),

and Σ_mn S_mn is the plane's mean flux exactly (Parseval): Ex pairs with Hy
and Ey with Hx on the same lattice, which is how ``monitors.FluxPlane``
samples them (E on plane k, H on plane k + ½: the pairing the scheme
conserves, order by order in a uniform medium). R and T of an order are its
power over the incident flux (per unit area); reflected orders use the
scattered field, whose power flows towards −z.

An order propagates in a medium of permittivity ε where
kx_m² + ky_n² < ε·ω² (continuum dispersion, ω = 2πf per cell time); near
that cut-off (a Rayleigh–Wood anomaly) the grid's own cut-off differs
slightly. Orders are indexed with |m| < Px/2, |n| < Py/2 (beyond that the
lattice aliases them).
"""
from __future__ import annotations

import math
from typing import List, Sequence, Tuple

import numpy as np
import torch

# (x, y) offsets in cells of the samples of Ex/Hy and of Ey/Hx on a monitor
# plane, relative to the lattice index (see ``monitors.FluxPlane.fields``).
OFFSET_EX = (0.5, 0.0)
OFFSET_EY = (0.0, 0.5)


def order_amplitudes(F: torch.Tensor, kx, ky, offset=(0.0, 0.0), orders=None) -> torch.Tensor:
    """Order amplitudes of a field F [..., Px, Py, NF] (complex) whose
    sample (i, j) sits at (i + offset[0], j + offset[1]) cells. ``kx``, ``ky``:
    Bloch wavevector per cell, scalars or arrays broadcasting against the
    leading axes of F (for example [NS, 1] for F [NS, NM, Px, Py, NF]).
    Returns [..., len(orders), NF] for ``orders`` [(m, n), ...], or
    [..., Px, Py, NF] in FFT order when ``orders`` is None."""
    F = torch.as_tensor(F).to(torch.complex128)
    lead = F.shape[:-3]
    Px, Py = F.shape[-3], F.shape[-2]
    kx = torch.as_tensor(np.broadcast_to(np.asarray(kx, dtype=np.float64), lead).copy())
    ky = torch.as_tensor(np.broadcast_to(np.asarray(ky, dtype=np.float64), lead).copy())
    x = torch.arange(Px, dtype=torch.float64) + offset[0]
    y = torch.arange(Py, dtype=torch.float64) + offset[1]
    bloch = torch.exp(-1j * (kx[..., None, None] * x[:, None] + ky[..., None, None] * y[None, :]))
    G = torch.fft.fft2(F * bloch[..., None], dim=(-3, -2)) / (Px * Py)
    # the FFT index q measures from sample 0; orders measure from the origin
    m = torch.as_tensor(np.fft.fftfreq(Px, 1.0 / Px))
    n = torch.as_tensor(np.fft.fftfreq(Py, 1.0 / Py))
    turn = torch.exp(-2j * math.pi * (m[:, None] * offset[0] / Px + n[None, :] * offset[1] / Py))
    G = G * turn[..., None]
    if orders is None:
        return G
    idx_m = torch.tensor([int(o[0]) % Px for o in orders])
    idx_n = torch.tensor([int(o[1]) % Py for o in orders])
    return G[..., idx_m, idx_n, :]


def order_power(fields: Sequence[torch.Tensor], kx, ky, orders, tensor: bool = False):
    """Power per unit area of each order, [..., len(orders), NF] (float64),
    from (Ex, Ey, Hx, Hy) [..., Px, Py, NF] as ``FluxPlane.fields`` gives
    them (positive: flowing towards +z); a NumPy array, or with ``tensor``
    the torch tensor (differentiable in the fields)."""
    Ex, Ey, Hx, Hy = fields
    for F in fields[1:]:
        if F.shape != Ex.shape:
            raise ValueError(f"order_power: field shapes differ: {tuple(Ex.shape)} vs {tuple(F.shape)}")
    Px, Py = Ex.shape[-3], Ex.shape[-2]
    for m, n in orders:
        if not (2 * abs(m) < Px and 2 * abs(n) < Py):
            raise ValueError(f"order_power: order ({m}, {n}) aliases on a {Px} x {Py} cell lattice")
    a = lambda F, off: order_amplitudes(F, kx, ky, off, orders)
    s = 0.5 * (a(Ex, OFFSET_EX).conj() * a(Hy, OFFSET_EX)
               - a(Ey, OFFSET_EY).conj() * a(Hx, OFFSET_EY)).real
    return s if tensor else s.numpy()


def propagates(orders, frequencies, period, kx: float, eps: float, ky: float = 0.0) -> np.ndarray:
    """[len(orders), NF] mask: order (m, n) propagates in a medium of real
    permittivity ``eps`` at each frequency (c/a). ``period`` (px, py) in a;
    ``kx``, ``ky`` the Bloch wavevector in radians per a."""
    f = np.atleast_1d(np.asarray(frequencies, dtype=np.float64))
    px, py = period
    out = np.zeros((len(orders), len(f)), dtype=bool)
    for i, (m, n) in enumerate(orders):
        kt2 = (kx + 2 * math.pi * m / px) ** 2 + (ky + 2 * math.pi * n / py) ** 2
        out[i] = kt2 < eps * (2 * math.pi * f) ** 2
    return out


def propagating_orders(frequencies, period, kx: float, eps_list: Sequence[float],
                       ky: float = 0.0, limit: Tuple[int, int] = (None, None)) -> List[Tuple[int, int]]:
    """Every order (m, n) that propagates in at least one of the media at
    some frequency, sorted by (|m| + |n|, m, n); ``limit`` caps |m|, |n|
    (for example at the lattice's aliasing bound)."""
    f = float(np.max(frequencies))
    px, py = period
    k = 2 * math.pi * f * math.sqrt(max(eps_list))
    M = int(math.ceil((k + abs(kx)) * px / (2 * math.pi))) + 1
    N = int(math.ceil((k + abs(ky)) * py / (2 * math.pi))) + 1
    if limit[0] is not None:
        M = min(M, limit[0])
    if limit[1] is not None:
        N = min(N, limit[1])
    cand = [(m, n) for m in range(-M, M + 1) for n in range(-N, N + 1)]
    keep = np.zeros(len(cand), dtype=bool)
    for eps in eps_list:
        keep |= propagates(cand, frequencies, period, kx, eps, ky).any(axis=1)
    found = [o for o, k_ in zip(cand, keep) if k_]
    return sorted(found, key=lambda o: (abs(o[0]) + abs(o[1]), o[0], o[1]))
