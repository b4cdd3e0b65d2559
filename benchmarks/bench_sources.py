"""Sources, monitor and resampling on the same device as the work written
with plain PyTorch tensor operations, and against the copy roofline:
Inject_H (both modules), Inject_J, Monitor_Update_E and the two trilinear
functions.

Columns: GB/s, the bytes a call must move (each sample it reads or writes
counted once, complex values as 8 bytes) over its time; copy GB/s, the rate
torch moves the same number of bytes copying a tensor of half that size
into another, timed in turns with the kernel; ratio, the first over the
second; lines, the same ratio for the plane sources counting the whole
64-byte lines they move (below); torch ms and speedup, the plain-PyTorch
version. Two regimes: cache, every working set within this machine's 32 MB
last-level cache, and memory, none of them (as in a time step, where the
update kernels sweep the whole grid between two calls of these). On one CPU
thread the times are the thread's CPU time, on more the wall clock.

Reading the ratios:
- torch's copy reads each destination line before writing it, so it moves
  1.5 times the bytes it is credited with, while the kernels read what they
  write anyway: in the memory regime a kernel streaming at the machine's
  bandwidth shows a ratio above 1 (Inject_J, Monitor_Update_E).
- The plane sources cannot reach 0.5 by the bytes they need, in either
  module: plane k = kp of a [s, m, i, j, k, c] field holds each point's NC
  samples (16 bytes here) in a 64-byte line of their own, one row of Nz NC
  samples from the next point's, so every point moves a whole line of each
  field in and out, four times its samples. Counted by those lines
  (column lines) Voxstep.Inject_H runs at 0.8 of the copy rate from cache
  and above it from memory: the layout bounds it, not its loop.
- Voxstep4.Inject_H moves the same lines and also interpolates each
  point's delayed signal for both sources (the delay, the range tests, two
  samples gathered from the signal at a point-dependent index: a scalar
  chain that does not vectorise). From cache that arithmetic bounds it:
  with step = 0, where no point has a sample yet (same loops and delay
  reads, no interpolation or store), a call takes 0.09 ms against 0.58 ms
  (one thread, CPU time, 256 x 256), and Voxstep.Inject_H, the same line
  traffic without the interpolation, 0.27 ms. From memory the lines
  dominate (lines 0.83 on one thread).

Measured on the 2-core machine, one thread, before -> after the row
traversal of these kernels (ratio, cache regime / memory regime):
Voxstep.Inject_H 0.03 -> 0.27 / 0.10 -> 0.54, Voxstep4.Inject_H
0.04 -> 0.13 / 0.13 -> 0.29, Inject_J 0.17 -> 0.93 / 0.54 -> 1.53,
Monitor_Update_E 0.10 -> 0.51 / 0.23 -> 1.42. Two-thread figures need an
otherwise idle machine: with other work on the second core a parallel
region waits for it, and the copy itself falls below 1 GB/s."""
import argparse
import os
import sys
import time

import torch

sys.path.insert(0, os.path.dirname(__file__))
import Voxstep  # noqa: E402
import Voxstep4  # noqa: E402
import _voxstep_host  # noqa: E402
from common import devices, sync  # noqa: E402


def crand(*shape, device):
    return torch.randn(*shape, dtype=torch.complex64, device=device)


def halves(z, NC):
    """Channel c < NC/2 takes the real part of complex channel c, the others
    the imaginary part of channel c - NC/2."""
    h = NC // 2
    return torch.cat([z.real[..., :h], z.imag[..., :NC - h]], dim=-1)


# The plane sources' fields hold Nz * NC samples per (i, j), 64 bytes in both
# modules here: every point of the plane moves one whole line of each of the
# two fields in and out.
LINE_IO = 2 * 2 * 64


