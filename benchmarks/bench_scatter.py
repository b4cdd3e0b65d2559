"""The scatter job against the bare leapfrog on the same grid, in one run.

A dielectric sphere (ε = 2.25, radius 0.4 a) under a plane wave, laid out
as ``voxsim.cross_sections`` lays it out (absorbing layers on all faces,
TFSF box, two closed flux boxes, the decay check). Timed: (a) the whole
solver for a fixed number of steps (the sources, both flux boxes with their
frequencies, the incident line, the periodic decay check); (b) the bare
``Update_H``/``Update_E`` (and completion) on the same grid for the same
steps. Printed: cell·steps/s of both and their ratio (goal: (a) at least
60 % of (b)).

    PYTHONPATH=. .venv/bin/python benchmarks/bench_scatter.py [--device cuda] [--quick]
"""
import time

import numpy as np

import voxsim as vx
from voxsim.scatter import open_grid

from common import devices, parse_args, sync


def main():
    args = parse_args(__doc__.splitlines()[0])
    steps = 200 if args.quick else 600
    for device in devices(args.device):
        for res in ((24,) if args.quick else (24, 40)):
            f = np.linspace(0.3, 0.8, 11)
            sphere = vx.Sphere((0, 0, 0), 0.4, vx.Medium(2.25))
            cs = vx.cross_sections([sphere], f, res, padding=0, steps=steps, device=device)
            whole = cs.stats.cell_updates / cs.stats.seconds
            units = vx.Units(res)
            g = open_grid(units, cs.layout.shape, vx.Medium(), cs.layout.cpml, [sphere],
                          cs.layout.origin, device=device)
            for _ in range(5):
                g.update_h()
                g.update_e()
            sync(device)
            t = time.perf_counter()
            for _ in range(steps):
                g.update_h()
                g.update_e()
            sync(device)
            bare = g.cells * steps / (time.perf_counter() - t)
            shape = "x".join(map(str, cs.layout.shape))
            print(f"{device:<5} grid {shape:<12} {steps} steps, {len(f)} frequencies: "
                  f"solver {whole / 1e6:8.2f} Mcell·steps/s, bare leapfrog {bare / 1e6:8.2f} "
                  f"Mcell·steps/s, ratio {whole / bare:5.1%}")


if __name__ == "__main__":
    main()
