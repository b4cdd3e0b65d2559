"""STACK.json: the description read by ``python -m voxsim spectrum``.

    {"resolution": 40,                                 cells per a (required)
     "frequency": {"min": 0.5, "max": 1.5, "count": 101},   c/a (required)
     "angle_deg": 0,                                   optional, 0 ≤ θ < 90, at the centre frequency;
                                                       a list runs an angle sweep in one batch
     "polarization": "s",                              optional, "s" (E along y) or "p"
     "courant": 0.5,                                   optional, ≤ 1/√3
     "max_time": 2000,                                 optional (a/c): stop there even if the
                                                       fields have not decayed (default: the
                                                       safety cap, see spectra.spectrum)
     "decay_by": 1e-9,                                 optional, in (0, 1): the decay that ends the run
     "incident": MEDIUM,                               required, lossless
     "substrate": MEDIUM,                              optional (default: the incident medium), lossless
     "period": [px, py],                               the unit cell (a); required with patterns
     "layers": [{"thickness": 0.125, "medium": MEDIUM}, ...]}   required (may be empty)

    A layer may carry "pattern" instead of "medium":
    PATTERN = {"background": MEDIUM, "shapes": [SHAPE, ...]}  (later shapes win)
    SHAPE   = {"kind": "circle", "center": [x, y], "radius": r, "medium": MEDIUM}
            | {"kind": "rectangle", "center": [x, y], "size": [w, h], "angle_deg": 0, "medium": MEDIUM}
            | {"kind": "polygon", "vertices": [[x, y], ...], "medium": MEDIUM}
    (coordinates in a, within the unit cell; a shape crossing its edge wraps;
    a 1-D grating is a rectangle spanning the cell in y)

    MEDIUM = {"eps": 4, "sigma": 0.0, "pole": POLE}   eps required; sigma, pole optional
    POLE   = {"kind": "lorentz", "f0": 1.0, "delta_eps": 0.5, "gamma": 0.1}
           | {"kind": "drude", "fp": 2.0, "gamma": 0.1}
           | {"kind": "debye", "delta_eps": 1.0, "tau": 0.3}

Validation is strict: an unknown key, a missing field, a value of the wrong
type or out of range, or a resolution too coarse for the frequencies raises
``InputError`` whose message starts with the field's path
(``layers[1].medium.eps: must be positive, got -2``); nothing runs.
"""
from __future__ import annotations

import json
from dataclasses import dataclass
from typing import List, Optional

import numpy as np

from .geometry import Layer, Stack
from .shapes import Box, Circle, Cylinder, Pattern, Polygon, Rectangle, Shape, Sphere
from .media import POLE_KINDS, Medium
from .sources import PlaneWave
from .units import InputError, Units, finite_number, require

TOP_KEYS = {"resolution", "frequency", "angle_deg", "polarization", "courant", "incident",
            "substrate", "layers", "period", "max_time", "decay_by", "fields"}
SHAPE_KEYS = {"circle": ("center", "radius", "medium"),
              "rectangle": ("center", "size", "medium"),
              "polygon": ("vertices", "medium")}
SOLID_KEYS = {"sphere": ("center", "radius", "medium"),
              "box": ("center", "size", "medium"),
              "cylinder": ("center", "radius", "height", "medium")}
SCATTER_KEYS = {"resolution", "frequency", "background", "shapes", "polarization", "padding",
                "courant", "max_time", "decay_by", "fields"}
POLE_KEYS = {"lorentz": ("f0", "delta_eps", "gamma"), "drude": ("fp", "gamma"),
             "debye": ("delta_eps", "tau")}


@dataclass
class SpectrumJob:
    stack: Stack
    frequencies: np.ndarray
    resolution: float
    courant: float
    angle_deg: object          # a number, or a list of them (an angle sweep)
    polarization: str
    max_time: Optional[float] = None
    decay_by: float = 1e-9
    fields: object = None      # fields.FieldRequest ("fields" key)


