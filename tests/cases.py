"""Random valid arguments for every function of both modules and the CPU
twins: build(name, module, seed, **shape) -> (function, args). Shared by the
traversal tests and the GPU acceptance script (scripts/gpu_accept.py), which
runs the same cases on CUDA tensors."""
import numpy as np
import torch

import Voxstep
import Voxstep4
import _voxstep_host
from argtable import call_args, field_extents, table_shape

# The public function that runs a CPU twin's work on CUDA tensors.
GPU_TWIN = {name: Voxstep if name in Voxstep._arguments else Voxstep4
            for name in _voxstep_host._arguments}


class Gen:
    def __init__(self, seed):
        self.g = np.random.default_rng(seed)

    def real(self, *shape, lo=-1.0, hi=1.0):
        return torch.tensor(self.g.uniform(lo, hi, shape).astype(np.float32))

    def cplx(self, *shape):
        return torch.complex(self.real(*shape), self.real(*shape))

    def field(self, cplx, *shape):
        return self.cplx(*shape) if cplx else self.real(*shape)

    def ids(self, *shape, hi=5):
        return torch.tensor(self.g.integers(0, hi, shape).astype(np.uint8))


def fields(gen, module, name, ext, names):
    """Random fields of the module's type in the shapes the table of
    module.name gives `names` with the extents `ext`."""
    return [gen.field(module is Voxstep4, *table_shape(module, name, n, ext)) for n in names]


def curl_args(gen, cplx, NS, NM, N, NC, n, lim, electric):
    module = Voxstep4 if cplx else Voxstep
    name = "Update_E" if electric else "Update_H"
    ext = field_extents(NS, NM, *N, NC)
    shape = lambda arg, *star: table_shape(module, name, arg, ext, star)  # noqa: E731
    E = fields(gen, module, name, ext, ("Ex", "Ey", "Ez"))
    H = fields(gen, module, name, ext, ("Hx", "Hy", "Hz"))
    C = [gen.real(*shape(f"C{a}"), lo=0.2, hi=0.6) for a in "xyz"]
    psi = [gen.field(cplx, *shape(f"psi_{a}", L)) for a, L in zip("xyz", lim)]
    b = [gen.real(L, lo=0.5, hi=1.0) for L in lim]
    g = [gen.real(L, lo=-0.3, hi=-0.05) for L in lim]
    groups = {"E{}": E, "H{}": H, "C{}": C, "psi_{}": psi, "b{}": b, "g{}": g}
    if electric:
        groups["keep_{}"] = [gen.real(*shape(f"keep_{a}"), lo=0.5, hi=1.0) for a in "xyz"]
        groups["loss_{}"] = [gen.real(*shape(f"loss_{a}"), lo=0.0, hi=0.1) for a in "xyz"]
    return call_args(module, name, groups, n_layer=torch.tensor(n, dtype=torch.int32),
                     unused=torch.empty(0))


def update_h(module, gen, NS=1, NM=1, N=(5, 4, 6), NC=2, n=(2, 2, 2), lim=None):
    lim = lim or tuple(2 * x for x in n)
    return module.Update_H, curl_args(gen, module is Voxstep4, NS, NM, N, NC, n, lim, False)


def update_e(module, gen, NS=1, NM=1, N=(5, 4, 6), NC=2, n=(2, 2, 2), lim=None):
    lim = lim or tuple(2 * x for x in n)
    return module.Update_E, curl_args(gen, module is Voxstep4, NS, NM, N, NC, n, lim, True)


