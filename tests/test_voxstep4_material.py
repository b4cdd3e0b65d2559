"""Voxstep4's material preparation: per-channel permittivity mixing,
conductivity accumulation and per-channel subcell permittivity."""
import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4
from conftest import HAS_CUDA, assert_unchanged, checked, rng, snapshot
from material_reference import mix, set_er_subcell, set_weight_mat_id


def description(shape, n_ids, seed, device):
    g = rng(seed)
    arrays = (g.uniform(0, 1, shape).astype(np.float32),
              g.integers(0, n_ids, shape).astype(np.uint8),
              g.integers(0, n_ids, shape).astype(np.uint8))
    return arrays, [torch.tensor(a, device=device) for a in arrays]


# ---------------------------------------------------------------- Set_ER_average


@pytest.mark.parametrize("shape, NC", [((1, 4, 3, 5), 1), ((2, 5, 2, 3), 3), ((2, 9, 8, 7), 2)])
def test_er_average_per_channel(shape, NC, device):
    (w, ids, prev), t = description(shape, 5, NC, device)
    table = rng(9).uniform(1, 10, (5, NC)).astype(np.float32)
    er = torch.full((*shape, NC), -1.0, device=device)
    Voxstep4.Set_ER_average(er, *t, torch.tensor(table, device=device))
    np.testing.assert_allclose(er.cpu().numpy(), mix(w, ids, prev, table), rtol=1e-6)


def test_er_average_one_channel_reproduces_voxstep(device):
    shape = (2, 4, 4, 4)
    _, t = description(shape, 6, 4, device)
    table = torch.tensor(rng(2).uniform(1, 5, 6), dtype=torch.float32, device=device)
    real = torch.zeros(shape, device=device)
    Voxstep.Set_ER_average(real, *t, table)
    cplx = torch.zeros(*shape, 1, device=device)
    Voxstep4.Set_ER_average(cplx, *t, table[:, None])
    assert torch.equal(real, cplx[..., 0])


@pytest.mark.parametrize("w, expected", [(1.0, [8.0, 5.0]), (0.0, [2.0, 7.0])])
def test_er_average_channels_differ(w, expected, device):
    shape = (1, 2, 2, 2)
    er = torch.zeros(*shape, 3, device=device)  # a third channel the table does not cover
    Voxstep4.Set_ER_average(er, torch.full(shape, w, device=device),
                            torch.ones(shape, dtype=torch.uint8, device=device),
                            torch.zeros(shape, dtype=torch.uint8, device=device),
                            torch.tensor([[2.0, 7.0], [8.0, 5.0]], device=device))
    assert (er[..., :2] == torch.tensor(expected, device=device)).all()
    assert (er[..., 2] == 0).all()


def test_er_average_id_beyond_the_table_reads_nan(device):
    shape = (1, 2, 1, 1)
    ids = torch.tensor([0, 9], dtype=torch.uint8, device=device).reshape(shape)
    er = torch.zeros(*shape, 2, device=device)
    Voxstep4.Set_ER_average(er, torch.ones(shape, device=device), ids, torch.zeros_like(ids),
                            torch.ones(3, 2, device=device))
    assert (er[0, 0] == 1).all() and torch.isnan(er[0, 1]).all()


@pytest.mark.parametrize(
    "index, value, error, match",
    [
        (0, torch.zeros(1, 3, 3, 3, 1), ValueError, "er has shape"),  # NC = 2 > 1
        (1, torch.zeros(1, 3, 3, 2), ValueError, "weight has shape"),
        (4, torch.ones(4), RuntimeError, "Set_ER_average: er_table must be 2-D"),
        (0, torch.zeros(1, 3, 3, 3), RuntimeError, "dims"),
    ],
)
def test_er_average_errors(index, value, error, match):
    shape = (1, 3, 3, 3)
    args = [torch.full((*shape, 2), 5.0), torch.ones(shape), torch.zeros(shape, dtype=torch.uint8),
            torch.zeros(shape, dtype=torch.uint8), torch.ones(4, 2)]
    args[index] = value
    before = snapshot(args[0])
    with pytest.raises(error, match=match or None):
        Voxstep4.Set_ER_average(*args)
    assert_unchanged(before, [args[0]])


# ------------------------------------------------------------- Set_sigma_average


def test_sigma_average_accumulates(device):
    shape = (2, 3, 4, 5)
    (w, ids, prev), t = description(shape, 4, 11, device)
    table = np.array([0.0, 2.0, 0.5, 3.0], dtype=np.float32)
    start = rng(1).uniform(0, 1, shape).astype(np.float32)
    sigma = torch.tensor(start, device=device)
    Voxstep4.Set_sigma_average(sigma, *t, torch.tensor(table, device=device))
    np.testing.assert_allclose(sigma.cpu().numpy(), start + mix(w, ids, prev, table), rtol=1e-6)
    Voxstep4.Set_sigma_average(sigma, *t, torch.tensor(table, device=device))
    np.testing.assert_allclose(sigma.cpu().numpy(), start + 2 * mix(w, ids, prev, table),
                               rtol=1e-6)


