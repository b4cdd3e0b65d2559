"""Update_E_Periodic of both modules: Bloch ghost planes along x then y."""
import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4
from conftest import assert_unchanged, rng, snapshot
from fields_ref import field_shapes, periodic_ref

SIZES = (2, 2, 5, 4, 3, 4)  # NS, NM, Nx, Ny, Nz, NC


def make_real(sizes, seed=0, theta=None, extra_cols=0):
    NS, NM, Nx, Ny, Nz, NC = sizes
    H = NC // 2
    r = rng(seed)
    eS, _ = field_shapes(*sizes)
    E = [r.standard_normal(s).astype(np.float32) for s in eS]
    tables = []
    for _ in range(2):
        if theta is None:
            # not normalised: |P| != 1
            cs = r.uniform(-1.5, 1.5, (NS, 2 * H))
        else:
            cs = np.concatenate([np.cos(np.full((NS, H), theta)), np.sin(np.full((NS, H), theta))], 1)
        cs = np.concatenate([cs, np.full((NS, extra_cols), np.nan)], 1)
        tables.append(cs.astype(np.float32))
    return E, tables


def make_complex(sizes, seed=0):
    NS, NM, Nx, Ny, Nz, NC = sizes
    r = rng(seed)
    eS, _ = field_shapes(*sizes)
    E = [(r.standard_normal(s) + 1j * r.standard_normal(s)).astype(np.complex64) for s in eS]
    tables = [(r.uniform(-1.5, 1.5, (NS, NC)) + 1j * r.uniform(-1.5, 1.5, (NS, NC)))
              .astype(np.complex64) for _ in range(2)]
    return E, tables


def run(mod, E, tables, flags, positive, device):
    args = [torch.as_tensor(a).clone().to(device) for a in E + tables]
    args.append(torch.as_tensor(np.array(flags, np.int32)).to(device))
    mod.Update_E_Periodic(*args, positive)
    return [a.cpu().numpy() for a in args[:3]], args


FLAGS = [(1, 0), (0, 1), (1, 1), (1, 1, 5)]


@pytest.mark.parametrize("flags", FLAGS, ids=["x", "y", "xy", "xy-long-flags"])
@pytest.mark.parametrize("positive", [True, False])
@pytest.mark.parametrize("NC", [4, 5], ids=["NC-even", "NC-odd"])
def test_real_matches_reference(device, flags, positive, NC):
    sizes = SIZES[:5] + (NC,)
    E, tables = make_real(sizes, seed=NC, extra_cols=1)
    got, _ = run(Voxstep, E, tables, flags, positive, device)
    want = periodic_ref(E, tables[0], tables[1], flags, positive, halves=True)
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, rtol=1e-5, atol=1e-6)
    if NC % 2:
        for g, e in zip(got, E):
            assert np.array_equal(g[..., NC - 1], e[..., NC - 1])


def test_real_zero_phase_copies_exactly(device):
    E, tables = make_real(SIZES, theta=0.0)
    Nx, Ny = SIZES[2], SIZES[3]
    (Ex, Ey, Ez), _ = run(Voxstep, E, tables, (1, 1), True, device)
    assert np.array_equal(Ey[:, :, 0], E[1][:, :, Nx - 1])
    assert np.array_equal(Ey[:, :, Nx], E[1][:, :, 1])
    assert np.array_equal(Ex[:, :, :, 0], E[0][:, :, :, Ny - 1])
    assert np.array_equal(Ex[:, :, :, Ny], E[0][:, :, :, 1])
    # Ez: the y pass reads rows whose x ghosts the x pass has just written.
    Ez_x = E[2].copy()
    Ez_x[:, :, 0], Ez_x[:, :, Nx] = E[2][:, :, Nx - 1], E[2][:, :, 1]
    assert np.array_equal(Ez[:, :, :, 0], Ez_x[:, :, :, Ny - 1])
    assert np.array_equal(Ez[:, :, :, Ny], Ez_x[:, :, :, 1])


def test_real_negative_phase_is_negated_sin(device):
    E, tables = make_real(SIZES, seed=3)
    H = SIZES[5] // 2
    neg = [t.copy() for t in tables]
    for t in neg:
        t[:, H:2 * H] *= -1
    a, _ = run(Voxstep, E, tables, (1, 1), False, device)
    b, _ = run(Voxstep, E, neg, (1, 1), True, device)
    for x, y in zip(a, b):
        assert np.array_equal(x, y)


@pytest.mark.parametrize("mod", ["Voxstep", "Voxstep4"])
def test_flags_off_change_nothing(device, mod):
    m = Voxstep if mod == "Voxstep" else Voxstep4
    E, tables = (make_real if mod == "Voxstep" else make_complex)(SIZES, seed=5)
    got, _ = run(m, E, tables, (0, 0), True, device)
    for g, e in zip(got, E):
        assert np.array_equal(g, e)


def test_x_only_writes_exactly_the_x_ghost_planes(device):
    NS, NM, Nx, Ny, Nz, NC = SIZES
    E, tables = make_real(SIZES, seed=7)
    (Ex, Ey, Ez), _ = run(Voxstep, E, tables, (1, 0), True, device)
    assert np.array_equal(Ex, E[0])
    for got, e in ((Ey, E[1]), (Ez, E[2])):
        changed = np.any(got != e, axis=(0, 1, 5))  # [i, a, b]
        assert not changed[1:Nx].any()  # interior planes untouched
        # every position of planes 0 and Nx is rewritten (random data)
        assert changed[0].all() and changed[Nx].all()


