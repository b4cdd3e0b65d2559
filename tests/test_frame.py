"""The module frame: binding tables, docstrings, argument handling, device
choice and the checks made before anything is launched."""
import pathlib

import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4
import _voxstep_host

from argtable import call_args
from conftest import assert_unchanged, snapshot
from test_update_h import make_problem

STUBS = pathlib.Path(__file__).parent.parent / "stubs"
MODULES = [Voxstep, Voxstep4, _voxstep_host]


def stub_text(module):
    import runpy
    return runpy.run_path(str(STUBS.parent / "scripts" / "write_stubs.py"))["stub_text"](module)


@pytest.mark.parametrize("module", MODULES)
def test_type_stub_is_the_argument_table(module):
    """The stored stub is what scripts/write_stubs.py makes from the module's
    argument table: every bound function in binding order, with each
    argument's name and kind; rerun the script after changing a table."""
    assert (STUBS / f"{module.__name__}.pyi").read_text() == stub_text(module)


@pytest.mark.parametrize("module", MODULES)
def test_binding_table_is_the_argument_table(module):
    """The module binds exactly the functions its table describes, each
    callable with the table's number of arguments (one more or one fewer is
    a TypeError before anything is read), and the table cannot be changed."""
    names = [k for k in module.__dict__ if not k.startswith("_")]
    assert names == list(module._arguments) == list(module._returns)
    with pytest.raises(TypeError):
        module._arguments["Update_H"] = ()
    for name, table in module._arguments.items():
        fn = getattr(module, name)
        for count in (len(table) - 1, len(table) + 1):
            with pytest.raises(TypeError, match="incompatible function arguments"):
                fn(*[torch.empty(0)] * count)


@pytest.mark.skipif(torch.cuda.is_available(), reason="CUDA present")
def test_the_cpu_module_twins_the_checked_functions():
    """_voxstep_host holds, with the same arguments, exactly the public
    functions that refuse CPU tensors; the others run on them."""
    from argtable import ENTRIES
    for e in ENTRIES:
        if e.module is _voxstep_host:
            continue
        args = e.build(np.random.default_rng(0))
        if e.name in _voxstep_host._arguments:
            assert e.module._arguments[e.name] == _voxstep_host._arguments[e.name]
            with pytest.raises(RuntimeError, match="^(Error: )?CUDA not available.$"):
                e.fn(*args)
        else:
            e.fn(*args)


UPDATE_H = [a[0] for a in Voxstep._arguments["Update_H"]]
TOUCHED = UPDATE_H.index("unused")  # the tensors before it are read or written


def tensors(problem, unused=None):
    H, E, C, psi, b, g, nl = problem
    t = torch.tensor
    return call_args(Voxstep, "Update_H", {
        "H{}": map(t, H), "E{}": map(t, E), "C{}": map(t, C), "psi_{}": map(t, psi),
        "b{}": map(t, b), "g{}": map(t, g)}, n_layer=t(nl),
        unused=torch.empty(0) if unused is None else unused)


def test_wrong_argument_count_or_type_is_a_type_error():
    args = tensors(make_problem())
    with pytest.raises(TypeError):
        Voxstep.Update_H(*args[:-1], 3)
    with pytest.raises(TypeError):
        Voxstep.Update_H(*args, Hx=args[0])


@pytest.mark.parametrize("unused", [torch.zeros(3, 2, dtype=torch.int8), torch.empty(0, device="meta"),
                                    torch.zeros((), dtype=torch.complex64)])
def test_twentieth_argument_is_never_touched(unused):
    a = tensors(make_problem())
    b = tensors(make_problem())
    Voxstep.Update_H(*a[:TOUCHED], unused)
    Voxstep.Update_H(*b)
    for x, y in zip(a[:TOUCHED], b[:TOUCHED]):
        assert torch.equal(x, y)


def test_rank_errors_come_before_anything_changes():
    args = tensors(make_problem())
    before = snapshot(*args[:TOUCHED])
    bad = list(args)
    i = UPDATE_H.index
    bad[i("Hx")] = args[i("Hx")][0]  # 5-D Hx: the accessor refuses it
    with pytest.raises(RuntimeError, match="TensorAccessor expected 6 dims but tensor has 5"):
        Voxstep.Update_H(*bad)
    bad = list(args)
    bad[i("Ex")] = args[i("Ex")][0]  # 5-D Ex: ranks are checked before any extent is read
    with pytest.raises(RuntimeError, match="Update_H: Ex must be 6-D but has 5 dimensions"):
        Voxstep.Update_H(*bad)
    bad = list(args)
    bad[i("Cx")] = args[i("Cx")].double()  # wrong element type
    with pytest.raises(RuntimeError):
        Voxstep.Update_H(*bad)
    assert_unchanged(before, args[:TOUCHED])


