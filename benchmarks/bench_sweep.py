"""An 8-structure sweep (thickness of the high-index layers of a Bragg
mirror) as one batched voxsim run (NM = 1 + 8) against 8 separate runs of
the same structures on the same grid, same device, same run. Prints the
times, the speed-up, throughput in cell updates/s and the largest difference
between the two results (they run the same steps on the same grid, so on
the CPU they agree bit for bit).

    PYTHONPATH=build/dev:. .venv/bin/python benchmarks/bench_sweep.py [--device cuda] [--quick]
"""
import argparse
import time

import numpy as np
import torch

import voxsim as vx
from voxsim.reflectance import plane_wave


def structures(n, pairs):
    hi, lo = vx.Medium(4.0), vx.Medium(2.25)
    out = []
    for t in np.linspace(0.10, 0.15, n):
        layers = []
        for _ in range(pairs):
            layers += [vx.Layer(float(t), hi), vx.Layer(1 / 6, lo)]
        out.append(vx.Stack(layers, vx.Medium(1.0), lo))
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    p.add_argument("--quick", action="store_true", help="coarse grid, few steps (smoke run)")
    p.add_argument("--structures", type=int, default=8)
    a = p.parse_args()
    res, steps, pairs = (40, 400, 2) if a.quick else (100, 4000, 4)
    f = np.linspace(0.5, 1.4, 46)
    stacks = structures(a.structures, pairs)
    depth = max(s.thickness for s in stacks)
    kw = dict(steps=steps, depth=depth, device=a.device)
    ex = [plane_wave(f, "s")]
    vx.spectrum(stacks[:1], f, res, ex, **dict(kw, steps=20))          # warm-up

    t0 = time.perf_counter()
    batch = vx.spectrum(stacks, f, res, ex, **kw)
    t_batch = time.perf_counter() - t0
    t0 = time.perf_counter()
    single = [vx.spectrum(s, f, res, ex, **kw) for s in stacks]
    t_single = time.perf_counter() - t0

    diff = max(float(np.nanmax(np.abs(batch.R[:, m] - one.R[:, 0]))) for m, one in enumerate(single))
    cells = batch.stats[0].cell_updates
    cells_single = sum(one.stats[0].cell_updates for one in single)
    Nz = int(cells / batch.stats[0].steps / 4 / (len(stacks) + 1))
    print(f"device {a.device}; column 2 x 2 x {Nz} cells, {steps} steps, {len(f)} frequencies, "
          f"{len(stacks)} structures")
    print(f"{'run':<34}{'seconds':>10}{'cell updates/s':>17}")
    print(f"{'one batched run (NM = 1 + %d)' % len(stacks):<34}{t_batch:>10.2f}{cells / t_batch:>17.3g}")
    print(f"{'%d separate runs (NM = 2 each)' % len(stacks):<34}{t_single:>10.2f}"
          f"{cells_single / t_single:>17.3g}")
    print(f"speed-up of the batched sweep: {t_single / t_batch:.2f}x; "
          f"largest |R_batch - R_single| = {diff:.1e}")


if __name__ == "__main__":
    main()
