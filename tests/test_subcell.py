"""Set_weight_subcell: mixing weights that reproduce anisotropic subcell
smoothing of the permittivity along one field component."""
import numpy as np
import pytest
import torch

import Voxstep
from conftest import HAS_CUDA, assert_unchanged, checked, rng, snapshot
from material_reference import set_weight_mat_id, set_weight_subcell

OWN, PREV = 2, 1


def half_filled_cell():
    """Sample point x = 2 (cell [1.5, 2.5]) inside a map of pitch 0.5 whose
    voxels are filled up to x = 2: half the cell in fill 1, half in fill 0."""
    coords = [np.arange(5, dtype=np.float32), np.arange(3, dtype=np.float32),
              np.arange(3, dtype=np.float32)]
    boxes = [[0, 4], [-5, 5], [-5, 5]]
    vox = np.zeros((1, 8, 1, 1), dtype=np.float32)
    vox[0, :4] = 1
    return boxes, vox, coords


def call(boxes, vox, coords, weight, mat_id, id_map, prev_id_map, normal, er_table,
         component, device):
    d = device
    t = lambda a, dt=torch.float32: torch.tensor(np.asarray(a), dtype=dt, device=d)  # noqa
    weight_t = t(weight)
    ranges = checked(Voxstep, "Set_weight_subcell", d)(
        *[torch.tensor(b, dtype=torch.float32) for b in boxes], t(vox), *map(t, coords),
        weight_t, mat_id, t(id_map, torch.uint8), t(prev_id_map, torch.uint8), t(normal),
        t(er_table), component)
    return weight_t.cpu().numpy(), [tuple(r.tolist()) for r in ranges]


def owned_point_setup(shape, point, n_vec, table=(0.0, 1.0, 4.0)):
    weight = np.full(shape, 0.3, dtype=np.float32)
    id_map = np.zeros(shape, dtype=np.uint8)
    prev = np.full(shape, PREV, dtype=np.uint8)
    id_map[point] = OWN
    normal = np.zeros((*shape, 3), dtype=np.float32)
    normal[point] = n_vec
    return weight, id_map, prev, normal, np.array(table, dtype=np.float32)


@pytest.mark.parametrize(
    "n_vec, component, e_eff",
    [
        ((1, 0, 0), 0, 1.6),   # normal along the component: harmonic mean 1/B
        ((0, 1, 0), 0, 2.5),   # perpendicular: arithmetic mean A
        ((0, 1, 0), 1, 1.6),
        ((0, 0, 1), 7, 1.6),   # any component past 1 selects z
        ((0.6, 0, 0.8), 2, 1 / (0.625 * 0.64 + 0.36 / 2.5)),
    ],
)
def test_worked_example(n_vec, component, e_eff, device):
    boxes, vox, coords = half_filled_cell()
    point = (0, 2, 1, 1)
    args = owned_point_setup((1, 5, 3, 3), point, n_vec)
    w, ranges = call(boxes, vox, coords, args[0], OWN, *args[1:], component, device)
    assert ranges == [(0, 4), (0, 2), (0, 2)]
    assert w[point] == pytest.approx((e_eff - 1) / 3.0001, rel=2e-5)
    # points the object does not own keep their weight
    assert (np.delete(w.ravel(), np.ravel_multi_index(point, w.shape)) == np.float32(0.3)).all()


def test_point_fully_inside_and_point_outside_the_map(device):
    coords = [np.arange(6, dtype=np.float32)] * 3
    boxes = [[0.5, 2.5], [-1, 9], [-1, 9]]
    vox = np.ones((1, 4, 1, 1), dtype=np.float32)
    shape = (1, 6, 6, 6)
    weight, id_map, prev, normal, table = owned_point_setup(shape, (0, 1, 2, 2), (0, 0, 1))
    id_map[0, 4, 2, 2] = OWN  # owned (by an earlier call), but its cell misses the map
    w, _ = call(boxes, vox, coords, weight, OWN, id_map, prev, normal, table, 2, device)
    assert w[0, 1, 2, 2] == pytest.approx(3 / 3.0001, rel=1e-5)  # e_eff = e_own
    assert w[0, 4, 2, 2] == pytest.approx(0, abs=1e-6)  # e_eff = e_prev


@pytest.mark.parametrize(
    "table, start, rounded",
    [
        ((0.0, -1.0, 4.0), 0.5, 1.0),   # displaced permittivity negative
        ((0.0, 1.0, -4.0), 0.49, 0.0),  # owner negative
        ((0.0, 0.0, 4.0), 0.5, 1.0),    # zero counts as non-positive
    ],
)
def test_non_positive_permittivity_only_rounds(table, start, rounded, device):
    boxes, vox, coords = half_filled_cell()
    point = (0, 2, 1, 1)
    weight, id_map, prev, normal, table = owned_point_setup((1, 5, 3, 3), point, (1, 0, 0),
                                                            table)
    weight[point] = start
    w, _ = call(boxes, vox, coords, weight, OWN, id_map, prev, normal, table, 0, device)
    assert w[point] == rounded