def test_corner_edges_carry_both_factors(device):
    # Periodic in x and y: Ez at (i, j) = (0, 0) ends as Py * Px * Ez(Nx-1, Ny-1).
    NS, NM, Nx, Ny, Nz, NC = SIZES
    H = NC // 2
    E, tables = make_real(SIZES, seed=9)
    (_, _, Ez), _ = run(Voxstep, E, tables, (1, 1), True, device)
    Px = tables[0][:, :H] + 1j * tables[0][:, H:2 * H]
    Py = tables[1][:, :H] + 1j * tables[1][:, H:2 * H]
    src = E[2][:, :, Nx - 1, Ny - 1, :, :H] + 1j * E[2][:, :, Nx - 1, Ny - 1, :, H:2 * H]
    want = (Py * Px)[:, None, None, :] * src
    got = Ez[:, :, 0, 0, :, :H] + 1j * Ez[:, :, 0, 0, :, H:2 * H]
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-5)


def test_empty_periodic_axis_reads_nothing(device):
    # Nx = 0: no interior plane to copy from along x; the x pass writes
    # nothing and the y pass still runs.
    sizes = (1, 1, 0, 4, 3, 2)
    E, tables = make_real(sizes, seed=11)
    got, _ = run(Voxstep, E, tables, (1, 1), True, device)
    want = periodic_ref(E, tables[0], tables[1], (0, 1), True, halves=True)
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, rtol=1e-5, atol=1e-6)


# --- Voxstep4 -------------------------------------------------------------

@pytest.mark.parametrize("flags", FLAGS[:3], ids=["x", "y", "xy"])
@pytest.mark.parametrize("positive", [True, False])
@pytest.mark.parametrize("NC", [1, 2, 3])
def test_complex_matches_reference(device, flags, positive, NC):
    sizes = SIZES[:5] + (NC,)
    E, tables = make_complex(sizes, seed=NC + 20)
    got, _ = run(Voxstep4, E, tables, flags, positive, device)
    want = periodic_ref(E, tables[0], tables[1], flags, positive, halves=False)
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, rtol=1e-5, atol=1e-5)


def test_complex_negative_phase_is_conjugated_table(device):
    E, tables = make_complex(SIZES, seed=13)
    a, _ = run(Voxstep4, E, tables, (1, 1), False, device)
    b, _ = run(Voxstep4, E, [np.conj(t) for t in tables], (1, 1), True, device)
    for x, y in zip(a, b):
        assert np.array_equal(x, y)


def test_complex_unit_phase_copies_and_scaled_phase_scales(device):
    NS, NM, Nx, Ny, Nz, NC = SIZES
    E, tables = make_complex(SIZES, seed=15)
    ones = [np.ones_like(t) for t in tables]
    (_, Ey, _), _ = run(Voxstep4, E, ones, (1, 0), True, device)
    assert np.array_equal(Ey[:, :, 0], E[1][:, :, Nx - 1])
    assert np.array_equal(Ey[:, :, Nx], E[1][:, :, 1])
    twos = [2 * t for t in ones]  # |P| = 2: no normalisation
    (_, Ey, _), _ = run(Voxstep4, E, twos, (1, 0), True, device)
    assert np.array_equal(Ey[:, :, 0], 2 * E[1][:, :, Nx - 1])


# --- checks ----------------------------------------------------------------

@pytest.mark.parametrize("mod", ["Voxstep", "Voxstep4"])
@pytest.mark.parametrize("pos,name", [(3, "phase_x"), (4, "phase_y"), (5, "periodic"),
                                      (1, "Ey"), (2, "Ez")])
def test_extent_errors_modify_nothing(device, mod, pos, name):
    m = Voxstep if mod == "Voxstep" else Voxstep4
    E, tables = (make_real if mod == "Voxstep" else make_complex)(SIZES, seed=17)
    args = [torch.as_tensor(a).clone().to(device) for a in E + tables]
    args.append(torch.ones(2, dtype=torch.int32, device=device))
    if name == "periodic":
        args[5] = args[5][:1]
    elif name.startswith("phase"):
        args[pos] = args[pos][:, :-1]
    elif name == "Ey":
        args[pos] = args[pos][:, :, :-1]  # needs Nx + 1 planes along i
    else:
        args[pos] = args[pos][:, :, :, :-1]  # Ez needs Ny + 1 planes along j
    before = snapshot(*args)
    with pytest.raises(ValueError, match=name):
        m.Update_E_Periodic(*args, True)
    assert_unchanged(before, args)


@pytest.mark.parametrize("mod,make", [(Voxstep, make_real), (Voxstep4, make_complex)])
@pytest.mark.parametrize("bad", [lambda t: t.to(torch.complex128), lambda t: t[0], lambda t: t[:, :1]],
                         ids=["dtype", "rank", "extent"])
def test_y_pass_tensors_are_checked_before_the_x_pass(device, mod, make, bad):
    E, tables = make(SIZES, seed=19)
    args = [torch.as_tensor(a).clone().to(device) for a in E + tables]
    args.append(torch.ones(2, dtype=torch.int32, device=device))
    args[4] = bad(args[4])
    before = snapshot(*args)
    with pytest.raises((RuntimeError, ValueError), match="Update_E_Periodic: phase_y"):
        mod.Update_E_Periodic(*args, True)
    assert_unchanged(before, args)  # the x ghost planes of Ey, Ez untouched


def test_wrong_rank_phase_x_raises_before_anything(device):
    E, tables = make_real(SIZES, seed=21)
    args = [torch.as_tensor(a).clone().to(device) for a in E + tables]
    args.append(torch.ones(2, dtype=torch.int32, device=device))
    args[3] = args[3][0]
    before = snapshot(*args)
    with pytest.raises(RuntimeError, match="expected 2 dims but tensor has 1"):
        Voxstep.Update_E_Periodic(*args, True)
    assert_unchanged(before, args)