def _object(value, field: str, allowed, required=()):
    require(isinstance(value, dict), field or "STACK.json", f"must be an object, got {type(value).__name__}")
    for k in value:
        require(k in allowed, f"{field}.{k}" if field else k,
                f"unknown key (allowed: {', '.join(sorted(allowed))})")
    for k in required:
        require(k in value, f"{field}.{k}" if field else k, "missing")
    return value


def parse_medium(value, field: str) -> Medium:
    d = _object(value, field, {"eps", "sigma", "pole"}, ("eps",))
    eps = finite_number(d["eps"], f"{field}.eps")
    require(eps > 0, f"{field}.eps", f"must be positive, got {eps:g}")
    sigma = finite_number(d.get("sigma", 0.0), f"{field}.sigma")
    pole = None
    if "pole" in d and d["pole"] is not None:
        p = d["pole"]
        pf = f"{field}.pole"
        if isinstance(p, list):
            require(len(p) <= 1, pf, f"{len(p)} poles given; a medium holds at most one "
                    "dispersive pole (the dispersive completion keeps one per material)")
            p = p[0] if p else None
            pf = f"{pf}[0]"
        if p is not None:
            require(isinstance(p, dict), pf, "must be an object")
            require("kind" in p, f"{pf}.kind", "missing")
            kind = p["kind"]
            require(kind in POLE_KINDS, f"{pf}.kind",
                    f"must be one of {', '.join(POLE_KINDS)}, got {kind!r}")
            keys = POLE_KEYS[kind]
            _object(p, pf, set(keys) | {"kind"}, keys)
            pole = POLE_KINDS[kind](*[finite_number(p[k], f"{pf}.{k}") for k in keys])
            pole.validate(pf)
    try:
        m = Medium(eps, sigma, pole)
    except InputError as e:
        raise e.under(field, "medium") from None
    return m


def parse_pattern(value, field: str) -> Pattern:
    d = _object(value, field, {"background", "shapes"}, ("background", "shapes"))
    background = parse_medium(d["background"], f"{field}.background")
    require(isinstance(d["shapes"], list), f"{field}.shapes", "must be a list")
    shapes = []
    for i, sh in enumerate(d["shapes"]):
        sf = f"{field}.shapes[{i}]"
        require(isinstance(sh, dict), sf, "must be an object")
        require("kind" in sh, f"{sf}.kind", "missing")
        kind = sh["kind"]
        require(kind in SHAPE_KEYS, f"{sf}.kind",
                f"must be one of {', '.join(SHAPE_KEYS)}, got {kind!r}")
        keys = SHAPE_KEYS[kind]
        extra = {"angle_deg"} if kind == "rectangle" else set()
        _object(sh, sf, set(keys) | extra | {"kind"}, keys)
        medium = parse_medium(sh["medium"], f"{sf}.medium")
        try:
            if kind == "circle":
                shapes.append(Circle(sh["center"], sh["radius"], medium))
            elif kind == "rectangle":
                shapes.append(Rectangle(sh["center"], sh["size"], medium, sh.get("angle_deg", 0.0)))
            else:
                shapes.append(Polygon(sh["vertices"], medium))
        except InputError as e:
            raise e.under(sf, kind) from None
    return Pattern(background, shapes)


