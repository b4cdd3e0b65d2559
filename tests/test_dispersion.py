"""Voxstep.Update_E_Dispersion: the dispersive completion of the electric
update (two materials per sample, complex auxiliaries) and the previous-value
copies; Voxstep4.Update_E_Dispersion: the divide-only completion."""
import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4
from argtable import call_args, field_extents, table_shape
from conftest import assert_unchanged, rng, snapshot
from fields_ref import dispersion_ref, field_shapes, interior_masks

SIZES = (2, 2, 5, 4, 6, 2)  # NS, NM, Nx, Ny, Nz, NC


def make_problem(sizes, n_ids=4, seed=0, same_id=False, w=None, den_sum=None,
                 zero_tables=False, zero_aux=False):
    NS, NM, Nx, Ny, Nz, NC = sizes
    r = rng(seed)
    eS, _ = field_shapes(*sizes)
    mshape = table_shape(Voxstep, "Update_E_Dispersion", "weight_x", field_extents(*sizes))

    def crand(shape):
        return (r.standard_normal(shape) + 1j * r.standard_normal(shape)).astype(np.complex64)

    E = [r.standard_normal(s).astype(np.float32) for s in eS]
    P = [r.standard_normal(s).astype(np.float32) for s in eS]
    weight = [(r.uniform(0, 1, mshape) if w is None else np.full(mshape, w)).astype(np.float32)
              for _ in range(3)]
    p = [r.integers(0, n_ids, mshape).astype(np.uint8) for _ in range(3)]
    q = [a.copy() for a in p] if same_id else \
        [r.integers(0, n_ids, mshape).astype(np.uint8) for _ in range(3)]
    den1 = [r.uniform(1.0, 3.0, mshape).astype(np.float32) for _ in range(3)]
    den2 = [r.uniform(0.0, 1.0, mshape).astype(np.float32) for _ in range(3)]
    if den_sum is not None:
        den2 = [(np.float32(den_sum) - d).astype(np.float32) for d in den1]
    # |alpha| < 1 as a decaying recursion would have.
    alpha = (0.6 * crand(n_ids)).astype(np.complex64)
    beta = crand(n_ids)
    if zero_tables:
        alpha[:] = 0
        beta[:] = 0
    aux1 = [crand(s) for s in eS]
    aux2 = [crand(s) for s in eS]
    if zero_aux:
        for a in aux1 + aux2:
            a[...] = 0
    return dict(E=E, P=P, w=weight, p=p, q=q, den1=den1, den2=den2, alpha=alpha, beta=beta,
                aux1=aux1, aux2=aux2)


def to_args(d, device):
    t = lambda a: torch.as_tensor(a).clone().to(device)  # noqa: E731
    return call_args(Voxstep, "Update_E_Dispersion", {
        "E{}": map(t, d["E"]), "E{}_prev": map(t, d["P"]), "weight_{}": map(t, d["w"]),
        "id_map_{}": map(t, d["p"]), "prev_id_map_{}": map(t, d["q"]),
        "den1_{}": map(t, d["den1"]), "den2_{}": map(t, d["den2"]), "aux1_{}": map(t, d["aux1"]),
        "aux2_{}": map(t, d["aux2"])}, alpha=t(d["alpha"]), beta=t(d["beta"]))


def ref(d):
    return dispersion_ref(d["E"], d["P"], d["w"], d["p"], d["q"], d["den1"], d["den2"],
                          d["alpha"].astype(np.complex128), d["beta"].astype(np.complex128),
                          d["aux1"], d["aux2"])


def np_of(t):
    return t.detach().cpu().numpy()


def check_against_ref(args, d, tol=3e-5):
    E, a1, a2, P = ref(d)
    for got, want in zip(args[0:3], E):
        np.testing.assert_allclose(np_of(got), want, rtol=tol, atol=tol)
    for got, want in zip(args[3:6], P):
        np.testing.assert_allclose(np_of(got), want, rtol=tol, atol=tol)
    for got, want in zip(args[23:29], a1 + a2):
        np.testing.assert_allclose(np_of(got), want, rtol=tol, atol=tol)


@pytest.mark.parametrize("same_id", [False, True], ids=["two-materials", "p-equals-q"])
@pytest.mark.parametrize("w", [None, 0.0, 1.0], ids=["w-random", "w0", "w1"])
def test_matches_reference(device, same_id, w):
    d = make_problem(SIZES, same_id=same_id, w=w, seed=int(same_id) + int(3 * (2 if w is None else w)))
    args = to_args(d, device)
    Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    check_against_ref(args, d)


