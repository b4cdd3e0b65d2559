"""Boundaries: CPML on z, periodic / Bloch-periodic or conducting x and y.

CPML (complex-frequency-shifted, convolutional). With depth ρ measured from
the layer's inner face over a layer of d cells:
σ(ρ) = σmax·(ρ/d)^m, κ(ρ) = 1 + (κmax − 1)·(ρ/d)^m, α(ρ) = αmax·(1 − ρ/d),
all in cell units (σ per cell, α per cell time). Per layer index the kernels
take b = exp(−(σ/κ + α)·dt) and g = dt·σ/(σκ + κ²α)·(b − 1) (negative: the
update adds ψ unscaled), and the curl profile is C = dt/κ. Electric samples
of axis cell k sit at k, magnetic ones at k + ½; layer index L is cell L in
the low layer and cell L + N − 2d in the high one (the kernels' convention).
The defaults (d = 12, m = 3, σmax = 0.8·(m + 1), κmax = 1, αmax = 0)
reflect about 1e-9 in power at normal incidence; αmax > 0 (the frequency
shift) helps evanescent waves but keeps frequencies below αmax/2π per cell
time ringing in the layers, which delays the decay of broadband pulses; every run measures its own CPML reflection in the reference slice (the
scattered-field side of an empty structure sees nothing else) and reports it.

Periodic x / y: the ghost planes 0 and N of the tangential electric
components repeat planes N − 1 and 1 (period N − 1 cells) times the Bloch
factor. For an in-plane wavevector kx the field obeys E(x + L) = E(x)·e^{ikx·L},
so the low ghost takes P = e^{−ikx·L}: the table holds (cos kxL, −sin kxL)
with ``positive_phase`` true. Conducting walls (PEC) are the kernels' default
when the periodic update is not called: the face samples stay zero.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np
import torch

from .units import finite_number, require


@dataclass(frozen=True)
class CPML:
    """Absorbing layers on both z faces; ``thickness`` in cells."""

    thickness: int = 12
    order: float = 3.0
    sigma_max: Optional[float] = None   # default 0.8·(order + 1) per cell
    kappa_max: float = 1.0
    alpha_max: float = 0.0

    def __post_init__(self):
        require(isinstance(self.thickness, (int, np.integer)) and self.thickness >= 0,
                "cpml.thickness", f"must be a non-negative integer, got {self.thickness!r}")
        require(finite_number(self.order, "cpml.order") >= 1, "cpml.order", "must be >= 1")
        if self.sigma_max is not None:
            require(finite_number(self.sigma_max, "cpml.sigma_max") >= 0, "cpml.sigma_max",
                    "must not be negative")
        require(finite_number(self.kappa_max, "cpml.kappa_max") >= 1, "cpml.kappa_max",
                "must be >= 1")
        require(finite_number(self.alpha_max, "cpml.alpha_max") >= 0, "cpml.alpha_max",
                "must not be negative")

    def grading(self, rho):
        """σ, κ, α at relative depth rho ∈ [0, 1]."""
        m = self.order
        smax = 0.8 * (m + 1) if self.sigma_max is None else self.sigma_max
        return (smax * rho**m, 1 + (self.kappa_max - 1) * rho**m, self.alpha_max * (1 - rho))

    def profiles(self, N: int, dt: float, magnetic: bool):
        """(C, b, g) float64 arrays of one axis with N cells: C has N entries
        (dt/κ), b and g one per layer index (2·thickness)."""
        n = self.thickness
        shift = 0.5 if magnetic else 0.0
        pos = np.arange(N, dtype=np.float64) + shift
        rho = np.zeros(N)
        if n:
            rho = np.clip(np.maximum(n - pos, pos - (N - n)), 0, n) / n
        _, kappa, _ = self.grading(rho)
        C = dt / kappa
        L = np.arange(2 * n)
        cell = np.where(L < n, L, L + N - 2 * n) + shift
        r = np.clip(np.where(L < n, n - cell, cell - (N - n)), 0, n) / max(n, 1)
        sigma, kappa, alpha = self.grading(r)
        b = np.exp(-(sigma / kappa + alpha) * dt)
        denom = sigma * kappa + kappa**2 * alpha
        g = np.where(sigma > 0, dt * sigma / np.where(denom > 0, denom, 1) * (b - 1), 0.0)
        return C, b, g


@dataclass(frozen=True)
class Bloch:
    """Bloch-periodic faces of one axis with a fixed in-plane wavevector
    ``k`` (rad/a): the field obeys E(x + L) = E(x)·e^{ik·L}. (The string
    "bloch" instead takes each plane-wave source's own wavevector.)"""

    k: float

    def __post_init__(self):
        object.__setattr__(self, "k", finite_number(self.k, "k"))


FACE_KINDS = ("periodic", "bloch", "absorbing")


def face_kind(value, field: str):
    """One axis's faces as given by a user: "periodic", "bloch",
    "absorbing" or a ``Bloch`` (its wavevector fixed)."""
    if isinstance(value, Bloch):
        return value
    require(value in FACE_KINDS, field,
            f"must be one of {', '.join(map(repr, FACE_KINDS))} or a Bloch(k), got {value!r}")
    return value


def bloch_table(kx, period_cells: int, device) -> torch.Tensor:
    """Phase table [NS, 2] for ``Update_E_Periodic`` (one complex channel):
    low ghost factor e^{−i·kx·L} with ``positive_phase`` true."""
    phase = np.asarray(kx, dtype=np.float64) * period_cells
    table = np.stack([np.cos(phase), -np.sin(phase)], axis=1)
    return torch.tensor(table, dtype=torch.float32, device=device)
