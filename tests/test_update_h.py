"""Magnetic update of both modules against a NumPy reference written from
the update rules: curl step, then the CPML terms of x, y and z."""
import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4

from argtable import call_args, field_extents, table_shape
from conftest import assert_unchanged, rng, snapshot


def layer_index(x, N, n):
    if x < n:
        return x
    if x >= N - n:
        return x - N + 2 * n
    return -1


def ref_update_h(H, E, C, psi, b, g, n_layer):
    """float64/complex128 reference. H, psi are updated copies."""
    Hx, Hy, Hz = [h.copy() for h in H]
    px, py, pz = [p.copy() for p in psi]
    Ex, Ey, Ez = E
    NS, NM, Nx, NC = Ex.shape[0], Ex.shape[1], Ex.shape[2], Ex.shape[5]
    Ny, Nz = Ey.shape[3], Ez.shape[4]
    ex = Ex[:, :, :Nx, :Ny, :Nz, :NC]
    ey = Ey[:, :, :Nx, :Ny, :Nz, :NC]
    ez = Ez[:, :, :Nx, :Ny, :Nz, :NC]
    dyEx = Ex[:, :, :Nx, 1:Ny + 1, :Nz, :NC] - ex
    dzEx = Ex[:, :, :Nx, :Ny, 1:Nz + 1, :NC] - ex
    dxEy = Ey[:, :, 1:Nx + 1, :Ny, :Nz, :NC] - ey
    dzEy = Ey[:, :, :Nx, :Ny, 1:Nz + 1, :NC] - ey
    dxEz = Ez[:, :, 1:Nx + 1, :Ny, :Nz, :NC] - ez
    dyEz = Ez[:, :, :Nx, 1:Ny + 1, :Nz, :NC] - ez
    cx = C[0][:Nx].reshape(1, 1, Nx, 1, 1, 1)
    cy = C[1][:Ny].reshape(1, 1, 1, Ny, 1, 1)
    cz = C[2][:Nz].reshape(1, 1, 1, 1, Nz, 1)
    hx = Hx[:, :, :Nx, :Ny, :Nz, :NC]
    hy = Hy[:, :, :Nx, :Ny, :Nz, :NC]
    hz = Hz[:, :, :Nx, :Ny, :Nz, :NC]
    hx += cz * dzEy - cy * dyEz
    hy += cx * dxEz - cz * dzEx
    hz += cy * dyEx - cx * dxEy
    lims = [min(p.shape[2 + a], b[a].shape[0], g[a].shape[0]) for a, p in enumerate((px, py, pz))]
    for i in range(Nx):
        L = layer_index(i, Nx, n_layer[0])
        if 0 <= L < lims[0]:
            p0 = px[:, :, L, :Ny, :Nz, 0, :NC]
            p0[...] = b[0][L] * p0 + g[0][L] * dxEz[:, :, i]
            hy[:, :, i] += p0
            p1 = px[:, :, L, :Ny, :Nz, 1, :NC]
            p1[...] = b[0][L] * p1 - g[0][L] * dxEy[:, :, i]
            hz[:, :, i] += p1
    for j in range(Ny):
        L = layer_index(j, Ny, n_layer[1])
        if 0 <= L < lims[1]:
            p0 = py[:, :, :Nx, L, :Nz, 0, :NC]
            p0[...] = b[1][L] * p0 + g[1][L] * dyEx[:, :, :, j]
            hz[:, :, :, j] += p0
            p1 = py[:, :, :Nx, L, :Nz, 1, :NC]
            p1[...] = b[1][L] * p1 - g[1][L] * dyEz[:, :, :, j]
            hx[:, :, :, j] += p1
    for k in range(Nz):
        L = layer_index(k, Nz, n_layer[2])
        if 0 <= L < lims[2]:
            p0 = pz[:, :, :Nx, :Ny, L, 0, :NC]
            p0[...] = b[2][L] * p0 + g[2][L] * dzEy[:, :, :, :, k]
            hx[:, :, :, :, k] += p0
            p1 = pz[:, :, :Nx, :Ny, L, 1, :NC]
            p1[...] = b[2][L] * p1 - g[2][L] * dzEx[:, :, :, :, k]
            hy[:, :, :, :, k] += p1
    return (Hx, Hy, Hz), (px, py, pz)


