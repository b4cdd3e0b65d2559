"""Diffraction-order power on synthetic plane-wave superpositions sampled on
the monitor's staggered lattice."""
import math

import numpy as np
import pytest
import torch

from voxsim.orders import (OFFSET_EX, OFFSET_EY, order_amplitudes, order_power, propagates,
                           propagating_orders)


def plane_waves(waves, P, omega, eps, kx=0.0, ky=0.0):
    """(Ex, Ey, Hx, Hy) [P, P, 1] of a sum of plane waves e^{i(k·r − ωt)} in a
    medium eps (c = μ = 1, cell units), each sample at its own staggered
    position, plus each wave's analytic ½·Re(E × H*)_z. A wave is
    (m, n, direction ±1, E amplitude along ŝ, along p̂)."""
    fields = {c: np.zeros((P, P), complex) for c in ("Ex", "Ey", "Hx", "Hy")}
    flux = []
    for m, n, sign, a_s, a_p in waves:
        kt = np.array([kx + 2 * math.pi * m / P, ky + 2 * math.pi * n / P])
        kz = sign * np.sqrt(complex(eps * omega**2 - kt @ kt))
        k = np.array([kt[0], kt[1], kz])
        t = np.linalg.norm(kt)
        s_hat = np.array([-kt[1], kt[0], 0]) / t if t else np.array([0, 1.0, 0])
        p_hat = np.cross(s_hat, k) / np.sqrt(complex(k @ k))     # unit, ⊥ k and ŝ
        E = a_s * s_hat + a_p * p_hat
        Hv = np.cross(k, E) / omega
        flux.append(0.5 * np.real(np.cross(E, Hv.conj()))[2])
        for name, vec, off in (("Ex", E[0], OFFSET_EX), ("Hy", Hv[1], OFFSET_EX),
                               ("Ey", E[1], OFFSET_EY), ("Hx", Hv[0], OFFSET_EY)):
            x = np.arange(P)[:, None] + off[0]
            y = np.arange(P)[None, :] + off[1]
            fields[name] += vec * np.exp(1j * (kt[0] * x + kt[1] * y))
    out = [torch.tensor(fields[c])[..., None] for c in ("Ex", "Ey", "Hx", "Hy")]
    return out, np.array(flux)


@pytest.mark.parametrize("kx", [0.0, 0.07])
def test_power_per_order_matches_each_plane_wave(kx):
    P, eps = 24, 2.25
    omega = 2 * math.pi / 12
    waves = [(0, 0, 1, 1.0, 0.3j), (1, 0, 1, 0.4, -0.2), (-1, 1, 1, 0.1j, 0.5),
             (2, -1, -1, 0.3, 0.2),            # travelling towards −z
             (5, 3, 1, 0.7, 0.7)]              # evanescent: carries nothing
    fields, flux = plane_waves(waves, P, omega, eps, kx)
    orders = [(m, n) for m, n, *_ in waves]
    got = order_power(fields, kx, 0.0, orders)[:, 0]
    mean_flux = 0.5 * (fields[0].conj() * fields[3] - fields[1].conj() * fields[2]).real.mean()
    print("largest error per order", np.abs(got - flux).max())
    np.testing.assert_allclose(got, flux, atol=1e-12)
    assert flux[3] < 0 and abs(flux[4]) < 1e-15
    assert got.sum() == pytest.approx(float(mean_flux), abs=1e-12)
    assert propagates(orders, [omega / (2 * math.pi)], (P, P), kx, eps)[:, 0].tolist() == \
        [True, True, True, True, False]


def test_amplitudes_take_out_the_staggered_offsets_and_the_bloch_factor():
    P, kx = 16, 0.1
    x = np.arange(P) + 0.5
    F = torch.tensor(np.exp(1j * (kx + 2 * math.pi * 3 / P) * x)[:, None, None]
                     * np.ones((1, P, 1)))
    A = order_amplitudes(F, kx, 0.0, (0.5, 0.0), [(3, 0), (-3, 0), (0, 0)])[:, 0]
    np.testing.assert_allclose(A.numpy(), [1, 0, 0], atol=1e-12)
    with pytest.raises(ValueError, match="aliases"):
        order_power([F] * 4, kx, 0.0, [(8, 0)])


def test_order_list_covers_every_medium_and_frequency():
    # period 1 a, f up to 0.8 c/a: in glass (eps 2.25) |m|, |n| <= 1 except the
    # diagonal orders; in air only the zero order
    got = propagating_orders([0.5, 0.8], (1.0, 1.0), 0.0, [1.0, 2.25])
    assert got == [(0, 0), (-1, 0), (0, -1), (0, 1), (1, 0)]
    assert propagating_orders([0.5, 0.8], (1.0, 1.0), 0.0, [1.0]) == [(0, 0)]
    # a 1-D grating along x (small period along y keeps n = 0)
    oblique = propagating_orders([0.9], (1.0, 0.01), 2 * math.pi * 0.3, [1.0])
    assert oblique == [(0, 0), (-1, 0)]
