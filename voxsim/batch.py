"""One batched run: a group of stacks sharing the incident medium and the
period under every excitation, on one process or shared out over the
ranks of a process group (``distributed``, ``domains``), and the flux
planes' results resolved into R, T and diffraction orders."""
from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Tuple

import numpy as np
import torch

from .layout import (Transverse, column_layout, default_cpml, densest_index, evanescent_gap,
                     transverse_layout)
from .monitors import DFTClock, FluxPlane
from .orders import order_power, propagates, propagating_orders
from .painting import build_materials, material_plan, paint_plan, stack_frame
from .simulation import DecayProbe, Grid, PeerDiverged, RunStats, run
from .sources import PlaneWaveSource, waveform_steps
from .trust import DivergenceError
from .units import require

CAP_PERIODS = 2000.0            # safety cap: source + 2 transits + this many periods of f_min


@dataclass
class BatchResult:
    R: np.ndarray
    T: np.ndarray
    cpml_reflection: float
    stats: RunStats
    orders: List[Tuple[int, int]]
    R_orders: Optional[np.ndarray]
    T_orders: Optional[np.ndarray]
    adjoint: object = None     # adjoint.BatchAdjoint when the run has design parameters
    fields: object = None      # fields.FieldResult when the run was asked for DFT fields


def _run_split(stacks, index, incident, f, units, excitations, cpml, offset, smoothing,
               decay_by, max_time, steps, depth, device, progress, split,
               design=None, memory_cap=None, fields=None) -> BatchResult:
    """``_run_batch``, with the excitations shared out over the ranks of a
    process group (``distributed``) and the results gathered in order; the
    absorber and the standoff follow the whole sweep, as in one process.
    With ``split="domains"`` (or ``"auto"`` choosing it) the grid is cut
    into slabs instead (``domains``)."""
    from . import distributed
    rank, size = distributed.world()
    if fields is not None:
        # DFT fields are not cut into slabs nor gathered over ranks: each
        # rank runs the whole sweep
        require(split != "domains", "fields",
                "DFT fields are not recorded under --split domains: use --split none "
                "(or leave the fields out)")
        split = "none" if size > 1 else split
    if size > 1 and split in ("auto", "domains"):
        split = _choose_split(stacks, incident, f, units, excitations, cpml, offset, depth,
                              split, size, memory_cap, design)
    if split == "domains":
        from .domains import Slabs
        out = _run_batch(stacks, index, incident, f, units, excitations, cpml, offset,
                         smoothing, decay_by, max_time, steps, depth, device,
                         progress and rank == 0, agree=distributed.agreement(),
                         slabs=Slabs(rank, size))
        Slabs(rank, size).totals(out.stats)
        return out
    if size == 1 or split == "none" or design:
        return _run_batch(stacks, index, incident, f, units, excitations, cpml, offset,
                          smoothing, decay_by, max_time, steps, depth, device,
                          progress and rank == 0, design=design, fields=fields)
    kx_all = np.array([e.kx(incident) for e in excitations])
    if cpml is None:
        cpml = default_cpml(stacks, f, units, kx_all)
    if len(excitations) < size:     # too few to share: every rank runs the whole sweep
        return _run_batch(stacks, index, incident, f, units, excitations, cpml, offset,
                          smoothing, decay_by, max_time, steps, depth, device,
                          progress and rank == 0)
    mine = distributed.shard(len(excitations), rank, size)
    result = error = None
    try:
        result = _run_batch(stacks, index, incident, f, units, [excitations[s] for s in mine],
                            cpml, offset, smoothing, decay_by, max_time, steps, depth, device,
                            progress and rank == 0, layout_kx=kx_all, first=int(mine[0]),
                            agree=distributed.agreement())
    except Exception as e:         # every rank must reach the gather
        error = e
    chunks = distributed.all_gather((result, error))
    errors = [(r, e) for r, (_, e) in enumerate(chunks) if e is not None]
    errors.sort(key=lambda re: isinstance(re[1], PeerDiverged))     # the diverged rank's first
    for r, e in errors:
        if isinstance(e, DivergenceError):
            e.excitation += int(distributed.shard(len(excitations), r, size)[0])
        raise e
    return _merge([r for r, _ in chunks])


def _choose_split(stacks, incident, f, units, excitations, cpml, offset, depth, split, size,
                  memory_cap, design) -> str:
    """The split of a run over `size` ranks: ``domains.choose`` on this
    batch's grid; the adjoint (design parameters) is not cut."""
    from . import domains
    if design:
        require(split != "domains", "split",
                "--split domains does not carry the adjoint (design parameters): use "
                "--split batch or none")
        return "batch"
    tv = transverse_layout(stacks, units)
    kx_all = np.array([e.kx(incident) for e in excitations])
    if cpml is None:
        cpml = default_cpml(stacks, f, units, kx_all)
    gap = evanescent_gap(stacks, f, units, tv, kx_all)
    lay = column_layout(stacks, units, cpml, offset, depth, gap)
    media = {m for st in stacks for m in st.media()} | {incident}
    dispersive = any(m.coefficients(units).alpha != 0 or m.coefficients(units).beta != 0
                     for m in media)
    return domains.choose(split, size, len(excitations), (*tv.shape, lay.Nz), len(stacks) + 1,
                          cpml.thickness, dispersive, memory_cap)


