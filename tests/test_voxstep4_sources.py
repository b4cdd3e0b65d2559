"""Voxstep4 sources: Inject_H / Inject_E driven by a sampled signal read at
tau = step - delay per plane point (linear interpolation, nothing outside
[0, Nt - 1)), and the complex Inject_J."""
import numpy as np
import pytest
import torch

import Voxstep4
from conftest import assert_unchanged, rng, snapshot


def cplx(r, shape):
    return (r.standard_normal(shape) + 1j * r.standard_normal(shape)).astype(np.complex64)


def ref_plane4(F0, F1, coef, S1, S0, P1, P0, D1, D0, mx, my, kp, step, electric):
    """Window, rows, pairing and signs as in the real module; the increment
    of a component is (g sigma) P[s, i, j, c] with sigma the signal at tau."""
    F0 = F0.astype(np.complex128).copy()
    F1 = F1.astype(np.complex128).copy()
    Px = F0.shape[2] if electric else P1.shape[1]
    Py = F1.shape[3] if electric else P0.shape[2]
    Nt = S1.shape[1]
    k = kp + 1 if electric else kp
    g = float(coef[k])

    def v(S, P, D, i, j):
        tau = np.float32(np.float32(step) - D[i, j])
        if not tau >= 0:
            return None
        q = int(np.floor(tau))
        if q + 1 >= Nt:
            return None
        f = float(tau) - q
        sigma = (1 - f) * S[:, q].astype(np.complex128) + f * S[:, q + 1]
        return (g * sigma)[:, None, None] * P[:, None, i, j, :]  # [NS, 1, NC]

    for i in range(mx, Px - mx):
        for j in range(my, Py - my):
            rows = (j > my, i > mx) if electric else (i > mx, j > my)
            signs = (1, -1) if electric else (-1, 1)
            for F, S, P, D, row, sign in ((F0, S0, P0, D0, rows[0], signs[0]),
                                          (F1, S1, P1, D1, rows[1], signs[1])):
                if not row:
                    continue
                inc = v(S, P, D, i, j)
                if inc is not None:
                    F[:, :, i, j, k, :] += sign * inc[:, 0][:, None, :]
    return F0, F1


def make_case(r, electric, NS=2, NM=2, NC=3, Px=6, Py=5, Nz=4, Nt=9, delays=None):
    if electric:
        F0 = cplx(r, (NS, NM, Px, Py + 1, Nz, NC))
        F1 = cplx(r, (NS, NM, Px + 1, Py, Nz, NC))
    else:
        F0 = cplx(r, (NS, NM, Px, Py, Nz, NC))
        F1 = cplx(r, (NS, NM, Px, Py, Nz, NC))
    coef = r.uniform(0.2, 1.0, Nz + 1).astype(np.float32)
    S1, S0 = cplx(r, (NS, Nt)), cplx(r, (NS, Nt + 2))
    P1, P0 = cplx(r, (NS, Px, Py, NC)), cplx(r, (NS, Px, Py, NC))
    if delays is None:
        D1 = r.uniform(-1, 10, (Px, Py)).astype(np.float32)
        D0 = r.uniform(-1, 10, (Px, Py)).astype(np.float32)
    else:
        D1, D0 = delays
    return [F0, F1, coef, S1, S0, P1, P0, D1, D0]


def run(electric, arrays, margin, kp, step, device):
    ts = [torch.tensor(a).to(device) for a in arrays]
    fn = Voxstep4.Inject_E if electric else Voxstep4.Inject_H
    fn(*ts, torch.tensor(margin), kp, step)
    return ts


