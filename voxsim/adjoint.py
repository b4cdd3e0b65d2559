"""Gradients of spectra in design parameters, by the adjoint
method.

Design parameters: a medium's ``eps`` or ``sigma`` given as a 0-dim tensor
that requires grad, and a ``VoxelFill``'s ``fill`` given as a tensor that
requires grad. ``spectrum`` then returns R, T (and the order efficiencies)
as torch tensors connected to them, and ``loss.backward()`` runs one
adjoint simulation per batch.

The discrete system. At a frequency ω (z = exp(iω·dt)), with the DFTs
x_E = Σ_n E(n+1)·z^(n+1) and x_H = Σ_n H(n+½)·z^(n+½), the scheme is the
linear system M x = b with the electric rows
    (den1 + den2 − (den1 − den2)·z)·x_E − dt·z^½·C_e x_H (+ pole terms) = A
and the magnetic rows (1 − z)·x_H + dt·z^½·C_h x_E = B, where A and B are
the DFTs of what a source adds to the provisional field E* (before the
division by den1 + den2) and to H after its update. On the Yee grid the
two curls are each other's transposes at kx = 0 and each other's adjoints
with a Bloch phase, so Mᵀ(kx) = S·M(−kx)·S with S = diag(1, −1) on (E, H):
a transposed solve is a run of the same structure with kx reversed and the
magnetic source negated. This holds on the unique samples of the period
(the ghost and image samples follow them), which is where the gradient is
summed; inside the absorber the stretched curls are not exact transposes,
an error of the order of the absorber's reflection.

A real loss L of R, T depends on the monitors' DFT fields F = dt·x; with g
the gradient torch gives for a complex leaf (∂L/∂Re F + i·∂L/∂Im F),
dL = Re Σ conj(g)·dF, and with μ solving Mᵀμ = dt·conj(g),
dL/dp = −Re Σ μ_E·(∂M/∂p)·x_E over the electric samples, where
∂M/∂den1 = 1 − z and ∂M/∂den2 = 1 + z. The adjoint run injects
dt·conj(g) into E* and −dt·conj(g) into H on the monitor planes, with one
slice of the excitation axis per (excitation, frequency): each slice is
driven by the excitation's pulse divided by that pulse's DFT at its own
frequency, so the DFT of its fields in the design region is μ_E there.
Frequencies where the loss has no gradient get no slice. The forward run
keeps the DFT of E over the design region at the spectrum's frequencies:
memory O(region × frequencies), whatever the number of steps.

From den1, den2 to the parameters: the derivative of every sample's den1
and den2 is taken by central differences of the material preparation
itself (painting, subcell weights, tables), so the gradient is that of the
simulation as painted, smoothing included. A fill's voxels are perturbed a
colour class at a time: voxels far enough apart that their windows of
influence (the voxel grown by the normals' stencil and a sample cell) do
not overlap share a pass, and each sample's change is credited to the
voxel whose window holds it. Approximations: a dispersive medium's pole
terms in a sample it shares with a design medium are held at their weight
(their change with the weight is left out), and the absorber (above).
Dispersive design media are refused, and so are an incident medium that
requires grad (it also drives the source) and fills under staircase
painting (their derivative is zero almost everywhere).
"""
from __future__ import annotations

import itertools
import math
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

import numpy as np
import torch

from .fields import FieldDFT
from .monitors import DFTClock
from .orders import order_power
from .simulation import DecayProbe, Grid, run
from .units import require

STEP_MEDIUM = 2e-3     # relative step of eps and sigma in the preparation's differences
STEP_FILL = 1e-3       # step of a voxel's fill
# The adjoint run stops once the change of its fields at the planes is
# down to this much of its peak (in power: 3e-4 in amplitude), or once its
# DFT in the design region, the only thing the gradient reads, moves by
# less than ADJOINT_SETTLED of its size over a check, twice running. Its
# sources drive a diffraction order directly, so the grazing waves near the
# order's cut-off ring longer than in the forward run, which excites them
# only through the structure; at the objective's frequencies, away from
# the cut-off, they leave little.
ADJOINT_DECAY = 1e-7
ADJOINT_SETTLED = 1e-5


@dataclass
class Param:
    """One design parameter: the user's tensor and the objects that read its
    value (media for ``eps``/``sigma``, fills for ``fill``)."""

    tensor: torch.Tensor
    kind: str
    targets: list = field(default_factory=list)
    name: str = ""

    def values(self):
        if self.kind == "fill":
            return self.targets[0].fill.clone()
        return getattr(self.targets[0], self.kind)

    def assign(self, value):
        for t in self.targets:
            if self.kind == "fill":
                t.fill.copy_(value)
            else:
                object.__setattr__(t, self.kind, float(value))