def parse_job(data) -> SpectrumJob:
    """Validate a decoded STACK.json and build the job (nothing runs)."""
    from .spectra import check_resolution, transverse_layout
    d = _object(data, "", TOP_KEYS, ("resolution", "frequency", "incident", "layers"))
    resolution = finite_number(d["resolution"], "resolution")
    require(resolution > 0, "resolution", f"must be positive, got {resolution:g}")
    freqs = parse_frequencies(d["frequency"])
    fmin, fmax = float(freqs[0]), float(freqs[-1])
    max_time, decay_by = parse_stop(d, 1e-9)
    raw = d.get("angle_deg", 0.0)
    many = isinstance(raw, list)
    require(not many or len(raw) > 0, "angle_deg", "an angle sweep needs at least one angle")
    angles = [finite_number(a, f"angle_deg[{i}]" if many else "angle_deg")
              for i, a in enumerate(raw if many else [raw])]
    for i, a in enumerate(angles):
        require(0 <= a < 90, f"angle_deg[{i}]" if many else "angle_deg",
                f"must be in [0, 90), got {a:g}")
    angle = angles if many else angles[0]
    pol = d.get("polarization", "s")
    require(pol in ("s", "p"), "polarization", f"must be \"s\" or \"p\", got {pol!r}")
    courant = finite_number(d.get("courant", 0.5), "courant")
    units = Units(resolution, courant)
    incident = parse_medium(d["incident"], "incident")
    require(incident.lossless, "incident", "must be lossless (no sigma, no pole)")
    substrate = incident
    if "substrate" in d:
        substrate = parse_medium(d["substrate"], "substrate")
        require(substrate.lossless, "substrate", "must be lossless (no sigma, no pole)")
    require(isinstance(d["layers"], list), "layers", "must be a list")
    layers: List[Layer] = []
    for i, l in enumerate(d["layers"]):
        f = f"layers[{i}]"
        _object(l, f, {"thickness", "medium", "pattern"}, ("thickness",))
        require(("medium" in l) != ("pattern" in l), f"{f}.medium",
                "a layer needs either \"medium\" or \"pattern\" (not both)")
        t = finite_number(l["thickness"], f"{f}.thickness")
        require(t > 0, f"{f}.thickness", f"must be positive, got {t:g}")
        if "pattern" in l:
            layers.append(Layer(t, parse_pattern(l["pattern"], f"{f}.pattern")))
        else:
            layers.append(Layer(t, parse_medium(l["medium"], f"{f}.medium")))
    period = None
    if "period" in d:
        p = d["period"]
        require(isinstance(p, list) and len(p) == 2, "period", f"must be [px, py], got {p!r}")
        period = tuple(finite_number(v, f"period[{i}]") for i, v in enumerate(p))
        for i, v in enumerate(period):
            require(v > 0, f"period[{i}]", f"must be positive, got {v:g}")
    stack = Stack(layers, incident, substrate, period)
    check_resolution([stack], freqs, units)
    if stack.patterned:
        transverse_layout([stack], units)       # the period must be whole cells
    for i, a in enumerate(angles):
        cut = 0.5 * (fmin + fmax) * np.sin(np.radians(a))
        require(not a or fmax > cut, f"angle_deg[{i}]" if many else "angle_deg",
                f"every frequency is below the cut-off {cut:.4g} of {a:g} deg at the "
                "centre frequency")
    return SpectrumJob(stack, freqs, resolution, courant, angle, pol, max_time, decay_by,
                       _fields(d))


def load_job(path) -> SpectrumJob:
    return parse_job(_read_json(path))


def parse_frequencies(value, field: str = "frequency") -> np.ndarray:
    """{"min", "max", "count"} (c/a) as the evenly spaced frequencies."""
    fr = _object(value, field, {"min", "max", "count"}, ("min", "max", "count"))
    fmin = finite_number(fr["min"], f"{field}.min")
    fmax = finite_number(fr["max"], f"{field}.max")
    count = fr["count"]
    require(isinstance(count, int) and not isinstance(count, bool) and count >= 1,
            f"{field}.count", f"must be a positive integer, got {count!r}")
    require(fmin > 0, f"{field}.min", f"must be positive, got {fmin:g}")
    require(fmax >= fmin, f"{field}.max", f"must be >= {field}.min ({fmin:g}), got {fmax:g}")
    require(count == 1 or fmax > fmin, f"{field}.count",
            f"must be 1 when {field}.min equals {field}.max")
    return np.linspace(fmin, fmax, count)


