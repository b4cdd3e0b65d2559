"""Every public function of Voxstep, Voxstep4 and the CPU twins in
_voxstep_host with its arguments as the module declares them (its
read-only `_arguments` table: name, role, rank, dtype, shape rule), and a
builder of random valid arguments (small random extents, random values) on
the CPU, whose shapes come from the tables' shape rules where they have one.

Roles: "w" a tensor the function writes, "r" a tensor it only reads, "h" a
small tensor of any shape and numeric type read on the host (positions,
ranges, margins, boxes), "u" a tensor it accepts and ignores, "int" /
"bool" a Python scalar. Builders take a NumPy Generator and return the
argument list in call order."""
import re

import numpy as np
import torch

import Voxstep
import Voxstep4
import _voxstep_host

F32, C64, I32, U8 = torch.float32, torch.complex64, torch.int32, torch.uint8


class Entry:
    def __init__(self, module, name, build):
        self.module = module
        self.name = name
        table = module._arguments[name]
        self.names = [a[0] for a in table]
        self.roles = [a[1] for a in table]
        self.build = build

    @property
    def id(self):
        return f"{self.module.__name__}.{self.name}"

    @property
    def fn(self):
        return getattr(self.module, self.name)

    def index(self, name):
        return self.names.index(name)


def call_args(module, name, groups=(), **single):
    """The arguments of module.name in the order its table lists them, taken
    by name: `groups` maps a name pattern with "{}" for the axis ("E{}",
    "keep_{}") to the values for x, y and z; `single` holds the others. A
    name the table lacks or a missing value is an error; `unused` (always
    last) is left off when not given."""
    values = dict(single)
    for pattern, xyz in dict(groups).items():
        for axis, v in zip("xyz", xyz, strict=True):
            values[pattern.format(axis)] = v
    names = [a[0] for a in module._arguments[name]]
    if "unused" not in values and names[-1] == "unused":
        names.pop()
    out = [values.pop(n) for n in names]
    assert not values, f"{name} takes no {sorted(values)}"
    return out


def table_shape(module, name, arg, ext, star=()):
    """The least shape the table of module.name gives argument `arg` with
    the extents `ext` (a dict: "NS", "Nx", ...): its rule's terms evaluated,
    the * axes taken from `star` in order, a rule "=Other" as Other's shape,
    axes past the table's rank dropped (a 4-D keep's trailing *)."""
    table = {a[0]: a for a in module._arguments[name]}
    rule, rank = table[arg][4], table[arg][2]
    assert rule, f"{name}: {arg} has no shape rule"
    if rule.startswith("="):
        return table_shape(module, name, rule[1:], ext, star)
    terms = rule.split(" if ")[0].strip("[]").split(",")
    star, out = list(star), []
    for t in terms:
        t = t.strip()
        if t == "*":
            out.append(star.pop(0) if star else None)
            continue
        out.append(_term(t, ext))
    out = out[:rank]
    assert None not in out and not star, f"{name}: {arg}: * axes and values {star} disagree"
    return tuple(out)


def _term(t, ext):
    """A rule's term ("x0+Bx-1", "Ny+1", "3") with the extents `ext`."""
    return sum((-1 if w.startswith("-") else 1) * (int(w.lstrip("+-")) if w.lstrip("+-").isdigit()
                                                   else ext[w.lstrip("+-")])
               for w in re.findall(r"[+-]?\s*\w+", t.replace(" ", "")))


def rule_applies(module, name, arg, ext):
    """Whether the rule of module.name's `arg` applies with the extents `ext`
    (its condition, "... if Bx-1", above zero)."""
    rule = {a[0]: a for a in module._arguments[name]}[arg][4]
    return " if " not in rule or _term(rule.split(" if ")[1], ext) > 0


def field_extents(NS, NM, Nx, Ny, Nz, NC):
    return dict(NS=NS, NM=NM, Nx=Nx, Ny=Ny, Nz=Nz, NC=NC)


def _rand(r, shape, dtype):
    if dtype == C64:
        a = r.standard_normal(shape) + 1j * r.standard_normal(shape)
        return torch.tensor(a.astype(np.complex64))
    if dtype == U8:
        return torch.tensor(r.integers(0, 4, shape).astype(np.uint8))
    return torch.tensor(r.uniform(0.2, 1.0, shape).astype(np.float32))


def _grid(r, nc_choices):
    NS, NM = (int(x) for x in r.integers(1, 3, 2))
    Nx, Ny, Nz = (int(x) for x in r.integers(1, 5, 3))
    return NS, NM, Nx, Ny, Nz, int(r.choice(nc_choices))


