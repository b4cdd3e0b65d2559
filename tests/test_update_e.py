"""Voxstep.Update_E: curl step with per-cell factor and index-0 face guards,
electric CPML terms on all six faces, argument checks."""
import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4
from argtable import call_args, field_extents, table_shape
from conftest import assert_unchanged, rng, snapshot
from fields_ref import field_shapes, psi_shapes, update_e_ref

SIZES = (2, 2, 6, 5, 7, 3)  # NS, NM, Nx, Ny, Nz, NC


def make_problem(sizes, nl, seed=0, cplx=False, keep_per_channel=False):
    NS, NM, Nx, Ny, Nz, NC = sizes
    r = rng(seed)

    def rand(shape):
        a = r.standard_normal(shape).astype(np.float32)
        if cplx:
            a = (a + 1j * r.standard_normal(shape).astype(np.float32)).astype(np.complex64)
        return a

    eS, hS = field_shapes(*sizes)
    # the tables' shapes: a keep per channel is the complex module's
    shape = lambda module, a: table_shape(module, "Update_E", a, field_extents(*sizes))  # noqa
    kshape = shape(Voxstep4 if keep_per_channel else Voxstep, "keep_x")
    return dict(
        E=[rand(s) for s in eS],
        H=[rand(s) for s in hS],
        keep=[r.uniform(0.5, 1.5, kshape).astype(np.float32) for _ in range(3)],
        loss=[r.uniform(0.0, 0.3, shape(Voxstep, "loss_x")).astype(np.float32)
              for _ in range(3)],
        C=[r.uniform(0.2, 0.8, shape(Voxstep, f"C{c}")).astype(np.float32) for c in "xyz"],
        psi=[rand(s) for s in psi_shapes(*sizes, nl)],
        b=[r.uniform(0.5, 1.0, 2 * n).astype(np.float32) for n in nl],
        g=[r.uniform(-0.5, 0.0, 2 * n).astype(np.float32) for n in nl],
        n_layer=np.array(list(nl) + [77], dtype=np.int32),
    )


def channels_last_view(a, device):
    """The same values as a strided (non-contiguous) view."""
    t = torch.as_tensor(a)
    perm = list(range(1, t.dim())) + [0]
    back = [t.dim() - 1] + list(range(t.dim() - 1))
    return t.permute(*back).contiguous().to(device).permute(*perm)


def to_args(p, device, strided=False):
    conv = (lambda a: channels_last_view(a, device)) if strided else \
        (lambda a: torch.as_tensor(a).clone().to(device))
    dev = lambda a: torch.as_tensor(a).to(device)  # noqa: E731
    # The callers pass `unused`; Voxstep4's table names the same arguments.
    return call_args(Voxstep, "Update_E", {
        "E{}": map(conv, p["E"]), "H{}": map(conv, p["H"]), "keep_{}": map(dev, p["keep"]),
        "loss_{}": map(dev, p["loss"]), "C{}": map(dev, p["C"]), "psi_{}": map(conv, p["psi"]),
        "b{}": map(dev, p["b"]), "g{}": map(dev, p["g"])}, n_layer=dev(p["n_layer"]))


def ref(p, steps=1, lim=None):
    E = [e.astype(np.complex128 if np.iscomplexobj(e) else np.float64) for e in p["E"]]
    psi = [a.astype(E[0].dtype) for a in p["psi"]]
    for _ in range(steps):
        E, psi = update_e_ref(E, p["H"], p["keep"], p["loss"], p["C"], psi, p["b"], p["g"],
                              p["n_layer"], lim)
    return E, psi


def np_of(t):
    return t.detach().cpu().numpy()


@pytest.mark.parametrize("nl", [(0, 0, 0), (2, 1, 3), (3, 2, 2), (4, 3, 5)],
                         ids=["no-layers", "thin", "mixed", "overlapping"])