def bench_inject_h(device, P, NC, rows):
    NS, NM, Nz, kp, mx, my = 1, 1, 4, 1, 2, 2
    Hx = torch.zeros(NS, NM, P, P, Nz, NC, device=device)
    Hy = torch.zeros_like(Hx)
    coef = torch.full((Nz,), 0.5, device=device)
    ch = NC - NC // 2
    A1, A0 = crand(NS, ch, device=device), crand(NS, ch, device=device)
    P1, P0 = crand(NS, P, P, ch, device=device), crand(NS, P, P, ch, device=device)
    margin = torch.tensor([mx, my])

    def ref():
        si, sj = slice(mx, P - mx), slice(my, P - my)
        g = coef[kp]
        v0 = g * halves(A0[:, None, None, :] * P0[:, si, sj, :], NC)[:, None]
        v1 = g * halves(A1[:, None, None, :] * P1[:, si, sj, :], NC)[:, None]
        Hx[:, :, mx + 1:P - mx, sj, kp] -= v0[:, :, 1:]
        Hy[:, :, si, my + 1:P - my, kp] += v1[:, :, :, 1:]

    pts = P * P
    rows.append(("Voxstep.Inject_H", f"{P}x{P} NC={NC}",
                 lambda: Voxstep.Inject_H(Hx, Hy, coef, A1, A0, P1, P0, margin, kp), ref,
                 pts * NC * (2 * 4 * 2) + 2 * pts * ch * 8, pts * LINE_IO + 2 * pts * ch * 8))


def bench_inject_h4(device, P, NC, rows):
    NS, NM, Nz, kp, mx, my, Nt, step = 1, 1, 4, 1, 1, 1, 64, 40
    Hx = torch.zeros(NS, NM, P, P, Nz, NC, dtype=torch.complex64, device=device)
    Hy = torch.zeros_like(Hx)
    coef = torch.full((Nz,), 0.5, device=device)
    S1, S0 = crand(NS, Nt, device=device), crand(NS, Nt, device=device)
    P1, P0 = crand(NS, P, P, NC, device=device), crand(NS, P, P, NC, device=device)
    ramp = torch.linspace(0, 30, P, device=device)
    D1 = (ramp[:, None] + 0.25 * ramp[None, :]).contiguous()
    D0 = D1.flip(0).contiguous()
    margin = torch.tensor([mx, my])

    def delayed(S, D):
        tau = step - D
        ok = (tau >= 0) & (tau < Nt - 1)
        q = tau.floor().clamp(0, Nt - 2).long()
        f = tau - q
        sig = (1 - f)[None] * S[:, q] + f[None] * S[:, q + 1]
        return torch.where(ok[None], sig, torch.zeros((), dtype=sig.dtype, device=device))

    def ref():
        si, sj = slice(mx, P - mx), slice(my, P - my)
        g = coef[kp]
        v0 = (g * delayed(S0, D0[si, sj]))[..., None] * P0[:, si, sj]
        v1 = (g * delayed(S1, D1[si, sj]))[..., None] * P1[:, si, sj]
        Hx[:, :, mx + 1:P - mx, sj, kp] -= v0[:, None, 1:]
        Hy[:, :, si, my + 1:P - my, kp] += v1[:, None, :, 1:]

    pts = P * P
    rows.append(("Voxstep4.Inject_H", f"{P}x{P} NC={NC}",
                 lambda: Voxstep4.Inject_H(Hx, Hy, coef, S1, S0, P1, P0, D1, D0, margin, kp, step),
                 ref,
                 pts * NC * (2 * 8 * 2 + 2 * 8) + 2 * pts * 4,
                 pts * LINE_IO + pts * NC * 2 * 8 + 2 * pts * 4))


def bench_inject_j(device, B, NC, rows):
    NS, NM, x0 = 1, 1, 2
    N = B + 4
    E = [torch.zeros(NS, NM, N, N, N, NC, device=device) for _ in range(3)]
    J = [crand(NS, NM, B, B, B, device=device) for _ in range(3)]
    pos = torch.tensor([x0, x0, x0])
    box = (slice(None), slice(None), slice(x0, x0 + B), slice(x0, x0 + B), slice(x0, x0 + B))

    def ref():
        for e, j in zip(E, J):
            e[box] -= halves(j[..., None].expand(*j.shape, NC), NC)

    cells = B ** 3
    rows.append(("Voxstep.Inject_J", f"{B}^3 NC={NC}", lambda: Voxstep.Inject_J(*E, *J, pos), ref,
                 3 * cells * (NC * 4 * 2 + 8), None))


