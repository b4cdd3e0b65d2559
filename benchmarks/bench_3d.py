"""A 3-D patterned structure end to end: material preparation, a run of
realistic size, the share of the run spent outside the kernels, and a
batched radius sweep against separate runs (same device, same run).

The structure: a square array of air holes in an ε = 4 slab (0.5 a) on an
ε = 2.25 film (0.5 a) on glass, with a sphere resting on the slab; the
period is P cells (P = resolution), the column has CPML on z and stands off
the structure by one period on each side. Preparation is the whole
material pipeline (shape voxels, Mat_average, Set_weight_mat_id, normals,
Set_weight_subcell, Set_ER_average, Set_sigma_average). The run takes a
fixed number of steps. "Outside the kernels" is the time of a step spent in
Python and in the torch ops between the modules' calls (timed by wrapping
every module function; on a GPU each call then synchronises, so that figure
is an upper bound there).

    PYTHONPATH=build/dev:. .venv/bin/python benchmarks/bench_3d.py [--device cuda]
        [--period-cells 64] [--steps 3000] [--quick]

Defaults: 64 cells per period and 3000 steps on a GPU (64 x 64 x ~300 cells);
32 cells and 400 steps on the CPU.
"""
import argparse
import time

import numpy as np
import torch

import Voxstep
import voxsim as vx
import voxsim.simulation as simulation
import voxsim.sources as sources
import voxsim.monitors as monitors
from voxsim.shapes import Circle, Pattern, Sphere
from voxsim.reflectance import (Transverse, build_materials, column_layout, evanescent_gap,
                            plane_wave, transverse_layout)


def stack(radius):
    air, slab, film, glass = vx.Medium(1.0), vx.Medium(4.0), vx.Medium(2.25), vx.Medium(2.25)
    return vx.Stack([vx.Layer(0.5, Pattern(slab, [Circle([0.5, 0.5], radius, air)])),
                     vx.Layer(0.5, film)], air, glass, period=(1.0, 1.0),
                    shapes=[Sphere([0.25, 0.25, -0.2], 0.2, glass)])


def sync(device):
    if device.type == "cuda":
        torch.cuda.synchronize(device)


class KernelClock:
    """Wraps every Voxstep function the step loop calls and sums their time."""

    def __init__(self, device):
        self.device = device
        self.seconds = 0.0
        self.calls = 0
        self.saved = {}

    def __enter__(self):
        for name in ("Update_H", "Update_E", "Update_E_Dispersion", "Update_E_Periodic",
                     "Inject_H", "Inject_E", "Inject_J", "Monitor_Update_E"):
            fn = getattr(Voxstep, name)
            self.saved[name] = fn

            def timed(*a, _fn=fn):
                sync(self.device)
                t = time.perf_counter()
                out = _fn(*a)
                sync(self.device)
                self.seconds += time.perf_counter() - t
                self.calls += 1
                return out
            setattr(Voxstep, name, timed)
        return self

    def __exit__(self, *exc):
        for name, fn in self.saved.items():
            setattr(Voxstep, name, fn)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    p.add_argument("--period-cells", type=int, default=None)
    p.add_argument("--steps", type=int, default=None)
    p.add_argument("--sweep", type=int, default=4, help="structures in the batched sweep")
    p.add_argument("--quick", action="store_true", help="tiny grid, few steps (smoke run)")
    a = p.parse_args()
    dev = torch.device(a.device)
    gpu = dev.type == "cuda"
    P = a.period_cells or (12 if a.quick else 64 if gpu else 32)
    steps = a.steps or (60 if a.quick else 3000 if gpu else 400)
    f = np.linspace(0.3, 0.45, 31)
    units = vx.Units(P)
    st = stack(0.3)
    ex = [plane_wave(f, "s", stack=st)]

    # material preparation alone, as a run does it
    tv = transverse_layout([st], units)
    gap = evanescent_gap([st], f, units, tv, [0.0])
    lay = column_layout([st], units, vx.CPML(), 0.0, None, gap)
    build_materials([st], st.incident, units, lay, dev, "subcell", tv)       # warm-up
    sync(dev)
    t0 = time.perf_counter()
    mats, table, _ = build_materials([st], st.incident, units, lay, dev, "subcell", tv)
    sync(dev)
    t_prep = time.perf_counter() - t0
    shape = (*tv.shape, lay.Nz)
    print(f"device {a.device}; grid {shape[0]} x {shape[1]} x {shape[2]} cells "
          f"({shape[0] * shape[1] * shape[2] / 1e6:.2f} M), {len(table.media)} painted pieces, "
          f"NM = 2 (reference + structure), {steps} steps, {len(f)} frequencies, "
          f"{torch.get_num_threads()} CPU threads")
    print(f"material preparation: {t_prep:.3f} s")

    # the run (warm-up on a few steps first)
    vx.spectrum(st, f, P, ex, steps=5, device=dev)
    t0 = time.perf_counter()
    sp = vx.spectrum(st, f, P, ex, steps=steps, device=dev)
    t_all = time.perf_counter() - t0
    run = sp.stats[0]
    print(f"run: {run.steps} steps in {run.seconds:.2f} s, {run.cell_updates_per_s:.3g} cell "
          f"updates/s; whole call {t_all:.2f} s (preparation and post-processing "
          f"{t_all - run.seconds:.2f} s = {(t_all - run.seconds) / t_all:.1%}); preparation / run "
          f"= {t_prep / run.seconds:.3f}")

    # time outside the kernels, from a shorter instrumented run
    k_steps = max(20, steps // 5)
    with KernelClock(dev) as clock:
        t0 = time.perf_counter()
        sp_k = vx.spectrum(st, f, P, ex, steps=k_steps, device=dev)
        loop = sp_k.stats[0].seconds
    print(f"outside the kernels: {(loop - clock.seconds) / loop:.1%} of the step loop "
          f"({clock.calls / k_steps:.0f} module calls per step, {k_steps} steps timed)")

    # batched sweep against separate runs
    radii = np.linspace(0.2, 0.35, a.sweep)
    stacks = [stack(float(r)) for r in radii]
    s_steps = max(20, steps // 4)
    t0 = time.perf_counter()
    batch = vx.spectrum(stacks, f, P, ex, steps=s_steps, device=dev)
    t_batch = time.perf_counter() - t0
    t0 = time.perf_counter()
    single = [vx.spectrum(s, f, P, ex, steps=s_steps, device=dev) for s in stacks]
    t_single = time.perf_counter() - t0
    d = [np.abs(batch.T[:, m] - one.T[:, 0]) for m, one in enumerate(single)]
    diff = max((float(x[np.isfinite(x)].max()) for x in d if np.isfinite(x).any()), default=0.0)
    print(f"sweep of {a.sweep} hole radii, {s_steps} steps: one batched run {t_batch:.2f} s "
          f"({batch.stats[0].cell_updates_per_s:.3g} cell updates/s), {a.sweep} separate runs "
          f"{t_single:.2f} s: speed-up {t_single / t_batch:.2f}x; largest |T_batch - T_single| "
          f"= {diff:.1e}")


if __name__ == "__main__":
    main()