def make_problem(NS=1, NM=1, N=(6, 5, 4), NC=2, n=(2, 2, 2), complex_=False, seed=0, extra=0,
                 psi_len=None):
    """Random fields and coefficients as NumPy arrays (float32 / complex64).
    extra: oversize the fields along every axis that does not fix an extent."""
    r = rng(seed)
    Nx, Ny, Nz = N

    def field(*shape):
        a = r.standard_normal(shape).astype(np.float32)
        if complex_:
            a = (a + 1j * r.standard_normal(shape).astype(np.float32)).astype(np.complex64)
        return a

    ext = field_extents(NS, NM, Nx, Ny, Nz, NC)
    shape = lambda a, star=(): table_shape(Voxstep, "Update_H", a, ext, star)  # noqa: E731
    # the table's least shapes; Ex fixes Nx, Ey fixes Ny and Ez fixes Nz, so
    # `extra` grows every other spatial extent
    grow = lambda s, keep=None: tuple(  # noqa: E731
        v + extra if 2 <= a <= 4 and a != keep else v for a, v in enumerate(s))
    E = tuple(field(*grow(shape(f"E{c}"), 2 + i)) for i, c in enumerate("xyz"))
    H = tuple(field(*grow(shape(f"H{c}"))) for c in "xyz")
    C = tuple(r.uniform(0.2, 0.6, size).astype(np.float32) for size in N)
    lens = psi_len or tuple(2 * x for x in n)
    psi = tuple(field(*shape(f"psi_{c}", (L,))) for c, L in zip("xyz", lens))
    b = tuple(r.uniform(0.5, 1.0, L).astype(np.float32) for L in lens)
    g = tuple(r.uniform(-0.3, -0.05, L).astype(np.float32) for L in lens)
    return H, E, C, psi, b, g, np.array(n, dtype=np.int32)


def run_module(module, problem, device, unused=None):
    H, E, C, psi, b, g, nl = problem
    t = lambda a: torch.tensor(a, device=device)  # noqa: E731  (a copy)
    Ht = [t(x) for x in H]
    psit = [t(x) for x in psi]
    module.Update_H(*call_args(module, "Update_H", {
        "H{}": Ht, "E{}": [t(x) for x in E], "C{}": [t(x) for x in C], "psi_{}": psit,
        "b{}": [t(x) for x in b], "g{}": [t(x) for x in g]}, n_layer=t(nl),
        unused=unused if unused is not None else torch.empty(0)))
    return [x.cpu().numpy() for x in Ht], [x.cpu().numpy() for x in psit]


def check(module, problem, device, tol=2e-5):
    H, E, C, psi, b, g, nl = problem
    wide = lambda xs: [x.astype(np.complex128 if np.iscomplexobj(x) else np.float64) for x in xs]  # noqa
    ref_H, ref_psi = ref_update_h(wide(H), wide(E), wide(C), wide(psi), wide(b), wide(g), nl)
    got_H, got_psi = run_module(module, problem, device)
    for got, want in zip(got_H + got_psi, list(ref_H) + list(ref_psi)):
        np.testing.assert_allclose(got, want, rtol=tol, atol=tol)
    return got_H, got_psi


MODULES = [pytest.param(Voxstep, False, id="Voxstep"), pytest.param(Voxstep4, True, id="Voxstep4")]


@pytest.mark.parametrize("module,complex_", MODULES)
@pytest.mark.parametrize(
    "shape",
    [
        dict(n=(2, 2, 2)),  # every face, corners included
        dict(n=(3, 0, 0)),
        dict(n=(0, 2, 0)),
        dict(n=(0, 0, 1)),
        dict(n=(0, 0, 0), psi_len=(0, 0, 0)),  # no layers: empty auxiliaries allowed
        dict(N=(5, 4, 3), n=(4, 3, 2)),  # 2n > N: the low layer wins
        dict(NS=2, NM=2, NC=3, n=(1, 2, 1)),
        dict(N=(1, 1, 1), n=(1, 1, 1)),
    ],
)
def test_matches_reference(module, complex_, shape, device):
    check(module, make_problem(complex_=complex_, **shape), device)


@pytest.mark.parametrize("module,complex_", MODULES)
def test_oversized_tensors_keep_their_extra_entries(module, complex_, device):
    problem = make_problem(extra=2, complex_=complex_, n=(1, 1, 1))
    H = problem[0]
    got_H, _ = check(module, problem, device)
    N = (6, 5, 4)
    for got, orig in zip(got_H, H):
        mask = np.ones(got.shape, bool)
        mask[:, :, :N[0], :N[1], :N[2]] = False
        np.testing.assert_array_equal(got[mask], orig[mask])


