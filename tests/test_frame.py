"""The module frame: binding tables, docstrings, argument handling, device
choice and the checks made before anything is launched."""
import pathlib

import numpy as np
import pytest
import torch

import Voxstep
import Voxstep4
import _voxstep_host

from conftest import assert_unchanged, snapshot
from test_update_h import make_problem

STUBS = pathlib.Path(__file__).parent.parent / "stubs"


def stub_names(module):
    """The functions the module's type stub declares, in its order."""
    import ast
    tree = ast.parse((STUBS / f"{module.__name__}.pyi").read_text())
    return [f.name for f in tree.body if isinstance(f, ast.FunctionDef)]


@pytest.mark.parametrize("module", [Voxstep, Voxstep4, _voxstep_host])
def test_binding_table_matches_the_type_stub(module):
    """Every public function in binding order, as the stub declares them,
    each with its name as docstring (Mat_average keeps its own)."""
    names = [k for k in module.__dict__ if not k.startswith("_")]
    assert names == stub_names(module)
    for name in names:
        doc = "Average sampling for index" if name == "Mat_average" else name
        assert getattr(module, name).__doc__ == doc


def test_the_cpu_module_twins_the_checked_functions():
    """_voxstep_host holds exactly the functions that refuse CPU tensors in
    the public modules, and nothing else."""
    from cases import GPU_TWIN
    assert sorted(stub_names(_voxstep_host)) == sorted(GPU_TWIN)
    for name, module in GPU_TWIN.items():
        assert name in stub_names(module)


def tensors(problem, unused=None):
    H, E, C, psi, b, g, nl = problem
    args = [torch.tensor(a) for a in (*H, *E, *C, *psi, *b, *g, nl)]
    args.append(torch.empty(0) if unused is None else unused)
    return args


def test_wrong_argument_count_or_type_is_a_type_error():
    args = tensors(make_problem())
    with pytest.raises(TypeError):
        Voxstep.Update_H(*args[:19])
    with pytest.raises(TypeError):
        Voxstep.Update_H(*args[:19], 3)
    with pytest.raises(TypeError):
        Voxstep.Update_H(*args, Hx=args[0])


@pytest.mark.parametrize("unused", [torch.zeros(3, 2, dtype=torch.int8), torch.empty(0, device="meta"),
                                    torch.zeros((), dtype=torch.complex64)])
def test_twentieth_argument_is_never_touched(unused):
    a = tensors(make_problem())
    b = tensors(make_problem())
    Voxstep.Update_H(*a[:19], unused)
    Voxstep.Update_H(*b)
    for x, y in zip(a[:19], b[:19]):
        assert torch.equal(x, y)


def test_rank_errors_come_before_anything_changes():
    args = tensors(make_problem())
    before = snapshot(*args[:19])
    bad = list(args)
    bad[0] = args[0][0]  # 5-D Hx: the accessor refuses it
    with pytest.raises(RuntimeError, match="TensorAccessor expected 6 dims but tensor has 5"):
        Voxstep.Update_H(*bad)
    bad = list(args)
    bad[3] = args[3][0]  # 5-D Ex: ranks are checked before any extent is read
    with pytest.raises(RuntimeError, match="Update_H: Ex must be 6-D but has 5 dimensions"):
        Voxstep.Update_H(*bad)
    bad = list(args)
    bad[6] = args[6].double()  # wrong element type
    with pytest.raises(RuntimeError):
        Voxstep.Update_H(*bad)
    assert_unchanged(before, args[:19])


@pytest.mark.parametrize("index,name,shrink", [
    (1, "Hy", lambda t: t[:, :, :-1]),
    (4, "Ey", lambda t: t[:, :, :, :, :-1]),  # Nz + 1 planes needed along z
    (7, "Cy", lambda t: t[:-1]),
    (10, "psi_y", lambda t: t[:, :, :-1]),  # non-layer axis of psi_y
    (18, "n_layer", lambda t: t[:2]),
])
def test_undersized_tensors_are_refused_by_name(index, name, shrink):
    args = tensors(make_problem(n=(1, 1, 1)))
    before = snapshot(*args[:19])
    bad = list(args)
    bad[index] = shrink(args[index])
    with pytest.raises(ValueError, match=f"Update_H: {name} has shape"):
        Voxstep.Update_H(*bad)
    assert_unchanged(before, args[:19])


def test_tensors_on_another_device_are_refused_by_name():
    args = tensors(make_problem())
    bad = list(args)
    bad[8] = torch.empty(args[8].shape, device="meta")
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


def test_checked_functions_refuse_cpu_tensors():
    if torch.cuda.is_available():
        pytest.skip("CUDA present")
    z = torch.zeros(2)
    with pytest.raises(RuntimeError, match="^Error: CUDA not available.$"):
        Voxstep.Mat_average(z, z, z, torch.zeros(1, 1, 1, 1), z, z, z)


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
