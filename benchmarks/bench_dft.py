"""Cost of the running DFTs of the flux planes: a plane-monitored run of a
patterned stack (square array of air holes in an ε = 4 slab on glass, the
two flux planes of ``voxsim.spectrum``) with a fixed step count, timed with
20 and with 400 frequencies, for the blocked sum (``monitors.FluxPlane``:
a ring of plane samples folded into all frequencies once per block through
a low-rank basis of the block's weights) and for the step-by-step kernel
sum (``KernelFluxPlane``: one ``Monitor_Update_E`` pass over every
accumulator per step), same device, same run, cases interleaved. Prints
the step-loop and whole-call seconds, the 400 / 20 ratio of each path, the
speed-up of the blocked sum, and the largest difference of the two paths'
transmission (relative to its largest value).

    PYTHONPATH=build/dev:. .venv/bin/python benchmarks/bench_dft.py [--device cuda]
        [--period-cells 32] [--steps 400] [--threads 1] [--repeat 3] [--quick]
"""
import argparse
import time
import warnings

import numpy as np
import torch

import voxsim as vx
import voxsim.monitors as monitors
import voxsim.batch as batch
from voxsim.shapes import Circle, Pattern
from voxsim.reflectance import plane_wave

PATHS = {"blocked": monitors.FluxPlane, "kernel": monitors.KernelFluxPlane}


def stack():
    air, slab, glass = vx.Medium(1.0), vx.Medium(4.0), vx.Medium(2.25)
    return vx.Stack([vx.Layer(0.5, Pattern(slab, [Circle([0.5, 0.5], 0.3, air)]))], air, glass,
                    period=(1.0, 1.0))


def timed_run(path, f, P, steps, device):
    """(step-loop seconds, whole-call seconds, spectrum) with the flux planes
    of `path`. The whole call counts the last partial block, which the
    blocked sum folds in when the fields are read after the loop."""
    saved = batch.FluxPlane
    batch.FluxPlane = PATHS[path]
    try:
        st = stack()
        t0 = time.perf_counter()
        sp = vx.spectrum(st, f, P, [plane_wave(f, "s", stack=st)], steps=steps, device=device)
        if device.startswith("cuda"):
            torch.cuda.synchronize()
        whole = time.perf_counter() - t0
    finally:
        batch.FluxPlane = saved
    return sp.stats[0].seconds, whole, sp


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    p.add_argument("--period-cells", type=int, default=None)
    p.add_argument("--steps", type=int, default=None)
    p.add_argument("--threads", type=int, default=1, help="CPU threads (torch.set_num_threads)")
    p.add_argument("--repeat", type=int, default=3, help="runs per case, the fastest counts")
    p.add_argument("--quick", action="store_true", help="small grid, few steps (smoke run)")
    a = p.parse_args()
    torch.set_num_threads(a.threads)
    warnings.simplefilter("ignore")      # a fixed short run: the energy checks do not apply
    gpu = a.device.startswith("cuda")
    P = a.period_cells or (12 if a.quick else 64 if gpu else 32)
    steps = a.steps or (100 if a.quick else 2000 if gpu else 400)
    bands = {n: np.linspace(0.3, 0.6, n) for n in (20, 400)}

    timed_run("blocked", bands[20], P, 5, a.device)                  # warm-up
    cases = [(path, n) for n in bands for path in PATHS]
    loop, whole, sp = {c: [] for c in cases}, {c: [] for c in cases}, {}
    for _ in range(a.repeat):              # interleaved, the fastest of each case counts
        for path, n in cases:
            t_loop, t_whole, sp[path, n] = timed_run(path, bands[n], P, steps, a.device)
            loop[path, n].append(t_loop)
            whole[path, n].append(t_whole)
    loop = {c: min(v) for c, v in loop.items()}
    whole = {c: min(v) for c, v in whole.items()}
    stats = sp["blocked", 20].stats[0]
    cells = stats.cell_updates / stats.steps
    print(f"device {a.device}; patterned column {P} x {P} cells per period, "
          f"{cells / 1e6:.2f} M cell updates per step (NS x NM x cells), 2 flux planes, "
          f"{steps} steps, {torch.get_num_threads()} CPU thread(s), fastest of {a.repeat}")
    print("seconds: the step loop, and the whole spectrum call (preparation, loop, read-out)")
    print(f"{'path':<10}{'loop 20 f':>11}{'loop 400 f':>12}{'400 / 20':>10}"
          f"{'call 20 f':>11}{'call 400 f':>12}{'400 / 20':>10}")
    for path in PATHS:
        print(f"{path:<10}{loop[path, 20]:>11.3f}{loop[path, 400]:>12.3f}"
              f"{loop[path, 400] / loop[path, 20]:>10.2f}{whole[path, 20]:>11.3f}"
              f"{whole[path, 400]:>12.3f}{whole[path, 400] / whole[path, 20]:>10.2f}")
    for n in bands:
        T_new, T_old = sp["blocked", n].T, sp["kernel", n].T
        ok = np.isfinite(T_old)
        d = np.abs(T_new - T_old)[ok].max() / np.abs(T_old[ok]).max()
        print(f"{n} frequencies: blocked sum {whole['kernel', n] / whole['blocked', n]:.2f}x "
              f"faster than the kernel sum (whole call); max |T_blocked - T_kernel| / max |T| "
              f"= {d:.1e}")


if __name__ == "__main__":
    main()
