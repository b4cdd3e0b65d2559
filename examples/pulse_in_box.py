"""A pulse radiating in a box closed by absorbing layers (CPML on all six faces).

A small soft source (a differentiated Gaussian current in Ez at the centre)
radiates; Update_H and Update_E advance the fields in leapfrog. The script
prints the field energy every hundred steps, the run's throughput, and saves
snapshots of Ez on the plane k = N/2.

    python examples/pulse_in_box.py --steps 400 --out out/pulse_in_box.png
"""
import argparse
import math
import os
import time

import numpy as np
import torch

import Voxstep

DT = 0.5  # Courant number: c = 1, cell size 1


def cpml_profiles(N, n, half, dt=DT):
    """Decay b and gain g per layer index along one axis. Electric layer cell
    L sits at L (low layer) or L + N - 2n (high layer), magnetic ones half a
    cell further; the depth is measured from the layer's inner face."""
    m, sigma_max, alpha_max = 3, 0.8 * 4, 0.01
    b, g = np.ones(2 * n), np.zeros(2 * n)
    for L in range(2 * n):
        x = (L if L < n else L + N - 2 * n) + (0.5 if half else 0.0)
        rho = min(max(n - x if L < n else x - (N - n), 0.0), n)
        sigma = sigma_max * (rho / n) ** m
        alpha = alpha_max * (1 - rho / n)
        b[L] = math.exp(-(sigma + alpha) * dt)
        if sigma > 0:
            g[L] = dt * sigma / (sigma + alpha) * (b[L] - 1)  # negative, carries dt
    return torch.tensor(b, dtype=torch.float32), torch.tensor(g, dtype=torch.float32)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    ap.add_argument("--steps", type=int, default=400)
    ap.add_argument("--size", type=int, default=40, help="cells per axis")
    ap.add_argument("--layer", type=int, default=10, help="CPML thickness in cells")
    ap.add_argument("--out", default="out/pulse_in_box.png")
    args = ap.parse_args()

    dev, N, n = args.device, args.size, args.layer
    f = dict(dtype=torch.float32, device=dev)
    Ex = torch.zeros(1, 1, N, N + 1, N + 1, 1, **f)
    Ey = torch.zeros(1, 1, N + 1, N, N + 1, 1, **f)
    Ez = torch.zeros(1, 1, N + 1, N + 1, N, 1, **f)
    H = [torch.zeros(1, 1, N, N, N, 1, **f) for _ in range(3)]
    C = [torch.full((N,), DT, **f) for _ in range(3)]  # dt / kappa, kappa = 1
    keep = [torch.ones(1, 1, 1, 1, **f).expand(1, N, N, N)] * 3  # vacuum
    loss = [torch.zeros(1, 1, 1, 1, **f).expand(1, N, N, N)] * 3
    n_layer = torch.tensor([n, n, n], dtype=torch.int32, device=dev)
    shapes = [(1, 1, 2 * n, N, N, 2, 1), (1, 1, N, 2 * n, N, 2, 1), (1, 1, N, N, 2 * n, 2, 1)]
    psi_h = [torch.zeros(s, **f) for s in shapes]
    psi_e = [torch.zeros(s, **f) for s in shapes]
    bh, gh = [t.to(dev) for t in cpml_profiles(N, n, half=True)]
    be, ge = [t.to(dev) for t in cpml_profiles(N, n, half=False)]
    unused = torch.zeros(1)

    # Source samples of a differentiated Gaussian, made to sum to exactly zero
    # so that the current leaves no static charge behind.
    tau, c = 2.0, N // 2
    t0 = 6 * tau
    ts = (np.arange(int(2 * t0 / DT)) + 0.5) * DT
    src = DT * (ts - t0) / tau**2 * np.exp(-((ts - t0) ** 2) / (2 * tau**2))
    src -= src.mean()
    snaps, snap_steps = [], sorted({args.steps // 8, args.steps // 4, args.steps // 2,
                                    args.steps - 1})
    peak = 0.0
    start = time.perf_counter()
    for step in range(args.steps):
        Voxstep.Update_H(*H, Ex, Ey, Ez, *C, *psi_h, bh, bh, bh, gh, gh, gh, n_layer, unused)
        Voxstep.Update_E(Ex, Ey, Ez, *H, *keep, *loss, *C, *psi_e, be, be, be, ge, ge, ge,
                         n_layer, unused)
        if step < len(src):
            Ez[0, 0, c, c, c, 0] += float(src[step])
        if step in snap_steps:
            snaps.append((step, Ez[0, 0, :N, :N, c, 0].cpu().numpy().copy()))
        if (step + 1) % 10 == 0:
            energy = sum(float((a.double() ** 2).sum()) for a in (Ex, Ey, Ez, *H))
            peak = max(peak, energy)
            if (step + 1) % 100 == 0:
                print(f"step {step + 1:5d}  energy {energy:.3e}  ({energy / peak:.2e} of the peak)")
    if dev.startswith("cuda"):
        torch.cuda.synchronize()
    elapsed = time.perf_counter() - start
    print(f"{N}^3 cells, {args.steps} steps on {dev}: {elapsed:.2f} s, "
          f"{N**3 * args.steps / elapsed:.3e} cells*steps/s (energy sums included)")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(snaps), figsize=(3.2 * len(snaps), 3.2))
    for ax, (step, img) in zip(np.atleast_1d(axes), snaps):
        lim = max(np.abs(img).max(), 1e-30)
        ax.imshow(img.T, origin="lower", cmap="RdBu_r", vmin=-lim, vmax=lim)
        ax.add_patch(plt.Rectangle((n - 0.5, n - 0.5), N - 2 * n, N - 2 * n, fill=False,
                                   ls="--", lw=0.8, color="k"))
        ax.set_title(f"Ez, step {step + 1} (max {lim:.1e})", fontsize=9)
        ax.set_xticks([])
        ax.set_yticks([])
    fig.tight_layout()
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    fig.savefig(args.out, dpi=100)
    print(f"saved {args.out}")


if __name__ == "__main__":
    main()
