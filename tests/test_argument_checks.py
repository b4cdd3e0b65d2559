"""The checks every function makes before anything runs (one fixed order:
devices, ranks and dtypes, extents, launch limits, written layouts), on the
cases that once got through: positions past the 32-bit range, layer
thicknesses near INT32_MIN, lazy conjugate/negative views, written tensors
that overlap, one-channel real fields. Valid arguments come from the table
in argtable.py; the fuzz suite covers the same properties at random."""
import numpy as np
import pytest
import torch

import Voxstep
from argtable import BY_ID, C64, ENTRIES
from cases import GPU_TWIN
from fuzzing import HOST_INTS, is_stored, place, raw, same

I64_MAX = 2 ** 63 - 1


def valid(entry_id, seed=0, where=lambda args: True):
    """Valid arguments of `entry_id` (fresh tensors): the first seed from
    `seed` on whose arguments satisfy `where`."""
    e = BY_ID[entry_id]
    s = seed
    while not where(args := e.build(np.random.default_rng(s))):
        s += 1
    return e, [place(a) if isinstance(a, torch.Tensor) else a for a in args]


def refused(entry_id, change, error, *names, seed=0):
    """`change(args, entry)` makes a call that must raise `error` naming the
    function and `names`, leaving every tensor argument unchanged."""
    e, args = valid(entry_id, seed)
    change(args, e)
    tensors = [a for a in args if is_stored(a)]
    before = [raw(t) for t in tensors]  # whole storages: expanded views stay cheap
    with pytest.raises(error) as info:
        e.fn(*args)
    for n in (e.name,) + names:
        assert n in str(info.value), str(info.value)
    assert all(torch.equal(raw(t), b) for t, b in zip(tensors, before)), "a tensor changed"
    return str(info.value)


def fresh(args):
    return [place(a) if isinstance(a, torch.Tensor) else a for a in args]


def written(e, args):
    return [a for a, role in zip(args, e.roles) if role == "w"]


def setarg(name, value):
    def change(args, e):
        args[e.index(name)] = value(args[e.index(name)]) if callable(value) else value
    return change


# ------------------------------------------------ 32-bit positions, planes, ranges

@pytest.mark.parametrize("entry_id,name,value", [
    ("Voxstep.Inject_J", "pos", torch.tensor([I64_MAX, 1, 1])),  # x0 + Bx wrapped negative
    ("Voxstep4.Inject_J", "pos", torch.tensor([0, 2 ** 32, 0])),
    ("Voxstep.Monitor_Update_E", "rx", torch.tensor([I64_MAX - 1, I64_MAX])),
    ("Voxstep.Inject_H", "margin", torch.tensor([2 ** 32, 0])),
    ("Voxstep4.Inject_E", "margin", torch.tensor([0, I64_MAX])),
    ("Voxstep.Inject_E", "kp", I64_MAX),  # kp + 1 wrapped to plane 0
    ("Voxstep4.Inject_E", "kp", 2 ** 31),
    ("Voxstep4.Inject_H", "step", -(2 ** 31) - 1),
])
def test_positions_outside_32_bits_are_value_errors(entry_id, name, value):
    refused(entry_id, setarg(name, value), ValueError, name)


def test_huge_expanded_extents_fail_the_limits_without_overflow():
    # NM * NC of Set_ER_subcell formed from 2^40 table columns: a launch-limit
    # error, not a wrapped product.
    def change(args, e):
        t = args[e.index("er_table")]
        args[e.index("er_table")] = t[:, :1].expand(t.shape[0], 2 ** 40)
    refused("_voxstep_host.Set_ER_subcell", change, ValueError, "NM * NC")
    # Inject_J's box (2^40)^3 cells: Bx, By, Bz come from three expanded
    # currents, so their product passes any single tensor's element count.
    def huge_box(args, e):
        for axis, n in enumerate(("Jx", "Jy", "Jz")):
            t = args[e.index(n)]
            shape = [*t.shape[:2], 1, 1, 1]
            shape[2 + axis] = 2 ** 40
            args[e.index(n)] = t.flatten()[:1].view(1, 1, 1, 1, 1).expand(*shape)
    refused("Voxstep.Inject_J", huge_box, ValueError, "limit")


