"""Inject_H / Inject_E of the real-field module: the total-field/scattered-field
plane source with one complex amplitude per step, against a NumPy reference
of the window, row, pairing, sign and channel-half rules."""
import numpy as np
import pytest
import torch

import Voxstep
from conftest import assert_unchanged, rng, snapshot


def cplx(r, shape):
    return (r.standard_normal(shape) + 1j * r.standard_normal(shape)).astype(np.complex64)


def ref_plane(F0, F1, coef, A1, A0, P1, P0, mx, my, kp, electric):
    """Position 0 is fed by (A0, P0), position 1 by (A1, P1).
    Inject_H, plane kp:     F0 -= g v on rows i > mx, F1 += g v on rows j > my.
    Inject_E, plane kp + 1: F0 += g v on rows j > my, F1 -= g v on rows i > mx.
    v = Re(A P) on channels c < NC/2, Im(A P) (complex channel c - NC/2) above."""
    F0 = F0.astype(np.float64).copy()
    F1 = F1.astype(np.float64).copy()
    NC = F0.shape[5]
    h = NC // 2
    Px = F0.shape[2] if electric else P1.shape[1]
    Py = F1.shape[3] if electric else P0.shape[2]
    k = kp + 1 if electric else kp
    g = float(coef[k])
    if Px - mx <= mx or Py - my <= my:
        return F0, F1
    wi, wj = np.arange(mx, Px - mx), np.arange(my, Py - my)
    row_i = (wi > mx)[:, None] * np.ones(len(wj))[None, :]
    row_j = np.ones(len(wi))[:, None] * (wj > my)[None, :]
    si, sj = slice(mx, Px - mx), slice(my, Py - my)
    for c in range(NC):
        cc = c if c < h else c - h
        part = np.real if c < h else np.imag

        def v(A, P):
            prod = A[:, cc, None, None].astype(np.complex128) * P[:, si, sj, cc]
            return g * part(prod)[:, None]  # [NS, 1, wi, wj]

        if electric:
            F0[:, :, si, sj, k, c] += v(A0, P0) * row_j
            F1[:, :, si, sj, k, c] -= v(A1, P1) * row_i
        else:
            F0[:, :, si, sj, k, c] -= v(A0, P0) * row_i
            F1[:, :, si, sj, k, c] += v(A1, P1) * row_j
    return F0, F1


def make_case(r, electric, NS=2, NM=2, NC=4, Px=7, Py=6, Nz=5, extra=0):
    """Fields (position 0, 1), coef, amplitudes and profiles. For Inject_E the
    window is the x extent of Ex and the y extent of Ey; for Inject_H it is
    size 1 of the first profile and size 2 of the second."""
    ch = NC - NC // 2
    if electric:
        F0 = r.standard_normal((NS, NM, Px, Py + 1 + extra, Nz, NC)).astype(np.float32)
        F1 = r.standard_normal((NS, NM, Px + 1 + extra, Py, Nz, NC)).astype(np.float32)
    else:
        F0 = r.standard_normal((NS, NM, Px + extra, Py + extra, Nz, NC)).astype(np.float32)
        F1 = r.standard_normal((NS, NM, Px + extra, Py + extra, Nz, NC)).astype(np.float32)
    coef = r.uniform(0.2, 1.0, Nz + 2).astype(np.float32)
    A1, A0 = cplx(r, (NS, ch)), cplx(r, (NS, ch))
    P1, P0 = cplx(r, (NS, Px, Py, ch)), cplx(r, (NS, Px, Py, ch))
    return [F0, F1, coef, A1, A0, P1, P0]


def run(electric, arrays, margin, kp, device):
    ts = [torch.tensor(a).to(device) for a in arrays]
    fn = Voxstep.Inject_E if electric else Voxstep.Inject_H
    fn(*ts, torch.tensor(margin).to(device), kp)
    return ts


