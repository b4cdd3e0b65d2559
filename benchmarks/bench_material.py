"""Material preparation against plain PyTorch doing the same work.

The overlap averages are separable (a weight per voxel is wx * wy * wz /
volume), so the PyTorch versions build one overlap matrix per axis and
contract the voxel map with einsum; the mixing kernels are a gather and a
lerp."""
import torch

import Voxstep
import Voxstep4
import _voxstep_host
from common import devices, parse_args, print_header, report, seconds_per_call


def window(box, coord):
    index = torch.arange(len(coord), device=coord.device)
    first = int(torch.where(coord < box[0], index, -1).max())
    last = int(torch.where(coord > box[1], index, len(coord)).min())
    first = 0 if first < 0 else first - first % 2
    last = len(coord) - 1 if last >= len(coord) else min(last + last % 2, len(coord) - 1)
    return first, last


def overlap_matrix(box, V, coord, first, last):
    """[W, V] overlap of each window point's sample cell with each voxel, over
    the cell's extent."""
    c = coord
    mid = (c[1:] + c[:-1]) / 2
    lo = torch.cat([c[:1], mid])[first:last + 1]
    hi = torch.cat([mid, c[-1:]])[first:last + 1]
    edges = box[0] + (box[1] - box[0]) / V * torch.arange(V + 1, device=c.device, dtype=c.dtype)
    ov = (torch.minimum(hi[:, None], edges[None, 1:]) - torch.maximum(lo[:, None], edges[None, :-1]))
    return ov.clamp_min(0) / (hi - lo)[:, None]


def torch_average(boxes, vox_terms, coords):
    """Windows and the overlap averages of each [NM, Vx, Vy, Vz] term."""
    V = vox_terms[0].shape[1:]
    wins = [window(b, c) for b, c in zip(boxes, coords)]
    A = [overlap_matrix(b, v, c, *w) for b, v, c, w in zip(boxes, V, coords, wins)]
    Ax, Ay, Az = A
    # Contract one axis at a time (z, then y, then x).
    return wins, [torch.einsum("ia,majk->mijk", Ax,
                               torch.einsum("jb,mabk->majk", Ay,
                                            torch.einsum("kc,mabc->mabk", Az, t)))
                  for t in vox_terms]