# ------------------------------------------------ margins, positions, ranges

HOST_INT_ARGS = [(e.id, n) for e in ENTRIES for n in e.names if n in HOST_INTS]


@pytest.mark.parametrize("entry_id,name", HOST_INT_ARGS)
def test_host_ints_are_read_by_their_values(entry_id, name):
    # Lazy negative views (float and integer) and a conjugate view: the call
    # of the same values in a plain tensor.
    e, args = valid(entry_id)
    i = e.index(name)
    want = fresh(args)
    e.fn(*want)
    for view in (lambda t: torch._neg_view(place(-t.double())),
                 lambda t: torch._neg_view(place(-t)),
                 lambda t: place(t.to(C64).conj()).conj()):
        got = fresh(args)
        got[i] = view(args[i])
        assert got[i].is_neg() or got[i].is_conj()
        e.fn(*got)
        assert same(written(e, got), written(e, want))


@pytest.mark.parametrize("entry_id", ["Voxstep.Inject_J", "Voxstep4.Inject_J"])
def test_negative_view_position_of_ones(entry_id):
    e, args = valid(entry_id)
    i = e.index("pos")
    want, got = fresh(args), fresh(args)
    want[i] = torch.tensor([1, 1, 1])
    got[i] = torch._neg_view(-torch.tensor([1.0, 1.0, 1.0]))
    e.fn(*want)
    e.fn(*got)
    assert same(written(e, got), written(e, want))


@pytest.mark.parametrize("entry_id,name", HOST_INT_ARGS)
@pytest.mark.parametrize("value", [2.0 ** 63, float("nan"), float("inf"), -float("inf")])
def test_host_ints_no_integer_holds_are_refused(entry_id, name, value):
    def change(args, e):
        t = args[e.index(name)].double().clone()
        t.view(-1)[1] = value
        args[e.index(name)] = t
    msg = refused(entry_id, change, ValueError, name)
    if value == 2.0 ** 63:  # the value passed, not its wrapped cast
        assert "9223372036854775808" in msg and "-9223372036854775808" not in msg


def test_complex_host_ints_with_an_imaginary_part_are_refused():
    refused("Voxstep.Inject_J", setarg("pos", torch.tensor([1, 1 + 1j, 1])), ValueError,
            "pos[1] = 1+1j is not real")


# ------------------------------------------------ sparse tensors

@pytest.mark.parametrize("entry", [e for e in ENTRIES if e.module.__name__ == "_voxstep_host"
                                   or e.name not in GPU_TWIN], ids=lambda e: e.id)
def test_sparse_tensors_are_refused_by_name(entry):
    # Any tensor argument, written, read or read on the host.
    for name, role in zip(entry.names, entry.roles):
        if role in ("w", "r", "h"):
            msg = refused(entry.id, setarg(name, lambda t: t.to_sparse()), RuntimeError, name)
            assert f"{name} has layout Sparse" in msg


# ------------------------------------------------ layer thickness

@pytest.mark.parametrize("entry_id", ["Voxstep.Update_H", "Voxstep.Update_E", "Voxstep4.Update_H",
                                      "Voxstep4.Update_E"])
@pytest.mark.parametrize("n", [-1, -(2 ** 31), -(2 ** 31) + 1, -(2 ** 30)])
def test_negative_layer_thickness_is_no_layer(entry_id, n):
    e, args = valid(entry_id, seed=3)
    i = e.index("n_layer")
    zero = [place(a) if isinstance(a, torch.Tensor) else a for a in args]
    for axis in range(3):
        args[i][axis], zero[i][axis] = n, 0
    e.fn(*args)
    e.fn(*zero)
    assert same([a for a, r in zip(args, e.roles) if r == "w"],
                [a for a, r in zip(zero, e.roles) if r == "w"])


# ------------------------------------------------ conjugate and negative views