@pytest.mark.parametrize("electric", [False, True], ids=["Inject_H", "Inject_E"])
@pytest.mark.parametrize("NC", [2, 4])
@pytest.mark.parametrize("margin", [(0, 0), (1, 2), (2, 1)])
def test_plane_matches_reference(device, electric, NC, margin):
    r = rng(NC + 10 * margin[0] + 100 * margin[1] + electric)
    arrays = make_case(r, electric, NC=NC)
    kp = 2
    ts = run(electric, arrays, np.array(margin, np.int32), kp, device)
    want0, want1 = ref_plane(*arrays, *margin, kp, electric)
    np.testing.assert_allclose(ts[0].cpu().numpy(), want0, rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(ts[1].cpu().numpy(), want1, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("electric", [False, True], ids=["Inject_H", "Inject_E"])
def test_nc2_channels_are_real_and_imaginary_parts(device, electric):
    """NC = 2 with zeroed fields: channel 0 gets +-g Re(A P), channel 1 +-g Im(A P);
    the first row along one axis is skipped per component."""
    NS, NM, Px, Py, Nz, NC = 1, 2, 4, 3, 4, 2
    # Inject_H takes its window from the profiles, so its fields may be larger
    F0 = np.zeros((NS, NM, Px + 1, Py + 1, Nz, NC), np.float32)
    F1 = np.zeros((NS, NM, Px + 1, Py + 1, Nz, NC), np.float32)
    coef = np.full(Nz, 0.5, np.float32)
    A = np.array([[2 + 1j]], np.complex64)
    P = np.full((NS, Px, Py, 1), 1 - 3j, np.complex64)  # A P = 5 - 5j
    if electric:  # Px from Ex axis 2, Py from Ey axis 3
        F0 = np.zeros((NS, NM, Px, Py + 1, Nz, NC), np.float32)
        F1 = np.zeros((NS, NM, Px + 1, Py, Nz, NC), np.float32)
    ts = run(electric, [F0, F1, coef, A, A, P, P], np.array([0, 0]), 1, device)
    k = 2 if electric else 1
    f0, f1 = ts[0].cpu().numpy(), ts[1].cpu().numpy()
    s0, s1 = (1, -1) if electric else (-1, 1)
    row0 = (slice(None), slice(1, Py)) if electric else (slice(1, Px), slice(None))
    row1 = (slice(1, Px), slice(None)) if electric else (slice(None), slice(1, Py))
    for f, sign, rows in ((f0, s0, row0), (f1, s1, row1)):
        expect = np.zeros((NM, Px, Py, NC), np.float32)
        expect[(slice(None),) + rows + (0,)] = sign * 0.5 * 5.0
        expect[(slice(None),) + rows + (1,)] = sign * 0.5 * -5.0
        np.testing.assert_array_equal(f[0, :, :Px, :Py, k, :], expect)
        # both structure slices alike, other planes untouched
        assert np.count_nonzero(np.delete(f, k, axis=4)) == 0


@pytest.mark.parametrize("electric", [False, True], ids=["Inject_H", "Inject_E"])
@pytest.mark.parametrize("margin", [(3, 0), (0, 3), (4, 4)])
def test_margins_leaving_no_window_write_nothing(device, electric, margin):
    r = rng(3)
    arrays = make_case(r, electric, Px=6, Py=6, NC=2)
    ts = run(electric, arrays, np.array(margin), 1, device)
    assert_unchanged([torch.tensor(a) for a in arrays[:2]], ts[:2])


def test_two_calls_accumulate_and_margin_dtypes(device):
    r = rng(4)
    arrays = make_case(r, False, NC=2)
    once = run(False, arrays, np.array([1.0, 1.0], np.float32), 2, device)
    twice = [t.clone() for t in once]
    ts = [twice[0], twice[1]] + [torch.tensor(a).to(device) for a in arrays[2:]]
    Voxstep.Inject_H(*ts, torch.tensor([[1, 1]], dtype=torch.int64), 2)
    start = torch.tensor(arrays[0]).to(device)
    torch.testing.assert_close(twice[0] - start, 2 * (once[0] - start), rtol=1e-5, atol=1e-5)


def test_strided_field_views_are_updated_in_place(device):
    r = rng(5)
    arrays = make_case(r, True, NC=2)
    want0, want1 = ref_plane(*arrays, 1, 1, 2, True)
    # store the fields channel-first and hand over permuted views
    base0 = torch.tensor(arrays[0]).permute(5, 0, 1, 2, 3, 4).contiguous().to(device)
    base1 = torch.tensor(arrays[1]).permute(5, 0, 1, 2, 3, 4).contiguous().to(device)
    v0, v1 = base0.permute(1, 2, 3, 4, 5, 0), base1.permute(1, 2, 3, 4, 5, 0)
    rest = [torch.tensor(a).to(device) for a in arrays[2:]]
    Voxstep.Inject_E(v0, v1, *rest, torch.tensor([1, 1]), 2)
    np.testing.assert_allclose(base0.permute(1, 2, 3, 4, 5, 0).cpu().numpy(), want0,
                               rtol=1e-5, atol=1e-5)
    np.testing.assert_allclose(v1.cpu().numpy(), want1, rtol=1e-5, atol=1e-5)


# --- validation: the error names the argument and nothing changes ---------

def bad_cases():
    """(name, electric, mutate(arrays) -> (arrays, margin, kp), error, text)."""
    def kp(value):
        return lambda a: (a, np.array([1, 1]), value)

    def margin(m):
        return lambda a: (a, np.asarray(m), 2)

    def shrink(index, axis, by=1):
        def f(a):
            a = list(a)
            sl = [slice(None)] * a[index].ndim
            sl[axis] = slice(0, a[index].shape[axis] - by)
            a[index] = np.ascontiguousarray(a[index][tuple(sl)])
            return a, np.array([1, 1]), 2
        return f

    return [
        ("kp negative", False, kp(-1), ValueError, "kp"),
        ("kp beyond Hx planes", False, kp(5), ValueError, "kp"),
        ("kp+1 beyond Ex planes", True, kp(4), ValueError, "kp"),
        ("coef too short", True, lambda a: (a[:2] + [a[2][:3]] + a[3:], np.array([1, 1]), 2),
         ValueError, "coef"),
        ("margin negative", False, margin([-1, 0]), ValueError, "margin"),
        ("margin one element", False, margin([1]), ValueError, "margin"),
        ("profEy narrower than window", False, shrink(6, 1, by=2), ValueError, "profEy"),
        ("profHx too few channels", True, shrink(5, 3), ValueError, "profHx"),
        ("ampEx too few channels", False, shrink(3, 1), ValueError, "ampEx"),
        ("ampHy too few excitations", True, shrink(4, 0), ValueError, "ampHy"),
        ("Hy narrower than window", False, shrink(1, 2, by=2), ValueError, "Hy"),
        ("Ey narrower than window", True, shrink(1, 2, by=3), ValueError, "Ey"),
        ("Ex lower in y than window", True, shrink(0, 3, by=3), ValueError, "Ex"),
        ("Hy fewer channels", False, shrink(1, 5), ValueError, "Hy"),
    ]


@pytest.mark.parametrize("case", bad_cases(), ids=lambda c: c[0])
def test_bad_inputs_raise_and_change_nothing(device, case):
    _, electric, mutate, err, text = case
    r = rng(6)
    arrays, margin, kp = mutate(make_case(r, electric, NC=4, Nz=5))
    ts = [torch.tensor(a).to(device) for a in arrays]
    before = snapshot(*ts)
    fn = Voxstep.Inject_E if electric else Voxstep.Inject_H
    with pytest.raises(err, match=text):
        fn(*ts, torch.tensor(margin), kp)
    assert_unchanged(before, ts)


def test_wrong_rank_and_dtype_raise_torch_errors(device):
    r = rng(7)
    arrays = make_case(r, False, NC=2)
    ts = [torch.tensor(a).to(device) for a in arrays]
    before = snapshot(*ts)
    with pytest.raises(RuntimeError, match="expected 6 dims"):
        Voxstep.Inject_H(ts[0], ts[1][0], *ts[2:], torch.tensor([0, 0]), 1)
    with pytest.raises(RuntimeError, match="Inject_H: Hx must be 6-D but has 5"):
        Voxstep.Inject_H(ts[0][0], *ts[1:], torch.tensor([0, 0]), 1)
    with pytest.raises(RuntimeError):
        Voxstep.Inject_H(ts[0], ts[1], ts[2].double(), *ts[3:], torch.tensor([0, 0]), 1)
    assert_unchanged(before, ts)


def test_window_beyond_16_bit_plane_indices_is_refused():
    """Plane indices are 16-bit: a window of 65536 points along x is refused
    (stride-0 tensors keep this cheap)."""
    z = torch.zeros(1)
    f = lambda *s: z.view(*([1] * len(s))).expand(*s)  # noqa: E731
    c = lambda *s: torch.zeros(1, dtype=torch.complex64).view(*([1] * len(s))).expand(*s)  # noqa: E731
    with pytest.raises(ValueError, match="16-bit"):
        Voxstep.Inject_H(f(1, 1, 65536, 2, 2, 2), f(1, 1, 65536, 2, 2, 2), torch.ones(2),
                         c(1, 1), c(1, 1), c(1, 65536, 2, 1), c(1, 65536, 2, 1),
                         torch.tensor([0, 0]), 0)