def main():
    args = parse_args(__doc__.splitlines()[0])
    L = 40 if args.quick else 96
    V = 24 if args.quick else 64
    print_header()
    for dev in devices(args.device):
        fns = Voxstep if dev.startswith("cuda") else _voxstep_host
        f32 = dict(dtype=torch.float32, device=dev)
        gen = torch.Generator().manual_seed(0)
        shape = (1, L, L, L)
        coords = [torch.linspace(0, L - 1, L, **f32) for _ in range(3)]
        boxes = [torch.tensor([L * 0.2 + 0.3, L * 0.8 - 0.2], **f32) for _ in range(3)]
        vox = (torch.rand(1, V, V, V, generator=gen) > 0.5).float().to(dev)
        W = int(L * 0.6) + 3
        size = f"L={L} V={V}"

        # Set_ER_average: gather + lerp.
        weight = torch.rand(shape, generator=gen).to(dev)
        ids = torch.randint(0, 8, shape, generator=gen, dtype=torch.uint8).to(dev)
        prev = torch.randint(0, 8, shape, generator=gen, dtype=torch.uint8).to(dev)
        table = torch.rand(8, generator=gen).to(dev) + 1
        er = torch.empty(shape, **f32)
        n = L ** 3

        def ref_er():
            return torch.lerp(table[prev.long()], table[ids.long()], weight)

        t_ext = seconds_per_call(lambda: Voxstep.Set_ER_average(er, weight, ids, prev, table), dev)
        t_ref = seconds_per_call(ref_er, dev)
        report("Set_ER_average", dev, f"L={L}", t_ext, t_ref, n, n * 10)

        NC = 4
        table2 = torch.rand(8, NC, generator=gen).to(dev) + 1
        er5 = torch.empty(*shape, NC, **f32)
        t_ext = seconds_per_call(lambda: Voxstep4.Set_ER_average(er5, weight, ids, prev, table2),
                                 dev)
        t_ref = seconds_per_call(
            lambda: torch.lerp(table2[prev.long()], table2[ids.long()], weight[..., None]), dev)
        report("Voxstep4.Set_ER_average", dev, f"L={L} NC={NC}", t_ext, t_ref, n * NC,
               n * (6 + 4 * NC))

        sigma = torch.zeros(shape, **f32)
        t_ext = seconds_per_call(
            lambda: Voxstep4.Set_sigma_average(sigma, weight, ids, prev, table), dev)
        t_ref = seconds_per_call(lambda: sigma.add_(ref_er()), dev)
        report("Voxstep4.Set_sigma_average", dev, f"L={L}", t_ext, t_ref, n, n * 14)

        # Mat_average: separable overlap average.
        t_ext = seconds_per_call(lambda: fns.Mat_average(*boxes, vox, *coords), dev, max_iters=20)
        t_ref = seconds_per_call(lambda: torch_average(boxes, [vox], coords), dev, max_iters=20)
        report("Mat_average", dev, size, t_ext, t_ref, W ** 3, 4 * (V ** 3 + W ** 3))

        # Set_weight_mat_id: the average, then the three conditional writes.
        w_map, id_map, prev_map = torch.zeros(shape, **f32), torch.zeros_like(ids), torch.zeros_like(ids)

        def ref_paint():
            (fx, lx), (fy, ly), (fz, lz) = [window(b, c) for b, c in zip(boxes, coords)]
            _, (fill,) = torch_average(boxes, [vox], coords)
            sl = (slice(None), slice(fx, lx + 1), slice(fy, ly + 1), slice(fz, lz + 1))
            hit = fill > 0
            prev_map[sl] = torch.where(hit, id_map[sl], prev_map[sl])
            id_map[sl] = torch.where(hit, torch.full_like(id_map[sl], 3), id_map[sl])
            w_map[sl] = torch.where(hit, fill, w_map[sl])

        t_ext = seconds_per_call(
            lambda: fns.Set_weight_mat_id(*boxes, vox, *coords, 3, w_map, id_map, prev_map), dev,
            max_iters=20)
        t_ref = seconds_per_call(ref_paint, dev, max_iters=20)
        report("Set_weight_mat_id", dev, size, t_ext, t_ref, W ** 3, 4 * V ** 3 + 6 * W ** 3)

        # Set_weight_subcell: the three sums are averages of 1, e(f) and 1/e(f).
        normal = torch.nn.functional.normalize(torch.randn(*shape, 3, generator=gen), dim=-1).to(dev)
        er_table = torch.tensor([1.0, 2.0, 3.0, 6.0], **f32)
        e_obj, e_prev = 6.0, 1.0
        prev_map.fill_(0)
        ones = torch.ones_like(vox)

        def ref_subcell():
            wins, (S_w, S_e, S_inv) = torch_average(
                boxes, [ones, vox * e_obj + (1 - vox) * e_prev, 1 / (vox * e_obj + (1 - vox) * e_prev)],
                coords)
            sl = (slice(None),) + tuple(slice(f, l + 1) for f, l in wins)
            r = 1 - S_w
            A, B = r * e_prev + S_e, S_inv + r / e_prev
            n2 = normal[sl][..., 2] ** 2
            e_eff = 1 / (B * n2 + (1 - n2) / A)
            new = (e_eff - e_prev).abs() / (e_obj + 1e-4 - e_prev)
            w_sub[sl] = torch.where(id_map[sl] == 3, new, w_sub[sl])

        w_sub = w_map.clone()
        t_ext = seconds_per_call(
            lambda: fns.Set_weight_subcell(*boxes, vox, *coords, w_sub, 3, id_map, prev_map, normal,
                                           er_table, 2), dev, max_iters=20)
        t_ref = seconds_per_call(ref_subcell, dev, max_iters=20)
        report("Set_weight_subcell", dev, size, t_ext, t_ref, W ** 3, 4 * V ** 3 + 10 * W ** 3)

        # Set_ER_subcell: the same per channel (one einsum triple per channel).
        NC = 2
        er_tab = torch.tensor([[1.0, 1.5], [2.0, 2.0], [3.0, 3.0], [6.0, 4.0]], **f32)
        er_sub = torch.zeros(*shape, NC, **f32)
        host4 = Voxstep4 if dev.startswith("cuda") else _voxstep_host

        def ref_er_subcell():
            for c in range(NC):
                eo, ep = float(er_tab[3, c]), float(er_tab[0, c])
                e = vox * eo + (1 - vox) * ep
                wins, (S_w, S_e, S_inv) = torch_average(boxes, [ones, e, 1 / e], coords)
                sl = (slice(None),) + tuple(slice(f, l + 1) for f, l in wins)
                r = 1 - S_w
                A, B = r * ep + S_e, S_inv + r / ep
                n2 = normal[sl][..., 2] ** 2
                out = er_sub[sl + (c,)]
                er_sub[sl + (c,)] = torch.where(id_map[sl] == 3, 1 / (B * n2 + (1 - n2) / A), out)

        t_ext = seconds_per_call(
            lambda: host4.Set_ER_subcell(*boxes, vox, *coords, er_sub, 3, id_map, prev_map, normal,
                                         er_tab, 2), dev, max_iters=20)
        t_ref = seconds_per_call(ref_er_subcell, dev, max_iters=20)
        report("Voxstep4.Set_ER_subcell", dev, f"{size} NC={NC}", t_ext, t_ref, W ** 3 * NC,
               4 * V ** 3 + (8 + 4 * NC) * W ** 3)


if __name__ == "__main__":
    main()
