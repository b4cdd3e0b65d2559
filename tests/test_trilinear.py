"""Trilinear_interpolation and Trilinear_reverse_interpolation: sampling of
complex grid data at tensor-product query points (trilinear or nearest node)
and the transpose of the trilinear sampling."""
import numpy as np
import pytest
import torch

import Voxstep
from conftest import HAS_CUDA, assert_unchanged, checked, rng, snapshot


def cplx(r, shape):
    return (r.standard_normal(shape) + 1j * r.standard_normal(shape)).astype(np.complex64)


# --- reference -----------------------------------------------------------

def ref_interval(q, g):
    """Largest l with g[l] <= q, within [0, ng - 2]; below the grid 0; at or
    beyond the last coordinate, or NaN, the last interval ng - 2."""
    ng = len(g)
    out = []
    for qa in q:
        greater = [b for b in range(ng) if g[b] > qa]
        out.append(greater[0] - 1 if greater else ng - 2)
    return np.clip(np.array(out, int), 0, ng - 2)


def ref_nearest(q, g):
    """The closest node, the lower one on ties; a NaN query takes the last node."""
    out = []
    for qa in q:
        if np.isnan(qa):
            out.append(len(g) - 1)
        else:
            dist = np.abs(qa - np.asarray(g, np.float64))
            out.append(int(np.flatnonzero(dist == dist.min())[0]))
    return np.array(out, int)


def weight_matrix(q, g):
    """W[a, b]: weight of node b for query a along one axis, the position in
    the interval clamped to [0, 1] (a NaN position counts as 1)."""
    g64 = np.asarray(g, np.float64)
    W = np.zeros((len(q), len(g)))
    for a, l in enumerate(ref_interval(q, g)):
        t = (float(q[a]) - g64[l]) / (g64[l + 1] - g64[l])
        t = 1.0 if np.isnan(t) else min(max(t, 0.0), 1.0)
        W[a, l] += 1 - t
        W[a, l + 1] += t
    return W


def ref_forward(grids, src, queries, nearest):
    if nearest:
        lx, ly, lz = (ref_nearest(q, g) for q, g in zip(queries, grids))
        return src[:, :, lx][:, :, :, ly][:, :, :, :, lz]
    Wx, Wy, Wz = (weight_matrix(q, g) for q, g in zip(queries, grids))
    ng = [len(g) for g in grids]
    return np.einsum("ia,jb,kc,smabcn->smijkn", Wx, Wy, Wz,
                     src[:, :, :ng[0], :ng[1], :ng[2]].astype(np.complex128))


def ref_reverse(grids, vals, queries):
    Wx, Wy, Wz = (weight_matrix(q, g) for q, g in zip(queries, grids))
    nq = [len(q) for q in queries]
    return np.einsum("ia,jb,kc,smijkn->smabcn", Wx, Wy, Wz,
                     vals[:, :, :nq[0], :nq[1], :nq[2]].astype(np.complex128))


# --- helpers -------------------------------------------------------------

def grids_of(kind, r):
    if kind == "uniform":
        return [np.arange(n, dtype=np.float32) * 0.5 - 1 for n in (5, 4, 6)]
    return [np.sort(r.uniform(-2, 3, n)).astype(np.float32) for n in (5, 4, 6)]


def call_forward(device, grids, src, queries, nearest):
    fn = checked(Voxstep, "Trilinear_interpolation", device)
    g = [torch.tensor(a).to(device) for a in grids]
    q = [torch.tensor(a).to(device) for a in queries]
    return fn(*g, torch.tensor(src).to(device), *q, nearest).cpu().numpy()


def call_reverse(device, grids, vals, queries):
    fn = checked(Voxstep, "Trilinear_reverse_interpolation", device)
    g = [torch.tensor(a).to(device) for a in grids]
    q = [torch.tensor(a).to(device) for a in queries]
    return fn(*g, torch.tensor(vals).to(device), *q).cpu().numpy()


# --- forward -------------------------------------------------------------