@pytest.mark.parametrize("w, added", [(1.0, 2.0), (0.5, 1.0), (0.0, 0.0)])
def test_sigma_average_weights(w, added, device):
    shape = (1, 2, 2, 2)
    sigma = torch.zeros(shape, device=device)
    args = (torch.full(shape, w, device=device), torch.ones(shape, dtype=torch.uint8,
            device=device), torch.zeros(shape, dtype=torch.uint8, device=device),
            torch.tensor([0.0, 2.0], device=device))
    Voxstep4.Set_sigma_average(sigma, *args)
    assert (sigma == added).all()
    Voxstep4.Set_sigma_average(sigma, *args)
    assert (sigma == 2 * added).all()


def test_sigma_average_errors():
    shape = (1, 3, 3, 3)
    sigma = torch.ones(shape)
    with pytest.raises(ValueError, match="id_map has shape"):
        Voxstep4.Set_sigma_average(sigma, torch.ones(shape), torch.zeros(1, 2, 3, 3,
                                   dtype=torch.uint8), torch.zeros(shape, dtype=torch.uint8),
                                   torch.ones(2))
    assert (sigma == 1).all()


# ---------------------------------------------------------------- Set_ER_subcell

OWN, PREV = 2, 1


def call_subcell(boxes, vox, coords, er, mat_id, id_map, prev, normal, table, component,
                 device):
    d = device
    t = lambda a, dt=torch.float32: torch.tensor(np.asarray(a), dtype=dt, device=d)  # noqa
    er_t = t(er)
    ranges = checked(Voxstep4, "Set_ER_subcell", d)(
        *[torch.tensor(b, dtype=torch.float32) for b in boxes], t(vox), *map(t, coords), er_t,
        mat_id, t(id_map, torch.uint8), t(prev, torch.uint8), t(normal), t(table), component)
    return er_t.cpu().numpy(), [tuple(r.tolist()) for r in ranges]


def half_filled(table, n_vec, NC):
    """Point x = 2 (cell [1.5, 2.5]) half in fill-1, half in fill-0 voxels."""
    coords = [np.arange(5, dtype=np.float32), np.arange(3, dtype=np.float32),
              np.arange(3, dtype=np.float32)]
    boxes = [[0, 4], [-5, 5], [-5, 5]]
    vox = np.zeros((1, 8, 1, 1), dtype=np.float32)
    vox[0, :4] = 1
    shape = (1, 5, 3, 3)
    er = np.full((*shape, NC), -7.0, dtype=np.float32)
    id_map = np.zeros(shape, dtype=np.uint8)
    id_map[0, 2, 1, 1] = OWN
    prev = np.full(shape, PREV, dtype=np.uint8)
    normal = np.zeros((*shape, 3), dtype=np.float32)
    normal[0, 2, 1, 1] = n_vec
    return boxes, vox, coords, er, id_map, prev, normal, np.array(table, dtype=np.float32)


@pytest.mark.parametrize("n_vec, component, expected", [((1, 0, 0), 0, 1.6), ((1, 0, 0), 1, 2.5),
                                                         ((0, 0, 1), 7, 1.6)])
def test_er_subcell_worked_example(n_vec, component, expected, device):
    boxes, vox, coords, er, ids, prev, normal, table = half_filled(
        [[0, 0], [1, 2], [4, 8]], n_vec, 2)
    out, ranges = call_subcell(boxes, vox, coords, er, OWN, ids, prev, normal, table, component,
                               device)
    assert ranges == [(0, 4), (0, 2), (0, 2)]
    assert out[0, 2, 1, 1, 0] == pytest.approx(expected, rel=2e-5)
    # channel 1 is the same geometry with twice the permittivities
    assert out[0, 2, 1, 1, 1] == pytest.approx(2 * expected, rel=2e-5)
    mask = np.ones(out.shape[:4], bool)
    mask[0, 2, 1, 1] = False
    assert (out[mask] == -7).all()  # points the object does not own are untouched


@pytest.mark.parametrize(
    "table, expected",
    [
        ([[0, 0], [-1, 1], [4, 4]], [4.0, 1.6]),   # displaced negative in channel 0 only
        ([[0, 0], [1, 1], [-4, 4]], [-4.0, 1.6]),  # owner negative in channel 0 only
        ([[0, 0], [0, 1], [4, 4]], [4.0, 1.6]),    # a zero displaced value: owner's value
        ([[0, 0], [1, 1], [0, 4]], [0.0, 1.6]),    # a zero owner value: itself
    ],
)
def test_er_subcell_non_positive_shortcut_is_per_channel(table, expected, device):
    args = half_filled(table, (1, 0, 0), 2)
    out, _ = call_subcell(*args[:4], OWN, *args[4:], 0, device)
    np.testing.assert_allclose(out[0, 2, 1, 1], expected, rtol=2e-5)


