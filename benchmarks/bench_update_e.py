"""Update_E, Update_E_Dispersion and Update_E_Periodic of both modules against
plain PyTorch operations doing the same work on the same device."""
import os
import sys

import torch

sys.path.insert(0, os.path.dirname(__file__))
import Voxstep  # noqa: E402
import Voxstep4  # noqa: E402
from common import devices, parse_args, print_header, report, seconds_per_call  # noqa: E402


def fields(NS, NM, N, NC, n, dtype, dev):
    f = dict(dtype=dtype, device=dev)
    E = [torch.randn(NS, NM, N, N + 1, N + 1, NC, **f), torch.randn(NS, NM, N + 1, N, N + 1, NC, **f),
         torch.randn(NS, NM, N + 1, N + 1, N, NC, **f)]
    H = [torch.randn(NS, NM, N, N, N, NC, **f) for _ in range(3)]
    psi = [torch.zeros(NS, NM, 2 * n, N, N, 2, NC, **f), torch.zeros(NS, NM, N, 2 * n, N, 2, NC, **f),
           torch.zeros(NS, NM, N, N, 2 * n, 2, NC, **f)]
    return E, H, psi


def torch_update_e(E, H, keep, loss, C, psi, b, g, n):
    """The electric update with slicing: curl step on the interior, then the
    layer recursions on the low (1..n-1) and high (N-n..N-1) layer cells."""
    Ex, Ey, Ez = E
    Hx, Hy, Hz = H
    Cx, Cy, Cz = C
    N = Hx.shape[2]
    f = [(k - l)[None, ..., None] if k.dim() == 4 else (k - l[..., None])[None] for k, l in zip(keep, loss)]
    dyHz = Hz[:, :, :, 1:] - Hz[:, :, :, :-1]
    dzHy = Hy[:, :, :, :, 1:] - Hy[:, :, :, :, :-1]
    dzHx = Hx[:, :, :, :, 1:] - Hx[:, :, :, :, :-1]
    dxHz = Hz[:, :, 1:] - Hz[:, :, :-1]
    dxHy = Hy[:, :, 1:] - Hy[:, :, :-1]
    dyHx = Hx[:, :, :, 1:] - Hx[:, :, :, :-1]
    ex = Ex[:, :, :N, 1:N, 1:N]
    ex.copy_(f[0][:, :, :, 1:, 1:] * ex + Cy[1:, None, None] * dyHz[:, :, :, :, 1:]
             - Cz[1:, None] * dzHy[:, :, :, 1:])
    ey = Ey[:, :, 1:N, :N, 1:N]
    ey.copy_(f[1][:, :, 1:, :, 1:] * ey + Cz[1:, None] * dzHx[:, :, 1:]
             - Cx[1:, None, None, None] * dxHz[:, :, :, :, 1:])
    ez = Ez[:, :, 1:N, 1:N, :N]
    ez.copy_(f[2][:, :, 1:, 1:] * ez + Cx[1:, None, None, None] * dxHy[:, :, :, 1:]
             - Cy[1:, None, None] * dyHx[:, :, 1:])
    # x layers (the y and z ones are the same slicing along their axes)
    for lo, hi, L0 in ((1, n, 1), (N - n, N, n)):
        sl = slice(lo, hi)
        Ls = slice(L0, L0 + hi - lo)
        d = slice(lo - 1, hi - 1)  # backward differences of the cells lo .. hi-1
        bx, gx = b[0][Ls].view(-1, 1, 1, 1), g[0][Ls].view(-1, 1, 1, 1)
        by, gy = b[1][Ls].view(-1, 1, 1), g[1][Ls].view(-1, 1, 1)
        bz, gz = b[2][Ls].view(-1, 1), g[2][Ls].view(-1, 1)
        p = psi[0]
        p[:, :, Ls, :, :, 0] = bx * p[:, :, Ls, :, :, 0] - gx * dxHz[:, :, d]
        Ey[:, :, sl, :N, :N] += p[:, :, Ls, :, :, 0]
        p[:, :, Ls, :, :, 1] = bx * p[:, :, Ls, :, :, 1] + gx * dxHy[:, :, d]
        Ez[:, :, sl, :N, :N] += p[:, :, Ls, :, :, 1]
        q = psi[1]
        q[:, :, :, Ls, :, 0] = by * q[:, :, :, Ls, :, 0] - gy * dyHx[:, :, :, d]
        Ez[:, :, :N, sl, :N] += q[:, :, :, Ls, :, 0]
        q[:, :, :, Ls, :, 1] = by * q[:, :, :, Ls, :, 1] + gy * dyHz[:, :, :, d]
        Ex[:, :, :N, sl, :N] += q[:, :, :, Ls, :, 1]
        r = psi[2]
        r[:, :, :, :, Ls, 0] = bz * r[:, :, :, :, Ls, 0] - gz * dzHy[:, :, :, :, d]
        Ex[:, :, :N, :N, sl] += r[:, :, :, :, Ls, 0]
        r[:, :, :, :, Ls, 1] = bz * r[:, :, :, :, Ls, 1] + gz * dzHx[:, :, :, :, d]
        Ey[:, :, :N, :N, sl] += r[:, :, :, :, Ls, 1]


