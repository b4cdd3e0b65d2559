"""Mutation fuzzing of every public function (the table in argtable.py).

A case starts from random valid arguments, applies one mutation and calls
the function. Every tensor lives in its own storage with guard elements on
both sides, so a write outside a tensor's view is seen without a sanitizer.
What is asserted:

- the call returns or raises one of torch's Python exception types (a crash
  ends the process; the campaign script runs cases in child processes);
- on an exception, no byte of any argument's storage changed (NaN-aware by
  construction);
- on success, read-only arguments are byte-for-byte unchanged and nothing
  outside a written tensor's view changed;
- layout and value mutations that keep the call's meaning (strided,
  permuted, expanded or aliased inputs, pending conjugate/negative bits on
  inputs and on margins, positions and ranges, negative layer thickness =
  no layer) give the result of the same call on plain contiguous copies,
  which the per-function tests check against their references;
- written tensors that overlap themselves or another argument, or carry a
  conjugate/negative bit, are refused naming the function and the argument;
  positions, ranges and planes outside the 32-bit range, and floating ones
  that are not finite or beyond the 64-bit range, are refused with
  ValueError; rank, dtype and layout (sparse) errors name the function and
  the argument.

A case is reproducible from (entry id, family, seed)."""
import math
import zlib

import numpy as np
import torch

from argtable import BY_ID, C64, ENTRIES, F32, I32, U8  # noqa: F401

GUARD = 7  # guard elements before and after every tensor
INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1
HUGE = [-1, -2, -7, INT32_MIN, INT32_MIN + 1, INT32_MAX, INT32_MAX - 1, 2 ** 31, 2 ** 32,
        2 ** 32 + 1, 2 ** 32 - 1, 65535, 65536, 65537, 2 ** 40, 2 ** 62, 2 ** 63 - 1,
        2 ** 63 - 2, -(2 ** 63), -(2 ** 63) + 1, -(2 ** 62), 2 ** 63, 2 ** 64 + 3]
# Positions, ranges, planes: outside the 32-bit range they must be refused.
INDEX_INTS = {"kp", "step", "margin", "pos", "rx", "ry", "rz"}
# The fixed messages of the GPU-only public functions on a CPU tensor.
FIXED = {"Error: CUDA not available.", "CUDA not available.", "Error: Tensor is not on GPU.",
         "Tensor is not on GPU."}
ALLOWED = (RuntimeError, ValueError, IndexError, TypeError, NotImplementedError)
FAMILIES = ["layout", "expand", "alias", "conj", "shape", "rank_dtype", "device", "ints",
            "layers", "values", "host_ints", "sparse"]


class Failure(Exception):
    def __init__(self, kind, detail):
        super().__init__(f"{kind}: {detail}")
        self.kind = kind


# ------------------------------------------------------------ tensor placement

def _fill_value(dtype):
    if dtype.is_floating_point or dtype.is_complex:
        return float("nan")
    return 0x5A if dtype != torch.bool else True


def _padded(shape, dtype):
    """A contiguous tensor of `shape` inside a storage with guard elements."""
    n = int(np.prod(shape)) if len(shape) else 1
    store = torch.full((n + 2 * GUARD,), _fill_value(dtype), dtype=dtype)
    return store[GUARD:GUARD + n].view(shape)


def logical(t):
    return t.detach().resolve_conj().resolve_neg()


def place(t, layout=None):
    """The values of `t` in a fresh guarded storage: contiguous, or
    ("stride", axis) every other element along an axis, or ("perm", p) stored
    in axis order p and viewed back."""
    v = logical(t)
    if layout is None or v.dim() == 0:
        out = _padded(tuple(v.shape), v.dtype)
    elif layout[0] == "stride":
        a = layout[1]
        big = list(v.shape)
        big[a] = 2 * big[a]
        out = _padded(tuple(big), v.dtype).narrow(a, 0, big[a])[(slice(None),) * a + (slice(None, None, 2),)]
    else:
        p = layout[1]
        inv = [p.index(i) for i in range(len(p))]
        out = _padded(tuple(v.permute(p).shape), v.dtype).permute(inv)
    out.copy_(v)
    return out


def is_stored(a):
    """Whether `a` is a tensor whose storage the checks can read (a dense
    CPU tensor)."""
    return isinstance(a, torch.Tensor) and a.device.type == "cpu" and a.layout == torch.strided


