"""Inverse design with adjoint gradients: a two-layer broadband
anti-reflection coating on glass.

The permittivities of the two layers are torch tensors; every iteration
runs one spectrum (the forward run) and ``loss.backward()`` (one adjoint
run for all the band's frequencies), and ``torch.optim.Adam`` moves the
permittivities. The design ends with a figure of merit checked by a plain
forward run (no gradient) and by the transfer matrix, and a figure of the
objective against iteration and of the final structure.

    python examples/antireflection.py [--iterations 40] [--out antireflection.png]
"""
import argparse
import time
import warnings

import numpy as np
import torch

import voxsim as vx
from voxsim.analytic import transfer_matrix

GLASS = vx.Medium(2.25)
BAND = np.linspace(0.55, 1.05, 6)        # c/a
THICKNESS = (0.16, 0.11)                 # a
RESOLUTION = 40
BOUNDS = (1.0, 4.0)                      # the permittivities stay in this range


def coating(e1, e2):
    return vx.Stack([vx.Layer(THICKNESS[0], vx.Medium(e1)), vx.Layer(THICKNESS[1], vx.Medium(e2))],
                    incident=vx.Medium(1.0), substrate=GLASS)


def mean_reflection(e1, e2):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vx.NotConvergedWarning)
        sp = vx.spectrum([coating(e1, e2)], BAND, RESOLUTION)
    return torch.as_tensor(sp.R[0, 0]).mean()


def optimise(iterations=40, lr=0.08, start=(2.0, 2.0), verbose=True):
    """Adam on the two permittivities; returns (history of the objective,
    final (e1, e2))."""
    eps = torch.tensor(start, dtype=torch.float64, requires_grad=True)
    opt = torch.optim.Adam([eps], lr=lr)
    history = []
    for it in range(iterations):
        t0 = time.perf_counter()
        opt.zero_grad()
        loss = mean_reflection(eps[0], eps[1])
        loss.backward()
        opt.step()
        with torch.no_grad():
            eps.clamp_(*BOUNDS)
        history.append(float(loss))
        if verbose:
            print(f"iteration {it:3d}: mean R {float(loss):.5f}  eps {eps.detach().numpy().round(4)}"
                  f"  ({time.perf_counter() - t0:.2f} s)")
    return history, tuple(float(e) for e in eps.detach())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--iterations", type=int, default=40)
    ap.add_argument("--out", default="antireflection.png")
    args = ap.parse_args()
    bare = float(np.mean(transfer_matrix(vx.Stack([], incident=vx.Medium(1.0), substrate=GLASS),
                                         BAND)[0]))
    history, (e1, e2) = optimise(args.iterations)
    check = float(mean_reflection(e1, e2))          # a forward run of the final design
    tm = float(np.mean(transfer_matrix(coating(e1, e2), BAND)[0]))
    print(f"final design: eps {e1:.4f}, {e2:.4f}; mean R over the band {check:.5f} "
          f"(transfer matrix {tm:.5f}; bare glass {bare:.5f})")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, (a, b) = plt.subplots(1, 2, figsize=(10, 3.8))
    a.semilogy(history, "o-", ms=3)
    a.axhline(bare, color="0.5", ls="--", label="bare glass")
    a.set(xlabel="iteration", ylabel="mean R over the band", title="objective")
    a.legend()
    z = np.array([-0.1, 0, 0, THICKNESS[0], THICKNESS[0], sum(THICKNESS), sum(THICKNESS), 0.4])
    eps = np.array([1, 1, e1, e1, e2, e2, 2.25, 2.25])
    b.plot(z, eps, drawstyle="steps-post")
    b.set(xlabel="z (a)", ylabel="permittivity", title="final structure (light from the left)")
    fig.tight_layout()
    fig.savefig(args.out, dpi=120)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