def paint_then_refine(seed, mat_id, device, NM=2, component=1):
    g = rng(seed)
    coords = [np.cumsum(g.uniform(0.4, 1.2, n)).astype(np.float32) - 1 for n in (6, 5, 7)]
    shape = (NM, *[len(c) for c in coords])
    weight = np.zeros(shape, dtype=np.float32)
    id_map = np.full(shape, 1, dtype=np.uint8)
    prev = np.full(shape, 1, dtype=np.uint8)
    boxes = []
    for c in coords:
        lo = g.uniform(c[0] - 1.5, c[-1] - 1)
        boxes.append(np.array([lo, lo + g.uniform(1, 5)], dtype=np.float32))
    vox = (g.uniform(0, 1, (NM, *g.integers(2, 6, 3))) > 0.4).astype(np.float32)
    set_weight_mat_id(boxes, vox, coords, mat_id, weight, id_map, prev)
    n = g.normal(size=(*shape, 3))
    normal = (n / np.linalg.norm(n, axis=-1, keepdims=True)).astype(np.float32)
    table = np.zeros(mat_id % 256 + 1, dtype=np.float32)
    table[1], table[mat_id % 256] = 1.5, 6.0
    args = (boxes, vox, coords, weight, mat_id, id_map, prev, normal, table, component)
    w, _ = call(*args, device)
    ref = weight.astype(np.float64)
    set_weight_subcell(boxes, vox, coords, ref, mat_id, id_map, prev, normal, table, component)
    return w, ref, id_map


@pytest.mark.parametrize("seed", range(4))
def test_random_objects_match_the_reference(seed, device):
    w, ref, id_map = paint_then_refine(seed, 3, device, component=seed % 3)
    assert (id_map == 3).sum() > 0
    np.testing.assert_allclose(w, ref, rtol=5e-5, atol=5e-6)


@pytest.mark.parametrize("mat_id", [300, 259])
def test_ids_above_255_are_refined_like_their_stored_byte(mat_id, device):
    # Painted with 300, stored as 44: the refinement must still find it.
    w, ref, id_map = paint_then_refine(1, mat_id, device)
    owned = id_map == mat_id % 256
    assert owned.sum() > 0
    np.testing.assert_allclose(w, ref, rtol=5e-5, atol=5e-6)
    # the same bits as a run that paints and refines with the stored byte itself
    w_byte, _, _ = paint_then_refine(1, mat_id % 256, device)
    np.testing.assert_array_equal(w, w_byte)


def test_zero_volume_cells_use_the_voxel_holding_the_point(device):
    coords = [np.arange(4, dtype=np.float32), np.arange(4, dtype=np.float32),
              np.array([0.5], dtype=np.float32)]
    boxes = [[0, 4], [0, 4], [0, 1]]
    vox = np.zeros((1, 4, 4, 1), dtype=np.float32)
    vox[0, :2] = 1
    shape = (1, 4, 4, 1)
    weight = np.full(shape, 0.5, dtype=np.float32)
    id_map = np.full(shape, OWN, dtype=np.uint8)
    prev = np.full(shape, PREV, dtype=np.uint8)
    normal = np.zeros((*shape, 3), dtype=np.float32)
    table = np.array([0, 1, 4], dtype=np.float32)
    w, _ = call(boxes, vox, coords, weight, OWN, id_map, prev, normal, table, 0, device)
    assert np.isfinite(w).all()
    np.testing.assert_allclose(w[0, :2, :, 0], 3 / 3.0001, rtol=1e-5)  # inside: e_own
    np.testing.assert_allclose(w[0, 2:, :, 0], 0, atol=1e-6)  # fill 0: e_prev


def test_id_beyond_the_table_reads_nan(device):
    boxes, vox, coords = half_filled_cell()
    point = (0, 2, 1, 1)
    weight, id_map, prev, normal, table = owned_point_setup((1, 5, 3, 3), point, (1, 0, 0))
    prev[point] = 17  # the table has 3 entries
    w, _ = call(boxes, vox, coords, weight, OWN, id_map, prev, normal, table, 0, device)
    assert np.isnan(w[point])


def subcell_args(L=4):
    c = torch.arange(float(L))
    return ([torch.tensor([0.0, 3.0])] * 3 + [torch.ones(1, 2, 2, 2), c, c, c,
            torch.zeros(1, L, L, L), 1, torch.ones(1, L, L, L, dtype=torch.uint8),
            torch.zeros(1, L, L, L, dtype=torch.uint8), torch.zeros(1, L, L, L, 3),
            torch.ones(2), 0])


@pytest.mark.parametrize(
    "index, value, error, match",
    [
        (11, torch.zeros(1, 4, 4, 4), RuntimeError, "dims"),            # normal must be 5-D
        (11, torch.zeros(1, 4, 4, 4, 2), ValueError, "normal has shape"),
        (7, torch.zeros(1, 4, 4, 3), ValueError, "weight has shape"),
        (12, torch.ones(2, 1), RuntimeError, "dims"),
        (3, torch.ones(1, 2, 2, 2, dtype=torch.float64), RuntimeError, "scalar type"),
    ],
)
def test_errors_leave_the_weights_untouched(index, value, error, match):
    args = subcell_args()
    args[index] = value
    before = snapshot(args[7])
    with pytest.raises(error, match=match):
        checked(Voxstep, "Set_weight_subcell", "cpu")(*args)
    assert_unchanged(before, [args[7]])


def test_public_function_refuses_cpu_tensors():
    msg = "Error: Tensor is not on GPU." if HAS_CUDA else "Error: CUDA not available."
    with pytest.raises(RuntimeError, match="^" + msg.replace(".", r"\.") + "$"):
        Voxstep.Set_weight_subcell(*subcell_args())