def test_one_material_everywhere(device):
    d = make_problem(SIZES, n_ids=1, seed=4)
    args = to_args(d, device)
    Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    check_against_ref(args, d)


def test_second_call_measures_against_copied_field(device):
    # The second call's field change is taken against the first call's
    # result, ghost planes and face samples included.
    d = make_problem(SIZES, seed=6)
    args = to_args(d, device)
    Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    E1, a1, a2, P1 = ref(d)
    r = rng(7)
    d2 = dict(d, E=[(e + r.standard_normal(e.shape)).astype(np.float32) for e in E1],
              P=[p.astype(np.float32) for p in P1], aux1=a1, aux2=a2)
    for t, e in zip(args[0:3], d2["E"]):
        t.copy_(torch.as_tensor(e))
    Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    check_against_ref(args, d2, tol=1e-4)


@pytest.mark.parametrize("w", [0.0, 1.0])
def test_undriven_auxiliary_only_decays(device, w):
    # w = 1: the displaced material's auxiliary evolves as alpha_q * psi2;
    # w = 0: the owner's as alpha_p * psi1.
    d = make_problem(SIZES, w=w, seed=8)
    args = to_args(d, device)
    Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    Nx, Ny, Nz = SIZES[2:5]
    masks = interior_masks(Nx, Ny, Nz)
    for c in range(3):
        ids = d["q"][c] if w == 1.0 else d["p"][c]
        old = d["aux2"][c] if w == 1.0 else d["aux1"][c]
        got = np_of(args[26 + c] if w == 1.0 else args[23 + c])
        want = d["alpha"].astype(np.complex128)[ids][None, ..., None] * old[:, :, :Nx, :Ny, :Nz]
        m = masks[c][None, None, ..., None]
        np.testing.assert_allclose(got[:, :, :Nx, :Ny, :Nz] * m, want * m, rtol=1e-5, atol=1e-6)


def test_zero_tables_divide_only(device):
    # alpha = beta = 0 with zero auxiliaries: E = E* / (den1 + den2) and the
    # auxiliaries stay exactly zero.
    d = make_problem(SIZES, zero_tables=True, zero_aux=True, seed=10)
    args = to_args(d, device)
    Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    check_against_ref(args, d)
    for a in args[23:29]:
        assert not np_of(a).any()


def test_unit_denominator_keeps_field(device):
    # den1 + den2 = 1, zero auxiliaries: E unchanged, each auxiliary becomes
    # its weighted beta times (E* - E(n)), and the previous values equal E.
    d = make_problem(SIZES, den_sum=1.0, zero_aux=True, seed=12)
    for a, b in zip(d["den1"], d["den2"]):
        a[...] = 0.25
        b[...] = 0.75
    args = to_args(d, device)
    Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    Nx, Ny, Nz = SIZES[2:5]
    masks = interior_masks(Nx, Ny, Nz)
    beta = d["beta"].astype(np.complex128)
    for c in range(3):
        assert np.array_equal(np_of(args[c]), d["E"][c])
        assert np.array_equal(np_of(args[3 + c]), d["E"][c])
        dE = (d["E"][c].astype(np.float64) - d["P"][c])[:, :, :Nx, :Ny, :Nz]
        w = d["w"][c].astype(np.float64)[None, ..., None]
        m = masks[c][None, None, ..., None]
        want1 = w * beta[d["p"][c]][None, ..., None] * dE * m
        want2 = (1 - w) * beta[d["q"][c]][None, ..., None] * dE * m
        np.testing.assert_allclose(np_of(args[23 + c])[:, :, :Nx, :Ny, :Nz], want1, atol=1e-5)
        np.testing.assert_allclose(np_of(args[26 + c])[:, :, :Nx, :Ny, :Nz], want2, atol=1e-5)


