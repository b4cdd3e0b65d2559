"""Media and their kernel coefficients.

A medium is ``eps`` (the instantaneous permittivity ε∞), a conductivity
``sigma`` and at most one dispersive pole; with fields ∝ exp(−iωt) and f in
c/a:

    ε(f) = eps + iσ/(2πf) + χ(f)
    Lorentz  χ = Δε·f0² / (f0² − f² − i·f·γ)
    Drude    χ = −fp² / (f² + i·f·γ)
    Debye    χ = Δε / (1 − i·2πf·τ)

so loss is Im ε > 0. A second pole cannot be held by the dispersive
completion (one complex auxiliary per material and field sample) and is
refused.

Discretisation (written once here; the tables below are what the kernels
read). In cell units (see ``units``), Ampère's law with a polarisation
current J_p is ε∞·∂E/∂t + σE + J_p = curl H. Every pole is written as a
complex current J̃ driven by the field's rate of change,

    dJ̃/dt = a·J̃ + c·dE/dt,

with J_p = 2·Re J̃ for a complex-conjugate pole pair (Lorentz) and
J_p = Re J̃ for a real pole (Drude, Debye; then c is halved so that the same
2·Re form applies). Integrating exactly over one step with dE/dt held at
(E(n+1) − E(n))/dt, and taking ψ = dt·J̃:

    ψ(n+1) = α·ψ(n) + β·(E(n+1) − E(n)),   α = exp(a·dt),  β = c·(α − 1)/a.

The current enters with the trapezoidal rule, dt·J_p(n+½) ≈ Re(ψ(n) + ψ(n+1)),
and the conductivity likewise, so one step reads

    ε∞·ΔE + σ·dt·(E(n+1) + E(n))/2 + Re(ψ(n) + ψ(n+1)) = dt·curl H(n+½).

Since Re(α·ψ(n)) = Re ψ(n+1) − Re β·ΔE, this is exactly the kernels' form:
``Update_E`` forms E* = (keep − loss)·E(n) + dt·curl H, and
``Update_E_Dispersion`` sets E(n+1) = (E* − Re((1 + α)·ψ(n)))/(den1 + den2)
and advances ψ with α and β, when

    keep = den1 = ε∞ + Re β        (the permittivity table)
    loss = den2 = σ·dt/2           (the conductivity table)

The poles in this form, with ω0 = 2πf0, Γ = 2πγ, ωp = 2πfp (cell units):
- Lorentz: a = −Γ/2 − iν, ν = √(ω0² − Γ²/4), c = i·Δε·ω0²/(2ν). An
  overdamped pole (γ ≥ 2·f0) has two distinct real poles and is refused.
- Drude: J_p = ωp²/(Γ + d/dt)·E splits into a conductivity σ_D = ωp²/Γ
  (added to σ) and a real pole a = −Γ, c = −σ_D. γ must be positive: the
  lossless pole needs a second-order auxiliary.
- Debye: a = −1/τ, c = Δε/τ.
The discrete permittivity this scheme realises is ``discrete_epsilon``; it
tends to ε(f) as dt² (tested).
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Union

import numpy as np
import torch

from .units import InputError, Units, finite_number, require


@dataclass(frozen=True)
class Lorentz:
    """Lorentz pole Δε·f0²/(f0² − f² − i·f·γ); f0 and γ in c/a."""

    f0: float
    delta_eps: float
    gamma: float = 0.0

    def validate(self, field: str) -> None:
        f0 = finite_number(self.f0, f"{field}.f0")
        de = finite_number(self.delta_eps, f"{field}.delta_eps")
        g = finite_number(self.gamma, f"{field}.gamma")
        require(f0 > 0, f"{field}.f0", f"must be positive, got {f0}")
        require(de >= 0, f"{field}.delta_eps", f"must not be negative (a gain medium), got {de}")
        require(g >= 0, f"{field}.gamma", f"must not be negative, got {g}")
        require(g < 2 * f0, f"{field}.gamma",
                f"{g} >= 2*f0 = {2 * f0} makes an overdamped pole (two real poles), "
                "which one auxiliary cannot hold")

    def chi(self, f):
        f = np.asarray(f, dtype=np.float64)
        return self.delta_eps * self.f0**2 / (self.f0**2 - f**2 - 1j * f * self.gamma)

    def current(self, units: Units):
        """(a, c, extra conductivity) of dJ̃/dt = a·J̃ + c·dE/dt, cell units."""
        w0 = 2 * np.pi * self.f0 / units.resolution
        G = 2 * np.pi * self.gamma / units.resolution
        nu = np.sqrt(w0**2 - G**2 / 4)
        return complex(-G / 2, -nu), 1j * self.delta_eps * w0**2 / (2 * nu), 0.0, True


@dataclass(frozen=True)
class Drude:
    """Drude pole −fp²/(f² + i·f·γ); fp and γ in c/a."""

    fp: float
    gamma: float

    def validate(self, field: str) -> None:
        fp = finite_number(self.fp, f"{field}.fp")
        g = finite_number(self.gamma, f"{field}.gamma")
        require(fp > 0, f"{field}.fp", f"must be positive, got {fp}")
        require(g > 0, f"{field}.gamma",
                f"must be positive, got {g} (a lossless Drude pole needs a second-order auxiliary)")

    def chi(self, f):
        f = np.asarray(f, dtype=np.float64)
        return -self.fp**2 / (f**2 + 1j * f * self.gamma)

    def current(self, units: Units):
        wp = 2 * np.pi * self.fp / units.resolution
        G = 2 * np.pi * self.gamma / units.resolution
        sigma_d = wp**2 / G
        return complex(-G, 0.0), complex(-sigma_d), sigma_d, False


@dataclass(frozen=True)
class Debye:
    """Debye pole Δε/(1 − i·2πf·τ); τ in a/c."""

    delta_eps: float
    tau: float

    def validate(self, field: str) -> None:
        de = finite_number(self.delta_eps, f"{field}.delta_eps")
        tau = finite_number(self.tau, f"{field}.tau")
        require(de >= 0, f"{field}.delta_eps", f"must not be negative (a gain medium), got {de}")
        require(tau > 0, f"{field}.tau", f"must be positive, got {tau}")

    def chi(self, f):
        f = np.asarray(f, dtype=np.float64)
        return self.delta_eps / (1 - 2j * np.pi * f * self.tau)

    def current(self, units: Units):
        tau = self.tau * units.resolution
        return complex(-1 / tau, 0.0), complex(self.delta_eps / tau), 0.0, False


Pole = Union[Lorentz, Drude, Debye]
POLE_KINDS = {"lorentz": Lorentz, "drude": Drude, "debye": Debye}


@dataclass(frozen=True)
class Coefficients:
    """One medium's entries in the kernels' per-id tables for one dt."""

    permittivity: float   # keep = den1 = ε∞ + Re β
    conductivity: float   # loss = den2 = σ·dt/2 (Drude's σ_D included)
    alpha: complex
    beta: complex


@dataclass(frozen=True)
class Medium:
    """ε∞ = ``eps``, conductivity ``sigma`` (ε gains iσ/(2πf)) and at most
    one pole (``Lorentz``, ``Drude`` or ``Debye``)."""

    eps: float = 1.0
    sigma: float = 0.0
    pole: Optional[Pole] = None

    def __post_init__(self):
        # eps and sigma may be 0-dim tensors: their values are used, and
        # those that require grad are the design parameters of ``adjoint``
        grads = {}
        for name in ("eps", "sigma"):
            v = getattr(self, name)
            if isinstance(v, torch.Tensor):
                require(v.dim() == 0 and v.is_floating_point(), f"medium.{name}",
                        f"a tensor must be a real 0-dim floating tensor, got "
                        f"{v.dtype} of shape {tuple(v.shape)}")
                if v.requires_grad:
                    grads[name] = v
                object.__setattr__(self, name, float(v.detach()))
        object.__setattr__(self, "grads", grads)
        self.validate("medium")

    def validate(self, field: str) -> None:
        eps = finite_number(self.eps, f"{field}.eps")
        require(eps > 0, f"{field}.eps", f"must be positive, got {eps}")
        sigma = finite_number(self.sigma, f"{field}.sigma")
        require(sigma >= 0, f"{field}.sigma", f"must not be negative (a gain medium), got {sigma}")
        pole = self.pole
        if isinstance(pole, (list, tuple)):
            require(len(pole) <= 1, f"{field}.pole",
                    f"{len(pole)} poles given; a medium holds at most one dispersive pole "
                    "(the dispersive completion keeps one auxiliary per material)")
            pole = pole[0] if pole else None
            object.__setattr__(self, "pole", pole)
        if pole is not None:
            if not isinstance(pole, (Lorentz, Drude, Debye)):
                raise InputError(f"{field}.pole", f"must be Lorentz, Drude or Debye, got {pole!r}")
            pole.validate(f"{field}.pole")

    @classmethod
    def from_index(cls, n, k=0.0, f=None) -> "Medium":
        """The medium of complex index n + ik at frequency f (c/a):
        ε = n² − k² and σ = 4π·f·n·k, so that ε(f) = (n + ik)² exactly at f
        (the loss is a conductivity: away from f, Im ε scales as f/f').
        k = 0 needs no f. A k ≥ n makes ε∞ ≤ 0, which a non-dispersive
        medium cannot hold: describe a metal with a ``Drude`` pole."""
        n = finite_number(n, "medium.n")
        k = finite_number(k, "medium.k")
        require(n > 0, "medium.n", f"must be positive, got {n:g}")
        require(k >= 0, "medium.k", f"must not be negative (a gain medium), got {k:g}")
        require(k < n, "medium.k", f"{k:g} >= n = {n:g} makes eps = n^2 - k^2 <= 0; "
                "describe a metal with a Drude pole")
        if k == 0:
            return cls(n * n)
        require(f is not None, "medium.k", "needs the frequency at which n and k hold")
        f = finite_number(f, "medium.k")
        require(f > 0, "medium.k", f"needs a positive frequency, got {f:g}")
        return cls(n * n - k * k, 4 * np.pi * f * n * k)

    @property
    def lossless(self) -> bool:
        return self.sigma == 0 and self.pole is None

    def epsilon(self, f):
        """ε(f), complex, for f in c/a (exp(−iωt): loss is Im ε > 0)."""
        f = np.asarray(f, dtype=np.float64)
        eps = np.full(f.shape, self.eps, dtype=np.complex128)
        if self.sigma:
            eps = eps + 1j * self.sigma / (2 * np.pi * f)
        if self.pole is not None:
            eps = eps + self.pole.chi(f)
        return eps

    def index(self, f):
        """Refractive index √ε(f) with Im ≥ 0."""
        return np.sqrt(self.epsilon(f))

    def coefficients(self, units: Units) -> Coefficients:
        dt = units.dt
        sigma = self.sigma / units.resolution
        alpha = beta = 0j
        if self.pole is not None:
            a, c, extra, pair = self.pole.current(units)
            if not pair:
                c = c / 2
            alpha = np.exp(a * dt)
            beta = c * (alpha - 1) / a
            sigma += extra
        return Coefficients(self.eps + beta.real, sigma * dt / 2, complex(alpha), complex(beta))

    def discrete_epsilon(self, f, units: Units):
        """The permittivity the time stepping realises at f (exact for the
        discrete scheme: ε∞ + σ and pole terms in z = exp(−iω·dt))."""
        c = self.coefficients(units)
        z = np.exp(-1j * units.omega(f) * units.dt)
        eps = self.eps + c.conductivity * (z + 1) / (z - 1)
        if self.pole is not None:
            a, b = c.alpha, c.beta
            eps = eps + (1 + z) / 2 * (b / (z - a) + np.conj(b) / (z - np.conj(a)))
        return eps


VACUUM = Medium()
