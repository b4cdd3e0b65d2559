"""Whole leapfrog steps on a vacuum box closed by absorbing layers: the
problem CPU users compare solvers on. A 64^3 box (float32, one channel),
10-cell CPML on all six faces, a point current source (Inject_J) at the
centre, 200 steps of Update_H + Inject_J + Update_E. Prints million
cell*steps per second on one and two threads, and the ratio to the previous
CPU traversal (the GPU's per-element thread decomposition, still selectable)
measured in the same run.

  PYTHONPATH=build/dev .venv/bin/python benchmarks/bench_cpml_box.py [--device cpu|cuda]
      [--size 64] [--layer 10] [--steps 200] [--expanded]

--expanded passes the vacuum's keep and loss maps as stride-0 expansions of
one value (as examples/pulse_in_box.py does) instead of full maps.
"""
import argparse
import gc
import os
import sys
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
import Voxstep  # noqa: E402
from bench_timestep import traversals, use_traversal  # noqa: E402
from pulse_in_box import DT, cpml_profiles  # noqa: E402


def make_box(N, n, device, expanded, with_state=False):
    """run(steps) and reset() of the box; with_state: also its fields and
    auxiliaries (the tensors a run changes)."""
    f = dict(dtype=torch.float32, device=device)
    E = [torch.zeros(1, 1, N, N + 1, N + 1, 1, **f), torch.zeros(1, 1, N + 1, N, N + 1, 1, **f),
         torch.zeros(1, 1, N + 1, N + 1, N, 1, **f)]
    H = [torch.zeros(1, 1, N, N, N, 1, **f) for _ in range(3)]
    C = [torch.full((N,), DT, **f) for _ in range(3)]
    if expanded:
        keep = [torch.ones(1, 1, 1, 1, **f).expand(1, N, N, N)] * 3
        loss = [torch.zeros(1, 1, 1, 1, **f).expand(1, N, N, N)] * 3
    else:
        keep = [torch.ones(1, N, N, N, **f) for _ in range(3)]
        loss = [torch.zeros(1, N, N, N, **f) for _ in range(3)]
    nl = torch.tensor([n, n, n], dtype=torch.int32)
    if device != "cpu":
        nl = nl.to(device)
    shapes = [(1, 1, 2 * n, N, N, 2, 1), (1, 1, N, 2 * n, N, 2, 1), (1, 1, N, N, 2 * n, 2, 1)]
    psi_h = [torch.zeros(s, **f) for s in shapes]
    psi_e = [torch.zeros(s, **f) for s in shapes]
    bh, gh = [t.to(device) for t in cpml_profiles(N, n, half=True)]
    be, ge = [t.to(device) for t in cpml_profiles(N, n, half=False)]
    J = [torch.zeros(1, 1, 1, 1, 1, dtype=torch.complex64, device=device) for _ in range(3)]
    pos = torch.tensor([N // 2] * 3)
    unused = torch.zeros(1)
    tau = 2.0
    t0 = 6 * tau
    ts = (np.arange(400) + 0.5) * DT
    src = DT * (ts - t0) / tau**2 * np.exp(-((ts - t0) ** 2) / (2 * tau**2))

    def run(steps):
        for step in range(steps):
            Voxstep.Update_H(*H, *E, *C, *psi_h, bh, bh, bh, gh, gh, gh, nl, unused)
            J[2].fill_(complex(-src[step % len(src)], 0.0))
            Voxstep.Inject_J(*E, *J, pos)
            Voxstep.Update_E(*E, *H, *keep, *loss, *C, *psi_e, be, be, be, ge, ge, ge, nl,
                             unused)
        if device == "cuda":
            torch.cuda.synchronize()

    def reset():
        for t in E + H + psi_h + psi_e:
            t.zero_()

    if with_state:
        return run, reset, E + H + psi_h + psi_e
    return run, reset


def rate(run, reset, N, steps, repeats=5):
    """Best of `repeats` runs of `steps` steps from a zero field, in M
    cell*steps/s. The garbage collector is off while timing, as timeit does
    (its passes over torch's objects would count against the kernels)."""
    best = float("inf")
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeats):
            reset()
            start = time.perf_counter()
            run(steps)
            best = min(best, time.perf_counter() - start)
    finally:
        gc.enable()
    return N**3 * steps / best / 1e6


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--device", default="cpu", choices=["cpu", "cuda"])
    p.add_argument("--size", type=int, default=64)
    p.add_argument("--layer", type=int, default=10)
    p.add_argument("--steps", type=int, default=200)
    p.add_argument("--expanded", action="store_true")
    args = p.parse_args()
    N, n = args.size, args.layer
    run, reset = make_box(N, n, args.device, args.expanded)
    run(5)
    print(f"{N}^3 vacuum box, {n}-cell CPML on all faces, point source, {args.steps} steps, "
          f"float32, {'expanded' if args.expanded else 'full'} keep/loss maps, {args.device}")
    if args.device != "cpu":
        print(f"  {rate(run, reset, N, args.steps):8.1f} M cell*steps/s")
        return
    modes = traversals()
    for threads in (1, 2):
        torch.set_num_threads(threads)
        got = []
        for mode in modes:
            use_traversal(mode)
            got.append(rate(run, reset, N, args.steps))
        use_traversal(modes[0])
        prev = f"   previous traversal {got[1]:7.1f}  ({got[0] / got[1]:.2f}x)" if len(got) > 1 else ""
        print(f"  {threads} thread{'s' if threads > 1 else ' '}: {got[0]:8.1f} M cell*steps/s{prev}")


if __name__ == "__main__":
    main()