def _merge(chunks: List[BatchResult]) -> BatchResult:
    """Batch results of consecutive excitation ranges as one."""
    if len(chunks) == 1:
        return chunks[0]
    cat = lambda xs: np.concatenate(xs, axis=0)
    st = [p.stats for p in chunks]
    stats = RunStats(max(s.steps for s in st), max(s.seconds for s in st),
                     sum(s.cell_updates for s in st),
                     "decay" if all(s.stopped_by == "decay" for s in st)
                     else next(s.stopped_by for s in st if s.stopped_by != "decay"))
    if all(s.converged is not None for s in st):
        stats.converged = cat([s.converged for s in st])
        stats.decayed = cat([s.decayed for s in st])
        stats.steps_needed = cat([s.steps_needed for s in st])
    out = BatchResult(cat([p.R for p in chunks]), cat([p.T for p in chunks]),
                      max(p.cpml_reflection for p in chunks), stats, [], None, None)
    if chunks[0].R_orders is not None:
        orders = sorted({o for p in chunks for o in p.orders},
                        key=lambda o: (abs(o[0]) + abs(o[1]), o[0], o[1]))
        Ro, To = [], []
        for p in chunks:
            shape = (p.R.shape[0], p.R.shape[1], len(orders), p.R.shape[2])
            r, t = np.full(shape, np.nan), np.full(shape, np.nan)
            for j, o in enumerate(p.orders):
                r[:, :, orders.index(o)] = p.R_orders[:, :, j]
                t[:, :, orders.index(o)] = p.T_orders[:, :, j]
            Ro.append(r)
            To.append(t)
        out.orders, out.R_orders, out.T_orders = orders, cat(Ro), cat(To)
    return out


def group_layout(stacks, incident, f, units, excitations, cpml=None, offset=0.0, depth=None,
                 layout_kx=None):
    """Where one batch's grid puts everything: the unit cell, the
    excitations' kx (rad/a), the absorber (``cpml`` None: the default for
    the band and the angles) and the column (``layout.Layout``)."""
    tv = transverse_layout(stacks, units)
    kx_a = np.array([e.kx(incident) for e in excitations])
    if cpml is None:
        cpml = default_cpml(stacks, f, units, kx_a)
    gap = evanescent_gap(stacks, f, units, tv, kx_a if layout_kx is None else layout_kx)
    return tv, kx_a, cpml, column_layout(stacks, units, cpml, offset, depth, gap)


