"""What a gradient costs: the forward run (``spectrum`` with design
parameters, which also keeps the design region's DFT) against the backward
pass (the adjoint run and the differences of the material preparation),
and against the same forward run without parameters, measured in the same
process. Cases: a layer's eps with one and with six objective
frequencies, and a 4 x 4 fill in a periodic layer.

    python benchmarks/bench_adjoint.py
"""
import time
import warnings

import numpy as np
import torch

import voxsim as vx
from voxsim.shapes import VoxelFill


def layered(eps):
    return vx.Stack([vx.Layer(0.37, vx.Medium(eps)), vx.Layer(0.21, vx.Medium(2.1))],
                    incident=vx.Medium(1.0), substrate=vx.Medium(2.25))


def patterned(fill):
    return vx.Stack([vx.Layer(0.25, vx.Medium(1.0))], substrate=vx.Medium(2.25), period=(0.7, 0.7),
                    shapes=[VoxelFill(fill, (0, 0, 0), (0.7, 0.7, 0.25), vx.Medium(2.5))])


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def case(name, build, value, f, resolution, loss):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _, plain = timed(lambda: vx.spectrum([build(value.detach())], f, resolution))
        p = value.clone().requires_grad_(True)
        sp, fwd = timed(lambda: vx.spectrum([build(p)], f, resolution))
        _, bwd = timed(lambda: loss(sp).backward())
    print(f"{name:34s} plain {plain:7.2f} s  forward {fwd:7.2f} s  backward {bwd:7.2f} s  "
          f"gradient/forward {(fwd + bwd) / plain:5.2f}x")


def main():
    torch.set_num_threads(1)
    print(f"torch {torch.__version__}, one thread")
    f6 = np.linspace(0.6, 1.1, 6)
    e = torch.tensor(4.0, dtype=torch.float64)
    # one-time costs (imports behind torch.autograd.grad, the DFT bases) out of the figures
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        p = e.clone().requires_grad_(True)
        vx.spectrum([layered(p)], f6, 40).R[0, 0, 2].backward()
    case("layer eps, 1 objective frequency", layered, e, f6, 40,
         lambda sp: sp.R[0, 0, 2])
    case("layer eps, 6 objective frequencies", layered, e, f6, 40,
         lambda sp: sp.R[0, 0].mean())
    fill = 0.2 + 0.6 * torch.rand(4, 4, 1, generator=torch.Generator().manual_seed(1),
                                  dtype=torch.float64)
    case("4 x 4 fill, +1 order, 1 frequency", patterned, fill, np.array([1.15]), 20,
         lambda sp: sp.T_orders[0, 0, sp.orders.index((1, 0)), 0])


if __name__ == "__main__":
    main()