def _fields(r, NS, NM, Nx, Ny, Nz, NC, dtype):
    ext = field_extents(NS, NM, Nx, Ny, Nz, NC)
    E = [_rand(r, table_shape(Voxstep, "Update_H", f"E{a}", ext), dtype) for a in "xyz"]
    H = [_rand(r, table_shape(Voxstep, "Update_H", f"H{a}", ext), dtype) for a in "xyz"]
    return E, H


def _curl_set(r, NS, NM, Nx, Ny, Nz, NC, dtype):
    """Cx, Cy, Cz, psi_x..z, bx..bz, gx..gz, n_layer."""
    N = (Nx, Ny, Nz)
    ext = field_extents(NS, NM, Nx, Ny, Nz, NC)
    n = [int(r.integers(0, N[a] // 2 + 1)) for a in range(3)]
    C = [_rand(r, table_shape(Voxstep, "Update_H", f"C{a}", ext), F32) for a in "xyz"]
    psi = [_rand(r, table_shape(Voxstep, "Update_H", f"psi_{a}", ext, [2 * x]), dtype)
           for a, x in zip("xyz", n)]
    b = [_rand(r, (2 * x,), F32) for x in n]
    g = [-_rand(r, (2 * x,), F32) for x in n]
    return C + psi + b + g + [torch.tensor(n, dtype=I32)]


def update_h(dtype, nc):
    def build(r):
        s = _grid(r, nc)
        E, H = _fields(r, *s, dtype)
        return H + E + _curl_set(r, *s, dtype) + [torch.zeros(1)]
    return build


def update_e(module, nc):
    def build(r):
        s = _grid(r, nc)
        dtype = C64 if module is Voxstep4 else F32
        E, H = _fields(r, *s, dtype)
        shape = lambda n: table_shape(module, "Update_E", n, field_extents(*s))  # noqa: E731
        keep = [_rand(r, shape("keep_x"), F32) for _ in range(3)]
        loss = [_rand(r, shape("loss_x"), F32) * 0.2 for _ in range(3)]
        return E + H + keep + loss + _curl_set(r, *s, dtype) + [torch.zeros(1)]
    return build


def dispersion_real(r):
    s = _grid(r, (2, 4))
    E, _ = _fields(r, *s, F32)
    P = [e.clone() * 0.5 for e in E]
    m = table_shape(Voxstep, "Update_E_Dispersion", "den1_x", field_extents(*s))
    n_ids = 4
    w = [_rand(r, m, F32) for _ in range(3)]
    ids = [_rand(r, m, U8) for _ in range(6)]
    den1 = [_rand(r, m, F32) + 1 for _ in range(3)]
    den2 = [_rand(r, m, F32) for _ in range(3)]
    alpha = _rand(r, (n_ids,), C64) * 0.5
    beta = _rand(r, (n_ids,), C64)
    aux = [_rand(r, e.shape, C64) for e in E + E]  # larger than the rule's cells
    return E + P + w + ids + den1 + den2 + [alpha, beta] + aux + [torch.zeros(1)]


def dispersion_divide(r):
    s = _grid(r, (1, 2, 3))
    E, _ = _fields(r, *s, C64)
    shape = lambda n: table_shape(Voxstep4, "Update_E_Dispersion", n, field_extents(*s))  # noqa
    den1 = [_rand(r, shape("den1_x"), F32) + 1 for _ in range(3)]
    den2 = [_rand(r, shape("den2_x"), F32) for _ in range(3)]
    return E + den1 + den2 + [torch.zeros(1)]


def periodic(dtype, nc):
    module = Voxstep if dtype == F32 else Voxstep4
    def build(r):
        s = _grid(r, nc)
        NC = s[-1]
        E, _ = _fields(r, *s, dtype)
        # NP: the phase columns, NC/2 complex values as 2 (NC/2) real channels
        ext = dict(field_extents(*s), NP=2 * (NC // 2) if dtype == F32 else NC)
        shape = lambda n: table_shape(module, "Update_E_Periodic", n, ext)  # noqa: E731
        phase = [_rand(r, shape("phase_x"), dtype) for _ in range(2)]
        flags = torch.tensor([int(x) for x in r.integers(0, 2, shape("periodic"))], dtype=I32)
        return E + phase + [flags, bool(r.integers(0, 2))]
    return build


def _plane_window(r, electric, NS, NM, NC, dtype):
    Px, Py = (int(x) for x in r.integers(1, 5, 2))
    Nz = int(r.integers(2, 5))
    kp = int(r.integers(0, Nz - 1 if electric else Nz))
    if electric:
        F0 = _rand(r, (NS, NM, Px, Py + 1, Nz, NC), dtype)
        F1 = _rand(r, (NS, NM, Px + 1, Py, Nz, NC), dtype)
    else:
        F0 = _rand(r, (NS, NM, Px, Py, Nz, NC), dtype)
        F1 = _rand(r, (NS, NM, Px, Py, Nz, NC), dtype)
    coef = _rand(r, (Nz + 1,), F32)
    mx = int(r.integers(0, (Px + 1) // 2 + 1))
    my = int(r.integers(0, (Py + 1) // 2 + 1))
    return Px, Py, kp, F0, F1, coef, torch.tensor([mx, my], dtype=I32)


def plane_real(electric):
    def build(r):
        NS, NM = (int(x) for x in r.integers(1, 3, 2))
        NC = int(r.choice((2, 4)))
        Px, Py, kp, F0, F1, coef, margin = _plane_window(r, electric, NS, NM, NC, F32)
        ch = NC - NC // 2
        A = [_rand(r, (NS, ch), C64) for _ in range(2)]
        P = [_rand(r, (NS, Px, Py, ch), C64) for _ in range(2)]
        return [F0, F1, coef] + A + P + [margin, kp]
    return build


def plane_complex(electric):
    def build(r):
        NS, NM = (int(x) for x in r.integers(1, 3, 2))
        NC = int(r.integers(1, 4))
        Px, Py, kp, F0, F1, coef, margin = _plane_window(r, electric, NS, NM, NC, C64)
        Nt = int(r.integers(1, 6))
        S = [_rand(r, (NS, Nt), C64) for _ in range(2)]
        P = [_rand(r, (NS, Px, Py, NC), C64) for _ in range(2)]
        D = [torch.tensor(r.uniform(-1, Nt + 1, (Px, Py)).astype(np.float32)) for _ in range(2)]
        return [F0, F1, coef] + S + P + D + [margin, kp, int(r.integers(0, Nt + 2))]
    return build


def inject_j(dtype):
    def build(r):
        NS, NM = (int(x) for x in r.integers(1, 3, 2))
        NC = int(r.choice((2, 3, 4))) if dtype == F32 else int(r.integers(1, 4))
        B = [int(x) for x in r.integers(1, 4, 3)]
        pos = [int(x) for x in r.integers(0, 3, 3)]
        E = [_rand(r, (NS, NM, *(p + b + 1 for p, b in zip(pos, B)), NC), dtype)
             for _ in range(3)]
        J = [_rand(r, (NS, NM, *B), C64) for _ in range(3)]
        return E + J + [torch.tensor(pos)]
    return build


def monitor(r):
    NS, NM = (int(x) for x in r.integers(1, 3, 2))
    NCm = int(r.integers(1, 4))
    NCf = NCm if r.integers(0, 2) else 1
    o = [int(x) for x in r.integers(0, 3, 3)]
    B = [int(x) for x in r.integers(1, 4, 3)]  # node positions per axis (last - first + 2)
    E = [_rand(r, (NS, NM, *(a + b + 1 for a, b in zip(o, B)), NCf), F32) for _ in range(3)]
    M = []
    for axis in range(3):
        ext = list(B)
        ext[axis] = max(ext[axis] - 1, 1)
        M.append(_rand(r, (NS, NM, *ext, NCm), C64))
    w = _rand(r, (NCm,), C64)
    ranges = [torch.tensor([a, a + b - 2]) for a, b in zip(o, B)]
    return M + E + [w] + ranges


def _coords(r, n):
    return torch.tensor(np.cumsum(r.uniform(0.3, 1.0, n)).astype(np.float32))


def _object(r):
    """Boxes, voxel map and sample coordinates of one painted object."""
    coords = [_coords(r, int(r.integers(2, 6))) for _ in range(3)]
    boxes = []
    for c in coords:
        lo = float(c[0]) + float(r.uniform(-1, 1))
        boxes.append(torch.tensor([lo, lo + float(r.uniform(0.5, 4))], dtype=F32))
    NM = int(r.integers(1, 3))
    vox = torch.tensor(r.uniform(0, 1, (NM, *r.integers(1, 4, 3))).astype(np.float32))
    return boxes, vox, coords, NM


def id_range(r):
    c = _coords(r, int(r.integers(1, 6)))
    lo = float(r.uniform(-1, 3))
    return [torch.tensor([lo, lo + float(r.uniform(0, 3))], dtype=F32), c]


def mat_average(r):
    boxes, vox, coords, _ = _object(r)
    return boxes + [vox] + coords


def _painted(NM, coords):
    """The extents of the maps an object is painted into."""
    return dict(NM=NM, Lx=len(coords[0]), Ly=len(coords[1]), Lz=len(coords[2]))


def _maps(r, NM, coords):
    shape = table_shape(Voxstep, "Set_weight_mat_id", "weight", _painted(NM, coords))
    return shape, [_rand(r, shape, F32), _rand(r, shape, U8), _rand(r, shape, U8)]


def paint(r):
    boxes, vox, coords, NM = _object(r)
    _, maps = _maps(r, NM, coords)
    return boxes + [vox] + coords + [int(r.integers(0, 300))] + maps


def subcell(per_channel):
    def build(r):
        boxes, vox, coords, NM = _object(r)
        shape, (w, ids, prev) = _maps(r, NM, coords)
        ext = _painted(NM, coords)
        normal = torch.tensor(r.standard_normal(
            table_shape(_voxstep_host, "Set_ER_subcell", "normal", ext)).astype(np.float32))
        mat_id = int(r.integers(0, 4))
        if per_channel:
            NC = int(r.integers(1, 3))
            out = _rand(r, table_shape(_voxstep_host, "Set_ER_subcell", "er", {**ext, "NC": NC}),
                        F32)
            table = _rand(r, (4, NC), F32) + 1
        else:
            out, table = w, _rand(r, (4,), F32) + 1
        return boxes + [vox] + coords + [out, mat_id, ids, prev, normal, table,
                                         int(r.integers(0, 4))]
    return build


def mix(per_channel):
    def build(r):
        NM = int(r.integers(1, 3))
        shape = (NM, *(int(x) for x in r.integers(1, 4, 3)))
        w, ids, prev = _rand(r, shape, F32), _rand(r, shape, U8), _rand(r, shape, U8)
        if per_channel:
            NC = int(r.integers(1, 3))
            return [_rand(r, (*shape, NC), F32), w, ids, prev, _rand(r, (4, NC), F32)]
        return [_rand(r, shape, F32), w, ids, prev, _rand(r, (4,), F32)]
    return build


def trilinear(reverse):
    def build(r):
        grids = [_coords(r, int(r.integers(2, 5))) for _ in range(3)]
        queries = [torch.tensor(r.uniform(float(g[0]) - 0.5, float(g[-1]) + 0.5,
                                          int(r.integers(1, 4))).astype(np.float32))
                   for g in grids]
        NS, NM, NC = (int(x) for x in r.integers(1, 3, 3))
        if reverse:
            return grids + [_rand(r, (NS, NM, *(len(q) for q in queries), NC), C64)] + queries
        src = _rand(r, (NS, NM, *(len(g) for g in grids), NC), C64)
        return grids + [src] + queries + [bool(r.integers(0, 2))]
    return build


_V, _V4, _H = Voxstep, Voxstep4, _voxstep_host

BUILDERS = {
    _V: {
        "Update_E_Dispersion": dispersion_real,
        "Update_H": update_h(F32, (1, 2, 3)),
        "Update_E": update_e(Voxstep, (1, 2, 3)),
        "Update_E_Periodic": periodic(F32, (2, 4, 3)),
        "Inject_H": plane_real(False),
        "Inject_E": plane_real(True),
        "Inject_J": inject_j(F32),
        "get_id_range": id_range,
        "Mat_average": mat_average,
        "Set_weight_mat_id": paint,
        "Set_ER_average": mix(False),
        "Set_weight_subcell": subcell(False),
        "Monitor_Update_E": monitor,
        "Trilinear_interpolation": trilinear(False),
        "Trilinear_reverse_interpolation": trilinear(True),
    },
    _V4: {
        "Update_E_Dispersion": dispersion_divide,
        "Update_H": update_h(C64, (1, 2, 3)),
        "Update_E": update_e(Voxstep4, (1, 2, 3)),
        "Inject_H": plane_complex(False),
        "Inject_E": plane_complex(True),
        "Inject_J": inject_j(C64),
        "get_id_range": id_range,
        "Mat_average": mat_average,
        "Set_weight_mat_id": paint,
        "Set_ER_average": mix(True),
        "Set_sigma_average": mix(False),
        "Set_ER_subcell": subcell(True),
        "Update_E_Periodic": periodic(C64, (1, 2, 3)),
    },
}
# The CPU twins take the arguments of the public functions they twin.
BUILDERS[_H] = {name: (BUILDERS[_V].get(name) or BUILDERS[_V4][name]) for name in _H._arguments}

# Every function each module binds, in binding order (a function without a
# builder is a KeyError here).
ENTRIES = [Entry(m, name, BUILDERS[m][name]) for m in (_V, _V4, _H) for name in m._arguments]

BY_ID = {e.id: e for e in ENTRIES}
