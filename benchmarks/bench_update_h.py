"""Update_H throughput (cells x channels per second, effective GB/s) against
the same magnetic update written with plain PyTorch tensor operations."""
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(__file__))
import Voxstep  # noqa: E402
import Voxstep4  # noqa: E402
from common import parse_args, print_header, report, seconds_per_call, devices  # noqa: E402


def make(device, N, NC, n, dtype=torch.float32):
    NS = NM = 1
    Nx, Ny, Nz = N
    f = lambda *s: torch.randn(*s, device=device, dtype=dtype) * 0.01  # noqa: E731
    E = [f(NS, NM, Nx, Ny + 1, Nz + 1, NC), f(NS, NM, Nx + 1, Ny, Nz + 1, NC),
         f(NS, NM, Nx + 1, Ny + 1, Nz, NC)]
    H = [f(NS, NM, Nx, Ny, Nz, NC) for _ in range(3)]
    C = [torch.full((x,), 0.5, device=device) for x in N]
    psi = [torch.zeros(NS, NM, 2 * n, Ny, Nz, 2, NC, device=device, dtype=dtype),
           torch.zeros(NS, NM, Nx, 2 * n, Nz, 2, NC, device=device, dtype=dtype),
           torch.zeros(NS, NM, Nx, Ny, 2 * n, 2, NC, device=device, dtype=dtype)]
    b = [torch.full((2 * n,), 0.9, device=device) for _ in range(3)]
    g = [torch.full((2 * n,), -0.05, device=device) for _ in range(3)]
    nl = torch.tensor([n, n, n], dtype=torch.int32, device=device)
    return H, E, C, psi, b, g, nl


def torch_update_h(H, E, C, psi, b, g, n):
    """The same update with tensor operations (layers as two slabs per axis;
    assumes 2n <= N)."""
    Hx, Hy, Hz = H
    Ex, Ey, Ez = E
    Nx, Ny, Nz = Hx.shape[2:5]
    dyEx = Ex[:, :, :, 1:] - Ex[:, :, :, :-1]
    dzEx = Ex[:, :, :, :, 1:] - Ex[:, :, :, :, :-1]
    dxEy = Ey[:, :, 1:] - Ey[:, :, :-1]
    dzEy = Ey[:, :, :, :, 1:] - Ey[:, :, :, :, :-1]
    dxEz = Ez[:, :, 1:] - Ez[:, :, :-1]
    dyEz = Ez[:, :, :, 1:] - Ez[:, :, :, :-1]
    dyEx, dzEx = dyEx[:, :, :, :, :Nz], dzEx[:, :, :, :Ny]
    dxEy, dzEy = dxEy[:, :, :, :, :Nz], dzEy[:, :, :Nx]
    dxEz, dyEz = dxEz[:, :, :, :Ny], dyEz[:, :, :Nx]
    cx = C[0].view(1, 1, -1, 1, 1, 1)
    cy = C[1].view(1, 1, 1, -1, 1, 1)
    cz = C[2].view(1, 1, 1, 1, -1, 1)
    Hx += cz * dzEy - cy * dyEz
    Hy += cx * dxEz - cz * dzEx
    Hz += cy * dyEx - cx * dxEy
    slabs = [slice(0, n), slice(None, None)]
    for axis, (p, bb, gg, plus, minus, hp, hm) in enumerate([
            (psi[0], b[0], g[0], dxEz, dxEy, Hy, Hz),
            (psi[1], b[1], g[1], dyEx, dyEz, Hz, Hx),
            (psi[2], b[2], g[2], dzEy, dzEx, Hx, Hy)]):
        N = Hx.shape[2 + axis]
        for cells, layer in ((slice(0, n), slice(0, n)), (slice(N - n, N), slice(n, 2 * n))):
            shape = [1] * 6
            shape[2 + axis] = n
            bv = bb[layer].view(shape)
            gv = gg[layer].view(shape)
            idx = [slice(None)] * 6
            idx[2 + axis] = cells
            pidx = [slice(None)] * 7
            pidx[2 + axis] = layer
            p0 = p[tuple(pidx[:5] + [0])]
            p1 = p[tuple(pidx[:5] + [1])]
            p0.mul_(bv).add_(gv * plus[tuple(idx)])
            p1.mul_(bv).sub_(gv * minus[tuple(idx)])
            hp[tuple(idx)] += p0
            hm[tuple(idx)] += p1
    del slabs


def main():
    args = parse_args(__doc__)
    print_header()
    for device in devices(args.device):
        if device == "cuda":
            N, NC, n = ((64, 64, 64), 2, 8) if args.quick else ((160, 160, 160), 2, 10)
        else:
            N, NC, n = ((24, 24, 24), 2, 4) if args.quick else ((64, 64, 64), 2, 8)
        cells = N[0] * N[1] * N[2]
        for module, dtype, name in ((Voxstep, torch.float32, "Voxstep.Update_H"),
                                    (Voxstep4, torch.complex64, "Voxstep4.Update_H")):
            H, E, C, psi, b, g, nl = make(device, N, NC, n, dtype)
            unused = torch.empty(0, device=device)
            t_ext = seconds_per_call(lambda: module.Update_H(*H, *E, *C, *psi, *b, *g, nl, unused),
                                     device)
            t_ref = seconds_per_call(lambda: torch_update_h(H, E, C, psi, b, g, n), device)
            elem = torch.empty((), dtype=dtype).element_size()
            layer_cells = sum(2 * n * cells // N[a] for a in range(3))
            bytes_moved = elem * NC * (9 * cells + 2 * 2 * layer_cells)
            report(name, device, "x".join(map(str, N)) + f" NC={NC}", t_ext, t_ref,
                   cells * NC, bytes_moved)


if __name__ == "__main__":
    main()
