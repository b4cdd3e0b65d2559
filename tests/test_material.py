"""Set_weight_mat_id (painting objects into the material description) and
Voxstep's Set_ER_average (table mixing)."""
import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4
from conftest import HAS_CUDA, assert_unchanged, checked, rng, snapshot
from material_reference import mix, set_weight_mat_id


class Material:
    """Material description on a sample grid, as NumPy and device tensors."""

    def __init__(self, coords, NM=1, background=0, device="cpu", seed=0):
        self.coords = [np.asarray(c, dtype=np.float32) for c in coords]
        shape = (NM, *[len(c) for c in coords])
        g = rng(seed)
        self.weight = g.uniform(0, 1, shape).astype(np.float32)
        self.id_map = np.full(shape, background, dtype=np.uint8)
        self.prev_id_map = g.integers(0, 5, shape).astype(np.uint8)
        self.device = device
        self.t = [torch.tensor(a, device=device)
                  for a in (self.weight, self.id_map, self.prev_id_map)]

    def paint(self, boxes, vox, mat_id, module=Voxstep):
        boxes = [np.asarray(b, dtype=np.float32) for b in boxes]
        vox = np.asarray(vox, dtype=np.float32)
        d = self.device
        checked(module, "Set_weight_mat_id", d)(
            *[torch.tensor(b) for b in boxes], torch.tensor(vox, device=d),
            *[torch.tensor(c, device=d) for c in self.coords], mat_id, *self.t)
        set_weight_mat_id(boxes, vox, self.coords, mat_id, self.weight, self.id_map,
                          self.prev_id_map)

    def check(self, atol=2e-6):
        w, i, p = (t.cpu().numpy() for t in self.t)
        np.testing.assert_array_equal(i, self.id_map)
        np.testing.assert_array_equal(p, self.prev_id_map)
        np.testing.assert_allclose(w, self.weight, rtol=2e-5, atol=atol)


def grid(n=6):
    return [np.arange(n, dtype=np.float32)] * 3


def test_full_and_half_covered_points(device):
    # Fill 1 on x in [0, 2.5): point 1 (cell [0.5, 1.5]) is covered, point 2
    # ([1.5, 2.5]) too, point 3 ([2.5, 3.5]) misses; shift by half a cell:
    mat = Material(grid(), device=device)
    mat.paint([[0, 3], [-1, 9], [-1, 9]], np.ones((1, 3, 1, 1)), 7)
    w, ids = mat.t[0].cpu().numpy(), mat.t[1].cpu().numpy()
    assert w[0, 1, 2, 2] == pytest.approx(1.0) and ids[0, 1, 2, 2] == 7
    assert w[0, 3, 2, 2] == pytest.approx(0.5) and ids[0, 3, 2, 2] == 7
    assert ids[0, 4, 2, 2] == 0
    mat.check()


@pytest.mark.parametrize("mat_id, stored", [(5, 5), (255, 255), (256, 0), (300, 44)])
def test_only_the_low_byte_of_mat_id_is_stored(mat_id, stored, device):
    mat = Material(grid(4), device=device)
    mat.paint([[0, 3]] * 3, np.ones((1, 2, 2, 2)), mat_id)
    assert (mat.t[1].cpu().numpy()[0, 1:3, 1:3, 1:3] == stored).all()
    mat.check()


def test_painting_twice_displaces_the_object_itself(device):
    mat = Material(grid(), background=9, device=device)
    box = [[0.5, 3.5], [1, 4], [0, 5]]
    mat.paint(box, np.ones((1, 3, 3, 5)), 4)
    mat.paint(box, np.ones((1, 3, 3, 5)), 4)
    ids, prev = mat.t[1].cpu().numpy(), mat.t[2].cpu().numpy()
    covered = ids == 4
    assert covered.sum() > 0 and (prev[covered] == 4).all()
    mat.check()