def torch_dispersion(E, P, w, p, q, den1, den2, alpha, beta, aux1, aux2, N):
    for d, (sx, sy, sz) in enumerate(((slice(0, N), slice(1, N), slice(1, N)),
                                      (slice(1, N), slice(0, N), slice(1, N)),
                                      (slice(1, N), slice(1, N), slice(0, N)))):
        e = E[d][:, :, sx, sy, sz]
        a1, a2 = aux1[d][:, :, sx, sy, sz], aux2[d][:, :, sx, sy, sz]
        ap = alpha[p[d][:, sx, sy, sz].long()][None, ..., None]
        aq = alpha[q[d][:, sx, sy, sz].long()][None, ..., None]
        bp = beta[p[d][:, sx, sy, sz].long()][None, ..., None]
        bq = beta[q[d][:, sx, sy, sz].long()][None, ..., None]
        ww = w[d][None, :, sx, sy, sz, None]
        D = (den1[d] + den2[d])[None, :, sx, sy, sz, None]
        en = (e - ((1 + ap) * a1).real - ((1 + aq) * a2).real) / D
        dE = en - P[d][:, :, sx, sy, sz]
        e.copy_(en)
        a1.copy_(ap * a1 + ww * bp * dE)
        a2.copy_(aq * a2 + (1 - ww) * bq * dE)
    for d in range(3):
        P[d].copy_(E[d])


def torch_periodic_real(Ex, Ey, Ez, px, py, H):
    def ghost(F, ax, table):
        N = F.shape[ax] - 1
        C = table[:, None, None, None, :H]
        S = table[:, None, None, None, H:2 * H]
        A, B = F.select(ax, N - 1), F.select(ax, 1)
        lo = torch.cat([C * A[..., :H] - S * A[..., H:2 * H], S * A[..., :H] + C * A[..., H:2 * H]], -1)
        hi = torch.cat([C * B[..., :H] + S * B[..., H:2 * H], C * B[..., H:2 * H] - S * B[..., :H]], -1)
        F.select(ax, 0)[..., :2 * H] = lo
        F.select(ax, N)[..., :2 * H] = hi
    ghost(Ey, 2, px)
    ghost(Ez, 2, px)
    ghost(Ex, 3, py)
    ghost(Ez, 3, py)


def torch_periodic_complex(Ex, Ey, Ez, px, py):
    def ghost(F, ax, P):
        N = F.shape[ax] - 1
        P = P[:, None, None, None, :]
        lo, hi = P * F.select(ax, N - 1), P.conj() * F.select(ax, 1)
        F.select(ax, 0).copy_(lo)
        F.select(ax, N).copy_(hi)
    ghost(Ey, 2, px)
    ghost(Ez, 2, px)
    ghost(Ex, 3, py)
    ghost(Ez, 3, py)