def parse_stop(d: dict, default_decay: float):
    """The optional "max_time" (a/c, positive) and "decay_by" (in (0, 1))."""
    max_time = None
    if "max_time" in d:
        max_time = finite_number(d["max_time"], "max_time")
        require(max_time > 0, "max_time", f"must be positive, got {max_time:g}")
    decay_by = finite_number(d.get("decay_by", default_decay), "decay_by")
    require(0 < decay_by < 1, "decay_by", f"must be in (0, 1), got {decay_by:g}")
    return max_time, decay_by


def parse_solid(value, field: str) -> Shape:
    """A 3-D shape: sphere, box or cylinder (coordinates in a)."""
    require(isinstance(value, dict), field, "must be an object")
    require("kind" in value, f"{field}.kind", "missing")
    kind = value["kind"]
    require(kind in SOLID_KEYS, f"{field}.kind",
            f"must be one of {', '.join(SOLID_KEYS)}, got {kind!r}")
    keys = SOLID_KEYS[kind]
    extra = {"axis"} if kind == "cylinder" else set()
    _object(value, field, set(keys) | extra | {"kind"}, keys)
    medium = parse_medium(value["medium"], f"{field}.medium")
    try:
        if kind == "sphere":
            return Sphere(value["center"], value["radius"], medium)
        if kind == "box":
            return Box(value["center"], value["size"], medium)
        return Cylinder(value["center"], value["radius"], value["height"], medium,
                        value.get("axis", "z"))
    except InputError as e:
        raise e.under(field, kind) from None


@dataclass
class ScatterJob:
    shapes: List[Shape]
    frequencies: np.ndarray
    resolution: float
    courant: float
    background: Medium
    polarization: str = "x"
    padding: Optional[float] = None
    max_time: Optional[float] = None
    decay_by: float = 1e-8
    fields: object = None      # fields.FieldRequest ("fields" key)


def _fields(d: dict):
    """The "fields" key: ``fields.parse_request``, or None."""
    if "fields" not in d:
        return None
    from .fields import parse_request
    return parse_request(d["fields"])


def parse_scatter_job(data) -> ScatterJob:
    """Validate a decoded OBJECT.json and build the job (nothing runs)."""
    from .scatter import check_scatter
    d = _object(data, "", SCATTER_KEYS, ("resolution", "frequency", "shapes"))
    resolution = finite_number(d["resolution"], "resolution")
    require(resolution > 0, "resolution", f"must be positive, got {resolution:g}")
    freqs = parse_frequencies(d["frequency"])
    max_time, decay_by = parse_stop(d, 1e-8)
    courant = finite_number(d.get("courant", 0.5), "courant")
    units = Units(resolution, courant)
    background = parse_medium(d["background"], "background") if "background" in d else Medium()
    pol = d.get("polarization", "x")
    require(pol in ("x", "y"), "polarization", f"must be \"x\" or \"y\", got {pol!r}")
    padding = None
    if "padding" in d:
        padding = finite_number(d["padding"], "padding")
    require(isinstance(d["shapes"], list) and len(d["shapes"]) > 0, "shapes",
            "must be a non-empty list")
    shapes = [parse_solid(sh, f"shapes[{i}]") for i, sh in enumerate(d["shapes"])]
    check_scatter(shapes, freqs, units, background, padding)
    return ScatterJob(shapes, freqs, resolution, courant, background, pol, padding, max_time,
                      decay_by, _fields(d))


def _read_json(path):
    try:
        with open(path) as fh:
            text = fh.read()
    except OSError as e:
        raise InputError(str(path), f"cannot read: {e.strerror}")
    try:
        return json.loads(text)
    except json.JSONDecodeError as e:
        raise InputError(str(path), f"not valid JSON: {e.msg} at line {e.lineno} column {e.colno}")


def load_scatter_job(path) -> ScatterJob:
    return parse_scatter_job(_read_json(path))