def raw(t):
    """Every byte of t's storage."""
    return torch.empty(0, dtype=torch.uint8).set_(t.untyped_storage()).clone()


def footprint(t):
    """Bytes of t's storage that t's view covers."""
    item = t.element_size()
    n = t.untyped_storage().nbytes() // item
    cover = torch.zeros(n, dtype=torch.bool)
    if t.numel():
        cover.as_strided(t.shape, t.stride(), t.storage_offset()).fill_(True)
    return cover.repeat_interleave(item)


def same(a, b):
    """NaN-aware equality of two results (tensors, tuples, scalars)."""
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, torch.Tensor):
        a, b = logical(a), logical(b)
        if a.shape != b.shape or a.dtype != b.dtype:
            return False
        if a.dtype.is_floating_point or a.dtype.is_complex:
            return torch.allclose(a, b, rtol=1e-5, atol=1e-5, equal_nan=True)
        return torch.equal(a, b)
    return a == b


# ------------------------------------------------------------ cases

class Case:
    """One call: arguments, optional reference arguments (None: contiguous
    copies of args), what is expected ("equiv", "raise", "any") and what
    the message must name when it raises."""

    def __init__(self, entry, args, expect, what, names=(), ref_args=None, exc=None):
        self.entry, self.args, self.expect, self.what = entry, args, expect, what
        self.names, self.ref_args, self.exc = list(names), ref_args, exc


def _tensor_indices(entry, args, roles=("w", "r", "h")):
    return [i for i, (a, role) in enumerate(zip(args, entry.roles))
            if role in roles and isinstance(a, torch.Tensor)]


def _pick(r, items):
    return items[int(r.integers(len(items)))] if items else None


def _mutate_layout(entry, args, r):
    i = _pick(r, [i for i in _tensor_indices(entry, args) if args[i].dim() > 0])
    if i is None:
        return None
    t = args[i]
    if r.integers(2):
        layout = ("stride", int(r.integers(t.dim())))
    else:
        layout = ("perm", [int(x) for x in r.permutation(t.dim())])
    args[i] = place(t, layout)
    return Case(entry, args, "equiv", f"{entry.names[i]} as {layout}")


def _mutate_expand(entry, args, r):
    """An input broadcast along an axis (stride 0) reads like its copy; a
    written tensor that overlaps itself is refused."""
    cands = [i for i in _tensor_indices(entry, args) if args[i].numel() > 0]
    i = _pick(r, cands)
    if i is None:
        return None
    t = args[i]
    axes = [a for a in range(t.dim()) if t.shape[a] > 1]
    name = entry.names[i]
    if axes:
        a = _pick(r, axes)
        args[i] = place(t).narrow(a, 0, 1).expand(t.shape)
        what = f"{name} expanded along axis {a}"
    elif t.dim() > 0 and t.numel() > 1:
        args[i] = place(t).as_strided(t.shape, [0] * t.dim())
        what = f"{name} with zero strides"
    else:
        return None
    if entry.roles[i] == "w" and args[i].numel() > 1:
        return Case(entry, args, "raise", what + " (written)", [name])
    return Case(entry, args, "equiv", what)


def _mutate_alias(entry, args, r):
    """Argument i shares memory with argument j: the same tensor when shapes
    match, else a view of j's storage. Inputs may share memory; a written
    tensor must not overlap any other argument."""
    idx = _tensor_indices(entry, args)
    pairs = [(i, j) for i in idx for j in idx if i != j and args[i].dtype == args[j].dtype
             and args[i].numel() > 0 and args[j].numel() > 0]
    if not pairs:
        return None
    i, j = _pick(r, pairs)
    ti, tj = args[i], args[j]
    if ti.shape == tj.shape:
        args[i] = tj
    else:
        # a view of j's storage that meets j's own (contiguous) elements
        n = tj.untyped_storage().nbytes() // tj.element_size()
        lo = max(0, tj.storage_offset() - ti.numel() + 1)
        hi = min(n - ti.numel(), tj.storage_offset() + tj.numel() - 1)
        if hi < lo:
            return None
        args[i] = tj.as_strided(ti.shape, place(ti).stride(), int(r.integers(lo, hi + 1)))
    ni, nj = entry.names[i], entry.names[j]
    what = f"{ni} shares memory with {nj}"
    if "w" in (entry.roles[i], entry.roles[j]):
        return Case(entry, args, "raise", what, [ni, nj])
    return Case(entry, args, "equiv", what)