def main():
    args = parse_args(__doc__.split("\n")[0])
    for dev in devices(args.device):
        N = 32 if args.quick else (64 if dev == "cpu" else 160)
        NS, NM, NC, n = 1, 1, 2, 8
        size = f"{N}^3 x{NC}"
        cells = N**3 * NC
        f32 = dict(dtype=torch.float32, device=dev)
        print_header()

        # --- Update_E (both modules)
        for mod, cplx in ((Voxstep, False), (Voxstep4, True)):
            dt = torch.complex64 if cplx else torch.float32
            E, H, psi = fields(NS, NM, N, NC, n, dt, dev)
            keep = [torch.rand(NM, N, N, N, *((NC,) if cplx else ()), **f32) for _ in range(3)]
            loss = [torch.rand(NM, N, N, N, **f32) * 0.1 for _ in range(3)]
            C = [torch.full((N,), 0.5, **f32) for _ in range(3)]
            b = [torch.full((2 * n,), 0.9, **f32) for _ in range(3)]
            g = [torch.full((2 * n,), -0.1, **f32) for _ in range(3)]
            nl = torch.tensor([n, n, n], dtype=torch.int32, device=dev)
            unused = torch.zeros(1)
            t_ext = seconds_per_call(lambda: mod.Update_E(*E, *H, *keep, *loss, *C, *psi, *b, *g, nl,
                                                          unused), dev)
            t_ref = seconds_per_call(lambda: torch_update_e(E, H, keep, loss, C, psi, b, g, n), dev)
            es = E[0].element_size()
            report(f"{mod.__name__}.Update_E", dev, size, t_ext, t_ref, NS * NM * cells,
                   NS * NM * cells * es * 9 + NM * N**3 * 4 * 6)

        # --- Update_E_Dispersion (real)
        E, _, _ = fields(NS, NM, N, NC, n, torch.float32, dev)
        P = [e.clone() for e in E]
        w = [torch.rand(NM, N, N, N, **f32) for _ in range(3)]
        p = [torch.randint(0, 4, (NM, N, N, N), dtype=torch.uint8, device=dev) for _ in range(3)]
        q = [torch.randint(0, 4, (NM, N, N, N), dtype=torch.uint8, device=dev) for _ in range(3)]
        # den1 + den2 = 1, so repeated calls keep the field at its scale (a
        # field shrinking into subnormals would time the CPU's slow path).
        den1 = [0.5 + 0.5 * torch.rand(NM, N, N, N, **f32) for _ in range(3)]
        den2 = [1 - d for d in den1]
        # |alpha| near 1: the undriven auxiliaries decay slowly, not into subnormals
        alpha = 0.99 * torch.exp(1j * torch.rand(4, device=dev)).to(torch.complex64)
        beta = torch.randn(4, dtype=torch.complex64, device=dev)
        aux1 = [torch.zeros(e.shape, dtype=torch.complex64, device=dev) for e in E]
        aux2 = [torch.zeros(e.shape, dtype=torch.complex64, device=dev) for e in E]
        t_ext = seconds_per_call(lambda: Voxstep.Update_E_Dispersion(
            *E, *P, *w, *p, *q, *den1, *den2, alpha, beta, *aux1, *aux2, torch.zeros(1)), dev)
        t_ref = seconds_per_call(lambda: torch_dispersion(E, P, w, p, q, den1, den2, alpha, beta,
                                                          aux1, aux2, N), dev)
        report("Voxstep.Update_E_Dispersion", dev, size, t_ext, t_ref, 3 * NS * NM * cells,
               3 * NS * NM * cells * (4 * 4 + 8 * 4) + 3 * NM * N**3 * 14)

        # --- Update_E_Dispersion (complex, divide-only)
        E, _, _ = fields(NS, NM, N, NC, n, torch.complex64, dev)
        d1 = [0.5 * torch.rand(NM, N, N, N, NC, **f32) for _ in range(3)]
        d2 = [1 - d[..., 0] for d in d1]  # channel 0 divides by 1, the others near it

        interior = ((slice(0, N), slice(1, N), slice(1, N)), (slice(1, N), slice(0, N), slice(1, N)),
                    (slice(1, N), slice(1, N), slice(0, N)))

        def torch_divide():
            for e, a, b_, (sx, sy, sz) in zip(E, d1, d2, interior):
                e[:, :, sx, sy, sz] /= (a + b_[..., None])[None, :, sx, sy, sz]
        t_ext = seconds_per_call(lambda: Voxstep4.Update_E_Dispersion(*E, *d1, *d2, torch.zeros(1)), dev)
        t_ref = seconds_per_call(torch_divide, dev)
        report("Voxstep4.Update_E_Dispersion", dev, size, t_ext, t_ref, 3 * NS * NM * cells,
               3 * NS * NM * cells * 16 + 3 * NM * N**3 * (4 * NC + 4))

        # --- Update_E_Periodic (both modules)
        flags = torch.ones(2, dtype=torch.int32, device=dev)
        face = 4 * NS * NM * NC * (N + 1) ** 2
        E, _, _ = fields(NS, NM, N, NC, n, torch.float32, dev)
        px = torch.randn(NS, NC, **f32)
        py = torch.randn(NS, NC, **f32)
        t_ext = seconds_per_call(lambda: Voxstep.Update_E_Periodic(*E, px, py, flags, True), dev)
        t_ref = seconds_per_call(lambda: torch_periodic_real(*E, px, py, NC // 2), dev)
        report("Voxstep.Update_E_Periodic", dev, f"{N}^2 faces x{NC}", t_ext, t_ref, face,
               face * 2 * 4 * 2)
        E, _, _ = fields(NS, NM, N, NC, n, torch.complex64, dev)
        cx = torch.randn(NS, NC, dtype=torch.complex64, device=dev)
        cy = torch.randn(NS, NC, dtype=torch.complex64, device=dev)
        t_ext = seconds_per_call(lambda: Voxstep4.Update_E_Periodic(*E, cx, cy, flags, False), dev)
        t_ref = seconds_per_call(lambda: torch_periodic_complex(*E, cx.conj(), cy.conj()), dev)
        report("Voxstep4.Update_E_Periodic", dev, f"{N}^2 faces x{NC}", t_ext, t_ref, face,
               face * 2 * 8 * 2)
        print()


if __name__ == "__main__":
    main()