@pytest.mark.parametrize("strided", [False, True], ids=["contiguous", "strided"])
def test_matches_reference(device, nl, strided):
    # "overlapping": 2n > N on every axis, where the low test wins.
    p = make_problem(SIZES, nl, seed=sum(nl))
    args = to_args(p, device, strided)
    for _ in range(2):  # the auxiliaries carry over between calls
        Voxstep.Update_E(*args, torch.zeros(1))
    E, psi = ref(p, steps=2)
    for got, want in zip(args[0:3] + args[15:18], E + psi):
        np.testing.assert_allclose(np_of(got), want, rtol=2e-5, atol=2e-5)
    for h, h0 in zip(args[3:6], p["H"]):
        assert np.array_equal(np_of(h), h0)


def test_unit_coefficients_no_curl_leave_field(device):
    p = make_problem(SIZES, (0, 0, 0))
    for a in p["keep"]:
        a[...] = 1
    for a in p["loss"] + p["C"]:
        a[...] = 0
    args = to_args(p, device)
    Voxstep.Update_E(*args, torch.zeros(1))
    for got, want in zip(args[:3], p["E"]):
        assert np.array_equal(np_of(got), want)


def test_factor_scales_interior_only(device):
    # keep 0.5, loss 0.25, no magnetic field, no layers: x0.25 where both
    # transverse indices are nonzero, faces and index N unchanged.
    NS, NM, Nx, Ny, Nz, NC = SIZES
    p = make_problem(SIZES, (0, 0, 0))
    for a in p["keep"]:
        a[...] = 0.5
    for a in p["loss"]:
        a[...] = 0.25
    for a in p["H"]:
        a[...] = 0
    args = to_args(p, device)
    Voxstep.Update_E(*args, torch.zeros(1))
    for d, (got, e0) in enumerate(zip(args[:3], p["E"])):
        want = e0.copy()
        sl = [slice(None)] * 6
        sl[2], sl[3], sl[4] = slice(0, Nx), slice(0, Ny), slice(0, Nz)
        # transverse axes of component d start at 1
        for ax in {0: (3, 4), 1: (2, 4), 2: (2, 3)}[d]:
            sl[ax] = slice(1, sl[ax].stop)
        want[tuple(sl)] *= np.float32(0.25)
        assert np.array_equal(np_of(got), want)


# Unit impulse in one magnetic sample at (2, 2, 2), unit coefficients, zero
# electric field: the exact +-1 pattern of the backward-difference curl.
IMPULSE = {
    "Hx": {"Ey": [((2, 2, 2), 1), ((2, 2, 3), -1)], "Ez": [((2, 2, 2), -1), ((2, 3, 2), 1)]},
    "Hy": {"Ez": [((2, 2, 2), 1), ((3, 2, 2), -1)], "Ex": [((2, 2, 2), -1), ((2, 2, 3), 1)]},
    "Hz": {"Ex": [((2, 2, 2), 1), ((2, 3, 2), -1)], "Ey": [((2, 2, 2), -1), ((3, 2, 2), 1)]},
}


@pytest.mark.parametrize("source", ["Hx", "Hy", "Hz"])
def test_unit_impulse(device, source):
    sizes = (1, 1, 5, 5, 5, 1)
    p = make_problem(sizes, (0, 0, 0))
    for a in p["E"] + p["H"] + p["loss"]:
        a[...] = 0
    for a in p["keep"] + p["C"]:
        a[...] = 1
    p["H"]["xyz".index(source[1])][0, 0, 2, 2, 2, 0] = 1
    args = to_args(p, device)
    Voxstep.Update_E(*args, torch.zeros(1))
    for d, name in enumerate(["Ex", "Ey", "Ez"]):
        want = np.zeros(p["E"][d].shape, np.float32)
        for (i, j, k), v in IMPULSE[source].get(name, []):
            want[0, 0, i, j, k, 0] = v
        assert np.array_equal(np_of(args[d]), want), name


# Per layer axis: (component fed by p=0, H differenced, sign), (p=1 ...).
LAYER_TERMS = {
    0: (("Ey", "Hz", -1), ("Ez", "Hy", +1)),
    1: (("Ez", "Hx", -1), ("Ex", "Hz", +1)),
    2: (("Ex", "Hy", -1), ("Ey", "Hx", +1)),
}