def _mutate_conj(entry, args, r):
    """A pending conjugate (complex) or negative bit whose logical values
    equal the original: inputs are resolved, written tensors refused."""
    cands = [i for i in _tensor_indices(entry, args)
             if args[i].dtype in (C64, F32) and args[i].numel() > 0]
    i = _pick(r, cands)
    if i is None:
        return None
    t = place(args[i])
    if t.dtype == C64 and r.integers(2):
        args[i] = place(t.conj()).conj()
        what = "conj view"
    else:
        args[i] = torch._neg_view(place(-t))
        what = "negative view"
    name = entry.names[i]
    if entry.roles[i] == "w":
        return Case(entry, args, "raise", f"{name} as {what} (written)", [name])
    return Case(entry, args, "equiv", f"{name} as {what}")


def _mutate_shape(entry, args, r):
    i = _pick(r, [i for i in _tensor_indices(entry, args) if args[i].dim() > 0])
    if i is None:
        return None
    t = args[i]
    a = int(r.integers(t.dim()))
    kind = int(r.integers(3))
    if kind == 0 and t.shape[a] > 0:
        args[i] = t.narrow(a, 0, t.shape[a] - 1)
        what = f"{entry.names[i]} axis {a} one shorter"
    elif kind == 1:
        shape = list(t.shape)
        shape[a] += 1
        grown = place(torch.zeros(shape, dtype=t.dtype))
        grown.narrow(a, 0, t.shape[a]).copy_(t)
        args[i] = grown
        what = f"{entry.names[i]} axis {a} one longer"
    else:
        args[i] = t.narrow(a, 0, 0)
        what = f"{entry.names[i]} axis {a} empty"
    return Case(entry, args, "any", what)


DTYPES = [torch.float32, torch.float64, torch.complex64, torch.int32, torch.int64, torch.uint8,
          torch.bool, torch.float16]


def _mutate_rank_dtype(entry, args, r):
    i = _pick(r, _tensor_indices(entry, args))
    t = args[i]
    name = entry.names[i]
    if r.integers(2):
        dt = _pick(r, [d for d in DTYPES if d != t.dtype])
        v = logical(t)
        v = v.real if v.is_complex() and not dt.is_complex else v
        args[i] = place(v.to(dt))
        what = f"{name} as {dt}"
    elif t.dim() > 0 and r.integers(2):
        args[i] = t.select(int(r.integers(t.dim())), 0) if t.numel() else t.sum(0)
        what = f"{name} one rank lower"
    else:
        args[i] = t.unsqueeze(int(r.integers(t.dim() + 1)))
        what = f"{name} one rank higher"
    # Tensors read on the host take any numeric type: a bool or float range is
    # read by its values, so another argument may be the one that fails.
    return Case(entry, args, "any", what, [] if entry.roles[i] == "h" else [name])


def _mutate_device(entry, args, r):
    i = _pick(r, _tensor_indices(entry, args))
    name = entry.names[i]
    args[i] = torch.empty(args[i].shape, dtype=args[i].dtype, device="meta")
    return Case(entry, args, "raise", f"{name} on meta", [name])


def _mutate_ints(entry, args, r):
    """Huge and negative values in an integer argument or integer tensor."""
    cands = [i for i, (a, role) in enumerate(zip(args, entry.roles))
             if role == "int" or (role in ("w", "r", "h") and isinstance(a, torch.Tensor)
                                  and not a.dtype.is_floating_point and not a.dtype.is_complex
                                  and a.numel() > 0)]
    i = _pick(r, cands)
    if i is None:
        return None
    name = entry.names[i]
    v = _pick(r, HUGE)
    if entry.roles[i] == "int":
        args[i] = v
        what = f"{name} = {v}"
        if not -(2 ** 63) <= v < 2 ** 63:
            return Case(entry, args, "raise", what, exc=TypeError)
        out_of_range = not INT32_MIN <= v <= INT32_MAX
    else:
        t = logical(args[i]).clone()
        info = torch.iinfo(t.dtype) if t.dtype != torch.bool else None
        v = max(min(v, 2 ** 63 - 1), -(2 ** 63))
        if info is None or not info.min <= v <= info.max:
            if name in INDEX_INTS:
                t = t.to(torch.int64)  # these take any integer type
            elif info is not None:
                v = max(min(v, info.max), info.min)
        k = int(r.integers(t.numel()))
        t.view(-1)[k] = v
        args[i] = place(t)
        what = f"{name}[{k}] = {v}"
        out_of_range = not INT32_MIN <= v <= INT32_MAX
    if name in INDEX_INTS and out_of_range:
        return Case(entry, args, "raise", what + " (outside 32 bits)", [name], exc=ValueError)
    return Case(entry, args, "any", what)


