"""Slow, obviously-correct NumPy references of the electric-side time-step
rules (float64 / complex128), and builders for the tensors they act on.

Layout: fields [s, m, i, j, k, c]; Ex [NS, NM, Nx, Ny+1, Nz+1, NC],
Ey [NS, NM, Nx+1, Ny, Nz+1, NC], Ez [NS, NM, Nx+1, Ny+1, Nz, NC],
H components [NS, NM, Nx, Ny, Nz, NC]; electric CPML auxiliaries
psi_x [NS, NM, 2n_x, Ny, Nz, 2, NC] (layer axis along their own axis)."""
import numpy as np


def field_shapes(NS, NM, Nx, Ny, Nz, NC):
    """The least E and H shapes of a grid, as the argument table gives them."""
    import Voxstep
    from argtable import field_extents, table_shape
    ext = field_extents(NS, NM, Nx, Ny, Nz, NC)
    shape = lambda a: table_shape(Voxstep, "Update_E", a, ext)  # noqa: E731
    return [shape(f"E{c}") for c in "xyz"], [shape(f"H{c}") for c in "xyz"]


def psi_shapes(NS, NM, Nx, Ny, Nz, NC, nl):
    """The auxiliaries of layers nl (cells per face) on each axis."""
    import Voxstep
    from argtable import field_extents, table_shape
    ext = field_extents(NS, NM, Nx, Ny, Nz, NC)
    return [table_shape(Voxstep, "Update_E", f"psi_{c}", ext, star=(2 * n,))
            for c, n in zip("xyz", nl)]


def layer_index_e(x, N, n):
    """Electric layer index of cell x (axis of N cells, thickness n), or -1.
    Index 0 is never a layer cell; the low test wins over the high one."""
    if x == 0:
        return -1
    if x < n:
        return x
    if x >= N - n:
        return x - N + 2 * n
    return -1


def update_e_ref(E, H, keep, loss, C, psi, b, g, n_layer, lim=None):
    """E <- (keep - loss) E + curl terms (guarded), then the x, y, z layer
    terms. keep is [m, i, j, k] or [m, i, j, k, c]. `lim` (per axis) is the
    number of layer indices psi, b and g hold; larger indices are skipped.
    Returns new (E list, psi list)."""
    Ex, Ey, Ez = [np.array(e, copy=True) for e in E]
    Hx, Hy, Hz = H
    psi = [np.array(p, copy=True) for p in psi]
    Cx, Cy, Cz = C
    bx, by, bz = b
    gx, gy, gz = g
    Nx, Ny, Nz = Ex.shape[2], Ey.shape[3], Ez.shape[4]
    if lim is None:
        lim = [min(psi[a].shape[2 + a], len(b[a]), len(g[a])) for a in range(3)]

    def factor(kp, ls, i, j, k):
        kv = np.asarray(kp[:, i, j, k], dtype=np.float64)
        lv = np.asarray(ls[:, i, j, k], dtype=np.float64)
        if kv.ndim == 1:
            return (kv - lv)[:, None]
        return kv - lv[:, None]

    for i in range(Nx):
        for j in range(Ny):
            for k in range(Nz):
                cell = (slice(None), slice(None), i, j, k, slice(None))

                def back(A, di, dj, dk):
                    return A[cell] - A[:, :, i - di, j - dj, k - dk, :]

                ex, ey, ez = Ex[cell].copy(), Ey[cell].copy(), Ez[cell].copy()
                if j and k:
                    ex = factor(keep[0], loss[0], i, j, k) * ex + Cy[j] * back(Hz, 0, 1, 0) \
                        - Cz[k] * back(Hy, 0, 0, 1)
                if i and k:
                    ey = factor(keep[1], loss[1], i, j, k) * ey + Cz[k] * back(Hx, 0, 0, 1) \
                        - Cx[i] * back(Hz, 1, 0, 0)
                if i and j:
                    ez = factor(keep[2], loss[2], i, j, k) * ez + Cx[i] * back(Hy, 1, 0, 0) \
                        - Cy[j] * back(Hx, 0, 1, 0)
                L = layer_index_e(i, Nx, int(n_layer[0]))
                if 0 <= L < lim[0]:
                    p = psi[0]
                    p[:, :, L, j, k, 0] = bx[L] * p[:, :, L, j, k, 0] - gx[L] * back(Hz, 1, 0, 0)
                    ey = ey + p[:, :, L, j, k, 0]
                    p[:, :, L, j, k, 1] = bx[L] * p[:, :, L, j, k, 1] + gx[L] * back(Hy, 1, 0, 0)
                    ez = ez + p[:, :, L, j, k, 1]
                L = layer_index_e(j, Ny, int(n_layer[1]))
                if 0 <= L < lim[1]:
                    p = psi[1]
                    p[:, :, i, L, k, 0] = by[L] * p[:, :, i, L, k, 0] - gy[L] * back(Hx, 0, 1, 0)
                    ez = ez + p[:, :, i, L, k, 0]
                    p[:, :, i, L, k, 1] = by[L] * p[:, :, i, L, k, 1] + gy[L] * back(Hz, 0, 1, 0)
                    ex = ex + p[:, :, i, L, k, 1]
                L = layer_index_e(k, Nz, int(n_layer[2]))
                if 0 <= L < lim[2]:
                    p = psi[2]
                    p[:, :, i, j, L, 0] = bz[L] * p[:, :, i, j, L, 0] - gz[L] * back(Hy, 0, 0, 1)
                    ex = ex + p[:, :, i, j, L, 0]
                    p[:, :, i, j, L, 1] = bz[L] * p[:, :, i, j, L, 1] + gz[L] * back(Hx, 0, 0, 1)
                    ey = ey + p[:, :, i, j, L, 1]
                Ex[cell], Ey[cell], Ez[cell] = ex, ey, ez
    return [Ex, Ey, Ez], psi