def test_empty_fill_changes_nothing(device):
    mat = Material(grid(), device=device)
    before = snapshot(*mat.t)
    mat.paint([[0, 5]] * 3, np.zeros((1, 4, 4, 4)), 3)
    assert_unchanged(before, mat.t)


@pytest.mark.parametrize("seed", range(4))
def test_random_objects_in_order_nm2(seed, device):
    g = rng(seed)
    coords = [np.cumsum(g.uniform(0.3, 1.2, n)).astype(np.float32) - 1 for n in (7, 5, 6)]
    mat = Material(coords, NM=2, background=1, device=device, seed=seed)
    for obj in range(3):
        boxes = []
        for c in coords:
            lo = g.uniform(c[0] - 2, c[-1] - 0.5)
            boxes.append([lo, lo + g.uniform(0.3, 5)])
        vox = g.uniform(-0.2, 1, (2, *g.integers(1, 5, 3))).clip(0, 1)
        mat.paint(boxes, vox, 10 + obj)
    mat.check()


def test_voxstep4_paints_alike(device):
    a, b = Material(grid(), device=device), Material(grid(), device=device)
    vox = rng(1).uniform(0, 1, (1, 3, 2, 3))
    a.paint([[0.2, 4.1], [1, 3], [0, 4]], vox, 8, Voxstep)
    b.paint([[0.2, 4.1], [1, 3], [0, 4]], vox, 8, Voxstep4)
    for x, y in zip(a.t, b.t):
        assert torch.equal(x, y)


def paint_args(L=4, NM=1):
    c = torch.arange(float(L))
    return ([torch.tensor([0.0, 3.0])] * 3 + [torch.ones(NM, 2, 2, 2), c, c, c, 1,
            torch.zeros(NM, L, L, L), torch.zeros(NM, L, L, L, dtype=torch.uint8),
            torch.zeros(NM, L, L, L, dtype=torch.uint8)])


@pytest.mark.parametrize(
    "index, value, error, match",
    [
        (8, torch.zeros(1, 4, 4, 3), ValueError, "weight has shape"),
        (9, torch.zeros(1, 3, 4, 4, dtype=torch.uint8), ValueError, "id_map has shape"),
        (10, torch.zeros(1, 4, 4, 4), RuntimeError, "scalar type"),
        (10, torch.zeros(2, 4, 4, dtype=torch.uint8), RuntimeError, "dims"),
        (3, torch.ones(2, 2, 2, 2), ValueError, "has shape"),  # NM = 2 but maps hold 1
        (1, torch.tensor([0.0]), ValueError, "box_y must hold exactly two"),
        (3, torch.ones(1, 2, 0, 2), ValueError, "at least one voxel"),
    ],
)
def test_errors_leave_the_description_untouched(index, value, error, match):
    args = paint_args()
    args[index] = value
    before = snapshot(*args[8:])
    with pytest.raises(error, match=match):
        checked(Voxstep, "Set_weight_mat_id", "cpu")(*args)
    assert_unchanged(before, args[8:])


@pytest.mark.parametrize("module", [Voxstep, Voxstep4])
def test_public_function_refuses_cpu_tensors(module):
    msg = "Error: Tensor is not on GPU." if HAS_CUDA else "Error: CUDA not available."
    args = paint_args()
    before = snapshot(*args[8:])
    with pytest.raises(RuntimeError, match="^" + msg.replace(".", r"\.") + "$"):
        module.Set_weight_mat_id(*args)
    assert_unchanged(before, args[8:])


# ---------------------------------------------------------------- Set_ER_average


def er_inputs(shape, n_ids, seed, device):
    g = rng(seed)
    w = g.uniform(0, 1, shape).astype(np.float32)
    ids = g.integers(0, n_ids, shape).astype(np.uint8)
    prev = g.integers(0, n_ids, shape).astype(np.uint8)
    table = g.uniform(1, 12, n_ids).astype(np.float32)
    return (w, ids, prev, table), [torch.tensor(a, device=device) for a in (w, ids, prev, table)]


