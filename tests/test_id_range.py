"""get_id_range: the window of sample points an object's box can touch."""
import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4
from conftest import rng
from material_reference import id_range

MODULES = [Voxstep, Voxstep4]
COORD8 = np.arange(8) * 0.5  # 0, 0.5, ..., 3.5


def window(module, box, coord, device):
    r = module.get_id_range(torch.tensor(box, dtype=torch.float32),
                            torch.tensor(coord, dtype=torch.float32, device=device))
    assert r.dtype == torch.int32 and r.device.type == "cpu" and r.shape == (2,)
    return r.tolist()


@pytest.mark.parametrize("module", MODULES)
@pytest.mark.parametrize(
    "box, expected",
    [
        ([1.2, 2.2], [2, 6]),      # worked example: 2 below the box, 5 raised to 6
        ([-1.0, 9.0], [0, 7]),     # box covers everything
        ([-5.0, -4.0], [0, 0]),    # entirely below
        ([10.0, 11.0], [6, 7]),    # entirely above; length - 1 = 7 is odd
        ([1.0, 2.0], [0, 6]),      # ends equal coordinates: strict comparisons
        ([0.6, 0.9], [0, 2]),      # largest index below is 1 (odd) -> 0
        ([3.2, 3.3], [6, 7]),      # smallest index above is 7: clamped odd end
    ],
)
def test_window_rules(module, box, expected, device):
    assert window(module, box, COORD8, device) == expected


@pytest.mark.parametrize("module", MODULES)
def test_box_above_with_odd_point_count(module, device):
    assert window(module, [10.0, 11.0], np.arange(7) * 0.5, device) == [6, 6]


@pytest.mark.parametrize("seed", range(6))
def test_random_boxes_and_nonuniform_coordinates(seed, device):
    g = rng(seed)
    coord = np.cumsum(g.uniform(0.1, 2.0, g.integers(1, 30))).astype(np.float32) - 5
    for _ in range(20):
        lo = g.uniform(coord[0] - 3, coord[-1] + 1)
        box = np.array([lo, lo + g.uniform(0, 8)], dtype=np.float32)
        assert window(Voxstep, box, coord, device) == list(id_range(box, coord))


def test_single_element_box_reads_it_as_both_ends(device):
    assert window(Voxstep, [1.2], COORD8, device) == list(id_range([1.2, 1.2], COORD8))


def test_box_and_coordinates_on_different_devices(device):
    box = torch.tensor([1.2, 2.2], device=device)
    r = Voxstep.get_id_range(box, torch.tensor(COORD8, dtype=torch.float32))
    assert r.tolist() == [2, 6]


def test_empty_coordinates_give_an_empty_window():
    assert Voxstep.get_id_range(torch.tensor([0.0, 1.0]), torch.zeros(0)).tolist() == [0, -1]


@pytest.mark.parametrize(
    "box, coord, match",
    [
        (torch.zeros(0), torch.zeros(8), "box is empty"),
        (torch.tensor([0.0, 1.0]), torch.zeros(2, 4), "coord must be 1-D"),
    ],
)
def test_errors(box, coord, match):
    with pytest.raises(ValueError, match=match):
        Voxstep.get_id_range(box, coord)
