"""Harmonic inversion: the resonances hidden in a ringing time signal.

``find_modes(signal, dt, fmin, fmax)`` fits a sum of damped exponentials to
a uniformly sampled signal and returns the modes whose frequency lies in
the window [fmin, fmax], as a ``Modes`` record of arrays sorted by
frequency.

Model and conventions (frequencies f in c/a, times in a/c, fields
∝ exp(−iωt) as everywhere in the package). Sample n is taken at
t_n = t0 + n·dt and
    complex signal:  s(t) = Σ_k a_k exp(−iω_k t),
    real signal:     s(t) = Σ_k Re[a_k exp(−iω_k t)],
with the complex angular frequency ω_k = 2π f_k − i γ_k, so that a mode is
a_k exp(−i 2π f_k t) exp(−γ_k t):
- ``frequency`` f = Re ω / 2π. A complex signal may hold modes of either
  sign; a real one holds each mode at ±f and only f > 0 is reported;
- ``decay`` γ = −Im ω, the decay rate of the amplitude (the energy decays
  as exp(−2γt)); negative for a growing mode;
- ``Q`` = Re ω / (2γ) = π f / γ (the oscillation periods in 1/(2π) of the
  energy's e-folding time), signed like γ; infinite when γ = 0;
- ``amplitude`` a_k, complex, referred to t = 0 (not to the first sample);
  for a real signal it is the phasor, |a| the peak of the cosine;
- ``error`` an estimate of the relative error of ω, |δω| / |ω|: the larger
  of the statistical standard deviation (from the fit's residual and its
  Jacobian) and the difference between two fits of different order;
- ``snr`` the mode's signal energy over the samples it was fitted on,
  relative to the residual noise, in amplitude (√energy / σ).

Method. The linear algebra stays small whatever the length of the record:
a record of N > ``max_samples`` samples is cut, in frequency, into bands
whose sample count after decimation is about ``max_samples``. Each band is
shifted to zero frequency, low-pass filtered by a linear-phase FIR filter
(Kaiser window, 150 dB stop-band; its taps span about 50 decimated samples,
so about 8 % of the record is spent on the filter) and decimated by
M ≈ N / max_samples. A FIR filter maps a sum of exponentials onto a sum of
the same exponentials (only the amplitudes change, by the filter's response
at each complex frequency, which is divided out), so decimation loses
nothing of the model; what lies in the stop band folds back attenuated
below 3e-8. Each band's samples are fitted by the matrix-pencil method:
SVD of the Hankel matrix (about 2/3·max_samples × 1/3·max_samples), the
model order from the singular values above the noise floor (5× their
median, whose pure-noise spread is 2–3×), the poles as the eigenvalues of
the shifted signal subspace, the amplitudes by linear least squares. The
fit is repeated with a different pencil size (1/2 instead of 1/3 of the
samples) for the error estimate.

Spurious modes are rejected: poles whose amplitude stands less than
``min_snr`` above the residual noise, whose relative error exceeds
``max_error``, whose line width exceeds the decimated band, or that grow by
more than e over the record. Modes in a band's margin are kept in that
band's fit (they are real signal) but reported only by the band whose core
holds them; the cores tile [fmin, fmax].

A record of at most about ``max_samples`` samples is fitted whole, without
filtering; all its modes, in the window or not, enter the fit.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import List, Tuple

import numpy as np

from .units import InputError, finite_number, require

STOPBAND_DB = 150.0        # filter attenuation; folded-back content is 3e-8 weaker
PASSBAND = 0.6             # pass-band edge, in units of the decimated Nyquist frequency
CORE = 0.5                 # half-width of a band's reported core, same units
NOISE_FLOOR = 5.0          # singular values above this × their median are signal
NUMERICAL_FLOOR = 1e-13    # ... and above this × the largest


@dataclass
class Modes:
    """Modes found in a window, sorted by frequency (see the module notes
    for the conventions). All arrays have one entry per mode."""

    frequency: np.ndarray
    decay: np.ndarray
    Q: np.ndarray
    amplitude: np.ndarray
    error: np.ndarray
    snr: np.ndarray = field(repr=False)

    def __len__(self) -> int:
        return int(self.frequency.size)

    def records(self) -> List[dict]:
        """One plain dict per mode (JSON-ready: the amplitude as
        [re, im], an infinite Q as None)."""
        return [{"frequency": float(f), "decay": float(g),
                 "Q": float(q) if math.isfinite(q) else None,
                 "amplitude": [float(a.real), float(a.imag)], "error": float(e),
                 "snr": float(s)}
                for f, g, q, a, e, s in zip(self.frequency, self.decay, self.Q,
                                            self.amplitude, self.error, self.snr)]


def find_modes(signal, dt: float, fmin: float, fmax: float, *, t0: float = 0.0,
               min_snr: float = 10.0, max_error: float = 1e-2,
               max_samples: int = 600) -> Modes:
    """The modes of ``signal`` (1-D, real or complex, sampled every ``dt``
    from ``t0``) with frequency in [fmin, fmax]; spurious ones rejected
    (``min_snr``, ``max_error``: see the module notes). ``max_samples``
    bounds the samples each band is fitted on (the SVD is about
    (2/3·max_samples)×(1/3·max_samples))."""
    x = np.asarray(signal)
    require(x.ndim == 1, "signal", f"must be one-dimensional, got shape {x.shape}")
    require(x.dtype.kind in "iufc", "signal", f"must be numeric, got {x.dtype}")
    real = x.dtype.kind != "c"
    x = x.astype(np.float64 if real else np.complex128)
    require(bool(np.all(np.isfinite(x))), "signal", "must be finite")
    dt = finite_number(dt, "dt")
    require(dt > 0, "dt", f"must be positive, got {dt}")
    fmin, fmax = finite_number(fmin, "fmin"), finite_number(fmax, "fmax")
    t0 = finite_number(t0, "t0")
    min_snr = finite_number(min_snr, "min_snr")
    require(float(max_error) > 0, "max_error", f"must be positive, got {max_error}")
    require(isinstance(max_samples, (int, np.integer)) and max_samples >= 16, "max_samples",
            f"must be an integer ≥ 16, got {max_samples!r}")
    nyquist = 0.5 / dt
    require(fmin < fmax, "fmax", f"must exceed fmin, got [{fmin}, {fmax}]")
    require(fmax <= nyquist, "fmax", f"must not exceed the Nyquist frequency 1/(2dt) = {nyquist}")
    require(fmin >= -nyquist, "fmin", f"must not be below −1/(2dt) = {-nyquist}")
    if real:
        require(fmax > 0, "fmax", "must be positive for a real signal (modes at f > 0)")
        fmin = max(fmin, 0.0)
    require(x.size >= 8, "signal", f"needs at least 8 samples, got {x.size}")

    found = []
    for band, (core, fc, m) in enumerate(_bands(x.size, dt, fmin, fmax, max_samples)):
        y, h = _decimate(x, dt, fc, m)
        found.extend(mode + (band,) for mode in
                     _fit_band(y, h, dt, fc, m, t0, core, min_snr, float(max_error)))
    found = _merge(found)
    found = [mode for mode in found if fmin <= mode[0].real / (2 * math.pi) <= fmax
             and not (real and mode[0].real <= 0)]
    w = np.array([mode[0] for mode in found], dtype=np.complex128)
    amp = np.array([mode[1] for mode in found], dtype=np.complex128)
    freq, decay = w.real / (2 * math.pi), -w.imag
    with np.errstate(divide="ignore"):
        q = np.where(decay != 0, math.pi * freq / np.where(decay != 0, decay, 1.0), np.inf)
    return Modes(frequency=freq, decay=decay, Q=q, amplitude=2 * amp if real else amp,
                 error=np.array([mode[2] for mode in found]),
                 snr=np.array([mode[3] for mode in found]))


# ---------------------------------------------------------------------------
# band planning, filtering and decimation

def _taps_per_step() -> float:
    """Filter length in decimated samples (Kaiser's estimate for the
    transition from PASSBAND to 1 of the decimated Nyquist frequency)."""
    return (STOPBAND_DB - 7.95) / (2.285 * math.pi * (1 - PASSBAND))


def _bands(n: int, dt: float, lo: float, hi: float, max_samples: int
           ) -> List[Tuple[Tuple[float, float], float, int]]:
    """(core, centre frequency, decimation) per band. The cores tile
    [lo, hi]; each is at most CORE/(M·dt) wide, the middle of its band."""
    m = math.ceil(n / (max_samples + _taps_per_step()))
    if m <= 1:
        return [((lo, hi), 0.5 * (lo + hi), 1)]
    count = math.ceil((hi - lo) * m * dt / CORE * (1 + 1e-12))
    edges = np.linspace(lo, hi, count + 1)
    return [((edges[i], edges[i + 1]), 0.5 * (edges[i] + edges[i + 1]), m) for i in range(count)]


def _lowpass(m: int) -> np.ndarray:
    """Symmetric Kaiser-windowed sinc, unit DC gain, passing |f| < PASSBAND·F
    and stopping |f| > F, F = 1/(2·m·dt) (frequencies in units of 1/dt)."""
    nyq = 0.5 / m
    taps = int(math.ceil(2 * m * _taps_per_step())) + 1
    cut = 0.5 * (1 + PASSBAND) * nyq
    j = np.arange(taps) - 0.5 * (taps - 1)
    h = 2 * cut * np.sinc(2 * cut * j) * np.kaiser(taps, 0.1102 * (STOPBAND_DB - 8.7))
    return h / h.sum()


def _fft_size(n: int) -> int:
    """The smallest 2^a·3^b·5^c ≥ n."""
    best = 1 << (n - 1).bit_length()
    p5 = 1
    while p5 < best:
        p35 = p5
        while p35 < best:
            p = p35
            while p < n:
                p *= 2
            best = min(best, p)
            p35 *= 3
        p5 *= 5
    return best


def _decimate(x: np.ndarray, dt: float, fc: float, m: int) -> Tuple[np.ndarray, np.ndarray]:
    """y[k] = Σ_j h_j x'[k·m + j], x'[n] = x[n]·exp(+2πi fc n dt) (the band
    centre moved to zero), and the filter h (``[1]`` when m = 1). Only
    outputs whose taps lie inside the record are kept."""
    n = x.size
    xs = x * np.exp(2j * math.pi * ((fc * dt * np.arange(n)) % 1.0))
    if m == 1:
        return xs, np.ones(1)
    h = _lowpass(m)
    size = _fft_size(n + h.size - 1)
    full = np.fft.ifft(np.fft.fft(xs, size) * np.fft.fft(h, size))
    return full[h.size - 1:n:m], h


def _merge(found: list) -> list:
    """Modes sorted by frequency, a mode seen by two neighbouring bands
    (near the edge of their cores) kept once, from the band it sits more
    centrally in. Two entries are one mode when their ω differ by less than
    five times their combined error estimate."""
    found = sorted(found, key=lambda mode: mode[0].real)
    out = []
    for mode in found:
        if out:
            prev = out[-1]
            same = abs(mode[0] - prev[0]) <= 5 * (mode[2] + prev[2]) * abs(mode[0])
            if same and mode[5] != prev[5]:
                if mode[4] < prev[4]:
                    out[-1] = mode
                continue
        out.append(mode)
    return out


# ---------------------------------------------------------------------------
# the fit of one band

def _pencil(y: np.ndarray, rows: int) -> np.ndarray:
    """Poles Z of y[k] ≈ Σ c Z^k by the matrix pencil with a Hankel matrix
    of ``rows`` × (len(y) − rows + 1); the model order from the singular
    values above the noise floor."""
    hankel = np.lib.stride_tricks.sliding_window_view(y, y.size - rows + 1)
    s, vh = np.linalg.svd(hankel, full_matrices=False)[1:]
    if s.size == 0 or s[0] == 0:
        return np.zeros(0, np.complex128)
    floor = max(NOISE_FLOOR * float(np.median(s)), NUMERICAL_FLOOR * float(s[0]))
    order = min(int(np.sum(s > floor)), vh.shape[0] - 2, y.size // 4)
    if order <= 0:
        return np.zeros(0, np.complex128)
    w = vh[:order].T                       # columns span the vectors (Z^j)_j
    return np.linalg.eigvals(np.linalg.lstsq(w[:-1], w[1:], rcond=None)[0])


def _amplitudes(y: np.ndarray, logz: np.ndarray):
    """Least-squares amplitudes c for the poles exp(logz), the residual
    σ (per sample, complex) and the standard deviation of each log-pole."""
    k = np.arange(y.size)[:, None]
    basis = np.exp(k * logz[None, :])
    c = np.linalg.lstsq(basis, y, rcond=None)[0]
    resid = y - basis @ c
    dof = max(y.size - 2 * logz.size, 1)
    sigma = float(np.sqrt(np.sum(np.abs(resid) ** 2) / dof))
    jac = np.concatenate([basis, basis * c[None, :] * k], axis=1)
    u, s, vh = np.linalg.svd(jac, full_matrices=False)
    keep = s > s[0] * 1e-14 if s.size else s
    cov = (np.abs(vh[keep].conj().T) ** 2 / s[keep] ** 2).sum(axis=1)
    std = np.sqrt(cov[logz.size:]) * sigma
    with np.errstate(divide="ignore", invalid="ignore"):
        std = np.where(np.isfinite(std), std, np.inf)
    return c, sigma, std


def _fit_band(y, h, dt, fc, m, t0, core, min_snr, max_error):
    """(ω, amplitude at t = 0, error, snr, offset) of the accepted modes of
    one band within half a core width of its core; offset is the distance
    from the core's centre in half core widths (≤ 1 inside the core)."""
    nd = y.size
    if nd < 8:
        return []
    step = m * dt
    z1 = _pencil(y, nd - nd // 3)
    z2 = _pencil(y, nd - nd // 2)
    z1 = z1[z1 != 0]
    logz = np.log(z1)
    # growing by more than e over the record, or wider than the band: not a mode
    plausible = (logz.real * nd < 1.0) & (logz.real > -math.pi)
    logz = logz[plausible]
    logz2 = np.log(z2[z2 != 0])
    # the same pole from the second pencil (for the error estimate)
    if logz2.size:
        partner = np.min(np.abs(logz[:, None] - logz2[None, :]), axis=1)
    else:
        partner = np.full(logz.size, np.inf)

    accepted = np.ones(logz.size, bool)
    while accepted.any():                 # refit without the rejected poles
        c, sigma, std = _amplitudes(y, logz[accepted])
        mag = np.exp(logz[accepted].real)
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            energy = np.abs(c) ** 2 * np.where(
                np.abs(mag - 1) < 1e-12, nd, (1 - mag ** (2 * nd)) / (1 - mag ** 2))
            snr = np.sqrt(energy) / sigma if sigma > 0 else np.full(c.size, np.inf)
        w = 2 * math.pi * fc + 1j * logz[accepted] / step
        err = np.maximum(std, partner[accepted]) / step / np.abs(w)
        good = (snr >= min_snr) & (err <= max_error)
        if good.all():
            break
        accepted[np.flatnonzero(accepted)[~good]] = False
    if not accepted.any():
        return []
    # back to the undecimated signal: filter response and the time origin
    response = h @ np.exp(np.arange(h.size)[:, None] * (logz[accepted] / m)[None, :])
    amp = c / response * np.exp(1j * w * t0)
    f = w.real / (2 * math.pi)
    lo, hi = core
    reach = 0.5 * (hi - lo)               # core plus half its width each side
    centre = 0.5 * (lo + hi)
    return [(complex(w[k]), complex(amp[k]), float(err[k]), float(snr[k]),
             abs(f[k] - centre) / reach)
            for k in range(w.size) if abs(f[k] - centre) <= 2 * reach]