@pytest.mark.parametrize("axis", [0, 1, 2], ids="xyz")
def test_layer_cells_and_faces(device, axis):
    # N = 10 cells with n = 3 along the axis: layer cells 1, 2 (indices 1, 2)
    # and 7, 8, 9 (indices 3, 4, 5); index 0 is never a layer cell. With a
    # unit gradient, b = 0 and g[L] = L + 1, each fed component gets
    # sign * g[L] at every layer cell, including its index-0 faces of the
    # other axes (which the curl step skips).
    ext = [4, 4, 4]
    ext[axis] = 10
    sizes = (1, 1, *ext, 1)
    nl = [0, 0, 0]
    nl[axis] = 3
    p = make_problem(sizes, nl)
    for a in p["E"] + p["H"] + p["C"]:
        a[...] = 0
    p["psi"][axis][...] = 0
    sentinel = np.float32(7.0)
    idx0 = [slice(None)] * 7
    idx0[2 + axis] = 0
    p["psi"][axis][tuple(idx0)] = sentinel  # layer index 0: never used
    p["b"][axis][:] = 0
    p["g"][axis][:] = np.arange(1, 7, dtype=np.float32)
    for _, hname, _ in LAYER_TERMS[axis]:
        h = p["H"]["xyz".index(hname[1])]
        shape = [1] * 6
        shape[2 + axis] = ext[axis]
        h[...] = np.arange(ext[axis], dtype=np.float32).reshape(shape)
    args = to_args(p, device)
    Voxstep.Update_E(*args, torch.zeros(1))

    L_of = {1: 1, 2: 2, 7: 3, 8: 4, 9: 5}
    for ename, _, sign in LAYER_TERMS[axis]:
        d = "xyz".index(ename[1])
        got = np_of(args[d])[0, 0]
        want = np.zeros_like(got)
        for x, L in L_of.items():
            sl = [slice(0, ext[0]), slice(0, ext[1]), slice(0, ext[2]), slice(None)]
            sl[axis] = x
            want[tuple(sl)] = sign * (L + 1)
        assert np.array_equal(got, want), ename
    psi = np_of(args[15 + axis])
    assert np.all(psi[tuple(idx0)] == sentinel)


def test_thick_layer_never_reads_before_index_0(device):
    # n >= N: index 0 would pass the high-layer test; it must stay out of the
    # layers (H is a view whose index -1 would land on NaN).
    sizes = (1, 1, 4, 3, 3, 2)
    nl = (5, 4, 3)
    p = make_problem(sizes, nl, seed=3)
    args = to_args(p, device)
    for a in range(3):
        big_shape = list(p["H"][a].shape)
        big_shape[2] += 1
        big_shape[3] += 1
        big_shape[4] += 1
        big = torch.full(big_shape, float("nan"), device=device)
        big[:, :, 1:, 1:, 1:] = args[3 + a]
        args[3 + a] = big[:, :, 1:, 1:, 1:]
    Voxstep.Update_E(*args, torch.zeros(1))
    E, psi = ref(p)
    for got, want in zip(args[0:3] + args[15:18], E + psi):
        np.testing.assert_allclose(np_of(got), want, rtol=2e-5, atol=2e-5)


def test_device_thickness_beyond_profiles_is_clamped(device):
    # n_layer says 3 but psi, b and g hold only 4 layer indices on x and 2
    # on z: the kernel must skip layer indices they do not hold (the tensors
    # are views of NaN-filled storage beyond their extents).
    sizes = (1, 2, 8, 4, 6, 2)
    nl_held = (2, 2, 1)
    p = make_problem(sizes, nl_held, seed=5)
    p["n_layer"][:3] = (3, 2, 3)
    args = to_args(p, device)
    bigs = []
    for a in (0, 2):
        t = args[15 + a]
        shape = list(t.shape)
        shape[2 + a] += 6
        big = torch.full(shape, float("nan"), device=device)
        sl = [slice(None)] * 7
        sl[2 + a] = slice(0, t.shape[2 + a])
        big[tuple(sl)] = t
        args[15 + a] = big[tuple(sl)]
        bigs.append((big, tuple(sl)))
        for off in (18, 21):
            prof = torch.full((t.shape[2 + a] + 6,), float("nan"), device=device)
            prof[: t.shape[2 + a]] = args[off + a]
            args[off + a] = prof[: t.shape[2 + a]]
    Voxstep.Update_E(*args, torch.zeros(1))
    E, psi = ref(p, lim=[4, 4, 2])
    for got, want in zip(args[0:3] + args[15:18], E + psi):
        np.testing.assert_allclose(np_of(got), want, rtol=2e-5, atol=2e-5)
    for big, sl in bigs:
        outside = np.ones(big.shape, bool)
        outside[sl] = False
        assert np.isnan(np_of(big)[outside]).all()