def test_faces_untouched_but_previous_values_copied(device):
    d = make_problem(SIZES, seed=14)
    args = to_args(d, device)
    Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    Nx, Ny, Nz = SIZES[2:5]
    masks = interior_masks(Nx, Ny, Nz)
    for c in range(3):
        E = np_of(args[c])
        keep = np.ones(E.shape, bool)
        keep[:, :, :Nx, :Ny, :Nz] = ~masks[c][None, None, ..., None]
        assert np.array_equal(E[keep], d["E"][c][keep])  # faces and index N
        for aux, old in ((args[23 + c], d["aux1"][c]), (args[26 + c], d["aux2"][c])):
            assert np.array_equal(np_of(aux)[keep], old[keep])
        assert np.array_equal(np_of(args[3 + c]), E)  # everywhere, ghosts included


def test_id_beyond_tables_reads_nan(device):
    # Tables need only cover the ids in use; a stray id shows up as NaN in
    # its own samples instead of reading past the table.
    d = make_problem(SIZES, n_ids=3, seed=16)
    d["p"][0][0, 2, 2, 3] = 200
    args = to_args(d, device)
    Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    Ex = np_of(args[0])
    bad = np.zeros(Ex.shape, bool)
    bad[:, 0, 2, 2, 3, :] = True
    assert np.isnan(Ex[bad]).all()
    assert np.isnan(np_of(args[23])[bad]).all()
    assert not np.isnan(Ex[~bad]).any()
    d["p"][0][0, 2, 2, 3] = 0
    d["q"][0][0, 2, 2, 3] = 0
    E, _, _, _ = ref(d)
    np.testing.assert_allclose(Ex[~bad], E[0][~bad], rtol=3e-5, atol=3e-5)
    np.testing.assert_allclose(np_of(args[1]), E[1], rtol=3e-5, atol=3e-5)


@pytest.mark.parametrize("extra", [torch.zeros(0), torch.ones(2, 3, dtype=torch.uint8)],
                         ids=["empty", "uint8"])
def test_last_argument_never_accessed(device, extra):
    d = make_problem(SIZES, seed=18)
    a1, a2 = to_args(d, device), to_args(d, device)
    Voxstep.Update_E_Dispersion(*a1, torch.zeros(1))
    Voxstep.Update_E_Dispersion(*a2, extra)
    for x, y in zip(a1, a2):
        assert torch.equal(x.cpu(), y.cpu())


def _shrink(t, axis):
    sl = [slice(None)] * t.dim()
    sl[axis] = slice(0, t.shape[axis] - 1)
    return t[tuple(sl)]


EXTENT_CASES = [
    (0, "Ex", 4), (2, "Ez", 2), (3, "Ex_prev", 3), (5, "Ez_prev", 5), (6, "weight_x", 1),
    (10, "id_map_y", 2), (14, "prev_id_map_z", 3), (15, "den1_x", 0), (20, "den2_z", 3),
    (23, "aux1_x", 2), (27, "aux2_y", 5),
]


@pytest.mark.parametrize("pos,name,axis", EXTENT_CASES, ids=[c[1] for c in EXTENT_CASES])
def test_extent_error_names_argument(device, pos, name, axis):
    args = to_args(make_problem(SIZES, seed=20), device)
    args[pos] = _shrink(args[pos], axis)
    before = snapshot(*args)
    with pytest.raises(ValueError, match=name):
        Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    assert_unchanged(before, args)


def test_previous_values_need_the_field_shape(device):
    # A larger previous-value tensor covers every index the kernel reads but
    # cannot take the copy: refused before anything runs.
    args = to_args(make_problem(SIZES, seed=22), device)
    t = args[4]
    args[4] = torch.zeros(t.shape[0] + 1, *t.shape[1:], device=device)
    before = snapshot(*args)
    with pytest.raises(ValueError, match="Ey_prev"):
        Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    assert_unchanged(before, args)


@pytest.mark.parametrize("pos,bad", [(6, "rank"), (9, "dtype"), (21, "dtype"), (24, "rank")],
                         ids=["weight_x-rank", "id_map_x-float", "alpha-real", "aux1_y-rank"])
def test_rank_and_type_errors(device, pos, bad):
    args = to_args(make_problem(SIZES, seed=24), device)
    args[pos] = args[pos].unsqueeze(0) if bad == "rank" else (
        args[pos].float() if args[pos].dtype == torch.uint8 else args[pos].real.contiguous())
    before = snapshot(*args)
    with pytest.raises(RuntimeError):
        Voxstep.Update_E_Dispersion(*args, torch.zeros(1))
    assert_unchanged(before, args)


# ---------------------------------------------------------------------------
# Voxstep4: divide-only completion.

