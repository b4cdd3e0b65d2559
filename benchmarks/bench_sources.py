"""Sources, monitor and resampling against the same work written with plain
PyTorch tensor operations on the same device: Inject_H (both modules),
Inject_J, Monitor_Update_E and the two trilinear functions."""
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(__file__))
import Voxstep  # noqa: E402
import Voxstep4  # noqa: E402
import _voxstep_host  # noqa: E402
from common import devices, parse_args, print_header, report, seconds_per_call  # noqa: E402


def crand(*shape, device):
    return torch.randn(*shape, dtype=torch.complex64, device=device)


def halves(z, NC):
    """Channel c < NC/2 takes the real part of complex channel c, the others
    the imaginary part of channel c - NC/2."""
    h = NC // 2
    return torch.cat([z.real[..., :h], z.imag[..., :NC - h]], dim=-1)


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

    t_ext = seconds_per_call(lambda: Voxstep.Inject_H(Hx, Hy, coef, A1, A0, P1, P0, margin, kp),
                             device)
    t_ref = seconds_per_call(ref, device)
    pts = P * P
    rows.append(("Voxstep.Inject_H", f"{P}x{P} NC={NC}", t_ext, t_ref, pts * NC,
                 pts * NC * (2 * 4 * 2) + 2 * pts * ch * 8))


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

    t_ext = seconds_per_call(
        lambda: Voxstep4.Inject_H(Hx, Hy, coef, S1, S0, P1, P0, D1, D0, margin, kp, step), device)
    t_ref = seconds_per_call(ref, device)
    pts = P * P
    rows.append(("Voxstep4.Inject_H", f"{P}x{P} NC={NC}", t_ext, t_ref, pts * NC,
                 pts * NC * (2 * 8 * 2 + 2 * 8) + 2 * pts * 4))


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

    t_ext = seconds_per_call(lambda: Voxstep.Inject_J(*E, *J, pos), device)
    t_ref = seconds_per_call(ref, device)
    cells = B ** 3
    rows.append(("Voxstep.Inject_J", f"{B}^3 NC={NC}", t_ext, t_ref, cells * NC,
                 3 * cells * (NC * 4 * 2 + 8)))


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

    t_ext = seconds_per_call(lambda: Voxstep.Monitor_Update_E(*M, *E, w, r, r, r), device)
    t_ref = seconds_per_call(ref, device)
    cells = (B + 1) ** 3
    rows.append(("Voxstep.Monitor_Update_E", f"{B + 1}^3 NC={NC}", t_ext, t_ref, cells * NC,
                 3 * cells * NC * (4 + 2 * 8)))


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
    t_ext = seconds_per_call(lambda: fwd(*grids, src, *queries, False), device)
    t_ref = seconds_per_call(ref_forward, device)
    rows.append(("Voxstep.Trilinear_interpolation", size, t_ext, t_ref, pts * NC,
                 pts * NC * 8 * 9))
    t_ext = seconds_per_call(lambda: rev(*grids, vals, *queries), device)
    t_ref = seconds_per_call(ref_reverse, device)
    rows.append(("Voxstep.Trilinear_reverse", size, t_ext, t_ref, pts * NC, pts * NC * 8 * 9))


def main():
    args = parse_args(__doc__)
    print_header()
    for device in devices(args.device):
        gpu = device == "cuda"
        if args.quick:
            plane, box, ng, nq = (512, 64, 64, 64) if gpu else (96, 24, 24, 24)
        else:
            plane, box, ng, nq = (2048, 160, 128, 128) if gpu else (256, 48, 48, 48)
        rows = []
        bench_inject_h(device, plane, 4, rows)
        bench_inject_h4(device, plane, 2, rows)
        bench_inject_j(device, box, 2, rows)
        bench_monitor(device, box, 2, rows)
        bench_trilinear(device, ng, nq, 2, rows)
        for name, size, t_ext, t_ref, items, nbytes in rows:
            report(name, device, size, t_ext, t_ref, items, nbytes)


if __name__ == "__main__":
    main()