def interior_masks(Nx, Ny, Nz):
    """Per component, the (i, j, k) cells below N whose transverse indices are
    both nonzero: the samples the curl step and the completions write."""
    i, j, k = np.meshgrid(np.arange(Nx), np.arange(Ny), np.arange(Nz), indexing="ij")
    return [(j > 0) & (k > 0), (i > 0) & (k > 0), (i > 0) & (j > 0)]


def dispersion_ref(E, P, w, p, q, den1, den2, alpha, beta, aux1, aux2):
    """The real module's dispersive completion for all three components.
    Per component lists; maps [m, i, j, k]; alpha, beta complex tables.
    Returns (E, aux1, aux2, P) after the call (P = copy of the new E)."""
    E = [np.array(e, dtype=np.float64, copy=True) for e in E]
    aux1 = [np.array(a, dtype=np.complex128, copy=True) for a in aux1]
    aux2 = [np.array(a, dtype=np.complex128, copy=True) for a in aux2]
    Nx, Ny, Nz = E[0].shape[2], E[1].shape[3], E[2].shape[4]
    masks = interior_masks(Nx, Ny, Nz)
    for d in range(3):
        ii, jj, kk = np.nonzero(masks[d])
        for i, j, k in zip(ii, jj, kk):
            cell = (slice(None), slice(None), i, j, k, slice(None))
            ap = alpha[p[d][:, i, j, k]][None, :, None]
            aq = alpha[q[d][:, i, j, k]][None, :, None]
            bp = beta[p[d][:, i, j, k]][None, :, None]
            bq = beta[q[d][:, i, j, k]][None, :, None]
            wv = np.asarray(w[d][:, i, j, k], dtype=np.float64)[None, :, None]
            D = (np.asarray(den1[d][:, i, j, k], np.float64)
                 + np.asarray(den2[d][:, i, j, k], np.float64))[None, :, None]
            s1, s2 = aux1[d][cell], aux2[d][cell]
            num = E[d][cell] - ((1 + ap) * s1).real - ((1 + aq) * s2).real
            en = num / D
            dE = en - P[d][cell]
            E[d][cell] = en
            aux1[d][cell] = ap * s1 + wv * bp * dE
            aux2[d][cell] = aq * s2 + (1 - wv) * bq * dE
    return E, aux1, aux2, [e.copy() for e in E]


def periodic_ref(E, phase_x, phase_y, periodic, positive_phase, halves):
    """Ghost planes along x then y. halves=True: real fields whose channel c
    and c + H (H = NC // 2) form one complex value, tables [s, 2H] of cos and
    sin; halves=False: complex fields, complex tables [s, NC]."""
    Ex, Ey, Ez = [np.array(e, copy=True) for e in E]
    NC = Ex.shape[5]
    Nx, Ny = Ex.shape[2], Ey.shape[3]
    H = NC // 2 if halves else NC

    def as_complex(F):
        return F[..., :H] + 1j * F[..., H:2 * H] if halves else F

    def store(F, idx, Z):
        if halves:
            F[idx + (slice(0, H),)] = Z.real
            F[idx + (slice(H, 2 * H),)] = Z.imag
        else:
            F[idx + (slice(None),)] = Z

    def factor(table):
        t = np.asarray(table)
        P = t[:, :H] + 1j * t[:, H:2 * H] if halves else t[:, :H].astype(np.complex128)
        if not positive_phase:
            P = np.conj(P)
        return P[:Ex.shape[0], None, None, None, :]  # [s, m, u, k, c] broadcast

    def ghost(F, axis, N, P):
        # Whole planes: with minimum extents these are exactly the face
        # positions each pass covers for the component.
        Z = as_complex(F)
        ax = 2 + axis

        def plane(x):
            return tuple(x if d == ax else slice(None) for d in range(5))

        low = P * Z[plane(N - 1)]
        high = np.conj(P) * Z[plane(1)]
        store(F, plane(0), low)
        store(F, plane(N), high)

    if periodic[0] and Nx >= 1:
        P = factor(phase_x)
        # Ey: planes i, positions j < Ny, k <= Nz; Ez: j <= Ny, k < Nz.
        ghost(Ey, 0, Nx, P)
        ghost(Ez, 0, Nx, P)
    if periodic[1] and Ny >= 1:
        P = factor(phase_y)
        ghost(Ex, 1, Ny, P)
        ghost(Ez, 1, Ny, P)
    return [Ex, Ey, Ez]
