"""The problem model: what one run simulates, validated once.

A ``Simulation`` holds the structures (a batch of ``geometry.Stack``: the
NM axis; or a ``Scene`` of isolated objects), the band, the resolution and
time step, the sources (plane waves: the NS axis; a ``TFSF`` box, or
dipoles (``ldos.Dipole``, the NS axis), for a scene), the boundaries, the
monitors beyond the workflow's own fluxes, the material smoothing and the
stopping rule. Constructing one checks all of
it, in this one place, and every error names its field path
(``structures[1].layers[0].thickness``, ``sources[0].angle_deg``,
``resolution``). The JSON front end (``config``) and the Python API
(``reflectance.spectrum``) both build a ``Simulation``, so they refuse the same
things with the same messages; ``run`` hands it to the workflow.

Boundaries, per axis (``boundaries``: {"x": ..., "y": ..., "z": ...}; an
axis left out takes its default): "periodic", "bloch" (Bloch-periodic with
each plane-wave source's own in-plane wavevector), ``Bloch(k)`` (a fixed
wavevector k, rad/a) or "absorbing" (the CPML, ``cpml``, on both faces;
corners and edges included where several axes absorb). A stack's unit cell
is periodic in y, "bloch" in x where a source is oblique ("periodic"
otherwise) and absorbing in z; it may be given a fixed ``Bloch(k)`` in x (the
plane-wave sources must then carry that wavevector; the resonance search
finds the modes at that k). A scene absorbs on every face. What the model
cannot run is refused by name: absorbing x or y faces around a stack (an
isolated object is a ``Scene``), periodic faces around a scene (a periodic
array of objects is a stack with a patterned layer), Bloch-periodic y.

Monitors (``monitors``), beyond the fluxes each workflow places itself (a
stack's reflection and transmission planes, a scene's closed flux boxes
inside and outside the TFSF box, a dipole's own power record): a DFT field
region (``fields.FieldRequest``, the same as ``fields``), time probes
(``Probe``, which the mode search records instead of its own points) and a
``SnapshotPlane`` (time snapshots and the |E|² picture around one dipole).

``run`` hands the model to its workflow: a stack's spectra
(``reflectance``), a scene's cross-sections (``scatter``), the power of
dipoles over the background's (``ldos``), or one dipole's snapshots
(``radiate``); ``resonances`` hands it to the mode search.
"""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Optional, Sequence

import numpy as np

from .boundaries import CPML, Bloch, face_kind
from .geometry import Stack
from .media import Medium
from .shapes import Shape
from .sources import PlaneWave, Waveform
from .units import InputError, Units, finite_number, require


def band(frequencies) -> np.ndarray:
    """Frequencies (c/a) as a 1-D float64 array, refused unless positive
    and finite: the check of every workflow's band."""
    f = np.atleast_1d(np.asarray(frequencies, dtype=np.float64))
    require(f.ndim == 1 and f.size > 0 and bool(np.all(f > 0)) and bool(np.all(np.isfinite(f))),
            "frequency", "frequencies must be positive and finite")
    return f


def open_background(background, why: str) -> Medium:
    """The homogeneous medium around isolated objects, refused unless a
    lossless ``Medium`` (`why` says what lives in it)."""
    require(isinstance(background, Medium), "background", "must be a Medium")
    require(background.lossless, "background", f"must be lossless (no sigma, no pole): {why}")
    return background


def domain_size(size) -> list:
    """A box's three edge lengths (a), refused unless positive."""
    require(isinstance(size, (list, tuple, np.ndarray)) and len(size) == 3, "size",
            "must have three lengths")
    size = [finite_number(s, f"size[{i}]") for i, s in enumerate(size)]
    for i, s in enumerate(size):
        require(s > 0, f"size[{i}]", f"must be positive, got {s:g}")
    return size


@dataclass(frozen=True)
class Scene:
    """Isolated objects: ``shapes`` (3-D solids, painted in order, a later
    one wins) in a lossless ``background``, inside absorbing faces. Under a
    ``TFSF`` wave the domain is the objects' box with ``padding`` (a) of room
    to the absorber (None: a quarter of the longest wavelength); around
    dipoles it is ``size`` (a, three lengths) centred on the origin."""

    shapes: Sequence[Shape] = ()
    background: Medium = Medium()
    padding: Optional[float] = None
    size: Optional[Sequence[float]] = None

    def __post_init__(self):
        object.__setattr__(self, "shapes", tuple(self.shapes))


