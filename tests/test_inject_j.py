"""Inject_J of the real-field module: E -= J over a box at pos, real part into
channels c < NC/2 and imaginary part into the others."""
import numpy as np
import pytest
import torch

import Voxstep
from conftest import assert_unchanged, rng, snapshot


def cplx(r, shape):
    return (r.standard_normal(shape) + 1j * r.standard_normal(shape)).astype(np.complex64)


def ref_inject_j(E, J, pos, NC_split=True):
    """E: three float fields, J: three complex sources. Bx from Jx axis 2, By
    from Jy axis 3, Bz from Jz axis 4; every source is read at the same box
    position."""
    E = [e.astype(np.float64).copy() for e in E]
    Bx, By, Bz = J[0].shape[2], J[1].shape[3], J[2].shape[4]
    x0, y0, z0 = pos
    NC = E[0].shape[5]
    h = NC // 2
    for e, src in zip(E, J):
        box = src[:, :, :Bx, :By, :Bz]
        for c in range(NC):
            part = box.real if c < h else box.imag
            e[:, :, x0:x0 + Bx, y0:y0 + By, z0:z0 + Bz, c] -= part
    return E


def make_case(r, NS=2, NM=2, NC=4, N=(6, 5, 7), B=(3, 2, 4), wide_jy=0):
    E = [r.standard_normal((NS, NM, N[0] + 1, N[1] + 1, N[2] + 1, NC)).astype(np.float32)
         for _ in range(3)]
    Jx = cplx(r, (NS, NM, B[0], B[1] + 1, B[2] + 2))
    Jy = cplx(r, (NS, NM, B[0] + wide_jy, B[1], B[2] + 1))
    Jz = cplx(r, (NS, NM, B[0] + 1, B[1] + 2, B[2]))
    return E, [Jx, Jy, Jz]


def run(E, J, pos, device):
    ts = [torch.tensor(a).to(device) for a in E + J]
    Voxstep.Inject_J(*ts, torch.tensor(pos))
    return ts


@pytest.mark.parametrize("NC", [2, 4, 3])
@pytest.mark.parametrize("pos", [(0, 0, 0), (2, 3, 1)])
def test_inject_j_matches_reference(device, NC, pos):
    r = rng(NC)
    E, J = make_case(r, NC=NC)
    ts = run(E, J, pos, device)
    for got, want in zip(ts[:3], ref_inject_j(E, J, pos)):
        np.testing.assert_allclose(got.cpu().numpy(), want, rtol=1e-6, atol=1e-6)


def test_halves_and_zero_imaginary_part(device):
    """NC = 4: channels 0, 1 receive -Re J, channels 2, 3 receive -Im J; a
    purely real source leaves the second half unchanged."""
    r = rng(1)
    E, J = make_case(r, NC=4)
    J = [j.real.astype(np.complex64) for j in J]
    ts = run(E, J, (1, 1, 1), device)
    for got, e0 in zip(ts[:3], E):
        got = got.cpu().numpy()
        np.testing.assert_array_equal(got[..., 2:], e0[..., 2:])
        delta = got - e0
        np.testing.assert_allclose(delta[..., 0], delta[..., 1], atol=1e-6)
        assert np.count_nonzero(delta[..., 0]) > 0


def test_jy_wider_than_jx_uses_bx_of_jx(device):
    r = rng(2)
    E, J = make_case(r, NC=2, wide_jy=2)
    ts = run(E, J, (0, 1, 2), device)
    want = ref_inject_j(E, J, (0, 1, 2))
    np.testing.assert_allclose(ts[1].cpu().numpy(), want[1], rtol=1e-6, atol=1e-6)
    # x positions past Bx = 3 are untouched in Ey
    np.testing.assert_array_equal(ts[1].cpu().numpy()[:, :, 3:], E[1][:, :, 3:])


def test_two_calls_subtract_twice(device):
    r = rng(3)
    E, J = make_case(r, NC=2)
    ts = run(E, J, (1, 0, 2), device)
    Voxstep.Inject_J(*ts, torch.tensor([1, 0, 2], dtype=torch.int32))
    once = ref_inject_j(E, J, (1, 0, 2))
    for got, e0, w in zip(ts[:3], E, once):
        np.testing.assert_allclose(got.cpu().numpy() - e0, 2 * (w - e0), rtol=1e-5, atol=1e-5)


def bad_cases():
    def pos(p):
        return lambda E, J: (E, J, p)

    def shrink(which, index, axis, by=1):
        def f(E, J):
            lst = E if which == "E" else J
            sl = [slice(None)] * lst[index].ndim
            sl[axis] = slice(0, lst[index].shape[axis] - by)
            lst[index] = np.ascontiguousarray(lst[index][tuple(sl)])
            return E, J, (1, 1, 1)
        return f

    return [
        ("pos negative", pos([1, -1, 0]), "pos"),
        ("pos two elements", pos([1, 1]), "pos"),
        ("box beyond Ex in x", pos([5, 0, 0]), "Ex"),
        ("box beyond fields in z", pos([0, 0, 5]), "Ex"),
        ("Ez too small", shrink("E", 2, 3, by=4), "Ez"),
        ("Ey fewer channels", shrink("E", 1, 5), "Ey"),
        ("Jz shorter than By", shrink("J", 2, 3, by=3), "Jz"),
        ("Jx shorter than Bz", shrink("J", 0, 4, by=3), "Jx"),
        ("Jy fewer structures", shrink("J", 1, 1), "Jy"),
    ]


@pytest.mark.parametrize("case", bad_cases(), ids=lambda c: c[0])
def test_bad_inputs_raise_and_change_nothing(device, case):
    _, mutate, text = case
    E, J = make_case(rng(4), NC=2)
    E, J, p = mutate(E, J)
    ts = [torch.tensor(a).to(device) for a in E + J]
    before = snapshot(*ts)
    with pytest.raises(ValueError, match=text):
        Voxstep.Inject_J(*ts, torch.tensor(p))
    assert_unchanged(before, ts)


def test_box_beyond_16_bit_field_indices_is_refused():
    z = torch.zeros(1)
    f = lambda *s: z.view(*([1] * len(s))).expand(*s)  # noqa: E731
    J = torch.zeros(1, 1, 2, 2, 2, dtype=torch.complex64)
    E = [f(1, 1, 70000, 3, 3, 2) for _ in range(3)]
    with pytest.raises(ValueError, match="16-bit"):
        Voxstep.Inject_J(*E, J, J, J, torch.tensor([65535, 0, 0]))