def bench_monitor(device, B, NC, rows):
    """A box of B + 1 node positions per axis at (x0, x0, x0); each component
    is sampled at B positions along its own axis and B + 1 along the others."""
    NS, NM, x0 = 1, 1, 1
    N = B + 3
    E = [torch.randn(NS, NM, N, N, N, NC, device=device) for _ in range(3)]
    M = [torch.zeros(NS, NM, B + (a != 0), B + (a != 1), B + (a != 2), NC, dtype=torch.complex64,
                     device=device) for a in range(3)]
    w = crand(NC, device=device)
    r = torch.tensor([x0, x0 + B - 1])
    last = x0 + B

    def ref():
        M[0].add_(w * E[0][:, :, x0:last, x0:last + 1, x0:last + 1])
        M[1].add_(w * E[1][:, :, x0:last + 1, x0:last, x0:last + 1])
        M[2].add_(w * E[2][:, :, x0:last + 1, x0:last + 1, x0:last])

    cells = (B + 1) ** 3
    rows.append(("Voxstep.Monitor_Update_E", f"{B + 1}^3 NC={NC}",
                 lambda: Voxstep.Monitor_Update_E(*M, *E, w, r, r, r), ref,
                 3 * cells * NC * (4 + 2 * 8), None))


def torch_corner_weights(grid, query):
    ng = grid.numel()
    l = (torch.searchsorted(grid, query, right=True) - 1).clamp(0, ng - 2)
    t = ((query - grid[l]) / (grid[l + 1] - grid[l])).clamp(0, 1)
    t = torch.where(torch.isnan(t), torch.ones_like(t), t)
    return l, t


def bench_trilinear(device, ng, nq, NC, rows):
    NS, NM = 1, 1
    grids = [torch.linspace(0, 1, ng, device=device) for _ in range(3)]
    queries = [torch.rand(nq, device=device) for _ in range(3)]
    src = crand(NS, NM, ng, ng, ng, NC, device=device)
    vals = crand(NS, NM, nq, nq, nq, NC, device=device)
    host = device == "cpu"
    fwd = _voxstep_host.Trilinear_interpolation if host else Voxstep.Trilinear_interpolation
    rev = (_voxstep_host.Trilinear_reverse_interpolation if host
           else Voxstep.Trilinear_reverse_interpolation)

    def corners():
        lw = [torch_corner_weights(g, q) for g, q in zip(grids, queries)]
        out = []
        for dx in (0, 1):
            for dy in (0, 1):
                for dz in (0, 1):
                    wx = lw[0][1] if dx else 1 - lw[0][1]
                    wy = lw[1][1] if dy else 1 - lw[1][1]
                    wz = lw[2][1] if dz else 1 - lw[2][1]
                    w = wx[:, None, None] * wy[None, :, None] * wz[None, None, :]
                    out.append((lw[0][0] + dx, lw[1][0] + dy, lw[2][0] + dz, w))
        return out

    def ref_forward():
        acc = torch.zeros(NS, NM, nq, nq, nq, NC, dtype=torch.complex64, device=device)
        for ix, iy, iz, w in corners():
            acc += w[None, None, ..., None] * src[:, :, ix][:, :, :, iy][:, :, :, :, iz]
        return acc

    def ref_reverse():
        out = torch.zeros(NS, NM, ng * ng * ng, NC, dtype=torch.complex64, device=device)
        for ix, iy, iz, w in corners():
            flat = (ix[:, None, None] * ng + iy[None, :, None]) * ng + iz[None, None, :]
            out.index_add_(2, flat.reshape(-1),
                           (w[None, None, ..., None] * vals).reshape(NS, NM, -1, NC))
        return out.reshape(NS, NM, ng, ng, ng, NC)

    size = f"{ng}^3->{nq}^3 NC={NC}"
    pts = nq ** 3
    rows.append(("Voxstep.Trilinear_interpolation", size, lambda: fwd(*grids, src, *queries, False),
                 ref_forward, pts * NC * 8 * 9, None))
    rows.append(("Voxstep.Trilinear_reverse", size, lambda: rev(*grids, vals, *queries),
                 ref_reverse, pts * NC * 8 * 9, None))


def batch_seconds(fn, device, min_time=0.05):
    """Seconds per call of one batch of calls lasting at least min_time. On
    one CPU thread the clock is the thread's CPU time: the machine is shared,
    and time spent descheduled is not the kernel's."""
    clock = (time.thread_time if device == "cpu" and torch.get_num_threads() == 1
             else time.perf_counter)
    sync(device)
    start, iters = clock(), 0
    while iters < 3 or clock() - start < min_time:
        fn()
        iters += 1
    sync(device)
    return (clock() - start) / iters