@pytest.mark.parametrize("name,shrink", [
    ("Hy", lambda t: t[:, :, :-1]),
    ("Ey", lambda t: t[:, :, :, :, :-1]),  # Nz + 1 planes needed along z
    ("Cy", lambda t: t[:-1]),
    ("psi_y", lambda t: t[:, :, :-1]),  # non-layer axis of psi_y
    ("n_layer", lambda t: t[:2]),
])
def test_undersized_tensors_are_refused_by_name(name, shrink):
    index = UPDATE_H.index(name)
    args = tensors(make_problem(n=(1, 1, 1)))
    before = snapshot(*args[:TOUCHED])
    bad = list(args)
    bad[index] = shrink(args[index])
    with pytest.raises(ValueError, match=f"Update_H: {name} has shape"):
        Voxstep.Update_H(*bad)
    assert_unchanged(before, args[:TOUCHED])


def test_tensors_on_another_device_are_refused_by_name():
    args = tensors(make_problem())
    bad = list(args)
    cz = UPDATE_H.index("Cz")
    bad[cz] = torch.empty(args[cz].shape, device="meta")
    with pytest.raises(RuntimeError, match="Update_H: Cz is on meta"):
        Voxstep.Update_H(*bad)


def expanded_problem(NS, NM, NC, Nx, Ny, Nz):
    """Huge shapes at no memory cost: every tensor is a stride-0 expansion."""
    z = torch.zeros(1)
    f = lambda *s: z.view(*([1] * len(s))).expand(*s)  # noqa: E731
    H = [f(NS, NM, Nx, Ny, Nz, NC) for _ in range(3)]
    E = [f(NS, NM, Nx, Ny + 1, Nz + 1, NC), f(NS, NM, Nx + 1, Ny, Nz + 1, NC),
         f(NS, NM, Nx + 1, Ny + 1, Nz, NC)]
    C = [f(Nx), f(Ny), f(Nz)]
    psi = [f(NS, NM, 0, Ny, Nz, 2, NC), f(NS, NM, Nx, 0, Nz, 2, NC), f(NS, NM, Nx, Ny, 0, 2, NC)]
    prof = [f(0)] * 6
    nl = torch.zeros(3, dtype=torch.int32)
    return H + E + C + psi + prof + [nl, nl]


@pytest.mark.parametrize("dims,message", [
    ((256, 256, 1, 1, 1, 1), "NS\\*NM\\*NC = 65536 exceeds 65535"),
    ((1, 1, 1, 65536, 1, 1), "Nx \\(Ex axis 2\\) = 65536 must be below 65536"),
    ((1, 1, 1, 1, 1, 70000), "Nz \\(Ez axis 4\\) = 70000"),
    ((1, 1, 1, 1291, 1291, 1291), "Nx\\*Ny\\*Nz = .* must be below 2\\^31"),
])
def test_launch_limits_are_errors(dims, message):
    with pytest.raises(ValueError, match=message):
        Voxstep.Update_H(*expanded_problem(*dims))


@pytest.mark.parametrize("name", ["Update_H", "Update_E"])
@pytest.mark.parametrize("module", [Voxstep, Voxstep4])
@pytest.mark.parametrize("shape", [dict(N=(0, 3, 4), n=(0, 1, 1)), dict(NS=0),
                                   dict(NC=0)], ids=["Nx=0", "NS=0", "NC=0"])
def test_empty_grid_changes_nothing(name, module, shape):
    """No cell to update: the call succeeds and leaves every tensor as it was,
    including the E planes that exist even when Nx = 0."""
    from cases import build
    fn, args = build(name, module, seed=2, **shape)
    tensors = [a for a in args if isinstance(a, torch.Tensor)]
    before = snapshot(*tensors)
    fn(*args)
    assert_unchanged(before, tensors)


@pytest.mark.skipif(torch.cuda.device_count() < 2, reason="needs two GPUs")
@pytest.mark.parametrize("name,module", [("Update_E", Voxstep4), ("Inject_J", Voxstep),
                                         ("Trilinear_reverse_interpolation", Voxstep)])
def test_second_gpu_while_the_first_is_current(name, module):
    """Every tensor on cuda:1 while cuda:0 is current: the call runs on cuda:1
    (torch's device guard), leaves cuda:0 current, and matches the CPU."""
    from cases import GPU_TWIN, build
    import _voxstep_host
    fn, args = build(name, _voxstep_host if name.startswith("Trilinear") else module, seed=9)
    cpu = [a.clone() if isinstance(a, torch.Tensor) else a for a in args]
    want = fn(*cpu)
    gpu_fn = getattr(GPU_TWIN[name], name) if name in GPU_TWIN else fn
    on1 = [a.to("cuda:1") if isinstance(a, torch.Tensor) else a for a in args]
    with torch.cuda.device(0):
        got = gpu_fn(*on1)
        torch.cuda.synchronize(1)
        assert torch.cuda.current_device() == 0
    pairs = [(got, want)] if got is not None else []
    pairs += [(g, w) for g, w in zip(on1, cpu) if isinstance(g, torch.Tensor)]
    for g, w in pairs:
        assert g.device == torch.device("cuda:1") or g.dim() == 0
        torch.testing.assert_close(g.cpu(), w, rtol=1e-4, atol=1e-5, equal_nan=True)