@pytest.mark.parametrize("electric", [False, True], ids=["Inject_H", "Inject_E"])
@pytest.mark.parametrize("margin", [(0, 0), (1, 2)])
@pytest.mark.parametrize("step", [0, 4, 8, 12])
def test_plane_matches_reference(device, electric, margin, step):
    r = rng(step + 7 * margin[1] + electric)
    arrays = make_case(r, electric)
    arrays[7][0, 1] = np.nan  # a NaN delay leaves its point unchanged
    ts = run(electric, arrays, margin, 1, step, device)
    want0, want1 = ref_plane4(*arrays, *margin, 1, step, electric)
    np.testing.assert_allclose(ts[0].cpu().numpy(), want0, rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(ts[1].cpu().numpy(), want1, rtol=1e-5, atol=1e-5)


def single_point(electric, delay, step, Nt=6):
    """Zeroed fields, g = 1, unit profiles, one excitation and channel, the
    same delay everywhere; returns the fields and the signal."""
    r = rng(1)
    arrays = make_case(r, electric, NS=1, NM=1, NC=1, Px=3, Py=3, Nt=Nt,
                       delays=(np.full((3, 3), delay, np.float32),) * 2)
    arrays[0][:] = 0
    arrays[1][:] = 0
    arrays[2][:] = 1
    arrays[5][:] = 1
    arrays[6][:] = 1
    return arrays


@pytest.mark.parametrize("electric", [False, True], ids=["Inject_H", "Inject_E"])
def test_delay_2_25_at_step_5(device, electric):
    arrays = single_point(electric, 2.25, 5)
    ts = run(electric, arrays, (0, 0), 1, 5, device)
    k = 2 if electric else 1
    for F, S, sign in ((ts[0], arrays[4], 1 if electric else -1),
                       (ts[1], arrays[3], -1 if electric else 1)):
        sigma = 0.25 * S[0, 2] + 0.75 * S[0, 3]
        got = F.cpu().numpy()[0, 0, 1:3, 1:3, k, 0]
        np.testing.assert_allclose(got, np.full((2, 2), sign * sigma), rtol=1e-6)


@pytest.mark.parametrize("delay,step,Nt", [
    (0.0, 3, 6),    # f = 0: weight 1 on sample 3
    (6.0, 5, 6),    # delay beyond the step: tau < 0, nothing
    (0.5, 5, 5),    # tau = 4.5 in [Nt - 1, Nt): nothing
    (1.0, 5, 5),    # tau = Nt - 1 exactly: nothing
    (0.5, 4, 5),    # tau = 3.5: between the last two samples
])
def test_signal_window_edges(device, delay, step, Nt):
    arrays = single_point(False, delay, step, Nt=Nt)
    ts = run(False, arrays, (0, 0), 1, step, device)
    hy = ts[1].cpu().numpy()[0, 0, :, 1:, 1, 0]
    tau = step - delay
    if tau >= 0 and int(np.floor(tau)) + 1 < Nt:
        q = int(np.floor(tau))
        f = tau - q
        np.testing.assert_allclose(hy, (1 - f) * arrays[3][0, q] + f * arrays[3][0, q + 1],
                                   rtol=1e-6)
    else:
        assert np.count_nonzero(hy) == 0


def test_components_are_independent(device):
    """A NaN delay for one component blocks it alone."""
    arrays = single_point(True, 1.0, 3)
    arrays[8] = np.full((3, 3), np.nan, np.float32)  # delayHy feeds Ex
    ts = run(True, arrays, (0, 0), 1, 3, device)
    assert np.count_nonzero(ts[0].cpu().numpy()) == 0
    np.testing.assert_allclose(ts[1].cpu().numpy()[0, 0, 1:3, :, 2, 0],
                               np.full((2, 3), -arrays[3][0, 2]), rtol=1e-6)


def bad_plane_cases():
    def shrink(index, axis, by=1):
        def f(a):
            sl = [slice(None)] * a[index].ndim
            sl[axis] = slice(0, a[index].shape[axis] - by)
            a[index] = np.ascontiguousarray(a[index][tuple(sl)])
            return a, (1, 1), 1, 4
        return f

    return [
        ("second signal shorter than Nt", False, shrink(4, 1, by=3), "sigEy"),
        ("second signal fewer excitations", True, shrink(4, 0), "sigHy"),
        ("delay map narrower than window", False, shrink(7, 0, by=2), "delayEx"),
        ("delay map lower than window", True, shrink(8, 1, by=2), "delayHy"),
        ("profile fewer channels", True, shrink(5, 3), "profHx"),
        ("kp+1 beyond the planes", True, lambda a: (a, (1, 1), 3, 4), "kp"),
        ("negative margin", False, lambda a: (a, (0, -2), 1, 4), "margin"),
        ("step beyond 32 bits", False, lambda a: (a, (1, 1), 1, 2**40), "step"),
    ]


@pytest.mark.parametrize("case", bad_plane_cases(), ids=lambda c: c[0])
def test_bad_plane_inputs_raise_and_change_nothing(device, case):
    _, electric, mutate, text = case
    arrays, margin, kp, step = mutate(make_case(rng(2), electric))
    ts = [torch.tensor(a).to(device) for a in arrays]
    before = snapshot(*ts)
    fn = Voxstep4.Inject_E if electric else Voxstep4.Inject_H
    with pytest.raises(ValueError, match=text):
        fn(*ts, torch.tensor(margin), kp, step)
    assert_unchanged(before, ts)


# --- Inject_J -------------------------------------------------------------

def test_inject_j_complex_nc3(device):
    r = rng(3)
    NS, NM, NC = 2, 1, 3
    E = [cplx(r, (NS, NM, 6, 5, 7, NC)) for _ in range(3)]
    J = [cplx(r, (NS, NM, 3, 2, 4)), cplx(r, (NS, NM, 4, 2, 4)), cplx(r, (NS, NM, 3, 3, 4))]
    ts = [torch.tensor(a).to(device) for a in E + J]
    Voxstep4.Inject_J(*ts, torch.tensor([2, 1, 3]))
    for got, e, j in zip(ts[:3], E, J):
        want = e.copy()
        want[:, :, 2:5, 1:3, 3:7, :] -= j[:, :, :3, :2, :4, None]
        np.testing.assert_allclose(got.cpu().numpy(), want, rtol=1e-6, atol=1e-6)


def test_inject_j_box_outside_raises(device):
    r = rng(4)
    E = [cplx(r, (1, 1, 4, 4, 4, 2)) for _ in range(3)]
    J = [cplx(r, (1, 1, 2, 2, 2)) for _ in range(3)]
    ts = [torch.tensor(a).to(device) for a in E + J]
    before = snapshot(*ts)
    with pytest.raises(ValueError, match="Ex"):
        Voxstep4.Inject_J(*ts, torch.tensor([3, 0, 0]))
    with pytest.raises(ValueError, match="pos"):
        Voxstep4.Inject_J(*ts, torch.tensor([0, 0]))
    assert_unchanged(before, ts)