def test_expanded_coefficients_match_materialised(device):
    sizes = (1, 3, 5, 4, 4, 2)
    p = make_problem(sizes, (1, 1, 1), seed=9)
    for a in p["keep"] + p["loss"]:
        a[...] = a[0:1]
    args_full = to_args(p, device)
    args_exp = to_args(p, device)
    for off in range(6, 12):
        args_exp[off] = args_exp[off][0:1].expand_as(args_full[off])
    Voxstep.Update_E(*args_full, torch.zeros(1))
    Voxstep.Update_E(*args_exp, torch.zeros(1))
    for a, b in zip(args_full, args_exp):
        assert torch.equal(a.cpu(), b.cpu())


@pytest.mark.parametrize("extra", [torch.zeros(0), torch.ones(3, 2, dtype=torch.int64),
                                   torch.zeros(5, dtype=torch.complex64)],
                         ids=["empty", "int64", "complex"])
def test_last_argument_never_accessed(device, extra):
    p = make_problem(SIZES, (1, 2, 1), seed=11)
    a1, a2 = to_args(p, device), to_args(p, device)
    Voxstep.Update_E(*a1, torch.zeros(1))
    Voxstep.Update_E(*a2, extra)
    for x, y in zip(a1, a2):
        assert torch.equal(x.cpu(), y.cpu())


def test_argument_count(device):
    args = to_args(make_problem(SIZES, (1, 1, 1)), device)
    with pytest.raises(TypeError):
        Voxstep.Update_E(*args)


def _shrink(t, axis):
    sl = [slice(None)] * t.dim()
    sl[axis] = slice(0, t.shape[axis] - 1)
    return t[tuple(sl)]


# (argument position, name, axis to shrink by one)
EXTENT_CASES = [
    (0, "Ex", 3), (1, "Ey", 2), (2, "Ez", 3), (3, "Hx", 2), (4, "Hy", 5), (5, "Hz", 4),
    (6, "keep_x", 0), (7, "keep_y", 2), (9, "loss_x", 3), (11, "loss_z", 1),
    (12, "Cx", 0), (13, "Cy", 0), (14, "Cz", 0),
    (15, "psi_x", 3), (16, "psi_y", 6), (17, "psi_z", 5), (24, "n_layer", 0),
]


@pytest.mark.parametrize("pos,name,axis", EXTENT_CASES, ids=[c[1] for c in EXTENT_CASES])
def test_extent_error_names_argument(device, pos, name, axis):
    args = to_args(make_problem(SIZES, (1, 2, 1), seed=2), device)
    args[pos] = args[pos][:2] if name == "n_layer" else _shrink(args[pos], axis)
    before = snapshot(*args)
    with pytest.raises(ValueError, match=name):
        Voxstep.Update_E(*args, torch.zeros(1))
    assert_unchanged(before, args)


@pytest.mark.parametrize("pos,rank", [(3, 5), (6, 3), (15, 6), (12, 2)],
                         ids=["Hx-5d", "keep_x-3d", "psi_x-6d", "Cx-2d"])
def test_rank_error(device, pos, rank):
    args = to_args(make_problem(SIZES, (1, 1, 1)), device)
    t = args[pos]
    args[pos] = t.reshape(-1)[: 1].reshape([1] * rank) if rank < t.dim() else t.unsqueeze(0)
    before = snapshot(*args)
    with pytest.raises(RuntimeError, match=f"expected {t.dim()} dims but tensor has {rank}"):
        Voxstep.Update_E(*args, torch.zeros(1))
    assert_unchanged(before, args)


def test_element_type_error(device):
    args = to_args(make_problem(SIZES, (1, 1, 1)), device)
    args[9] = args[9].double()
    before = snapshot(*args)
    with pytest.raises(RuntimeError):
        Voxstep.Update_E(*args, torch.zeros(1))
    assert_unchanged(before, args)