# The functions whose shape rules follow argument values (a box, a plane's
# window, interpolation points): the extents each rule names, worked out
# from the call's own arguments, and the axes the wrapper reads those
# extents from (a shorter one there changes the extent rather than failing).
def _box_extents(name, module, a):
    NS, NM, NC = a[0].shape[0], a[0].shape[1], a[0].shape[5]
    if name == "Monitor_Update_E":
        (x0, x1), (y0, y1), (z0, z1) = (tuple(r.tolist()) for r in a[7:10])
        return dict(NS=NS, NM=NM, NC=NC, NCf=NC, x0=x0, y0=y0, z0=z0,
                    Bx=x1 - x0 + 2, By=y1 - y0 + 2, Bz=z1 - z0 + 2)
    if name == "Inject_J":
        x0, y0, z0 = a[6].tolist()
        return dict(NS=NS, NM=NM, NC=NC, x0=x0, y0=y0, z0=z0,
                    Bx=a[3].shape[2], By=a[4].shape[3], Bz=a[5].shape[4])
    electric = name == "Inject_E"
    mx, my = a[-3 if module is Voxstep4 else -2].tolist()
    kp = a[-2 if module is Voxstep4 else -1]
    Px = a[0].shape[2] if electric else a[5].shape[1]
    Py = a[1].shape[3] if electric else a[6].shape[2]
    return dict(NS=NS, NM=NM, NC=NC, Wx=Px - mx, Wy=Py - my, k=kp + electric,
                NH=NC - NC // 2, Nt=a[3].shape[1])


SOURCE_AXES = {"Monitor_Update_E": {"Mx": (0, 1, 5), "Ex": (5,)},
               "Inject_J": {"Ex": (0, 1, 5), "Jx": (2,), "Jy": (3,), "Jz": (4,)},
               "Inject_H": {"Hx": (0, 1, 5), "profEx": (1,), "profEy": (2,),
                            "sigEx": (1,)},
               "Inject_E": {"Ex": (0, 1, 5, 2), "Ey": (3,), "sigHx": (1,)}}
BOX_CASES = [("Monitor_Update_E", Voxstep)] + [
    (n, m) for n in ("Inject_J", "Inject_H", "Inject_E") for m in (Voxstep, Voxstep4)]


@pytest.mark.parametrize("name,module", BOX_CASES, ids=lambda x: getattr(x, "__name__", x))
def test_value_dependent_shape_rules_are_the_least_shapes(name, module):
    """Every tensor cut to the least shape its rule gives for the call's box or
    window runs (under the sanitizers: without a read or write past it), and
    one element fewer along any axis the rule checks is refused by name."""
    from argtable import rule_applies, table_shape
    from cases import build
    fn, args = build(name, module, 3)
    table = module._arguments[name]
    ext = _box_extents(name, module, args)
    skip, least = SOURCE_AXES[name], {}
    for i, (arg, _, _, _, rule) in enumerate(table):
        if rule and rule_applies(module, name, arg, ext):
            terms = rule.split(" if ")[0].strip("[]").split(",")
            star = [args[i].shape[d] for d, t in enumerate(terms) if t.strip() == "*"]
            shape = table_shape(module, name, arg, ext, star)
            assert all(n <= s for n, s in zip(shape, args[i].shape)), (arg, shape)
            least[i] = tuple(args[i].shape[d] if d in skip.get(arg, ()) else n
                             for d, n in enumerate(shape))
    assert least, f"{name} has no shape rules"
    cut = lambda t, shape: t[tuple(slice(0, n) for n in shape)].clone()  # noqa: E731
    small = [cut(a, least[i]) if i in least else a for i, a in enumerate(args)]
    fn(*small)
    for i, shape in least.items():
        arg, terms = table[i][0], table[i][4].split(" if ")[0].split(",")
        for d, n in enumerate(shape):
            if d in skip.get(arg, ()) or n == 0 or "*" in terms[d]:
                continue
            bad = list(small)
            bad[i] = cut(small[i], shape[:d] + (n - 1,) + shape[d + 1:])
            with pytest.raises(ValueError, match=f"{name}: "):
                fn(*bad)
