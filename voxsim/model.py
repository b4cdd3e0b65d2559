"""The problem model: what one run simulates, validated once.

A ``Simulation`` holds the structures (a batch of ``geometry.Stack``: the
NM axis; or a ``Scene`` of isolated objects), the band, the resolution and
time step, the sources (plane waves: the NS axis; a ``TFSF`` box, or
dipoles (``ldos.Dipole``, the NS axis), for a scene), what is recorded beyond the workflow's own fluxes
(``fields.FieldRequest``), the material smoothing and the stopping rule. Constructing one checks all of
it, in this one place, and every error names its field path
(``structures[1].layers[0].thickness``, ``sources[0].angle_deg``,
``resolution``). The JSON front end (``config``) and the Python API
(``spectra.spectrum``) both build a ``Simulation``, so they refuse the same
things with the same messages; ``run`` hands it to the workflow.

Boundaries follow from the structures (``boundaries``): a stack's unit cell
is periodic in y and Bloch-periodic in x (the plane wave's in-plane
wavevector), with an absorber on both z faces; a scene has an absorber on
every face. ``run`` hands the model to its workflow (spectra,
cross-sections, dipole power) and ``resonances`` to the mode search; one
dipole's picture run (``radiate``) keeps its own front end for now.
"""
from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import Optional, Sequence

import numpy as np

from .boundaries import CPML
from .geometry import Stack
from .media import Medium
from .shapes import Shape
from .sources import PlaneWave, Waveform
from .units import Units, finite_number, require


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

    def __post_init__(self):
        self.validate()

    def validate(self) -> None:
        """Every check a run relies on, before anything is allocated; the
        normalised values are kept (``units``, ``modes``, lists)."""
        self._check_stop()
        if isinstance(self.structures, Scene):
            return self._validate_scene()
        from .layout import check_resolution, transverse_layout
        from .painting import smoothing_mode
        from .spectra import plane_wave
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
            self.sources = [plane_wave(f, stack=self.structures[0])]
        self.sources = list(self.sources)
        require(len(self.sources) > 0, "sources", "at least one plane wave is needed")
        for i, s in enumerate(self.sources):
            require(isinstance(s, PlaneWave), f"sources[{i}]",
                    f"must be a PlaneWave, got {type(s).__name__}")
            cut = (s.waveform.frequency or 0.0) * math.sin(math.radians(s.angle_deg))
            require(not s.angle_deg or f.max() > cut, f"sources[{i}].angle_deg",
                    f"every frequency is below the cut-off {cut:.4g} of {s.angle_deg:g} deg at "
                    "the centre frequency")
        self.cells_per_wavelength = check_resolution(self.structures, f, self.units)
        require(self.fields is None or len(self.groups()) == 1, "fields",
                "one batch only: the stacks must share the incident medium and the period")
        for idx in self.groups().values():
            group = [self.structures[m] for m in idx]
            if any(s.patterned for s in group):
                transverse_layout(group, self.units)     # the period must be whole cells

    def _validate_scene(self) -> None:
        from .painting import smoothing_mode
        from .scatter import check_scatter
        self.modes = [smoothing_mode("staircase" if self.smoothing is None else self.smoothing)]
        self.units = Units(self.resolution, self.courant)
        if self.sources is None:
            self.sources = [TFSF()]
        self.sources = list(self.sources)
        scene = self.structures
        self.frequencies = band(self.frequencies)
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
            return
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

    @property
    def boundaries(self) -> dict:
        """What each pair of faces does. Stacks: x "bloch" (or "periodic"
        where no source is oblique), y "periodic", z "absorbing"; objects:
        "absorbing" on every face, corners and edges included."""
        if isinstance(self.structures, Scene):
            return {"x": "absorbing", "y": "absorbing", "z": "absorbing"}
        oblique = any(s.angle_deg for s in self.sources)
        return {"x": "bloch" if oblique else "periodic", "y": "periodic", "z": "absorbing"}

    def resonances(self, *, device="cpu", progress: bool = False):
        """The modes in the band's window [min, max] by harmonic inversion of
        a ring-down (``resonance.resonances`` for one stack,
        ``resonance.object_resonances`` for a scene): broadband dipoles and
        probes at low-symmetry points stand in for the sources given."""
        from .resonance import object_resonances, resonances
        lo, hi = float(self.frequencies.min()), float(self.frequencies.max())
        require(hi > lo, "frequency.max", "the search window needs frequency.max > frequency.min")
        common = dict(courant=self.courant, max_time=self.max_time, decay_by=self.decay_by,
                      fields=self.fields, device=device, progress=progress)
        if isinstance(self.structures, Scene):
            scene = self.structures
            return object_resonances(list(scene.shapes), lo, hi, self.resolution,
                                     background=scene.background, padding=self.padding, **common)
        require(len(self.structures) == 1, "structures", "the resonance search takes one stack")
        return resonances(self.structures[0], lo, hi, self.resolution, **common)

    def run(self, *, device="cpu", progress: bool = False, split: str = "batch",
            memory_cap: Optional[float] = None):
        """Stacks: R and T of every structure under every source, a
        ``spectra.Spectrum`` (see ``spectra.spectrum`` for the stopping rule,
        the process split and the verdicts). A scene under a TFSF wave: its
        cross-sections, a ``scatter.CrossSections`` (see
        ``scatter.cross_sections``); around dipoles: their power over the
        background's, an ``ldos.DipolePower`` (see ``ldos.dipole_power``)."""
        if isinstance(self.structures, Scene):
            if isinstance(self.sources[0], TFSF):
                from .scatter import run_objects
                return run_objects(self, device=device, progress=progress)
            from .ldos import dipole_power
            scene = self.structures
            return dipole_power(scene.shapes, self.sources, self.frequencies, self.resolution,
                                self.size, background=scene.background, courant=self.courant,
                                cpml=self.cpml, decay_by=self.decay_by, max_time=self.max_time,
                                smoothing=self.modes[0], device=device, progress=progress)
        from .spectra import run_stacks
        return run_stacks(self, device=device, progress=progress, split=split,
                          memory_cap=memory_cap)