@dataclass(frozen=True)
class TFSF:
    """A plane wave along +z with E along ``polarization`` ("x" or "y"),
    injected on the six faces of a box around the objects (total field
    inside); ``waveform`` None: a pulse covering the band."""

    polarization: str = "x"
    waveform: Optional[Waveform] = None

    def __post_init__(self):
        require(self.polarization in ("x", "y"), "polarization",
                f"must be \"x\" or \"y\", got {self.polarization!r}")


@dataclass(frozen=True)
class Probe:
    """A time probe: E at ``position`` (a) every step, for the resonance
    search. A stack's frame: x, y in the unit cell, z from the top of the
    first layer (positive into the stack); a scene's: the objects' own."""

    position: Sequence[float]

    def __post_init__(self):
        p = self.position
        require(isinstance(p, (list, tuple, np.ndarray)) and len(p) == 3, "position",
                "must have three coordinates")
        object.__setattr__(self, "position",
                           tuple(finite_number(v, f"position[{i}]") for i, v in enumerate(p)))


@dataclass(frozen=True)
class SnapshotPlane:
    """Time snapshots of E on the plane of cell nodes across ``plane`` ("x",
    "y" or "z") nearest to the one dipole of a scene, every ``every`` steps
    (None: eight per period of the band's centre), with the |E|² picture
    there at the centre frequency (``radiate``)."""

    plane: str = "z"
    every: Optional[int] = None

    def __post_init__(self):
        require(self.plane in ("x", "y", "z"), "plane",
                f"must be x, y or z, got {self.plane!r}")
        e = self.every
        require(e is None or (isinstance(e, numbers.Integral) and not isinstance(e, bool)
                              and e >= 1), "every",
                f"must be a whole number of steps, at least 1, got {e!r}")