def _mutate_layers(entry, args, r):
    """A negative layer thickness means no layer: the same result as 0.
    Thicknesses beyond the axis are valid calls too."""
    if "n_layer" not in entry.names:
        return None
    i = entry.index("n_layer")
    t = logical(args[i]).clone()
    a = int(r.integers(3))
    if r.integers(2):
        v = _pick(r, [-1, -2, -3, INT32_MIN, INT32_MIN + 1, INT32_MIN + 2, -(2 ** 30)])
        t[a] = v
        ref = list(args)
        z = t.clone()
        z[a] = 0
        ref[i] = place(z)
        args[i] = place(t)
        return Case(entry, args, "equiv", f"n_layer[{a}] = {v}", ref_args=ref)
    t[a] = _pick(r, [3, 4, 5, 8, 1000, 65535, 2 ** 30, INT32_MAX, INT32_MAX - 1])
    args[i] = place(t)
    return Case(entry, args, "any", f"n_layer[{a}] = {int(t[a])}")


SPECIALS = [float("nan"), float("inf"), -float("inf"), 3e38, -3e38, 1e-40, 0.0, -0.0]


def _mutate_values(entry, args, r):
    """NaN, Inf and extreme values in float inputs (tables, coordinates,
    boxes, profiles), ids past the tables' ends in id maps."""
    cands = [i for i in _tensor_indices(entry, args, ("r", "h")) if args[i].numel() > 0
             and (args[i].dtype in (F32, C64, torch.float64) or args[i].dtype == U8)]
    i = _pick(r, cands)
    if i is None:
        return None
    t = logical(args[i]).clone()
    flat = t.view(-1)
    ks = r.integers(0, t.numel(), int(r.integers(1, 4)))
    for k in ks:
        flat[int(k)] = int(_pick(r, [4, 5, 17, 200, 255])) if t.dtype == U8 else \
            _pick(r, SPECIALS)
    args[i] = place(t)
    return Case(entry, args, "any", f"{entry.names[i]} with {'ids' if t.dtype == U8 else 'specials'}")


# Integer-like tensors read on the host (margins, positions, ranges).
HOST_INTS = {"margin", "pos", "rx", "ry", "rz"}
# Floating values no 64-bit integer holds (2^63 passes torch's own overflow
# test), and non-finite ones: each is refused naming the argument.
UNREPRESENTABLE = [2.0 ** 63, -(2.0 ** 63) - 2 ** 11, 2.0 ** 64, 1e300, float("nan"),
                   float("inf"), -float("inf")]


def _mutate_host_ints(entry, args, r):
    """A margin, position or range as a lazy negative or conjugate view of
    its own values (read by those values), or with a floating element that
    no integer holds (refused with ValueError naming it)."""
    i = _pick(r, [i for i, n in enumerate(entry.names) if n in HOST_INTS])
    if i is None:
        return None
    name = entry.names[i]
    t = logical(args[i])
    kind = int(r.integers(3))
    if kind == 0:
        dt = _pick(r, [torch.float32, torch.float64, torch.int64, torch.int32])
        args[i] = torch._neg_view(place(-t.to(dt)))
        return Case(entry, args, "equiv", f"{name} as a negative view ({dt})")
    if kind == 1:
        args[i] = place(t.to(C64).conj()).conj()
        return Case(entry, args, "equiv", f"{name} as a conjugate view")
    v = _pick(r, UNREPRESENTABLE)
    dt = _pick(r, [torch.float32, torch.float64])
    if math.isfinite(v) and abs(v) > torch.finfo(torch.float32).max:
        dt = torch.float64
    t = t.to(dt).clone()
    k = int(r.integers(t.numel()))
    t.view(-1)[k] = v
    args[i] = place(t)
    names = [name] + (["9223372036854775808"] if v == 2.0 ** 63 else [])
    return Case(entry, args, "raise", f"{name}[{k}] = {v}", names, exc=ValueError)