@pytest.mark.parametrize("kind", ["uniform", "non-uniform"])
@pytest.mark.parametrize("nearest", [False, True], ids=["trilinear", "nearest"])
def test_forward_matches_reference(device, kind, nearest):
    r = rng(1 if kind == "uniform" else 2)
    grids = grids_of(kind, r)
    src = cplx(r, (2, 2, 6, 5, 7, 3))  # larger than the grid: extra entries unused
    queries = [r.uniform(g[0], g[-1], n).astype(np.float32) for g, n in zip(grids, (4, 3, 5))]
    got = call_forward(device, grids, src, queries, nearest)
    assert got.shape == (2, 2, 4, 3, 5, 3) and got.dtype == np.complex64
    np.testing.assert_allclose(got, ref_forward(grids, src, queries, nearest), rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("nearest", [False, True], ids=["trilinear", "nearest"])
def test_queries_on_interior_nodes_return_the_node_values(device, nearest):
    r = rng(3)
    grids = grids_of("non-uniform", r)
    src = cplx(r, (1, 1, 5, 4, 6, 2))
    queries = [g[:-1].copy() for g in grids]
    got = call_forward(device, grids, src, queries, nearest)
    np.testing.assert_array_equal(got, src[:, :, :4, :3, :5])


EDGE_QUERIES = {
    "below the grid": (-5.0, 0),
    "on the last node": (None, -1),
    "beyond the last node": (7.5, -1),
    "NaN": (np.nan, -1),
}


@pytest.mark.parametrize("q,node", EDGE_QUERIES.values(), ids=EDGE_QUERIES.keys())
@pytest.mark.parametrize("nearest", [False, True], ids=["trilinear", "nearest"])
def test_queries_outside_take_the_end_node(device, q, node, nearest):
    """Queries below the grid take node 0; at or beyond the last coordinate,
    and NaN queries, take the last node (in the last interval)."""
    r = rng(4)
    grids = grids_of("non-uniform", r)
    src = cplx(r, (1, 2, 5, 4, 6, 2))
    qx = np.array([grids[0][-1] if q is None else q], np.float32)
    queries = [qx, grids[1][1:2].copy(), grids[2][2:3].copy()]
    got = call_forward(device, grids, src, queries, nearest)
    want = src[:, :, node, 1, 2]
    np.testing.assert_allclose(got[:, :, 0, 0, 0], want, rtol=1e-6, atol=1e-6)


def test_nearest_ties_take_the_lower_node(device):
    r = rng(5)
    grids = [np.array([0.0, 1.0, 2.0, 4.0], np.float32)] * 3
    src = cplx(r, (1, 1, 4, 4, 4, 1))
    queries = [np.array([0.5, 1.5, 3.0], np.float32)] * 3
    got = call_forward(device, grids, src, queries, True)
    idx = np.array([0, 1, 2])
    np.testing.assert_array_equal(got, src[:, :, idx][:, :, :, idx][:, :, :, :, idx])


def test_strided_source_view(device):
    r = rng(6)
    grids = grids_of("uniform", r)
    base = cplx(r, (3, 2, 1, 5, 4, 6))  # channel-first storage
    src = np.ascontiguousarray(base.transpose(1, 2, 3, 4, 5, 0))
    queries = [r.uniform(-1, 1, 3).astype(np.float32) for _ in range(3)]
    fn = checked(Voxstep, "Trilinear_interpolation", device)
    t = torch.tensor(base).to(device).permute(1, 2, 3, 4, 5, 0)
    got = fn(*[torch.tensor(a).to(device) for a in grids], t,
             *[torch.tensor(a).to(device) for a in queries], False)
    np.testing.assert_allclose(got.cpu().numpy(), ref_forward(grids, src, queries, False),
                               rtol=1e-5, atol=1e-5)


# --- reverse -------------------------------------------------------------

@pytest.mark.parametrize("kind", ["uniform", "non-uniform"])
def test_reverse_matches_reference(device, kind):
    r = rng(7)
    grids = grids_of(kind, r)
    # includes queries below, beyond and on the last coordinate
    queries = [np.concatenate([r.uniform(g[0], g[-1], n), [g[0] - 1, g[-1], g[-1] + 2]])
               .astype(np.float32) for g, n in zip(grids, (6, 5, 4))]
    vals = cplx(r, (2, 1, 10, 8, 7, 2))
    got = call_reverse(device, grids, vals, queries)
    assert got.shape == (2, 1, 5, 4, 6, 2) and got.dtype == np.complex64
    np.testing.assert_allclose(got, ref_reverse(grids, vals, queries), rtol=1e-4, atol=1e-5)


def test_reverse_single_point_and_all_ones(device):
    r = rng(8)
    grids = grids_of("non-uniform", r)
    queries = [np.array([(g[1] * 0.3 + g[2] * 0.7)], np.float32) for g in grids]
    vals = np.array([2.0 - 1.0j], np.complex64).reshape(1, 1, 1, 1, 1, 1)
    got = call_reverse(device, grids, vals, queries)
    assert np.count_nonzero(got) == 8
    np.testing.assert_allclose(got.sum(), 2.0 - 1.0j, rtol=1e-5)

    queries = [r.uniform(g[0], g[-1], n).astype(np.float32) for g, n in zip(grids, (7, 6, 5))]
    ones = np.ones((2, 2, 7, 6, 5, 3), np.complex64)
    got = call_reverse(device, grids, ones, queries)
    np.testing.assert_allclose(got.sum(axis=(2, 3, 4)), np.full((2, 2, 3), 210.0 + 0j),
                               rtol=1e-5)


@pytest.mark.parametrize("kind", ["uniform", "non-uniform"])
def test_adjoint_identity(device, kind):
    """<T F, V> = <F, T^T V> with the real inner product of complex data."""
    r = rng(9)
    grids = grids_of(kind, r)
    queries = [r.uniform(g[0] - 0.5, g[-1] + 0.5, n).astype(np.float32)
               for g, n in zip(grids, (6, 7, 5))]
    F = cplx(r, (2, 2, 5, 4, 6, 2))
    V = cplx(r, (2, 2, 6, 7, 5, 2))
    TF = call_forward(device, grids, F, queries, False).astype(np.complex128)
    TtV = call_reverse(device, grids, V, queries).astype(np.complex128)
    lhs = np.sum(TF.real * V.real + TF.imag * V.imag)
    rhs = np.sum(F.real * TtV.real + F.imag * TtV.imag)
    assert abs(lhs - rhs) <= 1e-5 * (abs(lhs) + np.abs(TF).sum())


# --- checks and validation -----------------------------------------------

def small_case(r):
    grids = grids_of("uniform", r)
    src = cplx(r, (1, 1, 5, 4, 6, 1))
    queries = [np.array([0.1, 0.2], np.float32)] * 3
    return grids, src, queries


@pytest.mark.skipif(HAS_CUDA, reason="needs a machine without CUDA")
@pytest.mark.parametrize("name", ["Trilinear_interpolation", "Trilinear_reverse_interpolation"])
def test_public_functions_without_cuda(name):
    grids, src, queries = small_case(rng(10))
    args = [torch.tensor(a) for a in grids] + [torch.tensor(src)] + [torch.tensor(a) for a in queries]
    if name == "Trilinear_interpolation":
        args.append(False)
    with pytest.raises(RuntimeError) as info:
        getattr(Voxstep, name)(*args)
    assert str(info.value) == "CUDA not available."


@pytest.mark.skipif(not HAS_CUDA, reason="needs CUDA")
@pytest.mark.parametrize("name,message", [
    ("Trilinear_interpolation", "Tensor is not on GPU."),
    ("Trilinear_reverse_interpolation", "Error: Tensor is not on GPU."),
])
@pytest.mark.parametrize("cpu_arg", [3, 0, 6])
def test_public_functions_refuse_cpu_tensors(name, message, cpu_arg):
    grids, src, queries = small_case(rng(11))
    args = [torch.tensor(a).cuda() for a in grids + [src] + queries]
    args = args[:3] + [args[3]] + args[4:]
    args[cpu_arg] = args[cpu_arg].cpu()
    if name == "Trilinear_interpolation":
        args.append(False)
    with pytest.raises(RuntimeError) as info:
        getattr(Voxstep, name)(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["Trilinear_interpolation", "Trilinear_reverse_interpolation"])
@pytest.mark.parametrize("what", ["one grid_y coordinate", "src short in z"])
def test_bad_inputs(device, name, what):
    grids, src, queries = small_case(rng(12))
    reverse = name == "Trilinear_reverse_interpolation"
    if what == "one grid_y coordinate":
        grids[1] = grids[1][:1]
        text = "grid_y"
    else:
        data_name = "vals" if reverse else "src"
        text = data_name
        src = src[:, :, :, :, :1] if reverse else src[:, :, :, :, :5]
        src = np.ascontiguousarray(src)
    ts = [torch.tensor(a).to(device) for a in grids + [src] + queries]
    before = snapshot(*ts)
    fn = checked(Voxstep, name, device)
    with pytest.raises(ValueError, match=text):
        fn(*ts, False) if not reverse else fn(*ts)
    assert_unchanged(before, ts)


def test_nearest_mode_accepts_a_single_node(device):
    r = rng(13)
    grids = [np.array([0.0], np.float32), np.arange(3, dtype=np.float32),
             np.arange(2, dtype=np.float32)]
    src = cplx(r, (1, 1, 1, 3, 2, 1))
    queries = [np.array([5.0], np.float32), np.array([1.2], np.float32),
               np.array([0.9], np.float32)]
    got = call_forward(device, grids, src, queries, True)
    np.testing.assert_array_equal(got[0, 0, 0, 0, 0], src[0, 0, 0, 1, 1])