def dispersion(module, gen, NS=1, NM=1, N=(5, 4, 6), NC=2, **_):
    cplx = module is Voxstep4
    ext = field_extents(NS, NM, *N, NC)
    shape = lambda arg: table_shape(module, "Update_E_Dispersion", arg, ext)  # noqa: E731
    E = fields(gen, module, "Update_E_Dispersion", ext, ("Ex", "Ey", "Ez"))
    maps = lambda lo=0.5, hi=1.0: [gen.real(*shape("den2_x"), lo=lo, hi=hi)  # noqa: E731
                                   for _ in range(3)]
    if cplx:
        den1 = [gen.real(*shape("den1_x"), lo=0.5, hi=1.0) for _ in range(3)]
        return module.Update_E_Dispersion, E + den1 + maps() + [torch.empty(0)]
    P = [gen.real(*e.shape) for e in E]
    ids = [gen.ids(*shape("id_map_x")) for _ in range(6)]  # id 4 is past the 4-entry tables: NaN
    aux = [gen.cplx(*e.shape) for e in E + E]
    return (module.Update_E_Dispersion,
            E + P + maps(0, 1) + ids + maps() + maps() + [gen.cplx(4), gen.cplx(4)] + aux
            + [torch.empty(0)])


def periodic(module, gen, NS=1, NM=1, N=(5, 4, 6), NC=2, **_):
    ext = dict(field_extents(NS, NM, *N, NC), NP=NC)  # NC even in the real module
    E = fields(gen, module, "Update_E_Periodic", ext, ("Ex", "Ey", "Ez"))
    phase = fields(gen, module, "Update_E_Periodic", ext, ("phase_x", "phase_y"))
    return module.Update_E_Periodic, E + phase + [torch.tensor([1, 1], dtype=torch.int32), True]


def inject_plane(module, gen, electric, NS=1, NM=1, N=(5, 4, 6), NC=2, **_):
    Nx, Ny, Nz = N
    cplx = module is Voxstep4
    F = [gen.field(cplx, NS, NM, Nx, Ny, Nz, NC) for _ in range(2)]
    coef = gen.real(Nz)
    margin = torch.tensor([1, 1])
    kp = Nz // 2 - 1
    fn = module.Inject_E if electric else module.Inject_H
    if cplx:
        D = gen.real(Nx, Ny, lo=0.0, hi=6.0)
        return fn, F + [coef, gen.cplx(NS, 8), gen.cplx(NS, 8), gen.cplx(NS, Nx, Ny, NC),
                        gen.cplx(NS, Nx, Ny, NC), D, D.flip(0).contiguous(), margin, kp, 5]
    ch = NC - NC // 2
    return fn, F + [coef, gen.cplx(NS, ch), gen.cplx(NS, ch), gen.cplx(NS, Nx, Ny, ch),
                    gen.cplx(NS, Nx, Ny, ch), margin, kp]


def inject_j(module, gen, NS=1, NM=1, N=(5, 4, 6), NC=2, **_):
    Nx, Ny, Nz = N
    cplx = module is Voxstep4
    E = [gen.field(cplx, NS, NM, Nx + 2, Ny + 2, Nz + 2, NC) for _ in range(3)]
    J = [gen.cplx(NS, NM, Nx, Ny, Nz) for _ in range(3)]
    return module.Inject_J, E + J + [torch.tensor([1, 2, 1])]


def monitor(module, gen, NS=1, NM=1, N=(5, 4, 6), NC=2, **_):
    Nx, Ny, Nz = N
    E = [gen.real(NS, NM, Nx + 2, Ny + 2, Nz + 2, NC) for _ in range(3)]
    M = [gen.cplx(NS, NM, Nx + 1 - (a == 0), Ny + 1 - (a == 1), Nz + 1 - (a == 2), NC)
         for a in range(3)]
    r = [torch.tensor([1, 1 + x - 1]) for x in N]
    return Voxstep.Monitor_Update_E, M + E + [gen.cplx(NC)] + r


def mixing(module, gen, name, NM=2, N=(5, 4, 6), NC=2, **_):
    maps = [gen.real(NM, *N, lo=0, hi=1), gen.ids(NM, *N, hi=4), gen.ids(NM, *N, hi=4)]
    if module is Voxstep4 and name == "Set_ER_average":
        return module.Set_ER_average, [gen.real(NM, *N, NC)] + maps + [gen.real(3, NC)]
    return getattr(module, name), [gen.real(NM, *N)] + maps + [gen.real(3)]


