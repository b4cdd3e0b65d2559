"""Paint two overlapping objects (a sphere and a slab, given as voxel fill
maps) into the material description, then compute permittivity maps with
plain volume-fraction weights and with subcell weights for the z component,
and save a slice of each as a PNG.

    python examples/paint_objects.py [--device cpu|cuda] [--out out/paint_objects.png]
"""
import argparse
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import torch  # noqa: E402

import Voxstep  # noqa: E402
import _voxstep_host  # noqa: E402

VACUUM, SPHERE, SLAB = 0, 1, 2
ER_TABLE = [1.0, 4.0, 9.0]


def sphere_fill(radius, n, supersample=3):
    """Fill fraction of a sphere in each of n^3 voxels of its bounding box."""
    s = (np.arange(n * supersample) + 0.5) / (n * supersample) * 2 * radius - radius
    x, y, z = np.meshgrid(s, s, s, indexing="ij")
    inside = (x * x + y * y + z * z <= radius * radius).astype(np.float32)
    k = supersample
    return inside.reshape(n, k, n, k, n, k).mean(axis=(1, 3, 5))[None]


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    p.add_argument("--out", default="out/paint_objects.png")
    args = p.parse_args()
    dev = args.device
    # The checked functions take CUDA tensors; their CPU twins live in _voxstep_host.
    fns = Voxstep if dev.startswith("cuda") else _voxstep_host
    f32 = dict(dtype=torch.float32, device=dev)

    L = (40, 40, 32)
    coords = [torch.arange(n, **f32) for n in L]  # unit cells
    shape = (1, *L)

    def description():
        return (torch.zeros(shape, **f32), torch.full(shape, VACUUM, dtype=torch.uint8, device=dev),
                torch.full(shape, VACUUM, dtype=torch.uint8, device=dev))

    plain, subcell = description(), description()
    table = torch.tensor(ER_TABLE, **f32)

    # Sphere of radius 11.3 around (19.6, 20.2, 14.7).
    center, radius = (19.6, 20.2, 14.7), 11.3
    sphere_boxes = [torch.tensor([c - radius, c + radius]) for c in center]
    sphere_vox = torch.tensor(sphere_fill(radius, 48), **f32)
    grid = torch.stack(torch.meshgrid(*coords, indexing="ij"), dim=-1)
    r = grid - torch.tensor(center, **f32)
    sphere_normal = (r / r.norm(dim=-1, keepdim=True).clamp_min(1e-6))[None]

    # A slab over the whole x-y extent, 6.4 cells thick, cutting into the sphere.
    slab_boxes = [torch.tensor([-1.0, 41.0]), torch.tensor([-1.0, 41.0]),
                  torch.tensor([17.3, 23.7])]
    slab_vox = torch.ones(1, 4, 4, 4, **f32)
    slab_normal = torch.zeros(*shape, 3, **f32)
    slab_normal[..., 2] = 1

    for boxes, vox, mat_id, normal in ((sphere_boxes, sphere_vox, SPHERE, sphere_normal),
                                       (slab_boxes, slab_vox, SLAB, slab_normal)):
        fns.Set_weight_mat_id(*boxes, vox, *coords, mat_id, *plain)
        fns.Set_weight_mat_id(*boxes, vox, *coords, mat_id, *subcell)
        # Refine the newest object's weights for the z component (component 2).
        fns.Set_weight_subcell(*boxes, vox, *coords, subcell[0], mat_id, subcell[1], subcell[2],
                               normal, table, 2)

    er_plain = torch.zeros(shape, **f32)
    er_subcell = torch.zeros(shape, **f32)
    Voxstep.Set_ER_average(er_plain, *plain, table)
    Voxstep.Set_ER_average(er_subcell, *subcell, table)

    j = int(round(center[1]))
    panels = [("volume-fraction average", er_plain[0, :, j].cpu()),
              ("subcell average, Ez", er_subcell[0, :, j].cpu()),
              ("difference", (er_subcell - er_plain)[0, :, j].cpu())]
    fig, axes = plt.subplots(1, 3, figsize=(13, 4.2))
    for ax, (title, img) in zip(axes, panels):
        im = ax.imshow(img.T.numpy(), origin="lower", cmap="viridis" if title[0] != "d" else "RdBu")
        ax.set_title(title)
        ax.set_xlabel("x")
        ax.set_ylabel("z")
        fig.colorbar(im, ax=ax, shrink=0.8)
    fig.suptitle(f"relative permittivity, slice y = {j}")
    fig.tight_layout()
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    fig.savefig(args.out, dpi=110)
    print(f"er range plain [{er_plain.min():.3f}, {er_plain.max():.3f}], "
          f"subcell [{er_subcell.min():.3f}, {er_subcell.max():.3f}]; saved {args.out}")


if __name__ == "__main__":
    main()