def test_conjugate_input_is_read_as_its_values():
    e, args = valid("Voxstep.Inject_J")
    plain = [place(a) if isinstance(a, torch.Tensor) else a for a in args]
    j = e.index("Jy")
    args[j] = place(args[j].conj()).conj()  # lazy: the bit is set, memory holds conj(Jy)
    assert args[j].is_conj()
    e.fn(*args)
    e.fn(*plain)
    for n in ("Ex", "Ey", "Ez"):
        assert torch.equal(args[e.index(n)], plain[e.index(n)])


def test_negative_view_input_is_read_as_its_values():
    e, args = valid("_voxstep_host.Trilinear_reverse_interpolation")
    plain = [place(a) for a in args]
    v = e.index("vals")
    args[v] = place(args[v].conj()).conj()  # its imaginary part is a negative view
    assert torch.allclose(e.fn(*args), e.fn(*plain))


@pytest.mark.parametrize("entry_id,name,view", [
    ("Voxstep.Monitor_Update_E", "My", lambda t: t.conj()),
    ("Voxstep4.Update_H", "psi_y", lambda t: t.conj()),
    ("Voxstep.Update_H", "Hz", torch._neg_view),
])
def test_written_views_with_pending_bits_are_refused(entry_id, name, view):
    msg = refused(entry_id, setarg(name, view), RuntimeError, name)
    assert "view" in msg


# ------------------------------------------------ overlapping written tensors

@pytest.mark.parametrize("entry_id,written,other", [
    ("Voxstep.Update_H", "Hy", "Hx"),                      # the same tensor twice
    ("Voxstep.Update_E_Dispersion", "Ex_prev", "Ex"),      # a field as its own previous value
    ("Voxstep4.Update_E", "Ez", "Hz"),
    ("Voxstep.Monitor_Update_E", "Mz", "w"),
])
def test_written_tensor_sharing_memory_is_refused(entry_id, written, other):
    def change(args, e):
        w, o = args[e.index(written)], args[e.index(other)]
        if w.shape == o.shape:
            args[e.index(written)] = o
        else:  # the other argument as a view of the written one's storage
            args[e.index(other)] = w.as_strided(o.shape, place(o).stride(), w.storage_offset())
    refused(entry_id, change, RuntimeError, written, other, seed=5)


@pytest.mark.parametrize("shared", [0, 1], ids=["touching", "one-element-shared"])
def test_neighbouring_slices_of_one_buffer(shared):
    # Hx and Hy cut from one flat buffer, end to end or overlapping by one
    # element: the cheap test on address spans must not hide the overlap.
    e, args = valid("Voxstep.Update_H", seed=6)
    hx, hy = args[0], args[1]
    buf = torch.zeros(hx.numel() + hy.numel())
    start = hx.numel() - shared
    args[0] = buf[:hx.numel()].view(hx.shape).copy_(hx)
    args[1] = buf[start:start + hy.numel()].view(hy.shape)
    if shared:
        with pytest.raises(RuntimeError, match="Hx and Hy share memory"):
            e.fn(*args)
    else:
        args[1].copy_(hy)
        plain = [place(a) if isinstance(a, torch.Tensor) else a for a in args]
        e.fn(*args)
        e.fn(*plain)
        assert torch.equal(args[0], plain[0]) and torch.equal(args[1], plain[1])


@pytest.mark.parametrize("entry_id,name", [
    ("Voxstep.Update_E_Dispersion", "Ey_prev"),  # once written after the kernel had run
    ("Voxstep.Update_E_Periodic", "Ez"),
    ("_voxstep_host.Set_weight_mat_id", "id_map"),
])
def test_self_overlapping_written_tensor_is_refused(entry_id, name):
    def expand(t):
        a = max(range(t.dim()), key=lambda d: t.shape[d])
        return t.narrow(a, 0, 1).expand(t.shape)
    refused(entry_id, setarg(name, expand), RuntimeError, name, seed=1)