def material(name, gen, NM=2, N=(6, 5, 7), NC=2, **_):
    coords = [torch.linspace(0.0, float(x - 1), x) for x in N]
    boxes = [torch.tensor([0.7, 3.9]), torch.tensor([0.2, 3.1]), torch.tensor([1.3, 5.2])]
    vox = gen.real(NM, 3, 4, 5, lo=-0.2, hi=1.0)
    common = boxes + [vox] + coords
    if name == "Mat_average":
        return _voxstep_host.Mat_average, common
    weight, own, prev = gen.real(NM, *N, lo=0, hi=1), gen.ids(NM, *N, hi=3), gen.ids(NM, *N, hi=3)
    normal = gen.real(NM, *N, 3)
    if name == "Set_weight_mat_id":
        return _voxstep_host.Set_weight_mat_id, common + [2, weight, own, prev]
    if name == "Set_weight_subcell":
        return (_voxstep_host.Set_weight_subcell,
                common + [weight, 2, own, prev, normal, gen.real(3, lo=1, hi=4), 1])
    return (_voxstep_host.Set_ER_subcell,
            common + [gen.real(NM, *N, NC), 2, own, prev, normal, gen.real(3, NC, lo=1, hi=4), 2])


def trilinear(gen, reverse, NS=1, NM=2, N=(5, 4, 6), NC=2, **_):
    # Integer nodes and queries at quarter-cell offsets: every weight and
    # every partial sum of the adjoint is exact, so the atomics' order of
    # addition cannot change a bit.
    N = [max(x, 2) for x in N]
    grids = [torch.arange(float(x)) for x in N]
    queries = [torch.tensor(gen.g.integers(-2, 4 * x + 2, 2 * x).astype(np.float32) / 4)
               for x in N]
    data = lambda *s: torch.complex(  # noqa: E731
        torch.tensor(gen.g.integers(-8, 8, s).astype(np.float32)),
        torch.tensor(gen.g.integers(-8, 8, s).astype(np.float32)))
    if reverse:
        vals = data(NS, NM, *[len(q) for q in queries], NC)
        return _voxstep_host.Trilinear_reverse_interpolation, grids + [vals] + queries
    return (_voxstep_host.Trilinear_interpolation,
            grids + [data(NS, NM, *N, NC)] + queries + [bool(gen.g.integers(0, 2))])


BUILDERS = {
    "Update_H": lambda m, g, **k: update_h(m, g, **k),
    "Update_E": lambda m, g, **k: update_e(m, g, **k),
    "Update_E_Dispersion": lambda m, g, **k: dispersion(m, g, **k),
    "Update_E_Periodic": lambda m, g, **k: periodic(m, g, **k),
    "Inject_H": lambda m, g, **k: inject_plane(m, g, False, **k),
    "Inject_E": lambda m, g, **k: inject_plane(m, g, True, **k),
    "Inject_J": lambda m, g, **k: inject_j(m, g, **k),
}
CASES = ([(name, m) for name in BUILDERS for m in (Voxstep, Voxstep4)]
         + [("Monitor_Update_E", Voxstep)]
         + [("Set_ER_average", Voxstep), ("Set_ER_average", Voxstep4),
            ("Set_sigma_average", Voxstep4)]
         + [(n, _voxstep_host) for n in ("Mat_average", "Set_weight_mat_id",
                                         "Set_weight_subcell", "Set_ER_subcell",
                                         "Trilinear_interpolation",
                                         "Trilinear_reverse_interpolation")])


def build(name, module, seed, **shape):
    gen = Gen(seed)
    if module is Voxstep and name in ("Update_E_Periodic", "Inject_H", "Inject_E"):
        shape["NC"] = max(shape.get("NC", 2), 2)  # a real and an imaginary half
    if name == "Monitor_Update_E":
        return monitor(module, gen, **shape)
    if name in ("Set_ER_average", "Set_sigma_average"):
        return mixing(module, gen, name, **shape)
    if name.startswith("Trilinear"):
        return trilinear(gen, name.endswith("reverse_interpolation"), **shape)
    if module is _voxstep_host:
        return material(name, gen, **shape)
    return BUILDERS[name](module, gen, **shape)
