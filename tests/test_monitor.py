"""Monitor_Update_E: M += w[c] * E over a box of (r[1] - r[0] + 2) node
positions per axis, each component one position shorter along its own axis,
with the field-channel rule (fewer field channels than monitor channels:
every monitor channel reads field channel 0)."""
import numpy as np
import pytest
import torch

import Voxstep
from conftest import assert_unchanged, rng, snapshot


def cplx(r, shape):
    return (r.standard_normal(shape) + 1j * r.standard_normal(shape)).astype(np.complex64)


def ref_monitor(M, E, w, rx, ry, rz):
    M = [m.astype(np.complex128).copy() for m in M]
    NCm = M[0].shape[5]
    B = [rx[1] - rx[0] + 2, ry[1] - ry[0] + 2, rz[1] - rz[0] + 2]
    o = [rx[0], ry[0], rz[0]]
    chans = [0] * NCm if E[0].shape[5] < NCm else list(range(NCm))
    for axis in range(3):
        ext = list(B)
        ext[axis] -= 1  # one position fewer along the component's own axis
        if min(ext) <= 0:
            continue
        e = E[axis][:, :, o[0]:o[0] + ext[0], o[1]:o[1] + ext[1], o[2]:o[2] + ext[2]]
        for c, cf in enumerate(chans):
            M[axis][:, :, :ext[0], :ext[1], :ext[2], c] += w[c] * e[..., cf].astype(np.float64)
    return M


def make_case(r, NS=2, NM=1, NCf=2, NCm=2, N=(7, 6, 5), B=(3, 4, 2), pad=1):
    E = [r.standard_normal((NS, NM, N[0] + 1, N[1] + 1, N[2] + 1, NCf)).astype(np.float32)
         for _ in range(3)]
    M = []
    for axis in range(3):
        ext = [b + pad for b in B]
        ext[axis] = max(ext[axis] - 1, 1)
        M.append(cplx(r, (NS, NM, *ext, NCm)))
    w = cplx(r, (NCm + 1,))
    return M, E, w


def run(M, E, w, rx, ry, rz, device):
    ts = [torch.tensor(a).to(device) for a in M + E + [w]]
    Voxstep.Monitor_Update_E(*ts, torch.tensor(rx), torch.tensor(ry), torch.tensor(rz))
    return ts


CASES = {
    "box": ((1, 2), (0, 2), (2, 2)),
    "plane normal to x": ((3, 2), (0, 3), (1, 3)),
    "plane normal to y": ((0, 4), (2, 1), (0, 2)),
    "plane normal to z": ((0, 4), (1, 3), (4, 3)),
}


@pytest.mark.parametrize("ranges", CASES.values(), ids=CASES.keys())
@pytest.mark.parametrize("NCf,NCm", [(2, 2), (1, 3), (4, 2), (1, 2), (4, 4)])
def test_monitor_matches_reference(device, ranges, NCf, NCm):
    rx, ry, rz = ranges
    B = [r[1] - r[0] + 2 for r in ranges]
    r = rng(NCf * 10 + NCm)
    M, E, w = make_case(r, NCf=NCf, NCm=NCm, B=B)
    ts = run(M, E, w, rx, ry, rz, device)
    for got, want in zip(ts[:3], ref_monitor(M, E, w, rx, ry, rz)):
        np.testing.assert_allclose(got.cpu().numpy(), want, rtol=1e-5, atol=1e-5)


def test_plane_normal_to_x_leaves_mx_untouched(device):
    M, E, w = make_case(rng(1), B=(1, 3, 3))
    ts = run(M, E, w, (2, 1), (0, 1), (0, 1), device)
    np.testing.assert_array_equal(ts[0].cpu().numpy(), M[0])
    assert not np.array_equal(ts[1].cpu().numpy(), M[1])