@contextmanager
def assigned(pairs):
    """Parameters set to values for the duration; restored after."""
    old = [(p, p.values()) for p, _ in pairs]
    try:
        for p, v in pairs:
            p.assign(v)
        yield
    finally:
        for p, v in old:
            p.assign(v)


def collect(stacks, modes) -> List[Param]:
    """The design parameters of `stacks`, each once, checked."""
    from .shapes import VoxelFill
    found: Dict[int, Param] = {}

    def add(t, kind, target, name):
        p = found.setdefault(id(t), Param(t, kind, [], name))
        require(p.kind == kind, name, f"the same tensor is already the {p.kind} of {p.name}")
        if not any(x is target for x in p.targets):
            p.targets.append(target)

    for i, st in enumerate(stacks):
        require(not getattr(st.incident, "grads", None), f"stacks[{i}].incident",
                "the incident medium cannot be a design parameter (it also shapes the source "
                "and the reference)")
        for med in st.media():
            for kind, t in getattr(med, "grads", {}).items():
                name = f"stacks[{i}] medium {kind}"
                require(med.pole is None, name,
                        "a dispersive medium cannot be a design parameter (its gradient is not supported)")
                add(t, kind, med, name)
        for j, sh in enumerate(st.shapes):
            if isinstance(sh, VoxelFill) and sh.grad_fill is not None:
                name = f"stacks[{i}].shapes[{j}].fill"
                require(modes[i] != "staircase", name,
                        "a fill's gradient needs smoothing \"subcell\" or \"average\" (a "
                        "staircased fill does not change with it)")
                add(sh.grad_fill, "fill", sh, name)
    return list(found.values())


def _maps(mats, boxes=None):
    """{component: (den1, den2)} of a painted grid, over the boxes if given."""
    out = {}
    for c, m in mats.comp.items():
        name = "E" + c
        if boxes is None:
            out[name] = (m.den1, m.den2)
        elif name in boxes:
            (i0, i1), (j0, j1), (k0, k1) = boxes[name]
            out[name] = (m.den1[:, i0:i1, j0:j1, k0:k1], m.den2[:, i0:i1, j0:j1, k0:k1])
    return out


def _steps(p: Param):
    if p.kind == "fill":
        base = p.values()
        plus, minus = (base + STEP_FILL).clamp(max=1.0), (base - STEP_FILL).clamp(min=0.0)
        return plus, minus
    v = p.values()
    h = STEP_MEDIUM * max(abs(v), 1.0)
    return v + h, v - h


def design_region(paint: Callable, params: List[Param], base) -> Dict[str, tuple]:
    """Per electric component, the box of unique samples (x and y indices
    from 1: the ghost and image samples follow them) whose den1 or den2
    move when every parameter does."""
    with assigned([(p, _steps(p)[0] if p.kind != "fill" else _toward_middle(p)) for p in params]):
        moved = _maps(paint())
    ref = _maps(base)
    boxes = {}
    for name, (d1, d2) in ref.items():
        m1, m2 = moved[name]
        change = ((m1 - d1).abs() + (m2 - d2).abs())[:, 1:, 1:, :].amax(0)
        if not bool((change > 0).any()):
            continue
        idx = (change > 0).nonzero()
        lo, hi = idx.min(0).values.tolist(), (idx.max(0).values + 1).tolist()
        boxes[name] = ((lo[0] + 1, hi[0] + 1), (lo[1] + 1, hi[1] + 1), (lo[2], hi[2]))
    return boxes


def _toward_middle(p: Param):
    base = p.values()
    return base + STEP_FILL * torch.where(base < 0.5, 1.0, -1.0)


# ---------------------------------------------------------------------------
# Adjoint sources


