"""Resonance finder (voxsim.find_modes) on synthetic sums of damped
exponentials whose frequencies, Q and amplitudes are known exactly; the
measured errors are printed (pytest -s)."""
import json
import math

import numpy as np
import pytest
import torch

from voxsim import InputError, Modes, find_modes
from voxsim.harminv import _bands

DT = 0.05          # Nyquist frequency 10


def ringing(n, modes, *, real=False, noise=0.0, t0=0.0, seed=0):
    """Σ a·exp(−iωt), ω = 2πf − iπ|f|/Q (growth where Q < 0), at t0 + k·DT
    (the real part for a real signal), plus white noise of rms ``noise``
    per component."""
    t = t0 + DT * np.arange(n)
    s = sum(a * np.exp(-1j * (2 * math.pi * f - 1j * math.pi * abs(f) / q) * t)
            for f, q, a in modes)
    rng = np.random.default_rng(seed)
    if real:
        return s.real + noise * rng.standard_normal(n)
    return s + noise * (rng.standard_normal(n) + 1j * rng.standard_normal(n))


def errors(found, modes):
    """Largest relative errors of frequency, Q, amplitude and of ω over the
    reported error estimate, the found modes paired with the true ones in
    frequency order (the counts must agree)."""
    assert len(found) == len(modes), (found.frequency, [m[0] for m in modes])
    f, q, a = (np.array(v) for v in zip(*sorted(modes, key=lambda m: m[0])))
    w = 2 * np.pi * f - 1j * np.pi * np.abs(f) / q
    w_found = 2 * np.pi * found.frequency - 1j * found.decay
    rel_w = np.abs(w_found - w) / np.abs(w)
    return (worst(found.frequency, f), worst(found.Q, q), worst(found.amplitude, a),
            np.max(rel_w / found.error))


def worst(got, true):
    return np.max(np.abs(got - true) / np.abs(true))


def comb(count, lo, hi, seed):
    """``count`` modes at random frequencies in [lo, hi], Q 200–2000."""
    rng = np.random.default_rng(seed)
    return [(f, rng.uniform(200, 2000), rng.standard_normal() + 1j * rng.standard_normal())
            for f in np.sort(rng.uniform(lo, hi, count))]


OUTSIDE = (3.0, 100, 5.0)             # in the record, outside the window
PAIR = [(1.0, 2000, 1.0), (1.024, 3000, 0.7j)]    # 0.3 / (250·DT) apart
LONG = comb(25, 0.5, 2.5, seed=1)
EDGES = [(edge, 500, 1.0) for (_, edge), _, _ in _bands(20000, DT, 0.5, 2.5, 200)[:-1:2]]
# name: (samples, modes in the window, window, real, noise, t0, max_samples)
CASES = {
    "complex, both signs, t0": (250, [(0.8, 300, 1.0), (1.2, 400, 2j), (-0.7, 250, 0.5 - 0.5j)],
                                (-1.0, 1.5), False, 0.0, 7.3, 600),
    "real, t0": (250, [(0.8, 300, 1.0), (1.2, 400, 2j)], (0.5, 1.5), True, 0.0, 7.3, 600),
    "pair 0.3/T apart": (250, PAIR, (0.5, 1.5), False, 0.0, 0, 600),
    "pair, noise 1e-8": (250, PAIR, (0.5, 1.5), False, 1e-8, 0, 600),
    "real pair, noise 1e-8": (250, PAIR, (0.5, 1.5), True, 1e-8, 0, 600),
    "long complex, many bands": (20000, LONG, (0.5, 2.5), False, 0.0, 0, 200),
    "long real, many bands": (20000, LONG, (0.5, 2.5), True, 0.0, 2.0, 200),
    "long real, many bands, noise 1e-7": (50000, LONG, (0.5, 2.5), True, 1e-7, 0, 200),
    "modes on core edges": (20000, EDGES, (0.5, 2.5), False, 0.0, 0, 200),
    "long, default band size": (30000, LONG[:8], (0.5, 1.14), False, 1e-7, 0, 600),
}


@pytest.mark.parametrize("name", CASES)
def test_synthetic_modes_recovered(name):
    n, modes, (lo, hi), real, noise, t0, max_samples = CASES[name]
    s = ringing(n, modes + [OUTSIDE], real=real, noise=noise, t0=t0)
    found = find_modes(s, DT, lo, hi, t0=t0, max_samples=max_samples)
    df, dq, da, ratio = errors(found, modes)
    bands = len(_bands(n, DT, lo, hi, max_samples))
    print(f"\n{name} ({bands} band(s)): max |df/f| {df:.1e}, |dQ/Q| {dq:.1e}, |da/a| {da:.1e}, "
          f"|dω| / estimate {ratio:.1f}")
    assert (bands > 1) == (n > 1000)
    assert df < 1e-8 and dq < 1e-3 and da < (1e-4 if noise else 1e-6)
    assert np.all(found.snr > 1e5)
    assert ratio < 5                      # the error estimate is not optimistic
    json.dumps(found.records())


