"""Slow float64 NumPy references of material preparation, written from the
rules: index windows, sample cells, overlap averaging (by interval
intersection), painting, subcell smoothing and table mixing."""
import numpy as np


def id_range(box, coord):
    box = np.asarray(box, dtype=np.float64).ravel()
    coord = np.asarray(coord)
    L = len(coord)
    first, last = 0, L - 1
    below = np.nonzero(coord < box[0])[0]
    if len(below):
        first = int(below.max())
        if first % 2:
            first = max(first - 1, 0)
    above = np.nonzero(coord > box[-1])[0]
    if len(above):
        last = int(above.min())
        if last % 2:
            last = min(last + 1, L - 1)
    return first, last


def cell(coord, I):
    coord = np.asarray(coord, dtype=np.float64)
    L = len(coord)
    lo = coord[0] if I == 0 else (coord[I - 1] + coord[I]) / 2
    hi = coord[L - 1] if I >= L - 1 else (coord[I] + coord[I + 1]) / 2
    return lo, hi


def axis_overlaps(lo, hi, x0, d, V):
    """Length of [lo, hi] inside each voxel [x0 + v d, x0 + (v+1) d)."""
    e0 = x0 + d * np.arange(V)
    e1 = e0 + d
    return np.clip(np.minimum(hi, e1) - np.maximum(lo, e0), 0, None)


def containing_voxel(x, x0, d, V):
    v = int(np.floor((x - x0) / d))
    return v if 0 <= v < V else None


class Geometry:
    """Windows and per-point voxel weights of one object on the sample grid."""

    def __init__(self, boxes, vox_shape, coords):
        self.boxes = [np.asarray(b, dtype=np.float64).ravel() for b in boxes]
        self.coords = [np.asarray(c, dtype=np.float64) for c in coords]
        self.V = vox_shape[1:]
        self.windows = [id_range(b, c) for b, c in zip(self.boxes, coords)]
        self.origins = [b[0] for b in self.boxes]
        self.pitches = [(b[1] - b[0]) / v for b, v in zip(self.boxes, self.V)]

    def points(self):
        (fx, lx), (fy, ly), (fz, lz) = self.windows
        for I in range(fx, lx + 1):
            for J in range(fy, ly + 1):
                for K in range(fz, lz + 1):
                    yield (I - fx, J - fy, K - fz), (I, J, K)

    def weights(self, IJK):
        """[Vx, Vy, Vz] overlap weights of the point's sample cell."""
        spans = [cell(c, I) for c, I in zip(self.coords, IJK)]
        vol = np.prod([hi - lo for lo, hi in spans])
        w = np.zeros(self.V)
        if vol > 0:
            ax = [axis_overlaps(lo, hi, x0, d, V)
                  for (lo, hi), x0, d, V in zip(spans, self.origins, self.pitches, self.V)]
            return np.einsum("i,j,k->ijk", *ax) / vol
        # Zero-volume cell: the voxel containing the point, or nothing.
        idx = [containing_voxel(c[I], x0, d, V)
               for c, I, x0, d, V in zip(self.coords, IJK, self.origins, self.pitches, self.V)]
        if None not in idx:
            w[tuple(idx)] = 1.0
        return w


def mat_average(boxes, vox, coords):
    vox = np.asarray(vox, dtype=np.float64)
    g = Geometry(boxes, vox.shape, coords)
    W = [max(l - f + 1, 0) for f, l in g.windows]
    out = np.zeros((vox.shape[0], *W))
    for (i, j, k), IJK in g.points():
        w = g.weights(IJK)
        for m in range(vox.shape[0]):
            out[m, i, j, k] = np.sum(w * vox[m])
    return out, g.windows


def set_weight_mat_id(boxes, vox, coords, mat_id, weight, id_map, prev_id_map):
    """In place on NumPy arrays."""
    vox = np.asarray(vox, dtype=np.float64)
    g = Geometry(boxes, vox.shape, coords)
    for _, (I, J, K) in g.points():
        w = g.weights((I, J, K))
        for m in range(vox.shape[0]):
            fill = np.sum(w * vox[m])
            if fill > 0:
                prev_id_map[m, I, J, K] = id_map[m, I, J, K]
                id_map[m, I, J, K] = mat_id % 256
                weight[m, I, J, K] = fill


def smoothed(w, f, e_obj, e_prev, n):
    """Effective permittivity along a direction with normal component n."""
    used = w > 0
    w, f = w[used], f[used]
    e = f * e_obj + (1 - f) * e_prev
    S_w, S_e, S_inv = w.sum(), (w * e).sum(), (w / e).sum()
    r = 1 - S_w
    A = r * e_prev + S_e
    B = S_inv + r / e_prev
    n2 = n * n
    return 1 / (B * n2 + (1 - n2) / A)


def round_half_away(x):
    return np.sign(x) * np.floor(np.abs(x) + 0.5)


def normal_axis(component):
    return component if component in (0, 1) else 2


def set_weight_subcell(boxes, vox, coords, weight, mat_id, id_map, prev_id_map, normal,
                       er_table, component):
    vox = np.asarray(vox, dtype=np.float64)
    g = Geometry(boxes, vox.shape, coords)
    d = normal_axis(component)
    for _, (I, J, K) in g.points():
        for m in range(vox.shape[0]):
            own = id_map[m, I, J, K]
            if own != mat_id % 256:
                continue
            e_own, e_prev = er_table[own], er_table[prev_id_map[m, I, J, K]]
            if e_own <= 0 or e_prev <= 0:
                weight[m, I, J, K] = round_half_away(weight[m, I, J, K])
                continue
            e_eff = smoothed(g.weights((I, J, K)), vox[m], e_own, e_prev,
                             normal[m, I, J, K, d])
            weight[m, I, J, K] = abs(e_eff - e_prev) / (max(e_own, e_prev) + 1e-4
                                                         - min(e_own, e_prev))


def set_er_subcell(boxes, vox, coords, er, mat_id, id_map, prev_id_map, normal, er_table,
                   component):
    vox = np.asarray(vox, dtype=np.float64)
    g = Geometry(boxes, vox.shape, coords)
    d = normal_axis(component)
    for _, (I, J, K) in g.points():
        for m in range(vox.shape[0]):
            own = id_map[m, I, J, K]
            if own != mat_id % 256:
                continue
            for c in range(er_table.shape[1]):
                e_own, e_prev = er_table[own, c], er_table[prev_id_map[m, I, J, K], c]
                if e_own <= 0 or e_prev <= 0:
                    er[m, I, J, K, c] = e_own
                    continue
                er[m, I, J, K, c] = smoothed(g.weights((I, J, K)), vox[m], e_own, e_prev,
                                             normal[m, I, J, K, d])


def mix(weight, id_map, prev_id_map, table):
    """w * table[own] + (1 - w) * table[displaced]; a 2-D table adds a last
    channel axis."""
    table = np.asarray(table, dtype=np.float64)
    w = np.asarray(weight, dtype=np.float64)
    own, disp = table[id_map.astype(np.int64)], table[prev_id_map.astype(np.int64)]
    if table.ndim == 2:
        w = w[..., None]
    return w * own + (1 - w) * disp