class _AdjointSource:
    """Currents on monitor planes, one complex amplitude per slice, sample
    and component, times a per-slice pulse: electric ones added to E*, the
    magnetic ones to H after its update; the image samples get them with
    the Bloch phase so the ghost samples stay images."""

    def __init__(self, grid: Grid, planes, qE, qH):
        # planes: [(k, {"Ex": A, "Ey": A, "Hx": A, "Hy": A})], A complex
        # [NS, NM, Px, Py]; qE, qH complex [steps, NS]
        self.grid = grid
        self.steps = qE.shape[0]
        Nx, Ny, _ = grid.shape
        P = Nx - 1
        dev = grid.device
        ph = torch.tensor(np.exp(-1j * np.asarray(grid.kx) * P), dtype=torch.complex64, device=dev)
        self.qE = qE.to(dev, torch.complex64)
        self.qH = qH.to(dev, torch.complex64)
        self.items = []
        for k, amps in planes:
            for name, A in amps.items():
                full = torch.zeros(A.shape[0], A.shape[1], Nx, Ny, dtype=torch.complex64)
                full[:, :, 1:, 1:] = A
                full[:, :, 0, 1:] = ph.cpu()[:, None, None] * full[:, :, P, 1:]
                full[:, :, :, 0] = full[:, :, :, Ny - 1]
                field = (grid.E if name[0] == "E" else grid.H)["xyz".index(name[1])]
                target = field[:, :, :Nx, :Ny, k]                        # [NS, NM, Nx, Ny, NC]
                self.items.append((name[0], full.to(dev), target))
        self.n = 0
        grid.provisional_hooks.append(self._electric)

    def _add(self, kind, q):
        for k, full, target in self.items:
            if k != kind:
                continue
            v = full * q[:, None, None, None]
            target[..., 0] += v.real
            target[..., 1] += v.imag

    def start(self, max_steps):
        pass

    def before_h(self, n):
        self.n = n

    def after_h(self, n):
        if n < self.steps:
            self._add("H", self.qH[n])

    def _electric(self):
        if self.n < self.steps:
            self._add("E", self.qE[self.n])

    def after_e(self, n):
        pass

    def stop_step(self, max_steps):
        return min(self.steps, max_steps)


class _SettledProbe(DecayProbe):
    """The decay probe (divergence, decay at the planes), which also stops
    the run once the DFT it feeds has settled."""

    def __init__(self, dft: FieldDFT, *args, **kw):
        super().__init__(*args, **kw)
        self.dft = dft
        self._prev = None
        self._hits = 0

    def done(self, n: int, grid) -> bool:
        if super().done(n, grid):
            return True
        if (n + 1) % self.check_every or n < self.after_step:
            return False
        self.dft.flush()
        acc = self.dft.acc
        if self._prev is not None:
            size = float(acc.abs().max())
            change = float((acc - self._prev).abs().max())
            self._hits = self._hits + 1 if change <= ADJOINT_SETTLED * size else 0
            if self._hits >= 2:
                self.converged = np.ones_like(self.converged, dtype=bool)
                self.reason = "settled"
                return True
        self._prev = acc.clone()
        return False


def _without_reference(mats):
    """The painted grid without slice 0 (views; the grid reads only NM and
    the component maps)."""
    from types import SimpleNamespace
    from .materials import ComponentMaps
    comp = {c: ComponentMaps(*(None if t is None else t[1:] for t in
                               (m.weight, m.id_map, m.prev_id_map, m.den1, m.den2)))
            for c, m in mats.comp.items()}
    return SimpleNamespace(NM=mats.NM - 1, comp=comp)


# ---------------------------------------------------------------------------
# One batch