def test_layer_cells_for_nx_10_n_3(device):
    # x layer cells are i = 0, 1, 2 (indices 0-2) and i = 7, 8, 9 (indices 3-5).
    H, E, C, psi, b, g, nl = make_problem(N=(10, 2, 2), n=(3, 0, 0), psi_len=(6, 0, 0))
    psi = (np.zeros_like(psi[0]),) + psi[1:]
    E = tuple(np.zeros_like(e) for e in E)
    E[2][..., 8, :, :, :] = 1.0  # Ez at i = 8: dxEz = +1 at i = 7 and -1 at i = 8
    b = (np.ones(6, np.float32),) + b[1:]
    g = (np.arange(1, 7, dtype=np.float32),) + g[1:]
    _, (px, _, _) = run_module(Voxstep, (H, E, C, psi, b, g, nl), device)
    touched = np.nonzero(np.abs(px[0, 0, :, :, :, 0, :]).sum(axis=(1, 2, 3)))[0]
    assert list(touched) == [3, 4]
    np.testing.assert_allclose(px[0, 0, 3, :2, :2, 0], 4.0)  # g[3] * (1 - 0) at cell 7
    np.testing.assert_allclose(px[0, 0, 4, :2, :2, 0], -5.0)  # g[4] * (0 - 1) at cell 8


def test_unit_impulse_gives_exact_pattern(device):
    # One Ez sample of 1 with unit curl profiles and no layers: the four H
    # samples that difference it change by exactly +-1, nothing else.
    N = (4, 4, 4)
    H, E, C, psi, b, g, nl = make_problem(N=N, n=(0, 0, 0), psi_len=(0, 0, 0))
    H = tuple(np.zeros_like(h) for h in H)
    E = tuple(np.zeros_like(e) for e in E)
    C = tuple(np.ones(n, np.float32) for n in N)
    E[2][0, 0, 2, 2, 1, 0] = 1.0
    (Hx, Hy, Hz), _ = run_module(Voxstep, (H, E, C, psi, b, g, nl), device)
    expect_x = np.zeros_like(Hx)
    expect_y = np.zeros_like(Hy)
    expect_x[0, 0, 2, 2, 1, 0] = 1.0  # -Cy*(Ez[j+1]-Ez[j]) at j = 2
    expect_x[0, 0, 2, 1, 1, 0] = -1.0  # at j = 1
    expect_y[0, 0, 2, 2, 1, 0] = -1.0  # +Cx*(Ez[i+1]-Ez[i]) at i = 2
    expect_y[0, 0, 1, 2, 1, 0] = 1.0  # at i = 1
    np.testing.assert_array_equal(Hx, expect_x)
    np.testing.assert_array_equal(Hy, expect_y)
    np.testing.assert_array_equal(Hz, np.zeros_like(Hz))


def test_uniform_field_only_decays_auxiliaries(device):
    H, E, C, psi, b, g, nl = make_problem(n=(1, 1, 1))
    E = tuple(np.full_like(e, 3.0) for e in E)
    (Hx, Hy, Hz), (px, py, pz) = run_module(Voxstep, (H, E, C, psi, b, g, nl), device)
    np.testing.assert_allclose(px, b[0].reshape(1, 1, -1, 1, 1, 1, 1) * psi[0], rtol=1e-6)
    # Hx at a cell inside only the y layer (i, k interior) gains the new psi_y[p=1].
    np.testing.assert_allclose(Hx[0, 0, 2, 0, 2], H[0][0, 0, 2, 0, 2] + py[0, 0, 2, 0, 2, 1], rtol=1e-6)


def test_zero_coefficients_change_nothing(device):
    H, E, C, psi, b, g, nl = make_problem(n=(0, 0, 0), psi_len=(0, 0, 0))
    C = tuple(np.zeros_like(c) for c in C)
    got, _ = run_module(Voxstep, (H, E, C, psi, b, g, nl), device)
    for a, h in zip(got, H):
        np.testing.assert_array_equal(a, h)


