"""Voxstep4.Update_E: the complex electric update with a per-channel keep
factor, and its agreement with the real module."""
import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4
from conftest import assert_unchanged, rng, snapshot
from fields_ref import field_shapes, psi_shapes
from test_update_e import make_problem, np_of, ref, to_args

SIZES = (2, 2, 5, 6, 4, 3)


@pytest.mark.parametrize("nl", [(0, 0, 0), (2, 1, 1), (3, 4, 3)], ids=["none", "thin", "thick"])
def test_matches_reference(device, nl):
    p = make_problem(SIZES, nl, seed=30 + sum(nl), cplx=True, keep_per_channel=True)
    args = to_args(p, device)
    for _ in range(2):
        Voxstep4.Update_E(*args, torch.zeros(1))
    E, psi = ref(p, steps=2)
    for got, want in zip(args[0:3] + args[15:18], E + psi):
        np.testing.assert_allclose(np_of(got), want, rtol=3e-5, atol=3e-5)


def test_real_and_imaginary_parts_never_mix(device):
    # A purely imaginary state evolves exactly like the purely real one with
    # the parts swapped.
    p = make_problem(SIZES, (2, 2, 1), seed=33, cplx=True, keep_per_channel=True)
    for key in ("E", "H", "psi"):
        p[key] = [a.real.astype(np.complex64) for a in p[key]]
    q = dict(p)
    for key in ("E", "H", "psi"):
        q[key] = [(1j * a).astype(np.complex64) for a in p[key]]
    a1, a2 = to_args(p, device), to_args(q, device)
    Voxstep4.Update_E(*a1, torch.zeros(1))
    Voxstep4.Update_E(*a2, torch.zeros(1))
    for x, y in zip(a1[0:3] + a1[15:18], a2[0:3] + a2[15:18]):
        x, y = np_of(x), np_of(y)
        assert not x.imag.any()
        assert np.array_equal(x.real, y.imag) and not y.real.any()


def test_keep_factor_per_channel(device):
    # Identical channels 0 and 1, keep differing: after one update they differ
    # by exactly the difference of the factors times the old value.
    sizes = (1, 1, 4, 4, 4, 2)
    p = make_problem(sizes, (0, 0, 0), seed=35, cplx=True, keep_per_channel=True)
    for key in ("E", "H"):
        for a in p[key]:
            a[..., 1] = a[..., 0]
    for kp in p["keep"]:
        kp[..., 0] = 1.0
        kp[..., 1] = 0.5
    args = to_args(p, device)
    Voxstep4.Update_E(*args, torch.zeros(1))
    Nx, Ny, Nz = sizes[2:5]
    for d, (got, e0) in enumerate(zip(args[:3], p["E"])):
        g = np_of(got)[:, :, 1:Nx, 1:Ny, 1:Nz]
        old = e0[:, :, 1:Nx, 1:Ny, 1:Nz, 0]
        np.testing.assert_allclose(g[..., 0] - g[..., 1], 0.5 * old, rtol=1e-5, atol=1e-6)


def _real_and_complex_runs(device, steps, nl):
    # The same real state through both modules, NC = 1, with layers.
    sizes = (1, 2, 6, 5, 7, 1)
    r = rng(37)
    eS, hS = field_shapes(*sizes)
    NS, NM, Nx, Ny, Nz, NC = sizes
    E = [r.standard_normal(s).astype(np.float32) for s in eS]
    H = [r.standard_normal(s).astype(np.float32) for s in hS]
    keep = [r.uniform(0.5, 1.5, (NM, Nx, Ny, Nz)).astype(np.float32) for _ in range(3)]
    loss = [r.uniform(0, 0.2, (NM, Nx, Ny, Nz)).astype(np.float32) for _ in range(3)]
    Ce = [r.uniform(0.2, 0.6, n).astype(np.float32) for n in (Nx, Ny, Nz)]
    Ch = [r.uniform(0.2, 0.6, n).astype(np.float32) for n in (Nx, Ny, Nz)]
    b = [r.uniform(0.5, 1, 2 * n).astype(np.float32) for n in nl]
    g = [r.uniform(-0.5, 0, 2 * n).astype(np.float32) for n in nl]
    pS = psi_shapes(*sizes, nl)
    nlt = torch.tensor(nl, dtype=torch.int32, device=device)
    results = []
    for cplx in (False, True):
        conv = (lambda a: torch.as_tensor(a).to(device).to(torch.complex64)) if cplx else \
            (lambda a: torch.as_tensor(a).clone().to(device))
        f = [conv(a) for a in E + H]
        psi_h = [conv(np.zeros(s, np.float32)) for s in pS]
        psi_e = [conv(np.zeros(s, np.float32)) for s in pS]
        kp = [torch.as_tensor(k[..., None] if cplx else k).to(device) for k in keep]
        ls = [torch.as_tensor(x).to(device) for x in loss]
        t = lambda xs: [torch.as_tensor(x).to(device) for x in xs]  # noqa: E731
        mod = Voxstep4 if cplx else Voxstep
        for _ in range(steps):
            mod.Update_H(*f[3:6], *f[0:3], *t(Ch), *psi_h, *t(b), *t(g), nlt, torch.zeros(1))
            mod.Update_E(*f[0:3], *f[3:6], *kp, *ls, *t(Ce), *psi_e, *t(b), *t(g), nlt,
                         torch.zeros(1))
        results.append([np_of(a) for a in f + psi_h + psi_e])
    return results


def test_agrees_with_real_module(device):
    real, cplx = _real_and_complex_runs(device, steps=4, nl=(2, 1, 2))
    for r_, c_ in zip(real, cplx):
        assert not c_.imag.any()
        np.testing.assert_allclose(c_.real, r_, rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("extra", [torch.zeros(0), torch.ones(3, 3, dtype=torch.bool)],
                         ids=["empty", "bool"])
def test_last_argument_never_accessed(device, extra):
    p = make_problem(SIZES, (1, 1, 1), seed=39, cplx=True, keep_per_channel=True)
    a1, a2 = to_args(p, device), to_args(p, device)
    Voxstep4.Update_E(*a1, torch.zeros(1))
    Voxstep4.Update_E(*a2, extra)
    for x, y in zip(a1, a2):
        assert torch.equal(x.cpu(), y.cpu())


def test_keep_extent_and_rank_errors(device):
    p = make_problem(SIZES, (1, 1, 1), seed=41, cplx=True, keep_per_channel=True)
    args = to_args(p, device)
    args[7] = args[7][..., :-1]  # one channel short
    before = snapshot(*args)
    with pytest.raises(ValueError, match="keep_y"):
        Voxstep4.Update_E(*args, torch.zeros(1))
    assert_unchanged(before, args)
    args = to_args(p, device)
    args[6] = args[6][..., 0]  # a real-module keep tensor
    with pytest.raises(RuntimeError, match="expected 5 dims but tensor has 4"):
        Voxstep4.Update_E(*args, torch.zeros(1))
    args = to_args(p, device)
    args[0] = args[0].real.contiguous()  # float field
    before = snapshot(*args)
    with pytest.raises(RuntimeError):
        Voxstep4.Update_E(*args, torch.zeros(1))
    assert_unchanged(before, args)
