"""Whole solver against the bare leapfrog, on one 3-D periodic slab in one
run: what monitors, sources, checks and Python cost on top of the kernels.

The structure: a photonic-crystal slab (ε 12, 0.5 a thick, air holes of
radius 0.2 a, period a) in air, at normal incidence, P cells per period,
a fixed number of steps. Printed:
- the bare leapfrog (Update_H, Update_E and its completion, the periodic
  wrap) on the same grid: cell updates/s;
- the whole solver (``spectrum`` with ``steps``: plane source and its line,
  two flux planes, the decay check) with 20, 400 and 600 monitored
  frequencies: cell updates/s, its ratio to the bare leapfrog (goals: 70 %
  with 20 frequencies, 50 % with 600) and the cost of 400 frequencies over
  20 (goal 1.5);
- the time of the whole solver's loop split by module function (each call
  timed alone; on a GPU every call then synchronises) and the rest (torch
  ops and Python);
- material preparation (rasterising, smoothing, coefficients) as a share of
  a short run, for the slab and for a sphere.

    PYTHONPATH=. .venv/bin/python benchmarks/bench_solver.py [--device cuda]
        [--period-cells 24] [--steps 300] [--quick]
"""
import argparse
import time
from collections import defaultdict

import numpy as np
import torch

import Voxstep
import voxsim as vx
from voxsim.shapes import Circle, Pattern, Sphere
from voxsim.simulation import Grid
from voxsim.reflectance import (build_materials, column_layout, default_cpml, evanescent_gap,
                            plane_wave, transverse_layout)

FUNCTIONS = ("Update_H", "Update_E", "Update_E_Dispersion", "Update_E_Periodic", "Inject_H",
             "Inject_E", "Inject_J", "Monitor_Update_E")


def sync(device):
    if device.type == "cuda":
        torch.cuda.synchronize(device)


def slab():
    air = vx.Medium(1.0)
    return vx.Stack([vx.Layer(0.5, Pattern(vx.Medium(12.0), [Circle([0.5, 0.5], 0.2, air)]))],
                    air, period=(1.0, 1.0))


def sphere():
    air = vx.Medium(1.0)
    return vx.Stack([], air, period=(1.0, 1.0), shapes=[Sphere([0.5, 0.5, 0.5], 0.35,
                                                                vx.Medium(6.0))])


class PerFunction:
    """Wraps the module functions the step loop calls; sums time per name."""

    def __init__(self, device):
        self.device = device
        self.seconds = defaultdict(float)
        self.saved = {}

    def __enter__(self):
        for name in FUNCTIONS:
            fn = self.saved[name] = getattr(Voxstep, name)

            def timed(*a, _fn=fn, _name=name):
                sync(self.device)
                t = time.perf_counter()
                out = _fn(*a)
                sync(self.device)
                self.seconds[_name] += time.perf_counter() - t
                return out
            setattr(Voxstep, name, timed)
        return self

    def __exit__(self, *exc):
        for name, fn in self.saved.items():
            setattr(Voxstep, name, fn)


def layout(st, f, units, device):
    tv = transverse_layout([st], units)
    gap = evanescent_gap([st], f, units, tv, [0.0])
    cpml = default_cpml([st], f, units, [0.0])
    lay = column_layout([st], units, cpml, 0.0, None, gap)
    return tv, lay, cpml


def prep_seconds(st, f, units, device):
    tv, lay, _ = layout(st, f, units, device)
    build_materials([st], st.incident, units, lay, device, "subcell", tv)      # warm-up
    sync(device)
    t0 = time.perf_counter()
    build_materials([st], st.incident, units, lay, device, "subcell", tv)
    sync(device)
    return time.perf_counter() - t0


