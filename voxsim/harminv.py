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
- ``Q`` = |Re ω| / (2γ) = π|f| / γ, signed like γ; infinite when γ = 0,
  and a growth within the mode's error estimate is taken as γ = 0;
- ``amplitude`` a_k, complex, referred to t = 0 (not to the first sample);
  for a real signal it is the phasor, |a| the peak of the cosine;
- ``error`` an estimate of the relative error of ω, |δω| / |ω|: the larger
  of the statistical standard deviation (from the fit's Jacobian and its
  residual, or the filter's leakage where that is larger) and the
  difference between two fits of different order;
- ``snr`` the mode's signal energy over the samples it was fitted on,
  relative to the residual noise, in amplitude (√energy / σ).

Method. The linear algebra stays small whatever the length of the record:
a record of N > ``max_samples`` samples is cut, in frequency, into bands
whose sample count after decimation is about ``max_samples``. Each band is
shifted to zero frequency, low-pass filtered by a linear-phase FIR filter
(Kaiser window, 200 dB stop-band; its taps span about 74 decimated samples)
and decimated by M ≈ N / max_samples; one FFT of the record serves all
bands. A FIR filter maps a sum of exponentials onto a sum of the same
exponentials (only the amplitudes change, by the filter's response at each
complex frequency, which is divided out), so decimation loses nothing of
the model; what lies in the stop band folds back attenuated below 1e-10.
That folded-back content is itself a set of exponentials, so on this path
modes whose peak is below ``LEAK_MARGIN`` × 1e-10 of the record's peak are
not reported. Each band's samples are fitted by the matrix-pencil method:
SVD of the Hankel matrix (about 2/3·max_samples × 1/3·max_samples), the
model order from the singular values above the noise floor (5× their
median, whose pure-noise spread is 2–3×, and above the amplitude floor),
the poles as the eigenvalues of the shifted signal subspace, the
amplitudes by linear least squares. The fit is repeated with a different
pencil size (1/2 instead of 1/3 of the samples) for the error estimate.

Spurious modes are rejected: poles whose amplitude stands less than
``min_snr`` above the residual noise, whose relative error exceeds
``max_error``, whose line width exceeds the decimated band, or that grow by
more than e over the record. Rejected poles that carry signal (growing,
too wide, imprecise) stay in the least-squares fit so that the others'
amplitudes are not distorted; only noise-level poles are dropped from it.
A band reports the modes of its core and of a thin rim around it (well
inside the filter's pass band); the cores tile [fmin, fmax], and a mode
seen by two neighbouring bands is kept once, from the band it sits more
centrally in.

A record of at most about ``max_samples`` samples is fitted whole, without
filtering; all its modes, in the window or not, enter the fit.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import List, Tuple

import numpy as np

from .units import InputError, finite_number, require

STOPBAND_DB = 200.0        # filter attenuation; folded-back content is 1e-10 weaker
KAISER_MARGIN = 1.1        # taps over Kaiser's length estimate (which falls 3 dB short)
PASSBAND = 0.6             # pass-band edge, in units of the decimated Nyquist frequency
CORE = 0.5                 # largest half-width of a band's core, same units
RIM = 0.2                  # reported beyond the core, in core half-widths
LEAK_MARGIN = 10.0         # decimated modes below this × the folded-back level are dropped
NOISE_FLOOR = 5.0          # singular values above this × their median are signal
NUMERICAL_FLOOR = 1e-13    # ... and above this × the largest
ROUNDOFF = 1e-12           # amplitude floor without decimation, × the record's peak
MERGE_FLOOR = 1e-3         # two bands' entries closer than this × 2π/(N·dt) are one mode


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
    from ``t0``; a NumPy array, a sequence or a tensor) with frequency in
    [fmin, fmax]; spurious ones rejected (``min_snr``, ``max_error``: see
    the module notes). ``max_samples`` bounds the samples each band is
    fitted on (the SVD is about (2/3·max_samples)×(1/3·max_samples))."""
    x = _samples(signal)
    real = x.dtype.kind != "c"
    dt = finite_number(dt, "dt")
    require(dt > 0, "dt", f"must be positive, got {dt}")
    fmin, fmax = finite_number(fmin, "fmin"), finite_number(fmax, "fmax")
    t0 = finite_number(t0, "t0")
    min_snr = finite_number(min_snr, "min_snr")
    require(min_snr >= 0, "min_snr", f"must not be negative, got {min_snr}")
    ok = isinstance(max_error, (int, float, np.integer, np.floating)) \
        and not isinstance(max_error, bool) and float(max_error) > 0
    require(ok, "max_error", f"must be a positive number, got {max_error!r}")
    ok = isinstance(max_samples, (int, np.integer)) and not isinstance(max_samples, bool)
    require(ok and max_samples >= 128, "max_samples",
            f"must be an integer ≥ 128, got {max_samples!r}")
    nyquist = 0.5 / dt
    require(fmin < fmax, "fmax", f"must exceed fmin, got [{fmin}, {fmax}]")
    require(fmax <= nyquist, "fmax", f"must not exceed the Nyquist frequency 1/(2dt) = {nyquist}")
    require(fmin >= -nyquist, "fmin", f"must not be below −1/(2dt) = {-nyquist}")
    if real:
        require(fmax > 0, "fmax", "must be positive for a real signal (modes at f > 0)")
        fmin = max(fmin, 0.0)

    x = x.astype(np.complex128)
    peak = float(np.max(np.abs(x)))
    bands = _bands(x.size, dt, fmin, fmax, int(max_samples))
    m = bands[0][2]
    floor = peak * (ROUNDOFF if m == 1 else LEAK_MARGIN * 10 ** (-STOPBAND_DB / 20))
    decimator = _Decimator(x, dt, m)
    found = []
    if peak > 0:
        for band, (core, fc, _) in enumerate(bands):
            y, fc = decimator(fc)
            found.extend(mode + (band,) for mode in _fit_band(
                y, decimator.h, dt, fc, m, t0, core, floor, min_snr, float(max_error)))
    found = _merge(found, MERGE_FLOOR * 2 * math.pi / (x.size * dt))
    found = [mode for mode in found if fmin <= mode[0].real / (2 * math.pi) <= fmax
             and not (real and mode[0].real <= 0)]
    w = np.array([mode[0] for mode in found], dtype=np.complex128)
    amp = np.array([mode[1] for mode in found], dtype=np.complex128)
    freq, decay = w.real / (2 * math.pi), -w.imag
    error = np.array([mode[2] for mode in found], dtype=np.float64)
    # a mode that "grows" by less than its own error bar does not decay at
    # all (a bound mode, a symmetry-protected one): γ = 0 and Q = ∞, not a
    # huge negative Q
    decay = np.where((decay < 0) & (-decay <= error * np.abs(w)), 0.0, decay)
    with np.errstate(divide="ignore", invalid="ignore"):
        q = np.where(decay != 0, math.pi * np.abs(freq) / decay, np.inf)
    return Modes(frequency=freq, decay=decay, Q=q, amplitude=2 * amp if real else amp,
                 error=error,
                 snr=np.array([mode[3] for mode in found], dtype=np.float64))


def _samples(signal) -> np.ndarray:
    """The signal as a 1-D float64 or complex128 array (tensors are
    copied to the host)."""
    if hasattr(signal, "detach") and hasattr(signal, "cpu"):
        signal = signal.detach().cpu().numpy()
    try:
        x = np.asarray(signal)
    except (TypeError, ValueError) as exc:
        raise InputError("signal", f"must be an array of numbers ({exc})") from None
    require(x.ndim == 1, "signal", f"must be one-dimensional, got shape {x.shape}")
    require(x.dtype.kind in "iufc", "signal", f"must be numeric, got {x.dtype}")
    require(x.size >= 8, "signal", f"needs at least 8 samples, got {x.size}")
    x = x.astype(np.float64 if x.dtype.kind != "c" else np.complex128)
    require(bool(np.all(np.isfinite(x))), "signal", "must be finite")
    return x


# ---------------------------------------------------------------------------
# band planning, filtering and decimation

def _taps_per_step() -> float:
    """Filter length in decimated samples (Kaiser's estimate for the
    transition from PASSBAND to 1 of the decimated Nyquist frequency, with
    KAISER_MARGIN)."""
    return KAISER_MARGIN * (STOPBAND_DB - 7.95) / (2.285 * math.pi * (1 - PASSBAND))


def _bands(n: int, dt: float, lo: float, hi: float, max_samples: int
           ) -> List[Tuple[Tuple[float, float], float, int]]:
    """(core, centre frequency, decimation) per band. The cores tile
    [lo, hi]; each is at most 2·CORE of the decimated Nyquist frequency
    1/(2·M·dt) wide, the middle of its band."""
    m = math.ceil(n / (max_samples + _taps_per_step()))
    if m <= 1:
        return [((lo, hi), 0.5 * (lo + hi), 1)]
    count = math.ceil((hi - lo) * m * dt / CORE * (1 - 1e-12))
    edges = np.linspace(lo, hi, count + 1)
    return [((edges[i], edges[i + 1]), 0.5 * (edges[i] + edges[i + 1]), m) for i in range(count)]


def _lowpass(m: int) -> np.ndarray:
    """Symmetric Kaiser-windowed sinc, unit DC gain, passing |f| < PASSBAND·F
    and stopping |f| > F, F = 1/(2·m·dt) (frequencies in units of 1/dt)."""
    nyq = 0.5 / m
    taps = int(math.ceil(m * _taps_per_step())) + 1
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


class _Decimator:
    """Band signals of one record: ``self(fc)`` returns y[k] = Σ_j h_j x'[k·m + j],
    x'[n] = x[n]·exp(+2πi fc n dt) (the band centre moved to zero), for the
    outputs whose taps lie inside the record, and the centre frequency used
    (fc rounded to the FFT's bin grid, a shift far below the band width).

    With size = m·S ≥ N, the circular convolution equals the linear one on
    those outputs, and taking every m-th output folds the spectrum onto S
    bins: one FFT of the record, then per band a roll, a product, a fold
    and an FFT of S points."""

    def __init__(self, x: np.ndarray, dt: float, m: int):
        self.x, self.dt, self.m = x, dt, m
        if m == 1:
            self.h = np.ones(1)
            return
        self.h = _lowpass(m)
        taps = self.h.size
        self.count = (x.size - taps) // m + 1
        self.size = m * _fft_size(-(-x.size // m))
        self.spectrum = np.fft.fft(x, self.size)
        q = np.arange(self.size)
        # the filter, and the delay that puts output taps − 1 at k = 0
        self.response = np.fft.fft(self.h, self.size) * np.exp(
            2j * math.pi * ((q * (taps - 1)) % self.size) / self.size)

    def __call__(self, fc: float) -> Tuple[np.ndarray, float]:
        if self.m == 1:
            n = np.arange(self.x.size)
            return self.x * np.exp(2j * math.pi * ((fc * self.dt * n) % 1.0)), fc
        shift = int(round(fc * self.dt * self.size))
        fold = (np.roll(self.spectrum, shift) * self.response).reshape(self.m, -1).sum(axis=0)
        y = np.fft.ifft(fold)[:self.count] / self.m
        return y, shift / (self.size * self.dt)


def _merge(found: list, tol: float) -> list:
    """Modes sorted by frequency, a mode seen by two neighbouring bands
    (near the edge of their cores) kept once, from the band it sits more
    centrally in. Two entries are one mode when their ω differ by less than
    five times their combined error estimate, or less than ``tol``."""
    found = sorted(found, key=lambda mode: mode[0].real)
    out = []
    for mode in found:
        if out:
            prev = out[-1]
            limit = max(5 * (mode[2] + prev[2]) * abs(mode[0]), tol)
            if mode[5] != prev[5] and abs(mode[0] - prev[0]) <= limit:
                if mode[4] < prev[4]:
                    out[-1] = mode
                continue
        out.append(mode)
    return out


# ---------------------------------------------------------------------------
# the fit of one band

def _pencil(y: np.ndarray, rows: int, floor: float) -> np.ndarray:
    """Log-poles l (Z = exp(l)) of y[k] ≈ Σ c Z^k by the matrix pencil with
    a Hankel matrix of ``rows`` × (len(y) − rows + 1); the model order from
    the singular values above the noise floor and above what a mode of
    peak ``floor`` can reach."""
    cols = y.size - rows + 1
    hankel = np.lib.stride_tricks.sliding_window_view(y, cols)
    s, vh = np.linalg.svd(hankel, full_matrices=False)[1:]
    if s.size == 0 or s[0] == 0:
        return np.zeros(0, np.complex128)
    cut = max(NOISE_FLOOR * float(np.median(s)), NUMERICAL_FLOOR * float(s[0]),
              floor * math.sqrt(rows * cols))
    order = min(int(np.sum(s > cut)), vh.shape[0] - 2, y.size // 4)
    if order <= 0:
        return np.zeros(0, np.complex128)
    w = vh[:order].T                       # columns span the vectors (Z^j)_j
    z = np.linalg.eigvals(np.linalg.lstsq(w[:-1], w[1:], rcond=None)[0])
    return np.log(z[z != 0])


def _amplitudes(y: np.ndarray, logz: np.ndarray):
    """Least-squares fit of y by the poles exp(logz): each mode's peak
    magnitude over the samples, its amplitude at k = 0 (0 where that
    underflows), its energy over the samples, the residual σ (per sample,
    complex) and the standard deviation of each log-pole per unit σ. The
    columns are scaled to a peak of 1, so growing and fast-decaying poles
    stay representable."""
    k = np.arange(y.size)[:, None]
    top = np.maximum(logz.real, 0.0) * (y.size - 1)   # log of each column's peak
    basis = np.exp(k * logz[None, :] - top[None, :])
    c = np.linalg.lstsq(basis, y, rcond=None)[0]
    resid = y - basis @ c
    norm2 = np.sum(np.abs(basis) ** 2, axis=0)
    dof = max(y.size - 2 * logz.size, 1)
    sigma = float(np.sqrt(np.sum(np.abs(resid) ** 2) / dof))
    jac = np.concatenate([basis, basis * c[None, :] * k], axis=1)
    scale = np.linalg.norm(jac, axis=0)
    scale[scale == 0] = 1.0
    s, vh = np.linalg.svd(jac / scale, full_matrices=False)[1:]
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        var = (np.abs(vh.conj().T) ** 2 / s ** 2).sum(axis=1) / scale ** 2
        std = np.sqrt(var[logz.size:])
        std = np.where(np.isfinite(std), std, np.inf)
        at_zero = c * np.exp(-top)
    return np.abs(c), at_zero, np.abs(c) ** 2 * norm2, sigma, std


def _fit_band(y, h, dt, fc, m, t0, core, floor, min_snr, max_error):
    """(ω, amplitude at t = 0, error, snr, offset) of the accepted modes of
    one band in its core and rim; offset is the distance from the core's
    centre in core half-widths (≤ 1 inside the core)."""
    nd = y.size
    if nd < 8:
        return []
    step = m * dt
    logz = _pencil(y, nd - nd // 3, floor)
    logz2 = _pencil(y, nd - nd // 2, floor)
    # the same pole from the second pencil (for the error estimate)
    if logz2.size:
        partner = np.min(np.abs(logz[:, None] - logz2[None, :]), axis=1)
    else:
        partner = np.full(logz.size, np.inf)

    kept = np.ones(logz.size, bool)
    while kept.any():                     # refit without the noise-level poles
        peak, at_zero, energy, sigma, std = _amplitudes(y, logz[kept])
        with np.errstate(divide="ignore"):
            snr = np.sqrt(energy) / sigma if sigma > 0 else np.full(peak.size, np.inf)
        signal = (snr >= min_snr) & (peak >= floor)
        if signal.all():
            break
        kept[np.flatnonzero(kept)[~signal]] = False
    if not kept.any():
        return []
    logz, partner = logz[kept], partner[kept]
    w = 2 * math.pi * fc + 1j * logz / step
    # the folded-back leakage (or roundoff) perturbs the fit like noise would
    spread = std * math.hypot(sigma, floor / LEAK_MARGIN)
    with np.errstate(divide="ignore", invalid="ignore"):   # ω = 0: a constant, not a mode
        err = np.nan_to_num(np.maximum(spread, partner) / step / np.abs(w), nan=np.inf)
    f = w.real / (2 * math.pi)
    lo, hi = core
    half = 0.5 * (hi - lo)
    offset = np.abs(f - 0.5 * (lo + hi)) / half
    # growing by more than e over the record, or wider than the band: not a mode
    report = ((logz.real * nd < 1.0) & (logz.real > -math.pi) & (err <= max_error)
              & (offset <= 1 + RIM))
    if not report.any():
        return []
    # back to the undecimated signal: filter response and the time origin
    pick = np.flatnonzero(report)
    response = h @ np.exp(np.arange(h.size)[:, None] * (logz[pick] / m)[None, :])
    amp = at_zero[pick] / response * np.exp(1j * w[pick] * t0)
    return [(complex(w[i]), complex(a), float(err[i]), float(snr[i]), float(offset[i]))
            for i, a in zip(pick, amp)]
