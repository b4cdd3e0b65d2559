"""The CPU backend's traversals. Every function gives bit-identical results
under the row loops (packed and plain paths) and under the GPU's thread
decomposition run block by block with either thread mapping; so each GPU
mapping visits every position exactly once (a double or missed visit changes
the accumulating functions' results), and the packed row loops compute what
the plain per-cell path computes, whatever the tensors' layout. One and two
threads; the trilinear adjoint's atomics under concurrency."""
import contextlib

import pytest
import torch

import Voxstep
import Voxstep4
import _voxstep_host
from cases import CASES, build

MODULES = (Voxstep, Voxstep4, _voxstep_host)
TRAVERSALS = ("rows", "blocks", "blocks-points")


@contextlib.contextmanager
def traversal(name, threads=1):
    old = [m._cpu_traversal(name) for m in MODULES]
    old_threads = torch.get_num_threads()
    torch.set_num_threads(threads)
    try:
        yield
    finally:
        torch.set_num_threads(old_threads)
        for m, o in zip(MODULES, old):
            m._cpu_traversal(o)


def test_traversal_switch_names_and_refuses_unknown_names():
    assert Voxstep._cpu_traversal("") == "rows"
    with pytest.raises(ValueError, match="unknown traversal"):
        Voxstep._cpu_traversal("diagonal")


# --------------------------------------------------------------------------

def bits(x):
    """A tensor's contents as integers (NaN payloads and signed zeros count)."""
    x = x.detach().contiguous()
    if x.is_complex():
        x = torch.view_as_real(x).contiguous()
    if x.dtype == torch.float32:
        return x.view(torch.int32)
    if x.dtype == torch.float64:
        return x.view(torch.int64)
    return x


def outputs(result, args):
    out = list(result) if isinstance(result, tuple) else ([] if result is None else [result])
    return out + [a for a in args if isinstance(a, torch.Tensor)]


def copy(a):
    """A copy with the same strides (clone() makes gappy views contiguous)."""
    if not isinstance(a, torch.Tensor) or 0 in a.stride():  # expansions are read only
        return a
    b = torch.empty_strided(a.size(), a.stride(), dtype=a.dtype)
    b.copy_(a)
    return b


def run(fn, args, mode, threads=1):
    args = [copy(a) for a in args]
    with traversal(mode, threads):
        result = fn(*args)
    return outputs(result, args)


def assert_same(got, want):
    assert len(got) == len(want)
    for n, (g, w) in enumerate(zip(got, want)):
        assert torch.equal(bits(g), bits(w)), f"output {n} differs"


SHAPES = [
    dict(),                                          # every face, layers on all axes
    dict(NS=2, NM=2, N=(3, 2, 5), NC=1, n=(2, 1, 2)),  # 2n > N: the low layer wins
    dict(N=(1, 1, 17), NC=2, n=(0, 0, 4)),          # a column: every row on a face
    dict(N=(6, 5, 7), NC=3, n=(1, 2, 3)),           # channels the packed loops don't take
    dict(N=(7, 6, 9), NC=1, n=(3, 3, 3), lim=(4, 5, 2)),  # psi shorter than 2n
    # rows of several chunks of staged cell terms, the last one partial
    dict(N=(2, 2, 139), NC=1, n=(1, 0, 9)),
    dict(N=(2, 1, 139), NC=2, n=(0, 1, 9)),
]


@pytest.mark.parametrize("shape", SHAPES, ids=["faces", "overlap", "column", "nc3", "short-psi",
                                               "long-rows-nc1", "long-rows-nc2"])
@pytest.mark.parametrize("name,module", CASES, ids=[f"{m.__name__}.{n}" for n, m in CASES])
def test_traversals_agree_bit_for_bit(name, module, shape):
    fn, args = build(name, module, seed=len(name), **shape)
    want = run(fn, args, "blocks-points")
    for mode in ("rows", "blocks"):
        assert_same(run(fn, args, mode), want)


PACKED = [(n, m) for n in ("Update_H", "Update_E", "Update_E_Dispersion", "Update_E_Periodic")
          for m in (Voxstep, Voxstep4)]


def relaid(t):
    """The same values stored with other strides: reversed axis order in
    memory, or every other element for a 1-D tensor."""
    if t.dim() <= 1:
        wide = torch.zeros(2 * t.numel() + 1, dtype=t.dtype)
        view = wide[1::2]
        view.copy_(t)
        return view
    order = list(range(t.dim()))[::-1]
    return t.permute(order).contiguous().permute(order)


@pytest.mark.parametrize("NC", [1, 2])
@pytest.mark.parametrize("name,module", PACKED, ids=[f"{m.__name__}.{n}" for n, m in PACKED])
def test_any_tensor_off_the_packed_layout_gives_the_same_bits(name, module, NC):
    """Each tensor in turn stored with other strides: the packed loops must
    notice and give what the per-cell path gives."""
    if name == "Update_E_Periodic" and module is Voxstep:
        NC = 2 * NC
    fn, args = build(name, module, seed=3, NC=NC)
    want = run(fn, args, "blocks-points")
    assert_same(run(fn, args, "rows"), want)
    for n, a in enumerate(args):
        if isinstance(a, torch.Tensor) and a.numel() > 1 and a.dtype != torch.int32:
            moved = list(args)
            moved[n] = relaid(a)
            assert_same(run(fn, moved, "rows"), want)


@pytest.mark.parametrize("NC", [1, 2])
@pytest.mark.parametrize("module", [Voxstep, Voxstep4])
def test_maps_expanded_from_one_value_give_the_same_bits(module, NC):
    """Vacuum drivers pass keep and loss as stride-0 expansions of one value,
    which the row loops take through a layout of their own."""
    fn, args = build("Update_E", module, seed=4, NC=NC)
    for n in range(6, 12):  # keep_x .. loss_z
        one = args[n].reshape(-1)[:1].clone()
        args[n] = one.reshape([1] * args[n].dim()).expand(args[n].shape)
    assert_same(run(fn, args, "rows"), run(fn, args, "blocks-points"))


@pytest.mark.parametrize("name,module", [("Update_H", Voxstep), ("Update_E", Voxstep4),
                                         ("Update_E_Dispersion", Voxstep),
                                         ("Inject_J", Voxstep4)])
def test_two_threads_give_the_bits_of_one(name, module):
    shape = dict(NS=2, N=(24, 20, 33), NC=2, n=(3, 4, 5))  # enough work to go parallel
    fn, args = build(name, module, seed=5, **shape)
    want = run(fn, args, "blocks-points", threads=1)
    for mode in TRAVERSALS:
        assert_same(run(fn, args, mode, threads=2), want)


def test_adjoint_atomics_lose_nothing_under_two_threads():
    """Every query on the same few nodes: the compare-and-swap additions of
    two threads collide constantly. With unit values on the nodes the sums
    are exact counts, so any lost or doubled update shows."""
    grids = [torch.arange(3.0)] * 3
    q = torch.tensor([0.0, 1.0, 2.0] * 20)  # 60 queries per axis onto 3 nodes
    vals = torch.ones(1, 1, 60, 60, 60, 2, dtype=torch.complex64)
    for mode in TRAVERSALS:
        with traversal(mode, threads=2):
            got = _voxstep_host.Trilinear_reverse_interpolation(*grids, vals, q, q, q)
        assert torch.equal(got, torch.full_like(got, complex(20.0**3, 0.0))), mode