@dataclass
class BatchAdjoint:
    """What the adjoint of one batched run needs, kept by the forward run."""

    grid_args: dict
    paint: Callable
    plan: Callable             # () -> painting.MaterialPlan
    params: List[Param]
    boxes: Dict[str, tuple]
    frame: object
    f: np.ndarray
    units: object
    kx: np.ndarray             # per excitation, per cell
    kx_a: np.ndarray
    waveform: object
    planes: tuple              # (k_R, k_T)
    fR: list
    fT: list
    inc: np.ndarray            # [NS, 1, NF], NaN where weak
    x: Dict[str, torch.Tensor]  # forward DFT over the boxes / dt, [NS, NM, box, NF]
    max_steps: int
    after_step: int
    decay_by: float
    orders: list = field(default_factory=list)
    period_info: Optional[tuple] = None   # (tv, incident, substrate eps list)
    stats: object = None

    # R, T (and orders) from the monitor fields, in torch
    def _outputs(self, leaves_R, leaves_T):
        ref = [a[:, :1] for a in self.fR]
        inc = torch.as_tensor(np.where(np.isfinite(self.inc), self.inc, np.inf))
        flux = lambda F: 0.5 * (F[0].conj() * F[3] - F[1].conj() * F[2]).real.mean(dim=(2, 3))
        scat = [a - b for a, b in zip(leaves_R, ref)]
        out = [-flux(scat) / inc, flux(leaves_T) / inc]
        if self.orders:
            kx_col = np.asarray(self.kx, dtype=np.float64)[:, None]
            PR = order_power(scat, kx_col, 0.0, self.orders, tensor=True)
            PT = order_power(leaves_T, kx_col, 0.0, self.orders, tensor=True)
            out += [-PR / inc[:, :, None, :], PT / inc[:, :, None, :]]
        return out

    def monitor_gradients(self, grads):
        """g for the monitor fields (R plane, T plane): per plane four
        complex [NS, NMb, Px, Py, NF]."""
        with torch.enable_grad():       # a backward pass runs with grad mode off
            leaves_R = [a[:, 1:].clone().requires_grad_(True) for a in self.fR]
            leaves_T = [a[:, 1:].clone().requires_grad_(True) for a in self.fT]
            outs = self._outputs(leaves_R, leaves_T)
            pairs = [(o, g) for o, g in zip(outs, grads) if g is not None]
            if not pairs:
                return None
            o, g = zip(*pairs)
            g = [torch.where(torch.isfinite(gi) & torch.isfinite(oi), gi, torch.zeros_like(gi))
                 for oi, gi in zip(o, g)]
            got = torch.autograd.grad(o, leaves_R + leaves_T, g, allow_unused=True)
        return [torch.zeros_like(l) if x is None else x for l, x in zip(leaves_R + leaves_T, got)]

    def run_adjoint(self, gF, progress=False):
        """μ_E over the boxes at the frequencies that carry a gradient:
        ({component: [NS, K, NM − 1, box]}, frequency indices); the run
        leaves out the reference slice, which no parameter reaches."""
        dt = self.units.dt
        NS = len(self.kx)
        weight = sum(g.abs().sum(dim=(0, 1, 2, 3)) for g in gF)        # [NF]
        ks = [int(k) for k in torch.nonzero(weight > 0).flatten()]
        if not ks:
            return None, []
        K = len(ks)
        f_k = self.f[ks]
        omega = self.units.omega(f_k)
        # the slices' pulses: the excitation's waveform over its duration,
        # divided by its DFT at the slice's frequency
        from .sources import waveform_steps
        T_src = min(waveform_steps(self.waveform, self.units), self.max_steps)
        n = np.arange(T_src)
        pE = self.waveform((n + 1) * self.units.dt_a)
        pH = self.waveform((n + 0.5) * self.units.dt_a)
        PE = np.exp(1j * np.outer(n + 1, omega * dt)).T @ pE
        PH = np.exp(1j * np.outer(n + 0.5, omega * dt)).T @ pH
        qE = torch.tensor(np.tile(pE[:, None] / PE[None, :], (1, NS)))          # [T, NS*K]
        qH = torch.tensor(np.tile(pH[:, None] / PH[None, :], (1, NS)))
        # amplitudes per slice (s, k) = index s*K + k; structure slice 0 none
        planes = []
        names = ("Ex", "Ey", "Hx", "Hy")
        for p, k_plane in enumerate(self.planes):
            amps = {}
            for c, name in enumerate(names):
                g = gF[4 * p + c][..., ks]                                      # [NS, NMb, Px, Py, K]
                sign = 1.0 if name[0] == "E" else -1.0
                a = sign * dt * g.conj().permute(0, 4, 1, 2, 3).reshape(NS * K, *g.shape[1:4])
                amps[name] = a
            planes.append((k_plane, amps))
        ga = dict(self.grid_args)
        ga["NS"] = NS * K
        ga["kx"] = np.repeat(-np.asarray(self.kx), K)
        ga["materials"] = _without_reference(ga["materials"])
        grid = Grid(**ga)
        source = _AdjointSource(grid, planes, qE.reshape(T_src, NS * K), qH.reshape(T_src, NS * K))
        # qE as [T, NS*K]: column s*K + k holds frequency k (np.tile repeats
        # the K columns NS times, matching the slice order)
        clock = DFTClock(f_k, self.units, grid.device)
        dft = FieldDFT(grid, clock, self.boxes, halves=2)
        probe = _SettledProbe(dft, max(self.decay_by, ADJOINT_DECAY), check_every=200,
                           planes=list(self.planes),
                           after_step=self.after_step, stop=True, quiet_from=T_src,
                           label=lambda s, m: f"adjoint slice {s}, structure slice {m}",
                           quarter=round(0.25 / (float(np.mean(f_k)) * self.units.dt_a)))
        self.stats = run(grid, [source], [dft], self.max_steps, probe, progress,
                         desc="voxsim adjoint")
        fields = dft.fields()
        mu = {}
        for name, F in fields.items():
            F = F.cpu().reshape(NS, K, *F.shape[1:]) / dt                     # [NS, K, NM, box, K]
            diag = torch.stack([F[:, k, ..., k] for k in range(K)], dim=1)
            mu[name] = diag
        return mu, ks

    def coefficient_gradients(self, mu, ks):
        """dL/d(den1), dL/d(den2) per component over its box, [NM, box]
        (zero on the reference slice)."""
        z = torch.tensor(np.exp(1j * self.units.omega(self.f[ks]) * self.units.dt))
        out = {}
        for name, m in mu.items():
            x = self.x[name][:, 1:][..., ks]                                   # [NS, NM-1, box, K]
            x = x.movedim(-1, 1)                                               # [NS, K, NM, box]
            zz = z.view(1, -1, *[1] * (x.dim() - 2))
            prod = m * x
            g1 = -(prod * (1 - zz)).real.sum(dim=(0, 1))
            g2 = -(prod * (1 + zz)).real.sum(dim=(0, 1))
            pad = lambda g: torch.cat([torch.zeros_like(g[:1]), g])
            out[name] = (pad(g1), pad(g2))
        return out

    def parameter_gradients(self, gden):
        grads = []
        for p in self.params:
            if p.kind == "fill":
                grads.append(self._fill_gradient(p, gden))
                continue
            plus, minus = _steps(p)
            with assigned([(p, plus)]):
                a = _maps(self.paint(), self.boxes)
            with assigned([(p, minus)]):
                b = _maps(self.paint(), self.boxes)
            total = 0.0
            for name, (g1, g2) in gden.items():
                d1 = (a[name][0] - b[name][0]).double().cpu() / (plus - minus)
                d2 = (a[name][1] - b[name][1]).double().cpu() / (plus - minus)
                total += float((g1 * d1).sum() + (g2 * d2).sum())
            grads.append(torch.tensor(total, dtype=p.tensor.dtype, device=p.tensor.device))
        return grads

    def _fill_gradient(self, p: Param, gden):
        vf = p.targets[0]
        frame = self.frame
        V = np.array(vf.fill.shape)
        lo = frame.to_cells(vf.origin)
        hi = frame.to_cells(np.add(vf.origin, vf.size))
        pitch = (hi - lo) / V
        reach = 3 * pitch + 2.0            # normals' stencil and a sample cell, in cells
        period = [float(frame.period[0]), float(frame.period[1]), 0.0]
        stride = []
        for a in range(3):
            s = int(min(V[a], max(1, math.ceil((pitch[a] + 2 * reach[a] + 1) / pitch[a]))))
            if period[a] and (hi[a] - lo[a]) + 2 * reach[a] + 1 > period[a]:
                while s < V[a] and V[a] % s:
                    s += 1
            stride.append(s)
        base = vf.fill.clone()
        plus, minus = _steps(p)
        repaint = self._fill_painter(p)
        span = (plus - minus).double()
        grad = torch.zeros(tuple(V), dtype=torch.float64)
        pos = {}
        for name in gden:
            (i0, i1), (j0, j1), (k0, k1) = self.boxes[name]
            off = {"Ex": (0.5, 0, 0), "Ey": (0, 0.5, 0), "Ez": (0, 0, 0.5)}[name]
            pos[name] = [np.arange(r0, r1) + off[a] for a, (r0, r1) in
                         enumerate(self.boxes[name])]
        idx = np.indices(tuple(V)).reshape(3, -1).T
        for colour in itertools.product(*[range(s) for s in stride]):
            sel = idx[np.all(idx % np.array(stride) == np.array(colour), axis=1)]
            if not len(sel):
                continue
            mask = torch.zeros(tuple(V), dtype=torch.bool)
            mask[tuple(sel.T)] = True
            with assigned([(p, torch.where(mask, plus, base))]):
                a = _maps(repaint(), self.boxes)
            with assigned([(p, torch.where(mask, minus, base))]):
                b = _maps(repaint(), self.boxes)
            centre = lo + (sel + 0.5) * pitch                                  # [nv, 3] cells
            acc = torch.zeros(len(sel), dtype=torch.float64)
            for name, (g1, g2) in gden.items():
                q = (g1 * (a[name][0] - b[name][0]).double().cpu()
                     + g2 * (a[name][1] - b[name][1]).double().cpu()).sum(0)     # [box]
                masks = []
                for ax in range(3):
                    d = pos[name][ax][None, :] - centre[:, ax:ax + 1]
                    if period[ax]:
                        d = (d + period[ax] / 2) % period[ax] - period[ax] / 2
                    masks.append(torch.tensor(np.abs(d) <= pitch[ax] / 2 + reach[ax],
                                              dtype=torch.float64))
                acc += torch.einsum("ijk,vi,vj,vk->v", q, *masks)
            grad[tuple(sel.T)] = acc / span[tuple(sel.T)]
        return grad.to(p.tensor.dtype).to(p.tensor.device).reshape(p.tensor.shape)

    def _fill_painter(self, p: Param):
        """A painting that redoes only what a fill's values change: the
        grid painted up to the fill's piece is kept, and each call paints
        the fill (with its current values) and what follows it onto a copy."""
        from .rasterise import pieces
        from .painting import paint_plan
        if len(p.targets) != 1:
            return self.paint
        vf = p.targets[0]
        plan = self.plan()
        at = [i for i, it in enumerate(plan.items) if it[0] == "paint" and it[4] is vf]
        if not at:
            return self.paint
        i0, i1 = at[0], at[-1] + 1
        before = paint_plan(plan, plan.items[:i0], coefficients=False)
        _, first, mid, mode, _ = plan.items[i0]
        tail = plan.items[i1:]

        def repaint():
            new = []
            for piece in pieces(vf, plan.frame):
                piece.m = first.m
                new.append(("paint", piece, mid, mode, vf))
            return paint_plan(plan, new + tail, mats=before.copy())
        return repaint

    def backward(self, grads, progress=False):
        if not self.boxes:        # nothing this batch paints depends on the parameters
            return [torch.zeros_like(p.tensor) for p in self.params]
        gF = self.monitor_gradients(grads)
        if gF is None:
            return [None] * len(self.params)
        mu, ks = self.run_adjoint(gF, progress)
        if mu is None:
            return [torch.zeros_like(p.tensor) for p in self.params]
        gden = self.coefficient_gradients(mu, ks)
        return self.parameter_gradients(gden)