def test_strided_and_expanded_views(device):
    """Profiles as stride-0 and stepped views, fields as non-contiguous
    slices: the same result as contiguous copies, written through strides."""
    problem = make_problem(NM=2, n=(1, 1, 1))
    H, E, C, psi, b, g, nl = problem
    want_H, want_psi = run_module(Voxstep, problem, device)

    t = lambda a: torch.tensor(a, device=device)  # noqa: E731  (a copy)
    # Fields live in the even x planes and transposed memory of bigger buffers.
    Ht = []
    for h in H:
        big = torch.zeros(h.shape[0], h.shape[1], 2 * h.shape[2], *h.shape[3:], device=device)
        big = big.permute(0, 1, 2, 5, 4, 3).contiguous().permute(0, 1, 2, 5, 4, 3)
        view = big[:, :, ::2]
        view.copy_(t(h))
        Ht.append(view)
    Ct = [t(np.repeat(c, 2))[::2] for c in C]
    bt = [t(x) for x in b]
    args = Ht + [t(x) for x in E] + Ct + [t(x) for x in psi] + bt + [t(x) for x in g] + [t(nl), t(nl)]
    assert not Ht[0].is_contiguous() and Ct[0].stride(0) == 2
    Voxstep.Update_H(*args)
    for got, want in zip(Ht, want_H):
        np.testing.assert_array_equal(got.cpu().numpy(), want)

    # A curl profile of one value as a stride-0 expansion.
    C1 = tuple(np.full_like(c, 0.375) for c in C)
    want_H, _ = run_module(Voxstep, (H, E, C1, psi, b, g, nl), device)
    Ht = [t(h) for h in H]
    Ce = [torch.tensor([0.375], device=device).expand(len(c)) for c in C]
    assert Ce[0].stride(0) == 0
    args = Ht + [t(x) for x in E] + Ce + [t(x) for x in psi] + bt + [t(x) for x in g] + [t(nl), t(nl)]
    Voxstep.Update_H(*args)
    for got, want in zip(Ht, want_H):
        np.testing.assert_array_equal(got.cpu().numpy(), want)


def test_equal_structure_slices_give_equal_fields(device):
    H, E, C, psi, b, g, nl = make_problem(NM=2, n=(1, 1, 1))
    same = lambda a: np.concatenate([a[:, :1], a[:, :1]], axis=1)  # noqa: E731
    problem = (tuple(map(same, H)), tuple(map(same, E)), C, tuple(map(same, psi)), b, g, nl)
    (Hx, Hy, Hz), _ = run_module(Voxstep, problem, device)
    for h in (Hx, Hy, Hz):
        np.testing.assert_array_equal(h[:, 0], h[:, 1])


def test_thickness_beyond_auxiliaries_is_skipped(device):
    # n_x = 4 on the device, but psi_x, bx and gx hold only 3 layer indices:
    # indices 3 and beyond are skipped instead of read out of bounds.
    problem = make_problem(N=(8, 3, 3), n=(4, 0, 0), psi_len=(3, 0, 0))
    check(Voxstep, problem, device)


def test_complex_parts_never_mix(device):
    """A purely imaginary field evolves like the purely real one, times i."""
    H, E, C, psi, b, g, nl = make_problem(complex_=True, n=(1, 2, 1))
    re = lambda xs: tuple(x.real.astype(np.complex64) for x in xs)  # noqa: E731
    im = lambda xs: tuple((1j * x.real).astype(np.complex64) for x in xs)  # noqa: E731
    got_re, psi_re = run_module(Voxstep4, (re(H), re(E), C, re(psi), b, g, nl), device)
    got_im, psi_im = run_module(Voxstep4, (im(H), im(E), C, im(psi), b, g, nl), device)
    for a, bb in zip(got_re + psi_re, got_im + psi_im):
        np.testing.assert_array_equal(a.imag, 0)
        np.testing.assert_array_equal(bb.real, 0)
        np.testing.assert_allclose(bb.imag, a.real, rtol=1e-6, atol=1e-6)


def test_complex_module_matches_real_module_on_real_data(device):
    problem = make_problem(NC=1, n=(2, 1, 1))
    H, E, C, psi, b, g, nl = problem
    cx = lambda xs: tuple(x.astype(np.complex64) for x in xs)  # noqa: E731
    real_H, real_psi = run_module(Voxstep, problem, device)
    cplx_H, cplx_psi = run_module(Voxstep4, (cx(H), cx(E), C, cx(psi), b, g, nl), device)
    for r, c in zip(real_H + real_psi, cplx_H + cplx_psi):
        np.testing.assert_allclose(c.real, r, rtol=1e-5, atol=1e-5)
        np.testing.assert_array_equal(c.imag, 0)
