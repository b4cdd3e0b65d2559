"""Runs over several processes with ``torch.distributed`` (gloo on the CPU,
NCCL on CUDA), launched by ``torchrun``.

Two splits. The grid (``domains``): slabs along z, one per rank, with a
halo exchange every half step. The batch, here: the excitations of a sweep
(angles, polarisations: the NS axis) are shared out over the ranks in
contiguous runs (``shard``); each rank runs its share on the whole grid,
and the per-rank results are gathered on every rank, in excitation order.
The grid's layout (absorber, standoff) is decided from the whole sweep, so
a rank's grid is the one a single process builds, and the ranks agree at
every decay check (one small all-reduce) so that they stop at the same
step: the fields are those of one process; the flux planes' block
products are BLAS calls whose shapes follow the excitations per rank, so R
and T agree to float rounding (about 1e-7), not bit for bit. A sweep with
fewer excitations than ranks runs whole on every rank (``split="auto"``
cuts the grid instead).

Under ``torchrun`` the command line initialises the process group from the
environment (``init_from_env``); the Python API uses whatever group the
caller initialised, and a single process (no group, or a group of one)
behaves as without this module. Rank 0 prints, draws the progress bar and
writes the outputs; the others stay quiet.
"""
from __future__ import annotations

import atexit
import os
from typing import List, Tuple

import numpy as np
import torch


def world() -> Tuple[int, int]:
    """(rank, size) of the default process group, (0, 1) without one."""
    import torch.distributed as dist
    if dist.is_available() and dist.is_initialized():
        return dist.get_rank(), dist.get_world_size()
    return 0, 1


def init_from_env(device: str = "cpu") -> Tuple[int, int]:
    """Joins the process group torchrun describes in the environment
    (WORLD_SIZE > 1): NCCL for CUDA devices, gloo otherwise; on CUDA each
    rank takes the device of its LOCAL_RANK. Returns (rank, size)."""
    import torch.distributed as dist
    size = int(os.environ.get("WORLD_SIZE", "1"))
    if size > 1 and not dist.is_initialized():
        backend = "nccl" if str(device).startswith("cuda") else "gloo"
        if backend == "nccl":
            torch.cuda.set_device(int(os.environ.get("LOCAL_RANK", "0")))
        dist.init_process_group(backend)
        # the group this module made is also taken down by it: left to the
        # interpreter's exit, its worker threads can be destroyed while
        # still joinable, and the process aborts after a successful run
        atexit.register(_leave)
    return world()


def _leave():
    import torch.distributed as dist
    if dist.is_initialized():
        dist.destroy_process_group()


def shard(n: int, rank: int, size: int) -> np.ndarray:
    """The indices of ``range(n)`` rank `rank` of `size` takes (contiguous,
    sizes differing by one at most; empty where n < size)."""
    return np.array_split(np.arange(n), size)[rank]


def all_gather(obj) -> List:
    """Every rank's `obj`, in rank order, on every rank (pickled)."""
    import torch.distributed as dist
    rank, size = world()
    if size == 1:
        return [obj]
    out = [None] * size
    dist.all_gather_object(out, obj)
    return out


def agreement(device="cpu"):
    """The joint verdict of the ranks at a decay check: a function
    (diverged, decayed) -> (any rank diverged, every rank decayed), one
    small all-reduce (at the check's own host synchronisation)."""
    import torch.distributed as dist

    def agree(diverged: bool, decayed: bool):
        t = torch.tensor([int(diverged), int(not decayed)], dtype=torch.int32, device=device)
        dist.all_reduce(t, op=dist.ReduceOp.MAX)
        return bool(t[0]), not bool(t[1])
    return agree