def test_unit_weight_on_zeroed_accumulators_gives_the_samples(device):
    """One field channel, three monitor channels, w = 1: every channel holds
    field channel 0 as its real part and zero imaginary part."""
    M, E, _ = make_case(rng(2), NCf=1, NCm=3, B=(3, 3, 3), pad=0)
    M = [np.zeros_like(m) for m in M]
    w = np.ones(3, np.complex64)
    ts = run(M, E, w, (1, 2), (0, 1), (2, 3), device)
    mx = ts[0].cpu().numpy()
    sample = E[0][:, :, 1:3, 0:3, 2:5, 0]
    for c in range(3):
        np.testing.assert_array_equal(mx[..., c].real, sample)
        np.testing.assert_array_equal(mx[..., c].imag, 0)


def test_one_channel_view_of_a_two_channel_field(device):
    """Channel 0 of two-channel fields, a view whose samples lie two apart as
    those of a two-channel field do: both monitor channels read it."""
    M, E2, w = make_case(rng(4), NCf=2, NCm=2, B=(3, 4, 3))
    ts = [torch.tensor(a).to(device) for a in M]
    E = [torch.tensor(e).to(device)[..., :1] for e in E2]
    rx, ry, rz = (1, 2), (0, 2), (2, 2)
    Voxstep.Monitor_Update_E(*ts, *E, torch.tensor(w).to(device), torch.tensor(rx),
                             torch.tensor(ry), torch.tensor(rz))
    want = ref_monitor(M, [e[..., :1] for e in E2], w, rx, ry, rz)
    for got, m in zip(ts, want):
        np.testing.assert_allclose(got.cpu().numpy(), m, rtol=1e-5, atol=1e-5)


def test_two_calls_accumulate(device):
    M, E, w = make_case(rng(3), B=(2, 3, 4))
    ts = run(M, E, w, (0, 0), (1, 2), (0, 2), device)
    Voxstep.Monitor_Update_E(*ts, torch.tensor([0, 0]), torch.tensor([1, 2]), torch.tensor([0, 2]))
    once = ref_monitor(M, E, w, (0, 0), (1, 2), (0, 2))
    for got, m0, o in zip(ts[:3], M, once):
        np.testing.assert_allclose(got.cpu().numpy() - m0, 2 * (o - m0), rtol=1e-5, atol=1e-5)


def bad_cases():
    def ranges(rx, ry, rz):
        return lambda M, E, w: (M, E, w, rx, ry, rz)

    def shrink(which, index, axis, by=1):
        def f(M, E, w):
            lst = {"M": M, "E": E}[which]
            sl = [slice(None)] * lst[index].ndim
            sl[axis] = slice(0, lst[index].shape[axis] - by)
            lst[index] = np.ascontiguousarray(lst[index][tuple(sl)])
            return M, E, w, (1, 2), (0, 2), (1, 2)
        return f

    ok = ((1, 2), (0, 2), (1, 2))
    return [
        ("rx negative first", ranges((-1, 2), *ok[1:]), "rx"),
        ("rz last too low", ranges(ok[0], ok[1], (3, 0)), "rz"),
        ("ry one element", ranges(ok[0], (1,), ok[2]), "ry"),
        ("box beyond Ex in x", ranges((7, 8), *ok[1:]), "Ex"),
        ("box beyond the fields in z", ranges(ok[0], ok[1], (4, 5)), "Ex"),
        ("My too small", shrink("M", 1, 2, by=3), "My"),
        ("Mz too few channels", shrink("M", 2, 5), "Mz"),
        ("Ey too few excitations", shrink("E", 1, 0), "Ey"),
        ("w too short", lambda M, E, w: (M, E, w[:1], *ok), "w"),
    ]


@pytest.mark.parametrize("case", bad_cases(), ids=lambda c: c[0])
def test_bad_inputs_raise_and_change_nothing(device, case):
    _, mutate, text = case
    M, E, w = make_case(rng(4), B=(2, 3, 2), pad=2)
    M, E, w, rx, ry, rz = mutate(M, E, w)
    ts = [torch.tensor(a).to(device) for a in M + E + [w]]
    before = snapshot(*ts)
    with pytest.raises(ValueError, match=text):
        Voxstep.Monitor_Update_E(*ts, torch.tensor(rx), torch.tensor(ry), torch.tensor(rz))
    assert_unchanged(before, ts)