def bare_leapfrog(st, f, units, device, steps):
    """Seconds per step of the leapfrog alone on the spectrum's grid."""
    tv, lay, cpml = layout(st, f, units, device)
    mats, _, tables = build_materials([st], st.incident, units, lay, device, "subcell", tv)
    grid = Grid(units, (*tv.shape, lay.Nz), 1, mats, tables, cpml, (True, True), [0.0], device)
    gen = torch.Generator().manual_seed(0)
    for t in grid.E + grid.H:
        t.copy_(1e-3 * torch.randn(t.shape, generator=gen))
    best = np.inf
    for _ in range(2):
        sync(device)
        t0 = time.perf_counter()
        for _ in range(steps):
            grid.update_h()
            grid.update_e()
            grid.wrap()
        sync(device)
        best = min(best, time.perf_counter() - t0)
    return best / steps, grid.cells * grid.NM


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    p.add_argument("--period-cells", type=int, default=None)
    p.add_argument("--steps", type=int, default=None)
    p.add_argument("--quick", action="store_true", help="small grid, few steps (smoke run)")
    a = p.parse_args()
    dev = torch.device(a.device)
    if dev.type == "cpu":
        torch.set_num_threads(1)
    P = a.period_cells or (16 if a.quick else 24)
    steps = a.steps or (40 if a.quick else 300)
    units = vx.Units(P)
    st = slab()
    band = (0.25, 0.45)
    f20 = np.linspace(*band, 20)

    t_bare, cells = bare_leapfrog(st, f20, units, dev, steps)
    bare_rate = cells / t_bare
    print(f"device {dev}, {torch.get_num_threads()} thread(s); slab, {P} cells per period, "
          f"{steps} steps")
    print(f"bare leapfrog: {t_bare * 1e3:.2f} ms/step, {bare_rate:.3g} cell updates/s "
          f"(NM = 2: reference and structure)")
    seconds = {}
    for nf in (20, 400, 600):
        f = np.linspace(*band, nf)
        ex = [plane_wave(f, "s", stack=st)]
        best = None
        for _ in range(3):      # the first is a warm-up as much as a try
            with __import__("warnings").catch_warnings():
                __import__("warnings").simplefilter("ignore")    # a fixed step count: not decayed
                sp = vx.spectrum(st, f, P, ex, steps=steps, device=dev)
            run = sp.stats[0]
            best = run if best is None or run.seconds < best.seconds else best
        seconds[nf] = best.seconds
        ratio = t_bare / (best.seconds / steps)      # the same grid: throughput ratio
        goal = {20: " (goal >= 70 %)", 600: " (goal >= 50 %)"}.get(nf, "")
        print(f"whole solver, {nf:3d} frequencies: {best.seconds / steps * 1e3:.2f} ms/step, "
              f"{cells * steps / best.seconds:.3g} cell updates/s = {ratio:.0%} of the bare "
              f"leapfrog's throughput{goal}")
    print(f"400 frequencies / 20 frequencies: {seconds[400] / seconds[20]:.2f}x (goal <= 1.5x)")

    f = np.linspace(*band, 20)
    ex = [plane_wave(f, "s", stack=st)]
    with PerFunction(dev) as clock, __import__("warnings").catch_warnings():
        __import__("warnings").simplefilter("ignore")
        sp = vx.spectrum(st, f, P, ex, steps=steps, device=dev)
    loop = sp.stats[0].seconds
    print(f"split of the loop with 20 frequencies ({loop:.2f} s, every call timed alone):")
    for name, s in sorted(clock.seconds.items(), key=lambda kv: -kv[1]):
        print(f"  {name:<22}{s:8.3f} s {s / loop:7.1%}")
    rest = loop - sum(clock.seconds.values())
    print(f"  {'torch ops and Python':<22}{rest:8.3f} s {rest / loop:7.1%}")

    for name, s_ in (("slab", st), ("sphere", sphere())):
        t_prep = prep_seconds(s_, f, units, dev)
        print(f"material preparation, {name}: {t_prep:.3f} s = "
              f"{t_prep / (t_prep + loop):.1%} of preparation + a {steps}-step run")


if __name__ == "__main__":
    main()