def test_er_subcell_inside_and_outside_the_map(device):
    coords = [np.arange(6, dtype=np.float32)] * 3
    boxes = [[0.5, 2.5], [-1, 9], [-1, 9]]
    vox = np.ones((1, 4, 1, 1), dtype=np.float32)
    shape = (1, 6, 6, 6)
    er = np.zeros((*shape, 1), dtype=np.float32)
    ids = np.zeros(shape, dtype=np.uint8)
    ids[0, 1, 2, 2] = ids[0, 4, 2, 2] = OWN
    prev = np.full(shape, PREV, dtype=np.uint8)
    normal = np.zeros((*shape, 3), dtype=np.float32)
    normal[..., 0] = 1
    table = np.array([[0], [1.5], [5.0]], dtype=np.float32)
    out, _ = call_subcell(boxes, vox, coords, er, OWN, ids, prev, normal, table, 0, device)
    assert out[0, 1, 2, 2, 0] == pytest.approx(5.0, rel=1e-5)
    assert out[0, 4, 2, 2, 0] == pytest.approx(1.5, rel=1e-5)


@pytest.mark.parametrize("seed, mat_id", [(0, 3), (1, 3), (2, 300), (3, 44)])
def test_er_subcell_random_objects(seed, mat_id, device):
    g = rng(seed)
    NM, NC = 2, 3
    coords = [np.cumsum(g.uniform(0.4, 1.2, n)).astype(np.float32) - 1 for n in (6, 7, 5)]
    shape = (NM, *[len(c) for c in coords])
    weight = np.zeros(shape, dtype=np.float32)
    ids = np.full(shape, 1, dtype=np.uint8)
    prev = np.full(shape, 1, dtype=np.uint8)
    boxes = []
    for c in coords:
        lo = g.uniform(c[0] - 1.5, c[-1] - 1)
        boxes.append(np.array([lo, lo + g.uniform(1, 5)], dtype=np.float32))
    vox = g.uniform(0, 1, (NM, *g.integers(2, 6, 3))).astype(np.float32)
    set_weight_mat_id(boxes, vox, coords, mat_id, weight, ids, prev)
    assert (ids == mat_id % 256).sum() > 0
    n = g.normal(size=(*shape, 3))
    normal = (n / np.linalg.norm(n, axis=-1, keepdims=True)).astype(np.float32)
    table = g.uniform(1, 9, (mat_id % 256 + 1, NC)).astype(np.float32)
    table[1, 2] = -3.0  # channel 2: negative displaced value
    er = g.uniform(0, 1, (*shape, NC)).astype(np.float32)
    out, _ = call_subcell(boxes, vox, coords, er, mat_id, ids, prev, normal, table, seed % 3,
                          device)
    ref = er.astype(np.float64)
    set_er_subcell(boxes, vox, coords, ref, mat_id, ids, prev, normal, table, seed % 3)
    np.testing.assert_allclose(out, ref, rtol=5e-5, atol=5e-6)


def subcell_args(L=4):
    c = torch.arange(float(L))
    return ([torch.tensor([0.0, 3.0])] * 3 + [torch.ones(1, 2, 2, 2), c, c, c,
            torch.zeros(1, L, L, L, 2), 1, torch.ones(1, L, L, L, dtype=torch.uint8),
            torch.zeros(1, L, L, L, dtype=torch.uint8), torch.zeros(1, L, L, L, 3),
            torch.ones(2, 2), 0])


@pytest.mark.parametrize(
    "index, value, error, match",
    [
        (7, torch.zeros(1, 4, 4, 4, 1), ValueError, "er has shape"),  # shorter than NC
        (7, torch.zeros(1, 4, 4, 4), RuntimeError, "dims"),
        (11, torch.zeros(1, 4, 4, 3, 3), ValueError, "normal has shape"),
        (12, torch.ones(2), RuntimeError, "Set_ER_subcell: er_table must be 2-D"),
        (9, torch.ones(1, 4, 4, 4), RuntimeError, "scalar type"),
    ],
)
def test_er_subcell_errors_leave_er_untouched(index, value, error, match):
    args = subcell_args()
    args[index] = value
    before = snapshot(args[7])
    with pytest.raises(error, match=match):
        checked(Voxstep4, "Set_ER_subcell", "cpu")(*args)
    assert_unchanged(before, [args[7]])


def test_er_subcell_public_function_refuses_cpu_tensors():
    msg = "Error: Tensor is not on GPU." if HAS_CUDA else "Error: CUDA not available."
    with pytest.raises(RuntimeError, match="^" + msg.replace(".", r"\.") + "$"):
        Voxstep4.Set_ER_subcell(*subcell_args())