def _mutate_sparse(entry, args, r):
    """A sparse tensor in place of any tensor argument: refused naming it."""
    i = _pick(r, _tensor_indices(entry, args))
    if i is None:
        return None
    args[i] = logical(args[i]).to_sparse()
    name = entry.names[i]
    return Case(entry, args, "raise", f"{name} sparse", [name])


MUTATORS = {"layout": _mutate_layout, "expand": _mutate_expand, "alias": _mutate_alias,
            "conj": _mutate_conj, "shape": _mutate_shape, "rank_dtype": _mutate_rank_dtype,
            "device": _mutate_device, "ints": _mutate_ints, "layers": _mutate_layers,
            "values": _mutate_values, "host_ints": _mutate_host_ints, "sparse": _mutate_sparse}


def seed_of(entry_id, family, seed):
    return [zlib.crc32(entry_id.encode()), zlib.crc32(family.encode()), seed]


def make_case(entry, family, seed):
    """The case of (entry, family, seed), or None when the family has nothing
    to mutate in the arguments drawn."""
    r = np.random.default_rng(seed_of(entry.id, family, seed))
    args = [place(a) if isinstance(a, torch.Tensor) else a for a in entry.build(r)]
    return MUTATORS[family](entry, list(args), r)


# ------------------------------------------------------------ running a case

def _call(entry, args):
    try:
        return entry.fn(*args), None
    except ALLOWED as e:
        return None, e


def _materialized(args):
    return [place(a) if is_stored(a) else a for a in args]


def check(case):
    """Runs one case; raises Failure when a property does not hold."""
    e, args = case.entry, case.args
    fn_name = e.name
    tensors = [(n, role, a) for n, role, a in zip(e.names, e.roles, args) if is_stored(a)]
    before = [raw(a) for _, _, a in tensors]
    ref_args = _materialized(case.ref_args if case.ref_args is not None else args)
    ref_out, ref_err = _call(e, ref_args) if case.expect == "equiv" else (None, None)

    try:
        out, err = _call(e, args)
    except Exception as x:  # noqa: BLE001  (any other type is a failure)
        raise Failure("exception-type", f"{type(x).__name__}: {x}") from None

    if err is not None:
        for (name, _, a), b in zip(tensors, before):
            if not torch.equal(raw(a), b):
                raise Failure("changed-on-error", f"{name} changed, then raised {err!r}")
        msg = str(err)
        if case.expect == "equiv" and ref_err is None:
            raise Failure("refused-valid", f"{case.what}: {err!r}")
        if case.exc is not None and not isinstance(err, case.exc):
            raise Failure("exception-type", f"{case.what}: wanted {case.exc.__name__}, "
                                            f"got {err!r}")
        if case.names and msg not in FIXED and not (
                fn_name in msg and all(n in msg for n in case.names)):
            raise Failure("unnamed", f"{case.what}: {msg[:200]!r}")
        return "raised"

    # success
    if case.expect == "raise":
        raise Failure("accepted", case.what)
    for (name, role, a), b in zip(tensors, before):
        now = raw(a)
        if role == "w":
            outside = ~footprint(a)
            if not torch.equal(now[outside], b[outside]):
                raise Failure("write-outside-view", f"{case.what}: around {name}")
        elif not torch.equal(now, b) and not any(
                a.untyped_storage().data_ptr() == w.untyped_storage().data_ptr()
                for _, rw, w in tensors if rw == "w"):
            raise Failure("input-modified", f"{case.what}: {name}")
    if case.expect == "raise":
        raise Failure("accepted", case.what)
    if case.expect == "equiv":
        if ref_err is not None:
            raise Failure("accepted", f"{case.what}: plain copies raise {ref_err!r}")
        got = [a for a, role in zip(args, e.roles) if role == "w"] + [out]
        want = [a for a, role in zip(ref_args, e.roles) if role == "w"] + [ref_out]
        if not same(got, want):
            raise Failure("wrong-result", case.what)
    return "ok"


def run(entry, family, seeds):
    """Runs the family's cases for `seeds`; returns (counts, failures)."""
    counts = {"ok": 0, "raised": 0, "skipped": 0}
    failures = []
    for s in seeds:
        case = make_case(entry, family, s)
        if case is None:
            counts["skipped"] += 1
            continue
        try:
            counts[check(case)] += 1
        except Failure as f:
            failures.append((s, f.kind, str(f)))
    return counts, failures
