"""Mat_average: the overlap average of a voxel map over each sample cell."""
import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4
from conftest import HAS_CUDA, checked, rng
from material_reference import mat_average


def run(boxes, vox, coords, device, module=Voxstep, dtype=torch.float32):
    fn = checked(module, "Mat_average", device)
    t = lambda a: torch.as_tensor(np.asarray(a), dtype=dtype).to(device)  # noqa: E731
    out = fn(*[t(b) for b in boxes], t(vox), *[t(c) for c in coords])
    averaged, *ranges = out
    assert averaged.device.type == torch.device(device).type
    return averaged.cpu().numpy(), [tuple(r.tolist()) for r in ranges]


def wide(n=3):
    return np.arange(n, dtype=np.float64)


def test_worked_overlap_example_gives_two(device):
    # Voxels of pitch 0.5 from x0 = 0.25 hold 1, 2, 3; point x = 1 has the
    # cell [0.5, 1.5]: overlaps 0.25, 0.5, 0.25 of the cell.
    coords = [np.array([0.0, 1.0, 2.0]), wide(), wide()]
    boxes = [[0.25, 1.75], [-10, 10], [-10, 10]]
    vox = np.array([1.0, 2.0, 3.0]).reshape(1, 3, 1, 1)
    avg, ranges = run(boxes, vox, coords, device)
    assert ranges == [(0, 2), (0, 2), (0, 2)]
    assert avg[0, 1, 1, 1] == pytest.approx(2.0, rel=1e-6)
    np.testing.assert_allclose(avg, mat_average(boxes, vox, coords)[0], rtol=1e-6, atol=1e-7)


def test_cell_half_outside_the_map_gets_half(device):
    # Map of value 1 ending at x = 1: the cell [0.5, 1.5] is half covered.
    coords = [np.array([0.0, 1.0, 2.0]), wide(), wide()]
    avg, _ = run([[-3, 1], [-10, 10], [-10, 10]], np.ones((1, 4, 1, 1)), coords, device)
    assert avg[0, 1, 1, 1] == pytest.approx(0.5, rel=1e-6)
    # The first point's half cell [0, 0.5] lies inside; the last one's [1.5, 2] outside.
    assert avg[0, 0, 1, 1] == pytest.approx(1.0, rel=1e-6)
    assert avg[0, 2, 1, 1] == 0


def test_cell_inside_one_voxel_gets_its_value(device):
    coords = [np.linspace(0, 1, 11)] * 3
    vox = np.arange(8, dtype=np.float64).reshape(1, 2, 2, 2) + 1
    avg, (rx, ry, rz) = run([[0, 2]] * 3, vox, coords, device)
    # point 3 (x = 0.3): cell [0.25, 0.35] lies in voxel 0 of pitch 1
    assert avg[0, 3 - rx[0], 3 - ry[0], 3 - rz[0]] == pytest.approx(1.0)


def test_box_outside_the_grid_gives_zeros(device):
    coords = [wide(5)] * 3
    avg, ranges = run([[10, 11]] * 3, np.ones((1, 2, 2, 2)), coords, device)
    assert ranges == [(4, 4)] * 3 and avg.shape == (1, 1, 1, 1) and avg.max() == 0


@pytest.mark.parametrize("seed", range(5))
def test_random_boxes_straddling_the_grid_edges(seed, device):
    g = rng(seed)
    coords = [np.cumsum(g.uniform(0.3, 1.2, g.integers(3, 9))).astype(np.float32) - 2
              for _ in range(3)]
    boxes = []
    for c in coords:
        lo = g.uniform(c[0] - 2, c[-1] - 0.5)
        boxes.append(np.array([lo, lo + g.uniform(0.5, 6)], dtype=np.float32))
    vox = g.uniform(0, 2, (2, *g.integers(1, 6, 3))).astype(np.float32)  # NM = 2
    avg, ranges = run(boxes, vox, coords, device)
    ref, ref_ranges = mat_average(boxes, vox, coords)
    assert ranges == ref_ranges
    np.testing.assert_allclose(avg, ref, rtol=2e-5, atol=2e-6)


def test_double_default_dtype_gives_a_double_result(device):
    old = torch.get_default_dtype()
    torch.set_default_dtype(torch.float64)
    try:
        g = rng(7)
        coords = [np.cumsum(g.uniform(0.3, 1.0, 6)) for _ in range(3)]
        boxes = [[c[1] - 0.2, c[-2] + 0.3] for c in coords]
        vox = g.uniform(0, 1, (2, 3, 4, 2))
        fn = checked(Voxstep, "Mat_average", device)
        t = lambda a: torch.tensor(np.asarray(a), dtype=torch.float64, device=device)  # noqa
        averaged = fn(*map(t, boxes), t(vox), *map(t, coords))[0]
        assert averaged.dtype == torch.float64
        np.testing.assert_allclose(averaged.cpu().numpy(), mat_average(boxes, vox, coords)[0],
                                   rtol=2e-6, atol=1e-6)
    finally:
        torch.set_default_dtype(old)