def test_noise_error_estimate_and_snr():
    """At noise 1e-3 the errors stay near the estimate, and the snr is
    √(mode energy over the record) / (rms of the noise drawn)."""
    modes = [(1.0, 200, 1.0), (1.1, 500, 0.5 + 0.3j), (1.5, 1000, 0.2j)]
    n, noise = 250, 1e-3
    for seed in range(3):
        s = ringing(n, modes, noise=noise, seed=seed)
        found = find_modes(s, DT, 0.5, 2.0)
        df, dq, da, ratio = errors(found, modes)
        energy = [np.sum(np.abs(ringing(n, [m])) ** 2) for m in modes]
        snr = np.sqrt(energy / np.mean(np.abs(s - ringing(n, modes)) ** 2))
        print(f"\nnoise 1e-3, seed {seed}: |df/f| {df:.1e}, |dQ/Q| {dq:.1e}, |da/a| {da:.1e}, "
              f"|dω| / estimate {ratio:.1f}, snr / expected {found.snr / snr}")
        assert df < 1e-4 and dq < 0.05 and da < 1e-2 and ratio < 5
        assert np.allclose(found.snr, snr, rtol=0.05)


def test_noise_alone_gives_no_modes():
    for seed, n in enumerate((250, 2000)):             # whole, and in 4-8 bands
        s = ringing(n, [], noise=1.0, seed=seed)
        assert len(find_modes(s, DT, -5, 5, max_samples=200)) == 0
        assert len(find_modes(s.real, DT, 0, 5, max_samples=200)) == 0


@pytest.mark.parametrize("growth, kept", [(5.0, False), (0.4, True)])
@pytest.mark.parametrize("f_grow", [1.3, 1.01])
def test_growing_mode(growth, kept, f_grow):
    """A mode growing by more than e over the record is rejected, a slower
    one reported with negative decay and Q; either way the decaying mode
    beside it keeps its accuracy."""
    n = 250
    decaying = [(1.0, 200, 1.0)]
    q_grow = -math.pi * f_grow * n * DT / growth
    growing = [(f_grow, q_grow, 1e-3)]
    found = find_modes(ringing(n, decaying + growing), DT, 0.5, 1.5)
    df, dq, da, _ = errors(found, decaying + growing if kept else decaying)
    print(f"\ngrowth e^{growth} at f {f_grow}: |df/f| {df:.1e}, |dQ/Q| {dq:.1e}, |da/a| {da:.1e}")
    assert df < 1e-8 and dq < 1e-3 and da < 1e-5
    if kept:
        assert found.decay[-1 if f_grow > 1 else 0] < 0


def test_a_steady_mode_has_infinite_q():
    """A mode that neither decays nor grows, under noise, is reported with
    γ = 0 and Q = ∞ (null in the records), not as a mode growing at the
    noise level with a huge negative Q."""
    for real in (False, True):
        found = find_modes(ringing(2000, [(1.0, math.inf, 1.0)], real=real, noise=1e-6, seed=3),
                           DT, 0.5, 1.5)
        assert len(found) == 1 and found.decay[0] >= 0
        if found.decay[0] == 0:
            assert math.isinf(found.Q[0]) and found.records()[0]["Q"] is None
        else:
            assert found.Q[0] > 1e6
        print(f"steady mode ({'real' if real else 'complex'}): decay {found.decay[0]:.1e}, "
              f"error {found.error[0]:.1e}")


def test_empty_window_and_silence():
    s = ringing(250, [(1.0, 200, 1.0), OUTSIDE])
    for found in (find_modes(s, DT, 1.5, 2.5), find_modes(np.zeros(250), DT, 0.5, 1.5),
                  find_modes(torch.from_numpy(s.real), DT, 5.0, 6.0)):
        assert isinstance(found, Modes) and len(found) == 0 and found.records() == []
        assert found.amplitude.dtype == np.complex128 and found.Q.dtype == np.float64


def test_tensor_input_matches_array():
    s = ringing(250, [(0.8, 300, 1.0), (1.2, 400, 2j)])
    a, b = find_modes(s, DT, 0.5, 1.5), find_modes(torch.from_numpy(s), DT, 0.5, 1.5)
    assert np.array_equal(a.frequency, b.frequency) and np.array_equal(a.amplitude, b.amplitude)


GOOD = dict(signal=np.ones(64), dt=DT, fmin=0.5, fmax=1.5)
BAD = [
    ("signal", dict(signal=np.ones((8, 8)))), ("signal", dict(signal=["a"] * 16)),
    ("signal", dict(signal=np.ones(7))), ("signal", dict(signal=np.r_[np.ones(15), np.nan])),
    ("signal", dict(signal=np.ones(16, bool))), ("signal", dict(signal=[[1, 2], [3]])),
    ("dt", dict(dt=0)), ("dt", dict(dt=-1.0)), ("dt", dict(dt=float("nan"))),
    ("dt", dict(dt="0.1")),
    ("fmax", dict(fmin=1.0, fmax=1.0)), ("fmax", dict(fmax=10.5)),
    ("fmin", dict(signal=np.ones(64, complex), fmin=-11.0)), ("fmin", dict(fmin=None)),
    ("fmax", dict(fmin=-2.0, fmax=-1.0)),           # a real signal's modes lie at f > 0
    ("t0", dict(t0=float("inf"))), ("min_snr", dict(min_snr=-1)),
    ("max_error", dict(max_error=0)), ("max_error", dict(max_error="x")),
    ("max_samples", dict(max_samples=100)), ("max_samples", dict(max_samples=600.0)),
    ("max_samples", dict(max_samples=True)),
]


@pytest.mark.parametrize("field, change", BAD)
def test_bad_input_names_argument(field, change):
    with pytest.raises(InputError) as info:
        find_modes(**{**GOOD, **change})
    assert info.value.field == field, str(info.value)