def _run_batch(stacks, index, incident, f, units, excitations, cpml, offset, smoothing,
               decay_by, max_time, steps, depth, device, progress, layout_kx=None,
               first: int = 0, agree=None, design=None, slabs=None,
               fields=None) -> BatchResult:
    device = torch.device(device)
    tv, kx_a, cpml, lay = group_layout(stacks, incident, f, units, excitations, cpml, offset,
                                       depth, layout_kx)
    NM = len(stacks) + 1
    shape = (*tv.shape, lay.Nz)
    mats, _, tables = build_materials(stacks, incident, units, lay, device, smoothing, tv)

    kx = kx_a / units.resolution
    if slabs is None:
        grid = Grid(units, shape, len(excitations), mats, tables, cpml, (True, True), kx, device)
        source = PlaneWaveSource(grid, excitations, incident, lay.kp)
    else:       # this rank's slab along z (``domains``); the whole maps are let go
        grid = slabs.grid(units, shape, len(excitations), mats, tables, cpml, (True, True), kx,
                          device)
        mats = None
        source = slabs.plane_source(grid, excitations, incident, lay.kp)
    clock = DFTClock(f, units, device)
    Flux = FluxPlane if slabs is None else slabs.flux_plane
    mon_R = Flux(grid, lay.k_R, clock)
    mon_T = Flux(grid, lay.k_T, clock)
    monitors = [mon_R, mon_T]
    design_dft = None
    if design:
        # the design region's fields, for the adjoint (``adjoint``)
        from .adjoint import design_region
        from .fields import FieldDFT
        plan = lambda: material_plan(stacks, incident, units, lay, device, smoothing, tv)
        paint = lambda: paint_plan(plan())
        boxes = design_region(paint, design, mats)
        if boxes:
            design_dft = FieldDFT(grid, clock, boxes)
            monitors.append(design_dft)
    if fields is not None:
        from . import fields as fd
        origin = (1.0, 1.0, lay.z_top)
        field_dft = fd.FieldDFT(grid, fd.DFTClock(fields.frequencies, units, device),
                                fd.request_boxes(grid, fields, origin,
                                                 (None, None, (lay.kp + 1, lay.k_T + 3))))
        monitors.append(field_dft)

    src_steps = max(waveform_steps(e.waveform, units) for e in excitations)
    # twice across the column at the slowest speed before the probe may stop
    transit = int(2 * lay.Nz * densest_index([m for s in stacks for m in s.media()], f) / units.dt)
    cap = src_steps + transit + units.steps(CAP_PERIODS / float(f.min()))
    if steps is not None:
        max_steps = int(steps)
    elif max_time is not None:
        max_steps = units.steps(max_time)
    else:
        max_steps = cap
    ex_names = [f"excitation {first + s} ({e.polarization}, {e.angle_deg:g} deg)"
                for s, e in enumerate(excitations)]
    label = lambda s, m: (f"{'the reference' if m == 0 else f'structure {index[m - 1]}'}, "
                          f"{ex_names[s]}")
    Probe = DecayProbe if slabs is None else slabs.probe
    probe = Probe(decay_by, check_every=200, planes=[lay.k_R, lay.k_T],
                  after_step=min(src_steps, max_steps) + transit, stop=steps is None,
                  quiet_from=source.stop_step(max_steps), label=label,
                  quarter=round(0.25 / (float(np.mean(f)) * units.dt_a)), agree=agree)
    stats = run(grid, [source], monitors, max_steps, probe, progress,
                desc=f"voxsim {NM - 1} structure(s) x {len(excitations)} excitation(s)")
    if stats.stopped_by == "max_steps" and max_time is None and steps is None:
        stats.stopped_by = "cap"

    flux_T = mon_T.flux()
    inc = flux_T[:, :1, :]
    fR = mon_R.fields()
    ref = [a[:, :1] for a in fR]
    flux_R = mon_R.flux(subtract=ref)
    weak = inc < 1e-6 * np.abs(inc).max(axis=2, keepdims=True)
    inc = np.where(weak, np.nan, inc)
    with np.errstate(divide="ignore", invalid="ignore"):
        R = -flux_R[:, 1:] / inc
        T = flux_T[:, 1:] / inc
        pml = -mon_R.flux()[:, 0] / inc[:, 0]
    pml = float(np.nanmax(np.abs(pml))) if np.isfinite(pml).any() else 0.0
    out = BatchResult(R, T, pml, stats, [], None, None)
    if tv.period is not None:
        _resolve_orders(out, stacks, incident, f, tv, kx_a, kx, fR, mon_T.fields(), ref, inc)
    if fields is not None:
        out.fields = fd.collect(field_dft, fields, origin, structure=1)
        out.fields.normalise(fd.incident_scale(out.fields.components, m=0), "incident")
    if design:
        from .adjoint import BatchAdjoint
        x = {} if design_dft is None else {k: v.cpu() / units.dt
                                           for k, v in design_dft.fields().items()}
        out.adjoint = BatchAdjoint(
            grid_args=dict(units=units, shape=shape, NS=len(excitations), materials=mats,
                           tables=tables, cpml=cpml, periodic=(True, True), kx=kx,
                           device=device),
            paint=paint, plan=plan, params=design, boxes=boxes, frame=stack_frame(units, lay, tv, device),
            f=f, units=units, kx=kx, kx_a=kx_a, waveform=excitations[0].waveform,
            planes=(lay.k_R, lay.k_T), fR=fR, fT=mon_T.fields(), inc=inc, x=x,
            max_steps=max_steps, after_step=probe.after_step, decay_by=decay_by,
            orders=list(out.orders))
    return out


def _resolve_orders(out: BatchResult, stacks, incident, f, tv: Transverse, kx_a, kx_cell, fR,
                    fT, ref, inc):
    """R and T per diffraction order, slice by slice (as the flux)."""
    lim = tv.order_limit()
    eps_sub = [float(st.substrate.eps) for st in stacks]
    orders = set()
    for k in kx_a:
        orders |= set(propagating_orders(f, tv.period, float(k), [float(incident.eps)] + eps_sub,
                                         limit=lim))
    orders = sorted(orders, key=lambda o: (abs(o[0]) + abs(o[1]), o[0], o[1]))
    NS, NMb, NF = len(kx_a), len(stacks), len(f)
    Ro = np.full((NS, NMb, len(orders), NF), np.nan)
    To = np.full_like(Ro, np.nan)
    kx_col = np.asarray(kx_cell, dtype=np.float64)[:, None]
    with np.errstate(divide="ignore", invalid="ignore"):
        for m in range(NMb):
            scat = [a[:, m + 1:m + 2] - b for a, b in zip(fR, ref)]
            tot = [a[:, m + 1:m + 2] for a in fT]
            PR = order_power(scat, kx_col, 0.0, orders)[:, 0]        # [NS, orders, NF]
            PT = order_power(tot, kx_col, 0.0, orders)[:, 0]
            Ro[:, m] = -PR / inc[:, 0][:, None, :]
            To[:, m] = PT / inc[:, 0][:, None, :]
            for s in range(NS):
                up = propagates(orders, f, tv.period, float(kx_a[s]), float(incident.eps))
                down = propagates(orders, f, tv.period, float(kx_a[s]), eps_sub[m])
                Ro[s, m] = np.where(up, Ro[s, m], np.nan)
                To[s, m] = np.where(down, To[s, m], np.nan)
    out.orders, out.R_orders, out.T_orders = orders, Ro, To