def test_unsupported_default_dtype_is_not_implemented():
    old = torch.get_default_dtype()
    try:
        torch.set_default_dtype(torch.float16)
    except (TypeError, RuntimeError):
        pytest.skip("this torch refuses float16 as the default dtype")
    try:
        c = torch.arange(4.0)
        with pytest.raises(NotImplementedError, match="Mat_Average_GPU"):
            checked(Voxstep, "Mat_average", "cpu")(c[:2], c[:2], c[:2], torch.ones(1, 1, 1, 1),
                                                   c, c, c)
    finally:
        torch.set_default_dtype(old)


@pytest.mark.parametrize(
    "coords, boxes",
    [
        # single sample point along z: the voxel holding the point
        ([np.arange(3.0), np.arange(3.0), np.array([0.7])], [[0, 3]] * 3),
        # repeated coordinates give zero-width cells at both ends
        ([np.array([0.0, 0.0, 1.0, 2.0, 2.0]), np.arange(3.0), np.arange(3.0)], [[0, 3]] * 3),
        # the point lies outside the map: 0
        ([np.arange(3.0), np.arange(3.0), np.array([5.0])], [[0, 3], [0, 3], [-10, 10]]),
    ],
)
def test_zero_volume_cells_take_the_voxel_holding_the_point(coords, boxes, device):
    vox = (np.arange(27, dtype=np.float64).reshape(1, 3, 3, 3) + 1).astype(np.float32)
    avg, _ = run(boxes, vox, coords, device)
    ref = mat_average(boxes, vox, coords)[0]
    assert np.isfinite(avg).all()
    np.testing.assert_allclose(avg, ref, rtol=1e-6, atol=1e-6)


def test_zero_volume_cell_example(device):
    # z has the single point 0.7 (voxel 0 of pitch 1); x = 2 and y = 1 are
    # inside voxels 2 and 1, but the cell has zero volume: value of voxel (2, 1, 0).
    vox = (np.arange(27, dtype=np.float32).reshape(1, 3, 3, 3) + 1)
    avg, _ = run([[0, 3]] * 3, vox, [np.array([0.0, 2.2, 4.0]), np.arange(3.0), [0.7]], device)
    assert avg[0, 1, 1, 0] == vox[0, 2, 1, 0]


def test_reversed_box_gives_an_empty_window(device):
    coords = [wide(8) * 0.5] * 3
    avg, ranges = run([[3.25, 0.25], [0, 3], [0, 3]], np.ones((1, 2, 2, 2)), coords, device)
    assert ranges[0] == (6, 2) and avg.shape[1] == 0


def test_voxstep4_shares_the_function(device):
    g = rng(3)
    coords = [np.cumsum(g.uniform(0.3, 1.0, 5)).astype(np.float32) for _ in range(3)]
    boxes = [[c[0], c[-1]] for c in coords]
    vox = g.uniform(0, 1, (1, 2, 3, 2)).astype(np.float32)
    a, ra = run(boxes, vox, coords, device, Voxstep)
    b, rb = run(boxes, vox, coords, device, Voxstep4)
    assert ra == rb and np.array_equal(a, b)


def host_args(vox=None):
    c = torch.arange(4.0)
    return [torch.tensor([0.0, 2.0])] * 3 + [torch.ones(1, 2, 2, 2) if vox is None else vox,
                                             c, c, c]


@pytest.mark.parametrize(
    "change, error, match",
    [
        (lambda a: a.__setitem__(0, torch.tensor([0.0, 1.0, 2.0])), ValueError, "box_x"),
        (lambda a: a.__setitem__(3, torch.ones(1, 0, 2, 2)), ValueError, "vox has shape"),
        (lambda a: a.__setitem__(3, torch.ones(2, 2, 2)), ValueError, "vox must be 4-D"),
        (lambda a: a.__setitem__(3, torch.ones(1, 2, 2, 2, dtype=torch.float64)), RuntimeError,
         "scalar type"),
        (lambda a: a.__setitem__(4, torch.zeros(4, 1)), ValueError, "coord_x must be 1-D"),
    ],
)
def test_errors(change, error, match):
    args = host_args()
    change(args)
    with pytest.raises(error, match=match):
        checked(Voxstep, "Mat_average", "cpu")(*args)


@pytest.mark.parametrize("module", [Voxstep, Voxstep4])
def test_public_function_refuses_cpu_tensors(module):
    msg = "Error: Tensor is not on GPU." if HAS_CUDA else "Error: CUDA not available."
    with pytest.raises(RuntimeError, match="^" + msg.replace(".", r"\.") + "$"):
        module.Mat_average(*host_args())
