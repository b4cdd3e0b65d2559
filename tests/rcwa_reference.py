"""Reference R and T per diffraction order of layers periodic in x and y,
from an independent frequency-domain solver (rigorous coupled-wave analysis,
also called the Fourier modal method).

The solver is ``meent`` (numpy backend). Chosen because it is maintained
(release 0.13.2 of 2026), MIT-licensed, needs only numpy and scipy, and
builds its permittivity matrices with Li's factorisation rules from the
exact Fourier coefficients of piecewise-constant cells, so a lamellar
grating converges to ~1e-4 in every order with 20 harmonics, in s and in p.
The alternatives looked at: torcwa 0.1.4.2 (torch only, but last released
in 2023), grcwa 0.1.2 (2020, needs autograd), inkstone 0.3.15 (2024,
scipy), nannos 2.6.5 (maintained, but GPL and its install pulls pyvista and
jupyter). ``test_rcwa_reference`` checks it against the transfer matrix
(``tmm``) on unpatterned slabs before any FDTD result is compared with it.

Conventions (those of voxsim): lengths in a, frequency f in c/a (vacuum
wavelength 1/f), light from the incident medium at low z towards +z, plane
of incidence x–z; s has E along y, p has H along y. A layer's permittivity is
a number or a raster ``eps[iy, ix]`` over the unit cell, sample (ix, iy) at
((ix + ½)·px/nx, (iy + ½)·py/ny). Order (m, n) has the in-plane wavevector
(kx_inc + 2πm/px, 2πn/py). R and T are power fractions of the incident flux.
Lossless media only (the sign convention of Im ε is not tested here).
"""
from __future__ import annotations

import math
from typing import Sequence

import numpy as np

import meent


def raster(shapes, background: float, period, n) -> np.ndarray:
    """Permittivity raster [ny, nx] of a pattern in the STACK.json form
    (``circle``, ``rectangle`` with ``angle_deg``, ``polygon``; later shapes
    win), evaluated at the sample centres, periodic across the cell."""
    px, py = period
    nx, ny = n
    x = (np.arange(nx) + 0.5) * px / nx
    y = (np.arange(ny) + 0.5) * py / ny
    X, Y = np.meshgrid(x, y, indexing="xy")
    eps = np.full((ny, nx), float(background))
    for s in shapes:
        inside = np.zeros_like(X, dtype=bool)
        for sx in (-px, 0.0, px):           # periodic images
            for sy in (-py, 0.0, py):
                inside |= _inside(s, X + sx, Y + sy)
        eps[inside] = s["eps"]
    return eps


def _inside(s, X, Y):
    kind = s["kind"]
    if kind == "circle":
        cx, cy = s["center"]
        return (X - cx) ** 2 + (Y - cy) ** 2 < s["radius"] ** 2
    if kind == "rectangle":
        cx, cy = s["center"]
        w, h = s["size"]
        a = math.radians(s.get("angle_deg", 0.0))
        u = (X - cx) * math.cos(a) + (Y - cy) * math.sin(a)
        v = -(X - cx) * math.sin(a) + (Y - cy) * math.cos(a)
        return (np.abs(u) < w / 2) & (np.abs(v) < h / 2)
    if kind == "polygon":
        from matplotlib.path import Path
        pts = np.stack([X.ravel(), Y.ravel()], axis=1)
        return Path(np.asarray(s["vertices"], float)).contains_points(pts).reshape(X.shape)
    raise ValueError(f"unknown shape kind {kind!r}")


def rcwa(frequencies, period, layers: Sequence, eps_inc: float = 1.0, eps_sub: float = 1.0,
         polarization: str = "s", angle_deg: float = 0.0, harmonics=(20, 0)):
    """R, T per order: dict with ``R``, ``T`` of shape [F, 2·Ny + 1, 2·Nx + 1]
    (axes frequency, n, m; index N + m along x), ``m``, ``n`` (the order
    numbers of the last two axes) and the totals ``R_total``, ``T_total``.

    ``layers``: [(thickness, eps)] in the order the light meets them, eps a
    number or a raster [ny, nx] (``raster``). ``harmonics`` = (Nx, Ny): orders
    −N … N kept along each axis; Ny = 0 with rasters one sample high in y
    uses the 1-D (planar diffraction) formulation.
    """
    f = np.atleast_1d(np.asarray(frequencies, dtype=np.float64))
    Nx, Ny = harmonics
    grids = [np.full((1, 1), complex(e)) if np.ndim(e) == 0 else np.asarray(e, dtype=complex)
             for _, e in layers]
    planar = Ny == 0 and all(g.shape[0] == 1 for g in grids)
    nx = max(g.shape[1] for g in grids)
    ny = max(g.shape[0] for g in grids)
    # uniform layers are broadcast to the common raster
    ucell = np.stack([np.sqrt(np.broadcast_to(g, (ny, nx)) if g.size == 1 else g) for g in grids])
    if ucell.shape[1:] != (ny, nx):
        raise ValueError("all patterned layers need the same raster shape")
    # meent's raster rows run from high y to low y
    ucell = ucell[:, ::-1, :].copy()
    pol = {"s": 0, "p": 1}[polarization]
    theta = math.radians(angle_deg)
    R = np.zeros((len(f), 2 * Ny + 1, 2 * Nx + 1))
    T = np.zeros_like(R)
    for i, fi in enumerate(f):
        mee = meent.call_mee(backend=0, pol=pol, n_top=math.sqrt(eps_inc), n_bot=math.sqrt(eps_sub),
                             theta=theta, phi=None if planar else 0.0, fto=[Nx, Ny],
                             period=list(map(float, period)), wavelength=1.0 / fi,
                             thickness=[float(t) for t, _ in layers], ucell=ucell,
                             fourier_type=1)
        res = mee.conv_solve().res
        R[i] = np.asarray(res.de_ri).real.reshape(2 * Ny + 1, 2 * Nx + 1)
        T[i] = np.asarray(res.de_ti).real.reshape(2 * Ny + 1, 2 * Nx + 1)
    return dict(R=R, T=T, m=np.arange(-Nx, Nx + 1), n=np.arange(-Ny, Ny + 1),
                R_total=R.sum(axis=(1, 2)), T_total=T.sum(axis=(1, 2)))


def order(result, key: str, m: int, n: int = 0) -> np.ndarray:
    """One order's R or T over frequency."""
    i = int(np.flatnonzero(result["n"] == n)[0])
    j = int(np.flatnonzero(result["m"] == m)[0])
    return result[key][:, i, j]
