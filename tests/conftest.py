"""Shared test fixtures: the device list every test runs on, and helpers to
reach the module functions on a device."""
import numpy as np
import pytest
import torch

import Voxstep  # noqa: F401  (imported first so a build problem fails loudly)
import Voxstep4  # noqa: F401
import _voxstep_host

HAS_CUDA = torch.cuda.is_available()
DEVICES = ["cpu"] + (["cuda"] if HAS_CUDA else [])


@pytest.fixture(params=DEVICES)
def device(request):
    return request.param


def checked(module, name, device):
    """The function to call on `device`: functions that refuse CPU tensors
    are reached through their CPU twins in _voxstep_host."""
    if device == "cpu":
        return getattr(_voxstep_host, name)
    return getattr(module, name)


def rng(seed=0):
    return np.random.default_rng(seed)


def to_dev(arrays, device):
    return [torch.as_tensor(a).to(device) for a in arrays]


def snapshot(*tensors):
    return [t.detach().cpu().clone() for t in tensors]


def assert_unchanged(before, tensors):
    for b, t in zip(before, tensors):
        assert torch.equal(b, t.detach().cpu()), "a tensor was modified"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: a long physics run (minutes on two cores); CI's second torch leg "
                   "skips them (-m 'not slow'), the first runs them")