def make_divide(sizes, seed=0):
    NS, NM, Nx, Ny, Nz, NC = sizes
    r = rng(seed)
    eS, _ = field_shapes(*sizes)
    E = [(r.standard_normal(s) + 1j * r.standard_normal(s)).astype(np.complex64) for s in eS]
    den1 = [r.uniform(0.5, 2.0, (NM, Nx, Ny, Nz, NC)).astype(np.float32) for _ in range(3)]
    den2 = [r.uniform(0.5, 2.0, (NM, Nx, Ny, Nz)).astype(np.float32) for _ in range(3)]
    return E, den1, den2


def divide_ref(E, den1, den2):
    out = [e.astype(np.complex128) for e in E]
    Nx, Ny, Nz = E[0].shape[2], E[1].shape[3], E[2].shape[4]
    masks = interior_masks(Nx, Ny, Nz)
    for c in range(3):
        D = den1[c].astype(np.float64) + den2[c][..., None]
        sub = out[c][:, :, :Nx, :Ny, :Nz]
        m = masks[c][None, None, ..., None]
        sub[...] = np.where(m, sub / D[None], sub)
    return out


@pytest.mark.parametrize("NC", [1, 3])
def test_divide_matches_reference(device, NC):
    sizes = SIZES[:5] + (NC,)
    E, den1, den2 = make_divide(sizes, seed=NC)
    args = [torch.as_tensor(a).clone().to(device) for a in E + den1 + den2]
    Voxstep4.Update_E_Dispersion(*args, torch.zeros(1))
    for got, want in zip(args[:3], divide_ref(E, den1, den2)):
        np.testing.assert_allclose(np_of(got), want, rtol=2e-6, atol=1e-7)
        # real and imaginary parts divided alike, faces untouched
    E2 = [e.copy() for e in E]
    for c in range(3):
        den2[c][...] = 1 - den1[c][..., 0]
        den1[c][...] = den1[c][..., :1]
    args = [torch.as_tensor(a).clone().to(device) for a in E2 + den1 + den2]
    Voxstep4.Update_E_Dispersion(*args, torch.zeros(1))
    for got, e in zip(args[:3], E2):
        np.testing.assert_allclose(np_of(got), e, rtol=1e-6, atol=1e-7)


def test_divide_per_channel_denominator(device):
    sizes = (1, 1, 3, 3, 3, 2)
    E, den1, den2 = make_divide(sizes, seed=5)
    for c in range(3):
        E[c][..., 1] = E[c][..., 0]
        den1[c][..., 0] = 1.0
        den1[c][..., 1] = 3.0
        den2[c][...] = 1.0
    args = [torch.as_tensor(a).clone().to(device) for a in E + den1 + den2]
    Voxstep4.Update_E_Dispersion(*args, torch.ones(4, 4))
    Ex = np_of(args[0])
    np.testing.assert_allclose(Ex[0, 0, 1, 1, 1, 0], E[0][0, 0, 1, 1, 1, 0] / 2, rtol=1e-6)
    np.testing.assert_allclose(Ex[0, 0, 1, 1, 1, 1], E[0][0, 0, 1, 1, 1, 0] / 4, rtol=1e-6)
    assert Ex[0, 0, 1, 0, 1, 0] == E[0][0, 0, 1, 0, 1, 0]


@pytest.mark.parametrize("pos,name,axis", [(3, "den1_x", 4), (5, "den1_z", 2), (7, "den2_y", 3),
                                           (1, "Ey", 4)])
def test_divide_extent_errors(device, pos, name, axis):
    E, den1, den2 = make_divide(SIZES, seed=7)
    args = [torch.as_tensor(a).clone().to(device) for a in E + den1 + den2]
    args[pos] = _shrink(args[pos], axis)
    before = snapshot(*args)
    with pytest.raises(ValueError, match=name):
        Voxstep4.Update_E_Dispersion(*args, torch.zeros(1))
    assert_unchanged(before, args)


def test_divide_rank_error(device):
    E, den1, den2 = make_divide(SIZES, seed=9)
    args = [torch.as_tensor(a).clone().to(device) for a in E + den1 + den2]
    args[3] = args[3][..., 0]
    before = snapshot(*args)
    with pytest.raises(RuntimeError, match="expected 5 dims but tensor has 4"):
        Voxstep4.Update_E_Dispersion(*args, torch.zeros(1))
    assert_unchanged(before, args)