@pytest.mark.parametrize("shape", [(1, 5, 4, 3), (2, 3, 1, 7), (2, 17, 9, 5)])
def test_set_er_average_matches_the_mixture(shape, device):
    (w, ids, prev, table), t = er_inputs(shape, 6, sum(shape), device)
    er = torch.full(shape, -1.0, device=device)
    Voxstep.Set_ER_average(er, *t)
    np.testing.assert_allclose(er.cpu().numpy(), mix(w, ids, prev, table), rtol=1e-6)


@pytest.mark.parametrize("w, expected", [(1.0, 8.0), (0.0, 2.0), (0.25, 3.5)])
def test_set_er_average_weights(w, expected, device):
    shape = (1, 2, 2, 2)
    er = torch.zeros(shape, device=device)
    Voxstep.Set_ER_average(er, torch.full(shape, w, device=device),
                           torch.full(shape, 1, dtype=torch.uint8, device=device),
                           torch.full(shape, 0, dtype=torch.uint8, device=device),
                           torch.tensor([2.0, 8.0], device=device))
    assert (er == expected).all()


def test_set_er_average_equal_ids_give_the_table_value(device):
    (w, ids, _, table), t = er_inputs((2, 4, 4, 4), 5, 3, device)
    er = torch.zeros(2, 4, 4, 4, device=device)
    Voxstep.Set_ER_average(er, t[0], t[1], t[1], t[3])
    np.testing.assert_allclose(er.cpu().numpy(), table[ids], rtol=1e-6)


def test_set_er_average_strided_and_oversized_inputs(device):
    (w, ids, prev, table), t = er_inputs((1, 6, 5, 4), 4, 5, device)
    er = torch.zeros(1, 4, 5, 6, device=device).permute(0, 3, 2, 1)  # strided view
    big_w = torch.zeros(1, 8, 5, 4, device=device)
    big_w[:, :6] = t[0]
    weight = big_w.expand(2, 8, 5, 4)  # stride 0 along the structure axis
    Voxstep.Set_ER_average(er, weight, t[1], t[2], t[3])
    np.testing.assert_allclose(er.cpu().numpy(), mix(w, ids, prev, table), rtol=1e-6)


def test_set_er_average_short_table_and_ids_beyond_it(device):
    # A table needs entries only for the ids in use; an id past its end reads NaN.
    shape = (1, 2, 2, 2)
    ids = torch.zeros(shape, dtype=torch.uint8, device=device)
    ids[0, 1, 1, 1] = 200
    er = torch.zeros(shape, device=device)
    Voxstep.Set_ER_average(er, torch.ones(shape, device=device), ids,
                           torch.zeros(shape, dtype=torch.uint8, device=device),
                           torch.tensor([3.0], device=device))
    out = er.cpu().numpy()
    assert np.isnan(out[0, 1, 1, 1]) and (out.ravel()[:-1] == 3.0).all()


@pytest.mark.parametrize(
    "index, value, error, match",
    [
        (1, torch.zeros(1, 3, 3, 2), ValueError, "weight has shape"),
        (3, torch.zeros(1, 3, 2, 3, dtype=torch.uint8), ValueError, "prev_id_map has shape"),
        (2, torch.zeros(1, 3, 3, 3, dtype=torch.int32), RuntimeError, "scalar type"),
        (4, torch.zeros(4, 1), RuntimeError, "dims"),
    ],
)
def test_set_er_average_errors_leave_er_untouched(index, value, error, match):
    shape = (1, 3, 3, 3)
    args = [torch.full(shape, 5.0), torch.ones(shape), torch.zeros(shape, dtype=torch.uint8),
            torch.zeros(shape, dtype=torch.uint8), torch.ones(4)]
    args[index] = value
    with pytest.raises(error, match=match):
        Voxstep.Set_ER_average(*args)
    assert (args[0] == 5.0).all()
