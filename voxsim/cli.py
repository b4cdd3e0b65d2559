"""Command line: ``python -m voxsim spectrum STACK.json --out DIR`` and
``python -m voxsim scatter OBJECT.json --out DIR``.

Validates STACK.json (``config``; a bad description exits with status 2 and
one line ``error: FIELD: message`` before anything runs), runs the plane-wave
spectrum with a progress bar (steps/s and cell updates/s), then writes
DIR/spectrum.json {"frequency", "R", "T", "angle_deg", "converged"} (frequencies below
cut-off or outside the pulse's band left out) and DIR/spectrum.png (R, T and
1 − R − T with the transfer-matrix curves), and prints the throughput, the
CPML self-check and the largest deviation from the transfer-matrix result.
A periodic structure (a "period") adds "orders": [{"order": [m, n], "R":
[...], "T": [...]}, ...] for every diffraction order that propagates
somewhere in the band (NaN where it is evanescent), and the PNG shows its
strongest orders; patterned layers have no transfer-matrix curve, and the
largest |1 − R − T| of lossless ones is printed instead.

``scatter`` validates OBJECT.json (``config.parse_scatter_job``), runs the
isolated object under a plane wave along +z (``scatter.cross_sections``)
and writes DIR/cross_sections.json {"frequency", "scattering",
"absorption", "extinction" (a²), "converged"} and DIR/cross_sections.png.

``resonances`` takes a STACK.json or an OBJECT.json (a file with
"shapes"): the modes in the window [frequency.min, frequency.max] by
harmonic inversion of a ring-down (``resonance``), DIR/modes.json and
DIR/modes.png.

A "fields" key in STACK.json or OBJECT.json ({"frequencies": [...],
"plane": {"axis": "x"|"y"|"z", "at": position in a}}, the plane left out:
the whole volume) makes ``spectrum``, ``scatter`` and ``resonances``
record the DFT of Ex, Ey, Ez at those frequencies and write
DIR/fields.npz (``fields.FieldResult.load`` reads it) and DIR/field.png
(|E|² at the first frequency with the structure's outline).

``dipole`` validates DIPOLE.json (``radiate.parse_dipole_job``), runs one
point dipole among shapes in an open box (``radiate.radiate``) and writes
DIR/power.json {"frequency", "power", "background", "ratio", "reference",
"converged"} (cell units, per unit moment squared), DIR/snapshots.npz (the
electric field on the plane through the dipole every N steps,
``snapshots.load`` reads it) and DIR/field.png (|E|² there at the band's
centre with the shapes' outline).

Exit status (every command): 0 done; 2 bad input (nothing ran); 3 the run stopped (at
``max_time`` or the safety cap) before its fields decayed: results written
with "converged": false, warning printed; 4 the fields diverged: nothing
written. Warnings (energy balance of a lossless structure, decay) go to
stderr.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import warnings

import numpy as np

from . import distributed
from .trust import DivergenceError
from .units import InputError

EXIT_BAD_INPUT, EXIT_NOT_CONVERGED, EXIT_DIVERGED = 2, 3, 4


def _load(read):
    """read() (a job file's parser), or None after its one-line error."""
    try:
        return read()
    except InputError as e:
        print(f"error: {e}", file=sys.stderr)
        return None


def _guarded(run, hint: str = ""):
    """run() with its warnings kept for the end: (result, warnings, None),
    or (None, None, exit status) after the one-line error (bad input found
    while running, or divergence: nothing is written; `hint` what may help)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            return run(), caught, None
        except InputError as e:
            print(f"error: {e}", file=sys.stderr)
            return None, None, EXIT_BAD_INPUT
        except DivergenceError as e:
            print(f"error: {e}; nothing written{f' ({hint} may help)' if hint else ''}",
                  file=sys.stderr)
            return None, None, EXIT_DIVERGED


def _verdict(caught, converged: bool, written: str = "the results are written but may be "
             "wrong") -> int:
    """The run's warnings on stderr, and the exit status: 3 when the run
    stopped before its fields decayed, else 0."""
    for w in caught:
        print(f"warning: {w.message}", file=sys.stderr)
    if not converged:
        print(f"warning: the run stopped before its fields decayed: {written} (exit status 3)",
              file=sys.stderr)
        return EXIT_NOT_CONVERGED
    return 0


def _dump(out: dict, path: str) -> None:
    with open(path, "w") as fh:
        json.dump(out, fh, indent=1)


def spectrum_command(args) -> int:
    from .config import load_job
    job = _load(lambda: load_job(args.stack))
    if job is None:
        return EXIT_BAD_INPUT
    device = _device(args.device)
    rank, size = distributed.init_from_env(device)
    if rank:                      # one voice: rank 0 prints and writes
        sys.stdout = sys.stderr = open(os.devnull, "w")
    sweep = isinstance(job.angle_deg, list)
    angles = job.angle_deg if sweep else [job.angle_deg]
    st = job.stack
    sim = job.simulation
    cpw = sim.cells_per_wavelength
    print(f"voxsim spectrum: {len(st.layers)} layer(s)"
          f"{f' ({sum(l.patterned for l in st.layers)} patterned, period {st.period[0]:g} x {st.period[1]:g} a)' if st.patterned else ''}"
          f", {len(job.frequencies)} frequencies "
          f"{job.frequencies[0]:g}-{job.frequencies[-1]:g} c/a, resolution {job.resolution:g} "
          f"({cpw:.1f} cells per wavelength in the densest medium), {job.polarization} polarisation, "
          f"{', '.join(f'{a:g}' for a in angles)} deg, on {device}"
          f"{f', {size} processes (split {args.split})' if size > 1 else ''}")
    cap = None if args.memory_cap is None else args.memory_cap * 2**30
    sp, caught, code = _guarded(lambda: sim.run(device=device, progress=not args.quiet,
                                                split=args.split, memory_cap=cap),
                                "a finer resolution, a smaller angle or a smaller courant number")
    if code:
        return code
    converged = bool(sp.converged.all())
    run = sp.stats[0]
    print(f"run: {run.steps} steps in {run.seconds:.2f} s = {run.steps_per_s:.0f} steps/s, "
          f"{run.cell_updates_per_s:.3g} cell updates/s (stopped by {run.stopped_by})")
    print(f"CPML reflection (self-check, reference slice): {sp.cpml_reflection:.1e}")
    Ra_all, Ta_all = sp.analytic()
    columns = []
    for s_, a in enumerate(angles):
        R, T, ang = sp.R[s_, 0], sp.T[s_, 0], sp.angle_deg[s_]
        keep = np.isfinite(R) & np.isfinite(T) & np.isfinite(ang)
        columns.append((R, T, ang, keep))
        where = f" at {a:g} deg" if sweep else ""
        dropped = int((~keep).sum())
        if dropped:
            print(f"left out {dropped} frequencies{where} (below cut-off or outside the pulse's "
                  f"band)")
        Ra, Ta = Ra_all[s_, 0], Ta_all[s_, 0]
        if st.patterned:
            if keep.any() and all(m.lossless for m in st.media()):
                print(f"no transfer matrix for patterned layers; lossless, so |1 - R - T| <= "
                      f"{np.abs(1 - R - T)[keep].max():.2e}{where}")
        elif keep.any():
            dR, dT = np.abs(R - Ra)[keep], np.abs(T - Ta)[keep]
            dA = np.abs((1 - R - T) - (1 - Ra - Ta))[keep]
            worst = int(np.argmax(np.maximum(dR, dT)))
            print(f"largest deviation from the transfer matrix{where}: |dR| = {dR.max():.2e}, "
                  f"|dT| = {dT.max():.2e}, |d(1-R-T)| = {dA.max():.2e} "
                  f"(worst at f = {job.frequencies[keep][worst]:.4g})")
    if st.period is not None:
        print("diffraction orders: " + ", ".join(f"({m}, {n})" for m, n in sp.orders))
    if not sweep:
        R, T, ang, keep = columns[0]
        out = {"frequency": job.frequencies[keep].tolist(), "R": R[keep].tolist(),
               "T": T[keep].tolist(), "angle_deg": ang[keep].tolist(), "converged": converged}
        out.update(_band_column(job.band, keep))
        if st.period is not None:
            out["orders"] = [{"order": list(o), "R": sp.R_orders[0, 0, i][keep].tolist(),
                              "T": sp.T_orders[0, 0, i][keep].tolist()}
                             for i, o in enumerate(sp.orders)]
    else:
        # one row per angle over every frequency; null below cut-off
        rows = lambda A: [[None if not np.isfinite(v) else float(v) for v in r] for r in A]
        out = {"frequency": job.frequencies.tolist(), "angles_deg": angles,
               "R": rows(sp.R[:, 0]), "T": rows(sp.T[:, 0]), "angle_deg": rows(sp.angle_deg),
               "converged": converged}
        out.update(_band_column(job.band))
        if st.period is not None:
            out["orders"] = [{"order": list(o), "R": rows(sp.R_orders[:, 0, i]),
                              "T": rows(sp.T_orders[:, 0, i])} for i, o in enumerate(sp.orders)]
    jpath = os.path.join(args.out, "spectrum.json")
    ppath = os.path.join(args.out, "spectrum.png")
    if rank == 0:
        os.makedirs(args.out, exist_ok=True)
        _dump(out, jpath)
        title = os.path.basename(args.stack)
        sp.plot(ppath, title=None if sweep else f"{title}: {job.polarization}, "
                                                 f"{job.angle_deg:g} deg")
        _write_fields(sp.fields, args.out)
    print(f"wrote {jpath} and {ppath}{_fields_note(sp.fields, args.out)}")
    return _verdict(caught, converged)


def _device(name: str) -> str:
    if name == "auto":
        import torch
        return "cuda" if torch.cuda.is_available() else "cpu"
    return name


def scatter_command(args) -> int:
    from .config import load_scatter_job
    job = _load(lambda: load_scatter_job(args.object))
    if job is None:
        return EXIT_BAD_INPUT
    device = _device(args.device)
    f = job.frequencies
    print(f"voxsim scatter: {len(job.shapes)} shape(s) in eps = {job.background.eps:g}, "
          f"{len(f)} frequencies {f[0]:g}-{f[-1]:g} c/a, resolution {job.resolution:g}, "
          f"E along {job.polarization}, propagation along +z, on {device}")
    cs, caught, code = _guarded(lambda: job.simulation.run(device=device, progress=not args.quiet),
                                "a finer resolution or a smaller courant number")
    if code:
        return code
    run = cs.stats
    print(f"grid {cs.layout.shape[0]} x {cs.layout.shape[1]} x {cs.layout.shape[2]} cells; "
          f"run: {run.steps} steps in {run.seconds:.2f} s = {run.steps_per_s:.0f} steps/s, "
          f"{run.cell_updates_per_s:.3g} cell updates/s (stopped by {run.stopped_by})")
    os.makedirs(args.out, exist_ok=True)
    clean = lambda a: [None if not np.isfinite(v) else float(v) for v in a]
    out = {"frequency": f.tolist(), "scattering": clean(cs.scattering),
           "absorption": clean(cs.absorption), "extinction": clean(cs.extinction),
           "converged": cs.converged}
    out.update(_band_column(job.band))
    jpath = os.path.join(args.out, "cross_sections.json")
    _dump(out, jpath)
    ppath = os.path.join(args.out, "cross_sections.png")
    cs.plot(ppath, title=os.path.basename(args.object))
    _write_fields(cs.fields, args.out)
    print(f"wrote {jpath} and {ppath}{_fields_note(cs.fields, args.out)}")
    return _verdict(caught, cs.converged)


def dipole_command(args) -> int:
    from .config import _read_json
    from .radiate import parse_dipole_job
    job = _load(lambda: parse_dipole_job(_read_json(args.job)))
    if job is None:
        return EXIT_BAD_INPUT
    device = _device(args.device)
    f = job["frequencies"]
    print(f"voxsim dipole: {job['kind']} dipole at {tuple(job['position'])} a along "
          f"{tuple(job['orientation'])}, {len(job['shapes'])} shape(s) in eps = "
          f"{job['background'].eps:g}, {len(f)} frequencies {f[0]:g}-{f[-1]:g} c/a, "
          f"resolution {job['resolution']:g}, on {device}")
    r, caught, code = _guarded(lambda: job["simulation"].run(device=device,
                                                             progress=not args.quiet),
                               "a finer resolution or a smaller courant number")
    if code:
        return code
    run = r.stats
    print(f"run: {run.steps} steps in {run.seconds:.2f} s = {run.steps_per_s:.0f} steps/s, "
          f"{run.cell_updates_per_s:.3g} cell updates/s (stopped by {run.stopped_by})")
    os.makedirs(args.out, exist_ok=True)
    clean = lambda a: [None if not np.isfinite(v) else float(v) for v in a]
    out = {"frequency": f.tolist(), "power": clean(r.power[1]), "background": clean(r.power[0]),
           "ratio": clean(r.ratio), "reference": clean(r.reference), "converged": r.converged}
    jpath = os.path.join(args.out, "power.json")
    _dump(out, jpath)
    npath = os.path.join(args.out, "snapshots.npz")
    r.snapshots.save(npath)
    ppath = os.path.join(args.out, "field.png")
    r.plot(ppath)
    print(f"wrote {jpath}, {npath} ({len(r.snapshots.steps)} snapshots) and {ppath}")
    return _verdict(caught, r.converged)


def _band_column(band, keep=slice(None)) -> dict:
    """The band as the user gave it ("wavelength" or "energy_eV"), aligned
    with "frequency"; nothing for a band in c/a."""
    return {} if band is None else {band[0]: np.asarray(band[1])[keep].tolist()}


def _write_fields(result, out: str) -> None:
    """DIR/fields.npz and DIR/field.png of a run's DFT fields (the "fields"
    key), when it was asked for."""
    if result is None:
        return
    os.makedirs(out, exist_ok=True)
    result.save(os.path.join(out, "fields.npz"))
    result.plot(os.path.join(out, "field.png"))


def _fields_note(result, out: str) -> str:
    if result is None:
        return ""
    return (f", {os.path.join(out, 'fields.npz')} and {os.path.join(out, 'field.png')} "
            f"(E at {', '.join(f'{f:g}' for f in result.frequency)} c/a)")


def resonances_command(args) -> int:
    """``resonances STACK.json`` or ``resonances OBJECT.json``: the modes of
    the stack, or of the isolated object (a file with "shapes"), with
    frequency in [frequency.min, frequency.max] (``frequency.count`` is not
    used), by harmonic inversion of a ring-down (``resonance``); writes
    DIR/modes.json {"window", "modes": [{"frequency", "Q", "decay",
    "amplitude": [re, im], "error", "snr"}], "converged"} and DIR/modes.png
    (and the "fields" key's fields.npz and field.png)."""
    from .config import _read_json, parse_job, parse_scatter_job
    data = _load(lambda: _read_json(args.stack))
    is_object = isinstance(data, dict) and "shapes" in data
    job = None if data is None else _load(lambda: (parse_scatter_job if is_object else
                                                   parse_job)(data))
    if job is None:
        return EXIT_BAD_INPUT
    device = _device(args.device)
    lo, hi = float(job.frequencies[0]), float(job.frequencies[-1])
    what = (f"{len(job.shapes)} shape(s) in eps = {job.background.eps:g}" if is_object
            else f"{len(job.stack.layers)} layer(s)")
    print(f"voxsim resonances: {what}, window {lo:g}-{hi:g} c/a, "
          f"resolution {job.resolution:g}, on {device}")
    r, caught, code = _guarded(lambda: job.simulation.resonances(device=device,
                                                                 progress=not args.quiet))
    if code:
        return code
    run = r.stats
    print(f"run: {run.steps} steps in {run.seconds:.2f} s (stopped by {run.stopped_by})")
    for rec in r.modes.records():
        print(f"mode: f = {rec['frequency']:.6g} c/a, Q = {rec['Q']:.5g}, "
              f"error {rec['error']:.1e}")
    if not len(r.modes):
        print("no mode found in the window")
    os.makedirs(args.out, exist_ok=True)
    out = {"window": [lo, hi], "modes": r.modes.records(), "converged": r.converged}
    jpath = os.path.join(args.out, "modes.json")
    _dump(out, jpath)
    ppath = os.path.join(args.out, "modes.png")
    r.plot(ppath, title=os.path.basename(args.stack))
    _write_fields(r.fields, args.out)
    print(f"wrote {jpath} and {ppath}{_fields_note(r.fields, args.out)}")
    return _verdict(caught, r.converged, "the modes are written but may be incomplete")


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m voxsim",
                                description="Plane-wave spectra of layered stacks on the Voxstep kernels")
    sub = p.add_subparsers(dest="command", required=True)
    s = sub.add_parser("spectrum", help="R and T of the stack in STACK.json")
    s.add_argument("stack", help="STACK.json")
    s.add_argument("--out", required=True, help="output folder")
    s.add_argument("--device", default="auto", help="cpu, cuda or auto (default)")
    s.add_argument("--quiet", action="store_true", help="no progress bar")
    s.add_argument("--split", default="auto", choices=("auto", "batch", "none", "domains"),
                   help="under torchrun: share the angle sweep out over the processes "
                        "(batch), cut the grid into slabs along z, one per process (domains), "
                        "or run it whole on each (none); auto (default): batch when every "
                        "process gets an angle and the fields fit --memory-cap, else domains")
    s.add_argument("--memory-cap", type=float, default=None, metavar="GIB",
                   help="field memory per process (GiB) above which --split auto cuts the grid")
    c = sub.add_parser("scatter", help="cross-sections of the isolated object in OBJECT.json")
    c.add_argument("object", help="OBJECT.json")
    c.add_argument("--out", required=True, help="output folder")
    c.add_argument("--device", default="auto", help="cpu, cuda or auto (default)")
    c.add_argument("--quiet", action="store_true", help="no progress bar")
    d = sub.add_parser("dipole", help="power, snapshots and |E|² picture of the point dipole "
                       "in DIPOLE.json")
    d.add_argument("job", help="DIPOLE.json")
    d.add_argument("--out", required=True, help="output folder")
    d.add_argument("--device", default="auto", help="cpu, cuda or auto (default)")
    d.add_argument("--quiet", action="store_true", help="no progress bar")
    r = sub.add_parser("resonances", help="modes (f, Q) of the stack in STACK.json, or of the "
                                          "object in OBJECT.json, in its frequency window")
    r.add_argument("stack", help="STACK.json or OBJECT.json")
    r.add_argument("--out", required=True, help="output folder")
    r.add_argument("--device", default="auto", help="cpu, cuda or auto (default)")
    r.add_argument("--quiet", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    commands = {"spectrum": spectrum_command, "scatter": scatter_command,
                "resonances": resonances_command, "dipole": dipole_command}
    return commands[args.command](args)