HEADER = (f"{'function':<32}{'size':<20}{'ms/call':>9}{'GB/s':>7}{'copy GB/s':>10}"
          f"{'ratio':>7}{'lines':>7}{'torch ms':>10}{'speedup':>8}")


def print_rows(rows, device):
    """One line per kernel: the bytes a call must move over its time, against
    the copy roofline of the same byte count measured now, and their ratio
    (for the plane sources also the ratio counting the whole lines they move;
    see the module docstring). The kernel, the copy and the torch version
    are timed in turns, each by its fastest of nine batches, so that a busy
    spell of the machine does not fall on one of them only."""
    for name, size, ext, ref, nbytes, line_bytes in rows:
        n = max(1, nbytes // 8)
        src = torch.randn(n, device=device)
        dst = torch.empty_like(src)
        for fn in (ext, ref):  # warm up
            fn()
        t_ext = t_ref = t_copy = float("inf")
        for _ in range(9):
            t_ext = min(t_ext, batch_seconds(ext, device))
            t_copy = min(t_copy, batch_seconds(lambda: dst.copy_(src), device))
            t_ref = min(t_ref, batch_seconds(ref, device))
        roof = 2 * n * 4 / t_copy
        lines = f"{line_bytes / t_ext / roof:>7.2f}" if line_bytes else f"{'':>7}"
        print(f"{name:<32}{size:<20}{t_ext * 1e3:>9.3f}{nbytes / t_ext / 1e9:>7.1f}"
              f"{roof / 1e9:>10.1f}{nbytes / t_ext / roof:>7.2f}{lines}{t_ref * 1e3:>10.3f}"
              f"{t_ref / t_ext:>8.2f}")


# Sizes per device and regime: (plane, box, trilinear grid, queries). The
# cache regime fits every working set in this machine's 32 MB last-level
# cache; the memory regime does not (as in a time step, where the update
# kernels sweep the whole grid between two calls of these).
SIZES = {
    ("cpu", "quick"): (96, 24, 24, 24),
    ("cpu", "cache"): (256, 48, 48, 48),
    ("cpu", "memory"): (1024, 128, 0, 0),
    ("cuda", "quick"): (512, 64, 64, 64),
    ("cuda", "cache"): (2048, 160, 128, 128),
    ("cuda", "memory"): (2048, 160, 128, 128),
}


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--device", default=None, help="cpu or cuda (default: both when present)")
    p.add_argument("--quick", action="store_true", help="small sizes, for smoke runs")
    p.add_argument("--regimes", default="cache,memory",
                   help="size regimes to run, comma separated (default cache,memory)")
    p.add_argument("--threads", default="1,2",
                   help="CPU thread counts to run, comma separated (default 1,2)")
    p.add_argument("--only", default="", help="run only the kernels whose names contain this")
    args = p.parse_args()
    regimes = ["quick"] if args.quick else args.regimes.split(",")
    for device in devices(args.device):
        gpu = device == "cuda"
        for regime in regimes:
            plane, box, ng, nq = SIZES[(device, regime)]
            benches = [("Voxstep.Inject_H", lambda r: bench_inject_h(device, plane, 4, r)),
                       ("Voxstep4.Inject_H", lambda r: bench_inject_h4(device, plane, 2, r)),
                       ("Voxstep.Inject_J", lambda r: bench_inject_j(device, box, 2, r)),
                       ("Voxstep.Monitor_Update_E", lambda r: bench_monitor(device, box, 2, r))]
            if ng:
                benches.append(("Voxstep.Trilinear",
                                lambda r: bench_trilinear(device, ng, nq, 2, r)))
            for threads in ([int(t) for t in args.threads.split(",")] if not gpu else [0]):
                if threads:
                    torch.set_num_threads(threads)
                print(f"\n{device}, {regime} regime" + (f", {threads} thread(s)" if threads else ""))
                print(HEADER)
                print("-" * len(HEADER))
                rows = []
                for name, bench in benches:
                    if args.only in name:
                        bench(rows)
                print_rows(rows, device)


if __name__ == "__main__":
    main()
