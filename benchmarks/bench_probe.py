"""Cost of the run's periodic check (decay, divergence) against the step it
rides on, on one grid in one run.

The grid: a uniform box (Px x Py x Nz cells, NS excitations, NM structure
slices, complex Bloch fields as at oblique incidence) with the z CPML, as a
spectrum run has it. Timed: (a) a step (the leapfrog and the periodic
wrap); (b) everything the probe does per check (the two snapshots of the
monitor planes a quarter period and one step before the check, the
changes, the grid energy per slice, the one host read), measured alone and
spread over ``check_every`` steps; (c) whole runs with and without the
probe, best of three. The goal: (b) and (c) at most 2 % of the step time.

    PYTHONPATH=. .venv/bin/python benchmarks/bench_probe.py [--device cuda] [--quick]
"""
import time

import numpy as np
import torch

import voxsim as vx
from voxsim.simulation import DecayProbe, run, uniform_grid

from common import devices, parse_args, sync


def grid_of(device, cells, NS, NM):
    units = vx.Units(40, 0.5)
    g = uniform_grid(units, cells, NS, vx.Medium(2.25), vx.CPML(), np.full(NS, 0.3), device)
    if NM > 1:   # the same grid with NM slices
        from voxsim.materials import MaterialGrid
        from voxsim.simulation import Grid, MediumTable
        table = MediumTable()
        table.add(vx.Medium(2.25))
        mats = MaterialGrid(cells, NM, device)
        t = table.tables(units, device)
        mats.coefficients(t["perm"], t["cond"])
        g = Grid(units, cells, NS, mats, t, vx.CPML(), (True, True), np.full(NS, 0.3), device)
    gen = torch.Generator().manual_seed(0)
    for f in g.E + g.H:
        f.copy_(torch.randn(f.shape, generator=gen))
    return g


def step(g):
    g.update_h()
    g.update_e()
    g.wrap()


def timed(fn, device, repeat=3):
    best = np.inf
    for _ in range(repeat):
        sync(device)
        t0 = time.perf_counter()
        fn()
        sync(device)
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    args = parse_args(__doc__.splitlines()[0])
    for device in devices(args.device):
        if device == "cpu":
            torch.set_num_threads(1)
        cells = (17, 17, 64) if args.quick else (33, 33, 256)
        NS, NM, every = 2, 3, 200
        g = grid_of(device, cells, NS, NM)
        nz = cells[2]
        steps = 50 if args.quick else 200
        t_step = timed(lambda: [step(g) for _ in range(steps)], device) / steps

        probe = DecayProbe(check_every=every, planes=[14, nz - 16], quarter=10)

        def one_check():
            for n in range(every - 12, every):     # the steps at which the probe works
                probe.done(n, g)
        t_check = timed(one_check, device)

        n_run = every * (2 if args.quick else 5)
        bare = lambda: run(g, [], [], n_run)
        probed = lambda: run(g, [], [], n_run, DecayProbe(check_every=every, planes=[14, nz - 16],
                                                          quarter=10, stop=False))
        t_bare = t_probe = np.inf
        for _ in range(3):      # interleaved, so that a drifting machine load hits both
            t_bare = min(t_bare, timed(bare, device, 1))
            t_probe = min(t_probe, timed(probed, device, 1))
        print(f"{device}: grid {cells[0]}x{cells[1]}x{cells[2]}, NS {NS}, NM {NM}, complex fields, "
              f"check every {every} steps")
        print(f"  step                         {t_step * 1e3:9.3f} ms")
        print(f"  probe work per check         {t_check * 1e3:9.3f} ms = "
              f"{100 * t_check / (every * t_step):.2f} % of {every} steps (goal <= 2 %)")
        print(f"  whole run of {n_run} steps: bare {t_bare:.3f} s, with probe {t_probe:.3f} s: "
              f"{100 * (t_probe / t_bare - 1):+.2f} % (goal <= 2 %; timing noise included)")


if __name__ == "__main__":
    main()