def test_self_overlapping_layout_without_zero_strides_is_refused():
    # Unit strides on every axis: element (m, i, j, k) at m + i + j + k, a
    # layout torch's own overlap helper leaves undecided.
    shape = (1, 3, 2, 2)
    maps = [torch.rand(shape), torch.ones(shape, dtype=torch.uint8),
            torch.zeros(shape, dtype=torch.uint8), torch.rand(4)]
    er = torch.zeros(16).as_strided(shape, (1, 1, 1, 1))
    before = er.clone()
    with pytest.raises(RuntimeError, match="Set_ER_average: er has more than one element"):
        Voxstep.Set_ER_average(er, *maps)
    assert torch.equal(er, before)


def test_interleaved_components_of_one_buffer_are_accepted():
    # Hx, Hy, Hz as channels of one [..., 3] buffer share a storage but no
    # element: same result as three separate tensors.
    e, args = valid("Voxstep.Update_H", seed=2)
    plain = [place(a) if isinstance(a, torch.Tensor) else a for a in args]
    H = torch.stack([args[0], args[1], args[2]], dim=-1)
    args[0:3] = [H[..., 0], H[..., 1], H[..., 2]]
    e.fn(*args)
    e.fn(*plain)
    assert all(torch.equal(a, b) for a, b in zip(args[:3], plain[:3]))


def test_inputs_may_be_expanded_and_share_memory():
    e, args = valid("Voxstep.Update_E", seed=4)
    keep = args[e.index("keep_x")]
    one = torch.ones(1, 1, 1, 1).expand(keep.shape)  # one expanded map for all three
    for n in ("keep_x", "keep_y", "keep_z"):
        args[e.index(n)] = one
    plain = [place(a) if isinstance(a, torch.Tensor) else a for a in args]
    e.fn(*args)
    e.fn(*plain)
    assert all(torch.equal(a, b) for a, b in zip(args[:3], plain[:3]))


# ------------------------------------------------ one-channel real fields

@pytest.mark.parametrize("entry_id", ["Voxstep.Update_E_Periodic", "Voxstep.Inject_H",
                                      "Voxstep.Inject_E"])
def test_one_real_channel_is_refused_where_halves_are_needed(entry_id):
    def one_channel(args, e):
        for i, (a, role) in enumerate(zip(args, e.roles)):
            if role == "w":
                args[i] = a[..., :1]
    msg = refused(entry_id, one_channel, ValueError, "NC must be even")
    assert "NC = 1" in msg


@pytest.mark.parametrize("entry_id", ["Voxstep.Update_E_Periodic", "Voxstep.Inject_H"])
def test_odd_channel_counts_above_one_are_still_accepted(entry_id):
    e, args = valid(entry_id, where=lambda args: args[0].shape[5] == 4)
    for i, (a, role) in enumerate(zip(args, e.roles)):
        if role == "w":
            args[i] = a[..., :3]
    e.fn(*args)


# ------------------------------------------------ naming

@pytest.mark.parametrize("entry_id,name,bad,text", [
    ("Voxstep.Update_H", "Ex", lambda t: t[0], "Ex must be 6-D but has 5 dimensions"),
    ("Voxstep.Update_E_Periodic", "phase_y", lambda t: t.double(),
     "phase_y must be float32 but is float64"),
    ("Voxstep4.Inject_H", "profEy", lambda t: t.real, "expected scalar type ComplexFloat"),
    ("Voxstep.Monitor_Update_E", "w", lambda t: t[None], "TensorAccessor expected 1 dims"),
])
def test_rank_and_dtype_errors_name_function_and_argument(entry_id, name, bad, text):
    msg = refused(entry_id, setarg(name, bad), RuntimeError, name)
    assert text in msg


def test_device_errors_name_the_argument():
    def meta(t):
        return torch.empty(t.shape, dtype=t.dtype, device="meta")
    refused("Voxstep.Update_E_Dispersion", setarg("id_map_y", meta), RuntimeError, "id_map_y")
    refused("Voxstep.Inject_J", setarg("pos", meta), RuntimeError, "pos")