@dataclass
class Simulation:
    """A batch of stacks under plane waves, or a ``Scene`` of isolated
    objects under a ``TFSF`` plane wave, over a band (see the module)."""

    structures: object              # Stack, [Stack, ...] or Scene
    frequencies: object
    resolution: float
    sources: Optional[Sequence[PlaneWave]] = None
    courant: float = 0.5
    cpml: Optional[CPML] = None
    offset: float = 0.0
    smoothing: object = None        # None: "subcell" for stacks, "staircase" for objects
    decay_by: float = 1e-9
    max_time: Optional[float] = None
    steps: Optional[int] = None
    depth: Optional[float] = None
    fields: object = None
    boundaries: Optional[dict] = None
    monitors: Sequence[object] = ()

    def __post_init__(self):
        self.validate()

    def validate(self) -> None:
        """Every check a run relies on, before anything is allocated; the
        normalised values are kept (``units``, ``modes``, lists)."""
        self._check_stop()
        self._sort_monitors()
        given = self._given_boundaries()
        if isinstance(self.structures, Scene):
            self._validate_scene(given)
            return self._check_probes(*self._scene_room())
        from .layout import check_resolution, transverse_layout
        from .painting import smoothing_mode
        from .reflectance import plane_wave
        if self.smoothing is None:
            self.smoothing = "subcell"
        st = self.structures
        self.structures = [st] if isinstance(st, Stack) else list(st)
        require(len(self.structures) > 0, "structures", "at least one stack is needed")
        for i, s in enumerate(self.structures):
            require(isinstance(s, Stack), f"structures[{i}]",
                    f"must be a Stack, got {type(s).__name__}")
        self.frequencies = f = band(self.frequencies)
        self.units = Units(self.resolution, self.courant)
        if isinstance(self.smoothing, (list, tuple)):
            require(len(self.smoothing) == len(self.structures), "smoothing",
                    f"{len(self.smoothing)} modes given for {len(self.structures)} stacks")
            self.modes = [smoothing_mode(s) for s in self.smoothing]
        else:
            self.modes = [smoothing_mode(self.smoothing)] * len(self.structures)
        if self.sources is None:
            # a fixed nonzero Bloch wavevector has no default plane wave
            fixed_k = getattr(given.get("x"), "k", 0.0) != 0
            self.sources = [] if fixed_k else [plane_wave(f, stack=self.structures[0])]
        else:
            self.sources = list(self.sources)
            require(len(self.sources) > 0, "sources", "at least one plane wave is needed")
        for i, s in enumerate(self.sources):
            require(isinstance(s, PlaneWave), f"sources[{i}]",
                    f"must be a PlaneWave, got {type(s).__name__}")
            cut = (s.waveform.frequency or 0.0) * math.sin(math.radians(s.angle_deg))
            require(not s.angle_deg or f.max() > cut, f"sources[{i}].angle_deg",
                    f"every frequency is below the cut-off {cut:.4g} of {s.angle_deg:g} deg at "
                    "the centre frequency")
        self.boundaries = self._stack_boundaries(given)
        self.cells_per_wavelength = check_resolution(self.structures, f, self.units)
        require(self.fields is None or len(self.groups()) == 1, "fields",
                "one batch only: the stacks must share the incident medium and the period")
        for idx in self.groups().values():
            group = [self.structures[m] for m in idx]
            if any(s.patterned for s in group):
                transverse_layout(group, self.units)     # the period must be whole cells
        require(self.snapshots is None, "monitors", "a SnapshotPlane follows a dipole in a Scene")
        depth = max(st.thickness for st in self.structures)
        self._check_probes([-np.inf, -np.inf, 0.0], [np.inf, np.inf, depth], "inside the "
                           f"structure: 0 <= z <= {depth:g} from the top of the first layer")

    def _sort_monitors(self) -> None:
        """``monitors``: time probes (``Probe``) and at most one DFT field
        request (``fields.FieldRequest``, the same as ``fields``)."""
        from .fields import FieldRequest
        require(isinstance(self.monitors, (list, tuple)), "monitors", "must be a list")
        self.monitors = list(self.monitors)
        self.probes, self.snapshots = [], None
        for i, m in enumerate(self.monitors):
            if isinstance(m, SnapshotPlane):
                require(self.snapshots is None, f"monitors[{i}]", "one snapshot plane per run")
                self.snapshots = m
            elif isinstance(m, FieldRequest):
                require(self.fields is None or self.fields is m, f"monitors[{i}]",
                        "one field request per run (fields is given already)")
                self.fields = m
            else:
                require(isinstance(m, Probe), f"monitors[{i}]", "must be a Probe, a SnapshotPlane "
                        f"or a fields.FieldRequest, got {type(m).__name__}")
                self.probes.append((i, m))

    def _check_probes(self, lo, hi, where: str) -> None:
        for i, p in self.probes:
            for a in range(3):
                require(lo[a] - 1e-12 <= p.position[a] <= hi[a] + 1e-12,
                        f"monitors[{i}].position[{a}]", f"{p.position[a]:g} is not {where}")

    def _scene_room(self):
        """The box a scene's probes must lie in: the objects' bounds with
        the padding, or the dipoles' domain."""
        from .scatter import objects_bounds
        if getattr(self, "size", None) is not None:
            half = np.asarray(self.size) / 2
            return -half, half, f"inside the domain {list(self.size)}"
        shapes = self.structures.shapes
        if not shapes:
            return np.zeros(3), np.zeros(3), "inside the objects' box (there are no objects)"
        lo, hi = objects_bounds(shapes)
        return lo - self.padding, hi + self.padding, "inside the objects' box with its padding"

    def _validate_scene(self, given: dict) -> None:
        from .painting import smoothing_mode
        from .scatter import check_scatter
        self.modes = [smoothing_mode("staircase" if self.smoothing is None else self.smoothing)]
        self.units = Units(self.resolution, self.courant)
        if self.sources is None:
            self.sources = [TFSF()]
        self.sources = list(self.sources)
        scene = self.structures
        self.frequencies = band(self.frequencies)
        for ax, kind in given.items():
            require(kind == "absorbing", f"boundaries.{ax}",
                    f"isolated objects need absorbing faces, got {kind!r} (a periodic array of "
                    "objects is a Stack with a patterned layer)")
        self.boundaries = dict.fromkeys("xyz", "absorbing")
        from .ldos import Dipole
        if self.sources and all(isinstance(s, Dipole) for s in self.sources):
            # dipoles radiating near the objects: the power against the background's
            if self.smoothing is None:
                self.modes = ["subcell"]
            require(scene.size is not None, "size", "dipoles need the domain's size")
            require(self.steps is None, "steps", "dipole runs stop when their fields have "
                    "decayed, or at max_time")
            self.size = domain_size(scene.size)
            open_background(scene.background, "the dipole's reference power is taken in it")
            self.padding, self.cells_per_wavelength = None, None
            if self.snapshots is not None:
                require(len(self.sources) == 1, "sources", "snapshots follow one dipole")
                require(self.fields is None, "fields", "a snapshot run draws its own picture")
                return
            for i, d in enumerate(self.sources):
                require(d.kind == "electric", f"sources[{i}].kind", "the power of several "
                        "dipoles is taken for electric ones; a magnetic dipole runs alone with "
                        "a SnapshotPlane")
            return
        require(self.snapshots is None, "monitors", "a SnapshotPlane follows a dipole")
        require(len(self.sources) == 1 and isinstance(self.sources[0], TFSF), "sources",
                "isolated objects take one TFSF plane wave, or dipoles (ldos.Dipole)")
        self.padding = check_scatter(list(scene.shapes), self.frequencies, self.units,
                                     scene.background, scene.padding)
        self.cells_per_wavelength = None

    def _check_stop(self) -> None:
        for name in ("decay_by", "max_time", "steps", "depth"):
            v = getattr(self, name)
            require(v is None or (isinstance(v, numbers.Real) and not isinstance(v, bool)
                                  and v > 0), name, f"must be positive, got {v!r}")
        require(self.decay_by is None or self.decay_by < 1, "decay_by",
                f"must be in (0, 1), got {self.decay_by!r}")

    def groups(self) -> dict:
        """The structures that run as one batch: those sharing the incident
        medium and the period, {(incident, period): [indices]}."""
        out = {}
        for m, st in enumerate(self.structures):
            out.setdefault((st.incident, st.period), []).append(m)
        return out

    def _given_boundaries(self) -> dict:
        """The user's axes, each checked as a face kind."""
        given = {} if self.boundaries is None else self.boundaries
        require(isinstance(given, dict), "boundaries",
                f"must map axes (\"x\", \"y\", \"z\") to face kinds, got {given!r}")
        for ax in given:
            require(ax in ("x", "y", "z"), f"boundaries.{ax}", "not an axis: x, y or z")
        return {ax: face_kind(v, f"boundaries.{ax}") for ax, v in given.items()}

    def _stack_boundaries(self, given: dict) -> dict:
        """A stack's faces: the defaults where not given, and what a given
        kind demands of the sources (see the module)."""
        oblique = [i for i, s in enumerate(self.sources) if s.angle_deg]
        out = {"x": "bloch" if oblique else "periodic", "y": "periodic", "z": "absorbing"}
        z, y, x = given.get("z", "absorbing"), given.get("y", "periodic"), given.get("x")
        require(z == "absorbing", "boundaries.z",
                f"a stack's waves leave through absorbing z faces, got {z!r}")
        require(y in ("periodic", "bloch") or (isinstance(y, Bloch) and y.k == 0), "boundaries.y",
                f"must be periodic (the plane waves lie in the x-z plane), got {y!r}")
        require(x != "absorbing", "boundaries.x", "a stack is periodic in x (an isolated object "
                "with absorbing faces all round is a Scene)")
        if x == "periodic" and oblique:
            i = oblique[0]
            raise InputError("boundaries.x", f"periodic faces take normal incidence, but "
                             f"sources[{i}] is at {self.sources[i].angle_deg:g} deg: give "
                             "\"bloch\"")
        if isinstance(x, Bloch):
            for i, s in enumerate(self.sources):
                for m, st in enumerate(self.structures):
                    kx = s.kx(st.incident)
                    require(abs(kx - x.k) <= 1e-9 * max(1.0, abs(x.k)), f"sources[{i}]",
                            f"its in-plane wavevector {kx:.6g} rad/a (in the incident medium of "
                            f"structures[{m}]) is not boundaries.x's Bloch k = {x.k:.6g}")
            out["x"] = x
        elif x is not None:
            out["x"] = x
        return out

    @property
    def bloch_k(self) -> float:
        """The fixed Bloch wavevector of x (rad/a), 0 where there is none."""
        x = self.boundaries["x"]
        return x.k if isinstance(x, Bloch) else 0.0

    def plan(self) -> list:
        """Where a run puts things, without running: per grid (a stack
        batch, or the scene's box) its cells, boundaries, absorber
        thickness (cells) and monitors, positions in a (a stack's z from
        the top of its first layer; a scene's in the objects' frame)."""
        user = [{"kind": "time probe", "at": list(p.position)} for _, p in self.probes]
        if self.fields is not None:
            user.append({"kind": "DFT fields", "frequencies": list(self.fields.frequencies),
                         "plane": None if self.fields.axis is None else
                         {"axis": "xyz"[self.fields.axis], "at": self.fields.at}})
        res = self.units.resolution
        if isinstance(self.structures, Scene):
            return [self._scene_plan(user)]
        from .batch import group_layout
        out = []
        for (incident, _), idx in self.groups().items():
            tv, _, cpml, lay = group_layout([self.structures[m] for m in idx], incident,
                                            self.frequencies, self.units, self.sources,
                                            self.cpml, self.offset, self.depth)
            z = lambda k: (k - lay.z_top) / res
            out.append({"structures": idx, "cells": [*tv.shape, lay.Nz],
                        "boundaries": dict(self.boundaries), "absorber": cpml.thickness,
                        "monitors": [{"kind": "source plane", "axis": "z", "at": z(lay.kp)},
                                     {"kind": "flux plane", "name": "reflection", "axis": "z",
                                      "at": z(lay.k_R)},
                                     {"kind": "flux plane", "name": "transmission", "axis": "z",
                                      "at": z(lay.k_T)}] + user})
        return out

    def _scene_plan(self, user) -> dict:
        if isinstance(self.sources[0], TFSF):
            from .scatter import object_layout
            lay, res = object_layout(self), self.units.resolution
            box = lambda b: [[(lo - o) / res, (hi - o) / res] for (lo, hi), o in
                             zip(b, lay.origin)]
            mons = [{"kind": "TFSF box", "box": box(lay.tfsf_box)},
                    {"kind": "flux box", "name": "scattering", "box": box(lay.scatter_box)},
                    {"kind": "flux box", "name": "absorption", "box": box(lay.absorb_box)}]
            return {"cells": list(lay.shape), "boundaries": dict(self.boundaries),
                    "absorber": lay.cpml.thickness, "monitors": mons + user}
        from .ldos import box_cells
        cpml = CPML(thickness=12) if self.cpml is None else self.cpml
        mons = [{"kind": "dipole power", "at": list(d.position)} for d in self.sources]
        if self.snapshots is not None:
            mons.append({"kind": "snapshots", "plane": self.snapshots.plane,
                         "at": self.sources[0].position["xyz".index(self.snapshots.plane)]})
        return {"cells": list(box_cells(self.size, self.units, cpml)[0]),
                "boundaries": dict(self.boundaries), "absorber": cpml.thickness,
                "monitors": mons + user}

    def resonances(self, *, polarization: Optional[str] = None, device="cpu",
                   progress: bool = False):
        """The modes in the band's window [min, max] by harmonic inversion of
        a ring-down (``resonance.resonances`` for one stack, at the x faces'
        fixed Bloch k if any, else at kx = 0; ``resonance.object_resonances``
        for a scene): broadband dipoles and probes at low-symmetry points
        stand in for the sources given. ``polarization`` ("s" or "p", stacks
        only): that family of modes alone."""
        from .resonance import object_resonances, resonances
        lo, hi = float(self.frequencies.min()), float(self.frequencies.max())
        require(hi > lo, "frequency.max", "the search window needs frequency.max > frequency.min")
        common = dict(courant=self.courant, max_time=self.max_time, decay_by=self.decay_by,
                      fields=self.fields, device=device, progress=progress,
                      probes=[p.position for _, p in self.probes] or None)
        if isinstance(self.structures, Scene):
            require(polarization is None, "polarization",
                    "the s/p families are a stack's; an object's modes are found together")
            scene = self.structures
            return object_resonances(list(scene.shapes), lo, hi, self.resolution,
                                     background=scene.background, padding=self.padding, **common)
        require(len(self.structures) == 1, "structures", "the resonance search takes one stack")
        return resonances(self.structures[0], lo, hi, self.resolution, kx=self.bloch_k,
                          polarization=polarization, **common)

    def run(self, *, device="cpu", progress: bool = False, split: str = "batch",
            memory_cap: Optional[float] = None):
        """Stacks: R and T of every structure under every source, a
        ``reflectance.Spectrum`` (see ``reflectance.spectrum`` for the stopping rule,
        the process split and the verdicts). A scene under a TFSF wave: its
        cross-sections, a ``scatter.CrossSections`` (see
        ``scatter.cross_sections``); around dipoles: their power over the
        background's, an ``ldos.DipolePower`` (see ``ldos.dipole_power``)."""
        for i, _ in self.probes:
            require(False, f"monitors[{i}]", "time probes serve the mode search (resonances); "
                    "a run records its fluxes and the fields asked for")
        if isinstance(self.structures, Scene):
            if isinstance(self.sources[0], TFSF):
                from .scatter import run_objects
                return run_objects(self, device=device, progress=progress)
            if self.snapshots is not None:
                from .radiate import run_radiation
                return run_radiation(self, device=device, progress=progress)
            from .ldos import run_dipoles
            return run_dipoles(self, device=device, progress=progress)
        from .reflectance import run_stacks
        require(len(self.sources) > 0, "sources", "a run needs plane waves carrying the fixed "
                "Bloch k (in a job file, the angle_deg that gives it), or search the modes at "
                "that k (resonances)")
        return run_stacks(self, device=device, progress=progress, split=split,
                          memory_cap=memory_cap)