# ---------------------------------------------------------------------------
# The autograd node


class _Holder:
    def __init__(self, params, batches, progress):
        self.params = params
        self.batches = batches       # [(structure indices, BatchAdjoint)]
        self.progress = progress


class SpectrumFunction(torch.autograd.Function):
    """R, T (and the order efficiencies) of a run as a function of its
    design parameters; the backward pass is the adjoint run."""

    @staticmethod
    def forward(ctx, holder, values, *tensors):
        ctx.holder = holder
        return tuple(torch.as_tensor(np.asarray(v, dtype=np.float64)).clone() for v in values)

    @staticmethod
    def backward(ctx, *grads):
        h = ctx.holder
        total = [torch.zeros_like(p.tensor) for p in h.params]
        for idx, b in h.batches:
            sub = []
            for g in grads:
                sub.append(None if g is None else g[:, idx] if g.dim() >= 2 else g)
            if len(sub) > 2 and b.orders:
                # the orders of the whole spectrum, mapped onto the batch's
                sub[2:] = [None if g is None else g[:, :, h.order_index(b)] for g in sub[2:]]
            else:
                sub = sub[:2]
            got = b.backward(sub, h.progress)
            for i, p in enumerate(h.params):
                for j, q in enumerate(b.params):
                    if q.tensor is p.tensor and got[j] is not None:
                        total[i] = total[i] + got[j]
        return (None, None, *total)


def attach(sp, params, batches, progress=False):
    """Makes R, T (and the orders) of `sp` torch tensors connected to the
    parameters."""
    holder = _Holder(params, batches, progress)
    values = [sp.R, sp.T]
    if sp.R_orders is not None:
        values += [sp.R_orders, sp.T_orders]
        holder.order_index = lambda b: [sp.orders.index(o) for o in b.orders]
    outs = SpectrumFunction.apply(holder, values, *[p.tensor for p in params])
    sp.R, sp.T = outs[0], outs[1]
    if sp.R_orders is not None:
        sp.R_orders, sp.T_orders = outs[2], outs[3]
    return sp


__all__ = ("collect", "attach", "BatchAdjoint", "design_region")
